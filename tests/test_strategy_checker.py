"""The strategy checker: every problem of a file at once, each with its key
path, what is wrong and the nearest valid key or value."""
import json

import pytest

pytest.importorskip("pydantic")

from qxdcs import strategy  # noqa: E402

from strategies import MINIMAL, errors, load_text, problems, text, warnings, write  # noqa: E402


def test_the_minimal_strategy_has_no_problem(tmp_path):
    assert problems(tmp_path, MINIMAL) == []


def edited(changes):
    """MINIMAL with values replaced by key path, as TOML text."""
    from qxdcs.strategy.files import tomllib
    data = tomllib.loads(MINIMAL)
    sf = strategy.from_data(data).replace(changes)
    return sf


STRUCTURE = [
    ({"simulation.sample_period_s": -1}, "simulation.sample_period_s", "must be greater than 0"),
    ({"simulation.seed": 1.5}, "simulation.seed", "must be a whole number; got 1.5"),
    ({"simulation.seed": True}, "simulation.seed", "must be a whole number; got True"),
    ({"simulation.time_unit": "minutes"}, "simulation.time_unit", "did you mean 'min'?"),
    ({"simulation.duration_s": 10.0}, "simulation", "exactly one of 'duration_s' and 'samples'"),
    ({"loop.TC.TI": -5}, "loop.TC.TI", "must be at least 0; got -5"),
    ({"loop.TC.op_low": 80.0, "loop.TC.op_high": 20.0}, "loop.TC.op_low",
     "output limits reversed: op_low 80 is above op_high 20"),
    ({"loop.TC.Kp": 3.0}, "loop.TC.Kp", "unknown key 'Kp'; did you mean 'KP'?"),
    ({"loop.TC.KP": "2"}, "loop.TC.KP", "must be a finite number; got '2' (a string)"),
    ({"loop.TC.mode": "automatic"}, "loop.TC.mode", "must be one of 'manual', 'auto'"),
    ({"loop.TC.sp": {"a": 1}}, "loop.TC.sp", "must be a number, a signal name or a list"),
    ({"loop.TC.sp": [[20, "x"]]}, "loop.TC.sp.0.1", "must be a finite number"),
    ({"loop.TC.sp": [[20]]}, "loop.TC.sp.0", "must be a [time_s, value] pair"),
    ({"loop.TC.mode_changes": [[5, "on"]]}, "loop.TC.mode_changes.0.1",
     "must be one of 'manual', 'auto'"),
    ({"loop.TC.feedforward": {"signal": "F", "gian": 1.0}}, "loop.TC.feedforward.gian",
     "did you mean 'gain'?"),
    ({"plant.model.T.V.iodelay": 2}, "plant.model.T.V.iodelay",
     "unknown key 'iodelay'; did you mean 'iodelay_s'?"),
    ({"plant.model.T.V.mode": "tfs"}, "plant.model.T.V.mode", "did you mean 'tf_s'?"),
    ({"signal.F.kind": "stepz"}, "signal.F.kind", "unknown kind 'stepz'; did you mean 'steps'?"),
    ({"signal.F.at": [[100, 12.0], [50, 11.0]]}, "signal.F.at.1", "times must not decrease"),
    ({"loops": {}}, "loops", "unknown table 'loops'; did you mean 'loop'?"),
    ({"alarm": {"A": {"loop": "TC", "band": 1.0}}}, "alarm.A", "missing key 'delay_s'"),
    ({"alarm": {"A": {"loop": "TC", "above": 1.0, "delay_s": 1}}}, "alarm.A",
     "an alarm on a loop takes 'band'"),
    ({"soft_sensor": {"../x": {"prediction": "T", "true_value": "T", "lab_every_s": 10,
                               "lab_delay_s": 2}}}, "soft_sensor.../x", "names its laboratory"),
]




def test_every_problem_is_reported_at_once():
    sf = edited({"simulation.seed": -1, "loop.TC.TI": -1, "loop.TC.mv": "VV",
                 "signal.F.kind": "ramp", "plant.model.T.V.num_s": [0.0],
                 "alarm": {"A": {"loop": "TX", "band": 1.0, "delay_s": 1}}})
    keys = [p.key for p in strategy.check(sf).problems if p.severity == strategy.ERROR]
    assert set(keys) >= {"simulation.seed", "loop.TC.TI", "signal.F", "plant.model.T.V.num_s",
                         "alarm.A.loop"}, keys


REFERENCES = [
    ({"loop.TC.cv": "TT"}, "loop.TC.cv", "'TT' is neither a CV of the plant nor a signal; "
                                         "did you mean 'T'?"),
    ({"loop.TC.mv": "VV"}, "loop.TC.mv", "'VV' is not an MV of the plant and no block reads "
                                         "it; did you mean 'V'?"),
    ({"loop.TC.sp": "SPX"}, "loop.TC.sp", "signal 'SPX' is written by nothing"),
    ({"loop.TC.feedforward": {"signal": "Fx"}}, "loop.TC.feedforward.signal",
     "signal 'Fx' is written by nothing; did you mean 'F'?"),
    ({"signal.N": {"kind": "noise", "of": "Q", "sigma": 1.0}}, "signal.N.of",
     "signal 'Q' is written by nothing"),
    ({"plant.disturbance": {"X": "F"}}, "plant.disturbance.X", "'X' is not a CV of the plant"),
    ({"plant.disturbance": {"T": "D"}}, "plant.disturbance.T", "signal 'D' is written by nothing"),
    ({"loop.LC": {"cv": "L", "mv": "V", "KP": 1.0, "TI": 5.0}}, "loop.LC.mv",
     "signal 'V' is also written by loop.TC.mv"),
    ({"signal.T": {"kind": "constant", "value": 1.0}}, "signal.T",
     "signal 'T' is also written by the plant (a CV)"),
    ({"signal.time": {"kind": "constant", "value": 1.0}}, "signal.time",
     "'time' names the time column of the traces"),
]


@pytest.mark.parametrize("changes, key, message", STRUCTURE + REFERENCES,
                         ids=[next(iter(c)) for c, _, _ in STRUCTURE + REFERENCES])
def test_a_mistake_is_reported_at_its_key_with_a_hint(changes, key, message):
    found = [(p.key, p.message) for p in strategy.check(edited(changes)).problems
             if p.severity == strategy.ERROR]
    assert any(k == key and message in m for k, m in found), found


CYCLE = """
[signal.A]
kind = "sum"
inputs = { B = 1.0, F = 1.0 }
[signal.B]
kind = "lead_lag"
input = "A"
alpha = 0.5
tao_s = 4
"""


def test_a_cycle_without_a_delay_is_an_error_and_a_delay_breaks_it(tmp_path):
    found = errors(tmp_path, text(CYCLE))
    assert any("signals form a cycle with no block that delays: B -> A -> B" in m or
               "A -> B -> A" in m for _, m in found), found
    broken = CYCLE.replace('input = "A"', 'input = "A_before"') + """
[signal.A_before]
kind = "delay"
input = "A"
delay_s = 1
"""
    assert errors(tmp_path, text(broken)) == []


def test_a_loop_through_the_plant_is_no_cycle(tmp_path):
    # The PID reads T, the plant makes T from V: the plant delays.
    assert errors(tmp_path, MINIMAL) == []


@pytest.mark.parametrize("kp, warned", [(2.0, False), (-2.0, True)])
def test_a_kp_that_fights_the_plant_gain_is_a_warning(kp, warned):
    found = [p for p in strategy.check(edited({"loop.TC.KP": kp})).problems]
    assert all(p.severity == strategy.WARNING for p in found)
    hits = [p.message for p in found if p.key == "loop.TC.KP"]
    assert bool(hits) == warned
    if warned:
        assert "the gain of 'V' on 'T' is 0.5" in hits[0] and "needs KP > 0" in hits[0]


def test_the_kp_check_follows_a_cascade_through_its_inner_loop():
    # Outer loop on L moves the setpoint of an inner loop on T (which moves F
    # ... through V here: L depends on F only, so pair the inner loop with F).
    sf = edited({"loop.TC.mv": "F", "signal": {},
                 "loop.LC": {"cv": "L", "mv": "SP_inner", "KP": -1.0, "TI": 20.0},
                 "loop.TC.sp": "SP_inner"})
    found = {p.key: p.message for p in strategy.check(sf).problems}
    assert "through loop 'TC'" in found.get("loop.LC.KP", ""), found
    sf = sf.replace({"loop.LC.KP": 1.0})
    assert "loop.LC.KP" not in {p.key for p in strategy.check(sf).problems}


LPV = """
[simulation]
sample_period_s = 1
samples = 50

[plant]
working_value = "load"
initial = { T = 0.0, V = 0.0 }
[plant.local.low]
working_point = 0.0
model = "m.json"
[plant.local.high]
working_point = 10.0
model = { T = { V = { mode = "stp", stp = [0, -1, -2] } } }

[loop.TC]
cv = "T"
mv = "V"
KP = 1.0
TI = 5.0

[signal.load]
kind = "constant"
value = 5.0
"""


def test_an_lpv_plant_is_checked_per_local_plant_and_json_problems_name_the_json_file(tmp_path):
    (tmp_path / "m.json").write_text(json.dumps(
        {"model": {"T": {"V": {"mode": "tf_s", "num_s": [1.0], "den_s": [5, 1], "iodelay": 1}}},
         "initial": {"T": 0.0, "X": 1.0}}))
    found = problems(tmp_path, LPV)
    files = {}
    sf = load_text(tmp_path, LPV)
    for p in strategy.check(sf).problems:
        files[p.key] = (p.file, p.message, p.severity)
    assert files["model.T.V.iodelay"][0].endswith("m.json")
    assert "did you mean 'iodelay_s'?" in files["model.T.V.iodelay"][1]
    assert files["initial.X"][2] == strategy.WARNING
    assert found
    # Mended, the plan is made; the local plant at 10 has a negative gain, which
    # KP 1 fights there (a warning).
    (tmp_path / "m.json").write_text(json.dumps(
        {"model": {"T": {"V": {"mode": "tf_s", "num_s": [1.0], "den_s": [5, 1]}}},
         "initial": {"T": 0.0}}))
    plan = strategy.make_plan(load_text(tmp_path, LPV))
    (kp,) = [p for p in plan.warnings if p.key == "loop.TC.KP"]
    assert kp.file.endswith("s.toml") and "local plant 'high'" in kp.message
    assert [lm.working_point for lm in plan.plant.locals] == [0.0, 10.0]


def test_an_lpv_plant_needs_a_whole_second_sample_period(tmp_path):
    (tmp_path / "m.json").write_text(json.dumps({"T": {"V": {"mode": "stp", "stp": [1]}}}))
    found = errors(tmp_path, LPV.replace("sample_period_s = 1", "sample_period_s = 0.5"))
    assert ("simulation.sample_period_s",
            "an LPV plant runs its local plants at a whole number of seconds; got 0.5") in found


def test_a_missing_model_file_is_one_line_and_the_rest_is_still_checked(tmp_path):
    found = problems(tmp_path, LPV.replace("KP = 1.0", "KP = '1'"))
    assert any(k == "" and "cannot read the model file" in m for k, m, _ in found)
    assert any(k == "plant.local.low.model" for k, _, _ in found)
    assert any(k == "loop.TC.KP" for k, _, _ in found)


def test_times_must_be_whole_samples(tmp_path):
    body = text("""
    [alarm.A]
    loop = "TC"
    band = 1.0
    delay_s = 2.5
    [signal.D]
    kind = "delay"
    input = "T"
    delay_s = 0.5
    """, MINIMAL.replace("sample_period_s = 1", "sample_period_s = 1"))
    found = dict(errors(tmp_path, body))
    assert "not a whole number of sample periods (1 s)" in found["alarm.A.delay_s"]
    assert "must be at least 1 sample period" in found["signal.D.delay_s"]


def test_a_lead_lag_needs_a_whole_second_sample_period(tmp_path):
    body = text("""
    [signal.G]
    kind = "lead_lag"
    input = "T"
    alpha = 1
    tao_s = 3
    """, MINIMAL.replace("sample_period_s = 1", "sample_period_s = 0.5")
               .replace("iodelay_s = 2", "iodelay_s = 2.0"))
    assert any(k == "signal.G" and "use a transfer function" in m
               for k, m in errors(tmp_path, body))


def test_warnings_do_not_stop_a_plan(tmp_path):
    body = MINIMAL.replace("iodelay_s = 2", "iodelay_s = 2.4")
    found = warnings(tmp_path, body)
    assert found == [("plant.model.T.V.iodelay_s", "2.4 s is 2.4 sample periods of 1 s: "
                                                   "the simulator rounds it to 2 (2 s)")]
    plan = strategy.make_plan(load_text(tmp_path, body))
    assert [p.key for p in plan.warnings] == ["plant.model.T.V.iodelay_s"]


def test_an_mv_nothing_writes_holds_its_initial_value(tmp_path):
    body = MINIMAL.split("[signal.F]")[0]
    assert warnings(tmp_path, body) == [
        ("plant", "MV 'F' is written by no block: it stays at its initial value 10")]


def test_a_file_that_is_not_toml_is_one_problem_naming_the_line(tmp_path):
    path = write(tmp_path, "[simulation]\nsample_period_s = = 1\n")
    with pytest.raises(strategy.StrategyError) as info:
        strategy.load(path)
    (p,) = info.value.problems
    assert p.file == path and "not valid TOML" in p.message and "line 2" in p.message


def test_make_plan_raises_with_every_problem(tmp_path):
    sf = edited({"loop.TC.TI": -1, "simulation.seed": -2})
    with pytest.raises(strategy.StrategyError) as info:
        strategy.make_plan(sf)
    assert len(info.value.errors) == 2
    assert str(info.value).endswith("(and 1 more)")


# --- changing values by key path --------------------------------------------------------

def test_replace_copies_only_what_it_changes(tmp_path):
    sf = load_text(tmp_path, MINIMAL)
    new = sf.replace({"loop.TC.KP": 3.0, "plant.model.T.V.iodelay_s": 4,
                      ("signal", "F", "initial"): 11.0})
    assert sf.get("loop.TC.KP") == 2.0 and new.get("loop.TC.KP") == 3.0
    assert new.get("plant.model.T.V.iodelay_s") == 4 and sf.get("plant.model.T.V.iodelay_s") == 2
    assert new.data["plant"]["model"]["L"] is sf.data["plant"]["model"]["L"]   # shared
    assert new.get("signal.F.initial") == 11.0
    plan = strategy.make_plan(new)
    pid = next(s for s in plan.steps if s.kind == "pid")
    assert pid.params["KP"] == 3.0


@pytest.mark.parametrize("key, message", [
    ("loop.TCX.KP", "no key loop.TCX; did you mean 'TC'?"),
    ("loop.TC.KP.x", "loop.TC.KP is not a table"),
    ("loop..KP", "not a key path"),
])
def test_replace_names_a_missing_table(tmp_path, key, message):
    sf = load_text(tmp_path, MINIMAL)
    with pytest.raises(KeyError, match=message.replace(".", r"\.").replace("?", r"\?")):
        sf.replace({key: 1.0})


def test_a_plan_pickles_and_numbers_every_signal(tmp_path):
    import pickle
    plan = strategy.make_plan(load_text(tmp_path, MINIMAL))
    again = pickle.loads(pickle.dumps(plan))
    assert again == plan
    assert plan.signals[:4] == ("T", "L", "V", "F")
    pid = next(s for s in plan.steps if s.kind == "pid")
    assert plan.signals[pid.output] == "V"
    assert [plan.signals[i] for i in pid.inputs] == ["SP_TC", "T"]
    assert plan.initial[plan.slot("SP_TC")] == 20.0          # the CV's initial value
    with pytest.raises(KeyError, match="did you mean 'SP_TC'"):
        plan.slot("SP_TD")


def test_a_loop_whose_mv_does_not_reach_its_cv_is_a_warning():
    sf = edited({"loop.TC.cv": "L"})
    found = {p.key: (p.message, p.severity) for p in strategy.check(sf).problems}
    assert found["loop.TC.mv"] == ("'V' has no effect on 'L' in the plant model: the loop "
                                   "cannot move its CV", strategy.WARNING)


def test_local_plants_must_have_the_same_cvs(tmp_path):
    (tmp_path / "m.json").write_text(json.dumps({"T": {"V": {"mode": "stp", "stp": [1]}},
                                                 "Q": {"V": {"mode": "stp", "stp": [1]}}}))
    found = dict(errors(tmp_path, LPV))
    assert "local plants must have the same CVs: 'Q'" in found["plant.local.high.model"]

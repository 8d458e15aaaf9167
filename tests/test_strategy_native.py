"""The native engine against the Python engine: the same traces bit for bit
(every shipped example, every kind of block), the same printed lines,
laboratory results and files, the same failures and non-finite values
located alike; compiled plans that pickle; which engine runs, and what the
run says about it."""
import csv
import dataclasses
import hashlib
import os
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest

pytest.importorskip("pydantic")

from qxdcs import cli, demo, strategy  # noqa: E402
from qxdcs.strategy import native  # noqa: E402
from qxdcs.strategy.plan import Step  # noqa: E402

from strategies import MINIMAL, load_text, text  # noqa: E402
from test_strategy_run import CASCADE, EVERY_KIND, UNSTABLE  # noqa: E402

# The kinds and options EVERY_KIND leaves out: a derivative, mode changes, a
# feed-forward through a transfer function, measurement noise, noise without
# an input, filtered noise with one, a lag and a pass-through lead-lag, a
# transfer function with an initial value, a rate limit falling faster than
# it rises, step-response models and an integrator, alarms of every
# condition, a soft sensor without a bias filter, its results recorded.
MORE_KINDS = MINIMAL.replace("sp = [[20, 21.0]]", """sp = [[20, 21.0]]
TD = 2.0
N = 8.0
mode = "manual"
mode_changes = [[10, "auto"], [120, "manual"], [150, "auto"]]
measurement_noise = 0.02
feedforward = { signal = "F", gain = -0.5, num_s = [1], den_s = [4, 1] }""") + """
[signal.U]
kind = "noise"
sigma = 0.5
mean = 1.0
[signal.W2]
kind = "filtered_noise"
of = "F"
sigma = 0.2
num_s = [1]
den_s = [4, 1]
offset = 0.5
[signal.LAG]
kind = "lead_lag"
input = "F"
alpha = 0.0
tao_s = 6
[signal.PASS]
kind = "lead_lag"
input = "F"
alpha = 0.5
tao_s = 0
[signal.TF2]
kind = "transfer_function"
input = "T"
num_s = [2, 1]
den_s = [5, 1]
initial = 3.0
[signal.RL2]
kind = "rate_limit"
input = "U"
rise_per_min = 6
fall_per_min = 120
[signal.STP]
kind = "model"
initial = 1.0
model.F = { mode = "stp", stp = [0.1, 0.4, 0.8, 1.0] }
model.T = { mode = "tf_s", num_s = [1], den_s = [3, 1], iodelay_s = 2 }
model.U = { mode = "stpxy", x = [0, 2, 5], y = [0.0, 0.1, 0.3], IntegralMark = 1 }
[alarm.T_dev]
loop = "TC"
band = 0.3
delay_s = 3
[alarm.T_low]
signal = "T"
below = 20.5
delay_s = 1
[alarm.U_out]
kind = "off_delay"
signal = "U"
above = 1.5
below = 0.5
delay_s = 4
[soft_sensor.Q]
prediction = "T"
true_value = "STP"
lab_every_s = 10
lab_delay_s = 3
lab_noise = 0.01
bias_filter_samples = 0
const_samples = 0
history_samples = 100
"""

# An LPV plant: two local plants of different dynamics and gain, the working
# value a ramp across both and beyond, a disturbance, a test signal as an
# MV, a ramped setpoint and a delayed CV.
LPV = """
[simulation]
sample_period_s = 2
samples = 300
seed = 11

[plant]
working_value = "load"
initial = { Y = 5.0, U = 20.0, D = 0.0 }
disturbance = { Y = "kick" }
[plant.local.low]
working_point = 10.0
model.Y.U = { mode = "tf_s", num_s = [0.5], den_s = [20, 1], iodelay_s = 4 }
model.Y.D = { mode = "tf_z", num_z = [0.2], den_z = [1, -0.8], iodelay_z = 1 }
[plant.local.high]
working_point = 30.0
gain = 2.0
model.Y.U = { mode = "tf_s", num_s = [0.5], den_s = [30, 1], iodelay_s = 6 }
model.Y.D = { mode = "stpxy", x = [0, 3, 8], y = [0.0, 0.5, 1.0] }

[signal.load]
kind = "ramp"
points = [[0, 5.0], [300, 35.0]]
[signal.kick]
kind = "steps"
initial = 0.0
at = [[200, 0.3], [260, 0.0]]
[signal.D]
kind = "test_signal"
half_period_s = 20
amplitude = 0.5
[signal.late]
kind = "delay"
input = "Y"
delay_s = 10

[loop.YC]
cv = "Y"
mv = "U"
KP = 3.0
TI = 30.0
sp = [[40, 8.0]]
sp_rate_per_min = 3.0
"""

STRATEGIES = {"every kind": text(EVERY_KIND), "more kinds": MORE_KINDS, "cascade": CASCADE,
              "lpv": LPV}


def assert_same(a, b):
    """Two results of one plan agree bit for bit, signal by signal."""
    assert (a.engine, b.engine) == ("python", "native")
    assert a.samples == b.samples
    assert np.array_equal(a.time, b.time)
    for name in a.plan.signals:
        assert np.array_equal(a.traces[name], b.traces[name], equal_nan=True), name
    assert a.lab == b.lab
    assert a.printed == b.printed
    assert a.non_finite == b.non_finite


def both(plan, **kwargs):
    return (strategy.run(plan, engine="python", **kwargs),
            strategy.run(plan, engine="native", **kwargs))


def lab_lines(path):
    """The laboratory CSV file without its export times (the wall clock)."""
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    return [rows[0]] + [r[1:] for r in rows[1:]]


@pytest.mark.parametrize("example", ["reactor.toml", "column.toml"])
@pytest.mark.parametrize("seed", [None, 5])
def test_every_shipped_example_runs_alike_on_both_engines(tmp_path, example, seed):
    plan = strategy.make_plan(strategy.load(demo.example_path(example)), seed=seed)
    dirs = [tmp_path / "python", tmp_path / "native"]
    a, b = (strategy.run(plan, str(d), engine=e) for d, e in zip(dirs, ("python", "native")))
    assert_same(a, b)
    assert a.lab_files.keys() == b.lab_files.keys()
    for name in a.lab_files:
        assert lab_lines(a.lab_files[name]) == lab_lines(b.lab_files[name])
    if example == "reactor.toml":
        assert len(lab_lines(b.lab_files["AI201_quality"])) > 5 and b.printed


@pytest.mark.parametrize("name", STRATEGIES)
def test_each_kind_of_block_runs_alike_on_both_engines(tmp_path, name):
    plan = strategy.make_plan(load_text(tmp_path, STRATEGIES[name]))
    a, b = both(plan, lab_dir=str(tmp_path))
    assert_same(a, b)
    for n in plan.signals:
        assert np.isfinite(b.traces[n]).all(), n
    if name == "more kinds":
        assert b.printed.count("Q: Bias Update") >= 1 and b.lab_files
        assert np.ptp(b.traces["REC_Q"]) == 1.0


def test_the_strategies_cover_every_kind(tmp_path):
    seen = set()
    for body in STRATEGIES.values():
        plan = strategy.make_plan(load_text(tmp_path, body))
        seen |= {s.kind for s in plan.schedules + plan.steps + plan.after}
    assert seen == set(strategy.plan.KINDS)


# --- failures and values that are not finite ------------------------------------------------------

OVERFLOW = text("""
[signal.R]
kind = "ramp"
points = [[0, 0.0], [100, 1e300]]
[signal.S]
kind = "sum"
inputs = { R = 1e10 }
[signal.SD]
kind = "delay"
input = "S"
delay_s = 5
""")

SOFT_FAILS = text("""
[signal.P]
kind = "constant"
value = 1.0
[soft_sensor.Q]
prediction = "T"
true_value = "P"
lab_every_s = 10
lab_delay_s = 2
""").replace("den_s = [10, 1], iodelay_s = 2", "den_s = [1, -1]").replace("samples = 200",
                                                                          "samples = 2000")


@pytest.mark.parametrize("body, signal, block", [
    (UNSTABLE, "T", "plant"),
    (OVERFLOW, "S", "signal.S"),
])
def test_a_value_that_stops_being_finite_is_located_alike(tmp_path, body, signal, block):
    plan = strategy.make_plan(load_text(tmp_path, body))
    a, b = both(plan)
    assert_same(a, b)
    nf = b.non_finite
    assert (nf.signal, nf.block) == (signal, block) and 0 < nf.sample < plan.samples
    assert np.isfinite(b.traces[signal][:nf.sample]).all()
    assert not np.isfinite(b.traces[signal][nf.sample])
    # Stopping there: both raise with it, keep the samples before it and name the block.
    stopped = []
    for name in ("python", "native"):
        engine = strategy.make_engine(plan, engine=name)
        with pytest.raises(strategy.EngineFailure) as exc:
            engine.run(check_finite=True)
        assert exc.value.non_finite == nf and str(exc.value) == str(nf)
        assert engine.failure == (nf.sample, block) and engine.k == nf.sample
        stopped.append(engine.result())
    assert stopped[0].samples == stopped[1].samples == nf.sample
    for name in plan.signals:
        assert np.array_equal(stopped[0].traces[name], stopped[1].traces[name]), name


def test_a_failing_block_fails_alike_and_the_value_before_it_is_found(tmp_path):
    plan = strategy.make_plan(load_text(tmp_path, SOFT_FAILS))
    got = []
    for name in ("python", "native"):
        engine = strategy.make_engine(plan, engine=name)
        with pytest.raises(ValueError, match="^Q Bias Update: prd_data is not finite!$"):
            engine.run()
        got.append((engine.failure, engine.result()))
    (fa, ra), (fb, rb) = got
    assert fa == fb and fa[1] == "soft_sensor.Q"
    assert_same(ra, rb)
    # The prediction T became infinite in the sample the soft sensor failed in.
    assert rb.non_finite.signal == "T" and rb.non_finite.sample == fb[0] == rb.samples
    for name in ("python", "native"):
        engine = strategy.make_engine(plan, engine=name)
        with pytest.raises(strategy.EngineFailure) as exc:
            engine.run(check_finite=True)
        assert exc.value.non_finite == rb.non_finite


def test_qxdcs_run_names_the_block_of_a_diverging_signal(tmp_path, capsys):
    from strategies import write
    path = write(tmp_path, UNSTABLE)
    for engine in ("native", "python"):
        status = cli.main(["run", path, "--out", str(tmp_path / engine), "--no-plot",
                           "--traces", "csv", "--engine", engine])
        err = capsys.readouterr().err
        assert status == 1
        assert "the run diverged: T is not a finite number from t = 732 s (sample 732) on " \
               "(it became inf, written by plant); no files written" in err


# --- compiled plans, snapshots, threads -------------------------------------------------------------

def test_a_compiled_plan_pickles_and_runs_in_a_fresh_interpreter(tmp_path):
    plan = strategy.make_plan(strategy.load(demo.example_path("reactor.toml")), samples=300)
    compiled = pickle.loads(pickle.dumps(strategy.compile_plan(plan)))
    assert isinstance(compiled, strategy.NativePlan) and compiled.plan == plan
    python = strategy.run(plan, engine="python")
    assert_same(python, strategy.run(compiled))
    blob = tmp_path / "plan.pickle"
    blob.write_bytes(pickle.dumps(compiled))
    code = (f"import pickle, hashlib, numpy as np\nfrom qxdcs import strategy\n"
            f"p = pickle.loads(open({str(blob)!r}, 'rb').read())\n"
            f"r = strategy.run(p)\n"
            f"t = np.column_stack([r.traces[s] for s in p.plan.signals])\n"
            f"print(r.engine, hashlib.sha256(t.tobytes()).hexdigest())\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=str(tmp_path), timeout=120)
    assert proc.returncode == 0, proc.stderr
    here = np.column_stack([python.traces[s] for s in plan.signals])
    assert proc.stdout.split() == ["native", hashlib.sha256(here.tobytes()).hexdigest()]


def test_scenarios_that_share_blocks_compile_alike(tmp_path):
    """Coefficients are computed once per set of numbers: a study's next
    scenario reuses them, and one that changes them gets its own."""
    sf = strategy.load(demo.example_path("reactor.toml"))
    base = strategy.make_plan(sf, samples=200)
    first = strategy.compile_plan(base).data
    assert strategy.compile_plan(strategy.make_plan(sf, samples=200)).data == first
    for changes in ({"plant.local.low.gain": 1.4}, {"loop.TI101.feedforward.lead_lag.tao_s": 300},
                    {"signal.quality.model.AI201.num_z": [0.45]}):
        plan = strategy.make_plan(sf.replace(changes), samples=200)
        assert strategy.compile_plan(plan).data != first
        assert_same(*both(plan))


def test_the_numbers_a_block_is_built_from_are_told_apart_to_the_bit():
    key = native._key
    assert key({"num_s": [0.0, 1]}) != key({"num_s": [-0.0, 1]})
    assert key([1, 2.0]) != key([1.0, 2.0]) and key((1.0,)) == key([1.0])
    assert key({"a": 1, "b": 2}) != key({"b": 2, "a": 1})     # key order is model order
    with pytest.raises(TypeError):
        key({"x": object()})


def test_a_snapshot_of_a_native_run_continues_exactly(tmp_path):
    plan = strategy.make_plan(load_text(tmp_path, MORE_KINDS))
    lab = tmp_path / "lab"
    whole = strategy.run(plan, str(tmp_path / "whole"), engine="python")
    engine = strategy.NativeEngine(plan, str(lab))
    for _ in range(57):
        engine.step()
    engine.run_to(123)
    csv_file = lab / "Q_Raw_LabData.csv"
    before = csv_file.read_text()
    again = pickle.loads(pickle.dumps(engine))
    assert again.k == 123 and csv_file.read_text() == before    # no line written twice
    assert again.printed == engine.printed and again.values == engine.values
    rest = again.run()
    assert_same(whole, rest)
    assert lab_lines(rest.lab_files["Q"]) == lab_lines(whole.lab_files["Q"])


def test_native_runs_in_threads_give_the_same_traces(tmp_path):
    plan = strategy.make_plan(strategy.load(demo.example_path("column.toml")))
    alone = strategy.run(plan)
    results = [None] * 4

    def go(i):
        results[i] = strategy.run(plan)

    threads = [threading.Thread(target=go, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        for name in plan.signals:
            assert np.array_equal(r.traces[name], alone.traces[name]), name


# --- which engine ----------------------------------------------------------------------------

def _with_custom_step(plan):
    custom = Step("custom", {}, (), plan.steps[0].output, "signal.custom")
    return dataclasses.replace(plan, steps=plan.steps + (custom,))


def test_auto_takes_native_where_it_can_and_says_why_not(tmp_path):
    plan = strategy.make_plan(load_text(tmp_path, text()))
    assert strategy.choose(plan) == strategy.choose(plan, "native") == strategy.engines.Choice(
        "native")
    assert str(strategy.choose(plan, "python")) == "Python engine"
    assert type(strategy.make_engine(plan)) is strategy.NativeEngine
    assert type(strategy.make_engine(plan, engine="python")) is strategy.Engine
    odd = _with_custom_step(plan)
    choice = strategy.choose(odd)
    assert choice.name == "python" and "'custom' (signal.custom)" in choice.reason
    assert str(choice).startswith("Python engine (the native engine cannot run it: it has no "
                                  "block of kind 'custom'")
    with pytest.raises(strategy.NotNative, match="no block of kind 'custom'"):
        strategy.make_engine(odd, engine="native")
    with pytest.raises(ValueError, match="no engine 'fast': auto, native or python"):
        strategy.choose(plan, "fast")


def test_qxdcs_run_says_which_engine_ran(tmp_path, capsys, monkeypatch):
    from strategies import write
    path = write(tmp_path, MINIMAL)
    runs = {}
    for args in ([], ["--engine", "python"], ["--engine", "native"]):
        status = cli.main(["run", path, "--out", str(tmp_path / "out"), "--no-plot",
                           "--traces", "csv"] + args)
        out = capsys.readouterr().out
        assert status == 0
        runs[tuple(args)] = out.splitlines()[-1]
    assert runs[()].endswith(" on the native engine")
    assert runs[("--engine", "native")].endswith(" on the native engine")
    assert runs[("--engine", "python")].endswith(" on the Python engine")
    # A plan the native engine cannot run: the Python engine, and why.
    monkeypatch.setattr(native, "NATIVE_KINDS", native.NATIVE_KINDS - {"pid"})
    assert cli.main(["run", path, "--out", str(tmp_path / "out"), "--no-plot",
                     "--traces", "csv"]) == 0
    assert capsys.readouterr().out.splitlines()[-1].endswith(
        " on the Python engine (the native engine cannot run it: it has no block of kind "
        "'pid' (loop.TC.mv))")
    status = cli.main(["run", path, "--out", str(tmp_path / "out"), "--no-plot",
                       "--engine", "native"])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 1 and len(err) == 1
    assert err[0] == (f"qxdcs: error: {path}: the native engine cannot run this plan: it has "
                      f"no block of kind 'pid' (loop.TC.mv); run it with --engine python")


def test_the_compiled_plan_holds_the_python_blocks_coefficients(tmp_path):
    """The coefficients come from SciPy through the package's blocks, not from
    the C++ discretisation (which agrees only to rounding)."""
    from qxdcs.algorithm.qxFilter import sFilter
    plan = strategy.make_plan(strategy.load(demo.example_path("column.toml")))
    data = strategy.compile_plan(plan).data
    (ff,) = [s for s in data["steps"] if s[1] == "loop.XD.feedforward"]
    f = sFilter([-297.47, -0.296875], [894, 1], 6.0, 0.0, 0.0)._zfilter
    assert list(ff[4]["bz"]) == list(f._Bz) and list(ff[4]["az"]) == list(f._Az)


# --- the compiled module ---------------------------------------------------------------------

def test_bad_plan_data_and_trace_arrays_are_refused_without_a_crash(tmp_path):
    from child import run_child
    plan = strategy.make_plan(load_text(tmp_path, text(EVERY_KIND)))
    blob = tmp_path / "data.pickle"
    blob.write_bytes(pickle.dumps(strategy.compile_plan(plan).resolved()))
    run_child(f"""
        import copy, pickle, numpy as np
        from qxdcs.strategy import _engine
        good = pickle.loads(open({str(blob)!r}, "rb").read())

        def refused(data, kind, text=""):
            try:
                _engine.Strategy(data)
            except kind as exc:
                assert text in str(exc), exc
            else:
                raise AssertionError("accepted")

        bad = copy.deepcopy(good); del bad["plant"]
        refused(bad, KeyError, "plant")
        bad = copy.deepcopy(good); bad["steps"][0] = ("pid",) + bad["steps"][0][1:]
        refused(bad, KeyError)
        bad = copy.deepcopy(good); k, key, i, o, p = bad["steps"][0]; bad["steps"][0] = (k, key, [99], o, p)
        refused(bad, ValueError, "input slot 99 out of range")
        bad = copy.deepcopy(good); k, key, i, o, p = bad["steps"][0]
        bad["steps"][0] = (k, key, i, o, dict(p, values=p["values"][:10]))
        refused(bad, ValueError, "a noise value is needed for every sample")
        bad = copy.deepcopy(good); bad["steps"][0] = ("wobble",) + bad["steps"][0][1:]
        refused(bad, ValueError, "no block of kind 'wobble'")
        bad = copy.deepcopy(good); bad["initial"] = bad["initial"][:-1]
        refused(bad, ValueError, "one initial value per signal")
        bad = copy.deepcopy(good); bad["signals"] = 5
        refused(bad, TypeError)
        run = _engine.Strategy(good)
        n, m = run.samples, run.n_signals
        frozen = np.zeros((n, m))
        frozen.flags.writeable = False
        for traces in (np.zeros((n, m + 1)), np.zeros((n - 1, m)), np.zeros((n, m), np.float32),
                       np.zeros((m, n)).T, [[0.0] * m] * n, frozen):
            try:
                run.run_to(5, traces)
            except (ValueError, TypeError):
                pass
            else:
                raise AssertionError("accepted")
        assert run.k == 0
        traces = np.zeros((n, m))
        assert run.run_to(n, traces) == n and np.isfinite(traces).all()
        print("ok")
        """, cwd=str(tmp_path))


def test_the_stub_of_the_compiled_module_names_what_it_has():
    import ast
    from qxdcs.strategy import _engine
    stub = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "qxdcs",
                        "strategy", "_engine.pyi")
    tree = ast.parse(open(stub, encoding="utf-8").read())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    stubbed = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)} - {"__init__"}
    public = {n for n in dir(_engine.Strategy) if not n.startswith("_")}
    assert stubbed == public
    for n in cls.body:
        if isinstance(n, ast.FunctionDef) and n.name != "stop_at_non_finite":
            assert ast.get_docstring(n), n.name

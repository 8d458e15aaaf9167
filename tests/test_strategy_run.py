"""Running strategies: what every kind of block does in a run, the engine's
snapshots and seeds, and the commands `qxdcs run` and `qxdcs check`."""
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("pydantic")

from qxdcs import cli, demo, strategy  # noqa: E402
from qxdcs.strategy import outputs  # noqa: E402

from strategies import MINIMAL, load_text, text, write  # noqa: E402

EVERY_KIND = """
[signal.R]
kind = "ramp"
points = [[0, 0.0], [10, 5.0]]
[signal.C]
kind = "constant"
value = 2.0
[signal.N]
kind = "noise"
of = "R"
sigma = 0.1
[signal.W]
kind = "filtered_noise"
sigma = 1.0
num_s = [1]
den_s = [1, 0]
[signal.TS]
kind = "test_signal"
half_period_s = 5
amplitude = 2.0
offset = 1.0
[signal.S]
kind = "sum"
inputs = { R = 2.0, C = -1.0 }
bias = 0.5
[signal.LL]
kind = "lead_lag"
input = "R"
alpha = 1.0
tao_s = 4
[signal.TF]
kind = "transfer_function"
input = "F"
num_s = [1]
den_s = [3, 1]
[signal.RL]
kind = "rate_limit"
input = "F"
rise_per_min = 30
[signal.D]
kind = "delay"
input = "R"
delay_s = 3
[signal.M]
kind = "model"
initial = 5.0
model.T = { mode = "tf_z", num_z = [2.0], den_z = [1.0] }
[alarm.R_high]
kind = "off_delay"
signal = "R"
above = 3.0
delay_s = 2
"""


@pytest.fixture(scope="module")
def every_kind(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("kinds")
    plan = strategy.make_plan(load_text(tmp, text(EVERY_KIND)))
    return plan, strategy.Engine(plan).run()


def test_schedules_sums_limits_and_delays_give_their_values(every_kind):
    _, r = every_kind
    tr, k = r.traces, np.arange(200)
    ramp = np.minimum(0.5 * k, 5.0)
    assert np.allclose(tr["R"], ramp)
    assert np.array_equal(tr["S"], 0.5 + 2.0 * tr["R"] - 1.0 * tr["C"])
    assert np.array_equal(tr["D"][3:], tr["R"][:-3]) and np.all(tr["D"][:3] == 0.0)
    assert np.allclose(tr["LL"], tr["R"])                    # alpha 1: passes the input
    rl = tr["RL"]
    assert rl[99] == 10.0 and list(rl[100:105]) == [10.5, 11.0, 11.5, 12.0, 12.0]  # 30/min, 1 s
    assert tr["TF"][0] == 10.0 and 11.9 < tr["TF"][-1] < 12.0
    assert np.array_equal(tr["M"], 5.0 + 2.0 * (tr["T"] - 20.0))
    assert set(np.unique(tr["TS"])) == {-1.0, 3.0}
    # The steps schedule of the MINIMAL file: 10, then 12 from t = 100 s.
    assert np.all(tr["F"][:100] == 10.0) and np.all(tr["F"][100:] == 12.0)


def test_noise_and_a_random_walk(every_kind):
    _, r = every_kind
    tr = r.traces
    assert 0.07 < np.std(tr["N"] - tr["R"]) < 0.13
    steps = np.diff(tr["W"])                   # 1/s: each sample adds Ts times the noise
    assert tr["W"][0] == 0.0 and 0.8 < np.std(steps) < 1.2
    assert abs(tr["W"][-1]) > 0.5 or np.ptp(tr["W"]) > 3      # it wanders


def test_an_off_delay_alarm(every_kind):
    _, r = every_kind
    on = r.traces["R_high"]
    assert np.all(on[:7] == 0) and np.all(on[7:] == 1)       # R > 3 from sample 7 on


def test_the_loop_tracks_its_setpoint_and_starts_bumplessly(every_kind):
    plan, r = every_kind
    tr = r.traces
    assert tr["V"][0] == 50.0 and abs(tr["V"][1] - 50.0) < 1e-9   # no error, no move
    assert abs(tr["T"][-1] - 21.0) < 0.05 and tr["SP_TC"][25] == 21.0


CASCADE = """
[simulation]
sample_period_s = 1
samples = 400

[plant]
initial = { T = 50.0, Q = 10.0, V = 40.0 }
[plant.model.Q]
V = { mode = "tf_s", num_s = [0.5], den_s = [3, 1] }
[plant.model.T]
V = { mode = "tf_s", num_s = [1.0], den_s = [40, 1], iodelay_s = 2 }

[loop.TC]
cv = "T"
mv = "QC_SP"
KP = 1.0
TI = 40.0
op_low = 0.0
op_high = 30.0
mode = "manual"
mode_changes = [[30, "auto"]]
sp = [[100, 55.0]]

[loop.QC]
cv = "Q"
mv = "V"
KP = 0.8
TI = 3.0
sp = "QC_SP"
sp_rate_per_min = 120
"""


def test_a_cascade_runs_the_outer_loop_into_the_inner_setpoint(tmp_path):
    plan = strategy.make_plan(load_text(tmp_path, CASCADE))
    assert [s.kind for s in plan.steps] == ["pid", "rate_limit", "pid"]
    r = strategy.Engine(plan).run()
    tr = r.traces
    assert tr["QC_SP"][0] == 10.0                      # starts at the inner CV: no bump
    assert np.all(tr["QC_SP"][:30] == 10.0)            # the outer loop in manual holds
    assert abs(tr["T"][-1] - 55.0) < 0.2 and abs(tr["Q"][-1] - tr["QC_SP"][-1]) < 0.05
    assert np.max(np.abs(np.diff(tr["SP_QC"]))) <= 2.0 + 1e-12    # 120 per minute, 1 s


def test_runs_repeat_and_a_snapshot_continues_exactly(tmp_path):
    plan = strategy.make_plan(load_text(tmp_path, text(EVERY_KIND)))
    a = strategy.Engine(plan)
    for _ in range(57):
        a.step()
    b = pickle.loads(pickle.dumps(a))
    ra, rb, rc = a.run(), b.run(), strategy.Engine(plan).run()
    for name in plan.signals:
        assert np.array_equal(ra.traces[name], rb.traces[name], equal_nan=True), name
        assert np.array_equal(ra.traces[name], rc.traces[name], equal_nan=True), name


def test_the_seed_moves_every_random_stream_and_each_stream_is_its_own(tmp_path):
    sf = load_text(tmp_path, text(EVERY_KIND))
    base = strategy.Engine(strategy.make_plan(sf)).run().traces
    other = strategy.Engine(strategy.make_plan(sf, seed=4)).run().traces
    assert not np.array_equal(base["N"], other["N"]) and not np.array_equal(base["W"], other["W"])
    own = strategy.Engine(strategy.make_plan(sf.replace({"signal.N.seed": 9}))).run().traces
    assert not np.array_equal(base["N"], own["N"]) and np.array_equal(base["W"], own["W"])


def test_a_failing_block_names_the_sample_and_the_step(tmp_path):
    body = text("""
    [signal.P]
    kind = "constant"
    value = 1.0
    [soft_sensor.Q]
    prediction = "T"
    true_value = "P"
    lab_every_s = 10
    lab_delay_s = 2
    """).replace("den_s = [10, 1], iodelay_s = 2", "den_s = [1, -1]")
    plan = strategy.make_plan(load_text(tmp_path, body).replace({"simulation.samples": 2000}))
    engine = strategy.Engine(plan)
    with pytest.raises(ValueError, match="Q Bias Update: prd_data is not finite!"):
        engine.run()
    k, where = engine.failure
    assert where == "soft_sensor.Q" and 700 < k < 2000
    assert engine.result().samples == k and np.isfinite(engine.result().traces["T"]).all()


# --- the commands ---------------------------------------------------------------------

def run_cli(*args, capsys=None):
    status = cli.main(list(args))
    out, err = capsys.readouterr() if capsys is not None else ("", "")
    return status, out, err


@pytest.mark.parametrize("example, samples", [("reactor.toml", "150"), ("column.toml", "400")])
def test_qxdcs_run_on_each_shipped_example(tmp_path, capsys, example, samples):
    pytest.importorskip("matplotlib")
    out = tmp_path / "out"
    status, stdout, err = run_cli("run", demo.example_path(example), "--out", str(out),
                                  "--samples", samples, capsys=capsys)
    assert status == 0, err
    names = set(os.listdir(out))
    assert {"summary.csv", "summary.json", "figure.png"} <= names
    assert names & {"traces.csv", "traces.parquet"}
    summary = json.loads((out / "summary.json").read_text())
    assert summary["samples"] == int(samples) and set(summary["loops"])
    assert stdout.splitlines()[0].startswith("loop ")
    assert not [n for n in names if n.startswith(".qxdcs-partial")]
    if example == "reactor.toml":
        assert "AI201_quality_Raw_LabData.csv" in names
        assert "soft sensor RMS error (AI201_quality)" in stdout


@pytest.mark.parametrize("example", ["reactor.toml", "column.toml", "reactor-model.json"])
def test_qxdcs_check_passes_each_shipped_example(capsys, example):
    status, stdout, err = run_cli("check", demo.example_path(example), capsys=capsys)
    assert status == 0, stdout + err
    assert stdout.strip().endswith("no errors, 0 warnings")


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_traces_in_both_formats_hold_time_first_and_the_units(tmp_path, capsys, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    path = write(tmp_path, MINIMAL.replace("[plant]\n", '[plant]\nunits = { T = "degC" }\n'))
    out = tmp_path / "out"
    status, _, err = run_cli("run", path, "--out", str(out), "--no-plot", "--traces", fmt,
                             capsys=capsys)
    assert status == 0, err
    file = out / f"traces.{fmt}"
    traces = outputs.read_traces(str(file))
    names = list(traces)
    assert names[0] == "time" and names[1:5] == ["T", "L", "V", "F"]
    assert np.array_equal(traces["time"], np.arange(200.0))
    plan = strategy.make_plan(strategy.load(path))
    again = strategy.Engine(plan).run()
    assert np.array_equal(traces["T"], again.traces["T"])      # bit for bit through the file
    if fmt == "csv":
        header = file.read_text().splitlines()[0].split(",")
        assert header[:3] == ["time [s]", "T [degC]", "L"]
    else:
        import pyarrow.parquet as pq
        schema = pq.read_schema(str(file))
        assert schema.field("T").metadata == {b"unit": b"degC"}
        assert schema.field("time").metadata == {b"unit": b"s"}
    # A run in the other format replaces the earlier traces.
    other = "parquet" if fmt == "csv" else "csv"
    if other == "csv" or outputs.have_pyarrow():
        assert run_cli("run", path, "--out", str(out), "--no-plot", "--traces", other,
                       capsys=capsys)[0] == 0
        assert not file.exists() and (out / f"traces.{other}").exists()


def _folder(out):
    return {name: (out / name).read_bytes() for name in sorted(os.listdir(out))}


UNSTABLE = MINIMAL.replace("den_s = [10, 1], iodelay_s = 2", "den_s = [1, -1]") \
    .replace("samples = 200", "samples = 1000")


@pytest.mark.parametrize("case", ["diverging", "figure fails", "summary fails"])
def test_a_failed_run_leaves_the_folder_as_it_was(tmp_path, capsys, monkeypatch, case):
    good = write(tmp_path, MINIMAL, "good.toml")
    out = tmp_path / "out"
    assert run_cli("run", good, "--out", str(out), "--no-plot", "--traces", "csv",
                   capsys=capsys)[0] == 0
    before = _folder(out)
    path = good
    if case == "diverging":
        path = write(tmp_path, UNSTABLE, "bad.toml")
    elif case == "figure fails":
        pytest.importorskip("matplotlib")
        from qxdcs.strategy import figure

        def full(*args, **kwargs):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(figure, "draw", full)
    else:
        def full(*args, **kwargs):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(outputs, "write_summary", full)
    args = ["run", path, "--out", str(out), "--traces", "csv", "--seed", "8"]
    if case != "figure fails":
        args.append("--no-plot")
    status, _, err = run_cli(*args, capsys=capsys)
    assert status == 1
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err, err
    if case == "diverging":
        assert "the run diverged: T is not a finite number from t = " in err
    else:
        assert "No space left on device; no files written" in err
    assert _folder(out) == before


def test_a_file_with_errors_lists_them_and_runs_nothing(tmp_path, capsys):
    path = write(tmp_path, MINIMAL.replace("TI = 10.0", "TI = -10.0").replace("KP = 2.0",
                                                                              "Kp = 2.0"))
    out = tmp_path / "out"
    status, stdout, err = run_cli("run", path, "--out", str(out), capsys=capsys)
    lines = err.strip().splitlines()
    assert status == 1 and stdout == ""
    assert lines[-1] == f"qxdcs: error: {path}: 3 errors; nothing ran"
    assert any("loop.TC.Kp: unknown key 'Kp'; did you mean 'KP'?" in l for l in lines)
    assert any("loop.TC: missing key 'KP'" in l for l in lines)
    assert os.listdir(out) == []


@pytest.mark.parametrize("args, status, text_", [
    (["run", "missing.toml"], 1, "missing.toml: cannot read the file"),
    (["run", "{good}", "--samples", "0"], 2, "must be at least 1"),
    (["run", "{good}", "--seed", "x"], 2, "not a whole number"),
    (["run"], 2, "the following arguments are required: FILE"),
    (["check", "{good}", "--sample-period", "1"], 2, "for model files"),
    (["check", "{json}", "--sample-period", "-1"], 2, "positive number of seconds"),
])
def test_usage_and_file_errors_are_one_line(tmp_path, capsys, monkeypatch, args, status, text_):
    monkeypatch.chdir(tmp_path)
    good = write(tmp_path, MINIMAL, "good.toml")
    (tmp_path / "m.json").write_text('{"T": {"V": {}}}')
    args = [a.format(good=good, json="m.json") for a in args]
    got, _, err = run_cli(*args, capsys=capsys)
    assert got == status
    assert len(err.strip().splitlines()) == 1 and text_ in err and "Traceback" not in err


def test_check_of_a_model_file_with_problems(tmp_path, capsys):
    path = tmp_path / "plant.json"
    path.write_text(json.dumps({"T": {"V": {"mode": "tf_s", "num_s": [1], "den_s": [2, 1],
                                            "iodelay": 3}}}))
    status, stdout, err = run_cli("check", str(path), capsys=capsys)
    assert status == 1
    assert stdout.splitlines() == [f"{path}: T.V.iodelay: unknown key 'iodelay'; did you mean "
                                   f"'iodelay_s'?"]
    assert err.strip() == f"qxdcs: error: {path}: 1 error, 0 warnings"


def test_without_pydantic_the_commands_say_which_extra_to_install(tmp_path):
    code = ("import sys; sys.modules['pydantic'] = None\n"
            "from qxdcs import cli\n"
            f"sys.exit(cli.main(['check', {str(tmp_path / 'x.toml')!r}]))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 1
    assert proc.stderr.strip() == ("qxdcs: error: strategy files need pydantic: "
                                   "pip install 'qxdcs[strategy]'")


def test_the_readme_strategy_example_checks_and_runs(tmp_path, capsys):
    import re
    readme = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "README.md")
    with open(readme, encoding="utf-8") as f:
        (example,) = re.findall(r"```toml\n(.*?)```", f.read(), re.S)
    path = write(tmp_path, example, "my_plant.toml")
    assert run_cli("check", path, capsys=capsys)[0] == 0
    status, stdout, err = run_cli("run", path, "--out", str(tmp_path / "run1"), "--no-plot",
                                  capsys=capsys)
    assert status == 0, err
    # A PI loop that does not overshoot: IAE = TI * (change of output) / KP = 30 * 10 / 2.
    summary = json.loads((tmp_path / "run1" / "summary.json").read_text())
    assert summary["loops"]["TC"]["IAE"] == pytest.approx(150.0, rel=1e-3)

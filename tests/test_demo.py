"""The closed-loop plant study (python -m qxdcs.demo, the reactor's strategy
file run by the strategy runner): what it shows must be what happened in the
run."""
import csv
import os
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

from qxdcs import demo


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    return demo.simulate(demo.Scenario(), str(out)), out


@pytest.mark.parametrize("loop", ["TI101", "AI201"])
def test_every_loop_settles_at_its_setpoint(run, loop):
    tr = run[0].traces
    sp, pv = tr["SP_" + loop][-1], tr[loop][-1]
    assert abs(pv - sp) <= 0.01 * abs(sp)


def test_the_alarm_fires_exactly_when_the_deviation_lasted(run):
    tr = run[0].traces
    alarm = demo.strategy_file().data["alarm"]["TI101_deviation"]
    limit, delay = alarm["band"], int(alarm["delay_s"] / 60)
    # The alarm watches the measurement the controller reads.
    deviated = np.abs(tr["SP_TI101"] - tr["PV_TI101"]) > limit
    lasted = np.array([k >= delay - 1 and deviated[k - delay + 1:k + 1].all()
                       for k in range(len(deviated))])
    assert np.array_equal(tr["alarm"] > 0, lasted)
    assert lasted.any() and deviated.sum() > lasted.sum()   # it fired, and short deviations did not


def test_the_soft_sensor_error_falls_after_the_bias_updates(run):
    errors = demo.soft_sensor_errors(run[0])
    assert errors["corrected_rms"] < 0.5 * errors["raw_rms"]


def test_the_csv_holds_every_laboratory_result(run):
    result, out = run
    with open(result.csv_file, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["ExportTime", "LabTime", "LabData"]
    assert [float(r[2]) for r in rows[1:]] == result.lab_values
    assert [r[1] for r in rows[1:]] == [time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))
                                        for t in result.lab_times]
    assert len(result.lab_values) >= 10


def test_the_loops_start_bumplessly_and_hit_an_output_limit(run):
    result = run[0]
    auto_s = demo.strategy_file().data["loop"]["TI101"]["mode_changes"][0][0]
    tr, k = result.traces, int(auto_s / 60)
    for op in ("FV101", "FV201"):
        assert abs(tr[op][k] - tr[op][k - 1]) < 1.0
    assert demo.loop_metrics(result, "TI101", "FV101")["samples_at_limits"] > 0


def test_runs_repeat_and_a_snapshot_continues_exactly():
    scenario = demo.Scenario(samples=300, seed=4)
    a = demo.ClosedLoop(scenario)
    for _ in range(120):
        a.step()
    b = pickle.loads(pickle.dumps(a))
    ra, rb = a.run(), b.run()
    rc = demo.simulate(scenario)
    for key in demo.ClosedLoop.TRACES:
        assert np.array_equal(ra.traces[key], rb.traces[key]), key
        assert np.array_equal(ra.traces[key], rc.traces[key]), key
    other = demo.simulate(demo.Scenario(samples=300, seed=5))
    assert not np.array_equal(other.traces["TI101"], rc.traces["TI101"])


def _cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "qxdcs.demo", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_the_command_prints_its_tables(tmp_path):
    proc = _cli("--no-plot", "--samples", "300", "--seed", "2", "--out", "out", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "TI101" in proc.stdout and "soft sensor RMS error" in proc.stdout
    assert (tmp_path / "out" / (demo.LAB_NAME + "_Raw_LabData.csv")).exists()
    assert (tmp_path / "out" / "summary.csv").exists()
    assert not (tmp_path / "out" / "qxdcs-demo.png").exists()


@pytest.mark.parametrize("args", [["--samples", "ten"], ["--samples", "5"], ["--seed", "-1"],
                                  ["--frobnicate"], ["--out", "occupied/below"]])
def test_bad_input_gives_one_line_and_a_failure_status(tmp_path, args):
    (tmp_path / "occupied").write_text("a file where a folder is needed")
    proc = _cli("--no-plot", *args, cwd=tmp_path)
    assert proc.returncode != 0
    assert len(proc.stderr.strip().splitlines()) == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith("qxdcs-demo: error:")


def test_the_figure_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    proc = _cli("--samples", "200", "--out", str(tmp_path), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    png = tmp_path / "qxdcs-demo.png"
    assert png.exists() and png.stat().st_size > 10_000
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_quick_start_runs_from_the_source_folder(tmp_path):
    # In a checkout the interpreter finds the source package first; the
    # compiled modules come from the installed copy.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    proc = _cli("--no-plot", "--samples", "120", "--out", str(tmp_path), cwd=root)
    assert proc.returncode == 0, proc.stderr

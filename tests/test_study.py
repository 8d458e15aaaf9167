"""Studies of strategy files: the grid, its checks, rows as they come, where a
study runs, faults (a failing scenario, a killed worker, an interrupted and
resumed study) and the command.

Cluster tests use a local Dask cluster on the loopback address with two
worker processes and skip without Dask's distributed; every step on a
cluster runs under a time bound, so a hung cluster fails its test instead of
the run.
"""
import json
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

pytest.importorskip("pydantic")

from qxdcs import cli, strategy, study  # noqa: E402
from qxdcs.study import command, figure, grid, prepared, results, runner  # noqa: E402

REACTOR = study.reactor_file()
COLUMN = os.path.join(os.path.dirname(REACTOR), "column.toml")
SAMPLES = 120
BOUND = 90.0   # seconds any one cluster step may take on a loaded two-core machine


def bounded(fn, *args, timeout=BOUND, **kwargs):
    """fn(*args, **kwargs) in a daemon thread; fail if it takes longer than timeout."""
    out = {}

    def target():
        try:
            out["value"] = fn(*args, **kwargs)
        except BaseException as exc:  # handed to the test's thread
            out["error"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        pytest.fail(f"{getattr(fn, '__name__', fn)} did not finish within {timeout:g} s")
    if "error" in out:
        raise out["error"]
    return out["value"]


def bits(row):
    """A row with its floats as their bits (NaN and signed zeros told apart)."""
    return {k: struct.pack("<d", v) if isinstance(v, float) else v for k, v in row.items()}


def same_rows(rows, expected):
    assert [list(r) for r in rows] == [list(r) for r in expected]
    assert [bits(r) for r in rows] == [bits(r) for r in expected]


@pytest.fixture(scope="module")
def reactor():
    return strategy.load(REACTOR)


# --- values and axes ------------------------------------------------------------------------

@pytest.mark.parametrize("text, values", [
    ("-6,-4,-2", (-6, -4, -2)),
    ("-2, -4.5", (-2.0, -4.5)),                 # one type per column
    ("1..4", (1, 2, 3, 4)),
    ("3..3", (3,)),
    ("lin(10,40,4)", (10.0, 20.0, 30.0, 40.0)),
    ("log(0.1,10,3)", (0.1, 1.0, 10.0)),
    ("7", (7,)),
])
def test_values(text, values):
    got = grid.parse_values(text, "--grid x")
    assert got == pytest.approx(values, rel=1e-15) and \
        [type(v) for v in got] == [type(v) for v in values]


@pytest.mark.parametrize("text, message", [
    ("5..1", "the range 5..1 is empty"),
    ("lin(1,2)", "lin(a,b,n) takes three numbers"),
    ("lin(1,2,0)", "must be a whole number of at least 1"),
    ("lin(1,2,2.5)", "must be a whole number of at least 1"),
    ("log(0,1,3)", "log(a,b,n) needs a > 0 and b > 0"),
    ("1,two", "'two' is not a number"),
    ("", "no values"),
])
def test_values_that_cannot_be_read(text, message):
    with pytest.raises(grid.GridError, match=f"^--grid x: .*{message}".replace("(", r"\(")
                       .replace(")", r"\)")):
        grid.parse_values(text, "--grid x")


def test_scenarios_are_the_product_with_the_last_axis_fastest():
    axes = [grid.Axis("a", (1, 2)), grid.Axis("b", (10, 20, 30))]
    assert grid.scenarios(axes) == [{"a": a, "b": b} for a in (1, 2) for b in (10, 20, 30)]


def test_the_files_own_grid(reactor):
    axes = command.axes_of(reactor, [])
    assert [a.path for a in axes] == ["loop.TI101.KP", "loop.TI101.TI", "plant.gain_factor",
                                      "plant.delay_factor", "simulation.seed"]
    assert len(grid.scenarios(axes)) == 144
    # --grid options replace it
    assert [a.path for a in command.axes_of(reactor, ["simulation.seed=1..3"])] == \
        ["simulation.seed"]


# --- a scenario applied to the file ----------------------------------------------------------

def test_a_pair_of_an_lpv_plant_is_set_in_every_local_plant(reactor):
    changed = grid.apply(reactor, {"plant.model.TI101.FV101.iodelay_s": 240,
                                   "loop.AI201.TI": 900})
    for name in ("low", "nominal", "high"):
        assert changed.get(f"plant.local.{name}.model.TI101.FV101.iodelay_s") == 240
        assert reactor.get(f"plant.local.{name}.model.TI101.FV101.iodelay_s") == 180
    assert changed.get("loop.AI201.TI") == 900 and reactor.get("loop.AI201.TI") == 1800


def test_factors_scale_every_gain_and_dead_time_of_the_plant(reactor):
    changed = grid.apply(reactor, {"plant.gain_factor": 2.0, "plant.delay_factor": 1.5})
    for name in ("low", "high"):
        before = reactor.get(f"plant.local.{name}.model")
        after = changed.get(f"plant.local.{name}.model")
        assert after["TI101"]["FV101"]["num_s"] == [2.0 * before["TI101"]["FV101"]["num_s"][0]]
        assert after["TI101"]["FV101"]["iodelay_s"] == 1.5 * 180
        assert after["TI101"]["FV101"]["den_s"] == before["TI101"]["FV101"]["den_s"]
        # a step response: every coefficient doubled, its leading zeros 1.5 times as many
        stp, old = after["AI201"]["FV101"]["stp"], before["AI201"]["FV101"]["stp"]
        lead = next(i for i, v in enumerate(old) if v)
        assert stp[:round(1.5 * lead)] == [0.0] * round(1.5 * lead)
        assert stp[round(1.5 * lead):] == [2.0 * v for v in old[lead:]]


def test_the_nominal_value_of_an_axis(reactor):
    assert grid.nominal(reactor, grid.Axis("loop.TI101.KP", (-2.0, -4.0))) == -4.0
    assert grid.nominal(reactor, grid.Axis("loop.TI101.KP", (-2.0, -6.0))) is None
    assert grid.nominal(reactor, grid.Axis("plant.gain_factor", (0.8, 1.0))) == 1.0


@pytest.mark.parametrize("option, message", [
    ("loop.TI10.KP=1", "--grid loop.TI10.KP: no key loop.TI10; did you mean 'TI101'?"),
    ("loop.TI101.cv=1,2", "--grid loop.TI101.cv: loop.TI101.cv is not a number (it holds str "
                          "'TI101')"),
    ("plant.model.TI101.FV102.iodelay_s=1", "no key plant.local.low.model.TI101.FV102"
                                            "; did you mean 'FV101'?"),
])
def test_a_path_that_does_not_fit_the_file(reactor, option, message):
    with pytest.raises(command.Failure) as caught:
        command.check_grid(reactor, [grid.parse_option(option)])
    assert message in str(caught.value) and "\n" not in str(caught.value)


@pytest.mark.parametrize("option, message", [
    ("loop.TI101.TI=1200,-5", "--grid loop.TI101.TI=-5: "),
    ("loop.TI101.KPP=1", "--grid loop.TI101.KPP=1: "),
    ("simulation.seed=-1..1", "--grid simulation.seed=-1: "),
    ("loop.TI101.op_low=0,80", "--grid loop.TI101.op_low=80: "),
])
def test_each_value_is_checked_with_the_checkers_message(reactor, option, message):
    with pytest.raises(command.Failure) as caught:
        command.check_grid(reactor, [grid.parse_option(option)])
    text = str(caught.value)
    assert text.startswith(message)
    path, _, value = option.partition("=")
    value = value.split(",")[-1].split("..")[0]
    # the checker's own line for the file with that value
    changed = strategy.check(grid.apply(reactor, {path: grid.parse_values(value, "")[0]}))
    assert text == message + str(changed.errors[0])


# --- rows -------------------------------------------------------------------------------------

def tuning_grid():
    return [grid.Axis("loop.TI101.KP", (-2.0, -4.0, -6.0)), grid.Axis("loop.AI201.TI", (900, 1800))]


@pytest.fixture(scope="module")
def here_rows(reactor):
    rows = []
    tasks = list(enumerate(grid.scenarios(tuning_grid())))
    runner.run_here(reactor, tasks, rows.extend, SAMPLES)
    return rows


def test_a_row_is_the_changed_file_run_and_summarised(reactor, here_rows):
    assert [r["scenario"] for r in here_rows] == list(range(6))
    row = here_rows[3]
    assert (row["loop.TI101.KP"], row["loop.AI201.TI"], row["error"]) == (-4.0, 1800, "")
    plan = strategy.make_plan(reactor.replace({"loop.TI101.KP": -4.0, "loop.AI201.TI": 1800}),
                              samples=SAMPLES)
    want = strategy.metrics.flat(strategy.metrics.summarize(strategy.run(plan)))
    assert bits({k: row[k] for k in want}) == bits({k: float(v) for k, v in want.items()})
    # the tuning matters: every row differs
    assert len({r["loop.TI101.IAE"] for r in here_rows}) == 6


def test_a_scenario_that_fails_is_a_row_with_its_error(reactor):
    # each value passes alone; together the limits cross
    tasks = list(enumerate(grid.scenarios([grid.Axis("loop.TI101.op_low", (0.0, 60.0)),
                                           grid.Axis("loop.TI101.op_high", (70.0, 50.0))]))
                 )
    rows = []
    runner.run_here(reactor, tasks, rows.extend, SAMPLES)
    assert [bool(r["error"]) for r in rows] == [False, False, False, True]
    assert rows[3]["error"].startswith("StrategyError: ") and "op_" in rows[3]["error"]
    assert "loop.TI101.IAE" not in rows[3]


def test_patched_scenarios_give_the_rows_of_scenarios_built_from_scratch(reactor, monkeypatch):
    """The file's plan is built once and a scenario's numbers are put into it;
    a value that adds a block (noise 0 -> 0.02), a plant's numbers and an
    invalid combination of limits are built from scratch. Every row is the
    row of the scenario built from scratch, bit for bit."""
    axes = [grid.Axis("loop.TI101.KP", (-2.0, -6.0)), grid.Axis("loop.AI201.TI", (900, 1800)),
            grid.Axis("loop.AI201.measurement_noise", (0.0, 0.02)),
            grid.Axis("simulation.seed", (1, 3)), grid.Axis("plant.gain_factor", (1.0, 1.2)),
            grid.Axis("loop.TI101.op_low", (0.0, 60.0)),
            grid.Axis("loop.TI101.op_high", (70.0, 50.0))]
    tasks = list(enumerate(grid.scenarios(axes)))
    runner._PREPARED.clear()
    fast = []
    runner.run_here(reactor, tasks, fast.extend, 60)
    ready = runner.prepared(reactor, 60)
    assert ready.patched > len(tasks) // 2 and ready.built == len(tasks) // 4
    monkeypatch.setattr(runner, "prepared", lambda sf, samples: None)
    slow = []
    runner.run_here(reactor, tasks, slow.extend, 60)
    same_rows(fast, slow)
    assert sum(1 for r in slow if r["error"]) == len(tasks) // 4


def test_a_diff_tells_types_and_signed_zeros_apart():
    a = {"x": [1.0, 0.0, 2], "y": (3.0,)}
    assert prepared.diff(a, {"x": [1.0, -0.0, 2.0], "y": (3.0,)}) == \
        [(("x", 1), -0.0), (("x", 2), 2.0)]
    with pytest.raises(prepared._Mismatch):
        prepared.diff(a, {"x": [1.0, 0.0], "y": (3.0,)})
    b = prepared.patch(a, [(("x", 1), 5.0)])
    assert b == {"x": [1.0, 5.0, 2], "y": (3.0,)} and b["y"] is a["y"] and a["x"][1] == 0.0


@pytest.mark.parametrize("path, value", [("simulation.sample_period_s", 30),
                                         ("plant.local.low.gain", 1.2),
                                         ("loop.AI201.measurement_noise", 0.0)])
def test_values_that_are_not_passed_through_are_built(reactor, path, value):
    assert prepared.Prepared(reactor, 60).root.single(path, value) is None


def test_the_journal_keeps_rows_and_the_table_is_in_scenario_order(tmp_path, here_rows):
    params = ["loop.TI101.KP", "loop.AI201.TI"]
    rec = results.Recorder(str(tmp_path), params, parquet=False, every=3600)
    for row in reversed(here_rows[2:]):
        rec.add(row)
    # each row is in the journal the moment it is added; the table is rebuilt
    # at once for the first row, then at most every `every` seconds
    assert len(results.read_journal(str(tmp_path))) == 4
    assert len(results.read_table(str(tmp_path / "results.csv"))) == 1
    rec.close()
    table = results.read_table(str(tmp_path / "results.csv"))
    assert [int(r["scenario"]) for r in table] == [2, 3, 4, 5]
    assert list(table[0])[:3] == ["scenario"] + params and list(table[0])[-1] == "error"
    assert float(table[0]["loop.TI101.IAE"]) == here_rows[2]["loop.TI101.IAE"]
    # a line cut short by a crash is ignored
    with open(tmp_path / "results.jsonl", "a") as f:
        f.write('{"scenario": 9, "loop')
    journal = results.read_journal(str(tmp_path))
    assert sorted(journal) == [2, 3, 4, 5]
    assert [bits(journal[i]) for i in (2, 5)] == [bits(here_rows[i]) for i in (2, 5)]


def test_non_finite_figures_go_through_the_journal(tmp_path):
    rec = results.Recorder(str(tmp_path), [], parquet=False)
    rec.add({"scenario": 0, "x": math.nan, "y": -math.inf, "z": -0.0, "error": ""})
    rec.close()
    [row] = results.read_journal(str(tmp_path)).values()
    assert math.isnan(row["x"]) and row["y"] == -math.inf and bits(row)["z"] == bits({"z": -0.0})["z"]


# --- the command ------------------------------------------------------------------------------

def run_main(args, capsys):
    status = cli.main(args)
    out, err = capsys.readouterr()
    return status, out, err


GRID = ["--grid", "loop.TI101.KP=-2.0,-4.0,-6.0", "--grid", "loop.AI201.TI=900,1800",
        "--samples", str(SAMPLES)]


@pytest.mark.parametrize("parquet", [True, False], ids=["parquet", "csv"])
def test_the_command_writes_the_table_and_the_figure(tmp_path, capsys, monkeypatch, here_rows,
                                                     parquet):
    if parquet:
        pytest.importorskip("pyarrow")
    pytest.importorskip("matplotlib")
    monkeypatch.setattr(results, "have_pyarrow", lambda: parquet)
    out = tmp_path / "s"
    status, printed, err = run_main(["study", REACTOR, *GRID, "--out", str(out)], capsys)
    assert status == 0, err
    name = "results.parquet" if parquet else "results.csv"
    assert printed.splitlines()[0].startswith("6 scenarios (6 run in ")
    assert printed.splitlines()[0].endswith(f"0 failed): {out / name}")
    assert sorted(os.listdir(out)) == sorted(["results.jsonl", name, "study.json", "study.png"])
    table = results.read_table(str(out / name))
    assert len(table) == 6
    if parquet:
        same_rows(table, here_rows)
    else:
        assert [float(r["loop.AI201.IAE"]) for r in table] == [r["loop.AI201.IAE"] for r in here_rows]
    # --no-plot: no figure of an older study beside the new table
    status, _, _ = run_main(["study", REACTOR, *GRID, "--out", str(out), "--no-plot"], capsys)
    assert status == 0 and not (out / "study.png").exists()


def test_the_figure_names_the_worst_scenario():
    axes = [grid.Axis("kp", (1, 2)), grid.Axis("ti", (10,)), grid.Axis("seed", (1, 2))]
    rows = [{"scenario": i, **c, "loop.L.IAE": v, "error": ""}
            for i, (c, v) in enumerate(zip(grid.scenarios(axes), (1.0, 5.0, 2.0, 3.0)))]
    rows[3]["error"], rows[3]["loop.L.IAE"] = "boom", math.nan
    m = figure.maps(rows, axes, {"seed": 1}, "loop.L.IAE")
    assert m.nominal.tolist() == [[1.0, 2.0]]
    assert m.worst[0, 0] == 5.0 and math.isnan(m.worst[0, 1])   # a failed scenario: unknown
    assert m.worst_scenario == 1 and m.nominal_found
    assert not figure.maps(rows, axes, {}, "loop.L.IAE").nominal_found


@pytest.mark.parametrize("args, message", [
    (["--grid", "loop.TI101.KP"], "--grid 'loop.TI101.KP': write PATH=VALUES"),
    (["--grid", "loop.TI101.KP=1..x"], "--grid loop.TI101.KP: '1..x' is not a number"),
    (["--grid", "loop.X.KP=1"], "no key loop.X"),
    (["--grid", "a.b=1", "--grid", "a.b=2"], "--grid a.b: given twice"),
])
def test_mistakes_in_the_grid_are_one_line_with_status_1(tmp_path, capsys, args, message):
    out = tmp_path / "s"
    status, printed, err = run_main(["study", REACTOR, *args, "--out", str(out)], capsys)
    assert (status, printed) == (1, "")
    assert err.startswith("qxdcs: error: ") and message in err and err.count("\n") == 1
    assert not out.exists()


def test_a_file_without_a_grid_is_a_usage_error(tmp_path, capsys):
    status, _, err = run_main(["study", COLUMN, "--out", str(tmp_path / "s")], capsys)
    assert status == 2 and "no grid: give --grid PATH=VALUES" in err


def test_resume_refuses_another_study(tmp_path, capsys):
    out = str(tmp_path / "s")
    assert run_main(["study", REACTOR, *GRID[:2], "--samples", "60", "--out", out, "--no-plot"],
                    capsys)[0] == 0
    status, _, err = run_main(["study", REACTOR, *GRID, "--out", out, "--resume"], capsys)
    assert status == 1 and "its study has another grid" in err
    status, _, err = run_main(["study", REACTOR, *GRID[:2], "--samples", "60",
                               "--out", str(tmp_path / "none"), "--resume"], capsys)
    assert status == 1 and "it holds no study" in err


def child(args, cwd, **kw):
    return subprocess.Popen([sys.executable, "-m", "qxdcs", *args], cwd=cwd, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


@pytest.mark.parametrize("how", ["ctrl-c", "crash"])
def test_an_interrupted_study_keeps_its_rows_and_resumes_to_the_same_table(tmp_path, how):
    """Ctrl-C (SIGINT: the table is rebuilt, status 130) or a crash of the
    client (SIGKILL: only the journal is sure) after a few rows; --resume
    runs the rest and gives the uninterrupted study's table."""
    pytest.importorskip("pyarrow")
    args = ["study", REACTOR, "--grid", "loop.TI101.KP=lin(-2,-8,10)",
            "--grid", "simulation.seed=1..6", "--samples", "720", "--no-plot"]
    whole = tmp_path / "whole"
    done = subprocess.run([sys.executable, "-m", "qxdcs", *args, "--out", str(whole)],
                          capture_output=True, text=True, timeout=BOUND)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""       # no progress bar off a terminal

    part = tmp_path / "part"
    proc = child([*args, "--out", str(part)], tmp_path)
    try:
        journal = part / "results.jsonl"
        deadline = time.monotonic() + BOUND
        while not (journal.exists() and journal.read_text().count("\n") >= 5):
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline
            time.sleep(0.005)
        proc.send_signal(signal.SIGINT if how == "ctrl-c" else signal.SIGKILL)
        out, err = proc.communicate(timeout=BOUND)
    finally:
        proc.kill()
    kept = len(results.read_journal(str(part)))
    if kept == 60:
        pytest.skip("the study ended before the interrupt arrived")
    if how == "ctrl-c":
        assert proc.returncode == 130, err
        assert err == (f"qxdcs: interrupted: {kept} of 60 scenarios done, kept in "
                       f"{part / 'results.parquet'}; run it again with --resume to run the "
                       f"rest\n")
        assert len(results.read_table(str(part / "results.parquet"))) == kept
    else:
        assert proc.returncode == -signal.SIGKILL and kept >= 5

    again = subprocess.run([sys.executable, "-m", "qxdcs", *args, "--out", str(part),
                            "--resume"], capture_output=True, text=True, timeout=BOUND)
    assert again.returncode == 0, again.stderr
    assert again.stdout.startswith(f"60 scenarios ({60 - kept} run in ")
    same_rows(results.read_table(str(part / "results.parquet")),
              results.read_table(str(whole / "results.parquet")))


def test_the_progress_bar_on_a_terminal_shows_the_rate_and_the_time_left(tmp_path):
    pytest.importorskip("tqdm")
    import pty

    leader, follower = pty.openpty()
    chunks = []

    def read():
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:      # the terminal's other end is closed
                return
            if not chunk:
                return
            chunks.append(chunk)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        proc = subprocess.run([sys.executable, "-m", "qxdcs", "study", REACTOR, "--grid",
                               "simulation.seed=1..40", "--samples", "60", "--no-plot",
                               "--out", str(tmp_path / "s")], stdout=subprocess.PIPE,
                              stderr=follower, text=True, timeout=BOUND)
    finally:
        os.close(follower)
        reader.join(10)
        os.close(leader)
    seen = b"".join(chunks)
    assert proc.returncode == 0
    last = seen.decode(errors="replace").replace("\r", "\n").strip().splitlines()[-1]
    # "100%|####| 40/40 [00:00<00:00, 95.1scenario/s]": done, time left, rate
    assert "40/40" in last and "<00:00" in last and "scenario/s" in last, last


def test_the_alias_runs_the_reactor_study(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "qxdcs.study", "--grid",
                           "loop.TI101.KP=-3,-4", "--samples", "60", "--no-plot",
                           "--out", str(tmp_path / "s")], capture_output=True, text=True,
                          timeout=BOUND)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("2 scenarios (2 run in ")
    proc = subprocess.run([sys.executable, "-m", "qxdcs.study", "--samples", "0"],
                          capture_output=True, text=True, timeout=BOUND)
    assert (proc.returncode, proc.stderr) == (
        2, "qxdcs-study: error: argument --samples: must be at least 1: 0\n")


# --- on a cluster -------------------------------------------------------------------------------

def start_cluster(allowed_failures=None):
    import dask
    from distributed import Client

    config = {} if allowed_failures is None else {
        "distributed.scheduler.allowed-failures": allowed_failures}

    def start():
        with dask.config.set(config):
            c = runner.local_cluster(2)
        return c, Client(c)

    return bounded(start)


def stop_cluster(c, client):
    def stop():
        client.close()
        c.close()
    bounded(stop)


@pytest.fixture(scope="module")
def cluster():
    pytest.importorskip("distributed")
    c, client = start_cluster()
    yield c, client
    stop_cluster(c, client)


@pytest.mark.filterwarnings("error::qxdcs.study.StudyWarning")
@pytest.mark.parametrize("batch", [None, 1, 4])
def test_a_cluster_gives_the_in_process_rows_bit_for_bit(cluster, reactor, here_rows, batch):
    rows = []
    tasks = list(enumerate(grid.scenarios(tuning_grid())))
    bounded(runner.run_on_dask, runner.Cluster(client=cluster[1]), reactor, tasks, rows.extend,
            SAMPLES, SAMPLES, batch=batch)
    same_rows(sorted(rows, key=lambda r: r["scenario"]), here_rows)


def test_the_local_workers_keep_glibcs_own_trim_threshold(cluster):
    # Dask's 64 kB threshold makes a scenario's native run cost up to twice as much.
    found = bounded(cluster[1].run, os.environ.get, "MALLOC_TRIM_THRESHOLD_")
    assert len(found) == 2 and set(found.values()) == {None}


def test_the_python_api_on_a_client(cluster, here_rows):
    rows = bounded(study.run, REACTOR, {"loop.TI101.KP": [-2.0, -4.0, -6.0],
                                        "loop.AI201.TI": "900,1800"},
                   samples=SAMPLES, client=cluster[1])
    same_rows(rows, here_rows)


@pytest.mark.parametrize("allowed_failures, resubmits", [(None, 1), (0, 1), (0, 0)],
                         ids=["default", "no-allowed-failures", "no-resubmission"])
def test_a_worker_killed_mid_study_costs_a_retry(reactor, monkeypatch, allowed_failures,
                                                 resubmits):
    """One of the two workers is killed as the first row comes in; its
    scenarios run again elsewhere (by the scheduler within its
    allowed-failures, else by the study's resubmission); with neither they
    are rows with the error and the others complete."""
    pytest.importorskip("distributed")
    axes = [grid.Axis("loop.TI101.KP", (-2.0, -4.0, -6.0, -8.0))]
    tasks = list(enumerate(grid.scenarios(axes)))
    samples = 20000         # long enough that both workers are busy at the first row
    expected = []
    runner.run_here(reactor, tasks, expected.extend, samples)
    monkeypatch.setattr(runner, "LOST_WORKER_RESUBMITS", resubmits)
    c, client = start_cluster(allowed_failures)
    try:
        pids = sorted(bounded(client.run, os.getpid).values())
        rows = []

        def on_rows(batch):
            if not rows:
                os.kill(pids[0], signal.SIGKILL)
            rows.extend(batch)

        bounded(runner.run_on_dask, runner.Cluster(client=client), reactor, tasks, on_rows,
                samples, samples, batch=1)
        rows.sort(key=lambda r: r["scenario"])
        assert [r["scenario"] for r in rows] == [0, 1, 2, 3]
        if resubmits or allowed_failures is None:
            same_rows(rows, expected)
        else:
            failed = [r for r in rows if r["error"]]
            assert 1 <= len(failed) <= 2
            for r, want in zip(rows, expected):
                if r["error"]:
                    assert r["error"].startswith("KilledWorker: ")
                else:
                    assert bits(r) == bits(want)
    finally:
        stop_cluster(c, client)


def test_workers_with_other_versions_are_worth_a_warning():
    ours = {"qxdcs": "0.1.0", "numpy": "2.0.0", "scipy": "1.14.0"}
    with pytest.warns(study.StudyWarning) as caught:
        runner.compare_versions({"tcp://b:2": dict(ours, numpy="1.26.4"), "tcp://a:1": ours},
                                ours)
    assert [str(w.message) for w in caught] == [
        "the Dask worker tcp://b:2 has numpy 1.26.4 (this process numpy 2.0.0): "
        "its results may differ from an in-process run"]


@pytest.fixture
def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_scheduler_that_cannot_be_reached_leaves_nothing(tmp_path, unused_port):
    pytest.importorskip("distributed")
    address = f"tcp://127.0.0.1:{unused_port}"
    out = tmp_path / "s"
    proc = subprocess.run([sys.executable, "-m", "qxdcs", "study", REACTOR, *GRID,
                           "--scheduler", address, "--connect-timeout", "0.5",
                           "--out", str(out)], capture_output=True, text=True, timeout=BOUND)
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"qxdcs: error: cannot reach the Dask scheduler at {address}")
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    assert not out.exists()


def test_the_command_on_a_scheduler_writes_the_in_process_table(cluster, tmp_path, here_rows):
    pytest.importorskip("pyarrow")
    address = cluster[0].scheduler_address
    proc = subprocess.run([sys.executable, "-m", "qxdcs", "study", REACTOR, *GRID,
                           "--scheduler", address, "--no-plot", "--out", str(tmp_path / "s")],
                          capture_output=True, text=True, timeout=BOUND)
    assert proc.returncode == 0, proc.stderr
    same_rows(results.read_table(str(tmp_path / "s" / "results.parquet")), here_rows)
    manifest = json.loads((tmp_path / "s" / "study.json").read_text())
    assert manifest["grid"][0] == {"path": "loop.TI101.KP", "values": [-2, -4, -6]}

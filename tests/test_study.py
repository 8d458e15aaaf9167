"""The study runner: grid, rows, table, maps, where a study runs, faults, command line.

Cluster tests use a local Dask cluster on the loopback address with two worker
processes and skip when Dask's distributed is not installed. Every study on a
cluster runs under a time bound (a daemon thread joined with a timeout), so a
hung cluster fails its test instead of the run.
"""
import csv
import io
import itertools
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from qxdcs import demo, study

SAMPLES = 200
BOUND = 90.0   # seconds any one cluster step may take on a loaded two-core machine

# A dozen scenarios: two tunings of each factor, two plants, two seeds... and
# one more tuning so that nothing is square by accident.
SMALL = dict(kp=(1.0, 2.0, 0.5), ti=(1.0, 2.0), gain=(1.0, 1.25), delay=(1.0,), seeds=(1,),
             samples=SAMPLES)
PARAMS = ("kp_factor", "ti_factor", "gain_factor", "delay_factor", "seed", "samples")


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


def bits(value):
    """A float's bits (NaN payloads and signed zeros included); other values as they are."""
    return struct.pack("<d", value) if isinstance(value, float) else value


def assert_same_rows(rows, expected):
    assert len(rows) == len(expected)
    for row, want in zip(rows, expected):
        assert list(row) == list(want)
        assert {k: bits(v) for k, v in row.items()} == {k: bits(v) for k, v in want.items()}, \
            (row, want)


def start_cluster(allowed_failures=None):
    """The local cluster run_study starts, and a client of it."""
    import dask
    from distributed import Client

    config = {} if allowed_failures is None else {
        "distributed.scheduler.allowed-failures": allowed_failures}

    def start():
        with dask.config.set(config):
            cluster = study.local_cluster(2)
        return cluster, Client(cluster)

    return bounded(start)


def stop_cluster(cluster, client):
    def stop():
        client.close()
        cluster.close()
    bounded(stop)


@pytest.fixture(scope="module")
def small():
    return study.grid(**SMALL)


@pytest.fixture(scope="module")
def small_rows(small):
    return study.run_study(small)


@pytest.fixture(scope="module")
def cluster():
    pytest.importorskip("distributed")
    cluster, client = start_cluster()
    yield cluster, client
    stop_cluster(cluster, client)


# --- grid and rows ------------------------------------------------------------------------------

def test_grid_is_every_combination_with_the_tuning_varying_fastest():
    kp, ti, gain, delay, seeds = (0.5, 2.0), (1.0, 3.0, 4.0), (0.8, 1.25), (1.0, 1.5), (7, 9)
    cases = study.grid(kp, ti, gain, delay, seeds, samples=300)
    expected = [(k, t, g, d, s, 300)
                for g in gain for d in delay for s in seeds for k in kp for t in ti]
    assert [tuple(getattr(c, p) for p in PARAMS) for c in cases] == expected
    assert len(set(cases)) == len(cases) == 2 * 3 * 2 * 2 * 2


@pytest.mark.parametrize("kp, ti", [(1.0, 1.0), (0.5, 2.0), (2.0, 0.25)])
def test_a_case_scales_both_loops_nominal_tuning(kp, ti):
    nominal = demo.Scenario()
    s = study.Case(kp, ti, 1.25, 1.5, 4, 300).scenario()
    assert (s.temperature.KP, s.temperature.TI) == (nominal.temperature.KP * kp,
                                                    nominal.temperature.TI * ti)
    assert (s.concentration.KP, s.concentration.TI) == (nominal.concentration.KP * kp,
                                                        nominal.concentration.TI * ti)
    assert (s.gain_factor, s.delay_factor, s.seed, s.samples) == (1.25, 1.5, 4, 300)


def test_rows_come_in_scenario_order_with_the_metrics_of_each_run(small, small_rows):
    assert [r["scenario"] for r in small_rows] == list(range(len(small)))
    for case, row in zip(small, small_rows):
        assert tuple(row[p] for p in PARAMS) == tuple(getattr(case, p) for p in PARAMS)
        assert row["error"] == ""
    # Two of the runs again, straight through the demonstration's own functions.
    for i in (0, 7):
        case = small[i]
        result = demo.simulate(case.scenario())
        for loop, op in study.LOOPS:
            for key, value in demo.loop_metrics(result, loop, op).items():
                assert bits(small_rows[i][f"{key}_{loop}"]) == bits(value)
        s = case.scenario()
        assert (small_rows[i]["KP_TI101"], small_rows[i]["TI_AI201"]) == (
            s.temperature.KP, s.concentration.TI)
    # The tunings and plants differ, so must the figures.
    assert len({r["IAE_TI101"] for r in small_rows}) == len(small_rows)


BAD_CASES = [
    (dict(ti_factor="x"), "TypeError: ti_factor must be a number, not 'x'"),
    (dict(ti_factor=math.nan), "ValueError: ti_factor must be a positive finite number, not nan"),
    (dict(kp_factor=-1.0), "ValueError: kp_factor must be a positive finite number"),
    (dict(gain_factor=math.inf), "ValueError: gain_factor must be a positive finite number"),
    (dict(delay_factor=0), "ValueError: delay_factor must be a positive finite number"),
    (dict(kp_factor=True), "TypeError: kp_factor must be a number, not True"),
    (dict(seed=-1), "ValueError: seed must be at least 0"),
    (dict(seed=1.5), "TypeError: seed must be a whole number"),
    (dict(samples=50), "ValueError: samples must be at least 100"),
]


@pytest.mark.parametrize("fields, error", BAD_CASES)
def test_a_bad_parameter_fails_its_scenario_at_build_time(fields, error):
    case = study.Case(**{"samples": SAMPLES, **fields})
    with pytest.raises((TypeError, ValueError)):
        study.build(case)
    outcome = study.run_case(case)
    assert list(outcome) == ["error"] and outcome["error"].startswith(error)


# A plant whose gains are 1e308 times the model's overflows within a few
# samples of the switch to automatic, and the soft sensor refuses the
# prediction: a scenario that fails while it runs.
DIVERGING = study.Case(gain_factor=1e308, samples=SAMPLES)
RUN_ERROR = "ValueError: AI201_quality Bias Update: prd_data is not finite!"


def with_failures(small):
    """The small grid with a scenario that fails at build time (a TI factor
    that is not a number) and one that fails while it runs, in the middle."""
    cases = list(small)
    cases.insert(3, study.Case(ti_factor="x", samples=SAMPLES))
    cases.insert(8, DIVERGING)
    return cases


def check_failures(rows, small_rows):
    assert [r["scenario"] for r in rows] == list(range(len(small_rows) + 2))
    bad = {3: "TypeError: ti_factor must be a number, not 'x'", 8: RUN_ERROR}
    for i, text in bad.items():
        assert rows[i]["error"] == text
        assert all(math.isnan(rows[i][f"{k}_{loop}"]) for k in study.METRICS
                   for loop, _ in study.LOOPS)
    assert rows[3]["ti_factor"] == "x" and math.isnan(rows[3]["TI_TI101"])
    assert rows[8]["gain_factor"] == 1e308 and rows[8]["KP_TI101"] == demo.Scenario().temperature.KP
    good = [r for i, r in enumerate(rows) if i not in bad]
    for r, want in zip(good, small_rows):   # the others ran as in a study without the two
        assert {k: bits(v) for k, v in r.items() if k != "scenario"} == \
            {k: bits(v) for k, v in want.items() if k != "scenario"}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_failing_scenarios_are_reported_in_their_rows_in_process(small, small_rows):
    with pytest.raises(ValueError, match="prd_data is not finite"):
        study.run_loop(study.build(DIVERGING))
    check_failures(study.run_study(with_failures(small)), small_rows)


def test_a_study_reports_progress_after_each_scenario(small):
    seen = []
    study.run_study(small[:3], progress=lambda done, total: seen.append((done, total)))
    assert seen == [(1, 3), (2, 3), (3, 3)]


def test_a_study_runs_in_one_place():
    with pytest.raises(ValueError, match="at most one"):
        study.run_study([study.Case()], workers=2, scheduler="tcp://127.0.0.1:1")
    with pytest.raises(ValueError, match="workers must be at least 1"):
        study.run_study([study.Case()], workers=0)


# --- table and maps -----------------------------------------------------------------------------

def test_the_table_holds_plain_numbers_one_line_per_scenario(tmp_path):
    rows = [{"scenario": np.int64(0), "kp_factor": np.float64(0.1), "seed": np.int32(3),
             "IAE": np.float32(0.5), "x": 1 / 3, "big": 1e308, "nan": math.nan,
             "inf": -math.inf, "zero": -0.0, "error": ""},
            {"scenario": 1, "kp_factor": "x", "seed": 2, "IAE": math.nan, "x": 2.0,
             "big": 5e-324, "nan": math.nan, "inf": math.inf, "zero": 0.0,
             "error": "ValueError: first line,\n  second \"line\""}]
    path = tmp_path / "t.csv"
    study.write_csv(rows, str(path))
    text = path.read_text(encoding="utf-8")
    assert "np." not in text and "float" not in text
    assert len(text.splitlines()) == 3 and not os.path.exists(str(path) + ".partial")
    header, first, second = list(csv.reader(io.StringIO(text)))
    assert header == list(rows[0])
    assert first == ["0", "0.1", "3", "0.5", repr(1 / 3), "1e+308", "nan", "-inf", "-0.0", ""]
    assert second[1] == "x" and second[-1] == 'ValueError: first line, second "line"'
    for cell, value in zip(first[:-1] + second[2:-1], list(rows[0].values())[:-1]
                           + list(rows[1].values())[2:-1]):
        assert bits(float(cell)) == bits(float(value))


def test_a_table_needs_rows(tmp_path):
    with pytest.raises(ValueError):
        study.write_csv([], str(tmp_path / "t.csv"))


def synthetic_rows(nominal_plant=True):
    """Rows with IAE figures chosen by hand: IAE_TI101 = 100*kp + 10*ti + plant
    offset + seed, IAE_AI201 = its negative + 1000; one failed scenario."""
    rows = []
    plants = [(1.0, 1.0, 0.0), (0.8, 1.0, 5.0), (1.25, 1.5, 3.0)]
    if not nominal_plant:
        plants = plants[1:]
    for (g, d, offset), seed, kp, ti in itertools.product(plants, (1, 2), (0.5, 2.0),
                                                          (1.0, 4.0, 2.0)):
        iae = 100 * kp + 10 * ti + offset + seed
        rows.append({"kp_factor": kp, "ti_factor": ti, "gain_factor": g, "delay_factor": d,
                     "seed": seed, "IAE_TI101": iae, "IAE_AI201": 1000 - iae, "error": ""})
    failed = next(r for r in rows if (r["kp_factor"], r["ti_factor"], r["gain_factor"],
                                      r["seed"]) == (2.0, 4.0, 1.25, 2))
    failed.update(IAE_TI101=math.nan, IAE_AI201=math.nan, error="ValueError: diverged")
    # A row whose factor is not a number has no place on the maps.
    rows.append({"kp_factor": "x", "ti_factor": 1.0, "gain_factor": 1.0, "delay_factor": 1.0,
                 "seed": 1, "IAE_TI101": math.nan, "IAE_AI201": math.nan, "error": "TypeError"})
    return rows


def test_iae_maps_nominal_is_the_seed_mean_and_worst_the_largest_over_plants():
    maps = study.iae_maps(synthetic_rows())
    assert maps.kp == [0.5, 2.0] and maps.ti == [1.0, 2.0, 4.0]
    for i, ti in enumerate(maps.ti):
        for j, kp in enumerate(maps.kp):
            base = 100 * kp + 10 * ti + 1.5    # the mean of seeds 1 and 2
            assert maps.nominal["TI101"][i, j] == base
            assert maps.nominal["AI201"][i, j] == 1000 - base
            if (kp, ti) == (2.0, 4.0):          # a scenario behind the cell failed
                assert math.isnan(maps.worst["TI101"][i, j])
                assert math.isnan(maps.worst["AI201"][i, j])
            else:
                assert maps.worst["TI101"][i, j] == base + 5.0   # the 0.8 plant
                assert maps.worst["AI201"][i, j] == 1000 - base  # the nominal plant


def test_iae_maps_without_the_nominal_plant():
    maps = study.iae_maps(synthetic_rows(nominal_plant=False))
    assert np.isnan(maps.nominal["TI101"]).all() and np.isnan(maps.nominal["AI201"]).all()
    assert maps.worst["TI101"][0, 0] == 100 * 0.5 + 10 * 1.0 + 1.5 + 5.0


@pytest.mark.parametrize("nominal_plant", [True, False])
def test_the_heat_map_picture_is_written(tmp_path, nominal_plant):
    pytest.importorskip("matplotlib")
    path = tmp_path / "maps.png"
    study.plot_maps(synthetic_rows(nominal_plant), str(path))
    data = path.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000


# --- progress bar -------------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_off_a_terminal_is_a_line_per_tenth():
    out = io.StringIO()
    bar = study._Progress(out)
    for done in range(1, 65):
        bar(done, 64)
    bar.close()
    lines = out.getvalue().split("\n")
    assert "\r" not in out.getvalue() and lines[-1] == ""
    assert lines[:-1] == [f"{d}/64 scenarios" for d in (7, 13, 20, 26, 32, 39, 45, 52, 58, 64)]
    out = io.StringIO()
    bar = study._Progress(out)
    for done in (1, 2, 3):
        bar(done, 3)
    assert out.getvalue() == "1/3 scenarios\n2/3 scenarios\n3/3 scenarios\n"


def test_progress_on_a_terminal_is_redrawn_at_most_every_interval():
    out, now = Terminal(), [0.0]
    bar = study._Progress(out, width=10, interval=1.0, clock=lambda: now[0])
    for done in range(1, 101):
        now[0] += 0.25       # four scenarios per interval
        bar(done, 100)
    text = out.getvalue()
    draws = text.split("\r")[1:]
    assert [d.split()[1] for d in draws] == [f"{n}/100" for n in [*range(1, 98, 4), 100]]
    assert draws[0] == "[..........] 1/100 scenarios"
    assert draws[10] == "[####......] 41/100 scenarios"
    assert text.endswith("\r[##########] 100/100 scenarios\n") and text.count("\n") == 1


def test_progress_close_ends_a_bar_left_open():
    out = Terminal()
    bar = study._Progress(out)
    bar(1, 5)
    bar.close()
    bar.close()
    assert out.getvalue().endswith(" 1/5 scenarios\n") and out.getvalue().count("\n") == 1


# --- on a cluster -------------------------------------------------------------------------------

@pytest.mark.filterwarnings("error::qxdcs.study.StudyWarning")
@pytest.mark.parametrize("batch, tasks", [(None, 6), (1, 12), (5, 3), (12, 1), (40, 1)])
def test_a_cluster_gives_the_in_process_table_bit_for_bit(cluster, small, small_rows, batch,
                                                          tasks):
    _, client = cluster
    seen = []
    rows = bounded(study.run_study, small, client=client, batch=batch,
                   progress=lambda done, total: seen.append((done, total)))
    assert_same_rows(rows, small_rows)
    # Progress comes a batch at a time; batches end in any order.
    steps = [b - a for (a, _), (b, _) in zip([(0, 0)] + seen, seen)]
    assert len(seen) == tasks and seen[-1] == (12, 12) and all(t == 12 for _, t in seen)
    size = batch or 2
    assert sorted(steps) == sorted([size] * (12 // size) + ([12 % size] if 12 % size else []))


@pytest.mark.parametrize("n, samples, workers, size", [
    (64, 720, 2, 8),      # a quarter of each worker's share
    (64, 720, 1, 9),      # about TASK_SAMPLES of work
    (8, 6000, 2, 1),
    (8, 100, 2, 1),
    (12, 200, 2, 2),
    (1000, 100, 4, 17),
    (0, 720, 2, 1),
])
def test_batch_size(n, samples, workers, size):
    cases = [study.Case(samples=samples)] * n
    assert study.batch_size(cases, workers) == size


def test_batch_size_is_a_whole_number():
    with pytest.raises(ValueError, match="batch must be at least 1"):
        study.run_study([study.Case()], batch=0)
    with pytest.raises(TypeError, match="batch must be a whole number"):
        study.run_study([study.Case()], batch=2.0)


def test_a_study_on_a_scheduler_address(cluster, small, small_rows):
    c, _ = cluster
    rows = bounded(study.run_study, small[:4], scheduler=c.scheduler_address)
    assert_same_rows(rows, small_rows[:4])


def test_a_study_on_a_local_cluster_of_its_own(small, small_rows):
    pytest.importorskip("distributed")
    rows = bounded(study.run_study, small[:4], workers=2)
    assert_same_rows(rows, small_rows[:4])


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_failing_scenarios_are_reported_in_their_rows_on_a_cluster(cluster, small, small_rows):
    _, client = cluster
    check_failures(bounded(study.run_study, with_failures(small), client=client), small_rows)


def test_a_scheduler_that_cannot_be_reached(unused_port):
    pytest.importorskip("distributed")
    address = f"tcp://127.0.0.1:{unused_port}"
    with pytest.raises(study.StudyError, match=f"cannot reach the Dask scheduler at {address}"):
        bounded(study.run_study, [study.Case()], scheduler=address, connect_timeout=0.5,
                timeout=30)


# Long enough runs that both workers are busy when the first result comes in.
KILL = dict(kp=(1.0, 2.0), ti=(1.0, 2.0), gain=(1.0, 1.25), delay=(1.0,), seeds=(1,),
            samples=6000)


@pytest.fixture(scope="module")
def kill_rows():
    pytest.importorskip("distributed")
    cases = study.grid(**KILL)
    return cases, study.run_study(cases)


@pytest.mark.parametrize("allowed_failures, resubmits", [(None, 1), (0, 1), (0, 0)],
                         ids=["default", "no-allowed-failures", "no-resubmission"])
def test_a_worker_killed_mid_study_costs_a_retry(kill_rows, monkeypatch, allowed_failures,
                                                 resubmits):
    """One of the two workers is killed (SIGKILL) as the first result comes in.
    Its scenarios run again elsewhere: by the scheduler within its
    allowed-failures, else by the study's resubmission. With neither, they
    are reported as lost in their rows and the others complete."""
    cases, expected = kill_rows
    monkeypatch.setattr(study, "LOST_WORKER_RESUBMITS", resubmits)
    cluster, client = start_cluster(allowed_failures)
    try:
        pids = sorted(bounded(client.run, os.getpid).values())
        killed = []

        def progress(done, total):
            if done == 1:
                os.kill(pids[0], signal.SIGKILL)
                killed.append(total - done)

        rows = bounded(study.run_study, cases, client=client, progress=progress, batch=1)
        assert killed == [len(cases) - 1]
        # Dask counts the death against the tasks the worker held.
        lost = cluster.scheduler.task_prefixes["run_cases"].suspicious
        assert lost >= 1
        if resubmits or allowed_failures is None:
            assert_same_rows(rows, expected)
        else:
            failed = [r for r in rows if r["error"]]
            assert 1 <= len(failed) <= lost
            for r, want in zip(rows, expected):
                if r["error"]:
                    assert r["error"].startswith("KilledWorker: ")
                    assert math.isnan(r["IAE_TI101"])
                else:
                    assert {k: bits(v) for k, v in r.items()} == \
                        {k: bits(v) for k, v in want.items()}
        # The nanny replaced the killed worker; the cluster carries on.
        now = bounded(client.run, os.getpid)
        assert pids[0] not in now.values()
    finally:
        stop_cluster(cluster, client)


def test_workers_with_other_versions_are_worth_a_warning():
    ours = {"qxdcs": "0.1.0", "numpy": "2.0.0", "scipy": "1.14.0"}
    with pytest.warns(study.StudyWarning) as caught:
        study._compare_versions({"tcp://b:2": dict(ours, numpy="1.26.4"), "tcp://a:1": ours,
                                 "tcp://c:3": dict(ours, qxdcs="0.2.0", scipy="1.13.1")}, ours)
    assert [str(w.message) for w in caught] == [
        "the Dask worker tcp://b:2 has numpy 1.26.4 (this process numpy 2.0.0): "
        "its results may differ from an in-process run",
        "the Dask worker tcp://c:3 has qxdcs 0.2.0, scipy 1.13.1 (this process qxdcs 0.1.0, "
        "scipy 1.14.0): its results may differ from an in-process run"]


# --- command line -------------------------------------------------------------------------------

@pytest.fixture
def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_cli(args, cwd, prelude="", timeout=BOUND):
    code = textwrap.dedent(f"""
        import sys
        {prelude}
        from qxdcs import study
        sys.exit(study.main(sys.argv[1:]))
    """)
    return subprocess.run([sys.executable, "-c", code, *args], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


TINY = ["--kp", "1,2", "--ti", "1", "--gain", "1,1.25", "--delay", "1", "--seeds", "3",
        "--samples", str(SAMPLES), "--no-plot"]


def read_table(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_cli_runs_a_study_into_its_table(tmp_path):
    proc = run_cli(TINY + ["--out", "out"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    table = tmp_path / "out" / "study.csv"
    assert proc.stdout.splitlines() == [f"4 scenarios in {proc.stdout.split()[3]} s "
                                        f"(0 failed): {table}"]
    assert "\r" not in proc.stderr and proc.stderr.endswith("4/4 scenarios\n")
    assert not (tmp_path / "out" / "study-iae.png").exists()
    rows = read_table(table)
    expected = study.grid((1.0, 2.0), (1.0,), (1.0, 1.25), (1.0,), (3,), SAMPLES)
    assert len(rows) == len(expected)
    for row, case in zip(rows, expected):
        for p in PARAMS:
            assert type(getattr(case, p))(row[p]) == getattr(case, p)
        assert row["error"] == ""
        for key, cell in row.items():
            if key != "error":
                float(cell)    # every other cell a plain number
    want = study.run_study(expected)
    assert [float(r["IAE_AI201"]) for r in rows] == [w["IAE_AI201"] for w in want]


def test_cli_on_a_scheduler_writes_the_same_table(cluster, tmp_path):
    c, _ = cluster
    here = run_cli(TINY + ["--out", "here"], tmp_path)
    there = run_cli(TINY + ["--out", "there", "--scheduler", c.scheduler_address], tmp_path)
    assert here.returncode == there.returncode == 0, there.stderr
    assert (tmp_path / "here" / "study.csv").read_bytes() == \
        (tmp_path / "there" / "study.csv").read_bytes()


BAD_OPTIONS = [
    (["--kp", "1,x"], "argument --kp: not a comma-separated list of numbers: '1,x'"),
    (["--ti", "0"], "argument --ti: factors must be positive numbers: '0'"),
    (["--gain", "nan"], "argument --gain: factors must be positive numbers: 'nan'"),
    (["--delay", ""], "argument --delay: not a comma-separated list of numbers: ''"),
    (["--seeds", "1,-2"], "argument --seeds: seeds must not be negative: '1,-2'"),
    (["--seeds", "1.5"], "argument --seeds: not a comma-separated list of whole numbers: '1.5'"),
    (["--samples", "99"], "argument --samples: must be at least 100: 99"),
    (["--workers", "0"], "argument --workers: must be at least 1: 0"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
     "argument --scheduler: not allowed with argument --workers"),
    (["--connect-timeout", "-1"], "argument --connect-timeout: must be a positive number "
                                  "of seconds: '-1'"),
    (["--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["--out", "file/sub"], "cannot write to the output folder {tmp}/file/sub: Not a directory"),
]


@pytest.mark.parametrize("args, message", BAD_OPTIONS)
def test_cli_refuses_bad_options_in_one_line(tmp_path, monkeypatch, capsys, args, message):
    (tmp_path / "file").write_text("")
    monkeypatch.chdir(tmp_path)
    assert study.main(args) == 2
    out, err = capsys.readouterr()
    assert (out, err) == ("", f"qxdcs-study: error: {message.format(tmp=tmp_path)}\n")


@pytest.mark.parametrize("case", [0, len(BAD_OPTIONS) - 1])
def test_cli_refuses_bad_options_with_status_2_and_no_traceback(tmp_path, case):
    (tmp_path / "file").write_text("")
    args, message = BAD_OPTIONS[case]
    proc = run_cli(args, tmp_path)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr == f"qxdcs-study: error: {message.format(tmp=tmp_path)}\n"


@pytest.mark.parametrize("args, status", [(["--samples", "5"], 2), (["--help"], 0)])
def test_console_script_entry_exits_with_the_status(monkeypatch, capsys, args, status):
    monkeypatch.setattr(sys, "argv", ["qxdcs-study", *args])
    with pytest.raises(SystemExit) as exit_:
        study.cli()
    assert exit_.value.code == status
    out, err = capsys.readouterr()
    assert (out.startswith("usage: qxdcs-study") if status == 0 else
            err == "qxdcs-study: error: argument --samples: must be at least 100: 5\n")


def test_cli_reports_a_study_warning_in_one_line(tmp_path, monkeypatch, capsys):
    def run_study(cases, *args, **kwargs):
        study.warnings.warn("the Dask worker w has numpy 0 (this process numpy 1): its results "
                            "may differ from an in-process run", study.StudyWarning)
        return [study._row(i, c, {"error": "E"}) for i, c in enumerate(cases)]

    monkeypatch.setattr(study, "run_study", run_study)
    assert study.main(TINY + ["--out", str(tmp_path)]) == 0
    err = capsys.readouterr().err
    assert err == ("qxdcs-study: warning: the Dask worker w has numpy 0 (this process numpy 1): "
                   "its results may differ from an in-process run\n")
    assert [r["error"] for r in read_table(tmp_path / "study.csv")] == ["E"] * 4


def test_cli_scheduler_that_cannot_be_reached_in_one_line(tmp_path, unused_port):
    pytest.importorskip("distributed")
    address = f"tcp://127.0.0.1:{unused_port}"
    proc = run_cli(TINY + ["--scheduler", address, "--connect-timeout", "0.5"], tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"qxdcs-study: error: cannot reach the Dask scheduler at "
                                  f"{address}: ")
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    proc = run_cli(TINY + ["--scheduler", "no port here"], tmp_path)
    assert (proc.returncode, proc.stderr.count("\n")) == (1, 1), proc.stderr


def test_cli_without_dask(tmp_path):
    """The in-process default needs nothing beyond the package; a cluster asked
    for without Dask's distributed is refused in one line."""
    block = "sys.modules['distributed'] = sys.modules['dask'] = None"
    proc = run_cli(TINY + ["--out", "out"], tmp_path, prelude=block)
    assert proc.returncode == 0, proc.stderr
    assert len(read_table(tmp_path / "out" / "study.csv")) == 4
    proc = run_cli(TINY + ["--workers", "2"], tmp_path, prelude=block)
    assert proc.returncode == 1
    assert proc.stderr == ("qxdcs-study: error: running on a Dask cluster needs Dask's "
                           "distributed (pip install 'qxdcs[study]')\n")

"""Plant studies: many closed-loop runs of the demonstration plant.

A study is a grid of scenarios: PID tunings (a factor on each loop's KP and
one on its TI), model-mismatch factors on the plant's gains and dead times,
and disturbance seeds. Each scenario is one closed-loop run of
:mod:`qxdcs.demo`, scored with the same metrics (integral of absolute error,
overshoot, settling time, time at the output limits).

Where a study runs:

* in the calling process (the default; nothing beyond the package needed);
* on a local Dask cluster of worker processes (``--workers N``);
* on an existing Dask cluster (``--scheduler ADDRESS``), or through a Dask
  ``Client`` of your own (``run_study(cases, client=...)``).

On a cluster, the scenarios' parameters go to the workers, a batch per task;
a worker builds each scenario's plant and blocks, runs them and sends back
the metrics. (Building a scenario costs about as much as running 720 samples,
and the built blocks pickle to about 100 kB, mostly their empty traces:
building on the workers keeps the client a dispatcher.) Results come back in
scenario order and are the same, bit for bit, wherever the study ran. A
worker that dies costs the scenarios it held a retry; a scenario that fails
(a bad tuning value, a plant that diverges) is reported in its row with the
error text, and the others complete.

Command line: ``python -m qxdcs.study`` (or ``qxdcs-study``); ``--help``.
"""
import argparse
import csv
import itertools
import math
import numbers
import os
import sys
import time
import warnings
from dataclasses import dataclass, fields
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

import numpy as np

from qxdcs import demo
from qxdcs._cli import Parser, UsageError, output_folder

LOOPS = (("TI101", "FV101"), ("AI201", "FV201"))
METRICS = ("IAE", "overshoot_pct", "settling_samples", "samples_at_limits")
NOMINAL = demo.Scenario()
MIN_SAMPLES = 100          # shorter runs put the scripted events on top of each other
CONNECT_TIMEOUT = 10.0     # seconds to reach a Dask scheduler
# Resubmissions of a task after Dask gave it up because workers died while
# holding it (KilledWorker); see _gather.
LOST_WORKER_RESUBMITS = 1
# The work of one task on a cluster, in samples; see batch_size.
TASK_SAMPLES = 10_000
BUILD_SAMPLES = 500


class StudyError(Exception):
    """The study cannot run where it was asked to (no Dask, a scheduler that
    cannot be reached, workers without the package)."""


class StudyWarning(RuntimeWarning):
    """Workers whose results may differ from an in-process run."""


@dataclass(frozen=True)
class Case:
    """One scenario of a study, as its parameters.

    The tuning factors multiply both loops' nominal KP and TI (so each loop
    keeps its own tuning, scaled); `gain_factor` and `delay_factor` are the
    plant's gains and dead times over the model's."""
    kp_factor: float = 1.0
    ti_factor: float = 1.0
    gain_factor: float = 1.0
    delay_factor: float = 1.0
    seed: int = 1
    samples: int = 720

    def tunings(self) -> Dict[str, demo.Tuning]:
        """Each loop's tuning in this scenario (not checked)."""
        t, c = NOMINAL.temperature, NOMINAL.concentration
        return {"TI101": demo.Tuning(t.KP * self.kp_factor, t.TI * self.ti_factor),
                "AI201": demo.Tuning(c.KP * self.kp_factor, c.TI * self.ti_factor)}

    def scenario(self) -> demo.Scenario:
        """The closed-loop run of this case; raises TypeError or ValueError
        for a parameter that is not a usable value."""
        for name in ("kp_factor", "ti_factor", "gain_factor", "delay_factor"):
            _positive(name, getattr(self, name))
        _whole("seed", self.seed, 0)
        _whole("samples", self.samples, MIN_SAMPLES)
        tunings = self.tunings()
        return demo.Scenario(
            samples=int(self.samples), seed=int(self.seed),
            temperature=tunings["TI101"], concentration=tunings["AI201"],
            gain_factor=float(self.gain_factor), delay_factor=float(self.delay_factor))


def _positive(name, value):
    # A NaN or infinite factor would pass through the blocks and give a run
    # whose figures mean nothing; refuse it with the scenario.
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {value!r}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive finite number, not {value!r}")


def _whole(name, value, low):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, not {value!r}")


def grid(kp=(0.5, 1.0, 1.5, 2.0), ti=(0.5, 1.0, 2.0), gain=(0.8, 1.0, 1.25),
         delay=(1.0, 1.5), seeds=(1, 2), samples=720) -> List[Case]:
    """Every combination, in this order: gain factor slowest, then delay
    factor, seed, KP factor, and TI factor fastest."""
    return [Case(k, t, g, d, s, samples)
            for g, d, s, k, t in itertools.product(gain, delay, seeds, kp, ti)]


# --- one scenario ---------------------------------------------------------------------------

def build(case: Case) -> demo.ClosedLoop:
    """The plant and blocks of a scenario, ready to run."""
    return demo.ClosedLoop(case.scenario())


def run_loop(loop: demo.ClosedLoop) -> Dict[str, float]:
    """Run a built scenario to its end and score both loops."""
    result = loop.run()
    metrics = {}
    for name, op in LOOPS:
        for key, value in demo.loop_metrics(result, name, op).items():
            metrics[f"{key}_{name}"] = value
    return metrics


def run_case(case: Case) -> dict:
    """Build, run and score one scenario: its metrics and an empty error
    text, or only the error text of a scenario that raised."""
    try:
        return dict(run_loop(build(case)), error="")
    except Exception as exc:  # reported in the scenario's row
        return {"error": _error_text(exc)}


def run_cases(cases: Sequence[Case]) -> List[dict]:
    """run_case for each of `cases`, in order: the task of a batch."""
    return [run_case(case) for case in cases]


def _error_text(exc) -> str:
    """The exception as one line: its type and message."""
    message = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _row(index: int, case: Case, outcome: dict) -> dict:
    row = {"scenario": index}
    for f in fields(Case):
        value = getattr(case, f.name)
        if isinstance(value, numbers.Real) and not isinstance(value, bool):
            value = int(value) if isinstance(value, numbers.Integral) else float(value)
        row[f.name] = value
    try:
        tunings = case.tunings()
        values = {loop: (float(t.KP), float(t.TI)) for loop, t in tunings.items()}
    except (TypeError, ValueError):   # a factor that is not a number: its row says so
        values = {loop: (math.nan, math.nan) for loop, _ in LOOPS}
    for loop, _ in LOOPS:
        row[f"KP_{loop}"], row[f"TI_{loop}"] = values[loop]
    for loop, _ in LOOPS:
        for key in METRICS:
            row[f"{key}_{loop}"] = float(outcome.get(f"{key}_{loop}", math.nan))
    row["error"] = outcome.get("error", "")
    return row


# --- where it runs ----------------------------------------------------------------------------

def run_study(cases: Sequence[Case], workers: Optional[int] = None,
              scheduler: Optional[str] = None, client=None,
              progress: Optional[Callable[[int, int], None]] = None,
              connect_timeout: float = CONNECT_TIMEOUT,
              batch: Optional[int] = None) -> List[dict]:
    """One row per case, in case order: the case's parameters, each loop's
    KP and TI, the metrics of both loops and the error text ("" for a
    scenario that ran).

    In the calling process unless one of these is given: `workers` (a local
    Dask cluster of that many worker processes, started and closed here),
    `scheduler` (the address of a running Dask scheduler) or `client` (a
    Dask Client of the caller's, left open). On a cluster, scenarios travel
    in batches of `batch` per task (by default batch_size() for the workers
    present). `progress(done, total)` is called as scenarios complete.
    Raises StudyError when the study cannot run on the cluster asked for."""
    cases = list(cases)
    if sum(x is not None for x in (workers, scheduler, client)) > 1:
        raise ValueError("give at most one of workers, scheduler and client")
    if workers is not None:
        _whole("workers", workers, 1)
    if batch is not None:
        _whole("batch", batch, 1)
    if workers is None and scheduler is None and client is None:
        outcomes = []
        for i, case in enumerate(cases):
            outcomes.append(run_case(case))
            if progress:
                progress(i + 1, len(cases))
    else:
        outcomes = _run_on_dask(cases, workers, scheduler, client, progress, connect_timeout,
                                batch)
    return [_row(i, c, o) for i, (c, o) in enumerate(zip(cases, outcomes))]


def _distributed():
    try:
        import distributed
    except ImportError:
        raise StudyError("running on a Dask cluster needs Dask's distributed "
                         "(pip install 'qxdcs[study]')") from None
    return distributed


def local_cluster(workers: int) -> "distributed.LocalCluster":
    """The local Dask cluster a study starts: `workers` worker processes of
    one thread each, everything on the loopback address, no dashboard (the
    scheduler's HTTP endpoints on a free loopback port, not on 8787). Worker
    processes start by spawning, so a script that starts one needs the
    ``if __name__ == "__main__":`` guard."""
    _whole("workers", workers, 1)
    return _distributed().LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})


def _run_on_dask(cases, workers, scheduler, client, progress, connect_timeout, batch):
    Client = _distributed().Client
    cluster = own_client = None
    try:
        if client is None:
            if scheduler is None:
                try:
                    cluster = local_cluster(workers)
                except Exception as exc:
                    raise StudyError("cannot start a local Dask cluster: "
                                     + _error_text(exc)) from None
            try:
                client = own_client = Client(cluster if cluster is not None else scheduler,
                                             timeout=connect_timeout)
            except Exception as exc:  # refused, timed out, not an address
                where = "the local cluster" if cluster is not None else scheduler
                raise StudyError(f"cannot reach the Dask scheduler at {where}: "
                                 + " ".join(str(exc).split())) from None
        _check_workers(client)
        return _gather(client, cases, progress, batch)
    finally:
        if own_client is not None:
            own_client.close()
        if cluster is not None:
            cluster.close()


def _versions():
    """The versions that decide a run's figures (runs on each worker)."""
    import scipy
    from importlib import metadata
    try:
        qxdcs_version = metadata.version("qxdcs")
    except metadata.PackageNotFoundError:
        qxdcs_version = "unknown"
    return {"qxdcs": qxdcs_version, "numpy": np.__version__, "scipy": scipy.__version__}


def _check_workers(client):
    """Every worker present can run a scenario; a worker with other versions
    of the package, NumPy or SciPy is worth a warning, as its figures may
    differ from an in-process run."""
    try:
        found = client.run(_versions)
    except Exception as exc:  # a worker without the package cannot load the task
        raise StudyError("the Dask workers cannot run the study: " + _error_text(exc)) from None
    _compare_versions(found, _versions())


def _compare_versions(found, ours):
    for worker, theirs in sorted(found.items()):
        if theirs != ours:
            differ = ", ".join(f"{name} {theirs.get(name)}" for name in ours
                               if theirs.get(name) != ours[name])
            here = ", ".join(f"{name} {ours[name]}" for name in ours
                             if theirs.get(name) != ours[name])
            warnings.warn(f"the Dask worker {worker} has {differ} (this process {here}): "
                          "its results may differ from an in-process run", StudyWarning)


def batch_size(cases: Sequence[Case], workers: int) -> int:
    """Scenarios per task on a cluster of `workers` worker threads.

    A scenario of 720 samples takes some 15 ms, and a Dask task costs a few
    milliseconds of scheduling and messages, so scenarios travel in batches
    of about TASK_SAMPLES samples' work (building a plant counts as some
    BUILD_SAMPLES samples). A batch is at most a quarter of a worker's
    share, so that the workers end the study together."""
    if not cases:
        return 1
    samples = max(int(c.samples) if isinstance(c.samples, numbers.Integral) else 0
                  for c in cases)
    by_work = math.ceil(TASK_SAMPLES / (samples + BUILD_SAMPLES))
    by_share = math.ceil(len(cases) / (4 * max(1, workers)))
    return max(1, min(by_work, by_share))


def _gather(client, cases, progress, batch):
    """Submit the scenarios in batches and collect the outcomes in scenario
    order.

    Worker deaths: the scheduler reschedules the tasks a lost worker held
    (assigned to it, whether running or waiting there) and counts the death
    against each of them; a task involved in more deaths than the scheduler's
    `distributed.scheduler.allowed-failures` (3 by default) fails with
    KilledWorker. That setting belongs to the scheduler, which may be someone
    else's; so a batch that fails that way is submitted again, as a new task,
    up to LOST_WORKER_RESUBMITS times: even with allowed-failures at 0 a
    worker that dies costs the scenarios it held a retry, while a scenario
    that kills every worker it runs on is still given up and reported in its
    row (with those of its batch).

    Exceptions: a scenario catches its own (run_case), since running the same
    blocks again would fail the same way; so `retries=` is not used. A task
    that fails outside run_case (the worker cannot load it) is reported in
    the rows of its batch."""
    from distributed import as_completed
    from distributed.scheduler import KilledWorker

    if batch is None:
        workers = sum(w.get("nthreads", 1)
                      for w in client.scheduler_info()["workers"].values())
        batch = batch_size(cases, workers)
    else:
        _whole("batch", batch, 1)
    batches = [range(start, min(start + batch, len(cases)))
               for start in range(0, len(cases), batch)]
    futures = client.map(run_cases, [[cases[i] for i in b] for b in batches], pure=False)
    index = {f.key: b for f, b in zip(futures, batches)}
    pending = as_completed(futures, with_results=True, raise_errors=False)
    del futures   # only `pending` holds them: a collected result is released at once
    outcomes = [None] * len(cases)
    resubmitted = {}
    done = 0
    for future, result in pending:
        b = index.pop(future.key)
        status = future.status
        # Let the scheduler forget the task now: a worker that dies later
        # then costs no recomputation of a result already here.
        future.release()
        if status == "finished":
            got = result
        elif status == "error":
            exc = result[1]
            if isinstance(exc, KilledWorker) and resubmitted.get(b.start, 0) < \
                    LOST_WORKER_RESUBMITS:
                resubmitted[b.start] = resubmitted.get(b.start, 0) + 1
                again = client.submit(run_cases, [cases[i] for i in b], pure=False)
                index[again.key] = b
                pending.add(again)
                continue
            got = [{"error": _error_text(exc)}] * len(b)
        else:  # cancelled: the scheduler dropped the task (connection lost, cluster closed)
            raise StudyError(f"the Dask cluster dropped scenarios {b.start} to {b.stop - 1} "
                             f"({status})")
        for i, outcome in zip(b, got):
            outcomes[i] = outcome
        done += len(b)
        if progress:
            progress(done, len(cases))
    return outcomes


# --- results ----------------------------------------------------------------------------------

def _cell(value) -> str:
    """A CSV cell as plain text: whole numbers as such, other numbers as the
    shortest text that reads back to the same float (nan, inf included)."""
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return " ".join(str(value).split()) if isinstance(value, str) else repr(value)


def write_csv(rows: List[dict], path: str) -> None:
    """The table, one row per scenario (written to a temporary file first, so
    an interrupted write leaves no half table under `path`)."""
    if not rows:
        raise ValueError("a study of no scenarios has no table")
    partial = path + ".partial"
    try:
        with open(partial, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(list(rows[0]))
            for row in rows:
                writer.writerow([_cell(v) for v in row.values()])
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


class IAEMaps(NamedTuple):
    """Each loop's IAE over the tuning grid: rows follow `ti`, columns `kp`."""
    kp: List[float]
    ti: List[float]
    nominal: Dict[str, np.ndarray]   # the nominal plant (gain and delay factors 1)
    worst: Dict[str, np.ndarray]     # the worst over the plant cases of the study


def iae_maps(rows: List[dict]) -> IAEMaps:
    """Each cell is a tuning's IAE averaged over the seeds. The nominal map
    takes the plant whose gain and delay factors are 1 (all NaN when the
    study has no such plant); the worst-case map takes, per tuning, the
    largest of those averages over every plant case of the study (the
    nominal one included). A cell is NaN when a scenario behind it failed:
    its figure, or its worst case, is not known."""
    def usable(r):
        return all(isinstance(r[k], numbers.Real) and not isinstance(r[k], bool)
                   and math.isfinite(r[k])
                   for k in ("kp_factor", "ti_factor", "gain_factor", "delay_factor"))

    rows = [r for r in rows if usable(r)]
    kps = sorted({float(r["kp_factor"]) for r in rows})
    tis = sorted({float(r["ti_factor"]) for r in rows})
    nominal, worst = {}, {}
    for loop, _ in LOOPS:
        by_case = {}
        for r in rows:
            key = (float(r["kp_factor"]), float(r["ti_factor"]),
                   float(r["gain_factor"]), float(r["delay_factor"]))
            by_case.setdefault(key, []).append(float(r[f"IAE_{loop}"]))
        nom = np.full((len(tis), len(kps)), math.nan)
        by_tuning = {}
        for (kp, ti, g, d), values in by_case.items():
            mean = float(np.mean(values))     # NaN when a seed failed
            if g == 1.0 and d == 1.0:
                nom[tis.index(ti), kps.index(kp)] = mean
            by_tuning.setdefault((kp, ti), []).append(mean)
        bad = np.full((len(tis), len(kps)), math.nan)
        for (kp, ti), means in by_tuning.items():
            bad[tis.index(ti), kps.index(kp)] = max(means) if not any(
                math.isnan(m) for m in means) else math.nan
        nominal[loop], worst[loop] = nom, bad
    return IAEMaps(kps, tis, nominal, worst)


UNITS = {"TI101": "°C·min", "AI201": "%·min"}


def plot_maps(rows: List[dict], path: str) -> None:
    """A PNG of the IAE maps: one row of panels per loop, the nominal plant on
    the left and the worst case on the right, on one colour scale per loop."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm, Normalize

    maps = iae_maps(rows)
    fig, axes = plt.subplots(len(LOOPS), 2, figsize=(11, 4.2 * len(LOOPS)), squeeze=False)
    cmap = plt.get_cmap("viridis").with_extremes(bad="lightgray")
    for r, (loop, _) in enumerate(LOOPS):
        both = np.concatenate([maps.nominal[loop].ravel(), maps.worst[loop].ravel()])
        finite = both[np.isfinite(both)]
        if len(finite) and finite.min() > 0 and finite.max() > 10 * finite.min():
            norm = LogNorm(finite.min(), finite.max())
        elif len(finite):
            norm = Normalize(finite.min(), finite.max())
        else:
            norm = None
        for c, (data, title) in enumerate(((maps.nominal[loop], "nominal plant"),
                                           (maps.worst[loop], "worst case over the plants"))):
            ax = axes[r][c]
            shown = np.where(np.isfinite(data), data, np.nan)
            im = ax.imshow(shown, origin="lower", cmap=cmap, norm=norm, aspect="auto")
            ax.set_xticks(range(len(maps.kp)), [f"{k:g}" for k in maps.kp])
            ax.set_yticks(range(len(maps.ti)), [f"{t:g}" for t in maps.ti])
            ax.set_xlabel("KP factor")
            ax.set_ylabel("TI factor")
            if c == 0 and not np.isfinite(data).any() and len(maps.kp):
                title = "nominal plant (not in the study)"
            ax.set_title(f"{loop} IAE ({UNITS[loop]}): {title}")
            for i in range(len(maps.ti)):
                for j in range(len(maps.kp)):
                    v = data[i, j]
                    text = "failed" if math.isnan(v) else ("inf" if math.isinf(v) else f"{v:.3g}")
                    light = math.isnan(v) or (norm is not None and math.isfinite(v)
                                              and norm(v) > 0.6)
                    ax.text(j, i, text, ha="center", va="center", fontsize=8,
                            color="k" if light else "w")
            if norm is not None:
                fig.colorbar(im, ax=ax)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


# --- command line ------------------------------------------------------------------------------

def _floats(text):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a comma-separated list of numbers: {text!r}") from None
    if not all(math.isfinite(v) and v > 0 for v in values):
        raise argparse.ArgumentTypeError(f"factors must be positive numbers: {text!r}")
    return values


def _seeds(text):
    try:
        values = tuple(int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not a comma-separated list of whole numbers: {text!r}") from None
    if any(v < 0 for v in values):
        raise argparse.ArgumentTypeError(f"seeds must not be negative: {text!r}")
    return values


def _at_least(low):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}: {value}")
        return value
    return parse


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return value


def _parser():
    p = Parser(prog="qxdcs-study", description=__doc__.split("\n\n")[0],
                epilog="Exit status: 0 when the study ran (a failed scenario is reported in "
                       "its row), 1 when it cannot run on the cluster asked for, 2 for a bad "
                       "option or an output folder that cannot be written.")
    p.add_argument("--kp", metavar="LIST", type=_floats, default=(0.5, 1.0, 1.5, 2.0),
                   help="factors on both loops' KP (default 0.5,1,1.5,2)")
    p.add_argument("--ti", metavar="LIST", type=_floats, default=(0.5, 1.0, 2.0),
                   help="factors on both loops' TI (default 0.5,1,2)")
    p.add_argument("--gain", metavar="LIST", type=_floats, default=(0.8, 1.0, 1.25),
                   help="plant gain / model gain (default 0.8,1,1.25)")
    p.add_argument("--delay", metavar="LIST", type=_floats, default=(1.0, 1.5),
                   help="plant dead time / model dead time (default 1,1.5)")
    p.add_argument("--seeds", metavar="LIST", type=_seeds, default=(1, 2),
                   help="noise seeds (default 1,2)")
    p.add_argument("--samples", type=_at_least(MIN_SAMPLES), default=720, metavar="N",
                   help=f"samples (minutes) per run, at least {MIN_SAMPLES} (default 720)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_at_least(1), metavar="N",
                       help="run on a local Dask cluster of this many worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at this address")
    p.add_argument("--connect-timeout", type=_seconds, default=CONNECT_TIMEOUT,
                   metavar="SECONDS",
                   help=f"give up reaching the scheduler after this long "
                        f"(default {CONNECT_TIMEOUT:g})")
    p.add_argument("--out", default="qxdcs-study-output", metavar="FOLDER",
                   help="output folder for the table and the figure (default ./qxdcs-study-output)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return p


class _Progress:
    """Scenarios done, on standard error. On a terminal, a bar redrawn in
    place at most every `interval` seconds (and at the end); otherwise (a log
    file, a pipe) a line each time another tenth of the study is done."""

    def __init__(self, stream=None, width=40, interval=0.1, clock=time.monotonic):
        self.stream = sys.stderr if stream is None else stream
        self.width, self.interval, self.clock = width, interval, clock
        try:
            self.tty = self.stream.isatty()
        except (AttributeError, ValueError):
            self.tty = False
        self.drawn_at = None    # when the bar was last drawn
        self.tenths = 0         # tenths reported (not a terminal)
        self.open = False       # a bar without its newline is on the terminal

    def __call__(self, done, total):
        last = done >= total
        if self.tty:
            now = self.clock()
            if not last and self.drawn_at is not None and now - self.drawn_at < self.interval:
                return
            self.drawn_at = now
            filled = self.width * done // total
            self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] "
                              f"{done}/{total} scenarios")
            self.open = not last
            if last:
                self.stream.write("\n")
        else:
            tenths = 10 * done // total
            if tenths <= self.tenths and not (last and self.tenths < 10):
                return
            self.tenths = 10 if last else tenths
            self.stream.write(f"{done}/{total} scenarios\n")
        self.stream.flush()

    def close(self):
        """End a bar left open (a study that stopped before its end)."""
        if self.open:
            self.stream.write("\n")
            self.stream.flush()
            self.open = False


def main(argv=None):
    """Command-line entry point; returns the exit status."""
    progress = None
    try:
        args = _parser().parse_args(argv)
        out = output_folder(args.out)
        cases = grid(args.kp, args.ti, args.gain, args.delay, args.seeds, args.samples)
        progress = _Progress()
        started = time.perf_counter()
        with warnings.catch_warnings():
            shown = warnings.showwarning

            def show(message, category, *args, **kwargs):
                if issubclass(category, StudyWarning):
                    print(f"qxdcs-study: warning: {message}", file=sys.stderr)
                else:
                    shown(message, category, *args, **kwargs)

            warnings.showwarning = show
            try:
                rows = run_study(cases, args.workers, args.scheduler, progress=progress,
                                 connect_timeout=args.connect_timeout)
            finally:
                progress.close()
        elapsed = time.perf_counter() - started
        table = os.path.join(out, "study.csv")
        try:
            write_csv(rows, table)
        except OSError as exc:
            raise UsageError(f"cannot write {table}: {exc.strerror or exc}") from None
        failed = sum(1 for r in rows if r["error"])
        print(f"{len(rows)} scenarios in {elapsed:.1f} s ({failed} failed): {table}")
        if not args.no_plot:
            import importlib.util
            if importlib.util.find_spec("matplotlib") is None:
                print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
                      file=sys.stderr)
            else:
                png = os.path.join(out, "study-iae.png")
                try:
                    plot_maps(rows, png)
                except OSError as exc:
                    raise UsageError(f"cannot write {png}: {exc.strerror or exc}") from None
                print(f"figure: {png}")
        return 0
    except UsageError as exc:
        print(f"qxdcs-study: error: {exc}", file=sys.stderr)
        return 2
    except StudyError as exc:
        print(f"qxdcs-study: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        if progress is not None:
            progress.close()
        print("qxdcs-study: interrupted", file=sys.stderr)
        return 130


def cli():
    """Console-script entry point (qxdcs-study): exits with main()'s status."""
    sys.exit(main())


if __name__ == "__main__":
    cli()

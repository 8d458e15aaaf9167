"""Where a study's scenarios run: in this process, or on a Dask cluster.

A scenario runs as `qxdcs run` runs a file: the strategy with the
scenario's changes, checked, made a plan and run by `qxdcs.strategy.run`
(on the native engine where the file allows it), then summarised. A
scenario that fails is a row with its error text; the study goes on.

Each process builds the file's plan once and puts a scenario's numbers into
it where it can (qxdcs.study.prepared); on a cluster the strategy file's
data travels to the workers once (broadcast), and the scenarios travel as
their changes, in batches; every worker keeps its prepared file from one
task to the next. Rows are handed to `on_rows` the moment a batch is back.
"""
import math
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

CONNECT_TIMEOUT = 10.0     # seconds to reach a Dask scheduler
# Resubmissions of a task after Dask gave it up because workers died while
# holding it (KilledWorker); see _gather.
LOST_WORKER_RESUBMITS = 1
# The work of one task on a cluster, in samples; see batch_size.
TASK_SAMPLES = 50_000
BUILD_SAMPLES = 100
# The worker processes of a local cluster use one BLAS thread each: the
# discretisation's small matrix exponentials are many times slower when
# several threads share two cores.
WORKER_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}

Task = Tuple[int, Dict[str, Any]]          # (scenario, changes)
OnRows = Callable[[List[Dict[str, Any]]], None]


class StudyError(Exception):
    """A study that cannot run (its cluster cannot be reached, say): one line."""


class StudyWarning(RuntimeWarning):
    """Something about a study worth a line, such as workers with other versions."""


def error_text(exc) -> str:
    """The exception as one line: its type and message."""
    message = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def run_scenario(sf, index: int, changes: Dict[str, Any], samples: Optional[int] = None,
                 engine: str = "auto") -> Dict[str, Any]:
    """One scenario's row: its number, its changes, the summary's figures
    (``loop.TI101.IAE``, ...) and its error text ("" when it ran)."""
    from qxdcs import strategy
    from qxdcs.strategy import metrics
    from qxdcs.study.grid import apply

    row: Dict[str, Any] = {"scenario": index}
    row.update(changes)
    try:
        ready = prepared(sf, samples)
        got = ready.plan_for(changes) if ready is not None else None
        if got is None:
            if ready is not None:
                ready.built += 1
            plan = strategy.make_plan(apply(sf, changes), samples=samples)
        else:
            plan, compiled = got
            if compiled is not None and engine != "python":
                plan = compiled
            ready.patched += 1
        result = strategy.run(plan, engine=engine)
        figures = metrics.flat(metrics.summarize(result))
        row.update({k: float(v) for k, v in figures.items()})
        row["error"] = ""
    except strategy.StrategyError as exc:
        first = exc.problems[0] if exc.problems else "refused"
        row["error"] = f"StrategyError: {first}"
    except Exception as exc:  # a scenario's failure is its row, not the study's
        row["error"] = error_text(exc)
    return row


# The prepared files of this process (a worker keeps them from one task to
# the next): (id of the file's data, samples) -> (the file, its Prepared).
_PREPARED: Dict[Tuple[int, Optional[int]], Tuple[Any, Any]] = {}
PREPARED_FILES = 4


def prepared(sf, samples: Optional[int]):
    """The Prepared of `sf` in this process, made on first use; None when the
    file itself cannot be built (its scenarios are built from scratch and
    report why)."""
    from qxdcs.study.prepared import Prepared

    key = (id(sf), samples)
    hit = _PREPARED.get(key)
    if hit is not None and hit[0] is sf:
        return hit[1]
    try:
        ready = Prepared(sf, samples)
    except Exception:
        ready = None
    if len(_PREPARED) >= PREPARED_FILES:
        _PREPARED.clear()
    _PREPARED[key] = (sf, ready)       # the file is held, so its id is not reused
    return ready


def run_batch(sf, tasks: Sequence[Task], samples: Optional[int] = None,
              engine: str = "auto") -> List[Dict[str, Any]]:
    return [run_scenario(sf, i, changes, samples, engine) for i, changes in tasks]


def run_here(sf, tasks: Sequence[Task], on_rows: OnRows, samples: Optional[int] = None,
             engine: str = "auto") -> None:
    for i, changes in tasks:
        on_rows([run_scenario(sf, i, changes, samples, engine)])


# --- Dask ------------------------------------------------------------------------------------

def distributed():
    try:
        import distributed as d
    except ImportError:
        raise StudyError("running on a Dask cluster needs Dask's distributed "
                         "(pip install 'qxdcs[study]')") from None
    return d


def local_cluster(workers: int):
    """The local Dask cluster a study starts: `workers` worker processes of
    one thread each (one BLAS thread too), on the loopback address, no
    dashboard. Worker processes start by spawning, so a script that starts
    one needs the ``if __name__ == "__main__":`` guard."""
    import dask

    # Dask starts its workers with glibc told to give freed memory back to the
    # system above 64 kB (MALLOC_TRIM_THRESHOLD_): a scenario's run allocates and
    # frees its native blocks, and with that setting costs 1.6 to 2 times as much.
    # The study's workers keep glibc's own threshold.
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}):
        return distributed().LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            env=dict(WORKER_ENV))


class Cluster:
    """A connection to the cluster a study runs on: a local cluster of its
    own (`workers`), a running scheduler (`scheduler`), or a caller's
    client. Connecting raises StudyError with one line; close() ends what it
    started."""

    def __init__(self, workers: Optional[int] = None, scheduler: Optional[str] = None,
                 client=None, connect_timeout: float = CONNECT_TIMEOUT):
        self.cluster = self.own = None
        self.client = client
        if client is not None:
            return
        Client = distributed().Client
        try:
            if scheduler is None:
                try:
                    self.cluster = local_cluster(workers)
                except Exception as exc:
                    raise StudyError("cannot start a local Dask cluster: "
                                     + error_text(exc)) from None
            try:
                self.client = self.own = Client(
                    self.cluster if self.cluster is not None else scheduler,
                    timeout=connect_timeout)
            except Exception as exc:  # refused, timed out, not an address
                where = "the local cluster" if self.cluster is not None else scheduler
                raise StudyError(f"cannot reach the Dask scheduler at {where}: "
                                 + " ".join(str(exc).split())) from None
            check_workers(self.client)
        except BaseException:
            self.close()
            raise

    def threads(self) -> int:
        info = self.client.scheduler_info()["workers"]
        return max(1, sum(w.get("nthreads", 1) for w in info.values()))

    def close(self) -> None:
        if self.own is not None:
            self.own.close()
            self.own = None
        if self.cluster is not None:
            self.cluster.close()
            self.cluster = None


def versions():
    """The versions that decide a run's figures (runs on each worker)."""
    import scipy
    from importlib import metadata
    try:
        qxdcs_version = metadata.version("qxdcs")
    except metadata.PackageNotFoundError:
        qxdcs_version = "unknown"
    return {"qxdcs": qxdcs_version, "numpy": np.__version__, "scipy": scipy.__version__}


def check_workers(client) -> None:
    """Every worker present can run a scenario; a worker with other versions
    of the package, NumPy or SciPy is worth a warning, as its figures may
    differ from an in-process run."""
    try:
        found = client.run(versions)
    except Exception as exc:  # a worker without the package cannot load the task
        raise StudyError("the Dask workers cannot run the study: " + error_text(exc)) from None
    compare_versions(found, versions())


def compare_versions(found: Dict[str, Dict[str, str]], ours: Dict[str, str]) -> None:
    """A StudyWarning for each worker of `found` whose versions differ from `ours`."""
    for worker, theirs in sorted(found.items()):
        if theirs != ours:
            differ = ", ".join(f"{n} {theirs.get(n)}" for n in ours if theirs.get(n) != ours[n])
            here = ", ".join(f"{n} {ours[n]}" for n in ours if theirs.get(n) != ours[n])
            warnings.warn(f"the Dask worker {worker} has {differ} (this process {here}): "
                          "its results may differ from an in-process run", StudyWarning)


def batch_size(tasks: int, samples: int, threads: int) -> int:
    """Scenarios per task on a cluster of `threads` worker threads: about
    TASK_SAMPLES samples' work (a scenario's plan counts as BUILD_SAMPLES
    more), at most a quarter of a worker's share, so that the workers end
    the study together."""
    if tasks <= 0:
        return 1
    by_work = math.ceil(TASK_SAMPLES / (max(1, samples) + BUILD_SAMPLES))
    by_share = math.ceil(tasks / (4 * threads))
    return max(1, min(by_work, by_share))


def run_on_dask(cluster: Cluster, sf, tasks: Sequence[Task], on_rows: OnRows,
                samples: Optional[int], expected_samples: int, engine: str = "auto",
                batch: Optional[int] = None) -> None:
    """Every task on the cluster, in batches; `on_rows` gets each batch's
    rows as it comes back.

    Worker deaths: the scheduler reschedules the tasks a lost worker held and
    counts the death against each of them; a task involved in more deaths
    than the scheduler's `distributed.scheduler.allowed-failures` fails with
    KilledWorker. That setting belongs to the scheduler, which may be someone
    else's; so a batch that fails that way is submitted again, as a new task,
    up to LOST_WORKER_RESUBMITS times: even with allowed-failures at 0 a
    worker that dies costs the scenarios it held a retry, while a scenario
    that kills every worker it runs on is given up and reported in its row.
    A scenario catches its own exceptions (run_scenario), so a task that
    fails otherwise (the worker cannot load it) is reported in its rows."""
    from distributed import as_completed
    from distributed.scheduler import KilledWorker

    client = cluster.client
    tasks = list(tasks)
    if not tasks:
        return
    if batch is None:
        batch = batch_size(len(tasks), expected_samples, cluster.threads())
    batches = [tasks[k:k + batch] for k in range(0, len(tasks), batch)]
    [shared] = client.scatter([sf], broadcast=True, hash=False)
    futures = [client.submit(run_batch, shared, b, samples, engine, pure=False)
               for b in batches]
    index = {f.key: b for f, b in zip(futures, batches)}
    pending = as_completed(futures, with_results=True, raise_errors=False)
    del futures   # only `pending` holds them: a collected result is released at once
    resubmitted: Dict[int, int] = {}
    try:
        for future, result in pending:
            b = index.pop(future.key)
            status = future.status
            future.release()
            if status == "finished":
                rows = result
            elif status == "error":
                exc = result[1]
                first = b[0][0]
                if isinstance(exc, KilledWorker) and \
                        resubmitted.get(first, 0) < LOST_WORKER_RESUBMITS:
                    resubmitted[first] = resubmitted.get(first, 0) + 1
                    again = client.submit(run_batch, shared, b, samples, engine, pure=False)
                    index[again.key] = b
                    pending.add(again)
                    continue
                rows = [dict({"scenario": i}, **changes, error=error_text(exc))
                        for i, changes in b]
            else:  # cancelled: the scheduler dropped the task (connection lost, cluster closed)
                raise StudyError(f"the Dask cluster dropped scenarios {b[0][0]} to {b[-1][0]} "
                                 f"({status})")
            on_rows(rows)
    finally:
        # Interrupted or done: nothing of this study stays on the cluster.
        try:
            client.cancel(list(pending.futures) + [shared])
        except Exception:
            pass

"""Plant studies: many closed-loop runs of the demonstration plant.

A study is a grid of scenarios: PID tunings (a factor on each loop's KP and
one on its TI), model-mismatch factors on the plant's gains and dead times,
and disturbance seeds. Each scenario is one closed-loop run of
:mod:`qxdcs.demo`, scored with the same metrics (integral of absolute error,
overshoot, settling time, time at the output limits).

Every run is built in the calling process (its plant and blocks) and then
run where the study runs:

* in the calling process (the default; nothing beyond the package needed);
* on a local Dask cluster of worker processes (``--workers N``);
* on an existing Dask cluster (``--scheduler ADDRESS``).

The blocks pickle with their state, so a built run ships to a worker as it
is. Results come back in scenario order and are the same, bit for bit,
wherever the study ran. A worker that dies costs its scenario a retry; a
scenario that fails (a bad tuning value) is reported in its row.

Command line: ``python -m qxdcs.study`` (or ``qxdcs-study``); ``--help``.
"""
import argparse
import csv
import itertools
import math
import os
import sys
import time
from dataclasses import asdict, dataclass
from typing import Callable, List, Optional, Sequence

import numpy as np

from qxdcs import demo

LOOPS = (("TI101", "FV101"), ("AI201", "FV201"))
METRICS = ("IAE", "overshoot_pct", "settling_samples", "samples_at_limits")
NOMINAL = demo.Scenario()


@dataclass(frozen=True)
class Case:
    """One scenario of a study, as its parameters."""
    kp_factor: float = 1.0
    ti_factor: float = 1.0
    gain_factor: float = 1.0
    delay_factor: float = 1.0
    seed: int = 1
    samples: int = 720

    def scenario(self) -> demo.Scenario:
        t, c = NOMINAL.temperature, NOMINAL.concentration
        return demo.Scenario(
            samples=self.samples, seed=self.seed,
            temperature=demo.Tuning(t.KP * self.kp_factor, t.TI * self.ti_factor),
            concentration=demo.Tuning(c.KP * self.kp_factor, c.TI * self.ti_factor),
            gain_factor=self.gain_factor, delay_factor=self.delay_factor)


def grid(kp=(0.5, 1.0, 1.5, 2.0), ti=(0.5, 1.0, 2.0), gain=(0.8, 1.0, 1.25),
         delay=(1.0, 1.5), seeds=(1, 2), samples=720) -> List[Case]:
    """Every combination, tunings varying fastest."""
    return [Case(k, t, g, d, s, samples)
            for g, d, s, k, t in itertools.product(gain, delay, seeds, kp, ti)]


# --- one scenario ---------------------------------------------------------------------------

def prepare(case: Case):
    """The built run of a scenario (plant and blocks), or the error text of
    a scenario that cannot be built."""
    try:
        return demo.ClosedLoop(case.scenario())
    except Exception as exc:  # reported in the scenario's row
        return f"{type(exc).__name__}: {exc}"


def run_prepared(loop) -> dict:
    """Run a built scenario to its end and score it (runs in a worker)."""
    if isinstance(loop, str):
        return {"error": loop}
    try:
        result = loop.run()
    except Exception as exc:
        return {"error": f"{type(exc).__name__}: {exc}"}
    row = {"error": ""}
    for name, op in LOOPS:
        for key, value in demo.loop_metrics(result, name, op).items():
            row[f"{key}_{name}"] = value
    return row


def _row(index, case, outcome):
    s = case.scenario()
    row = {"scenario": index, **asdict(case),
           "KP_TI101": s.temperature.KP, "TI_TI101": s.temperature.TI,
           "KP_AI201": s.concentration.KP, "TI_AI201": s.concentration.TI}
    for name, _ in LOOPS:
        for key in METRICS:
            row[f"{key}_{name}"] = outcome.get(f"{key}_{name}", math.nan)
    row["error"] = outcome.get("error", "")
    return row


# --- where it runs ----------------------------------------------------------------------------

def run_study(cases: Sequence[Case], workers: Optional[int] = None,
              scheduler: Optional[str] = None,
              progress: Optional[Callable[[int, int], None]] = None) -> List[dict]:
    """One row per case, in case order. In the calling process unless
    `workers` (a local Dask cluster of that many worker processes) or
    `scheduler` (the address of a running Dask scheduler) is given."""
    loops = [prepare(c) for c in cases]
    if workers is None and scheduler is None:
        outcomes = []
        for i, loop in enumerate(loops):
            outcomes.append(run_prepared(loop))
            if progress:
                progress(i + 1, len(loops))
    else:
        outcomes = _run_on_dask(loops, workers, scheduler, progress)
    return [_row(i, c, o) for i, (c, o) in enumerate(zip(cases, outcomes))]


def _run_on_dask(loops, workers, scheduler, progress):
    try:
        from distributed import Client, LocalCluster, as_completed
    except ImportError as exc:
        raise RuntimeError("running on a Dask cluster needs Dask's distributed "
                           "(pip install 'qxdcs[study]')") from exc
    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
    client = Client(scheduler if scheduler is not None else cluster)
    try:
        futures = client.map(run_prepared, loops, pure=False, retries=2)
        index = {f.key: i for i, f in enumerate(futures)}
        outcomes = [None] * len(loops)
        done = 0
        for future in as_completed(futures):
            outcomes[index[future.key]] = future.result()
            done += 1
            if progress:
                progress(done, len(loops))
        return outcomes
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


# --- results ----------------------------------------------------------------------------------

def write_csv(rows: List[dict], path: str) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        for row in rows:
            writer.writerow({k: (repr(v) if isinstance(v, float) else v) for k, v in row.items()})


def iae_maps(rows: List[dict]):
    """Total IAE of both loops over the tuning grid: (kp factors, ti factors,
    nominal map, worst case over the mismatch cases), each map averaged over
    the seeds; NaN where a scenario failed."""
    kps = sorted({r["kp_factor"] for r in rows})
    tis = sorted({r["ti_factor"] for r in rows})
    cases = {}
    for r in rows:
        total = r["IAE_TI101"] + r["IAE_AI201"]
        cases.setdefault((r["kp_factor"], r["ti_factor"], r["gain_factor"], r["delay_factor"]),
                         []).append(total)
    nominal = np.full((len(tis), len(kps)), math.nan)
    worst = np.full((len(tis), len(kps)), math.nan)
    by_tuning = {}
    for (kp, ti, g, d), totals in cases.items():
        mean = float(np.mean(totals))
        if g == 1.0 and d == 1.0:
            nominal[tis.index(ti), kps.index(kp)] = mean
        by_tuning.setdefault((kp, ti), []).append(mean)
    for (kp, ti), means in by_tuning.items():
        worst[tis.index(ti), kps.index(kp)] = float(np.max(means))  # NaN if any failed
    return kps, tis, nominal, worst


def plot_maps(rows: List[dict], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kps, tis, nominal, worst = iae_maps(rows)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    for ax, data, title in ((axes[0], nominal, "nominal plant"),
                            (axes[1], worst, "worst case over model mismatch")):
        im = ax.imshow(data, origin="lower", cmap="viridis", aspect="auto")
        ax.set_xticks(range(len(kps)), [f"{k:g}" for k in kps])
        ax.set_yticks(range(len(tis)), [f"{t:g}" for t in tis])
        ax.set_xlabel("KP factor")
        ax.set_ylabel("TI factor")
        ax.set_title(f"IAE of both loops: {title}")
        for i in range(len(tis)):
            for j in range(len(kps)):
                if not math.isnan(data[i, j]):
                    ax.text(j, i, f"{data[i, j]:.0f}", ha="center", va="center", color="w",
                            fontsize=8)
        fig.colorbar(im, ax=ax)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


# --- command line ------------------------------------------------------------------------------

class _Error(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _Error(message)


def _floats(text):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of numbers: {text!r}")
    if not values or not all(math.isfinite(v) and v > 0 for v in values):
        raise argparse.ArgumentTypeError(f"factors must be positive numbers: {text!r}")
    return values


def _ints(text):
    try:
        return tuple(int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of whole numbers: {text!r}")


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _parser():
    p = _Parser(prog="qxdcs-study", description=__doc__.split("\n\n")[0])
    p.add_argument("--kp", type=_floats, default=(0.5, 1.0, 1.5, 2.0),
                   help="factors on both loops' KP (default 0.5,1,1.5,2)")
    p.add_argument("--ti", type=_floats, default=(0.5, 1.0, 2.0),
                   help="factors on both loops' TI (default 0.5,1,2)")
    p.add_argument("--gain", type=_floats, default=(0.8, 1.0, 1.25),
                   help="plant gain / model gain (default 0.8,1,1.25)")
    p.add_argument("--delay", type=_floats, default=(1.0, 1.5),
                   help="plant dead time / model dead time (default 1,1.5)")
    p.add_argument("--seeds", type=_ints, default=(1, 2), help="noise seeds (default 1,2)")
    p.add_argument("--samples", type=_count, default=720,
                   help="samples per run (default 720)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_count,
                       help="run on a local Dask cluster of this many worker processes")
    where.add_argument("--scheduler", help="run on the Dask cluster at this address")
    p.add_argument("--out", default="qxdcs-study-output",
                   help="output folder for the table and the figure (default ./qxdcs-study-output)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return p


class _Progress:
    def __init__(self, stream=sys.stderr, width=40):
        self.stream, self.width = stream, width

    def __call__(self, done, total):
        filled = self.width * done // total
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] "
                          f"{done}/{total} scenarios")
        if done == total:
            self.stream.write("\n")
        self.stream.flush()


def main(argv=None):
    """Command-line entry point; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        out = os.path.abspath(args.out)
        try:
            os.makedirs(out, exist_ok=True)
            probe = os.path.join(out, ".qxdcs-write-test")
            with open(probe, "w"):
                pass
            os.remove(probe)
        except OSError as exc:
            raise _Error(f"cannot write to the output folder {out}: "
                         f"{exc.strerror or exc}") from None
        cases = grid(args.kp, args.ti, args.gain, args.delay, args.seeds, args.samples)
        started = time.perf_counter()
        try:
            rows = run_study(cases, args.workers, args.scheduler, _Progress())
        except (RuntimeError, OSError) as exc:
            raise _Error(str(exc)) from None
        elapsed = time.perf_counter() - started
        table = os.path.join(out, "study.csv")
        write_csv(rows, table)
        failed = sum(1 for r in rows if r["error"])
        print(f"{len(rows)} scenarios in {elapsed:.1f} s ({failed} failed): {table}")
        if not args.no_plot:
            import importlib.util
            if importlib.util.find_spec("matplotlib") is None:
                print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
                      file=sys.stderr)
            else:
                png = os.path.join(out, "study-iae.png")
                plot_maps(rows, png)
                print(f"figure: {png}")
        return 0
    except _Error as exc:
        print(f"qxdcs-study: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("qxdcs-study: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

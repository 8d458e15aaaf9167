"""`qxdcs study FILE --grid PATH=VALUES ...`: the command around a study.

In order: read and check the file; read the grid (the --grid options, else
the file's [study] table) and check every path and every value against the
file, with the checker's messages; reach the cluster; only then create or
take over the output folder, so that a study that cannot start leaves
nothing behind. The rows then arrive as the scenarios finish (see
qxdcs.study.results); Ctrl-C keeps every finished row and says how to go on.
"""
import os
import shutil
import sys
import time
import warnings
from typing import Any, Dict, List, Optional, Sequence

from qxdcs._cli import Failure, UsageError
from qxdcs.study import grid as gr
from qxdcs.study import results as rs
from qxdcs.study import runner
from qxdcs.study.figure import FIGURE

PROG = "qxdcs study"



# --- before anything runs ------------------------------------------------------------------

def load(path: str):
    """The checked strategy file, or Failure with its problems."""
    try:
        import pydantic  # noqa: F401
    except ImportError:
        raise Failure("strategy files need pydantic: pip install 'qxdcs[strategy]'") from None
    from qxdcs import strategy

    try:
        sf = strategy.load(path)
    except strategy.StrategyError as exc:
        raise Failure(_problems(exc.problems, f"{path}: cannot be read")) from None
    checked = strategy.check(sf)
    if not checked.ok:
        raise Failure(_problems(checked.errors, f"{path}: has errors; nothing ran"))
    return sf


def _problems(problems, summary: str) -> str:
    """One problem is the line itself; several are printed, the summary is the line."""
    problems = list(problems)
    if len(problems) == 1:
        return str(problems[0])
    for p in problems:
        print(p, file=sys.stderr)
    return f"{summary} ({len(problems)} problems above)"


def axes_of(sf, options: Sequence[str]) -> List[gr.Axis]:
    """The grid: the --grid options, else the file's [study] grid."""
    try:
        if options:
            axes = [gr.parse_option(o) for o in options]
        else:
            table = sf.data.get("study", {}).get("grid", {})
            axes = gr.from_table(table, f"{sf.path}: study.grid")
        gr.check_axes(axes)
    except gr.GridError as exc:
        raise Failure(str(exc)) from None
    if not axes:
        raise UsageError(f"no grid: give --grid PATH=VALUES, or a [study] table with a grid "
                         f"in {sf.path}")
    return axes


def check_grid(sf, axes: Sequence[gr.Axis]) -> None:
    """Every path names a number of the file, and the file with each value of
    each axis (the other axes at the file's values) passes the checker:
    Failure with the first problem otherwise."""
    from qxdcs import strategy

    try:
        gr.check_paths(sf, axes)
    except gr.GridError as exc:
        raise Failure(f"{sf.path}: {exc}") from None
    for a in axes:
        for v in a.values:
            try:
                changed = gr.apply(sf, {a.path: v})
            except KeyError as exc:
                raise Failure(f"{sf.path}: --grid {a.path}: {exc.args[0]}") from None
            checked = strategy.check(changed)
            if not checked.ok:
                raise Failure(f"--grid {a.path}={gr.label(v)}: {checked.errors[0]}")


def manifest_of(sf, axes, samples) -> Dict[str, Any]:
    return {"strategy": os.path.abspath(sf.path), "sha256": rs.file_hash(sf.path),
            "grid": [{"path": a.path, "values": list(a.values)} for a in axes],
            "samples": samples}


def _same_study(old: Optional[Dict[str, Any]], new: Dict[str, Any]) -> Optional[str]:
    """What differs between the study in a folder and this one (None: the same)."""
    if old is None:
        return "it holds no study (no study.json)"
    if not old:
        return "its study.json cannot be read"
    if old.get("sha256") != new["sha256"]:
        return f"its study is of another strategy file (or {os.path.basename(new['strategy'])} " \
               f"has changed since)"
    if old.get("grid") != new["grid"]:
        return "its study has another grid"
    if old.get("samples") != new["samples"]:
        return "its study has another --samples"
    return None


# --- the study -----------------------------------------------------------------------------

class _Bar:
    """Scenarios done, their rate and the time left, on standard error (tqdm;
    quiet when standard error is not a terminal or tqdm is not installed)."""

    def __init__(self, total: int, done: int):
        self.bar = None
        try:
            from tqdm import tqdm
        except ImportError:
            return
        # The terminal's size; 80 x 24 where it does not say (a bare pseudo-terminal
        # says 0 x 0, on which tqdm would draw nothing).
        try:
            cols, lines = os.get_terminal_size(sys.stderr.fileno())
        except (AttributeError, ValueError, OSError):
            cols = lines = 0
        self.bar = tqdm(total=total, initial=done, unit="scenario", file=sys.stderr,
                        disable=None, ncols=cols or 80, nrows=lines or 24, smoothing=0.1)

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run(args, prog: str = PROG) -> int:
    """Runs `qxdcs study` with the parsed `args`; returns the exit status."""
    sf = load(args.file)
    axes = axes_of(sf, args.grid)
    check_grid(sf, axes)
    table = sf.data.get("study", {})
    metric = args.metric or table.get("metric", "IAE")
    stem = os.path.splitext(os.path.basename(args.file))[0]
    out = os.path.abspath(args.out if args.out else f"{stem}-study")
    changes = gr.scenarios(axes)
    manifest = manifest_of(sf, axes, args.samples)
    params = [a.path for a in axes]

    done: Dict[int, Dict[str, Any]] = {}
    if args.resume:
        why = _same_study(rs.read_manifest(out), manifest)
        if why is not None:
            raise Failure(f"--resume: {out}: {why}; run the study without --resume to "
                          f"start it afresh there")
        done = {i: r for i, r in rs.read_journal(out).items() if 0 <= i < len(changes)}
    todo = [(i, c) for i, c in enumerate(changes) if i not in done]

    cluster = None
    if todo and (args.workers is not None or args.scheduler is not None):
        try:
            cluster = runner.Cluster(args.workers, args.scheduler,
                                     connect_timeout=args.connect_timeout)
        except runner.StudyError as exc:
            raise Failure(str(exc)) from None
    created = not os.path.isdir(out)
    bar = recorder = None
    started = time.perf_counter()
    try:
        try:
            _prepare(out, manifest, fresh=not args.resume)
        except OSError as exc:
            raise UsageError(f"cannot write to the output folder {out}: "
                             f"{exc.strerror or exc}") from None
        parquet = rs.have_pyarrow()
        recorder = rs.Recorder(out, params, parquet, done)
        bar = _Bar(len(changes), len(done))

        def on_rows(rows):
            for row in rows:
                recorder.add(row)
            bar.update(len(rows))

        with warnings.catch_warnings():
            warnings.simplefilter("always", runner.StudyWarning)
            shown = warnings.showwarning

            def show(message, category, *rest, **kw):
                if issubclass(category, runner.StudyWarning):
                    print(f"{prog}: warning: {message}", file=sys.stderr)
                else:
                    shown(message, category, *rest, **kw)
            warnings.showwarning = show
            if cluster is None:
                runner.run_here(sf, todo, on_rows, args.samples)
            else:
                expected = args.samples or _samples(sf)
                runner.run_on_dask(cluster, sf, todo, on_rows, args.samples, expected)
    except KeyboardInterrupt:
        if bar is not None:
            bar.close()
        kept = _close(recorder)
        n = len(recorder.rows) if recorder is not None else len(done)
        print(f"{prog}: interrupted: {n} of {len(changes)} scenarios done, kept in "
              f"{kept or out}; run it again with --resume to run the rest", file=sys.stderr)
        return 130
    except runner.StudyError as exc:
        if bar is not None:
            bar.close()
        kept = _close(recorder)
        n = len(recorder.rows) if recorder is not None else 0
        if created and not n:
            shutil.rmtree(out, ignore_errors=True)
            raise Failure(str(exc)) from None
        raise Failure(f"{exc}; {n} of {len(changes)} scenarios done, kept in {kept or out}; "
                      f"run it again with --resume to run the rest") from None
    except BaseException:
        if bar is not None:
            bar.close()
        _close(recorder)
        if created and (recorder is None or not recorder.rows):
            shutil.rmtree(out, ignore_errors=True)
        raise
    finally:
        if cluster is not None:
            cluster.close()
    bar.close()
    path = _close(recorder) or os.path.join(out, rs.TABLES[0 if parquet else 1])
    elapsed = time.perf_counter() - started
    rows = [recorder.rows[i] for i in sorted(recorder.rows)]
    failed = sum(1 for r in rows if r.get("error"))
    ran = len(todo)
    print(f"{len(rows)} scenarios ({ran} run in {elapsed:.1f} s, {failed} failed): {path}")
    figure = os.path.join(out, FIGURE)
    if args.no_plot:
        if os.path.exists(figure):
            os.remove(figure)
        return 0
    if not _have_matplotlib():
        print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
              file=sys.stderr)
        return 0
    from qxdcs.study.figure import plot

    loops = list(sf.data.get("loop", {}))
    if not loops:
        print("the strategy has no loops: no figure", file=sys.stderr)
        return 0
    nominal = {a.path: v for a in axes for v in [gr.nominal(sf, a)] if v is not None}
    tmp = figure + f".tmp{os.getpid()}.png"
    try:
        plot(rows, axes, nominal, loops, metric, _units(sf, args.samples, metric), tmp)
        os.replace(tmp, figure)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    print(f"figure: {figure}")
    return 0


def _prepare(out: str, manifest: Dict[str, Any], fresh: bool) -> None:
    """The output folder with this study's manifest; a fresh study first
    removes what an earlier study left there."""
    os.makedirs(out, exist_ok=True)
    if fresh:
        for name in (rs.JOURNAL,) + rs.TABLES + (FIGURE,):
            p = os.path.join(out, name)
            if os.path.exists(p):
                os.remove(p)
    rs.write_manifest(out, manifest)


def _close(recorder) -> Optional[str]:
    if recorder is None:
        return None
    recorder.close()
    name = rs.TABLES[0] if recorder.parquet else rs.TABLES[1]
    path = os.path.join(recorder.folder, name)
    return path if os.path.exists(path) else None


def _samples(sf) -> int:
    sim = sf.data.get("simulation", {})
    if sim.get("samples"):
        return int(sim["samples"])
    try:
        return max(1, int(round(float(sim["duration_s"]) / float(sim["sample_period_s"]))))
    except (KeyError, TypeError, ValueError, ZeroDivisionError):
        return 1000


def _units(sf, samples, metric: str) -> Dict[str, str]:
    """Each loop's unit of the metric, as the run's summary gives it."""
    from qxdcs import strategy

    plan = strategy.make_plan(sf, samples=1)
    tu = plan.time_unit
    out = {}
    for loop in plan.loops:
        cv = plan.units[loop.pv]
        out[loop.name] = {"IAE": f"{cv}·{tu}" if cv else tu, "overshoot_pct": "%",
                          "settling_time": tu, "time_at_limits": tu}[metric]
    return out


def _have_matplotlib() -> bool:
    import importlib.util
    return importlib.util.find_spec("matplotlib") is not None

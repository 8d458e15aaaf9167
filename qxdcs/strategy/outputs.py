"""The files of a run: traces, summary, figure and laboratory CSV files.

`run_into` runs a plan (on the native engine where it can) and writes its
files into a folder as one change:
everything is first written into a temporary folder beside them, and only a
run that completed (no block failed, every trace finite) and whose files
were all written is moved into place, each file renamed over the one it
replaces. A failure leaves the folder as it was.
"""
import csv
import json
import math
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

import numpy as np

from qxdcs.strategy import metrics
from qxdcs.strategy.engine import EngineFailure, Result
from qxdcs.strategy.engines import Choice, choose, make_engine
from qxdcs.strategy.plan import Plan

TRACES_CSV, TRACES_PARQUET = "traces.csv", "traces.parquet"
SUMMARY_CSV, SUMMARY_JSON = "summary.csv", "summary.json"
FIGURE = "figure.png"


class RunFailure(Exception):
    """A run that did not complete or whose files could not be written: one
    line naming what failed."""


def have_pyarrow() -> bool:
    import importlib.util
    return importlib.util.find_spec("pyarrow") is not None


def write_traces(result: Result, folder: str, fmt: str = "auto") -> str:
    """The traces as `traces.parquet` (pyarrow; units in the fields'
    metadata) or `traces.csv` (units in the header, "name [unit]"); time in
    seconds from the start in the first column. `fmt`: "parquet", "csv" or
    "auto" (Parquet when pyarrow is installed). Returns the path."""
    if fmt == "auto":
        fmt = "parquet" if have_pyarrow() else "csv"
    plan = result.plan
    names = list(plan.signals)
    units = list(plan.units)
    if fmt == "parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq
        fields = [pa.field("time", pa.float64(), metadata={"unit": "s"})]
        fields += [pa.field(n, pa.float64(), metadata={"unit": u}) for n, u in zip(names, units)]
        meta = {"strategy": plan.source, "sample_period_s": repr(plan.sample_period),
                "start": repr(plan.start), "seed": str(plan.seed)}
        schema = pa.schema(fields, metadata=meta)
        table = pa.Table.from_arrays([pa.array(result.time)] +
                                     [pa.array(result.traces[n]) for n in names], schema=schema)
        path = os.path.join(folder, TRACES_PARQUET)
        pq.write_table(table, path)
        return path
    if fmt != "csv":
        raise ValueError(f"no trace format {fmt!r} (csv, parquet or auto)")
    path = os.path.join(folder, TRACES_CSV)
    columns = [result.time] + [result.traces[n] for n in names]
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["time [s]"] + [f"{n} [{u}]" if u else n for n, u in zip(names, units)])
        for row in zip(*(c.tolist() for c in columns)):
            w.writerow([repr(x) for x in row])
    return path


def read_traces(path: str) -> Dict[str, np.ndarray]:
    """Traces written by write_traces, by signal name (``time`` first)."""
    if path.endswith(".parquet"):
        import pyarrow.parquet as pq
        table = pq.read_table(path)
        return {n: table.column(n).to_numpy() for n in table.column_names}
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    names = [h.split(" [")[0] for h in rows[0]]
    data = np.array([[float(x) for x in r] for r in rows[1:]]).reshape(-1, len(names))
    return {n: data[:, j] for j, n in enumerate(names)}


def _json_value(x):
    if isinstance(x, float) and not math.isfinite(x):
        return None
    if isinstance(x, dict):
        return {k: _json_value(v) for k, v in x.items()}
    if isinstance(x, list):
        return [_json_value(v) for v in x]
    return x


def write_summary(summary: Dict, folder: str) -> List[str]:
    """summary.json (figures not known, such as a settling time not reached,
    are null) and summary.csv (one row per figure: section, name, metric,
    value, unit; nan where not known)."""
    js = os.path.join(folder, SUMMARY_JSON)
    with open(js, "w", encoding="utf-8") as f:
        json.dump(_json_value(summary), f, indent=1, ensure_ascii=False)
        f.write("\n")
    cs = os.path.join(folder, SUMMARY_CSV)
    with open(cs, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["section", "name", "metric", "value", "unit"])
        for section, name, metric, value, unit in metrics.rows(summary):
            w.writerow([section, name, metric, repr(float(value)) if isinstance(value, float)
                        else value, unit])
    return [cs, js]


@dataclass
class Written:
    """What run_into produced."""
    result: Result
    summary: Dict
    files: Dict[str, str] = field(default_factory=dict)   # role -> final path
    elapsed: float = 0.0
    engine: Optional[Choice] = None                        # the engine that ran it

    def report(self) -> str:
        """What a command prints: the summary, the files, the time taken and
        the engine that ran it."""
        lines = [metrics.table(self.summary)]
        for role, path in self.files.items():
            label = "laboratory results" if role.startswith("lab:") else role.replace("_", " ")
            lines.append(f"{label}: {path}")
        on = f" on the {self.engine}" if self.engine is not None else ""
        lines.append(f"{self.result.samples} samples in {self.elapsed:.2f} s{on}")
        return "\n".join(lines)


def run_into(plan: Plan, out: str, figure: Optional[str] = FIGURE, traces: str = "auto",
             progress: Optional[Callable[[int, int], None]] = None,
             engine: str = "auto") -> Written:
    """Run `plan` and write its files into the folder `out` (which exists);
    raises RunFailure, leaving `out` as it was, when the run fails, a value
    stops being a finite number, or its files cannot be written. `figure`:
    the figure's file name, None for no figure. `engine`: "auto" (native
    where the plan allows it), "native" or "python"."""
    choice = choose(plan, engine)
    tmp = tempfile.mkdtemp(prefix=".qxdcs-partial-", dir=out)
    try:
        runner = make_engine(plan, tmp, choice.name)
        started = time.perf_counter()
        try:
            result = runner.run(progress, check_finite=True)
        except EngineFailure as exc:
            nf = exc.non_finite
            raise RunFailure(f"the run diverged: {nf.signal} is not a finite number from "
                             f"{_when(plan, nf.sample)} on (it became {nf.value!r}, written by "
                             f"{nf.block}); no files written") from None
        except Exception as exc:
            k, where = runner.failure or (runner.k, "?")
            raise RunFailure(f"the run failed at {_when(plan, k)} in {where}: "
                             f"{_error_text(exc)}; no files written") from None
        elapsed = time.perf_counter() - started
        summary = metrics.summarize(result)
        written = {}
        try:
            written["traces"] = write_traces(result, tmp, traces)
            written["summary"], written["summary_json"] = write_summary(summary, tmp)
            if figure is not None:
                from qxdcs.strategy.figure import draw
                written["figure"] = os.path.join(tmp, figure)
                draw(result, written["figure"], summary)
        except OSError as exc:
            raise RunFailure(f"cannot write the files of the run: {exc.strerror or exc}; "
                             f"no files written") from None
        for name, path in result.lab_files.items():
            written[f"lab:{name}"] = path
        final = {}
        try:
            for role, path in written.items():
                target = os.path.join(out, os.path.basename(path))
                os.replace(path, target)
                final[role] = target
        except OSError as exc:
            raise RunFailure(f"cannot move the files of the run into {out}: "
                             f"{exc.strerror or exc}") from None
        other = TRACES_CSV if final["traces"].endswith(".parquet") else TRACES_PARQUET
        if os.path.exists(os.path.join(out, other)):   # an earlier run's, in the other format
            os.remove(os.path.join(out, other))
        for role, path in final.items():
            if role.startswith("lab:"):
                result.lab_files[role[4:]] = path
        return Written(result, summary, final, elapsed, choice)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _when(plan: Plan, k: int) -> str:
    unit = plan.time_unit
    t = k * plan.sample_period / metrics.SECONDS[unit]
    return f"t = {t:g} {unit} (sample {k})"


def _error_text(exc) -> str:
    message = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


class Progress:
    """A text progress bar on standard error, shown once a run has taken
    longer than `after` seconds."""

    def __init__(self, stream=None, width=40, after=1.0):
        self.stream = sys.stderr if stream is None else stream
        self.width, self.after = width, after
        self.started = time.perf_counter()
        self.shown = -1

    def __call__(self, done, total):
        step = done * 100 // total
        if step == self.shown or (self.shown < 0 and done < total and
                                  time.perf_counter() - self.started < self.after):
            return
        if self.shown < 0 and done == total:
            return          # finished before the bar was needed
        self.shown = step
        filled = self.width * done // total
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] {step:3d} %")
        if done == total:
            self.stream.write("\n")
        self.stream.flush()

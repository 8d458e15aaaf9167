"""Step-test data: a table with a time column and one column per MV and CV.

A CSV file (read with the standard library: a header line of column names,
then one row per sample) or a Parquet file (through pyarrow, the `parquet`
extra). Times are in seconds and advance by one constant sample period; the
period is the median step of the time column, and a row whose step differs
from it by more than 1 % is refused by its number. Rows are counted from 1,
the header not counted. An empty cell, "nan" or a Parquet null is a missing
value: the fit refuses it unless it is told to drop such rows (see `rows`).
"""
import csv
import difflib
import math
import os
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

# How far one step of the time column may stray from the sample period.
TIME_TOLERANCE = 0.01
_MISSING = {"", "nan", "NaN", "NAN", "NA", "null", "NULL", "None"}


class IdentError(ValueError):
    """A mistake in the data, the model or the options of an identification
    or a tuning: the message is one line naming the file, column or pair and
    what is valid."""


@dataclass
class StepTest:
    """Sampled step-test data: each MV and CV as an array over `time`."""
    time: np.ndarray
    Ts: float
    mv: Dict[str, np.ndarray]
    cv: Dict[str, np.ndarray]
    source: str = "the data"
    extra: Dict[str, str] = field(default_factory=dict)

    @property
    def samples(self) -> int:
        return len(self.time)


def _nearest(name, names):
    """"; did you mean 'X'?" for the closest of `names` (case aside), or ""."""
    names = list(names)
    lower = {n.lower(): n for n in names}
    close = difflib.get_close_matches(name.lower(), list(lower), n=1)
    return f"; did you mean '{lower[close[0]]}'?" if close else ""


def step_test(time: Sequence[float], mv: Dict[str, Sequence[float]],
              cv: Dict[str, Sequence[float]], source: str = "the data") -> StepTest:
    """A StepTest from arrays, checked as a file would be: a complete, evenly
    spaced, increasing time column; MVs and CVs of its length."""
    t = np.asarray(time, dtype=float)
    if t.ndim != 1 or len(t) < 2:
        raise IdentError(f"{source}: needs at least two samples, has {t.size}")
    columns = {}
    for kind, tags in (("MV", mv), ("CV", cv)):
        if not tags:
            raise IdentError(f"{source}: no {kind} given")
        for tag, values in tags.items():
            v = np.asarray(values, dtype=float)
            if v.shape != t.shape:
                raise IdentError(f"{source}: {kind} {tag} has {v.size} values for "
                                 f"{t.size} time stamps")
            columns[tag] = v
    both = set(mv) & set(cv)
    if both:
        raise IdentError(f"{source}: {sorted(both)[0]} is given as an MV and as a CV")
    bad = np.nonzero(~np.isfinite(t))[0]
    if len(bad):
        raise IdentError(f"{source}: row {bad[0] + 1} has no time stamp; the time column "
                         f"must be complete")
    steps = np.diff(t)
    Ts = float(np.median(steps))
    if not Ts > 0.0:
        first = int(np.nonzero(steps <= 0.0)[0][0])
        raise IdentError(f"{source}: row {first + 2}: time {t[first + 1]:g} does not come "
                         f"after {t[first]:g}; the time column must increase")
    off = np.nonzero(np.abs(steps - Ts) > TIME_TOLERANCE * Ts)[0]
    if len(off):
        k = int(off[0])
        what = "a gap" if steps[k] > Ts else ("uneven sampling" if steps[k] > 0
                                              else "time going back")
        raise IdentError(f"{source}: row {k + 2} (time {t[k + 1]:g} s): {what}, "
                         f"{steps[k]:g} s after the row before where the sample period "
                         f"is {Ts:g} s; the data must be sampled at a constant period")
    return StepTest(t, Ts, {k: columns[k] for k in mv}, {k: columns[k] for k in cv}, source)


def _cell(text, row, column, source):
    text = text.strip()
    if text in _MISSING:
        return math.nan
    try:
        return float(text)
    except ValueError:
        raise IdentError(f"{source}: row {row}, column {column}: {text[:40]!r} is not a "
                         f"number") from None


def _read_csv(path, names):
    source = os.path.basename(path)
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            rows = list(csv.reader(f))
    except UnicodeDecodeError:
        raise IdentError(f"{source}: not a table (not CSV text and not Parquet)") from None
    except csv.Error as exc:
        raise IdentError(f"{source}: not a CSV table: {exc}") from None
    if not rows or len(rows[0]) < 2:
        raise IdentError(f"{source}: not a table: the first line must name the columns, "
                         f"separated by commas")
    header = [h.strip() for h in rows[0]]
    index = _columns(header, names, source)
    body = [r for r in rows[1:] if any(c.strip() for c in r)]
    if not body:
        raise IdentError(f"{source}: has no rows of data below its header")
    data = {name: np.empty(len(body)) for name in names}
    for n, r in enumerate(body, start=1):
        if len(r) != len(header):
            raise IdentError(f"{source}: not a table: row {n} has {len(r)} fields, the "
                             f"header {len(header)}")
        for name in names:
            data[name][n - 1] = _cell(r[index[name]], n, name, source)
    return data


def _read_parquet(path, names):
    source = os.path.basename(path)
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise IdentError(f"{source}: reading Parquet needs pyarrow "
                         f"(pip install 'qxdcs[parquet]')") from None
    try:
        table = pq.read_table(path)
    except Exception as exc:  # pyarrow raises several kinds for a damaged file
        raise IdentError(f"{source}: not a Parquet table: "
                         f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}"
                         ) from None
    _columns(list(table.column_names), names, source)
    data = {}
    for name in names:
        column = table.column(name)
        try:
            data[name] = column.to_numpy(zero_copy_only=False).astype(float)
        except (TypeError, ValueError):
            raise IdentError(f"{source}: column {name} holds {column.type}, not numbers"
                             ) from None
    if not len(table):
        raise IdentError(f"{source}: has no rows of data")
    return data


def _columns(header, names, source):
    index = {}
    for name in names:
        if name not in header:
            raise IdentError(f"{source}: no column '{name}'{_nearest(name, header)} "
                             f"(columns: {', '.join(header)})")
        index[name] = header.index(name)
    return index


def is_parquet(path) -> bool:
    """By name (.parquet, .pq) or by the file's leading magic bytes."""
    if path.lower().endswith((".parquet", ".pq")):
        return True
    with open(path, "rb") as f:
        return f.read(4) == b"PAR1"


def load_step_test(path: str, mv: Sequence[str], cv: Sequence[str],
                   time: str = "time") -> StepTest:
    """Read a step test from a CSV or Parquet file: the time column (seconds)
    and the named MV and CV columns. Raises IdentError naming the file and
    the problem (a missing column, a cell that is not a number, a file that
    is not a table, uneven sampling or a gap)."""
    source = os.path.basename(path)
    mv, cv = list(mv), list(cv)
    names = [time] + mv + cv
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise IdentError(f"{source}: column {twice[0]} is named twice "
                         f"(time, MVs and CVs must be different columns)")
    if not os.path.isfile(path):
        raise IdentError(f"{path}: no such file")
    data = _read_parquet(path, names) if is_parquet(path) else _read_csv(path, names)
    test = step_test(data[time], {m: data[m] for m in mv}, {c: data[c] for c in cv}, source)
    return test


def rows(test: StepTest, cv: str, drop_missing: bool) -> List[Tuple[int, int]]:
    """The segments (start, stop) of consecutive rows that a CV's fit uses:
    rows where the CV and every MV have a value. Without `drop_missing` a
    missing value is refused, naming its row and column."""
    present = np.isfinite(test.cv[cv])
    for tag, values in test.mv.items():
        present &= np.isfinite(values)
    if not drop_missing:
        for tag, values in list(test.mv.items()) + [(cv, test.cv[cv])]:
            missing = np.nonzero(~np.isfinite(values))[0]
            if len(missing):
                raise IdentError(f"{test.source}: row {missing[0] + 1} has no value for "
                                 f"{tag} (drop such rows with --drop-missing: the fit then "
                                 f"uses the segments between them)")
        return [(0, test.samples)]
    edges = np.diff(np.concatenate(([0], present.astype(np.int8), [0])))
    starts, stops = np.nonzero(edges == 1)[0], np.nonzero(edges == -1)[0]
    return [(int(a), int(b)) for a, b in zip(starts, stops)]


def first_values(test: StepTest, segments) -> Dict[str, float]:
    """Each MV's value at the start of the first segment."""
    start = segments[0][0]
    return {tag: float(v[start]) for tag, v in test.mv.items()}


def write_csv(path: str, test: StepTest, time: str = "time", digits: Optional[int] = None):
    """Write a step test as CSV (time first, then the MVs and the CVs)."""
    names = [time] + list(test.mv) + list(test.cv)
    columns = [test.time] + list(test.mv.values()) + list(test.cv.values())
    fmt = repr if digits is None else (lambda v: f"{v:.{digits}g}")
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(names)
        for k in range(test.samples):
            w.writerow(["" if math.isnan(c[k]) else fmt(float(c[k])) for c in columns])

"""The results of a study, kept as they come.

A study's output folder holds
    study.json       what the study is: the strategy file (its name and a hash
                     of its content), the grid, the samples; --resume checks it
    results.jsonl    the journal: one JSON line per finished scenario, appended
                     and flushed the moment the scenario's row is known, so an
                     interrupt, a crash of this process or a lost cluster keeps
                     every finished row
    results.parquet  the results table (results.csv without pyarrow), rebuilt
    or results.csv   from the rows at hand, in scenario order, at most a quarter
                     of a second after a row arrives and when the study ends or
                     is interrupted; always written to a temporary name and
                     renamed
Floats go through JSON as the shortest text that reads back to the same
double, so a resumed study's table is the uninterrupted study's, bit for bit.
"""
import csv
import hashlib
import json
import math
import numbers
import os
import time
from typing import Any, Dict, List, Optional, Sequence

MANIFEST = "study.json"
JOURNAL = "results.jsonl"
TABLES = ("results.parquet", "results.csv")


def have_pyarrow() -> bool:
    import importlib.util
    return importlib.util.find_spec("pyarrow") is not None


def file_hash(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def _encode(value):
    """JSON has no NaN or infinity: they travel as strings."""
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value


def _decode(value):
    if value in ("nan", "inf", "-inf"):
        return float(value)
    return value


def _write_atomic(path: str, write) -> None:
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def write_manifest(folder: str, manifest: Dict[str, Any]) -> None:
    def write(tmp):
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(manifest, f, indent=1)
            f.write("\n")
    _write_atomic(os.path.join(folder, MANIFEST), write)


def read_manifest(folder: str) -> Optional[Dict[str, Any]]:
    try:
        with open(os.path.join(folder, MANIFEST), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return {}


def read_journal(folder: str) -> Dict[int, Dict[str, Any]]:
    """The rows of the journal by scenario; a last line cut short by a crash
    is ignored."""
    rows: Dict[int, Dict[str, Any]] = {}
    try:
        with open(os.path.join(folder, JOURNAL), encoding="utf-8") as f:
            for line in f:
                try:
                    row = json.loads(line)
                except ValueError:
                    continue
                if isinstance(row, dict) and isinstance(row.get("scenario"), int):
                    rows[row["scenario"]] = {k: _decode(v) for k, v in row.items()}
    except FileNotFoundError:
        pass
    return rows


def columns(rows: Sequence[Dict[str, Any]], params: Sequence[str]) -> List[str]:
    """scenario, the grid's paths, the metrics in the order they first appear
    (in scenario order), error last."""
    cols = ["scenario"] + list(params)
    for row in rows:
        for key in row:
            if key not in cols and key != "error":
                cols.append(key)
    return cols + ["error"]


def _cell(value) -> str:
    """A CSV cell: whole numbers as such, other numbers as the shortest text
    that reads back to the same float, text on one line."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return " ".join(str(value).split())


def write_table(folder: str, rows: Sequence[Dict[str, Any]], params: Sequence[str],
                parquet: bool) -> str:
    """The results table of `rows` (in scenario order) in `folder`; returns
    its path. The other format's table, left from an earlier study, goes."""
    rows = sorted(rows, key=lambda r: r["scenario"])
    cols = columns(rows, params)
    name = TABLES[0] if parquet else TABLES[1]
    path = os.path.join(folder, name)

    def write_csv(tmp):
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(cols)
            for r in rows:
                w.writerow([_cell(r.get(c)) for c in cols])

    def write_parquet(tmp):
        import pyarrow as pa
        import pyarrow.parquet as pq

        data = {c: pa.array([(r.get(c) or "") if c == "error" else r.get(c) for r in rows])
                for c in cols}
        pq.write_table(pa.table(data), tmp)

    _write_atomic(path, write_parquet if parquet else write_csv)
    other = os.path.join(folder, TABLES[1] if parquet else TABLES[0])
    if os.path.exists(other):
        os.remove(other)
    return path


def read_table(path: str) -> List[Dict[str, Any]]:
    """The rows of a results table (for tests and for a user's script)."""
    if path.endswith(".parquet"):
        import pyarrow.parquet as pq
        return pq.read_table(path).to_pylist()
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


class Recorder:
    """Rows as they come: each appended to the journal at once, the table
    rebuilt at most every `every` seconds and by flush()."""

    def __init__(self, folder: str, params: Sequence[str], parquet: bool,
                 rows: Optional[Dict[int, Dict[str, Any]]] = None, every: float = 0.25):
        self.folder, self.params, self.parquet, self.every = folder, list(params), parquet, every
        self.rows: Dict[int, Dict[str, Any]] = dict(rows or {})
        self._journal = open(os.path.join(folder, JOURNAL), "a", encoding="utf-8")
        self._last = 0.0
        self._dirty = bool(self.rows)

    def add(self, row: Dict[str, Any]) -> None:
        self._journal.write(json.dumps({k: _encode(v) for k, v in row.items()},
                                       allow_nan=False) + "\n")
        self._journal.flush()
        self.rows[row["scenario"]] = row
        self._dirty = True
        if time.monotonic() - self._last >= self.every:
            self.flush()

    def flush(self) -> Optional[str]:
        if not self._dirty:
            return None
        path = write_table(self.folder, list(self.rows.values()), self.params, self.parquet)
        self._last = time.monotonic()
        self._dirty = False
        return path

    def close(self) -> None:
        try:
            self.flush()
        finally:
            try:
                os.fsync(self._journal.fileno())
            except OSError:
                pass
            self._journal.close()

"""A tuning written into a loop of a strategy file (`qxdcs tune --write`).

The file is edited as TOML text with tomlkit, so its comments, layout and
every other value stay as they were; only KP and TI of the loop change (and
TD and N where the tuning is a PID or the loop states them). The changed file
is checked as a whole before it replaces the old one: a change that the
strategy checker refuses writes nothing.
"""
import os
import sys
from typing import List, Optional

from qxdcs.ident.data import IdentError


def _short(x: float) -> float:
    """A value as the file shows it: six significant digits."""
    return float(f"{x:.6g}")


def _loops(doc) -> dict:
    loops = doc.get("loop")
    return loops if hasattr(loops, "items") else {}


def find_loop(doc, cv: str, mv: str, name: Optional[str], source: str) -> str:
    """The name of the loop of `doc` that the tuning of cv:mv goes into: the
    one named `name`, or the one loop whose cv and mv are the pair's."""
    from qxdcs.strategy.problems import did_you_mean

    loops = _loops(doc)
    if name is not None:
        if name not in loops:
            have = ", ".join(loops) or "none"
            raise IdentError(f"{source}: no loop {name!r}{did_you_mean(name, list(loops))} "
                             f"(loops: {have})")
        table = loops[name]
        if (table.get("cv"), table.get("mv")) != (cv, mv):
            raise IdentError(f"{source}: loop {name!r} controls {table.get('cv')} by "
                             f"{table.get('mv')}, not {cv} by {mv}")
        return name
    matching: List[str] = [n for n, t in loops.items()
                           if hasattr(t, "get") and (t.get("cv"), t.get("mv")) == (cv, mv)]
    if not matching:
        pairs = ", ".join(f"{n} ({t.get('cv')}:{t.get('mv')})" for n, t in loops.items()
                          if hasattr(t, "get")) or "none"
        raise IdentError(f"{source}: no loop controls {cv} by {mv} (loops: {pairs})")
    if len(matching) > 1:
        raise IdentError(f"{source}: loops {', '.join(matching)} all control {cv} by {mv}: "
                         f"name one with --loop-name")
    return matching[0]


def write_tuning(tuning, path: str, loop_name: Optional[str] = None) -> str:
    """Put `tuning` (a qxdcs.ident.tuning.Tuning) into its loop of the
    strategy file `path`; returns the loop's name. The file is replaced only
    when the changed strategy passes the checker; a warning line is printed
    when the strategy samples at another period than the tuning assumed."""
    try:
        import tomlkit
    except ImportError:
        raise IdentError("--write needs tomlkit: pip install 'qxdcs[strategy]'") from None
    from qxdcs import strategy

    source = os.path.basename(path)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise IdentError(f"{path}: cannot read the file: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise IdentError(f"{path}: not UTF-8 text ({exc.reason})") from None
    try:
        doc = tomlkit.parse(text)
    except tomlkit.exceptions.ParseError as exc:
        raise IdentError(f"{path}: not valid TOML: {exc}") from None

    name = find_loop(doc, tuning.cv, tuning.mv, loop_name, source)
    table = doc["loop"][name]
    table["KP"] = _short(tuning.KP)
    table["TI"] = _short(tuning.TI)
    if tuning.controller == "pid" or "TD" in table:
        table["TD"] = _short(tuning.TD)
    if tuning.controller == "pid" or "N" in table:
        table["N"] = _short(tuning.N)
    new_text = tomlkit.dumps(doc)

    # The whole strategy, as it would be, through the checker.
    folder = os.path.dirname(os.path.abspath(path))
    try:
        sf = strategy.from_data(tomlkit.parse(new_text).unwrap(), path, folder)
        checked = strategy.check(sf)
    except strategy.StrategyError as exc:
        checked_problems = exc.problems
    else:
        checked_problems = checked.problems
    errors = [p for p in checked_problems if p.severity == strategy.ERROR]
    if errors:
        raise IdentError(f"{path}: the strategy with the new tuning is refused: {errors[0]}")

    period = (sf.data.get("simulation") or {}).get("sample_period_s")
    if isinstance(period, (int, float)) and period != tuning.Ts:
        print(f"warning: {path}: the strategy samples every {period:g} s; the tuning is for "
              f"a sample period of {tuning.Ts:g} s", file=sys.stderr)

    tmp = f"{path}.tmp{os.getpid()}"
    try:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(new_text)
        try:
            os.chmod(tmp, os.stat(path).st_mode & 0o7777)
        except OSError:
            pass
        os.replace(tmp, path)
    except OSError as exc:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise IdentError(f"{path}: cannot write the file: {exc.strerror or exc}") from None
    return name

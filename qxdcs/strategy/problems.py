"""What the checker reports: a problem names its file, the path of the key in
that file, and what is wrong (with the nearest valid key or value where there
is one)."""
import difflib
from dataclasses import dataclass
from typing import Iterable, List, Optional, Sequence, Tuple

ERROR = "error"
WARNING = "warning"


@dataclass(frozen=True)
class Problem:
    """One finding of the checker. `path` is the key path inside `file`
    (empty for the file as a whole)."""
    file: str
    path: Tuple[str, ...]
    message: str
    severity: str = ERROR

    @property
    def key(self) -> str:
        """The key path as dotted text (``plant.model.TI101.FV101.iodelay_s``)."""
        return ".".join(str(p) for p in self.path)

    def __str__(self) -> str:
        label = "" if self.severity == ERROR else f"{self.severity}: "
        where = f"{self.file}: {self.key}: " if self.path else f"{self.file}: "
        return where + label + self.message


class StrategyError(Exception):
    """A strategy or model file that cannot run; `problems` lists every
    problem found (errors and warnings), in file order."""

    def __init__(self, problems: Sequence[Problem]):
        self.problems = list(problems)
        errors = [p for p in self.problems if p.severity == ERROR]
        first = str(errors[0]) if errors else "no errors"
        more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
        super().__init__(first + more)

    @property
    def errors(self) -> List[Problem]:
        return [p for p in self.problems if p.severity == ERROR]


def errors_in(problems: Iterable[Problem]) -> List[Problem]:
    return [p for p in problems if p.severity == ERROR]


def nearest(word: str, valid: Iterable[str]) -> Optional[str]:
    """The valid word closest to `word`, if any is close enough to be a typo."""
    valid = [str(v) for v in valid]
    found = difflib.get_close_matches(str(word), valid, n=1, cutoff=0.6)
    if not found:  # case-only differences ("kp" for "KP") fall below the cutoff
        lowered = {v.lower(): v for v in valid}
        found = difflib.get_close_matches(str(word).lower(), list(lowered), n=1, cutoff=0.6)
        found = [lowered[f] for f in found]
    return found[0] if found else None


def did_you_mean(word: str, valid: Iterable[str]) -> str:
    """"; did you mean 'x'?" or "" when nothing is close."""
    best = nearest(word, valid)
    return f"; did you mean {best!r}?" if best is not None else ""


def one_of(valid: Iterable[str]) -> str:
    return ", ".join(repr(str(v)) for v in valid)


def describe(value) -> str:
    """A short description of a value for a message: its text and its type."""
    kind = {bool: "a boolean", int: "an integer", float: "a number", str: "a string",
            list: "a list", dict: "a table"}.get(type(value), type(value).__name__)
    text = repr(value)
    if len(text) > 40:
        text = text[:37] + "..."
    return f"{text} ({kind})"

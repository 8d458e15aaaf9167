"""A strategy file made ready for many scenarios: the plan built once.

Most of a study's scenarios differ from the file only in numbers that its
plan carries as they are: a loop's KP, TI, TD or output limits, a seed, a
step's size. Building such a scenario from scratch (checking the file,
numbering it, compiling it for the native engine: three times the cost of
running 720 samples) gives the file's plan with those numbers put in. So
here the file's plan is built once, and a scenario's plan is that plan with
the scenario's numbers put in where they go.

Where they go is found, not assumed: for every value of every axis, the
file with that one value is built the whole way once, and compared with the
file's own plan (and its compiled form), leaf by leaf. A value is put in by
patching when every leaf it changes holds that very value (a number passed
through as it is, never a coefficient computed from it) and the structure is
the same (no block appears or goes). A scenario is patched when each of its
values is, no two axes change the same leaf, and every table it changes is
still valid (the table's own rules, such as op_low <= op_high, checked as
the checker checks them); every other scenario is built from scratch. Either
way its plan is the same, so its row is the same, bit for bit.
"""
import dataclasses
import math
import pickle
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

# Fields of a plan that do not take part in a run: the file's name and the
# checker's warnings (a scenario's own warnings are not part of its row).
IGNORED = {"source", "warnings"}
# The tables whose numbers can be patched (a plant's numbers are discretised).
SECTIONS = ("loop", "signal", "alarm", "soft_sensor", "simulation")
PICKLE = 4


class _Mismatch(Exception):
    """Two plans that differ in their structure, not only in numbers."""


def _same_leaf(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b) or (a != a and b != b)
    return a == b


def _same(a, b) -> bool:
    """a and b are the same data, types and float bits included (equal
    pickles are; unequal ones may still be, and are then compared part by
    part)."""
    if a is b:
        return True
    try:
        return pickle.dumps(a, PICKLE) == pickle.dumps(b, PICKLE)
    except Exception:
        return False


def diff(a, b, path: Tuple = ()) -> List[Tuple[Tuple, Any]]:
    """The leaves where `b` differs from `a`: [(path, b's value)]; _Mismatch
    when their structure differs. Containers: dataclasses (by field),
    dicts (by key, in order), lists and tuples (by index), NumPy arrays
    (a leaf)."""
    if _same(a, b):
        return []
    return _diff(a, b, path)


def _diff(a, b, path: Tuple) -> List[Tuple[Tuple, Any]]:
    if dataclasses.is_dataclass(a) and not isinstance(a, type):
        if type(a) is not type(b):
            raise _Mismatch(path)
        out = []
        for f in dataclasses.fields(a):
            if f.name not in IGNORED:
                out += diff(getattr(a, f.name), getattr(b, f.name), path + (f.name,))
        return out
    if isinstance(a, dict):
        if type(a) is not type(b) or list(a) != list(b):
            raise _Mismatch(path)
        out = []
        for k in a:
            out += diff(a[k], b[k], path + (k,))
        return out
    if isinstance(a, (list, tuple)):
        if type(a) is not type(b) or len(a) != len(b):
            raise _Mismatch(path)
        out = []
        for i, (x, y) in enumerate(zip(a, b)):
            out += diff(x, y, path + (i,))
        return out
    if isinstance(a, np.ndarray):
        if not isinstance(b, np.ndarray) or a.dtype != b.dtype or a.shape != b.shape:
            raise _Mismatch(path)
        return [] if a.tobytes() == b.tobytes() else [(path, b)]
    if isinstance(a, (bool, int, float, str, type(None))):
        if isinstance(b, (dict, list, tuple, np.ndarray)) or dataclasses.is_dataclass(b):
            raise _Mismatch(path)
        return [] if _same_leaf(a, b) else [(path, b)]
    raise _Mismatch(path)       # anything else is not plain data


def patch(obj, changes: List[Tuple[Tuple, Any]]):
    """`obj` with the leaf at each path replaced; the containers along the
    paths are copied, everything else shared."""
    if not changes:
        return obj
    if any(not p for p, _ in changes):
        return changes[-1][1]
    groups: Dict[Any, List[Tuple[Tuple, Any]]] = {}
    for p, v in changes:
        groups.setdefault(p[0], []).append((p[1:], v))
    if dataclasses.is_dataclass(obj):
        return dataclasses.replace(obj, **{k: patch(getattr(obj, k), c)
                                           for k, c in groups.items()})
    if isinstance(obj, dict):
        out = dict(obj)
        for k, c in groups.items():
            out[k] = patch(obj[k], c)
        return out
    items = list(obj)
    for i, c in groups.items():
        items[i] = patch(obj[i], c)
    return tuple(items) if isinstance(obj, tuple) else items


def _holds(leaf, value) -> bool:
    """The leaf is the value itself (a whole number may have become a float)."""
    if isinstance(leaf, bool) or isinstance(value, bool):
        return False
    if isinstance(leaf, (int, float)) and isinstance(value, (int, float)):
        return float(leaf) == float(value)
    return False


def _value_key(value):
    return (type(value).__name__, value.hex() if isinstance(value, float) else value)


class _Base:
    """One file's plan, compiled, and the leaves each single value changes."""

    def __init__(self, sf, samples):
        from qxdcs import strategy

        self.sf, self.samples = sf, samples
        self.plan = strategy.make_plan(sf, samples=samples)
        self.compiled = _compile(self.plan)
        self.singles: Dict[Tuple[str, Any], Optional[List[Tuple[Tuple, Any]]]] = {}

    def root(self, plan=None, compiled=None):
        if plan is None:
            plan, compiled = self.plan, self.compiled
        return (plan, compiled.data if compiled is not None else None)

    def single(self, path: str, value) -> Optional[List[Tuple[Tuple, Any]]]:
        """The leaves that `path` = `value` changes, when it can be patched in."""
        key = (path, _value_key(value))
        if key not in self.singles:
            self.singles[key] = self._find(path, value)
        return self.singles[key]

    def _find(self, path: str, value):
        from qxdcs import strategy
        from qxdcs.study.grid import apply

        if path.split(".")[0] not in SECTIONS:
            return None
        try:
            plan = strategy.make_plan(apply(self.sf, {path: value}), samples=self.samples)
        except Exception:     # the scenario's own build reports it in its row
            return None
        compiled = _compile(plan, self.compiled)
        if (compiled is None) != (self.compiled is None):
            return None
        try:
            changes = diff(self.root(), self.root(plan, compiled))
        except _Mismatch:
            return None
        if not all(_holds(leaf, value) for _, leaf in changes):
            return None
        return changes


def _compile(plan, like=None):
    from qxdcs.strategy import native
    try:
        return native.compile_plan(plan, like)
    except native.NotNative:
        return None


class Prepared:
    """The plans of a strategy file's scenarios (see the module's text).

    A scenario's changes split in two: those that cannot be patched in (a
    plant's numbers, a value that adds or removes a block) choose a base,
    the file with just those changes, built once; the others are patched
    into the base's plan. `plan_for(changes)` gives (plan, compiled) for a
    scenario, compiled being the plan compiled for the native engine (None
    where it cannot run there), or None when the scenario must be built
    from scratch (its build then reports why it fails)."""

    BASES = 64

    def __init__(self, sf, samples: Optional[int] = None):
        self.sf, self.samples = sf, samples
        self.root = _Base(sf, samples)          # raises what building the file raises
        self._bases: Dict[Any, Optional[_Base]] = {(): self.root}
        self.patched = self.built = 0            # scenarios of each kind (for the benchmark)

    def _base(self, changes: Dict[str, Any]) -> Optional[_Base]:
        from qxdcs.study.grid import apply

        key = tuple(sorted((p, _value_key(v)) for p, v in changes.items()))
        if key not in self._bases:
            if len(self._bases) >= self.BASES:
                self._bases = {(): self.root}
            try:
                self._bases[key] = _Base(apply(self.sf, changes), self.samples)
            except Exception:
                self._bases[key] = None
        return self._bases[key]

    @staticmethod
    def _valid(sf, changes: Dict[str, Any]) -> bool:
        """Every table that the patched values (`changes`) touch is valid in
        `sf` with all of them."""
        from qxdcs.strategy import checker
        from qxdcs.strategy import schema as sc
        from qxdcs.study.grid import apply

        data = apply(sf, changes).data
        tables = {tuple(p.split(".")[:1 if p.split(".")[0] == "simulation" else 2])
                  for p in changes if p.split(".")[0] in SECTIONS}
        for t in tables:
            raw = data
            for part in t:
                raw = raw.get(part) if isinstance(raw, dict) else None
            if t[0] == "simulation":
                cls = sc.Simulation
            elif t[0] == "signal":
                cls = sc.SIGNAL_KINDS.get(raw.get("kind")) if isinstance(raw, dict) else None
            else:
                cls = sc.NAMED_SECTIONS.get(t[0])
            if cls is None or not isinstance(raw, dict):
                return False
            problems: List[Any] = []
            checker._validate(cls, raw, t, lambda *a, **k: problems.append(a))
            if problems:
                return False
        return True

    def plan_for(self, changes: Dict[str, Any]):
        from qxdcs.strategy import native

        fixed = {p: v for p, v in changes.items() if self.root.single(p, v) is None}
        base = self._base(fixed)
        if base is None:
            return None
        if len(fixed) == len(changes):
            return base.plan, base.compiled
        leaves: List[Tuple[Tuple, Any]] = []
        seen = set()
        for path, value in changes.items():
            if path in fixed:
                continue
            own = base.single(path, value)
            if own is None:
                return None
            for p, _ in own:
                if p in seen:
                    return None          # two axes change the same leaf
                seen.add(p)
            leaves += own
        # The base already holds the other values (the plant's ones scaled in):
        # the patched values are checked on it.
        if not self._valid(base.sf, {p: v for p, v in changes.items() if p not in fixed}):
            return None
        plan, data = patch(base.root(), leaves)
        plan = dataclasses.replace(plan, warnings=())
        return plan, (native.NativePlan(plan, data) if data is not None else None)

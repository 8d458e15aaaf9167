"""The checker: every problem of a strategy file at once, before anything runs.

In this order:

1. structure: each table on its own against the schema (unknown keys with
   the nearest valid one, types, ranges, keys that belong together);
2. the model dictionaries of the plant and of model signals (models.py);
3. the strategy as blocks (blocks.py): each loop, signal, alarm and soft
   sensor becomes the blocks it is made of, each reading signals and writing
   one;
4. references (a signal nothing writes, a loop's cv or mv the plant lacks),
   signals written twice, cycles without a block that delays, and what the
   numbers imply (a KP whose sign fights the plant gain, times that are not
   whole samples, sample periods a block cannot take), also in blocks.py.

This module does the first step and hands the valid tables on.
"""
import re
import typing
from typing import Any, Dict, List, Tuple

from pydantic import BaseModel, ValidationError

from qxdcs.strategy import schema as sc
from qxdcs.strategy.blocks import Checked, Expansion
from qxdcs.strategy.files import StrategyFile
from qxdcs.strategy.problems import ERROR, Problem, describe, did_you_mean, one_of

Path = Tuple[str, ...]

SAFE_NAME = re.compile(r"^[\w][\w.-]*$")


class _Reporter:
    def __init__(self, sf: StrategyFile):
        self.sf = sf
        self.problems: List[Problem] = []
        self.seen = set()

    def __call__(self, path, message, severity=ERROR):
        file, inner = self.sf.where(tuple(str(p) for p in path))
        problem = Problem(file, inner, message, severity)
        if problem not in self.seen:
            self.seen.add(problem)
            self.problems.append(problem)

    def under(self, prefix):
        return lambda path, message, severity=ERROR: self(tuple(prefix) + tuple(path), message,
                                                          severity)


def check(sf: StrategyFile) -> Checked:
    """Check a strategy file; the result lists every problem found."""
    report = _Reporter(sf)
    for p in sf.load_problems:
        report.problems.append(p)
        report.seen.add(p)
    data = sf.data
    if not isinstance(data, dict):
        report((), "the strategy must be a table of tables")
        return Checked(report.problems)
    for key in data:
        if key not in sc.TOP_KEYS:
            report((key,), f"unknown table {key!r}{did_you_mean(key, sc.TOP_KEYS)} "
                           f"(valid: {one_of(sc.TOP_KEYS)})")
    sim = _section(data, "simulation", sc.Simulation, report, required=True)
    plant = _section(data, "plant", sc.Plant, report, required=True)
    _section(data, "study", sc.Study, report)
    _section(data, "live", sc.Live, report)     # its references: qxdcs.live.config
    named: Dict[str, Dict[str, Any]] = {}
    broken: Dict[str, set] = {}
    for section, cls in sc.NAMED_SECTIONS.items():
        named[section], broken[section] = _named(data, section, cls, report)
    return Expansion(sf, report, sim, plant, named, broken).run()


# --- structure ---------------------------------------------------------------------------

def _section(data, name, cls, report, required=False):
    if name not in data:
        if required:
            report((), f"missing table [{name}]")
        return None
    return _validate(cls, data[name], (name,), report)


def _named(data, section, cls, report):
    """The valid items of a table of named items, and the names of the broken
    ones (so that references to them are not reported as well)."""
    items, broken = {}, set()
    table = data.get(section)
    if table is None:
        return items, broken
    if not isinstance(table, dict):
        report((section,), f"must be a table of named {section.replace('_', ' ')}s "
                           f"([{section}.NAME]); got {describe(table)}")
        return items, broken
    for name, raw in table.items():
        path = (section, name)
        if not isinstance(raw, dict):
            report(path, f"each {section.replace('_', ' ')} is a table [{section}.{name}]; "
                         f"got {describe(raw)}")
            broken.add(name)
            continue
        if section in ("soft_sensor",) and not SAFE_NAME.match(name):
            report(path, "a soft sensor's name names its laboratory CSV file: use letters, "
                         "digits, '_', '-' and '.' (not first)")
            broken.add(name)
            continue
        if cls is None:  # a signal: its kind chooses the table
            kind = raw.get("kind")
            if "kind" not in raw:
                report(path, f"missing key 'kind' (one of {one_of(sc.SIGNAL_KINDS)})")
                broken.add(name)
                continue
            if kind not in sc.SIGNAL_KINDS:
                report(path + ("kind",), f"unknown kind {kind!r}"
                                         f"{did_you_mean(str(kind), sc.SIGNAL_KINDS)} "
                                         f"(valid: {one_of(sc.SIGNAL_KINDS)})")
                broken.add(name)
                continue
            item_cls = sc.SIGNAL_KINDS[kind]
        else:
            item_cls = cls
        item = _validate(item_cls, raw, path, report)
        if item is None:
            broken.add(name)
        else:
            items[name] = item
    return items, broken


# Keys that take one of several kinds of value: one message for the key.
_ALTERNATIVES = {
    "sp": "a number, a signal name or a list of [time_s, value] pairs",
    "start": "a date-time (2026-01-05T08:00:00, local time) or seconds since the epoch",
}


def _validate(cls, raw, path, report):
    if not isinstance(raw, dict):
        report(path, f"must be a table; got {describe(raw)}")
        return None
    try:
        return cls.model_validate(raw)
    except ValidationError as exc:
        done = set()
        for e in exc.errors():
            loc = tuple(e["loc"])
            if loc and loc[0] in _ALTERNATIVES and len(loc) > 1:
                inner = _value_at(raw, loc[:1])
                if isinstance(inner, list) and any(str(l).startswith("list[") for l in loc[1:2]):
                    loc = loc[:1] + loc[2:]           # a list: say which element
                elif loc[:1] in done:
                    continue
                else:
                    done.add(loc[:1])
                    report(path + loc[:1], f"must be {_ALTERNATIVES[loc[0]]}; got "
                                           f"{describe(inner)}")
                    continue
            loc = tuple(p for p in loc if not (isinstance(p, str) and p.startswith(
                ("list[", "tuple[", "function-"))))
            if (path, loc, e["type"]) in done:
                continue
            done.add((path, loc, e["type"]))
            where, message = _message(cls, raw, loc, e)
            report(path + where, message)
        return None


def _value_at(raw, loc):
    node = raw
    for part in loc:
        try:
            node = node[part]
        except (KeyError, IndexError, TypeError):
            return None
    return node


def _model_at(cls, loc):
    """The pydantic model class of the table at `loc` below `cls`, if any."""
    tp: Any = cls
    for part in loc:
        tp = _unwrap(tp)
        if isinstance(tp, type) and issubclass(tp, BaseModel):
            if part not in tp.model_fields:
                return None
            tp = tp.model_fields[part].annotation
        elif typing.get_origin(tp) in (dict, list, tuple):
            args = typing.get_args(tp)
            tp = args[-1] if typing.get_origin(tp) is dict else (
                args[0] if typing.get_origin(tp) is list else
                (args[part] if isinstance(part, int) and part < len(args) else None))
        else:
            return None
    tp = _unwrap(tp)
    return tp if isinstance(tp, type) and issubclass(tp, BaseModel) else None


def _unwrap(tp):
    while True:
        origin = typing.get_origin(tp)
        if origin is typing.Annotated:
            tp = typing.get_args(tp)[0]
        elif origin is typing.Union:
            args = [a for a in typing.get_args(tp) if a is not type(None)]
            models = [a for a in args if isinstance(_unwrap(a), type)
                      and issubclass(_unwrap(a), BaseModel)]
            if len(args) == 1:
                tp = args[0]
            elif models:
                tp = models[0]
            else:
                return tp
        else:
            return tp


def _message(cls, raw, loc, e) -> Tuple[Path, str]:
    """(path below the table, message) for one validation error."""
    kind, ctx, value = e["type"], e.get("ctx") or {}, e.get("input")
    str_loc = tuple(str(p) for p in loc)
    if kind == "extra_forbidden":
        parent = _model_at(cls, loc[:-1])
        valid = [k for k in parent.model_fields] if parent is not None else []
        key = str(loc[-1])
        return str_loc, f"unknown key {key!r}{did_you_mean(key, valid)}"
    if kind == "missing" and loc and isinstance(loc[-1], int):
        return str_loc[:-1], f"must be a [time_s, value] pair; got " \
                             f"{describe(_value_at(raw, loc[:-1]))}"
    if kind == "missing":
        return str_loc[:-1], f"missing key {str_loc[-1]!r}"
    if kind == "value_error":
        msg = str(e["msg"])
        return str_loc, msg[len("Value error, "):] if msg.startswith("Value error, ") else msg
    if kind in ("float_type", "finite_number", "float_parsing"):
        return str_loc, f"must be a finite number; got {describe(value)}"
    if kind in ("int_type", "int_from_float", "int_parsing"):
        return str_loc, f"must be a whole number; got {describe(value)}"
    if kind == "string_type":
        return str_loc, f"must be a string; got {describe(value)}"
    if kind == "bool_type":
        return str_loc, f"must be true or false; got {describe(value)}"
    if kind in ("dict_type", "model_type", "model_attributes_type"):
        return str_loc, f"must be a table; got {describe(value)}"
    if kind in ("list_type", "tuple_type"):
        return str_loc, f"must be a list; got {describe(value)}"
    if kind == "greater_than":
        return str_loc, f"must be greater than {ctx['gt']:g}; got {describe(value)}"
    if kind == "greater_than_equal":
        return str_loc, f"must be at least {ctx['ge']:g}; got {describe(value)}"
    if kind == "literal_error":
        valid = re.findall(r"'([^']*)'", str(ctx.get("expected", "")))
        return str_loc, f"must be one of {one_of(valid)}; got {value!r}" \
                        f"{did_you_mean(str(value), valid)}"
    if kind in ("too_short", "too_long"):
        if isinstance(value, (list, tuple)) and loc and isinstance(loc[-1], int):
            return str_loc, f"must be a [time_s, value] pair; got {describe(value)}"
        return str_loc, f"must hold at least {ctx.get('min_length', 1)} item(s)"
    if kind == "string_too_short":
        return str_loc, "must not be empty"
    return str_loc, str(e["msg"])

"""The model dictionary: CV tag -> MV tag -> model of that pair, as the
simulators MIMOSim and LPVPlantSim read it.

The simulators read what they understand and ignore the rest: a misspelt key
drops what it meant (``iodelay`` for ``iodelay_s`` loses the dead time), a
pair without ``"mode"`` has no effect. This module is the place that speaks up:
`check_model` lists every key the simulators would ignore, pairs without a
mode, unknown modes, coefficients they would fail on, and initial values of
tags the model lacks. `static_gain` gives the sign of a pair for the KP check.
"""
import json
import math
from typing import Annotated, Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from pydantic import BaseModel, ConfigDict, Field, StrictInt, ValidationError

from qxdcs.strategy.problems import ERROR, WARNING, Problem, describe, did_you_mean, one_of

Finite = Annotated[float, Field(allow_inf_nan=False)]
Coefficients = Annotated[List[Finite], Field(min_length=1)]


class _Pair(BaseModel):
    # Keys beyond the mode's own are reported by check_pair (ignored or unknown).
    model_config = ConfigDict(strict=True, extra="ignore")
    mode: str
    IntegralMark: Any = 0  # any true value adds an integrator; checked in _check_values


class TfS(_Pair):
    """Continuous transfer function num_s/den_s (descending powers of s) with a
    dead time in seconds."""
    num_s: Coefficients
    den_s: Coefficients
    iodelay_s: Annotated[Finite, Field(ge=0)] = 0.0


class TfZ(_Pair):
    """Discrete transfer function (coefficients of z^0, z^-1, ...) with a dead
    time in whole samples."""
    num_z: Coefficients
    den_z: Coefficients
    iodelay_z: Annotated[StrictInt, Field(ge=0)] = 0


class Stp(_Pair):
    """Step response, one value per sample from the sample of the step on."""
    stp: Coefficients


class StpXY(_Pair):
    """Step response by breakpoints: instants x in samples, values y."""
    x: Coefficients
    y: Coefficients


MODES: Dict[str, Optional[type]] = {"tf_s": TfS, "tf_z": TfZ, "stp": Stp, "stpxy": StpXY,
                                    "None": None}
KEYS_OF_MODE = {"tf_s": ("num_s", "den_s", "iodelay_s"), "tf_z": ("num_z", "den_z", "iodelay_z"),
                "stp": ("stp",), "stpxy": ("x", "y"), "None": ()}
COMMON_KEYS = ("mode", "IntegralMark")
ALL_KEYS = COMMON_KEYS + tuple(k for keys in KEYS_OF_MODE.values() for k in keys)
MODE_OF_KEY = {k: m for m, keys in KEYS_OF_MODE.items() for k in keys}

# A model file may wrap the dictionary with its initial values and notes, and
# with the sample period "Ts" (seconds) that its discrete pairs (tf_z, stp,
# stpxy: coefficients per sample) were given for, as `qxdcs identify` writes it.
WRAPPER_KEYS = ("model", "initial", "units", "description", "Ts")
DISCRETE_MODES = ("tf_z", "stp", "stpxy")

Report = Callable[[Tuple[str, ...], str, str], None]


def is_wrapped(data: Any) -> bool:
    """Whether a model file's content is {"model": {...}, "initial": ...}
    rather than the bare dictionary."""
    return (isinstance(data, dict) and isinstance(data.get("model"), dict)
            and (len(data) == 1 or any(k in data for k in WRAPPER_KEYS[1:])))


def model_tags(model: Dict[str, Dict[str, Any]]) -> Tuple[List[str], List[str]]:
    """(CV tags, MV tags) in the simulators' order: CVs in key order, each MV
    once at its first occurrence."""
    cvs = list(model)
    mvs: List[str] = []
    for row in model.values():
        if isinstance(row, dict):
            for mv in row:
                if mv not in mvs:
                    mvs.append(mv)
    return cvs, mvs


def has_effect(entry: Any) -> bool:
    """Whether the simulator builds a dynamic element for this pair."""
    return isinstance(entry, dict) and bool(entry) and entry.get("mode", "None") != "None"


def check_model(model: Any, report: Report, sample_period: Optional[float] = None,
                initial: Any = None, initial_path: Tuple[str, ...] = ("initial",)) -> bool:
    """Check a model dictionary; `report(path, message, severity)` receives
    each problem with its key path below the dictionary. With the sample
    period, dead times that are not whole samples are pointed out; with
    `initial`, initial values of tags the model lacks. Returns True when the
    simulator can be built from it (no errors)."""
    ok = [True]

    def rep(path, message, severity=ERROR):
        if severity == ERROR:
            ok[0] = False
        report(path, message, severity)

    if not isinstance(model, dict):
        rep((), f"must be a table of CV tags, each a table of MV tags; got {describe(model)}")
        return False
    if not model:
        rep((), "has no CV: a model dictionary maps CV tags to tables of MV tags")
        return False
    for cv, row in model.items():
        if not isinstance(row, dict):
            rep((cv,), f"CV {cv!r} must be a table of MV tags with their models; "
                       f"got {describe(row)}")
            continue
        for mv, entry in row.items():
            check_pair(entry, lambda p, m, s=ERROR, cv=cv, mv=mv: rep((cv, mv) + p, m, s),
                       sample_period)
    if initial is not None:
        check_initial(model, initial, lambda p, m, s=ERROR: rep(initial_path + p, m, s))
    return ok[0]


def check_period(model: Any, Ts: Any, sample_period: Optional[float], report: Report) -> None:
    """The "Ts" of a model file: a positive number of seconds; where the
    sample period of the run is known and the model has discrete pairs, the
    same period (their coefficients are per sample)."""
    if isinstance(Ts, bool) or not isinstance(Ts, (int, float)) or not (
            math.isfinite(Ts) and Ts > 0):
        report((), f"must be the sample period in seconds, a positive number; got "
                   f"{describe(Ts)}", ERROR)
        return
    if sample_period is None or not isinstance(model, dict) or Ts == sample_period:
        return
    discrete = [f"{cv}.{mv}" for cv, row in model.items() if isinstance(row, dict)
                for mv, entry in row.items()
                if isinstance(entry, dict) and entry.get("mode") in DISCRETE_MODES]
    if discrete:
        report((), f"the discrete pairs of this model ({', '.join(discrete[:3])}"
                   f"{', ...' if len(discrete) > 3 else ''}) are given per sample of {Ts:g} s, "
                   f"but the run samples every {sample_period:g} s", ERROR)


def check_initial(model: Dict[str, Any], initial: Any, report: Report) -> None:
    """Initial values: numbers, for tags of the model."""
    if not isinstance(initial, dict):
        report((), f"must be a table of tags with their initial values; got {describe(initial)}",
               ERROR)
        return
    cvs, mvs = model_tags({k: v for k, v in model.items() if isinstance(v, dict)})
    tags = cvs + mvs
    for tag, value in initial.items():
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            report((tag,), f"initial value must be a finite number; got {describe(value)}", ERROR)
        elif tag not in tags:
            report((tag,), f"initial value of {tag!r}, a tag the model lacks"
                           f"{did_you_mean(tag, tags)}", WARNING)


def check_pair(entry: Any, report: Report, sample_period: Optional[float] = None) -> None:
    """Check one pair's model; paths are relative to the pair."""
    if not isinstance(entry, dict):
        report((), f"the model of a pair must be a table of model keys; got {describe(entry)}",
               ERROR)
        return
    if not entry:
        return  # an empty table: this MV has no effect on this CV, as intended
    mode = entry.get("mode")
    if "mode" not in entry:
        keys = ", ".join(repr(k) for k in entry)
        report((), f"has no 'mode', so the simulator gives this pair no effect (keys {keys} "
                   f"are ignored); add \"mode\": one of {one_of(MODES)}", ERROR)
        mode_keys: Sequence[str] = ()
    elif not isinstance(mode, str) or mode not in MODES:
        report(("mode",), f"unknown mode {mode!r}{did_you_mean(str(mode), MODES)} "
                          f"(valid: {one_of(MODES)})", ERROR)
        mode_keys = ()
    else:
        mode_keys = KEYS_OF_MODE[mode]
    for key in entry:
        if key in COMMON_KEYS or key in mode_keys:
            continue
        if key in MODE_OF_KEY:
            if mode in MODES:
                report((key,), f"ignored: {key!r} belongs to mode {MODE_OF_KEY[key]!r}, "
                               f"this pair is {mode!r}", WARNING)
        else:
            hint = did_you_mean(key, COMMON_KEYS + tuple(mode_keys)) or did_you_mean(key, ALL_KEYS)
            report((key,), f"unknown key {key!r}{hint}", ERROR)
    if mode not in MODES or MODES[mode] is None:
        return
    try:
        pair = MODES[mode].model_validate(entry)
    except ValidationError as exc:
        for e in exc.errors():
            report(tuple(str(p) for p in e["loc"]), _pair_message(e), ERROR)
        return
    _check_values(pair, report, sample_period)


def _pair_message(e) -> str:
    kind, ctx = e["type"], e.get("ctx") or {}
    if kind == "missing":
        return "required by this mode, missing"
    if kind in ("float_type", "finite_number"):
        return f"must be a finite number; got {describe(e['input'])}"
    if kind == "int_type":
        return f"must be a whole number of samples; got {describe(e['input'])}"
    if kind == "list_type":
        return f"must be a list of numbers; got {describe(e['input'])}"
    if kind == "too_short":
        return "must hold at least one number"
    if kind == "greater_than_equal":
        return f"must be at least {ctx.get('ge')}; got {describe(e['input'])}"
    return e["msg"]


def _check_values(pair, report: Report, sample_period: Optional[float]) -> None:
    """What the types allow but the simulator cannot use, or uses otherwise
    than the numbers suggest."""
    if isinstance(pair, TfS):
        if not any(pair.num_s):
            report(("num_s",), "all coefficients are zero: the pair has no gain (use "
                               "\"mode\": \"None\" for no effect)", ERROR)
        if pair.den_s[0] == 0:
            report(("den_s",), "the first (highest-power) coefficient must not be zero", ERROR)
        elif _degree(pair.num_s) > len(pair.den_s) - 1:
            report(("num_s",), "the numerator's degree exceeds the denominator's: not a proper "
                               "transfer function", ERROR)
        if sample_period is not None and pair.iodelay_s > 0:
            samples = pair.iodelay_s / sample_period
            whole = round(samples)
            if abs(samples - whole) > 1e-9 * max(1.0, samples):
                report(("iodelay_s",), f"{pair.iodelay_s:g} s is {samples:g} sample periods of "
                                       f"{sample_period:g} s: the simulator rounds it to "
                                       f"{whole} ({whole * sample_period:g} s)", WARNING)
    elif isinstance(pair, TfZ):
        if pair.den_z[0] == 0:
            report(("den_z",), "the first coefficient (of z^0) must not be zero", ERROR)
    elif isinstance(pair, StpXY):
        if len(pair.x) != len(pair.y):
            report(("y",), f"needs as many values as 'x' has instants ({len(pair.x)}); "
                           f"got {len(pair.y)}", ERROR)
        if any(b <= a for a, b in zip(pair.x, pair.x[1:])):
            report(("x",), "instants must increase", ERROR)
        if pair.x[0] < 0:
            report(("x",), "instants are samples after the step and cannot be negative", ERROR)
    mark = pair.IntegralMark
    if isinstance(mark, bool) or (isinstance(mark, (int, float)) and mark in (0, 1)):
        return
    if isinstance(mark, (int, float)):
        report(("IntegralMark",), f"read as true (any non-zero number adds the integrator); "
                                  f"write 1 or true (got {mark!r})", WARNING)
    else:
        state = "true: the simulator adds an integrator" if mark else "false"
        report(("IntegralMark",), f"must be 0, 1, true or false; got {describe(mark)}, which "
                                  f"reads as {state}", ERROR)


def _degree(coefficients: Sequence[float]) -> int:
    """Degree of a polynomial given highest power first, leading zeros dropped."""
    for i, c in enumerate(coefficients):
        if c != 0:
            return len(coefficients) - 1 - i
    return -1


def static_gain(entry: Any) -> Optional[float]:
    """The pair's gain at steady state, or for an integrating pair the gain of
    its rate; None when it has none (no effect, zero gain, an unstable pair,
    or a model that does not check). Only its sign matters to the KP check."""
    if not has_effect(entry):
        return None
    mode = entry.get("mode")
    try:
        if mode == "tf_s":
            num = [float(c) for c in entry["num_s"]]
            den = [float(c) for c in entry["den_s"]]
            while len(den) > 1 and den[-1] == 0:
                den.pop()                      # integrators: the rate's gain
            if not _stable_s(den):
                return None
            gain = num[-1] / den[-1] if den[-1] else None
        elif mode == "tf_z":
            num = [float(c) for c in entry["num_z"]]
            den = [float(c) for c in entry["den_z"]]
            while len(den) > 1 and abs(sum(den)) < 1e-12 * max(abs(c) for c in den):
                den = _divide_by_difference(den)
            if len(den) > 1 and max(abs(r) for r in np.roots(den)) >= 1.0:
                return None
            gain = sum(num) / sum(den) if sum(den) else None
        elif mode == "stp":
            gain = float(entry["stp"][-1])
        elif mode == "stpxy":
            gain = float(entry["y"][-1])
        else:
            return None
    except (KeyError, TypeError, ValueError, IndexError, ZeroDivisionError):
        return None
    if gain is None or gain == 0 or not math.isfinite(gain):
        return None
    return gain


def _stable_s(den: List[float]) -> bool:
    """Whether every pole of 1/den(s) lies in the left half plane."""
    if len(den) < 2:
        return True
    return bool(max(r.real for r in np.roots(den)) < 0)


def _divide_by_difference(den: List[float]) -> List[float]:
    """den(z^-1) / (1 - z^-1) for a den with a root at z = 1."""
    out, carry = [], 0.0
    for c in den[:-1]:
        carry += c
        out.append(carry)
    return out


def scale_gains(model: Dict[str, Dict[str, Any]], factor: float) -> Dict[str, Dict[str, Any]]:
    """A copy of `model` with the gain of every pair multiplied by `factor`
    (num_s, num_z, stp and y; the dynamics unchanged)."""
    out: Dict[str, Dict[str, Any]] = {}
    for cv, row in model.items():
        out[cv] = {}
        for mv, entry in row.items():
            entry = dict(entry)
            for key in ("num_s", "num_z", "stp", "y"):
                if key in entry and entry.get("mode") == {"num_s": "tf_s", "num_z": "tf_z",
                                                        "stp": "stp", "y": "stpxy"}[key]:
                    entry[key] = [factor * c for c in entry[key]]
            out[cv][mv] = entry
    return out


def read_json(path: str, shown: Optional[str] = None):
    """(content, None) or (None, the Problem that stops it)."""
    shown = shown or path
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f), None
    except OSError as exc:
        return None, Problem(shown, (), f"cannot read the model file: {exc.strerror or exc}")
    except UnicodeDecodeError as exc:
        return None, Problem(shown, (), f"not UTF-8 text ({exc.reason} at byte {exc.start})")
    except json.JSONDecodeError as exc:
        return None, Problem(shown, (), f"not valid JSON: {exc.msg} (line {exc.lineno}, "
                                        f"column {exc.colno})")


def check_file(path: str, sample_period: Optional[float] = None) -> List[Problem]:
    """Every problem of a JSON model file: the bare dictionary, or one
    wrapped with its "initial" values (and "units", "description", "Ts")."""
    data, problem = read_json(path)
    if problem is not None:
        return [problem]
    problems: List[Problem] = []

    def report(p, message, severity=ERROR):
        problems.append(Problem(path, tuple(str(x) for x in p), message, severity))

    if is_wrapped(data):
        for key in data:
            if key not in WRAPPER_KEYS:
                report((key,), f"unknown key {key!r}{did_you_mean(key, WRAPPER_KEYS)} "
                               f"(a model file holds {one_of(WRAPPER_KEYS)})")
        check_model(data["model"], lambda p, m, s=ERROR: report(("model",) + tuple(p), m, s),
                    sample_period)
        if "Ts" in data:
            check_period(data["model"], data["Ts"], sample_period,
                         lambda p, m, s=ERROR: report(("Ts",) + tuple(p), m, s))
        if "initial" in data:
            check_initial(data["model"], data["initial"],
                          lambda p, m, s=ERROR: report(("initial",) + tuple(p), m, s))
        units = data.get("units", {})
        if not isinstance(units, dict) or not all(isinstance(u, str) for u in units.values()):
            report(("units",), "must be a table of tags with their units (strings)")
    else:
        check_model(data, report, sample_period)
    return problems

"""The grid of a study: which numbers of a strategy file change, and to what.

A grid is a list of axes; an axis is a key path of the strategy file and
its values. The scenarios are the product of the axes, the last axis
changing fastest; scenario `i`'s changes are one value of every axis.

Values are written as
    -6,-4,-2          a list of numbers
    1..20             the whole numbers from 1 to 20
    lin(10,40,4)      4 numbers evenly spaced from 10 to 40
    log(0.1,10,5)     5 numbers evenly spaced on a log scale

A key path names any number of the file (``loop.TI101.KP``,
``simulation.seed``, ``plant.local.low.gain``), a model pair's number
(``plant.model.TI101.FV101.iodelay_s``; on an LPV plant that path sets the
number in every local plant's model), or one of the factors on the whole
plant: ``plant.gain_factor`` (every gain of every model times the number)
and ``plant.delay_factor`` (every dead time times the number).
"""
import itertools
import math
import re
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

GAIN_FACTOR = "plant.gain_factor"
DELAY_FACTOR = "plant.delay_factor"
FACTORS = (GAIN_FACTOR, DELAY_FACTOR)


class GridError(ValueError):
    """A grid that cannot be read or does not fit its strategy file: one line."""


@dataclass(frozen=True)
class Axis:
    path: str
    values: Tuple[Any, ...]


# --- reading values ----------------------------------------------------------------------------

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"


def _number(text: str, where: str):
    t = text.strip()
    if re.fullmatch(r"[-+]?\d+", t):
        return int(t)
    if re.fullmatch(_NUMBER, t) or t.lower() in ("inf", "-inf", "+inf"):
        return float(t)
    raise GridError(f"{where}: {text.strip()!r} is not a number")


def parse_values(text: str, where: str) -> Tuple[Any, ...]:
    """The values of an axis from their text (see the module's docstring)."""
    t = text.strip()
    m = re.fullmatch(r"([-+]?\d+)\s*\.\.\s*([-+]?\d+)", t)
    if m:
        a, b = int(m.group(1)), int(m.group(2))
        if b < a:
            raise GridError(f"{where}: the range {t} is empty (write a..b with a <= b)")
        return tuple(range(a, b + 1))
    m = re.fullmatch(r"(lin|log)\((.*)\)", t)
    if m:
        parts = m.group(2).split(",")
        if len(parts) != 3:
            raise GridError(f"{where}: {m.group(1)}(a,b,n) takes three numbers, not {t!r}")
        a, b = (float(_number(p, where)) for p in parts[:2])
        n = _number(parts[2], where)
        if not isinstance(n, int) or n < 1:
            raise GridError(f"{where}: the n of {t} must be a whole number of at least 1")
        if m.group(1) == "lin":
            return tuple(float(v) for v in np.linspace(a, b, n))
        if not (a > 0 and b > 0):
            raise GridError(f"{where}: log(a,b,n) needs a > 0 and b > 0: {t}")
        return tuple(float(v) for v in np.geomspace(a, b, n))
    if not t:
        raise GridError(f"{where}: no values")
    values = tuple(_number(p, where) for p in t.split(","))
    if any(isinstance(v, float) for v in values):   # one type per column: -2,-4.5 are floats
        values = tuple(float(v) for v in values)
    return values


def parse_option(text: str) -> Axis:
    """One --grid option, PATH=VALUES."""
    path, sep, values = text.partition("=")
    path = path.strip()
    if not sep or not path:
        raise GridError(f"--grid {text!r}: write PATH=VALUES (for example loop.TI101.KP=-6,-4,-2)")
    return Axis(path, parse_values(values, f"--grid {path}"))


def from_table(table: Any, where: str = "[study] grid") -> List[Axis]:
    """The axes of a [study] table's grid: path -> a list of numbers or a
    text in the --grid syntax."""
    if not isinstance(table, dict):
        raise GridError(f"{where}: must be a table of key paths and their values")
    axes = []
    for path, values in table.items():
        at = f"{where}: {path}"
        if isinstance(values, str):
            axes.append(Axis(path, parse_values(values, at)))
        elif isinstance(values, list) and values and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
            axes.append(Axis(path, tuple(values)))
        else:
            raise GridError(f"{at}: give a list of numbers or a text such as \"1..20\"")
    return axes


def scenarios(axes: Sequence[Axis]) -> List[Dict[str, Any]]:
    """Every scenario's changes (path -> value), the last axis fastest."""
    if not axes:
        return [{}]
    return [dict(zip((a.path for a in axes), combo))
            for combo in itertools.product(*(a.values for a in axes))]


def check_axes(axes: Sequence[Axis]) -> None:
    seen = set()
    for a in axes:
        if a.path in seen:
            raise GridError(f"--grid {a.path}: given twice")
        seen.add(a.path)
        for v in a.values:
            if isinstance(v, float) and not math.isfinite(v):
                raise GridError(f"--grid {a.path}: {v} is not a finite number")


# --- applying a scenario to a strategy file ------------------------------------------------------

def _scaled_gain(pair: Dict[str, Any], g: float) -> Dict[str, Any]:
    out = dict(pair)
    mode = pair.get("mode")
    key = {"tf_s": "num_s", "tf_z": "num_z", "stp": "stp", "stpxy": "y"}.get(mode)
    if key and isinstance(pair.get(key), list):
        out[key] = [g * c for c in pair[key]]
    return out


def _scaled_delay(pair: Dict[str, Any], d: float) -> Dict[str, Any]:
    out = dict(pair)
    mode = pair.get("mode")
    if mode == "tf_s":
        out["iodelay_s"] = pair.get("iodelay_s", 0) * d
    elif mode == "tf_z":
        out["iodelay_z"] = int(round(pair.get("iodelay_z", 0) * d))
    elif mode == "stp" and isinstance(pair.get("stp"), list):
        stp = pair["stp"]
        lead = next((i for i, v in enumerate(stp) if v != 0.0), len(stp))
        shift = int(round(lead * d)) - lead
        out["stp"] = [0.0] * shift + stp if shift >= 0 else stp[-shift:]
    return out


def _scaled_model(model: Any, scale) -> Any:
    if not isinstance(model, dict):
        return model
    return {cv: ({mv: scale(pair) if isinstance(pair, dict) else pair
                  for mv, pair in row.items()} if isinstance(row, dict) else row)
            for cv, row in model.items()}


def model_paths(data: Dict[str, Any]) -> List[Tuple[str, ...]]:
    """The key paths of the plant's model dictionaries: plant.model, or the
    model of every local plant."""
    plant = data.get("plant") if isinstance(data, dict) else None
    if not isinstance(plant, dict):
        return []
    if "model" in plant:
        return [("plant", "model")]
    local = plant.get("local")
    if isinstance(local, dict):
        return [("plant", "local", name, "model") for name, lp in local.items()
                if isinstance(lp, dict) and "model" in lp]
    return []


def expand(data: Dict[str, Any], path: str) -> List[Tuple[str, ...]]:
    """The key paths that `path` sets: itself, or on an LPV plant, for
    plant.model.CV.MV.key, the same pair in every local plant's model."""
    parts = tuple(path.split("."))
    plant = data.get("plant") if isinstance(data, dict) else None
    if (len(parts) > 2 and parts[:2] == ("plant", "model") and isinstance(plant, dict)
            and "model" not in plant and isinstance(plant.get("local"), dict)):
        return [p + parts[2:] for p in model_paths(data)]
    return [parts]


def apply(sf, changes: Dict[str, Any]):
    """The strategy file `sf` (a qxdcs.strategy.StrategyFile) with one
    scenario's changes. KeyError names a path that does not fit the file."""
    plain: Dict[Tuple[str, ...], Any] = {}
    for path, value in changes.items():
        if path in FACTORS:
            continue
        for p in expand(sf.data, path):
            plain[p] = value
    out = sf.replace(plain) if plain else sf
    g, d = changes.get(GAIN_FACTOR), changes.get(DELAY_FACTOR)
    if g is None and d is None:
        return out
    scaled = {}
    for p in model_paths(out.data):
        model = out.get(p)
        if g is not None:
            model = _scaled_model(model, lambda pair: _scaled_gain(pair, float(g)))
        if d is not None:
            model = _scaled_model(model, lambda pair: _scaled_delay(pair, float(d)))
        scaled[p] = model
    return out.replace(scaled)


def check_paths(sf, axes: Sequence[Axis]) -> None:
    """Every axis names a number of the file (or a key its table may take,
    such as a loop's TD left at its default): GridError otherwise, with the
    nearest key."""
    for a in axes:
        if a.path in FACTORS:
            if not model_paths(sf.data):
                raise GridError(f"--grid {a.path}: the plant has no model to scale")
            continue
        for parts in expand(sf.data, a.path):
            try:
                sf.get(parts[:-1])
            except KeyError as exc:
                raise GridError(f"--grid {a.path}: {exc.args[0]}") from None
            parent = sf.get(parts[:-1])
            if not isinstance(parent, dict):
                raise GridError(f"--grid {a.path}: {'.'.join(parts[:-1])} is not a table")
            if parts[-1] in parent:
                value = parent[parts[-1]]
                if isinstance(value, bool) or not isinstance(value, (int, float)):
                    raise GridError(f"--grid {a.path}: {'.'.join(parts)} is not a number "
                                    f"(it holds {type(value).__name__} "
                                    f"{_short(value)})")


def label(value) -> str:
    """A value as --grid takes it back."""
    return repr(value) if isinstance(value, float) else str(value)


def _short(value) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def nominal(sf, axis: Axis) -> Optional[Any]:
    """The value of `axis` in the file itself (1 for the plant factors), when
    it is one of the axis's values; else None."""
    if axis.path in FACTORS:
        base = 1
    else:
        try:
            base = sf.get(expand(sf.data, axis.path)[0])
        except KeyError:
            return None
    return next((v for v in axis.values if v == base), None)

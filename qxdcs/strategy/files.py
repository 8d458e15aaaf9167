"""Reading a strategy file, and changing its values by key path.

A strategy file is TOML. Where it names a JSON model file (``plant.model`` or
``plant.local.NAME.model`` given as a path, relative to the strategy file), the
model is read into the data, so that every value of the plant has a key path
(``plant.model.TI101.FV101.iodelay_s``) whichever file it came from; problems
found there are still reported against the JSON file.
"""
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Sequence, Tuple, Union

from qxdcs.strategy.models import is_wrapped, read_json
from qxdcs.strategy.problems import ERROR, Problem, StrategyError, did_you_mean

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - Python 3.9 and 3.10
    import tomli as tomllib

KeyPath = Union[str, Sequence[str]]


@dataclass
class StrategyFile:
    """A strategy as data: `data` is the file's content (a plain dict, model
    files read in), `path` the name used in messages, `base_dir` the folder
    relative paths start from. `origins` maps key paths whose values came
    from another file to that file and the key path inside it. Treat `data`
    as read-only: `replace` shares the parts it does not change."""
    data: Dict[str, Any]
    path: str = "<strategy>"
    base_dir: str = "."
    origins: Dict[Tuple[str, ...], Tuple[str, Tuple[str, ...]]] = field(default_factory=dict)
    load_problems: List[Problem] = field(default_factory=list)
    # Key path of a model read from a file -> the "Ts" that file states.
    model_periods: Dict[Tuple[str, ...], Any] = field(default_factory=dict)

    def where(self, path: Tuple[str, ...]) -> Tuple[str, Tuple[str, ...]]:
        """The file and key path a problem at `path` belongs to."""
        best = None
        for prefix in self.origins:
            if path[:len(prefix)] == prefix and (best is None or len(prefix) > len(best)):
                best = prefix
        if best is None:
            return self.path, path
        file, inner = self.origins[best]
        return file, inner + path[len(best):]

    def get(self, key: KeyPath) -> Any:
        """The value at a key path; KeyError naming the first missing part."""
        node: Any = self.data
        parts = split_key(key)
        for i, part in enumerate(parts):
            if not isinstance(node, dict) or part not in node:
                raise KeyError(_missing(parts[:i + 1], node))
            node = node[part]
        return node

    def replace(self, changes: Mapping[KeyPath, Any]) -> "StrategyFile":
        """A new StrategyFile with each key path set to its value (a new key
        may be added to an existing table). Tables along the changed paths
        are copied, everything else shared."""
        data = self.data
        for key, value in changes.items():
            data = _set(data, split_key(key), value)
        return StrategyFile(data, self.path, self.base_dir, dict(self.origins),
                            list(self.load_problems), dict(self.model_periods))


def split_key(key: KeyPath) -> Tuple[str, ...]:
    """``"loop.TI101.KP"`` -> ("loop", "TI101", "KP"); a sequence is taken as
    the parts already split (for tags that contain dots)."""
    if isinstance(key, str):
        parts = tuple(key.split("."))
    else:
        parts = tuple(str(p) for p in key)
    if not parts or any(p == "" for p in parts):
        raise KeyError(f"not a key path: {key!r}")
    return parts


def _missing(parts, node) -> str:
    where = ".".join(parts)
    hint = did_you_mean(parts[-1], node) if isinstance(node, dict) else ""
    if not isinstance(node, dict):
        return f"no key {where}: {'.'.join(parts[:-1]) or 'the file'} is not a table"
    return f"no key {where}{hint}"


def _set(node: Dict[str, Any], parts: Tuple[str, ...], value: Any, done=()) -> Dict[str, Any]:
    if not isinstance(node, dict):
        raise KeyError(f"no key {'.'.join(done + parts)}: {'.'.join(done)} is not a table")
    head, rest = parts[0], parts[1:]
    out = dict(node)
    if rest:
        if head not in node:
            raise KeyError(_missing(done + (head,), node))
        out[head] = _set(node[head], rest, value, done + (head,))
    else:
        out[head] = value
    return out


def load(path: str) -> StrategyFile:
    """Read a strategy file. A file that cannot be read or is not TOML
    raises StrategyError; problems with the model files it names are kept in
    `load_problems` and reported by the checker with the rest."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as exc:
        raise StrategyError([Problem(path, (), f"cannot read the file: {exc.strerror or exc}")]) \
            from None
    try:
        data = tomllib.loads(text.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise StrategyError([Problem(path, (), f"not UTF-8 text ({exc.reason} at byte "
                                               f"{exc.start})")]) from None
    except tomllib.TOMLDecodeError as exc:
        raise StrategyError([Problem(path, (), f"not valid TOML: {exc}")]) from None
    return from_data(data, path, os.path.dirname(os.path.abspath(path)))


def from_data(data: Dict[str, Any], path: str = "<strategy>",
              base_dir: str = ".") -> StrategyFile:
    """A StrategyFile from data already read (a dict as TOML gives it);
    model file paths in it are read relative to `base_dir`."""
    sf = StrategyFile(data, path, base_dir)
    plant = data.get("plant")
    if not isinstance(plant, dict):
        return sf
    cache: Dict[str, Any] = {}
    plant = dict(plant)
    if isinstance(plant.get("model"), str):
        plant["model"] = _read_model(sf, ("plant", "model"), plant["model"], plant, cache)
    local = plant.get("local")
    if isinstance(local, dict):
        local = dict(local)
        for name, lp in local.items():
            if isinstance(lp, dict) and isinstance(lp.get("model"), str):
                lp = dict(lp)
                lp["model"] = _read_model(sf, ("plant", "local", name, "model"), lp["model"],
                                          plant, cache)
                local[name] = lp
        plant["local"] = local
    sf.data = dict(data, plant=plant)
    return sf


def _display(sf: StrategyFile, ref: str) -> str:
    """The model file's name as messages give it: beside the strategy file's."""
    return os.path.normpath(os.path.join(os.path.dirname(sf.path), ref))


def _read_model(sf: StrategyFile, key: Tuple[str, ...], ref: str, plant: Dict[str, Any],
                cache: Dict[str, Any]):
    """The model dictionary of the JSON file `ref`; its initial values and
    units become defaults of the plant's."""
    shown = _display(sf, ref)
    full = os.path.join(sf.base_dir, ref)
    if full not in cache:
        cache[full] = read_json(full, shown)
    data, problem = cache[full]
    if problem is not None:
        if problem not in sf.load_problems:
            sf.load_problems.append(problem)
        sf.load_problems.append(Problem(sf.path, key, f"cannot use the model file {ref!r} "
                                                      f"(see above)"))
        return None
    if is_wrapped(data):
        for part in ("initial", "units"):
            extra = data.get(part)
            if isinstance(extra, dict):
                own = plant.get(part) if isinstance(plant.get(part), dict) else {}
                merged = dict(extra)
                merged.update(own)
                plant[part] = merged
                for tag in extra:
                    if tag not in own:
                        sf.origins[("plant", part, tag)] = (shown, (part, tag))
        sf.origins[key] = (shown, ("model",))
        if "Ts" in data:
            sf.model_periods[key] = data["Ts"]
        return data["model"]
    sf.origins[key] = (shown, ())
    return data


__all__ = ["StrategyFile", "load", "from_data", "split_key", "read_json", "ERROR"]

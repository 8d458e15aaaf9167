"""Shared numerical helpers of qxdcs.algorithm (NumPy and SciPy are loaded on import)."""
from collections.abc import Iterator
from types import ModuleType
from typing import Any

import numpy as _np
import numpy.typing as _npt

np: ModuleType
signal: ModuleType
time: ModuleType

def c2d(
    Gs_num: _npt.ArrayLike,
    Gs_den: _npt.ArrayLike,
    Gs_delay: float,
    Ts: float = 1,
    method: str = "zoh",
) -> tuple[_npt.NDArray[_np.float64], _npt.NDArray[_np.float64]]: ...
def dataStore(xArray: Any, xt: Any) -> None: ...
def current_time_str() -> str: ...
def dict2pairs(d: dict[Any, Any], path: str = "") -> Iterator[tuple[str, Any]]: ...
def pair2dict(pair: tuple[str, Any], d: dict[Any, Any]) -> None: ...
def str2xpyp(s: str) -> tuple[list[float], list[float]]: ...
def qxCommonWatchDog(s: str = "qxdcs") -> str: ...

"""Pure transport delay of a sampled signal, counted in calls."""
from collections import deque
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

# The instance dictionary, with the values of a subclass's __slots__ beside it.
_DictState = dict[str, Any] | tuple[dict[str, Any], dict[str, Any]]

class Delay:
    """Delay(max_cache)(Ut, nLag) returns the input of nLag calls earlier."""

    _last_Ut: Any
    def __init__(self, max_cache: int = 10000) -> None: ...
    def __call__(self, Ut: Any, nLag: SupportsIndex = 1) -> Any: ...
    @property
    def _cache(self) -> deque[Any]: ...
    def __getstate__(self) -> tuple[int, list[Any], Any]: ...
    def __setstate__(self, state: tuple[int, list[Any], Any]) -> None: ...

class Delay_Algorithm:
    """Delay in function-block style: write Ut and nLag, call(), read Yt."""

    Ut: float = 0
    Yt: float = 0
    nLag: int = 1
    U_array: npt.NDArray[np.float64]
    def __init__(self) -> None: ...
    def call(self) -> None: ...
    def __reduce__(self) -> tuple[type[Delay_Algorithm], tuple[()], _DictState]: ...

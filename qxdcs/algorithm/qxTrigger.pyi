"""On-delay and off-delay timers and a set/reset flip-flop, counted in calls."""
from typing import Any

import numpy as np
import numpy.typing as npt

# The instance dictionary, with the values of a subclass's __slots__ beside it.
_DictState = dict[str, Any] | tuple[dict[str, Any], dict[str, Any]]

class TONtrigger:
    """On-delay timer: write Ut and DT, call(), read Yt (and ET)."""

    Ut: float = 0
    Yt: int = 0
    DT: int = 3
    ET: int = 0
    Ut_array: npt.NDArray[np.int64]
    def __init__(self) -> None: ...
    def call(self) -> None: ...
    def __reduce__(self) -> tuple[type[TONtrigger], tuple[()], _DictState]: ...

class TOFFtrigger:
    """Off-delay timer: write Ut and DT, call(), read Yt (and ET)."""

    Ut: float = 0
    Yt: int = 0
    DT: int = 3
    ET: int = 0
    Ut_array: npt.NDArray[np.int64]
    def __init__(self) -> None: ...
    def call(self) -> None: ...
    def __reduce__(self) -> tuple[type[TOFFtrigger], tuple[()], _DictState]: ...

class RStrigger:
    """Set/reset flip-flop with reset priority: write S and R, call(), read Q and nQ."""

    S: Any = 0
    R: Any = 0
    Q: bool | np.bool_ = False  # True/False when set or reset, Q_array[0] when holding
    nQ: bool = True
    Q_array: npt.NDArray[np.bool_]
    def __init__(self) -> None: ...
    def call(self) -> None: ...
    def __reduce__(self) -> tuple[type[RStrigger], tuple[()], _DictState]: ...

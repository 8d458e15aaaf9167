"""First-order lead-lag filter with unit gain, (alpha*tao*s+1)/(tao*s+1)."""
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

_Real = Union[float, int]

def positive_parameter_property(name: str, expected_type: Union[type, tuple[type, ...]]) -> property:
    """Property for '_' + name: type-checked, non-negative, calls _modify_param() on a change."""

class LDLAG:
    alpha: _Real
    tao: _Real

    def __init__(
        self,
        alpha: float = 0.0,
        tao: float = 5.0,
        Ts: int = 1,
        u_ini: Optional[_Real] = None,
        y_ini: Optional[_Real] = None,
    ) -> None: ...
    def __call__(self, u: float) -> float: ...
    def run(self, u: float) -> float: ...
    def multi_step(self, u: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def _modify_param(self) -> None: ...
    _alpha: _Real
    _tao: _Real
    @property
    def _Ts(self) -> int: ...
    @property
    def _u_ini(self) -> Optional[Any]: ...
    @property
    def _y_ini(self) -> Optional[Any]: ...
    @property
    def _b(self) -> npt.NDArray[np.float64]: ...
    @property
    def _a(self) -> npt.NDArray[np.float64]: ...
    @property
    def _zi(self) -> Optional[npt.NDArray[np.float64]]: ...
    @_zi.setter
    def _zi(self, value: Optional[npt.ArrayLike]) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

def filter_stp(N: int, tao: float, alpha: float, r1: float = 0.0, r2: float = 1.0) -> npt.NDArray[np.float64]:
    """Unit-step response of (alpha*tao*s+1)/(tao*s+1) at t = 0..N-1, scaled from r1 to r2."""

def main() -> None:
    """Draw the lead-lag demonstration figures (needs Matplotlib)."""

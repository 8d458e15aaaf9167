"""Pseudo-random two-level test signal generator for plant tests."""
from typing import Any

import numpy as np
import numpy.typing as npt

_Number = Any

class TestSignal:
    """Pseudo-random two-level test signal with periods of 2*ET seconds."""

    def __init__(self, SEED: Any = None) -> None:
        """Seed NumPy's global legacy generator with SEED and draw the switching table."""
    def get_ET(self) -> int: ...
    def set_ET(self, ET: Any = 10) -> None:
        """Half period = int(ET) seconds."""
    def get_amplitude(self) -> _Number: ...
    def set_amplitude(self, amp: _Number = 1.0) -> None:
        """Amplitude = amp if amp > 0.0 else 0.0."""
    def __call__(self, t: int | None = None) -> tuple[_Number, int, int, int, int, int]:
        """(U, next1, ..., next5): the level at t (None: the wall clock) and the
        seconds to the next five switching instants."""
    @property
    def _rand_arr(self) -> npt.NDArray[np.float64]: ...
    @_rand_arr.setter
    def _rand_arr(self, values: npt.ArrayLike) -> None: ...
    @property
    def _ET(self) -> int: ...
    @_ET.setter
    def _ET(self, value: Any) -> None: ...
    @property
    def _amp(self) -> _Number: ...
    @_amp.setter
    def _amp(self, value: _Number) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

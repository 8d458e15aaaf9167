"""Ramp (slew-rate) limiter."""
from typing import Any, SupportsFloat, SupportsIndex, Union


_Number = Any  # a real number; ints, floats, Fractions, NumPy scalars ...

class RateLimit:
    """Ramp (slew-rate) limiter."""

    def __init__(self, u_ini: Union[SupportsFloat, SupportsIndex, str], Ts: _Number = 1) -> None: ...
    def __call__(self, u_end: _Number, PRLimPerMin: _Number = 60,
                 NRLimPerMin: _Number | None = None) -> float: ...
    def reset(self, u_ini: Union[SupportsFloat, SupportsIndex, str]) -> None: ...
    @property
    def u_last(self) -> _Number:
        """The previous output, as produced (a target reached is kept as passed)."""
    @u_last.setter
    def u_last(self, value: _Number) -> None: ...
    @property
    def Ts(self) -> _Number:
        """Sample time in seconds, as passed."""
    @Ts.setter
    def Ts(self, value: _Number) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

def main() -> None:
    """Print the 101 values of a ramp from 3 toward 10 at 10 per minute."""

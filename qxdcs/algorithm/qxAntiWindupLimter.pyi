"""Incremental limiter that does not wind up."""
from typing import Any, SupportsFloat, SupportsIndex


_Number = Any  # a number comparable with floats

class AntiWindupLimter:
    """Incremental limiter: the previous output moved by the input's change, clamped to [LO, HI].

    Instead of clamping its input, the block applies the input's change since
    the previous call to its previous output and clamps the sum. When the
    input runs past a limit and turns back, the output leaves the limit with
    the first change in the opposite direction (it does not wind up); the
    price is an offset from the input acquired at the limit. The first call
    returns the clamped input. With HI 100, LO 0 and inputs 90, 110, 120,
    115, 80 the outputs are 90.0, 100, 100, 95.0, 60.0. There is no reset.
    copy.deepcopy and pickle keep the state.
    """

    def __init__(self) -> None:
        """Create the limiter; the first call initialises it."""
    def __call__(self, u: SupportsFloat | SupportsIndex, HI: _Number = 100,
                 LO: _Number = 0) -> _Number:
        """One sample: the previous output moved by the input's change, clamped to [LO, HI].

        The clamp compares LO first, then HI: with LO > HI the result is
        always HI, and a NaN passes through unchanged. The limits are passed
        on every call and may change between calls.

        Args:
            u: The input, converted to float.
            HI: Upper limit (default 100).
            LO: Lower limit (default 0).

        Returns:
            A float, or the HI or LO object itself when that limit is active
            (an int limit yields an int).

        Raises:
            TypeError: u is not a real number (nothing changes); limits that
                cannot be compared with numbers raise the comparison's error.
        """
    def run(self, u: SupportsFloat | SupportsIndex, HI: _Number = 100, LO: _Number = 0) -> _Number:
        """The same as calling the limiter."""
    @property
    def _u0(self) -> float | None:
        """Input of the previous call (None before the first call)."""
    @_u0.setter
    def _u0(self, value: _Number | None) -> None: ...
    @property
    def _y0(self) -> _Number | None:
        """Output of the previous call (None before the first call)."""
    @_y0.setter
    def _y0(self, value: _Number | None) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The state {"_u0": ..., "_y0": ...}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__ (values kept as passed)."""

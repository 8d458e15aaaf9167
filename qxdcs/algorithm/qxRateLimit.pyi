"""Ramp (slew-rate) limiter: the output moves toward a target by at most a rise
and a fall limit per minute."""
from typing import Any, SupportsFloat, SupportsIndex, Union


_Number = Any  # a real number; ints, floats, Fractions, NumPy scalars ...

class RateLimit:
    """Ramp (slew-rate) limiter.

    Each call moves the output from the previous output toward u_end by at
    most |PRLimPerMin|/60*Ts upward and |NRLimPerMin|/60*Ts downward (Ts in
    seconds, limits per minute, converted on every call so they may change
    from call to call). A target within reach is returned exactly, with no
    overshoot. With the defaults (Ts 1 s, 60 per minute) the output moves by
    at most 1.0 per call. copy.deepcopy and pickle keep the state.
    """

    def __init__(self, u_ini: Union[SupportsFloat, SupportsIndex, str], Ts: _Number = 1) -> None:
        """Start at float(u_ini).

        Args:
            u_ini: Initial output; anything float() accepts (a numeric
                string included).
            Ts: Sample time in seconds, stored as passed (default 1).

        Raises:
            TypeError, ValueError: float(u_ini) fails.
        """
    def __call__(self, u_end: _Number, PRLimPerMin: _Number = 60,
                 NRLimPerMin: _Number | None = None) -> float:
        """One sample: the output moved from u_last toward u_end within the limits.

        Args:
            u_end: The target value.
            PRLimPerMin: Rise limit per minute; its sign is ignored (default 60).
            NRLimPerMin: Fall limit per minute, sign ignored; None uses the
                magnitude of the rise limit (default None).

        Returns:
            The new output as a float; u_last keeps it as produced (a target
            reached is stored as passed). A limit of 0 freezes the output.

        Raises:
            TypeError: Non-numeric arguments (the interpreter's arithmetic errors).
        """
    def reset(self, u_ini: Union[SupportsFloat, SupportsIndex, str]) -> None:
        """Set the previous output to float(u_ini); the next call ramps from there.

        Raises:
            TypeError, ValueError: float(u_ini) fails; u_last is unchanged.
        """
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
    def __getstate__(self) -> dict[str, Any]:
        """The state {"u_last": ..., "Ts": ...}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__ (values kept as passed)."""

def main() -> None:
    """Demonstration: print the 101 values of a ramp from 3 toward 10 at 10 per minute, Ts 1 s."""

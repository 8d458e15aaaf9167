"""Watchdog (heartbeat) counter."""
from typing import Any

class WatchDog:
    """Watchdog: the output counts up by one per call and wraps around after MaxOut.

    A cyclic task calls it once per cycle and sends the count; a ConstDect on
    the receiving side notices when the count stops moving. copy.deepcopy and
    pickle keep the count.
    """

    def __init__(self) -> None:
        """Create the counter with ticks 0."""
    def __call__(self, MaxOut: Any = 0) -> int:
        """Advance the count: ticks = (ticks + 1) % int(MaxOut + 1); return it.

        int() truncates toward zero and % is floor modulo. With MaxOut 3 the
        outputs are 1, 2, 3, 0, 1, ...; with the default 0 every call returns
        0; MaxOut 2.5 cycles through 1, 2, 0. MaxOut may change between calls.

        Args:
            MaxOut: Largest output value (default 0).

        Returns:
            The new count, an int from 0 to MaxOut.

        Raises:
            ZeroDivisionError: MaxOut is -1 (modulus 0); ticks is unchanged.
            TypeError: "Expected int, got float" when the new count is not an
                int (only after the caller wrote a non-int into ticks); ticks
                has been updated.
        """
    @property
    def ticks(self) -> int:
        """The last output (0 after construction); a value written is kept as passed."""
    @ticks.setter
    def ticks(self, value: Any) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The state {"ticks": ...}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__."""

def main() -> None:
    """Demonstration: call a watchdog ten times with MaxOut 3, printing each count, one second apart."""

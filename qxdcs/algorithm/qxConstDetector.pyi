"""Detector of a constant input (typically a watchdog count that has stopped)."""
from collections import deque
from typing import Any, Iterable, SupportsFloat

import numpy as np

class ConstDect:
    """Tells whether the input has stayed constant over the last DectLen calls.

    Returns True when the input has been constant for a run of at least
    DectLen samples (every step between neighbouring inputs of the window
    below 1e-6 in magnitude), False otherwise. Typically applied to a
    received watchdog count: the negated result tells that the count is
    still moving. The first call always returns True (the window is filled
    with the first input); a slow drift whose steps all stay below 1e-6
    counts as constant; a NaN in the window makes the result False. There is
    no reset. copy.deepcopy and pickle keep the window.
    """

    def __init__(self) -> None:
        """Create the detector with an empty window."""
    def __call__(self, Ut: Any, DectLen: int | SupportsFloat = 10) -> np.bool_:
        """Push Ut into the window of the last DectLen inputs; True if every step in it is below 1e-6.

        The window is filled up with Ut when it holds fewer than DectLen
        inputs (on the first call, or after DectLen has grown) and trimmed
        from the oldest end when it holds more. With DectLen 3, inputs 5, 5,
        6, 6, 6 give True, True, False, False, True.

        Args:
            Ut: The current input (a number).
            DectLen: Length of the run to detect, in calls, at least 1
                (default 10); a non-integer is rounded down.

        Returns:
            numpy.True_ or numpy.False_.

        Raises:
            ValueError: "DectLen must be at least 1"; the window is unchanged.
        """
    @property
    def _U_queue(self) -> deque[Any]:
        """A copy of the window, oldest first, inputs as passed; assigning an iterable replaces it."""
    @_U_queue.setter
    def _U_queue(self, values: Iterable[Any]) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The state {"_U_queue": [inputs, oldest first]}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__."""

"""Pure transport delay of a sampled signal, counted in calls (samples), not seconds.

Delay is a callable block; Delay_Algorithm is the same delay in function-block
style. Both fill their history with the very first input, so the output starts
at the first input rather than at zero.
"""
from collections import deque
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

# The instance dictionary, with the values of a subclass's __slots__ beside it.
_DictState = dict[str, Any] | tuple[dict[str, Any], dict[str, Any]]

class Delay:
    """Delay(max_cache)(Ut, nLag) returns the input of nLag calls earlier.

    Inputs are kept exactly as passed, so any object can be delayed. The
    first input fills the whole history; while fewer than nLag calls have
    passed since, the output is that first input. nLag may change from call
    to call (0 <= nLag < max_cache); the output then switches at once to the
    entry of the new age, without interpolation. There is no reset.
    copy.deepcopy and pickle keep the history.
    """

    _last_Ut: Any
    """Kept for callers that read it: None unless they write it; the block does not use it."""
    def __init__(self, max_cache: int = 10000) -> None:
        """Create a delay with an empty history.

        Args:
            max_cache: Length of the history in samples, exactly an int of
                at least 1 (default 10000); the largest delay is max_cache - 1.

        Raises:
            TypeError: max_cache is not exactly an int.
            ValueError: "max_cache must be a positive integer, but got 0."
        """
    def __call__(self, Ut: Any, nLag: SupportsIndex = 1) -> Any:
        """Enter Ut into the history and return the input of nLag calls earlier.

        nLag 0 returns Ut itself. A new Delay called with 5.0, 6.0, 7.0 (nLag 1)
        returns 5.0, 5.0, 6.0.

        Args:
            Ut: The current input, any object (None only once the history
                is filled).
            nLag: Delay in calls, an integer with 0 <= nLag < max_cache
                (default 1).

        Returns:
            The entry nLag calls old, as it was passed.

        Raises:
            ValueError: "Ut is None and cache is empty." on a first call with
                None (the history stays empty); "nLag must be between 0 and
                9999, but got 10000." for an nLag out of range (Ut has been
                entered all the same).
            TypeError: nLag is not an integer (a float or bool included);
                nothing changes.
        """
    @property
    def _cache(self) -> deque[Any]:
        """A copy of the history, newest input first (a collections.deque with maxlen max_cache)."""
    def __getstate__(self) -> tuple[int, list[Any], Any]:
        """The state (max_cache, history newest first, _last_Ut)."""
    def __setstate__(self, state: tuple[int, list[Any], Any]) -> None:
        """Restore a state made by __getstate__.

        Raises:
            TypeError, ValueError: Not such a tuple, a max_cache below 1, or a
                history that is neither empty nor max_cache long.
        """

class Delay_Algorithm:
    """Pure delay in function-block style: write Ut and nLag, call(), read Yt.

    Ut, Yt and nLag are class attributes that serve as defaults until an
    instance assigns its own. The float history U_array (newest first) is
    filled with the first input, grows to nLag + 1 samples (with copies of
    its oldest value) when nLag rises and never shrinks, so an older history
    is available again when nLag rises later. With nLag 2 and inputs 1, 2,
    3, 4, Yt is 1, 1, 1, 2. copy.deepcopy and pickle keep the instance
    attributes.
    """

    Ut: float = 0
    """Current input, written by the caller before each call() (default 0)."""
    Yt: float = 0
    """Output: the input of nLag calls earlier, written by call() (default 0)."""
    nLag: int = 1
    """Delay in calls, a non-negative integer written by the caller (default 1)."""
    U_array: npt.NDArray[np.float64]
    """Input history, float, newest at index 0; empty before the first call."""
    def __init__(self) -> None:
        """Create the block with an empty U_array."""
    def call(self) -> None:
        """One sample: enter Ut into U_array and set Yt to the input of nLag calls earlier.

        A call that raises leaves U_array and Yt as they were.

        Raises:
            ValueError: "nLag must be non-negative, but got -1."; or NumPy's
                error for a Ut that cannot be stored as a float.
            TypeError: nLag is not an integer (a float or bool included).
            OverflowError: nLag is too large.
        """
    def __reduce__(self) -> tuple[type[Delay_Algorithm], tuple[()], _DictState]:
        """Pickle and copy by the instance dictionary (with a subclass's __slots__ values)."""

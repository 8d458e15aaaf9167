"""On-delay and off-delay timers and a set/reset flip-flop, counted in calls.

All three are function-block style: write the input attributes, call call()
once per sample, read the output attributes. Time is counted in calls
(samples), not seconds. The attributes are class attributes that serve as
defaults until an instance assigns its own; copy.deepcopy and pickle keep the
instance attributes.
"""
from typing import Any

import numpy as np
import numpy.typing as npt

# The instance dictionary, with the values of a subclass's __slots__ beside it.
_DictState = dict[str, Any] | tuple[dict[str, Any], dict[str, Any]]

class TONtrigger:
    """On-delay timer: write Ut and DT, call(), read Yt (and ET).

    For inputs 0 and 1, Yt becomes 1 on the DT-th consecutive call with Ut 1
    (the call of the rising edge counts as the first) and drops to 0 at once
    with Ut 0; with DT 1 the output follows the input. With DT 3 and inputs
    1, 1, 1, 1, 0, 1: Yt 0, 0, 1, 1, 0, 0 and ET 2, 1, 0, 0, 3, 2. The input
    is stored as an integer, truncated toward zero (0.7 counts as 0, True as
    1). The first call behaves as if the previous input had been 0. When DT
    is lowered during a countdown, the timer fires on the DT-th call counting
    the call of the change as the first.
    """

    Ut: float = 0
    """Input, written by the caller before each call(); 0 means off (default 0)."""
    Yt: int = 0
    """Output, 0 or 1, written by call() (default 0)."""
    DT: int = 3
    """Delay in calls, an integer >= 1 (default 3)."""
    ET: int = 0
    """Remaining count of the running delay, written by call(): DT - 1 at the edge,
    down by one per call, reloaded to DT on every call with input 0."""
    Ut_array: npt.NDArray[np.int64]
    """[current input, previous input] as integers; [0, 0] before the first call."""
    def __init__(self) -> None:
        """Create the timer with Ut_array [0, 0]."""
    def call(self) -> None:
        """One sample: read Ut and DT, update Ut_array and ET, set Yt.

        Raises:
            TypeError, ValueError, OverflowError: DT or ET is not a number,
                or Ut cannot be stored as an integer; nothing changes.
        """
    def __reduce__(self) -> tuple[type[TONtrigger], tuple[()], _DictState]:
        """Pickle and copy by the instance dictionary (with a subclass's __slots__ values)."""

class TOFFtrigger:
    """Off-delay timer: write Ut and DT, call(), read Yt (and ET).

    Yt becomes 1 at once with a positive Ut and, for inputs 0 and 1, drops to
    0 on the DT-th consecutive call with Ut 0 (the call of the falling edge
    counts as the first). With DT 3 and inputs 1, 0, 0, 0, 1: Yt 1, 1, 1, 0, 1
    and ET 3, 2, 1, 0, 3. An input that stays 0 from the first call keeps Yt
    0. The input is stored as an integer, truncated toward zero. When DT is
    lowered during a countdown, the timer drops on the DT-th call counting
    the call of the change as the first.
    """

    Ut: float = 0
    """Input, written by the caller before each call(); 0 means off (default 0)."""
    Yt: int = 0
    """Output, 0 or 1, written by call() (default 0)."""
    DT: int = 3
    """Delay in calls, an integer >= 1 (default 3)."""
    ET: int = 0
    """Remaining count of the running delay, written by call(): DT - 1 at the falling
    edge, down by one per call, reloaded to DT on every call with a positive input."""
    Ut_array: npt.NDArray[np.int64]
    """[current input, previous input] as integers; [0, 0] before the first call."""
    def __init__(self) -> None:
        """Create the timer with Ut_array [0, 0]."""
    def call(self) -> None:
        """One sample: read Ut and DT, update Ut_array and ET, set Yt.

        Raises:
            TypeError, ValueError, OverflowError: DT or ET is not a number,
                or Ut cannot be stored as an integer; nothing changes.
        """
    def __reduce__(self) -> tuple[type[TOFFtrigger], tuple[()], _DictState]:
        """Pickle and copy by the instance dictionary (with a subclass's __slots__ values)."""

class RStrigger:
    """Set/reset flip-flop with reset priority: write S and R, call(), read Q and nQ.

    S true and R false sets Q True; R true resets Q to False (also with S
    true); both false hold the previous Q, read from Q_array (a value written
    into Q directly is ignored by the hold and overwritten). nQ is always
    not Q after a call. With (S, R) = (1, 0), (0, 0), (1, 1), (0, 0), (0, 1):
    Q True, True, False, False, False.
    """

    S: Any = 0
    """Set input, any truth value (default 0)."""
    R: Any = 0
    """Reset input, any truth value; it has priority over S (default 0)."""
    Q: bool | np.bool_ = False  # True/False when set or reset, Q_array[0] when holding
    """Output: True or False when set or reset, the stored Q_array[0] (a numpy.bool_) when holding."""
    nQ: bool = True
    """Complementary output, not Q (default True)."""
    Q_array: npt.NDArray[np.bool_]
    """The flip-flop's memory: a one-element bool array holding the previous Q ([False] at first)."""
    def __init__(self) -> None:
        """Create the flip-flop with Q_array [False]."""
    def call(self) -> None:
        """One sample: Q = False if R, True if S, else Q_array[0]; nQ = not Q; Q_array[0] = Q.

        Raises:
            Whatever the truth value of S or R raises; nothing changes.
        """
    def __reduce__(self) -> tuple[type[RStrigger], tuple[()], _DictState]:
        """Pickle and copy by the instance dictionary (with a subclass's __slots__ values)."""

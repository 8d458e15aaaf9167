"""Pseudo-random two-level test signal generator for plant tests."""
from typing import Any

import numpy as np
import numpy.typing as npt

_Number = Any

class TestSignal:
    """Pseudo-random two-level test signal with periods of 2*ET seconds.

    Time is cut into periods of 2*ET seconds, aligned to multiples of 2*ET
    of absolute time. In every period the signal is +amplitude from the
    period's start until a switching instant drawn between 10 % and 90 % of
    the period (whole seconds), and -amplitude for the rest. The output is a
    pure function of the time, the settings and a table of 10000 switching
    fractions drawn at construction (period k uses entry k % 10000), so two
    generators built with the same seed give the same signal at the same
    instant. Defaults: ET 10 s (periods of 20 s), amplitude 1.0.
    copy.deepcopy and pickle keep the table and the settings.
    """

    def __init__(self, SEED: Any = None) -> None:
        """Seed NumPy's global legacy generator with SEED and draw the switching table.

        The table is numpy.random.randint(10, 91, 10000) / 100 after
        numpy.random.seed(SEED): exactly NumPy's draws for that seed. The
        seeding acts on the process-wide generator, so it also fixes what
        every later user of numpy.random's legacy functions draws.

        Args:
            SEED: Any seed numpy.random.seed takes; None (default) draws a
                fresh seed from the operating system, so the table differs
                from run to run.
        """
    def get_ET(self) -> int:
        """Half the period length, in seconds."""
    def set_ET(self, ET: Any = 10) -> None:
        """Set the half period to int(ET) seconds (truncated toward zero: 7.9 gives 7; default 10).

        It takes effect at the next call and moves the whole period grid
        (boundaries at multiples of 2*ET of absolute time). ET 0 makes every
        call fail with ZeroDivisionError.
        """
    def get_amplitude(self) -> _Number:
        """The amplitude, as stored."""
    def set_amplitude(self, amp: _Number = 1.0) -> None:
        """Set the amplitude to amp if amp > 0.0, else 0.0 (a zero signal); stored as passed (default 1.0)."""
    def __call__(self, t: int | None = None) -> tuple[_Number, int, int, int, int, int]:
        """The signal at time t and the times to its next five switching instants.

        Args:
            t: Time in whole seconds since the epoch, an int; None (default)
                takes int(wall-clock time).

        Returns:
            (U, next1, next2, next3, next4, next5): U is +amplitude or
            -amplitude; next1 ... next5 are the seconds from t to the next
            five switching instants, in non-decreasing order. Example with
            ET 10 and table entries 0.35, 0.5, 0.9 for periods 2, 3, 4:
            t 40 gives (1.0, 7, 20, 30, 40, 58), t 49 gives
            (-1.0, 11, 21, 31, 49, 51).

        Raises:
            ZeroDivisionError: ET is 0.
            IndexError, TypeError: t is not an integer (a float fails in
                NumPy's indexing, a string in the arithmetic).
        """
    @property
    def _rand_arr(self) -> npt.NDArray[np.float64]:
        """The switching fractions (0.10 to 0.90), one per period, used cyclically.

        A view of the generator's own table: writing into it takes effect;
        assigning a sequence copies its values in.
        """
    @_rand_arr.setter
    def _rand_arr(self, values: npt.ArrayLike) -> None: ...
    @property
    def _ET(self) -> int:
        """Half period in seconds, as stored."""
    @_ET.setter
    def _ET(self, value: Any) -> None: ...
    @property
    def _amp(self) -> _Number:
        """Amplitude, as stored."""
    @_amp.setter
    def _amp(self, value: _Number) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The state {"_rand_arr": a copy of the table, "_ET": ..., "_amp": ...}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__ (the table copied in as a one-dimensional float array).

        Raises:
            ValueError: A table of more than one dimension.
        """

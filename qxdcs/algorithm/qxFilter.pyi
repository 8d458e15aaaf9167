"""Discrete and continuous transfer-function filters working around an operating point.

Both filters work in deviations: the output is y_ini + H*(u - u_ini) from a
zero state, so an input held at u_ini keeps the output at y_ini and a filter
can be switched into a running signal without a jump. An operating point not
given at construction is taken from the first call. Per-sample and block
calls share the state and may be mixed; results agree with
scipy.signal.lfilter to the last bit.
"""
from typing import Any, Iterable, Optional, Union

import numpy as np
import numpy.typing as npt

_Real = Union[float, int]
_Coefficients = Union[npt.ArrayLike, Iterable[_Real]]

class zFilter:
    """Discrete transfer-function filter Bz(z^-1)/Az(z^-1) in deviations around (u_ini, y_ini).

    y(k) = y_ini + H(z)*(u(k) - u_ini), with H(z) = (b0 + b1*z^-1 + ...) /
    (a0 + a1*z^-1 + ...) normalised by a0, started from an all-zero history.
    The default is the unit-gain first-order lag 0.1*z^-1 / (1 - 0.9*z^-1).
    There is no reset and no way to change the coefficients: make a new
    filter. copy.deepcopy and pickle keep the whole state.
    """

    def __init__(
        self,
        Bz: _Coefficients = [0, 0.1],
        Az: _Coefficients = [1, -0.9],
        u_ini: Optional[_Real] = None,
        y_ini: Optional[_Real] = None,
    ) -> None:
        """Create the filter with a zero state.

        Args:
            Bz: Numerator coefficients b0, b1, ... of z^0, z^-1, ...
                (default [0, 0.1]); copied as a float array.
            Az: Denominator coefficients a0, a1, ... (default [1, -0.9]).
            u_ini: Input operating point; None takes the first call's input.
            y_ini: Output operating point; None takes the first call's y_ini
                argument.

        Raises:
            ValueError: A zero a0 ("First `a` filter coefficient must be
                non-zero."), an empty Az, or coefficients of more than one
                dimension.
            TypeError: A coefficient argument that is a single number, or an
                operating point that is not a real number or None.
        """
    def __call__(self, Ut: float, y_ini: float = 0.0) -> float:
        """Filter one input sample and return the output for it.

        Args:
            Ut: The input of this sample.
            y_ini: The output operating point, used only while it is still
                unset (the first call of a filter built without y_ini);
                ignored afterwards (default 0.0).

        Raises:
            TypeError: Ut or y_ini is not a real number (nothing changes).
            ValueError: The numerator is empty.
        """
    def run(self, Ut: float, y_ini: float = 0.0) -> float:
        """The same as calling the filter: one sample, returns its output."""
    def run_multistep(self, U_arr: npt.ArrayLike, y_ini: float = 0.0) -> npt.NDArray[np.float64]:
        """Filter a block of input samples; returns the outputs as a new float array.

        Continues from the state that earlier calls left, and later calls
        continue from the state it leaves: n samples as one block give the
        same outputs as n per-sample calls. An unset input operating point is
        taken from U_arr[0].

        Args:
            U_arr: One-dimensional sequence or array of input samples.
            y_ini: Output operating point while still unset (default 0.0).

        Raises:
            IndexError: U_arr is empty while the input operating point is
                still unset (nothing changes).
            ValueError: U_arr has more than one dimension.
        """
    @property
    def _Bz(self) -> npt.NDArray[np.float64]:
        """Numerator coefficients b0, b1, ... (a read-only float array)."""
    @property
    def _Az(self) -> npt.NDArray[np.float64]:
        """Denominator coefficients a0, a1, ... (a read-only float array)."""
    @property
    def _u_ini(self) -> Optional[Any]:
        """Input operating point (None until the first call supplies it)."""
    @property
    def _y_ini(self) -> Optional[Any]:
        """Output operating point (None until the first call supplies it)."""
    @property
    def _zi(self) -> npt.NDArray[np.float64]:
        """Filter state as scipy.signal.lfilter's zi, max(len(Bz), len(Az)) - 1 values.

        The live array: it changes as the filter runs, and writing into it
        (or assigning a sequence of that length) changes the filter.
        """
    @_zi.setter
    def _zi(self, value: npt.ArrayLike) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (coefficients, operating point, filter state) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__, checked as the constructor checks.

        Raises:
            KeyError: An attribute is missing.
            ValueError: Invalid coefficients, or a _zi of the wrong length.
        """

class sFilter:
    """Continuous transfer-function filter Bs(s)/As(s), discretised with a zero-order hold.

    Discretised once, at construction (scipy.signal.cont2discrete, zero-order
    hold at Ts), and run by an inner zFilter (_zfilter), which holds the
    operating point and the state. The default 1/(5*s + 1) at Ts 1 gives
    [0, 0.181269] / [1, -0.818731]: the output reacts one sample after the
    input. copy.deepcopy and pickle keep the whole state.
    """

    def __init__(
        self,
        Bs: _Coefficients = [1],
        As: _Coefficients = [5, 1],
        Ts: Any = 1,
        u_ini: Optional[_Real] = None,
        y_ini: Optional[_Real] = None,
    ) -> None:
        """Create the filter with a zero state.

        Args:
            Bs: Numerator coefficients, highest power of s first (default [1]).
            As: Denominator coefficients, highest power of s first
                (default [5, 1]).
            Ts: Sample period in seconds (the time unit of the coefficients),
                stored as passed (default 1).
            u_ini: Input operating point; None takes the first call's input.
            y_ini: Output operating point; None takes the first call's y_ini
                argument.

        Raises:
            ValueError, TypeError: As for zFilter, and whatever
                cont2discrete refuses.
        """
    def __call__(self, Ut: float, y_ini: float = 0.0) -> float:
        """Filter one input sample and return the output for it.

        Args:
            Ut: The input of this sample.
            y_ini: The output operating point, used only while it is still
                unset; ignored afterwards (default 0.0).

        Raises:
            TypeError: Ut or y_ini is not a real number (nothing changes).
        """
    def run(self, Ut: float, y_ini: float = 0.0) -> float:
        """The same as calling the filter: one sample, returns its output."""
    def run_multistep(self, U_arr: list[_Real], y_ini: float = 0.0) -> npt.NDArray[np.float64]:
        """Filter a block of input samples; returns the outputs as a new float array.

        Shares the state with the per-sample call (see zFilter.run_multistep).

        Args:
            U_arr: The input samples, exactly a list.
            y_ini: Output operating point while still unset (default 0.0).

        Raises:
            TypeError: U_arr is not exactly a list ("Argument 'U_arr' has
                incorrect type (expected list, got tuple)"); nothing changes.
            IndexError: U_arr is empty while the input operating point is
                still unset.
        """
    @property
    def _Bs(self) -> npt.NDArray[np.float64]:
        """Continuous numerator, highest power of s first (a read-only float array)."""
    @property
    def _As(self) -> npt.NDArray[np.float64]:
        """Continuous denominator, highest power of s first (a read-only float array)."""
    @property
    def _Ts(self) -> Any:
        """Sample period in seconds, as passed."""
    @property
    def _zfilter(self) -> zFilter:
        """The zFilter holding the discrete coefficients, the operating point and the state."""
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (continuous coefficients, Ts and the inner zFilter) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__.

        Raises:
            KeyError: An attribute is missing.
            TypeError: _zfilter is not a zFilter.
        """

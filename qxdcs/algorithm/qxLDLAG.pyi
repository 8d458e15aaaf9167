"""First-order lead-lag filter with unit gain, (alpha*tao*s+1)/(tao*s+1).

The parameters alpha and tao may be changed while the filter runs, without a
jump in the output. The module also gives the continuous step response of the
same filter (filter_stp) and a demonstration (main).
"""
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

_Real = Union[float, int]

def positive_parameter_property(name: str, expected_type: Union[type, tuple[type, ...]]) -> property:
    """A validated property for the attribute "_" + name of an object with _modify_param().

    Reading returns the stored attribute. Writing a value v: v must be an
    instance of expected_type and not below 0; a v equal to the stored value
    changes nothing; otherwise v is stored as passed and the object's
    _modify_param() is called (should that fail, the old value is put back).

    Args:
        name: The attribute name without the leading underscore, exactly a str.
        expected_type: A type or a tuple of types for isinstance.

    Raises (on writing):
        TypeError: "{name} must be a {expected_type}" for a value of another type.
        ValueError: "Expected a non-negative value." for a negative value.
    """

class LDLAG:
    """First-order lead-lag filter with unit static gain, (alpha*tao*s + 1)/(tao*s + 1).

    alpha is where the unit step response starts (0: the pure lag
    1/(tao*s + 1); 1: a pass-through; above 1: a lead); tao is the time
    constant in seconds. Discretised with a zero-order hold at Ts; with
    alpha 0 the lag answers in the same sample as its input
    (b1 / (1 - e^(-Ts/tao)*z^-1), b1 = 1 - e^(-Ts/tao)). tao 0 passes the
    input through.

    The filter works on absolute values and keeps its last input and output:
    a fresh filter starts in steady state at its first input (the first
    output equals the first input), and writing alpha or tao rebuilds the
    state around the last input and output, so the output continues without
    a jump. copy.deepcopy and pickle keep the whole state.
    """

    @property
    def alpha(self) -> _Real:
        """Lead factor: the start of the unit step response, >= 0 (an int stays an int).

        Writing a new value recomputes the filter around the last input and
        output; writing the stored value changes nothing.

        Raises (on writing):
            TypeError: Not a float or int ("alpha must be a (<class 'float'>,
                <class 'int'>)"); nothing changes.
            ValueError: "Expected a non-negative value."; nothing changes.
        """
    @alpha.setter
    def alpha(self, value: _Real) -> None: ...
    @property
    def tao(self) -> _Real:
        """Time constant in seconds, >= 0 (0: pass-through); validated as alpha is.

        Raises (on writing):
            TypeError: Not a float or int; nothing changes.
            ValueError: "Expected a non-negative value."; nothing changes.
        """
    @tao.setter
    def tao(self, value: _Real) -> None: ...

    def __init__(
        self,
        alpha: float = 0.0,
        tao: float = 5.0,
        Ts: int = 1,
        u_ini: Optional[_Real] = None,
        y_ini: Optional[_Real] = None,
    ) -> None:
        """Create the filter.

        Args:
            alpha: Lead factor (default 0.0: a pure lag).
            tao: Time constant in seconds (default 5.0).
            Ts: Sample period in whole seconds, exactly an int (default 1);
                it cannot be changed later.
            u_ini: Last input to start from; with y_ini given too the state
                is set as if the last input had been u_ini and the last
                output y_ini. Otherwise the first call starts in steady
                state at its input.
            y_ini: Last output to start from (see u_ini).

        Raises:
            TypeError: Ts is not exactly an int ("Argument 'Ts' has
                incorrect type (expected int, got float)"), or alpha, tao
                or an operating point is not a real number.
            ValueError: A negative tao, or a negative alpha with a non-zero
                tao ("LDLAG needs alpha >= 0 and tao >= 0 (alpha=..., tao=...)").
        """
    def __call__(self, u: float) -> float:
        """Filter one input sample and return the output for it.

        Raises:
            TypeError: u is not a real number (nothing changes).
        """
    def run(self, u: float) -> float:
        """The same as calling the filter: one sample, returns its output."""
    def multi_step(self, u: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Filter a block of input samples (at least one); returns the outputs as a new array.

        The same outputs as one per-sample call per sample; later calls
        continue from the block's last input and output.

        Raises:
            IndexError: u is empty (nothing changes).
            ValueError: u has more than one dimension.
        """
    def _modify_param(self) -> None:
        """Recompute the coefficients for alpha, tao and Ts, and the state from the last input and output."""
    _alpha: _Real
    """Lead factor as stored (write it through alpha)."""
    _tao: _Real
    """Time constant as stored (write it through tao)."""
    @property
    def _Ts(self) -> int:
        """Sample period in seconds (an int)."""
    @property
    def _u_ini(self) -> Optional[Any]:
        """Last input (before the first call: the input operating point or None)."""
    @property
    def _y_ini(self) -> Optional[Any]:
        """Last output (before the first call: the output operating point or None)."""
    @property
    def _b(self) -> npt.NDArray[np.float64]:
        """Discrete numerator (a read-only float array)."""
    @property
    def _a(self) -> npt.NDArray[np.float64]:
        """Discrete denominator (a read-only float array)."""
    @property
    def _zi(self) -> Optional[npt.NDArray[np.float64]]:
        """Filter state as scipy.signal.lfilter's zi, or None until it can be set (the live array)."""
    @_zi.setter
    def _zi(self, value: Optional[npt.ArrayLike]) -> None: ...
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (parameters, last input and output, coefficients, filter state) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__, checked as the constructor checks.

        Raises:
            KeyError: An attribute is missing.
            TypeError: _Ts is not exactly an int.
            ValueError: "LDLAG state needs _alpha >= 0 and _tao >= 0", or
                invalid coefficients or state.
        """

def filter_stp(N: int, tao: float, alpha: float, r1: float = 0.0, r2: float = 1.0) -> npt.NDArray[np.float64]:
    """Unit-step response of (alpha*tao*s+1)/(tao*s+1) at t = 0, 1, ..., N-1, scaled from r1 to r2.

    r1 + (r2 - r1)*(1 - (1 - alpha)*exp(-t/tao)), one sample being one time
    unit; all r2 when tao <= 0. The curve starts at r1 + (r2 - r1)*alpha and
    approaches r2 (alpha above 1 overshoots, a negative alpha starts with an
    inverse response). filter_stp(3, 5, 0) gives [0, 1 - e^-0.2, 1 - e^-0.4].

    Args:
        N: Number of samples, exactly an int.
        tao: Time constant in samples.
        alpha: Lead factor.
        r1: Level before the step (default 0.0).
        r2: Level after the step (default 1.0).

    Raises:
        TypeError: N is not exactly an int.
        ValueError: A negative N with tao <= 0.
    """

def main() -> None:
    """Draw the lead-lag demonstration: three figures, shown in turn.

    The continuous step curves of five (alpha, tao) pairs, LDLAG filters with
    the same pairs on a unit step, and the filters on a test signal.

    Raises:
        ImportError: Matplotlib is not installed.
    """

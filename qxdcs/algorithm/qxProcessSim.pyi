"""Process simulation: model elements, a MIMO simulator built from a model dictionary, and
step responses of a model dictionary.

The model dictionary describes a process as CV tag -> MV tag -> model
entry, where a CV (controlled variable) is a process output and an MV
(manipulated variable) a process input. An entry is a dict:

* "mode": "tf_s", "tf_z", "stp" or "stpxy"; missing or "None": the MV has no
  effect on the CV (as has a missing or empty entry).
* "tf_s": "num_s", "den_s" (continuous transfer function, descending powers
  of s), "iodelay_s" (dead time in seconds, default 0).
* "tf_z": "num_z", "den_z" (discrete, coefficients of z^0, z^-1, ...),
  "iodelay_z" (dead time in whole samples, default 0).
* "stp": "stp" (step response: element j is the output j samples after a
  unit input step, element 0 in the step's own sample).
* "stpxy": "x" (instants in samples, increasing), "y" (step-response values).
* "IntegralMark": any true value adds an integrator in series (default 0).

Keys a mode does not read are ignored. Every element works in deviations from
the initial values; the simulator adds the CVs' initial values.
"""
from collections.abc import Mapping, Sequence
from types import ModuleType
from typing import Any, Union

import numpy as _np
import numpy.typing as _npt

np: ModuleType
signal: ModuleType
copy: ModuleType
qxcommon: ModuleType

_Real = Union[float, int]
_Coefficients = Union[_npt.ArrayLike, Sequence[_Real]]
_ModelDict = dict[str, dict[str, dict[str, Any]]]

class model:
    """Abstract base of the model elements; subclasses define deltaU_sim.

    An element stands for one CV/MV pair: each deltaU_sim(dU) call advances it
    by one sample with the input's deviation from its initial value and
    returns the output's deviation. A Python subclass that defines
    deltaU_sim can be used in a MISOSimulator. copy.deepcopy and pickle keep
    an element's coefficients and state.
    """

    def __init__(self) -> None:
        """Initialise an element of a subclass that defines deltaU_sim.

        Raises:
            TypeError: "Can't instantiate abstract class model with abstract
                method deltaU_sim" for model itself, or for a subclass that
                does not define deltaU_sim.
        """
    def deltaU_sim(self, dU: float) -> Any:
        """Abstract: advance one sample with the input deviation dU and return the output deviation."""
    def __getstate__(self) -> dict[str, Any]:
        """The element's state (coefficients and filter state; empty for no_model)."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__, checked as the constructor checks."""

class no_model(model):
    """Zero response: the MV has no effect on the CV."""

    def __init__(self) -> None:
        """Create the element (it holds nothing)."""
    def deltaU_sim(self, dU: float = 0.0) -> float:
        """Return 0.0 for any real dU (default 0.0).

        Raises:
            TypeError: dU is not a real number.
        """

class tfz_model(model):
    """Discrete transfer function with a dead time of `delay` whole samples.

    num(z^-1)/den(z^-1) * z^-delay, the dead time as leading zeros of Gz_num.
    One deltaU_sim call is one sample of scipy.signal.lfilter(Gz_num, Gz_den,
    [dU], zi=_zi), normalised by Gz_den[0], to the last bit. The defaults
    give y[k] = 1.5*y[k-1] - 0.7*y[k-2] + x[k-1] + 0.5*x[k-2]: a unit step
    returns 0, 1, 3, 5.3, 7.35, ... The state starts at zero (at rest) and
    holds max(len(Gz_num), len(Gz_den)) - 1 values; a dead time of 25
    samples costs 25 of them.
    """

    def __init__(
        self,
        num: _Coefficients = [0, 1, 0.5],
        den: _Coefficients = [1, -1.5, 0.7],
        delay: int = 0,
    ) -> None:
        """Create the element at rest.

        Args:
            num: Numerator coefficients of z^0, z^-1, ... (default [0, 1, 0.5]).
            den: Denominator coefficients of z^0, z^-1, ...; den[0] need not be
                1 (default [1, -1.5, 0.7]).
            delay: Dead time in whole samples, a non-negative integer (default 0).

        Raises:
            TypeError: delay is not an integer (2.0 included:
                "`pad_width` must be of integral type.").
            ValueError: A negative delay, den[0] of 0 ("First `a` filter
                coefficient must be non-zero."), an empty numerator or
                denominator.
        """
    def deltaU_sim(self, dU: float) -> _np.float64:
        """Advance one sample with the input deviation dU; return the output deviation.

        Calling it twice in one sample period advances the element twice.

        Raises:
            TypeError: dU is not a real number (nothing changes).
        """
    def reset_zi(self) -> None:
        """Clear the filter state: inputs and outputs before now count as zero (the process at rest)."""
    @property
    def Gz_num(self) -> _npt.NDArray[_np.float64]:
        """Numerator for z^0, z^-1, ..., the dead-time zeros in front (a read-only float array)."""
    @property
    def Gz_den(self) -> _npt.NDArray[_np.float64]:
        """Denominator for z^0, z^-1, ... (a read-only float array)."""
    @property
    def _zi(self) -> Union[list[int], _npt.NDArray[_np.float64]]:
        """Filter state as lfilter's zi: a list of integer zeros after construction or
        reset_zi, then the live float array."""

class tfs_model(tfz_model):
    """Continuous transfer function with dead time, discretised by qxcommon.c2d.

    num(s)/den(s) * exp(-delay*s), discretised once, at construction, with a
    zero-order hold at Ts; the dead time becomes round(delay / Ts) whole
    samples (ties to even). Runs as a tfz_model.
    """

    def __init__(
        self,
        num: _Coefficients = [0, 1],
        den: _Coefficients = [5, 1],
        delay: _Real = 0,
        Ts: _Real = 1,
    ) -> None:
        """Create the element at rest.

        Args:
            num: Numerator coefficients, descending powers of s (default [0, 1]).
            den: Denominator coefficients, descending powers of s
                (default [5, 1]: 1/(5*s + 1)).
            delay: Dead time in seconds (default 0).
            Ts: Sample period in seconds (default 1).

        Raises:
            IndexError, ValueError, ZeroDivisionError: What c2d refuses (an
                all-zero numerator, a negative dead time, Ts 0).
        """

class stp_model(tfz_model):
    """Step-response model run as a finite-impulse-response filter.

    stp[j] is the output j samples after a unit input step, stp[0] in the
    step's own sample. An input deviation that steps to c gives c*stp[0],
    c*stp[1], ... and stays at c*stp[-1] after the last element. The filter
    is diff(stp, prepend=0) over [1.0]; its state holds len(stp) - 1 values.
    """

    def __init__(self, stp: _Coefficients = [0.5, 1, 2, 3, 4, 5]) -> None:
        """Create the element at rest from the step response stp, in samples (default [0.5, 1, 2, 3, 4, 5])."""

class stpxy_model(stp_model):
    """Step-response model given by breakpoints (x in samples).

    The points (x, y) are interpolated linearly at the samples 0, 1, ...,
    x[-1] (before x[0] the response is y[0]) and run as a stp_model:
    x [1, 2, 3], y [10, 20, 30] gives the step response [10, 10, 20, 30].
    """

    def __init__(self, x: Sequence[float] = [1, 2, 3], y: Sequence[float] = [10, 20, 30]) -> None:
        """Create the element at rest.

        Args:
            x: Instants of the points, in samples, increasing (default [1, 2, 3]).
            y: Step-response values at those instants (default [10, 20, 30]).

        Raises:
            AssertionError: x and y differ in length (no message).
        """

class MISOSimulator:
    """The contributions of all MVs to one CV.

    One model element per MV, with the MVs' initial values, both fixed at
    construction. MIMOSim keeps one per CV (cv_simulators).
    """

    def __init__(self, model_list: Sequence[model], u_ini_list: Sequence[float]) -> None:
        """Create the simulator of one CV.

        Args:
            model_list: The model elements, one per MV (any object with a
                deltaU_sim method; the package's own elements run natively).
            u_ini_list: The MVs' initial values, same order.

        Raises:
            TypeError: An initial value is not a real number.
        """
    def one_step_sim(self, u_list: Sequence[float]) -> float:
        """The CV's deviation for this sample: the sum of every element's deltaU_sim(u - u_ini).

        Every element advances by one sample. The three sequences are walked
        in step, stopping at the end of the shortest.

        Args:
            u_list: Current MV values (absolute), in the order of model_list.

        Raises:
            TypeError: A value is not a real number; no element has advanced.
        """
    @property
    def model_list(self) -> list[model]:
        """The model elements, one per MV (a new list of the live elements)."""
    @property
    def u_ini_list(self) -> list[float]:
        """The MVs' initial values (a new list)."""
    def __getstate__(self) -> dict[str, Any]:
        """The state {"model_list": [...], "u_ini_list": [...]}."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__."""

class MIMOSim:
    """Multi-input multi-output process simulator built from a model dictionary.

    Call it once per sample period with the current MV values; it returns the
    current CV values. It works with absolute values at its interface and in
    deviations from the initial values inside: CV = sum over MVs of the
    pair's response to (MV - MV initial value) + disturbance + CV initial
    value. Every pair of CV tags x MV tags gets an element (a no_model where
    the dictionary has none). The model is fixed at construction: the
    simulator keeps its own deep copy, and no operation changes it.

    Tags: the CVs are the dictionary's keys in order; the MVs every MV tag
    under any CV, each once, in order of first occurrence. Every dictionary
    and list a getter or a call returns is new and the caller's; the
    dictionaries and the elements cannot be reached through them.
    copy.deepcopy and pickle keep the whole state: a copy continues the
    simulation where the original stood.
    """

    def __init__(
        self,
        process_model_dict: _ModelDict,
        ini_value_dict: Mapping[str, _Real] = {},
        Ts: _Real = 1,
    ) -> None:
        """Build one element per CV/MV pair and start at the initial values, at rest.

        Args:
            process_model_dict: The model dictionary (see the module), exactly
                a dict; deep-copied.
            ini_value_dict: Initial values by tag, CVs and MVs in one
                dictionary; a missing tag counts as 0.0 (default {});
                deep-copied.
            Ts: Sample period in seconds, passed to every "tf_s" element
                (default 1).

        Raises:
            TypeError: process_model_dict is not exactly a dict ("Argument
                'process_model_dict' has incorrect type (expected dict, got
                ...)").
            KeyError: A key that the pair's mode requires is missing (the key).
            AssertionError: An unknown mode (no message).
            AttributeError: An inner value of the model dictionary is not a dict.
            TypeError, ValueError, IndexError: What an element refuses
                (c2d's and NumPy's errors).
        """
    def __call__(
        self, u_Value_Dict: Mapping[str, _Real] = {}, v_Value_Dict: Mapping[str, _Real] = {}
    ) -> dict[str, float]:
        """One sample: every element advances by one sample; returns a new dictionary CV tag -> value.

        Everything passed is checked before anything changes, so a call that
        raises leaves the simulator as it was.

        Args:
            u_Value_Dict: Current MV values by tag; entries for other tags are
                ignored, MVs not given keep their last value (at first their
                initial value) (default {}).
            v_Value_Dict: Additive CV disturbances by tag, for this call's
                result only: they do not pass through the dynamics and are
                not remembered; other tags are ignored (default {}).

        Raises:
            TypeError: An MV value or disturbance is not a real number.
            AttributeError: u_Value_Dict has no items() (None: "'NoneType'
                object has no attribute 'items'") or v_Value_Dict no get().
        """
    def reset(self) -> None:
        """Back to the process at rest at its initial values.

        The MV and CV values return to the initial values and every element's
        filter state is cleared, so calls with the MVs at their initial values
        return the CVs' initial values.
        """
    def get_process_tags(self) -> list[str]:
        """A new list: the CV tags, then the MV tags."""
    def get_input_data_dict(self) -> dict[str, float]:
        """A new dictionary MV tag -> current value, in MV order."""
    def get_output_data_dict(self) -> dict[str, float]:
        """A new dictionary CV tag -> current value, in CV order."""
    def get_all_data_dict(self) -> dict[str, float]:
        """A new dictionary: the MV values updated with the CV values (a tag that is both takes the CV's)."""
    def get_cv_list(self) -> list[str]:
        """A new list of the CV tags."""
    def get_mv_list(self) -> list[str]:
        """A new list of the MV tags."""
    def get_model_dict(self) -> _ModelDict:
        """A deep copy of the model dictionary."""
    def plot_model_stp(self, plotLen: int = 300) -> None:
        """Plot the step responses of the simulator's model: plot_model_stp(model, Ts, plotLen).

        Args:
            plotLen: Length of each response in samples, exactly an int
                (default 300).

        Raises:
            TypeError: plotLen is not exactly an int, or Ts is neither an
                int nor a float.
        """
    @property
    def Ts(self) -> Any:
        """Sample period in seconds, as passed."""
    @property
    def process_model_dict(self) -> _ModelDict:
        """The model dictionary (a deep copy)."""
    @property
    def ini_value_dict(self) -> Any:
        """The initial values by tag (a deep copy)."""
    @property
    def cv_list(self) -> list[str]:
        """The CV tags (a new list)."""
    @property
    def mv_list(self) -> list[str]:
        """The MV tags (a new list)."""
    @property
    def yu_model_obj(self) -> dict[str, dict[str, model]]:
        """A new dictionary CV tag -> (MV tag -> the live model element)."""
    @property
    def cv_simulators(self) -> dict[str, MISOSimulator]:
        """A new dictionary CV tag -> the live MISOSimulator of that CV."""
    @property
    def _u_dict(self) -> dict[str, float]:
        """Current MV values (a new dictionary)."""
    @property
    def _y_dict(self) -> dict[str, float]:
        """Current CV values (a new dictionary)."""
    def __getstate__(self) -> dict[str, Any]:
        """The whole state: Ts, the model and initial-value dictionaries, the elements and the current values."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__.

        Raises:
            TypeError: An element that is not a constructed model element of
                this module, or a model dictionary that is not a dict.
            KeyError: An attribute, or a value of a tag, is missing.
        """

class SISOSim(MIMOSim):
    """A MIMOSim of one first-order pair with dead time, from "MV" to "CV".

    gain/(tao*s + 1) * exp(-delay*s), with an integrator in series when
    integralMark is true, initial values 0.0. Call it with {"MV": u} and read
    "CV" from the result: SISOSim(1, 1) answers a unit step with 0,
    0.6321..., 0.8646...
    """

    def __init__(
        self, gain: _Real, tao: _Real, delay: _Real = 0, Ts: _Real = 1, integralMark: Any = 0
    ) -> None:
        """Build the one-pair model and construct as MIMOSim with it.

        Args:
            gain: Static gain.
            tao: Time constant in seconds.
            delay: Dead time in seconds (default 0).
            Ts: Sample period in seconds (default 1).
            integralMark: Any true value adds an integrator (default 0).
        """

def get_model_tags(yu_model: Mapping[Any, Mapping[Any, Any]]) -> tuple[list[Any], list[Any]]:
    """All tags of a nested model dictionary (transfer-function or step-response), as (CV tags, MV tags).

    The CV tags are the keys in order (a CV with an empty inner dictionary
    included); the MV tags every inner key, each once, where it first occurs.
    {"CV1": {"MV1": ..., "MV2": ...}, "CV2": {"MV3": ..., "MV1": ...}} gives
    (["CV1", "CV2"], ["MV1", "MV2", "MV3"]). Always two lists.

    Raises:
        AttributeError: A value of yu_model is not a mapping.
    """
def get_model_stp(
    yu_model: _ModelDict, Ts: _Real = 1, length: int = 300
) -> dict[str, dict[str, list[float]]]:
    """Unit-step response of every CV/MV pair of a model dictionary, by simulation.

    Each pair is simulated alone, from rest, with zero initial values and a
    unit step of the MV in sample 0, so the responses are independent of
    each other and of any running simulator. An integrating pair gives a ramp.

    Args:
        yu_model: The model dictionary, exactly a dict.
        Ts: Sample period in seconds, exactly an int or a float (default 1).
        length: Number of samples, exactly an int (default 300).

    Returns:
        CV tag -> MV tag -> the responses in samples 0 ... length - 1 as a
        list of floats; [] for a flat response (max - min < 1e-6: no model,
        zero gain).

    Raises:
        TypeError: An argument of the wrong type (a bool Ts included).
        ValueError: length below 1 ("max() arg is an empty sequence").
        KeyError, AssertionError: A pair's model entry is refused (see MIMOSim).
    """
def plot_model_stp(yu_model: _ModelDict, Ts: _Real = 1, plotLen: int = 300) -> None:
    """Draw the step responses of a model dictionary as a grid and show it.

    One row per CV and one column per MV, 5 inches per cell, each cell titled
    "CV-MV"; flat responses have their tick labels hidden. Without Matplotlib
    it returns at once, drawing nothing. Sets Matplotlib's process-wide
    rcParams "font.sans-serif" to ["SimHei"] (for Chinese tag names) and
    "axes.unicode_minus" to False.

    Args:
        yu_model: The model dictionary, exactly a dict; tags must be strings.
        Ts: Sample period in seconds, exactly an int or a float (default 1).
        plotLen: Length of each response in samples, exactly an int (default 300).

    Raises:
        TypeError, ValueError: As get_model_stp; and Matplotlib's errors.
    """

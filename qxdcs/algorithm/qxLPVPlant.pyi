"""Linear parameter-varying plant simulator: local MIMO plants blended by a working value.

A process whose dynamics change with an operating condition (a load, a
throughput, a temperature) is described by local linear plants, each a model
dictionary of qxProcessSim identified at one working point. Every call
advances all local plants with the same inputs and blends the outputs of the
two whose working points enclose the current working value.
"""
from typing import Any, Mapping, Optional

from qxdcs.algorithm.qxProcessSim import MIMOSim

class LPVLocalPlant:
    """One local plant of an LPVPlantSim: a plain record, filled by LPVPlantSim.addPlant.

    copy.deepcopy and pickle keep every field, the simulator with its state.
    """

    def __init__(self) -> None:
        """Create an empty record (identifier, working point, plant and model None; Ts 1; weight 0.0)."""
    @property
    def plant_id(self) -> Optional[int]:
        """The plant's identifier (an int once added; None before)."""
    @plant_id.setter
    def plant_id(self, value: Any) -> None: ...
    @property
    def working_point(self) -> Optional[float]:
        """The working point the plant was identified at (a float once added; None before)."""
    @working_point.setter
    def working_point(self, value: Any) -> None: ...
    @property
    def plant(self) -> Optional[MIMOSim]:
        """The local simulator (a MIMOSim once added); it reports its CVs as deviations from 0."""
    @plant.setter
    def plant(self, value: Any) -> None: ...
    @property
    def yu_model_tf(self) -> Optional[dict[str, Any]]:
        """The local model dictionary, as passed to addPlant (not copied; the simulator keeps its own copy)."""
    @yu_model_tf.setter
    def yu_model_tf(self, value: Any) -> None: ...
    @property
    def Ts(self) -> int:
        """The sample period in seconds, an int (default 1)."""
    @Ts.setter
    def Ts(self, value: Any) -> None: ...
    current_weight: float
    """The plant's weight in the simulator's last call (0.0 to 1.0; 0.0 at first)."""
    def __getstate__(self) -> Any:
        """The record's fields by name."""
    def __setstate__(self, state: Any) -> None:
        """Restore a state made by __getstate__.

        Raises:
            KeyError: A field is missing.
            TypeError: current_weight is not a real number.
        """

class LPVPlantSim:
    """Local MIMO plants advanced together and blended by the working value.

    The plants are kept in ascending order of working point, at most one per
    working point. For a working value w the position p = interp(w,
    working points, 0 ... n-1) selects the plants floor(p) and ceil(p) with
    the weights 1 - (p - floor(p)) and p - floor(p); outside the covered
    range the nearest end plant is used alone. With plants at 10, 20 and 40,
    w 30 gives 0.5 to the plants at 20 and 40, w 15 gives 0.5 to those at 10
    and 20, w 5 the plant at 10 alone, w 50 the plant at 40 alone.

    Every local plant advances one sample on every call, whatever its weight.
    The local plants report deviations and the weights sum to 1, so a
    disturbance reaches the blended output once and the global CV initial
    value is added exactly once. Add at least one plant before the first
    call. copy.deepcopy and pickle keep the whole state: a copy continues
    the simulation where the original stood.
    """

    def __init__(self, ini_value_dict: Mapping[str, float] = {}) -> None:
        """Create a simulator without plants.

        Args:
            ini_value_dict: Initial values by tag, CVs and MVs in one
                dictionary; a missing tag counts as 0.0 (default {});
                deep-copied.
        """
    def addPlant(self, plant_id: int, working_point: float, yu_model_tf: dict[str, Any], Ts: int) -> None:
        """Add a local plant identified at working_point.

        A plant with the same identifier is replaced, and so is any older
        plant at the same working point. The local plant is a
        MIMOSim(yu_model_tf, Ts=Ts) whose CVs start at 0.0 (it reports
        deviations) and whose MVs start at the simulator's initial values;
        a replaced plant starts from rest, the others keep their states. New
        CV and MV tags enter the simulator's values at their initial values
        (default 0.0) and stay there, also after the plant is deleted.

        The new plant is built first: a model dictionary that MIMOSim refuses
        leaves the simulator exactly as it was, the plant it would have
        replaced included.

        Args:
            plant_id: The plant's identifier, exactly an int (a bool is refused).
            working_point: The working point, a real number (stored as a float).
            yu_model_tf: The local model dictionary, exactly a dict.
            Ts: Sample period in seconds, exactly an int.

        Raises:
            TypeError: An argument of the wrong type ("Argument 'Ts' has
                incorrect type (expected int, got float)").
            KeyError, AssertionError, ...: What MIMOSim refuses in the model.
        """
    def delPlant(self, plant_id: int) -> None:
        """Remove every local plant with this identifier; an unknown identifier changes nothing.

        Raises:
            TypeError: plant_id is not exactly an int.
        """
    def _sort_plant_list_by_working_point(self) -> None:
        """Sort plant_list by working point, keeping the first plant of each working point."""
    def __call__(
        self, working_value: float, u_Value_Dict: Mapping[str, float] = {},
        v_Value_Dict: Mapping[str, float] = {}
    ) -> dict[str, float]:
        """One sample: every local plant advances; returns a new dictionary CV tag -> blended value.

        Each local plant receives the caller's dictionaries unchanged (it
        keeps only its own MVs and adds the disturbances to its CVs). The CVs
        of the first enclosing plant are set to the blend plus their initial
        values; CVs that only other plants have keep their last value.

        Everything passed is checked before anything changes. Should a local
        plant's own code fail (a caller's simulator or model element), the
        working value, the MV values and the weights are restored, but the
        local plants before it have advanced and stay so.

        Args:
            working_value: The current working value, a real number.
            u_Value_Dict: Current MV values by tag; tags no plant uses are
                ignored (default {}).
            v_Value_Dict: Additive CV disturbances for this call (default {}).

        Raises:
            ValueError: No plant ("array of sample points is empty"), or a NaN
                working value or working point ("cannot convert float NaN to
                integer").
            KeyError: The second enclosing plant lacks a CV of the first.
            TypeError: working_value, an MV value or a disturbance is not a
                real number.
            AttributeError: A dictionary argument without items() or get().
        """
    def run(
        self, working_value: float, u_Value_Dict: Mapping[str, float] = {},
        v_Value_Dict: Mapping[str, float] = {}
    ) -> dict[str, float]:
        """The same as calling the simulator."""
    def get_input_data_dict(self) -> dict[str, float]:
        """A deep copy of the MV values: every MV of every plant ever added, in order of first appearance."""
    def get_output_data_dict(self) -> dict[str, float]:
        """A deep copy of the CV values: every CV of every plant ever added, in order of first appearance."""
    def get_all_data_dict(self) -> dict[str, float]:
        """A new dictionary: the MV values updated with the CV values."""
    def get_plant_dict(self) -> dict[int, LPVLocalPlant]:
        """A new dictionary plant_id -> LPVLocalPlant (the records themselves, not copies)."""
    def get_current_plant_weight_dict(self) -> dict[int, float]:
        """A new dictionary plant_id -> weight in the last call, in plant_list order."""
    def get_cv_list(self) -> list[str]:
        """A new list of the CV tags."""
    def get_mv_list(self) -> list[str]:
        """A new list of the MV tags."""
    def plot_model_stp(self, plant_id: Any, plotLen: Any = 300) -> None:
        """Step-response plot of the first local plant with this identifier (see MIMOSim.plot_model_stp).

        An unknown identifier, or no plants, draws nothing.

        Args:
            plant_id: The identifier of the plant to plot.
            plotLen: Length of each response in samples, exactly an int (default 300).
        """
    @property
    def plant_list(self) -> list[LPVLocalPlant]:
        """The local plants in ascending order of working point (the simulator's own list).

        Assigning replaces it with another list (exactly a list).
        """
    @plant_list.setter
    def plant_list(self, value: list[LPVLocalPlant]) -> None: ...
    @property
    def ini_value_dict(self) -> Any:
        """Initial values by tag, CVs and MVs; a missing tag counts as 0.0 (the simulator's own dictionary)."""
    @ini_value_dict.setter
    def ini_value_dict(self, value: Any) -> None: ...
    @property
    def _working_value(self) -> float:
        """The working value of the last call (0.0 at first)."""
    @property
    def _u_dict(self) -> dict[str, float]:
        """MV tag -> current value (the simulator's own dictionary)."""
    @property
    def _y_dict(self) -> dict[str, float]:
        """CV tag -> current value (the simulator's own dictionary)."""
    def __getstate__(self) -> Any:
        """The whole state: plant_list, ini_value_dict, the working value and the MV and CV values."""
    def __setstate__(self, state: Any) -> None:
        """Restore a state made by __getstate__.

        Raises:
            KeyError: A field is missing.
            TypeError: plant_list is not a list of LPVLocalPlant, or a value
                dictionary not a dict of real numbers.
        """

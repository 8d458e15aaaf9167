"""The structure of a strategy file, as pydantic models: tables, their keys,
types, ranges and defaults. Units: times in seconds unless the key says
otherwise (``sp_rate_per_min``, ``bias_filter_samples``).

The checker validates each table on its own (each loop, each signal, ...), so
that a mistake in one does not hide the mistakes in the others; references
between tables (signal names, plant tags) are checked afterwards.
"""
import datetime
from typing import Any, Dict, List, Literal, Optional, Tuple, Union

from pydantic import BaseModel, ConfigDict, Field, StrictInt, field_validator, model_validator
from typing import Annotated

Number = Annotated[float, Field(strict=True, allow_inf_nan=False)]
Positive = Annotated[float, Field(strict=True, gt=0, allow_inf_nan=False)]
NonNegative = Annotated[float, Field(strict=True, ge=0, allow_inf_nan=False)]
Seed = Annotated[StrictInt, Field(ge=0)]
Name = Annotated[str, Field(min_length=1)]
# [time_s, value]: TOML gives a list; the pair's items stay strict.
TimeValue = Annotated[Tuple[NonNegative, Number], Field(strict=False)]
Coefficients = Annotated[List[Number], Field(min_length=1)]
ModeName = Literal["manual", "auto"]


class Table(BaseModel):
    """Every table: unknown keys are refused, numbers are numbers (an integer
    is accepted where a number is asked for; a boolean or a string is not)."""
    model_config = ConfigDict(extra="forbid", strict=True, allow_inf_nan=False)
    description: str = ""


# --- simulation ---------------------------------------------------------------------------

class Simulation(Table):
    sample_period_s: Positive
    duration_s: Optional[Positive] = None
    samples: Optional[Annotated[StrictInt, Field(ge=1)]] = None
    seed: Seed = 0
    time_unit: Literal["s", "min", "h"] = "s"
    # The clock of the laboratory and the soft sensors: a TOML date-time
    # (local time) or seconds since the epoch.
    start: Union[datetime.datetime, Number] = datetime.datetime(2026, 1, 5, 8, 0, 0)

    @model_validator(mode="after")
    def _length(self):
        if (self.duration_s is None) == (self.samples is None):
            raise ValueError("give exactly one of 'duration_s' and 'samples'")
        return self


# --- plant -------------------------------------------------------------------------------

class LocalPlant(Table):
    working_point: Number
    model: Dict[str, Any]                # a model dictionary (a JSON file is read into it)
    gain: Positive = 1.0                 # factor on every gain of the model


class Plant(Table):
    model: Optional[Dict[str, Any]] = None
    local: Optional[Dict[str, LocalPlant]] = None
    working_value: Optional[Name] = None
    initial: Dict[str, Any] = {}         # numbers, checked with the model
    units: Dict[str, str] = {}
    disturbance: Dict[str, Name] = {}    # CV tag -> signal added to it

    @model_validator(mode="after")
    def _kind(self):
        if (self.model is None) == (self.local is None):
            raise ValueError("give either 'model' (a MIMO plant) or 'local' (local plants of "
                             "an LPV plant), not both or neither")
        if self.local is not None and self.working_value is None:
            raise ValueError("an LPV plant ('local') needs 'working_value', the signal that "
                             "selects the local plants")
        if self.local is not None and not self.local:
            raise ValueError("'local' needs at least one local plant")
        if self.model is not None and self.working_value is not None:
            raise ValueError("'working_value' belongs to an LPV plant ('local'); a plant with "
                             "one 'model' has none")
        return self


# --- loops -------------------------------------------------------------------------------

class LeadLag(Table):
    alpha: NonNegative
    tao_s: NonNegative


class FeedForward(Table):
    signal: Name
    gain: Number = 1.0
    lead_lag: Optional[LeadLag] = None
    num_s: Optional[Coefficients] = None
    den_s: Optional[Coefficients] = None

    @model_validator(mode="after")
    def _filter(self):
        if (self.num_s is None) != (self.den_s is None):
            raise ValueError("a transfer function needs both 'num_s' and 'den_s'")
        if self.lead_lag is not None and self.num_s is not None:
            raise ValueError("give either 'lead_lag' or a transfer function (num_s, den_s)")
        return self


class Loop(Table):
    cv: Name
    mv: Name
    KP: Number
    TI: NonNegative                      # seconds; 0 switches integral action off
    TD: NonNegative = 0.0                # seconds
    N: Positive = 10.0
    op_high: Number = 100.0
    op_low: Number = 0.0
    mode: ModeName = "auto"
    mode_changes: List[Annotated[Tuple[NonNegative, ModeName], Field(strict=False)]] = []
    sp: Union[Number, Name, List[TimeValue], None] = None
    sp_rate_per_min: Optional[Positive] = None
    measurement_noise: NonNegative = 0.0
    noise_seed: Optional[Seed] = None
    feedforward: Optional[FeedForward] = None

    @field_validator("op_low")
    @classmethod
    def _limits(cls, op_low, info):
        # A field check, so that it is reported beside the other fields' problems.
        op_high = info.data.get("op_high")
        if op_high is not None and op_low > op_high:
            raise ValueError(f"output limits reversed: op_low {op_low:g} is above "
                             f"op_high {op_high:g}")
        return op_low


# --- signals -----------------------------------------------------------------------------

class _Signal(Table):
    unit: str = ""


class Constant(_Signal):
    kind: Literal["constant"]
    value: Number


class Steps(_Signal):
    kind: Literal["steps"]
    initial: Number
    at: List[TimeValue] = []


class Ramp(_Signal):
    kind: Literal["ramp"]
    points: Annotated[List[TimeValue], Field(min_length=1)]


class Noise(_Signal):
    kind: Literal["noise"]
    sigma: NonNegative
    of: Optional[Name] = None
    mean: Number = 0.0
    seed: Optional[Seed] = None


class FilteredNoise(_Signal):
    kind: Literal["filtered_noise"]
    sigma: NonNegative
    num_s: Coefficients
    den_s: Coefficients
    of: Optional[Name] = None
    offset: Number = 0.0
    seed: Optional[Seed] = None


class TestSignal(_Signal):
    kind: Literal["test_signal"]
    half_period_s: Annotated[StrictInt, Field(ge=1)]
    amplitude: NonNegative = 1.0
    offset: Number = 0.0
    seed: Optional[Seed] = None


class Sum(_Signal):
    kind: Literal["sum"]
    inputs: Annotated[Dict[str, Number], Field(min_length=1)]
    bias: Number = 0.0


class LeadLagSignal(_Signal):
    kind: Literal["lead_lag"]
    input: Name
    alpha: NonNegative
    tao_s: NonNegative


class TransferFunction(_Signal):
    kind: Literal["transfer_function"]
    input: Name
    num_s: Coefficients
    den_s: Coefficients
    initial: Optional[Number] = None


class RateLimitSignal(_Signal):
    kind: Literal["rate_limit"]
    input: Name
    rise_per_min: Positive
    fall_per_min: Optional[Positive] = None


class DelaySignal(_Signal):
    kind: Literal["delay"]
    input: Name
    delay_s: Positive


class ModelSignal(_Signal):
    kind: Literal["model"]
    model: Annotated[Dict[str, Any], Field(min_length=1)]   # input signal -> pair model
    initial: Number = 0.0


SIGNAL_KINDS = {cls.model_fields["kind"].annotation.__args__[0]: cls for cls in (
    Constant, Steps, Ramp, Noise, FilteredNoise, TestSignal, Sum, LeadLagSignal,
    TransferFunction, RateLimitSignal, DelaySignal, ModelSignal)}


# --- alarms and soft sensors -------------------------------------------------------------

class Alarm(Table):
    kind: Literal["on_delay", "off_delay"] = "on_delay"
    loop: Optional[Name] = None
    band: Optional[Positive] = None
    signal: Optional[Name] = None
    above: Optional[Number] = None
    below: Optional[Number] = None
    delay_s: Positive

    @model_validator(mode="after")
    def _condition(self):
        if (self.loop is None) == (self.signal is None):
            raise ValueError("give either 'loop' (with 'band': |SP - PV| > band) or 'signal' "
                             "(with 'above' or 'below')")
        if self.loop is not None and (self.band is None or self.above is not None
                                      or self.below is not None):
            raise ValueError("an alarm on a loop takes 'band' (and no 'above' or 'below')")
        if self.signal is not None and (self.band is not None
                                        or (self.above is None and self.below is None)):
            raise ValueError("an alarm on a signal takes 'above' and/or 'below' (and no 'band')")
        return self


class SoftSensor(Table):
    prediction: Name
    true_value: Name
    lab_every_s: Positive
    lab_delay_s: NonNegative
    lab_noise: NonNegative = 0.0
    lab_seed: Optional[Seed] = None
    bias_filter_samples: Number = 5.0      # 0 or less: the raw bias
    const_samples: Annotated[StrictInt, Field(ge=0)] = 2
    history_samples: Annotated[StrictInt, Field(ge=1)] = 28800
    abs_threshold: NonNegative = 1e-6
    record: bool = True
    unit: str = ""


# --- study ---------------------------------------------------------------------------------

class Study(Table):
    """What `qxdcs study FILE` runs when no --grid is given: key path ->
    values (a list of numbers, or a text such as "1..20" or "lin(10,40,4)"),
    and the metric of the figure."""
    grid: Dict[str, Union[Annotated[List[Number], Field(min_length=1)], str]] = {}
    metric: Literal["IAE", "overshoot_pct", "settling_time", "time_at_limits"] = "IAE"


# The file's top level: which tables hold one item and which hold named items.
SECTIONS = {"simulation": Simulation, "plant": Plant, "study": Study}
NAMED_SECTIONS = {"loop": Loop, "signal": None, "alarm": Alarm, "soft_sensor": SoftSensor}
TOP_KEYS = ("description",) + tuple(SECTIONS) + tuple(NAMED_SECTIONS)


# --- running live (qxdcs serve-plant, qxdcs control) ---------------------------------------

class LiveLoop(Table):
    # What the loop does while an input it depends on is bad: "hold" keeps the
    # valve where it is (nothing is written), a number drives that output.
    fail_safe: Any = "hold"

    @field_validator("fail_safe")
    @classmethod
    def _fail_safe(cls, value):
        import math
        if value == "hold" and isinstance(value, str):
            return value
        if isinstance(value, (int, float)) and not isinstance(value, bool) and \
                math.isfinite(value):
            return float(value)
        raise ValueError(f"must be \"hold\" or a safe output (a number); got {value!r}")


class Live(Table):
    """How a strategy's signals are reached over OPC UA: the node of each
    signal (a node id, or a bare identifier in `namespace`), the node of the
    controller's heartbeat, what each loop does on a bad input."""
    namespace: Name = "urn:qxdcs:plant"
    nodes: Dict[str, Name] = {}                     # signal -> node
    heartbeat: Name = "qxdcs.heartbeat"             # the controller's WatchDog count
    heartbeat_max: Annotated[StrictInt, Field(ge=1, le=2147483647)] = 2147483647
    sample_node: Name = "qxdcs.sample"              # the plant's sample number (lockstep)
    safe_outputs_on_stop: bool = False
    loop: Dict[str, LiveLoop] = {}


TOP_KEYS = TOP_KEYS + ("live",)

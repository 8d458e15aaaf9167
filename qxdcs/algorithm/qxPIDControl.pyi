"""Discrete PID controller for one control loop: non-interacting, with a filtered
derivative, in incremental (velocity) form, with output limits, feed-forward
and a manual/tracking mode."""
from typing import Any, SupportsFloat, SupportsIndex, Union

_Real = Union[SupportsFloat, SupportsIndex]

class PID:
    """Discrete PID controller (non-interacting, filtered derivative, incremental form).

    Control law u(s) = KP * (1 + 1/(TI*s) + TD*s / ((TD/N)*s + 1)) * (SP - PV),
    discretised by backward Euler (1/s = TS*z/(z - 1)). Each automatic step
    computes the change of output and adds it to the previous, already
    limited, output:

        OP = limit(OP(k-1) + dOP_P + dOP_I + dOP_D + (FF - FF(k-1)))

    Proportional and derivative action both act on the error SP - PV. Since
    the previous output is the limited one, the integral does not wind up at
    a limit: the output leaves it in the first sample whose increments point
    away from it. Only the change of FF enters the output.

    Construct with the sample period, tune with setPIDParam and
    setOPHighLowLimit, then call run(MODE, SP, PV, TV, FF) once per sample.
    The first run starts bumplessly from TV, whatever the mode. Tuning and
    limits may be changed while the loop runs.

    A Python subclass that overrides _resetPID, PID_Auto or
    _setInnerSaveState has its override called where the controller calls
    it. copy.deepcopy and pickle keep the whole state (history and step
    record included): a restored controller continues where the original
    stood.
    """

    _iniFlag: bool
    """True until the history is reset for the first time (by run or _resetPID)."""
    _TS: Any
    """Sample period in seconds, exactly as passed to the constructor."""
    _KP: Any
    """Proportional gain, exactly as passed to setPIDParam."""
    _TI: float
    """Integral time in seconds (>= 0.0; 0.0 switches integral action off)."""
    _TD: float
    """Derivative time in seconds (>= 0.0; 0.0 switches derivative action off)."""
    _N: float
    """Derivative filter factor (>= 1e-6); the filter time constant is TD/N."""
    _OP_HI: float
    """High output limit."""
    _OP_LO: float
    """Low output limit."""
    # Present only after the first reset (run or _resetPID):
    _et1: float
    """Control error SP - PV of the previous sample."""
    _et2: float
    """Control error of the sample before the previous one."""
    _OP1: float
    """Output of the previous sample, after limiting (TV itself after a reset)."""
    _FF1: float
    """Feed-forward value of the previous sample."""
    _dOPD1: float
    """Derivative increment of the previous sample."""
    _OP_save: Any
    """Step record: output after limiting (getInnerSaveState()["OP"])."""
    _OPcal_save: Any
    """Step record: output before limiting ("OPcal")."""
    _dOP_save: Any
    """Step record: total increment ("dOP")."""
    _dOP_P_save: Any
    """Step record: proportional increment ("dOP_P")."""
    _dOP_I_save: Any
    """Step record: integral increment ("dOP_I")."""
    _dOP_D_save: Any
    """Step record: derivative increment ("dOP_D")."""
    _dFF_save: Any
    """Step record: feed-forward increment ("dFF")."""

    def __init__(self, TS: _Real = 1.0) -> None:
        """Create a controller with the default tuning and limits.

        Defaults: KP 1.0, TI 60.0 s, TD 0.0 s, N 10.0, output limits 100.0
        and 0.0. The history is created by the first run.

        Args:
            TS: Sample period in seconds, the time unit of TI and TD
                (default 1.0). Stored as passed; not checked for sign.

        Raises:
            TypeError: TS is not a real number.
        """
    def setPIDParam(self, KP: _Real = 1.0, TI: _Real = 60.0, TD: _Real = 0.0, N: _Real = 10.0) -> None:
        """Set the tuning; it takes effect at the next automatic step.

        Values below a floor are replaced by it silently: TI and TD by 0.0,
        N by 1e-6. The history is kept, so tuning may change while the loop
        runs. A NaN is stored as NaN (a NaN TI or TD switches that action
        off; a NaN N with TD > 0 makes every automatic output NaN).

        Args:
            KP: Proportional gain, stored as passed; its sign sets the
                control direction (default 1.0).
            TI: Integral time in seconds; 0.0 switches integral action off
                (default 60.0).
            TD: Derivative time in seconds; 0.0 switches derivative action
                off (default 0.0).
            N: Derivative filter factor, filter time constant TD/N
                (default 10.0).

        Raises:
            TypeError: An argument is not a real number.
        """
    def getPIDParam(self) -> tuple[Any, float, float, float]:
        """Return (KP, TI, TD, N) as stored (after the floors; KP as passed)."""
    def setOPHighLowLimit(self, OP_HI: _Real = 100.0, OP_LO: _Real = 0.0) -> None:
        """Set the output limits; they take effect at the next run.

        Equal limits are accepted. When OP_HI < OP_LO, or either is NaN, the
        line "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!" is printed
        and both limits stay as they were; nothing is raised. The stored
        previous output is not changed by new limits.

        Args:
            OP_HI: High output limit (default 100.0).
            OP_LO: Low output limit (default 0.0).

        Raises:
            TypeError: An argument is not a real number.
        """
    def getOPHighLowLimit(self) -> tuple[float, float]:
        """Return (OP_HI, OP_LO)."""
    def _resetPID(self, SP: _Real, PV: _Real, TV: _Real, FF: _Real) -> None:
        """Reset the history so that the next automatic step continues bumplessly from TV.

        Both previous errors become SP - PV, the previous output TV (not
        limited), the previous feed-forward FF and the previous derivative
        increment 0.0; the step record becomes OP = OPcal = TV with all
        increments 0.0. Call it once before driving the controller through
        PID_Auto alone.
        """
    def run(self, MODE: _Real, SP: _Real, PV: _Real, TV: _Real, FF: _Real = 0.0) -> float:
        """One sample of the loop; returns the controller output OP.

        The first call resets the history from (SP, PV, TV, FF) whatever the
        mode, so the loop starts from TV without a bump. MODE is rounded to
        the nearest integer, halves to even (0.5 gives 0, 1.5 gives 2):

        * 1 (automatic): one automatic step (PID_Auto) from the history.
        * any other value (0, manual or tracking): OP is TV limited to the
          output limits, and the history is reset from TV itself, so the
          next automatic step starts from TV and limits its own result.

        Args:
            MODE: Operating mode, 1 automatic, otherwise manual/tracking.
            SP: Setpoint.
            PV: Process value (measurement).
            TV: Tracking value: the output followed outside automatic, and
                the starting output on the first call.
            FF: Feed-forward value; only its change from the previous
                sample enters the output (default 0.0).

        Returns:
            The output for this sample, within [OP_LO, OP_HI] (a NaN in SP,
            PV or FF in automatic gives NaN until a non-automatic step).

        Raises:
            TypeError: An argument is not a real number (before any change).
            ValueError: MODE is NaN.
            OverflowError: MODE is infinite. (On the first call the reset
                has happened before either is raised.)
        """
    def PID_Auto(self, SP: _Real, PV: _Real, FF: _Real = 0.0) -> float:
        """One automatic step, without run's first-call reset; returns OP.

        With e = SP - PV and the stored history:
        dOP_P = KP*(e - e1); dOP_I = KP*TS/TI*e (0 when TI is 0);
        dOP_D = ((TD/N)*dOPD1 + KP*TD*(e - 2*e1 + e2)) / max(TD/N + TS, 1e-6)
        (0 when TD is 0); dFF = FF - FF1; OP = OP1 + dOP limited to
        [OP_LO, OP_HI]. The history and the step record advance one sample.

        Args:
            SP: Setpoint.
            PV: Process value.
            FF: Feed-forward value (default 0.0).

        Raises:
            TypeError: An argument is not a real number (before any change).
            AttributeError: The history does not exist yet ("'PID' object has
                no attribute '_et1'"): call run or _resetPID first.
        """
    def _setInnerSaveState(
        self,
        OP_save: Any,
        OPcal_save: Any,
        dOP_save: Any,
        dOP_P_save: Any,
        dOP_I_save: Any,
        dOP_D_save: Any,
        dFF_save: Any,
    ) -> None:
        """Store the record of the last step, each value unchanged (see getInnerSaveState).

        The reset and the automatic step call it with keyword arguments.
        """
    def getInnerSaveState(self) -> dict[str, Any]:
        """Return the record of the last step (a reset counts as a step) as a new dictionary.

        Keys in this order: "OP" (output after limiting), "OPcal" (before
        limiting), "dOP" (total increment), "dOP_P", "dOP_I", "dOP_D" (its
        proportional, integral and derivative parts; exactly 0 when that
        action is off) and "dFF" (feed-forward increment). After a reset: OP
        and OPcal are TV, the increments 0.0. Changing the dictionary does
        not change the controller.

        Raises:
            AttributeError: Before the first reset ("'PID' object has no
                attribute '_OP_save'").
        """
    def getPIDForm(self) -> str:
        """Return the text of the control law and of the default tuning (19 lines).

        The same fixed text for every controller: it does not show the
        current tuning. Nothing is printed.
        """
    def __getstate__(self) -> dict[str, Any]:
        """The whole state (tuning, limits, history and step record where present) by attribute name."""
    def __setstate__(self, state: dict[str, Any]) -> None:
        """Restore a state made by __getstate__, checked as the setters check.

        Raises:
            KeyError: A tuning or limit attribute is missing.
            ValueError: "PID state needs _TI >= 0, _TD >= 0 and _N >= 1e-06"
                or "PID state needs _OP_HI >= _OP_LO"; the controller is
                left as it was.
        """

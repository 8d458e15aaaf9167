from typing import Any, SupportsFloat, SupportsIndex, Union

_Real = Union[SupportsFloat, SupportsIndex]

class PID:
    """Discrete PID controller (non-interacting, filtered derivative, incremental form)."""

    _iniFlag: bool
    _TS: Any
    _KP: Any
    _TI: float
    _TD: float
    _N: float
    _OP_HI: float
    _OP_LO: float
    # Present only after the first reset (run or _resetPID):
    _et1: float
    _et2: float
    _OP1: float
    _FF1: float
    _dOPD1: float
    _OP_save: Any
    _OPcal_save: Any
    _dOP_save: Any
    _dOP_P_save: Any
    _dOP_I_save: Any
    _dOP_D_save: Any
    _dFF_save: Any

    def __init__(self, TS: _Real = 1.0) -> None: ...
    def setPIDParam(self, KP: _Real = 1.0, TI: _Real = 60.0, TD: _Real = 0.0, N: _Real = 10.0) -> None: ...
    def getPIDParam(self) -> tuple[Any, float, float, float]: ...
    def setOPHighLowLimit(self, OP_HI: _Real = 100.0, OP_LO: _Real = 0.0) -> None: ...
    def getOPHighLowLimit(self) -> tuple[float, float]: ...
    def _resetPID(self, SP: _Real, PV: _Real, TV: _Real, FF: _Real) -> None: ...
    def run(self, MODE: _Real, SP: _Real, PV: _Real, TV: _Real, FF: _Real = 0.0) -> float: ...
    def PID_Auto(self, SP: _Real, PV: _Real, FF: _Real = 0.0) -> float: ...
    def _setInnerSaveState(
        self,
        OP_save: Any,
        OPcal_save: Any,
        dOP_save: Any,
        dOP_P_save: Any,
        dOP_I_save: Any,
        dOP_D_save: Any,
        dFF_save: Any,
    ) -> None: ...
    def getInnerSaveState(self) -> dict[str, Any]: ...
    def getPIDForm(self) -> str: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

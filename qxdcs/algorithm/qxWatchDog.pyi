"""Watchdog (heartbeat) counter."""
from typing import Any

class WatchDog:
    """看门狗，输出按调用次数自增循环。"""

    def __init__(self) -> None: ...
    def __call__(self, MaxOut: Any = 0) -> int:
        """ticks = (ticks + 1) % int(MaxOut + 1), floor modulo; returns ticks."""
    @property
    def ticks(self) -> int: ...
    @ticks.setter
    def ticks(self, value: Any) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

def main() -> None:
    """Call a watchdog ten times with MaxOut 3, printing each count, one second apart."""

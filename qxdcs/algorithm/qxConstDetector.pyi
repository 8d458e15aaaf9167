"""Detector of a constant input (typically a watchdog count that has stopped)."""
from collections import deque
from typing import Any, Iterable, SupportsFloat

import numpy as np

class ConstDect:
    """判断输入数据是否为连续的常数（连续数据长度>=DectLen），若是，返回True，否则返回False。
    常用于判断看门狗是否连续动作（返回值要取反）。"""

    def __init__(self) -> None: ...
    def __call__(self, Ut: Any, DectLen: int | SupportsFloat = 10) -> np.bool_:
        """True if every step within the window of the last DectLen inputs is below 1e-6."""
    @property
    def _U_queue(self) -> deque[Any]:
        """A copy of the window, oldest first, inputs as passed."""
    @_U_queue.setter
    def _U_queue(self, values: Iterable[Any]) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

"""Which engine runs a plan: the native engine (qxdcs.strategy.native) where
it can, else the Python engine (qxdcs.strategy.engine). Both give the same
traces bit for bit and the same Result; `Result.engine` says which ran.

    result = strategy.run(plan)                    # native where it can
    result = strategy.run(plan, engine="python")   # the Python engine
"""
from dataclasses import dataclass
from typing import Callable, Optional, Union

from qxdcs.strategy import native
from qxdcs.strategy.engine import Engine, Result
from qxdcs.strategy.plan import Plan

ENGINES = ("auto", "native", "python")


@dataclass(frozen=True)
class Choice:
    """The engine for a plan: `name` ("native" or "python") and, when auto
    took the Python engine, why (`reason`)."""
    name: str
    reason: Optional[str] = None

    def __str__(self) -> str:
        if self.name == "native":
            return "native engine"
        if self.reason:
            return f"Python engine (the native engine cannot run it: {self.reason})"
        return "Python engine"


def choose(plan: Union[Plan, "native.NativePlan"], engine: str = "auto") -> Choice:
    """The engine that runs `plan`: "auto" (native where the plan allows it),
    "native" (ValueError when it cannot) or "python"."""
    if engine not in ENGINES:
        raise ValueError(f"no engine {engine!r}: auto, native or python")
    if engine == "python":
        return Choice("python")
    reason = native.why_not(plan)
    if reason is None:
        return Choice("native")
    if engine == "native":
        raise native.NotNative(f"the native engine cannot run this plan: {reason}")
    return Choice("python", reason)


def make_engine(plan: Union[Plan, "native.NativePlan"], lab_dir: Optional[str] = None,
                engine: str = "auto"):
    """An engine for one run of `plan` (see `choose`)."""
    choice = choose(plan, engine)
    if choice.name == "native":
        return native.NativeEngine(plan, lab_dir)
    if isinstance(plan, native.NativePlan):
        plan = plan.plan
    return Engine(plan, lab_dir)


def run(plan: Union[Plan, "native.NativePlan"], lab_dir: Optional[str] = None,
        progress: Optional[Callable[[int, int], None]] = None, engine: str = "auto",
        check_finite: bool = False) -> Result:
    """Run a plan (or a compiled NativePlan) from the start: on the native
    engine where it can ("auto", the default), or on the one named.
    `check_finite`: stop at the first value that is not a finite number
    (EngineFailure)."""
    return make_engine(plan, lab_dir, engine).run(progress, check_finite)

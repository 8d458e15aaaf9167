"""The native engine of strategy runs (qxdcs::Strategy); used by
qxdcs.strategy.native, which compiles plans for it."""
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

class Strategy:
    """A compiled plan's blocks, ready to run (qxdcs::Strategy)."""

    def __init__(self, plan: Dict[str, Any], lab_dir: Optional[str] = None) -> None:
        """Build the blocks of a compiled plan (qxdcs.strategy.native); lab_dir: where
        laboratory recorders write (None: they do not run)."""
    def run_to(self, k_end: int, traces: Optional[np.ndarray]) -> int:
        """Run up to (not including) sample k_end, writing each sample's row into the trace
        array (samples x signals, float64, C order; None: not recorded). Returns the
        samples completed; a block's error is raised after `failure` is set."""
    @property
    def k(self) -> int:
        """The next sample to run."""
    @property
    def samples(self) -> int:
        """The samples of the plan."""
    @property
    def n_signals(self) -> int:
        """The signal slots of the plan."""
    @property
    def values(self) -> List[float]:
        """The slots now, as a list."""
    @property
    def stop_at_non_finite(self) -> bool:
        """Stop the run at the first value that is not a finite number."""
    @stop_at_non_finite.setter
    def stop_at_non_finite(self, on: bool) -> None: ...
    @property
    def non_finite(self) -> Optional[Tuple[int, int, str, float]]:
        """(sample, slot, block, value) of the first value that was not a finite number,
        or None."""
    @property
    def failure(self) -> Optional[Tuple[int, str]]:
        """(sample, block) where a block's error was raised, or None."""
    def take_printed(self) -> str:
        """The lines the blocks printed since the last call, as one text."""
    def set_write_files(self, on: bool) -> None:
        """Whether laboratory recorders write their files."""
    def lab_arrivals(self) -> List[Tuple[int, List[Tuple[int, float]]]]:
        """[(slot, [(sample drawn, value), ...])] per laboratory-value step."""
    @property
    def n_blocks(self) -> int:
        """Schedules, steps and after steps of the plan, and the plant."""
    def block_key(self, index: int) -> str:
        """The key of block `index` ("plant" for the last)."""
    def block_cost_ns(self, index: int, traces: np.ndarray, repeats: int = 3) -> float:
        """Nanoseconds a sample of block `index` (schedules, steps, after steps, then the
        plant) takes alone, fed its inputs from a complete run's traces (benchmarks)."""

"""A plan split at the plant: the process that ``qxdcs serve-plant`` runs.

The process is the plant and the blocks that compute what reaches it other
than the loops' outputs: its working value, its disturbances, and the MVs
no loop writes (a feed flow on a schedule). It runs those blocks exactly as
a simulation does (same streams of noise, same order), so a live run sees
the plant a simulation sees. The loops' MVs come from outside, each sample.
"""
import dataclasses
from typing import Dict, List, Set, Tuple

from qxdcs.strategy.engine import Engine
from qxdcs.strategy.plan import Plan


class ProcessError(ValueError):
    """The plant's inputs depend on a loop: the process cannot run alone."""


def process_plan(plan: Plan) -> Tuple[Plan, Tuple[Tuple[str, int], ...]]:
    """The plan of the process alone, and the loop MVs it takes from outside
    as (tag, slot). ProcessError when a plant input other than a loop's MV
    depends on a loop's output."""
    loop_mv = {lp.op for lp in plan.loops}
    every = {st.output: st for st in plan.schedules + plan.steps + plan.after}
    pp = plan.plant
    needed = [s for _, s in pp.mv if s not in loop_mv] + [s for _, s in pp.disturbance]
    if pp.working_value is not None:
        needed.append(pp.working_value)
    keep: Set[int] = set()
    todo = list(needed)
    while todo:
        s = todo.pop()
        if s in keep or s in {c for _, c in pp.cv}:
            continue
        if s in loop_mv:
            first = plan.signals[needed[0]] if needed else "?"
            raise ProcessError(f"the plant's input {first} depends on the output of a loop "
                               f"({plan.signals[s]}): the plant cannot be served alone")
        keep.add(s)
        st = every.get(s)
        if st is not None:
            todo.extend(i for i in st.inputs if i != s)
    sub = dataclasses.replace(
        plan,
        schedules=tuple(st for st in plan.schedules if st.output in keep),
        steps=tuple(st for st in plan.steps if st.output in keep),
        after=tuple(st for st in plan.after if st.output in keep))
    external = tuple((tag, s) for tag, s in pp.mv if s in loop_mv)
    return sub, external


class Process:
    """The process of a plan, one sample at a time: `cvs` are the plant's
    outputs at the current sample; `advance(mvs)` runs the sample with the
    loops' MVs (tag -> value) and moves to the next one."""

    def __init__(self, plan: Plan):
        self.plan, self.external = process_plan(plan)
        self.engine = Engine(self.plan)
        self._cv = tuple(plan.plant.cv)
        self._mv = {tag: s for tag, s in self.external}

    @property
    def k(self) -> int:
        return self.engine.k

    @property
    def done(self) -> bool:
        return self.engine.k >= self.plan.samples

    @property
    def cvs(self) -> Dict[str, float]:
        v = self.engine.values
        return {tag: v[s] for tag, s in self._cv}

    def inputs(self) -> Dict[str, float]:
        """The plant's inputs of the sample last run (every MV by tag)."""
        v = self.engine.values
        return {tag: v[s] for tag, s in self.plan.plant.mv}

    def advance(self, mvs: Dict[str, float]) -> None:
        v = self.engine.values
        for tag, value in mvs.items():
            v[self._mv[tag]] = float(value)
        self.engine.step()

    def mv_tags(self) -> List[str]:
        return [tag for tag, _ in self.external]

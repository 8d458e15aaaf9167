"""The controller side of a plan: its blocks, one sample at a time, with the
plant's CVs (and any signal read in the place of its block) given from
outside each sample.

It runs the same blocks in the same order as the Python engine (it is one:
the per-sample loop is written as source the same way), so that with the
inputs a simulation's plant would give, it computes the same values bit for
bit. Within a sample:

1. the inputs read for the plant's CVs go into their slots;
2. the blocks that delay (`Plan.after`) run for the sample before (in a
   simulation they run right after the plant, which is here the read);
3. the schedules and the steps run, a signal that is read taking the read
   value in the place of its block;
4. every slot is recorded.

Each loop has a tracking value in `tracking` (None: the loop follows its
mode schedule). While it is a number, the PID runs in tracking with that
value as its output, so that the return to automatic is bumpless.
"""
import contextlib
from typing import Callable, Dict, List, Optional, Tuple

from qxdcs.live.config import LivePlan
from qxdcs.strategy.engine import Engine

_FILENAME = "<qxdcs live sample>"


class ControlEngine(Engine):
    """The blocks of `live.plan` without its plant. `inputs` (one value per
    LivePlan.inputs) are set before each `sample()`; `tracking` (one per
    LivePlan.loops) puts a loop's PID in tracking."""

    def __init__(self, live: LivePlan, lab_dir: Optional[str] = None):
        self.live = live
        self.inputs: List[float] = [float(live.plan.initial[s.slot]) for s in live.inputs]
        self.tracking: List[Optional[float]] = [None] * len(live.loops)
        super().__init__(live.plan, lab_dir)

    def _plant(self) -> Dict[str, object]:
        return {"IN": self.inputs, "TR": self.tracking}

    def _write_source(self) -> Tuple[str, Dict[int, str]]:
        plan, ns, live = self.plan, self._objects, self.live
        replaced = live.replaced
        loop_of = {lp.pid: j for j, lp in enumerate(live.loops)}
        body: List[str] = []
        for j, s in enumerate(live.inputs):
            if s.kind == "cv":
                body.append(f"v[{s.slot}] = IN[{j}]")
        after = []
        for i, st in enumerate(plan.after, start=len(plan.steps)):
            after += self._lines_of(i, st, ns)
        if after:
            body.append("if k:")
            body += ["    " + line for line in after]
        for i, st in enumerate(plan.schedules):
            if st.output in replaced:
                body.append(f"v[{st.output}] = IN[{replaced[st.output]}]")
            elif st.kind != "constant":
                body.append(f"v[{st.output}] = S{i}[k]")
        for i, st in enumerate(plan.steps):
            if st.output in replaced:
                body.append(f"v[{st.output}] = IN[{replaced[st.output]}]")
                continue
            lines = self._lines_of(i, st, ns)
            if st.kind == "pid":
                j = loop_of[i]
                o, a = st.output, st.inputs
                ff = f"v[{a[2]}]" if len(a) > 2 else "0.0"
                lines = [f"v[{o}] = P{i}.run(MD{i}[k], v[{a[0]}], v[{a[1]}], v[{o}], {ff}) "
                         f"if TR[{j}] is None else "
                         f"P{i}.run(0, v[{a[0]}], v[{a[1]}], TR[{j}], {ff})"]
            body += lines
        body.append("rec(v[:])")
        names = sorted(set(ns) - {"V"})
        args = ", ".join(["v=V"] + [f"{x}={x}" for x in names])
        src = [f"def sample(k, rec, {args}):"] + ["    " + line for line in body]
        return "\n".join(src) + "\n", {}

    def _compile(self):
        scope: Dict[str, object] = dict(self._objects)
        exec(compile(self.source, _FILENAME, "exec"), scope)
        self._sample = scope["sample"]

    def sample(self, record: Callable[[List[float]], None]) -> None:
        """Run the current sample with the inputs set; `record` gets the row
        of every slot. Moves on to the next sample."""
        if self.k >= self.plan.samples:
            raise IndexError(f"the plan has {self.plan.samples} samples")
        with contextlib.redirect_stdout(self._printed):
            self._sample(self.k, record)
        self.k += 1

    def __getstate__(self):
        state = super().__getstate__()
        state.pop("_sample", None)          # compiled again on restoring
        return state

    def output(self, j: int) -> float:
        """The value of output j of LivePlan.outputs (after a sample)."""
        return self.values[self.live.outputs[j].slot]

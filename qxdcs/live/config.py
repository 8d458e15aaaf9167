"""The live settings of a strategy: the node of each signal, the heartbeat,
the fail-safe state of each loop, resolved against the plan.

They come from the strategy file's ``[live]`` table or from a side file
(``qxdcs control --mapping FILE``: the same keys at its top level, or under
``[live]``), which then takes the table's place. Without either, every
plant CV and loop MV is found by its tag in the namespace
``urn:qxdcs:plant`` (what ``qxdcs serve-plant`` serves).

What is read and what is written:

* every plant CV is read each period (the node named in ``nodes``, else its
  tag);
* every loop's MV (the PID's output) is written each period;
* any other signal named in ``nodes`` is read too, in the place of the
  block that computes it in a simulation (a measured feed temperature,
  say, where the file simulates it as noise on a schedule); a signal that a
  delay writes, or a PID, cannot be read.

A node is a node id (``ns=2;s=TI101``, ``nsu=URI;i=1007``) or, without
``ns=``/``nsu=``, an identifier in ``namespace`` (``s=TI101``, ``i=5``, or
just ``TI101`` for a string identifier).

A loop depends on the inputs that reach its PID through the blocks (its
measurement, a feed-forward, a setpoint computed from an input): while one
of them is bad, the loop is in its fail-safe state.
"""
import os
import re
import sys
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Set, Tuple

from qxdcs.strategy import schema as sc
from qxdcs.strategy.files import StrategyFile
from qxdcs.strategy.plan import Plan
from qxdcs.strategy.problems import Problem, StrategyError, did_you_mean

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - Python 3.9 and 3.10
    import tomli as tomllib

DEFAULT_NAMESPACE = "urn:qxdcs:plant"
_NODE = re.compile(r"^(?:(?P<ns>ns=\d+|nsu=[^;]+);)?(?P<id>s=.+|i=\d+|g=[0-9a-fA-F-]{36}|b=.+)$")


@dataclass(frozen=True)
class Node:
    """A node as the settings name it: `ident` is "s=...", "i=...", ...;
    either `index` (a namespace index given as ns=N) or `namespace` (a URI,
    resolved on each connection: a restarted server may number it anew)."""
    text: str
    ident: str
    namespace: Optional[str] = None
    index: Optional[int] = None

    def node_id(self, index_of) -> str:
        """The node id string, with `index_of(uri)` giving a namespace's index."""
        idx = self.index if self.index is not None else index_of(self.namespace)
        return f"ns={idx};{self.ident}"


def parse_node(text: str, namespace: str) -> Node:
    """A node from its text; ValueError saying what is valid."""
    text = text.strip()
    m = _NODE.match(text)
    if m is None:
        if "=" in text or ";" in text or not text:
            raise ValueError(f"not a node id: {text!r} (valid: 'ns=2;s=TI101', "
                             f"'nsu=URI;s=TI101', 's=TI101', 'i=5' or a bare identifier)")
        return Node(text, "s=" + text, namespace=namespace)
    ns = m.group("ns")
    if ns is None:
        return Node(text, m.group("id"), namespace=namespace)
    if ns.startswith("ns="):
        return Node(text, m.group("id"), index=int(ns[3:]))
    return Node(text, m.group("id"), namespace=ns[4:])


@dataclass(frozen=True)
class IOSignal:
    """A signal read or written: its slot in the plan, its node, and `kind`:
    "cv" (a plant CV), "signal" (read in the place of its block) or "mv"
    (a loop's output, written)."""
    name: str
    slot: int
    node: Node
    kind: str


@dataclass(frozen=True)
class LiveLoop:
    """A loop as the live run sees it: the PID step (an index into
    plan.steps), the output it writes (an index into LivePlan.outputs), the
    inputs it depends on (indices into LivePlan.inputs), and its fail-safe
    output (None: hold the last one)."""
    name: str
    pid: int
    output: int
    inputs: Tuple[int, ...]
    fail_safe: Optional[float]
    op_low: float
    op_high: float


@dataclass(frozen=True)
class LivePlan:
    plan: Plan
    inputs: Tuple[IOSignal, ...]
    outputs: Tuple[IOSignal, ...]
    loops: Tuple[LiveLoop, ...]
    heartbeat: Node
    heartbeat_max: int
    sample_node: Node
    safe_outputs_on_stop: bool
    namespace: str
    source: str                    # the file the settings came from

    @property
    def replaced(self) -> Dict[int, int]:
        """Slot -> input index, for the inputs read in the place of a block."""
        return {s.slot: j for j, s in enumerate(self.inputs) if s.kind == "signal"}


def _load_side_file(path: str) -> Tuple[Dict[str, Any], Tuple[str, ...]]:
    try:
        with open(path, "rb") as f:
            data = tomllib.loads(f.read().decode("utf-8"))
    except OSError as exc:
        raise StrategyError([Problem(path, (), f"cannot read the file: {exc.strerror or exc}")]) \
            from None
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise StrategyError([Problem(path, (), f"not valid TOML: {exc}")]) from None
    if set(data) == {"live"} and isinstance(data["live"], dict):
        return data["live"], ("live",)
    return data, ()


def resolve(sf: StrategyFile, plan: Plan, mapping: Optional[str] = None) -> LivePlan:
    """The live settings of `plan` (made from `sf`), from the file's [live]
    table or the side file `mapping`; StrategyError listing every problem."""
    from qxdcs.strategy.checker import _Reporter, _validate

    if mapping is not None:
        raw, prefix = _load_side_file(mapping)
        where = StrategyFile(raw, mapping)
        source = mapping
    else:
        raw, prefix = sf.data.get("live", {}), ("live",)
        where, source = sf, sf.path
    report = _Reporter(where)
    if mapping is not None:
        table = _validate(sc.Live, raw, prefix, report) if isinstance(raw, dict) else None
        if not isinstance(raw, dict):
            report(prefix, "must be a table")
    else:
        table = _validate(sc.Live, raw, prefix, report)
    if table is None:
        raise StrategyError(report.problems or [Problem(source, prefix, "not valid")])

    ns = table.namespace

    def node(text, key):
        try:
            return parse_node(text, ns)
        except ValueError as exc:
            report(prefix + key, str(exc))
            return None

    pids = {st.params.get("loop"): i for i, st in enumerate(plan.steps) if st.kind == "pid"}
    writer = {}
    for st in plan.schedules + plan.steps:
        writer[st.output] = st
    delayed = {st.output for st in plan.after}
    loop_mv = {lp.op: lp for lp in plan.loops}
    cv_slots = {s for _, s in plan.plant.cv}

    named = {}
    for name, text in table.nodes.items():
        key = ("nodes", name)
        if name not in plan.signals:
            report(prefix + key, f"no signal {name!r} in {sf.path}"
                                 f"{did_you_mean(name, plan.signals)}")
            continue
        slot = plan.signals.index(name)
        if slot in delayed:
            report(prefix + key, f"{name} is written by a delay: it cannot be read from a node")
            continue
        if slot not in cv_slots and slot not in loop_mv and writer.get(slot) is not None \
                and writer[slot].kind == "pid":  # pragma: no cover - every PID writes a loop MV
            report(prefix + key, f"{name} is a PID's output")
            continue
        n = node(text, key)
        if n is not None:
            named[slot] = n

    inputs: List[IOSignal] = []
    for tag, slot in plan.plant.cv:
        inputs.append(IOSignal(tag, slot, named.get(slot) or Node(tag, "s=" + tag, ns), "cv"))
    for slot, n in named.items():
        if slot not in cv_slots and slot not in loop_mv:
            inputs.append(IOSignal(plan.signals[slot], slot, n, "signal"))
    outputs = [IOSignal(lp.mv, lp.op, named.get(lp.op) or Node(lp.mv, "s=" + lp.mv, ns), "mv")
               for lp in plan.loops]
    index_of_input = {s.slot: j for j, s in enumerate(inputs)}

    # The inputs each loop's PID depends on, through every block (delays too).
    every = {st.output: st for st in plan.schedules + plan.steps + plan.after}

    def depends(slot: int, seen: Set[int]) -> Set[int]:
        found: Set[int] = set()
        todo = [slot]
        while todo:
            s = todo.pop()
            if s in seen:
                continue
            seen.add(s)
            if s in index_of_input:
                found.add(index_of_input[s])
                continue
            st = every.get(s)
            if st is not None:
                todo.extend(i for i in st.inputs if i != s)
        return found

    for name in table.loop:
        if name not in pids:
            report(prefix + ("loop", name), f"no loop {name!r} in {sf.path}"
                                            f"{did_you_mean(name, list(pids))}")
    loops = []
    for j, lp in enumerate(plan.loops):
        i = pids[lp.name]
        pid = plan.steps[i]
        deps: Set[int] = set()
        for s in pid.inputs:
            if s != pid.output:
                deps |= depends(s, {pid.output})
        fs = table.loop.get(lp.name)
        safe = None
        if fs is not None and fs.fail_safe != "hold":
            safe = float(fs.fail_safe)
            if not lp.op_low <= safe <= lp.op_high:
                report(prefix + ("loop", lp.name, "fail_safe"),
                       f"the safe output {safe:g} is outside the loop's output limits "
                       f"[{lp.op_low:g}, {lp.op_high:g}]")
        loops.append(LiveLoop(lp.name, i, j, tuple(sorted(deps)), safe, lp.op_low, lp.op_high))

    hb = node(table.heartbeat, ("heartbeat",))
    sample = node(table.sample_node, ("sample_node",))
    nodes_used: Dict[str, str] = {}
    for s in inputs + outputs:
        other = nodes_used.get(s.node.text)
        if other is not None:
            report(prefix + ("nodes", s.name), f"{s.name} and {other} name the same node "
                                               f"{s.node.text!r}")
        nodes_used[s.node.text] = s.name
    if hb is not None and hb.text in nodes_used:
        report(prefix + ("heartbeat",), f"the heartbeat names the node of {nodes_used[hb.text]}")
    errors = [p for p in report.problems if p.severity == "error"]
    if errors:
        raise StrategyError(report.problems)
    return LivePlan(plan, tuple(inputs), tuple(outputs), tuple(loops), hb, table.heartbeat_max,
                    sample, table.safe_outputs_on_stop, ns, os.fspath(source))

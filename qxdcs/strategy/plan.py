"""The plan: a checked strategy as plain data, computed once, that an engine
runs (the Python engine here; a native engine or a live runner can run the
same plan).

Signals are numbered slots (`Plan.signals[i]` is the name of slot i). Within
each sample, an engine

1. sets the schedules (`Plan.schedules`: values known in advance),
2. runs `Plan.steps` in order, each reading its input slots and writing its
   output slot (a PID reads its own output slot as the tracking value: the
   valve position of the previous sample),
3. records every slot: the traces at time k * sample_period,
4. advances the plant with the MV slots (and the working value and the
   disturbances), writing the CV slots for the next sample,
5. runs `Plan.after` (blocks that delay), writing their slots for the next
   sample.

Everything here is tuples, dicts, numbers and strings: a plan pickles, and a
study changes a file's values, checks it and makes a new plan cheaply.
"""
import datetime
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

import numpy as np

from qxdcs.strategy import blocks as bl
from qxdcs.strategy import checker as ck
from qxdcs.strategy import models as md
from qxdcs.strategy.files import KeyPath, StrategyFile
from qxdcs.strategy.problems import WARNING, Problem, StrategyError


@dataclass(frozen=True)
class Step:
    """One block: `kind` (see `KINDS`), its `params` (plain values), the slots
    it reads and the slot it writes; `key` is where the file describes it."""
    kind: str
    params: Mapping[str, Any]
    inputs: Tuple[int, ...]
    output: int
    key: str

    @property
    def name(self) -> str:
        """The file's name for the block (its key path)."""
        return self.key


@dataclass(frozen=True)
class LocalModel:
    name: str                       # "" for the one model of a MIMO plant
    working_point: Optional[float]  # None for a MIMO plant
    gain: float                     # factor on every gain of `model`
    model: Mapping[str, Any]        # the model dictionary, CV -> MV -> pair


@dataclass(frozen=True)
class PlantPlan:
    kind: str                                   # "mimo" (MIMOSim) or "lpv" (LPVPlantSim)
    locals: Tuple[LocalModel, ...]
    initial: Mapping[str, float]                # initial values by tag
    mv: Tuple[Tuple[str, int], ...]             # (MV tag, slot read)
    cv: Tuple[Tuple[str, int], ...]             # (CV tag, slot written)
    working_value: Optional[int]                # slot of the working value (LPV)
    disturbance: Tuple[Tuple[str, int], ...]    # (CV tag, slot added to it)


@dataclass(frozen=True)
class LoopInfo:
    """What the summary and the figure need to know about a loop."""
    name: str
    cv: str
    mv: str
    sp: int
    pv: int
    op: int
    ff: Optional[int]
    op_low: float
    op_high: float
    noise_sigma: float
    sp_scheduled: bool             # the setpoint is a schedule (constant, steps), maybe ramped
    sp_changes: Tuple[float, ...]  # times (s) the setpoint schedule moves
    events: Tuple[float, ...]      # times (s) of other events that move this loop
    mode: int                      # 1 automatic, 0 manual at the start
    mode_changes: Tuple[Tuple[float, int], ...]


@dataclass(frozen=True)
class AlarmInfo:
    name: str
    slot: int
    loop: Optional[str]
    signal: Optional[str]
    band: Optional[float]
    above: Optional[float]
    below: Optional[float]


@dataclass(frozen=True)
class SoftSensorInfo:
    name: str
    prediction: int
    true_value: int
    corrected: int
    bias: int
    lab: int
    lab_time: int
    every: int        # samples between laboratory samples
    delay: int        # samples from drawing a sample to its result
    record: bool
    unit: str


@dataclass(frozen=True)
class Plan:
    source: str                    # the strategy file
    sample_period: float           # seconds
    samples: int
    seed: int
    start: float                   # seconds since the epoch at sample 0
    time_unit: str                 # for display: "s", "min" or "h"
    signals: Tuple[str, ...]
    units: Tuple[str, ...]
    initial: Tuple[float, ...]
    schedules: Tuple[Step, ...]
    steps: Tuple[Step, ...]
    plant: PlantPlan
    after: Tuple[Step, ...]
    loops: Tuple[LoopInfo, ...]
    alarms: Tuple[AlarmInfo, ...]
    soft_sensors: Tuple[SoftSensorInfo, ...]
    warnings: Tuple[Problem, ...] = ()

    def slot(self, name: str) -> int:
        """The slot of a signal; KeyError with the nearest name."""
        try:
            return self.signals.index(name)
        except ValueError:
            from qxdcs.strategy.problems import did_you_mean
            raise KeyError(f"no signal {name!r}{did_you_mean(name, self.signals)}") from None

    @property
    def duration(self) -> float:
        return self.samples * self.sample_period


def held_values(initial: float, at: Sequence[Tuple[float, float]], samples: int,
                sample_period: float) -> np.ndarray:
    """A value per sample: `initial`, then each [time_s, value] from the first
    sample at or after its time (the meaning of steps, mode changes and a
    setpoint schedule)."""
    out = np.full(samples, float(initial))
    t = np.arange(samples) * sample_period
    for time, value in at:
        out[t >= time - 1e-9 * sample_period] = value
    return out


# The kinds of step and what each computes (see engine.py for the blocks).
KINDS = {
    "constant": "value",
    "steps": "initial, then the value of each [time_s, value] from its time on",
    "ramp": "linear between [time_s, value] points, held outside them",
    "lab_time": "sampling time (s since the epoch) of the latest laboratory result",
    "noise": "input (or 0) + Gaussian noise (mean, sigma; stream)",
    "filtered_noise": "input (or 0) + offset + Gaussian noise through sFilter(num_s, den_s)",
    "test_signal": "offset + TestSignal at the whole second of the sample",
    "sum": "bias + sum of gain * input",
    "lead_lag": "gain * LDLAG(alpha, tao_s)(input) + offset",
    "transfer_function": "gain * sFilter(num_s, den_s, u_ini, y_ini)(input)",
    "rate_limit": "RateLimit(u_ini, Ts)(input, rise_per_min, fall_per_min)",
    "delay": "Delay: the input of `samples` samples before (a step of Plan.after)",
    "model": "MIMOSim of a one-CV model dictionary whose MVs are the input signals",
    "pid": "PID.run(mode, SP, PV, TV = own output, FF)",
    "alarm": "TONtrigger/TOFFtrigger over `samples` samples of a condition",
    "lab_value": "the latest laboratory result of the input (every, delay, sigma; stream)",
    "bias_update": "SoftSensorBiasUpdate.run(prediction, lab value, lab time, sample time)",
    "lab_recorder": "LabDataRecorder.run(lab value, lab time): 1 when it wrote a line",
}


def make_plan(sf: StrategyFile, samples: Optional[int] = None,
              seed: Optional[int] = None) -> Plan:
    """Check the strategy and number it; raises StrategyError listing every
    problem when there is an error. `samples` and `seed` override the file's
    length and seed (as ``qxdcs run --samples/--seed`` do)."""
    checked = ck.check(sf)
    if not checked.ok:
        raise StrategyError(checked.problems)
    return number(checked, sf.path, samples, seed)


def plan_with(sf: StrategyFile, changes: Mapping[KeyPath, Any]) -> Plan:
    """The plan of `sf` with values replaced by key path (a study's scenario)."""
    return make_plan(sf.replace(changes))


def number(checked: "bl.Checked", source: str, samples: Optional[int] = None,
           seed: Optional[int] = None) -> Plan:
    """Number a checked strategy into a plan."""
    sim = checked.simulation
    ts = float(sim.sample_period_s)
    if samples is None:
        samples = sim.samples if sim.samples is not None else max(1, int(round(
            sim.duration_s / ts)))
    seed = sim.seed if seed is None else int(seed)
    names = list(checked.signals)
    slot = {n: i for i, n in enumerate(names)}
    units = tuple(checked.units.get(n, "") for n in names)
    initial = tuple(checked.initial.get(n, 0.0) for n in names)

    def step(b: "bl.Block") -> Step:
        params = dict(b.params)
        if "stream" in params:
            params["seed"] = (seed, params.pop("stream"))
        return Step(b.kind, params, tuple(slot[i] for i in b.inputs), slot[b.output],
                    ".".join(b.key))

    schedules = tuple(step(b) for b in checked.blocks if b.kind in bl.SCHEDULES)
    steps = tuple(step(b) for b in checked.blocks
                  if b.kind not in bl.SCHEDULES and not b.delays)
    after = tuple(step(b) for b in checked.blocks if b.delays)
    p = checked.plant
    plant = PlantPlan(
        p.kind, tuple(LocalModel(n, wp, g, m) for n, wp, g, m in p.locals),
        dict(p.initial), tuple((mv, slot[mv]) for mv in p.mvs),
        tuple((cv, slot[cv]) for cv in p.cvs),
        slot[p.working_value] if p.working_value is not None else None,
        tuple((cv, slot[s]) for cv, s in p.disturbance.items()))
    events = _events(checked)
    loops = []
    for lp in checked.loops:
        pid = next(b for b in checked.blocks if b.kind == "pid" and b.params["loop"] == lp.name)
        sp_block = next((b for b in checked.blocks if b.output == lp.sp_source), None)
        loops.append(LoopInfo(
            lp.name, lp.cv, lp.mv, slot[lp.sp], slot[lp.pv], slot[lp.mv],
            slot[lp.ff] if lp.ff else None, lp.op_low, lp.op_high, lp.noise,
            sp_block is not None, tuple(sp_block.changes) if sp_block is not None else (),
            events[lp.name], pid.params["mode"], tuple(pid.params["mode_changes"])))
    alarms = tuple(AlarmInfo(a.name, slot[a.name], a.loop, a.signal, a.band, a.above, a.below)
                   for a in checked.alarms)
    soft = tuple(SoftSensorInfo(s.name, slot[s.prediction], slot[s.true_value],
                                slot[bl.CORRECTED.format(s.name)], slot[bl.BIAS.format(s.name)],
                                slot[bl.LAB.format(s.name)], slot[bl.LAB_TIME.format(s.name)],
                                s.every, s.delay, s.record,
                                s.unit or checked.units.get(s.prediction, ""))
                 for s in checked.soft_sensors)
    warnings = tuple(pr for pr in checked.problems if pr.severity == WARNING)
    return Plan(source, ts, int(samples), int(seed), epoch(sim.start), sim.time_unit,
                tuple(names), units, initial, schedules, steps, plant, after, tuple(loops),
                alarms, soft, warnings)


def _events(checked: "bl.Checked") -> Dict[str, Tuple[float, ...]]:
    """For each loop, the times of the events that move it: changes of every
    block upstream of its measurement (through the plant's pairs), except its
    own setpoint schedule, whose changes the metrics take one by one."""
    upstream: Dict[str, set] = {}
    for b in checked.blocks:
        upstream.setdefault(b.output, set()).update(b.inputs)
    p = checked.plant
    for name, wp, gain, model in p.locals:
        for cv, row in model.items():
            for mv, entry in row.items():
                if md.has_effect(entry):
                    upstream.setdefault(cv, set()).add(mv)
    for cv in p.cvs:
        if p.working_value is not None:
            upstream.setdefault(cv, set()).add(p.working_value)
    for cv, sig in p.disturbance.items():
        upstream.setdefault(cv, set()).add(sig)
    writer = {b.output: b for b in checked.blocks}
    out = {}
    for lp in checked.loops:
        seen, todo = set(), [lp.pv]
        while todo:
            n = todo.pop()
            if n in seen:
                continue
            seen.add(n)
            todo.extend(upstream.get(n, ()))
        times = set()
        for n in seen:
            b = writer.get(n)
            if b is not None and n != lp.sp_source:
                times.update(b.changes)
        out[lp.name] = tuple(sorted(times))
    return out


def epoch(start) -> float:
    """The simulation's start as seconds since the epoch (a date-time
    without a zone is local time)."""
    if isinstance(start, datetime.datetime):
        return start.timestamp()
    return float(start)

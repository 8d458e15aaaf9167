"""The strategy as blocks: each loop, signal, alarm and soft sensor of a
checked file becomes the blocks it is made of, each reading signals by name
and writing one; then the references between them are checked (a signal
nothing writes, a loop's cv or mv the plant lacks, a signal written twice, a
cycle without a block that delays), the blocks are put in running order, the
initial value of every signal is found, and what the numbers imply is
pointed out (a KP whose sign fights the plant gain, times that are not whole
samples, sample periods a block cannot take).

`Checked` is what comes out, and what the plan is numbered from.
"""
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from qxdcs.strategy import models as md
from qxdcs.strategy import schema as sc
from qxdcs.strategy.problems import ERROR, WARNING, Problem, did_you_mean, one_of

Path = Tuple[str, ...]

# Blocks whose output for sample k+1 is computed at the end of sample k: they
# break cycles of signals (the plant's CVs are the other such outputs).
DELAYING = {"delay"}
# Blocks without inputs whose values are known in advance.
SCHEDULES = {"constant", "steps", "ramp", "lab_time"}

# Where a loop, a soft sensor and an alarm put the signals they make.
SP, SP_TARGET, PV, FF = "SP_{}", "SP_{}_target", "PV_{}", "FF_{}"
LAB, LAB_TIME, BIAS, CORRECTED, RECORDED = ("LAB_{}", "LABTIME_{}", "BIAS_{}", "CORR_{}",
                                            "REC_{}")

@dataclass
class Block:
    """One block of the strategy: reads `inputs` (signal names; `input_keys`
    says where in the file each was named) and writes `output`."""
    kind: str
    output: str
    inputs: Tuple[str, ...]
    params: Dict[str, Any]
    key: Path
    input_keys: Tuple[Path, ...] = ()
    unit: str = ""
    changes: Tuple[float, ...] = ()      # times (s) at which the block's output is moved

    @property
    def delays(self) -> bool:
        return self.kind in DELAYING


@dataclass
class LoopSpec:
    name: str
    cv: str
    mv: str
    sp: str                       # the signal the PID reads as setpoint
    pv: str                       # the signal the PID reads as measurement
    ff: Optional[str]
    sp_source: Optional[str]      # the schedule behind the setpoint, when it is one
    op_low: float
    op_high: float
    noise: float
    KP: float


@dataclass
class AlarmSpec:
    name: str
    loop: Optional[str]
    signal: Optional[str]
    band: Optional[float]
    above: Optional[float]
    below: Optional[float]


@dataclass
class SoftSensorSpec:
    name: str
    prediction: str
    true_value: str
    every: int
    delay: int
    record: bool
    unit: str


@dataclass
class PlantSpec:
    kind: str                                     # "mimo" or "lpv"
    locals: List[Tuple[str, Optional[float], float, Dict[str, Any]]]  # name, point, gain, model
    initial: Dict[str, float]
    units: Dict[str, str]
    cvs: List[str]
    mvs: List[str]
    working_value: Optional[str]
    disturbance: Dict[str, str]


@dataclass
class Checked:
    """What the checker found: the problems, and when there is no error the
    strategy as blocks in the order they run within a sample."""
    problems: List[Problem]
    simulation: Optional[sc.Simulation] = None
    plant: Optional[PlantSpec] = None
    blocks: List[Block] = field(default_factory=list)        # in running order
    loops: List[LoopSpec] = field(default_factory=list)
    alarms: List[AlarmSpec] = field(default_factory=list)
    soft_sensors: List[SoftSensorSpec] = field(default_factory=list)
    initial: Dict[str, float] = field(default_factory=dict)
    units: Dict[str, str] = field(default_factory=dict)
    signals: List[str] = field(default_factory=list)         # every signal, in trace order

    @property
    def ok(self) -> bool:
        return not any(p.severity == ERROR for p in self.problems)

    @property
    def errors(self) -> List[Problem]:
        return [p for p in self.problems if p.severity == ERROR]



def stream(default: str, own: Optional[int]) -> int:
    """The random stream of a block: its own seed, or one derived from its name."""
    return int(own) if own is not None else zlib.crc32(default.encode("utf-8"))


class Expansion:
    """Expands the valid tables of a file into blocks and checks them (see the
    module's text); `run` returns the Checked result."""
    def __init__(self, sf, report, sim, plant, named, broken):
        self.sf, self.report = sf, report
        self.sim: Optional[sc.Simulation] = sim
        self.plant_raw: Optional[sc.Plant] = plant
        self.named, self.broken = named, broken
        self.ts = sim.sample_period_s if sim is not None else None
        self.blocks: List[Block] = []
        self.loops: List[LoopSpec] = []
        self.alarms: List[AlarmSpec] = []
        self.soft: List[SoftSensorSpec] = []
        self.plant: Optional[PlantSpec] = None
        self.units: Dict[str, str] = {}
        self.suppressed = set()      # names written by broken tables
        self.plant_tags: Tuple[List[str], List[str]] = ([], [])

    def run(self) -> Checked:
        self._plant()
        self._raw_writers()
        for name, sig in self.named["signal"].items():
            self._signal(name, sig)
        for name, loop in self.named["loop"].items():
            self._loop(name, loop)
        for name, alarm in self.named["alarm"].items():
            self._alarm(name, alarm)
        for name, ss in self.named["soft_sensor"].items():
            self._soft_sensor(name, ss)
        writers = self._writers()
        self._references(writers)
        order = self._order(writers)
        problems = self.report.problems
        if any(p.severity == ERROR for p in problems) or order is None:
            return Checked(problems, self.sim)
        initial = self._initial_values(writers)
        self._fill(initial)
        self._warnings(initial)
        signals = self._trace_order()
        self._units()
        return Checked(self.report.problems, self.sim, self.plant, order, self.loops,
                       self.alarms, self.soft, initial, self.units, signals)

    # -- the plant --

    def _plant(self):
        p = self.plant_raw
        if p is None:
            p = self._plant_as_far_as_valid()
            if p is None:
                return
        if p.model is not None:
            locals_ = [("", None, 1.0, p.model, ("plant", "model"))]
            kind = "mimo"
        else:
            locals_ = [(name, lp.working_point, lp.gain, lp.model, ("plant", "local", name,
                                                                  "model"))
                       for name, lp in p.local.items()]
            kind = "lpv"
            points = {}
            for name, lp in p.local.items():
                if lp.working_point in points:
                    self.report(("plant", "local", name, "working_point"),
                                f"{lp.working_point:g} is also the working point of "
                                f"{points[lp.working_point]!r}: the simulator keeps one plant "
                                f"per working point")
                points[lp.working_point] = name
            if self.ts is not None and not float(self.ts).is_integer():
                self.report(("simulation", "sample_period_s"),
                            f"an LPV plant runs its local plants at a whole number of seconds; "
                            f"got {self.ts:g}")
        ok = True
        for name, wp, gain, model, path in locals_:
            if model is None:
                ok = False   # its file could not be read: reported already
                continue
            if not md.check_model(model, self.report.under(path), self.ts):
                ok = False
            if path in self.sf.model_periods:
                before = len(self.report.problems)
                md.check_period(model, self.sf.model_periods[path], self.ts,
                                self.report.under(path))
                if any(q.severity == ERROR for q in self.report.problems[before:]):
                    ok = False
        usable = [(n, wp, g, m) for n, wp, g, m, _ in locals_ if isinstance(m, dict)]
        if kind == "lpv" and len(usable) > 1:
            first, first_cvs = usable[0][0], set(usable[0][3])
            for name, _, _, m in usable[1:]:
                if set(m) != first_cvs:
                    missing = sorted(first_cvs ^ set(m))
                    self.report(("plant", "local", name, "model"),
                                f"local plants must have the same CVs: {one_of(missing)} in "
                                f"one of {first!r} and {name!r} only (the simulator fails when "
                                f"it blends them)")
        cvs, mvs = md.model_tags({cv: row for _, _, _, m in usable for cv, row in m.items()
                                  if isinstance(row, dict)})
        union = {cv: {} for cv in cvs}
        if mvs:
            union[cvs[0]] = {mv: {} for mv in mvs}
        if usable:
            md.check_initial(union, p.initial, self.report.under(("plant", "initial")))
        for tag in p.units:
            if tag not in cvs + mvs:
                self.report(("plant", "units", tag), f"unit of {tag!r}, a tag the plant lacks"
                                                     f"{did_you_mean(tag, cvs + mvs)}", WARNING)
        for cv in p.disturbance:
            if cv not in cvs:
                self.report(("plant", "disturbance", cv),
                            f"disturbances are added to CVs; {cv!r} is not a CV of the plant"
                            f"{did_you_mean(cv, cvs)} (CVs: {one_of(cvs)})")
        self.plant_tags = (cvs, mvs)
        if not ok or self.plant_raw is None:
            return
        initial = {k: float(v) for k, v in p.initial.items()
                   if isinstance(v, (int, float)) and not isinstance(v, bool)}
        self.plant = PlantSpec(kind, usable, initial, dict(p.units), cvs, mvs, p.working_value,
                               dict(p.disturbance))
        for tag in cvs + mvs:
            self.units[tag] = p.units.get(tag, "")

    def _plant_as_far_as_valid(self):
        """A plant table with structural problems (reported already): its
        models are still checked and its tags still known, so that the rest
        of the file is checked against them."""
        raw = self.sf.data.get("plant")
        if not isinstance(raw, dict):
            return None
        model = raw.get("model") if isinstance(raw.get("model"), dict) else None
        local = None
        if isinstance(raw.get("local"), dict):
            local = {}
            for name, lp in raw["local"].items():
                if isinstance(lp, dict) and isinstance(lp.get("model"), dict):
                    wp = lp.get("working_point")
                    local[name] = sc.LocalPlant.model_construct(
                        working_point=wp if isinstance(wp, (int, float)) else 0.0,
                        model=lp["model"], gain=1.0)
        if model is None and not local:
            return None
        initial = raw.get("initial") if isinstance(raw.get("initial"), dict) else {}
        units = raw.get("units") if isinstance(raw.get("units"), dict) else {}
        dist = raw.get("disturbance") if isinstance(raw.get("disturbance"), dict) else {}
        return sc.Plant.model_construct(model=model if local is None else None, local=local,
                                        working_value=raw.get("working_value"),
                                        initial=initial, units=units, disturbance=dist)

    def _raw_writers(self):
        """Signals that broken tables would write: not reported as missing."""
        raw = self.sf.data
        for section in ("signal", "alarm"):
            self.suppressed.update(self.broken[section])
        loops = raw.get("loop") if isinstance(raw.get("loop"), dict) else {}
        for name in self.broken["loop"]:
            self.suppressed.update(x.format(name) for x in (SP, SP_TARGET, PV, FF))
            mv = loops.get(name, {}).get("mv") if isinstance(loops.get(name), dict) else None
            if isinstance(mv, str):
                self.suppressed.add(mv)
        for name in self.broken["soft_sensor"]:
            self.suppressed.update(x.format(name) for x in (LAB, LAB_TIME, BIAS, CORRECTED,
                                                            RECORDED))
        if self.plant is None and not any(self.plant_tags):
            self.suppressed.add("*plant*")

    def _whole_samples(self, path, seconds, minimum=1) -> Optional[int]:
        """A time in seconds as a whole number of samples, or None (reported)."""
        if self.ts is None:
            return None
        n = seconds / self.ts
        whole = round(n)
        if n < minimum - 1e-9:
            whole = -1
        elif abs(n - whole) > 1e-9 * max(1.0, abs(n)):
            low = max(minimum, int(n))
            self.report(path, f"{seconds:g} s is not a whole number of sample periods "
                              f"({self.ts:g} s); use a multiple such as {low * self.ts:g} or "
                              f"{(low + 1) * self.ts:g}")
            return None
        if whole < minimum:
            self.report(path, f"must be at least {minimum} sample period"
                              f"{'s' if minimum != 1 else ''} ({minimum * self.ts:g} s); got "
                              f"{seconds:g} s")
            return None
        return int(whole)

    def _times(self, path, pairs):
        times = [t for t, *_ in pairs]
        for i, (a, b) in enumerate(zip(times, times[1:])):
            if b < a:
                self.report(path + (str(i + 1),), f"times must not decrease: {b:g} s comes "
                                                  f"after {a:g} s")
                return

    # -- signals --

    def _add(self, kind, output, inputs, params, key, input_keys=None, unit="", changes=()):
        inputs = tuple(inputs)
        if input_keys is None:
            input_keys = (key,) * len(inputs)
        self.blocks.append(Block(kind, output, inputs, params, tuple(key), tuple(input_keys),
                                 unit, tuple(changes)))

    def _signal(self, name, s):
        key = ("signal", name)
        kind = s.kind
        if kind == "constant":
            self._add("constant", name, (), {"value": s.value}, key, unit=s.unit)
        elif kind == "steps":
            self._times(key + ("at",), s.at)
            self._add("steps", name, (), {"initial": s.initial,
                                          "at": tuple(tuple(p) for p in s.at)},
                      key, unit=s.unit, changes=[t for t, _ in s.at])
        elif kind == "ramp":
            times = [t for t, _ in s.points]
            for i, (a, b) in enumerate(zip(times, times[1:])):
                if b <= a:
                    self.report(key + ("points", str(i + 1)),
                                f"times must increase: {b:g} s comes after {a:g} s")
                    break
            self._add("ramp", name, (), {"points": tuple(tuple(p) for p in s.points)}, key,
                      unit=s.unit, changes=times)
        elif kind == "noise":
            self._add("noise", name, (s.of,) if s.of else (),
                      {"sigma": s.sigma, "mean": s.mean, "stream": stream(name, s.seed)},
                      key, [key + ("of",)] if s.of else [], unit=s.unit)
        elif kind == "filtered_noise":
            self._tf(key, s.num_s, s.den_s)
            self._add("filtered_noise", name, (s.of,) if s.of else (),
                      {"sigma": s.sigma, "num_s": tuple(s.num_s), "den_s": tuple(s.den_s),
                       "offset": s.offset, "stream": stream(name, s.seed)},
                      key, [key + ("of",)] if s.of else [], unit=s.unit)
        elif kind == "test_signal":
            self._add("test_signal", name, (), {"half_period_s": s.half_period_s,
                                                "amplitude": s.amplitude, "offset": s.offset,
                                                "stream": stream(name, s.seed)},
                      key, unit=s.unit)
        elif kind == "sum":
            self._add("sum", name, tuple(s.inputs), {"gains": tuple(s.inputs.values()),
                                                     "bias": s.bias},
                      key, [key + ("inputs", i) for i in s.inputs], unit=s.unit)
        elif kind == "lead_lag":
            self._lead_lag_ts(key)
            self._add("lead_lag", name, (s.input,), {"alpha": s.alpha, "tao_s": s.tao_s,
                                                     "gain": 1.0, "offset": 0.0},
                      key, [key + ("input",)], unit=s.unit)
        elif kind == "transfer_function":
            self._tf(key, s.num_s, s.den_s)
            self._add("transfer_function", name, (s.input,),
                      {"num_s": tuple(s.num_s), "den_s": tuple(s.den_s), "gain": 1.0,
                       "initial": s.initial},
                      key, [key + ("input",)], unit=s.unit)
        elif kind == "rate_limit":
            self._add("rate_limit", name, (s.input,),
                      {"rise_per_min": s.rise_per_min,
                       "fall_per_min": s.fall_per_min if s.fall_per_min is not None
                       else s.rise_per_min},
                      key, [key + ("input",)], unit=s.unit)
        elif kind == "delay":
            samples = self._whole_samples(key + ("delay_s",), s.delay_s)
            self._add("delay", name, (s.input,), {"samples": samples}, key,
                      [key + ("input",)], unit=s.unit)
        elif kind == "model":
            ok = True
            for mv, spec in s.model.items():
                rep = self.report.under(key + ("model", mv))
                before = len(self.report.problems)
                md.check_pair(spec, rep, self.ts)
                if any(p.severity == ERROR for p in self.report.problems[before:]):
                    ok = False
            inputs = tuple(s.model)
            self._add("model", name, inputs, {"model": {name: dict(s.model)}, "ok": ok,
                                              "initial": s.initial},
                      key, [key + ("model", i) for i in inputs], unit=s.unit)

    def _tf(self, key, num, den):
        if den[0] == 0:
            self.report(key + ("den_s",), "the first (highest-power) coefficient must not be "
                                          "zero")
        if not any(num):
            self.report(key + ("num_s",), "all coefficients are zero")
        elif md._degree(num) > len(den) - 1:
            self.report(key + ("num_s",), "the numerator's degree exceeds the denominator's: "
                                          "not a proper transfer function")

    def _lead_lag_ts(self, key):
        if self.ts is not None and not float(self.ts).is_integer():
            self.report(key, f"a lead-lag (LDLAG) runs at a whole number of seconds; the sample "
                             f"period is {self.ts:g} s: use a transfer function (num_s, den_s)")

    # -- loops --

    def _loop(self, name, lp: sc.Loop):
        key = ("loop", name)
        self._times(key + ("mode_changes",), lp.mode_changes)
        sp_changes: List[float] = []
        if isinstance(lp.sp, str):
            target, sp_source = lp.sp, None
            target_keys = [key + ("sp",)]
        else:
            target = (SP_TARGET if lp.sp_rate_per_min else SP).format(name)
            sp_source = target
            target_keys = []
            if isinstance(lp.sp, list):
                self._times(key + ("sp",), lp.sp)
                sp_changes = [t for t, _ in lp.sp]
                self._add("steps", target, (), {"initial": None, "cv": lp.cv,
                                                "at": tuple(tuple(p) for p in lp.sp)},
                          key + ("sp",), changes=sp_changes)
            else:
                self._add("constant", target, (), {"value": lp.sp, "cv": lp.cv}, key + ("sp",))
        sp = target
        if lp.sp_rate_per_min:
            sp = SP.format(name)
            self._add("rate_limit", sp, (target,), {"rise_per_min": lp.sp_rate_per_min,
                                                    "fall_per_min": lp.sp_rate_per_min},
                      key + ("sp_rate_per_min",), target_keys or [key + ("sp",)])
        pv = lp.cv
        if lp.measurement_noise > 0:
            pv = PV.format(name)
            self._add("noise", pv, (lp.cv,), {"sigma": lp.measurement_noise, "mean": 0.0,
                                              "stream": stream(f"loop.{name}.measurement",
                                                               lp.noise_seed)},
                      key + ("measurement_noise",), [key + ("cv",)])
        ff = None
        if lp.feedforward is not None:
            f = lp.feedforward
            ff = FF.format(name)
            fkey = key + ("feedforward",)
            if f.lead_lag is not None:
                self._lead_lag_ts(fkey + ("lead_lag",))
                self._add("lead_lag", ff, (f.signal,), {"alpha": f.lead_lag.alpha,
                                                        "tao_s": f.lead_lag.tao_s,
                                                        "gain": f.gain, "offset": None},
                          fkey, [fkey + ("signal",)])
            elif f.num_s is not None:
                self._tf(fkey, f.num_s, f.den_s)
                self._add("transfer_function", ff, (f.signal,),
                          {"num_s": tuple(f.num_s), "den_s": tuple(f.den_s), "gain": f.gain,
                           "initial": 0.0}, fkey, [fkey + ("signal",)])
            else:
                self._add("sum", ff, (f.signal,), {"gains": (f.gain,), "bias": None},
                          fkey, [fkey + ("signal",)])
        inputs = (sp, pv) + ((ff,) if ff else ())
        input_keys = (target_keys[0] if target_keys and sp == target else key + ("sp",),
                      key + ("cv",)) + ((key + ("feedforward", "signal"),) if ff else ())
        mode = 1 if lp.mode == "auto" else 0
        changes = tuple((t, 1 if m == "auto" else 0) for t, m in lp.mode_changes)
        self._add("pid", lp.mv, inputs, {"KP": lp.KP, "TI": lp.TI, "TD": lp.TD, "N": lp.N,
                                         "op_high": lp.op_high, "op_low": lp.op_low,
                                         "mode": mode, "mode_changes": changes, "loop": name},
                  key + ("mv",), input_keys, changes=[t for t, _ in changes])
        self.loops.append(LoopSpec(name, lp.cv, lp.mv, sp, pv, ff, sp_source, lp.op_low,
                                   lp.op_high, lp.measurement_noise, lp.KP))

    def _alarm(self, name, a: sc.Alarm):
        key = ("alarm", name)
        samples = self._whole_samples(key + ("delay_s",), a.delay_s)
        if a.loop is not None:
            loop = next((l for l in self.loops if l.name == a.loop), None)
            if loop is None:
                if a.loop not in self.broken["loop"]:
                    names = [l.name for l in self.loops]
                    self.report(key + ("loop",), f"no loop {a.loop!r}{did_you_mean(a.loop, names)}"
                                                 f" (loops: {one_of(names) or 'none'})")
                return
            inputs, ikeys = (loop.sp, loop.pv), (("loop", a.loop, "sp"), ("loop", a.loop, "cv"))
        else:
            inputs, ikeys = (a.signal,), (key + ("signal",),)
        self._add("alarm", name, inputs, {"timer": a.kind, "samples": samples, "band": a.band,
                                          "above": a.above, "below": a.below}, key, ikeys)
        self.alarms.append(AlarmSpec(name, a.loop, a.signal, a.band, a.above, a.below))

    def _soft_sensor(self, name, s: sc.SoftSensor):
        key = ("soft_sensor", name)
        every = self._whole_samples(key + ("lab_every_s",), s.lab_every_s)
        delay = self._whole_samples(key + ("lab_delay_s",), s.lab_delay_s, minimum=0)
        if delay is not None and delay + s.const_samples + 1 > s.history_samples:
            self.report(key + ("history_samples",),
                        f"{s.history_samples} samples of predictions do not reach back to a "
                        f"laboratory result when it is used ({delay} samples of delay plus "
                        f"{s.const_samples + 1} to confirm it): make it at least "
                        f"{delay + s.const_samples + 1}")
        lab, lab_time = LAB.format(name), LAB_TIME.format(name)
        bias, corrected = BIAS.format(name), CORRECTED.format(name)
        self._add("lab_value", lab, (s.true_value,),
                  {"every": every, "delay": delay, "sigma": s.lab_noise,
                   "stream": stream(f"soft_sensor.{name}.lab", s.lab_seed)},
                  key, [key + ("true_value",)], unit=s.unit)
        self._add("lab_time", lab_time, (), {"every": every, "delay": delay}, key, unit="s")
        self._add("bias_update", bias, (s.prediction, lab, lab_time),
                  {"name": name, "filter_tao": s.bias_filter_samples,
                   "abs_threshold": s.abs_threshold, "prd_len": s.history_samples,
                   "const_len": s.const_samples},
                  key, [key + ("prediction",), key, key], unit=s.unit)
        self._add("sum", corrected, (s.prediction, bias), {"gains": (1.0, 1.0), "bias": 0.0},
                  key, [key + ("prediction",), key], unit=s.unit)
        if s.record:
            self._add("lab_recorder", RECORDED.format(name), (lab, lab_time),
                      {"name": name, "abs_threshold": s.abs_threshold,
                       "const_len": s.const_samples}, key + ("record",))
        self.soft.append(SoftSensorSpec(name, s.prediction, s.true_value, every or 1,
                                        delay or 0, s.record, s.unit))

    # -- references and the graph --

    def _writers(self) -> Dict[str, List[Any]]:
        writers: Dict[str, List[Any]] = {}
        for cv in self.plant_tags[0]:
            writers.setdefault(cv, []).append("plant")
        for b in self.blocks:
            writers.setdefault(b.output, []).append(b)
            if b.output == "time":
                self.report(b.key, "'time' names the time column of the traces: give the "
                                   "signal another name")
        for name, ws in writers.items():
            for w in ws[1:]:
                first = "the plant (a CV)" if ws[0] == "plant" else ".".join(ws[0].key)
                where = ("plant",) if w == "plant" else w.key
                self.report(where, f"signal {name!r} is also written by {first}: a signal has "
                                   f"one writer")
        return writers

    def _known(self, writers):
        return set(writers) | self.suppressed | set(self.plant_tags[1])

    def _references(self, writers):
        known = self._known(writers)
        if "*plant*" in self.suppressed:
            return   # the plant could not be read: its tags are not known
        valid = sorted(n for n in known if not n.startswith("*"))
        plant = self.plant
        cvs, mvs = self.plant_tags
        for b in self.blocks:
            if b.kind == "pid":
                continue  # a loop's references are its own (below)
            for name, key in zip(b.inputs, b.input_keys):
                if key[0] == "loop" and key[-1] in ("cv", "sp"):
                    continue  # a loop's cv and setpoint, read by its noise or an alarm: below
                if name not in known:
                    self.report(key, f"signal {name!r} is written by nothing"
                                     f"{did_you_mean(name, valid)}")
        readers = {n for b in self.blocks for n in b.inputs}
        for lp in self.loops:
            key = ("loop", lp.name)
            if lp.cv not in known:
                self.report(key + ("cv",), f"{lp.cv!r} is neither a CV of the plant nor a signal"
                                           f"{did_you_mean(lp.cv, cvs) or did_you_mean(lp.cv, valid)}"
                                           f" (plant CVs: {one_of(cvs)})")
            if lp.mv in cvs:
                pass  # reported as a second writer of the CV
            elif lp.mv not in mvs and lp.mv not in readers:
                self.report(key + ("mv",), f"{lp.mv!r} is not an MV of the plant and no block "
                                           f"reads it{did_you_mean(lp.mv, mvs)} "
                                           f"(plant MVs: {one_of(mvs)})")
            for sp in {lp.sp} | {i for b in self.blocks if b.output == lp.sp for i in b.inputs}:
                if sp not in known:   # a setpoint signal (maybe behind the loop's rate limit)
                    self.report(key + ("sp",), f"signal {sp!r} is written by nothing"
                                               f"{did_you_mean(sp, valid)}")
        if plant is not None:
            if plant.working_value is not None and plant.working_value not in known:
                self.report(("plant", "working_value"), f"signal {plant.working_value!r} is "
                                                        f"written by nothing"
                                                        f"{did_you_mean(plant.working_value, valid)}")
            for cv, sig in plant.disturbance.items():
                if sig not in known:
                    self.report(("plant", "disturbance", cv), f"signal {sig!r} is written by "
                                                              f"nothing{did_you_mean(sig, valid)}")
            for mv in mvs:
                if mv not in writers and mv not in self.suppressed:
                    self.report(("plant",), f"MV {mv!r} is written by no block: it stays at "
                                            f"its initial value "
                                            f"{plant.initial.get(mv, 0.0):g}", WARNING)

    def _order(self, writers) -> Optional[List[Block]]:
        """The blocks in running order: each after the blocks it reads from,
        in file order where that leaves a choice; None after a cycle."""
        index = {id(b): i for i, b in enumerate(self.blocks)}
        producer = {}
        for b in self.blocks:
            if not b.delays:
                producer.setdefault(b.output, b)
        deps = {id(b): {id(producer[n]) for n in b.inputs
                        if n in producer and producer[n] is not b}
                for b in self.blocks if not b.delays}
        done: List[Block] = []
        placed = set()
        pending = [b for b in self.blocks if not b.delays]
        while pending:
            ready = [b for b in pending if deps[id(b)] <= placed]
            if not ready:
                self._cycle(pending, deps, producer)
                return None
            first = min(ready, key=lambda b: index[id(b)])
            done.append(first)
            placed.add(id(first))
            pending.remove(first)
        return done + [b for b in self.blocks if b.delays]

    def _cycle(self, pending, deps, producer):
        by_id = {id(b): b for b in pending}
        start = pending[0]
        path, seen = [start], {id(start): 0}
        node = start
        while True:
            nxt = next(by_id[d] for d in deps[id(node)] if d in by_id)
            if id(nxt) in seen:
                cycle = path[seen[id(nxt)]:]
                break
            seen[id(nxt)] = len(path)
            path.append(nxt)
            node = nxt
        names = [b.output for b in reversed(cycle)]
        text = " -> ".join(names + [names[0]])
        self.report(cycle[-1].key, f"signals form a cycle with no block that delays: {text} "
                                   f"(read a plant output or a 'delay' signal to break it)")

    # -- values --

    def _initial_values(self, writers) -> Dict[str, float]:
        plant = self.plant
        init: Dict[str, float] = {}
        visiting = set()
        by_output = {b.output: b for b in self.blocks}
        loops_by_sp = {l.sp: l for l in self.loops}

        def value(name):
            if name in init:
                return init[name]
            if name in visiting:
                return 0.0
            visiting.add(name)
            b = by_output.get(name)
            if plant is not None and (name in plant.cvs or (b is None and name in plant.mvs)):
                v = plant.initial.get(name, 0.0)
            elif b is None:
                v = 0.0
            else:
                v = self._block_initial(b, value, loops_by_sp)
            visiting.discard(name)
            init[name] = float(v)
            return init[name]

        if plant is not None:
            for tag in plant.cvs + plant.mvs:
                value(tag)
        for b in self.blocks:
            value(b.output)
        return init

    def _block_initial(self, b, value, loops_by_sp):
        p, k = b.params, b.kind
        if k == "constant":
            return p["value"] if p["value"] is not None else value(p["cv"])
        if k == "steps":
            v = p["initial"] if p["initial"] is not None else value(p["cv"])
            for t, x in p["at"]:
                if t <= 0:
                    v = x
            return v
        if k == "ramp":
            return p["points"][0][1]
        if k == "noise":
            return (value(b.inputs[0]) if b.inputs else 0.0) + p["mean"]
        if k == "filtered_noise":
            return (value(b.inputs[0]) if b.inputs else 0.0) + p["offset"]
        if k == "test_signal":
            return p["offset"]
        if k == "sum":
            bias = p["bias"] if p["bias"] is not None else -sum(
                g * value(i) for g, i in zip(p["gains"], b.inputs))
            return bias + sum(g * value(i) for g, i in zip(p["gains"], b.inputs))
        if k == "lead_lag":
            return 0.0 if p["offset"] is None else value(b.inputs[0])
        if k == "transfer_function":
            if p["initial"] is not None:
                return p["initial"]
            gain = _tf_gain(p["num_s"], p["den_s"])
            return p["gain"] * gain * value(b.inputs[0]) if gain is not None else 0.0
        if k in ("rate_limit", "delay"):
            return value(b.inputs[0])
        if k == "model":
            return p["initial"]
        if k == "pid":
            if self.plant is not None and b.output in self.plant.mvs:
                return self.plant.initial.get(b.output, 0.0)
            inner = loops_by_sp.get(b.output)
            if inner is None:   # the setpoint of a rate limit or a target
                inner = next((l for l in self.loops
                              if any(x.output == l.sp and b.output in x.inputs
                                     for x in self.blocks)), None)
            return value(inner.cv) if inner is not None else 0.0
        if k == "lab_value":
            return value(b.inputs[0])
        if k == "lab_time":
            return -float((p["every"] or 1) * self.ts)
        return 0.0

    def _fill(self, init):
        """Parameters that depend on initial values: the operating points."""
        for b in self.blocks:
            p = b.params
            if b.kind == "constant" and p["value"] is None:
                p["value"] = init[b.output]
            elif b.kind == "steps" and p["initial"] is None:
                p["initial"] = init[p["cv"]]
            elif b.kind == "lead_lag":
                p["u_ini"] = init[b.inputs[0]]
                if p["offset"] is None:          # a feed-forward starts at 0
                    p["offset"] = -p["gain"] * init[b.inputs[0]]
            elif b.kind == "transfer_function":
                p["u_ini"] = init[b.inputs[0]]
                p["y_ini"] = init[b.output] / p["gain"] if p["gain"] else 0.0
            elif b.kind == "sum" and p["bias"] is None:
                p["bias"] = -sum(g * init[i] for g, i in zip(p["gains"], b.inputs))
            elif b.kind == "rate_limit":
                p["u_ini"] = init[b.inputs[0]]
            elif b.kind == "model":
                p["ini"] = dict({i: init[i] for i in b.inputs}, **{b.output: p["initial"]})
            elif b.kind == "lab_value":
                p["initial"] = init[b.inputs[0]]
            p.pop("cv", None)
            p.pop("ok", None)

    def _warnings(self, init):
        plant = self.plant
        for lp in self.loops:
            key = ("loop", lp.name, "KP")
            if lp.KP == 0:
                self.report(key, "KP = 0: the loop has no proportional or integral action",
                            WARNING)
                continue
            signs = self._loop_gain_signs(lp, set())
            if signs is None:
                continue
            if not signs:
                if plant is not None and lp.cv in plant.cvs and lp.mv in plant.mvs and not any(
                        md.has_effect(m.get(lp.cv, {}).get(lp.mv)) for _, _, _, m in plant.locals):
                    self.report(("loop", lp.name, "mv"), f"{lp.mv!r} has no effect on {lp.cv!r} "
                                                         f"in the plant model: the loop cannot "
                                                         f"move its CV", WARNING)
                continue
            against = [(g, where) for g, where in signs if g * lp.KP < 0]
            if against:
                g, where = against[0]
                need = "KP < 0" if lp.KP > 0 else "KP > 0"
                self.report(key, f"KP = {lp.KP:g} fights the plant: the gain of {lp.mv!r} on "
                                 f"{lp.cv!r} is {g:.3g}{where}, so with error = SP - PV this "
                                 f"loop needs {need}", WARNING)

    def _loop_gain_signs(self, lp, seen):
        """[(gain, where)] of the loop's MV on its CV, one per local plant; for
        a cascade's outer loop the sign through the inner loop. None when the
        path is not through the plant (nothing to check)."""
        plant = self.plant
        if plant is None or lp.name in seen:
            return None
        seen = seen | {lp.name}
        if lp.mv in plant.mvs and lp.cv in plant.cvs:
            out = []
            for name, wp, gain, model in plant.locals:
                g = md.static_gain(model.get(lp.cv, {}).get(lp.mv))
                if g is not None:
                    where = f" in local plant {name!r} (working point {wp:g})" if wp is not None \
                        else ""
                    out.append((g * gain, where))
            return out
        inner = next((l for l in self.loops if l.sp == lp.mv or (
            l.sp == SP.format(l.name) and any(b.output == l.sp and lp.mv in b.inputs
                                              for b in self.blocks))), None)
        if inner is None or inner.cv not in plant.cvs:
            return None
        own = self._loop_gain_signs(inner, seen)
        if not own or inner.mv not in plant.mvs:
            return None
        out = []
        for name, wp, gain, model in plant.locals:
            g_outer = md.static_gain(model.get(lp.cv, {}).get(inner.mv))
            g_inner = md.static_gain(model.get(inner.cv, {}).get(inner.mv))
            if g_outer is not None and g_inner is not None:
                where = f" through loop {inner.name!r}" + (
                    f" in local plant {name!r}" if wp is not None else "")
                out.append((g_outer / g_inner, where))
        return out

    def _units(self):
        """Units of every signal: a table's own, a loop's signals those of its
        CV (setpoint, measurement) and MV (feed-forward, output)."""
        for b in self.blocks:
            if b.unit:
                self.units.setdefault(b.output, b.unit)
        for lp in self.loops:
            cv = self.units.get(lp.cv, "")
            for name in (lp.sp, lp.pv, SP_TARGET.format(lp.name), SP.format(lp.name)):
                if not self.units.get(name):
                    self.units[name] = cv
        for lp in self.loops:   # after all setpoints: a cascade's output is the inner setpoint
            mv = self.units.get(lp.mv, "")
            if lp.ff:
                self.units[lp.ff] = mv
        for s in self.soft:
            unit = s.unit or self.units.get(s.prediction, "")
            for name in (LAB, BIAS, CORRECTED):
                self.units.setdefault(name.format(s.name), unit)
            self.units[LAB_TIME.format(s.name)] = "s"
        for b in self.blocks:
            self.units.setdefault(b.output, "")

    def _trace_order(self) -> List[str]:
        names: List[str] = []
        if self.plant is not None:
            names += self.plant.cvs + self.plant.mvs
        for b in self.blocks:
            if b.output not in names:
                names.append(b.output)
        return names


def _tf_gain(num, den) -> Optional[float]:
    if den[-1] == 0:
        return None
    return num[-1] / den[-1]

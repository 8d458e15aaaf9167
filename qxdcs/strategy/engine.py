"""The Python engine: runs a plan with the package's blocks.

It builds every block of the plan, precomputes what is known in advance
(schedules, noise, the sample times), and writes the per-sample loop once as
Python source: one line per step, with the blocks' bound methods as local
names, the loop a careful engineer would write by hand. `Engine.source`
shows it. The loop runs the steps in the plan's order (see plan.py); the
traces hold every slot of every sample.

Errors of the blocks reach the caller unchanged (a study reports them per
scenario); `Engine.failure` then says at which sample and in which step it
happened. Lines the blocks print (the soft sensor's) are kept in
`Engine.printed`, not shown.

A value that stops being a finite number is located the same way by both
engines (`locate`, `NonFinite`): the first sample whose row holds one, and
in that row the first value in the order the sample writes them (the CVs
and delayed values carried in from the sample before, then the schedules,
then the steps), with the block that wrote it. `Result.non_finite` holds it;
`run(check_finite=True)` stops there and raises EngineFailure.
"""
import contextlib
import io
import os
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from qxdcs.strategy import models as md
from qxdcs.strategy.plan import Plan, Step, held_values

CHUNK = 4096          # samples between moves of the recorded rows into the trace array
_FILENAME = "<qxdcs strategy loop>"


@dataclass
class Result:
    """The traces of a run: `time` (seconds from the start) and one array per
    signal; laboratory results per soft sensor as (sampling times in seconds
    from the start, values) of the results that arrived during the run; the
    laboratory CSV files the recorders wrote."""
    plan: Plan
    time: np.ndarray
    traces: Dict[str, np.ndarray]
    lab: Dict[str, Tuple[List[float], List[float]]]
    lab_files: Dict[str, str] = field(default_factory=dict)
    printed: str = ""
    engine: str = "python"                  # the engine that ran it: "python" or "native"
    non_finite: Optional["NonFinite"] = None

    @property
    def samples(self) -> int:
        return len(self.time)

    def first_non_finite(self) -> Optional[Tuple[str, int]]:
        """(signal, sample) where a trace first stops being a finite number."""
        best = None
        for name, trace in self.traces.items():
            bad = np.flatnonzero(~np.isfinite(trace))
            if len(bad) and (best is None or bad[0] < best[1]):
                best = (name, int(bad[0]))
        return best


@dataclass(frozen=True)
class NonFinite:
    """Where a value first stopped being a finite number: the sample, the
    signal, the block that wrote it (a step's key, or "plant") and the value
    (nan, inf or -inf)."""
    sample: int
    signal: str
    block: str
    value: float

    def __str__(self) -> str:
        return (f"{self.signal} became {self.value!r} at sample {self.sample} "
                f"(written by {self.block})")


def write_order(plan: Plan, recorders: bool) -> Tuple[List[Tuple[int, str]],
                                                      List[Tuple[int, str]],
                                                      List[Tuple[int, str]]]:
    """The order in which a sample writes the slots, each with its writer:
    (carried in at sample 0, carried in at later samples, written within a
    sample). Carried in are the CVs and the delayed values of the sample
    before, and at sample 0 also every slot no schedule or step writes (a
    constant, an MV no block writes, a recorder's slot when recorders do not
    run). `recorders`: whether laboratory recorders run."""
    carried = [(s, "plant") for _, s in plan.plant.cv] + [(st.output, st.key)
                                                          for st in plan.after]
    within = [(st.output, st.key) for st in plan.schedules if st.kind != "constant"]
    within += [(st.output, st.key) for st in plan.steps
               if recorders or st.kind != "lab_recorder"]
    writer = {st.output: st.key for st in plan.schedules + plan.steps + plan.after}
    taken = {s for s, _ in carried + within}
    rest = [(s, writer.get(s, "plant")) for s in range(len(plan.signals)) if s not in taken]
    return carried + rest, carried, within


def locate(plan: Plan, rows: np.ndarray, recorders: bool, base: int = 0,
           partial: Optional[Tuple[int, Sequence[float], int]] = None) -> Optional[NonFinite]:
    """The first value that is not a finite number in `rows` (the traces of
    samples base, base + 1, ...), and failing that in `partial`: (sample,
    values, steps done) of a sample that stopped within its steps."""
    if len(rows):
        bad = ~np.isfinite(rows)
        hit = np.flatnonzero(bad.any(axis=1))
        if len(hit):
            r = int(hit[0])
            first, carried, within = write_order(plan, recorders)
            for s, key in (first if base + r == 0 else carried) + within:
                if bad[r, s]:
                    return NonFinite(base + r, plan.signals[s], key, float(rows[r, s]))
    if partial is not None:
        k, values, done = partial
        first, carried, _ = write_order(plan, recorders)
        order = list(first if k == 0 else carried)
        order += [(st.output, st.key) for st in plan.schedules if st.kind != "constant"]
        order += [(st.output, st.key) for st in plan.steps[:done]
                  if recorders or st.kind != "lab_recorder"]
        for s, key in order:
            if not np.isfinite(values[s]):
                return NonFinite(k, plan.signals[s], key, float(values[s]))
    return None


def lab_file(lab_dir: str, name: str) -> str:
    """The laboratory CSV file of the recorder `name` in `lab_dir`."""
    return os.path.join(lab_dir, name + "_Raw_LabData.csv")


def lab_files(plan: Plan, lab_dir: Optional[str]) -> Dict[str, str]:
    """The laboratory CSV files the recorders of a run wrote, by name."""
    if lab_dir is None:
        return {}
    names = [st.params["name"] for st in plan.steps if st.kind == "lab_recorder"]
    return {n: lab_file(lab_dir, n) for n in names if os.path.exists(lab_file(lab_dir, n))}


class LabSampler:
    """Laboratory results of a true value: a sample drawn every `every`
    samples (from sample 0 on), its result known `delay` samples later, with
    Gaussian noise. Before the first result arrives, the last one known is
    the true value's initial value, drawn one period before the start."""

    def __init__(self, every: int, delay: int, noise: List[float], initial: float):
        self.every, self.delay, self.noise = every, delay, noise
        self.value = float(initial)
        self.pending: List[Tuple[int, float]] = []     # (sample drawn, value)
        self.arrived: List[Tuple[int, float]] = []
        self.drawn = 0

    def __call__(self, k: int, truth: float) -> float:
        if k % self.every == 0:
            self.pending.append((k, truth + self.noise[self.drawn]))
            self.drawn += 1
        while self.pending and self.pending[0][0] + self.delay <= k:
            drawn = self.pending.pop(0)
            self.arrived.append(drawn)
            self.value = drawn[1]
        return self.value


class EngineFailure(Exception):
    """Raised by `run(check_finite=True)` when a value stops being a finite
    number (a plant that diverges); `non_finite` says where."""

    def __init__(self, non_finite: NonFinite):
        super().__init__(str(non_finite))
        self.non_finite = non_finite


def _seeded(seed) -> np.random.Generator:
    return np.random.default_rng(list(seed))


def _int_if_whole(x: float):
    return int(x) if float(x).is_integer() else float(x)


class Engine:
    """One run of a plan. `lab_dir`: where the laboratory recorders write
    their CSV files (None: no recorder runs)."""

    def __init__(self, plan: Plan, lab_dir: Optional[str] = None):
        self.plan = plan
        self.lab_dir = lab_dir
        self.k = 0
        self.values = [float(x) for x in plan.initial]
        self._trace = np.empty((plan.samples, len(plan.signals)))
        self._rows: List[List[float]] = []
        self._stored = 0
        self._printed = io.StringIO()
        self.failure: Optional[Tuple[int, str]] = None
        self._non_finite: Optional[NonFinite] = None
        self._objects = self._build()
        self.source, self._lines = self._write_source()
        self._compile()

    # -- building --

    def _build(self) -> Dict[str, object]:
        """Every object the loop uses, by the name the loop gives it."""
        plan = self.plan
        n, ts = plan.samples, plan.sample_period
        ns: Dict[str, object] = {"V": self.values}
        ns["TT"] = [int(round(k * ts)) for k in range(n)]     # whole seconds from the start
        ns["PT"] = [plan.start + k * ts for k in range(n)]    # sample time, s since the epoch
        t = np.arange(n) * ts
        for i, st in enumerate(plan.schedules):
            p = st.params
            if st.kind == "steps":
                ns[f"S{i}"] = held_values(p["initial"], p["at"], n, ts).tolist()
            elif st.kind == "ramp":
                pts = p["points"]
                ns[f"S{i}"] = np.interp(t, [a for a, _ in pts], [b for _, b in pts]).tolist()
            elif st.kind == "lab_time":
                every, delay = p["every"], p["delay"]
                k = np.arange(n)
                drawn = np.where(k >= delay, ((k - delay) // every) * every, -every)
                ns[f"S{i}"] = (plan.start + drawn * ts).tolist()
        for i, st in enumerate(plan.steps + plan.after):
            ns.update(self._block(i, st, n, ts))
        ns.update(self._plant())
        return ns

    def _block(self, i: int, st: Step, n: int, ts: float) -> Dict[str, object]:
        from qxdcs.algorithm.qxDelay import Delay
        from qxdcs.algorithm.qxFilter import sFilter
        from qxdcs.algorithm.qxLDLAG import LDLAG
        from qxdcs.algorithm.qxPIDControl import PID
        from qxdcs.algorithm.qxProcessSim import MIMOSim
        from qxdcs.algorithm.qxRateLimit import RateLimit
        from qxdcs.algorithm.qxSoftSensor import LabDataRecorder, SoftSensorBiasUpdate
        from qxdcs.algorithm.qxTestSignal import TestSignal
        from qxdcs.algorithm.qxTrigger import TOFFtrigger, TONtrigger

        p, k = st.params, st.kind
        out: Dict[str, object] = {}
        if k == "noise":
            out[f"N{i}"] = (_seeded(p["seed"]).normal(0.0, p["sigma"], n) + p["mean"]).tolist()
        elif k == "filtered_noise":
            out[f"N{i}"] = _seeded(p["seed"]).normal(0.0, p["sigma"], n).tolist()
            out[f"F{i}"] = sFilter(list(p["num_s"]), list(p["den_s"]), ts, 0.0, 0.0)
            out[f"C{i}"] = float(p["offset"])
        elif k == "test_signal":
            seed = int(np.random.SeedSequence(list(p["seed"])).generate_state(1)[0])
            gen = TestSignal(seed)
            gen.set_ET(int(p["half_period_s"]))
            gen.set_amplitude(float(p["amplitude"]))
            out[f"T{i}"] = gen
            out[f"C{i}"] = float(p["offset"])
        elif k == "sum":
            out[f"C{i}"] = float(p["bias"])
            for j, g in enumerate(p["gains"]):
                out[f"G{i}_{j}"] = float(g)
        elif k == "lead_lag":
            u0 = float(p["u_ini"])
            out[f"L{i}"] = LDLAG(float(p["alpha"]), float(p["tao_s"]), int(ts), u0, u0)
            out[f"G{i}"], out[f"C{i}"] = float(p["gain"]), float(p["offset"])
        elif k == "transfer_function":
            out[f"F{i}"] = sFilter(list(p["num_s"]), list(p["den_s"]), ts, float(p["u_ini"]),
                                   float(p["y_ini"]))
            out[f"G{i}"] = float(p["gain"])
        elif k == "rate_limit":
            out[f"R{i}"] = RateLimit(float(p["u_ini"]), ts)
            out[f"U{i}"], out[f"D{i}"] = float(p["rise_per_min"]), float(p["fall_per_min"])
        elif k == "delay":
            out[f"DL{i}"] = Delay(int(p["samples"]) + 1)
            out[f"LAG{i}"] = int(p["samples"]) - 1
        elif k == "model":
            (cv, row), = p["model"].items()
            out[f"M{i}"] = MIMOSim({cv: {mv: dict(s) for mv, s in row.items()}},
                                   dict(p["ini"]), _int_if_whole(ts))
            out[f"U{i}"] = {mv: float(p["ini"][mv]) for mv in row}
            out[f"Y{i}"] = cv
            for j, mv in enumerate(row):
                out[f"K{i}_{j}"] = mv
        elif k == "pid":
            pid = PID(float(ts))
            pid.setPIDParam(float(p["KP"]), float(p["TI"]), float(p["TD"]), float(p["N"]))
            pid.setOPHighLowLimit(float(p["op_high"]), float(p["op_low"]))
            out[f"P{i}"] = pid
            out[f"MD{i}"] = [int(m) for m in held_values(p["mode"], p["mode_changes"], n, ts)]
        elif k == "alarm":
            timer = TONtrigger() if p["timer"] == "on_delay" else TOFFtrigger()
            timer.DT = int(p["samples"])
            out[f"A{i}"] = timer
            for name, value in (("B", p["band"]), ("H", p["above"]), ("L", p["below"])):
                if value is not None:
                    out[f"{name}{i}"] = float(value)
        elif k == "lab_value":
            noise = _seeded(p["seed"]).normal(0.0, p["sigma"], n // p["every"] + 2).tolist()
            out[f"LV{i}"] = LabSampler(int(p["every"]), int(p["delay"]), noise, p["initial"])
        elif k == "bias_update":
            out[f"B{i}"] = SoftSensorBiasUpdate(str(p["name"]), float(p["filter_tao"]),
                                                float(p["abs_threshold"]), int(p["prd_len"]),
                                                int(p["const_len"]))
        elif k == "lab_recorder":
            if self.lab_dir is not None:
                csv = lab_file(self.lab_dir, p["name"])
                if os.path.exists(csv):
                    os.remove(csv)   # a run's file holds that run's results
                out[f"W{i}"] = LabDataRecorder(str(p["name"]), float(p["abs_threshold"]),
                                               int(p["const_len"]), self.lab_dir)
        else:  # pragma: no cover - the plan's kinds are all above
            raise ValueError(f"no block for a step of kind {k!r}")
        return out

    def _plant(self) -> Dict[str, object]:
        from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
        from qxdcs.algorithm.qxProcessSim import MIMOSim

        pp, ts = self.plan.plant, self.plan.sample_period
        ns: Dict[str, object] = {}
        if pp.kind == "mimo":
            lm = pp.locals[0]
            ns["PLANT"] = MIMOSim(md.scale_gains(_plain(lm.model), lm.gain), dict(pp.initial),
                                  _int_if_whole(ts))
        else:
            sim = LPVPlantSim(dict(pp.initial))
            for j, lm in enumerate(pp.locals):
                sim.addPlant(j, float(lm.working_point),
                             md.scale_gains(_plain(lm.model), lm.gain), int(ts))
            ns["PLANT"] = sim
        ns["UP"] = {tag: self.values[s] for tag, s in pp.mv}
        ns["DP"] = {tag: 0.0 for tag, _ in pp.disturbance}
        for j, (tag, _) in enumerate(pp.mv):
            ns[f"KM{j}"] = tag
        for j, (tag, _) in enumerate(pp.cv):
            ns[f"KC{j}"] = tag
        for j, (tag, _) in enumerate(pp.disturbance):
            ns[f"KD{j}"] = tag
        return ns

    # -- the loop --

    def _write_source(self) -> Tuple[str, Dict[int, str]]:
        """The per-sample loop as Python source, and which step each line runs."""
        plan, ns = self.plan, self._objects
        body: List[Tuple[str, str]] = []
        done: List[int] = []      # for each line: the steps complete before it
        for i, st in enumerate(plan.schedules):
            if st.kind != "constant":
                body.append((f"v[{st.output}] = S{i}[k]", st.key))
        for i, st in enumerate(plan.steps):
            for line in self._lines_of(i, st, ns):
                body.append((line, st.key))
                done.append(i)
        done = [0] * (len(body) - len(done)) + done
        body.append(("rec(v[:])", "recording the traces"))
        pp = plan.plant
        for j, (_, s) in enumerate(pp.mv):
            body.append((f"UP[KM{j}] = v[{s}]", "plant"))
        for j, (_, s) in enumerate(pp.disturbance):
            body.append((f"DP[KD{j}] = v[{s}]", "plant"))
        disturb = ", DP" if pp.disturbance else ""
        if pp.kind == "mimo":
            body.append((f"Y = PLANT(UP{disturb})", "plant"))
        else:
            body.append((f"Y = PLANT(v[{pp.working_value}], UP{disturb})", "plant"))
        for j, (_, s) in enumerate(pp.cv):
            body.append((f"v[{s}] = Y[KC{j}]", "plant"))
        for i, st in enumerate(plan.after, start=len(plan.steps)):
            for line in self._lines_of(i, st, ns):
                body.append((line, st.key))
        names = sorted(set(ns) - {"V"})
        args = ", ".join(["v=V", "rec=None"] + [f"{x}={x}" for x in names])
        head = [f"def loop(k0, k1, {args}):", "    for k in range(k0, k1):"]
        done += [len(plan.steps)] * (len(body) - len(done))
        lines = {}
        src = list(head)
        for (text, key), before in zip(body, done):
            src.append("        " + text)
            lines[len(src)] = (key, before)
        src.append("    return k1")
        return "\n".join(src) + "\n", lines

    @staticmethod
    def _lines_of(i: int, st: Step, ns) -> List[str]:
        o, a = st.output, st.inputs
        k, p = st.kind, st.params
        if k == "noise":
            return [f"v[{o}] = v[{a[0]}] + N{i}[k]" if a else f"v[{o}] = N{i}[k]"]
        if k == "filtered_noise":
            base = f"v[{a[0]}] + " if a else ""
            return [f"v[{o}] = {base}F{i}(N{i}[k]) + C{i}"]
        if k == "test_signal":
            return [f"v[{o}] = T{i}(TT[k])[0] + C{i}"]
        if k == "sum":
            terms = " + ".join(f"G{i}_{j} * v[{s}]" for j, s in enumerate(a))
            return [f"v[{o}] = C{i} + {terms}"]
        if k == "lead_lag":
            return [f"v[{o}] = G{i} * L{i}(v[{a[0]}]) + C{i}"]
        if k == "transfer_function":
            return [f"v[{o}] = G{i} * F{i}(v[{a[0]}])"]
        if k == "rate_limit":
            return [f"v[{o}] = R{i}(v[{a[0]}], U{i}, D{i})"]
        if k == "delay":
            return [f"v[{o}] = DL{i}(v[{a[0]}], LAG{i})"]
        if k == "model":
            return [f"U{i}[K{i}_{j}] = v[{s}]" for j, s in enumerate(a)] + \
                   [f"v[{o}] = M{i}(U{i})[Y{i}]"]
        if k == "pid":
            ff = f"v[{a[2]}]" if len(a) > 2 else "0.0"
            return [f"v[{o}] = P{i}.run(MD{i}[k], v[{a[0]}], v[{a[1]}], v[{o}], {ff})"]
        if k == "alarm":
            if p["band"] is not None:
                cond = f"abs(v[{a[0]}] - v[{a[1]}]) > B{i}"
            elif p["above"] is not None and p["below"] is not None:
                cond = f"v[{a[0]}] > H{i} or v[{a[0]}] < L{i}"
            elif p["above"] is not None:
                cond = f"v[{a[0]}] > H{i}"
            else:
                cond = f"v[{a[0]}] < L{i}"
            return [f"A{i}.Ut = 1 if {cond} else 0", f"A{i}.call()", f"v[{o}] = A{i}.Yt"]
        if k == "lab_value":
            return [f"v[{o}] = LV{i}(k, v[{a[0]}])"]
        if k == "bias_update":
            return [f"v[{o}] = B{i}.run(v[{a[0]}], v[{a[1]}], v[{a[2]}], PT[k])"]
        if k == "lab_recorder":
            if f"W{i}" not in ns:
                return []
            return [f"v[{o}] = 1.0 if W{i}.run(v[{a[0]}], v[{a[1]}]) else 0.0"]
        raise ValueError(f"no line for a step of kind {k!r}")  # pragma: no cover

    def _compile(self):
        scope: Dict[str, object] = dict(self._objects)
        exec(compile(self.source, _FILENAME, "exec"), scope)
        loop = scope["loop"]
        rec = self._rows.append
        self._loop = lambda k0, k1: loop(k0, k1, rec=rec)

    # -- running --

    def step(self) -> None:
        """Advance the run by one sample."""
        self.run_to(self.k + 1)

    def run_to(self, k_end: int, progress: Optional[Callable[[int, int], None]] = None,
               check_finite: bool = False):
        """Run up to (not including) sample `k_end`; `progress(done, total)`
        is called after each chunk of samples. With `check_finite` the run
        stops at the first value that is not a finite number and raises
        EngineFailure (the samples before it are kept)."""
        n = self.plan.samples
        k_end = min(int(k_end), n)
        while self.k < k_end:
            stop = min(k_end, self.k + CHUNK)
            start = self._stored
            with contextlib.redirect_stdout(self._printed):
                try:
                    self.k = self._loop(self.k, stop)
                except Exception as exc:
                    done = self._locate(exc)
                    self._store()
                    if self._non_finite is None:
                        self._non_finite = self._find_non_finite(start, done)
                    if check_finite and self._non_finite is not None:
                        self._stop_at(self._non_finite)
                        raise EngineFailure(self._non_finite) from exc
                    raise
            self._store()
            if self._non_finite is None:
                self._non_finite = self._find_non_finite(start)
            if check_finite and self._non_finite is not None:
                self._stop_at(self._non_finite)
                raise EngineFailure(self._non_finite)
            if progress is not None:
                progress(self.k, n)

    def _find_non_finite(self, start: int, done: Optional[int] = None) -> Optional[NonFinite]:
        partial = None if done is None else (self.k, self.values, done)
        return locate(self.plan, self._trace[start:self._stored], self.lab_dir is not None,
                      start, partial)

    def _stop_at(self, nf: NonFinite):
        """Keep the samples before the first non-finite value; the run stops."""
        self._stored = min(self._stored, nf.sample)
        self.k = nf.sample
        self.failure = (nf.sample, nf.block)

    def _locate(self, exc) -> Optional[int]:
        """Where a block failed: sets k and failure; returns the steps of the
        failing sample that were complete (None when not found)."""
        tb, found = exc.__traceback__, None
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == _FILENAME:
                found = tb
            tb = tb.tb_next
        if found is None:
            return None
        k = found.tb_frame.f_locals.get("k", self.k)
        self.k = k        # the samples before it are complete and recorded
        key, done = self._lines.get(found.tb_lineno, ("?", None))
        self.failure = (int(k), key)
        return done

    def _store(self):
        rows = self._rows
        if rows:
            # A failure within a sample may leave that sample recorded; keep
            # only complete samples.
            rows = rows[:max(0, self.k - self._stored)]
            if rows:
                self._trace[self._stored:self._stored + len(rows)] = rows
                self._stored += len(rows)
            self._rows.clear()

    def run(self, progress: Optional[Callable[[int, int], None]] = None,
            check_finite: bool = False) -> Result:
        """Run to the end of the plan and return the result (see run_to)."""
        self.run_to(self.plan.samples, progress, check_finite)
        return self.result()

    def result(self) -> Result:
        """The traces of the samples run so far."""
        plan, n = self.plan, self._stored
        trace = self._trace[:n]
        traces = {name: trace[:, j] for j, name in enumerate(plan.signals)}
        lab = {}
        for i, st in enumerate(plan.steps):
            if st.kind == "lab_value":
                sampler = self._objects[f"LV{i}"]
                name = plan.signals[st.output][len("LAB_"):]
                lab[name] = ([k * plan.sample_period for k, _ in sampler.arrived],
                             [v for _, v in sampler.arrived])
        files = lab_files(plan, self.lab_dir)
        nf = self._non_finite
        if nf is not None and nf.sample > n:
            nf = None
        return Result(plan, np.arange(n) * plan.sample_period, traces, lab, files,
                      self._printed.getvalue(), "python", nf)

    @property
    def traces(self) -> np.ndarray:
        """The trace array: one row per sample (those run so far are filled),
        one column per signal."""
        return self._trace

    @property
    def printed(self) -> str:
        return self._printed.getvalue()

    # -- snapshots --

    def __getstate__(self):
        self._store()
        state = {k: v for k, v in self.__dict__.items()
                 if k not in ("_loop", "_printed", "_rows", "_objects")}
        state["_printed"] = self._printed.getvalue()
        state["_objects"] = {k: v for k, v in self._objects.items() if k != "V"}
        state["_trace"] = self._trace[:self._stored].copy()    # the rows run so far
        return state

    def __setstate__(self, state):
        state = dict(state)
        state["_printed"] = io.StringIO(state["_printed"])
        state["_printed"].seek(0, io.SEEK_END)
        state["_rows"] = []
        done = state["_trace"]
        state["_trace"] = np.empty((state["plan"].samples, len(state["plan"].signals)))
        state["_trace"][:len(done)] = done
        self.__dict__.update(state)
        self._objects["V"] = self.values
        self._compile()


def _plain(model) -> Dict:
    return {cv: {mv: dict(entry) for mv, entry in row.items()} for cv, row in model.items()}


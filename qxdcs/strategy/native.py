"""The native engine: a plan compiled to C++ blocks and signal slots, whose
per-sample loop runs in C++ (qxdcs::Strategy, bound as
``qxdcs.strategy._engine``) without a Python call or an allocation.

Compiling (`compile_plan`) is done once, in Python, and gives every block
the numbers the Python engine's block has: the discrete coefficients are
read from the package's own blocks built as the Python engine builds them
(sFilter, LDLAG, MIMOSim, LPVPlantSim and SoftSensorBiasUpdate discretise
with SciPy when they are constructed), so both engines compute with the same
coefficients. The random numbers are drawn when an engine is made, from the
same NumPy streams as the Python engine's (`default_rng([seed, stream])`;
the test signal's table from `TestSignal`), and handed to C++. The per-sample
arithmetic is the Python blocks' own, in the same order, so both engines give
the same traces bit for bit.

A `NativePlan` is plain data (numbers, lists, strings and the `Plan`): it
pickles, so a study can ship it to its workers. `NativeEngine` runs one and
has the Python engine's interface and `Result`.

Kinds the native engine has no block for make `compile_plan` raise
`NotNative` (`why_not` says why); `qxdcs.strategy.run` then takes the Python
engine.
"""
import io
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Union

import numpy as np

from qxdcs.strategy import models as md
from qxdcs.strategy.engine import (EngineFailure, NonFinite, Result, _int_if_whole, _plain,
                                   _seeded)
from qxdcs.strategy.plan import KINDS, Plan, Step

# Samples run between two returns to Python (progress, Ctrl-C, printed lines).
CHUNK = 16384

# The kinds of step the native engine runs: every kind of the plan.
NATIVE_KINDS = frozenset(KINDS)


class NotNative(ValueError):
    """A plan the native engine cannot run (the Python engine can)."""


def extension():
    """The compiled module of the native engine (ImportError when missing)."""
    from qxdcs.strategy import _engine
    return _engine


def why_not(plan: Union[Plan, "NativePlan"]) -> Optional[str]:
    """Why the native engine cannot run `plan`, or None when it can."""
    if isinstance(plan, NativePlan):
        return None
    if not isinstance(plan, Plan):
        return f"it runs plans, not {type(plan).__name__} objects"
    for st in plan.schedules + plan.steps + plan.after:
        if not isinstance(st, Step) or st.kind not in NATIVE_KINDS:
            kind = getattr(st, "kind", type(st).__name__)
            return f"it has no block of kind {kind!r} ({getattr(st, 'key', '?')})"
    if plan.plant.kind not in ("mimo", "lpv"):
        return f"it has no plant of kind {plan.plant.kind!r}"
    try:
        extension()
    except ImportError as exc:
        return f"its module cannot be loaded ({exc})"
    return None


@dataclass(frozen=True)
class NativePlan:
    """A plan compiled for the native engine: `plan` (the plan it came from)
    and `data`, what qxdcs::Strategy is built from (random numbers not yet
    drawn: `resolved()` draws them)."""
    plan: Plan
    data: Dict[str, Any]

    def resolved(self) -> Dict[str, Any]:
        """The data with every random table drawn (as the Python engine draws
        them)."""
        n = self.plan.samples
        data = dict(self.data)
        data["steps"] = [(k, key, i, o, _draw(k, p, n)) for k, key, i, o, p in data["steps"]]
        return data


def _draw(kind: str, p: Dict[str, Any], n: int) -> Dict[str, Any]:
    if kind == "noise":
        p = dict(p)
        p["values"] = _seeded(p.pop("seed")).normal(0.0, p.pop("sigma"), n) + p.pop("mean")
    elif kind == "filtered_noise":
        p = dict(p)
        p["noise"] = _seeded(p.pop("seed")).normal(0.0, p.pop("sigma"), n)
    elif kind == "lab_value":
        p = dict(p)
        p["noise"] = _seeded(p.pop("seed")).normal(0.0, p.pop("sigma"), n // p["every"] + 2)
    elif kind == "test_signal":
        from qxdcs.algorithm.qxTestSignal import TestSignal
        p = dict(p)
        seed = int(np.random.SeedSequence(list(p.pop("seed"))).generate_state(1)[0])
        p["table"] = np.array(TestSignal(seed)._rand_arr, dtype=float)
    return p


# --- compiling --------------------------------------------------------------------------------

def compile_plan(plan: Union[Plan, NativePlan]) -> NativePlan:
    """The plan as data for qxdcs::Strategy; NotNative when the native
    engine has no block for a step of it."""
    if isinstance(plan, NativePlan):
        return plan
    reason = why_not(plan)
    if reason is not None:
        raise NotNative(f"the native engine cannot run this plan: {reason}")
    ts = plan.sample_period
    data = {
        "source": plan.source,
        "sample_period": float(ts),
        "samples": int(plan.samples),
        "start": float(plan.start),
        "signals": list(plan.signals),
        "initial": [float(x) for x in plan.initial],
        "schedules": [_step(st, ts) for st in plan.schedules],
        "steps": [_step(st, ts) for st in plan.steps],
        "after": [_step(st, ts) for st in plan.after],
        "plant": _plant(plan),
    }
    return NativePlan(plan, data)


def _floats(xs) -> List[float]:
    return [float(x) for x in xs]


def _pair(element) -> Optional[tuple]:
    """A model element as (Gz_num, Gz_den), None for no model."""
    from qxdcs.algorithm.qxProcessSim import no_model
    if isinstance(element, no_model):
        return None
    return (_floats(element.Gz_num), _floats(element.Gz_den))


def _local(sim) -> Dict[str, Any]:
    """A MIMOSim's tags, pairs (CV-major) and initial values."""
    cvs, mvs = list(sim.get_cv_list()), list(sim.get_mv_list())
    ini = sim.ini_value_dict
    return {"working_point": 0.0, "cvs": cvs, "mvs": mvs,
            "pairs": [_pair(sim.yu_model_obj[cv][mv]) for cv in cvs for mv in mvs],
            "u_ini": [float(ini.get(mv, 0.0)) for mv in mvs],
            "y_ini": [float(ini.get(cv, 0.0)) for cv in cvs]}


def _step(st: Step, ts: float) -> tuple:
    p, k = st.params, st.kind
    if k == "constant":
        q = {"value": float(p["value"])}
    elif k == "steps":
        q = {"initial": float(p["initial"]), "at": [(float(t), float(x)) for t, x in p["at"]]}
    elif k == "ramp":
        q = {"points": [(float(t), float(x)) for t, x in p["points"]]}
    elif k == "lab_time":
        q = {"every": int(p["every"]), "delay": int(p["delay"])}
    elif k == "noise":
        q = {"seed": tuple(p["seed"]), "sigma": p["sigma"], "mean": p["mean"]}
    elif k == "filtered_noise":
        from qxdcs.algorithm.qxFilter import sFilter
        f = sFilter(list(p["num_s"]), list(p["den_s"]), ts, 0.0, 0.0)._zfilter
        q = {"seed": tuple(p["seed"]), "sigma": p["sigma"], "bz": _floats(f._Bz),
             "az": _floats(f._Az), "offset": float(p["offset"])}
    elif k == "test_signal":
        q = {"seed": tuple(p["seed"]), "half_period_s": int(p["half_period_s"]),
             "amplitude": float(p["amplitude"]), "offset": float(p["offset"])}
    elif k == "sum":
        q = {"gains": _floats(p["gains"]), "bias": float(p["bias"])}
    elif k == "lead_lag":
        from qxdcs.algorithm.qxLDLAG import LDLAG
        u0 = float(p["u_ini"])
        f = LDLAG(float(p["alpha"]), float(p["tao_s"]), int(ts), u0, u0)
        q = {"b": _floats(f._b), "a": _floats(f._a), "zi": _floats(f._zi),
             "u_last": float(f._u_ini), "y_last": float(f._y_ini),
             "gain": float(p["gain"]), "offset": float(p["offset"])}
    elif k == "transfer_function":
        from qxdcs.algorithm.qxFilter import sFilter
        f = sFilter(list(p["num_s"]), list(p["den_s"]), ts, float(p["u_ini"]),
                    float(p["y_ini"]))._zfilter
        q = {"bz": _floats(f._Bz), "az": _floats(f._Az), "u_ini": float(f._u_ini),
             "y_ini": float(f._y_ini), "gain": float(p["gain"])}
    elif k == "rate_limit":
        q = {"u_ini": float(p["u_ini"]), "rise_per_min": float(p["rise_per_min"]),
             "fall_per_min": float(p["fall_per_min"])}
    elif k == "delay":
        q = {"samples": int(p["samples"])}
    elif k == "model":
        from qxdcs.algorithm.qxProcessSim import MIMOSim
        (cv, row), = p["model"].items()
        sim = MIMOSim({cv: {mv: dict(s) for mv, s in row.items()}}, dict(p["ini"]),
                      _int_if_whole(ts))
        ini = sim.ini_value_dict
        q = {"pairs": [_pair(sim.yu_model_obj[cv][mv]) for mv in row],
             "u_ini": [float(ini.get(mv, 0.0)) for mv in row], "y_ini": float(ini.get(cv, 0.0))}
    elif k == "pid":
        q = {"KP": float(p["KP"]), "TI": float(p["TI"]), "TD": float(p["TD"]),
             "N": float(p["N"]), "op_high": float(p["op_high"]), "op_low": float(p["op_low"]),
             "mode": int(p["mode"]),
             "mode_changes": [(float(t), int(m)) for t, m in p["mode_changes"]]}
    elif k == "alarm":
        q = {"timer": p["timer"], "samples": int(p["samples"]),
             **{name: None if p[name] is None else float(p[name])
                for name in ("band", "above", "below")}}
    elif k == "lab_value":
        q = {"seed": tuple(p["seed"]), "sigma": p["sigma"], "every": int(p["every"]),
             "delay": int(p["delay"]), "initial": float(p["initial"])}
    elif k == "bias_update":
        from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate
        soft = SoftSensorBiasUpdate(str(p["name"]), float(p["filter_tao"]),
                                    float(p["abs_threshold"]), int(p["prd_len"]),
                                    int(p["const_len"]))
        fil = soft._fil
        q = {"name": str(p["name"]), "filter_tao": float(p["filter_tao"]),
             "filter_bz": [] if fil is None else _floats(fil._zfilter._Bz),
             "filter_az": [] if fil is None else _floats(fil._zfilter._Az),
             "abs_threshold": float(p["abs_threshold"]), "prd_len": int(p["prd_len"]),
             "const_len": int(p["const_len"])}
    elif k == "lab_recorder":
        q = {"name": str(p["name"]), "abs_threshold": float(p["abs_threshold"]),
             "const_len": int(p["const_len"])}
    else:  # pragma: no cover - why_not refuses every other kind
        raise NotNative(f"the native engine has no block of kind {k!r}")
    return (k, st.key, list(st.inputs), int(st.output), q)


def _plant(plan: Plan) -> Dict[str, Any]:
    from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
    from qxdcs.algorithm.qxProcessSim import MIMOSim

    pp, ts = plan.plant, plan.sample_period
    if pp.kind == "mimo":
        lm = pp.locals[0]
        sim = MIMOSim(md.scale_gains(_plain(lm.model), lm.gain), dict(pp.initial),
                      _int_if_whole(ts))
        locals_ = [_local(sim)]
    else:
        sim = LPVPlantSim(dict(pp.initial))
        for j, lm in enumerate(pp.locals):
            sim.addPlant(j, float(lm.working_point), md.scale_gains(_plain(lm.model), lm.gain),
                         int(ts))
        plants = sim.get_plant_dict()       # the checker allows one plant per working point
        locals_ = []
        for j, lm in enumerate(pp.locals):
            local = _local(plants[j].plant)
            local["working_point"] = float(lm.working_point)
            locals_.append(local)
    return {"lpv": pp.kind == "lpv", "locals": locals_,
            "initial": [(tag, float(v)) for tag, v in pp.initial.items()],
            "mv": [(tag, int(s)) for tag, s in pp.mv],
            "cv": [(tag, int(s)) for tag, s in pp.cv],
            "disturbance": [(tag, int(s)) for tag, s in pp.disturbance],
            "working_value": pp.working_value}


# --- running ----------------------------------------------------------------------------------

class NativeEngine:
    """One run of a plan on the native engine: the Python engine's interface
    (k, values, step, run_to, run, result, traces, printed, failure) and its
    Result. `lab_dir`: where the laboratory recorders write their CSV files
    (None: no recorder runs)."""

    name = "native"

    def __init__(self, plan: Union[Plan, NativePlan], lab_dir: Optional[str] = None):
        self.native = compile_plan(plan)
        self.plan = self.native.plan
        self.lab_dir = lab_dir
        self.failure = None
        self._printed = io.StringIO()
        self._trace = np.empty((self.plan.samples, len(self.plan.signals)))
        if lab_dir is not None:
            for name in self._recorders():
                csv = os.path.join(lab_dir, name + "_Raw_LabData.csv")
                if os.path.exists(csv):
                    os.remove(csv)   # a run's file holds that run's results
        self._run = extension().Strategy(self.native.resolved(), lab_dir)

    def _recorders(self) -> List[str]:
        return [st.params["name"] for st in self.plan.steps if st.kind == "lab_recorder"]

    @property
    def k(self) -> int:
        """The next sample to run (the samples before it are complete)."""
        return self._run.k

    @property
    def values(self) -> List[float]:
        """The slots now."""
        return self._run.values

    def step(self) -> None:
        """Advance the run by one sample."""
        self.run_to(self.k + 1)

    def run_to(self, k_end: int, progress: Optional[Callable[[int, int], None]] = None,
               check_finite: bool = False):
        """Run up to (not including) sample `k_end`; `progress(done, total)`
        is called after each chunk. With `check_finite` the run stops at the
        first value that is not a finite number and raises EngineFailure."""
        run, n = self._run, self.plan.samples
        k_end = min(int(k_end), n)
        run.stop_at_non_finite = bool(check_finite)
        while self.k < k_end:
            stop = min(k_end, self.k + CHUNK)
            try:
                run.run_to(stop, self._trace)
            except Exception as exc:
                self._collect()
                self.failure = run.failure
                nf = self.non_finite
                if check_finite and nf is not None:
                    self.failure = (nf.sample, nf.block)
                    raise EngineFailure(nf) from exc
                raise
            self._collect()
            nf = self.non_finite
            if check_finite and nf is not None:
                self.failure = (nf.sample, nf.block)
                raise EngineFailure(nf)
            if progress is not None:
                progress(self.k, n)

    def _collect(self):
        text = self._run.take_printed()
        if text:
            self._printed.write(text)

    @property
    def non_finite(self) -> Optional[NonFinite]:
        """Where a value first stopped being a finite number, or None."""
        got = self._run.non_finite
        if got is None:
            return None
        sample, slot, block, value = got
        return NonFinite(int(sample), self.plan.signals[slot], block, float(value))

    def run(self, progress: Optional[Callable[[int, int], None]] = None,
            check_finite: bool = False) -> Result:
        """Run to the end of the plan and return the result (see run_to)."""
        self.run_to(self.plan.samples, progress, check_finite)
        return self.result()

    def result(self) -> Result:
        """The traces of the samples run so far."""
        plan, n = self.plan, self.k
        trace = self._trace[:n]
        traces = {name: trace[:, j] for j, name in enumerate(plan.signals)}
        lab = {}
        for slot, arrived in self._run.lab_arrivals():
            name = plan.signals[slot][len("LAB_"):]
            lab[name] = ([k * plan.sample_period for k, _ in arrived], [v for _, v in arrived])
        files = {}
        if self.lab_dir is not None:
            for name in self._recorders():
                path = os.path.join(self.lab_dir, name + "_Raw_LabData.csv")
                if os.path.exists(path):
                    files[name] = path
        return Result(plan, np.arange(n) * plan.sample_period, traces, lab, files,
                      self._printed.getvalue(), "native", self.non_finite)

    @property
    def traces(self) -> np.ndarray:
        """The trace array: one row per sample (those run so far are filled),
        one column per signal."""
        return self._trace

    @property
    def printed(self) -> str:
        return self._printed.getvalue()

    # -- snapshots --
    # A snapshot holds the compiled plan, the samples run and the printed
    # lines. The run is deterministic, so unpickling runs the plan again to
    # the same sample, with the recorders' files left alone, which gives
    # every block exactly the state it had (and the traces of those samples).

    def __getstate__(self):
        return {"native": self.native, "lab_dir": self.lab_dir, "k": self.k,
                "printed": self.printed, "failure": self.failure}

    def __setstate__(self, state):
        self.native = state["native"]
        self.plan = self.native.plan
        self.lab_dir = state["lab_dir"]
        self.failure = state["failure"]
        self._trace = np.empty((self.plan.samples, len(self.plan.signals)))
        self._run = extension().Strategy(self.native.resolved(), self.lab_dir)
        self._run.set_write_files(False)
        k = state["k"]
        while self._run.k < k:
            self._run.run_to(min(k, self._run.k + CHUNK), self._trace)
        self._run.take_printed()
        self._run.set_write_files(True)
        self._printed = io.StringIO()
        self._printed.write(state["printed"])

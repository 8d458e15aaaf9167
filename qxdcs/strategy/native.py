"""The native engine: a plan compiled to C++ blocks and signal slots, whose
per-sample loop runs in C++ (qxdcs::Strategy, bound as
``qxdcs.strategy._engine``) without a Python call, and without allocating
(save a line a block prints or a recorder writes); the interpreter's lock is
released while it runs.

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
                                   _seeded, lab_files)
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
    """The step's parameters with its random table drawn. A table depends
    only on the parameters and the length, so each is drawn once per
    process (a study's scenarios with the same seeds share them); every
    caller gets arrays of its own."""
    if kind not in ("noise", "filtered_noise", "lab_value", "test_signal"):
        return p
    drawn = _memo("draw", (kind, p, n), lambda: _drawn(kind, p, n))
    return {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in drawn.items()}


def _drawn(kind: str, p: Dict[str, Any], n: int) -> Dict[str, Any]:
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

def compile_plan(plan: Union[Plan, NativePlan], like: Optional[NativePlan] = None) -> NativePlan:
    """The plan as data for qxdcs::Strategy; NotNative when the native
    engine has no block for a step of it. `like`: a compiled plan whose
    plant and sample period equal this plan's (a study's scenario that
    changes only its loops); its plant's data is taken as it is."""
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
        "plant": (like.data["plant"] if like is not None and like.plan.plant == plan.plant
                  and like.plan.sample_period == plan.sample_period else _plant(plan)),
    }
    return NativePlan(plan, data)


def _floats(xs) -> List[float]:
    return [float(x) for x in xs]


# The coefficients of a block depend only on the numbers it is built from,
# so each is computed once per process (a study's scenarios share most of
# them): by building the package's block from exactly those numbers and
# reading what it computed. The keys hold the numbers with their types, so
# a hit gives what building the block again would give.

def _key(x):
    """A hashable key of plain data, types included."""
    if isinstance(x, dict):
        return ("d",) + tuple((k, _key(v)) for k, v in x.items())
    if isinstance(x, (list, tuple)):
        return ("l",) + tuple(_key(v) for v in x)
    if isinstance(x, np.ndarray):
        return ("a", x.dtype.str, x.shape, x.tobytes())
    if isinstance(x, float):
        return ("float", x.hex())          # -0.0 is not 0.0 here
    if isinstance(x, (bool, int, str)) or x is None:
        return (type(x).__name__, x)
    raise TypeError(f"no key for {type(x).__name__}")


_MEMO: Dict[Any, Any] = {}
MEMO_SIZE = 8192


def _memo(kind: str, numbers, build: Callable[[], Any]):
    """build(), computed once for `numbers` (its value must not be changed)."""
    try:
        key = (kind, _key(numbers))
    except TypeError:
        return build()
    try:
        return _MEMO[key]
    except KeyError:
        pass
    if len(_MEMO) >= MEMO_SIZE:
        _MEMO.clear()
    value = _MEMO[key] = build()
    return value


def _tuple(xs) -> tuple:
    return tuple(float(x) for x in xs)


def _pair(spec, ts) -> Optional[tuple]:
    """The element MIMOSim builds for one pair's specification at Ts, as
    (Gz_num, Gz_den), None for no model."""
    if not spec:
        return None

    def build():
        from qxdcs.algorithm.qxProcessSim import MIMOSim, no_model
        element = MIMOSim({"y": {"u": dict(spec)}}, {}, ts).yu_model_obj["y"]["u"]
        if isinstance(element, no_model):
            return None
        return (_tuple(element.Gz_num), _tuple(element.Gz_den))
    return _memo("pair", (spec, ts), build)


def _sfilter(num, den, ts) -> tuple:
    """(Bz, Az) of sFilter(num, den, ts)."""
    def build():
        from qxdcs.algorithm.qxFilter import sFilter
        f = sFilter(list(num), list(den), ts, 0.0, 0.0)._zfilter
        return (_tuple(f._Bz), _tuple(f._Az))
    return _memo("sFilter", (list(num), list(den), ts), build)


def _local(model, ini, ts) -> Dict[str, Any]:
    """A MIMOSim's tags, pairs (CV-major) and initial values for a model
    dictionary, initial values and Ts: the CVs in order, the MVs where they
    first occur (get_model_tags), one element per pair."""
    cvs = list(model)
    mvs: List[str] = []
    for row in model.values():
        for mv in row:
            if mv not in mvs:
                mvs.append(mv)
    return {"working_point": 0.0, "cvs": cvs, "mvs": mvs,
            "pairs": [_pair(model[cv].get(mv, {}), ts) for cv in cvs for mv in mvs],
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
        bz, az = _sfilter(p["num_s"], p["den_s"], ts)
        q = {"seed": tuple(p["seed"]), "sigma": p["sigma"], "bz": bz, "az": az,
             "offset": float(p["offset"])}
    elif k == "test_signal":
        q = {"seed": tuple(p["seed"]), "half_period_s": int(p["half_period_s"]),
             "amplitude": float(p["amplitude"]), "offset": float(p["offset"])}
    elif k == "sum":
        q = {"gains": _floats(p["gains"]), "bias": float(p["bias"])}
    elif k == "lead_lag":
        u0 = float(p["u_ini"])

        def build():
            from qxdcs.algorithm.qxLDLAG import LDLAG
            f = LDLAG(float(p["alpha"]), float(p["tao_s"]), int(ts), u0, u0)
            return {"b": _tuple(f._b), "a": _tuple(f._a), "zi": _tuple(f._zi),
                    "u_last": float(f._u_ini), "y_last": float(f._y_ini)}
        q = dict(_memo("LDLAG", (float(p["alpha"]), float(p["tao_s"]), int(ts), u0), build),
                 gain=float(p["gain"]), offset=float(p["offset"]))
    elif k == "transfer_function":
        bz, az = _sfilter(p["num_s"], p["den_s"], ts)
        q = {"bz": bz, "az": az, "u_ini": float(p["u_ini"]), "y_ini": float(p["y_ini"]),
             "gain": float(p["gain"])}
    elif k == "rate_limit":
        q = {"u_ini": float(p["u_ini"]), "rise_per_min": float(p["rise_per_min"]),
             "fall_per_min": float(p["fall_per_min"])}
    elif k == "delay":
        q = {"samples": int(p["samples"])}
    elif k == "model":
        (cv, row), = p["model"].items()
        ini, its = dict(p["ini"]), _int_if_whole(ts)
        q = {"pairs": [_pair(dict(s), its) for s in row.values()],
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
        def build():
            from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate
            fil = SoftSensorBiasUpdate("f", float(p["filter_tao"]))._fil
            if fil is None:
                return ((), ())
            return (_tuple(fil._zfilter._Bz), _tuple(fil._zfilter._Az))
        bz, az = _memo("bias filter", float(p["filter_tao"]), build)
        q = {"name": str(p["name"]), "filter_tao": float(p["filter_tao"]),
             "filter_bz": bz, "filter_az": az,
             "abs_threshold": float(p["abs_threshold"]), "prd_len": int(p["prd_len"]),
             "const_len": int(p["const_len"])}
    elif k == "lab_recorder":
        q = {"name": str(p["name"]), "abs_threshold": float(p["abs_threshold"]),
             "const_len": int(p["const_len"])}
    else:  # pragma: no cover - why_not refuses every other kind
        raise NotNative(f"the native engine has no block of kind {k!r}")
    return (k, st.key, list(st.inputs), int(st.output), q)


def _plant(plan: Plan) -> Dict[str, Any]:
    """The plant as MIMOSim (one model) or LPVPlantSim (a local MIMOSim per
    working point, whose CVs start at 0) builds it."""
    pp, ts = plan.plant, plan.sample_period
    if pp.kind == "mimo":
        lm = pp.locals[0]
        locals_ = [_local(md.scale_gains(_plain(lm.model), lm.gain), dict(pp.initial),
                          _int_if_whole(ts))]
    else:
        locals_ = []
        for lm in pp.locals:
            model = md.scale_gains(_plain(lm.model), lm.gain)
            ini = dict(pp.initial)
            ini.update({cv: 0.0 for cv in model})
            local = _local(model, ini, int(ts))
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
        for csv in lab_files(self.plan, lab_dir).values():
            os.remove(csv)   # a run's file holds that run's results
        self._run = extension().Strategy(self.native.resolved(), lab_dir)

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
        files = lab_files(plan, self.lab_dir)
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

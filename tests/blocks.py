"""The one list of block classes for the tests that concern every block:
copying and pickling (test_pickling), direct calls (test_fastcall) and the
lifetime of kept objects (test_lifetime).

A new block class gets one entry in BLOCKS; the cross-cutting tests pick it
up from here.
"""
import atexit
import shutil
import tempfile
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Tuple

from qxdcs.algorithm import (qxAntiWindupLimter, qxConstDetector, qxDelay, qxFilter, qxLDLAG,
                             qxLPVPlant, qxPIDControl, qxProcessSim, qxRateLimit, qxSoftSensor,
                             qxTestSignal, qxWatchDog)

# Where the lab-data recorders of these tests write their CSV files.
LAB_DIR = tempfile.mkdtemp(prefix="qxdcs-lab-")
atexit.register(shutil.rmtree, LAB_DIR, True)


@dataclass
class Block:
    cls: type
    # Constructor arguments of a typical block.
    ctor: Tuple[Any, ...]
    # One sample: step(obj, k) -> result, for sample number k = 0, 1, 2, ...
    step: Callable[[Any, int], Any]
    # For callable blocks: a positional call and a keyword call of __call__.
    call_args: Optional[Tuple[Any, ...]] = None
    call_kwargs: Optional[Dict[str, Any]] = None
    # How a block comes to keep a caller's object p: name -> p -> block.
    keepers: Dict[str, Callable[[Any], Any]] = field(default_factory=dict)
    # Blocks that keep themselves: name -> () -> block.
    self_cycles: Dict[str, Callable[[], Any]] = field(default_factory=dict)
    # Constructor arguments (source text, may use p) refused after the
    # constructor has stored p.
    failing_init: Optional[str] = None
    # Whether copy.copy gives an independent block (a shallow copy of a
    # block holding another block shares that one).
    shallow_copy_independent: bool = True
    # What a block needs after its constructor before it can run (plants
    # of a simulator, say): prepare(obj).
    prepare: Optional[Callable[[Any], None]] = None

    def new(self, kind=None):
        """A block of this class (or of the subclass `kind`), ready to run."""
        obj = (kind or self.cls)(*self.ctor)
        if self.prepare is not None:
            self.prepare(obj)
        return obj

    @property
    def name(self):
        return self.cls.__name__

    @property
    def path(self):
        return f"{self.cls.__module__.rsplit('.', 1)[1]}.{self.cls.__name__}"


def _fed(block, *args):
    block(*args)
    return block


def _set(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def _keeps_itself(block, attr):
    setattr(block, attr, block)
    return block


def _pid_gain(p):
    pid = qxPIDControl.PID()
    pid.setPIDParam(p)
    return pid


def _pid_record(p):
    pid = qxPIDControl.PID()
    pid._setInnerSaveState(0.0, 0.0, p, 0.0, 0.0, 0.0, 0.0)
    return pid


def _record_keeps_itself():
    pid = qxPIDControl.PID()
    pid._setInnerSaveState(pid, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    return pid


def _window_keeps_itself():
    c = qxConstDetector.ConstDect()
    try:
        c(c, 1)          # NumPy cannot subtract it, but the window keeps it
    except TypeError:
        return c
    raise AssertionError("ConstDect was expected to refuse itself as an input")


BLOCKS = [
    Block(qxPIDControl.PID, (0.5,),
          lambda o, k: o.run(1 if k > 1 else 0, 50.0, 40.0 + k, 30.0, 0.1 * k),
          keepers={"TS": lambda p: qxPIDControl.PID(p), "KP": _pid_gain,
                   "step record": _pid_record,
                   "record attribute": lambda p: _set(qxPIDControl.PID(), _dFF_save=p)},
          self_cycles={"step record": _record_keeps_itself,
                       "record attribute": lambda: _keeps_itself(qxPIDControl.PID(), "_OPcal_save")}),
    Block(qxFilter.zFilter, ([0.5, 0.2], [1.0, -0.5]), lambda o, k: o(float(k)),
          call_args=(2.0,), call_kwargs=dict(Ut=2.0, y_ini=1.0),
          keepers={"u_ini": lambda p: qxFilter.zFilter(u_ini=p),
                   "y_ini": lambda p: qxFilter.zFilter(y_ini=p)},
          failing_init="[1.0], [0.0], u_ini=p, y_ini=p"),
    Block(qxFilter.sFilter, ([1.0], [5.0, 1.0], 1.0), lambda o, k: o(float(k)),
          call_args=(2.0,), call_kwargs=dict(Ut=2.0),
          keepers={"Ts": lambda p: qxFilter.sFilter(Ts=p),
                   "u_ini": lambda p: qxFilter.sFilter(u_ini=p)},
          shallow_copy_independent=False),
    Block(qxLDLAG.LDLAG, (0.5, 5.0, 1), lambda o, k: o(float(k)),
          call_args=(2.0,), call_kwargs=dict(u=2.0),
          keepers={"u_ini": lambda p: qxLDLAG.LDLAG(0.5, 5.0, 1, u_ini=p),
                   "alpha": lambda p: _set(qxLDLAG.LDLAG(0.0, 5.0, 1), alpha=p)},
          failing_init="-1.0, 5.0, 1, u_ini=p, y_ini=p"),
    Block(qxRateLimit.RateLimit, (0.0,), lambda o, k: o(10.0 * (k % 3), 30.0),
          call_args=(5.0, 30.0), call_kwargs=dict(u_end=5.0, NRLimPerMin=-6.0),
          keepers={"Ts": lambda p: qxRateLimit.RateLimit(0.0, p),
                   "u_last": lambda p: _set(qxRateLimit.RateLimit(0.0), u_last=p)},
          self_cycles={"u_last": lambda: _keeps_itself(qxRateLimit.RateLimit(0.0), "u_last"),
                       "Ts": lambda: _keeps_itself(qxRateLimit.RateLimit(0.0), "Ts")}),
    Block(qxAntiWindupLimter.AntiWindupLimter, (), lambda o, k: o(40.0 * k, 100, 0),
          call_args=(150.0,), call_kwargs=dict(u=20.0, HI=10.0, LO=0.0),
          # HI active: the limit object itself becomes the last output.
          keepers={"limit": lambda p: _fed(_fed(qxAntiWindupLimter.AntiWindupLimter(), 0.0),
                                           500.0, p),
                   "_u0": lambda p: _set(qxAntiWindupLimter.AntiWindupLimter(), _u0=p)},
          self_cycles={
              "_u0": lambda: _keeps_itself(qxAntiWindupLimter.AntiWindupLimter(), "_u0"),
              "_y0": lambda: _keeps_itself(qxAntiWindupLimter.AntiWindupLimter(), "_y0")}),
    Block(qxConstDetector.ConstDect, (), lambda o, k: o(float(k // 3), 2),
          call_args=(1.0, 3), call_kwargs=dict(Ut=1.0, DectLen=2),
          keepers={"window": lambda p: _fed(qxConstDetector.ConstDect(), p, 3)},
          self_cycles={"window": _window_keeps_itself}),
    Block(qxDelay.Delay, (5,), lambda o, k: o(k, 2),
          call_args=("a", 2), call_kwargs=dict(Ut="b", nLag=0),
          keepers={"history": lambda p: _fed(qxDelay.Delay(4), p, 0)},
          self_cycles={"history": lambda: (lambda d: _fed(d, d, 0))(qxDelay.Delay(3))}),
    Block(qxTestSignal.TestSignal, (3,), lambda o, k: o(7 * k),
          call_args=(12,), call_kwargs=dict(t=3),
          keepers={"amplitude": lambda p: _set(qxTestSignal.TestSignal(1), _amp=p),
                   "half period": lambda p: _set(qxTestSignal.TestSignal(1), _ET=p)},
          self_cycles={
              "amplitude": lambda: _keeps_itself(qxTestSignal.TestSignal(1), "_amp"),
              "half period": lambda: _keeps_itself(qxTestSignal.TestSignal(1), "_ET")}),
    Block(qxWatchDog.WatchDog, (), lambda o, k: o(3),
          call_args=(4,), call_kwargs=dict(MaxOut=4),
          keepers={"ticks": lambda p: _set(qxWatchDog.WatchDog(), ticks=p)},
          self_cycles={"ticks": lambda: _keeps_itself(qxWatchDog.WatchDog(), "ticks")}),
    Block(qxSoftSensor.SoftSensorBiasUpdate, ("ss", 5, 1e-6, 40, 2),
          lambda o, k: o.run(20.0 + k, 5.0 + k // 4, 1.7e9 + 60 * k - 90, 1.7e9 + 60 * k),
          keepers={"_fil": lambda p: _set(qxSoftSensor.SoftSensorBiasUpdate(), _fil=p)},
          self_cycles={"_fil": lambda: _keeps_itself(qxSoftSensor.SoftSensorBiasUpdate(), "_fil")},
          shallow_copy_independent=False),
    Block(qxSoftSensor.LabDataRecorder, ("rec", 1e-6, 1, LAB_DIR),
          lambda o, k: o.run(float(k // 3), 1.7e9 + k)),
]

# Process simulation: the elements, a MISO simulator and the MIMO simulators.
_PLANT = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 0.5], "den_z": [1, -0.5], "iodelay_z": 1},
                  "MV2": {"mode": "stp", "stp": [0.0, 1.0, 1.5]}},
          "CV2": {"MV2": {"mode": "tf_s", "num_s": [2.0], "den_s": [5.0, 1.0], "iodelay_s": 2}}}


def _miso_keeps_itself():
    m = qxProcessSim.MISOSimulator.__new__(qxProcessSim.MISOSimulator)
    m.__init__([m], [0.0])
    return m


BLOCKS += [
    Block(cls, ctor, lambda o, k: o.deltaU_sim(float(k % 3)))
    for cls, ctor in [(qxProcessSim.no_model, ()),
                      (qxProcessSim.tfz_model, ([0, 1, 0.5], [1, -0.5, 0.1], 2)),
                      (qxProcessSim.tfs_model, ([1.0], [5.0, 1.0], 1.5, 1.0)),
                      (qxProcessSim.stp_model, ([0.5, 1.0, 2.0],)),
                      (qxProcessSim.stpxy_model, ([1, 4], [1.0, 3.0]))]
] + [
    Block(qxProcessSim.MISOSimulator,
          ([qxProcessSim.tfz_model(), qxProcessSim.stp_model()], [1.0, 0.0]),
          lambda o, k: o.one_step_sim([1.0 + k, 0.5 * k]),
          keepers={"element": lambda p: qxProcessSim.MISOSimulator([p], [0.0])},
          self_cycles={"element": _miso_keeps_itself},
          shallow_copy_independent=False),
    Block(qxProcessSim.MIMOSim, (_PLANT, {"CV1": 5.0, "MV1": 1.0}, 1),
          lambda o, k: o({"MV1": float(k % 4), "MV2": 0.5 * k}, {"CV2": 0.1 * k}),
          call_args=({"MV1": 2.0},), call_kwargs=dict(v_Value_Dict={"CV1": 1.0}),
          keepers={"Ts": lambda p: qxProcessSim.MIMOSim({"CV": {"MV": {}}}, {}, p)},
          failing_init="{'CV': {'MV': {'mode': 'tf_z', 'num_z': [1], 'den_z': [0.0]}}}, {}, p",
          shallow_copy_independent=False),
    Block(qxProcessSim.SISOSim, (2.0, 5.0, 2, 1), lambda o, k: o({"MV": float(k % 3)}),
          call_args=({"MV": 1.0},), call_kwargs=dict(u_Value_Dict={"MV": 1.0}),
          shallow_copy_independent=False),
]

# The LPV plant: local MIMO plants blended by a working value.
def _lpv(ini=None):
    sim = qxLPVPlant.LPVPlantSim(ini or {"CV1": 5.0})
    sim.addPlant(1, 10.0, _PLANT, 1)
    sim.addPlant(2, 20.0, _PLANT, 1)
    return sim


def _lpv_plants(sim):
    sim.addPlant(1, 10.0, _PLANT, 1)
    sim.addPlant(2, 20.0, _PLANT, 1)


def _lpv_keeps_itself():
    sim = _lpv()
    sim.plant_list[0].yu_model_tf = sim
    return sim


BLOCKS += [
    Block(qxLPVPlant.LPVPlantSim, ({"CV1": 5.0, "MV1": 1.0},),
          lambda o, k: o(8.0 + 2.0 * k, {"MV1": float(k % 4), "MV2": 0.5 * k}),
          call_args=(15.0, {"MV1": 2.0}), call_kwargs=dict(working_value=12.0),
          keepers={"initial values": lambda p: _set(_lpv(), ini_value_dict=p)},
          self_cycles={"local plant": _lpv_keeps_itself},
          shallow_copy_independent=False, prepare=_lpv_plants),
    Block(qxLPVPlant.LPVLocalPlant, (), lambda o, k: _set(o, current_weight=0.1 * k).current_weight,
          keepers={"plant_id": lambda p: _set(qxLPVPlant.LPVLocalPlant(), plant_id=p)},
          self_cycles={"plant": lambda: _keeps_itself(qxLPVPlant.LPVLocalPlant(), "plant")}),
]

CALLABLE = [b for b in BLOCKS if b.call_args is not None]

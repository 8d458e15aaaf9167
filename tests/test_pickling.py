"""Every block pickles with every protocol and copies, also as an instance of a
Python subclass with attributes of its own, and the copy continues exactly
where the original stood."""
import copy
import pickle

import pytest

from qxdcs.algorithm import (qxAntiWindupLimter, qxConstDetector, qxDelay, qxFilter, qxLDLAG,
                             qxPIDControl, qxRateLimit, qxTestSignal, qxWatchDog)

# (class, constructor arguments, one sample: obj -> result)
BLOCKS = [
    (qxPIDControl.PID, (0.5,), lambda o, k: o.run(1 if k > 1 else 0, 50.0, 40.0 + k, 30.0, 0.1 * k)),
    (qxFilter.zFilter, ([0.5, 0.2], [1.0, -0.5]), lambda o, k: o(float(k))),
    (qxFilter.sFilter, ([1.0], [5.0, 1.0], 1.0), lambda o, k: o(float(k))),
    (qxLDLAG.LDLAG, (0.5, 5.0, 1), lambda o, k: o(float(k))),
    (qxRateLimit.RateLimit, (0.0,), lambda o, k: o(10.0 * (k % 3), 30.0)),
    (qxAntiWindupLimter.AntiWindupLimter, (), lambda o, k: o(40.0 * k, 100, 0)),
    (qxConstDetector.ConstDect, (), lambda o, k: o(float(k // 3), 2)),
    (qxDelay.Delay, (5,), lambda o, k: o(k, 2)),
    (qxTestSignal.TestSignal, (3,), lambda o, k: o(7 * k)),
    (qxWatchDog.WatchDog, (), lambda o, k: o(3)),
]
IDS = [b[0].__name__ for b in BLOCKS]

# A Python subclass of every block, importable so that pickle finds it.
for _cls, *_ in BLOCKS:
    globals()["Tagged" + _cls.__name__] = type("Tagged" + _cls.__name__, (_cls,), {})
CLONES = [copy.copy, copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, p)))(p)
    for p in range(pickle.HIGHEST_PROTOCOL + 1)]
CLONE_IDS = ["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES, ids=CLONE_IDS)
@pytest.mark.parametrize("cls,ctor,step", BLOCKS, ids=IDS)
def test_clone_continues_exactly(cls, ctor, step, clone):
    if cls is qxFilter.sFilter and clone is copy.copy:
        pytest.skip("a shallow copy shares the inner zFilter, as shallow copies share attributes")
    Tagged = globals()["Tagged" + cls.__name__]
    for kind in (cls, Tagged):
        block = kind(*ctor)
        for k in range(4):
            step(block, k)
        if kind is Tagged:
            block.tag = ["FIC101"]
        twin = clone(block)
        assert type(twin) is kind
        if kind is Tagged:
            assert twin.tag == ["FIC101"]
        for k in range(4, 12):
            assert repr(step(twin, k)) == repr(step(block, k))

"""Hostile use of the signal blocks (rate limiter, anti-windup limiter,
watchdog, test signal, constant detector): kept objects replaced by the
caller's own code in the middle of a call, calls that run out of memory,
failed and invalid restores, subclasses with __slots__. Crash cases run in a
child interpreter, so that a regression fails one test."""
import copy
import pickle
import textwrap
import tracemalloc

import numpy as np
import pytest

from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
from qxdcs.algorithm.qxConstDetector import ConstDect
from qxdcs.algorithm.qxRateLimit import RateLimit
from qxdcs.algorithm.qxTestSignal import TestSignal as Generator
from qxdcs.algorithm.qxWatchDog import WatchDog
from child import run_child



# --- a kept object replaced while Python code works on it ------------------------------
#
# Each script replaces, from inside an operator the block calls, the object
# the block is working on; `churn()` then reuses the freed memory, so that a
# block that had not kept a reference of its own reads garbage and crashes.

CHURN = """
junk = []
def churn():
    junk.extend(bytes([255]) * n for n in range(40, 90) for _ in range(200))
"""

REPLACED_MID_CALL = {
    "TestSignal table, by the time's index": """
        from qxdcs.algorithm.qxTestSignal import TestSignal
        g = TestSignal(1)
        new_table = np.full(10000, 0.5)
        class Idx:
            def __index__(self):
                g._rand_arr = new_table
                churn()
                return 3
        class Period:
            def __add__(self, i): return self
            def __mod__(self, n): return Idx()
        class Time:
            def __floordiv__(self, P): return Period()
            def __mod__(self, P): return 5
        out = g(Time())
        assert len(out) == 6 and out[0] in (1.0, -1.0), out
        assert g(45) == (1.0, 5, 15, 25, 35, 45), g(45)   # the new table from then on
    """,
    "TestSignal half period, by its own multiplication": """
        from qxdcs.algorithm.qxTestSignal import TestSignal
        g = TestSignal(1)
        g._rand_arr = np.full(10000, 0.5)
        class ET(int):
            def __rmul__(self, k):
                g._ET = ET(10)            # the same half period, another object
                churn()
                return int(self) * k
        g._ET = ET(10)
        assert g(45) == (1.0, 5, 15, 25, 35, 45), g(45)
        g._ET = 7
        assert g(45) == (1.0, 4, 11, 18, 25, 32), g(45)
    """,
    "TestSignal amplitude, by its own negation": """
        from qxdcs.algorithm.qxTestSignal import TestSignal
        g = TestSignal(1)
        g._rand_arr = np.full(10000, 0.5)
        class Amp:
            def __neg__(self):
                g._amp = 2.0
                churn()
                return "low"
        g._amp = Amp()
        assert g(15)[0] == "low" and g(15)[0] == -2.0
    """,
    "RateLimit sample time, by its own multiplication": """
        from qxdcs.algorithm.qxRateLimit import RateLimit
        r = RateLimit(0.0)
        class Ts:
            def __rmul__(self, x):
                r.Ts = 2
                churn()
                return x
        r.Ts = Ts()
        assert r(10.0) == 1.0 and r.Ts == 2 and r(10.0) == 3.0
    """,
    "AntiWindupLimter last output, by its own addition": """
        from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
        a = AntiWindupLimter()
        a(50.0)
        class Y:
            def __add__(self, d):
                a._y0 = 1.0
                churn()
                return 40.0 + d
        a._y0 = Y()
        assert a(55.0) == 45.0 and a(60.0) == 50.0
    """,
    "WatchDog count, by its own addition": """
        from qxdcs.algorithm.qxWatchDog import WatchDog
        w = WatchDog()
        class T:
            def __add__(self, one):
                w.ticks = 100
                churn()
                return 1 + one
        w.ticks = T()
        assert w(5) == 2 and w(5) == 3
    """,
    "ConstDect window, by an input's subtraction": """
        from qxdcs.algorithm.qxConstDetector import ConstDect
        c = ConstDect()
        class U:
            def __sub__(self, o):
                c._U_queue = [1.0, 2.0]
                churn()
                return 0.0
            __rsub__ = __sub__
        c(U(), 3)
        assert list(c._U_queue) == [1.0, 2.0] and not c(2.0, 3) and c(2.0, 2)
    """,
}


@pytest.mark.parametrize("name", REPLACED_MID_CALL)
def test_kept_object_replaced_mid_call(name, tmp_path):
    run_child("import numpy as np\n" + CHURN + textwrap.dedent(REPLACED_MID_CALL[name]) +
              "print('ok')\n", tmp_path)


# --- constant detector: a call that runs out of memory changes nothing -------------------

@pytest.mark.parametrize("DectLen", ["10**12", "2**62"])
def test_const_dect_out_of_memory_leaves_the_window(DectLen, tmp_path):
    run_child(f"""
        import resource
        from qxdcs.algorithm.qxConstDetector import ConstDect
        c, twin = ConstDect(), ConstDect()
        for u in (5.0, 6.0, 7):
            c(u, 3), twin(u, 3)
        before = list(c._U_queue)
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + 2**30, hard))
        try:
            c(1.0, {DectLen})
        except MemoryError:
            pass
        else:
            raise AssertionError("expected MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert list(c._U_queue) == before, len(c._U_queue)
        inputs = [7, 7.0, 1.0, 1.0, 1.0, 1.0, 2.0]
        assert [bool(c(u, 3)) for u in inputs] == [bool(twin(u, 3)) for u in inputs]
        assert [bool(c(4.0, 3)) for _ in range(3)] == [False, False, True]
        print("ok")
    """, tmp_path)


# --- restores -------------------------------------------------------------------------------

def _fed(block, *calls):
    for args in calls:
        block(*args)
    return block


# (factory of a block that has run, state keys the restore needs)
STATEFUL = {
    "RateLimit": lambda: _fed(RateLimit(0, 2), (5,), (-1.5,)),
    "AntiWindupLimter": lambda: _fed(AntiWindupLimter(), (90.0,), (130.0,)),
    "WatchDog": lambda: _fed(WatchDog(), (3,), (3,)),
    "TestSignal": lambda: Generator(4),
    "ConstDect": lambda: _fed(ConstDect(), (1.0, 3), (2, 3)),
}
BAD_STATES = [
    ("RateLimit", None, TypeError),
    ("RateLimit", {"u_last": 1.0}, KeyError),
    ("RateLimit", (1.0, 1, 2), TypeError),                  # not a state of either form
    ("AntiWindupLimter", {"_y0": 1.0}, KeyError),
    ("WatchDog", {}, KeyError),
    ("WatchDog", [3], TypeError),
    ("TestSignal", {"_ET": 10, "_amp": 1.0}, KeyError),
    ("TestSignal", {"_rand_arr": np.zeros((2, 3)), "_ET": 10, "_amp": 1.0}, ValueError),
    ("TestSignal", {"_rand_arr": ["x"], "_ET": 10, "_amp": 1.0}, ValueError),
    ("ConstDect", {"_U_queue": 5}, TypeError),
    ("ConstDect", {"queue": [1.0]}, KeyError),
]
CLASSES = {"RateLimit": RateLimit, "AntiWindupLimter": AntiWindupLimter, "WatchDog": WatchDog,
           "TestSignal": Generator, "ConstDect": ConstDect}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name,state,error", BAD_STATES,
                         ids=[f"{n}-{i}" for i, (n, _, _) in enumerate(BAD_STATES)])
def test_invalid_restore_is_refused_and_leaves_the_object_unbuilt(name, state, error):
    cls = CLASSES[name]
    raw = cls.__new__(cls)
    with pytest.raises(error):
        raw.__setstate__(state)
    with pytest.raises(TypeError):
        repr(raw)                     # still not a block
    good = STATEFUL[name]()
    raw.__setstate__(good.__getstate__())
    assert repr(raw) == repr(good)


def test_restored_table_is_the_blocks_own():
    state = Generator(4).__getstate__()
    table = np.asarray(state["_rand_arr"])
    g = Generator.__new__(Generator)
    g.__setstate__(state)
    table[:] = 0.5                    # the state's array is not the block's
    assert not np.shares_memory(g._rand_arr, table)
    assert g(45) == Generator(4)(45)
    with pytest.raises(ValueError):
        g._rand_arr.resize(20000, refcheck=False)   # the table stays where the block reads it


# Restores that fail after a large part of the state has been taken.
FAILING_STATES = {
    "RateLimit": (RateLimit, {"u_last": b"x" * 100_000}),
    "AntiWindupLimter": (AntiWindupLimter, {"_u0": b"x" * 100_000}),
    "TestSignal": (Generator, {"_rand_arr": np.ones(20_000), "_ET": 10}),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", FAILING_STATES)
def test_failed_restores_leak_nothing(name):
    cls, state = FAILING_STATES[name]
    raw = cls.__new__(cls)

    def attempt():
        with pytest.raises(KeyError):
            raw.__setstate__(dict(state))

    attempt()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(50):
            attempt()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 50_000, grown      # one leaked restore holds 100 kB or more


# --- subclasses with __slots__ ----------------------------------------------------------------

SLOTTED = {name: type("Slotted" + name, (cls,), {"__slots__": ("tag",)})
           for name, cls in CLASSES.items()}
for _cls in SLOTTED.values():
    globals()[_cls.__name__] = _cls   # importable, so that pickle finds them

STEPS = {
    "RateLimit": ((0.0, 2), lambda o, k: o(10.0 * (k % 3), 30.0)),
    "AntiWindupLimter": ((), lambda o, k: o(40.0 * k, 100, 0)),
    "WatchDog": ((), lambda o, k: o(3)),
    "TestSignal": ((3,), lambda o, k: o(7 * k)),
    "ConstDect": ((), lambda o, k: o(float(k // 3), 2)),
}


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o)),
                                   lambda o: pickle.loads(pickle.dumps(o, 0))],
                         ids=["deepcopy", "pickle", "pickle0"])
@pytest.mark.parametrize("name", SLOTTED)
def test_slot_values_survive_copies(name, clone):
    ctor, step = STEPS[name]
    block = SLOTTED[name](*ctor)
    for k in range(4):
        step(block, k)
    block.tag = ["PIC-12"]
    twin = clone(block)
    assert type(twin) is type(block) and twin.tag == ["PIC-12"] and twin.tag is not block.tag
    for k in range(4, 10):
        assert repr(step(twin, k)) == repr(step(block, k))


@pytest.mark.parametrize("cls,old_state,attrs", [
    ("qxRateLimit.RateLimit", (3, 2), {"u_last": 3, "Ts": 2}),
    ("qxAntiWindupLimter.AntiWindupLimter", (1.5, 4.0), {"_u0": 1.5, "_y0": 4.0}),
    ("qxWatchDog.WatchDog", (7,), {"ticks": 7}),
    ("qxTestSignal.TestSignal", ([0.3, 0.6, 0.9], 4, 2.5), {"_rand_arr": [0.3, 0.6, 0.9], "_ET": 4, "_amp": 2.5}),
    ("qxConstDetector.ConstDect", [1.0, 1.0, 2.0], {"_U_queue": [1.0, 1.0, 2.0]}),
], ids=lambda v: v if isinstance(v, str) else "")
def test_states_saved_in_the_earlier_form_still_restore(cls, old_state, attrs):
    import importlib
    module, name = cls.split(".")
    kind = getattr(importlib.import_module("qxdcs.algorithm." + module), name)
    restored = kind.__new__(kind)
    restored.__setstate__(old_state)
    reference = kind.__new__(kind)
    reference.__setstate__(attrs)
    assert restored.__getstate__().keys() == reference.__getstate__().keys()
    assert repr(restored.__getstate__()) == repr(reference.__getstate__())

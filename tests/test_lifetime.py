"""Lifetime of the caller's objects that blocks keep.

A block may hold the last reference to a caller's object, and releasing it
may run that object's __del__, which may call the very same block. Every such
release must happen with the block's state complete, so the nested call sees
the new state (as it would with a block written in Python) and nothing
crashes. Crash cases run in a child interpreter, so that a regression fails
one test instead of killing the test run.

Blocks that keep caller objects must also take part in garbage collection: a
reference cycle through a stored object is collected.
"""
import gc
import textwrap

import pytest

from blocks import BLOCKS
from child import run_child



# --- releasing a stored object re-enters the block ---------------------------
#
# Each script sets the block up so that one statement drops the only
# reference to a Tok, whose __del__ calls the block; `twin` is driven through
# the same effective sequence with the nested call made after that statement.

REENTRY = {
    "ConstDect: oldest entry dropped": """
        from qxdcs.algorithm.qxConstDetector import ConstDect
        c, twin, seen = ConstDect(), ConstDect(), []
        class Tok:
            def __sub__(self, o): return 0.0
            __rsub__ = __sub__
            def __del__(self): seen.append(c(0.0, 1))
        c(Tok(), DEPTH); twin(7.0, DEPTH)
        out = c(1.0, 1)
        expected_out = twin(1.0, 1); expected_seen = [twin(0.0, 1)]
        assert (out, seen) == (expected_out, expected_seen), (out, seen)
        assert list(c._U_queue) == list(twin._U_queue), c._U_queue
        assert [c(x, 3) for x in (1, 1, 2)] == [twin(x, 3) for x in (1, 1, 2)]
    """,
    "ConstDect: window replaced": """
        from qxdcs.algorithm.qxConstDetector import ConstDect
        c, twin, seen = ConstDect(), ConstDect(), []
        class Tok:
            def __sub__(self, o): return 0.0
            __rsub__ = __sub__
            def __del__(self): seen.append(c(0.0, DEPTH))
        c._U_queue = [Tok() for _ in range(DEPTH)]
        c._U_queue = [1.0, 2.0]
        twin._U_queue = [1.0, 2.0]
        assert seen == [twin(0.0, DEPTH) for _ in range(DEPTH)], seen
        assert list(c._U_queue) == list(twin._U_queue), c._U_queue
    """,
    "AntiWindupLimter: active limit replaced by a call": """
        from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
        a, twin, seen = AntiWindupLimter(), AntiWindupLimter(), []
        class Lim:
            def __init__(self, v, hook=False): self.v, self.hook = v, hook
            def __lt__(self, o): return self.v < o
            def __gt__(self, o): return self.v > o
            def __add__(self, o): return self.v + o
            __radd__ = __add__
            def __del__(self):
                if self.hook: seen.append(a(550.0))
        a(0.0); twin(0.0)
        a(500.0, Lim(DEPTH, True)); twin(500.0, Lim(DEPTH))
        a(600.0, NEW); twin(600.0, NEW)
        expected_seen = [twin(550.0)]
        assert seen == expected_seen, (seen, expected_seen)
        assert [a(u) for u in (650.0, 20.0, -5.0)] == [twin(u) for u in (650.0, 20.0, -5.0)]
    """,
    "AntiWindupLimter: _y0 written": """
        from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
        a, twin, seen = AntiWindupLimter(), AntiWindupLimter(), []
        class Tok:
            def __add__(self, o): return DEPTH + o
            __radd__ = __add__
            def __lt__(self, o): return False
            def __gt__(self, o): return False
            def __del__(self): seen.append(a(5.0))
        a(1.0); twin(1.0)
        a._y0 = Tok()
        a._y0 = NEW; twin._y0 = NEW
        assert seen == [twin(5.0)], seen
        assert [a(u) for u in (7.0, 300.0)] == [twin(u) for u in (7.0, 300.0)]
    """,
    "AntiWindupLimter: _u0 written": """
        from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
        a, twin, seen = AntiWindupLimter(), AntiWindupLimter(), []
        class Tok:
            def __rsub__(self, o): return o - DEPTH
            def __del__(self): seen.append(a(5.0))
        a(1.0); twin(1.0)
        a._u0 = Tok()
        a._u0 = NEW; twin._u0 = NEW
        assert seen == [twin(5.0)], seen
        assert [a(u) for u in (7.0, 300.0)] == [twin(u) for u in (7.0, 300.0)]
    """,
    "RateLimit: u_last written": """
        from qxdcs.algorithm.qxRateLimit import RateLimit
        r, twin, seen = RateLimit(0.0), RateLimit(0.0), []
        class Tok:
            def __del__(self): seen.append(r(5.0))
        r.u_last = Tok()
        r.u_last = NEW; twin.u_last = NEW
        assert seen == [twin(5.0)], seen
        assert [r(u) for u in (3, -2.0)] == [twin(u) for u in (3, -2.0)]
    """,
    "WatchDog: ticks written": """
        from qxdcs.algorithm.qxWatchDog import WatchDog
        w, twin, seen = WatchDog(), WatchDog(), []
        class Tok(int):
            def __del__(self): seen.append(w(DEPTH))
        w.ticks = Tok(5)
        w.ticks = int(NEW); twin.ticks = int(NEW)
        assert seen == [twin(DEPTH)], seen
        assert [w(4) for _ in range(5)] == [twin(4) for _ in range(5)]
    """,
    "TestSignal: amplitude written": """
        from qxdcs.algorithm.qxTestSignal import TestSignal
        s, twin, seen = TestSignal(5), TestSignal(5), []
        class Tok(float):
            def __del__(self): seen.append(s(DEPTH))
        s._amp = Tok(3.0)
        s._amp = NEW; twin._amp = NEW
        assert seen == [twin(DEPTH)], (seen, twin(DEPTH))
        assert all(type(x) is type(y) for x, y in zip(seen[0], twin(DEPTH)))
    """,
    "PID: step record replaced by a reset": """
        from qxdcs.algorithm.qxPIDControl import PID
        p, twin = PID(), PID()
        class Tok:
            def __del__(self): p._dOP_save = NEW
        p._setInnerSaveState(*[Tok() for _ in range(DEPTH)], *[0.0] * (7 - DEPTH))
        p._resetPID(50.0, 40.0, 30.0, 0.0)
        twin._resetPID(50.0, 40.0, 30.0, 0.0)
        twin._dOP_save = NEW
        assert p.getInnerSaveState() == twin.getInnerSaveState(), p.getInnerSaveState()
        steps = [(1, 50.0, 40.0, 30.0, 0.0), (1, 50.0, 45.0, 30.0, 0.0)]
        assert [p.run(*a) for a in steps] == [twin.run(*a) for a in steps]
    """,
    "PID: step record released by a direct run": """
        from qxdcs.algorithm.qxPIDControl import PID
        p, twin, seen = PID(), PID(), []
        class Tok:
            def __del__(self): seen.append(p.run(1, 50.0, 40.0, 30.0, NEW))
        p.run(0, 50.0, 45.0, 30.0); twin.run(0, 50.0, 45.0, 30.0)
        p._setInnerSaveState(*[Tok() for _ in range(DEPTH)], *[0.0] * (7 - DEPTH))
        out = p.run(1, 50.0, 42.0, 30.0, 0.0)
        expected_out = twin.run(1, 50.0, 42.0, 30.0, 0.0)
        expected_seen = [twin.run(1, 50.0, 40.0, 30.0, NEW) for _ in range(DEPTH)]
        assert (out, seen) == (expected_out, expected_seen), (out, seen, expected_seen)
        assert p.__getstate__() == twin.__getstate__()
    """,
    "PID: gain and sample period replaced while repr shows them": """
        from qxdcs.algorithm.qxPIDControl import PID
        p = PID()
        class Tok(float):
            def __repr__(self):
                p.setPIDParam(NEW); p._TS = NEW       # the controller lets go of both
                return "Tok(%r)" % (float(self) + DEPTH)
        p.setPIDParam(Tok(2.0)); p._TS = Tok(3.0)
        r = repr(p)
        assert r.startswith("PID(TS=Tok(%r), KP=Tok(%r), " % (3.0 + DEPTH, 2.0 + DEPTH)), r
        assert (p._TS, p._KP) == (NEW, NEW)
    """,
    "PID: step record replaced while pickled": """
        import pickle
        from qxdcs.algorithm.qxPIDControl import PID
        p = PID()
        class Tok:
            def __init__(self, k): self.k = k
            def __reduce__(self):
                p._setInnerSaveState(*[NEW] * 7)    # the controller lets go of every Tok
                return (Tok, (self.k + DEPTH,))
        p._setInnerSaveState(*[Tok(k) for k in range(7)])
        twin = pickle.loads(pickle.dumps(p))
        assert [t.k for t in twin.getInnerSaveState().values()] == [k + DEPTH for k in range(7)]
        assert list(p.getInnerSaveState().values()) == [NEW] * 7
    """,
}

# Each script runs with every (DEPTH, NEW): the nested call's argument or the
# number of objects released at once, and the value that replaces the Tok.
VARIANTS = [(1, "1.0"), (3, "2"), (2, "Fraction(7, 2)"), (4, "0.25")]


@pytest.mark.parametrize("name,depth,new", [
    pytest.param(name, depth, new, id=f"{name} [{depth}, {new}]")
    for name in REENTRY for depth, new in VARIANTS])
def test_release_of_a_stored_object_may_reenter_the_block(name, depth, new, tmp_path):
    code = "from fractions import Fraction\nDEPTH = %d\nNEW = %s\n" % (depth, new)
    run_child(code + textwrap.dedent(REENTRY[name]) + "print('ok')\n", tmp_path)


# --- garbage collection --------------------------------------------------------


class F(float):
    """A float that can refer back to the block that keeps it. Slots, not a
    dictionary: the collector cannot break a cycle by clearing it, so the
    block must let go itself."""

    __slots__ = ("tag", "owner")


def alive(tag):
    """Whether the F tagged `tag` still exists (a collected cycle is freed, a
    cycle the collector could not break stays among its objects)."""
    return any(type(o) is F and getattr(o, "tag", None) == tag for o in gc.get_objects())


def seen_from(block):
    """What the collector sees from `block`, directly or through another block
    the first one keeps (an sFilter's zFilter)."""
    near = gc.get_referents(block)
    return near + [r for o in near if type(o).__module__.startswith("qxdcs")
                   for r in gc.get_referents(o)]


# How a block comes to keep the payload p.
KEEPERS = {f"{b.name} {what}": make for b in BLOCKS for what, make in b.keepers.items()}


def kept(name, tag):
    payload = F(2)
    payload.tag = tag
    return payload, KEEPERS[name](payload)


@pytest.mark.parametrize("name", KEEPERS)
def test_cycle_through_a_kept_object_is_collected(name):
    payload, block = kept(name, ("cycle", name))
    assert any(r is payload for r in seen_from(block)), "the collector cannot see it"
    payload.owner = block
    del payload, block
    gc.collect()
    assert not alive(("cycle", name))


@pytest.mark.parametrize("name", KEEPERS)
def test_kept_object_outlives_collection_while_the_block_lives(name):
    payload, block = kept(name, ("kept", name))
    payload.owner = [block]          # a cycle the block's own reference keeps alive
    del payload
    gc.collect()
    payload = next(r for r in seen_from(block) if getattr(r, "tag", None) == ("kept", name))
    assert payload.owner[0] is block


# A block that keeps itself: only its own clearing can break the cycle.
SELF_CYCLES = {f"{b.name} {what}": make for b in BLOCKS for what, make in b.self_cycles.items()}


@pytest.mark.parametrize("name", SELF_CYCLES)
def test_block_that_keeps_itself_is_collected(name):
    block = SELF_CYCLES[name]()
    cls = type(block)

    def count():
        return sum(type(o) is cls for o in gc.get_objects())

    gc.collect()
    before = count()
    del block
    gc.collect()
    assert count() == before - 1


GC_CLASSES = [b.path for b in BLOCKS]

# Constructor arguments refused after the constructor has stored `p`: what it
# stored is released again, and the collector must not look at it.
FAILING_INIT = {b.path: b.failing_init for b in BLOCKS if b.failing_init}


@pytest.mark.parametrize("path", GC_CLASSES)
def test_collector_skips_objects_whose_constructor_never_ran(path, tmp_path):
    module, cls = path.split(".")
    run_child(f"""
        import gc, warnings
        warnings.simplefilter("ignore", RuntimeWarning)
        from qxdcs.algorithm.{module} import {cls} as C
        class Sub(C):
            pass
        class P(float):
            pass
        for k in (C, Sub):
            raw = k.__new__(k)
            assert gc.is_tracked(raw)
            if {path in FAILING_INIT}:
                p = P(1.0)
                try:
                    raw.__init__({FAILING_INIT.get(path, "")})
                except ValueError:
                    pass
                else:
                    raise AssertionError("the constructor was expected to fail")
                del p
                junk = [P(2.0) for _ in range(1000)]
            assert gc.get_referents(raw) == [k], gc.get_referents(raw)
            gc.collect()
            del raw
            gc.collect()
        print("ok")
    """, tmp_path)


def test_restoring_slots_whose_setter_changes_the_saved_values(tmp_path):
    # Every saved slot value is restored, even when a setter empties the
    # dictionary of saved values while the restore walks it.
    run_child("""
        from qxdcs.algorithm.qxPIDControl import PID
        class Slotted(PID):
            __slots__ = ("a", "b")
            def __setattr__(self, name, value):
                saved.clear()
                object.__setattr__(self, name, value)
        p = Slotted(1.0)
        object.__setattr__(p, "a", [1.0])
        object.__setattr__(p, "b", "".join(["x", "y"]))
        tag, block, attrs, saved = p.__getstate__()
        saved = dict(saved)
        q = Slotted.__new__(Slotted)
        q.__setstate__((tag, block, attrs, saved))
        assert (q.a, q.b) == ([1.0], "xy") and q.getPIDParam() == p.getPIDParam()
        print("ok")
    """, tmp_path)

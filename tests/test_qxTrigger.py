import copy
import pickle
import random

import numpy as np
import pytest

from qxdcs.algorithm.qxTrigger import RStrigger, TOFFtrigger, TONtrigger

DUPS = [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))]


def drive(blk, inputs, **settings):
    for k, v in settings.items():
        setattr(blk, k, v)
    ys, ets = [], []
    for u in inputs:
        blk.Ut = u
        blk.call()
        ys.append(blk.Yt)
        ets.append(blk.ET)
    return ys, ets


def on_delay_model(inputs, dt):
    """Yt is 1 once the input has been 1 for dt consecutive calls."""
    run, out = 0, []
    for u in inputs:
        run = run + 1 if u else 0
        out.append(int(run >= dt))
    return out


def off_delay_model(inputs, dt):
    """Yt is 1 until the input has been 0 for dt consecutive calls after a 1."""
    zeros, out = None, []
    for u in inputs:
        zeros = 0 if u else (None if zeros is None else zeros + 1)
        out.append(int(zeros is not None and zeros < dt))
    return out


@pytest.mark.parametrize("cls,model", [(TONtrigger, on_delay_model), (TOFFtrigger, off_delay_model)])
@pytest.mark.parametrize("dt", [1, 2, 3, 7])
def test_timer_against_run_length_model(cls, model, dt):
    rng = random.Random(dt)
    inputs = [int(rng.random() < 0.6) for _ in range(400)]
    ys, _ = drive(cls(), inputs, DT=dt)
    assert ys == model(inputs, dt)
    assert all(type(y) is int for y in ys)


@pytest.mark.parametrize("cls,inputs,ys,ets", [
    (TONtrigger, [1, 1, 1, 1, 0, 1], [0, 0, 1, 1, 0, 0], [2, 1, 0, 0, 3, 2]),
    (TOFFtrigger, [1, 0, 0, 0, 1], [1, 1, 1, 0, 1], [3, 2, 1, 0, 3]),
    (TOFFtrigger, [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0]),
])
def test_timer_sequences(cls, inputs, ys, ets):
    assert drive(cls(), inputs) == (ys, ets)


@pytest.mark.parametrize("cls,active,idle", [(TONtrigger, 1, 0), (TOFFtrigger, 0, 1)])
@pytest.mark.parametrize("dt0,before,dt1", [(5, 1, 2), (6, 2, 1), (4, 1, 3), (8, 3, 5)])
def test_lowered_delay_fires_on_new_count(cls, active, idle, dt0, before, dt1):
    # Countdown started with dt0; after `before` calls DT drops to dt1 <= ET.
    blk = cls()
    drive(blk, [idle], DT=dt0)
    ys, ets = drive(blk, [active] * before)
    assert ets[-1] >= dt1
    ys, _ = drive(blk, [active] * (dt1 + 2), DT=dt1)
    fired = ys.index(1 if cls is TONtrigger else 0) + 1
    assert fired == dt1


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("u,stored", [(0.7, 0), (-0.7, 0), (1.9, 1), (True, 1), (np.float64(2.5), 2), (-3, -3)])
def test_input_is_stored_truncated(cls, u, stored):
    blk = cls()
    drive(blk, [u])
    assert blk.Ut_array.dtype.kind == "i" and blk.Ut_array.tolist() == [stored, 0]


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
def test_timer_class_attributes_and_overrides(cls):
    assert (cls.Ut, cls.Yt, cls.DT, cls.ET) == (0, 0, 3, 0)
    a, b = cls(), cls()
    a.DT = 1
    drive(a, [1])
    assert cls.DT == 3 and cls.Yt == 0 and b.DT == 3 and b.Ut_array.tolist() == [0, 0]
    del a.DT
    assert a.DT == 3

    class Quick(cls):
        DT = 1

    assert drive(Quick(), [1, 0])[0] == [1, 0]
    assert drive(cls(), [1, 0])[0] == ([0, 0] if cls is TONtrigger else [1, 1])


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("attr,bad,exc", [
    ("Ut", "abc", ValueError), ("Ut", None, TypeError), ("Ut", float("nan"), ValueError),
    ("Ut", 2**70, OverflowError), ("DT", "3", TypeError), ("ET", None, TypeError),
])
def test_timer_refused_values_change_nothing(cls, attr, bad, exc):
    blk, ref = cls(), cls()
    drive(blk, [1, 1])
    drive(ref, [1, 1])
    before = blk.Ut_array.copy(), blk.ET
    good = getattr(blk, attr)
    setattr(blk, attr, bad)
    with pytest.raises(exc):
        blk.call()
    assert blk.Ut_array.tolist() == before[0].tolist()
    assert blk.ET is (bad if attr == "ET" else before[1])
    setattr(blk, attr, good)
    assert drive(blk, [1, 0, 0, 0]) == drive(ref, [1, 0, 0, 0])


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
def test_float_delay_times_like_integer(cls):
    inputs = [1, 1, 1, 0, 0, 0, 1, 0, 1, 1, 1]
    assert drive(cls(), inputs, DT=3.0)[0] == drive(cls(), inputs, DT=3)[0]


@pytest.mark.parametrize("cls", [TONtrigger, TOFFtrigger])
@pytest.mark.parametrize("dup", DUPS)
def test_timer_copy_continues(cls, dup):
    blk = cls()
    drive(blk, [0, 1, 1], DT=4)
    twin = dup(blk)
    assert twin.DT == 4 and twin.Ut_array is not blk.Ut_array
    tail = [1, 1, 0, 0, 0, 1, 0]
    assert drive(twin, tail) == drive(blk, tail)


def drive_rs(blk, pairs):
    out = []
    for s, r in pairs:
        blk.S, blk.R = s, r
        blk.call()
        out.append((blk.Q, blk.nQ))
    return out


@pytest.mark.parametrize("pairs,qs", [
    ([(1, 0), (0, 0), (1, 1), (0, 0), (0, 1)], [True, True, False, False, False]),
    ([(0, 0)], [False]),
    ([(1, 0), (0, 0), (0, 0), (0, 1), (1, 0), (0, 0)], [True, True, True, False, True, True]),
    ([("yes", []), (0.0, None), (np.bool_(True), np.bool_(True))], [True, True, False]),
])
def test_flip_flop_sequences(pairs, qs):
    blk = RStrigger()
    out = drive_rs(blk, pairs)
    assert out == [(q, not q) for q in qs]
    assert blk.Q_array.dtype == np.bool_ and blk.Q_array.tolist() == [qs[-1]]
    # Set and reset give Python's True/False, hold the stored NumPy boolean;
    # nQ is always a Python bool.
    holds = [not any(s_r) for s_r in pairs]
    assert [type(q) for q, _ in out] == [np.bool_ if h else bool for h in holds]
    assert all(type(nq) is bool for _, nq in out)


@pytest.mark.parametrize("memory", [np.array([True]), np.array([False]), np.array([2.5]),
                                    np.array([0.0]), np.array([3], dtype=np.int8)])
def test_flip_flop_hold_gives_the_stored_element(memory):
    blk = RStrigger()
    blk.Q_array = memory.copy()
    blk.call()
    assert type(blk.Q) is type(memory[0]) and blk.Q == memory[0]
    assert blk.nQ is (not memory[0])
    assert blk.Q_array.tolist() == memory.tolist() and blk.Q_array.dtype == memory.dtype
    blk.S = 1
    blk.call()
    assert blk.Q is True and blk.nQ is False


def test_flip_flop_hold_reads_memory_not_attribute():
    assert (RStrigger.S, RStrigger.R, RStrigger.Q, RStrigger.nQ) == (0, 0, False, True)
    blk = RStrigger()
    drive_rs(blk, [(1, 0)])
    blk.Q = False
    assert drive_rs(blk, [(0, 0)]) == [(True, False)]
    assert RStrigger.Q is False


@pytest.mark.parametrize("dup", DUPS)
def test_flip_flop_copy_continues(dup):
    blk = RStrigger()
    drive_rs(blk, [(1, 0), (0, 0)])
    twin = dup(blk)
    seq = [(0, 0), (0, 1), (0, 0), (1, 0)]
    assert drive_rs(twin, seq) == drive_rs(blk, seq)


# Python subclasses with __slots__, importable so that pickle finds them.
class SlottedTON(TONtrigger):
    __slots__ = ("tag", "spare")


class SlottedRS(RStrigger):
    __slots__ = ("tag", "spare")


@pytest.mark.parametrize("clone", [copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, p)))(p)
    for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_subclass_slots_survive_copies(clone):
    ton, rs = SlottedTON(), SlottedRS()
    drive(ton, [1, 1], DT=4)
    drive_rs(rs, [(1, 0)])
    ton.tag, rs.tag = "TON-7", "RS-2"
    ton2, rs2 = clone(ton), clone(rs)
    assert (ton2.tag, rs2.tag) == ("TON-7", "RS-2") and not hasattr(ton2, "spare")
    assert type(ton2) is SlottedTON and ton2.Ut_array is not ton.Ut_array
    assert drive(ton2, [1, 1, 0]) == drive(ton, [1, 1, 0])
    assert drive_rs(rs2, [(0, 0), (0, 1)]) == drive_rs(rs, [(0, 0), (0, 1)])


# --- call() reads its attributes as Python's attribute access does ---------------
#
# call() reads an object of the class itself straight from its instance
# dictionary and the class defaults it has seen; these scripts change the class
# under it and plant dictionary keys that equal a name without being it. They
# change the classes, so they run in a child interpreter.

@pytest.mark.parametrize("name", ["TONtrigger", "TOFFtrigger"])
def test_timer_attribute_access_follows_python(name, tmp_path):
    from child import run_child
    run_child(f"""
        from qxdcs.algorithm.qxTrigger import {name} as T
        on = T.__name__ == "TONtrigger"

        def first(blk, ut=1):
            blk.Ut = ut
            blk.call()
            return blk.Yt, blk.ET

        def ref(dt, ut=1):
            blk = T()
            blk.DT = dt
            return first(blk, ut)

        # A class default changed after objects have run is used by the next call.
        warm = T()
        for _ in range(3):
            first(warm)
        T.DT = 1
        assert first(T()) == ref(1), first(T())
        T.DT = 5
        assert first(T(), 0) == ref(5, 0)

        # A property on the class wins over the instance dictionary.
        blk, expected = T(), ref(2)
        blk.__dict__["DT"] = 9
        T.DT = property(lambda self: 2)
        assert first(blk) == expected
        del T.DT
        errors = []
        for read in (lambda blk: blk.DT, first):
            try:
                read(T())
            except AttributeError as e:
                errors.append(str(e))
        assert len(errors) == 2 and errors[0] == errors[1], errors
        T.DT = 3

        # Keys that are equal to "DT" without being the interned name.
        class Key:
            def __hash__(self): return hash("DT")
            def __eq__(self, other): return other == "DT"
        class Sub(str):
            pass
        for key in (Key(), Sub("DT"), "".join(["D", "T"])):
            blk = T()
            blk.__dict__[key] = 1
            assert blk.DT == 1
            assert first(blk) == ref(1), (key, first(blk))

        # A key whose comparison changes the class during the lookup of ET:
        # DT was read before, as Python reads it, and the next call sees 1.
        class Sneaky:
            def __hash__(self): return hash("ET")
            def __eq__(self, other):
                T.DT = 1
                return False
        blk = T()
        blk.__dict__[Sneaky()] = 0
        assert first(blk) == ref(3)
        T.DT = 3
        blk2 = T()
        blk2.__dict__[Sneaky()] = 0
        first(blk2, 0)
        assert first(blk2, 1 if on else 0)[1] == 0  # counted with DT 1
        T.DT = 3

        # Outputs are always written, as ints, into the object's own dictionary,
        # whatever the caller left there.
        blk = T()
        first(blk, 0 if on else 1)  # reloads ET
        assert type(blk.__dict__["Yt"]) is int and "ET" in blk.__dict__
        for left in (0.0, True, 1.0, None):
            blk.Yt = left
            first(blk, 1)
            assert type(blk.Yt) is int, (left, blk.Yt)
        print("ok")
    """, cwd=tmp_path)


def test_flip_flop_attribute_access_follows_python(tmp_path):
    from child import run_child
    run_child("""
        import numpy as np
        from qxdcs.algorithm.qxTrigger import RStrigger as T, TONtrigger

        def step(blk, s, r):
            blk.S, blk.R = s, r
            blk.call()
            return blk.Q, blk.nQ

        # A class default changed after objects have run; a property on the class.
        warm = T()
        step(warm, 1, 0)
        T.S = 1
        blk = T()
        blk.call()
        assert (blk.Q, blk.nQ) == (True, False)
        del T.S
        T.S = property(lambda self: 0)
        blk = T()
        blk.__dict__["S"] = 1
        blk.call()
        assert blk.Q is np.False_ and blk.nQ is True
        T.S = 0

        # A key equal to "Q_array" without being the interned name.
        class Key:
            def __hash__(self): return hash("Q_array")
            def __eq__(self, other): return other == "Q_array"
        for key in ("".join(["Q_", "array"]), Key()):
            blk = T()
            del blk.__dict__["Q_array"]
            blk.__dict__[key] = np.array([True, False])
            blk.call()
            assert blk.Q is np.True_ and blk.Q_array.tolist() == [True, True]

        # Inputs whose truth test is the caller's own code run it once, in order.
        seen = []
        class Loud:
            def __init__(self, name, v): self.name, self.v = name, v
            def __bool__(self):
                seen.append(self.name)
                return self.v
        blk = T()
        assert step(blk, Loud("S", True), Loud("R", False)) == (True, False)
        assert seen == ["S", "R"]

        # An old output is let go when it is replaced, before the next one is
        # written: what its __del__ writes is overwritten.
        class Tok:
            def __init__(self, blk, attr): self.blk, self.attr = blk, attr
            def __del__(self): setattr(self.blk, self.attr, "from __del__")
        blk = T()
        step(blk, 1, 0)
        blk.Q = Tok(blk, "nQ")
        blk.call()
        assert (blk.Q, blk.nQ) == (True, False), (blk.Q, blk.nQ)
        ton = TONtrigger()
        ton.Yt = Tok(ton, "ET")
        ton.Ut = 1
        ton.call()
        assert ton.ET == "from __del__" and ton.Yt == 0

        # Memories of other types are shifted as dataStore shifts them.
        for memory in (np.array([True, False, True]), np.array([2.5]), np.array([0], np.int8)):
            blk = T()
            blk.Q_array = memory.copy()
            blk.call()
            assert type(blk.Q) is type(memory[0]) and blk.Q == memory[0]
            expected = np.concatenate([memory[:1], memory[:-1]]) if memory.size > 1 else memory
            assert blk.Q_array.tolist() == expected.tolist()
        print("ok")
    """, cwd=tmp_path)

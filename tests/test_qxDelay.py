import collections
import copy
import gc
import pickle
import random
import warnings
import weakref

import numpy as np
import pytest

from qxdcs.algorithm.qxDelay import Delay, Delay_Algorithm


def deque_delay(inputs, lags, maxlen):
    """Independent model of the delay: a deque pre-filled with the first input."""
    q, out = collections.deque(maxlen=maxlen), []
    for u, n in zip(inputs, lags):
        if not q:
            q.extend([u] * maxlen)
        q.appendleft(u)
        out.append(q[n])
    return out


def run_algorithm(blk, inputs, lags):
    out = []
    for u, n in zip(inputs, lags):
        blk.Ut, blk.nLag = u, n
        blk.call()
        out.append(blk.Yt)
    return out


@pytest.mark.parametrize("maxlen,seed", [(1, 0), (3, 1), (7, 2), (50, 3), (10000, 4)])
def test_delay_matches_deque_model(maxlen, seed):
    rng = random.Random(seed)
    inputs = [rng.uniform(-5, 5) for _ in range(300)]
    lags = [rng.randrange(min(maxlen, 60)) for _ in inputs]
    d = Delay(maxlen)
    assert [d(u, n) for u, n in zip(inputs, lags)] == deque_delay(inputs, lags, maxlen)


@pytest.mark.parametrize("calls,expected", [
    ([(5.0, 1), (6.0, 1), (7.0, 1)], [5.0, 5.0, 6.0]),
    ([(3.0, 0), (4.0, 0)], [3.0, 4.0]),
    ([(1, 1), (2, 1), (3, 3)], [1, 1, 1]),
    ([(1, 2), (2, 2), (3, 2), (4, 2)], [1, 1, 1, 2]),
    ([(1.0, np.int64(2)), (2.0, np.int8(2)), (3.0, np.uint64(0))], [1.0, 1.0, 3.0]),
])
def test_delay_sequences(calls, expected):
    d = Delay()
    assert [d(u, nLag=n) for u, n in calls] == expected


def test_delay_keeps_objects_as_passed():
    d = Delay(4)
    items = [object(), [1, 2], "text", None, 3.5]
    outs = [d(x, 1) for x in items]
    assert outs[0] is items[0] and outs[1] is items[0]
    assert all(o is x for o, x in zip(outs[2:], items[1:]))


@pytest.mark.parametrize("lag", [3, 4, -1, 10**30, -10**30])
def test_delay_out_of_range_lag_still_enters_input(lag):
    d = Delay(max_cache=3)
    d(1.0, 0)
    with pytest.raises(ValueError) as e:
        d(2.0, lag)
    assert str(e.value) == f"nLag must be between 0 and 2, but got {lag}."
    assert d(3.0, 1) == 2.0


def test_delay_none_on_empty_history():
    d = Delay(3)
    with pytest.raises(ValueError, match=r"^Ut is None and cache is empty\.$"):
        d(None)
    assert len(d._cache) == 0
    assert d(7.0, 2) == 7.0  # behaves as a first call
    assert d(None, 0) is None


@pytest.mark.parametrize("lag,got", [(1.0, "float"), ("1", "str"), (None, "NoneType"), (True, "bool")])
def test_delay_refuses_non_integer_lag_before_any_change(lag, got):
    d = Delay(3)
    d(1.0)
    before = list(d._cache)
    with pytest.raises(TypeError, match=rf"^Argument 'nLag' has incorrect type \(expected int, got {got}\)$"):
        d(2.0, lag)
    assert list(d._cache) == before


@pytest.mark.parametrize("arg,exc,msg", [
    (0, ValueError, "max_cache must be a positive integer, but got 0."),
    (-4, ValueError, "max_cache must be a positive integer, but got -4."),
    (3.0, TypeError, "Argument 'max_cache' has incorrect type (expected int, got float)"),
    (True, TypeError, "Argument 'max_cache' has incorrect type (expected int, got bool)"),
])
def test_delay_max_cache_checks(arg, exc, msg):
    with pytest.raises(exc) as e:
        Delay(arg)
    assert str(e.value) == msg


@pytest.mark.parametrize("dup", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_delay_copy_continues_where_original_stood(dup):
    d = Delay(6)
    for u in range(10):
        d(float(u), 2)
    e = dup(d)
    assert e._cache == d._cache and e._cache.maxlen == 6
    rng = random.Random(5)
    for _ in range(20):
        u, n = rng.random(), rng.randrange(6)
        assert e(u, n) == d(u, n)
    assert dup(Delay(4))._cache == collections.deque(maxlen=4)


def test_delay_reference_cycle_is_collected():
    freed = []

    class Holder:
        def __del__(self):
            freed.append(True)

    h, d = Holder(), Delay(5)
    d(h)
    h.delay = d
    del h, d
    gc.collect()
    assert freed == [True]


def test_algorithm_class_defaults_and_instance_override():
    assert (Delay_Algorithm.Ut, Delay_Algorithm.Yt, Delay_Algorithm.nLag) == (0, 0, 1)
    a, b = Delay_Algorithm(), Delay_Algorithm()
    a.call()
    assert a.Yt == 0 and list(a.U_array) == [0.0, 0.0]
    a.nLag = 3
    assert Delay_Algorithm.nLag == 1 and b.nLag == 1
    del a.nLag
    assert a.nLag == 1

    class Longer(Delay_Algorithm):
        nLag = 4

    c = Longer()
    c.Ut = 2.0
    c.call()
    assert len(c.U_array) == 5


@pytest.mark.parametrize("seed,top", [(0, 0), (1, 3), (2, 12)])
def test_algorithm_agrees_with_delay_once_sized(seed, top):
    rng = random.Random(seed)
    inputs = [float(rng.randint(-9, 9)) for _ in range(120)]
    lags = [top] + [rng.randint(0, top) for _ in inputs[1:]]
    blk = Delay_Algorithm()
    assert run_algorithm(blk, inputs, lags) == deque_delay(inputs, lags, top + 1)
    assert blk.U_array.dtype == np.float64 and len(blk.U_array) == top + 1


def test_algorithm_history_grows_with_oldest_and_never_shrinks():
    blk = Delay_Algorithm()
    run_algorithm(blk, [1, 2], [1, 1])
    run_algorithm(blk, [3], [3])
    assert blk.U_array.tolist() == [3, 2, 1, 1] and blk.Yt == 1
    run_algorithm(blk, [4], [1])
    assert blk.U_array.tolist() == [4, 3, 2, 1] and blk.Yt == 3
    run_algorithm(blk, [5], [3])
    assert blk.Yt == 2


@pytest.mark.parametrize("bad,exc", [("abc", ValueError), ([1.0], ValueError), (1j, TypeError)])
def test_algorithm_bad_input_leaves_history_intact(bad, exc):
    blk = Delay_Algorithm()
    blk.nLag = 2
    run_algorithm(blk, [1.0, 2.0], [2, 2])
    before = blk.U_array.copy()
    blk.Ut, blk.nLag = bad, 4
    with pytest.raises(exc):
        blk.call()
    assert np.array_equal(blk.U_array, before)
    assert run_algorithm(blk, [3.0], [2]) == [1.0]


@pytest.mark.parametrize("lag,exc", [(-1, ValueError), (1.5, TypeError), (True, TypeError),
                                     (2**80, OverflowError), (np.int64(-3), ValueError)])
def test_algorithm_bad_lag_leaves_history_intact(lag, exc):
    blk = Delay_Algorithm()
    run_algorithm(blk, [1.0, 2.0], [1, 1])
    blk.Ut, blk.nLag = 3.0, lag
    with pytest.raises(exc):
        blk.call()
    assert blk.U_array.tolist() == [2.0, 1.0]


@pytest.mark.parametrize("dup", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_algorithm_copy_is_independent_and_continues(dup):
    blk = Delay_Algorithm()
    run_algorithm(blk, [1.0, 2.0, 3.0], [2, 2, 2])
    twin = dup(blk)
    assert twin.U_array is not blk.U_array and twin.nLag == 2
    seq, lags = [4.0, 5.0, 6.0], [2, 0, 3]
    assert run_algorithm(twin, seq, lags) == run_algorithm(blk, seq, lags)
    assert twin.U_array.tolist() == blk.U_array.tolist()


@pytest.mark.parametrize("ut", [2.5, 7, 2**53 + 1, -(2**60), np.float64(-0.0), True, np.int64(9),
                                np.float32(0.1)])
def test_algorithm_stores_inputs_as_float64_does(ut):
    blk = Delay_Algorithm()
    run_algorithm(blk, [1.0, 2.0], [1, 1])
    blk.Ut, blk.nLag = ut, 0
    blk.call()
    expected = np.array([ut, 2.0, 1.0][:2], dtype=np.float64)
    assert blk.U_array.tolist() == expected.tolist()
    assert type(blk.Yt) is np.float64 and repr(blk.Yt) == repr(expected[0])


def test_algorithm_attribute_access_follows_python(tmp_path):
    from child import run_child
    run_child("""
        import numpy as np
        from qxdcs.algorithm.qxDelay import Delay_Algorithm as T

        def run(blk, *inputs):
            out = []
            for u in inputs:
                blk.Ut = u
                blk.call()
                out.append(float(blk.Yt))
            return out

        warm = T()
        run(warm, 1.0, 2.0)
        T.nLag = 0
        assert run(T(), 1.0, 2.0) == [1.0, 2.0]
        T.nLag = property(lambda self: 2)
        blk = T()
        blk.__dict__["nLag"] = 0
        assert run(blk, 1.0, 2.0, 3.0) == [1.0, 1.0, 1.0]
        del T.nLag
        T.nLag = 1

        class Key:
            def __hash__(self): return hash("nLag")
            def __eq__(self, other): return other == "nLag"
        for key in ("".join(["nL", "ag"]), Key()):
            blk = T()
            blk.__dict__[key] = 0
            assert run(blk, 5.0, 6.0) == [5.0, 6.0]

        class Tok:
            def __init__(self, blk): self.blk = blk
            def __del__(self): self.blk.Ut = "from __del__"
        blk = T()
        run(blk, 1.0)
        blk.Yt = Tok(blk)
        run(blk, 2.0)
        assert blk.Ut == "from __del__" and float(blk.Yt) == 1.0
        print("ok")
    """, cwd=tmp_path)


# Python subclasses with __slots__, importable so that pickle finds them.
class SlottedDelay(Delay):
    __slots__ = ("tag", "spare")


class SlottedAlgorithm(Delay_Algorithm):
    __slots__ = ("tag", "spare")


CLONES = [copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, p)))(p)
    for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES)
@pytest.mark.parametrize("cls,feed", [
    (SlottedDelay, lambda blk, u: blk(u, 2)),
    (SlottedAlgorithm, lambda blk, u: run_algorithm(blk, [u], [2])[0]),
], ids=["Delay", "Delay_Algorithm"])
def test_subclass_slots_survive_copies(cls, feed, clone):
    blk = cls(5) if cls is SlottedDelay else cls()
    for u in (1.0, 2.0, 3.0):
        feed(blk, u)
    blk.tag = ["FT101"]
    twin = clone(blk)
    assert type(twin) is cls and twin.tag == ["FT101"] and not hasattr(twin, "spare")
    assert [feed(twin, u) for u in (4.0, 5.0, 6.0)] == [feed(blk, u) for u in (4.0, 5.0, 6.0)]


class Token:
    pass


@pytest.mark.parametrize("make,exc", [
    (lambda t: (0, [], t), ValueError),            # max_cache below 1
    (lambda t: (True, [], t), TypeError),          # max_cache not an int
    (lambda t: (3, [t, 2], None), ValueError),     # history neither empty nor full
    (lambda t: (3, (t, 2, 3), None), TypeError),   # history not a list
    (lambda t: [3, [t, 2, 3], None], TypeError),   # not a tuple
    (lambda t: (3, [t, 2, 3]), ValueError),        # wrong length
])
def test_delay_refused_state_leaves_nothing(make, exc):
    tok = Token()
    ref = weakref.ref(tok)
    raw = Delay.__new__(Delay)
    with pytest.raises(exc):
        raw.__setstate__(make(tok))
    del tok
    gc.collect()
    assert ref() is None                    # nothing of the refused state is kept
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # nanobind's "uninitialized instance"
        with pytest.raises(TypeError):
            raw(1.0)                        # still unconstructed, not half restored
    raw.__setstate__((3, [7.0, 8.0, 9.0], "x"))
    assert [raw(1.0, 2), raw(2.0, 2), raw(3.0, 2)] == [8.0, 7.0, 1.0] and raw._last_Ut == "x"

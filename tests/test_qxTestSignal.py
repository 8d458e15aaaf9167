import copy
import pickle
import random
import re
import time

import numpy as np
import pytest

from qxdcs.algorithm.qxTestSignal import TestSignal as Generator


def signal_rule(rand_arr, ET, amp, t):
    """The generator's output written with Python's operators and NumPy indexing."""
    period_index = t // (2 * ET)
    sw = [int(2 * ET * rand_arr[(period_index + k) % 10000]) for k in range(3)]
    tp = t % (2 * ET)
    if tp < sw[0]:
        n2, n4 = 2 * ET - tp, 4 * ET - tp
        return (amp, sw[0] - tp, n2, n2 + sw[1], n4, n4 + sw[2])
    n1, n3 = 2 * ET - tp, 4 * ET - tp
    return (-amp, n1, n1 + sw[1], n3, n3 + sw[2], 6 * ET - tp)


def same_tuple(a, b):
    return type(a) is tuple and len(a) == len(b) and all(
        type(x) is type(y) and x == y for x, y in zip(a, b))


@pytest.mark.parametrize("SEED", [0, 1, 2024, 2**32 - 1])
def test_table_is_numpys_and_generator_is_left_seeded(SEED):
    g = Generator(SEED)
    after = np.random.random(3)
    np.random.seed(SEED)
    table = np.random.randint(10, 91, 10000) / 100
    assert g._rand_arr.dtype == np.float64 and np.array_equal(g._rand_arr, table)
    assert np.array_equal(np.random.random(3), after)
    assert g.get_ET() == 10 and type(g.get_ET()) is int and g.get_amplitude() == 1.0


def test_unseeded_tables_differ():
    assert not np.array_equal(Generator()._rand_arr, Generator()._rand_arr)


@pytest.mark.parametrize("ET", [10, 1, 4, 7, 33, -6])
@pytest.mark.parametrize("amp", [1.0, 3, 0.0, 2.5])
def test_follows_rule(ET, amp):
    g = Generator(7)
    g.set_ET(ET)
    g.set_amplitude(amp)
    rng = random.Random(repr((ET, amp)))
    times = [rng.randint(-10**6, 10**10) for _ in range(300)]
    times += list(range(-3 * abs(ET), 3 * abs(ET) + 2))
    times += [2 * ET * 10000 + k for k in range(-2, 3)]          # where the table wraps
    for t in times:
        out = g(t) if t % 2 else g(t=t)
        assert same_tuple(out, signal_rule(g._rand_arr, g._ET, g._amp, t))
        if ET > 0:
            assert list(out[1:]) == sorted(out[1:])


def test_worked_cases_and_table_edits_take_effect():
    g = Generator(3)
    g._rand_arr[2:5] = [0.35, 0.5, 0.9]
    assert same_tuple(g(40), (1.0, 7, 20, 30, 40, 58))
    assert same_tuple(g(49), (-1.0, 11, 21, 31, 49, 51))
    assert g(20 * 10000 + 45)[1:] == g(45)[1:]                  # period 10000 uses entry 0
    g.set_ET(4)
    g._rand_arr[0] = 0.12                                        # trunc(8 * 0.12) = 0: low all period
    assert [g(t)[0] for t in range(8)] == [-1.0] * 8


@pytest.mark.parametrize("t", [None, 10**30, np.int64(12345), 41.0, 3.5])
def test_other_times_behave_as_python_and_numpy(t):
    g = Generator(11)
    if t is None:
        for _ in range(5):
            before = int(time.time())
            out = g()
            if int(time.time()) == before:
                break
        assert same_tuple(out, signal_rule(g._rand_arr, 10, 1.0, before))
        return
    try:
        want = signal_rule(g._rand_arr, 10, 1.0, t)
    except Exception as e:
        with pytest.raises(type(e), match=re.escape(str(e))):
            g(t)
        return
    out = g(t)
    assert len(out) == 6 and all(type(x) is type(y) and x == y for x, y in zip(out, want))


@pytest.mark.parametrize("amp, stored", [(-2, 0.0), (3, 3), (float("nan"), 0.0), (0.5, 0.5), (0, 0.0)])
def test_set_amplitude(amp, stored):
    g = Generator(1)
    g.set_amplitude(amp)
    got = g.get_amplitude()
    assert type(got) is type(stored) and got == stored
    levels = {g(t)[0] for t in range(200)}
    assert levels == {stored, -stored}
    assert all(type(u) is type(stored) for u in levels)


@pytest.mark.parametrize("ET, stored", [(7.9, 7), (-7.9, -7), ("12", 12), (True, 1)])
def test_set_ET_truncates(ET, stored):
    g = Generator(1)
    g.set_ET(ET)
    assert type(g.get_ET()) is int and g.get_ET() == stored


def test_failures():
    g = Generator(1)
    g.set_ET(0)
    with pytest.raises(ZeroDivisionError):
        g(5)
    g.set_ET(10)
    with pytest.raises(ValueError):
        g.set_ET(float("nan"))
    assert g.get_ET() == 10
    g._rand_arr = [0.5] * 3
    assert g(0)[0] == 1.0
    with pytest.raises(IndexError, match="index 3 is out of bounds"):
        g(20)
    with pytest.raises(ValueError):
        g._rand_arr.resize(20000)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_clone_continues_where_the_original_stood(clone):
    a = Generator(5)
    a.set_ET(6)
    a.set_amplitude(2)
    np.random.seed(99)
    b = clone(a)
    assert np.random.randint(1000) == np.random.RandomState(99).randint(1000)  # not reseeded
    assert repr(a) == repr(b) and np.array_equal(a._rand_arr, b._rand_arr)
    assert all(same_tuple(a(t), b(t)) for t in range(0, 5000, 7))
    b._rand_arr[:] = 0.5
    assert not np.array_equal(a._rand_arr, b._rand_arr)

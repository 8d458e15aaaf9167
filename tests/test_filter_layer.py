"""Hostile use of the filter blocks: restores of broken or half-built states,
unaligned input data, failed restores, subclasses with __slots__."""
import copy
import pickle
import tracemalloc

import numpy as np
import pytest
from scipy.signal import lfilter

from qxdcs.algorithm.qxFilter import sFilter, zFilter
from qxdcs.algorithm.qxLDLAG import LDLAG
from child import run_child



def test_sfilter_restored_around_an_unbuilt_zfilter_does_not_crash(tmp_path):
    run_child("""
        import warnings
        warnings.simplefilter("ignore", RuntimeWarning)
        from qxdcs.algorithm.qxFilter import sFilter, zFilter
        s = sFilter.__new__(sFilter)
        inner = zFilter.__new__(zFilter)
        s.__setstate__({'_Bs': [1.0], '_As': [5.0, 1.0], '_Ts': 1, '_zfilter': inner})
        try:
            s(1.0)
        except TypeError:
            pass
        else:
            raise AssertionError("a call through an unbuilt zFilter must fail")
        # Once the inner filter is built, the outer one works.
        inner.__setstate__(zFilter([0.5], [1.0, -0.5]).__getstate__())
        assert s(1.0) == zFilter([0.5], [1.0, -0.5])(1.0)
        print("ok")
    """, tmp_path)


class Back:
    """An operating point that refers back to the filter keeping it."""

    def __init__(self, value):
        self.value = value
        self.owner = None

    def __float__(self):
        return self.value


def test_pickle_of_a_filter_whose_kept_object_refers_back():
    # Unpickling builds the inner zFilter's state through the object that
    # refers to the outer sFilter: the sFilter is restored while its zFilter
    # is still being restored.
    inner_first = Back(2.0)
    s = sFilter([1.0], [5.0, 1.0], 1.0, u_ini=inner_first)
    inner_first.owner = s
    z = s._zfilter
    twin = pickle.loads(pickle.dumps(z))   # starts from the zFilter
    assert twin._u_ini.owner._zfilter is twin
    assert [twin._u_ini.owner(x) for x in (3.0, 4.0)] == [s(x) for x in (3.0, 4.0)]


@pytest.mark.parametrize("bad", [
    {"_Az": [0.0, 1.0]}, {"_Az": []}, {"_Az": [[1.0, 0.5]]}, {"_Bz": [[1.0]]},
    {"_zi": [0.0, 0.0, 0.0]}, {"_u_ini": "x"}])
def test_zfilter_restore_obeys_the_constructor(bad):
    f = zFilter([0.5, 0.2], [1.0, -0.5])
    state = dict(f.__getstate__(), **bad)
    raw = zFilter.__new__(zFilter)
    with pytest.raises((ValueError, TypeError)):
        raw.__setstate__(state)


@pytest.mark.parametrize("bad", [{"_alpha": -1.0}, {"_tao": -2.0}, {"_Ts": 1.5},
                                 {"_a": [0.0, 1.0]}, {"_zi": [1.0, 2.0]}])
def test_ldlag_restore_obeys_the_constructor(bad):
    f = LDLAG(0.5, 5.0, 1)
    f(1.0)
    state = dict(f.__getstate__(), **bad)
    with pytest.raises((ValueError, TypeError)):
        LDLAG.__new__(LDLAG).__setstate__(state)


def test_failed_restores_leak_nothing():
    f = zFilter(np.ones(10_000), [1.0])
    state = dict(f.__getstate__(), _zi=[0.0])       # refused: wrong length
    raw = zFilter.__new__(zFilter)

    def attempt():
        with pytest.raises(ValueError):
            raw.__setstate__(state)

    attempt()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(50):
            attempt()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 100_000, grown     # one leaked restore holds about 160 kB of arrays


@pytest.mark.parametrize("offset", [1, 3])
def test_unaligned_float_arrays_are_read(offset):
    buf = bytearray(8 * 6 + offset)
    x = np.frombuffer(buf, "f8", offset=offset)
    x[:] = [1.0, 2.0, -1.0, 0.5, 3.0, 0.0]  # frombuffer of a bytearray is writable
    b, a = [0.5, 0.25], [1.0, -0.5]
    f = zFilter(b, a, u_ini=0.0, y_ini=0.0)
    assert np.array_equal(f.run_multistep(x), lfilter(b, a, np.array(x)))
    assert np.array_equal(zFilter(x, [2.0])._Bz, np.array(x))
    g = LDLAG(0.5, 5.0, 1)
    assert np.array_equal(g.multi_step(x), LDLAG(0.5, 5.0, 1).multi_step(np.array(x)))


class SlottedZ(zFilter):
    __slots__ = ("tag", "__private")

    def mark(self):
        self.__private = "p"


class SlottedL(LDLAG):
    __slots__ = ("tag",)


@pytest.mark.parametrize("make", [lambda: SlottedZ([0.5], [1.0, -0.5]),
                                  lambda: SlottedL(0.5, 5.0, 1)])
@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_slot_values_survive_copies(make, clone):
    f = make()
    f(1.0)
    f.tag = ["TIC-7"]
    if isinstance(f, SlottedZ):
        f.mark()
    twin = clone(f)
    assert twin.tag == ["TIC-7"] and twin.tag is not f.tag
    if isinstance(f, SlottedZ):
        assert twin._SlottedZ__private == "p"
    assert twin(2.0) == f(2.0)


def test_arrays_that_blocks_read_cannot_be_reallocated_by_a_caller(tmp_path):
    # NumPy reallocates an array that owns its data on resize(refcheck=False),
    # even while a buffer of it is held: the arrays a block shows must not
    # own their data, nor lead to anything that does.
    run_child("""
        import numpy as np
        from qxdcs.algorithm.qxFilter import zFilter
        from qxdcs.algorithm.qxLDLAG import LDLAG
        from qxdcs.algorithm.qxProcessSim import tfz_model
        from qxdcs.algorithm.qxTestSignal import TestSignal
        z, l, e, t = zFilter([0.5, 0.2], [1.0, -0.5]), LDLAG(0.5, 5.0, 1), tfz_model(), TestSignal(3)
        l(1.0); e.deltaU_sim(1.0)
        arrays = [z._zi, z._Bz, z._Az, l._zi, l._b, l._a, e._zi, e.Gz_num, e.Gz_den, t._rand_arr]
        for a in arrays:
            for target in (a, getattr(a, "base", None)):
                try:
                    target.resize(10**6, refcheck=False)
                except (ValueError, AttributeError, TypeError):
                    pass
                else:
                    raise AssertionError("resized: %r" % (target,))
        for _ in range(1000):
            z(1.0); l(2.0); e.deltaU_sim(3.0); t(7)
        print("ok")
    """, tmp_path)

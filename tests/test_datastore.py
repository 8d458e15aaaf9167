"""dataStore must have exactly the effect of
    xArray[1:] = xArray[0:-1]; xArray[0] = xt
for every container (conversion, warnings and errors included); its native
paths for lists and plain NumPy arrays are compared against it bit for bit.
A NumPy history is pushed all or nothing: a value the array refuses raises
NumPy's own error and leaves the history as it was."""
import array
import gc
import importlib
import sys
import warnings
import weakref

import numpy as np
import pytest


@pytest.fixture(params=["qxcommon", "utilities"])
def dataStore(request):
    return importlib.import_module("qxdcs.algorithm." + request.param).dataStore


def by_slices(x, xt):
    x[1:] = x[0:-1]
    x[0] = xt


def all_or_nothing(x, xt):
    trial = x.copy()
    by_slices(trial, xt)
    x[...] = trial


# An x87 extended-precision long double holds 10 significant bytes in a 12- or
# 16-byte slot; the rest is padding that NumPy leaves undefined when it writes
# a value, so it may differ between two arrays that hold the same numbers.
_X87_LONG_DOUBLE = (np.finfo(np.longdouble).nmant == 63 and np.finfo(np.longdouble).nexp == 15
                    and sys.byteorder == "little")


def meaningful_bytes(a):
    """The bytes of a contiguous array, without the padding of long doubles."""
    if a.dtype.type is np.longdouble and _X87_LONG_DOUBLE:
        return a.view(np.uint8).reshape(a.shape + (a.dtype.itemsize,))[..., :10].tobytes()
    return a.tobytes()


def outcome(fn, x, xt):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        # A dict is looked up with the slice: TypeError (unhashable) before
        # Python 3.12, KeyError since slices are hashable.
        try:
            assert fn(x, xt) is None
            err = None
        except (TypeError, ValueError, IndexError, KeyError, OverflowError) as exc:
            err = (type(exc), str(exc))
    return err, [(w.category, str(w.message)) for w in seen]


VALUES = [2.5, -7, 255, 256, -1, 2**31, 2**63, -(2**63) - 1, 2**53 + 1, 10**400, 1e300, 1e-50,
          -0.0, float("nan"), True, None, np.float64(3.25), np.float32(1.5), np.uint8(200),
          "12", "x", 1 + 2j, [1]]


@pytest.mark.parametrize("n", [1, 5])
@pytest.mark.parametrize("dtype", ["f8", "f4", "f2", "i1", "u1", "i4", "u4", "i8", "u8", "?",
                                   "c16", "g", ">f8", ">i4", "M8[s]", "O", "U3"])
@pytest.mark.parametrize("xt", VALUES, ids=repr)
def test_plain_arrays(dataStore, dtype, xt, n):
    ours = np.arange(1, n + 1).astype(dtype)
    expected = ours.copy()
    assert outcome(dataStore, ours, xt) == outcome(all_or_nothing, expected, xt)
    assert ours.dtype == expected.dtype
    assert meaningful_bytes(ours) == meaningful_bytes(expected)


@pytest.mark.parametrize("dtype", ["f8", "i8", "?"])
@pytest.mark.parametrize("view", [
    lambda a: a[::2], lambda a: a[1:6], lambda a: a[::-1], lambda a: a.reshape(2, 4),
    lambda a: np.asfortranarray(a.reshape(2, 4)), lambda a: a.view(np.ma.MaskedArray),
    lambda a: np.lib.stride_tricks.as_strided(a, (4,), (0,)), lambda a: a[2:2],
    lambda a: a.setflags(write=False) or a,
], ids=["strided", "window", "reversed", "2d", "fortran", "masked", "zero-stride", "empty",
        "read-only"])
def test_views_and_shapes(dataStore, dtype, view):
    storage = np.arange(1, 9).astype(dtype)
    storage_expected = storage.copy()
    ours, expected = view(storage), view(storage_expected)
    assert outcome(dataStore, ours, 9) == outcome(by_slices, expected, 9)
    assert storage.tobytes() == storage_expected.tobytes()   # the whole buffer agrees


@pytest.mark.parametrize("make, xt", [
    (lambda: [1, 2, 3], 9), (lambda: [1], "new"), (lambda: [], 1),
    (lambda: type("L", (list,), {})([1, 2, 3]), 7),
    (lambda: bytearray(b"abc"), 100), (lambda: bytearray(b"abc"), 300),
    (lambda: array.array("i", [1, 2, 3]), 2.5), (lambda: (1, 2, 3), 9), (lambda: "abc", "z"),
    (lambda: {0: "a", 1: "b"}, "c"), (lambda: None, 1),
], ids=["list", "list1", "empty", "subclass", "bytes", "bytes-range", "array-i", "tuple", "str",
        "dict", "None"])
def test_other_containers(dataStore, make, xt):
    ours, expected = make(), make()
    assert outcome(dataStore, ours, xt) == outcome(by_slices, expected, xt)
    assert ours == expected


@pytest.mark.parametrize("dtype,xt", [("f8", "x"), ("f8", [1, 2, 3]), ("u1", -7), ("i1", 300),
                                      ("i8", 2**63), ("f8", 1 + 2j)])
@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::2], lambda a: a[::-1],
                                  lambda a: np.ma.array(a), lambda a: a.reshape(2, 2)],
                         ids=["contiguous", "strided", "reversed", "masked", "2d"])
def test_refused_value_leaves_numeric_history_intact(dataStore, dtype, xt, view):
    storage = np.array([5, 6, 7, 8]).astype(dtype)
    hist = view(storage)
    before, before_storage = hist.tolist(), storage.tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises((TypeError, ValueError, OverflowError)):
            dataStore(hist, xt)
    assert hist.tolist() == before and storage.tobytes() == before_storage
    dataStore(hist, 1)
    assert hist.tolist()[1:] == before[:-1]


def test_value_is_read_after_the_shift(dataStore):
    # A value that is a view into the history is read once the history has moved.
    x = np.array([10.0, 20.0, 30.0])
    dataStore(x, x[..., 1])
    assert x.tolist() == [10.0, 10.0, 20.0]


@pytest.mark.parametrize("fails", [False, True])
def test_value_that_resizes_the_history_does_not_corrupt_memory(dataStore, fails):
    x = np.arange(100_000, dtype=float)

    class Resizing:
        def __float__(self):
            x.resize(2, refcheck=False)
            if fails:
                raise ValueError("refused")
            return 5.0

    if fails:
        with pytest.raises(ValueError, match="refused"):
            dataStore(x, Resizing())
    else:
        dataStore(x, Resizing())
        assert x[0] == 5.0
    assert x.shape == (2,)


def test_history_and_references(dataStore):
    hist, samples = np.zeros(4), np.random.default_rng(3).standard_normal(10)
    for k, s in enumerate(samples):
        dataStore(hist, s)
        np.testing.assert_array_equal(hist, np.r_[samples[k::-1], np.zeros(4)][:4])

    class Token:
        pass
    items = [Token() for _ in range(3)]
    refs = [weakref.ref(t) for t in items]
    lst, new = list(items), Token()
    del items
    dataStore(lst, new)
    gc.collect()
    assert refs[2]() is None and lst == [new, refs[0](), refs[1]()]
    lst.clear()
    gc.collect()
    assert all(r() is None for r in refs)

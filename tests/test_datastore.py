"""dataStore: in-place push of a sample into the front of a history.

The shift must have exactly the effect of
    xArray[1:] = xArray[0:-1]; xArray[0] = xt
for every container, including element conversion, warnings and errors; the
native paths for lists and plain NumPy arrays are compared against that
effect, bit for bit.
"""
import array
import gc
import importlib
import warnings
import weakref

import numpy as np
import pytest

MODULES = ["qxdcs.algorithm.utilities"]


@pytest.fixture(params=MODULES, ids=lambda name: name.rsplit(".", 1)[1])
def dataStore(request):
    return importlib.import_module(request.param).dataStore


def shift_by_slices(x, xt):
    x[1:] = x[0:-1]
    x[0] = xt


def outcome(fn, x, xt):
    """(exception type and text or None, warnings seen) of fn(x, xt)."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            result = fn(x, xt)
        except Exception as exc:  # compared, not swallowed
            return (type(exc), str(exc)), [(w.category, str(w.message)) for w in seen]
    assert result is None
    return None, [(w.category, str(w.message)) for w in seen]


def assert_same_array(a, b):
    assert a.dtype == b.dtype and a.shape == b.shape
    assert a.tobytes() == b.tobytes()


DTYPES = ["f8", "f4", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?",
          "c8", "c16", "g", ">f8", ">i4", "<u2", "M8[s]", "O", "U3"]
VALUES = [2.5, -7, 0, 255, 256, -1, 70000, 2**31, 2**63, -(2**63) - 1, 2**53 + 1, 10**400,
          1e300, 1e-50, -0.0, float("nan"), float("inf"), True, False, None,
          np.float64(3.25), np.float32(1.5), np.int64(-4), np.uint8(200), "12", "x",
          1 + 2j, [1], np.array([5.0])]


@pytest.mark.parametrize("n", [1, 2, 5])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("xt", VALUES, ids=repr)
def test_array_matches_slice_assignment(dataStore, dtype, xt, n):
    base = np.arange(1, n + 1).astype(dtype)
    ours, expected = base.copy(), base.copy()
    assert outcome(dataStore, ours, xt) == outcome(shift_by_slices, expected, xt)
    assert_same_array(ours, expected)


@pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "u1", "?", "c16"])
@pytest.mark.parametrize("make", [
    lambda a: a[::2],                       # strided view
    lambda a: a[1:6],                       # contiguous view into a larger buffer
    lambda a: a[::-1],                      # negative stride
    lambda a: a.reshape(2, 4),              # rows are shifted
    lambda a: np.asfortranarray(a.reshape(2, 4)),
    lambda a: a.reshape(8, 1),
    lambda a: a.view(np.ma.MaskedArray),    # subclass with its own item assignment
    lambda a: np.lib.stride_tricks.as_strided(a, (4,), (0,)),
], ids=["strided", "window", "reversed", "2d", "fortran", "column", "masked", "zero-stride"])
@pytest.mark.parametrize("xt", [9.75, 3, np.float64(-1.5)], ids=repr)
def test_views_and_shapes_match_slice_assignment(dataStore, dtype, make, xt):
    storage_ours = np.arange(1, 9).astype(dtype)
    storage_expected = storage_ours.copy()
    ours, expected = make(storage_ours), make(storage_expected)
    assert outcome(dataStore, ours, xt) == outcome(shift_by_slices, expected, xt)
    # the whole underlying buffer, not only the view, must agree
    assert_same_array(storage_ours, storage_expected)


def test_window_into_buffer_leaves_outside_untouched(dataStore):
    buf = np.arange(10.0)
    dataStore(buf[2:6], -1.0)
    assert buf.tolist() == [0.0, 1.0, -1.0, 2.0, 3.0, 4.0, 6.0, 7.0, 8.0, 9.0]


@pytest.mark.parametrize("make", [
    lambda: np.arange(4.0),
    lambda: np.arange(4, dtype=np.int32),
    lambda: np.arange(4.0)[::2],
], ids=["f8", "i4", "strided"])
def test_read_only_array_is_refused_unchanged(dataStore, make):
    ours = make()
    ours.flags.writeable = False
    before = ours.copy()
    with pytest.raises(ValueError, match="read-only"):
        dataStore(ours, 1.0)
    assert_same_array(ours, before)


@pytest.mark.parametrize("dtype", ["f8", "i8", "U3", "O"])
def test_empty_array_raises_index_error(dataStore, dtype):
    with pytest.raises(IndexError, match="index 0 is out of bounds"):
        dataStore(np.zeros(0, dtype), 1)


def test_history_over_many_samples(dataStore):
    """The array always holds the newest samples, newest first."""
    hist = np.zeros(7)
    rng = np.random.default_rng(3)
    samples = rng.standard_normal(40)
    for k, s in enumerate(samples):
        dataStore(hist, s)
        newest_first = samples[: k + 1][::-1]
        expected = np.concatenate([newest_first, np.zeros(7)])[:7]
        np.testing.assert_array_equal(hist, expected)


# --- other containers ---------------------------------------------------------

class Recorder(list):
    """A list that records the item operations made on it."""

    def __init__(self, *args):
        super().__init__(*args)
        self.log = []

    def __getitem__(self, key):
        self.log.append(("get", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append(("set", key, value if isinstance(key, int) else list(value)))
        super().__setitem__(key, value)


@pytest.mark.parametrize("make, xt", [
    (lambda: [1, 2, 3], 9),
    (lambda: [1], "new"),
    (lambda: [1.5, None, "a", (2,)], [0]),
    (lambda: Recorder([1, 2, 3]), 7),
    (lambda: bytearray(b"abc"), 100),
    (lambda: bytearray(b"abc"), 300),
    (lambda: bytearray(b"abc"), 2.0),
    (lambda: array.array("d", [1.0, 2.0]), 3),
    (lambda: array.array("i", [1, 2, 3]), 2.5),
    (lambda: [], 1),
    (lambda: bytearray(), 1),
    (lambda: (1, 2, 3), 9),
    (lambda: "abc", "z"),
    (lambda: {0: "a", 1: "b"}, "c"),
    (lambda: None, 1),
    (lambda: 5, 1),
], ids=["list", "list1", "mixed", "subclass", "bytes", "bytes-range", "bytes-float",
        "array-d", "array-i", "empty-list", "empty-bytes", "tuple", "str", "dict", "None", "int"])
def test_containers_match_slice_assignment(dataStore, make, xt):
    ours, expected = make(), make()
    assert outcome(dataStore, ours, xt) == outcome(shift_by_slices, expected, xt)
    assert ours == expected
    if isinstance(ours, Recorder):
        assert ours.log == expected.log == [
            ("get", slice(0, -1)), ("set", slice(1, None), [1, 2]), ("set", 0, 7)]


def test_spec_style_examples(dataStore):
    x = np.array([1.0, 2.0, 3.0])
    dataStore(x, 9)
    assert x.tolist() == [9.0, 1.0, 2.0]
    one = np.array([4.0])
    dataStore(one, 5.5)
    assert one.tolist() == [5.5]
    lst = [1, 2, 3]
    dataStore(lst, 9)
    assert lst == [9, 1, 2]


class Token:
    pass


def test_list_releases_oldest_and_keeps_the_rest(dataStore):
    items = [Token() for _ in range(3)]
    refs = [weakref.ref(t) for t in items]
    new = Token()
    hist = list(items)
    del items
    dataStore(hist, new)
    gc.collect()
    assert refs[2]() is None                   # the oldest was released
    assert hist == [new, refs[0](), refs[1]()]
    hist.clear()
    gc.collect()
    assert all(r() is None for r in refs)      # nothing leaked a reference


def test_array_keeps_no_reference_to_sample(dataStore):
    hist = np.zeros(3, dtype=object)
    t = Token()
    ref = weakref.ref(t)
    dataStore(hist, t)
    assert hist[0] is t
    dataStore(hist, 1)
    dataStore(hist, 2)
    dataStore(hist, 3)
    del t
    gc.collect()
    assert ref() is None


def test_argument_count_and_keywords(dataStore):
    x = [1, 2]
    dataStore(xt=5, xArray=x)
    assert x == [5, 1]
    with pytest.raises(TypeError):
        dataStore(x)
    with pytest.raises(TypeError):
        dataStore(x, 1, 2)
    with pytest.raises(TypeError):
        dataStore(x, value=1)
    assert x == [5, 1]

import copy
import pickle

import numpy as np
import pytest
from scipy import signal

from qxdcs.algorithm.qxFilter import sFilter, zFilter

# (Bz, Az) pairs covering the shapes the kernel distinguishes.
FILTERS = {
    "lag1": ([0, 0.1], [1, -0.9]),
    "lead-lag": ([0.7, -0.55], [1.0, -0.85]),
    "a0 not 1": ([0.3, 0.2, -0.05], [2.5, -1.1, 0.3]),
    "biquad": ([0.02, 0.04, 0.02], [1.0, -1.56, 0.64]),
    "b longer": ([0.2, 0.3, -0.1, 0.05], [1.0, -0.5]),
    "a longer": ([0.5], [1.0, -0.3, 0.1, -0.02]),
    "dead time": ([0, 0, 0, 0.25], [1.0, -0.75]),
    "gain": ([2.0], [1.0]),
    "fir3": ([0.25, 0.5, 0.25], [1.0]),
    "fir15": (list(np.linspace(0.01, 0.2, 15)), [1.0]),
    "fir scaled": ([1.0, -2.0, 3.0], [4.0]),
}


def inputs(n, seed):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)) * 3.7 + 12.5


class Reference:
    """The filter written out with scipy.signal.lfilter on every call."""

    def __init__(self, b, a, u_ini=None, y_ini=None):
        self.b = np.array(b, dtype=float)
        self.a = np.array(a, dtype=float)
        n = max(len(self.a), len(self.b))
        self.zi = signal.lfiltic(self.b, self.a, y=np.zeros(n), x=np.zeros(n))
        self.u_ini, self.y_ini = u_ini, y_ini

    def __call__(self, u, y_ini=0.0):
        if self.u_ini is None:
            self.u_ini = u
        if self.y_ini is None:
            self.y_ini = y_ini
        y, self.zi = signal.lfilter(self.b, self.a, [u - self.u_ini], zi=self.zi)
        return y[0] + self.y_ini

    def block(self, u, y_ini=0.0):
        u = np.asarray(u, dtype=float)
        if self.u_ini is None:
            self.u_ini = u[0]
        if self.y_ini is None:
            self.y_ini = y_ini
        y, self.zi = signal.lfilter(self.b, self.a, u - self.u_ini, zi=self.zi)
        return y + self.y_ini


@pytest.mark.parametrize("name", FILTERS)
@pytest.mark.parametrize("u_ini,y_ini", [(None, None), (10.0, -3.5), (7, 2)])
def test_per_sample_matches_lfilter_bit_for_bit(name, u_ini, y_ini):
    b, a = FILTERS[name]
    f, ref = zFilter(b, a, u_ini, y_ini), Reference(b, a, u_ini, y_ini)
    u = inputs(300, 1)
    got = np.array([f(x, 1.25) for x in u])
    want = np.array([ref(x, 1.25) for x in u])
    assert np.array_equal(got, want)
    assert np.array_equal(f._zi, ref.zi)


@pytest.mark.parametrize("name", FILTERS)
@pytest.mark.parametrize("seed", [2, 3])
def test_mixed_blocks_and_samples_match_lfilter_bit_for_bit(name, seed):
    b, a = FILTERS[name]
    f, ref = zFilter(b, a), Reference(b, a)
    u = inputs(400, seed)
    rng = np.random.default_rng(seed)
    k = 0
    while k < len(u):
        size = int(rng.integers(0, 40))
        if size == 0:
            assert np.array_equal([f.run(u[k])], [ref(u[k])])
            k += 1
            continue
        chunk = u[k:k + size]
        got = f.run_multistep(chunk if seed % 2 else list(chunk), -1.0)
        assert np.array_equal(got, ref.block(chunk, -1.0))
        k += size
    assert np.array_equal(f._zi, ref.zi)


@pytest.mark.parametrize("taps", [15, 16, 40])
@pytest.mark.parametrize("n", [2, 16, 5000])
def test_long_moving_average_blocks_equal_lfilter(taps, n):
    # Long sums of a filter without feedback are NumPy's (and BLAS's) to order.
    rng = np.random.default_rng(taps * n)
    b = rng.standard_normal(taps)
    f, ref = zFilter(b, [2.0], 0.5, 0.25), Reference(b, [2.0], 0.5, 0.25)
    for _ in range(2):
        u = rng.standard_normal(n)
        assert np.array_equal(f.run_multistep(u), ref.block(u))
        assert np.array_equal(f._zi, ref.zi)


def test_block_equals_per_sample_calls():
    u = [1.0, 1.0, 1.0]
    one, many = zFilter(), zFilter()
    assert np.array_equal(one.run_multistep(u), [many(x) for x in u])
    assert np.array_equal(one._zi, many._zi)
    assert (one._u_ini, one._y_ini) == (many._u_ini, many._y_ini) == (1.0, 0.0)


def test_sfilter_default_step():
    f = sFilter()
    out = [f(0.0)] + [f(1.0) for _ in range(200)]
    assert out[0] == 0.0 and out[1] == 0.0
    assert out[2] == pytest.approx(1 - np.exp(-0.2), abs=1e-12)
    assert out[3] == pytest.approx(1 - np.exp(-0.4), abs=1e-12)
    assert out[-1] == pytest.approx(1.0, abs=1e-12)
    assert np.all(np.diff(out[1:40]) > 0) and np.all(np.diff(out[1:]) >= 0)


@pytest.mark.parametrize("Bs,As,Ts", [([1], [5, 1], 1), ([2.0, 1.0], [3.0, 4.0, 1.0], 0.5),
                                     ([0.5], [10.0, 1.0], 2), ([1.5, 0.2], [1.0, 0.7], 0.1)])
def test_sfilter_is_the_zoh_zfilter(Bs, As, Ts):
    num, den, _ = signal.cont2discrete((np.array(Bs, float), np.array(As, float)), Ts)
    f = sFilter(Bs, As, Ts, 1.0, 2.0)
    assert np.array_equal(f._zfilter._Bz, num[0]) and np.array_equal(f._zfilter._Az, den)
    assert np.array_equal(f._Bs, np.array(Bs, float)) and np.array_equal(f._As, np.array(As, float))
    assert f._Ts is Ts
    ref = Reference(num[0], den, 1.0, 2.0)
    u = inputs(100, 5)
    assert np.array_equal([f(x) for x in u[:50]], [ref(x) for x in u[:50]])
    assert np.array_equal(f.run_multistep(list(u[50:])), ref.block(u[50:]))


def test_operating_point_example():
    f = zFilter(u_ini=10.0, y_ini=3.0)
    assert [f(10.0) for _ in range(5)] == [3.0] * 5
    g = zFilter(u_ini=10.0, y_ini=3.0)
    out = [g(11.0) for _ in range(200)]
    assert out[:3] == pytest.approx([3.0, 3.1, 3.19])
    assert out[-1] == pytest.approx(4.0)


@pytest.mark.parametrize("cls", [zFilter, sFilter])
@pytest.mark.parametrize("first,y_first,expect", [(7.5, 0.0, 0.0), (-2.0, 5.0, 5.0), (0.0, 5, 5.0)])
def test_first_call_fixes_operating_point(cls, first, y_first, expect):
    f = cls()
    assert f(first, y_first) == expect
    zf = f if cls is zFilter else f._zfilter
    assert zf._u_ini == first and zf._y_ini == expect
    later = [f(first + 1.0, 100.0) for _ in range(3)]
    g = cls()
    g(first, y_first)
    assert later == [g(first + 1.0) for _ in range(3)]  # y_ini of later calls: no effect


def test_operating_point_stored_as_passed():
    f = zFilter(u_ini=10, y_ini=np.float64(3.0))
    assert type(f._u_ini) is int and type(f._y_ini) is np.float64
    assert f(12) == pytest.approx(3.0)
    assert type(f._u_ini) is int


def test_pure_gain_has_no_state():
    f = zFilter([2], [1])
    assert f._zi.shape == (0,)
    assert f(3.0, 1.0) == 1.0
    assert f(5.5) == 2 * (5.5 - 3.0) + 1.0


@pytest.mark.parametrize("cls", [zFilter, sFilter])
@pytest.mark.parametrize("bad", ["1.0", None, [1.0], complex(1, 1)])
def test_non_number_refused_without_state_change(cls, bad):
    f, twin = cls(), cls()
    f(1.0)
    twin(1.0)
    with pytest.raises(TypeError):
        f(bad)
    with pytest.raises(TypeError):
        f(2.0, bad)
    assert [f(2.0) for _ in range(3)] == [twin(2.0) for _ in range(3)]


@pytest.mark.parametrize("bad,got", [((1.0, 2.0), "tuple"), (np.array([1.0, 2.0]), "numpy.ndarray"),
                                     (type("L", (list,), {})([1.0]), "L"), ("12", "str")])
def test_sfilter_block_requires_a_list(bad, got):
    f = sFilter()
    with pytest.raises(TypeError) as e:
        f.run_multistep(bad)
    assert str(e.value) == f"Argument 'U_arr' has incorrect type (expected list, got {got})"
    assert f._zfilter._u_ini is None and f._zfilter._y_ini is None
    assert np.array_equal(f._zfilter._zi, [0.0])


def test_zfilter_block_accepts_sequences():
    u = [1.0, 2.0, 4.0, 3.0]
    want = zFilter().run_multistep(u)
    for seq in (tuple(u), np.array(u), np.array(u)[::-1][::-1], [1, 2, 4, 3]):
        assert np.array_equal(zFilter().run_multistep(seq), want)


def test_empty_block():
    f = zFilter()
    with pytest.raises(IndexError):
        f.run_multistep([])
    assert f._u_ini is None and f._y_ini is None
    g = zFilter(u_ini=1.0)
    out = g.run_multistep([], 4.0)
    assert out.shape == (0,) and g._y_ini == 4.0 and np.array_equal(g._zi, [0.0])
    s = sFilter()
    with pytest.raises(IndexError):
        s.run_multistep([])


@pytest.mark.parametrize("b,a", [([1.0], [0.0, 1.0]), ([1.0, 2.0], []), ([[1.0, 2.0]], [1.0]),
                                 ([1.0], [[1.0, 0.5]])])
def test_construction_errors_are_scipys(b, a):
    with pytest.raises(ValueError) as ours:
        zFilter(b, a)
    n = max(len(np.atleast_1d(a)), len(np.atleast_1d(b)))
    with pytest.raises(ValueError) as theirs:
        signal.lfiltic(np.array(b, float), np.array(a, float), y=np.zeros(n), x=np.zeros(n))
    assert str(ours.value) == str(theirs.value)


def test_empty_numerator_fails_on_call_without_state_change():
    f = zFilter([], [1.0])
    for call in (lambda: f(1.0), lambda: f.run_multistep([1.0, 2.0])):
        with pytest.raises(ValueError) as ours:
            call()
        with pytest.raises(ValueError) as theirs:
            signal.lfilter(np.array([]), [1.0], [1.0], zi=np.zeros(0))
        assert str(ours.value) == str(theirs.value)
    assert f._u_ini is None


@pytest.mark.parametrize("kw", [{"u_ini": "1"}, {"y_ini": [1.0]}])
def test_operating_point_must_be_a_number(kw):
    name = next(iter(kw))
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        zFilter(**kw)
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        sFilter(**kw)


def test_coefficients_read_only_and_copied():
    b = np.array([0.0, 0.1])
    f = zFilter(b, [1, -0.9])
    b[1] = 5.0  # the caller's array is not shared
    assert f._Bz[1] == 0.1
    with pytest.raises(ValueError):
        f._Bz[1] = 7.0
    with pytest.raises(AttributeError):
        f._Bz = [1.0]


def test_state_vector_is_live():
    f = zFilter(*FILTERS["biquad"])
    zi = f._zi
    f(1.0)
    f(2.0)
    assert zi is f._zi and np.any(zi != 0.0)
    f._zi[:] = 0.0
    g = zFilter(*FILTERS["biquad"], u_ini=1.0, y_ini=0.0)
    assert f(4.0) == g(4.0)
    f._zi = [0.5, -0.25]
    g._zi[:] = [0.5, -0.25]
    assert f(3.0) == g(3.0)
    with pytest.raises(ValueError):
        f._zi = [1.0]
    # Feeding the state array to the filter reads it as it was before the call.
    assert np.array_equal(f.run_multistep(f._zi), g.run_multistep(g._zi.copy()))
    assert np.array_equal(f._zi, g._zi)


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
@pytest.mark.parametrize("warm", [0, 30])
@pytest.mark.parametrize("make", [lambda: zFilter(*FILTERS["biquad"], u_ini=2, y_ini=1.5),
                                  lambda: sFilter([1.0, 0.5], [4.0, 3.0, 1.0], 0.5),
                                  lambda: zFilter()])
def test_copies_continue_where_the_original_stood(how, warm, make):
    f = make()
    u = inputs(60, 6)
    for x in u[:warm]:
        f(x)
    g = pickle.loads(pickle.dumps(f)) if how == "pickle" else copy.deepcopy(f)
    assert repr(g) == repr(f)
    assert np.array_equal([g(x, 2.0) for x in u[30:]], [f(x, 2.0) for x in u[30:]])
    g(100.0)  # independent state
    assert f(u[0]) != g(u[0])


@pytest.mark.parametrize("Bz,Az", [(None, None), (2.0, 1.0), ([1.0], None), ([1.0], 3)])
def test_coefficients_without_length_are_refused(Bz, Az):
    with pytest.raises(TypeError, match="len\\(\\) of unsized object"):
        zFilter(Bz, Az)

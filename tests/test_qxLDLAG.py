import copy
import pickle

import numpy as np
import pytest
from scipy import signal

from qxdcs.algorithm import qxLDLAG
from qxdcs.algorithm.qxLDLAG import LDLAG, filter_stp, positive_parameter_property


class Reference:
    """The lead-lag filter written out with scipy.signal on every call."""

    def __init__(self, alpha=0.0, tao=5.0, Ts=1, u_ini=None, y_ini=None):
        self.Ts, self.alpha, self.tao = Ts, float(alpha), float(tao)
        self.u, self.y = u_ini, y_ini
        self.modify()

    def modify(self):
        if self.tao == 0:
            num, den = [1.0], [1.0]
        elif self.alpha == 0 and self.tao > 0:
            n, den, _ = signal.cont2discrete(([1.0], [self.tao, 1.0]), dt=self.Ts)
            num = n[0][1:]
        else:
            n, den, _ = signal.cont2discrete(([self.alpha * self.tao, 1.0], [self.tao, 1.0]),
                                             dt=self.Ts)
            num = n[0]
        self.b, self.a = np.array(num, float), np.array(den, float)
        self.zi = None
        if self.u is not None and self.y is not None:
            self.zi = signal.lfiltic(self.b, self.a, [self.y], [self.u])

    def set(self, name, value):
        setattr(self, name, value)
        self.modify()

    def __call__(self, u):
        if self.zi is None:
            self.zi = signal.lfiltic(self.b, self.a, [u], [u])
        y, self.zi = signal.lfilter(self.b, self.a, [u], zi=self.zi)
        self.u, self.y = u, y[0]
        return y[0]

    def block(self, u):
        if self.zi is None:
            self.zi = signal.lfiltic(self.b, self.a, [u[0]], [u[0]])
        y, self.zi = signal.lfilter(self.b, self.a, u, zi=self.zi)
        self.u, self.y = u[-1], y[-1]
        return y


def signal_in(n, seed):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)) + 40.0


SETTINGS = [dict(), dict(alpha=0.5), dict(alpha=1.0, tao=3.0), dict(alpha=2.5, tao=7.5, Ts=2),
            dict(tao=0.0), dict(alpha=-1.0, tao=0.0), dict(alpha=0.3, tao=12.0, u_ini=40.0, y_ini=38.5),
            dict(alpha=0.0, tao=2.0, Ts=3, u_ini=41, y_ini=39)]


@pytest.mark.parametrize("kw", SETTINGS)
def test_matches_scipy_bit_for_bit_with_parameter_changes(kw):
    f, ref = LDLAG(**kw), Reference(**kw)
    assert np.array_equal(f._b, ref.b) and np.array_equal(f._a, ref.a)
    u = signal_in(240, 7)
    changes = {30: ("alpha", 0.8), 60: ("tao", 9), 90: ("alpha", 0), 120: ("tao", 0),
               150: ("tao", 4.5), 180: ("alpha", 1.7)}
    got, want = [], []
    k = 0
    while k < len(u):
        if k in changes:
            name, value = changes[k]
            setattr(f, name, value)
            ref.set(name, value)
            assert np.array_equal(f._zi, ref.zi)
        if k % 40 < 25:
            got.append(f(u[k]))
            want.append(ref(u[k]))
            k += 1
        else:
            got.extend(f.multi_step(u[k:k + 5]))
            want.extend(ref.block(u[k:k + 5]))
            k += 5
    assert np.array_equal(got, want)
    assert np.array_equal(f._zi, ref.zi)
    assert (f._u_ini, f._y_ini) == (ref.u, ref.y)


@pytest.mark.parametrize("alpha,first", [(0.0, 1 - np.exp(-0.2)), (0.5, 0.5)])
def test_step_examples(alpha, first):
    f = LDLAG(alpha=alpha)
    out = [f(0.0)] + [f(1.0) for _ in range(300)]
    assert out[0] == 0.0 and out[1] == pytest.approx(first, abs=1e-12)
    shift = 1 if alpha == 0 else 0
    for k in (2, 3, 10):
        assert out[k] == pytest.approx(1 - (1 - alpha) * np.exp(-0.2 * (k - 1 + shift)), abs=1e-12)
    assert out[-1] == pytest.approx(1.0, abs=1e-12)


@pytest.mark.parametrize("kw,exact", [(dict(tao=0), True), (dict(tao=0, alpha=3.0), True),
                                      (dict(alpha=1.0), False), (dict(alpha=1, tao=20, Ts=5), False)])
def test_pass_through(kw, exact):
    f = LDLAG(**kw)
    u = signal_in(50, 8)
    out = np.array([f(x) for x in u])
    if exact:
        assert np.array_equal(out, u)
    else:
        np.testing.assert_allclose(out, u, rtol=1e-12)


@pytest.mark.parametrize("kw", SETTINGS[:5])
@pytest.mark.parametrize("first", [0.0, -7.25, 1e6])
def test_first_call_returns_its_input(kw, first):
    assert LDLAG(**kw)(first) == pytest.approx(first, rel=1e-12, abs=1e-12)
    assert LDLAG(**kw).multi_step([first, first])[0] == pytest.approx(first, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("name,same", [("alpha", 0.0), ("alpha", 0), ("tao", 5.0), ("tao", 5)])
def test_equal_write_recomputes_nothing(name, same):
    f = LDLAG()
    f(3.0)
    b, zi, stored = f._b, f._zi, getattr(f, "_" + name)
    setattr(f, name, same)
    assert f._b is b and f._zi is zi and getattr(f, "_" + name) is stored


def test_value_stored_as_passed():
    f = LDLAG()
    assert type(f._alpha) is float and type(f._tao) is float
    f.tao = 10
    f.alpha = True
    assert type(f._tao) is int and f._alpha is True and f.alpha is True
    assert np.array_equal(f._b, Reference(alpha=1.0, tao=10.0).b)


@pytest.mark.parametrize("name", ["alpha", "tao"])
def test_time_constant_change_keeps_a_constant_output(name):
    f = LDLAG(alpha=0.4)
    for _ in range(5):
        f(12.5)
    setattr(f, name, 10)
    assert f(12.5) == pytest.approx(12.5, rel=1e-14)


@pytest.mark.parametrize("name", ["alpha", "tao"])
@pytest.mark.parametrize("bad,exc", [(-1, ValueError), (-0.5, ValueError), ("1", TypeError),
                                     (None, TypeError), (np.int64(2), TypeError),
                                     (float("nan"), ValueError)])
def test_refused_writes_change_nothing(name, bad, exc):
    f, twin = LDLAG(alpha=0.3), LDLAG(alpha=0.3)
    for x in (1.0, 2.0):
        f(x)
        twin(x)
    with pytest.raises(exc) as e:
        setattr(f, name, bad)
    if exc is TypeError:
        assert str(e.value) == f"{name} must be a {(float, int)}"
    elif bad < 0:
        assert str(e.value) == "Expected a non-negative value."
    assert getattr(f, name) == getattr(twin, name)
    assert np.array_equal(f._b, twin._b) and np.array_equal(f._zi, twin._zi)
    assert [f(3.0) for _ in range(3)] == [twin(3.0) for _ in range(3)]


@pytest.mark.parametrize("Ts,got", [(1.0, "float"), ("1", "str"), (True, "bool"), (None, "NoneType")])
def test_sample_period_must_be_an_int(Ts, got):
    with pytest.raises(TypeError) as e:
        LDLAG(Ts=Ts)
    assert str(e.value) == f"Argument 'Ts' has incorrect type (expected int, got {got})"


@pytest.mark.parametrize("kw", [dict(tao=-1.0), dict(alpha=-0.5, tao=5.0), dict(tao=float("nan"))])
def test_constructor_without_coefficients_fails(kw):
    with pytest.raises(ValueError):
        LDLAG(**kw)


@pytest.mark.parametrize("bad", ["x", None, [1.0]])
def test_call_with_non_number(bad):
    f, twin = LDLAG(), LDLAG()
    f(1.0)
    twin(1.0)
    with pytest.raises(TypeError):
        f(bad)
    assert [f(2.0), f(2.0)] == [twin(2.0), twin(2.0)]


def test_block_equals_per_sample_and_continues():
    f, g = LDLAG(alpha=0.5), LDLAG(alpha=0.5)
    block = f.multi_step([1.0, 2.0, 3.0])
    assert np.array_equal(block, [g(1.0), g(2.0), g(3.0)])
    assert (f._u_ini, f._y_ini) == (3.0, block[-1])
    assert [f(5.0) for _ in range(4)] == [g(5.0) for _ in range(4)]


def test_empty_block_changes_nothing():
    f = LDLAG()
    with pytest.raises(IndexError):
        f.multi_step([])
    assert f._zi is None and f._u_ini is None
    f(2.0)
    zi = f._zi.copy()
    with pytest.raises(IndexError):
        f.multi_step(np.array([]))
    assert np.array_equal(f._zi, zi) and f._u_ini == 2.0


def test_operating_point_sets_state_at_construction():
    f = LDLAG(alpha=0.0, tao=5.0, u_ini=10.0, y_ini=4.0)
    assert np.array_equal(f._zi, signal.lfiltic(f._b, f._a, [4.0], [10.0]))
    assert f(10.0) == pytest.approx(4.0 + (10.0 - 4.0) * (1 - np.exp(-0.2)))
    half = LDLAG(u_ini=3.0)
    assert half._zi is None and half._u_ini == 3.0 and half(8.0) == 8.0


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
@pytest.mark.parametrize("kw", [dict(alpha=1.5, tao=8), dict(tao=0), dict(u_ini=1, y_ini=2)])
def test_copies_continue_where_the_original_stood(how, kw):
    f = LDLAG(**kw)
    fresh = pickle.loads(pickle.dumps(f)) if how == "pickle" else copy.deepcopy(f)
    assert repr(fresh) == repr(f)
    assert (fresh._zi is None) == (f._zi is None)
    u = signal_in(40, 9)
    for x in u[:20]:
        f(x)
    f.alpha = 0.25
    g = pickle.loads(pickle.dumps(f)) if how == "pickle" else copy.deepcopy(f)
    assert repr(g) == repr(f) and type(g._tao) is type(f._tao)
    assert np.array_equal([g(x) for x in u[20:]], [f(x) for x in u[20:]])
    g.tao = 30.0
    assert f.tao != 30.0


def test_state_vector_is_live_and_settable():
    f = LDLAG(alpha=0.2)
    f(1.0)
    f._zi[0] += 1.0
    g = LDLAG(alpha=0.2)
    g(1.0)
    assert f(1.0) == pytest.approx(g(1.0) + 1.0)
    f._zi = None
    assert f(6.0) == pytest.approx(6.0)
    with pytest.raises(ValueError):
        f._zi = [1.0, 2.0]


def test_description_text():
    assert LDLAG.__doc__ == (
        "\n    增益为1的一阶超前滞后滤波器, filter=(alpha*tao*s+1)/(tao*s+1)\n"
        "    当alpha=0时, filter = 1/(tao*s+1)\n    \n"
        "    alpha的意义是滤波器单位阶跃响应的起点\n    tao的意义是时间常数\n"
        "    滤波器的参数alpha, tao可以随时改变\n    ")


# --- positive_parameter_property on a plain class ---------------------------

class Tuned:
    gain = positive_parameter_property("gain", int)
    limit = positive_parameter_property("limit", (float, int))

    def __init__(self):
        self._gain, self._limit, self.rebuilt = 1, 0.5, 0

    def _modify_param(self):
        if self._limit > 100:
            raise RuntimeError("limit too large")
        self.rebuilt += 1


@pytest.mark.parametrize("name,value,rebuilds", [("gain", 1, 0), ("gain", 3, 1), ("gain", True, 0),
                                                 ("limit", 0.5, 0), ("limit", 2, 1), ("limit", 0, 1)])
def test_property_factory(name, value, rebuilds):
    t = Tuned()
    setattr(t, name, value)
    assert t.rebuilt == rebuilds
    if rebuilds:
        assert getattr(t, "_" + name) is value


@pytest.mark.parametrize("name,value,exc,msg", [
    ("gain", 2.0, TypeError, "gain must be a <class 'int'>"),
    ("gain", -2, ValueError, "Expected a non-negative value."),
    ("limit", "3", TypeError, f"limit must be a {(float, int)}"),
    ("limit", 500, RuntimeError, "limit too large"),
])
def test_property_factory_refusals(name, value, exc, msg):
    t = Tuned()
    before = getattr(t, name)
    with pytest.raises(exc) as e:
        setattr(t, name, value)
    assert str(e.value) == msg
    assert getattr(t, name) == before and t.rebuilt == 0


def test_property_factory_name_must_be_str():
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        positive_parameter_property(b"gain", int)


# --- filter_stp ---------------------------------------------------------------

@pytest.mark.parametrize("N,tao,alpha,r1,r2", [(50, 5, 0.0, 0.0, 1.0), (30, 10, 1.2, -2.0, 3.5),
                                               (40, 15.5, 1.5, 10.0, 4.0), (20, 5, -2.0, 0.0, 1.0),
                                               (7, 0, 0.3, 1.0, 2.0), (7, -1.0, 0.3, 1.0, 2.0),
                                               (0, 5, 0.0, 0.0, 1.0), (-3, 5, 0.0, 0.0, 1.0)])
def test_filter_stp_matches_formula(N, tao, alpha, r1, r2):
    t = np.arange(N)
    y = np.ones(max(N, 0)) if tao <= 0 else 1 - (1 - alpha) * np.exp(-(1 / tao) * t)
    want = r1 + (r2 - r1) * y
    got = filter_stp(N, tao, alpha, r1=r1, r2=r2)
    assert got.dtype == np.float64 and np.array_equal(got, want)


def test_filter_stp_negative_count_of_ones():
    with pytest.raises(ValueError):
        filter_stp(-1, 0, 0.0)


@pytest.mark.parametrize("N", [5.0, True, "5"])
def test_filter_stp_count_is_an_int(N):
    with pytest.raises(TypeError, match="Argument 'N' has incorrect type"):
        filter_stp(N, 5, 0.0)


@pytest.mark.parametrize("alpha,tao", [(0.0, 5.0), (0.0, 12.0), (1.2, 10.0), (1.5, 15.0), (0.4, 3.0)])
def test_step_response_samples_the_reference_curve(alpha, tao):
    # A zero-order-hold lead-lag samples the continuous step response exactly;
    # with alpha 0 the filter answers one sample earlier than the plain
    # discretisation, so on the step it already shows the curve at t = 1.
    f = LDLAG(alpha, tao)
    f(0.0)
    out = [f(1.0) for _ in range(30)]
    shift = 1 if alpha == 0 else 0
    np.testing.assert_allclose(out, filter_stp(30 + shift, tao, alpha)[shift:], atol=1e-12)


# --- demonstration ------------------------------------------------------------

def test_import_is_quiet(tmp_path):
    import subprocess
    import sys

    code = ("import sys, qxdcs.algorithm.qxLDLAG as m; "
            "sys.stdout.write(repr(sorted(k for k in sys.modules if k.startswith('matplotlib'))))")
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "[]", "")


def test_demonstration_draws_three_figures(monkeypatch):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    shown = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    plt.close("all")
    try:
        qxLDLAG.main()
        assert len(shown) == 3 and len({id(fig) for fig in shown}) == 3
        labels, styles = [], []
        for fig in shown:
            ax = fig.axes[0]
            assert ax.get_legend() is not None
            assert any(line.get_visible() for line in ax.get_xgridlines())
            labels += [line.get_label() for line in ax.get_lines()]
            styles += [line.get_linestyle() for line in ax.get_lines()]
        assert "unit step" in labels and "original signal" in labels
        assert r"$\alpha$ = 1.2, $\lambda$ = 10" in labels
        assert "--" in styles and "-." in styles
    finally:
        plt.close("all")

"""Helpers exported by both qxcommon and utilities, and qxCommonWatchDog."""
import ast
import copy
import importlib
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from collections import OrderedDict, defaultdict

import numpy as np
import pytest
from scipy import signal


@pytest.fixture(params=["qxcommon", "utilities"])
def mod(request):
    return importlib.import_module("qxdcs.algorithm." + request.param)


def incorrect_type(name, expected, got):
    return re.escape(f"Argument '{name}' has incorrect type (expected {expected}, got {got})")


# --- c2d ----------------------------------------------------------------------

@pytest.mark.parametrize("K, T, theta, Ts", [(1.0, 1.0, 2.0, 1), (2.5, 10.0, 3.0, 0.5),
                                             (-0.7, 4.0, 0.0, 2.0), (1.3, 0.2, 7.0, 1.0)])
def test_c2d_zoh_step_response_exact_at_samples(mod, K, T, theta, Ts):
    num, den = mod.c2d([K], [T, 1.0], theta, Ts)
    t = np.arange(40) * Ts
    expected = np.where(t >= theta, K * (1.0 - np.exp(-(t - theta) / T)), 0.0)
    np.testing.assert_allclose(signal.lfilter(num, den, np.ones(t.size)), expected,
                               rtol=1e-12, atol=1e-14)
    assert num.dtype == den.dtype == np.float64 and num.ndim == den.ndim == 1


@pytest.mark.parametrize("num, den", [([1.0], [1.0, 1.0]), ([0, 0, 2], (3, 4, 1)),
                                      (np.array([0.5, 0.0]), np.array([1.0, 2.0, 1.0]))])
@pytest.mark.parametrize("method", ["zoh", "foh", "bilinear", "euler", "backward_diff", "impulse"])
@pytest.mark.parametrize("ratio, samples", [(0, 0), (1.5, 2), (2.5, 2), (3.5, 4), (2.4999, 2),
                                            (2.5001, 3), (-0.4, 0)])
@pytest.mark.parametrize("Ts", [1, 0.5])
def test_c2d_matches_scipy_plus_whole_delay_samples(mod, num, den, method, ratio, samples, Ts):
    trimmed = np.trim_zeros(np.asarray(num, dtype=float), "f")
    numd, dend, _ = signal.cont2discrete((trimmed, np.asarray(den, dtype=float)), Ts, method=method)
    gd_num, gd_den = mod.c2d(num, den, ratio * Ts, Ts, method)
    np.testing.assert_array_equal(gd_num, np.r_[np.zeros(samples), numd[0]])
    np.testing.assert_array_equal(gd_den, dend)


def test_c2d_defaults_keywords_and_inputs_untouched(mod):
    num, den = np.array([0.0, 1.0]), [5, 1]
    explicit = mod.c2d(num, den, 3.0, 1, "zoh")
    for result in (mod.c2d(num, den, 3.0), mod.c2d(Gs_num=num, Gs_den=den, Gs_delay=3.0)):
        assert isinstance(result, tuple) and len(result) == 2
        for got, want in zip(result, explicit):
            np.testing.assert_array_equal(got, want)
    explicit[0][:] = explicit[1][:] = -1.0
    assert num.tolist() == [0.0, 1.0] and den == [5, 1]


@pytest.mark.parametrize("args, exc, match", [
    (([0, 0], [1, 1], 1), IndexError, "out of bounds"),
    (([], [1, 1], 1), IndexError, "out of bounds"),
    (([1], [1, 1], -2, 1), ValueError, "negative dimensions"),
    (([1], [1, 1], 1, 0), ZeroDivisionError, None),
    (([1], [1, 1], 1, 1, "gbt"), ValueError, "Alpha"),
    ((["a"], [1, 1], 1), ValueError, "could not convert"),
    (([1], [1, 1], None), TypeError, None),
])
def test_c2d_errors_reach_the_caller(mod, args, exc, match):
    with pytest.raises(exc, match=match):
        mod.c2d(*args)


# --- dict2pairs ---------------------------------------------------------------

@pytest.mark.parametrize("d, path, pairs", [
    ({"1": {"2": {"3": {"4": 5}, "6": 7}, "8": 9}}, "", [("1.2.3.4", 5), ("1.2.6", 7), ("1.8", 9)]),
    ({"a": 1, "b": {"c": 2}}, "root", [("root.a", 1), ("root.b.c", 2)]),
    ({1: {2: "x"}}, "", [("1.2", "x")]),
    ({"a": {}, "b": {"c": {}}}, "p", []),
    ({"a": [1, {"b": 2}], None: (3,)}, "", [("a", [1, {"b": 2}]), ("None", (3,))]),
    ({"": {"": 1}}, "p", [("p..", 1)]),
    ({"o": OrderedDict(x=1, y={"z": 2}), "d": defaultdict(int, q=3)}, "",
     [("o.x", 1), ("o.y.z", 2), ("d.q", 3)]),
])
def test_dict2pairs(mod, d, path, pairs):
    assert list(mod.dict2pairs(d, path)) == pairs
    assert list(mod.dict2pairs(d=d, path=path)) == pairs


def test_dict2pairs_random_nesting_against_recursive_walk(mod):
    rng = random.Random(5)

    def build(depth):
        return {rng.choice(["a", "b", 1, 2.5, "x.y"]) if depth else rng.randint(0, 99):
                build(depth - 1) if depth and rng.random() < 0.5 else rng.random()
                for _ in range(rng.randint(0, 4))}

    def walk(d, path):
        for k, v in d.items():
            p = f"{path}.{k}" if path else str(k)
            yield from walk(v, p) if isinstance(v, dict) else [(p, v)]

    for _ in range(100):
        d = build(4)
        assert list(mod.dict2pairs(d)) == list(walk(d, ""))
        rebuilt = {}
        for pair in mod.dict2pairs(d, "r"):
            mod.pair2dict(pair, rebuilt)
        assert list(mod.dict2pairs(rebuilt)) == list(walk({"r": d}, ""))


def test_dict2pairs_laziness_identity_and_failure(mod):
    leaf = [1]
    d = {"a": leaf}
    gen = mod.dict2pairs(d)
    assert iter(gen) is gen
    d["b"] = {"c": 2}                    # changed before the walk starts: seen
    assert next(gen)[1] is leaf
    d["b"]["e"] = 3                      # a level is read when the walk reaches it
    assert next(gen) == ("b.c", 2)
    d["f"] = 4                           # the top level changes while it is walked
    assert next(gen) == ("b.e", 3)
    with pytest.raises(RuntimeError, match="changed size"):
        next(gen)
    with pytest.raises(StopIteration):   # finished once it has raised
        next(gen)
    od = OrderedDict(x=1, y=2)
    od.move_to_end("x")                  # a subclass's own order is followed
    assert [p for p, _ in mod.dict2pairs({"o": od})] == ["o.y", "o.x"]
    me = {}
    me["me"] = me
    with pytest.raises(RecursionError):
        list(mod.dict2pairs(me))


def test_dict2pairs_caller_code_cannot_reach_the_walk(mod):
    # A key's __str__ and a dict subclass's items() run while the walk is at a
    # step; whatever of its state the collector shows them, they break, and
    # the walk must still give the right pairs (and not crash: child process).
    code = f"""
import gc
from qxdcs.algorithm.{mod.__name__.rsplit(".", 1)[1]} import dict2pairs
def tamper():
    for r in gc.get_referents(walk):
        if isinstance(r, list):
            for frame in r:
                if isinstance(frame, list):
                    frame[:] = [None, None]
            r.append([None, None])
    junk = [str(i) * 3 for i in range(5000)]
class Key:
    def __str__(self):
        tamper()
        return "k"
class Odd(dict):
    def items(self):
        yield ("x", 1)
        tamper()
        yield ("y", 2)
prefix = "".join(["ro", "ot"])
walk = dict2pairs({{"a": {{Key(): 1, "b": Odd()}}, "c": 3}}, prefix)
del prefix
pairs = list(walk)
assert pairs == [("root.a.k", 1), ("root.a.b.x", 1), ("root.a.b.y", 2), ("root.c", 3)], pairs
print("ok")
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tempfile.gettempdir(), timeout=120)
    assert proc.returncode == 0 and proc.stdout.split() == ["ok"], proc.stderr[-2000:]


# --- pair2dict ----------------------------------------------------------------

@pytest.mark.parametrize("pair, before, after", [
    (("a.b.c", 5), {"a": {"z": 0}}, {"a": {"z": 0, "b": {"c": 5}}}),
    (("a", 1), {"a": {"b": 2}}, {"a": 1}),
    ((".a", None), {}, {"": {"a": None}}),
    (("a..b", 1), {}, {"a": {"": {"b": 1}}}),
    (("1.2", "v"), {1: 0}, {1: 0, "1": {"2": "v"}}),
    (("o.b", 1), {"o": OrderedDict(z=0)}, {"o": OrderedDict(z=0, b=1)}),
])
def test_pair2dict(mod, pair, before, after):
    target = copy.deepcopy(before)
    keep = target.get("o")
    assert mod.pair2dict(pair, target) is None
    assert target == after
    assert keep is None or target["o"] is keep


@pytest.mark.parametrize("pair, d, exc, message", [
    (("a.b", 1), {"a": 3}, TypeError, "Expected dict, got int"),
    (("a.b.c", 1), {"a": {"b": [1]}}, TypeError, "Expected dict, got list"),
    (("a.b", 1), {"a": None}, AttributeError, "'NoneType' object has no attribute 'update'"),
    (("a.b.c", 1), {"a": None}, AttributeError, "'NoneType' object has no attribute 'setdefault'"),
    (("a",), {}, ValueError, "need more than 1 value to unpack"),
    ((), {}, ValueError, "need more than 0 values to unpack"),
    (("a", 1, 2), {}, ValueError, "too many values to unpack (expected 2)"),
])
def test_pair2dict_errors(mod, pair, d, exc, message):
    before = copy.deepcopy(d)
    with pytest.raises(exc, match=re.escape(message)):
        mod.pair2dict(pair, d)
    assert d == before


# --- str2xpyp -----------------------------------------------------------------

@pytest.mark.parametrize("s, xp, yp", [
    ("100,35#0,10#50,20", [0.0, 50.0, 100.0], [10.0, 20.0, 35.0]),
    ("0,1#", [0.0], [1.0]), ("", [], []), ("no commas#here", [], []), ("1,2,3", [1.0], [2.0]),
    (" 3 , 4 #\t1,\n2", [1.0, 3.0], [2.0, 4.0]),
    ("1e3,-1#-inf,0#1_000.5,2", [-math.inf, 1000.0, 1000.5], [0.0, -1.0, 2.0]),
])
def test_str2xpyp(mod, s, xp, yp):
    result = mod.str2xpyp(s)
    assert result == (xp, yp) and type(result) is tuple
    assert all(type(v) is float for v in result[0] + result[1])


def test_str2xpyp_order_is_numpy_argsort(mod):
    rng = np.random.default_rng(2)
    for n in [5, 17, 200]:
        xs, ys = rng.integers(0, 6, n).astype(float), rng.standard_normal(n)   # many ties
        xs[0] = np.nan
        s = "#".join(f"{float(x)!r},{float(y)!r}" for x, y in zip(xs, ys))
        order = np.argsort(xs)
        xp, yp = mod.str2xpyp(s)
        assert yp == ys[order].tolist() and math.isnan(xp[-1])


@pytest.mark.parametrize("s, bad", [("a,1", "a"), ("1,b", "b"), ("1,2#3,", "")])
def test_str2xpyp_bad_number(mod, s, bad):
    with pytest.raises(ValueError, match=re.escape(f"could not convert string to float: {bad!r}")):
        mod.str2xpyp(s)


# --- argument conventions of all helpers --------------------------------------

S = type("S", (str,), {})


@pytest.mark.parametrize("func, args, name, expected, got", [
    ("dict2pairs", (OrderedDict(),), "d", "dict", "collections.OrderedDict"),
    ("dict2pairs", (None,), "d", "dict", "NoneType"),
    ("dict2pairs", ({}, S("p")), "path", "str", "S"),
    ("dict2pairs", ({}, 1), "path", "str", "int"),
    ("pair2dict", (["a", 1], {}), "pair", "tuple", "list"),
    ("pair2dict", (type("P", (tuple,), {})(("a", 1)), {}), "pair", "tuple", "P"),
    ("pair2dict", (("a", 1), OrderedDict()), "d", "dict", "collections.OrderedDict"),
    ("str2xpyp", (b"1,2",), "s", "str", "bytes"),
    ("str2xpyp", (S("1,2"),), "s", "str", "S"),
])
def test_exact_type_checks(mod, func, args, name, expected, got):
    with pytest.raises(TypeError, match=incorrect_type(name, expected, got)):
        getattr(mod, func)(*args)


@pytest.mark.parametrize("func, args, kwargs", [
    ("c2d", ([1], [1, 1]), {}), ("c2d", ([1], [1, 1], 1, 1, "zoh", 0), {}),
    ("c2d", ([1], [1, 1], 1), {"alpha": 0.5}), ("dataStore", ([1],), {}),
    ("dataStore", ([1], 1), {"xArray": [1]}), ("current_time_str", (1,), {}),
    ("dict2pairs", ({}, "", 1), {}), ("pair2dict", (("a", 1),), {}), ("str2xpyp", (), {}),
])
def test_argument_counts_and_keywords(mod, func, args, kwargs):
    with pytest.raises(TypeError):
        getattr(mod, func)(*args, **kwargs)


def test_current_time_str(mod):
    fmt = "%Y-%m-%d %H:%M:%S"
    before = time.strftime(fmt, time.localtime())
    text = mod.current_time_str()
    assert re.fullmatch(r"\d{4}-\d\d-\d\d ([01]\d|2[0-3]):[0-5]\d:[0-5]\d", text)
    assert before <= text <= time.strftime(fmt, time.localtime())


@pytest.mark.parametrize("args, kwargs, result", [
    ((), {}, "qxdcs5"), (("abc",), {}, "abc5"), ((), {"s": ""}, "5"),
    ((None,), {}, "NoneType"), ((S("x"),), {}, "S"), ((), {"s": 5}, "int")])
def test_watchdog(args, kwargs, result):
    from qxdcs.algorithm import qxcommon, utilities
    if result.endswith("5"):
        assert qxcommon.qxCommonWatchDog(*args, **kwargs) == result
    else:
        with pytest.raises(TypeError, match=incorrect_type("s", "str", result)):
            qxcommon.qxCommonWatchDog(*args, **kwargs)
    assert not hasattr(utilities, "qxCommonWatchDog")


def test_qxcommon_loads_numpy_and_scipy_on_import():
    code = ("import sys\n"
            "import qxdcs.algorithm.qxcommon as q\n"
            "print(q.np is sys.modules['numpy'], q.signal is sys.modules['scipy.signal'],"
            " q.time is sys.modules['time'])\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=tempfile.gettempdir(), check=True, timeout=120).stdout
    assert out.split() == ["True"] * 3


def _params(fn_def):
    a = fn_def.args
    defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(arg.arg, d) for arg, d in zip(a.args, defaults)]


def test_stub_matches_module(mod):
    name = mod.__name__.rsplit(".", 1)[1]
    path = os.path.join(os.path.dirname(mod.__file__), name + ".pyi")
    if not os.path.exists(path):   # an editable install: the stubs stay in the source tree
        path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "qxdcs", "algorithm", name + ".pyi")
    with open(path) as f:
        stub = {n.name: _params(n) for n in ast.parse(f.read()).body
                if isinstance(n, ast.FunctionDef)}
    runtime = {k: _params(ast.parse(fn.__nb_signature__[0][0] + ": ...").body[0])
               for k, fn in vars(mod).items() if hasattr(fn, "__nb_signature__")}
    assert stub == runtime

import ast
import copy
import math
import pickle
import random
from fractions import Fraction

import numpy as np
import pytest

from qxdcs.algorithm import qxRateLimit
from qxdcs.algorithm.qxRateLimit import RateLimit


def ramp_rule(u_last, Ts, u_end, PR=60, NR=None):
    """The ramp rule written with Python's operators: the new output, unconverted."""
    rise = abs(PR / 60 * Ts)
    fall = -rise if NR is None else -abs(NR / 60 * Ts)
    d = u_end - u_last
    if d >= 0:
        return u_last + rise if d > rise else u_end
    return u_last + fall if d < fall else u_end


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


TARGETS = {
    "float": lambda rng: rng.uniform(-20, 20),
    "int": lambda rng: rng.randint(-20, 20),
    "fraction": lambda rng: Fraction(rng.randint(-60, 60), 3),
    "np.float64": lambda rng: np.float64(rng.uniform(-20, 20)),
    "huge int": lambda rng: rng.choice([2**60, -(2**60), 2**53 + 1]),
}
LIMITS = [60, 10, -30, 0, 2.5, Fraction(7, 2), np.float64(45.0)]
FALLS = [None, 60, -60, 0.5, Fraction(-90, 1)]


@pytest.mark.parametrize("Ts", [1, 2, 0.5, Fraction(1, 3), np.float64(0.25)])
@pytest.mark.parametrize("kinds", [("float",), ("int",), ("float", "int"),
                                   ("fraction", "float", "int"), ("np.float64", "int"),
                                   ("huge int", "float", "int")])
def test_follows_ramp_rule_with_types_preserved(Ts, kinds):
    rng = random.Random(repr((Ts, kinds)))
    r = RateLimit(rng.choice([0, 3.5, "2.25"]), Ts)
    last = r.u_last
    assert type(last) is float
    for _ in range(300):
        u_end = TARGETS[rng.choice(kinds)](rng)
        PR, NR = rng.choice(LIMITS), rng.choice(FALLS)
        want = ramp_rule(last, Ts, u_end, PR, NR)
        got = r(u_end, PR, NR) if rng.random() < 0.5 else r(u_end, PRLimPerMin=PR, NRLimPerMin=NR)
        assert same(got, float(want))
        assert same(r.u_last, want)
        last = want


@pytest.mark.parametrize("u_ini, Ts, calls, expected", [
    (0, 2, [(5, -30)] * 3, [1.0, 2.0, 3.0]),                  # sign of the rise limit ignored
    (10, 1, [(0, 120)] * 3, [8.0, 6.0, 4.0]),                 # fall as large as the rise
    (10, 1, [(0, 120, 60)] * 2, [9.0, 8.0]),
    (10, 1, [(0, 120, -60)] * 2, [9.0, 8.0]),
    (0, 1, [(1.0,)], [1.0]),                                  # a step equal to the limit
    (5, 1, [(9, 0), (5, 0)], [5.0, 5.0]),                     # limit 0 freezes the output
    (3, 1, [(10,)], [4.0]),                                   # defaults: 1.0 per call
])
def test_worked_cases(u_ini, Ts, calls, expected):
    r = RateLimit(u_ini, Ts)
    assert [r(*c) for c in calls] == expected


def test_nan_target_passes_then_limiting_resumes():
    r = RateLimit(0.0)
    assert math.isnan(r(float("nan")))
    assert math.isnan(r.u_last)
    assert r(50.0) == 50.0          # d is NaN: that target is returned unlimited
    assert r(60.0) == 51.0


def test_main_prints_the_ramp(capsys):
    qxRateLimit.main()
    printed = capsys.readouterr().out
    values = ast.literal_eval(printed.strip())
    assert printed.count("\n") == 1 and len(values) == 101
    assert type(values[0]) is int and values[0] == 3
    last, want = 3, [3]
    for _ in range(100):
        last = ramp_rule(last, 1, 10, 10, -10)
        want.append(float(last))
    assert values == want
    assert values[42] == 9.999999999999998 and values[43] == 10.0


def test_reset_and_conversion():
    r = RateLimit(3)
    r(10)
    assert r.reset(7) is None and r(7) == 7.0 and type(r.u_last) is int
    r.reset("1.5")
    assert same(r.u_last, 1.5)
    with pytest.raises(TypeError):
        r.reset(None)
    with pytest.raises(ValueError):
        r.reset("fast")
    assert same(r.u_last, 1.5)
    with pytest.raises(TypeError):
        RateLimit([1.0])
    with pytest.raises(TypeError):
        RateLimit()


@pytest.mark.parametrize("args", [("a",), (5, "a"), (5, 60, "a"), (5, None)])
def test_arithmetic_errors_leave_state(args):
    r = RateLimit(1.0)
    with pytest.raises(TypeError):
        r(*args)
    assert same(r.u_last, 1.0) and r(2.0) == 2.0


def test_ts_is_kept_as_passed_and_may_change():
    r = RateLimit(0, Fraction(1, 2))
    assert r.Ts == Fraction(1, 2) and type(r.Ts) is Fraction
    assert r(10) == 0.5
    r.Ts = 3
    assert r(10) == 3.5
    with pytest.raises(TypeError):
        RateLimit(0, "a")(1)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_clone_continues_where_the_original_stood(clone):
    a = RateLimit(0, Fraction(3, 2))
    a(4)                       # reached: an int target stays an int
    b = clone(a)
    assert repr(b) == repr(a) and same(b.u_last, a.u_last) and b.Ts == a.Ts
    for u in [20, -3.5, 7, 7]:
        assert same(a(u, 30), b(u, 30)) and same(a.u_last, b.u_last)
    b(100)
    assert a.u_last != b.u_last

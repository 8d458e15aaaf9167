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


@pytest.mark.parametrize("u_ini, Ts, u_end, PR, NR", [
    (0, 1, 1, 60, None),                 # rise exactly equal to the limit
    (5, 2, 3, 60, None),                 # fall exactly equal to the limit
    (5, 1, 4, 1, -60),
    (0, 3, np.float64(1.5), 30, None),
    (0, 1, Fraction(1, 2), 60, None),
])
def test_target_within_reach_is_kept_as_passed(u_ini, Ts, u_end, PR, NR):
    r = RateLimit(u_ini, Ts)
    assert same(r(u_end, PR, NR), float(u_end))
    assert r.u_last is u_end


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


def test_reset_conversion_and_failures():
    r = RateLimit(3, 2)
    r(10)
    assert r.reset(7) is None and r(7) == 7.0 and type(r.u_last) is int
    r.reset("1.5")
    for call, error in [(lambda: r.reset(None), TypeError), (lambda: r.reset("fast"), ValueError),
                        (lambda: r("a"), TypeError), (lambda: r(5, "a"), TypeError),
                        (lambda: r(5, 60, "a"), TypeError), (lambda: RateLimit([1.0]), TypeError)]:
        with pytest.raises(error):
            call()
        assert same(r.u_last, 1.5)
    r.Ts = "a"
    with pytest.raises(TypeError):
        r(5)
    r.Ts = 3
    assert r(10) == 4.5 and r.Ts == 3


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

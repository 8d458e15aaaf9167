import copy
import pickle
import random
from fractions import Fraction

import numpy as np
import pytest

from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter


class Rule:
    """The limiter written with Python's operators."""

    def __init__(self):
        self._u0 = self._y0 = None

    @staticmethod
    def clamp(v, HI, LO):
        m = LO if LO > v else v
        return HI if HI < m else m

    def __call__(self, u, HI=100, LO=0):
        u = float(u)
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            self._y0 = self.clamp(u, HI, LO)
        y = self.clamp(self._y0 + (u - self._u0), HI, LO)
        self._u0, self._y0 = u, y
        return y


def same(a, b):
    return type(a) is type(b) and (a == b or (a != a and b != b))


BANDS = [(100, 0), (100.0, 0.0), (5, 10), (Fraction(161, 2), -3), (np.float64(70.5), np.int64(20)),
         (2**60, -(2**60)), (float("inf"), float("-inf")), (True, False)]


@pytest.mark.parametrize("bands", [BANDS[:1], BANDS[1:2], BANDS[2:3], BANDS[3:5], BANDS[5:], BANDS])
def test_follows_rule_and_returns_limit_objects(bands):
    rng = random.Random(repr(bands))
    got, want = AntiWindupLimter(), Rule()
    for i in range(400):
        u = rng.choice([rng.uniform(-50, 150), rng.randint(-50, 150), float("nan")]
                       if i % 37 == 36 else [rng.uniform(-50, 150), rng.randint(-50, 150)])
        HI, LO = rng.choice(bands)
        out = got(u, HI, LO) if i % 3 else got.run(u, LO=LO, HI=HI)
        ref = want(u, HI, LO)
        assert same(out, ref)
        if ref is HI or ref is LO:
            assert out is ref
        assert same(got._u0, want._u0) and same(got._y0, want._y0)


@pytest.mark.parametrize("inputs, HI, LO, expected", [
    ([90, 110, 120, 115, 80], 100, 0, [90.0, 100, 100, 95.0, 60.0]),
    ([150], 100, 0, [100.0]),
    ([-5, -3], 100, 0, [0.0, 2.0]),
    ([1, 50, -7.5], 5, 10, [5, 5, 5]),
    ([3.0, 4.0], 100.0, 0.0, [3.0, 4.0]),
])
def test_worked_cases(inputs, HI, LO, expected):
    a = AntiWindupLimter()
    out = [a(u, HI, LO) for u in inputs]
    assert [(type(o), o) for o in out] == [(type(e), e) for e in expected]


def test_first_call_above_band_state():
    a = AntiWindupLimter()
    assert a._u0 is None and a._y0 is None
    assert same(a(150), 100.0)
    assert same(a._u0, 150.0) and same(a._y0, 100.0)


def test_refused_input_leaves_state():
    a = AntiWindupLimter()
    a(40)
    for bad in ["50", None, [1.0]]:
        with pytest.raises(TypeError):
            a(bad)
    assert same(a._u0, 40.0) and a(45) == 45.0


def test_incomparable_limit_raises_pythons_error():
    with pytest.raises(TypeError) as ours:
        AntiWindupLimter()(1.0, 100, "low")
    with pytest.raises(TypeError) as theirs:
        Rule()(1.0, 100, "low")
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_clone_continues_where_the_original_stood(clone):
    a = AntiWindupLimter()
    a(90), a(130)               # _y0 is now the int limit
    b = clone(a)
    assert same(b._y0, 100) and same(b._u0, 130.0) and repr(a) == repr(b)
    for u in [120, 60, 200, -10]:
        assert same(a(u), b(u))
    b(50)
    assert a._u0 != b._u0

import copy
import pickle
import random
from collections import deque

import numpy as np
import pytest

from qxdcs.algorithm.qxConstDetector import ConstDect


class Rule:
    """The detector written with a deque and NumPy."""

    def __init__(self):
        self._U_queue = deque()

    def __call__(self, Ut, DectLen=10):
        q = self._U_queue
        q.append(Ut)
        while len(q) < DectLen:
            q.append(Ut)
        while len(q) > DectLen:
            q.popleft()
        with np.errstate(invalid="ignore"):
            Udiff = np.abs(np.diff(q, prepend=q[0]))
            return np.all(Udiff < 1e-6)


def same_items(a, b):
    return len(a) == len(b) and all(
        type(x) is type(y) and (x == y or (x != x and y != y)) for x, y in zip(a, b))


STEP = 1e-6
INPUTS = {
    "flat": lambda rng, last: last,
    "drift": lambda rng, last: last + rng.choice([5e-7, -5e-7, 9.99e-7]),
    "threshold": lambda rng, last: last + rng.choice([STEP, np.nextafter(STEP, 0), -STEP]),
    "jump": lambda rng, last: rng.uniform(-5, 5),
    "int": lambda rng, last: rng.randint(0, 2),
    "bool": lambda rng, last: rng.random() < 0.5,
    "special": lambda rng, last: rng.choice([float("nan"), float("inf"), -float("inf")]),
    "np.float64": lambda rng, last: np.float64(last),
    "np.float32": lambda rng, last: np.float32(rng.choice([0.1, 0.1 + 2e-7, 1.0])),
    "huge int": lambda rng, last: rng.choice([2**53, 2**53 + 1]),
}


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize("kinds", [("flat", "drift"), ("threshold", "flat"), ("jump", "flat"),
                                   ("int", "bool"), ("special", "flat", "jump"),
                                   ("np.float64", "drift", "int"), ("np.float32", "flat"),
                                   ("huge int",), tuple(INPUTS)])
def test_agrees_with_numpy(kinds):
    rng = random.Random(repr(kinds))
    got, want = ConstDect(), Rule()
    last, n = 0.0, 4
    for i in range(500):
        last = INPUTS[rng.choice(kinds)](rng, last)
        if i % 25 == 0:
            n = rng.choice([1, 2, 3, 5, 10, 17])
        out = got(last, n) if i % 2 else got(Ut=last, DectLen=n)
        ref = want(last, n)
        assert type(out) is np.bool_ and out == ref
        assert same_items(got._U_queue, want._U_queue)
        if not isinstance(last, (float, int)):
            last = float(last)


@pytest.mark.parametrize("inputs, n, expected", [
    ([5, 5, 6, 6, 6], 3, [True, True, False, False, True]),
    ([0.0, 5e-7, 1e-6, 1.5e-6, 2e-6], 10, [True] * 5),
    ([0.0, 1e-6], 10, [True, False]),
    ([1.0, float("nan"), 1.0, 1.0, 1.0], 3, [True, False, False, False, True]),
    ([7.0], 1, [True]),
])
def test_worked_cases(inputs, n, expected):
    c = ConstDect()
    assert [bool(c(u, n)) for u in inputs] == expected
    assert len(c._U_queue) == n


@pytest.mark.parametrize("n", [0, -3, 0.5, float("nan")])
def test_window_length_below_one_is_refused_without_loss(n):
    c = ConstDect()
    c(1.0, 3)
    with pytest.raises(ValueError, match="DectLen must be at least 1"):
        c(2.0, n)
    assert list(c._U_queue) == [1.0, 1.0, 1.0]


def test_non_numeric_input_fails_in_numpy_and_stays_in_window():
    c, r = ConstDect(), Rule()
    with pytest.raises(Exception) as ours:
        c("x", 2)
    with pytest.raises(Exception) as theirs:
        r("x", 2)
    assert type(ours.value) is type(theirs.value)
    assert list(c._U_queue) == ["x", "x"]
    with pytest.raises(type(theirs.value)):
        c(1.0, 2)
    assert bool(c(1.0, 2)) is True


def test_queue_is_a_copy_and_assignable():
    c = ConstDect()
    c(3, 3)
    q = c._U_queue
    assert isinstance(q, deque) and q.maxlen is None
    q.clear()
    assert len(c._U_queue) == 3
    c._U_queue = [1.0, 2.0]
    assert list(c._U_queue) == [1.0, 2.0] and not c(2.0, 3) and c(2.0, 2)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_clone_continues_where_the_original_stood(clone):
    a = ConstDect()
    for u in [1, 1.0, 2.5, np.float64(2.5)]:
        a(u, 4)
    b = clone(a)
    assert same_items(a._U_queue, b._U_queue)
    for u in [2.5, 2.5, 2.5, 3, 3]:
        assert a(u, 3) == b(u, 3)
    b(9.0, 3)
    assert list(a._U_queue) != list(b._U_queue)

import copy
import pickle
import random
import re
from fractions import Fraction

import numpy as np
import pytest

from qxdcs.algorithm import qxWatchDog
from qxdcs.algorithm.qxWatchDog import WatchDog


def tick_rule(ticks, MaxOut=0):
    return (ticks + 1) % int(MaxOut + 1)


MAXOUTS = {
    "small": lambda rng: rng.randint(0, 6),
    "negative": lambda rng: rng.choice([-2, -3, -7]),
    "float": lambda rng: rng.choice([2.5, -3.5, 0.99, 6.0, -2.5]),
    "huge": lambda rng: rng.choice([2**70, -(2**70), 2**62, float(2**63)]),
    "other": lambda rng: rng.choice([np.int64(4), Fraction(7, 2), True, np.float32(2.5)]),
}


@pytest.mark.parametrize("kinds", [("small",), ("negative", "small"), ("float",),
                                   ("huge", "small"), ("other",), tuple(MAXOUTS)])
def test_follows_rule(kinds):
    rng = random.Random(repr(kinds))
    w, ticks = WatchDog(), 0
    for _ in range(300):
        MaxOut = MAXOUTS[rng.choice(kinds)](rng)
        ticks = tick_rule(ticks, MaxOut)
        out = w(MaxOut) if rng.random() < 0.5 else w(MaxOut=MaxOut)
        assert type(out) is int and out == ticks and w.ticks == ticks


@pytest.mark.parametrize("MaxOut, expected", [
    (3, [1, 2, 3, 0, 1, 2, 3, 0, 1, 2]),
    (2.5, [1, 2, 0, 1]),
    (0, [0, 0, 0]),
    (-3, [-1, 0, -1]),
])
def test_worked_cases(MaxOut, expected):
    w = WatchDog()
    assert w.ticks == 0
    assert [w(MaxOut) for _ in expected] == expected
    if MaxOut == 0:
        assert [WatchDog()() for _ in range(3)] == expected


@pytest.mark.parametrize("MaxOut", [-1, -1.5, -0.5])
def test_zero_modulus_raises_pythons_error_and_keeps_count(MaxOut):
    w = WatchDog()
    w(5), w(5)
    with pytest.raises(ZeroDivisionError) as ours:
        w(MaxOut)
    with pytest.raises(ZeroDivisionError) as theirs:
        tick_rule(2, MaxOut)
    assert str(ours.value) == str(theirs.value)
    assert w.ticks == 2


@pytest.mark.parametrize("MaxOut, error", [(float("nan"), ValueError), (float("inf"), OverflowError),
                                           ("3", TypeError), (None, TypeError)])
def test_bad_limits_fail_as_python_does(MaxOut, error):
    w = WatchDog()
    with pytest.raises(error):
        w(MaxOut)
    assert w.ticks == 0


def test_non_integer_count_is_stored_then_refused():
    w = WatchDog()
    w.ticks = 1.5
    with pytest.raises(TypeError, match=r"^Expected int, got float$"):
        w(3)
    assert w.ticks == 2.5 and type(w.ticks) is float
    w.ticks = 2**80
    assert w(2**81) == 2**80 + 1
    w.ticks = 1
    assert w(3) == 2


@pytest.mark.parametrize("value", [None, 1.5, np.int64(1), Fraction(1, 2), "7"])
def test_any_written_count_is_kept_and_judged_at_the_next_call(value):
    w = WatchDog()
    w.ticks = value
    assert w.ticks is value
    twin = pickle.loads(pickle.dumps(w))
    try:
        expected = tick_rule(value, 3)
    except TypeError as e:
        expected = e
    for block in (w, twin):
        with pytest.raises(TypeError) as err:
            block(3)
        if isinstance(expected, Exception):
            # Python's own arithmetic refused it: nothing changes.
            assert str(err.value) == str(expected)
            assert block.ticks == value and type(block.ticks) is type(value)
        else:
            # Counted, stored, then refused as not an int.
            assert re.fullmatch(rf"Expected int, got ([\w.]+\.)?{type(expected).__name__}",
                                str(err.value))
            assert block.ticks == expected and type(block.ticks) is type(expected)


def test_main_prints_ten_counts(capsys, monkeypatch):
    pauses = []
    monkeypatch.setattr("time.sleep", pauses.append)
    qxWatchDog.main()
    assert capsys.readouterr().out == "".join(f"{tick_rule(k, 3)}\n" for k in range(10))
    assert pauses == [1] * 10


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
@pytest.mark.parametrize("start", [2, 2**70])
def test_clone_continues_where_the_original_stood(clone, start):
    a = WatchDog()
    a.ticks = start
    a(2**71)
    b = clone(a)
    assert b.ticks == a.ticks and repr(a) == repr(b)
    assert [a(4) for _ in range(6)] == [b(4) for _ in range(6)]
    b(4)
    assert a.ticks != b.ticks

"""Calling a block object directly must behave exactly like calling its
__call__ method: same results, keywords, defaults and errors, also for
subclasses and for objects whose constructor never ran."""
import random
import warnings

import numpy as np
import pytest

from blocks import CALLABLE
from qxdcs.algorithm import qxWatchDog
from qxdcs.algorithm.qxPIDControl import PID

# (class, a ready block of it or of a subclass: new(kind), positional call, keyword call)
BLOCKS = [(b.cls, b.new, b.call_args, b.call_kwargs) for b in CALLABLE]
IDS = [b.name for b in CALLABLE]


def same(a, b):
    return repr(a) == repr(b) and type(a) is type(b)


@pytest.mark.parametrize("cls,new,args,kwargs", BLOCKS, ids=IDS)
def test_direct_call_equals_method_call(cls, new, args, kwargs):
    a, b = new(cls), new(cls)
    for _ in range(4):
        assert same(a(*args), cls.__call__(b, *args))
        assert same(a(**kwargs), b.__call__(**kwargs))
    assert same(a(*args), b(*args))


@pytest.mark.parametrize("cls,new,args,kwargs", BLOCKS, ids=IDS)
def test_direct_call_errors_are_those_of_the_method(cls, new, args, kwargs):
    a = new(cls)
    bad_calls = [lambda f: f(*args, *range(9)),          # too many, past the small stack
                 lambda f: f(*args, no_such_keyword=1)]
    for bad in bad_calls:
        with pytest.raises(TypeError) as direct:
            bad(a)
        with pytest.raises(TypeError) as method:
            bad(a.__call__)
        assert str(direct.value) == str(method.value)


@pytest.mark.parametrize("cls,new,args,kwargs", BLOCKS, ids=IDS)
def test_subclasses_and_unconstructed_objects(cls, new, args, kwargs):
    class Inherits(cls):
        pass

    class Overrides(cls):
        def __call__(self, *a, **k):
            return ("mine", super().__call__(*a, **k))

    plain, inherits, overrides = new(cls), new(Inherits), new(Overrides)
    expected = plain(*args)
    assert same(inherits(*args), expected)
    tag, value = overrides(*args)
    assert tag == "mine" and same(value, expected)

    raw = cls.__new__(cls)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # nanobind's "uninitialized instance"
        with pytest.raises(TypeError) as direct:
            raw(*args)
        with pytest.raises(TypeError) as method:
            raw.__call__(*args)
    assert str(direct.value) == str(method.value)


RUNNABLE = [b for b in BLOCKS if hasattr(b[0], "run")]


@pytest.mark.parametrize("cls,new,args,kwargs", RUNNABLE, ids=[b[0].__name__ for b in RUNNABLE])
def test_run_calls_the_object(cls, new, args, kwargs):
    a, b = new(cls), new(cls)
    assert same(a.run(*args), b(*args))
    assert same(a.run(**kwargs), b(**kwargs))

    class Overrides(cls):
        def __call__(self, *a, **k):
            return "mine"

    assert new(Overrides).run(*args) == "mine"
    with pytest.raises(TypeError):
        a.run(*args, no_such_keyword=1)


@pytest.mark.parametrize("cls,new,args,kwargs", BLOCKS, ids=IDS)
def test_call_assigned_on_the_class_later_is_used(cls, new, args, kwargs):
    class Later(cls):
        pass

    obj, twin = new(Later), new(cls)
    assert same(obj(*args), twin(*args))
    Later.__call__ = lambda self, *a, **k: ("later", a)
    assert obj(*args) == ("later", args)
    del Later.__call__
    assert same(obj(*args), twin(*args))


# --- PID.run: plain positional numbers take a direct path, every other call the
# bound method; both must give the same results, states and errors. ---------------

RUN_NAMES = ["MODE", "SP", "PV", "TV", "FF"]


def _pid(cls=PID):
    pid = cls(0.5)
    pid.setPIDParam(2.0, 20.0, 1.5, 8.0)
    pid.setOPHighLowLimit(90.0, -10.0)
    return pid


class _Inherits(PID):
    pass


# How the second twin is called with the same sample (MODE, SP, PV, TV, FF).
RUN_FORMS = {
    "keywords": lambda a: ((), dict(zip(RUN_NAMES, a))),
    "NumPy floats": lambda a: (tuple(np.float64(x) for x in a), {}),
    "FF by keyword": lambda a: (a[:4], dict(FF=a[4])),
    "FF default": lambda a: ((), dict(zip(RUN_NAMES, a[:4]))),
}


@pytest.mark.parametrize("cls", [PID, _Inherits])
@pytest.mark.parametrize("form", RUN_FORMS)
def test_pid_run_direct_path_equals_bound_method(form, cls):
    direct, bound = _pid(cls), _pid(cls)
    rng = random.Random(5)
    for _ in range(100):
        a = (rng.choice([0, 1, 1.0, 1.2, 2, 0.5]), rng.uniform(0, 60), rng.choice([40, rng.uniform(0, 60)]),
             rng.uniform(0, 60), 0.0 if form == "FF default" else rng.uniform(-1, 1))
        args, kwargs = RUN_FORMS[form](a)
        mine = direct.run(*a[:4]) if form == "FF default" else direct.run(*a)
        assert same(mine, bound.run(*args, **kwargs))
        assert direct.__getstate__() == bound.__getstate__()


@pytest.mark.parametrize("args,exc", [
    ((float("nan"), 1.0, 2.0, 3.0), ValueError),
    ((float("-inf"), 1.0, 2.0, 3.0, 4.0), OverflowError),
    ((1, 2, 3), TypeError),
    ((1, 2, 3, 4, 5, 6), TypeError),
    ((1.0, "2", 3.0, 4.0), TypeError),
    ((1.0, 2.0, 3.0, None), TypeError),
])
@pytest.mark.parametrize("started", [False, True])
def test_pid_run_errors_equal_those_of_the_bound_method(args, exc, started):
    direct, bound = _pid(), _pid()
    if started:
        direct.run(0, 5.0, 4.0, 30.0)
        bound.run(0, 5.0, 4.0, 30.0)
    with pytest.raises(exc) as e_direct:
        direct.run(*args)
    with pytest.raises(exc) as e_bound:
        bound.run(*args[:-1], **{(RUN_NAMES + ["extra"])[len(args) - 1]: args[-1]})
    if exc is not TypeError:       # a TypeError names the arguments as passed
        assert str(e_direct.value) == str(e_bound.value)
    assert direct.__getstate__() == bound.__getstate__()


def test_pid_run_history_written_in_part_and_unconstructed_objects():
    direct, bound = PID(), PID()
    for pid in (direct, bound):
        pid._iniFlag = False
        pid._et1 = 1.0
    with pytest.raises(AttributeError, match="_et2"):
        direct.run(1.0, 5.0, 4.0, 30.0)
    with pytest.raises(AttributeError, match="_et2"):
        bound.run(MODE=1.0, SP=5.0, PV=4.0, TV=30.0)
    assert direct.run(0.0, 5.0, 4.0, 30.0) == bound.run(MODE=0.0, SP=5.0, PV=4.0, TV=30.0) == 30.0
    assert direct.__getstate__() == bound.__getstate__()

    raw = PID.__new__(PID)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # nanobind's "uninitialized instance"
        with pytest.raises(TypeError):
            raw.run(1.0, 5.0, 4.0, 30.0)
    with pytest.raises(TypeError):
        PID.run(qxWatchDog.WatchDog(), 1.0, 5.0, 4.0, 30.0)

    class Mine(PID):
        def run(self, *a):
            return ("mine", super().run(*a))

    assert Mine().run(0, 1.0, 2.0, 3.0) == ("mine", 3.0)


# --- call() of function-block style blocks ------------------------------------

from qxdcs.algorithm import qxDelay, qxTrigger  # noqa: E402

FBLOCKS = [(qxDelay.Delay_Algorithm, dict(Ut=2.5, nLag=2), "Yt"),
           (qxTrigger.TONtrigger, dict(Ut=1, DT=2), "ET"),
           (qxTrigger.TOFFtrigger, dict(Ut=0, DT=2), "Yt"),
           (qxTrigger.RStrigger, dict(S=1), "Q")]


@pytest.mark.parametrize("cls,inputs,output", FBLOCKS, ids=[b[0].__name__ for b in FBLOCKS])
def test_function_block_call_paths(cls, inputs, output):
    def made():
        obj = cls()
        for k, v in inputs.items():
            setattr(obj, k, v)
        return obj

    a, b = made(), made()
    for _ in range(3):
        assert a.call() is None and cls.call(b) is None
        assert repr(getattr(a, output)) == repr(getattr(b, output))
    before = repr(a)
    for bad in (lambda: a.call(1), lambda: a.call(x=1), lambda: cls.call()):
        with pytest.raises(TypeError):
            bad()
    assert repr(a) == before                  # a refused call changes nothing

    class Overrides(cls):
        def call(self):
            super().call()
            return "mine"

    assert Overrides().call() == "mine"
    raw = cls.__new__(cls)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # nanobind's "uninitialized instance"
        with pytest.raises(TypeError):
            raw.call()

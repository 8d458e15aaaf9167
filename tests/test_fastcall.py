"""Calling a block object directly must behave exactly like calling its
__call__ method: same results, keywords, defaults and errors, also for
subclasses and for objects whose constructor never ran."""
import warnings

import pytest

from blocks import CALLABLE

# (class, constructor arguments, positional call, keyword call)
BLOCKS = [(b.cls, b.ctor, b.call_args, b.call_kwargs) for b in CALLABLE]
IDS = [b.name for b in CALLABLE]


def same(a, b):
    return repr(a) == repr(b) and type(a) is type(b)


@pytest.mark.parametrize("cls,ctor,args,kwargs", BLOCKS, ids=IDS)
def test_direct_call_equals_method_call(cls, ctor, args, kwargs):
    a, b = cls(*ctor), cls(*ctor)
    for _ in range(4):
        assert same(a(*args), cls.__call__(b, *args))
        assert same(a(**kwargs), b.__call__(**kwargs))
    assert same(a(*args), b(*args))


@pytest.mark.parametrize("cls,ctor,args,kwargs", BLOCKS, ids=IDS)
def test_direct_call_errors_are_those_of_the_method(cls, ctor, args, kwargs):
    a = cls(*ctor)
    bad_calls = [lambda f: f(*args, *range(9)),          # too many, past the small stack
                 lambda f: f(*args, no_such_keyword=1)]
    for bad in bad_calls:
        with pytest.raises(TypeError) as direct:
            bad(a)
        with pytest.raises(TypeError) as method:
            bad(a.__call__)
        assert str(direct.value) == str(method.value)


@pytest.mark.parametrize("cls,ctor,args,kwargs", BLOCKS, ids=IDS)
def test_subclasses_and_unconstructed_objects(cls, ctor, args, kwargs):
    class Inherits(cls):
        pass

    class Overrides(cls):
        def __call__(self, *a, **k):
            return ("mine", super().__call__(*a, **k))

    plain, inherits, overrides = cls(*ctor), Inherits(*ctor), Overrides(*ctor)
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


@pytest.mark.parametrize("cls,ctor,args,kwargs", RUNNABLE, ids=[b[0].__name__ for b in RUNNABLE])
def test_run_calls_the_object(cls, ctor, args, kwargs):
    a, b = cls(*ctor), cls(*ctor)
    assert same(a.run(*args), b(*args))
    assert same(a.run(**kwargs), b(**kwargs))

    class Overrides(cls):
        def __call__(self, *a, **k):
            return "mine"

    assert Overrides(*ctor).run(*args) == "mine"
    with pytest.raises(TypeError):
        a.run(*args, no_such_keyword=1)


@pytest.mark.parametrize("cls,ctor,args,kwargs", BLOCKS, ids=IDS)
def test_call_assigned_on_the_class_later_is_used(cls, ctor, args, kwargs):
    class Later(cls):
        pass

    obj, twin = Later(*ctor), cls(*ctor)
    assert same(obj(*args), twin(*args))
    Later.__call__ = lambda self, *a, **k: ("later", a)
    assert obj(*args) == ("later", args)
    del Later.__call__
    assert same(obj(*args), twin(*args))

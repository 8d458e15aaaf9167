"""Every block pickles with every protocol and copies, also as an instance of a
Python subclass with attributes of its own, and the copy continues exactly
where the original stood."""
import copy
import pickle

import pytest

from blocks import BLOCKS

IDS = [b.name for b in BLOCKS]

# A Python subclass of every block, importable so that pickle finds it.
for _b in BLOCKS:
    globals()["Tagged" + _b.name] = type("Tagged" + _b.name, (_b.cls,), {})
CLONES = [copy.copy, copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, p)))(p)
    for p in range(pickle.HIGHEST_PROTOCOL + 1)]
CLONE_IDS = ["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("clone", CLONES, ids=CLONE_IDS)
@pytest.mark.parametrize("entry", BLOCKS, ids=IDS)
def test_clone_continues_exactly(entry, clone):
    cls, step = entry.cls, entry.step
    if not entry.shallow_copy_independent and clone is copy.copy:
        pytest.skip("a shallow copy shares the inner block, as shallow copies share attributes")
    Tagged = globals()["Tagged" + cls.__name__]
    for kind in (cls, Tagged):
        block = entry.new(kind)
        for k in range(4):
            step(block, k)
        if kind is Tagged:
            block.tag = ["FIC101"]
        twin = clone(block)
        assert type(twin) is kind
        if kind is Tagged:
            assert twin.tag == ["FIC101"]
        for k in range(4, 12):
            assert repr(step(twin, k)) == repr(step(block, k))

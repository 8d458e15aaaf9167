"""Module utilities: what it loads, the project-root search, the package probe."""
import importlib
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import types
import uuid

import pytest

from qxdcs.algorithm import utilities

ROOT_MESSAGE = "Reached the root of the file system without finding the marker."


@pytest.mark.parametrize("call, loads", [
    ("", []), ("u.dataStore([1, 2], 3)", []), ("list(u.dict2pairs({'a': {'b': 1}}))", []),
    ("u.find_project_path('bin'); u.is_OPCBridgePy_installed()", []),
    ("u.str2xpyp('1,2')", ["numpy"]), ("u.c2d([1], [1, 1], 1)", ["numpy", "scipy"]),
])
def test_loads_only_what_a_call_needs(call, loads):
    code = ("import sys\nimport qxdcs.algorithm.utilities as u\n" + call + "\n"
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'numpy', 'scipy'}))\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tempfile.gettempdir(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(loads)


@pytest.fixture
def sub(tmp_path, monkeypatch):
    """tmp/top/root/pkg/sub, with the module pretending to be the file sub/utilities.so."""
    sub = tmp_path / "top" / "root" / "pkg" / "sub"
    sub.mkdir(parents=True)
    monkeypatch.setattr(utilities, "__file__", str(sub / "utilities.so"))
    return sub


def marker():
    return f".qx-marker-{uuid.uuid4().hex}"


@pytest.mark.parametrize("levels_up, kind", [(0, "dir"), (0, "file"), (2, "file"), (3, "dir")])
def test_walks_up_to_the_nearest_marker(sub, levels_up, kind):
    target, name = sub.parents[levels_up - 1] if levels_up else sub, marker()
    (target / name).mkdir() if kind == "dir" else (target / name).write_text("")
    (sub.parents[3] / name).mkdir(exist_ok=True)       # a farther marker is not reached
    (sub / (name + "x")).mkdir()                       # another name does not count
    found = utilities.find_project_path(name)
    assert found == str(target.resolve()) == utilities.find_project_path(matker=name)
    assert os.path.isabs(found) and not found.endswith(os.sep)


def test_links_are_resolved(tmp_path, monkeypatch):
    real = tmp_path / "real" / "inner"
    real.mkdir(parents=True)
    name = marker()
    (tmp_path / "real" / name).mkdir()
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    monkeypatch.setattr(utilities, "__file__", str(tmp_path / "link" / "utilities.so"))
    assert utilities.find_project_path(name) == str((tmp_path / "real").resolve())


def test_without_file_starts_at_working_directory(sub, monkeypatch):
    name = marker()
    (sub / name).mkdir()
    monkeypatch.delattr(utilities, "__file__")
    monkeypatch.chdir(sub)
    assert utilities.find_project_path(name) == str(sub.resolve())
    monkeypatch.chdir(sub.parent)
    with pytest.raises(ValueError, match=re.escape(ROOT_MESSAGE)):
        utilities.find_project_path(name)


def test_root_is_never_searched(sub):
    only_in_root = [e for e in os.listdir(os.sep)
                    if not any(os.path.lexists(p / e) for p in sub.parents[:-1])]
    for name in [marker()] + only_in_root[:1]:
        with pytest.raises(ValueError, match=re.escape(ROOT_MESSAGE)):
            utilities.find_project_path(name)


@pytest.mark.parametrize("matker, got", [(None, "NoneType"), (b".git", "bytes"),
                                         (type("S", (str,), {})(".git"), "S")])
def test_marker_must_be_a_str(matker, got):
    with pytest.raises(TypeError, match=re.escape(
            f"Argument 'matker' has incorrect type (expected str, got {got})")):
        utilities.find_project_path(matker)


@pytest.mark.parametrize("layout", [None, "package", "module", "broken"])
def test_probe_locates_without_importing(tmp_path, monkeypatch, layout):
    body = "raise RuntimeError('must not be imported')\n"
    if layout == "package":
        (tmp_path / "OPCBridgePy").mkdir()
        (tmp_path / "OPCBridgePy" / "__init__.py").write_text(body)
    elif layout == "module":
        (tmp_path / "OPCBridgePy.py").write_text(body)
    elif layout == "broken":   # find_spec's own errors are passed on
        monkeypatch.setitem(sys.modules, "OPCBridgePy", types.ModuleType("OPCBridgePy"))
        with pytest.raises(ValueError, match="__spec__ is None"):
            utilities.is_OPCBridgePy_installed()
        return
    elif importlib.util.find_spec("OPCBridgePy") is not None:
        pytest.skip("OPCBridgePy is installed here")
    monkeypatch.syspath_prepend(str(tmp_path))
    importlib.invalidate_caches()
    assert utilities.is_OPCBridgePy_installed() is (layout is not None)
    assert "OPCBridgePy" not in sys.modules

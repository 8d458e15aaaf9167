"""The C++ library that the installed package carries (its headers, static
library and CMake package under qxdcs/): examples/cpp builds against it and
runs."""
import os
import pathlib
import shutil
import subprocess

import pytest

import qxdcs

ROOT = pathlib.Path(__file__).resolve().parent.parent
PREFIX = pathlib.Path(qxdcs.__file__).resolve().parent


def test_the_package_carries_the_library():
    assert (PREFIX / "include" / "qxdcs" / "process_sim.hpp").is_file()
    assert (PREFIX / "lib" / "libqxdcs.a").is_file()
    config = PREFIX / "lib" / "cmake" / "qxdcs"
    assert {"qxdcsConfig.cmake", "qxdcsConfigVersion.cmake", "qxdcsTargets.cmake"} <= {
        p.name for p in config.iterdir()}
    # No binding unit (Python and nanobind) in the installed headers.
    for header in (PREFIX / "include").rglob("*.hpp"):
        text = header.read_text(encoding="utf-8")
        assert "Python.h" not in text and "nanobind" not in text, header


@pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("c++") is None,
                    reason="needs cmake and a C++ compiler")
def test_example_builds_against_the_installed_package(tmp_path):
    if "QXDCS_HAS_JSON 1" not in (PREFIX / "include" / "qxdcs" / "config.hpp").read_text():
        pytest.skip("this copy was built without the JSON reader")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    build = tmp_path / "build"
    for cmd in (["cmake", "-S", str(ROOT / "examples" / "cpp"), "-B", str(build),
                 f"-DCMAKE_PREFIX_PATH={PREFIX}", "-DCMAKE_BUILD_TYPE=Release"],
                ["cmake", "--build", str(build)]):
        subprocess.run(cmd, check=True, capture_output=True, env=env)
    out = subprocess.run([str(build / "pid_loop")], check=True, capture_output=True,
                         text=True).stdout
    lines = out.splitlines()
    assert lines[0].split() == ["sample", "SP", "TI101", "TI101", "FV101", "SP", "AI201",
                                "AI201", "FV201"]
    last = lines[-2].split()
    assert last[0] == "240" and abs(float(last[2]) - 82.0) < 0.05
    assert abs(float(last[5]) - 41.5) < 0.05
    assert lines[-1].startswith("IAE TI101 ")
    # Strategies run natively: one built in code, and the reactor's file.
    out = subprocess.run([str(build / "strategy_run")], check=True, capture_output=True,
                         text=True).stdout
    lines = out.splitlines()
    assert lines[0].startswith("built in code: 600 samples of 9 signals")
    assert [lines[12].split()[i] for i in (0, 1, 4)] == ["599", "82.0000", "41.5000"]
    if "QXDCS_HAS_TOML 1" in (PREFIX / "include" / "qxdcs" / "config.hpp").read_text():
        assert lines[13].startswith(str(ROOT / "qxdcs" / "examples" / "reactor.toml") +
                                    ": 720 samples of 23 signals")
        last = lines[-1].split()
        assert last[0] == "719" and abs(float(last[2]) - 86.0) < 0.2

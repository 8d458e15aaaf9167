"""Module utilities: import-time behaviour, project-root search, package probe."""
import subprocess
import sys
import tempfile

import pytest


def run_fresh(code, cwd=None):
    """Run `code` in a fresh interpreter, away from the source tree; return its output."""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=cwd or tempfile.gettempdir(), check=False, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("call", [
    "",
    "u.dataStore([1, 2], 3)",
])
def test_import_loads_neither_numpy_nor_scipy(call):
    out = run_fresh(
        "import sys\n"
        "import qxdcs.algorithm.utilities as u\n"
        f"{call}\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in ('numpy', 'scipy')))\n")
    assert out.strip() == "[]"

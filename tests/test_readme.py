"""The examples in README.md run as shown."""
import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
with open(README, encoding="utf-8") as f:
    EXAMPLES = re.findall(r"```python\n(.*?)```", f.read(), re.S)


def test_the_readme_has_examples():
    assert len(EXAMPLES) >= 5


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(code, tmp_path):
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr

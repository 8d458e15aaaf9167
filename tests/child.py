"""Running a test script in a child interpreter, so that a crash fails one
test instead of the whole run.

The child runs with Python's debug memory allocator (PYTHONMALLOC=debug):
freed memory is overwritten, so that a use of a freed object, which may go
unnoticed with the usual allocator, crashes the child.
"""
import os
import subprocess
import sys
import textwrap


def run_child(code, cwd, stdin=None, **env):
    """Runs `code` in a fresh interpreter in the folder `cwd` (outside the
    source tree); it must exit with status 0 and print 'ok' as its last line.
    Returns what it printed."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONMALLOC="debug", **env))
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-2000:]}"
    assert proc.stdout.splitlines()[-1:] == ["ok"], proc.stdout + proc.stderr
    return proc.stdout

"""Test configuration.

The repository root holds the package sources (qxdcs/) without the compiled
modules; make sure the installed package is imported, also under
`python -m pytest`, which puts the working directory on sys.path.
"""
import os
import sys

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]

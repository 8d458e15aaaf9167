"""qxdcs: process-control algorithm blocks for DCS and APC."""

# Run from a checkout (`python -m qxdcs.demo` in the source folder after
# `pip install .`), the interpreter finds this folder first, without the
# compiled modules: the installed copy of the package is searched as well.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

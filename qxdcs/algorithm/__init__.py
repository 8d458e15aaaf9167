"""Algorithm blocks of qxdcs, one extension module per block family."""

# Run from a checkout, the compiled modules are found in the installed copy
# of the package (see qxdcs/__init__.py).
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

"""Shared helpers of qxdcs.algorithm, plus the project-root search and the probe
for the optional package OPCBridgePy.

The same c2d, dataStore, current_time_str, dict2pairs, pair2dict and str2xpyp
as the module qxcommon, with the same parameters, defaults and results; the
difference is that importing utilities loads nothing: each function imports
NumPy, SciPy or pathlib when it runs.
"""
from collections.abc import Iterator
from typing import Any

import numpy as _np
import numpy.typing as _npt

def c2d(
    Gs_num: _npt.ArrayLike,
    Gs_den: _npt.ArrayLike,
    Gs_delay: float,
    Ts: float = 1,
    method: str = "zoh",
) -> tuple[_npt.NDArray[_np.float64], _npt.NDArray[_np.float64]]:
    """Discretise Gs_num(s)/Gs_den(s) * exp(-Gs_delay*s) at the sample period Ts.

    Leading zeros of the numerator are dropped, then the rational part goes
    through scipy.signal.cont2discrete with `method` (alpha None, so the
    generalised bilinear method fails inside SciPy). The dead time becomes
    round(Gs_delay / Ts) whole samples (ties to even: 2.5 gives 2, 3.5 gives 4)
    of zeros in front of the discrete numerator; it is never approximated by
    extra poles. Nothing passed in is changed.

    Example: c2d([1], [1, 1], 2, 1) gives ([0, 0, 0, 0.632...], [1, -0.368...]).

    Args:
        Gs_num: Numerator coefficients, descending powers of s.
        Gs_den: Denominator coefficients, descending powers of s.
        Gs_delay: Dead time, in seconds (the time unit of Ts).
        Ts: Sample period in seconds (default 1).
        method: Any method name cont2discrete takes for a transfer function
            (default "zoh", zero-order hold).

    Returns:
        (Gd_num, Gd_den): float64 arrays of the coefficients of z^0, z^-1, ...
        as scipy.signal.lfilter takes them; Gd_num carries the delay zeros,
        Gd_den is the denominator as cont2discrete returns it (a[0] = 1).

    Raises:
        IndexError: The numerator is empty or all zeros.
        ValueError: A negative dead time (negative number of delay samples).
        ZeroDivisionError: Ts is 0 (or another error of the conversion).
    """
def dataStore(xArray: Any, xt: Any) -> None:
    """Push xt into the front of the sample history xArray, in place.

    Every element moves one index toward the end (the last, oldest one is
    lost) and xt is written at index 0, converted to the element type of a
    typed array; the length never changes. [1, 2, 3] with 9 becomes [9, 1, 2].

    Args:
        xArray: A mutable sequence with slice assignment, newest sample at
            index 0; as a rule a one-dimensional NumPy array, or a list.
        xt: The new sample.

    Raises:
        TypeError: xArray has no slice assignment (a tuple); nothing changes.
        IndexError: xArray is empty.
    """
def current_time_str() -> str:
    """The local wall-clock time as 'YYYY-MM-DD hh:mm:ss' ("%Y-%m-%d %H:%M:%S", 19 characters)."""
def dict2pairs(d: dict[Any, Any], path: str = "") -> Iterator[tuple[str, Any]]:
    """Lazily yield (dotted key path, value) for every leaf of a nested dictionary.

    Depth first, in each dictionary's own (insertion) order. Keys are joined
    by "." in their str form; paths never begin with a dot. Nested dicts,
    also of dict subclasses, are descended into; every other value (lists
    included) is a leaf, passed through as it is. An empty dictionary yields
    nothing. {'a': {'b': 1}, 'c': 2} yields ('a.b', 1), then ('c', 2).

    Args:
        d: The dictionary, exactly a dict.
        path: Prefix of every path (default "": none); path 'root' gives
            'root.a.b'.

    Raises:
        TypeError: d is not exactly a dict or path not exactly a str
            ("Argument 'd' has incorrect type (expected dict, got ...)").
    """
def pair2dict(pair: tuple[str, Any], d: dict[Any, Any]) -> None:
    """Write pair = (dotted key path, value) into the nested dictionary d, in place.

    The path is split at every "."; missing intermediate levels are created
    as empty dicts (setdefault), existing ones reused. The last key is set to
    the value, replacing whatever was there, a whole sub-dictionary included.
    ('a.b.c', 5) into {'a': {'z': 0}} leaves {'a': {'z': 0, 'b': {'c': 5}}}.
    Feeding every pair of dict2pairs into an empty dict rebuilds the input
    (keys as strings). Levels created before a failure stay in d.

    Args:
        pair: Exactly a tuple of two items: key path, value.
        d: The dictionary to write into, exactly a dict.

    Raises:
        TypeError: pair not exactly a tuple or d not exactly a dict; or an
            intermediate entry that is not a dict ("Expected dict, got int").
        ValueError: pair does not hold exactly two items ("too many values
            to unpack (expected 2)", "need more than 1 value to unpack").
        AttributeError: An intermediate entry is None.
    """
def str2xpyp(s: str) -> tuple[list[float], list[float]]:
    """Parse a curve string 'x,y#x,y#...' into two lists sorted by x.

    Points are separated by "#", x and y by ","; white space around a number
    is allowed. Segments without "," are skipped, text after a second "," is
    ignored. '100,35#0,10#50,20' gives ([0.0, 50.0, 100.0], [10.0, 20.0, 35.0]);
    '' gives ([], []).

    Args:
        s: The curve string, exactly a str.

    Returns:
        (xp, yp): x values ascending (NumPy's argsort, NaN last) and the y
        values of the same points, as lists of floats.

    Raises:
        TypeError: s is not exactly a str.
        ValueError: An x or y that is not a number.
    """
def find_project_path(matker: str = ".git") -> str:
    """The root directory of the project that holds this package.

    Walks up from the directory of this module (the resolved path of its
    file) to the first directory that holds an entry named `matker` (a file
    or a directory); the file-system root itself is never searched.

    Args:
        matker: Name of the marker entry, exactly a str (default ".git").

    Returns:
        The absolute path of that directory, without a trailing separator.

    Raises:
        TypeError: matker is not exactly a str.
        ValueError: "Reached the root of the file system without finding the
            marker."
    """
def is_OPCBridgePy_installed() -> bool:
    """Whether a top-level package OPCBridgePy can be imported in this interpreter.

    The package is only located (importlib.util.find_spec), never imported.
    """

"""dataStore (in-place history push) per call against the no-op floor and the
same shift written in Python with slice assignment."""
import numpy as np
from _harness import floor, ns_per_call, report

from qxdcs.algorithm.utilities import dataStore


def py_shift(x, xt):
    x[1:] = x[0:-1]
    x[0] = xt


def main():
    env = {"floor": floor, "dataStore": dataStore, "py_shift": py_shift, "v": 1.5,
           "a10": np.zeros(10), "a1000": np.zeros(1000), "i10": np.zeros(10, np.int64),
           "s10": np.zeros(20)[::2], "l10": [0.0] * 10, "np": np}
    floor_bare = ns_per_call("floor.noop()", env)
    floor_one = ns_per_call("floor.noop1(v)", env)
    cases = [
        ("float64[10]", "a10", "v"),
        ("float64[1000]", "a1000", "v"),
        ("int64[10] <- int", "i10", "3"),
        ("float64[10], strided view", "s10", "v"),
        ("list[10]", "l10", "v"),
    ]
    rows = [("no-op native call, no arguments", floor_bare),
            ("no-op native call, one argument", floor_one)]
    ratios = []
    for name, arr, val in cases:
        ours = ns_per_call(f"dataStore({arr}, {val})", env)
        theirs = ns_per_call(f"py_shift({arr}, {val})", env, number=50_000)
        rows += [(f"dataStore {name}", ours), (f"Python slices {name}", theirs)]
        ratios.append((name, ours, theirs))
    report("dataStore, per call", rows, floor_one)
    for name, ours, theirs in ratios:
        print(f"  {name:<28s} dataStore / one-arg no-op: {ours / floor_one:5.2f}x   "
              f"Python slices / dataStore: {theirs / ours:5.1f}x")


if __name__ == "__main__":
    main()

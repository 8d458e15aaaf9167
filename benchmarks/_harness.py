"""Small timing harness shared by the benchmark scripts.

Every figure is the best of several repeats of a timeit loop, in nanoseconds per
call; the scripts report ratios between calls timed in the same run.
"""
import sys
import timeit

try:
    import qxbench_floor as floor
except ImportError:  # pragma: no cover - explained to the user
    sys.exit("The benchmark floor module is missing: pip install ./benchmarks/floor")


def ns_per_call(stmt, env, number=200_000, repeat=7):
    """Best time of one call of `stmt` (a source string) in nanoseconds."""
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def report(title, rows, floor_ns):
    """Print a table of (name, ns) rows as ratios to the floor."""
    print(title)
    for name, ns in rows:
        print(f"  {name:<48s} {ns:8.1f} ns  {ns / floor_ns:6.2f}x floor")

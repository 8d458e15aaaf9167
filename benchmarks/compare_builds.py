"""Two builds of qxdcs in one run: each benchmark script is run in turns by the
interpreters of two environments (say, one with the package built from the
main branch and one with a change), several rounds, so that a machine whose
load changes during the run affects both alike. Prints, for every line that
gives a ratio to the floor, the median over the rounds and the best (lowest)
ratio of each build: a round whose floor was timed in a quiet moment shifts
all its ratios, which the median is not moved by.

    python compare_builds.py /venv/before/bin/python /venv/after/bin/python \\
        bench_delay_trigger.py bench_process_sim.py --rounds 3

Both environments need the floor module (pip install ./benchmarks/floor).
"""
import argparse
import re
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# "name   12.3 ns   4.56x floor", "20 x 20 model:  89.09x the floor", "a / b : 1.23x"
RATIO = re.compile(r"^\s*(?P<name>.+?)\s*[: ]\s*(?:[\d.]+ ns\s+)?(?P<ratio>[\d.]+)x(?P<rest>.*)$")


def ratios(output):
    """(name, ratio) for every line of a script's output that gives one."""
    found = {}
    for line in output.splitlines():
        m = RATIO.match(line)
        if m and ("floor" in m["rest"] or " / " in m["name"]):
            found[m["name"].strip(" :")] = float(m["ratio"])
    return found


def run(python, script, timeout):
    proc = subprocess.run([python, script], cwd=HERE, capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        sys.exit(f"{python} {script} failed:\n{proc.stderr[-2000:]}")
    return ratios(proc.stdout)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("before", help="Python of the environment measured first in each round")
    p.add_argument("after", help="Python of the other environment")
    p.add_argument("scripts", nargs="+", help="benchmark scripts of this folder")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--timeout", type=float, default=900.0, help="seconds per script run")
    args = p.parse_args()
    for script in args.scripts:
        seen = {"before": {}, "after": {}}
        for _ in range(args.rounds):
            for side in ("before", "after"):
                for name, r in run(getattr(args, side), script, args.timeout).items():
                    seen[side].setdefault(name, []).append(r)
        print(f"{script} ({args.rounds} rounds; ratio to its floor: median, best)")
        print(f"  {'':<50s} {'before':>15s} {'after':>15s}")
        for name, before in seen["before"].items():
            after = seen["after"].get(name, [float("nan")])
            print(f"  {name:<50s} {statistics.median(before):7.2f} {min(before):7.2f} "
                  f"{statistics.median(after):7.2f} {min(after):7.2f}")


if __name__ == "__main__":
    main()

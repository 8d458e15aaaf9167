"""Study throughput: scenarios per second of a 400-scenario tuning grid of the
reactor example (20 KP x 20 TI of the temperature loop, 720 samples each),
in this process and on a local Dask cluster of two worker processes (started
and warmed up before the timing), against the study command of an earlier
installation of the package on a grid of the same size and kind (20 KP
factors x 20 TI factors), run in the same session:

    python benchmarks/bench_study.py --baseline-python /path/to/old/venv/bin/python

The baseline is timed in its own interpreter (it is another installation of
the package), by the same best-of-N wall clock. Without --baseline-python
only this installation is measured. Needs Dask's distributed
(pip install '.[study]'); not the benchmark floor.
"""
import argparse
import subprocess
import sys
import textwrap
import time

import numpy as np

from qxdcs import strategy, study
from qxdcs.study import grid, runner

SAMPLES = 720
N = 20
REPEATS = 3


def best(fn, repeat=REPEATS):
    """Best wall time of fn() over `repeat` runs, in seconds."""
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def axes():
    return [grid.Axis("loop.TI101.KP", tuple(float(v) for v in np.linspace(-2.0, -8.0, N))),
            grid.Axis("loop.TI101.TI", tuple(float(v) for v in np.linspace(600.0, 2400.0, N)))]


BASELINE = textwrap.dedent("""
    import sys, time
    import numpy as np
    from qxdcs import study
    f = tuple(float(v) for v in np.linspace(0.5, 2.0, {n}))
    cases = study.grid(kp=f, ti=f, gain=(1.0,), delay=(1.0,), seeds=(1,), samples={samples})
    assert len(cases) == {n} ** 2
    study.run_study(cases[:8])                      # warm-up
    times = []
    for _ in range({repeats}):
        t = time.perf_counter()
        study.run_study(cases)
        times.append(time.perf_counter() - t)
    print(len(cases) / min(times))
""")


def baseline(python):
    code = BASELINE.format(n=N, samples=SAMPLES, repeats=REPEATS)
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--baseline-python", metavar="PYTHON",
                   help="the interpreter of an earlier installation, whose study command "
                        "is the baseline")
    args = p.parse_args(argv)
    from distributed import Client

    sf = strategy.load(study.reactor_file())
    tasks = list(enumerate(grid.scenarios(axes())))
    assert len(tasks) == N * N

    def here():
        runner._PREPARED.clear()    # each study starts cold, as a new command would
        rows = []
        runner.run_here(sf, tasks, rows.extend, SAMPLES)
        return rows

    rows = here()
    assert not any(r["error"] for r in rows)
    in_process = len(tasks) / best(here)

    cluster = runner.local_cluster(2)
    client = Client(cluster)
    try:
        where = runner.Cluster(client=client)

        def on_two():
            got = []
            runner.run_on_dask(where, sf, tasks, got.extend, SAMPLES, SAMPLES)
            return got

        again = sorted(on_two(), key=lambda r: r["scenario"])     # warm-up, and the same rows
        assert [repr(r) for r in again] == [repr(r) for r in rows]
        two = len(tasks) / best(on_two)
    finally:
        client.close()
        cluster.close()

    print(f"A tuning study of {len(tasks)} scenarios of the reactor ({SAMPLES} samples each)")
    if args.baseline_python:
        old = baseline(args.baseline_python)
        print(f"  the earlier study command, in process  {old:8.1f} scenarios/s")
    print(f"  in process                             {in_process:8.1f} scenarios/s"
          + (f"  {in_process / old:5.2f}x the earlier command" if args.baseline_python else ""))
    print(f"  2 local workers                        {two:8.1f} scenarios/s  "
          f"{two / in_process:5.2f}x in process")


if __name__ == "__main__":
    main()

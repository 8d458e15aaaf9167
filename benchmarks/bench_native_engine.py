"""The native engine of strategy runs against the Python engine, in one run:

1. the reactor (qxdcs/examples/reactor.toml) per sample: the native engine,
   the Python engine, and the sum of the native step costs of its blocks
   (each block run alone on a fresh copy, fed its inputs from a complete
   run's traces), with each block's share;
2. a study of 400 scenarios of the reactor (KP, TI, a local plant's gain
   and the seed varied; each scenario made into a plan from the file, run
   and scored by the IAE of both loops) with each engine, in the calling
   process and on a local Dask cluster of 2 worker processes;
3. the growth with the plant: n x n plants (n = 2, 10, 40) of first-order
   pairs with dead time and one PI loop per CV, per sample on each engine.

Every run is checked to give the same traces on both engines bit for bit,
so the two do the same work. Only running is timed where it says per sample
(building excluded); the study times whole scenarios.

    pip install '.[study]' ./benchmarks/floor && cd benchmarks && python bench_native_engine.py
"""
import contextlib
import io
import itertools
import os
import sys
import time

import numpy as np

from _harness import floor, ns_per_call, report

from qxdcs import strategy
from qxdcs.strategy import metrics

HERE = os.path.dirname(os.path.abspath(__file__))
REACTOR = os.path.join(HERE, os.pardir, "qxdcs", "examples", "reactor.toml")
RUNS = 9


def per_sample(make, n, runs=RUNS):
    """Best time per sample (ns) over `runs` runs, each on a freshly built
    engine, and the last result."""
    best, result = float("inf"), None
    for _ in range(runs):
        engine = make()
        with contextlib.redirect_stdout(io.StringIO()):
            started = time.perf_counter()
            result = engine.run()
            elapsed = time.perf_counter() - started
        best = min(best, elapsed / n)
    return best * 1e9, result


def same(a, b):
    return all(np.array_equal(a.traces[s], b.traces[s], equal_nan=True) for s in a.plan.signals)


def engines_on(plan, python_runs=RUNS, native_runs=3 * RUNS):
    n = plan.samples
    py_ns, py = per_sample(lambda: strategy.Engine(plan), n, python_runs)
    nat_ns, nat = per_sample(lambda: strategy.NativeEngine(plan), n, native_runs)
    if not same(py, nat):
        sys.exit("the engines disagree: the comparison is void")
    return py_ns, nat_ns


def block_costs(plan):
    """(key, ns per sample) of every block of the plan, run alone."""
    engine = strategy.NativeEngine(plan)
    with contextlib.redirect_stdout(io.StringIO()):
        engine.run()
    run = engine._run
    return [(run.block_key(i), run.block_cost_ns(i, engine.traces, 2 * RUNS))
            for i in range(run.n_blocks)]


# --- 1. the reactor ---------------------------------------------------------------------------

def reactor(floor_ns):
    plan = strategy.make_plan(strategy.load(REACTOR))
    long = strategy.make_plan(strategy.load(REACTOR), samples=14400)
    rows = []
    for name, p, runs in (("720 samples (the file)", plan, RUNS),
                          ("14400 samples (20 days)", long, 3)):
        py_ns, nat_ns = engines_on(p, runs, 3 * runs)
        costs = block_costs(p)
        total = sum(c for _, c in costs)
        rows.append((name, py_ns, nat_ns, total, costs))
    report(f"Reactor per sample ({len(plan.steps) + len(plan.schedules)} blocks and the LPV "
           f"plant)", [(f"{name}: {what}", ns) for name, py, nat, tot, _ in rows
                       for what, ns in (("Python engine", py), ("native engine", nat),
                                        ("sum of its blocks' native steps", tot))], floor_ns)
    for name, py, nat, tot, costs in rows:
        print(f"  {name}: native {py / nat:5.1f}x faster than Python (goal >= 20x), "
              f"{nat / tot:4.2f}x the sum of its blocks (goal <= 1.5x)")
    name, _, _, tot, costs = rows[0]
    print(f"  where a native sample goes ({name}):")
    merged = {}
    for key, ns in costs:
        merged[key] = merged.get(key, 0.0) + ns
    for key, ns in sorted(merged.items(), key=lambda kv: -kv[1])[:6]:
        print(f"    {key:<44s} {ns:8.1f} ns  {ns / tot:6.1%}")
    return plan


# --- 2. a study of 400 scenarios -------------------------------------------------------------

GRID = dict(kp=(0.6, 0.8, 1.0, 1.2, 1.4), ti=(0.5, 0.75, 1.0, 1.5, 2.0),
            gain=(1.1, 1.3, 1.5, 1.7), seed=(1, 2, 3, 4))
BATCH = 20
_FILE = {}


def scenarios():
    out = []
    for kp, ti, gain, seed in itertools.product(*GRID.values()):
        out.append({"loop.TI101.KP": -4.0 * kp, "loop.TI101.TI": 1200 * ti,
                    "loop.AI201.KP": 4.0 * kp, "loop.AI201.TI": 1800 * ti,
                    "plant.local.low.gain": gain, "simulation.seed": seed})
    return out


def run_batch(batch, engine):
    """Plan, run and score each scenario of a batch: the IAE of both loops."""
    if REACTOR not in _FILE:
        _FILE[REACTOR] = strategy.load(REACTOR)
    out = []
    with contextlib.redirect_stdout(io.StringIO()):
        for changes in batch:
            plan = strategy.plan_with(_FILE[REACTOR], changes)
            result = strategy.run(plan, engine=engine)
            loops = metrics.summarize(result)["loops"]
            out.append(tuple(loops[name]["IAE"] for name in ("TI101", "AI201")))
    return out


def batches(cases):
    return [cases[i:i + BATCH] for i in range(0, len(cases), BATCH)]


def study():
    cases = scenarios()
    assert len(cases) == 400
    rows, results = [], {}
    for engine in ("python", "native"):
        started = time.perf_counter()
        results[engine] = [r for b in batches(cases) for r in run_batch(b, engine)]
        rows.append((f"{engine} engine, in process", len(cases) / (time.perf_counter() -
                                                                   started)))
    assert results["python"] == results["native"]
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("  (Dask's distributed is not installed: no runs on local workers; "
              "pip install '.[study]')")
        cluster = None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None)
    if cluster is not None:
        with Client(cluster) as client:
            client.gather(client.map(run_batch, batches(cases)[:2], engine="native",
                                     pure=False))   # warm-up: imports on the workers
            for engine in ("python", "native"):
                started = time.perf_counter()
                got = client.gather(client.map(run_batch, batches(cases), engine=engine,
                                               pure=False))
                elapsed = time.perf_counter() - started
                assert [r for b in got for r in b] == results["native"]
                rows.append((f"{engine} engine, 2 local workers", len(cases) / elapsed))
        cluster.close()
    print(f"\nA study of {len(cases)} reactor scenarios (720 samples each; plan from the file, "
          f"run, summary), batches of {BATCH}")
    for name, rate in rows:
        print(f"  {name:<40s} {rate:8.1f} scenarios/s")
    by = dict(rows)
    print(f"  native / python in process              {by['native engine, in process'] / by['python engine, in process']:8.2f}x")
    # What a scenario spends beside the run.
    sf = strategy.load(REACTOR)
    t0 = time.perf_counter()
    plans = [strategy.plan_with(sf, c) for c in cases[:40]]
    t1 = time.perf_counter()
    for p in plans:
        strategy.compile_plan(p)
    t2 = time.perf_counter()
    print(f"  per scenario: plan from the file {1e3 * (t1 - t0) / 40:6.2f} ms, compiling it for "
          f"the native engine {1e3 * (t2 - t1) / 40:6.2f} ms")


# --- 3. growth with the plant --------------------------------------------------------------------

def square_plant(n, samples=2000, seed=1):
    """n x n first-order pairs with dead time (a diagonal-dominant plant) and
    one PI loop per CV, each setpoint stepping once."""
    rng = np.random.default_rng(seed)
    model = {}
    for i in range(n):
        row = {}
        for j in range(n):
            gain = 1.0 if i == j else float(rng.uniform(-0.2, 0.2)) / max(1, n // 4)
            row[f"U{j}"] = {"mode": "tf_s", "num_s": [gain],
                            "den_s": [float(rng.uniform(5, 30)), 1.0],
                            "iodelay_s": float(rng.integers(0, 5))}
        model[f"Y{i}"] = row
    data = {"simulation": {"sample_period_s": 1.0, "samples": samples, "seed": seed},
            "plant": {"model": model,
                      "initial": {**{f"Y{i}": 0.0 for i in range(n)},
                                  **{f"U{j}": 50.0 for j in range(n)}}},
            "loop": {f"L{i}": {"cv": f"Y{i}", "mv": f"U{i}", "KP": 0.5, "TI": 20.0,
                               "sp": [[100 + 10 * i, 1.0]]} for i in range(n)}}
    return strategy.make_plan(strategy.from_data(data, f"<{n}x{n} plant>"))


def growth(floor_ns):
    rows, lines = [], []
    for n in (2, 10, 40):
        plan = square_plant(n)
        py_ns, nat_ns = engines_on(plan, 3, 9)
        costs = block_costs(plan)
        total = sum(c for _, c in costs)
        rows += [(f"{n:2d} x {n:<2d} Python engine", py_ns), (f"{n:2d} x {n:<2d} native engine",
                                                               nat_ns)]
        lines.append(f"  {n:2d} x {n:<2d}: native {py_ns / nat_ns:6.1f}x faster than Python, "
                     f"{nat_ns / total:4.2f}x the sum of its blocks (plant {costs[-1][1]:.0f} ns, "
                     f"{n} PIDs {sum(c for k, c in costs if k.endswith('.mv')):.0f} ns)")
    print()
    report("Growth with the plant (n x n pairs, one PI loop per CV, 2000 samples), per sample",
           rows, floor_ns)
    for line in lines:
        print(line)


def main():
    floor_ns = ns_per_call("floor.noop()", {"floor": floor})
    reactor(floor_ns)
    growth(floor_ns)
    study()


if __name__ == "__main__":
    main()

"""Plant study throughput: scenarios per second for a grid of 64 closed-loop
runs (720 samples each) in the calling process and on a local Dask cluster of
two worker processes (started, and warmed up, before the timing), with the
study's batches and, for comparison, one scenario per task and blocks built
in the calling process and shipped; and the cost of shipping one scenario's
built blocks (a demo.ClosedLoop) to a worker: its pickle size and the time to
pickle and unpickle it, against its parameters (a study.Case), which is what
a study ships.

Needs Dask's distributed (pip install '.[study]'); not the benchmark floor.
"""
import pickle
import time
import timeit

from qxdcs import demo, study

GRID = dict(kp=(0.5, 1.0, 1.5, 2.0), ti=(0.5, 1.0, 2.0, 4.0), gain=(0.8, 1.25),
            delay=(1.0, 1.5), seeds=(1,), samples=720)
REPEATS = 3


def best(fn, repeat=REPEATS):
    """Best wall time of fn() over `repeat` runs, in seconds."""
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def per_call(stmt, env, number):
    return min(timeit.Timer(stmt, globals=env).repeat(repeat=5, number=number)) / number


def main():
    from distributed import Client

    cases = study.grid(**GRID)
    assert len(cases) == 64

    # One scenario's parts.
    case = cases[0]
    env = {"study": study, "demo": demo, "pickle": pickle, "case": case,
           "scenario": case.scenario()}
    loop = study.build(case)
    env["loop"] = loop
    build_s = per_call("demo.ClosedLoop(scenario)", env, 5)
    run_s = per_call("study.run_loop(study.build(case))", env, 3) - build_s
    blob = pickle.dumps(loop, protocol=pickle.HIGHEST_PROTOCOL)
    env["blob"] = blob
    ship_s = per_call("pickle.loads(pickle.dumps(loop, protocol=pickle.HIGHEST_PROTOCOL))",
                      env, 20)
    case_blob = pickle.dumps(case, protocol=pickle.HIGHEST_PROTOCOL)
    traces = len(pickle.dumps(loop.traces, protocol=pickle.HIGHEST_PROTOCOL))

    print("One scenario (720 samples)")
    print(f"  build (plant and blocks)          {build_s * 1e3:8.2f} ms")
    print(f"  run and score                     {run_s * 1e3:8.2f} ms")
    print(f"  built blocks, pickled             {len(blob):8d} bytes "
          f"({traces} of them the empty traces)")
    print(f"  pickle + unpickle the blocks      {ship_s * 1e3:8.2f} ms "
          f"({ship_s / (build_s + run_s):.1%} of building and running them)")
    print(f"  its parameters (a Case), pickled  {len(case_blob):8d} bytes")

    rows = study.run_study(cases)
    in_process = best(lambda: study.run_study(cases))

    cluster = study.local_cluster(2)
    client = Client(cluster)
    try:
        again = study.run_study(cases, client=client)          # warm-up, and the same table
        assert [repr(r) for r in again] == [repr(r) for r in rows]   # (a NaN is not == itself)
        batch = study.batch_size(cases, 2)
        on_two = best(lambda: study.run_study(cases, client=client))
        one_each = best(lambda: study.run_study(cases, client=client, batch=1))

        def ship_blocks():
            loops = [study.build(c) for c in cases]
            return client.gather(client.map(study.run_loop, loops, pure=False))

        blocks_two = best(ship_blocks)
    finally:
        client.close()
        cluster.close()

    n = len(cases)
    print(f"\nA study of {n} scenarios")
    print(f"  in process                        {n / in_process:8.1f} scenarios/s")
    print(f"  2 local workers, {batch} per task       {n / on_two:8.1f} scenarios/s  "
          f"{in_process / on_two:5.2f}x in process")
    print("  for comparison, on 2 local workers:")
    print(f"    one scenario per task           {n / one_each:8.1f} scenarios/s  "
          f"{in_process / one_each:5.2f}x in process")
    print(f"    blocks built here and shipped   {n / blocks_two:8.1f} scenarios/s  "
          f"{in_process / blocks_two:5.2f}x in process")


if __name__ == "__main__":
    main()

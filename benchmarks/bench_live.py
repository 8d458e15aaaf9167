"""Live runs over OPC UA, against `qxdcs serve-plant` on the loopback address.

1. Values per second of the controller's batched read (one Read request for
   every CV, qxdcs.live.wire.BatchedRead) and batched write (one Write request
   for every MV), against asyncua's own batched read (read_attributes) and
   reading and writing the same nodes one by one with asyncua's Node API
   (`read_value`, `write_value`), on the same server, in one run; the floor is
   the round trip of a read of one node. The plant: N first-order CV/MV pairs
   (N = 10, 50, 200), served in lockstep so that it does not run meanwhile.
2. The period jitter of a live run of `qxdcs control` on the reactor at 10
   periods a second (the plant at --speed 600: one sample per 0.1 s): p50,
   p99 and the largest lateness of a period's start from io.csv, and the
   periods that missed their deadline.

Needs the opcua extra (pip install '.[opcua]'); not the benchmark floor.
Usage: python bench_live.py [--periods N]
"""
import argparse
import asyncio
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import qxdcs
from qxdcs.live.wire import BatchedRead

REACTOR = os.path.join(os.path.dirname(qxdcs.__file__), "examples", "reactor.toml")
SIZES = (10, 50, 200)
ROUNDS = 5


def plant_file(n: int, folder: str) -> str:
    lines = ["[simulation]", "sample_period_s = 1", "samples = 1000", "", "[plant]",
             "initial = { " + ", ".join(f"Y{i} = 0.0, U{i} = 0.0" for i in range(n)) + " }"]
    for i in range(n):
        lines += [f"[plant.model.Y{i}]",
                  f'U{i} = {{ mode = "tf_s", num_s = [1.0], den_s = [10, 1] }}',
                  f"[loop.L{i}]", f'cv = "Y{i}"', f'mv = "U{i}"', "KP = 0.5", "TI = 10", ""]
    path = os.path.join(folder, f"plant{n}.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


def port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(path, *args):
    url = f"opc.tcp://127.0.0.1:{port()}/qxdcs/"
    proc = subprocess.Popen([sys.executable, "-m", "qxdcs", "serve-plant", path, "--endpoint",
                             url, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    line = []
    t = threading.Thread(target=lambda: line.append(proc.stdout.readline()), daemon=True)
    t.start()
    t.join(60)
    if not line or "serving" not in line[0]:
        proc.kill()
        raise RuntimeError(f"the plant server did not start: {line}")
    return url, proc


async def io_rates(url: str, n: int):
    from asyncua import Client, ua

    async with Client(url, timeout=10) as client:
        idx = await client.get_namespace_index("urn:qxdcs:plant")
        cvs = [client.get_node(f"ns={idx};s=Y{i}") for i in range(n)]
        mvs = [client.get_node(f"ns={idx};s=U{i}") for i in range(n)]
        cv_ids = [c.nodeid for c in cvs]
        mv_ids = [m.nodeid for m in mvs]
        values = [ua.DataValue(ua.Variant(float(i), ua.VariantType.Double)) for i in range(n)]

        reader = BatchedRead(cv_ids)

        async def batched_read():              # the controller's read
            codes, values = await reader(client)
            assert len(values) == n and not any(codes)

        async def read_attributes():            # asyncua's own batched read
            res = await client.uaclient.read_attributes(cv_ids, ua.AttributeIds.Value)
            assert len(res) == n and all(r.StatusCode.is_good() for r in res)

        async def one_by_one_read():
            for c in cvs:
                await c.read_value()

        async def batched_write():
            res = await client.uaclient.write_attributes(mv_ids, values, ua.AttributeIds.Value)
            assert all(r.is_good() for r in res)

        async def one_by_one_write():
            for i, m in enumerate(mvs):
                await m.write_value(ua.Variant(float(i), ua.VariantType.Double))

        async def one_read():
            await cvs[0].read_value()

        async def rate(fn, count):
            """Best values per second over ROUNDS rounds of `reps` calls."""
            reps = max(3, 2000 // n) if count == n else 200
            best = 0.0
            await fn()
            for _ in range(ROUNDS):
                t = time.perf_counter()
                for _ in range(reps):
                    await fn()
                best = max(best, reps * count / (time.perf_counter() - t))
            return best

        return {"batched read": await rate(batched_read, n),
                "asyncua read_attributes": await rate(read_attributes, n),
                "one-by-one read": await rate(one_by_one_read, n),
                "batched write": await rate(batched_write, n),
                "one-by-one write": await rate(one_by_one_write, n),
                "floor: read of one node": await rate(one_read, 1)}


def jitter(periods: int, folder: str):
    url, server = serve(REACTOR, "--speed", 600)
    try:
        out = os.path.join(folder, "jitter")
        res = subprocess.run([sys.executable, "-m", "qxdcs", "control", REACTOR, "--endpoint", url,
                              "--period", "0.1", "--samples", str(periods), "--log", out],
                             capture_output=True, text=True, timeout=periods * 0.1 + 60)
        if res.returncode != 0:
            raise RuntimeError(res.stderr)
    finally:
        server.kill()
        server.wait(10)
    late = np.genfromtxt(os.path.join(out, "io.csv"), delimiter=",", names=True,
                         usecols=(0, 1))["lateness_s"]
    missed = sum(1 for line in open(os.path.join(out, "events.jsonl"))
                 if '"deadline_missed"' in line)
    return late, missed, res.stdout.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--periods", type=int, default=300, help="periods of the jitter run")
    args = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} (2 cores shared)")
    with tempfile.TemporaryDirectory() as folder:
        print("values per second against qxdcs serve-plant (loopback, lockstep: the plant idle)")
        for n in SIZES:
            url, server = serve(plant_file(n, folder), "--lockstep")
            try:
                r = asyncio.run(io_rates(url, n))
            finally:
                server.kill()
                server.wait(10)
            floor = r["floor: read of one node"]
            print(f"  {n} CVs and {n} MVs")
            for name in ("batched read", "asyncua read_attributes", "one-by-one read",
                         "batched write", "one-by-one write", "floor: read of one node"):
                print(f"    {name:<26s} {r[name]:10.0f} values/s  {r[name] / floor:6.1f}x floor")
            reads = r["batched read"] / r["one-by-one read"]
            writes = r["batched write"] / r["one-by-one write"]
            print(f"    batched / one-by-one: reads {reads:.1f}x, writes {writes:.1f}x")
        late, missed, summary = jitter(args.periods, folder)
        ms = late * 1e3
        print(f"jitter of qxdcs control on the reactor, 10 periods a second, {len(late)} periods:")
        print(f"  lateness of the period's start: p50 {np.percentile(ms, 50):.3f} ms, "
              f"p99 {np.percentile(ms, 99):.3f} ms, max {ms.max():.3f} ms "
              f"(p99 {np.percentile(ms, 99) / 100.0 * 100:.2f} % of the period); "
              f"{missed} deadlines missed")
        print(f"  the controller's own summary: {summary}")


if __name__ == "__main__":
    main()

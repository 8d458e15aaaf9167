"""MIMOSim: one call (one sample of every CV/MV pair) against the no-op floor
and against python-control.

Models: the two-CV, three-MV example model, and square models of second-order
continuous transfer functions with dead times of 0 to 6 samples ("tf_s",
Ts = 1). The time of a call should grow linearly with pairs x order, where
the order of a pair is the length of its filter state (model order plus dead
time in samples).

python-control runs the same process as one discrete-time state-space system
(the pairs' discretised transfer functions, realised by python-control and
stacked block-diagonally): advanced one sample at a time from Python through
the system's own output() and dynamics(), and over a whole input sequence by
forced_response().

BLAS runs single-threaded here (OPENBLAS_NUM_THREADS=1 unless set): idle
OpenBLAS worker threads spin after each call and take a core from the timed
loop on a small machine.
"""
import os
import sys
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from _harness import floor, ns_per_call, report  # noqa: E402

from qxdcs.algorithm.qxProcessSim import MIMOSim  # noqa: E402

try:
    import control
except ImportError:  # pragma: no cover - explained to the user
    sys.exit("python-control is missing: pip install '.[bench]'")

EXAMPLE = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7],
                    "iodelay_z": 0, "IntegralMark": 0}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp",
                    "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2,
                    "IntegralMark": 1}},
}


def square_model(n, seed=0):
    """n CVs x n MVs of K / ((T1 s + 1)(T2 s + 1)) with 0 to 6 s of dead time."""
    rng = np.random.default_rng(seed)
    model = {}
    for i in range(n):
        row = {}
        for j in range(n):
            t1, t2 = rng.uniform(2.0, 30.0, 2)
            row[f"MV{j + 1}"] = {"mode": "tf_s", "num_s": [float(rng.uniform(-2.0, 2.0))],
                                 "den_s": [t1 * t2, t1 + t2, 1.0],
                                 "iodelay_s": int(rng.integers(0, 7))}
        model[f"CV{i + 1}"] = row
    return model


def state_entries(sim):
    """Sum over the pairs of their filter state length (order plus dead time)."""
    return sum(len(e._zi) for row in sim.yu_model_obj.values() for e in row.values())


def as_state_space(sim):
    """The simulator's process as one python-control discrete-time system: each
    pair's discrete transfer function (coefficients of z^0, z^-1, ... turned
    into descending powers of z) realised by python-control, the realisations
    stacked block-diagonally, inputs fanned out to the pairs of each MV and
    pair outputs summed per CV."""
    cvs, mvs = sim.cv_list, sim.mv_list
    blocks = []
    for i, cv in enumerate(cvs):
        for j, mv in enumerate(mvs):
            e = sim.yu_model_obj[cv][mv]
            if not hasattr(e, "Gz_num"):
                continue
            b, a = np.asarray(e.Gz_num), np.asarray(e.Gz_den)
            n = max(len(b), len(a))
            num = np.pad(b, (0, n - len(b)))
            den = np.pad(a, (0, n - len(a)))
            blocks.append((i, j, control.tf2ss(control.tf(num, den, 1))))
    nx = sum(s.nstates for _, _, s in blocks)
    A, B = np.zeros((nx, nx)), np.zeros((nx, len(mvs)))
    C, D = np.zeros((len(cvs), nx)), np.zeros((len(cvs), len(mvs)))
    k = 0
    for i, j, s in blocks:
        m = s.nstates
        A[k:k + m, k:k + m] = s.A
        B[k:k + m, j] = s.B[:, 0]
        C[i, k:k + m] = s.C[0, :]
        D[i, j] += s.D[0, 0]
        k += m
    return control.ss(A, B, C, D, 1)


def check_same_process(sim_model, sys, u, steps=60):
    """Largest difference between the simulator and the state-space system over
    a few samples of the same input (a sanity check of the comparison)."""
    sim = MIMOSim(sim_model, {}, 1)
    x = np.zeros(sys.nstates)
    worst = 0.0
    for _ in range(steps):
        y_sim = np.array(list(sim(dict(zip(sim.mv_list, u))).values()))
        y_ss = sys.output(0, x, u)
        x = sys.dynamics(0, x, u)
        worst = max(worst, float(np.max(np.abs(y_sim - y_ss))))
    return worst


def interleaved(cases, rounds=30):
    """Best ns per call of every (name, stmt, env, number) case, measured in turns
    over many short rounds: a machine whose load changes during the run then
    affects every case alike, and the best round of each case is compared.
    Each round first runs the case untimed, so that it is timed warm (the
    other cases have just run in between)."""
    timers = [(name, timeit.Timer(stmt, globals=env), number)
              for name, stmt, env, number in cases]
    best = {name: float("inf") for name, _, _ in timers}
    for _ in range(rounds):
        for name, timer, number in timers:
            timer.timeit(number)
            best[name] = min(best[name], timer.timeit(number) / number * 1e9)
    return best


def main():
    noop = floor.Noop()
    example = MIMOSim(EXAMPLE, {"CV1": 10.0, "MV1": 1.0}, 1)
    u_example = {"MV1": 2.0, "MV2": 1.0, "MV3": 0.5}
    cases = [("no-op native function f()", "f()", {"f": floor.noop}, 20_000),
             ("no-op native __call__(u) (the floor)", "noop(1.0)", {"noop": noop}, 20_000),
             ("MIMOSim 2 x 3 example, one call", "sim(u)", {"sim": example, "u": u_example},
              4_000)]
    sizes = (5, 10, 20, 40)
    entries = {}
    for n in sizes:
        sim = MIMOSim(square_model(n), {}, 1)
        entries[n] = state_entries(sim)
        cases.append((f"MIMOSim {n} x {n} second-order tf_s, one call", "sim(u)",
                      {"sim": sim, "u": {tag: 1.0 for tag in sim.mv_list}},
                      max(50, 100_000 // (n * n))))
    best = interleaved(cases)
    floor_ns = best["no-op native __call__(u) (the floor)"]
    report("MIMOSim, one call (one sample of every pair)", list(best.items()), floor_ns)

    example_ns = best["MIMOSim 2 x 3 example, one call"]
    scaling = [(n, best[f"MIMOSim {n} x {n} second-order tf_s, one call"], entries[n])
               for n in sizes]
    print(f"\n  2 x 3 example: {example_ns / floor_ns:6.2f}x the floor (goal <= 15x)")
    ns20 = next(ns for n, ns, _ in scaling if n == 20)
    print(f"  20 x 20 model: {ns20 / floor_ns:6.2f}x the floor (goal <= 100x)")
    print("\n  scaling (linear in pairs x order):")
    print(f"    {'model':>8s} {'pairs':>6s} {'state entries':>14s} {'ns/call':>10s} "
          f"{'ns/pair':>8s} {'ns/entry':>9s} {'added ns per added entry':>25s}")
    previous = None
    for n, ns, k in scaling:
        marginal = f"{(ns - previous[0]) / (k - previous[1]):25.3f}" if previous else ""
        print(f"    {n:>3d} x {n:<3d} {n * n:>6d} {k:>14d} {ns:>10.0f} "
              f"{ns / (n * n):>8.2f} {ns / k:>9.3f} {marginal}")
        previous = (ns, k)

    print("\npython-control, the same process as one discrete-time state-space system")
    for name, model, ini_u, steps in [("2 x 3 example", EXAMPLE, u_example, 2000),
                                      ("20 x 20", square_model(20), None, 200)]:
        sim = MIMOSim(model, {}, 1)
        sys_d = as_state_space(sim)
        u_vec = (np.array([ini_u[t] for t in sim.mv_list]) if ini_u
                 else np.ones(len(sim.mv_list)))
        worst = check_same_process(model, sys_d, u_vec)
        ours = ns_per_call("sim(u)", {"sim": sim, "u": dict(zip(sim.mv_list, u_vec.tolist()))},
                           number=max(200, 20_000 // len(sim.mv_list) ** 2), repeat=5)
        state = {"x": np.zeros(sys_d.nstates)}
        per_sample = ns_per_call("y = sys.output(0, st['x'], u); "
                                 "st['x'] = sys.dynamics(0, st['x'], u)",
                                 {"sys": sys_d, "st": state, "u": u_vec},
                                 number=max(20, steps // 10), repeat=3)
        U = np.tile(u_vec[:, None], (1, steps))
        T = np.arange(steps)
        whole = ns_per_call("control.forced_response(sys, T, U)",
                            {"control": control, "sys": sys_d, "T": T, "U": U},
                            number=1, repeat=3) / steps
        print(f"  {name} ({sys_d.nstates} states; largest output difference {worst:.1e}):")
        print(f"    MIMOSim call                         {ours:12.0f} ns/sample")
        print(f"    output() + dynamics() per sample     {per_sample:12.0f} ns/sample "
              f"({per_sample / ours:7.1f}x MIMOSim)")
        print(f"    forced_response over {steps:5d} samples  {whole:12.0f} ns/sample "
              f"({whole / ours:7.1f}x MIMOSim)")


if __name__ == "__main__":
    main()

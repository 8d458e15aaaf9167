"""Identification on simulated step tests of known 2 x 2 plants: accuracy and
time of `qxdcs.ident.identify`, and sippy_unipi's best discrete model on the
same data.

Plants (Ts = 1 s): first-order pairs, second-order pairs, integrating pairs
(three with a lag, one without), and a mixed plant; all with dead times.
Each step test has 3000 samples; both MVs move at random times (levels -1,
0, +1, each held at least 100 samples), so their moves and responses
overlap. Every CV carries Gaussian noise of 2 % of the plant's smallest
step response (a self-regulating pair: its gain; an integrating pair: what
the unit step makes of it in 100 s).

Accuracy, for the structure given and for `auto`: the worst relative error of
a gain and of a time constant, the worst dead-time error in samples, and the
fit's time, over every pair and seed. The goals: gains within 3 %, time
constants within 10 %, dead times within one sample, under 2 s per fit.

Comparison: the error of each pair's predicted unit-step response against
the truth over 300 samples, RMS relative to the largest true response, for
our fit and for sippy_unipi's best discrete model. sippy gets the same data as
deviations from the first row, and its model is chosen among N4SID, MOESP and
CVA (order 1 to 10 by BIC) and a MIMO ARX (na 2, nb 20, no dead time: sippy
estimates none) as the one whose simulation fits the data best (the truth
plays no part in the choice).

Run: pip install '.[bench]' && python benchmarks/bench_identification.py
(--quick: one seed, no sippy). BLAS runs single-threaded here (see
bench_process_sim.py).
"""
import contextlib
import io
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.signal import dlsim  # noqa: E402

from qxdcs.algorithm.qxProcessSim import get_model_stp  # noqa: E402
from qxdcs.ident import identify, simulate_step_test, step_sequence  # noqa: E402

SAMPLES = 3000
HORIZON = 300


def tf(K, den, theta, integrating=False):
    entry = {"mode": "tf_s", "num_s": [K], "den_s": den, "iodelay_s": theta}
    if integrating:
        entry["IntegralMark"] = 1
    return entry


def lags(*T):
    den = [1.0]
    for t in T:
        den = list(np.convolve(den, [t, 1.0]))
    return den


PLANTS = {
    "first order": ("fopdt", {
        "Y1": {"U1": tf(2.0, lags(30), 5), "U2": tf(-1.0, lags(15), 3)},
        "Y2": {"U1": tf(0.5, lags(10), 8), "U2": tf(1.2, lags(40), 2)}}),
    "second order": ("sopdt", {
        "Y1": {"U1": tf(1.5, lags(20, 8), 4), "U2": tf(-0.7, lags(25, 5), 6)},
        "Y2": {"U1": tf(0.9, lags(15, 6), 2), "U2": tf(2.0, lags(30, 12), 3)}}),
    "integrating": ("integrating", {
        "Y1": {"U1": tf(0.02, lags(5), 4, True), "U2": tf(-0.01, [1.0], 6, True)},
        "Y2": {"U1": tf(0.03, lags(10), 3, True), "U2": tf(0.015, lags(4), 7, True)}}),
    "mixed": ("auto", {
        "Y1": {"U1": tf(2.0, lags(30), 5), "U2": tf(-1.0, lags(20, 10), 3)},
        "Y2": {"U1": tf(0.05, lags(10), 7, True), "U2": tf(0.8, lags(15), 2)}}),
}


def truth(entry):
    """(structure, gain, time constants, dead time) of a pair."""
    den = np.array(entry["den_s"], float)
    taus = sorted((-1.0 / r.real for r in np.roots(den)), reverse=True) if len(den) > 1 else []
    integ = bool(entry.get("IntegralMark"))
    kind = "integrating" if integ else ("sopdt" if len(taus) == 2 else "fopdt")
    return kind, entry["num_s"][0] / den[-1], taus, int(round(entry["iodelay_s"]))


def noise_level(model):
    sizes = []
    for row in model.values():
        for entry in row.values():
            _, K, _, _ = truth(entry)
            sizes.append(abs(K) * (100.0 if entry.get("IntegralMark") else 1.0))
    return 0.02 * min(sizes)


def step_test(model, seed):
    rng = np.random.default_rng(seed)
    plant = {"Ts": 1.0, "model": model,
             "initial": {"Y1": 10.0, "Y2": 20.0, "U1": 50.0, "U2": 40.0}}
    moves = {mv: step_sequence(SAMPLES, 14, 1.0, rng, hold=100) for mv in ("U1", "U2")}
    sd = noise_level(model)
    return simulate_step_test(plant, SAMPLES, moves, {"Y1": sd, "Y2": sd}, seed + 100)


def errors(result, model):
    """Worst gain error, time-constant error (relative) and dead-time error
    (samples), and whether every structure is the true one."""
    worst_k = worst_t = worst_d = 0.0
    same = True
    for cv, row in model.items():
        for mv, entry in row.items():
            kind, K, taus, delay = truth(entry)
            p = result.pair(cv, mv)
            same &= p.structure.name == kind
            worst_k = max(worst_k, abs(p.params["K"] / K - 1))
            worst_d = max(worst_d, abs(p.delay - delay))
            fitted = sorted((v for k, v in p.params.items() if k.startswith("T") and v > 0),
                            reverse=True)
            if len(fitted) != len(taus):
                worst_t = max(worst_t, np.inf if taus or fitted[0] > 0.1 else 0.0)
                continue
            for a, b in zip(fitted, taus):
                worst_t = max(worst_t, abs(a / b - 1))
    return worst_k, worst_t, worst_d, same


def true_steps(model):
    stp = get_model_stp(model, 1, HORIZON)
    return {(cv, mv): np.array(stp[cv][mv]) for cv in model for mv in model[cv]}


def step_error(predicted, true):
    return float(np.sqrt(np.mean((predicted - true) ** 2)) / np.max(np.abs(true)))


# --- sippy_unipi ---------------------------------------------------------------------------

def sippy_models(test):
    from sippy_unipi import system_identification

    U = np.array([v - v[0] for v in test.mv.values()])
    Y = np.array([v - v[0] for v in test.cv.values()])
    out = {}
    for method in ("N4SID", "MOESP", "CVA"):
        with contextlib.redirect_stdout(io.StringIO()):
            m = system_identification(Y, U, method, SS_orders=[1, 10], IC="BIC", tsample=1.0)
        out[method] = ("ss", (m.A, m.B, m.C, m.D))
    with contextlib.redirect_stdout(io.StringIO()):
        m = system_identification(Y, U, "ARX", tsample=1.0,
                                  ARX_orders=[[2, 2], [[20, 20], [20, 20]], [[0, 0], [0, 0]]])
    out["ARX"] = ("tf", (m.NUMERATOR, m.DENOMINATOR))
    return out, U, Y


def sippy_simulate(kind, model, U):
    """Outputs (2 x n) of a sippy model for inputs U (2 x n), from rest."""
    if kind == "ss":
        A, B, C, D = model
        x = np.zeros(A.shape[0])
        Y = np.empty((C.shape[0], U.shape[1]))
        for k in range(U.shape[1]):
            Y[:, k] = C @ x + D @ U[:, k]
            x = A @ x + B @ U[:, k]
        return Y
    num, den = model
    Y = np.zeros((len(num), U.shape[1]))
    for i in range(len(num)):
        for j in range(len(num[i])):
            _, y = dlsim((np.array(num[i][j], float), np.array(den[i][j], float), 1.0), U[j])
            Y[i] += y[:, 0]
    return Y


def sippy_best(test):
    models, U, Y = sippy_models(test)
    fits = {name: float(np.sqrt(np.mean((sippy_simulate(k, m, U) - Y) ** 2)))
            for name, (k, m) in models.items()}
    best = min(fits, key=fits.get)
    kind, model = models[best]
    steps = {}
    for j, mv in enumerate(test.mv):
        u = np.zeros((len(test.mv), HORIZON))
        u[j] = 1.0
        y = sippy_simulate(kind, model, u)
        for i, cv in enumerate(test.cv):
            steps[(cv, mv)] = y[i]
    return best, fits, steps


def main():
    quick = "--quick" in sys.argv
    seeds = (1,) if quick else (1, 2, 3)
    print(f"identify on {SAMPLES}-sample step tests of 2 x 2 plants, noise 2 % of the "
          f"smallest step response, {len(seeds)} seed(s) each")
    print(f"  {'plant':<14s} {'structure':<12s} {'gain err':>9s} {'T err':>8s} "
          f"{'delay err':>10s} {'right kind':>11s} {'fit time':>9s}")
    comparison = []
    for name, (structure, model) in PLANTS.items():
        tests = [step_test(model, seed) for seed in seeds]
        for how in dict.fromkeys((structure, "auto")):
            worst = [0.0, 0.0, 0.0]
            same, slowest = True, 0.0
            for test in tests:
                started = time.perf_counter()
                result = identify(test, how)
                slowest = max(slowest, time.perf_counter() - started)
                k, t, d, s = errors(result, model)
                worst = [max(worst[0], k), max(worst[1], t), max(worst[2], d)]
                same &= s
            print(f"  {name:<14s} {how:<12s} {worst[0] * 100:8.2f}% {worst[1] * 100:7.2f}% "
                  f"{worst[2]:10.0f} {'yes' if same else 'no':>11s} {slowest:8.2f}s")
        if not quick:
            comparison.append((name, structure, model, tests[0]))
    if quick:
        return
    print(f"\nerror of the predicted unit-step response over {HORIZON} samples, RMS / largest "
          f"true response (seed 1)")
    print(f"  {'plant':<14s} {'pair':<7s} {'qxdcs':>9s} {'sippy':>9s} {'sippy model':>12s} "
          f"{'ratio':>8s}")
    for name, structure, model, test in comparison:
        truths = true_steps(model)
        ours = identify(test, "auto")
        started = time.perf_counter()
        best, fits, theirs = sippy_best(test)
        sippy_s = time.perf_counter() - started
        for (cv, mv), true in truths.items():
            p = ours.pair(cv, mv)
            from qxdcs.ident.structures import step_response
            mine = step_response(p.structure, list(p.params.values()), p.delay, 1.0, HORIZON)
            a, b = step_error(mine, true), step_error(theirs[(cv, mv)], true)
            print(f"  {name:<14s} {cv}:{mv:<4s} {a * 100:8.3f}% {b * 100:8.3f}% {best:>12s} "
                  f"{b / a:7.1f}x")
        fit_text = ", ".join(f"{k} {v:.3g}" for k, v in fits.items())
        print(f"  {'':<14s} sippy's simulation RMS on the data: {fit_text} "
              f"({sippy_s:.1f} s for all four)")


if __name__ == "__main__":
    main()

"""Known plants and their simulated step tests, shared by the identification
and tuning tests."""
import numpy as np

from qxdcs.ident import simulate_step_test, step_sequence

TWO_BY_TWO = {
    "Ts": 1.0,
    "initial": {"Y1": 10.0, "Y2": 5.0, "U1": 50.0, "U2": 30.0},
    "model": {
        "Y1": {"U1": {"mode": "tf_s", "num_s": [2.0], "den_s": [30, 1], "iodelay_s": 5},
               "U2": {"mode": "tf_s", "num_s": [-1.0], "den_s": [200, 30, 1], "iodelay_s": 3}},
        "Y2": {"U1": {"mode": "tf_s", "num_s": [0.05], "den_s": [10, 1], "iodelay_s": 7,
                      "IntegralMark": 1},
               "U2": {"mode": "tf_s", "num_s": [0.8], "den_s": [15, 1], "iodelay_s": 2}},
    },
}
# What the fit should find: structure, parameters, dead time in samples.
TRUTH = {("Y1", "U1"): ("fopdt", {"K": 2.0, "T": 30.0}, 5),
         ("Y1", "U2"): ("sopdt", {"K": -1.0, "T1": 20.0, "T2": 10.0}, 3),
         ("Y2", "U1"): ("integrating", {"K": 0.05, "T": 10.0}, 7),
         ("Y2", "U2"): ("fopdt", {"K": 0.8, "T": 15.0}, 2)}


def two_by_two_test(samples=1500, moves=8, noise=0.01, seed=1):
    rng = np.random.default_rng(seed)
    mv = {"U1": step_sequence(samples, moves, 1.0, rng),
          "U2": step_sequence(samples, moves, 1.0, rng)}
    return simulate_step_test(TWO_BY_TWO, samples, mv, {"Y1": noise, "Y2": noise}, seed + 1)


def siso_plant(entry, Ts=1.0, y0=0.0, u0=0.0):
    return {"Ts": Ts, "model": {"Y": {"U": entry}}, "initial": {"Y": y0, "U": u0}}


def siso_test(entry, samples=800, moves=6, noise=0.005, seed=3, Ts=1.0):
    rng = np.random.default_rng(seed)
    plant = siso_plant(entry, Ts, 1.0, 2.0)
    return simulate_step_test(plant, samples, {"U": step_sequence(samples, moves, 1.0, rng)},
                              {"Y": noise}, seed + 1)

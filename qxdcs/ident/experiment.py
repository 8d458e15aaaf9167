"""Step tests made by simulation: MV step sequences fed to a plant's MIMOSim,
with measurement noise on the CVs. For trying the identification on a known
plant (the tests, the benchmarks and the worked example use it)."""
from typing import Dict, Optional, Sequence

import numpy as np

from qxdcs.ident.data import StepTest


def step_sequence(samples: int, moves: int, amplitude: float, rng, hold: int = 0) -> np.ndarray:
    """MV deviations: `moves` steps of +-`amplitude` (levels -A, 0, +A) at
    random times, each level held at least `hold` samples (default: an
    even share of the record over two); starts and ends at rest before the
    first move."""
    hold = hold or max(1, samples // (2 * (moves + 1)))
    free = samples - hold * (moves + 1)
    if free < 0:
        raise ValueError(f"{moves} moves held {hold} samples do not fit in {samples}")
    gaps = np.diff(np.concatenate(([0], np.sort(rng.integers(0, free + 1, moves)))))
    times = np.cumsum(gaps + hold)
    levels = [0.0]
    for _ in range(moves):
        options = [v for v in (-amplitude, 0.0, amplitude) if v != levels[-1]]
        levels.append(float(rng.choice(options)))
    out = np.zeros(samples)
    for t, level in zip(times, levels[1:]):
        out[t:] = level
    return out


def simulate_step_test(plant: dict, samples: int, moves: Dict[str, Sequence[float]],
                       noise: Optional[Dict[str, float]] = None, seed: int = 0) -> StepTest:
    """A step test of `plant` ({"Ts", "model", "initial"}): `moves` gives
    each MV's deviation from its initial value, sample by sample; `noise`
    each CV's Gaussian noise standard deviation. The CVs come from MIMOSim,
    one call per sample (row k holds the MVs applied in sample k and the CVs
    that call returns)."""
    from qxdcs.algorithm.qxProcessSim import MIMOSim

    rng = np.random.default_rng(seed)
    ini = plant["initial"]
    sim = MIMOSim(plant["model"], dict(ini), plant["Ts"])
    mv_values = {mv: ini.get(mv, 0.0) + np.asarray(dev, float)[:samples]
                 for mv, dev in moves.items()}
    cv = {tag: np.empty(samples) for tag in sim.get_cv_list()}
    for k in range(samples):
        y = sim({mv: float(v[k]) for mv, v in mv_values.items()})
        for tag, value in y.items():
            cv[tag][k] = value
    for tag, sd in (noise or {}).items():
        cv[tag] = cv[tag] + rng.normal(0.0, sd, samples)
    Ts = float(plant["Ts"])
    return StepTest(np.arange(samples) * Ts, Ts, mv_values, cv, "simulated step test")

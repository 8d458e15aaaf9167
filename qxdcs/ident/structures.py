"""Model structures of one CV/MV pair, and their sampled responses.

Every structure is a continuous transfer function with a dead time of whole
samples, written into the model dictionary as a "tf_s" entry:

    fopdt        K e^(-theta s) / (T s + 1)                   K, T
    sopdt        K e^(-theta s) / ((T1 s + 1)(T2 s + 1))      K, T1 >= T2
    integrating  K e^(-theta s) / (s (T s + 1)), T >= 0       K (per second), T

The simulators discretise a "tf_s" pair with a zero-order hold (SciPy's
cont2discrete) and put round(iodelay_s / Ts) zeros in front of the numerator.
`coefficients` gives the same discrete numerator and denominator in closed
form (the hold-equivalent of each structure, from its step response at one
and two samples), which is what a fit evaluates thousands of times; the tests
hold it to cont2discrete. The dead time is always a whole number of samples
d, written as iodelay_s = d * Ts, so the simulators' rounding gives d back.
"""
from dataclasses import dataclass
from typing import Dict, Sequence, Tuple

import numpy as np


@dataclass(frozen=True)
class Structure:
    """One model structure: its name, its parameters and what they mean."""
    name: str
    params: Tuple[str, ...]
    description: str
    integrating: bool = False

    def __str__(self):
        return self.name


FOPDT = Structure("fopdt", ("K", "T"), "first order plus dead time")
SOPDT = Structure("sopdt", ("K", "T1", "T2"), "second order plus dead time")
INTEGRATING = Structure("integrating", ("K", "T"),
                        "integrating plus dead time (with a lag T, 0 for none)", True)
STRUCTURES: Dict[str, Structure] = {s.name: s for s in (FOPDT, SOPDT, INTEGRATING)}


def _lag_step(t, T):
    """Unit step response of 1/(T s + 1) at t: 1 - e^(-t/T)."""
    return -np.expm1(-t / T)


def _two_lag_step(t, T1, T2):
    """Unit step response of 1/((T1 s + 1)(T2 s + 1)) at t, also for T1 == T2.

    1 - (T1 e^(-t/T1) - T2 e^(-t/T2)) / (T1 - T2); the quotient is a divided
    difference of f(T) = T e^(-t/T), taken from its Taylor series about the
    midpoint when the two time constants are close (no cancellation)."""
    m, delta = 0.5 * (T1 + T2), T1 - T2
    if abs(delta) > 1e-3 * m:
        quotient = (T1 * np.exp(-t / T1) - T2 * np.exp(-t / T2)) / delta
    else:
        e = np.exp(-t / m)
        f1 = e * (1.0 + t / m)                          # f'(m)
        f3 = e * t * t / m ** 4 * (t / m - 3.0)         # f'''(m)
        quotient = f1 + f3 * delta * delta / 24.0
    return 1.0 - quotient


def _integrator_step(t, T):
    """Unit step response of 1/(s (T s + 1)) at t: t - T (1 - e^(-t/T))."""
    if T == 0.0:
        return t
    return t + T * np.expm1(-t / T)


def coefficients(structure: Structure, p: Sequence[float], Ts: float):
    """Discrete numerator and denominator (z^0, z^-1, ...) of the zero-order
    hold of `structure` with parameters `p`, without the dead time.

    Denominator from the poles e^(-Ts/T); numerator from the step response s
    at one and two samples: N = D (1 - z^-1) S, truncated to the order of D
    (s at 0 is 0: no structure passes its input straight through)."""
    name = structure.name
    if name == "fopdt":
        K, T = p
        a = np.exp(-Ts / T)
        return np.array([0.0, K * _lag_step(Ts, T)]), np.array([1.0, -a])
    if name == "sopdt":
        K, T1, T2 = p
        a1, a2 = np.exp(-Ts / T1), np.exp(-Ts / T2)
        den = np.array([1.0, -(a1 + a2), a1 * a2])
        s1, s2 = K * _two_lag_step(Ts, T1, T2), K * _two_lag_step(2 * Ts, T1, T2)
    else:
        K, T = p
        if T == 0.0:
            return np.array([0.0, K * Ts]), np.array([1.0, -1.0])
        a = np.exp(-Ts / T)
        den = np.array([1.0, -(1.0 + a), a])
        s1, s2 = K * _integrator_step(Ts, T), K * _integrator_step(2 * Ts, T)
    b1 = s1
    b2 = (s2 - s1) + den[1] * s1
    return np.array([0.0, b1, b2]), den


def entry(structure: Structure, p: Sequence[float], delay: int, Ts: float) -> dict:
    """The pair as a "tf_s" entry of the model dictionary."""
    p = [float(v) for v in p]
    out = {"mode": "tf_s", "num_s": [p[0]]}
    if structure.name == "fopdt":
        out["den_s"] = [p[1], 1.0]
    elif structure.name == "sopdt":
        out["den_s"] = [p[1] * p[2], p[1] + p[2], 1.0]
    else:
        out["den_s"] = [p[1], 1.0] if p[1] > 0.0 else [1.0]
    out["iodelay_s"] = float(delay * Ts)
    if structure.integrating:
        out["IntegralMark"] = 1
    return out


def normalise(structure: Structure, p: Sequence[float]) -> np.ndarray:
    """Parameters in their reported order (sopdt: T1 the larger)."""
    p = np.array(p, dtype=float)
    if structure.name == "sopdt" and p[2] > p[1]:
        p[1], p[2] = p[2], p[1]
    return p


def step_response(structure: Structure, p: Sequence[float], delay: int, Ts: float,
                  samples: int) -> np.ndarray:
    """The response to a unit step of the MV applied in sample 0, sample by
    sample, as the simulators give it."""
    from scipy.signal import lfilter

    b, a = coefficients(structure, p, Ts)
    out = np.zeros(samples)
    if delay < samples:
        out[delay:] = lfilter(b, a, np.ones(samples - delay))
    return out

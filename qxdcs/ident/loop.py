"""One control loop of a model: the package's PID on one CV/MV pair.

The loop is the sampled one that the package runs: the plant is the pair's
discrete element exactly as MIMOSim builds it (zero-order hold, the dead time
as whole samples of delay), and the controller is the PID's own discrete law.
From its incremental step, with e = SP - PV and h the sample period,

    C(z) = KP [1 + h / (TI (1 - z^-1))]
         + KP TD (1 - z^-1) / ((TD/N + h) - (TD/N) z^-1)

(no integral term for TI = 0, no derivative term for TD = 0). Margins are
read from L = C P on the unit circle, z = e^(j w h), 0 < w <= pi / h: the
delay is exactly z^-d, with no Pade approximation.
"""
from dataclasses import dataclass
from typing import Dict, List, Optional

import numpy as np
from scipy.optimize import brentq, minimize_scalar

# Settling: the error stays within this share of the setpoint step.
SETTLING_BAND = 0.02


def plant_element(entry: dict, Ts: float):
    """(numerator, denominator) in z^-1 of a pair as MIMOSim simulates it."""
    from qxdcs.algorithm.qxProcessSim import MIMOSim

    sim = MIMOSim({"CV": {"MV": entry}}, {}, Ts)
    element = sim.yu_model_obj["CV"]["MV"]
    return np.array(element.Gz_num, float), np.array(element.Gz_den, float)


def controller(KP: float, TI: float, TD: float, N: float, Ts: float):
    """(numerator, denominator) in z^-1 of the PID's discrete law."""
    if TI > 0.0:
        num_pi, den_pi = np.array([KP + KP * Ts / TI, -KP]), np.array([1.0, -1.0])
    else:
        num_pi, den_pi = np.array([KP]), np.array([1.0])
    if not TD > 0.0:
        return num_pi, den_pi
    c0 = max(TD / N + Ts, 1e-6)
    num_d, den_d = KP * TD * np.array([1.0, -1.0]), np.array([c0, -TD / N])
    num = _add(np.convolve(num_pi, den_d), np.convolve(num_d, den_pi))
    return num, np.convolve(den_pi, den_d)


def _add(a, b):
    n = max(len(a), len(b))
    return np.pad(a, (0, n - len(a))) + np.pad(b, (0, n - len(b)))


def _at(poly, z_inv):
    """poly(z^-1) at the points z_inv."""
    return np.polyval(np.asarray(poly)[::-1], z_inv)


@dataclass
class Margins:
    """Stability margins of a sampled loop."""
    gain_margin: float            # 1/|L| at the phase crossover where it is least; inf if none
    phase_margin: float           # degrees; inf when |L| never crosses 1
    ms: float                     # peak of |1 / (1 + L)|
    w_gain: Optional[float]       # rad/s where |L| = 1 (the lowest-margin one)
    w_phase: Optional[float]      # rad/s where the phase is -180 deg (the lowest-margin one)
    w_ms: float
    stable: bool                  # every closed-loop pole inside the unit circle


def margins(plant_num, plant_den, ctrl_num, ctrl_den, Ts: float,
            points: int = 4000) -> Margins:
    """Gain margin, phase margin and Ms of L = C P, all polynomials in z^-1."""
    Ln, Ld = np.convolve(ctrl_num, plant_num), np.convolve(ctrl_den, plant_den)
    char = _add(Ld, Ln)
    char = np.trim_zeros(char, "b")
    roots = np.roots(char) if len(char) > 1 else np.array([])
    stable = bool(np.all(np.abs(roots) < 1.0 - 1e-12))
    nyquist = np.pi / Ts

    def L(w):
        zi = np.exp(-1j * np.asarray(w) * Ts)
        return _at(Ln, zi) / _at(Ld, zi)

    w = np.geomspace(nyquist * 1e-6, nyquist, points)
    Lw = L(w)
    mag = np.abs(Lw)
    phase = np.unwrap(np.angle(Lw))
    # Gain crossovers: |L| = 1.
    pm, w_g = np.inf, None
    lm = np.log(mag)
    for k in np.nonzero(np.sign(lm[:-1]) * np.sign(lm[1:]) < 0)[0]:
        wc = brentq(lambda x: np.log(np.abs(L(x))), w[k], w[k + 1], xtol=1e-12 * w[k + 1])
        ph = np.angle(L(wc), deg=True)
        margin = 180.0 + ph if ph <= 0 else ph - 180.0
        if margin < pm:
            pm, w_g = margin, float(wc)
    # Phase crossovers: the unwrapped phase passes an odd multiple of -180 deg.
    gm, w_p = np.inf, None
    turns = (phase + np.pi) / (2 * np.pi)
    for k in np.nonzero(np.floor(turns[:-1]) != np.floor(turns[1:]))[0]:
        level = 2 * np.pi * max(np.floor(turns[k]), np.floor(turns[k + 1])) - np.pi

        def offset(x, level=level):
            # The unwrapped phase near w[k], continued from phase[k].
            ph = np.angle(L(x))
            return ph + 2 * np.pi * np.round((phase[k] - ph) / (2 * np.pi)) - level
        try:
            wc = brentq(offset, w[k], w[k + 1], xtol=1e-12 * w[k + 1])
        except ValueError:
            wc = w[k]
        a = float(np.abs(L(wc)))
        if 1.0 / a < gm:
            gm, w_p = 1.0 / a, float(wc)
    if abs(np.angle(Lw[-1], deg=True)) > 179.999 and 1 / mag[-1] < gm:
        gm, w_p = 1.0 / mag[-1], nyquist           # exactly -180 deg at the Nyquist frequency
    s = 1.0 / np.abs(1.0 + Lw)
    k = int(np.argmax(s))
    lo, hi = w[max(k - 1, 0)], w[min(k + 1, len(w) - 1)]
    res = minimize_scalar(lambda x: -1.0 / abs(1.0 + L(x)), bounds=(lo, hi), method="bounded",
                          options={"xatol": 1e-10 * hi})
    ms, w_ms = (float(-res.fun), float(res.x)) if -res.fun > s[k] else (float(s[k]), float(w[k]))
    return Margins(float(gm), float(pm), ms, w_g, w_p, w_ms, stable)


@dataclass
class StepResult:
    """A closed-loop step: its traces and what they show."""
    name: str
    time: np.ndarray
    sp: np.ndarray
    pv: np.ndarray
    op: np.ndarray
    peak: float                # setpoint: overshoot in % of the step; load: largest |error|
    settling_time: float       # s after the step until |error| stays within the band
    iae: float                 # integral of |SP - PV| dt over the window


def closed_loop(entry: dict, Ts: float, KP: float, TI: float, TD: float, N: float,
                initial: Dict[str, float], cv: str, mv: str, sp_step: float, load: float,
                samples: int) -> List[StepResult]:
    """A setpoint step, then (once it has had `samples` samples) a load step
    of `load` at the plant input; the package's PID on a MIMOSim of the
    pair, starting at rest in automatic. Each sample: the PID reads the last
    CV, its output (plus the load) goes to the plant, which advances."""
    from qxdcs.algorithm.qxPIDControl import PID
    from qxdcs.algorithm.qxProcessSim import MIMOSim

    y0, u0 = float(initial.get(cv, 0.0)), float(initial.get(mv, 0.0))
    sim = MIMOSim({cv: {mv: entry}}, {cv: y0, mv: u0}, Ts)
    pid = PID(float(Ts))
    pid.setPIDParam(KP, TI, TD, N)
    pid.setOPHighLowLimit(np.inf, -np.inf)
    lead = 5
    total = lead + 2 * samples
    sp = np.full(total, y0)
    sp[lead:] += sp_step
    d = np.zeros(total)
    d[lead + samples:] = load
    pv, op = np.empty(total), np.empty(total)
    y = y0
    for k in range(total):
        pv[k] = y
        op[k] = pid.run(1, sp[k], y, u0, 0.0)
        y = sim({mv: op[k] + d[k]})[cv]
    t = (np.arange(total) - lead) * Ts
    out = []
    for name, a, b in (("setpoint step", lead, lead + samples),
                       ("load step", lead + samples, total)):
        e = sp[a:b] - pv[a:b]
        band = SETTLING_BAND * abs(sp_step)
        outside = np.nonzero(np.abs(e) > band)[0]
        settle = float((outside[-1] + 1) * Ts) if len(outside) else 0.0
        if name == "setpoint step":
            peak = max(0.0, float(np.max(-e * np.sign(sp_step)))) / abs(sp_step) * 100.0
        else:
            peak = float(np.max(np.abs(e)))
        out.append(StepResult(name, t[a:b], sp[a:b], pv[a:b], op[a:b], peak, settle,
                              float(np.sum(np.abs(e)) * Ts)))
    return out

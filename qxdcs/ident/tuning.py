"""PID tuning of one loop from its model: the SIMC and the lambda (IMC) rules,
in the package's own PID form.

The pair's model is read as K e^(-theta s) / (s^i (tau1 s + 1)(tau2 s + 1) ...)
with i = 0 or 1 (an "integrating" pair). Skogestad's half rule reduces it to
what the rule needs: for a PI, the largest time constant is kept (an
integrating pair keeps its integrator), half the next one is added to it
and to the dead time, and every smaller one to the dead time; for a PID, the
two largest are kept likewise. The sampled loop adds half a sample period to
the effective dead time (the hold). With tau_c the closed-loop time
constant and theta the effective dead time, in the series form
Kc (tauI s + 1)(tauD s + 1) / (tauI s):

    SIMC,   self-regulating:  Kc = tau1 / (K (tau_c + theta)),  tauI = min(tau1, 4 (tau_c + theta))
    SIMC,   integrating:      Kc = 1 / (K (tau_c + theta)),     tauI = 4 (tau_c + theta)
    lambda, self-regulating:  Kc = tau1 / (K (tau_c + theta)),  tauI = tau1
    lambda, integrating:      Kc = (2 tau_c + theta) / (K (tau_c + theta)^2),  tauI = 2 tau_c + theta
    a PID:                    tauD = tau2 (an integrating pair: its lag)

and the series form becomes the PID's own (ideal) one: KP = Kc (1 + tauD/tauI),
TI = tauI + tauD, TD = tauI tauD / (tauI + tauD), with the derivative filter
N. KP takes its sign from K: the PID acts on SP - PV, so a negative gain
needs a negative KP.

The default tau_c is SIMC's choice for tight control, the effective dead
time, but never less than a tenth of the dominant time constant nor than
the sample period (a loop with little dead time must still tolerate noise).
"""
import json
import math
import os
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional, Tuple

import numpy as np

from qxdcs.ident.data import IdentError
from qxdcs.ident.loop import Margins, StepResult, closed_loop, controller, margins, plant_element

RULES = ("simc", "lambda")
CONTROLLERS = ("pi", "pid")
DEFAULT_N = 10.0


@dataclass
class LoopModel:
    """The pair's model as the rules read it."""
    K: float                      # static gain (integrating: per second)
    taus: List[float]             # time constants, largest first (s)
    theta: float                  # dead time (s)
    integrating: bool
    note: str = ""                # how it was obtained, when not read directly

    def text(self) -> str:
        parts = [f"K = {self.K:.6g}{' /s' if self.integrating else ''}"]
        parts += [f"T{i + 1} = {t:.6g} s" for i, t in enumerate(self.taus)]
        parts.append(f"dead time = {self.theta:.6g} s")
        kind = "integrating" if self.integrating else "self-regulating"
        return f"{kind}: " + ", ".join(parts)


@dataclass
class Tuning:
    """A tuning of one loop, and how the loop does with it on its model."""
    cv: str
    mv: str
    rule: str
    controller: str
    KP: float
    TI: float
    TD: float
    N: float
    tau_c: float
    tau_c_reason: str
    theta_eff: float
    model: LoopModel
    Ts: float
    margins: Margins
    steps: List[StepResult]
    notes: List[str] = field(default_factory=list)

    def as_dict(self) -> dict:
        """KP, TI, TD, N, the margins and the closed-loop figures."""
        m = self.margins
        return {"loop": f"{self.cv}:{self.mv}", "rule": self.rule, "controller": self.controller,
                "KP": self.KP, "TI": self.TI, "TD": self.TD, "N": self.N,
                "tau_c": self.tau_c, "tau_c_reason": self.tau_c_reason,
                "gain_margin": _num(m.gain_margin), "phase_margin_deg": _num(m.phase_margin),
                "Ms": m.ms, "stable": m.stable,
                "steps": {s.name: {"peak": s.peak, "settling_time_s": s.settling_time,
                                   "IAE": s.iae} for s in self.steps},
                "notes": self.notes}


def _num(v):
    return None if math.isinf(v) else v


# --- the pair's model ---------------------------------------------------------------------

def read_plant(path: str) -> dict:
    """A plant file ({"Ts", "model", "initial"}, as `qxdcs identify` writes
    it), or a bare model dictionary (then Ts 1 and initial values 0)."""
    name = os.path.basename(path)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        raise IdentError(f"{path}: no such file") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise IdentError(f"{name}: not a JSON model file ({exc})") from None
    if not isinstance(data, dict):
        raise IdentError(f"{name}: not a model dictionary (a JSON object of CVs)")
    if isinstance(data.get("model"), dict):
        plant = {"Ts": data.get("Ts", 1.0), "model": data["model"],
                 "initial": data.get("initial", {})}
    else:
        plant = {"Ts": 1.0, "model": data, "initial": {}}
    if not (isinstance(plant["Ts"], (int, float)) and plant["Ts"] > 0):
        raise IdentError(f"{name}: Ts must be a positive number of seconds, not {plant['Ts']!r}")
    return plant


def pair_entry(plant: dict, cv: str, mv: str, source: str = "the model") -> dict:
    model = plant["model"]
    if cv not in model or not isinstance(model[cv], dict):
        raise IdentError(f"{source}: no CV '{cv}' (CVs: {', '.join(map(str, model))})")
    entry = model[cv].get(mv)
    if not entry or entry.get("mode", "None") == "None":
        have = [m for m, s in model[cv].items() if s and s.get("mode", "None") != "None"]
        raise IdentError(f"{source}: no model for {cv}:{mv} (MVs of {cv}: {', '.join(have)})")
    return entry


def loop_model(entry: dict, Ts: float) -> LoopModel:
    """The pair read as gain, time constants, dead time (and an integrator).
    A "tf_s" pair of that form is read directly; any other pair (a step
    response, a discrete model, a numerator with zeros, complex poles) is
    first identified from its own simulated step response."""
    if entry.get("mode") == "tf_s":
        direct = _read_tfs(entry)
        if direct is not None:
            return direct
    return _from_step(entry, Ts)


def _read_tfs(entry) -> Optional[LoopModel]:
    num = np.trim_zeros(np.asarray(entry["num_s"], float), "f")
    den = np.trim_zeros(np.asarray(entry["den_s"], float), "f")
    if len(num) == 0:
        raise IdentError("the pair's gain is 0: no loop can be tuned on it")
    if len(num) != 1 or len(den) == 0:
        return None
    integrators = 1 if entry.get("IntegralMark") else 0
    while len(den) > 1 and den[-1] == 0.0:
        den = den[:-1]
        integrators += 1
    if integrators > 1:
        return None
    roots = np.roots(den) if len(den) > 1 else np.array([])
    if np.any(np.abs(roots.imag) > 1e-9 * np.maximum(np.abs(roots.real), 1e-300)) \
            or np.any(roots.real >= 0):
        return None
    taus = sorted((-1.0 / r.real for r in roots), reverse=True)
    K = float(num[0] / den[-1])
    return LoopModel(K, [float(t) for t in taus], float(entry.get("iodelay_s", 0.0)),
                     bool(integrators))


def _from_step(entry, Ts) -> LoopModel:
    from qxdcs.ident.experiment import simulate_step_test
    from qxdcs.ident.identify import identify

    samples = max(600, len(entry.get("stp", ())) * 3, len(entry.get("y", ())) * 3)
    lead = 10
    move = np.zeros(samples)
    move[lead:] = 1.0
    plant = {"Ts": Ts, "model": {"CV": {"MV": entry}}, "initial": {}}
    test = simulate_step_test(plant, samples, {"MV": move})
    if np.ptp(test.cv["CV"]) == 0.0:
        raise IdentError("the pair has no response to its MV")
    fit = identify(test, "auto", max_delay=samples // 3 * Ts)
    p = fit.pairs[0]
    taus = [v for k, v in p.params.items() if k.startswith("T") and v > 0]
    kind = p.structure.name
    return LoopModel(p.params["K"], sorted(taus, reverse=True), p.dead_time,
                     p.structure.integrating,
                     f"the pair ({entry.get('mode')}) reduced to {kind} from its step response "
                     f"(R^2 {fit.cvs['CV'].r2:.5f})")


# --- the rules ---------------------------------------------------------------------------

def rule(model: LoopModel, Ts: float, rule: str = "simc", ctrl: str = "pi",
         tau_c: Optional[float] = None, N: float = DEFAULT_N):
    """(KP, TI, TD, tau_c, why tau_c, effective dead time, notes) from a
    LoopModel; see the module's text for the formulas."""
    if rule not in RULES:
        raise IdentError(f"unknown rule {rule!r}; valid: {', '.join(RULES)}")
    if ctrl not in CONTROLLERS:
        raise IdentError(f"unknown controller {ctrl!r}; valid: {', '.join(CONTROLLERS)}")
    if not (N > 0.0 and math.isfinite(N)):
        raise IdentError(f"the derivative filter factor N must be a positive number, not {N:g}")
    if model.K == 0.0 or not math.isfinite(model.K):
        raise IdentError(f"the pair's gain is {model.K:g}: no loop can be tuned on it")
    if not model.integrating and not model.taus:
        raise IdentError("the pair is a gain with a dead time and no lag: the rules give a "
                         "pure integral controller, which the PID cannot be")
    notes = []
    taus = list(model.taus)
    keep = 0 if model.integrating else 1          # time constants the PI keeps
    tau_d = 0.0
    if ctrl == "pid":
        if model.integrating and taus:
            tau_d = taus[0]
            keep = 1
        elif not model.integrating and len(taus) >= 2:
            keep = 2
        else:
            notes.append("the model has no lag for a derivative to cancel: a PI "
                         "(SIMC gives a PID for second-order or lagged integrating models)")
    kept, rest = taus[:keep], taus[keep:]
    theta = model.theta + Ts / 2.0
    parts = [f"dead time {model.theta:g} s", f"half the sample period {Ts / 2:g} s"]
    if rest:
        half = rest[0] / 2.0
        theta += half + sum(rest[1:])
        if kept:
            kept[-1] += half
        parts.append(f"half rule {half + sum(rest[1:]):g} s")
    if ctrl == "pid" and model.integrating and taus:
        tau_d = kept[0]
    elif keep == 2:
        tau_d = kept[1]
    dominant = taus[0] if taus else 0.0
    why_theta = " + ".join(parts)
    if tau_c is None:
        candidates = [(theta, f"the effective dead time ({why_theta}), SIMC's choice for tight "
                              f"control"),
                      (dominant / 10.0, f"a tenth of the dominant time constant "
                                        f"{dominant:g} s (more than the effective dead time "
                                        f"{theta:g} s): a loop that tolerates measurement noise"),
                      (Ts, f"the sample period (more than the effective dead time {theta:g} s)")]
        tau_c, reason = max(candidates, key=lambda c: c[0])
    else:
        if not tau_c > 0.0:
            raise IdentError(f"--tau-c must be a positive number of seconds, not {tau_c:g}")
        reason = f"given (the effective dead time is {theta:g} s: {why_theta})"
    K = model.K
    if model.integrating:
        if rule == "simc":
            kc, ti = 1.0 / (K * (tau_c + theta)), 4.0 * (tau_c + theta)
        else:
            kc, ti = (2 * tau_c + theta) / (K * (tau_c + theta) ** 2), 2 * tau_c + theta
    else:
        t1 = kept[0]
        kc = t1 / (K * (tau_c + theta))
        ti = min(t1, 4.0 * (tau_c + theta)) if rule == "simc" else t1
    if tau_d > 0.0:
        KP, TI, TD = kc * (1.0 + tau_d / ti), ti + tau_d, ti * tau_d / (ti + tau_d)
    else:
        KP, TI, TD = kc, ti, 0.0
    return float(KP), float(TI), float(TD), float(tau_c), reason, float(theta), notes


def tune(plant, cv: str, mv: str, rule_name: str = "simc", ctrl: str = "pi",
         tau_c: Optional[float] = None, N: float = DEFAULT_N, sp_step: float = 1.0) -> Tuning:
    """Tune the loop CV:MV of `plant` (a plant dictionary or a file path) and
    judge it on the model: margins of the sampled loop and closed-loop steps
    with the package's PID on MIMOSim."""
    source = "the model"
    if isinstance(plant, str):
        source = os.path.basename(plant)
        plant = read_plant(plant)
    Ts = float(plant["Ts"])
    entry = pair_entry(plant, cv, mv, source)
    try:
        model = loop_model(entry, Ts)
    except IdentError as exc:
        raise IdentError(f"{source}: {cv}:{mv}: {exc}") from None
    except (KeyError, ValueError, TypeError, AssertionError, IndexError) as exc:
        raise IdentError(f"{source}: {cv}:{mv} is not a valid pair model ({exc!r})") from None
    KP, TI, TD, tau_c, reason, theta, notes = rule(model, Ts, rule_name, ctrl, tau_c, N)
    if model.note:
        notes.insert(0, model.note)
    pn, pd = plant_element(entry, Ts)
    cn, cd = controller(KP, TI, TD, N, Ts)
    m = margins(pn, pd, cn, cd, Ts)
    if not m.stable:
        notes.append("the tuned loop is unstable on its model")
    # Long enough for the slowest of: the closed loop, the integral action.
    window = int(math.ceil(max(10.0 * (tau_c + theta), 6.0 * TI, 40.0 * Ts) / Ts))
    window = min(window, 20000)
    if model.integrating:
        load = sp_step / (abs(model.K) * (tau_c + theta))
    else:
        load = sp_step / abs(model.K)
    steps = closed_loop(entry, Ts, KP, TI, TD, N, plant.get("initial", {}), cv, mv, sp_step,
                        load, window)
    return Tuning(cv, mv, rule_name, ctrl, KP, TI, TD, N, tau_c, reason, theta, model, Ts, m,
                  steps, notes)


def report(t: Tuning) -> str:
    """The tuning as printed lines: parameters, tau_c and why, margins, steps."""
    m = t.margins
    lines = [f"loop {t.cv}:{t.mv}, {t.rule.upper() if t.rule == 'simc' else 'lambda'} "
             f"{t.controller.upper()} from {t.model.text()}"]
    lines += [f"  note: {n}" for n in t.notes]
    lines.append(f"  tau_c = {t.tau_c:.6g} s: {t.tau_c_reason}")
    lines.append(f"  PID: KP = {t.KP:.6g}, TI = {t.TI:.6g} s, TD = {t.TD:.6g} s, N = {t.N:g}"
                 f"  (sample period {t.Ts:g} s)")
    gm = "inf" if math.isinf(m.gain_margin) else f"{m.gain_margin:.3g}"
    pm = "inf" if math.isinf(m.phase_margin) else f"{m.phase_margin:.3g} deg"
    lines.append(f"  margins: gain {gm}, phase {pm}, Ms {m.ms:.3g}"
                 f"{'' if m.stable else '  UNSTABLE'}")
    lines.append("  closed loop on the model (PID on MIMOSim):")
    lines.append(f"    {'step':<15s} {'overshoot/peak':>15s} {'settling (s)':>13s} {'IAE':>10s}")
    for s in t.steps:
        peak = f"{s.peak:.3g} %" if s.name == "setpoint step" else f"{s.peak:.4g}"
        lines.append(f"    {s.name:<15s} {peak:>15s} {s.settling_time:>13.5g} {s.iae:>10.4g}")
    return "\n".join(lines)


def plot(t: Tuning, path: str) -> None:
    """The closed-loop setpoint and load steps as a PNG figure."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 1, figsize=(9, 6), sharex=True)
    for s in t.steps:
        axes[0].plot(s.time, s.pv, label=f"{t.cv} ({s.name})")
        axes[1].plot(s.time, s.op, label=f"{t.mv} ({s.name})")
    time = np.concatenate([s.time for s in t.steps])
    axes[0].plot(time, np.concatenate([s.sp for s in t.steps]), "k--", lw=1, label="setpoint")
    axes[0].set_ylabel(t.cv)
    axes[1].set_ylabel(t.mv)
    axes[1].set_xlabel("time (s)")
    for ax in axes:
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize=8)
    m = t.margins
    fig.suptitle(f"{t.cv}:{t.mv}  KP {t.KP:.4g}, TI {t.TI:.4g} s, TD {t.TD:.4g} s  "
                 f"(GM {m.gain_margin:.3g}, PM {m.phase_margin:.3g} deg, Ms {m.ms:.3g})")
    fig.tight_layout()
    fig.savefig(path, dpi=90, format="png")
    plt.close(fig)

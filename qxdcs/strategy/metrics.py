"""What a run shows: per loop, per alarm and per soft sensor, the figures of
the summary. docs/metrics.md defines each one; in short:

* the loop figures are taken on the measurement the controller reads (its PV),
  in the time unit of the file's display (`simulation.time_unit`);
* IAE: the integral of |SP - PV| over the time in automatic;
* each setpoint change (a step, or a ramp counted from its end) is judged in
  a window that ends at the next event that moves the loop (a change of any
  schedule upstream of its measurement, a mode change, its next setpoint
  change) or at the end of the run;
* settling time: from the change (the ramp's end) until the error enters, for
  the last time in the window, a band of the larger of 2 % of the change and
  three standard deviations of the measurement noise; not settled (NaN) when
  the window ends outside the band;
* overshoot: the largest excursion beyond the new setpoint, in the direction
  of the change, less the same three standard deviations, in % of the change;
* time at the output limits: time in automatic with the output at a limit.
"""
import math
from typing import Any, Dict, List

import numpy as np

from qxdcs.strategy.engine import Result
from qxdcs.strategy.plan import LoopInfo, held_values

SECONDS = {"s": 1.0, "min": 60.0, "h": 3600.0}
SETTLING_FRACTION = 0.02      # of the setpoint change
NOISE_BANDS = 3.0             # standard deviations of the measurement noise
NAN = float("nan")


def modes(loop: LoopInfo, samples: int, sample_period: float) -> np.ndarray:
    """The loop's mode per sample, 1 automatic and 0 manual."""
    return held_values(loop.mode, loop.mode_changes, samples, sample_period)


def setpoint_changes(sp: np.ndarray) -> List[tuple]:
    """(first sample that moved, last sample that moved, change) for each
    run of consecutive samples in which the setpoint moves: a step is one
    sample, a ramp counts to its end."""
    moved = np.flatnonzero(np.diff(sp) != 0) + 1
    out = []
    i = 0
    while i < len(moved):
        j = i
        while j + 1 < len(moved) and moved[j + 1] == moved[j] + 1:
            j += 1
        first, last = int(moved[i]), int(moved[j])
        out.append((first, last, float(sp[last] - sp[first - 1])))
        i = j + 1
    return out


def loop_metrics(result: Result, loop: LoopInfo) -> Dict[str, Any]:
    """The summary figures of one loop (see the module's text)."""
    plan = result.plan
    ts, unit = plan.sample_period, SECONDS[plan.time_unit]
    n = result.samples
    sp = result.traces[plan.signals[loop.sp]]
    pv = result.traces[plan.signals[loop.pv]]
    op = result.traces[plan.signals[loop.op]]
    auto = modes(loop, n, ts)[:n] == 1
    iae = float(np.sum(np.abs(sp[auto] - pv[auto]))) * ts / unit
    at_limits = float(np.sum(auto & ((op <= loop.op_low) | (op >= loop.op_high)))) * ts / unit
    changes = []
    if loop.sp_scheduled:
        moves = setpoint_changes(sp)
        noise = NOISE_BANDS * loop.noise_sigma
        for index, (first, last, change) in enumerate(moves):
            if change == 0 or not auto[first]:
                continue
            t_first = first * ts
            later = [e for e in loop.events if e > t_first + 1e-9 * ts]
            if index + 1 < len(moves):
                later.append(moves[index + 1][0] * ts)
            end = min(later) if later else n * ts
            stop = min(n, int(math.ceil(end / ts - 1e-9)))
            window = pv[last:stop]
            target = sp[last]
            entry = {"time": t_first / unit, "end": last * ts / unit, "change": change,
                     "window": (stop - last) * ts / unit}
            if len(window) == 0:
                entry.update(overshoot_pct=NAN, settling_time=NAN)
            else:
                excursion = float(np.max((window - target) * math.copysign(1.0, change)))
                entry["overshoot_pct"] = max(0.0, excursion - noise) / abs(change) * 100.0
                band = max(SETTLING_FRACTION * abs(change), noise)
                outside = np.flatnonzero(np.abs(window - target) > band)
                if len(outside) == 0:
                    entry["settling_time"] = 0.0
                elif outside[-1] == len(window) - 1:
                    entry["settling_time"] = NAN           # not settled within its window
                else:
                    entry["settling_time"] = float(outside[-1] + 1) * ts / unit
            changes.append(entry)
    return {"IAE": iae,
            "overshoot_pct": _worst(c["overshoot_pct"] for c in changes),
            "settling_time": _worst(c["settling_time"] for c in changes),
            "time_at_limits": at_limits,
            "setpoint_changes": changes}


def _worst(values) -> float:
    values = list(values)
    if not values or any(math.isnan(v) for v in values):
        return NAN
    return max(values)


def summarize(result: Result) -> Dict[str, Any]:
    """The summary of a run: figures per loop, alarm and soft sensor, with
    their units."""
    plan = result.plan
    tu = plan.time_unit
    ts, unit = plan.sample_period, SECONDS[tu]
    loops = {}
    for loop in plan.loops:
        m = loop_metrics(result, loop)
        cv_unit = plan.units[loop.pv]
        m["units"] = {"IAE": f"{cv_unit}·{tu}" if cv_unit else tu, "overshoot_pct": "%",
                      "settling_time": tu, "time_at_limits": tu}
        loops[loop.name] = m
    alarms = {}
    for alarm in plan.alarms:
        on = result.traces[plan.signals[alarm.slot]] > 0
        rises = int(np.sum(np.diff(on.astype(np.int8)) > 0) + (1 if len(on) and on[0] else 0))
        alarms[alarm.name] = {"time_in_alarm": float(np.sum(on)) * ts / unit,
                              "activations": rises, "units": {"time_in_alarm": tu}}
    soft = {}
    for s in plan.soft_sensors:
        truth = result.traces[plan.signals[s.true_value]]
        raw = result.traces[plan.signals[s.prediction]]
        corrected = result.traces[plan.signals[s.corrected]]
        start = min(s.delay, max(0, result.samples - 1))
        soft[s.name] = {"raw_rms": _rms(raw[start:] - truth[start:]),
                        "corrected_rms": _rms(corrected[start:] - truth[start:]),
                        "lab_results": len(result.lab.get(s.name, ([], []))[1]),
                        "units": {"raw_rms": s.unit, "corrected_rms": s.unit}}
    return {"strategy": plan.source, "samples": result.samples, "sample_period_s": ts,
            "time_unit": tu, "loops": loops, "alarms": alarms, "soft_sensors": soft}


def _rms(x: np.ndarray) -> float:
    return float(np.sqrt(np.mean(x ** 2))) if len(x) else NAN


def flat(summary: Dict[str, Any]) -> Dict[str, float]:
    """The summary's figures as one level: ``"loop.TI101.IAE"`` -> value."""
    out = {}
    for section, items in (("loop", summary["loops"]), ("alarm", summary["alarms"]),
                           ("soft_sensor", summary["soft_sensors"])):
        for name, figures in items.items():
            for key, value in figures.items():
                if isinstance(value, (int, float)):
                    out[f"{section}.{name}.{key}"] = value
    return out


def rows(summary: Dict[str, Any]) -> List[tuple]:
    """(section, name, metric, value, unit) rows of the summary table."""
    out = []
    for section, items in (("loop", summary["loops"]), ("alarm", summary["alarms"]),
                           ("soft_sensor", summary["soft_sensors"])):
        for name, figures in items.items():
            units = figures.get("units", {})
            for key, value in figures.items():
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    out.append((section, name, key, value, units.get(key, "")))
    return out


def _num(value: float, fmt: str, unit: str = "") -> str:
    if isinstance(value, float) and math.isnan(value):
        return "n/a"
    text = format(value, fmt)
    return f"{text} {unit}".rstrip()


def table(summary: Dict[str, Any]) -> str:
    """The summary as the lines `qxdcs run` prints."""
    lines = []
    loops = summary["loops"]
    if loops:
        head = f"{'loop':<10} {'IAE':>22} {'overshoot':>10} {'settling':>12} {'at limits':>12}"
        lines.append(head)
        for name, m in loops.items():
            u = m["units"]
            lines.append(f"{name:<10} {_num(m['IAE'], '.2f', u['IAE']):>22} "
                         f"{_num(m['overshoot_pct'], '.1f', '%'):>10} "
                         f"{_num(m['settling_time'], '.1f', u['settling_time']):>12} "
                         f"{_num(m['time_at_limits'], '.1f', u['time_at_limits']):>12}")
    for name, a in summary["alarms"].items():
        lines.append(f"alarm {name}: {_num(a['time_in_alarm'], 'g', summary['time_unit'])} in "
                     f"alarm, {a['activations']} time{'s' if a['activations'] != 1 else ''}")
    for name, s in summary["soft_sensors"].items():
        u = s["units"]["raw_rms"]
        lines.append(f"soft sensor RMS error ({name}): {_num(s['raw_rms'], '.4f', u)} raw, "
                     f"{_num(s['corrected_rms'], '.4f', u)} with the laboratory bias "
                     f"({s['lab_results']} laboratory results)")
    return "\n".join(lines)

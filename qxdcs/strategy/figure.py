"""The figure of a run (Matplotlib, non-interactive): a panel per loop with
its setpoint, measurement and output (the valve named, its limits drawn and
labelled, alarm bands and the time in alarm shaded), a panel per alarm on a
signal, the plant's other inputs, and a panel per soft sensor with the
laboratory results at their sampling times. Legends sit right of the panels,
never over the data."""
from typing import Dict, Optional

import numpy as np

from qxdcs.strategy.engine import Result
from qxdcs.strategy.metrics import SECONDS

UNIT_NAMES = {"s": "s", "min": "min", "h": "h"}


def _label(name, unit):
    return f"{name} ({unit})" if unit else name


def _valve_view(op, low, high):
    """The valve axis: the output's range, widened to a limit that is near
    it; (bottom, top, the limits inside)."""
    finite = op[np.isfinite(op)]
    a, b = (float(finite.min()), float(finite.max())) if len(finite) else (low, high)
    span = max(high - low, 1e-9)
    reach = 0.25 * span
    if a - low <= reach:
        a = min(a, low)
    if high - b <= reach:
        b = max(b, high)
    pad = max(0.1 * (b - a), 0.02 * span)
    shown = [x for x in (low, high) if a - 1e-12 <= x <= b + 1e-12]
    return a - pad, b + pad, shown


def draw(result: Result, path: str, summary: Optional[Dict] = None) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    plan = result.plan
    scale = SECONDS[plan.time_unit]
    t = result.time / scale
    tr = result.traces
    sig, units = plan.signals, plan.units
    loop_alarms = {}
    signal_alarms = []
    for a in plan.alarms:
        if a.loop is not None:
            loop_alarms.setdefault(a.loop, []).append(a)
        else:
            signal_alarms.append(a)
    written = {l.op for l in plan.loops}
    inputs = [s for _, s in plan.plant.mv if s not in written]
    if plan.plant.working_value is not None:
        inputs.append(plan.plant.working_value)
    inputs += [s for _, s in plan.plant.disturbance]
    panels = len(plan.loops) + len(signal_alarms) + (1 if inputs else 0) + len(plan.soft_sensors)
    panels = max(panels, 1)
    fig, axes = plt.subplots(panels, 1, figsize=(11, 2.9 * panels + 0.6), sharex=True,
                             squeeze=False, layout="constrained")
    axes = list(axes[:, 0])

    def legend(ax, handles):
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.09, 1.0),
                  borderaxespad=0.0, fontsize=8, frameon=False)

    def shade(ax, on, label="in alarm"):
        if on.any():
            ax.fill_between(t, 0, 1, where=on, transform=ax.get_xaxis_transform(),
                            color="red", alpha=0.12, linewidth=0, step="mid")
            return [Patch(color="red", alpha=0.2, label=label)]
        return []

    i = 0
    for loop in plan.loops:
        ax = axes[i]
        i += 1
        sp, pv, op = tr[sig[loop.sp]], tr[sig[loop.pv]], tr[sig[loop.op]]
        h = [ax.plot(t, pv, color="C0", lw=1.0, label=f"{sig[loop.pv]} (PV)")[0],
             ax.plot(t, sp, color="k", ls="--", lw=1.2, label=f"{sig[loop.sp]} (SP)")[0]]
        for a in loop_alarms.get(loop.name, []):
            on = tr[sig[a.slot]] > 0
            ax.plot(t, sp + a.band, color="red", ls=":", lw=0.8)
            ax.plot(t, sp - a.band, color="red", ls=":", lw=0.8)
            h.append(Line2D([], [], color="red", ls=":", lw=0.8,
                            label=f"{a.name}: SP ± {a.band:g}"))
            h += shade(ax, on, f"{a.name} on")
        ax.set_ylabel(_label(loop.cv, units[loop.pv]))
        ax.set_title(f"loop {loop.name}: {loop.cv} by {loop.mv}", loc="left", fontsize=10)
        ax.grid(True, alpha=0.3)
        ax2 = ax.twinx()
        h.append(ax2.plot(t, op, color="C1", lw=1.0, label=f"{loop.mv} (OP)")[0])
        lo, hi, shown = _valve_view(op, loop.op_low, loop.op_high)
        for limit in shown:
            ax2.axhline(limit, color="C1", ls=":", lw=0.8)
        outside = "" if len(shown) == 2 else (
            " (outside the view)" if not shown else
            f" ({'high' if shown[0] == loop.op_low else 'low'} outside the view)")
        h.append(Line2D([], [], color="C1", ls=":", lw=0.8,
                        label=f"{loop.mv} limits {loop.op_low:g} / {loop.op_high:g}{outside}"))
        ax2.set_ylim(lo, hi)
        ax2.set_ylabel(_label(loop.mv, units[loop.op]))
        legend(ax, h)
    for a in signal_alarms:
        ax = axes[i]
        i += 1
        x = tr[a.signal]
        h = [ax.plot(t, x, color="C0", lw=1.0, label=a.signal)[0]]
        for value, word in ((a.above, "above"), (a.below, "below")):
            if value is not None:
                ax.axhline(value, color="red", ls=":", lw=0.8)
                h.append(Line2D([], [], color="red", ls=":", lw=0.8,
                                label=f"{a.name}: {word} {value:g}"))
        h += shade(ax, tr[sig[a.slot]] > 0, f"{a.name} on")
        ax.set_ylabel(_label(a.signal, units[sig.index(a.signal)]))
        ax.set_title(f"alarm {a.name}", loc="left", fontsize=10)
        ax.grid(True, alpha=0.3)
        legend(ax, h)
    if inputs:
        ax = axes[i]
        i += 1
        h = [ax.plot(t, tr[sig[s]], lw=1.0, label=_label(sig[s], units[s]))[0] for s in inputs]
        ax.set_title("plant inputs", loc="left", fontsize=10)
        ax.grid(True, alpha=0.3)
        legend(ax, h)
    for s in plan.soft_sensors:
        ax = axes[i]
        i += 1
        h = [ax.plot(t, tr[sig[s.true_value]], color="k", lw=1.2,
                     label=f"{sig[s.true_value]} (true)")[0],
             ax.plot(t, tr[sig[s.prediction]], color="C0", lw=1.0,
                     label=f"{sig[s.prediction]} (prediction)")[0],
             ax.plot(t, tr[sig[s.corrected]], color="C2", lw=1.0,
                     label="prediction + bias")[0]]
        times, values = result.lab.get(s.name, ([], []))
        if times:
            h.append(ax.plot(np.asarray(times) / scale, values, "o", color="C3", ms=4,
                             label="laboratory (at sampling time)")[0])
        ax.set_ylabel(_label(s.name, s.unit))
        ax.set_title(f"soft sensor {s.name}", loc="left", fontsize=10)
        ax.grid(True, alpha=0.3)
        legend(ax, h)
    axes[-1].set_xlabel(f"time ({UNIT_NAMES[plan.time_unit]})")
    axes[-1].set_xlim(t[0] if len(t) else 0, t[-1] if len(t) else 1)
    import os
    fig.suptitle(os.path.basename(plan.source), fontsize=10)
    fig.savefig(path, dpi=90)
    plt.close(fig)

"""What an identification shows: a text table, a JSON record and a figure per
CV of the data against the fitted model's response."""
import math
import os
from typing import List

import numpy as np

from qxdcs.ident.identify import Identification


def _pm(value, se, digits=5):
    text = f"{value:.{digits}g}"
    if se is None or math.isnan(se):
        return text + " (bound)" if se is not None else text
    return f"{text} ± {se:.2g}"


def text(result: Identification) -> str:
    """The report as printed lines."""
    how = ("step-response models" if result.structure.startswith("stp") else
           "structure chosen per pair by BIC" if result.structure == "auto" else
           f"structure {result.structure}")
    seg = f", {result.segments} segments" if result.segments > 1 else ""
    lines = [f"identified from {result.source}: {result.samples} samples at {result.Ts:g} s"
             f"{seg}, {how}, in {result.seconds:.2f} s",
             "",
             f"{'pair':<22s} {'structure':<12s} {'K':<24s} {'T1 (s)':<22s} {'T2 (s)':<22s} "
             f"{'dead time (s)':>13s}"]
    for p in result.pairs:
        name = f"{p.cv}:{p.mv}"
        if p.structure is None:
            lines.append(f"{name:<22s} {'stp':<12s} {_pm(p.params['gain'], p.se['gain']):<24s} "
                         f"{'':<22s} {'':<22s} {'':>13s}")
            continue
        keys = list(p.params)
        T1 = keys[1]
        t2 = _pm(p.params["T2"], p.se["T2"]) if "T2" in p.params else ""
        K = _pm(p.params["K"], p.se["K"]) + (" /s" if p.structure.integrating else "")
        lines.append(f"{name:<22s} {p.structure.name:<12s} {K:<24s} "
                     f"{_pm(p.params[T1], p.se[T1]):<22s} {t2:<22s} {p.dead_time:>13g}")
    lines += ["", f"{'CV':<12s} {'R^2':>9s} {'resid. std':>12s} {'R^2 last 1/5':>13s} "
                  f"{'resid. std':>12s} {'offset':>12s} {'drift (/s)':>12s}"]
    for c in result.cvs.values():
        drift = "" if c.drift is None else f"{c.drift:.4g}"
        lines.append(f"{c.cv:<12s} {c.r2:>9.5f} {c.resid_std:>12.4g} {c.r2_holdout:>13.5f} "
                     f"{c.resid_std_holdout:>12.4g} {c.offset[0]:>12.6g} {drift:>12s}")
    lines.append("(last 1/5: the same structures and dead times refitted on the first four "
                 "fifths, judged on the last fifth)")
    lines += [f"warning: {w}" for w in result.warnings]
    return "\n".join(lines)


def record(result: Identification) -> dict:
    """The report as plain data (report.json)."""
    return {
        "source": result.source, "samples": result.samples, "Ts": result.Ts,
        "structure": result.structure, "seconds": result.seconds,
        "pairs": [{"cv": p.cv, "mv": p.mv,
                   "structure": p.structure.name if p.structure else "stp",
                   "params": p.params,
                   "standard_errors": {k: (None if math.isnan(v) else v)
                                       for k, v in p.se.items()},
                   "dead_time_s": p.dead_time, "dead_time_samples": p.delay}
                  for p in result.pairs],
        "cvs": {c.cv: {"R2": c.r2, "resid_std": c.resid_std, "R2_holdout": c.r2_holdout,
                       "resid_std_holdout": c.resid_std_holdout, "samples": c.samples,
                       "offsets": c.offset, "drift_per_s": c.drift, "BIC": c.bic}
                for c in result.cvs.values()},
        "warnings": result.warnings,
        "plant": result.plant(),
    }


def figures(result: Identification, folder: str, suffix: str = "") -> List[str]:
    """One PNG per CV: the data and the model's response, the MVs below.
    Written as fit-<CV>.png<suffix>; returns the file names."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    test = result.data
    t = test.time - test.time[0]
    names = []
    for cv, fit in result.cvs.items():
        fig, (ax, axu) = plt.subplots(2, 1, figsize=(10, 6), sharex=True,
                                      gridspec_kw={"height_ratios": [2, 1]})
        ax.plot(t, test.cv[cv], ".", ms=2, color="0.55", label=f"{cv} (data)")
        ax.plot(t, fit.prediction, lw=1.2, color="C3", label="model")
        cut = t[int(round(len(t) * 0.8))] if len(t) else 0
        ax.axvline(cut, color="k", lw=0.6, ls=":")
        ax.set_ylabel(cv)
        ax.set_title(f"{cv}: R^2 {fit.r2:.4f}, residual std {fit.resid_std:.3g} "
                     f"(last fifth: R^2 {fit.r2_holdout:.4f})", fontsize=10)
        ax.legend(loc="best", fontsize=8)
        for mv, u in test.mv.items():
            axu.step(t, u, where="post", lw=1, label=mv)
        axu.set_ylabel("MVs")
        axu.set_xlabel("time (s)")
        axu.legend(loc="best", fontsize=8)
        for a in (ax, axu):
            a.grid(True, alpha=0.3)
        fig.tight_layout()
        name = f"fit-{_safe(cv)}.png"
        fig.savefig(os.path.join(folder, name + suffix), dpi=90, format="png")
        plt.close(fig)
        names.append(name)
    return names


def _safe(tag: str) -> str:
    return "".join(ch if ch.isalnum() or ch in "-_." else "_" for ch in str(tag))

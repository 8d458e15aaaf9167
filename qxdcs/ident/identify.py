"""Identification of a model dictionary from a step test: every CV fitted as
the sum of its pairs' responses to all MVs at once (see fit.py, stp.py)."""
import json
import math
import os
import time as _time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence

import numpy as np

from qxdcs.ident.data import IdentError, StepTest, first_values, rows
from qxdcs.ident.fit import CVProblem
from qxdcs.ident.stp import fit_stp
from qxdcs.ident.structures import STRUCTURES, Structure, entry, normalise

STRUCTURE_CHOICES = ("fopdt", "sopdt", "integrating", "auto")
# The part of each CV's rows held out for validation: the last fifth.
HOLDOUT = 0.2


@dataclass
class PairFit:
    """The model of one CV/MV pair and its parameters' standard errors."""
    cv: str
    mv: str
    structure: Optional[Structure]          # None for a step-response ("stp") model
    params: Dict[str, float]                # K, T / T1, T2 (seconds); stp: gain
    se: Dict[str, float]                    # standard errors (NaN: on a bound)
    delay: int                              # dead time in samples (stp: 0)
    Ts: float
    entry: dict

    @property
    def dead_time(self) -> float:
        return self.delay * self.Ts


@dataclass
class CVFit:
    """How well one CV's model reproduces the data."""
    cv: str
    r2: float
    resid_std: float
    r2_holdout: float
    resid_std_holdout: float
    samples: int
    offset: List[float]                     # per segment
    drift: Optional[float]                  # CV units per second, if fitted
    bic: float
    prediction: np.ndarray                  # over every row of the data (NaN outside)


@dataclass
class Identification:
    """A fitted model dictionary with its initial values, the fit of every
    pair and every CV, and the warnings of the fit."""
    model: Dict[str, Dict[str, dict]]
    initial: Dict[str, float]
    Ts: float
    pairs: List[PairFit]
    cvs: Dict[str, CVFit]
    structure: str
    source: str
    samples: int
    segments: int
    seconds: float
    warnings: List[str] = field(default_factory=list)
    data: Optional[StepTest] = None

    def plant(self) -> dict:
        """The plant file: sample period, model dictionary and initial
        values, laid out as the shipped model files (qxdcs/examples/reactor-model.json):
        MIMOSim(plant["model"], plant["initial"], plant["Ts"])."""
        return {"description": f"identified from {self.source} ({self.samples} samples, "
                               f"structure {self.structure})",
                "Ts": self.Ts, "model": self.model, "initial": self.initial}

    def pair(self, cv: str, mv: str) -> PairFit:
        for p in self.pairs:
            if p.cv == cv and p.mv == mv:
                return p
        raise KeyError((cv, mv))


def _snap(ps, h):
    """An integrating pair's lag below a millionth of a sample is no lag:
    written as a pure integrator (den_s [1]), its standard error missing."""
    if ps is not None and ps.structure.integrating and ps.p[1] < 1e-6 * h:
        p = ps.p.copy()
        p[1] = 0.0
        return type(ps)(ps.structure, p, ps.delay)
    return ps


def _stats(y, yhat):
    r = y - yhat
    if len(y) == 0:
        return math.nan, math.nan
    sst = float(np.sum((y - np.mean(y)) ** 2))
    sse = float(r @ r)
    r2 = 1.0 - sse / sst if sst > 0 else math.nan
    return r2, float(np.std(r, ddof=0))


def identify(test: StepTest, structure: str = "auto", stp: Optional[int] = None,
             drift: bool = False, max_delay: Optional[float] = None,
             drop_missing: bool = False) -> Identification:
    """Fit a model dictionary to a step test.

    structure: "fopdt", "sopdt", "integrating" or "auto" (per pair, the
    structure with the lowest BIC, first order unless another lowers it);
    stp: fit step-response models of this many coefficients instead;
    drift: also fit a linear drift of every CV; max_delay: the longest dead
    time searched, in seconds (default a quarter of the record);
    drop_missing: drop rows with a missing value and fit the segments
    between them (each starting at rest) instead of refusing them.
    Raises IdentError for data that cannot be fitted."""
    started = _time.perf_counter()
    if structure not in STRUCTURE_CHOICES:
        raise IdentError(f"unknown structure {structure!r}; valid: "
                         f"{', '.join(STRUCTURE_CHOICES)}")
    h, n = test.Ts, test.samples
    if max_delay is None:
        d_max = max(0, n // 4)
    else:
        if not max_delay >= 0:
            raise IdentError(f"the longest dead time searched must not be negative: "
                             f"{max_delay:g}")
        d_max = int(math.floor(max_delay / h + 1e-9))
    if stp is not None and not (isinstance(stp, int) and stp >= 2):
        raise IdentError(f"a step-response model needs at least 2 coefficients, not {stp}")
    longest = stp if stp is not None else d_max
    if n <= longest:
        what = (f"a step response of {stp} coefficients" if stp is not None else
                f"the longest dead time searched, {d_max} samples ({d_max * h:g} s)")
        raise IdentError(f"{test.source}: {n} samples are not more than {what}; give more "
                         f"data or a shorter {'--stp' if stp is not None else '--max-delay'}")
    for mv, values in test.mv.items():
        finite = values[np.isfinite(values)]
        if len(finite) == 0 or np.ptp(finite) == 0.0:
            raise IdentError(f"{test.source}: MV {mv} never moves; a step test must move "
                             f"every MV given (leave {mv} out of the MVs)")
    warnings: List[str] = []
    model: Dict[str, Dict[str, dict]] = {}
    pairs_out: List[PairFit] = []
    cvs_out: Dict[str, CVFit] = {}
    initial: Dict[str, float] = {}
    seg_count = 0
    mvs = list(test.mv)
    all_segments = {cv: rows(test, cv, drop_missing) for cv in test.cv}
    first_seg = min((s[0] for s in all_segments.values() if s), key=lambda s: s[0],
                    default=None)
    if first_seg is None:
        raise IdentError(f"{test.source}: no row has a value for every MV and CV")
    initial.update(first_values(test, [first_seg]))
    for cv, segments in all_segments.items():
        short = [s for s in segments if s[1] - s[0] < 3]
        segments = [s for s in segments if s[1] - s[0] >= 3]
        if short:
            warnings.append(f"{cv}: {len(short)} segment(s) of fewer than 3 rows left out")
        used = sum(b - a for a, b in segments)
        if used <= longest:
            raise IdentError(f"{test.source}: {cv} has {used} usable rows, not more than "
                             f"{longest} samples searched")
        seg_count = max(seg_count, len(segments))
        y = test.cv[cv]
        active = []
        for mv in mvs:
            moved = any(np.ptp(test.mv[mv][a:b]) > 0.0 for a, b in segments)
            active.append(moved)
            if not moved:
                warnings.append(f"{cv}/{mv}: {mv} never moves in the rows where {cv} is "
                                f"recorded; the pair is left out of the model")
        if not any(active):
            raise IdentError(f"{test.source}: no MV moves in the rows where {cv} is recorded")
        u = {mv: test.mv[mv] for mv in mvs}
        problem = CVProblem(y, u, test.time, segments, h, drift, d_max)
        cut = int(round(problem.N * (1.0 - HOLDOUT)))
        fit_rows = np.arange(problem.N) < cut
        if stp is not None:
            coefs, lin, sse, dof, yhat, _ = fit_stp(problem, active, stp)
            hold = CVProblem(y, u, test.time, segments, h, drift, d_max, fit_rows)
            _, _, _, _, yhat_h, _ = fit_stp(hold, active, stp)
            row = {}
            for j, mv in enumerate(mvs):
                if not active[j]:
                    continue
                c, s = coefs[j]
                row[mv] = {"mode": "stp", "stp": [float(v) for v in c]}
                pairs_out.append(PairFit(cv, mv, None, {"gain": float(c[-1])},
                                         {"gain": float(s[-1])}, 0, h, row[mv]))
            n_eff = problem.N
            bic = n_eff * math.log(max(sse, 1e-300) / n_eff) + dof * math.log(n_eff)
        else:
            pairs, lin, sse, res = problem.fit(active, structure)
            se_all = problem.standard_errors(pairs, res)
            pairs = [_snap(ps, h) for ps in pairs]
            yhat = problem.predict(pairs, lin)
            # The same structures and dead times refitted on the first four
            # fifths, judged on the last fifth.
            hold = CVProblem(y, u, test.time, segments, h, drift, d_max, fit_rows)
            h_pairs, h_lin, _, _ = hold.refine(pairs, lin)
            yhat_h = hold.predict(h_pairs, h_lin)
            row = {}
            k = 0
            for j, mv in enumerate(mvs):
                ps = pairs[j]
                if ps is None:
                    continue
                m = len(ps.p)
                p_raw, se_raw = ps.p, se_all[k:k + m]
                k += m
                p_n = normalise(ps.structure, p_raw)
                se_n = se_raw.copy()
                if ps.structure.name == "sopdt" and p_raw[2] > p_raw[1]:
                    se_n[1], se_n[2] = se_raw[2], se_raw[1]
                names = ps.structure.params
                row[mv] = entry(ps.structure, p_n, ps.delay, h)
                pairs_out.append(PairFit(cv, mv, ps.structure,
                                         {nm: float(v) for nm, v in zip(names, p_n)},
                                         {nm: float(v) for nm, v in zip(names, se_n)},
                                         ps.delay, h, row[mv]))
                for nm, v in zip(names, se_n):
                    no_lag = ps.structure.integrating and nm == "T" and p_n[1] == 0.0
                    if math.isnan(v) and not no_lag:
                        warnings.append(f"{cv}/{mv}: {nm} sits on its bound "
                                        f"({p_n[names.index(nm)]:g}); no standard error")
            bic = problem.bic(pairs, sse)
        model[cv] = row
        offsets = [float(v) for v in lin[:len(segments)]]
        drift_rate = None
        if drift:
            drift_rate = float(lin[len(segments)] / max(problem.t[-1], h))
        initial[cv] = offsets[0]
        r2, sd = _stats(problem.y, yhat)
        r2h, sdh = _stats(problem.y[~fit_rows], yhat_h[~fit_rows])
        full = np.full(n, np.nan)
        start = 0
        for a, b in segments:
            full[a:b] = yhat[start:start + b - a]
            start += b - a
        cvs_out[cv] = CVFit(cv, r2, sd, r2h, sdh, problem.N, offsets, drift_rate, float(bic),
                            full)
    ordered = {tag: initial[tag] for tag in list(test.cv) + mvs if tag in initial}
    return Identification(model, ordered, h, pairs_out, cvs_out,
                          f"stp {stp}" if stp is not None else structure, test.source, n,
                          seg_count, _time.perf_counter() - started, warnings, test)


def simulate(plant: dict, mv: Dict[str, Sequence[float]]) -> Dict[str, np.ndarray]:
    """The plant's CVs over a sequence of MV values, with MIMOSim (one call
    per sample): the model as every simulator of the package runs it."""
    from qxdcs.algorithm.qxProcessSim import MIMOSim

    sim = MIMOSim(plant["model"], dict(plant["initial"]), plant["Ts"])
    n = len(next(iter(mv.values())))
    out = {cv: np.empty(n) for cv in sim.get_cv_list()}
    for k in range(n):
        y = sim({tag: float(v[k]) for tag, v in mv.items()})
        for cv, v in y.items():
            out[cv][k] = v
    return out


def write_json(path: str, obj) -> None:
    """Write JSON to a temporary name beside `path`, then rename it."""
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(obj, f, indent=1)
            f.write("\n")
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)

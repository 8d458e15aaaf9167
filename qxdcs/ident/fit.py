"""Fitting transfer functions with dead time to one CV's step-test data.

A CV is modelled as the sum of its pairs' responses to all MVs at once, plus
one constant offset per segment of data and, optionally, a linear drift:

    y[k] = c_seg + drift * t[k] + sum_j G_j(q) q^-d_j (u_j[k] - u_j[seg start])

where G_j is the zero-order hold of the pair's structure (see structures.py)
and d_j its dead time in whole samples. Each segment starts at rest from the
values in its first row. In this order:

1. Grid: each pair in turn (the other pairs' responses and the offsets as
   regressors with free gains) takes the (time constant, dead time) of a
   grid that explains most of what the others leave; sweeps repeat until no
   pair changes. Dead times from 0 to the longest searched, every sample.
2. Refinement: every parameter of the CV at once by SciPy's least_squares
   (Levenberg-Marquardt on the gains, the logarithms of the time constants
   and the linear part), dead times fixed.
3. Dead-time walk: each pair's dead time one sample up or down, refined as in
   2, kept while the sum of squares falls; repeated until no dead time moves.

`auto` starts from first order everywhere or integrating everywhere,
whichever has the lower Bayesian information criterion, then gives each pair
in turn another structure when that lowers the criterion (the other pairs
placed again beside it); the criterion is BIC = N ln(SSE/N) + p ln N (N residuals, p estimated numbers:
gains, time constants, dead times, offsets, drift). Standard errors come from
the Jacobian at the optimum: s^2 (J^T J)^-1 with s^2 = SSE / (N - p); they
assume white residuals and are reported as missing for a time constant that
sits on its bound. A second-order pair whose smaller time constant falls
below a hundredth of a sample is first order in all but name: `auto` does
not take it.
"""
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
from scipy.fft import irfft, next_fast_len, rfft
from scipy.optimize import least_squares
from scipy.signal import lfilter

from qxdcs.ident.structures import FOPDT, INTEGRATING, SOPDT, Structure, coefficients

# Grid of the first stage, relative to the sample period h and the record.
_GRID_T = 28                      # first-order time constants, geometric
_SOPDT_T1 = (0.5, 0.7, 0.85, 1.0)          # x the first-order time constant
_SOPDT_T2 = (0.03, 0.08, 0.15, 0.3, 0.5)   # x the first-order time constant
_MAX_SWEEPS = 4
_MAX_WALK_ROUNDS = 4
_MAX_WALK_STEPS = 6               # samples one pair's dead time moves in one round
_T_FLOOR = 1e-9                   # x h: the smallest time constant a fit starts from
_HOPELESS = 2.0                  # an alternative's grid SSE over the fitted SSE
_DEGENERATE = 0.01               # x h: a smaller second time constant is none
_LN_STEP = 1e-6                   # forward-difference step of ln T


@dataclass
class PairState:
    """One pair during the fit: its structure, parameters and dead time."""
    structure: Structure
    p: np.ndarray
    delay: int


class CVProblem:
    """One CV's data (its usable segments, concatenated) and the responses of
    candidate pair models on it."""

    def __init__(self, y: np.ndarray, u: Dict[str, np.ndarray], t: np.ndarray,
                 segments: Sequence[Tuple[int, int]], Ts: float, drift: bool,
                 max_delay: int, fit_rows: Optional[np.ndarray] = None):
        self.Ts = Ts
        self.mvs = list(u)
        self.segments = list(segments)
        self.lengths = [b - a for a, b in self.segments]
        self.y = np.concatenate([y[a:b] for a, b in self.segments])
        self.t = np.concatenate([t[a:b] for a, b in self.segments]) - t[0]
        self.du = {mv: [v[a:b] - v[a] for a, b in self.segments] for mv, v in u.items()}
        self.N = len(self.y)
        self.drift = drift
        self.max_delay = max_delay
        # Columns of the linear part: one offset per segment, the drift.
        cols = []
        start = 0
        for n in self.lengths:
            c = np.zeros(self.N)
            c[start:start + n] = 1.0
            cols.append(c)
            start += n
        if drift:
            cols.append(self.t / max(self.t[-1], Ts))
        self.linear = np.column_stack(cols)
        # Rows whose residuals count (all, or the part before a hold-out).
        self.mask = np.ones(self.N, bool) if fit_rows is None else fit_rows
        self.Tmax = 10.0 * Ts * self.N

    # --- responses -------------------------------------------------------------------------

    def response(self, mv: str, structure: Structure, p, delay: int) -> np.ndarray:
        """The pair's response on every row, as the simulators give it."""
        b, a = coefficients(structure, p, self.Ts)
        out = np.empty(self.N)
        start = 0
        for du, n in zip(self.du[mv], self.lengths):
            seg = out[start:start + n]
            d = min(delay, n)
            seg[:d] = 0.0
            if d < n:
                seg[d:] = lfilter(b, a, du[:n - d])
            start += n
        return out

    # --- stage 1: the grid ---------------------------------------------------------------------

    def grid(self, j: int, pairs: List[Optional[PairState]], structure: Structure,
             candidates: Sequence[Sequence[float]], max_shift: int) -> Tuple[PairState, float]:
        """The best (parameters, dead time) of pair j among `candidates` (with
        unit gain) and every dead time up to `max_shift`, the other pairs'
        responses and the offsets as regressors with free gains.

        For a candidate response r (no dead time) delayed by d, the sum of
        squares left is |y0|^2 - (r_d . y0)^2 / (|r_d|^2 - |Q^T r_d|^2), where
        Q spans the other regressors and y0 is y with them projected out. The
        products over every d at once are cross-correlations, computed by FFT
        segment by segment (rows outside the fit count as zero)."""
        cols = [self.linear]
        for i, ps in enumerate(pairs):
            if i != j and ps is not None:
                unit = np.array(ps.p, float)
                unit[0] = 1.0
                cols.append(self.response(self.mvs[i], ps.structure, unit, ps.delay)[:, None])
        w = self.mask.astype(float)
        X0 = np.hstack(cols) * w[:, None]
        y = self.y * w
        g, V = np.linalg.eigh(X0.T @ X0)
        keep = g > g[-1] * 1e-12
        Q = X0 @ (V[:, keep] / np.sqrt(g[keep]))        # orthonormal columns spanning X0
        y0 = y - Q @ (Q.T @ y)
        yy = float(y0 @ y0)
        D = max(0, min(max_shift, self.max_delay, max(self.lengths) - 1))
        B = np.column_stack([y0, Q, w])                 # correlated with r, r, r^2
        transforms, start = [], 0
        for n in self.lengths:
            L = next_fast_len(n + D + 1, real=True)
            transforms.append((start, n, L, rfft(B[start:start + n], L, axis=0)))
            start += n
        best = (np.inf, None, 0, 0.0)
        nq = Q.shape[1]
        for cand in candidates:
            p = np.array(cand, float)
            r0 = self.response(self.mvs[j], structure, p, 0)
            acc = np.zeros((D + 1, nq + 2))
            for start, n, L, SB in transforms:
                seg = r0[start:start + n]
                R = np.conj(rfft(np.column_stack([seg, seg * seg]), L, axis=0))
                prod = np.concatenate([R[:, :1] * SB[:, :nq + 1], R[:, 1:] * SB[:, nq + 1:]],
                                      axis=1)
                acc += irfft(prod, L, axis=0)[:D + 1]
            num, G, energy = acc[:, 0], acc[:, 1:nq + 1], acc[:, nq + 1]
            nrm = energy - np.einsum("ij,ij->i", G, G)
            ok = nrm > 1e-9 * max(float(np.max(energy)), 1e-300)
            if not np.any(ok):
                continue
            sse = np.full(D + 1, np.inf)
            sse[ok] = yy - num[ok] ** 2 / nrm[ok]
            k = int(np.argmin(sse))
            if sse[k] < best[0]:
                best = (float(sse[k]), p, k, float(num[k] / nrm[k]))
        sse, p, d, gain = best
        if p is None:
            raise ValueError("no grid candidate has a response on the data")
        p = p.copy()
        p[0] = gain
        return PairState(structure, p, d), sse

    def first_order_candidates(self):
        h = self.Ts
        top = max(2.0 * h, 0.5 * h * self.N)
        return [(1.0, T) for T in np.geomspace(0.3 * h, top, _GRID_T)]

    def integrating_candidates(self):
        h = self.Ts
        top = max(2.0 * h, 0.05 * h * self.N)
        return [(1.0, 0.0)] + [(1.0, T) for T in np.geomspace(0.3 * h, top, _GRID_T // 2)]

    @staticmethod
    def second_order_candidates(T):
        out = []
        for f1 in _SOPDT_T1:
            for f2 in _SOPDT_T2:
                if f2 <= f1:
                    out.append((1.0, f1 * T, f2 * T))
        return out

    # --- stage 2: refinement ---------------------------------------------------------------------
    #
    # The optimiser works on x: per pair [K, ln T ...], then the linear part.
    # Time constants are positive by construction (MINPACK's Levenberg-
    # Marquardt, which needs no bounds and no BLAS threads on a tall
    # Jacobian); above Tmax a time constant stays at Tmax (reported as on its
    # bound).

    def _to_x(self, pairs, lin):
        parts = []
        for ps in pairs:
            if ps is not None:
                T = np.maximum(np.asarray(ps.p[1:], float), _T_FLOOR * self.Ts)
                parts.append(np.concatenate(([ps.p[0]], np.log(T))))
        return np.concatenate(parts + [np.asarray(lin, float)])

    def _unpack(self, x, pairs):
        out, k = [], 0
        top, bottom = np.log(self.Tmax), np.log(_T_FLOOR * self.Ts)
        for ps in pairs:
            if ps is None:
                out.append(None)
                continue
            n = len(ps.p)
            out.append(np.concatenate(([x[k]], np.exp(np.clip(x[k + 1:k + n], bottom, top)))))
            k += n
        return out, x[k:]

    def _sum(self, pairs):
        total = np.zeros(self.N)
        for i, ps in enumerate(pairs):
            if ps is not None:
                total += self.response(self.mvs[i], ps.structure, ps.p, ps.delay)
        return total

    def predict(self, pairs, lin) -> np.ndarray:
        """The CV on every row: pairs' responses plus the linear part."""
        return self.linear @ np.asarray(lin, float) + self._sum(pairs)

    def _jacobian(self, pairs, x):
        """d(prediction)/dx: gain columns are unit responses, ln T columns a
        forward difference of their own pair's response alone."""
        params, _ = self._unpack(x, pairs)
        cols = []
        for i, (ps, p) in enumerate(zip(pairs, params)):
            if ps is None:
                continue
            unit = np.array(p, float)
            K = unit[0]
            unit[0] = 1.0
            r = self.response(self.mvs[i], ps.structure, unit, ps.delay)
            cols.append(r)
            for m in range(1, len(p)):
                moved = unit.copy()
                moved[m] *= np.exp(_LN_STEP)
                cols.append(K * (self.response(self.mvs[i], ps.structure, moved, ps.delay) - r)
                            / _LN_STEP)
        return np.column_stack(cols + [self.linear]) if cols else self.linear.copy()

    def refine(self, pairs, lin0=None, tol=1e-10):
        """Least squares over every parameter of the CV, dead times fixed.
        Returns (pairs with new parameters, linear part, SSE, result)."""
        if lin0 is None:
            lin0 = self._linear_start(pairs)
        x0 = self._to_x(pairs, lin0)
        mask = self.mask

        def with_params(x):
            params, lin = self._unpack(x, pairs)
            return [None if ps is None else PairState(ps.structure, p, ps.delay)
                    for ps, p in zip(pairs, params)], lin

        def residual(x):
            new, lin = with_params(x)
            return (self.predict(new, lin) - self.y)[mask]

        def jac(x):
            return self._jacobian(pairs, x)[mask]

        # Convergence by the sum of squares alone: a step test's offsets are
        # large beside its gains, so a step test on |x| would stop early.
        res = least_squares(residual, x0, jac=jac, method="lm", x_scale="jac",
                            xtol=1e-14, ftol=tol, gtol=1e-14, max_nfev=60 if tol < 1e-8 else 25)
        new, lin = with_params(res.x)
        sse = float(res.fun @ res.fun)
        return new, np.array(lin), sse, res

    def _linear_start(self, pairs):
        """Offsets (and drift) that best fit what the pairs leave."""
        rest = self.y - self._sum(pairs)
        A = self.linear[self.mask]
        coef = np.linalg.solve(A.T @ A, A.T @ rest[self.mask])
        return coef

    # --- stage 3: the dead-time walk -------------------------------------------------------------

    def walk(self, pairs, lin, sse, only=None):
        """Move dead times one sample at a time while the SSE falls."""
        res = None
        seen = {self._key(pairs)}
        for _ in range(_MAX_WALK_ROUNDS):
            moved = False
            for j, ps in enumerate(pairs):
                if ps is None or (only is not None and j != only):
                    continue
                for direction in (-1, 1):
                    stepped = False
                    for _ in range(_MAX_WALK_STEPS):
                        d = pairs[j].delay + direction
                        if d < 0 or d > self.max_delay:
                            break
                        trial = list(pairs)
                        trial[j] = PairState(pairs[j].structure, pairs[j].p, d)
                        if self._key(trial) in seen:
                            break
                        seen.add(self._key(trial))
                        t_pairs, t_lin, t_sse, t_res = self.refine(trial, lin, tol=1e-6)
                        if t_sse < sse * (1.0 - 1e-12):
                            pairs, lin, sse, res = t_pairs, t_lin, t_sse, t_res
                            moved = stepped = True
                        else:
                            break
                    if stepped:
                        break
            if not moved:
                break
        return pairs, lin, sse, res

    @staticmethod
    def _key(pairs):
        return tuple(None if ps is None else ps.delay for ps in pairs)

    # --- the whole fit ---------------------------------------------------------------------

    def n_params(self, pairs):
        return sum(len(ps.p) + 1 for ps in pairs if ps is not None) + self.linear.shape[1]

    def bic(self, pairs, sse):
        n = int(np.sum(self.mask))
        return n * np.log(max(sse, 1e-300) / n) + self.n_params(pairs) * np.log(n)

    def initial(self, active: Sequence[bool], family: Structure) -> List[Optional[PairState]]:
        """Stage 1 for every active pair, in sweeps until no pair changes."""
        pairs: List[Optional[PairState]] = [None] * len(self.mvs)
        cands = (self.integrating_candidates() if family.integrating
                 else self.first_order_candidates())
        for _ in range(_MAX_SWEEPS):
            changed = False
            for j, on in enumerate(active):
                if not on:
                    continue
                ps, _ = self.grid(j, pairs, INTEGRATING if family.integrating else FOPDT,
                                  cands, self.max_delay)
                old = pairs[j]
                if old is None or old.delay != ps.delay or not np.allclose(old.p[1:], ps.p[1:]):
                    changed = True
                pairs[j] = ps
            if not changed:
                break
        return pairs

    def fit(self, active: Sequence[bool], structure: str):
        """Fit with one structure for every pair ("fopdt", "sopdt",
        "integrating") or "auto". Returns (pairs, linear part, SSE, result)."""
        if structure == "auto":
            # Start from the better of all first order and all integrating.
            starts = [self._uniform(active, s) for s in ("fopdt", "integrating")]
            pairs, lin, sse, _ = min(starts, key=lambda r: self.bic(r[0], r[2]))
        else:
            pairs, lin, sse, _ = self._uniform(active, structure)
            return self.refine(pairs, lin)
        best_bic = self.bic(pairs, sse)
        for _ in range(2):
            changed = False
            for j, on in enumerate(active):
                if not on:
                    continue
                choices = []
                for alt in (FOPDT, INTEGRATING, SOPDT):
                    if alt is pairs[j].structure:
                        continue
                    trial = list(pairs)
                    trial[j], g_sse = self._grid_as(j, trial, alt)
                    if g_sse > _HOPELESS * sse:
                        continue        # far worse on the grid: refining cannot save it
                    t = self.refine(trial, tol=1e-6)
                    t_pairs, t_lin, t_sse, w_res = self.walk(*t[:3], only=j)
                    if alt is SOPDT and min(t_pairs[j].p[1:]) < _DEGENERATE * self.Ts:
                        continue
                    choices.append((self.bic(t_pairs, t_sse), t_pairs, t_lin, t_sse,
                                    w_res or t[3]))
                b = min(choices, key=lambda c: c[0], default=None)
                if b is not None and b[0] < best_bic:
                    _, pairs, lin, sse, res = b
                    # The other pairs were placed beside the old model of this one.
                    r = self._regrid(pairs, active, j)
                    if r is not None and r[2] < sse:
                        pairs, lin, sse, res = r
                    best_bic = self.bic(pairs, sse)
                    changed = True
            if not changed:
                break
        # A second-order pair that a later refinement made first order in all
        # but name becomes first order.
        flat = [j for j, ps in enumerate(pairs) if ps is not None and ps.structure is SOPDT
                and min(ps.p[1:]) < _DEGENERATE * self.Ts]
        if flat:
            for j in flat:
                ps = pairs[j]
                pairs[j] = PairState(FOPDT, np.array([ps.p[0], max(ps.p[1:])]), ps.delay)
        return self.refine(pairs, lin)

    def _uniform(self, active, structure):
        """Grid, refinement and walk with one structure for every pair."""
        if structure == "integrating":
            pairs = self.initial(active, INTEGRATING)
        else:
            pairs = self.initial(active, FOPDT)
            if structure == "sopdt":
                for j, on in enumerate(active):
                    if on:
                        pairs[j], _ = self._grid_as(j, pairs, SOPDT)
        pairs, lin, sse, res = self.refine(pairs, tol=1e-6)
        return self.walk(pairs, lin, sse)

    def _grid_as(self, j, pairs, structure, max_shift=None):
        """Grid stage of pair j in `structure` (second order: around the time
        constant of its present model, dead times up to its present one)."""
        if structure is SOPDT:
            present = pairs[j]
            T = max(present.p[1:]) if len(present.p) > 1 and max(present.p[1:]) > 0 else self.Ts
            return self.grid(j, pairs, SOPDT, self.second_order_candidates(T),
                             present.delay if max_shift is None else max_shift)
        cands = (self.integrating_candidates() if structure.integrating
                 else self.first_order_candidates())
        return self.grid(j, pairs, structure, cands,
                         self.max_delay if max_shift is None else max_shift)

    def _regrid(self, pairs, active, fixed):
        """Every pair but `fixed` placed again by the grid (its structure
        kept), then refined and walked; None when there is no other pair."""
        others = [i for i, on in enumerate(active) if on and i != fixed]
        if not others:
            return None
        pairs = list(pairs)
        for i in others:
            pairs[i], _ = self._grid_as(i, pairs, pairs[i].structure, self.max_delay)
        t = self.refine(pairs, tol=1e-6)
        out = self.walk(*t[:3])
        return out[0], out[1], out[2], out[3] or t[3]

    def standard_errors(self, pairs, res) -> np.ndarray:
        """Standard errors of every parameter of x, time constants converted
        from ln T (se_T = T se_lnT); NaN for a time constant on its bound."""
        J = res.jac
        p = self.n_params(pairs)
        s2 = float(res.fun @ res.fun) / max(J.shape[0] - p, 1)
        w, V = np.linalg.eigh(J.T @ J)
        keep = w > w[-1] * 1e-14
        cov = (V[:, keep] / w[keep]) @ V[:, keep].T * s2
        se = np.sqrt(np.maximum(np.diag(cov), 0.0))
        k = 0
        top, bottom = np.log(self.Tmax), np.log(_T_FLOOR * self.Ts)
        for ps in pairs:
            if ps is None:
                continue
            for m in range(1, len(ps.p)):
                z = res.x[k + m]
                on_bound = z >= top or z <= bottom + 1e-9
                se[k + m] = np.nan if on_bound else se[k + m] * np.exp(z)
            k += len(ps.p)
        return se

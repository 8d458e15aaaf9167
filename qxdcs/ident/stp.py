"""Step-response models ("stp" mode) fitted to step-test data.

The simulators run an "stp" pair as a finite impulse response on the MV's
deviation x: with s the N coefficients (s[i] the output i samples after a
unit step),

    y[k] = sum_{i=0}^{N-2} s[i] (x[k-i] - x[k-i-1]) + s[N-1] x[k-N+1]

so the regressors are the MV's increments over the last N-1 samples and its
level N-1 samples back. All MVs of a CV are fitted at once, with an offset
per segment (and a drift on request), by least squares regularised on the
second difference of each step response (lambda * sum (s[i+1] - 2 s[i] +
s[i-1])^2, a smooth curve); lambda is chosen by generalised cross-validation
over a grid. The noise variance is SSE / (N - trace of the hat matrix).
"""
import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

_LAMBDAS = np.logspace(-6, 3, 19)


def regressors(x_segments, N):
    """The N regressor columns of one MV on every row: increments at lags 0
    to N-2, then the level at lag N-1 (zero before the segment starts)."""
    blocks = []
    for x in x_segments:
        n = len(x)
        pad = np.concatenate((np.zeros(N), x))
        dx = np.diff(pad)                               # increments, length N - 1 + n
        inc = sliding_window_view(dx, n)[::-1][:N - 1]  # row i: lag i
        level = pad[1:1 + n]                            # x[k - (N - 1)]
        blocks.append(np.vstack((inc, level[None, :])).T)
    return np.vstack(blocks)


def fit_stp(problem, active, N):
    """Coefficients of every active pair (N each) and the linear part, the
    SSE, the effective number of parameters, and each coefficient's standard
    error, for a CVProblem."""
    mask = problem.mask
    cols, where = [], []
    for j, mv in enumerate(problem.mvs):
        if active[j]:
            where.append((j, len(cols) * N))
            cols.append(regressors(problem.du[mv], N))
    A = np.hstack(cols + [problem.linear])
    n_stp = len(cols) * N
    y = problem.y[mask]
    Am = A[mask]
    # Second differences of each pair's coefficients; the linear part free.
    D2 = np.diff(np.eye(N), 2, axis=0)
    P = np.zeros((A.shape[1], A.shape[1]))
    for _, start in where:
        P[start:start + N, start:start + N] = D2.T @ D2
    AtA, Aty = Am.T @ Am, Am.T @ y
    n = len(y)
    # One decomposition serves every lambda: with AtA = L L^T and
    # L^-1 P L^-T = U S U^T, (AtA + lambda P)^-1 = W (I + lambda S)^-1 W^T for
    # W = L^-T U, and the hat matrix has trace sum 1 / (1 + lambda s).
    ridge = 1e-10 * np.trace(AtA) / len(AtA)
    L = np.linalg.cholesky(AtA + ridge * np.eye(len(AtA)))
    Li = np.linalg.inv(L)
    S, U = np.linalg.eigh(Li @ P @ Li.T)
    S = np.maximum(S, 0.0)
    W = Li.T @ U
    z = W.T @ Aty
    AW = Am @ W
    scale = 1.0 / max(float(np.median(S[S > 1e-12 * S.max()])) if np.any(S > 0) else 1.0,
                      1e-300)
    best = None
    for lam in _LAMBDAS * scale:
        f = 1.0 / (1.0 + lam * S)
        r = y - AW @ (f * z)
        sse = float(r @ r)
        dof = float(np.sum(f))
        gcv = n * sse / max(n - dof, 1.0) ** 2
        if best is None or gcv < best[0]:
            best = (gcv, lam, f, sse, dof)
    _, lam, f, sse, dof = best
    coef = W @ (f * z)
    s2 = sse / max(n - dof, 1.0)
    se = np.sqrt(np.maximum(np.einsum("ij,j,ij->i", W, f * f, W) * s2, 0.0))
    pairs = {j: (coef[s:s + N], se[s:s + N]) for j, s in where}
    return pairs, coef[n_stp:], sse, dof, A @ coef, lam

"""Demonstration bodies of the modules that carry a ``main()``.

The extension modules call these; they are not part of the public API.
"""
import math


def lead_lag():
    """Draw the lead-lag filter's step responses and a filtered test signal."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError(
            "the lead-lag demonstration needs Matplotlib (pip install matplotlib)") from exc
    import numpy as np

    from qxdcs.algorithm.qxLDLAG import LDLAG, filter_stp

    # Parameter pairs (alpha, tao) and the number of samples.
    alphas = [0, 0.0, 1.2, 1.5, -2.0]
    taos = [0, 5, 10, 15, 5]
    n = 50

    def label(i):
        return f"$\\alpha$ = {alphas[i]}, $\\lambda$ = {taos[i]}"

    def finish(title):
        plt.title(title)
        plt.xlabel("sample")
        plt.grid(True)
        plt.legend()
        plt.show()

    # 1. Continuous step responses.
    t = np.arange(n)
    plt.figure()
    for i in range(5):
        plt.plot(t, filter_stp(n, taos[i], alphas[i], 0.0, 1.0), label=label(i))
    finish("filter_stp: unit-step responses of (alpha*tao*s+1)/(tao*s+1)")

    # 2. LDLAG on a unit step at sample 5 against the continuous curves. A
    # negative lead factor has no LDLAG (alpha must be >= 0): for the last
    # pair only the continuous curve is drawn.
    k0 = 5
    step = np.where(np.arange(n) >= k0, 1.0, 0.0)
    plt.figure()
    plt.plot(t, step, label="unit step")
    for i in range(4):
        plt.plot(t, LDLAG(alphas[i], taos[i], 1).multi_step(step), "--", label=label(i))
    plt.plot(np.arange(k0, n), filter_stp(n - k0, taos[4], alphas[4], 0.0, 1.0), "-.",
             label=f"{label(4)} (continuous)")
    finish("LDLAG: response to a unit step")

    # 3. LDLAG on a signal with steps, a ramp and a ripple.
    m = 160

    def base(k):
        if k < 20:
            return 0.0
        if k < 60:
            return 1.0
        if k < 100:
            return 1.0 - 0.02 * (k - 60)
        return 0.5

    sig = np.array([base(k) + 0.1 * math.sin(0.6 * k) for k in range(m)])
    tm = np.arange(m)
    plt.figure()
    plt.plot(tm, sig, label="original signal")
    for i in range(4):
        fil = LDLAG(alphas[i], taos[i], 1)
        plt.plot(tm, [fil(float(u)) for u in sig], "--", label=label(i))
    finish("LDLAG: filtering a signal")

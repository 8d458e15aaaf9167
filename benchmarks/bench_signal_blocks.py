"""Per-call cost of the rate limiter, anti-windup limiter and constant detector
against the no-op floor, and against the same block written in plain Python."""
from collections import deque

import numpy as np
from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxAntiWindupLimter import AntiWindupLimter
from qxdcs.algorithm.qxConstDetector import ConstDect
from qxdcs.algorithm.qxRateLimit import RateLimit


class PyRateLimit:
    def __init__(self, u_ini, Ts=1):
        self.u_last, self.Ts = float(u_ini), Ts

    def __call__(self, u_end, PRLimPerMin=60, NRLimPerMin=None):
        rise = abs(PRLimPerMin / 60 * self.Ts)
        fall = -rise if NRLimPerMin is None else -abs(NRLimPerMin / 60 * self.Ts)
        d = u_end - self.u_last
        if d >= 0:
            out = self.u_last + rise if d > rise else u_end
        else:
            out = self.u_last + fall if d < fall else u_end
        self.u_last = out
        return float(out)


class PyAntiWindup:
    def __init__(self):
        self._u0 = self._y0 = None

    def __call__(self, u, HI=100, LO=0):
        u = float(u)
        if self._u0 is None:
            self._u0 = u
        if self._y0 is None:
            m = LO if LO > u else u
            self._y0 = HI if HI < m else m
        v = self._y0 + (u - self._u0)
        m = LO if LO > v else v
        y = HI if HI < m else m
        self._u0, self._y0 = u, y
        return y


class PyConstDect:
    def __init__(self):
        self._U_queue = deque()

    def __call__(self, Ut, DectLen=10):
        q = self._U_queue
        q.append(Ut)
        while len(q) < DectLen:
            q.append(Ut)
        while len(q) > DectLen:
            q.popleft()
        return np.all(np.abs(np.diff(q, prepend=q[0])) < 1e-6)


def main():
    noop = floor.Noop()
    rl, awl, cd = RateLimit(0.0), AntiWindupLimter(), ConstDect()
    prl, pawl, pcd = PyRateLimit(0.0), PyAntiWindup(), PyConstDect()
    env = dict(floor=floor, noop=noop, rl=rl, awl=awl, cd=cd, prl=prl, pawl=pawl, pcd=pcd)

    floor_bare = ns_per_call("floor.noop()", env)
    floor_one = ns_per_call("noop(50.0)", env)
    # Targets alternate so that the limiters keep limiting, not just pass through.
    cases = [
        ("RateLimit(u_end)", "rl(50.0); rl(-50.0)", 2),
        ("RateLimit(u_end, 10.0, -20.0)", "rl(50.0, 10.0, -20.0); rl(-50.0, 10.0, -20.0)", 2),
        ("AntiWindupLimter(u)", "awl(150.0); awl(-50.0)", 2),
        ("AntiWindupLimter(u, 80.0, 20.0)", "awl(150.0, 80.0, 20.0); awl(-50.0, 80.0, 20.0)", 2),
        ("ConstDect(Ut) (window 10)", "cd(1.0); cd(1.0)", 2),
        ("ConstDect(Ut, 1000) (window 1000)", "cd(1.0, 1000); cd(2.0, 1000)", 2),
    ]
    python = {
        "RateLimit(u_end)": "prl(50.0); prl(-50.0)",
        "AntiWindupLimter(u)": "pawl(150.0); pawl(-50.0)",
        "ConstDect(Ut) (window 10)": "pcd(1.0); pcd(1.0)",
    }
    rows = [("no-op native call, no arguments", floor_bare),
            ("no-op native callable, one float", floor_one)]
    ours = {}
    for name, stmt, per in cases:
        ours[name] = ns_per_call(stmt, env) / per
        rows.append((name, ours[name]))
    theirs = {}
    for name, stmt in python.items():
        theirs[name] = ns_per_call(stmt, env, number=20_000 if "ConstDect" in name else 200_000) / 2
        rows.append(("plain Python " + name, theirs[name]))
    report("Signal blocks, per call", rows, floor_one)
    for name, ns in ours.items():
        print(f"  {name:<36s} / no-op callable : {ns / floor_one:5.2f}x   / bare no-op : {ns / floor_bare:5.2f}x")
    for name, ns in theirs.items():
        print(f"  plain Python / ours, {name:<26s}: {ns / ours[name]:6.1f}x faster")


if __name__ == "__main__":
    main()

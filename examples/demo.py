"""Closed-loop demonstration: a PID controller on a first-order process with dead time."""
from collections import deque

from qxdcs.algorithm.qxPIDControl import PID


def main() -> None:
    ts = 1.0
    gain, tau, dead = 2.0, 20.0, 3  # process: 2 e^(-3s) / (20 s + 1)
    pid = PID(TS=ts)
    pid.setPIDParam(KP=1.2, TI=20.0, TD=0.0, N=10.0)
    pid.setOPHighLowLimit(100.0, 0.0)

    pv, op, sp = 0.0, 0.0, 0.0
    pipe = deque([0.0] * dead)
    a = tau / (tau + ts)
    print(f"{'k':>4} {'SP':>8} {'PV':>8} {'OP':>8}")
    for k in range(121):
        if k == 10:
            sp = 40.0
        mode = 0 if k < 5 else 1          # start in manual, then automatic
        op = pid.run(mode, sp, pv, op)
        pipe.append(op)
        pv = a * pv + (1.0 - a) * gain * pipe.popleft()
        if k % 10 == 0:
            print(f"{k:4d} {sp:8.3f} {pv:8.3f} {op:8.3f}")


if __name__ == "__main__":
    main()

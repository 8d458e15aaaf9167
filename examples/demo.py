"""Closed-loop demonstration: a measurement filter, a PID controller and a rate
limiter on its output, controlling a simulated first-order process with dead time.

Each block is called once per sample period, in the order a control application
calls them: filter the measurement, run the controller, limit the output's rate.
"""
from qxdcs.algorithm.qxcommon import c2d
from qxdcs.algorithm.qxFilter import sFilter, zFilter
from qxdcs.algorithm.qxPIDControl import PID
from qxdcs.algorithm.qxRateLimit import RateLimit

TS = 1.0  # sample period, s


def main() -> None:
    # Process 2 e^(-3s) / (20 s + 1), discretised with its dead time.
    num, den = c2d([2.0], [20.0, 1.0], 3.0, TS)
    process = zFilter(num, den, u_ini=0.0, y_ini=0.0)

    pv_filter = sFilter([1.0], [2.0, 1.0], TS)       # 2 s lag on the measurement
    pid = PID(TS=TS)
    pid.setPIDParam(KP=0.8, TI=18.0, TD=0.0, N=10.0)
    pid.setOPHighLowLimit(100.0, 0.0)
    ramp = RateLimit(0.0, TS)                        # output moves at most 300 %/min

    pv = op = 0.0
    print(f"{'k':>4} {'SP':>8} {'PV':>8} {'OP':>8}")
    for k in range(151):
        sp = 40.0 if k >= 10 else 0.0
        mode = 1 if k >= 5 else 0                    # manual first, then automatic
        pv_f = pv_filter(pv)
        op = ramp(pid.run(mode, sp, pv_f, op), 300.0, -300.0)
        pv = process(op)
        if k % 10 == 0:
            print(f"{k:4d} {sp:8.3f} {pv:8.3f} {op:8.3f}")


if __name__ == "__main__":
    main()

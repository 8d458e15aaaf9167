"""The strategy runner per sample on the reactor (qxdcs/examples/reactor.toml),
against a hand-written Python loop over the same blocks and against the
no-op floor, in one run.

The hand-written loop is what a careful engineer writes for this reactor:
the blocks built once, their bound methods in local names, the schedules and
the noise drawn in advance, one tuple of values recorded per sample. It takes
its numbers (tunings, seeds, schedules) from the same plan, and the script
checks that it gives the runner's traces bit for bit, so the two do the same
work. Only running is timed, not building.
"""
import contextlib
import io
import os
import sys
import time

import numpy as np

from _harness import floor, ns_per_call, report

from qxdcs import strategy
from qxdcs.algorithm.qxLDLAG import LDLAG
from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
from qxdcs.algorithm.qxPIDControl import PID
from qxdcs.algorithm.qxProcessSim import MIMOSim
from qxdcs.algorithm.qxRateLimit import RateLimit
from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate
from qxdcs.algorithm.qxTrigger import TONtrigger
from qxdcs.strategy.engine import LabSampler
from qxdcs.strategy.models import scale_gains
from qxdcs.strategy.plan import held_values

REACTOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "qxdcs",
                       "examples", "reactor.toml")
RUNS = 15


def steps_by_key(plan):
    return {s.key: s for s in plan.schedules + plan.steps}


def noise(step, n):
    p = step.params
    return (np.random.default_rng(list(p["seed"])).normal(0.0, p["sigma"], n)
            + p.get("mean", 0.0)).tolist()


def hand_written(plan):
    """The reactor's loop written out by hand; returns run(n) -> traces."""
    n, ts = plan.samples, plan.sample_period
    by = steps_by_key(plan)
    ini = plan.plant.initial
    t = np.arange(n) * ts

    def sched(key):
        p = by[key].params
        if "points" in p:
            pts = p["points"]
            return np.interp(t, [a for a, _ in pts], [b for _, b in pts]).tolist()
        return held_values(p["initial"], p["at"], n, ts).tolist()

    pid_steps = [s for s in plan.steps if s.kind == "pid"]
    lab_step = next(s for s in plan.steps if s.kind == "lab_value")
    lab_time = next(s for s in plan.schedules if s.kind == "lab_time").params
    bias_step = next(s for s in plan.steps if s.kind == "bias_update").params
    quality = by["signal.quality"].params
    predict = by["signal.quality_prediction"].params
    ll = by["loop.TI101.feedforward"].params
    rate = by["loop.AI201.sp_rate_per_min"].params

    def build():
        plant = LPVPlantSim(dict(ini))
        for j, lm in enumerate(plan.plant.locals):
            plant.addPlant(j, lm.working_point, scale_gains(lm.model, lm.gain), int(ts))
        pids = []
        for s in pid_steps:
            p = s.params
            pid = PID(ts)
            pid.setPIDParam(p["KP"], p["TI"], p["TD"], p["N"])
            pid.setOPHighLowLimit(p["op_high"], p["op_low"])
            pids.append(pid)
        timer = TONtrigger()
        timer.DT = by["alarm.TI101_deviation"].params["samples"]
        return dict(
            plant=plant, pid1=pids[0], pid2=pids[1], timer=timer,
            ldlag=LDLAG(ll["alpha"], ll["tao_s"], int(ts), ll["u_ini"], ll["u_ini"]),
            ramp=RateLimit(rate["u_ini"], ts),
            mq=MIMOSim(quality["model"], quality["ini"], int(ts)),
            mp=MIMOSim(predict["model"], predict["ini"], int(ts)),
            lab=LabSampler(lab_step.params["every"], lab_step.params["delay"],
                           noise(lab_step, n // lab_step.params["every"] + 2),
                           lab_step.params["initial"]),
            soft=SoftSensorBiasUpdate(bias_step["name"], bias_step["filter_tao"],
                                      bias_step["abs_threshold"], bias_step["prd_len"],
                                      bias_step["const_len"]))

    THR, TI300A, LOAD = sched("signal.throughput"), sched("signal.TI300_actual"), \
        sched("signal.LOAD")
    AGE, SP1, SP2T = sched("signal.catalyst_ageing"), sched("loop.TI101.sp"), \
        sched("loop.AI201.sp")
    N300 = noise(by["signal.TI300"], n)
    N1, N2 = noise(by["loop.TI101.measurement_noise"], n), \
        noise(by["loop.AI201.measurement_noise"], n)
    M1 = [int(m) for m in held_values(pid_steps[0].params["mode"],
                                      pid_steps[0].params["mode_changes"], n, ts)]
    M2 = [int(m) for m in held_values(pid_steps[1].params["mode"],
                                      pid_steps[1].params["mode_changes"], n, ts)]
    k = np.arange(n)
    every, delay = lab_time["every"], lab_time["delay"]
    LT = (plan.start + np.where(k >= delay, ((k - delay) // every) * every, -every) * ts).tolist()
    PT = [plan.start + i * ts for i in range(n)]
    FFG, FFC = ll["gain"], ll["offset"]
    UP, DOWN = rate["rise_per_min"], rate["fall_per_min"]
    BAND = by["alarm.TI101_deviation"].params["band"]

    def run(blocks):
        plant, pid1, pid2 = blocks["plant"], blocks["pid1"].run, blocks["pid2"].run
        timer, tcall = blocks["timer"], blocks["timer"].call
        ldlag, ramp = blocks["ldlag"], blocks["ramp"]
        mq, mp, lab, soft = blocks["mq"], blocks["mp"], blocks["lab"], blocks["soft"].run
        rows = []
        rec = rows.append
        ti, ai = ini["TI101"], ini["AI201"]
        fv1, fv2 = ini["FV101"], ini["FV201"]
        u = {"FV101": fv1, "FV201": fv2, "TI300": ini["TI300"], "LOAD": ini["LOAD"]}
        uq = {"AI201": ai, "TI101": ti, "catalyst_ageing": 0.0}
        up = {"AI201": ai, "TI101": ti}
        for k in range(n):
            thr, ti300a, load, age, sp1, sp2t = THR[k], TI300A[k], LOAD[k], AGE[k], SP1[k], \
                SP2T[k]
            ti300 = ti300a + N300[k]
            uq["AI201"] = ai
            uq["TI101"] = ti
            uq["catalyst_ageing"] = age
            q = mq(uq)["quality"]
            up["AI201"] = ai
            up["TI101"] = ti
            pred = mp(up)["quality_prediction"]
            pv1 = ti + N1[k]
            ff = FFG * ldlag(ti300) + FFC
            fv1 = pid1(M1[k], sp1, pv1, fv1, ff)
            sp2 = ramp(sp2t, UP, DOWN)
            pv2 = ai + N2[k]
            fv2 = pid2(M2[k], sp2, pv2, fv2, 0.0)
            timer.Ut = 1 if abs(sp1 - pv1) > BAND else 0
            tcall()
            alarm = timer.Yt
            lv = lab(k, q)
            lt = LT[k]
            bias = soft(pred, lv, lt, PT[k])
            rec((ti, ai, fv1, fv2, ti300, load, thr, ti300a, age, q, pred, sp1, pv1, ff,
                 sp2t, sp2, pv2, alarm, lv, lt, bias, pred + bias, 0.0))
            u["FV101"] = fv1
            u["FV201"] = fv2
            u["TI300"] = ti300
            u["LOAD"] = load
            y = plant(thr, u)
            ti, ai = y["TI101"], y["AI201"]
        return np.array(rows)

    return build, run


def best_per_sample(make, go, n):
    """Best time per sample over RUNS runs, each on freshly built blocks."""
    best = float("inf")
    for _ in range(RUNS):
        built = make()
        with contextlib.redirect_stdout(io.StringIO()):
            started = time.perf_counter()
            out = go(built)
            elapsed = time.perf_counter() - started
        best = min(best, elapsed / n)
    return best * 1e9, out


def main():
    plan = strategy.make_plan(strategy.load(REACTOR))
    n = plan.samples
    build, hand = hand_written(plan)

    runner_ns, result = best_per_sample(lambda: strategy.Engine(plan), lambda e: e.run(), n)
    hand_ns, rows = best_per_sample(build, hand, n)
    # The same work: the hand-written loop gives the runner's traces bit for bit.
    traces = np.column_stack([result.traces[s] for s in plan.signals])
    same = np.array_equal(traces[:, :-1], rows[:, :-1])
    if not same:
        sys.exit("the hand-written loop and the runner disagree: the comparison is void")

    env = {"floor": floor}
    floor_ns = ns_per_call("floor.noop()", env)
    steps = len(plan.steps) + sum(1 for s in plan.schedules if s.kind != "constant") + 1
    rows_ = [("no-op native call, no arguments", floor_ns),
             (f"hand-written loop, per sample ({steps} steps)", hand_ns),
             ("strategy runner (Engine.run), per sample", runner_ns)]
    report(f"Reactor strategy, {n} samples per run, best of {RUNS} runs", rows_, floor_ns)
    print(f"  runner / hand-written loop              : {runner_ns / hand_ns:6.3f}x")
    print(f"  runner beyond the hand-written loop     : {runner_ns - hand_ns:6.0f} ns per sample")
    print(f"  traces identical                        : {same}")


if __name__ == "__main__":
    main()

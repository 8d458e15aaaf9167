"""Record the fixtures of the C++ tests from the Python side.

Every fixture file in tests/cpp/fixtures/ is written by this script from the
installed package (qxdcs.algorithm) and SciPy: coefficients that SciPy
computes, and outputs of the Python blocks over fixed input sequences. The
C++ tests compare the library with them (bit for bit where the arithmetic is
the same, to 1e-12 where the C++ side discretises by itself).

    python tests/cpp/record_fixtures.py          # rewrites tests/cpp/fixtures/*.txt

File format: one record per line, "<name> <value> <value> ...", values as
Python's float.hex() writes them (exact; C++ reads them with strtod); lines
starting with "#" are comments.
"""
import contextlib
import io
import math
import pathlib
import sys

import numpy as np
from scipy import signal

from qxdcs.algorithm import qxcommon
from qxdcs.algorithm.qxFilter import sFilter, zFilter
from qxdcs.algorithm.qxLDLAG import LDLAG
from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
from qxdcs.algorithm.qxPIDControl import PID
from qxdcs.algorithm.qxProcessSim import MIMOSim
from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate
from qxdcs.algorithm.qxTestSignal import TestSignal

HERE = pathlib.Path(__file__).resolve().parent / "fixtures"


class Fixture:
    def __init__(self, name, about):
        self.path = HERE / name
        self.lines = [f"# {about}", "# written by tests/cpp/record_fixtures.py: do not edit"]

    def put(self, key, values):
        if np.isscalar(values):
            values = [values]
        self.lines.append(" ".join([key] + [float(v).hex() for v in values]))

    def write(self):
        HERE.mkdir(exist_ok=True)
        tmp = self.path.with_suffix(".tmp")
        tmp.write_text("\n".join(self.lines) + "\n", encoding="ascii")
        tmp.replace(self.path)
        print(f"{self.path.relative_to(HERE.parent.parent.parent)}: {len(self.lines)} lines")


# --- models ---------------------------------------------------------------------------------

def square_model(n, seed=0):
    """n CVs x n MVs of K / ((T1 s + 1)(T2 s + 1)) with 0 to 6 s of dead time."""
    rng = np.random.default_rng(seed)
    model = {}
    for i in range(n):
        row = {}
        for j in range(n):
            t1, t2 = rng.uniform(2.0, 30.0, 2)
            row[f"MV{j + 1}"] = {"mode": "tf_s", "num_s": [float(rng.uniform(-2.0, 2.0))],
                                 "den_s": [t1 * t2, t1 + t2, 1.0],
                                 "iodelay_s": int(rng.integers(0, 7))}
        model[f"CV{i + 1}"] = row
    return model


EXAMPLE = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7],
                    "iodelay_z": 0, "IntegralMark": 0}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp",
                    "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2,
                    "IntegralMark": 1}},
    "CV3": {"MV3": {"mode": "stpxy", "x": [0, 2.5, 6], "y": [0, 5, 4]},
            "MV4": {"mode": "tf_z", "num_z": [0.2], "den_z": [2, -1.6], "iodelay_z": 3,
                    "IntegralMark": 1}},
}
EXAMPLE_INI = {"CV1": 10.0, "CV2": -3.0, "MV1": 1.0, "MV3": 0.5, "MV4": -2.0}


def put_elements(f, prefix, sim):
    """The discrete coefficients of every pair, as the Python module built them."""
    for i, cv in enumerate(sim.cv_list):
        for j, mv in enumerate(sim.mv_list):
            e = sim.yu_model_obj[cv][mv]
            if hasattr(e, "Gz_num"):
                f.put(f"{prefix}.{i}.{j}.Gz_num", e.Gz_num)
                f.put(f"{prefix}.{i}.{j}.Gz_den", e.Gz_den)


def mv_schedule(n_mv, steps, seed):
    """MV values for every sample: steps of random height every few samples."""
    rng = np.random.default_rng(seed)
    u = np.zeros((steps, n_mv))
    level = np.zeros(n_mv)
    for k in range(steps):
        if k % 7 == 1:
            level = rng.uniform(-3.0, 3.0, n_mv)
        u[k] = level
    return u


# --- the fixture files ----------------------------------------------------------------------

def c2d_cases():
    f = Fixture("c2d.txt", "qxcommon.c2d (SciPy's cont2discrete, zero-order hold) of "
                "continuous transfer functions with dead time: case.N.{num,den,delay,Ts} in, "
                "case.N.{Gd_num,Gd_den} out")
    cases = [([1], [1, 1], 2, 1), ([4.05], [50, 1], 25, 1), ([0, 5.39], [50, 1], 17, 1),
             ([0, 1], [20, 1, 0], 2, 1), ([1, 2], [1, 6, 11, 6], 0, 0.5),
             ([2, 1], [1, 3], 0, 1), ([2], [1], 0, 1), ([0, 0, 2], [3, 1], 1, 2),
             ([1], [0, 2, 1], 0, 1), ([10, 1], [5, 1], 0, 1), ([1], [1, 2, 1], 2.5, 1),
             ([1], [1, 2, 1], 3.5, 1), ([1], [1, 2, 1], 2.4999, 1), ([1], [1, 2, 1], 2.5001, 1),
             ([1, 0.5], [0.5, 3, 2, 1], 7, 0.25), ([-0.8], [20, 1], 3, 1),
             ([1.5], [600, 50, 1], 4, 10)]
    for entry in square_model(5, seed=3).values():
        for m in entry.values():
            cases.append((m["num_s"], m["den_s"], m["iodelay_s"], 1))
    for k, (num, den, delay, ts) in enumerate(cases):
        gd_num, gd_den = qxcommon.c2d(num, den, delay, ts)
        f.put(f"case.{k}.num", num)
        f.put(f"case.{k}.den", den)
        f.put(f"case.{k}.delay", delay)
        f.put(f"case.{k}.Ts", ts)
        f.put(f"case.{k}.Gd_num", gd_num)
        f.put(f"case.{k}.Gd_den", gd_den)
    f.put("cases", len(cases))
    f.write()


def filter_cases():
    f = Fixture("filters.txt", "zFilter, sFilter and LDLAG over fixed inputs: "
                "coefficients as Python built them, outputs per sample, final state")
    rng = np.random.default_rng(7)
    u = np.concatenate([np.zeros(3), np.ones(20), rng.normal(0.0, 2.0, 40), [1e3, -1e-3]])
    f.put("u", u)
    zcases = [([0, 0.1], [1, -0.9], None, None), ([0.5, 0.2, -0.1], [2, -1.1, 0.3], 1.0, -2.0),
              ([2], [1], None, 3.0), ([1, 2, 3, 4], [1], 0.5, None),
              ([0.1, 0.3], [1, -1.2, 0.5, -0.06], None, None)]
    for k, (b, a, u0, y0) in enumerate(zcases):
        zf = zFilter(b, a, u0, y0)
        f.put(f"z.{k}.Bz", b)
        f.put(f"z.{k}.Az", a)
        f.put(f"z.{k}.op", [math.nan if u0 is None else u0, math.nan if y0 is None else y0])
        f.put(f"z.{k}.y", [zf(x, 0.25) for x in u])
        f.put(f"z.{k}.zi", zf._zi)
        block = zFilter(b, a, u0, y0)
        if len(a) > 1:  # block runs of recursive filters agree bit for bit
            f.put(f"z.{k}.block", np.concatenate([block.run_multistep(u[:10].tolist(), 0.25),
                                                  block.run_multistep(u[10:].tolist())]))
    f.put("zcases", len(zcases))
    scases = [([1], [5, 1], 1), ([2, 1], [3, 4, 1], 0.5), ([1], [1, 0.7, 0.2, 0.01], 2)]
    for k, (bs, as_, ts) in enumerate(scases):
        sf = sFilter(bs, as_, ts)
        f.put(f"s.{k}.Bs", bs)
        f.put(f"s.{k}.As", as_)
        f.put(f"s.{k}.Ts", ts)
        f.put(f"s.{k}.Bz", sf._zfilter._Bz)
        f.put(f"s.{k}.Az", sf._zfilter._Az)
        f.put(f"s.{k}.y", [sf(x) for x in u])
    f.put("scases", len(scases))
    # LDLAG with parameter changes while it runs.
    lcases = [(0.0, 5.0, 1), (0.5, 5.0, 1), (2.0, 10.0, 2), (1.0, 0.0, 1)]
    for k, (alpha, tao, ts) in enumerate(lcases):
        ld = LDLAG(alpha, tao, ts)
        f.put(f"ld.{k}.params", [alpha, tao, ts])
        ys, bs, as_ = [], [], []
        for n, x in enumerate(u):
            if n == 30:
                ld.tao = tao + 3.0
                bs.append(ld._b)
                as_.append(ld._a)
            if n == 45:
                ld.alpha = alpha + 0.25
                bs.append(ld._b)
                as_.append(ld._a)
            ys.append(ld(x))
        f.put(f"ld.{k}.y", ys)
        first = LDLAG(alpha, tao, ts)
        f.put(f"ld.{k}.b", first._b)
        f.put(f"ld.{k}.a", first._a)
        f.put(f"ld.{k}.b30", bs[0])
        f.put(f"ld.{k}.a30", as_[0])
        f.put(f"ld.{k}.b45", bs[1])
        f.put(f"ld.{k}.a45", as_[1])
    f.put("lcases", len(lcases))
    f.write()


def pid_cases():
    f = Fixture("pid.txt", "PID.run over a fixed schedule of (MODE, SP, PV, TV, FF), with "
                "tuning and limit changes: each step's output and record")
    rng = np.random.default_rng(11)
    pid = PID(TS=0.5)
    pid.setPIDParam(KP=2.5, TI=12.0, TD=3.0, N=8.0)
    pid.setOPHighLowLimit(80.0, 5.0)
    n = 0
    for k in range(120):
        mode = 0.0 if k < 5 or 60 <= k < 64 else 1.0
        sp = 50.0 if k < 30 else 62.5
        pv = 40.0 + 0.2 * k + float(rng.normal(0.0, 0.5))
        tv = 30.0 if k < 62 else 150.0
        ff = 0.0 if k < 80 else 3.0 + 0.1 * (k - 80)
        if k == 90:
            pid.setPIDParam(KP=-1.0, TI=0.0, TD=0.0, N=10.0)
        if k == 100:
            pid.setPIDParam(KP=0.7, TI=7.0, TD=1.0, N=0.0)
        op = pid.run(mode, sp, pv, tv, ff)
        r = pid.getInnerSaveState()
        f.put(f"step.{k}.in", [mode, sp, pv, tv, ff])
        f.put(f"step.{k}.out", [op, r["OP"], r["OPcal"], r["dOP"], r["dOP_P"], r["dOP_I"],
                                r["dOP_D"], r["dFF"]])
        n += 1
    f.put("steps", n)
    f.put("tuning.90", [-1.0, 0.0, 0.0, 10.0])
    f.put("tuning.100", [0.7, 7.0, 1.0, 0.0])
    f.write()


def process_sim_cases():
    f = Fixture("process_sim.txt", "MIMOSim over fixed MV schedules: the example model "
                "(every kind of element) and the 20 x 20 model of second-order pairs with "
                "dead times; each pair's discrete coefficients as Python built them, the "
                "outputs of every sample")
    for name, model, ini, steps, seed in [("ex", EXAMPLE, EXAMPLE_INI, 80, 1),
                                          ("sq", square_model(20), {}, 60, 2)]:
        sim = MIMOSim(model, ini, 1)
        f.put(f"{name}.size", [len(sim.cv_list), len(sim.mv_list)])
        f.put(f"{name}.u_ini", [ini.get(t, 0.0) for t in sim.mv_list])
        f.put(f"{name}.y_ini", [ini.get(t, 0.0) for t in sim.cv_list])
        put_elements(f, name, sim)
        if name == "sq":
            for i, cv in enumerate(sim.cv_list):
                for j, mv in enumerate(sim.mv_list):
                    m = model[cv][mv]
                    f.put(f"sq.{i}.{j}.entry", [m["num_s"][0], *m["den_s"], m["iodelay_s"]])
        u = mv_schedule(len(sim.mv_list), steps, seed)
        for k in range(steps):
            v = {sim.cv_list[0]: 0.5} if k % 11 == 5 else {}
            y = sim(dict(zip(sim.mv_list, u[k].tolist())), v)
            f.put(f"{name}.u.{k}", u[k])
            f.put(f"{name}.v.{k}", [v.get(t, 0.0) for t in sim.cv_list])
            f.put(f"{name}.y.{k}", [y[t] for t in sim.cv_list])
        f.put(f"{name}.steps", steps)
    f.write()


def lpv_cases():
    f = Fixture("lpv_plant.txt", "LPVPlantSim of three local plants (the example model "
                "scaled) over a fixed schedule of working values and MV values: each "
                "plant's coefficients, the outputs and the weights of every sample")
    ini = {"CV1": 10.0, "CV2": -3.0, "MV1": 1.0, "MV2": 0.5}
    base = {"CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 5},
                    "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]}},
            "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1],
                            "iodelay_s": 3},
                    "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0.5, 0.5, 2]}}}
    lpv = LPVPlantSim(ini)
    for pid_, wp, gain in [(1, 10.0, 1.0), (2, 40.0, 1.7), (3, 20.0, 0.6)]:
        model = {cv: {mv: dict(m) for mv, m in row.items()} for cv, row in base.items()}
        model["CV1"]["MV1"]["num_s"] = [4.05 * gain]
        model["CV2"]["MV1"]["num_s"] = [0, 5.39 * gain]
        lpv.addPlant(pid_, wp, model, 1)
    for k, p in enumerate(lpv.plant_list):
        f.put(f"plant.{k}", [p.plant_id, p.working_point])
        put_elements(f, f"plant.{k}", p.plant)
    rng = np.random.default_rng(5)
    steps = 60
    for k in range(steps):
        w = float(rng.uniform(0.0, 50.0)) if k % 4 else [10.0, 20.0, 40.0, 30.0, 5.0][k // 4 % 5]
        u = {"MV1": float(rng.uniform(-2, 2)), "MV2": float(rng.uniform(-1, 1))}
        v = {"CV2": 0.25} if k % 9 == 4 else {}
        y = lpv(w, u, v)
        f.put(f"in.{k}", [w, u["MV1"], u["MV2"], v.get("CV2", 0.0)])
        f.put(f"y.{k}", [y["CV1"], y["CV2"]])
        f.put(f"weight.{k}", list(lpv.get_current_plant_weight_dict().values()))
    f.put("steps", steps)
    f.write()


def soft_sensor_cases():
    f = Fixture("soft_sensor.txt", "SoftSensorBiasUpdate over a fixed schedule of "
                "predictions and late laboratory results: the bias filter's coefficients "
                "as Python built them, the returned value, raw bias and flag of every call")
    bias = SoftSensorBiasUpdate("s1", filter_tao=4, const_len=2, prd_len=50)
    f.put("filter", [bias._fil._zfilter._Bz[0], bias._fil._zfilter._Bz[1],
                     bias._fil._zfilter._Az[0], bias._fil._zfilter._Az[1]])
    rng = np.random.default_rng(9)
    t0 = 1.7e9
    lab, lab_time = 2.0, t0 - 3000.0
    steps = 90
    with contextlib.redirect_stdout(io.StringIO()):
        for k in range(steps):
            prd_time = t0 + 60.0 * k
            prd = 2.0 + 0.01 * k + float(rng.normal(0.0, 0.02))
            if k in (10, 30, 55, 70):
                lab, lab_time = 2.0 + 0.3 * k / 10, prd_time - 600.0 - 30.0 * (k % 3)
            trigger = 1.0 if k == 40 else (0.2 if k == 41 else None)
            out = bias.run(prd, lab, lab_time, prd_time=prd_time, update_trigger=trigger)
            f.put(f"in.{k}", [prd, lab, lab_time, prd_time,
                              math.nan if trigger is None else trigger])
            f.put(f"out.{k}", [out, bias.get_bias(), float(bias.get_update_flag()),
                               bias.get_prd_data_at_labtime()])
    f.put("steps", steps)
    f.write()


def test_signal_cases():
    f = Fixture("test_signal.txt", "TestSignal tables for given seeds (NumPy's legacy "
                "generator) and outputs at given times")
    for seed in (0, 1, 12345, 4294967295):
        ts = TestSignal(seed)
        f.put(f"seed.{seed}.head", ts._rand_arr[:40])
        f.put(f"seed.{seed}.sum", [float(np.sum(ts._rand_arr * 100))])
        ts.set_ET(7)
        ts.set_amplitude(2.5)
        for t in (0, 13, 14, 140000, 1700000123, -5):
            f.put(f"seed.{seed}.t.{t}", list(ts(t)))
    f.write()


# Strategy files without random noise, the changes that take the noise out
# of the shipped examples (the C++ side makes the same in code), and the
# samples to run (None: the file's).
STRATEGY_FILES = {
    "kinds": (HERE / "strategy_kinds.toml", {}, None),
    "lpv": (HERE / "strategy_lpv.toml", {}, None),
    "reactor": (HERE.parent.parent.parent / "qxdcs" / "examples" / "reactor.toml",
                {"signal.TI300.sigma": 0.0, "loop.TI101.measurement_noise": 0.0,
                 "loop.AI201.measurement_noise": 0.0, "soft_sensor.AI201_quality.lab_noise": 0.0},
                None),
    "column": (HERE.parent.parent.parent / "qxdcs" / "examples" / "column.toml",
               {"signal.F_measured.sigma": 0.0, "signal.feed_composition_drift.sigma": 0.0,
                "loop.XD.measurement_noise": 0.0, "loop.XB.measurement_noise": 0.0,
                "alarm.XB_high.signal": "XB"}, 600),
}


TRACE_STEP = 3


def strategy_cases():
    from qxdcs import strategy
    f = Fixture("strategy.txt", "Traces of strategy files without noise on the Python "
                "engine (every signal at every third sample, lab recorders not running), the start "
                "of each run's clock, and SeedSequence states")
    for case, (path, changes, samples) in STRATEGY_FILES.items():
        plan = strategy.make_plan(strategy.load(str(path)).replace(changes), samples=samples)
        with contextlib.redirect_stdout(io.StringIO()):
            result = strategy.run(plan, engine="python")
        f.put(f"{case}.n_signals", [len(plan.signals)])
        f.put(f"{case}.samples", [plan.samples])
        f.put(f"{case}.start", [plan.start])
        for name in plan.signals:        # every third sample
            f.put(f"{case}.{name}", result.traces[name][::TRACE_STEP])
    for entropy in ([0, 0], [1, 2940733431], [7, 4294967295], [2 ** 40 + 3, 5]):
        f.put("seedseq." + ".".join(map(str, entropy)),
              np.random.SeedSequence(entropy).generate_state(4).astype(float))
    f.write()


def main():
    np.seterr(all="ignore")
    c2d_cases()
    filter_cases()
    pid_cases()
    process_sim_cases()
    lpv_cases()
    soft_sensor_cases()
    test_signal_cases()
    strategy_cases()
    return 0


if __name__ == "__main__":
    sys.exit(main())

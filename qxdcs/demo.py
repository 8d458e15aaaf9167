"""A closed-loop plant study built only from qxdcs blocks.

The plant (``demo_plant.json``) is a reactor with two loops whose gains move
with the throughput:

* TI101, reactor temperature, controlled by FV101 (coolant valve) with a PID
  and a feed-forward of the measured feed temperature TI300 through an LDLAG;
* AI201, product concentration, controlled by FV201 (feed valve) with a PID
  whose setpoint is ramped by a RateLimit.

The process is an LPVPlantSim over three working points of the throughput,
each local plant a MIMOSim of the model dictionary with its gains scaled. The
loops start in manual and switch to automatic without a bump; a load upset
drives the coolant valve into its limit; a TONtrigger raises an alarm when the
temperature stays away from its setpoint. A soft sensor predicts the product
quality every sample, and SoftSensorBiasUpdate corrects it from laboratory
results that arrive late; a LabDataRecorder writes every result to a CSV file.

Run it with ``python -m qxdcs.demo`` (or ``qxdcs-demo``); ``--help`` lists the
options. It prints a table per loop and the soft sensor's error, and writes a
figure and the laboratory CSV file into the output folder.
"""
import argparse
import contextlib
import copy
import io
import json
import os
import sys
import time
from dataclasses import dataclass, field
from importlib import resources
from typing import Dict, List, Optional

import numpy as np

from qxdcs._cli import Parser, UsageError, output_folder
from qxdcs.algorithm.qxLDLAG import LDLAG
from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
from qxdcs.algorithm.qxPIDControl import PID
from qxdcs.algorithm.qxRateLimit import RateLimit
from qxdcs.algorithm.qxSoftSensor import LabDataRecorder, SoftSensorBiasUpdate
from qxdcs.algorithm.qxTrigger import TONtrigger

# The laboratory's clock: the run starts at this time (seconds since the
# epoch); one sample is one minute.
T0 = 1_767_600_000.0
SECONDS_PER_SAMPLE = 60.0
LAB_NAME = "AI201_quality"


def load_plant():
    """The plant description shipped with the demonstration."""
    text = resources.files("qxdcs").joinpath("demo_plant.json").read_text(encoding="utf-8")
    return json.loads(text)


def scaled_model(model, gain, delay_factor=1.0):
    """A copy of `model` with every gain multiplied by `gain` and every dead
    time by `delay_factor` (rounded to whole samples for step responses)."""
    out = copy.deepcopy(model)
    for row in out.values():
        for pair in row.values():
            if pair.get("mode") == "tf_s":
                pair["num_s"] = [gain * c for c in pair["num_s"]]
                pair["iodelay_s"] = pair.get("iodelay_s", 0) * delay_factor
            elif pair.get("mode") == "stp":
                stp = [gain * v for v in pair["stp"]]
                lead = next((i for i, v in enumerate(stp) if v != 0.0), len(stp))
                shift = int(round(lead * delay_factor)) - lead
                pair["stp"] = [0.0] * shift + stp if shift >= 0 else stp[-shift:]
    return out


def build_plant(plant, gain_factor=1.0, delay_factor=1.0):
    """An LPVPlantSim with one local MIMOSim per working point of the throughput."""
    sim = LPVPlantSim(plant["initial"])
    for plant_id, (wp, gain) in enumerate(sorted(
            ((float(w), g) for w, g in plant["gain_by_throughput"].items()))):
        sim.addPlant(plant_id, wp, scaled_model(plant["model"], gain * gain_factor, delay_factor),
                     int(plant["Ts"]))
    return sim


@dataclass
class Tuning:
    """PID tuning of one loop."""
    KP: float
    TI: float
    TD: float = 0.0


@dataclass
class Scenario:
    """One closed-loop run."""
    samples: int = 720
    seed: int = 1
    temperature: Tuning = field(default_factory=lambda: Tuning(-4.0, 20.0))
    concentration: Tuning = field(default_factory=lambda: Tuning(4.0, 30.0))
    gain_factor: float = 1.0      # plant gains / model gains
    delay_factor: float = 1.0     # plant dead times / model dead times
    lab_every: int = 60           # samples between laboratory samples
    lab_delay: int = 20           # samples from drawing a sample to its result


# The course of the run, as fractions of its length (so that shorter and
# longer runs see the same events).
EVENTS = {
    "auto": 10 / 720,             # both loops switch from manual to automatic
    "sp_temperature": 200 / 720,  # TI101 setpoint 85 -> 86
    "sp_concentration": 60 / 720, # AI201 setpoint 40 -> 44, ramped at 3 %/min
    "feed_temperature": 150 / 720,  # TI300 25 -> 40 degC (measured)
    "throughput_up": 300 / 720,   # throughput 80 -> 95 % over 60 samples
    "load_on": 420 / 720,         # unmeasured load +8 until load_off
    "load_off": 560 / 720,
    "throughput_down": 600 / 720,  # throughput back to 80 % over 60 samples
}
ALARM_LIMIT = 1.0     # degC of TI101 deviation
ALARM_DELAY = 10      # samples the deviation must last
OP_LIMITS = {"FV101": (0.0, 70.0), "FV201": (10.0, 60.0)}


def _event(scenario, name):
    return int(round(EVENTS[name] * scenario.samples))


def _ramp(k, start, length, low, high):
    if k < start:
        return low
    return low + (high - low) * min(1.0, (k - start + 1) / length)


@dataclass
class Result:
    """Traces of one run (one array per signal, one entry per sample) and
    the laboratory results."""
    scenario: Scenario
    traces: Dict[str, np.ndarray]
    lab_times: List[float]
    lab_values: List[float]
    csv_file: Optional[str]


class ClosedLoop:
    """The plant and every block of one run, with the state they have
    reached: it pickles, so a run can be shipped to a worker process and
    continued there.

    With `out_dir`, the laboratory results are written to a CSV file there
    (a file of an earlier run is replaced)."""

    TRACES = ["throughput", "TI300", "LOAD", "SP_TI101", "TI101", "FV101", "SP_AI201", "AI201",
              "FV201", "alarm", "quality", "prediction", "bias", "corrected"]

    def __init__(self, scenario: Scenario, out_dir: Optional[str] = None):
        plant = load_plant()
        self.scenario = scenario
        self.ini = ini = plant["initial"]
        self.rng = np.random.default_rng(scenario.seed)
        self.plant = build_plant(plant, scenario.gain_factor, scenario.delay_factor)
        ts = int(plant["Ts"])
        self.pids = {}
        for loop, tuning, mv in (("TI101", scenario.temperature, "FV101"),
                                 ("AI201", scenario.concentration, "FV201")):
            pid = PID(float(ts))
            pid.setPIDParam(tuning.KP, tuning.TI, tuning.TD, 10.0)
            hi_lo = OP_LIMITS[mv][::-1]
            pid.setOPHighLowLimit(*hi_lo)
            self.pids[loop] = pid
        # Feed-forward of the feed temperature to the coolant valve: the
        # static ratio of the two gains and a lead-lag for their time constants.
        self.ff_filter = LDLAG(20.0 / 12.0, 12.0, ts)
        self.ff_gain = -(0.5 / -0.8)
        self.sp_ramp = RateLimit(ini["AI201"], ts)
        self.alarm = TONtrigger()
        self.alarm.DT = ALARM_DELAY
        self.soft = SoftSensorBiasUpdate(LAB_NAME, 5, 1e-6, 28800, 2)
        self.recorder = None
        self.csv_file = None
        if out_dir is not None:
            self.csv_file = os.path.join(os.path.abspath(out_dir), LAB_NAME + "_Raw_LabData.csv")
            if os.path.exists(self.csv_file):
                os.remove(self.csv_file)
            self.recorder = LabDataRecorder(LAB_NAME, 1e-6, 2, out_dir)
        self.u = {mv: ini[mv] for mv in ("FV101", "FV201", "TI300", "LOAD")}
        self.y = {cv: ini[cv] for cv in ("TI101", "AI201")}
        self.drift = 0.0
        self.lab_pending = []        # (sample the result arrives, sample time, value)
        # The last laboratory result known when the run starts.
        self.lab_value = _true_quality(self.y, 0.0)
        self.lab_time = T0 - 30 * SECONDS_PER_SAMPLE
        self.lab_times, self.lab_values = [], []
        self.k = 0
        n = scenario.samples
        self.traces = {key: np.zeros(n) for key in self.TRACES}
        self.events = {name: int(round(frac * n)) for name, frac in EVENTS.items()}
        self.printed = io.StringIO()  # the soft sensor's messages

    def step(self):
        """Advance the run by one sample."""
        sc, ini, u, ev, k = self.scenario, self.ini, self.u, self.events, self.k
        n = sc.samples
        now = T0 + k * SECONDS_PER_SAMPLE
        # Disturbances and the operating point.
        u["TI300"] = ini["TI300"] + (15.0 if k >= ev["feed_temperature"] else 0.0) \
            + self.rng.normal(0.0, 0.1)
        u["LOAD"] = 8.0 if ev["load_on"] <= k < ev["load_off"] else 0.0
        ramp = max(1, n // 12)
        throughput = _ramp(k, ev["throughput_up"], ramp, 80.0, 95.0)
        if k >= ev["throughput_down"]:
            throughput = _ramp(k, ev["throughput_down"], ramp, 95.0, 80.0)
        sp1 = ini["TI101"] + (1.0 if k >= ev["sp_temperature"] else 0.0)
        sp2 = self.sp_ramp(ini["AI201"] + (4.0 if k >= ev["sp_concentration"] else 0.0), 3.0)

        # Measurements and the controllers: manual until the switch, the
        # output tracking the valve position, so the switch is bumpless.
        mode = 1 if k >= ev["auto"] else 0
        pv1 = self.y["TI101"] + self.rng.normal(0.0, 0.05)
        pv2 = self.y["AI201"] + self.rng.normal(0.0, 0.02)
        feed_forward = self.ff_gain * (self.ff_filter(u["TI300"]) - ini["TI300"])
        u["FV101"] = self.pids["TI101"].run(mode, sp1, pv1, u["FV101"], feed_forward)
        u["FV201"] = self.pids["AI201"].run(mode, sp2, pv2, u["FV201"], 0.0)

        # The process advances one sample.
        y = self.y = self.plant(throughput, u)

        # Alarm on a sustained temperature deviation.
        self.alarm.Ut = int(abs(sp1 - y["TI101"]) > ALARM_LIMIT)
        self.alarm.call()

        # Soft sensor: the true quality drifts (catalyst ageing) where the
        # inferential model does not; laboratory samples are drawn every
        # lab_every samples and analysed lab_delay samples later.
        self.drift += 0.002
        quality = _true_quality(y, self.drift)
        prediction = _true_quality(y, 0.0)
        if k % sc.lab_every == 0:
            self.lab_pending.append((k + sc.lab_delay, now,
                                     quality + self.rng.normal(0.0, 0.01)))
        while self.lab_pending and self.lab_pending[0][0] <= k:
            _, self.lab_time, self.lab_value = self.lab_pending.pop(0)
            self.lab_times.append(self.lab_time)
            self.lab_values.append(self.lab_value)
        with contextlib.redirect_stdout(self.printed):
            bias = self.soft.run(prediction, self.lab_value, self.lab_time, prd_time=now)
        if self.recorder is not None:
            self.recorder.run(self.lab_value, self.lab_time)

        for key, value in (("throughput", throughput), ("TI300", u["TI300"]),
                           ("LOAD", u["LOAD"]), ("SP_TI101", sp1), ("TI101", y["TI101"]),
                           ("FV101", u["FV101"]), ("SP_AI201", sp2), ("AI201", y["AI201"]),
                           ("FV201", u["FV201"]), ("alarm", self.alarm.Yt),
                           ("quality", quality), ("prediction", prediction), ("bias", bias),
                           ("corrected", prediction + bias)):
            self.traces[key][k] = value
        self.k = k + 1

    def run(self, progress=None) -> "Result":
        """Run to the end of the scenario."""
        n = self.scenario.samples
        while self.k < n:
            self.step()
            if progress is not None:
                progress(self.k, n)
        return Result(self.scenario, self.traces, self.lab_times, self.lab_values,
                      self.csv_file)

    def __getstate__(self):
        state = self.__dict__.copy()
        state["printed"] = self.printed.getvalue()
        return state

    def __setstate__(self, state):
        state = dict(state, printed=io.StringIO(state["printed"]))
        self.__dict__.update(state)


def simulate(scenario: Scenario, out_dir: Optional[str] = None, progress=None) -> Result:
    """Run one closed-loop study from the start."""
    return ClosedLoop(scenario, out_dir).run(progress)


def _true_quality(y, drift):
    """Product quality (impurity, %) from the plant's state."""
    return 2.0 + 0.5 * (y["AI201"] - 40.0) - 0.2 * (y["TI101"] - 85.0) + drift


# --- what a run shows ------------------------------------------------------------------------

def loop_metrics(result: Result, loop: str, op: str) -> Dict[str, float]:
    """Integral of absolute error, overshoot, settling time and time at the
    output limits of one loop, from the switch to automatic on."""
    tr, sc = result.traces, result.scenario
    sp, pv, out = tr["SP_" + loop], tr[loop], tr[op]
    k_auto = _event(sc, "auto")
    iae = float(np.sum(np.abs(sp[k_auto:] - pv[k_auto:])))
    # The setpoint change of this loop, up to the next event.
    k_sp = _event(sc, "sp_temperature" if loop == "TI101" else "sp_concentration")
    following = sorted(v for v in (_event(sc, e) for e in EVENTS) if v > k_sp)
    k_end = following[0] if following else len(sp)
    step = sp[k_end - 1] - sp[k_sp - 1]
    window = pv[k_sp:k_end]
    overshoot = max(0.0, float(np.max((window - sp[k_end - 1]) * np.sign(step)))) / abs(step) * 100
    outside = np.nonzero(np.abs(window - sp[k_end - 1]) > 0.05 * abs(step))[0]
    settling = float(outside[-1] + 1) if len(outside) else 0.0
    lo, hi = OP_LIMITS[op]
    at_limits = float(np.sum((out[k_auto:] <= lo) | (out[k_auto:] >= hi)))
    return {"IAE": float(iae), "overshoot_pct": float(overshoot),
            "settling_samples": float(settling), "samples_at_limits": float(at_limits)}


def soft_sensor_errors(result: Result) -> Dict[str, float]:
    """RMS error of the raw and of the bias-corrected prediction against the
    true quality, after the first laboratory result of the run has arrived."""
    tr, sc = result.traces, result.scenario
    start = min(sc.lab_delay, len(tr["quality"]) - 1)
    raw = tr["prediction"][start:] - tr["quality"][start:]
    corrected = tr["corrected"][start:] - tr["quality"][start:]
    return {"raw_rms": float(np.sqrt(np.mean(raw ** 2))),
            "corrected_rms": float(np.sqrt(np.mean(corrected ** 2)))}


def report(result: Result) -> str:
    lines = ["loop    IAE        overshoot   settling    at limits",
             "        (unit*min) (%)         (min)       (min)"]
    for loop, op in (("TI101", "FV101"), ("AI201", "FV201")):
        m = loop_metrics(result, loop, op)
        lines.append(f"{loop}   {m['IAE']:9.2f}  {m['overshoot_pct']:9.1f}   "
                     f"{m['settling_samples']:9.0f}   {m['samples_at_limits']:9.0f}")
    alarm = result.traces["alarm"]
    lines.append(f"TI101 deviation alarm: {int(np.sum(alarm))} min in alarm")
    e = soft_sensor_errors(result)
    lines.append(f"soft sensor RMS error: {e['raw_rms']:.4f} % raw, "
                 f"{e['corrected_rms']:.4f} % with the laboratory bias "
                 f"({len(result.lab_values)} laboratory results)")
    return "\n".join(lines)


def plot(result: Result, path: str) -> None:
    """The run as a PNG figure (Matplotlib's non-interactive back end)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tr = result.traces
    t = np.arange(len(tr["TI101"]))
    fig, axes = plt.subplots(4, 1, figsize=(10, 11), sharex=True)
    ax = axes[0]
    ax.plot(t, tr["SP_TI101"], "k--", label="setpoint")
    ax.plot(t, tr["TI101"], label="TI101")
    ax.fill_between(t, ax.get_ylim()[0], ax.get_ylim()[1], where=tr["alarm"] > 0,
                    color="red", alpha=0.15, label="deviation alarm")
    ax.set_ylabel("temperature (°C)")
    ax.legend(loc="upper left")
    ax = axes[1]
    ax.plot(t, tr["SP_AI201"], "k--", label="setpoint (ramped)")
    ax.plot(t, tr["AI201"], label="AI201")
    ax.set_ylabel("concentration (%)")
    ax.legend(loc="upper left")
    ax = axes[2]
    for op in ("FV101", "FV201"):
        ax.plot(t, tr[op], label=op)
        for limit in OP_LIMITS[op]:
            ax.axhline(limit, color="gray", lw=0.5, ls=":")
    ax.plot(t, tr["throughput"], "k:", label="throughput")
    ax.set_ylabel("valve (%)")
    ax.legend(loc="upper left")
    ax = axes[3]
    ax.plot(t, tr["quality"], "k", label="true quality")
    ax.plot(t, tr["prediction"], label="prediction")
    ax.plot(t, tr["corrected"], label="prediction + bias")
    lab_k = [(lt - T0) / SECONDS_PER_SAMPLE for lt in result.lab_times]
    ax.plot(lab_k, result.lab_values, "o", label="laboratory (at sampling time)")
    ax.set_ylabel("impurity (%)")
    ax.set_xlabel("time (min)")
    ax.legend(loc="upper left")
    fig.suptitle("qxdcs closed-loop plant study")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


# --- command line ------------------------------------------------------------------------------

class _Progress:
    """A text progress bar on standard error, shown once a run has taken
    longer than `after` seconds."""

    def __init__(self, stream=sys.stderr, width=40, after=1.0):
        self.stream, self.width, self.after = stream, width, after
        self.started = time.perf_counter()
        self.shown = -1

    def __call__(self, done, total):
        step = done * 100 // total
        if step == self.shown or (self.shown < 0 and done < total and
                                  time.perf_counter() - self.started < self.after):
            return
        if self.shown < 0 and done == total:
            return          # finished before the bar was needed
        self.shown = step
        filled = self.width * done // total
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] {step:3d} %")
        if done == total:
            self.stream.write("\n")
        self.stream.flush()


def _whole(minimum, problem):
    """An argparse type: a whole number of at least `minimum`, else `problem`."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{problem}: {value}")
        return value
    return parse


_positive_int = _whole(100, "must be at least 100")
_seed = _whole(0, "must not be negative")


def _parser():
    p = Parser(prog="qxdcs-demo", description=__doc__.split("\n\n")[0])
    p.add_argument("--samples", type=_positive_int, default=720,
                   help="number of samples (minutes) to simulate, at least 100 (default 720)")
    p.add_argument("--out", default="qxdcs-demo-output",
                   help="output folder for the figure and the laboratory CSV file "
                        "(default ./qxdcs-demo-output)")
    p.add_argument("--seed", type=_seed, default=1, help="random seed of the noise (default 1)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return p


def main(argv=None):
    """Command-line entry point; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        out = output_folder(args.out)
        plot_ok = not args.no_plot
        if plot_ok:
            import importlib.util
            if importlib.util.find_spec("matplotlib") is None:
                print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
                      file=sys.stderr)
                plot_ok = False
        scenario = Scenario(samples=args.samples, seed=args.seed)
        progress = _Progress()
        started = time.perf_counter()
        result = simulate(scenario, out, progress)
        elapsed = time.perf_counter() - started
        print(report(result))
        print(f"laboratory results: {result.csv_file}")
        if plot_ok:
            png = os.path.join(out, "qxdcs-demo.png")
            plot(result, png)
            print(f"figure: {png}")
        print(f"{args.samples} samples in {elapsed:.2f} s")
        return 0
    except UsageError as exc:
        print(f"qxdcs-demo: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("qxdcs-demo: interrupted", file=sys.stderr)
        return 130


def cli():
    """Console-script entry point."""
    sys.exit(main())


if __name__ == "__main__":
    cli()

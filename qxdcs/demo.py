"""A reactor under control, described as a strategy file and run by the
package's strategy runner.

The strategy is ``qxdcs/examples/reactor.toml`` with its model beside it
(``reactor-model.json``): two loops, TI101 (reactor temperature, controlled by
the coolant valve FV101 with a feed-forward of the measured feed temperature
through an LDLAG) and AI201 (product concentration, controlled by the feed
valve FV201, its setpoint ramped by a RateLimit), on an LPVPlantSim over three
throughputs. The loops start in manual and switch to automatic without a
bump; a load upset drives the coolant valve into its limit; a TONtrigger
raises an alarm when the temperature stays away from its setpoint; a soft
sensor is corrected from late laboratory results, which a LabDataRecorder
writes to a CSV file. One sample is one minute.

Run it with ``python -m qxdcs.demo`` (or ``qxdcs-demo``); ``--help`` lists the
options. It prints the summary and writes the traces, the summary, a figure
and the laboratory CSV file into the output folder, as ``qxdcs run`` does for
any strategy file.

From Python, `Scenario` and `ClosedLoop` run the reactor with other tunings,
plant gains and dead times (a study of any strategy file, this one included,
is `qxdcs study`).
"""
import copy
import os
import sys
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Dict, List, Optional

import numpy as np

from qxdcs._cli import Parser, UsageError, output_folder, whole_number

LAB_NAME = "AI201_quality"
LOOPS = (("TI101", "FV101"), ("AI201", "FV201"))
FIGURE = "qxdcs-demo.png"


def example_path(name: str = "reactor.toml") -> str:
    """The path of a file shipped in qxdcs/examples."""
    from qxdcs import examples
    return examples.path(name)


@lru_cache(maxsize=1)
def _reactor():
    from qxdcs import strategy
    return strategy.load(example_path())


def strategy_file():
    """The reactor's strategy file, read once (treat it as read-only)."""
    return _reactor()


@dataclass
class Tuning:
    """PID tuning of one loop: KP, and TI and TD in seconds."""
    KP: float
    TI: float
    TD: float = 0.0


def _tuning(loop: str) -> Tuning:
    raw = strategy_file().data["loop"][loop]
    return Tuning(raw["KP"], raw["TI"], raw.get("TD", 0.0))


@dataclass
class Scenario:
    """One closed-loop run of the reactor: its length and seed, the loops'
    tunings (the file's by default), factors on the plant's gains and dead
    times (model mismatch), and the laboratory's rhythm in samples."""
    samples: int = 720
    seed: int = 1
    temperature: Tuning = field(default_factory=lambda: _tuning("TI101"))
    concentration: Tuning = field(default_factory=lambda: _tuning("AI201"))
    gain_factor: float = 1.0      # plant gains / model gains
    delay_factor: float = 1.0     # plant dead times / model dead times
    lab_every: int = 60           # samples between laboratory samples
    lab_delay: int = 20           # samples from drawing a sample to its result


def scaled_delays(model, factor):
    """A copy of `model` with every dead time multiplied by `factor` (for step
    responses: the leading zeros, rounded to whole samples)."""
    out = copy.deepcopy(model)
    for row in out.values():
        for pair in row.values():
            if pair.get("mode") == "tf_s":
                pair["iodelay_s"] = pair.get("iodelay_s", 0) * factor
            elif pair.get("mode") == "stp":
                stp = list(pair["stp"])
                lead = next((i for i, v in enumerate(stp) if v != 0.0), len(stp))
                shift = int(round(lead * factor)) - lead
                pair["stp"] = [0.0] * shift + stp if shift >= 0 else stp[-shift:]
    return out


def changes(scenario: Scenario) -> Dict[str, object]:
    """The scenario as values of the reactor's strategy file, by key path."""
    sf = strategy_file()
    ts = sf.data["simulation"]["sample_period_s"]
    out: Dict[str, object] = {}
    for loop, tuning in (("TI101", scenario.temperature), ("AI201", scenario.concentration)):
        out[f"loop.{loop}.KP"] = tuning.KP
        out[f"loop.{loop}.TI"] = tuning.TI
        out[f"loop.{loop}.TD"] = tuning.TD
    for name, local in sf.data["plant"]["local"].items():
        if scenario.gain_factor != 1.0:
            out[f"plant.local.{name}.gain"] = local.get("gain", 1.0) * scenario.gain_factor
        if scenario.delay_factor != 1.0:
            out[f"plant.local.{name}.model"] = scaled_delays(local["model"],
                                                             scenario.delay_factor)
    out[f"soft_sensor.{LAB_NAME}.lab_every_s"] = scenario.lab_every * ts
    out[f"soft_sensor.{LAB_NAME}.lab_delay_s"] = scenario.lab_delay * ts
    return out


def make_plan(scenario: Scenario):
    """The checked plan of a scenario (raises StrategyError for values the
    strategy cannot take)."""
    from qxdcs import strategy
    sf = strategy_file().replace(changes(scenario))
    return strategy.make_plan(sf, samples=scenario.samples, seed=scenario.seed)


@dataclass
class Result:
    """Traces of one run (one array per signal, one entry per sample) and
    the laboratory results that arrived (sampling times in seconds since the
    epoch, values)."""
    scenario: Scenario
    traces: Dict[str, np.ndarray]
    lab_times: List[float]
    lab_values: List[float]
    csv_file: Optional[str]
    run: object = None            # the strategy runner's own result


# Names of the reactor's signals in the traces of a Result, beside the file's own.
ALIASES = {"alarm": "TI101_deviation", "prediction": "quality_prediction",
           "bias": f"BIAS_{LAB_NAME}", "corrected": f"CORR_{LAB_NAME}"}


class ClosedLoop:
    """The plant and every block of one run, with the state they have
    reached: it pickles, so a run can be shipped to a worker process and
    continued there.

    With `out_dir`, the laboratory results are written to a CSV file there
    (a file of an earlier run is replaced)."""

    TRACES = ["throughput", "TI300", "LOAD", "SP_TI101", "TI101", "FV101", "SP_AI201", "AI201",
              "FV201", "alarm", "quality", "prediction", "bias", "corrected"]

    def __init__(self, scenario: Scenario, out_dir: Optional[str] = None,
                 engine: str = "auto"):
        from qxdcs.strategy import make_engine
        self.scenario = scenario
        self.plan = make_plan(scenario)
        self.out_dir = os.path.abspath(out_dir) if out_dir is not None else None
        # The native engine where the plan allows it (`engine`: "auto",
        # "native" or "python"); both give the same traces.
        self.engine = make_engine(self.plan, lab_dir=self.out_dir, engine=engine)

    @property
    def k(self) -> int:
        return self.engine.k

    @property
    def traces(self) -> np.ndarray:
        """Every signal of every sample so far, one column per signal of
        `plan.signals` (the space for the whole run is there from the start)."""
        return self.engine.traces

    def step(self):
        """Advance the run by one sample."""
        self.engine.step()

    def run(self, progress=None) -> Result:
        """Run to the end of the scenario."""
        return as_result(self.scenario, self.engine.run(progress))


def as_result(scenario: Scenario, run) -> Result:
    traces = dict(run.traces)
    for old, name in ALIASES.items():
        traces[old] = run.traces[name]
    times, values = run.lab.get(LAB_NAME, ([], []))
    start = run.plan.start
    return Result(scenario, traces, [start + t for t in times], list(values),
                  run.lab_files.get(LAB_NAME), run)


def simulate(scenario: Scenario, out_dir: Optional[str] = None, progress=None) -> Result:
    """Run one closed-loop study from the start."""
    return ClosedLoop(scenario, out_dir).run(progress)


# --- what a run shows ------------------------------------------------------------------------

def loop_metrics(result: Result, loop: str, op: str = None) -> Dict[str, float]:
    """Integral of absolute error, overshoot, settling time and time at the
    output limits of one loop, as the summary of a strategy run defines them
    (docs/metrics.md); times in samples."""
    from qxdcs.strategy import metrics
    run = result.run
    info = next(l for l in run.plan.loops if l.name == loop)
    m = metrics.loop_metrics(run, info)
    per_sample = metrics.SECONDS[run.plan.time_unit] / run.plan.sample_period
    return {"IAE": float(m["IAE"]), "overshoot_pct": float(m["overshoot_pct"]),
            "settling_samples": float(m["settling_time"]) * per_sample,
            "samples_at_limits": float(m["time_at_limits"]) * per_sample}


def soft_sensor_errors(result: Result) -> Dict[str, float]:
    """RMS error of the raw and of the bias-corrected prediction against the
    true quality, after the first laboratory result of the run has arrived."""
    from qxdcs.strategy import metrics
    s = metrics.summarize(result.run)["soft_sensors"][LAB_NAME]
    return {"raw_rms": s["raw_rms"], "corrected_rms": s["corrected_rms"]}


def report(result: Result) -> str:
    from qxdcs.strategy import metrics
    return metrics.table(metrics.summarize(result.run))


# --- command line ------------------------------------------------------------------------------

_positive_int = whole_number(100)
_seed = whole_number(0, "must not be negative")


def _parser():
    p = Parser(prog="qxdcs-demo", description=__doc__.split("\n\n")[0])
    p.add_argument("--samples", type=_positive_int, default=720,
                   help="number of samples (minutes) to simulate, at least 100 (default 720)")
    p.add_argument("--out", default="qxdcs-demo-output",
                   help="output folder for the traces, the summary, the figure and the "
                        "laboratory CSV file (default ./qxdcs-demo-output)")
    p.add_argument("--seed", type=_seed, default=1, help="random seed of the noise (default 1)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return p


def main(argv=None):
    """Command-line entry point; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        try:
            import pydantic  # noqa: F401  (the strategy file's validation)
        except ImportError:
            raise UsageError("the demonstration reads a strategy file, which needs pydantic: "
                             "pip install 'qxdcs[plot]'") from None
        from qxdcs.strategy import outputs
        out = output_folder(args.out)
        figure = None if args.no_plot else FIGURE
        if figure is not None:
            import importlib.util
            if importlib.util.find_spec("matplotlib") is None:
                print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
                      file=sys.stderr)
                figure = None
        plan = make_plan(Scenario(samples=args.samples, seed=args.seed))
        try:
            done = outputs.run_into(plan, out, figure, "auto", outputs.Progress())
        except outputs.RunFailure as exc:
            print(f"qxdcs-demo: error: {exc}", file=sys.stderr)
            return 1
        print(done.report())
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

"""The `qxdcs` command: one program, one subcommand per task.

Each subcommand is one `_<name>(sub)` function below that adds its parser and
names the function that runs it; that function imports what it needs when it
runs, so `qxdcs --help` loads nothing but this file.

Exit status: 0 on success, 1 for a mistake in a user's file or data (one line
naming the file, the key and what is valid), 2 for a usage error (a bad
option), 130 on Ctrl-C. A user's mistake never prints a traceback.
"""
import sys

from qxdcs._cli import Failure, Parser, UsageError, whole_number

PROG = "qxdcs"


def _parser():
    parser = Parser(prog=PROG, description="Process-control blocks, plants and loops described as files.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for add in _SUBCOMMANDS:
        add(sub)
    return parser


def _identify(sub):
    p = sub.add_parser("identify", help="fit a model dictionary to step-test data",
                       description="Fit a model to every CV/MV pair of a step test (a CSV or "
                                   "Parquet file with a time column in seconds): gain, time "
                                   "constants and dead time, all MVs of a CV at once.")
    p.add_argument("data", metavar="DATA", help="CSV or Parquet file")
    p.add_argument("--mv", required=True, help="MV columns, comma-separated (U1,U2)")
    p.add_argument("--cv", required=True, help="CV columns, comma-separated (Y1,Y2)")
    p.add_argument("--time", default="time", metavar="COL",
                   help="the time column, in seconds (default time)")
    p.add_argument("--structure", choices=("fopdt", "sopdt", "integrating", "auto"),
                   help="model of every pair; auto (default) takes per pair the simplest "
                        "one that the data supports (by BIC)")
    p.add_argument("--stp", type=_whole_number, metavar="N",
                   help="step-response models of N coefficients instead")
    p.add_argument("--drift", action="store_true", help="also fit a linear drift of each CV")
    p.add_argument("--max-delay", type=float, metavar="SECONDS",
                   help="the longest dead time searched (default a quarter of the record)")
    p.add_argument("--drop-missing", action="store_true",
                   help="drop rows with missing values and fit the segments between them")
    p.add_argument("--out", metavar="MODEL.json",
                   help="write the plant: Ts, the model dictionary and the initial values")
    p.add_argument("--report", metavar="DIR",
                   help="write report.txt, report.json and a figure per CV into DIR")
    p.set_defaults(run=_lazy("qxdcs.ident.commands", "run_identify"))


def _tune(sub):
    p = sub.add_parser("tune", help="PID tuning of one loop from its model",
                       description="PID parameters (KP, TI, TD, N of the package's PID) for "
                                   "one CV/MV pair of a model, with the margins of the "
                                   "sampled loop and its closed-loop steps on the model.")
    p.add_argument("model", metavar="MODEL.json",
                   help="a plant file as `qxdcs identify --out` writes it, or a bare model "
                        "dictionary")
    p.add_argument("--loop", required=True, metavar="CV:MV", help="the loop's CV and MV")
    p.add_argument("--rule", choices=("simc", "lambda"), default="simc",
                   help="tuning rule (default simc)")
    p.add_argument("--controller", choices=("pi", "pid"), default="pi",
                   help="pi (default) or pid (for second-order or lagged integrating models)")
    p.add_argument("--tau-c", type=float, metavar="SECONDS",
                   help="closed-loop time constant (default: the effective dead time, at "
                        "least a tenth of the dominant time constant and one sample period)")
    p.add_argument("--n", type=float, default=10.0, metavar="N",
                   help="derivative filter factor N of the PID (default 10)")
    p.add_argument("--json", action="store_true",
                   help='print {"KP", "TI", "TD", "N", the margins, ...} as JSON')
    p.add_argument("--figure", metavar="PNG", help="write the closed-loop steps as a figure")
    p.add_argument("--write", metavar="STRATEGY.toml",
                   help="put KP, TI (and TD, N) into the loop of this strategy file that "
                        "controls CV by MV; the file is changed only if it still checks")
    p.add_argument("--loop-name", metavar="NAME",
                   help="with --write: the loop's name, where several loops use the pair")
    p.set_defaults(run=_lazy("qxdcs.ident.commands", "run_tune"))


def _whole_number(text):
    import argparse

    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _lazy(module, name):
    """A run function that imports `module` only when it runs."""
    def run(args):
        import importlib

        return getattr(importlib.import_module(module), name)(args)
    return run



def _strategy():
    """The strategy package, or the one line that says how to get it."""
    try:
        import pydantic  # noqa: F401  (the format's validation)
    except ImportError:
        raise Failure("strategy files need pydantic: pip install 'qxdcs[strategy]'") from None
    from qxdcs import strategy
    return strategy


def _print_problems(problems, stream):
    for p in problems:
        print(p, file=stream)


# --- qxdcs run ---------------------------------------------------------------------------

def _run(sub):
    p = sub.add_parser("run", help="run a strategy file: traces, summary, figure",
                       description="Run the plant and loops of a strategy file and write "
                                   "traces, a summary and a figure into a folder.")
    p.add_argument("file", metavar="FILE", help="the strategy file (TOML)")
    p.add_argument("--out", metavar="DIR",
                   help="output folder (default: ./<FILE without .toml>-output)")
    p.add_argument("--samples", type=whole_number(1), metavar="N",
                   help="samples to run instead of the file's duration")
    p.add_argument("--seed", type=whole_number(0), metavar="N", help="seed instead of the file's")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    p.add_argument("--traces", choices=("auto", "parquet", "csv"), default="auto",
                   help="format of the traces (default: Parquet when pyarrow is installed)")
    p.add_argument("--engine", choices=("native", "python"),
                   help="the engine that runs it (default: native where the file allows it, "
                        "else python); both give the same traces")
    p.set_defaults(run=_run_file)


def _run_file(args) -> int:
    import os
    from qxdcs._cli import output_folder

    strategy = _strategy()
    from qxdcs.strategy import outputs
    if args.traces == "parquet" and not outputs.have_pyarrow():
        raise UsageError("--traces parquet needs pyarrow: pip install 'qxdcs[parquet]'")
    stem = os.path.splitext(os.path.basename(args.file))[0]
    out = output_folder(args.out if args.out else f"{stem}-output")
    figure = None if args.no_plot else outputs.FIGURE
    if figure is not None and not _have_matplotlib():
        print("Matplotlib is not installed: no figure (pip install 'qxdcs[plot]').",
              file=sys.stderr)
        figure = None
    plan = _plan(strategy, args.file, args.samples, args.seed)
    try:
        done = outputs.run_into(plan, out, figure, args.traces, outputs.Progress(),
                                args.engine or "auto")
    except strategy.NotNative as exc:
        raise Failure(f"{args.file}: {exc}; run it with --engine python") from None
    except outputs.RunFailure as exc:
        raise Failure(f"{args.file}: {exc}") from None
    print(done.report())
    return 0


def _have_matplotlib():
    import importlib.util
    return importlib.util.find_spec("matplotlib") is not None


def _plan(strategy, path, samples=None, seed=None):
    """The checked plan of a file; its problems printed, one line each."""
    try:
        sf = strategy.load(path)
        plan = strategy.make_plan(sf, samples=samples, seed=seed)
    except strategy.StrategyError as exc:
        if len(exc.problems) == 1:
            raise Failure(str(exc.problems[0])) from None
        _print_problems(exc.problems, sys.stderr)
        n = len(exc.errors)
        raise Failure(f"{path}: {n} error{'s' if n != 1 else ''}; nothing ran") from None
    _print_problems(plan.warnings, sys.stderr)
    return plan




# --- qxdcs check -------------------------------------------------------------------------

def _check(sub):
    p = sub.add_parser("check", help="check a strategy file or a model dictionary",
                       description="Check a strategy file (TOML) or a model dictionary (JSON) "
                                   "and list every problem, one line each.")
    p.add_argument("file", metavar="FILE", help="a strategy file (.toml) or a model file (.json)")
    p.add_argument("--sample-period", type=float, metavar="SECONDS",
                   help="for a model file: the sample period it will run at (points out dead "
                        "times that are not whole samples)")
    p.set_defaults(run=_check_file)


def _check_file(args) -> int:
    strategy = _strategy()
    if args.sample_period is not None and not args.sample_period > 0:
        raise UsageError(f"--sample-period must be a positive number of seconds: "
                         f"{args.sample_period:g}")
    if args.file.lower().endswith(".json"):
        from qxdcs.strategy.models import check_file
        problems = check_file(args.file, args.sample_period)
    else:
        if args.sample_period is not None:
            raise UsageError("--sample-period is for model files; a strategy file states "
                             "its own")
        try:
            problems = strategy.check(strategy.load(args.file)).problems
        except strategy.StrategyError as exc:
            problems = exc.problems
    _print_problems(problems, sys.stdout)
    errors = sum(1 for p in problems if p.severity == strategy.ERROR)
    warnings = len(problems) - errors
    if errors:
        raise Failure(f"{args.file}: {errors} error{'s' if errors != 1 else ''}, "
                      f"{warnings} warning{'s' if warnings != 1 else ''}")
    print(f"{args.file}: no errors, {warnings} warning{'s' if warnings != 1 else ''}")
    return 0




# --- qxdcs study -------------------------------------------------------------------------

def _study(sub):
    p = sub.add_parser("study", help="many runs of a strategy file over a grid of its numbers",
                       description="Run a strategy file many times, some of its numbers "
                                   "changed (a grid over their key paths); one row per "
                                   "scenario in DIR/results.parquet (results.csv without "
                                   "pyarrow), written as the scenarios finish, and heat maps "
                                   "of a metric.",
                       epilog="Exit status: 0 when the study ran (a failed scenario is a row "
                              "with its error), 1 for a mistake in the file or the grid or a "
                              "cluster that cannot be reached, 2 for a bad option, 130 on "
                              "Ctrl-C (the finished rows are kept: --resume runs the rest).")
    p.add_argument("file", metavar="FILE", help="the strategy file (TOML)")
    p.add_argument("--grid", action="append", default=[], metavar="PATH=VALUES",
                   help="a number of the file by its key path and its values: a list "
                        "(loop.TI101.KP=-6,-4,-2), a range of whole numbers "
                        "(simulation.seed=1..20), lin(a,b,n) or log(a,b,n); plant.gain_factor "
                        "and plant.delay_factor scale every gain or dead time of the plant. "
                        "Several give their product; without any, the file's [study] grid")
    p.add_argument("--metric", choices=("IAE", "overshoot_pct", "settling_time",
                                         "time_at_limits"),
                   help="the loop metric of the figure (default: the file's [study] metric, "
                        "else IAE)")
    p.add_argument("--samples", type=whole_number(1), metavar="N",
                   help="samples per scenario instead of the file's duration")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=whole_number(1), metavar="N",
                       help="run on a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS")
    p.add_argument("--connect-timeout", type=_seconds, default=CONNECT_TIMEOUT,
                   metavar="SECONDS", help="give up reaching the scheduler after this long "
                                           f"(default {CONNECT_TIMEOUT:g})")
    p.add_argument("--out", metavar="DIR",
                   help="output folder (default: ./<FILE without .toml>-study)")
    p.add_argument("--resume", action="store_true",
                   help="run only the scenarios of the study in DIR that have no row yet")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    p.set_defaults(run=_study_run)


CONNECT_TIMEOUT = 10.0     # seconds to reach a Dask scheduler (qxdcs study --scheduler)


def _seconds(text):
    import argparse
    import math

    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return value


def _study_run(args) -> int:
    from qxdcs.study.command import run

    return run(args, prog=_prog)


_prog = PROG


# --- qxdcs serve-plant, qxdcs control ----------------------------------------------------

def _serve_plant(sub):
    p = sub.add_parser("serve-plant", help="serve a strategy's plant over OPC UA",
                       description="Serve the plant of a strategy file (with its disturbances) "
                                   "as an OPC UA server: one variable per MV (writable) and "
                                   "per CV, the plant advancing one sample per sample period "
                                   "of wall time divided by --speed.")
    p.add_argument("file", metavar="FILE", help="the strategy file (TOML)")
    p.add_argument("--endpoint", metavar="URL",
                   help="address to serve (default opc.tcp://127.0.0.1:4840/qxdcs/, the "
                        "loopback address)")
    p.add_argument("--speed", type=float, default=1.0, metavar="X",
                   help="samples run X times faster than the file's sample period (default 1)")
    p.add_argument("--lockstep", action="store_true",
                   help="advance one sample each time the controller writes its heartbeat "
                        "instead of on the clock (a run equal to the simulation)")
    p.add_argument("--samples", type=whole_number(1), metavar="N",
                   help="samples of the plant instead of the file's duration")
    p.add_argument("--seed", type=whole_number(0), metavar="N", help="seed instead of the file's")
    _security_options(p, "offer only Basic256Sha256 (sign and encrypt) and accept only "
                         "clients whose certificate is in PKI/trusted/",
                      "server", ", and trusted/")
    p.add_argument("--bad-status", action="append", metavar="TAG:FIRST:END",
                   help="serve the CV TAG with the status BadSensorFailure from sample FIRST "
                        "up to END (may be repeated)")
    p.add_argument("--heartbeat-samples", type=whole_number(1), default=10, metavar="N",
                   help="samples of a still heartbeat after which the controller counts as "
                        "dead (default 10)")
    p.add_argument("--log", metavar="DIR", help="write plant.csv (MVs and CVs per sample) here")
    p.set_defaults(run=_lazy("qxdcs.live.commands", "run_serve_plant"))


def _security_options(p, what: str, whose: str, pki_extra: str = "") -> None:
    """--security and the certificate options, for the server or the controller."""
    p.add_argument("--security", action="store_true", help=what)
    p.add_argument("--pki", metavar="DIR",
                   help=f"with --security: where the {whose}'s certificate is created on first "
                        f"use{pki_extra} (default ./qxdcs-pki)")
    p.add_argument("--cert", metavar="FILE", help=f"with --security: the {whose}'s certificate")
    p.add_argument("--key", metavar="FILE", help="with --security: its private key")


def _control(sub):
    p = sub.add_parser("control", help="run a strategy's loops live against an OPC UA server",
                       description="Run the loops of a strategy file against a process over "
                                   "OPC UA: each period one batched read of the inputs, the "
                                   "blocks, one batched write of the outputs and the heartbeat; "
                                   "loops go to their fail-safe state on a bad input.")
    p.add_argument("file", metavar="FILE", help="the strategy file (TOML)")
    p.add_argument("--endpoint", required=True, metavar="URL",
                   help="the OPC UA server (opc.tcp://HOST:PORT/PATH)")
    p.add_argument("--period", type=float, metavar="S",
                   help="seconds between periods (default the file's sample period)")
    p.add_argument("--samples", type=whole_number(1), metavar="N",
                   help="periods to run (default the file's duration)")
    p.add_argument("--seed", type=whole_number(0), metavar="N", help="seed instead of the file's")
    p.add_argument("--log", metavar="DIR", help="write events.jsonl, traces.csv and io.csv here")
    p.add_argument("--mapping", metavar="FILE",
                   help="the live settings (nodes, heartbeat, fail-safe) from this TOML file "
                        "instead of the strategy's [live] table")
    p.add_argument("--lockstep", action="store_true",
                   help="wait each period until the plant has run the sample before "
                        "(against qxdcs serve-plant --lockstep)")
    p.add_argument("--timeout", type=float, metavar="S",
                   help="of each read and write (default the period; 2 s in lockstep)")
    p.add_argument("--backoff-max", type=float, default=10.0, metavar="S",
                   help="longest wait between two attempts to reconnect; the wait doubles from "
                        "one period up to it (default 10)")
    _security_options(p, "connect with Basic256Sha256 (sign and encrypt), identified by "
                         "the controller's certificate", "controller")
    p.add_argument("--server-cert", metavar="FILE",
                   help="with --security: the server's certificate (default: the one its "
                        "endpoints show)")
    p.set_defaults(run=_lazy("qxdcs.live.commands", "run_control"))




# The subcommands, in the order `qxdcs --help` lists them: a strategy's life from
# its file to a live run, then the models and tunings it is made from. Each adds
# its parser with `sub.add_parser(...)` and sets `run=<function(args) -> int>`.
_SUBCOMMANDS = [_run, _check, _study, _serve_plant, _control, _identify, _tune]


def main(argv=None, prog: str = PROG) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit
    status. `prog` names the program in messages (qxdcs-study runs through
    here too)."""
    global _prog
    _prog = prog
    try:
        args = _parser().parse_args(argv)
        return int(args.run(args) or 0)
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except Failure as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130


def cli():
    """Console-script entry point (qxdcs): exits with main()'s status."""
    sys.exit(main())


if __name__ == "__main__":
    cli()

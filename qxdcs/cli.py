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


# The subcommands, in the order `qxdcs --help` lists them. Each adds its parser
# with `sub.add_parser(...)` and sets `run=<function(args) -> int>` as default.
_SUBCOMMANDS = []


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
        done = outputs.run_into(plan, out, figure, args.traces, outputs.Progress())
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


_SUBCOMMANDS.append(_run)


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


_SUBCOMMANDS.append(_check)


def main(argv=None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        return int(args.run(args) or 0)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except Failure as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def cli():
    """Console-script entry point (qxdcs): exits with main()'s status."""
    sys.exit(main())


if __name__ == "__main__":
    cli()

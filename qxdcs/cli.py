"""The `qxdcs` command: one program, one subcommand per task.

Each subcommand is one `_<name>(sub)` function below that adds its parser and
names the function that runs it; that function imports what it needs when it
runs, so `qxdcs --help` loads nothing but this file.

Exit status: 0 on success, 1 for a mistake in a user's file or data (one line
naming the file, the key and what is valid), 2 for a usage error (a bad
option), 130 on Ctrl-C. A user's mistake never prints a traceback.
"""
import sys

from qxdcs._cli import Failure, Parser, UsageError

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


# The subcommands, in the order `qxdcs --help` lists them. Each adds its parser
# with `sub.add_parser(...)` and sets `run=<function(args) -> int>` as default.
_SUBCOMMANDS = [_identify, _tune]


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

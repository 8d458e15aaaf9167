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


# The subcommands, in the order `qxdcs --help` lists them. Each adds its parser
# with `sub.add_parser(...)` and sets `run=<function(args) -> int>` as default.
_SUBCOMMANDS = []


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

"""`qxdcs identify` and `qxdcs tune`: what the subcommands run (their options
are in qxdcs/cli.py). Every file is written to a temporary name beside its
place and renamed once everything has been computed, so a failure leaves
nothing behind."""
import json
import os
import sys
from importlib.util import find_spec

from qxdcs._cli import Failure, UsageError
from qxdcs.ident.data import IdentError


class _Staged:
    """Files written under temporary names, renamed together at the end."""

    def __init__(self):
        self.files = []

    def path(self, final):
        tmp = f"{final}.tmp{os.getpid()}"
        self.files.append((tmp, final))
        return tmp

    def commit(self):
        for tmp, final in self.files:
            os.replace(tmp, final)
        self.files = []

    def discard(self):
        for tmp, _ in self.files:
            if os.path.exists(tmp):
                os.remove(tmp)


def _tags(text, option):
    tags = [t.strip() for t in text.split(",")]
    if not all(tags):
        raise UsageError(f"{option} takes a comma-separated list of column names, "
                         f"not {text!r}")
    return tags


def _writable_file(path, option):
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise Failure(f"{option} {path}: no folder {folder}")
    if os.path.isdir(path):
        raise Failure(f"{option} {path}: is a folder, not a file name")


def run_identify(args) -> int:
    from qxdcs.ident import report
    from qxdcs.ident.data import load_step_test
    from qxdcs.ident.identify import identify

    if args.stp is not None and args.structure is not None:
        raise UsageError("--stp fits step-response models: it does not take --structure")
    mvs, cvs = _tags(args.mv, "--mv"), _tags(args.cv, "--cv")
    if args.out:
        _writable_file(args.out, "--out")
    if args.report and os.path.exists(args.report) and not os.path.isdir(args.report):
        raise Failure(f"--report {args.report}: is a file, not a folder")
    try:
        test = load_step_test(args.data, mvs, cvs, time=args.time)
        result = identify(test, structure=args.structure or "auto", stp=args.stp,
                          drift=args.drift, max_delay=args.max_delay,
                          drop_missing=args.drop_missing)
    except IdentError as exc:
        raise Failure(str(exc)) from None
    printed = report.text(result)
    staged = _Staged()
    written = []
    try:
        if args.out:
            with open(staged.path(args.out), "w", encoding="utf-8") as f:
                json.dump(result.plant(), f, indent=1)
                f.write("\n")
            written.append(args.out)
        if args.report:
            folder = args.report
            os.makedirs(folder, exist_ok=True)
            with open(staged.path(os.path.join(folder, "report.txt")), "w",
                      encoding="utf-8") as f:
                f.write(printed + "\n")
            with open(staged.path(os.path.join(folder, "report.json")), "w",
                      encoding="utf-8") as f:
                json.dump(report.record(result), f, indent=1)
                f.write("\n")
            written += [os.path.join(folder, "report.txt"), os.path.join(folder, "report.json")]
            if find_spec("matplotlib") is None:
                result.warnings.append("Matplotlib is not installed: no figures "
                                       "(pip install 'qxdcs[plot]')")
            else:
                suffix = f".tmp{os.getpid()}"
                for name in report.figures(result, folder, suffix):
                    final = os.path.join(folder, name)
                    staged.files.append((final + suffix, final))
                    written.append(final)
        staged.commit()
    except OSError as exc:
        staged.discard()
        raise Failure(f"cannot write {exc.filename or 'the output'}: "
                      f"{exc.strerror or exc}") from None
    except BaseException:
        staged.discard()
        raise
    print(report.text(result))
    for path in written:
        print(f"wrote {path}")
    return 0


def run_tune(args) -> int:
    from qxdcs.ident import tuning

    cv, sep, mv = args.loop.partition(":")
    if not sep or not cv or not mv:
        raise UsageError(f"--loop takes CV:MV (for example TI101:FV101), not {args.loop!r}")
    if args.figure:
        _writable_file(args.figure, "--figure")
        if find_spec("matplotlib") is None:
            raise Failure("--figure needs Matplotlib (pip install 'qxdcs[plot]')")
    if args.loop_name is not None and not args.write:
        raise UsageError("--loop-name names the loop of --write STRATEGY.toml")
    try:
        result = tuning.tune(args.model, cv, mv, args.rule, args.controller, args.tau_c, args.n)
    except IdentError as exc:
        raise Failure(str(exc)) from None
    written = None
    if args.write:
        from qxdcs.ident.write import write_tuning
        try:
            written = write_tuning(result, args.write, args.loop_name)
        except IdentError as exc:
            raise Failure(str(exc)) from None
    if args.figure:
        staged = _Staged()
        try:
            tmp = staged.path(args.figure)
            tuning.plot(result, tmp)
            staged.commit()
        except OSError as exc:
            staged.discard()
            raise Failure(f"cannot write {args.figure}: {exc.strerror or exc}") from None
    if args.json:
        json.dump(result.as_dict(), sys.stdout, indent=1)
        print()
    else:
        print(tuning.report(result))
        if args.figure:
            print(f"wrote {args.figure}")
    if written is not None:
        print(f"wrote the tuning into [loop.{written}] of {args.write}",
              file=sys.stderr if args.json else sys.stdout)
    return 0

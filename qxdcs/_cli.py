"""What the command-line programs of the package (qxdcs, qxdcs-demo,
qxdcs-study) share: errors reported as one line, and the output folder check."""
import argparse
import os


class UsageError(Exception):
    """A bad option or an output folder that cannot be used: one line, exit 2."""


class Failure(Exception):
    """A mistake in a user's file or data (or a run that could not finish):
    one line naming the file, key or value and what is valid, exit 1."""


class Parser(argparse.ArgumentParser):
    """argparse without its own exit: a bad option raises UsageError."""

    def error(self, message):
        raise UsageError(message)


def output_folder(path):
    """The absolute output folder, created if needed and checked writable."""
    out = os.path.abspath(path)
    try:
        os.makedirs(out, exist_ok=True)
        probe = os.path.join(out, ".qxdcs-write-test")
        with open(probe, "w"):
            pass
        os.remove(probe)
    except OSError as exc:
        raise UsageError(f"cannot write to the output folder {out}: "
                         f"{exc.strerror or exc}") from None
    return out


def whole_number(low, problem=None):
    """An argparse type: a whole number of at least `low`; below it, the
    message is `problem` (default "must be at least LOW") and the value."""
    problem = problem or f"must be at least {low}"

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"{problem}: {value}")
        return value
    return parse

"""`python -m qxdcs` is the `qxdcs` command."""
from qxdcs.cli import cli

cli()

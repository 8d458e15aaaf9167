"""`python -m qxdcs.study [OPTIONS]`: `qxdcs study` on the package's reactor example."""
from qxdcs.study import cli

if __name__ == "__main__":
    cli()

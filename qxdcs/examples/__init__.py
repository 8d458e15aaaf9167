"""Strategy files shipped with the package, with their model files:

* ``reactor.toml`` (and ``reactor-model.json``): the main job of
  ``python -m qxdcs.demo``: an LPV reactor, two loops, feed-forward, a ramped
  setpoint, an alarm, a soft sensor with laboratory results;
* ``column.toml``: a distillation column, a 2x2 plant with strong
  interaction, two loops and feed-forward of the feed flow.
"""
import os

NAMES = ("reactor.toml", "column.toml", "reactor-model.json")


def path(name: str) -> str:
    """The path of a shipped example file."""
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    if not os.path.exists(here):
        raise FileNotFoundError(f"no example {name!r} (examples: {', '.join(NAMES)})")
    return here

"""Studies of a strategy file: many runs of it, some of its numbers changed.

A study is a grid of scenarios: each names numbers of the file by key path
(``loop.TI101.KP``, ``plant.model.TI101.FV101.iodelay_s``,
``simulation.seed``, the whole-plant factors ``plant.gain_factor`` and
``plant.delay_factor``) and gives each a value; the scenarios are the product
of the axes. Each scenario runs as ``qxdcs run`` would run the changed file
and gives one row: its values, its summary figures, its error text if it
failed.

    from qxdcs import study

    rows = study.run("my-plant.toml", {"loop.TIC1.KP": [-6, -4, -2],
                                       "simulation.seed": "1..5"}, workers=2)

From the command line: ``qxdcs study FILE --grid PATH=VALUES ... [--workers N
| --scheduler ADDRESS] [--out DIR] [--resume]``; ``qxdcs-study`` is that
command on the package's reactor example.

Where it runs: in this process (the default), on a local Dask cluster of
worker processes, or on an existing cluster; the rows are the same, bit for
bit, wherever it ran. The pieces: `grid` (axes, values, applying a scenario
to the file), `runner` (a scenario's row, in process or on Dask), `results`
(rows kept as they come), `figure` (heat maps), `command` (the command).
"""
import sys
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from qxdcs.study.grid import Axis, GridError, parse_option, parse_values, scenarios
from qxdcs.study.results import read_table
from qxdcs.study.runner import Cluster, StudyError, StudyWarning, run_scenario

__all__ = ["Axis", "GridError", "StudyError", "StudyWarning", "Cluster", "parse_option",
           "parse_values", "scenarios", "read_table", "run_scenario", "axes", "run", "cli"]


def axes(grid: Mapping[str, Union[str, Sequence[float]]]) -> List[Axis]:
    """Axes from a mapping of key path -> values (a list, or a text in the
    --grid syntax: "-6,-4,-2", "1..20", "lin(10,40,4)")."""
    from qxdcs.study.grid import from_table
    return from_table(dict(grid), "grid")


def run(strategy_file, grid: Mapping[str, Union[str, Sequence[float]]],
        samples: Optional[int] = None, workers: Optional[int] = None,
        scheduler: Optional[str] = None, client=None) -> List[Dict[str, Any]]:
    """The rows of a study of `strategy_file` (a path or a StrategyFile) over
    `grid`, in scenario order. `workers` starts a local Dask cluster,
    `scheduler` connects to one, `client` uses a Dask client of your own;
    none of them: in this process. Paths and values are checked first
    (GridError, or StrategyError for a value the file cannot take)."""
    from qxdcs import strategy
    from qxdcs.study import grid as gr
    from qxdcs.study import runner

    sf = strategy.load(strategy_file) if isinstance(strategy_file, str) else strategy_file
    checked = strategy.check(sf)
    if not checked.ok:
        raise strategy.StrategyError(checked.problems)
    ax = axes(grid)
    gr.check_axes(ax)
    gr.check_paths(sf, ax)
    for a in ax:
        for v in a.values:
            changed = strategy.check(gr.apply(sf, {a.path: v}))
            if not changed.ok:
                raise strategy.StrategyError(changed.errors)
    tasks = list(enumerate(scenarios(ax)))
    rows: Dict[int, Dict[str, Any]] = {}

    def keep(batch):
        for r in batch:
            rows[r["scenario"]] = r

    if workers is None and scheduler is None and client is None:
        runner.run_here(sf, tasks, keep, samples)
    else:
        cluster = runner.Cluster(workers, scheduler, client)
        try:
            from qxdcs.study.command import _samples
            runner.run_on_dask(cluster, sf, tasks, keep, samples, samples or _samples(sf))
        finally:
            cluster.close()
    return [rows[i] for i in sorted(rows)]


def reactor_file() -> str:
    """The package's reactor example (the strategy of the demonstration)."""
    import os
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "examples", "reactor.toml")


def main(argv=None) -> int:
    """`qxdcs-study [OPTIONS]`: `qxdcs study` on the reactor example."""
    from qxdcs import cli as qcli

    argv = list(sys.argv[1:] if argv is None else argv)
    if any(a in ("-h", "--help") for a in argv):
        print("qxdcs-study: `qxdcs study` on the package's reactor example "
              f"({reactor_file()}); the options are those of qxdcs study:\n")
    return qcli.main(["study", reactor_file()] + argv, prog="qxdcs-study")


def cli():
    """Console-script entry point (qxdcs-study)."""
    sys.exit(main())

"""Plants and loops described as files: the strategy-file format, its
checker, the plan it becomes, and the Python engine that runs it.

    from qxdcs import strategy

    sf = strategy.load("reactor.toml")              # the file as data
    sf = sf.replace({"loop.TI101.KP": -3.0})        # values by key path
    plan = strategy.make_plan(sf)                   # checked and numbered
    result = strategy.Engine(plan).run()            # traces of every signal
    summary = strategy.summarize(result)            # metrics per loop and soft sensor

The data flows one way: file -> checker -> plan -> engine -> traces,
summary, figure. The pieces need pydantic (the ``strategy`` extra).
"""
from qxdcs.strategy.problems import ERROR, WARNING, Problem, StrategyError
from qxdcs.strategy.files import StrategyFile, from_data, load, split_key
from qxdcs.strategy.checker import check
from qxdcs.strategy.plan import Plan, Step, make_plan, plan_with
from qxdcs.strategy.engine import Engine, Result, run

__all__ = ["ERROR", "WARNING", "Problem", "StrategyError", "StrategyFile", "from_data", "load",
           "split_key", "check", "Plan", "Step", "make_plan", "plan_with", "Engine", "Result",
           "run"]

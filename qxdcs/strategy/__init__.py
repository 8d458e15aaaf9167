"""Plants and loops described as files: the strategy-file format, its
checker, the plan it becomes, and the Python engine that runs it.

    from qxdcs import strategy

    sf = strategy.load("reactor.toml")              # the file as data
    sf = sf.replace({"loop.TI101.KP": -3.0})        # values by key path
    plan = strategy.make_plan(sf)                   # checked and numbered
    result = strategy.run(plan)                     # traces of every signal
    summary = strategy.metrics.summarize(result)    # metrics per loop and soft sensor

The data flows one way: file -> checker -> plan -> engine -> traces,
summary, figure. Two engines run plans and give the same traces bit for bit:
the native one (C++ blocks, no Python per sample; `native.py`) wherever a
plan allows it, else the Python one (`engine.py`); `strategy.run` chooses
(`engines.py`). The pieces need pydantic (the ``strategy`` extra).
"""
from qxdcs.strategy.problems import ERROR, WARNING, Problem, StrategyError
from qxdcs.strategy.files import StrategyFile, from_data, load, split_key
from qxdcs.strategy.checker import check
from qxdcs.strategy.plan import Plan, Step, make_plan, plan_with
from qxdcs.strategy.engine import Engine, EngineFailure, NonFinite, Result
from qxdcs.strategy.native import NativeEngine, NativePlan, NotNative, compile_plan
from qxdcs.strategy.engines import ENGINES, choose, make_engine, run

__all__ = ["ERROR", "WARNING", "Problem", "StrategyError", "StrategyFile", "from_data", "load",
           "split_key", "check", "Plan", "Step", "make_plan", "plan_with", "Engine", "EngineFailure",
           "NonFinite", "Result", "NativeEngine", "NativePlan", "NotNative", "compile_plan",
           "ENGINES", "choose", "make_engine", "run"]

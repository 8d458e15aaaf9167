"""Identification of models from step-test data, and PID tuning from them.

    from qxdcs.ident import identify, load_step_test, tune
    test = load_step_test("step.csv", mv=["FV101", "FV201"], cv=["TI101", "AI201"])
    result = identify(test, structure="auto")
    result.plant()        # {"Ts", "model", "initial"}: MIMOSim(model, initial, Ts)
    loop = tune(result.plant(), "TI101", "FV101")   # KP, TI, TD, N, margins, steps
"""
from qxdcs.ident.data import IdentError, StepTest, load_step_test, step_test, write_csv
from qxdcs.ident.experiment import simulate_step_test, step_sequence
from qxdcs.ident.identify import Identification, identify, simulate
from qxdcs.ident.tuning import Tuning, tune

__all__ = ["IdentError", "StepTest", "load_step_test", "step_test", "write_csv", "identify",
           "Identification", "simulate", "simulate_step_test", "step_sequence", "tune", "Tuning"]

"""Tuning rules against hand-computed values, the controller's law against the
PID block, margins against known loops, and the closed-loop steps."""
import math
import re

import numpy as np
import pytest
from scipy.signal import lfilter

from ident_cases import siso_plant
from qxdcs.algorithm.qxPIDControl import PID
from qxdcs.ident import IdentError
from qxdcs.ident.loop import controller, margins, plant_element
from qxdcs.ident.structures import STRUCTURES, entry, step_response
from qxdcs.ident.tuning import tune


def _tf(K, den, theta, integrating=False):
    out = {"mode": "tf_s", "num_s": [K], "den_s": den, "iodelay_s": theta}
    if integrating:
        out["IntegralMark"] = 1
    return out


FOPDT = _tf(2.0, [20, 1], 3)
SOPDT = _tf(1.0, [200, 30, 1], 3)


@pytest.mark.parametrize("model, kwargs, expected, reason", [
    # SIMC PI, FOPDT: tau_c = theta + h/2 = 3.5; Kc = 20/(2*7); TI = min(20, 4*7)
    (FOPDT, {}, (20 / 14, 20.0, 0.0, 3.5), "effective dead time"),
    # little dead time: tau_c = T/10 = 2 > 0.5; KP negative with the gain
    (_tf(-0.8, [20, 1], 0), {}, (20 / (-0.8 * 2.5), 10.0, 0.0, 2.0), "a tenth of"),
    # fast plant: tau_c = h = 1; Kc = 2/(1*1.5); TI = min(2, 6)
    (_tf(1.0, [2, 1], 0), {}, (2 / 1.5, 2.0, 0.0, 1.0), "the sample period"),
    # SOPDT PI by the half rule: tau1 = 25, theta = 3 + 0.5 + 5
    (SOPDT, {}, (25 / 17, 25.0, 0.0, 8.5), "half rule 5"),
    # SOPDT PID: Kc = 20/7, tauI = 20, tauD = 10, series -> ideal
    (SOPDT, {"ctrl": "pid"}, (20 / 7 * 1.5, 30.0, 200 / 30, 3.5), "effective dead time"),
    # integrating, SIMC: Kc = 1/(0.05*15), TI = 4*15
    (_tf(0.05, [1], 7, True), {}, (1 / 0.75, 60.0, 0.0, 7.5), "effective dead time"),
    # integrating, lambda 10: Kc = 27.5/(0.05*17.5^2), TI = 27.5
    (_tf(0.05, [1], 7, True), {"rule_name": "lambda", "tau_c": 10.0},
     (27.5 / (0.05 * 17.5 ** 2), 27.5, 0.0, 10.0), "given"),
    # lagged integrating PID: tauD = 10, Kc = 1/(0.05*15), tauI = 60
    (_tf(0.05, [10, 1], 7, True), {"ctrl": "pid"},
     (1 / 0.75 * (1 + 10 / 60), 70.0, 600 / 70, 7.5), "effective dead time"),
    # lambda FOPDT with tau_c 10: Kc = 20/(2*13.5), TI = T
    (FOPDT, {"rule_name": "lambda", "tau_c": 10.0}, (20 / 27, 20.0, 0.0, 10.0), "given"),
])
def test_rules_give_the_hand_computed_tuning(model, kwargs, expected, reason):
    t = tune(siso_plant(model), "Y", "U", **kwargs)
    assert (t.KP, t.TI, t.TD, t.tau_c) == pytest.approx(expected, rel=1e-9)
    assert reason in t.tau_c_reason
    assert t.margins.stable


def test_a_pid_for_a_first_order_model_is_a_pi_with_a_note():
    t = tune(siso_plant(FOPDT), "Y", "U", ctrl="pid")
    assert t.TD == 0.0 and "a PI" in t.notes[0]


def test_a_step_response_pair_is_reduced_first():
    stp = step_response(STRUCTURES["fopdt"], (2.0, 20.0), 3, 1.0, 150)
    t = tune(siso_plant({"mode": "stp", "stp": list(stp)}), "Y", "U")
    assert "reduced to fopdt" in t.notes[0]
    # The step response ends after 150 samples, at 1 - e^-7.35 of the gain.
    assert (t.KP, t.TI) == pytest.approx((20 / 14, 20.0), rel=5e-3)


@pytest.mark.parametrize("KP, TI, TD, N", [(2.0, 15.0, 0.0, 10.0), (1.5, 8.0, 4.0, 10.0),
                                           (-0.7, 0.0, 3.0, 5.0)])
def test_the_controllers_law_is_the_pid_blocks(KP, TI, TD, N):
    e = np.random.default_rng(0).normal(size=60)
    e[0] = 0.0
    pid = PID(1.0)
    pid.setPIDParam(KP, TI, TD, N)
    pid.setOPHighLowLimit(1e9, -1e9)
    op = np.array([pid.run(1, v, 0.0, 0.0) for v in e])
    num, den = controller(KP, TI, TD, N, 1.0)
    np.testing.assert_allclose(op, lfilter(num, den, e), rtol=0, atol=1e-9)


def test_margins_of_an_integrator_under_p_control_are_the_hand_computed_ones():
    # L = c z^-1 / (1 - z^-1), c = KP K h = 0.2: GM = 2/c at w = pi/h,
    # PM = 90 - asin(c/2) degrees, Ms = 1 / (1 - c/2) at w = pi/h.
    pn, pd = plant_element(_tf(0.1, [1], 0, True), 1.0)
    m = margins(pn, pd, *controller(2.0, 0.0, 0.0, 10.0, 1.0), 1.0)
    assert m.gain_margin == pytest.approx(10.0, rel=1e-6)
    assert m.phase_margin == pytest.approx(90 - math.degrees(math.asin(0.1)), rel=1e-6)
    assert m.ms == pytest.approx(1 / 0.9, rel=1e-6)
    assert m.w_gain == pytest.approx(2 * math.asin(0.1), rel=1e-6)


def test_simc_margins_approach_the_continuous_ones_at_a_short_sample_period():
    # tau_c = theta and TI = tau1 leave L = e^(-theta s) / (2 theta s): GM = pi,
    # PM = 90 - 180/(2 pi) degrees, Ms = 1.59.
    h = 0.05                                    # the hold adds h/2 to the 5 s delay
    pn, pd = plant_element(_tf(1.0, [10, 1], 5), h)
    m = margins(pn, pd, *controller(1.0, 10.0, 0.0, 10.0, h), h)
    assert m.gain_margin == pytest.approx(math.pi, rel=0.01)
    assert m.phase_margin == pytest.approx(90 - 90 / math.pi, rel=0.01)
    assert m.ms == pytest.approx(1.59, abs=0.01)


def test_an_unstable_tuning_is_reported_unstable():
    pn, pd = plant_element(FOPDT, 1.0)
    m = margins(pn, pd, *controller(20.0, 5.0, 0.0, 10.0, 1.0), 1.0)
    assert not m.stable and m.gain_margin < 1


# SIMC's integral time on an integrating plant overshoots a setpoint step.
@pytest.mark.parametrize("model, overshoot", [(FOPDT, 25), (SOPDT, 25),
                                              (_tf(0.05, [10, 1], 7, True), 60)])
def test_closed_loop_steps_settle_at_the_setpoint(model, overshoot):
    t = tune(siso_plant(model, y0=10.0, u0=50.0), "Y", "U")
    sp, load = t.steps
    assert sp.pv[-1] == pytest.approx(11.0, abs=0.005)
    assert load.pv[-1] == pytest.approx(11.0, abs=0.005)
    assert 0 < sp.settling_time < sp.time[-1] - sp.time[0]
    assert sp.peak < overshoot and load.peak > 0.05 and sp.iae > 0


@pytest.mark.parametrize("plant, kwargs, message", [
    (siso_plant(FOPDT), {"cv": "Z", "mv": "U"}, "no CV 'Z'"),
    (siso_plant(FOPDT), {"cv": "Y", "mv": "V"}, "no model for Y:V (MVs of Y: U)"),
    (siso_plant(_tf(0.0, [5, 1], 1)), {}, "gain is 0"),
    (siso_plant(FOPDT), {"tau_c": -1.0}, "--tau-c must be a positive"),
    (siso_plant(_tf(1.0, [1], 3)), {}, "no lag"),
])
def test_pairs_that_cannot_be_tuned_are_refused(plant, kwargs, message):
    kwargs = {"cv": "Y", "mv": "U", **kwargs}
    with pytest.raises(IdentError, match=re.escape(message)):
        tune(plant, **kwargs)


def test_lambda_pid_for_a_second_order_model():
    # lambda 6: Kc = 20/(1*(6 + 3.5)), tauI = 20, tauD = 10, then series -> ideal.
    t = tune(siso_plant(SOPDT), "Y", "U", rule_name="lambda", ctrl="pid", tau_c=6.0)
    kc = 20 / 9.5
    assert (t.KP, t.TI, t.TD) == pytest.approx((kc * 1.5, 30.0, 200 / 30), rel=1e-9)


def test_a_discrete_pair_is_reduced_from_its_step_response():
    # 0.1 z^-1 / (1 - 0.9 z^-1) with 2 samples of delay: K = 1, T = -1/ln 0.9.
    pair = {"mode": "tf_z", "num_z": [0, 0.1], "den_z": [1, -0.9], "iodelay_z": 2}
    t = tune(siso_plant(pair), "Y", "U")
    assert "reduced to fopdt" in t.notes[0]
    assert t.model.K == pytest.approx(1.0, rel=1e-6)
    assert t.model.taus[0] == pytest.approx(-1 / math.log(0.9), rel=1e-6)
    assert t.model.theta == 2.0


def test_a_derivative_filter_factor_must_be_positive():
    with pytest.raises(IdentError, match="N must be a positive number, not 0"):
        tune(siso_plant(SOPDT), "Y", "U", ctrl="pid", N=0.0)

"""The summary's figures mean what docs/metrics.md says, on traces made by
hand: settling against a band of the larger of 2 % of the change and three
standard deviations of the noise, overshoot within the window up to the
next event that moves the loop, a ramp counted from its end."""
import math

import numpy as np
import pytest

pytest.importorskip("pydantic")

from qxdcs import strategy  # noqa: E402
from qxdcs.strategy import metrics  # noqa: E402
from qxdcs.strategy.engine import Result  # noqa: E402

from strategies import load_text  # noqa: E402

BODY = """
[simulation]
sample_period_s = 1
samples = 100

[plant]
initial = {{ T = 0.0, V = 0.0, F = 0.0 }}
[plant.model.T]
V = {{ mode = "tf_s", num_s = [1.0], den_s = [5, 1] }}
F = {{ mode = "tf_s", num_s = [1.0], den_s = [5, 1] }}

[loop.TC]
cv = "T"
mv = "V"
KP = 1.0
TI = 5.0
op_low = -1.0
op_high = 1.0
mode = "manual"
mode_changes = [[5, "auto"]]
sp = {sp}
measurement_noise = {noise}
{rate}

[signal.F]
kind = "steps"
initial = 0.0
at = [[60, 1.0]]

[alarm.A]
loop = "TC"
band = 0.5
delay_s = 1
"""


def made(tmp_path, pv, sp=None, op=None, noise=0.0, sp_text="[[10, 1.0]]", rate=""):
    """A result of the strategy above whose loop traces are the given ones."""
    plan = strategy.make_plan(load_text(tmp_path, BODY.format(sp=sp_text, noise=noise,
                                                               rate=rate)))
    n = plan.samples
    loop = plan.loops[0]
    traces = {name: np.zeros(n) for name in plan.signals}
    if sp is None:
        sp = np.where(np.arange(n) >= 10, 1.0, 0.0)
    traces[plan.signals[loop.sp]] = np.asarray(sp, float)
    traces[plan.signals[loop.pv]] = np.asarray(pv, float)
    traces[plan.signals[loop.op]] = np.zeros(n) if op is None else np.asarray(op, float)
    return Result(plan, np.arange(n) * 1.0, traces, {}), loop


K = np.arange(100)


def approach(tau, start=10, level=1.0):
    return np.where(K >= start, level * (1 - np.exp(-(K - start) / tau)), 0.0)


def test_the_loop_knows_the_events_that_move_it(tmp_path):
    _, loop = made(tmp_path, np.zeros(100))
    assert loop.sp_changes == (10.0,) and 60.0 in loop.events and 5.0 in loop.events


def test_settling_is_when_the_error_enters_the_two_percent_band_for_good(tmp_path):
    r, loop = made(tmp_path, approach(4.0))
    m = metrics.loop_metrics(r, loop)
    # |1 - PV| > 0.02 while exp(-(k - 10)/4) > 0.02: up to k - 10 = 15
    assert m["settling_time"] == 16.0 and m["overshoot_pct"] == 0.0


def test_overshoot_is_the_peak_beyond_the_new_setpoint(tmp_path):
    pv = np.where(K >= 10, 1.0, 0.0)
    pv[20] = 1.25
    r, loop = made(tmp_path, pv)
    m = metrics.loop_metrics(r, loop)
    assert m["overshoot_pct"] == pytest.approx(25.0) and m["settling_time"] == 11.0


def test_one_noisy_sample_moves_neither_settling_nor_overshoot(tmp_path):
    pv = np.where(K >= 10, 1.0, 0.0)
    pv[30] = 1.1                             # inside 3 sigma of a 0.05 noise
    r, loop = made(tmp_path, pv, noise=0.05)
    m = metrics.loop_metrics(r, loop)
    assert m["settling_time"] == 0.0 and m["overshoot_pct"] == 0.0
    pv[30] = 1.2                             # outside it: counted, less the noise's 0.15
    r, loop = made(tmp_path, pv, noise=0.05)
    m = metrics.loop_metrics(r, loop)
    assert m["settling_time"] == 21.0 and m["overshoot_pct"] == pytest.approx(5.0)


def test_the_window_ends_at_the_next_event_that_moves_the_loop(tmp_path):
    pv = approach(4.0)
    pv[70] = 3.0                             # after the step of F at 60 s: not this change's
    r, loop = made(tmp_path, pv)
    m = metrics.loop_metrics(r, loop)
    assert m["settling_time"] == 16.0 and m["overshoot_pct"] == 0.0
    assert m["setpoint_changes"][0]["window"] == 50.0


def test_a_loop_not_settled_when_its_window_ends(tmp_path):
    pv = np.where(K >= 10, 0.9, 0.0)
    r, loop = made(tmp_path, pv)
    m = metrics.loop_metrics(r, loop)
    assert math.isnan(m["settling_time"])
    summary = metrics.summarize(r)
    assert "n/a" in metrics.table(summary).splitlines()[1]


def test_a_ramp_counts_from_its_end(tmp_path):
    # Setpoint ramped at 6 per minute (0.1 per sample) from 10 s: it reaches 1 at 19 s.
    sp = np.clip((K - 9) * 0.1, 0.0, 1.0)
    pv = np.minimum(sp, np.where(K >= 19, 1.0, sp))
    pv[25] = 0.97
    r, loop = made(tmp_path, pv, sp=sp, rate="sp_rate_per_min = 6")
    (change,) = metrics.loop_metrics(r, loop)["setpoint_changes"]
    assert change["time"] == 10.0 and change["end"] == 19.0
    assert change["settling_time"] == 7.0             # 25 s - 19 s + one sample
    assert change["change"] == pytest.approx(1.0)


def test_a_step_down_measures_the_undershoot(tmp_path):
    sp = np.where(K >= 10, 0.0, 1.0)
    pv = sp.copy()
    pv[15] = -0.4
    r, loop = made(tmp_path, pv, sp=sp, sp_text="[[0, 1.0], [10, 0.0]]")
    m = metrics.loop_metrics(r, loop)
    assert m["overshoot_pct"] == pytest.approx(40.0) and m["settling_time"] == 6.0


def test_iae_and_time_at_the_limits_count_the_time_in_automatic_only(tmp_path):
    sp = np.ones(100)
    pv = np.zeros(100)
    op = np.zeros(100)
    op[:5] = 1.0                             # at the high limit in manual: not counted
    op[50:53] = -1.0                         # at the low limit in automatic
    r, loop = made(tmp_path, pv, sp=sp, op=op, sp_text="1.0")
    m = metrics.loop_metrics(r, loop)
    assert m["IAE"] == 95.0 and m["time_at_limits"] == 3.0
    assert m["setpoint_changes"] == [] and math.isnan(m["overshoot_pct"])


def test_times_are_in_the_display_unit(tmp_path):
    r, loop = made(tmp_path, approach(4.0))
    plan = r.plan
    from dataclasses import replace
    r = Result(replace(plan, time_unit="min"), r.time, r.traces, {})
    m = metrics.summarize(r)["loops"]["TC"]
    assert m["settling_time"] == pytest.approx(16.0 / 60) and m["units"]["IAE"] == "min"


def test_alarm_time_and_activations(tmp_path):
    r, _ = made(tmp_path, np.zeros(100))
    on = np.zeros(100)
    on[[0, 1, 5, 6, 7]] = 1.0
    r.traces["A"] = on
    a = metrics.summarize(r)["alarms"]["A"]
    assert a["time_in_alarm"] == 5.0 and a["activations"] == 2


def test_flat_and_rows_hold_every_figure(tmp_path):
    r, _ = made(tmp_path, approach(4.0))
    s = metrics.summarize(r)
    flat = metrics.flat(s)
    assert flat["loop.TC.settling_time"] == 16.0 and "alarm.A.time_in_alarm" in flat
    assert ("loop", "TC", "IAE", s["loops"]["TC"]["IAE"], "s") in metrics.rows(s)

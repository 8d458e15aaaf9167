import builtins
import copy
import math
import pickle
import random
import sys
import warnings
from fractions import Fraction

import numpy as np
import pytest

from qxdcs.algorithm.qxPIDControl import PID

ERR_LIMITS = "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!"
RECORD_KEYS = ["OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"]
HISTORY = ["_et1", "_et2", "_OP1", "_FF1", "_dOPD1"]


def reference_step(s, SP, PV, FF):
    """One automatic step written out from the control law, on a dict of state."""
    et = SP - PV
    det = et - s["et1"]
    ddet = et - 2 * s["et1"] + s["et2"]
    dP = s["KP"] * det
    dI = (s["KP"] * s["TS"]) / s["TI"] * et if s["TI"] > 0 else 0
    if s["TD"] > 0:
        dD = (s["TD"] / s["N"] * s["dOPD1"] + s["KP"] * s["TD"] * ddet) / max(
            s["TD"] / s["N"] + s["TS"], 0.000001)
    else:
        dD = 0
    dFF = FF - s["FF1"]
    dOP = dP + dI + dD + dFF
    OPcal = dOP + s["OP1"]
    x = s["LO"] if s["LO"] > OPcal else OPcal
    OP = s["HI"] if s["HI"] < x else x
    s.update(et2=s["et1"], et1=et, OP1=OP, FF1=FF, dOPD1=dD)
    return OP, [OP, OPcal, dOP, dP, dI, dD, dFF]


def state_of(pid):
    return pid.__getstate__()


@pytest.mark.parametrize("KP,TI,TD,N,TS", [
    (1.0, 60.0, 0.0, 10.0, 1.0),
    (2.5, 12.0, 3.0, 8.0, 0.5),
    (-0.7, 0.0, 1.5, 4.0, 2.0),
    (0.3, 5.0, 0.2, 0.000001, 1e-9),   # derivative denominator at its floor
])
def test_automatic_steps_match_the_control_law_bit_for_bit(KP, TI, TD, N, TS):
    rng = random.Random(1234)
    pid = PID(TS)
    pid.setPIDParam(KP, TI, TD, N)
    pid.setOPHighLowLimit(80.0, -20.0)
    SP, PV, TV, FF = 40.0, 35.0, 10.0, 1.0
    pid.run(1, SP, PV, TV, FF)
    s = dict(KP=KP, TI=TI, TD=TD, N=N, TS=TS, HI=80.0, LO=-20.0,
             et1=pid._et1, et2=pid._et2, OP1=pid._OP1, FF1=pid._FF1, dOPD1=pid._dOPD1)
    for _ in range(300):
        SP = rng.choice([SP, rng.uniform(-50, 120)])
        PV, FF = rng.uniform(-50, 120), rng.uniform(-5, 5)
        expected, record = reference_step(s, SP, PV, FF)
        got = pid.run(1.0, SP, PV, 0.0, FF)
        assert got == expected or (math.isnan(got) and math.isnan(expected))
        assert list(pid.getInnerSaveState().values()) == record
        assert [getattr(pid, a) for a in HISTORY] == [s["et1"], s["et2"], s["OP1"], s["FF1"], s["dOPD1"]]


def test_first_automatic_call_is_bumpless_with_integral_only():
    pid = PID(2.0)
    pid.setPIDParam(KP=3.0, TI=30.0, TD=4.0, N=10.0)
    op = pid.run(1, 50.0, 45.0, 20.0, 7.0)
    assert op == 20.0 + 3.0 * 2.0 / 30.0 * 5.0
    rec = pid.getInnerSaveState()
    assert rec["dOP_P"] == 0.0 and rec["dOP_D"] == 0.0 and rec["dFF"] == 0.0


def test_default_tuning_ramps_by_error_over_sixty_per_sample():
    pid = PID()
    e = 6.0
    ops = [pid.run(1, 10.0 + e, 10.0, 30.0) for _ in range(5)]
    assert np.allclose(np.diff([30.0] + ops), e / 60.0, rtol=0, atol=1e-12)


@pytest.mark.parametrize("args,expected", [
    (dict(TI=-5), (1.0, 0.0, 0.0, 10.0)),
    (dict(TD=-1e-300), (1.0, 60.0, 0.0, 10.0)),
    (dict(N=0), (1.0, 60.0, 0.0, 0.000001)),
    (dict(N=0.000001), (1.0, 60.0, 0.0, 0.000001)),
    (dict(KP=-2.0, TI=0.0, TD=0.0, N=2e-6), (-2.0, 0.0, 0.0, 2e-6)),
])
def test_tuning_floors(args, expected):
    pid = PID()
    pid.setPIDParam(**args)
    assert pid.getPIDParam() == expected


def test_gain_and_sample_period_are_stored_as_passed():
    pid = PID(TS=2)
    pid.setPIDParam(KP=3)
    assert type(pid._TS) is int and pid._TS == 2
    kp = pid.getPIDParam()[0]
    assert type(kp) is int and kp == 3
    assert type(pid._TI) is float
    frac = Fraction(1, 3)
    pid.setPIDParam(KP=frac)
    assert pid._KP is frac
    op = pid.run(1, 6.0, 0.0, 0.0)
    assert op == 0.0 + (float(frac) * 2.0) / 60.0 * 6.0


@pytest.mark.parametrize("which", ["TI", "TD"])
def test_nan_time_switches_that_action_off(which):
    pid = PID()
    tuning = dict(KP=1.0, TI=20.0, TD=2.0, N=10.0)
    tuning[which] = float("nan")
    pid.setPIDParam(**tuning)
    assert math.isnan(getattr(pid, "_" + which))
    pid.run(1, 5.0, 0.0, 10.0)
    for sp in (6.0, 9.0, 4.0):
        assert not math.isnan(pid.run(1, sp, 1.0, 0.0))
        key = "dOP_I" if which == "TI" else "dOP_D"
        assert pid.getInnerSaveState()[key] == 0


def test_nan_filter_factor_with_derivative_gives_nan_outputs():
    pid = PID()
    pid.setPIDParam(TD=1.0, N=float("nan"))
    pid.run(1, 5.0, 0.0, 10.0)
    assert math.isnan(pid.run(1, 5.0, 0.0, 10.0))


def test_limits_equal_and_refused(capsys):
    pid = PID()
    pid.setOPHighLowLimit(50, 50)
    assert pid.getOPHighLowLimit() == (50.0, 50.0)
    assert type(pid._OP_HI) is float
    assert [pid.run(1, sp, 0.0, 0.0) for sp in (100.0, -100.0, 0.0)] == [50.0] * 3
    capsys.readouterr()
    for hi, lo in [(0, 100), (float("nan"), 0.0), (10.0, float("nan"))]:
        pid.setOPHighLowLimit(hi, lo)
        assert capsys.readouterr().out == ERR_LIMITS + "\n"
        assert pid.getOPHighLowLimit() == (50.0, 50.0)


def test_message_goes_through_python_print(monkeypatch):
    lines = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: lines.append(a))
    PID().setOPHighLowLimit(0, 1)
    assert lines == [(ERR_LIMITS,)]


def test_no_windup_at_the_high_limit():
    pid = PID()
    pid.setPIDParam(KP=1.0, TI=5.0)
    pid.setOPHighLowLimit(60.0, 0.0)
    pid.run(1, 10.0, 0.0, 55.0)
    assert pid.run(1, 10.0, 0.0, 0.0) == 59.0
    for _ in range(50):
        assert pid.run(1, 10.0, 0.0, 0.0) == 60.0
        assert pid._OP1 == 60.0
    rec = pid.getInnerSaveState()
    assert rec["OPcal"] > rec["OP"] == 60.0
    # Error reverses: the first negative total increment leaves the limit at once.
    op = pid.run(1, -1.0, 0.0, 0.0)
    assert op < 60.0
    assert op == 60.0 + (-1.0 - 10.0) + 1.0 * 1.0 / 5.0 * -1.0


@pytest.mark.parametrize("mode,automatic", [
    (0.5, False), (1.49, True), (1.5, False), (2.0, False), (2.5, False),
    (-0.4, False), (0.51, True), (1, True), (True, True), (0, False), (-1, False), (1e300, False),
    (np.float32(1.0), True),
])
def test_mode_rounds_half_to_even(mode, automatic):
    pid = PID()
    first = pid.run(1, 10.0, 0.0, 20.0)
    op = pid.run(mode, 10.0, 0.0, 20.0)
    assert op == (first + 10.0 / 60.0 if automatic else 20.0)


def test_tracking_outside_limits_keeps_tv_as_previous_output():
    pid = PID()
    assert pid.run(0, 10.0, 10.0, 150.0) == 100.0
    assert pid._OP1 == 150.0
    rec = pid.getInnerSaveState()
    assert rec == dict(OP=150.0, OPcal=150.0, dOP=0.0, dOP_P=0.0, dOP_I=0.0, dOP_D=0.0, dFF=0.0)
    assert pid.run(1, 10.0, 10.0, 0.0) == 100.0


def test_manual_record_after_first_call():
    pid = PID()
    pid.run(0, 1.0, 2.0, 42.0)
    assert pid.getInnerSaveState() == dict(OP=42.0, OPcal=42.0, dOP=0.0, dOP_P=0.0,
                                           dOP_I=0.0, dOP_D=0.0, dFF=0.0)
    assert pid._iniFlag is False


def test_feed_forward_enters_as_increment():
    pid = PID()
    pid.setPIDParam(TI=0.0)
    pid.run(1, 5.0, 5.0, 30.0, 2.0)
    assert pid.run(1, 5.0, 5.0, 0.0, 2.0) == 30.0
    assert pid.run(1, 5.0, 5.0, 0.0, 5.0) == 33.0
    assert pid.run(1, 5.0, 5.0, 0.0, 5.0) == 33.0


@pytest.mark.parametrize("pos", [1, 2, 4])
def test_nan_input_propagates_until_a_reset(pos):
    pid = PID()
    pid.run(1, 5.0, 5.0, 30.0, 0.0)
    args = [1, 5.0, 5.0, 30.0, 0.0]
    args[pos] = float("nan")
    assert math.isnan(pid.run(*args))
    assert math.isnan(pid._OP1)
    assert math.isnan(pid.run(1, 5.0, 5.0, 30.0, 0.0))
    assert pid.run(0, 5.0, 5.0, 30.0, 0.0) == 30.0
    assert pid.run(1, 5.0, 5.0, 0.0, 0.0) == 30.0


@pytest.mark.parametrize("mode,exc,msg", [
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("-inf"), OverflowError, "cannot convert float infinity to integer"),
])
def test_unconvertible_mode(mode, exc, msg):
    pid = PID()
    with pytest.raises(exc, match=msg):
        pid.run(mode, 3.0, 1.0, 7.0)
    # The first-call reset happened before the mode was examined.
    assert pid._iniFlag is False and pid._OP1 == 7.0
    before = state_of(pid)
    with pytest.raises(exc):
        pid.run(mode, 9.0, 1.0, 8.0)
    assert state_of(pid) == before


@pytest.mark.parametrize("bad", ["1.0", None, b"1", [1.0], 1j, object()])
@pytest.mark.parametrize("pos", range(5))
def test_non_numeric_run_argument_raises_before_any_change(bad, pos):
    pid = PID()
    pid.run(1, 5.0, 4.0, 30.0)
    before = state_of(pid)
    args = [1, 5.0, 4.0, 30.0, 0.0]
    args[pos] = bad
    with pytest.raises(TypeError):
        pid.run(*args)
    assert state_of(pid) == before
    # The failed call left no trace: the next call is the same as on a twin.
    twin = copy.deepcopy(pid)
    assert pid.run(1, 6.0, 4.0, 30.0) == twin.run(1, 6.0, 4.0, 30.0)


@pytest.mark.parametrize("call", [
    lambda p: p.run(1, 2, 3),
    lambda p: p.run(1, 2, 3, 4, 5, 6),
    lambda p: p.run(1, 2, 3, 4, FX=0),
    lambda p: p.PID_Auto(1),
    lambda p: p._resetPID(1, 2, 3),
    lambda p: p.setPIDParam(K=1),
    lambda p: p._setInnerSaveState(1, 2, 3, 4, 5, 6),
    lambda p: p._setInnerSaveState(1, 2, 3, 4, 5, 6, 7, extra=8),
    lambda p: PID(1.0, 2.0),
    lambda p: PID("1"),
    lambda p: p.setPIDParam(KP="2"),
    lambda p: p.setPIDParam(TI=None),
    lambda p: p.setOPHighLowLimit("100"),
])
def test_bad_calls_raise_type_error_and_change_nothing(call):
    pid = PID()
    pid.run(1, 5.0, 4.0, 30.0)
    before = state_of(pid)
    with pytest.raises(TypeError):
        call(pid)
    assert state_of(pid) == before


@pytest.mark.parametrize("value", [3, np.float64(2.5), np.int64(4), np.float32(0.25), Fraction(1, 4), True])
def test_real_numbers_are_accepted(value):
    pid = PID()
    assert pid.run(0, value, value, value, value) == float(value)
    assert pid._FF1 == float(value)


def test_fresh_object_has_no_history_or_record():
    pid = PID()
    for name in HISTORY + ["_OP_save", "_dFF_save"]:
        assert not hasattr(pid, name)
    with pytest.raises(AttributeError, match="_et1"):
        pid.PID_Auto(1.0, 2.0)
    with pytest.raises(AttributeError, match="_OP_save"):
        pid.getInnerSaveState()
    assert pid._iniFlag is True
    assert not hasattr(pid, "_et1")


def test_pid_auto_after_explicit_reset_skips_first_call_logic():
    pid = PID()
    pid._resetPID(10.0, 4.0, 25.0, 1.0)
    assert pid._iniFlag is False
    assert pid.PID_Auto(10.0, 4.0) == 25.0 + 6.0 / 60.0 - 1.0
    assert pid.getInnerSaveState()["dFF"] == -1.0


def test_inner_save_state_stores_objects_unchanged():
    pid = PID()
    values = ["a", [1], None, 2, 3.5, Fraction(1, 2), (7,)]
    pid._setInnerSaveState(*values)
    rec = pid.getInnerSaveState()
    assert list(rec) == RECORD_KEYS
    assert all(a is b for a, b in zip(rec.values(), values))
    assert pid._OP_save == "a"
    rec["OP"] = 99
    assert pid.getInnerSaveState()["OP"] == "a"
    # The next step writes a fresh record of floats.
    pid.run(0, 1.0, 1.0, 5.0)
    assert pid.getInnerSaveState()["OP"] == 5.0
    kwargs = dict(zip(["OP_save", "OPcal_save", "dOP_save", "dOP_P_save", "dOP_I_save",
                       "dOP_D_save", "dFF_save"], range(7)))
    pid._setInnerSaveState(**kwargs)
    assert list(pid.getInnerSaveState().values()) == list(range(7))


def test_record_invariants_over_a_run():
    pid = PID(0.5)
    pid.setPIDParam(1.3, 0.0, 0.0, 5.0)
    pid.run(1, 3.0, 0.0, 10.0, 0.0)
    prev = 10.0
    rng = random.Random(7)
    for _ in range(50):
        pid.run(1, rng.uniform(0, 10), rng.uniform(0, 10), 0.0, rng.uniform(-1, 1))
        r = pid.getInnerSaveState()
        assert r["dOP_I"] == 0 and r["dOP_D"] == 0
        assert r["dOP"] == ((r["dOP_P"] + r["dOP_I"]) + r["dOP_D"]) + r["dFF"]
        assert r["OPcal"] == r["dOP"] + prev
        prev = r["OP"]


FORM = """
Name: Non-Interacting A
Continuous Time:
                  1             TD*s
u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]
                TI*s         TD
                            -----*s  +  1
                              N
Discrete: (Backward Euler)

    1        TS*z
---- = ------------
    s        z - 1

Default Parameters:
Kp = 1.0
TI = 60.0
TD = 0.0
N = 10.0
TS = 1
"""


def test_form_text(capsys):
    pid = PID(5.0)
    pid.setPIDParam(9.0, 1.0, 1.0, 1.0)
    text = pid.getPIDForm()
    assert text == FORM
    assert text.startswith("\n") and text.endswith("TS = 1\n")
    assert len(text[1:].splitlines()) == 19
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))])
def test_snapshot_continues_exactly(clone):
    pid = PID(0.5)
    pid.setPIDParam(KP=2, TI=7.0, TD=1.5, N=6.0)
    pid.setOPHighLowLimit(90.0, -10.0)
    fresh = clone(pid)
    assert fresh._iniFlag is True and not hasattr(fresh, "_et1")
    assert type(fresh._KP) is int
    rng = random.Random(3)
    for _ in range(20):
        pid.run(1, rng.uniform(0, 50), rng.uniform(0, 50), 0.0, rng.uniform(-1, 1))
    twin = clone(pid)
    assert state_of(twin) == state_of(pid)
    for _ in range(50):
        args = (rng.choice([0, 1, 1, 1]), rng.uniform(0, 50), rng.uniform(0, 50),
                rng.uniform(0, 50), rng.uniform(-1, 1))
        assert pid.run(*args) == twin.run(*args)
        assert pid.getInnerSaveState() == twin.getInnerSaveState()
    pid._setInnerSaveState("x", 1, 2, 3, 4, 5, 6)
    assert clone(pid).getInnerSaveState() == pid.getInnerSaveState()


def test_two_controllers_are_independent():
    a, b = PID(), PID()
    a.setPIDParam(KP=5.0)
    a.setOPHighLowLimit(10.0, 5.0)
    outs_a = [a.run(1, 3.0, 1.0, 7.0) for _ in range(3)]
    outs_b = [b.run(1, 3.0, 1.0, 7.0) for _ in range(3)]
    assert b.getPIDParam() == (1.0, 60.0, 0.0, 10.0) and b.getOPHighLowLimit() == (100.0, 0.0)
    c = PID()
    assert [c.run(1, 3.0, 1.0, 7.0) for _ in range(3)] == outs_b != outs_a


def test_repr_shows_tuning():
    pid = PID(2)
    pid.setPIDParam(1.5, 20.0, 0.0, 10.0)
    assert repr(pid) == "PID(TS=2, KP=1.5, TI=20.0, TD=0.0, N=10.0, OP_HI=100.0, OP_LO=0.0)"


def test_subclass_overrides_are_called_where_the_controller_calls_them():
    calls = []

    class Logged(PID):
        def _resetPID(self, SP, PV, TV, FF):
            calls.append("reset")
            super()._resetPID(SP, PV, TV, FF)

        def PID_Auto(self, SP, PV, FF=0.0):
            calls.append("auto")
            return super().PID_Auto(SP, PV, FF)

        def _setInnerSaveState(self, **record):
            calls.append(("save", record["OP_save"]))
            super()._setInnerSaveState(**record)

    logged, plain = Logged(), PID()
    sequence = [(0, 1.0, 1.0, 5.0), (1, 2.0, 1.0, 5.0), (1, 3.0, 1.0, 5.0), (2, 3.0, 1.0, 150.0)]
    outs = [logged.run(*args) for args in sequence]
    assert outs == [plain.run(*args) for args in sequence]
    assert logged.getInnerSaveState() == plain.getInnerSaveState()
    assert calls == ["reset", ("save", 5.0), "reset", ("save", 5.0),
                     "auto", ("save", outs[1]), "auto", ("save", outs[2]),
                     "reset", ("save", 150.0)]


def test_inner_save_state_runs_no_code_of_its_arguments():
    class Loud:
        def __float__(self):
            raise AssertionError("converted")

    pid = PID()
    loud = Loud()
    pid._setInnerSaveState(loud, 0, 0, 0, 0, 0, 0)
    assert pid.getInnerSaveState()["OP"] is loud


# --- restoring a state ---------------------------------------------------------


class Slotted(PID):
    """A user's subclass with slots of its own (module level, for pickle)."""

    __slots__ = ("loop", "unit")


def _running_pid():
    pid = PID(0.5)
    pid.setPIDParam(KP=2, TI=7.0, TD=1.5, N=6.0)
    pid.setOPHighLowLimit(90.0, -10.0)
    for k in range(5):
        pid.run(1, 40.0 + k, 35.0, 0.0, 0.1 * k)
    return pid


@pytest.mark.parametrize("change,exc", [
    (dict(_OP_HI=0.0, _OP_LO=10.0), ValueError),
    (dict(_OP_HI=float("nan")), ValueError),
    (dict(_OP_LO=float("nan")), ValueError),
    (dict(_TI=-1.0), ValueError),
    (dict(_TD=-1e-300), ValueError),
    (dict(_N=0.0), ValueError),
    (dict(_TI="60"), TypeError),
    (dict(_KP=None), TypeError),
    (dict(_et2=[1.0]), TypeError),
    (dict(_KP=KeyError), KeyError),       # the key is missing
    (dict(_OP_LO=KeyError), KeyError),
], ids=["limits reversed", "OP_HI NaN", "OP_LO NaN", "TI below 0", "TD below 0", "N below 1e-6",
        "TI a string", "KP None", "history a list", "no KP", "no OP_LO"])
def test_refused_state_leaks_nothing_and_changes_nothing(change, exc):
    pid = _running_pid()
    state = pid.__getstate__()
    kept = [Fraction(1, 3), object()]          # objects a restore would keep
    state.update(_TS=kept[0], _dOP_save=kept[1])
    for key, value in change.items():
        if value is KeyError:
            del state[key]
        else:
            state[key] = value
    counts = [sys.getrefcount(o) for o in kept]
    raw = PID.__new__(PID)
    before = state_of(pid)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)   # nanobind: (un)initialised instance
        with pytest.raises(exc):
            raw.__setstate__(state)
        with pytest.raises(TypeError):        # a controller in use is never restored over
            pid.__setstate__(state)
        with pytest.raises(TypeError):        # still unconstructed
            raw.run(1, 5.0, 4.0, 30.0)
    assert state_of(pid) == before
    assert [sys.getrefcount(o) for o in kept] == counts
    # The refused object takes a valid state later.
    raw.__setstate__(pid.__getstate__())
    assert raw.run(1, 41.0, 35.0, 0.0) == pid.run(1, 41.0, 35.0, 0.0)


def test_restored_state_keeps_what_the_setters_keep():
    pid = PID()
    pid.setPIDParam(KP=Fraction(1, 2), TI=float("nan"), TD=float("nan"), N=float("nan"))
    pid.setOPHighLowLimit(5.0, 5.0)
    twin = pickle.loads(pickle.dumps(pid))
    assert twin._KP == Fraction(1, 2) and type(twin._KP) is Fraction
    assert all(math.isnan(v) for v in twin.getPIDParam()[1:])
    assert twin.getOPHighLowLimit() == (5.0, 5.0)
    # A history written in part stays in part.
    pid._et1 = 2.0
    twin = copy.deepcopy(pid)
    assert twin._et1 == 2.0 and not hasattr(twin, "_et2")


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy] + [
    (lambda p: lambda o: pickle.loads(pickle.dumps(o, p)))(p)
    for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    ids=["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_subclass_slots_survive_copies(clone):
    pid = Slotted(0.5)
    pid.loop = ["FIC101"]
    pid.run(1, 50.0, 40.0, 30.0)
    twin = clone(pid)
    assert type(twin) is Slotted and twin.loop == ["FIC101"]
    assert not hasattr(twin, "unit")
    assert [twin.run(1, 50.0, 40.0 + k, 0.0) for k in range(5)] == \
        [pid.run(1, 50.0, 40.0 + k, 0.0) for k in range(5)]


# --- mode rounding ---------------------------------------------------------------


@pytest.mark.parametrize("mode", [
    0.5, math.nextafter(0.5, 1), math.nextafter(0.5, 0), 1.5, math.nextafter(1.5, 0),
    math.nextafter(1.5, 2), 1.0, -0.5, -1.5, 2.5, 3.5, 0.0, -0.0, 2.0 ** 52 + 1, 2.0 ** 53,
    -(2.0 ** 63), 5e-324, 1 + 2 ** -52,
])
def test_mode_is_automatic_exactly_when_python_rounds_it_to_one(mode):
    pid = PID()
    first = pid.run(1, 10.0, 0.0, 20.0)
    op = pid.run(mode, 10.0, 0.0, 20.0)
    assert op == (first + 10.0 / 60.0 if round(mode) == 1 else 20.0)

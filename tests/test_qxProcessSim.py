"""qxProcessSim: model elements against scipy.signal.lfilter and qxcommon.c2d,
the building rule, the MIMO simulator against a per-pair lfilter simulation,
input checks before any state changes, reset, step responses and plots."""
import copy
import importlib.util
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.signal import lfilter

from child import run_child
from qxdcs.algorithm import qxProcessSim as ps
from qxdcs.algorithm.qxcommon import c2d

EXAMPLE = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7],
                    "iodelay_z": 0, "IntegralMark": 0}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp",
                    "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5, 4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2,
                    "IntegralMark": 1}},
}
INI = {"CV1": 10.0, "CV2": -3, "MV1": 1.0, "MV3": 0.5}


# --- an independent reference: the building rule with NumPy and c2d, run by lfilter -------

def reference_filter(entry, Ts=1):
    """(b, a) of a pair's model entry, or None for a zero response."""
    mark = entry.get("IntegralMark", 0)
    mode = entry.get("mode", "None")
    if not entry or mode == "None":
        return None
    if mode == "tf_s":
        den = np.convolve([1, 0], entry["den_s"]) if mark else entry["den_s"]
        b, a = c2d(entry["num_s"], den, entry.get("iodelay_s", 0), Ts)
        return np.asarray(b, float), np.asarray(a, float)
    if mode == "tf_z":
        den = np.convolve([1, -1], entry["den_z"]) if mark else entry["den_z"]
        return (np.pad(np.array(entry["num_z"], float), (entry.get("iodelay_z", 0), 0)),
                np.array(den, float))
    if mode == "stpxy":
        y = np.cumsum(entry["y"]) if mark else entry["y"]
        stp = np.interp(np.arange(0, entry["x"][-1] + 1), entry["x"], y)
    else:
        stp = np.cumsum(entry["stp"]) if mark else entry["stp"]
    return np.diff(stp, prepend=0).astype(float), np.array([1.0])


class RefPair:
    """One pair advanced by per-sample lfilter with zi, as the element's definition reads."""

    def __init__(self, ba):
        self.ba = ba
        self.zi = [0] * (max(len(ba[0]), len(ba[1])) - 1) if ba else None

    def __call__(self, du):
        if self.ba is None:
            return 0.0
        y, self.zi = lfilter(self.ba[0], self.ba[1], np.array([du], float), zi=self.zi)
        return y[0]


def reference_run(model, ini, Ts, calls):
    cvs = list(model)
    mvs = list(dict.fromkeys(mv for row in model.values() for mv in row))
    pairs = {(cv, mv): RefPair(reference_filter(model[cv].get(mv, {}), Ts))
             for cv in cvs for mv in mvs}
    u = {mv: ini.get(mv, 0.0) for mv in mvs}
    out = []
    for u_new, v in calls:
        u.update({k: x for k, x in u_new.items() if k in mvs})
        y = {}
        for cv in cvs:
            dev = 0.0
            for mv in mvs:
                dev += pairs[cv, mv](u[mv] - ini.get(mv, 0.0))
            y[cv] = dev + v.get(cv, 0.0) + ini.get(cv, 0.0)
        out.append(y)
    return out


# --- elements --------------------------------------------------------------------------------

ELEMENTS = [
    (ps.tfz_model, (), {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]}),
    (ps.tfz_model, ([0.2, 0.1], [2, -1], 3),
     {"mode": "tf_z", "num_z": [0.2, 0.1], "den_z": [2, -1], "iodelay_z": 3}),
    (ps.tfs_model, ([1], [1, 1], 2, 1),
     {"mode": "tf_s", "num_s": [1], "den_s": [1, 1], "iodelay_s": 2}),
    (ps.tfs_model, ([0, 0, 2], [3, 4, 1], 2.5, 0.5),
     {"mode": "tf_s", "num_s": [2], "den_s": [3, 4, 1], "iodelay_s": 2.5}),
    (ps.stp_model, (), {"mode": "stp", "stp": [0.5, 1, 2, 3, 4, 5]}),
    (ps.stpxy_model, ([0, 2.5], [0, 5]), {"mode": "stpxy", "x": [0, 2.5], "y": [0, 5]}),
]


@pytest.mark.parametrize("cls,args,entry", ELEMENTS, ids=lambda p: getattr(p, "__name__", None))
def test_element_is_lfilter_bit_for_bit(cls, args, entry):
    Ts = args[3] if cls is ps.tfs_model else 1
    b, a = reference_filter(entry, Ts)
    e, ref = cls(*args), RefPair((b, a))
    assert np.array_equal(e.Gz_num, b) and np.array_equal(e.Gz_den, a)
    assert e._zi == [0] * (max(len(b), len(a)) - 1) and all(type(z) is int for z in e._zi)
    inputs = [1.0, 1.0, -0.5, 3, 0.0, 2.25] + [0.0] * 30
    for du in inputs:
        y = e.deltaU_sim(du)
        assert type(y) is np.float64 and repr(y) == repr(ref(du))
    assert np.array_equal(e._zi, ref.zi) and e._zi.dtype == np.float64
    e.reset_zi()
    assert e._zi == [0] * len(ref.zi)
    fresh = cls(*args)
    assert [repr(e.deltaU_sim(du)) for du in inputs] == \
           [repr(fresh.deltaU_sim(du)) for du in inputs]


def test_element_responses_named_by_their_definitions():
    s = ps.stp_model()
    assert [float(s.deltaU_sim(2)) for _ in range(8)] == [1, 2, 4, 6, 8, 10, 10, 10]
    z0, z3 = ps.tfz_model(), ps.tfz_model(delay=3)
    r0 = [float(z0.deltaU_sim(1.0)) for _ in range(8)]
    assert r0[:5] == pytest.approx([0, 1, 3, 5.3, 7.35])
    assert [float(z3.deltaU_sim(1.0)) for _ in range(11)] == [0, 0, 0] + r0
    assert ps.stpxy_model().Gz_num.tolist() == np.diff([10, 10, 20, 30], prepend=0).tolist()
    assert ps.no_model().deltaU_sim() == 0.0 and type(ps.no_model().deltaU_sim(7)) is float
    e = ps.tfz_model()
    e.deltaU_sim(1.0), e.deltaU_sim(1.0)          # two calls in one period: two samples
    assert float(e.deltaU_sim(1.0)) == 3.0


@pytest.mark.parametrize("make,error", [
    (lambda: ps.tfz_model(delay=2.0), TypeError),
    (lambda: ps.tfz_model(delay=-1), ValueError),
    (lambda: ps.stpxy_model([1, 2, 3], [1, 2]), AssertionError),
    (lambda: ps.tfs_model([0, 0], [1, 1]), IndexError),
    (lambda: ps.tfz_model([1], [0.0, 1.0]), ValueError),
    (lambda: ps.stp_model([]), ValueError),
])
def test_element_construction_errors(make, error):
    with pytest.raises(error) as info:
        make()
    if error is AssertionError:
        assert info.value.args == ()


@pytest.mark.parametrize("bad", ["1.5", None, [1.0, 2.0], object()])
@pytest.mark.parametrize("cls", [ps.tfz_model, ps.no_model])
def test_element_refuses_a_non_real_input_and_stays(cls, bad):
    e, twin = cls(), cls()
    e.deltaU_sim(1.0), twin.deltaU_sim(1.0)
    with pytest.raises(TypeError):
        e.deltaU_sim(bad)
    assert repr(e.deltaU_sim(2.0)) == repr(twin.deltaU_sim(2.0))


def test_tfs_model_calls_qxcommon_c2d_with_four_positional_arguments(monkeypatch):
    seen = []

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return c2d(*args, **kwargs)

    monkeypatch.setattr(ps.qxcommon, "c2d", spy)
    ps.tfs_model([1], [2, 1], 3, 0.5)
    assert seen == [(([1], [2, 1], 3, 0.5), {})]


# --- the abstract base and subclasses --------------------------------------------------------

class Doubler(ps.tfz_model):
    def deltaU_sim(self, dU):
        return 2 * super().deltaU_sim(dU)


class Ramp(ps.model):
    def __init__(self, slope):
        self.slope, self.total = slope, 0.0

    def deltaU_sim(self, dU):
        self.total += self.slope * dU
        return self.total


def test_model_is_abstract_and_the_elements_derive_from_it():
    with pytest.raises(TypeError):
        ps.model()

    class Incomplete(ps.model):
        pass

    with pytest.raises(TypeError):
        Incomplete()
    for cls in (ps.no_model, ps.tfz_model, ps.tfs_model, ps.stp_model, ps.stpxy_model):
        assert issubclass(cls, ps.model)
    assert issubclass(ps.stpxy_model, ps.stp_model) and issubclass(ps.tfs_model, ps.tfz_model)


def test_user_elements_run_in_a_miso_through_their_own_deltaU_sim():
    miso = ps.MISOSimulator([Doubler([0.5], [1.0]), Ramp(3.0), ps.stp_model([1.0, 2.0])],
                            [1.0, 0.0, 0.0])
    assert miso.one_step_sim([2.0, 1.0, 1.0]) == 2 * 0.5 + 3.0 + 1.0
    assert miso.one_step_sim([3.0, 1.0, 1.0]) == 2 * 1.0 + 6.0 + 2.0
    twin = pickle.loads(pickle.dumps(miso))
    assert twin.one_step_sim([1.0, 2.0, 1.0]) == miso.one_step_sim([1.0, 2.0, 1.0])


def test_miso_checks_every_value_before_any_element_advances():
    miso = ps.MISOSimulator([ps.tfz_model(), ps.tfz_model()], [0.0, 0.0])
    twin = ps.MISOSimulator([ps.tfz_model(), ps.tfz_model()], [0.0, 0.0])
    with pytest.raises(TypeError):
        miso.one_step_sim([1.0, "x"])
    assert miso.one_step_sim([1.0, 1.0, 99.0]) == twin.one_step_sim([1.0, 1.0])
    assert miso.one_step_sim([1.0]) == twin.one_step_sim([1.0])   # stops at the shortest


class Spy(ps.tfz_model):
    """A caller's subclass of an element: records every dU it is stepped with."""
    __slots__ = ()
    calls = []

    def deltaU_sim(self, dU):
        Spy.calls.append(dU)
        return super().deltaU_sim(dU)


def test_an_element_of_another_type_in_a_simulator_is_called_through_python():
    calls = Spy.calls = []

    sim, twin = ps.MIMOSim(EXAMPLE, INI, 1), ps.MIMOSim(EXAMPLE, INI, 1)
    sim.yu_model_obj["CV1"]["MV2"].__class__ = Spy
    assert sim({"MV2": 2.0}) == twin({"MV2": 2.0}) and calls == [2.0]


def test_an_element_changing_class_keeps_its_state_in_the_simulator():
    # The simulator steps its elements natively from what it found when it
    # last checked them; an element whose class changes and changes back is
    # checked again, and every step works on the element's own live state.
    calls = Spy.calls = []

    sim, twin = ps.MIMOSim(EXAMPLE, INI, 1), ps.MIMOSim(EXAMPLE, INI, 1)
    element = sim.yu_model_obj["CV1"]["MV2"]
    assert element._zi == [0, 0]  # at rest
    live = None
    for cls, u in [(ps.tfz_model, 1.0), (Spy, 2.0), (ps.tfs_model, 3.0), (ps.tfz_model, 0.5)]:
        element.__class__ = cls
        assert sim({"MV2": u, "MV1": u}) == twin({"MV2": u, "MV1": u})
        live = element._zi if live is None else live
        assert element._zi is live
        assert element._zi.tolist() == twin.yu_model_obj["CV1"]["MV2"]._zi.tolist()
    assert calls == [2.0 - INI.get("MV2", 0.0)]


class Switcher(ps.model):
    """An element whose own step changes the class of another element."""

    def __init__(self, target, cls):
        self.target, self.cls = target, cls

    def deltaU_sim(self, dU):
        self.target.__class__ = self.cls
        return 0.0


@pytest.mark.parametrize("start,then,spied", [
    (ps.tfz_model, Spy, [1.0]),   # made a caller's class by an earlier element: its code runs
    (Spy, ps.tfz_model, []),      # made the package class again: stepped natively
])
def test_a_class_changed_by_an_element_counts_for_the_rest_of_the_same_sample(start, then, spied):
    Spy.calls = []
    target, twin = ps.tfz_model([0, 1], [1, -0.5]), ps.tfz_model([0, 1], [1, -0.5])
    target.__class__ = start
    miso = ps.MISOSimulator([Switcher(target, then), target, ps.no_model()], [0.0, 0.0, 0.0])
    outputs = [miso.one_step_sim([1.0, 1.0, 1.0]) for _ in range(3)]
    assert Spy.calls == spied * 3
    assert outputs == [0.0 + twin.deltaU_sim(1.0) + 0.0 for _ in range(3)]
    assert target._zi.tolist() == twin._zi.tolist()


def test_the_state_array_outlives_its_element_and_its_simulators(tmp_path):
    # _zi is a view of the element's native state: an array kept by a caller
    # keeps that state alive after the element and every simulator are gone,
    # and it follows the element's steps for as long as the element lives.
    run_child("""
        import gc
        from qxdcs.algorithm import qxProcessSim as ps
        e = ps.tfz_model([0, 1, 0.5], [1, -1.5, 0.7], 1)
        miso = ps.MISOSimulator([e], [0.0])
        miso.one_step_sim([1.0])
        zi = e._zi
        before = zi.tolist()
        del e
        gc.collect()
        miso.one_step_sim([1.0])
        assert zi.tolist() != before          # still the state the simulator steps
        after = zi.tolist()
        del miso
        gc.collect()
        junk = [bytearray(64) for _ in range(10000)]
        assert zi.tolist() == after
        print("ok")
    """, tmp_path)


def test_elements_seen_by_the_callers_code_during_construction_stay_live(tmp_path):
    # The caller's mapping runs code while the simulator builds its elements:
    # it may take hold of an element built already (through the collector)
    # and of its state array. Those stay the element's live state afterwards.
    run_child("""
        import gc
        from qxdcs.algorithm import qxProcessSim as ps
        kept = []

        class Row(dict):
            def get(self, key, default=None):
                for o in gc.get_objects():
                    if type(o) is ps.tfz_model and all(o is not e for e, _ in kept):
                        o.deltaU_sim(0.0)          # no longer at rest: _zi is the array
                        kept.append((o, o._zi))
                return dict.get(self, key, default)

        entry = {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}
        sim = ps.MIMOSim({"CV": Row(MV1=entry, MV2=entry, MV3=entry)}, {}, 1)
        assert kept, "the caller's code saw no element"
        for _ in range(3):
            sim({"MV1": 1.0, "MV2": 2.0, "MV3": 3.0})
        for e, zi in kept:
            assert e._zi is zi and zi.tolist() != [0.0]
        print("ok")
    """, tmp_path)


def test_a_restored_simulator_sharing_elements_with_a_live_one_leaves_it_working(tmp_path):
    # A saved state may name elements that another simulator steps: both
    # step the one element, on its one live state.
    run_child("""
        import gc
        from qxdcs.algorithm import qxProcessSim as ps
        model = {"CV": {"MV": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]}}}
        live = ps.MIMOSim(model, {}, 1)
        state = live.__getstate__() if hasattr(live, "__getstate__") else None
        state = dict(live.__reduce_ex__(2)[2]) if not isinstance(state, dict) else dict(state)
        shared = live.yu_model_obj["CV"]["MV"]
        state["yu_model_obj"] = {"CV": {"MV": shared}}
        twin = ps.MIMOSim.__new__(ps.MIMOSim)
        twin.__setstate__(state)
        assert twin.yu_model_obj["CV"]["MV"] is shared
        ref = ps.tfz_model([0, 1], [1, -0.5])
        for sim in (live, twin, live, twin):
            out = sim({"MV": 1.0})["CV"]
            assert out == ref.deltaU_sim(1.0)
            assert shared._zi.tolist() == ref._zi.tolist()
        del live
        gc.collect()
        assert twin({"MV": 1.0})["CV"] == ref.deltaU_sim(1.0)
        print("ok")
    """, tmp_path)


# --- the building rule, tags -----------------------------------------------------------------

@pytest.mark.parametrize("entry,cls,same_as", [
    ({}, ps.no_model, None),
    ({"IntegralMark": 1}, ps.no_model, None),
    ({"mode": "None", "num_z": [1]}, ps.no_model, None),
    ({"mode": "stp", "stp": [1, 1, 1], "IntegralMark": 1}, ps.stp_model, ps.stp_model([1, 2, 3])),
    ({"mode": "tf_z", "num_z": [0, 1], "den_z": [1], "IntegralMark": 1}, ps.tfz_model,
     ps.tfz_model([0, 1], [1, -1])),
    ({"mode": "tf_s", "num_s": [1], "den_s": [4, 1], "IntegralMark": True}, ps.tfs_model,
     ps.tfs_model([1], [4, 1, 0], 0, 2)),
    ({"mode": "stpxy", "x": [1, 3], "y": [1, 1], "IntegralMark": 1}, ps.stpxy_model,
     ps.stpxy_model([1, 3], [1, 2])),
])
def test_building_rule(entry, cls, same_as):
    element = ps.MIMOSim({"CV": {"MV": entry}}, {}, 2).yu_model_obj["CV"]["MV"]
    assert type(element) is cls
    if same_as is not None:
        assert [repr(element.deltaU_sim(1.0)) for _ in range(6)] == \
               [repr(same_as.deltaU_sim(1.0)) for _ in range(6)]


@pytest.mark.parametrize("entry,error,arg", [
    ({"mode": "tf_s", "den_s": [1, 1]}, KeyError, "num_s"),
    ({"mode": "tf_z", "num_z": [1]}, KeyError, "den_z"),
    ({"mode": "stpxy", "x": [1]}, KeyError, "y"),
    ({"mode": "ramp"}, AssertionError, None),
])
def test_building_rule_errors(entry, error, arg):
    with pytest.raises(error) as info:
        ps.MIMOSim({"CV": {"MV": entry}})
    assert info.value.args == ((arg,) if arg else ())


def test_tags():
    d = {"CV1": {"MV1": {}, "MV2": {}}, "CV2": {"MV3": {}, "MV1": {}}, "CV3": {}}
    assert ps.get_model_tags(d) == (["CV1", "CV2", "CV3"], ["MV1", "MV2", "MV3"])
    sim = ps.MIMOSim(d)
    assert sim.get_process_tags() == ["CV1", "CV2", "CV3", "MV1", "MV2", "MV3"]
    assert all(type(e) is ps.no_model for row in sim.yu_model_obj.values() for e in row.values())
    with pytest.raises(AttributeError):
        ps.get_model_tags({"CV1": 5})


# --- the MIMO simulator ----------------------------------------------------------------------

def test_mimo_matches_the_per_pair_lfilter_simulation():
    rng = np.random.default_rng(1)
    calls = [({"MV1": 1.0 + (k > 3), "MV2": float(rng.normal()), "MV3": 0.5 + 0.1 * (k > 30),
               "other": "ignored"}, {"CV2": 5.0} if k == 10 else {}) for k in range(80)]
    sim = ps.MIMOSim(EXAMPLE, INI, 1)
    assert sim({}) == {"CV1": 10.0, "CV2": -3.0}     # at rest after construction
    expected = reference_run(EXAMPLE, INI, 1, [({}, {})] + calls)[1:]
    got = [sim(u, v) for u, v in calls]
    assert [{k: repr(x) for k, x in y.items()} for y in got] == \
           [{k: repr(float(x)) for k, x in y.items()} for y in expected]
    assert sim.get_input_data_dict() == {"MV1": 2.0, "MV2": calls[-1][0]["MV2"], "MV3": 0.6}


def test_sisosim_and_integrating_pair():
    siso = ps.SISOSim(1, 1, 0, 1)
    assert isinstance(siso, ps.MIMOSim) and siso.cv_list == ["CV"] and siso.mv_list == ["MV"]
    out = [siso({"MV": 1})["CV"] for _ in range(4)]
    assert out == pytest.approx([0.0, 1 - np.exp(-1), 1 - np.exp(-2), 1 - np.exp(-3)], rel=1e-12)
    ramp_sim = ps.SISOSim(2, 3, 1, 1, 1)
    ramp = [ramp_sim({"MV": 1.0})["CV"] for _ in range(60)]
    assert all(b > a for a, b in zip(ramp[3:], ramp[4:])) and ramp[-1] > 100


def test_values_and_copies():
    sim = ps.MIMOSim(EXAMPLE, INI, 1)
    out = sim({"MV1": 3.0, "X": 1.0}, {"CV1": 5.0, "Y": 1.0})
    assert out["CV1"] == 15.0 and sim.get_output_data_dict()["CV1"] == 15.0
    assert sim({"MV1": 3.0})["CV1"] == 10.0                     # the disturbance acted once
    assert list(sim.get_all_data_dict()) == ["MV1", "MV2", "MV3", "CV1", "CV2"]
    both = ps.MIMOSim({"T": {"T": {"mode": "stp", "stp": [1.0]}}}, {"T": 2.0})
    assert both({"T": 3.0}) == {"T": 3.0} and both.get_all_data_dict() == {"T": 3.0}
    # Nothing the caller gets back reaches the simulator's own objects.
    state = pickle.dumps(sim.__getstate__())
    for got in (out, sim.get_input_data_dict(), sim.get_output_data_dict(), sim.get_all_data_dict(),
                sim._u_dict, sim._y_dict, sim.ini_value_dict):
        got.clear()
    for got in (sim.get_cv_list(), sim.get_mv_list(), sim.cv_list, sim.mv_list,
                sim.get_process_tags()):
        got.append("X")
    sim.get_model_dict()["CV1"]["MV1"]["num_s"].append(7)
    sim.process_model_dict["CV2"].clear()
    sim.yu_model_obj.clear()
    assert pickle.dumps(sim.__getstate__()) == state


def test_constructor_copies_and_type_check():
    model, ini = copy.deepcopy(EXAMPLE), dict(INI)
    sim = ps.MIMOSim(model, ini, 1)
    model["CV1"]["MV1"]["num_s"][0] = 0.0
    ini["CV1"] = 0.0
    assert sim.process_model_dict == EXAMPLE and sim.ini_value_dict == INI
    assert sim({})["CV1"] == 10.0

    class D(dict):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'process_model_dict' has incorrect type "
                                        r"\(expected dict, got D\)$"):
        ps.MIMOSim(D(EXAMPLE))
    assert sim.yu_model_obj["CV1"]["MV1"] is sim.cv_simulators["CV1"].model_list[0]


# --- mends: bad input changes nothing; reset is at rest; Ts as a float --------------------

class BadFloat:
    def __float__(self):
        raise ValueError("no value")


class NoGet:
    pass


class BadItems:
    """A mapping whose second entry cannot be unpacked, after an accepted one."""

    def items(self):
        return [("MV1", 2.0), ("MV2", 1.0, 0)]


@pytest.mark.parametrize("u,v,error,message", [
    ({"MV1": 2.0, "MV3": "x"}, {}, TypeError, None),
    ({"MV1": 2.0, "MV2": None}, {}, TypeError, None),
    ({"MV1": 2.0, "MV2": BadFloat()}, {}, ValueError, "no value"),
    ({"MV1": 2.0}, NoGet(), AttributeError, "'NoGet' object has no attribute 'get'"),
    ({"MV1": 2.0}, {"CV2": "x"}, TypeError, None),
    (None, {}, AttributeError, "'NoneType' object has no attribute 'items'"),
    (BadItems(), {}, ValueError, "too many values to unpack (expected 2)"),
])
def test_a_refused_call_leaves_the_simulator_unchanged(u, v, error, message):
    sim, twin = ps.MIMOSim(EXAMPLE, INI, 1), ps.MIMOSim(EXAMPLE, INI, 1)
    for k in range(5):
        sim({"MV1": k, "MV2": 1.0}), twin({"MV1": k, "MV2": 1.0})
    with pytest.raises(error) as info:
        sim(u, v)
    if message:
        assert str(info.value) == message
    assert sim.__getstate__()["_u_dict"] == twin.__getstate__()["_u_dict"]
    assert [sim({"MV3": 1.0}) for _ in range(30)] == [twin({"MV3": 1.0}) for _ in range(30)]


def test_mapping_inputs_through_their_own_methods():
    class Items:
        def items(self):
            return [(["unhashable"], 7.0), ("MV1", 2.0), ("MV2", np.float64(0.5))]

    class Get:
        def get(self, key, default):
            return 1.0 if key == "CV1" else default

    sim, twin = ps.MIMOSim(EXAMPLE, INI, 1), ps.MIMOSim(EXAMPLE, INI, 1)
    assert sim(Items(), Get()) == twin({"MV1": 2.0, "MV2": 0.5}, {"CV1": 1.0})
    numbered = ps.MIMOSim({1: {2: {"mode": "stp", "stp": [1.5]}}, 3: {}}, {3: 1})
    assert numbered({2: 2, "2": 5.0}, {3: 0.5}) == {1: 3.0, 3: 1.5}


def test_reset_brings_the_process_to_rest():
    sim, fresh = ps.MIMOSim(EXAMPLE, INI, 1), ps.MIMOSim(EXAMPLE, INI, 1)
    for k in range(40):
        sim({"MV1": 3.0, "MV2": float(k % 5), "MV3": 2.0})
    sim.reset()
    assert sim.get_output_data_dict() == {"CV1": 10.0, "CV2": -3.0}
    assert sim.get_input_data_dict() == {"MV1": 1.0, "MV2": 0.0, "MV3": 0.5}
    assert all(type(e._zi) is list for row in sim.yu_model_obj.values() for e in row.values()
               if hasattr(e, "_zi"))
    assert [sim({}) for _ in range(30)] == [{"CV1": 10.0, "CV2": -3.0}] * 30
    steps = [{"MV2": 1.0}] * 10 + [{"MV1": 0.0}] * 10
    assert [sim(u) for u in steps] == [fresh(u) for u in steps]


def test_step_responses():
    d = {"CV": {"A": {"mode": "stp", "stp": [0.5, 1, 2]},
                "B": {"mode": "tf_s", "num_s": [1], "den_s": [1, 1]},
                "C": {"mode": "tf_z", "num_z": [1e-9], "den_z": [1]}},
         "CV2": {"D": {"mode": "stp", "stp": [1]}}}
    stp = ps.get_model_stp(d, 1, 5)
    assert stp["CV"]["A"] == [0.5, 1, 2, 2, 2] and stp["CV"]["C"] == [] and stp["CV"]["D"] == []
    b, a = c2d([1], [1, 1], 0, 1)
    assert stp["CV"]["B"] == lfilter(b, a, np.ones(5)).tolist()
    assert stp["CV2"] == {"A": [], "B": [], "C": [], "D": []}
    assert ps.get_model_stp(d, 0.5, 3)["CV"]["B"] == ps.get_model_stp(d, 0.5, 3)["CV"]["B"]
    with pytest.raises(ValueError):
        ps.get_model_stp(d, 1, 0)


@pytest.mark.parametrize("fn", [ps.get_model_stp, ps.plot_model_stp])
@pytest.mark.parametrize("args,name,expected,got", [
    (({}, True), "Ts", "int or float", "bool"),
    (({}, "1"), "Ts", "int or float", "str"),
    (({}, 1, 3.0), None, "int", "float"),
    ((None,), "yu_model", "dict", "NoneType"),
])
def test_step_tool_argument_types(fn, args, name, expected, got):
    name = name or ("length" if fn is ps.get_model_stp else "plotLen")
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type "
                                        rf"\(expected {expected}, got {got}\)$"):
        fn(*args)


needs_mpl = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                               reason="needs Matplotlib")


@needs_mpl
@pytest.mark.parametrize("Ts", [1, 0.5, 1.0])
def test_plot_grid(Ts, monkeypatch):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    plt.close("all")
    ps.MIMOSim(EXAMPLE, INI, Ts).plot_model_stp(20)
    fig = plt.gcf()
    assert tuple(fig.get_size_inches()) == (15.0, 10.0) and len(fig.axes) == 6
    assert [ax.get_title() for ax in fig.axes] == ["CV1-MV1", "CV1-MV2", "CV1-MV3",
                                                   "CV2-MV1", "CV2-MV2", "CV2-MV3"]
    third = fig.axes[2]
    assert third.get_subplotspec().rowspan.start == 0 and third.get_subplotspec().colspan.start == 2
    # CV1 has no model for MV3: tick labels at size 0 (Matplotlib's floor is 1 point).
    assert third.xaxis.get_ticklabels()[0].get_fontsize() <= 1
    assert third.yaxis.get_ticklabels()[0].get_fontsize() <= 1
    assert fig.axes[1].xaxis.get_ticklabels()[0].get_fontsize() == 15   # CV1-MV2 (CV1-MV1 is
    assert fig.axes[0].xaxis.get_ticklabels()[0].get_fontsize() <= 1    # flat for 20 samples)
    assert matplotlib.rcParams["font.sans-serif"] == ["SimHei"]
    assert matplotlib.rcParams["axes.unicode_minus"] is False
    plt.close("all")


def test_plot_without_matplotlib_computes_nothing(monkeypatch):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *a: None if name == "matplotlib" else real(name, *a))
    assert ps.plot_model_stp({"CV": {"MV": {"mode": "ramp"}}}, 1, 10) is None


# --- snapshots and hostile callers -----------------------------------------------------------

def run_child(code, tmp_path, stdin=None):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, input=stdin,
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()[-2000:]
    return proc.stdout


def test_a_worker_process_continues_a_pickled_simulation(tmp_path):
    sim = ps.MIMOSim(EXAMPLE, INI, 1)
    for k in range(30):
        sim({"MV1": 1.0 + k % 3, "MV2": 0.1 * k, "MV3": 1.0})
    element = ps.tfz_model()
    blob = pickle.dumps((sim, element))
    out = run_child("""
        import pickle, sys
        sim, element = pickle.loads(sys.stdin.buffer.read())
        assert element._zi == [0, 0]
        sys.stdout.buffer.write(pickle.dumps([sim({"MV2": 0.2 * k}) for k in range(20)]))
    """, tmp_path, stdin=blob)
    assert pickle.loads(out) == [sim({"MV2": 0.2 * k}) for k in range(20)]


HOSTILE = {
    "__float__ of an MV value calls the simulator": """
        class Tok:
            def __float__(self):
                seen.append(sim({"MV1": 5.0}))
                return 2.0
        out = sim({"MV2": Tok()})
        expected = [twin({"MV1": 5.0})]
        assert seen == expected and out == twin({"MV2": 2.0}), (seen, out)
    """,
    "__float__ resets the simulator": """
        class Tok:
            def __float__(self):
                sim.reset()
                return 2.0
        out = sim({"MV2": Tok()})
        twin.reset()
        assert out == twin({"MV2": 2.0})
    """,
    "v.get calls the simulator, then the caller's value is refused": """
        class V:
            def get(self, key, default):
                seen.append(sim({}))
                return "x"
        try:
            sim({"MV1": 9.0}, V())
        except TypeError:
            pass
        else:
            raise AssertionError("refused value accepted")
        assert seen == [twin({})]
    """,
    "an element's deltaU_sim calls its own simulator and drops it": """
        class Reenter(ps.model):
            def __init__(self):
                self.depth = 0
            def deltaU_sim(self, dU):
                global miso
                self.depth += 1
                if self.depth == 1:
                    inner = miso.one_step_sim([dU, 0.0])
                    miso = None
                    import gc; gc.collect()
                    return inner
                return 1.0
        miso = ps.MISOSimulator([Reenter(), ps.tfz_model()], [0.0, 0.0])
        keep = miso
        assert keep.one_step_sim([1.0, 1.0]) == 1.0 + 0.0
    """,
    "a collected MISO whose element's __del__ calls it": """
        import gc
        class Ghost(ps.model):
            def deltaU_sim(self, dU):
                return 0.0
            def __del__(self):
                try:
                    self.owner.one_step_sim([1.0, 1.0])
                except AttributeError:
                    pass
        g = Ghost()
        m = ps.MISOSimulator([g, ps.tfz_model()], [0.0, 0.0])
        g.owner = m
        del g, m
        gc.collect()
    """,
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_callers(name, tmp_path):
    out = run_child(textwrap.dedent("""
        from qxdcs.algorithm import qxProcessSim as ps
        MODEL = {"CV1": {"MV1": {"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -0.5]},
                         "MV2": {"mode": "stp", "stp": [0.5, 1.0, 1.5]}},
                 "CV2": {"MV2": {"mode": "tf_s", "num_s": [1.0], "den_s": [3.0, 1.0],
                                 "iodelay_s": 1}}}
        sim, twin, seen = ps.MIMOSim(MODEL, {"CV1": 1.0}), ps.MIMOSim(MODEL, {"CV1": 1.0}), []
        for k in range(3):
            sim({"MV1": k}); twin({"MV1": k})
    """) + textwrap.dedent(HOSTILE[name]) + "\nprint('ok')\n", tmp_path)
    assert out.decode().splitlines()[-1:] == ["ok"]

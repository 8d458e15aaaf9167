"""qxLPVPlant: local MIMO plants blended by a working value."""
import copy
import pickle
import re
import textwrap

import numpy as np
import pytest

from child import run_child
from qxdcs.algorithm.qxLPVPlant import LPVLocalPlant, LPVPlantSim
from qxdcs.algorithm.qxProcessSim import MIMOSim

# The two-CV, three-MV example model.
MODEL = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7],
                    "iodelay_z": 0, "IntegralMark": 0}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5,
                                           4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2,
                    "IntegralMark": 1}},
}
INI = {"CV1": 10.0, "CV2": -2.0, "MV1": 1.0, "MV2": 0.5}


def scaled(gain):
    m = copy.deepcopy(MODEL)
    m["CV1"]["MV1"]["num_s"] = [4.05 * gain]
    m["CV2"]["MV2"]["stp"] = [gain * v for v in m["CV2"]["MV2"]["stp"]]
    return m


PLANTS = [(7, 10.0, scaled(0.5)), (8, 20.0, scaled(1.0)), (9, 40.0, scaled(2.0))]


def make(plants=PLANTS):
    sim = LPVPlantSim(INI)
    for pid, wp, model in plants:
        sim.addPlant(pid, wp, model, 1)
    return sim


class Reference:
    """The blend written out in Python over separate MIMOSim objects."""

    def __init__(self, plants=PLANTS):
        self.plants = []
        for pid, wp, model in sorted(plants, key=lambda p: p[1]):
            ini = dict(INI, **{cv: 0.0 for cv in model})
            self.plants.append((wp, MIMOSim(model, ini, 1)))
        self.y = {}

    def __call__(self, wv, u, v={}):
        wp = [p[0] for p in self.plants]
        id_float = np.interp(wv, wp, np.arange(len(wp)))
        id1, id2 = int(np.floor(id_float)), int(np.ceil(id_float))
        w2 = max(min(id_float - id1, 1.0), 0.0)
        w1 = 1.0 - w2
        res = [sim(u, v) for _, sim in self.plants]
        for tag in res[id1]:
            if id1 == id2:
                self.y[tag] = res[id1][tag] + INI.get(tag, 0.0)
            else:
                self.y[tag] = w1 * res[id1][tag] + w2 * res[id2][tag] + INI.get(tag, 0.0)
        return dict(self.y)


def inputs(k):
    return {"MV1": 1.0 + (k >= 3) * 2.0, "MV2": 0.5 - (k >= 20) * 1.5, "MV3": (k % 7) * 0.1,
            "unused": 99.0}


@pytest.mark.parametrize("course", [
    [25.0] * 40, [5.0] * 10 + [50.0] * 10, [10.0, 20.0, 40.0, 15.0, 30.0, 39.999, 10.000001] * 6,
    list(np.linspace(0.0, 50.0, 60))], ids=["between", "ends", "points", "sweep"])
def test_blend_equals_the_algorithm_over_separate_simulators(course):
    sim, ref = make(), Reference()
    for k, wv in enumerate(course):
        v = {"CV1": 0.25} if k % 5 == 0 else {}
        assert sim(wv, inputs(k), v) == ref(wv, inputs(k), v), k


@pytest.mark.parametrize("wv,weights", [(2.5, {1: 0.75, 2: 0.25}), (10.0, {1: 0.0, 2: 1.0}),
                                        (0.0, {1: 1.0, 2: 0.0}), (-3.0, {1: 1.0, 2: 0.0}),
                                        (11.0, {1: 0.0, 2: 1.0})])
def test_weights_of_two_plants(wv, weights):
    sim = LPVPlantSim()
    sim.addPlant(1, 0.0, MODEL, 1)
    sim.addPlant(2, 10.0, MODEL, 1)
    sim(wv)
    assert sim.get_current_plant_weight_dict() == weights


def test_one_plant_and_equal_plants_give_the_local_response():
    single, double, ref = make(PLANTS[:1]), make([PLANTS[0], (5, 30.0, PLANTS[0][2])]), Reference(PLANTS[:1])
    for k, wv in enumerate([0.0, 12.0, 29.0, 31.0, 100.0] * 4):
        out = ref(wv, inputs(k))
        assert single(wv, inputs(k)) == out
        assert single.get_current_plant_weight_dict() == {7: 1.0}
        assert double(wv, inputs(k)) == pytest.approx(out, rel=1e-14, abs=1e-14)


def test_plants_are_added_replaced_sorted_and_deleted():
    sim = make()
    assert [p.plant_id for p in sim.plant_list] == [7, 8, 9]
    assert sim.get_output_data_dict() == {"CV1": 10.0, "CV2": -2.0}   # global initial values
    assert sim.get_input_data_dict() == {"MV1": 1.0, "MV2": 0.5, "MV3": 0.0}
    sim.addPlant(8, 5, MODEL, 1)               # same identifier: replaced
    assert [(p.plant_id, p.working_point) for p in sim.plant_list] == [(8, 5.0), (7, 10.0), (9, 40.0)]
    assert type(sim.plant_list[0].working_point) is float
    sim.addPlant(3, 40.0, MODEL, 1)            # same working point: the older plant goes
    assert [p.plant_id for p in sim.plant_list] == [8, 7, 3]
    before = [p.plant_id for p in sim.plant_list]
    sim.delPlant(12345)
    assert [p.plant_id for p in sim.plant_list] == before
    sim.delPlant(7)
    assert list(sim.get_plant_dict()) == [8, 3]
    assert all(isinstance(p, LPVLocalPlant) for p in sim.get_plant_dict().values())


def test_a_refused_model_keeps_the_plant_it_would_replace():
    sim = make()
    with pytest.raises(KeyError):
        sim.addPlant(8, 25.0, {"CV1": {"MV1": {"mode": "tf_s", "num_s": [1]}}}, 1)
    assert [p.plant_id for p in sim.plant_list] == [7, 8, 9]


@pytest.mark.parametrize("args,name,expected,got", [
    ((1, 5.0, MODEL, 0.5), "Ts", "int", "float"), ((True, 5.0, MODEL, 1), "plant_id", "int", "bool"),
    ((1, 5.0, [], 1), "yu_model_tf", "dict", "list"), ((1.0, 5.0, MODEL, 1), "plant_id", "int", "float")])
def test_add_plant_argument_types(args, name, expected, got):
    msg = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError, match=re.escape(msg)):
        LPVPlantSim().addPlant(*args)
    with pytest.raises(TypeError):
        LPVPlantSim().addPlant(1, "five", MODEL, 1)
    with pytest.raises(TypeError, match=re.escape("expected int, got bool")):
        LPVPlantSim().delPlant(False)


def observable(sim):
    return (sim._working_value, sim.get_all_data_dict(), sim.get_current_plant_weight_dict())


@pytest.mark.parametrize("bad,error", [
    ((float("nan"), {"MV1": 3.0}), ValueError), (("fast", {"MV1": 3.0}), TypeError),
    ((25.0, {"MV1": 3.0, "MV2": "x"}), TypeError), ((25.0, None), AttributeError),
    ((25.0, {"MV1": 3.0}, None), AttributeError), ((25.0, {"MV1": 3.0}, {"CV2": "x"}), TypeError)])
def test_a_refused_call_changes_nothing(bad, error):
    sim, twin = make(), make()
    for k in range(5):
        sim(18.0, inputs(k))
        twin(18.0, inputs(k))
    before = observable(sim)
    with pytest.raises(error):
        sim(*bad)
    assert observable(sim) == before
    for k in range(5, 30):
        assert sim(30.0, inputs(k)) == twin(30.0, inputs(k))


def test_a_call_without_plants_is_refused_and_changes_nothing():
    sim = LPVPlantSim({"MV1": 2.0})
    with pytest.raises(ValueError, match="array of sample points is empty"):
        sim(7.0, {"MV1": 1.0})
    assert sim._working_value == 0.0 and sim.get_input_data_dict() == {}


def test_a_cv_missing_in_the_second_plant_is_refused_before_anything_moves():
    sim = LPVPlantSim()
    sim.addPlant(1, 0.0, MODEL, 1)
    sim.addPlant(2, 10.0, {"CV1": MODEL["CV1"]}, 1)
    with pytest.raises(KeyError, match="CV2"):
        sim(5.0, {"MV1": 2.0})
    assert sim._working_value == 0.0 and sim.get_input_data_dict()["MV1"] == 0.0
    assert sim(0.0, {"MV1": 2.0})["CV2"] == 0.0   # plant 1 alone: nothing had advanced


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_snapshot_continues_where_the_original_stood(clone):
    sim = make()
    for k in range(30):
        sim(8.0 + k, inputs(k))
    twin = clone(sim)
    assert observable(twin) == observable(sim)
    for k in range(30, 60):
        assert twin(60.0 - k, inputs(k)) == sim(60.0 - k, inputs(k))


def test_getters_return_copies_and_run_is_the_call():
    sim, twin = make(), make()
    out = sim.run(12.0, inputs(0))
    assert out == twin(12.0, inputs(0))
    out["CV1"] = 1e9
    sim.get_input_data_dict()["MV1"] = 1e9
    sim.get_cv_list().append("X")
    assert sim.get_output_data_dict()["CV1"] != 1e9 and sim.get_input_data_dict()["MV1"] != 1e9
    assert sim.get_cv_list() == ["CV1", "CV2"] and sim.get_mv_list() == ["MV1", "MV2", "MV3"]
    assert list(sim.get_all_data_dict()) == ["MV1", "MV2", "MV3", "CV1", "CV2"]


def test_plot_draws_the_chosen_local_plant(monkeypatch):
    mpl = pytest.importorskip("matplotlib")
    mpl.use("Agg")
    import matplotlib.pyplot as plt

    shown = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    plt.close("all")
    try:
        sim = make()
        assert sim.plot_model_stp(12345) is None and shown == []   # unknown: nothing drawn
        assert LPVPlantSim().plot_model_stp(7) is None and shown == []
        assert sim.plot_model_stp(9, 40) is None
        assert len(shown) == 1
        titles = [ax.get_title() for ax in shown[0].axes]
        assert titles == ["CV1-MV1", "CV1-MV2", "CV1-MV3", "CV2-MV1", "CV2-MV2", "CV2-MV3"]
        assert len(shown[0].axes[0].get_lines()[0].get_xdata()) == 40
    finally:
        plt.close("all")


# --- working points that are not ordinary numbers --------------------------------------------

@pytest.mark.parametrize("points", [[10.0, float("nan")], [float("nan")], [10.0, 20.0, float("nan")],
                                    [-np.inf, 0.0], [0.0, np.inf], [-np.inf, 0.0, np.inf]],
                         ids=["nan-last", "nan-only", "nan-third", "-inf", "+inf", "both-inf"])
def test_odd_working_points_blend_as_numpy_interpolates(points):
    plants = [(k, wp, scaled(1.0 + k)) for k, wp in enumerate(points)]
    sim, ref = make(plants), Reference(plants)
    for k, wv in enumerate([5.0, 10.0, 15.0, 25.0, -1e300, 1e300, -np.inf, np.inf, 0.0]):
        try:
            expected = ref(wv, inputs(k))
        except ValueError as exc:   # a NaN position: no enclosing plants
            before = observable(sim)
            with pytest.raises(ValueError, match=str(exc)):
                sim(wv, inputs(k))
            assert observable(sim) == before
            ref = Reference(plants)   # the reference advanced its plants before failing
            sim = make(plants)
            continue
        assert sim(wv, inputs(k)) == expected


# --- hostile callers, in a child interpreter --------------------------------------------------
#
# The caller's code runs in the middle of an operation (an identifier's __eq__
# or __hash__, a working point's __float__, a tag's __eq__) and changes the
# simulator under it. Nothing may crash; where Python's own semantics say what
# happens (a for loop over a shortened list ends early), that happens.

SETUP = """
    import gc
    from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
    from qxdcs.algorithm.qxProcessSim import MIMOSim
    PAIR = {"mode": "tf_s", "num_s": [2.0], "den_s": [5, 1]}
    M = {"A": {"U": PAIR}, "B": {"U": dict(PAIR, num_s=[1.0])}}
    def make(points=(0.0, 10.0, 20.0)):
        sim = LPVPlantSim({"U": 1.0, "A": 5.0, "B": 1.0})
        for k, wp in enumerate(points):
            sim.addPlant(k + 1, wp, M, 1)
        return sim
    lpv = make()
"""

HOSTILE = {
    "delPlant: an identifier's __eq__ empties plant_list": """
        class Id:
            def __eq__(self, other):
                lpv.plant_list.clear()
                return False
            __hash__ = object.__hash__
        lpv.plant_list[0].plant_id = Id()
        lpv.delPlant(1)
        assert lpv.plant_list == []
    """,
    "delPlant: an identifier equal to everything empties plant_list": """
        class Id:
            def __eq__(self, other):
                lpv.plant_list.clear()
                return True
            __hash__ = object.__hash__
        lpv.plant_list[1].plant_id = Id()
        try:
            lpv.delPlant(1)
        except IndexError:
            pass
        assert lpv.plant_list == []
    """,
    "sort: a working point's __float__ empties plant_list": """
        class Wp:
            def __float__(self):
                lpv.plant_list.clear()
                return 5.0
        lpv.plant_list[0].working_point = Wp()
        for op in (lpv._sort_plant_list_by_working_point, lambda: lpv.delPlant(3)):
            lpv.plant_list[:] = make().plant_list
            lpv.plant_list[0].working_point = Wp()
            try:
                op()
            except RuntimeError as exc:
                assert "plant_list changed" in str(exc)
            assert lpv.plant_list == []
    """,
    "get_plant_dict and the weights: an identifier's __hash__ empties plant_list": """
        class Id:
            def __hash__(self):
                lpv.plant_list.clear()
                return 1
        for getter in (lpv.get_plant_dict, lpv.get_current_plant_weight_dict):
            lpv.plant_list[:] = make().plant_list
            first = lpv.plant_list[0]
            first.plant_id = Id()
            got = getter()
            assert list(got) == [first.plant_id] and lpv.plant_list == [], got
    """,
    "plot_model_stp: the matching identifier's __eq__ frees the plant in use": """
        drawn = []
        class Plant:
            def plot_model_stp(self, n):
                drawn.append(n)
        class Id:
            def __eq__(self, other):
                lpv.plant_list.clear()
                return True
            __hash__ = object.__hash__
        lpv.plant_list[0].plant = Plant()
        lpv.plant_list[0].plant_id = Id()
        gc.collect()
        lpv.plot_model_stp(1, 33)
        assert drawn == [33]
    """,
    "call: a CV tag's __eq__ replaces ini_value_dict during the lookup": """
        active = []
        class Tag:
            def __init__(self, name):
                self.name = name
            def __hash__(self):
                return 7
            def __eq__(self, other):
                if active:
                    lpv.ini_value_dict = {"other": 0.0}
                return isinstance(other, Tag) and other.name == self.name
            def __deepcopy__(self, memo):
                return self
        a, b = Tag("a"), Tag("b")
        lpv = LPVPlantSim({a: 1.0, b: 2.0, "U": 0.0})
        lpv.addPlant(1, 0.0, {a: {"U": PAIR}, b: {"U": PAIR}}, 1)
        active.append(1)
        assert lpv(0.0, {"U": 1.0}) == {a: 1.0, b: 2.0}
        second = lpv(0.0, {"U": 1.0})   # the replaced initial values count from now on
        assert list(second) == [a, b] and 0.0 < second[a] < 1.0, second
    """,
    "call: a tag's __eq__ clears the caller's plain dict of MV values": """
        class Tag:
            def __hash__(self):
                return hash("MV")
            def __eq__(self, other):
                u.clear()   # frees the key and the value being read
                return True
        lpv = LPVPlantSim({})
        lpv.addPlant(1, 0.0, {"C": {Tag(): PAIR}}, 1)
        u = {"".join(["M", "V"]): float("3.5")}
        assert lpv(0.0, u) == {"C": 0.0} and u == {}
        assert list(lpv._u_dict.values()) == [3.5]
    """,
    "call: a replaced local simulator is never taken for the old one": """
        lpv = make((0.0, 10.0))
        lpv(5.0, {"U": 2.0})
        for trial in range(20):
            local = lpv.plant_list[1]
            local.plant = None
            gc.collect()
            local.plant = MIMOSim({"A": M["A"]}, {})
            try:
                lpv(5.0, {"U": 2.0})
                raise AssertionError("a CV that the second plant lacks was blended")
            except KeyError as exc:
                assert exc.args == ("B",)
            local.plant = MIMOSim(M, {"U": 1.0})
            lpv(5.0, {"U": 2.0})
    """,
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_callers(name, tmp_path):
    run_child(textwrap.dedent(SETUP) + textwrap.dedent(HOSTILE[name]) + "print('ok')\n", tmp_path)


def test_a_local_plant_that_fails_leaves_the_inputs_as_they_were():
    class Failing(MIMOSim):
        def __call__(self, u, v={}):
            raise RuntimeError("local plant failed")

    sim, twin = make(), make()
    for k in range(5):
        assert sim(25.0, inputs(k)) == twin(25.0, inputs(k))
    before = observable(sim)
    sim.plant_list[2].plant = Failing(scaled(2.0), dict(INI, CV1=0.0, CV2=0.0), 1)
    with pytest.raises(RuntimeError, match="local plant failed"):
        sim(15.0, inputs(5))
    assert observable(sim) == before

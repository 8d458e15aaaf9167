"""qxLPVPlant: local MIMO plants blended by a working value."""
import copy
import pickle
import re

import numpy as np
import pytest

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

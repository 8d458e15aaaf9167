"""Identification: the fit's own simulation against the simulators, recovery
of known plants, auto selection, step-response models, segments and drift."""
import dataclasses

import numpy as np
import pytest
from scipy.signal import cont2discrete

from ident_cases import TRUTH, siso_test, two_by_two_test
from qxdcs.algorithm.qxProcessSim import MIMOSim
from qxdcs.ident import identify, simulate
from qxdcs.ident.structures import STRUCTURES, coefficients, entry, step_response


@pytest.mark.parametrize("name, p, Ts", [
    ("fopdt", (2.0, 30.0), 1.0), ("fopdt", (-0.3, 0.2), 1.0),
    ("sopdt", (1.5, 20.0, 4.0), 1.0), ("sopdt", (1.0, 8.0, 8.0 * (1 + 1e-5)), 0.5),
    ("sopdt", (1.0, 5.0, 5.0), 2.0), ("integrating", (0.05, 10.0), 1.0),
    ("integrating", (0.2, 0.0), 0.5)])
def test_closed_form_hold_matches_the_simulators_discretisation(name, p, Ts):
    s = entry(STRUCTURES[name], p, 4, Ts)
    den = np.convolve([1, 0], s["den_s"]) if s.get("IntegralMark") else s["den_s"]
    num_ref, den_ref, _ = cont2discrete((s["num_s"], den), dt=Ts, method="zoh")
    b, a = coefficients(STRUCTURES[name], p, Ts)
    np.testing.assert_allclose(a, den_ref, rtol=0, atol=1e-12)
    np.testing.assert_allclose(b, np.pad(num_ref[0], (0, len(b) - len(num_ref[0]))),
                               rtol=1e-9, atol=1e-14)
    sim = MIMOSim({"Y": {"U": s}}, {}, Ts)
    expected = [sim({"U": 1.0})["Y"] for _ in range(60)]
    np.testing.assert_allclose(step_response(STRUCTURES[name], p, 4, Ts, 60), expected,
                               rtol=0, atol=1e-9)


@pytest.fixture(scope="module")
def two_by_two():
    test = two_by_two_test()
    return test, identify(test, "auto")


def test_auto_recovers_each_pairs_structure_parameters_and_dead_time(two_by_two):
    _, result = two_by_two
    for (cv, mv), (structure, params, delay) in TRUTH.items():
        pair = result.pair(cv, mv)
        assert pair.structure.name == structure, (cv, mv)
        assert pair.delay == delay, (cv, mv)
        for key, value in params.items():
            assert pair.params[key] == pytest.approx(value, rel=0.03), (cv, mv, key)
            assert 0 < pair.se[key] < 0.03 * abs(value)


def test_the_fitted_plant_reproduces_its_prediction_through_mimosim(two_by_two):
    test, result = two_by_two
    plant = result.plant()
    assert plant["initial"]["U1"] == test.mv["U1"][0]
    through_sim = simulate(plant, test.mv)
    for cv, fit in result.cvs.items():
        np.testing.assert_allclose(through_sim[cv], fit.prediction, rtol=0, atol=1e-9)
        assert fit.r2 > 0.999 and fit.r2_holdout > 0.999
        assert fit.resid_std == pytest.approx(0.01, rel=0.1)


@pytest.mark.parametrize("structure, pair", [("fopdt", ("Y1", "U1")), ("sopdt", ("Y1", "U2")),
                                             ("integrating", ("Y2", "U1"))])
def test_a_fixed_structure_is_given_to_every_pair(two_by_two, structure, pair):
    test, _ = two_by_two
    one_cv = dataclasses.replace(test, cv={pair[0]: test.cv[pair[0]]})
    result = identify(one_cv, structure)
    assert {p.structure.name for p in result.pairs} == {structure}
    _, params, delay = TRUTH[pair]
    fitted = result.pair(*pair)
    assert fitted.params["K"] == pytest.approx(params["K"], rel=0.1)


def test_auto_keeps_a_first_order_pair_first_order_under_noise():
    result = identify(siso_test({"mode": "tf_s", "num_s": [1.5], "den_s": [12, 1],
                                 "iodelay_s": 4}, noise=0.05), "auto")
    pair = result.pairs[0]
    assert (pair.structure.name, pair.delay) == ("fopdt", 4)
    assert pair.params["T"] == pytest.approx(12, rel=0.05)


def test_a_pure_integrator_is_written_without_a_lag():
    test = siso_test({"mode": "tf_s", "num_s": [0.1], "den_s": [1], "iodelay_s": 3,
                      "IntegralMark": 1}, noise=0.0)
    pair = identify(test, "integrating").pairs[0]
    assert pair.entry["den_s"] == [1.0] and pair.entry["IntegralMark"] == 1
    assert pair.params["K"] == pytest.approx(0.1, rel=1e-6) and pair.delay == 3


def test_step_response_models_follow_the_pairs_step_response():
    truth = {"mode": "tf_s", "num_s": [2.0], "den_s": [8, 1], "iodelay_s": 3}
    test = siso_test(truth, samples=1200, moves=10, noise=0.005)
    result = identify(test, stp=50)
    pair = result.pairs[0]
    assert pair.entry["mode"] == "stp" and len(pair.entry["stp"]) == 50
    expected = step_response(STRUCTURES["fopdt"], (2.0, 8.0), 3, 1.0, 50)
    assert np.max(np.abs(np.array(pair.entry["stp"]) - expected)) < 0.03
    through_sim = simulate(result.plant(), test.mv)
    np.testing.assert_allclose(through_sim["Y"], result.cvs["Y"].prediction, atol=1e-9)


def test_rows_with_missing_values_are_dropped_into_segments_on_request():
    test = siso_test({"mode": "tf_s", "num_s": [1.0], "den_s": [10, 1], "iodelay_s": 2})
    test.cv["Y"][300:320] = np.nan
    result = identify(test, "fopdt", drop_missing=True)
    assert result.segments == 2
    pair = result.pairs[0]
    assert pair.delay == 2 and pair.params["T"] == pytest.approx(10, rel=0.05)
    assert np.all(np.isnan(result.cvs["Y"].prediction[300:320]))


def test_a_drift_is_fitted_on_request_and_leaves_the_model_unbiased():
    test = siso_test({"mode": "tf_s", "num_s": [1.0], "den_s": [10, 1], "iodelay_s": 2})
    test.cv["Y"] = test.cv["Y"] + 0.001 * test.time
    result = identify(test, "fopdt", drift=True)
    assert result.cvs["Y"].drift == pytest.approx(0.001, rel=0.05)
    assert result.pairs[0].params["K"] == pytest.approx(1.0, rel=0.02)


def test_a_pair_whose_mv_never_moves_where_the_cv_is_recorded_is_left_out():
    test = two_by_two_test(samples=1200)
    test.cv["Y2"][:600] = np.nan          # U2 moves only in the first half here
    test.mv["U2"][600:] = test.mv["U2"][600]
    test.mv["U2"][:600] = np.where(np.arange(600) > 100, 31.0, 30.0)
    result = identify(test, "fopdt", drop_missing=True)
    assert "U2" not in result.model["Y2"] and "U2" in result.model["Y1"]
    assert any("Y2/U2" in w and "left out" in w for w in result.warnings)

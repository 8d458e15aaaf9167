"""The model-dictionary checker (qxdcs check plant.json): keys the simulators
ignore, pairs without a mode, unknown modes, values they would fail on."""
import json

import pytest

pytest.importorskip("pydantic")

from qxdcs.algorithm.qxProcessSim import MIMOSim  # noqa: E402
from qxdcs.strategy import models  # noqa: E402
from qxdcs.strategy.problems import ERROR, WARNING  # noqa: E402


def check(entry, ts=None):
    found = []
    models.check_pair(entry, lambda p, m, s=ERROR: found.append((".".join(p), m, s)), ts)
    return found


TF_S = {"mode": "tf_s", "num_s": [2.0], "den_s": [10, 1], "iodelay_s": 3}

PAIRS = [
    (dict(TF_S, iodelay=3), "iodelay", "unknown key 'iodelay'; did you mean 'iodelay_s'?", ERROR),
    ({"num_s": [1], "den_s": [5, 1]}, "", "has no 'mode', so the simulator gives this pair no "
                                          "effect", ERROR),
    ({"IntegralMark": 1}, "", "has no 'mode'", ERROR),
    (dict(TF_S, mode="tfs"), "mode", "unknown mode 'tfs'; did you mean 'tf_s'? (valid: 'tf_s', "
                                     "'tf_z', 'stp', 'stpxy', 'None')", ERROR),
    (dict(TF_S, mode=3), "mode", "unknown mode 3", ERROR),
    (dict(TF_S, num_z=[1]), "num_z", "ignored: 'num_z' belongs to mode 'tf_z', this pair is "
                                     "'tf_s'", WARNING),
    ({"mode": "tf_s", "den_s": [1, 1]}, "num_s", "required by this mode, missing", ERROR),
    (dict(TF_S, num_s=[0.0, 0.0]), "num_s", "all coefficients are zero", ERROR),
    (dict(TF_S, den_s=[0, 1]), "den_s", "first (highest-power) coefficient", ERROR),
    (dict(TF_S, num_s=[1, 2, 3]), "num_s", "not a proper transfer function", ERROR),
    (dict(TF_S, iodelay_s=-1), "iodelay_s", "must be at least 0", ERROR),
    (dict(TF_S, num_s=["1"]), "num_s.0", "must be a finite number; got '1'", ERROR),
    (dict(TF_S, num_s=2.0), "num_s", "must be a list of numbers", ERROR),
    ({"mode": "tf_z", "num_z": [1], "den_z": [1, -0.5], "iodelay_z": 1.5}, "iodelay_z",
     "must be a whole number of samples", ERROR),
    ({"mode": "tf_z", "num_z": [1], "den_z": [0, 1]}, "den_z", "must not be zero", ERROR),
    ({"mode": "stp", "stp": []}, "stp", "at least one number", ERROR),
    ({"mode": "stpxy", "x": [0, 2, 2], "y": [0, 1, 2]}, "x", "instants must increase", ERROR),
    ({"mode": "stpxy", "x": [0, 2], "y": [0, 1, 2]}, "y", "needs as many values as 'x'", ERROR),
    (dict(TF_S, IntegralMark="0"), "IntegralMark", "reads as true: the simulator adds an "
                                                  "integrator", ERROR),
    (dict(TF_S, IntegralMark=2), "IntegralMark", "read as true", WARNING),
]


@pytest.mark.parametrize("entry, key, message, severity", PAIRS,
                         ids=[f"{i}-{k or 'pair'}" for i, (_, k, _, _) in enumerate(PAIRS)])
def test_a_pair_the_simulator_would_misread_is_reported(entry, key, message, severity):
    found = check(entry)
    assert any(k == key and message in m and s == severity for k, m, s in found), found


VALID = [
    TF_S,
    {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2, "IntegralMark": 1},
    {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7], "iodelay_z": 2},
    {"mode": "stp", "stp": [0, 0.5, 1.0], "IntegralMark": True},
    {"mode": "stpxy", "x": [0, 2.5], "y": [0, 5]},
    {"mode": "None"},
    {},
]


@pytest.mark.parametrize("entry", VALID)
def test_what_the_checker_accepts_the_simulator_builds(entry):
    assert check(entry, ts=1.0) == []
    sim = MIMOSim({"CV": {"MV": entry}}, {}, 1)
    for _ in range(5):
        sim({"MV": 1.0})


def test_a_dead_time_that_is_not_whole_samples_is_pointed_out():
    found = check(dict(TF_S, iodelay_s=150), ts=60)
    assert found == [("iodelay_s", "150 s is 2.5 sample periods of 60 s: the simulator rounds "
                                   "it to 2 (120 s)", WARNING)]
    assert check(dict(TF_S, iodelay_s=180), ts=60) == []


def test_the_dictionary_and_its_initial_values():
    found = []
    model = {"T": {"V": TF_S}, "L": "not a table"}
    ok = models.check_model(model, lambda p, m, s=ERROR: found.append((".".join(p), m, s)),
                            initial={"T": 1.0, "VV": 2.0, "V": "x"})
    assert not ok
    assert ("L", "CV 'L' must be a table of MV tags with their models; got 'not a table' "
                 "(a string)", ERROR) in found
    assert ("initial.VV", "initial value of 'VV', a tag the model lacks; did you mean 'V'?",
            WARNING) in found
    assert ("initial.V", "initial value must be a finite number; got 'x' (a string)",
            ERROR) in found


@pytest.mark.parametrize("wrapped", [False, True])
def test_check_file_reads_bare_and_wrapped_model_files(tmp_path, wrapped):
    model = {"T": {"V": dict(TF_S, iodelay=1), "F": {"num_s": [1], "den_s": [2, 1]}}}
    data = {"model": model, "initial": {"T": 1.0, "W": 0.0}, "note": 1} if wrapped else model
    path = tmp_path / "plant.json"
    path.write_text(json.dumps(data))
    found = [(p.key, p.severity) for p in models.check_file(str(path))]
    pre = "model." if wrapped else ""
    assert (pre + "T.V.iodelay", ERROR) in found
    assert (pre + "T.F", ERROR) in found
    if wrapped:
        assert ("initial.W", WARNING) in found and ("note", ERROR) in found


def test_check_file_of_a_file_that_is_not_json(tmp_path):
    path = tmp_path / "plant.json"
    path.write_text('{"T": {"V": {"mode": "tf_s",}}}')
    (p,) = models.check_file(str(path))
    assert "not valid JSON" in p.message and "line 1" in p.message


@pytest.mark.parametrize("entry, sign", [
    (TF_S, 1), (dict(TF_S, num_s=[-0.8]), -1),
    ({"mode": "tf_s", "num_s": [3], "den_s": [4, 1, 0]}, 1),          # an integrator
    ({"mode": "tf_z", "num_z": [0, 0.1], "den_z": [1, -1]}, 1),        # a discrete one
    ({"mode": "tf_z", "num_z": [0, -0.2], "den_z": [1, -0.9]}, -1),
    ({"mode": "stp", "stp": [0, -1, -2]}, -1), ({"mode": "stpxy", "x": [0, 5], "y": [0, 3]}, 1),
    ({"mode": "None"}, None), ({}, None), ({"mode": "tf_s", "num_s": [1, 0], "den_s": [2, 1]}, None),
    ({"mode": "tf_s", "num_s": [1], "den_s": [2, -1]}, None),          # unstable: no sign to tell
    ({"mode": "tf_z", "num_z": [0, 1], "den_z": [1, -1.2]}, None),
])
def test_static_gain_gives_the_sign_of_a_pair(entry, sign):
    g = models.static_gain(entry)
    assert (None if g is None else (1 if g > 0 else -1)) == sign


def test_the_sign_matches_the_simulated_step_response():
    for entry in VALID[:5]:
        sim = MIMOSim({"CV": {"MV": entry}}, {}, 1)
        y = [sim({"MV": 1.0})["CV"] for _ in range(400)][-1]
        assert (y > 0) == (models.static_gain(entry) > 0), entry


def test_scale_gains_scales_every_gain_and_nothing_else():
    model = {"T": {"V": TF_S, "F": {"mode": "stp", "stp": [0, 1]},
                   "Z": {"mode": "tf_z", "num_z": [1], "den_z": [1, -0.5]},
                   "X": {"mode": "stpxy", "x": [0, 1], "y": [0, 2]}}}
    out = models.scale_gains(model, 2.0)
    assert out["T"]["V"]["num_s"] == [4.0] and out["T"]["V"]["den_s"] == [10, 1]
    assert out["T"]["F"]["stp"] == [0, 2] and out["T"]["Z"]["num_z"] == [2]
    assert out["T"]["X"]["y"] == [0, 4] and out["T"]["X"]["x"] == [0, 1]
    assert model["T"]["V"]["num_s"] == [2.0]                 # the original untouched

"""`qxdcs identify` and `qxdcs tune` end to end, in process."""
import json

import numpy as np
import pytest

from ident_cases import siso_test
from qxdcs.cli import main
from qxdcs.ident import identify, load_step_test, simulate
from qxdcs.ident.data import write_csv

PAIR = {"mode": "tf_s", "num_s": [1.5], "den_s": [10, 1], "iodelay_s": 3}


@pytest.fixture
def step_csv(tmp_path):
    path = tmp_path / "step.csv"
    write_csv(str(path), siso_test(PAIR, samples=400, moves=5))
    return path


def test_identify_writes_the_plant_and_the_report_then_tune_reads_it(step_csv, tmp_path,
                                                                     capsys):
    model, rep = tmp_path / "model.json", tmp_path / "rep"
    assert main(["identify", str(step_csv), "--mv", "U", "--cv", "Y", "--structure", "fopdt",
                 "--out", str(model), "--report", str(rep)]) == 0
    out = capsys.readouterr().out
    assert "Y:U" in out and "fopdt" in out and f"wrote {model}" in out
    plant = json.loads(model.read_text())
    assert set(plant) >= {"Ts", "model", "initial"}
    # The file as written runs in MIMOSim and gives the fit's own prediction.
    test = load_step_test(str(step_csv), ["U"], ["Y"])
    expected = identify(test, "fopdt").cvs["Y"].prediction
    np.testing.assert_allclose(simulate(plant, test.mv)["Y"], expected, rtol=0, atol=1e-9)
    pair = plant["model"]["Y"]["U"]
    assert pair["iodelay_s"] == 3.0 and pair["num_s"][0] == pytest.approx(1.5, rel=0.02)
    assert sorted(p.name for p in rep.iterdir()) == ["fit-Y.png", "report.json", "report.txt"]
    record = json.loads((rep / "report.json").read_text())
    assert record["pairs"][0]["dead_time_samples"] == 3

    assert main(["tune", str(model), "--loop", "Y:U"]) == 0
    out = capsys.readouterr().out
    assert "tau_c = " in out and "margins: gain" in out and "setpoint step" in out
    figure = tmp_path / "loop.png"
    assert main(["tune", str(model), "--loop", "Y:U", "--json", "--rule", "lambda",
                 "--figure", str(figure)]) == 0
    printed = json.loads(capsys.readouterr().out)
    assert {"KP", "TI", "TD", "N", "gain_margin", "phase_margin_deg", "Ms"} <= set(printed)
    assert printed["KP"] > 0 and figure.stat().st_size > 1000
    assert [p.name for p in tmp_path.iterdir() if ".tmp" in p.name] == []


def test_identify_with_step_response_models(step_csv, tmp_path, capsys):
    model = tmp_path / "stp.json"
    assert main(["identify", str(step_csv), "--mv", "U", "--cv", "Y", "--stp", "40",
                 "--out", str(model)]) == 0
    assert json.loads(model.read_text())["model"]["Y"]["U"]["mode"] == "stp"


@pytest.mark.parametrize("argv, status, message", [
    (["--mv", "U", "--cv", "Q"], 1, "step.csv: no column 'Q' (columns: time, U, Y)"),
    (["--mv", "U", "--cv", "Y", "--max-delay", "1000"], 1,
     "400 samples are not more than the longest dead time searched"),
    (["--mv", "U", "--cv", "Y", "--stp", "20", "--structure", "fopdt"], 2,
     "--stp fits step-response models"),
    (["--mv", "U", "--cv", "Y", "--stp", "many"], 2, "not a whole number"),
    (["--mv", "U,", "--cv", "Y"], 2, "--mv takes a comma-separated list"),
])
def test_identify_refuses_bad_input_in_one_line_and_writes_nothing(step_csv, tmp_path, capsys,
                                                                   argv, status, message):
    model = tmp_path / "model.json"
    assert main(["identify", str(step_csv)] + argv + ["--out", str(model),
                                                       "--report", str(tmp_path / "r")]) \
        == status
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err
    assert not model.exists() and not (tmp_path / "r").exists()


def test_identify_refuses_a_constant_mv(tmp_path, capsys):
    test = siso_test(PAIR, samples=200)
    test.mv["U"][:] = 2.0
    path = tmp_path / "flat.csv"
    write_csv(str(path), test)
    assert main(["identify", str(path), "--mv", "U", "--cv", "Y"]) == 1
    assert "MV U never moves" in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, message", [
    (["--loop", "Y"], 2, "--loop takes CV:MV"),
    (["--loop", "Y:V"], 1, "no model for Y:V"),
    (["--loop", "Y:U", "--tau-c", "-2"], 1, "--tau-c must be a positive number"),
])
def test_tune_refuses_bad_input_in_one_line(tmp_path, capsys, argv, status, message):
    model = tmp_path / "model.json"
    model.write_text(json.dumps({"Ts": 1.0, "model": {"Y": {"U": PAIR}}, "initial": {}}))
    assert main(["tune", str(model)] + argv) == status
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


def test_tune_refuses_a_file_that_is_not_a_model(step_csv, capsys):
    assert main(["tune", str(step_csv), "--loop", "Y:U"]) == 1
    assert "step.csv: not a JSON model file" in capsys.readouterr().err


def test_identify_reads_parquet(step_csv, tmp_path, capsys):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    test = load_step_test(str(step_csv), ["U"], ["Y"])
    path = tmp_path / "step.parquet"
    pq.write_table(pa.table({"t": test.time, "U": test.mv["U"], "Y": test.cv["Y"]}), path)
    assert main(["identify", str(path), "--time", "t", "--mv", "U", "--cv", "Y",
                 "--structure", "fopdt"]) == 0
    assert "identified from step.parquet: 400 samples at 1 s" in capsys.readouterr().out


def test_parquet_without_pyarrow_says_what_to_install(step_csv, tmp_path, capsys, monkeypatch):
    path = tmp_path / "step.parquet"
    path.write_bytes(b"PAR1")
    monkeypatch.setitem(__import__("sys").modules, "pyarrow.parquet", None)
    assert main(["identify", str(path), "--mv", "U", "--cv", "Y"]) == 1
    assert "reading Parquet needs pyarrow (pip install 'qxdcs[parquet]')" in \
        capsys.readouterr().err


def test_the_report_marks_a_parameter_on_its_bound(tmp_path, capsys):
    # An integrator fitted as first order drives T to its upper bound.
    test = siso_test({"mode": "tf_s", "num_s": [0.05], "den_s": [1], "iodelay_s": 2,
                      "IntegralMark": 1}, samples=300, moves=4)
    path = tmp_path / "ramp.csv"
    write_csv(str(path), test)
    assert main(["identify", str(path), "--mv", "U", "--cv", "Y", "--structure", "fopdt",
                 "--report", str(tmp_path / "r")]) == 0
    out = capsys.readouterr().out
    assert "(bound)" in out and "warning: Y/U: T sits on its bound" in out
    record = json.loads((tmp_path / "r" / "report.json").read_text())
    assert record["pairs"][0]["standard_errors"]["T"] is None

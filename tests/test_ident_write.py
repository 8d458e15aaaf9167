"""A tuning written into a strategy file (qxdcs tune --write), and the sample
period a model file states."""
import json

import pytest

from qxdcs import strategy
from qxdcs.cli import main

from strategies import MINIMAL, errors, text, write

# The plant of MINIMAL as a plant file: T:V is 0.5 e^-2s / (10 s + 1).
PLANT = {"Ts": 1, "initial": {"T": 20.0, "V": 50.0},
         "model": {"T": {"V": {"mode": "tf_s", "num_s": [0.5], "den_s": [10, 1], "iodelay_s": 2}}}}
COMMENTED = MINIMAL.replace("KP = 2.0", "KP = 2.0      # hand tuning").replace(
    "TI = 10.0", "TI = 12.0\nTD = 1.0")


@pytest.fixture
def files(tmp_path):
    model = tmp_path / "plant.json"
    model.write_text(json.dumps(PLANT))
    return str(model), write(tmp_path, text(base=COMMENTED))


def tuned(path):
    return strategy.load(path).data["loop"]["TC"]


def test_the_tuning_goes_into_the_loop_of_the_pair_and_the_rest_stays(files, capsys):
    model, path = files
    before = open(path).read()
    assert main(["tune", model, "--loop", "T:V", "--json", "--write", path]) == 0
    tuning = json.loads(capsys.readouterr().out)
    loop = tuned(path)
    assert (loop["KP"], loop["TI"], loop["TD"]) == pytest.approx(
        (tuning["KP"], tuning["TI"], tuning["TD"]), rel=1e-5)
    after = open(path).read()
    assert "# hand tuning" in after
    changed = [(a, b) for a, b in zip(before.splitlines(), after.splitlines()) if a != b]
    assert [a.split("=")[0].strip() for a, _ in changed] == ["KP", "TI", "TD"]
    assert main(["run", path, "--no-plot", "--out", str(files[1]) + "-out"]) == 0


@pytest.mark.parametrize("argv,message", [
    (["--loop", "T:F"], "no loop controls T by F (loops: TC (T:V))"),
    (["--loop", "T:V", "--loop-name", "TCC"], "no loop 'TCC'; did you mean 'TC'?"),
])
def test_a_tuning_without_its_loop_writes_nothing(files, argv, message, capsys):
    model, path = files
    plant = dict(PLANT, model={"T": dict(PLANT["model"]["T"], F=PLANT["model"]["T"]["V"])})
    open(model, "w").write(json.dumps(plant))
    before = open(path).read()
    assert main(["tune", model] + argv + ["--write", path]) == 1
    assert message in capsys.readouterr().err and open(path).read() == before


def test_two_loops_of_one_pair_need_a_name(files, capsys):
    model, path = files
    body = open(path).read() + '\n[loop.TC2]\ncv = "T"\nmv = "V"\nKP = 1.0\nTI = 5.0\n'
    open(path, "w").write(body)
    assert main(["tune", model, "--loop", "T:V", "--write", path]) == 1
    assert "name one with --loop-name" in capsys.readouterr().err
    assert main(["tune", model, "--loop", "T:V", "--write", path, "--loop-name", "TC2"]) in (0, 1)


def test_a_strategy_that_the_checker_refuses_is_left_alone(files, capsys):
    model, path = files
    broken = open(path).read().replace('cv = "T"', 'cv = "T"\nop_low = 200.0')
    open(path, "w").write(broken)
    assert main(["tune", model, "--loop", "T:V", "--write", path]) == 1
    assert "refused" in capsys.readouterr().err and open(path).read() == broken


def test_loop_name_without_write_is_a_usage_error(files):
    assert main(["tune", files[0], "--loop", "T:V", "--loop-name", "TC"]) == 2


# --- the sample period of a model file -----------------------------------------------------

STP = {"T": {"V": {"mode": "stp", "stp": [0.0, 0.2, 0.4, 0.5]}}}


@pytest.mark.parametrize("model,Ts,period,error", [
    (STP, 2, 2, None), (STP, 2, 1, "given per sample of 2 s, but the run samples every 1 s"),
    (PLANT["model"], 2, 1, None),                   # continuous pairs run at any period
    (STP, 0, None, "a positive number"), (STP, True, None, "a positive number"),
])
def test_a_model_files_sample_period(tmp_path, model, Ts, period, error, capsys):
    path = tmp_path / "m.json"
    path.write_text(json.dumps({"Ts": Ts, "model": model, "initial": {}}))
    argv = ["check", str(path)] + (["--sample-period", str(period)] if period else [])
    assert main(argv) == (1 if error else 0)
    if error:
        assert error in capsys.readouterr().out
    if period:   # the same through a strategy file that names the model file
        body = text(base=MINIMAL.replace("sample_period_s = 1", f"sample_period_s = {period}"))
        body = body.replace('[plant.model.T]\nV = { mode = "tf_s", num_s = [0.5], den_s = [10, 1], '
                            'iodelay_s = 2 }\nF = { mode = "tf_s", num_s = [0.2], den_s = [5, 1] }\n'
                            '[plant.model.L]\nF = { mode = "tf_s", num_s = [1.0], den_s = [8, 1] }\n',
                            'model = "m.json"\n')
        found = errors(tmp_path, body)
        assert any(error in m for _, m in found) if error else not any("Ts" in m or "per sample" in m
                                                                       for _, m in found)

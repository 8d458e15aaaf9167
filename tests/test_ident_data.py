"""Step-test data: files read as tables, and every refused input named in one
line."""
import csv
import math

import numpy as np
import pytest

from ident_cases import siso_test
from qxdcs.ident import IdentError, identify, load_step_test
from qxdcs.ident.data import write_csv


@pytest.fixture
def csv_file(tmp_path):
    test = siso_test({"mode": "tf_s", "num_s": [1.0], "den_s": [5, 1], "iodelay_s": 2},
                     samples=200, moves=4)
    path = tmp_path / "step.csv"
    write_csv(str(path), test)
    return path


def _edit(path, row, column, value):
    rows = list(csv.reader(open(path)))
    rows[row][column] = value
    csv.writer(open(path, "w", newline="")).writerows(rows)


def test_a_csv_file_reads_back_as_written(csv_file):
    test = load_step_test(str(csv_file), ["U"], ["Y"])
    assert test.Ts == 1.0 and test.samples == 200
    assert test.mv["U"][0] == 2.0


def test_a_parquet_file_reads_as_its_csv_twin(csv_file, tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    test = load_step_test(str(csv_file), ["U"], ["Y"])
    table = pa.table({"time": test.time, "U": test.mv["U"], "Y": test.cv["Y"]})
    pq.write_table(table, tmp_path / "step.parquet")
    again = load_step_test(str(tmp_path / "step.parquet"), ["U"], ["Y"])
    np.testing.assert_array_equal(again.cv["Y"], test.cv["Y"])


@pytest.mark.parametrize("edit, columns, message", [
    (None, (["U"], ["Z"]), "step.csv: no column 'Z' (columns: time, U, Y)"),
    (None, (["U"], ["y"]), "no column 'y'; did you mean 'Y'?"),
    ((50, 0, "49.5"), (["U"], ["Y"]), "row 50 (time 49.5 s): a gap, 1.5 s after"),
    ((50, 0, "48.5"), (["U"], ["Y"]), "row 50 (time 48.5 s): uneven sampling, 0.5 s after"),
    ((7, 2, "high"), (["U"], ["Y"]), "row 7, column Y: 'high' is not a number"),
    ((9, 0, ""), (["U"], ["Y"]), "row 9 has no time stamp"),
])
def test_refused_files_name_the_row_or_column(csv_file, edit, columns, message):
    if edit:
        _edit(csv_file, *edit)
    with pytest.raises(IdentError) as info:
        load_step_test(str(csv_file), *columns)
    assert message in str(info.value)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("content, message", [
    (b'{"model": {}}\n', "not a table"),
    (bytes(range(256)) * 8, "not a table"),
    (b"time,U,Y\n", "has no rows of data"),
    (b"time,U,Y\n0,1,2\n1,1\n", "row 2 has 2 fields, the header 3"),
])
def test_a_file_that_is_not_a_table_is_refused(tmp_path, content, message):
    path = tmp_path / "data.csv"
    path.write_bytes(content)
    with pytest.raises(IdentError, match=message):
        load_step_test(str(path), ["U"], ["Y"])


def test_a_damaged_parquet_file_is_refused(tmp_path):
    pytest.importorskip("pyarrow")
    path = tmp_path / "data.parquet"
    path.write_bytes(b"PAR1 not really")
    with pytest.raises(IdentError, match="data.parquet: not a Parquet table"):
        load_step_test(str(path), ["U"], ["Y"])


def test_data_the_fit_cannot_use_is_refused(csv_file):
    test = load_step_test(str(csv_file), ["U"], ["Y"])
    with pytest.raises(IdentError, match="200 samples are not more than the longest dead "
                                         "time searched, 300 samples"):
        identify(test, max_delay=300)
    test.cv["Y"][20] = math.nan
    with pytest.raises(IdentError, match="row 21 has no value for Y .*--drop-missing"):
        identify(test)
    test.mv["U"][:] = 2.0
    with pytest.raises(IdentError, match="MV U never moves"):
        identify(test)
    with pytest.raises(IdentError, match="unknown structure 'arx'"):
        identify(test, "arx")

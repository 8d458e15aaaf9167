import copy
import errno
import os
import pickle
import stat
import textwrap
import time
from collections import deque

import numpy as np
import pytest

from qxdcs.algorithm.qxFilter import sFilter
from child import run_child
from qxdcs.algorithm.qxSoftSensor import LabDataRecorder, SoftSensorBiasUpdate

FIRST = ": Bias Update is triggered by the first data."
REPEATED = ": Bias Update is not triggered, lab_data or lab_time is unchanged."
FMT = "%Y-%m-%d %H:%M:%S"
T0 = 1.7e9


class RefBias:
    """The bias update written out with deques and NumPy, step by step."""

    def __init__(self, name="softSensor", filter_tao=5, abs_threshold=1e-6, prd_len=28800,
                 const_len=60):
        self._name = name
        self._prd_data_list = deque(maxlen=prd_len + 1)
        self._prd_time_list = deque(maxlen=prd_len + 1)
        self._lab_data_list = deque(maxlen=const_len + 2)
        self._bias = 0.0
        self._fil = sFilter([1], [filter_tao, 1], u_ini=0.0, y_ini=0.0) if filter_tao > 0 else None
        self._abs_threshold = float(abs_threshold)
        self._update_flag = False
        self._current_lab_data = self._current_lab_time = self._prd_data_at_labtime = np.nan

    def run(self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None):
        first = len(self._prd_data_list) == 0
        if first:
            while len(self._lab_data_list) < self._lab_data_list.maxlen:
                self._lab_data_list.append(lab_data)
            i = 1
            while len(self._prd_data_list) < self._prd_data_list.maxlen:
                self._prd_data_list.append(prd_data)
                self._prd_time_list.appendleft(prd_time - 60 * i)
                i += 1
        self._prd_data_list.append(prd_data)
        self._prd_time_list.append(prd_time)
        self._lab_data_list.append(lab_data)
        self._update_flag = False
        if first:
            self._update_bias(lab_data, lab_time)
            print(self._name + FIRST)
        elif update_trigger is not None:
            if update_trigger > 0.5:
                self._update_bias(lab_data, lab_time)
        else:
            d = np.abs(np.diff(self._lab_data_list))
            if d[0] >= self._abs_threshold and np.all(d[1:] < 1e-6):
                self._update_bias(lab_data, lab_time)
        return self._fil(self._bias) if self._fil is not None else self._bias

    def _update_bias(self, lab_data, lab_time):
        if (abs(lab_data - self._current_lab_data) < self._abs_threshold
                and abs(lab_time - self._current_lab_time) < 0.1):
            print(self._name + REPEATED)
            return
        if not self._prd_time_list[0] <= lab_time <= self._prd_time_list[-1]:
            return
        prd = self._prd_data_list[np.searchsorted(self._prd_time_list, lab_time, side="right") - 1]
        self._bias = lab_data - prd
        self._update_flag = True
        self._current_lab_data, self._current_lab_time = lab_data, lab_time
        self._prd_data_at_labtime = prd


def report(b):
    return (repr(b.get_bias()), b.get_update_flag(), repr(b.get_lab_data()),
            repr(b.get_lab_time()), repr(b.get_prd_data_at_labtime()))


def ref_report(r):
    return (repr(r._bias), r._update_flag, repr(r._current_lab_data), repr(r._current_lab_time),
            repr(r._prd_data_at_labtime))


def random_calls(seed, n):
    """Calls of a soft-sensor application: predictions every 60 s (now and then
    the same time twice), laboratory results that change now and then, lab
    times inside, before and after the history, and manual triggers."""
    rng = np.random.default_rng(seed)
    t, lab, lab_t, calls = T0, 5.0, T0 - 500.0, []
    for k in range(n):
        t += float(rng.choice([0.0, 60.0, 60.0, 60.0]))
        if rng.random() < 0.15:
            lab = round(lab + float(rng.choice([-1, 1]) * rng.choice([1e-7, 0.5, 2.0])), 7)
            lab_t = t - float(rng.choice([0.0, 90.0, 1500.0, 60.0 * 40, -30.0]) + rng.choice([0, 0.05]))
        trig = rng.choice([None] * 6 + [0.0, 0.5, 0.5000001, 1.0])
        calls.append((float(np.sin(k / 7.0) * 3 + 20), lab, lab_t, t, trig))
    return calls


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("tao,thr,prd_len,const_len", [(5, 1e-6, 30, 2), (0, 0.3, 12, 0),
                                                       (2.5, 0.0, 50, 4), (-1, 1.0, 0, 1)])
def test_matches_the_step_by_step_reference(seed, tao, thr, prd_len, const_len, capsys):
    args = ("SS-1", tao, thr, prd_len, const_len)
    ours, ref = SoftSensorBiasUpdate(*args), RefBias(*args)
    for call in random_calls(seed, 300):
        got = ours.run(*call)
        got_out = capsys.readouterr().out
        want = ref.run(*call)
        assert (repr(got), report(ours), got_out) == (repr(want), ref_report(ref),
                                                      capsys.readouterr().out), call
    for attr in ("_prd_data_list", "_prd_time_list", "_lab_data_list"):
        got, want = getattr(ours, attr), getattr(ref, attr)
        assert type(got) is deque and got.maxlen == want.maxlen and list(got) == list(want)


def test_first_call_prefills_the_history_at_60_s(capsys):
    b = SoftSensorBiasUpdate("pf", prd_len=5, const_len=3)
    b.run(2.0, 3.0, T0 + 1.0, T0)
    assert list(b._prd_time_list) == [T0 - 60 * k for k in range(5, -1, -1)]
    assert list(b._prd_data_list) == [2.0] * 6 and list(b._lab_data_list) == [3.0] * 5
    assert (b._prd_data_list.maxlen, b._lab_data_list.maxlen) == (6, 5)
    assert len(SoftSensorBiasUpdate()._prd_time_list) == 0
    assert SoftSensorBiasUpdate()._prd_time_list.maxlen == 28801


@pytest.mark.parametrize("lab_dt,bias,flag", [(0.0, 1.5, True), (10.0, 0.0, False),
                                              (-90.0, 1.5, True), (-60 * 28800, 1.5, True),
                                              (-60 * 28800 - 0.01, 0.0, False)])
def test_first_call(lab_dt, bias, flag, capsys):
    b = SoftSensorBiasUpdate("test1", filter_tao=0)
    assert b.run(10.0, 11.5, T0 + lab_dt, T0) == bias
    assert (b.get_bias(), b.get_update_flag()) == (bias, flag)
    assert b.get_prd_data_at_labtime() == 10.0 if flag else np.isnan(b.get_prd_data_at_labtime())
    assert capsys.readouterr().out == "test1" + FIRST + "\n"


@pytest.mark.parametrize("seed", [5, 6])
def test_lookup_takes_the_last_time_at_or_before_the_lab_time(seed):
    # The default history, filled with real entries (some times repeated).
    rng = np.random.default_rng(seed)
    times = T0 + np.cumsum(rng.choice([0.0, 1.0, 7.5], 28801))
    b = SoftSensorBiasUpdate(filter_tao=0)
    for k, t in enumerate(times):
        b.run(float(k), 0.0, 0.0, float(t))
    keys = [times[0], times[-1], times[0] - 1e-6, times[-1] + 1e-6] + list(
        rng.uniform(times[0], times[-1], 200)) + list(rng.choice(times, 50))
    for n, lab_time in enumerate(keys):
        lab_data = 1000.0 + n
        b._update_bias(lab_data, float(lab_time))
        if times[0] <= lab_time <= times[-1]:
            k = np.searchsorted(times, lab_time, side="right") - 1
            assert (b.get_prd_data_at_labtime(), b.get_bias()) == (k, lab_data - k)
        else:
            assert b.get_lab_data() != lab_data


def test_lookup_in_a_history_whose_times_do_not_ascend():
    # A clock stepped back: the prediction found is one at or before the lab
    # time whose successor lies after it.
    rng = np.random.default_rng(9)
    b = SoftSensorBiasUpdate(filter_tao=0, prd_len=200)
    for k in range(201):
        t = T0 + (-1000 if k == 0 else 1000 if k == 200 else rng.integers(-300, 300))
        b.run(float(k), 0.0, 0.0, float(t))
    times, data = list(b._prd_time_list), list(b._prd_data_list)
    for n, lab_time in enumerate(rng.uniform(times[0], times[-1], 300)):
        b._update_bias(1000.0 + n, float(lab_time))
        i = data.index(b.get_prd_data_at_labtime())
        assert times[i] <= lab_time and (i == 200 or times[i + 1] > lab_time)


def test_automatic_trigger_after_const_len_plus_one_calls(capsys):
    b = SoftSensorBiasUpdate("a", filter_tao=0, const_len=2)
    flags = []
    for k, lab in enumerate([5, 5, 7, 7, 7, 7]):
        b.run(1.0, lab, T0 + k, T0 + k)
        flags.append(b.get_update_flag())
    assert flags == [True, False, False, False, True, False] and b.get_bias() == 6.0


def test_manual_trigger(capsys):
    b = SoftSensorBiasUpdate("m", filter_tao=0)
    b.run(1.0, 3.0, T0, T0)
    capsys.readouterr()
    for lab, lab_time in [(3.0, T0), (3.0 + 9e-7, T0 + 0.09), (3.0, T0 - 0.09)]:
        b.run(1.0, lab, lab_time, T0 + 1, 1.0)        # the same result again
        assert capsys.readouterr().out == "m" + REPEATED + "\n" and not b.get_update_flag()
    b.run(1.0, 3.0, T0 - 0.11, T0 + 1, 1.0)
    assert b.get_update_flag() and b.get_lab_time() == T0 - 0.11
    b.run(1.0, 4.0, T0 + 1, T0 + 2, 0.5)
    assert not b.get_update_flag() and b.get_bias() == 2.0
    b.run(1.0, 4.0, T0 + 1, T0 + 3, 0.5000001)
    assert b.get_update_flag() and b.get_bias() == 3.0


def test_returned_value_is_the_filtered_bias():
    b, f = SoftSensorBiasUpdate(filter_tao=5), sFilter([1], [5, 1], u_ini=0.0, y_ini=0.0)
    out = [b.run(1.0, 3.0, T0 + k, T0 + k) for k in range(30)]
    assert out == [f(2.0) for _ in range(30)] and out[0] == 0.0 and 1.9 < out[-1] < 2.0


def test_default_prediction_time_is_now():
    b = SoftSensorBiasUpdate()
    before = time.time()
    b.run(1.0, 1.0, 0.0)
    assert before <= b._prd_time_list[-1] <= time.time()


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("pos,name", list(enumerate(
    ["prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"])))
def test_non_finite_input_refused_first_to_last(pos, name, bad):
    b, twin = SoftSensorBiasUpdate("test1", const_len=1), SoftSensorBiasUpdate("test1", const_len=1)
    for blk in (b, twin):
        blk.run(1.0, 2.0, T0, T0)
    args = [1.0, 2.0, T0, T0 + 1, 1.0]
    args[pos:] = [bad] * (5 - pos)
    with pytest.raises(ValueError) as e:
        b.run(*args)
    assert str(e.value) == f"test1 Bias Update: {name} is not finite!"
    assert [b.run(5.0, 3.0, T0 + k, T0 + k) for k in range(4)] == \
        [twin.run(5.0, 3.0, T0 + k, T0 + k) for k in range(4)]


@pytest.mark.parametrize("kwargs,message", [
    (dict(name=b"x"), "Argument 'name' has incorrect type (expected str, got bytes)"),
    (dict(name=type("S", (str,), {})("x")), "Argument 'name' has incorrect type (expected str, got S)"),
    (dict(prd_len=10.0), "Argument 'prd_len' has incorrect type (expected int, got float)"),
    (dict(const_len=True), "Argument 'const_len' has incorrect type (expected int, got bool)"),
    (dict(filter_tao="5"), "must be real number, not str"),
    (dict(abs_threshold=None), "must be real number, not NoneType"),
])
def test_constructor_types(kwargs, message):
    with pytest.raises(TypeError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        SoftSensorBiasUpdate(**kwargs)


@pytest.mark.parametrize("kwargs,word", [(dict(prd_len=-1), "prd_len"),
                                         (dict(const_len=-1), "const_len")])
def test_negative_lengths_refused(kwargs, word):
    with pytest.raises(ValueError, match=word):
        SoftSensorBiasUpdate(**kwargs)


@pytest.mark.parametrize("arg,value,got", [(3, int(T0), "int"), (3, np.float64(T0), "numpy.float64"),
                                           (4, 1, "int"), (4, "1", "str")])
def test_prd_time_and_trigger_only_float_or_none(arg, value, got):
    args = [1.0, 2.0, T0, T0, None]
    args[arg] = value
    name = ["prd_time", "update_trigger"][arg - 3]
    b = SoftSensorBiasUpdate()
    with pytest.raises(TypeError) as e:
        b.run(*args)
    assert str(e.value) == f"Argument '{name}' has incorrect type (expected float, got {got})"
    assert len(b._prd_data_list) == 0


def test_update_bias_on_an_empty_history_changes_nothing(capsys):
    b = SoftSensorBiasUpdate()
    assert b._update_bias(1.0, T0) is None
    assert report(b) == ("0.0", False, "nan", "nan", "nan") and capsys.readouterr().out == ""


class Doubling(sFilter):
    def __call__(self, Ut, y_ini=0.0):
        return 2 * Ut


class Plain(sFilter):
    pass


@pytest.mark.parametrize("fil,expect", [(None, [2.0, 2.0]), (lambda b: ("seen", b), [("seen", 2.0)] * 2),
                                        (Doubling([1], [5, 1]), [4.0, 4.0]),
                                        (Plain([1], [5, 1], u_ini=0.0, y_ini=0.0), "as sFilter")])
def test_fil_can_be_replaced(fil, expect, capsys):
    b = SoftSensorBiasUpdate(filter_tao=0)
    b._fil = fil
    assert b._fil is fil
    out = [b.run(1.0, 3.0, T0 + k, T0 + k) for k in range(2)]
    if expect == "as sFilter":
        f = sFilter([1], [5, 1], u_ini=0.0, y_ini=0.0)
        expect = [f(2.0), f(2.0)]
    assert out == expect


def test_subclass_update_bias_is_called_by_run(capsys):
    seen = []

    class Mine(SoftSensorBiasUpdate):
        def _update_bias(self, lab_data, lab_time):
            seen.append((lab_data, lab_time))
            super()._update_bias(lab_data, lab_time)

    b = Mine(filter_tao=0, const_len=0)
    b.run(1.0, 3.0, T0, T0)
    b.run(1.0, 4.0, T0, T0 + 1)
    assert seen == [(3.0, T0), (4.0, T0)] and b.get_bias() == 3.0


def test_history_attributes_are_snapshots():
    b = SoftSensorBiasUpdate(prd_len=3)
    b.run(1.0, 2.0, T0, T0)
    snap = b._prd_data_list
    snap.append(99.0)
    assert list(b._prd_data_list) == [1.0] * 4
    with pytest.raises(AttributeError):
        b._prd_time_list = deque([1.0])


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_restored_block_continues_and_refuses_broken_states(clone, capsys):
    b = SoftSensorBiasUpdate("c", prd_len=20, const_len=2)
    calls = random_calls(7, 80)
    for call in calls[:40]:
        b.run(*call)
    twin = clone(b)
    assert [repr(twin.run(*c)) for c in calls[40:]] == [repr(b.run(*c)) for c in calls[40:]]
    assert report(twin) == report(b) and repr(twin) == repr(b)
    state, fresh = b.__getstate__(), SoftSensorBiasUpdate.__new__(SoftSensorBiasUpdate)
    for key, value, exc in [("_prd_time_list", deque([1.0], maxlen=21), ValueError),
                            ("_lab_data_list", deque([], maxlen=4), ValueError),
                            ("_prd_data_list", deque([np.nan] * 21, maxlen=21), ValueError),
                            ("_prd_data_list", deque([1.0] * 20, maxlen=20), ValueError),
                            ("_lab_data_list", [1.0] * 4, TypeError), ("_name", None, TypeError),
                            ("_update_flag", 1, TypeError)]:
        with pytest.raises(exc):
            fresh.__setstate__(dict(state, **{key: value}))
    fresh.__setstate__(state)
    assert report(fresh) == report(b) and list(fresh._prd_time_list) == list(b._prd_time_list)


# --- LabDataRecorder ----------------------------------------------------------------------------

def read_lines(rec):
    with open(rec._csv_file, "rb") as f:
        raw = f.read()
    assert not raw.startswith(b"\xef\xbb\xbf") and b"\r" not in raw
    return raw.decode("utf-8").split("\n")


def rows(rec):
    lines = read_lines(rec)
    assert lines[0] == "ExportTime,LabTime,LabData" and lines[-1] == ""
    return [line.split(",") for line in lines[1:-1]]


def ref_recorder(values, thr, const_len):
    """Which calls write, by the rule spelled out with a deque and NumPy."""
    window, out = deque(maxlen=const_len + 2), []
    for v in values:
        while len(window) < window.maxlen:
            window.append(v)
        window.append(v)
        d = np.abs(np.diff(window))
        out.append(bool(d[0] >= thr and np.all(d[1:] < 1e-6)))
    return out


@pytest.mark.parametrize("thr,const_len", [(1e-6, 2), (0.3, 0), (0.0, 3), (-1.0, 1), (1e-6, 60)])
def test_recorder_writes_as_the_rule_says(tmp_path, thr, const_len):
    rng = np.random.default_rng(const_len)
    values = np.repeat(rng.choice([5.0, 5.2, 7.0, 7.0000001], 60), rng.integers(1, 6, 60)).tolist()
    rec = LabDataRecorder("R1", thr, const_len, tmp_path)
    got = [rec.run(v, T0 + k) for k, v in enumerate(values)]
    assert got == ref_recorder(values, thr, const_len)
    written = [(time.strftime(FMT, time.localtime(T0 + k)), repr(v))
               for k, (v, w) in enumerate(zip(values, got)) if w]
    assert ([(r[1], r[2]) for r in rows(rec)] if any(got) else []) == written


def test_recorder_examples(tmp_path, capsys):
    rec = LabDataRecorder("ex", const_len=2, csv_dir=tmp_path / "new" / "dir")
    assert (tmp_path / "new" / "dir").is_dir() and not rec._csv_file.exists()
    assert [rec.run(v, T0 + 0.75) for v in (5, 5, 7, 7, 7, 7)] == [False] * 4 + [True, False]
    assert [rec.run(7.0, T0) for _ in range(100)] == [False] * 100
    LabDataRecorder("ex", csv_dir=tmp_path / "new" / "dir").export_lab_data_csv(2, T0 + 0.999)
    assert [r[1:] for r in rows(rec)] == [[time.strftime(FMT, time.localtime(T0)), "7.0"],
                                          [time.strftime(FMT, time.localtime(T0)), "2.0"]]
    assert rec._csv_file == (tmp_path / "new" / "dir" / "ex_Raw_LabData.csv").resolve()
    assert capsys.readouterr().out == ""


def test_export_time_is_now(tmp_path):
    rec = LabDataRecorder("now", csv_dir=str(tmp_path))
    before = time.strftime(FMT, time.localtime())
    rec.export_lab_data_csv(1.0, T0)
    assert before <= rows(rec)[0][0] <= time.strftime(FMT, time.localtime())


def test_value_text_is_the_float_repr(tmp_path):
    bits = np.random.default_rng(3).integers(0, 2 ** 64, 3000, dtype=np.uint64)
    values = bits.view(np.float64).tolist() + [
        0.0, -0.0, 0.1, 2.0, 1e-07, 1e-05, 0.0001, 1e16, 1e15, 9999999999999998.0, 1e22,
        1e23, 5e-324, 1.7976931348623157e308, 123456789.125, np.nan, np.inf, -np.inf]
    rec = LabDataRecorder("f", csv_dir=tmp_path)
    for v in values:
        rec.export_lab_data_csv(v, T0)
    assert [r[2] for r in rows(rec)] == [repr(float(v)) for v in values]


LOCAL_TIME_SCRIPT = """
    import time, sys
    from qxdcs.algorithm.qxSoftSensor import LabDataRecorder
    times = [0.0, -1.5, 86399.999, 1.7e9 + 0.5, 1.7e9 - 0.5, 2 ** 31 + 0.25, -2 ** 31 - 7.5,
             253402300799.0, 1e12, -1e11, 1711846800.0 + 3600 * 1.5, 1698539400.0 + 1800]
    times += [1.6e9 + 86400 * 7.3 * k for k in range(60)]
    rec = LabDataRecorder("tz", csv_dir=".")
    for t in times:
        rec.export_lab_data_csv(1.0, t)
    got = [l.split(",")[1] for l in open(rec._csv_file).read().splitlines()[1:]]
    assert got == [time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)) for t in times], got
    print("ok")
"""


@pytest.mark.parametrize("tz", ["UTC", "Asia/Shanghai", "Europe/Berlin", "America/St_Johns",
                                "Australia/Lord_Howe", "XYZ+3:30"])
def test_lab_time_text_is_local_time_as_time_strftime(tz, tmp_path):
    run_child(LOCAL_TIME_SCRIPT, tmp_path, TZ=tz)


@pytest.mark.parametrize("t", [np.nan, np.inf, -np.inf, 1e20, 1e17])
def test_lab_time_the_c_library_cannot_convert(t, tmp_path):
    with pytest.raises(Exception) as want:
        time.localtime(t)
    rec = LabDataRecorder("bad", csv_dir=tmp_path)
    with pytest.raises(type(want.value)) as got:
        rec.export_lab_data_csv(1.0, t)
    assert str(got.value) == str(want.value) and not rec._csv_file.exists()


@pytest.mark.parametrize("name", ["../x", "a/b", "/abs", "a\0b", ".", ".."])
def test_names_leading_out_of_the_folder_are_refused(name, tmp_path):
    with pytest.raises(ValueError, match="path separator"):
        LabDataRecorder(name, csv_dir=tmp_path / "d")
    assert not (tmp_path / "d").exists()


@pytest.mark.parametrize("kwargs,exc", [(dict(name=1), TypeError), (dict(const_len=2.0), TypeError),
                                        (dict(abs_threshold="x"), TypeError),
                                        (dict(const_len=-1), ValueError)])
def test_recorder_constructor_refusals(kwargs, exc, tmp_path):
    with pytest.raises(exc):
        LabDataRecorder(csv_dir=tmp_path, **kwargs)


@pytest.mark.parametrize("pos,name", [(0, "lab_data"), (1, "lab_time")])
def test_recorder_refuses_non_finite_input(pos, name, tmp_path):
    rec = LabDataRecorder("r9", csv_dir=tmp_path)
    args = [1.0, T0]
    args[pos] = np.nan
    with pytest.raises(ValueError) as e:
        rec.run(*args)
    assert str(e.value) == f"r9 LabDataRecorder: {name} is not finite!"
    assert len(rec._lab_data_list) == 0


def test_csv_dir_relative_or_path_like(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fs = type("FS", (), {"__fspath__": lambda self: "sub"})()
    assert LabDataRecorder("p", csv_dir=fs)._csv_file == tmp_path.resolve() / "sub" / "p_Raw_LabData.csv"
    assert LabDataRecorder("p")._csv_file == tmp_path.resolve() / "p_Raw_LabData.csv"


@pytest.mark.parametrize("how", ["directory", "full", "subclass"])
def test_failed_export_keeps_the_value_for_the_next_call(how, tmp_path):
    fail = [True]

    class Flaky(LabDataRecorder):
        def export_lab_data_csv(self, lab_data, lab_time):
            if fail[0]:
                raise OSError(errno.EIO, "flaky")
            super().export_lab_data_csv(lab_data, lab_time)

    rec = (Flaky if how == "subclass" else LabDataRecorder)("e", 1e-6, 1, tmp_path)
    if how == "directory":
        rec._csv_file.mkdir()
    elif how == "full":
        try:   # the device of /dev/full: every write fails with ENOSPC
            os.mknod(rec._csv_file, stat.S_IFCHR | 0o666, os.stat("/dev/full").st_rdev)
        except (OSError, AttributeError):
            pytest.skip("cannot make a device node here")
    assert [rec.run(v, T0) for v in (1.0, 2.0)] == [False, False]
    before = list(rec._lab_data_list)
    with pytest.raises(OSError) as e:
        rec.run(2.0, T0)
    assert list(rec._lab_data_list) == before
    if how != "subclass":
        assert e.value.errno == {"directory": errno.EISDIR, "full": errno.ENOSPC}[how]
        assert e.value.filename == str(rec._csv_file)
        rec._csv_file.unlink() if how == "full" else rec._csv_file.rmdir()
    fail[0] = False
    assert rec.run(2.0, T0) and not rec.run(2.0, T0)
    assert [r[2] for r in rows(rec)] == ["2.0"]


def test_partial_write_is_taken_back(tmp_path):
    run_child(f"""
        import resource, signal
        from qxdcs.algorithm.qxSoftSensor import LabDataRecorder
        rec = LabDataRecorder("p", csv_dir={str(tmp_path)!r})
        rec.export_lab_data_csv(1.5, 1.7e9)
        size = rec._csv_file.stat().st_size
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 10, resource.RLIM_INFINITY))
        try:
            rec.export_lab_data_csv(2.5, 1.7e9)
        except OSError as e:
            assert e.errno == 27, e
        else:
            raise AssertionError("the write was expected to fail")
        assert rec._csv_file.stat().st_size == size
        # A file this export creates is removed again, so the next one writes the header.
        new = LabDataRecorder("q", csv_dir={str(tmp_path)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (10, resource.RLIM_INFINITY))
        try:
            new.export_lab_data_csv(2.5, 1.7e9)
        except OSError as e:
            assert e.errno == 27, e
        assert not new._csv_file.exists()
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
        new.export_lab_data_csv(2.5, 1.7e9)
        assert new._csv_file.read_text().startswith("ExportTime,LabTime,LabData\\n")
        print("ok")
    """, tmp_path)


@pytest.mark.parametrize("clone", [copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o, 0))])
def test_restored_recorder_writes_to_the_same_file(clone, tmp_path):
    rec = LabDataRecorder("pk", 1e-6, 1, tmp_path)
    rec.run(1.0, T0)
    rec.run(2.0, T0)
    twin = clone(rec)
    assert twin._csv_file == rec._csv_file and list(twin._lab_data_list) == [1.0, 1.0, 2.0]
    assert twin.run(2.0, T0) and rec.run(2.0, T0)
    assert [r[2] for r in rows(rec)] == ["2.0", "2.0"]
    fresh = LabDataRecorder.__new__(LabDataRecorder)
    for key, value in [("_csv_file", tmp_path / "other.csv"), ("_name", "../pk"),
                       ("_csv_file", "pk_Raw_LabData.csv"), ("_lab_data_list", deque([1.0], maxlen=3))]:
        with pytest.raises(ValueError):
            fresh.__setstate__(dict(rec.__getstate__(), **{key: value}))
    fresh.__setstate__(rec.__getstate__())
    assert fresh._csv_file == rec._csv_file


# --- hostile callers, in a child interpreter ----------------------------------------------------


HOSTILE = {
    "print re-enters the block": """
        b = SoftSensorBiasUpdate("h", prd_len=3)
        class Out:
            def write(self, s):
                if s.strip():
                    seen.append(b.run(1.0, 2.0, 0.0, 1.7e9 + len(seen)))
            def flush(self): pass
        seen, real = [], sys.stdout
        sys.stdout = Out()
        first = b.run(1.0, 3.0, 1.7e9, 1.7e9)
        sys.stdout = real
        assert len(b._prd_data_list) == 4 and b.get_bias() == 2.0, (seen, b.get_bias())
    """,
    "filter drops itself": """
        b = SoftSensorBiasUpdate("h", filter_tao=0)
        class F:
            def __call__(self, x):
                b._fil = None
                return x + 1.0
        b._fil = F()
        assert b.run(1.0, 3.0, 1.7e9, 1.7e9) == 3.0 and b.run(1.0, 3.0, 1.7e9, 1.7e9) == 2.0
    """,
    "export re-enters the recorder and fails": """
        import tempfile
        class R(LabDataRecorder):
            def export_lab_data_csv(self, v, t):
                if v < 10.0:
                    self.run(v + 10.0, t)
                raise OSError("no")
        r = R("h", 1e-6, 0, tempfile.mkdtemp())
        r.run(1.0, 1.7e9)
        try:
            r.run(2.0, 1.7e9)
        except OSError:
            pass
        assert list(r._lab_data_list) == [1.0, 1.0], r._lab_data_list
    """,
    "unconstructed filter and block": """
        b = SoftSensorBiasUpdate("h")
        b._fil = sFilter.__new__(sFilter)
        try:
            b.run(1.0, 2.0, 0.0)
        except TypeError:
            pass
        raw = SoftSensorBiasUpdate.__new__(SoftSensorBiasUpdate)
        try:
            raw.run(1.0, 2.0, 0.0)
        except TypeError:
            pass
    """,
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_callers(name, tmp_path):
    run_child("import sys\nfrom qxdcs.algorithm.qxFilter import sFilter\n"
              "from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate, LabDataRecorder\n"
              + textwrap.dedent(HOSTILE[name]) + "print('ok')\n", tmp_path)


def test_module_brings_its_imports():
    import qxdcs.algorithm.qxSoftSensor as m
    assert (m.time, m.np, m.deque, m.sFilter) == (time, np, deque, sFilter)
    assert m.Path.__name__ == "Path" and "软测量的偏差校正。" in SoftSensorBiasUpdate.__doc__


@pytest.mark.parametrize("target", ["outside", "dangling", "inside"])
def test_a_symbolic_link_in_place_of_the_csv_file_is_refused(target, tmp_path):
    folder, elsewhere = tmp_path / "lab", tmp_path / "elsewhere"
    folder.mkdir()
    elsewhere.mkdir()
    aim = {"outside": elsewhere / "victim.csv", "dangling": elsewhere / "missing.csv",
           "inside": folder / "other.csv"}[target]
    if target != "dangling":
        aim.write_text("untouched\n")
    rec = LabDataRecorder("s", 1e-6, 0, folder)
    rec._csv_file.symlink_to(aim)
    assert rec.run(1.0, T0) is False
    for _ in range(2):   # a refused result is offered again by the next call
        with pytest.raises(OSError, match="symbolic link") as e:
            rec.run(2.0, T0)
        assert e.value.filename == str(rec._csv_file) and list(rec._lab_data_list) == [1.0, 1.0]
    with pytest.raises(OSError, match="symbolic link"):
        rec.export_lab_data_csv(3.0, T0)
    if target == "dangling":
        assert not aim.exists()
    else:
        assert aim.read_text() == "untouched\n"
    rec._csv_file.unlink()
    assert rec.run(2.0, T0) is True
    assert rec._csv_file.read_text().splitlines()[0] == "ExportTime,LabTime,LabData"


def test_a_folder_that_is_a_symbolic_link_is_the_callers_choice(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "via").symlink_to(tmp_path / "real")
    rec = LabDataRecorder("s", 1e-6, 0, str(tmp_path / "via") + "/")
    rec.export_lab_data_csv(2.5, T0)
    lines = (tmp_path / "real" / "s_Raw_LabData.csv").read_text().splitlines()
    assert lines[0] == "ExportTime,LabTime,LabData" and lines[1].endswith(",2.5")

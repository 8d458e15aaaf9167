"""Running a strategy live: the plant served over OPC UA (qxdcs serve-plant)
and its loops run against it (qxdcs control), each in its own process on
the loopback address.

Every child process is killed in a finally; every wait has a time limit.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("pydantic")
pytest.importorskip("asyncua")

import qxdcs  # noqa: E402
from qxdcs import cli  # noqa: E402
from qxdcs import strategy  # noqa: E402
from qxdcs.live import config  # noqa: E402
from qxdcs.live.control import ControlEngine  # noqa: E402
from qxdcs.live.process import Process, ProcessError, process_plan  # noqa: E402
from qxdcs.strategy.outputs import read_traces  # noqa: E402

from strategies import MINIMAL, load_text  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(qxdcs.__file__), "examples")
REACTOR = os.path.join(EXAMPLES, "reactor.toml")
COLUMN = os.path.join(EXAMPLES, "column.toml")


# --- the two ends in one process: the split itself ----------------------------------------

@pytest.mark.parametrize("path", [REACTOR, COLUMN])
def test_process_and_controller_together_equal_the_simulation(path):
    sf = strategy.load(path)
    plan = strategy.make_plan(sf, samples=250)
    ref = strategy.Engine(plan).run()
    live = config.resolve(sf, plan)
    proc, ctl = Process(plan), ControlEngine(live)
    rows = []
    for _ in range(plan.samples):
        cvs = proc.cvs
        for j, s in enumerate(live.inputs):
            ctl.inputs[j] = cvs[s.name]
        ctl.sample(rows.append)
        proc.advance({s.name: ctl.output(j) for j, s in enumerate(live.outputs)})
    got = np.array(rows)
    want = np.column_stack([ref.traces[n] for n in plan.signals])
    assert np.array_equal(got, want)


def test_the_controller_blocks_pickle_mid_run():
    import pickle

    sf = strategy.load(REACTOR)
    plan = strategy.make_plan(sf, samples=120)
    live = config.resolve(sf, plan)
    proc, ctl = Process(plan), ControlEngine(live)

    def run(ctl, proc, n, rows):
        for _ in range(n):
            cvs = proc.cvs
            ctl.inputs[:] = [cvs[s.name] for s in live.inputs]
            ctl.tracking[0] = 40.0 if 70 <= ctl.k < 80 else None
            ctl.sample(rows.append)
            proc.advance({s.name: ctl.output(j) for j, s in enumerate(live.outputs)})

    run(ctl, proc, 60, [])
    ctl2, proc2 = pickle.loads(pickle.dumps(ctl)), pickle.loads(pickle.dumps(proc))
    a, b = [], []
    run(ctl, proc, 60, a)
    run(ctl2, proc2, 60, b)
    assert a == b and ctl2.k == 120
    assert [r[plan.slot("FV101")] for r in a[10:20]] == [40.0] * 10   # tracking held it


def test_a_signal_read_in_the_place_of_its_block():
    """A mapped signal (the measured feed flow) takes the value read; the
    rest of the run is the simulation's."""
    sf = strategy.load(COLUMN).replace({"live": {"nodes": {"F_measured": "s=FM"}}})
    plan = strategy.make_plan(sf, samples=60)
    ref = strategy.Engine(plan).run()
    live = config.resolve(sf, plan)
    assert [s.name for s in live.inputs] == ["XD", "XB", "F_measured"]
    assert {lp.name: [live.inputs[i].name for i in lp.inputs] for lp in live.loops} == \
        {"XD": ["XD", "F_measured"], "XB": ["XB", "F_measured"]}
    proc, ctl = Process(plan), ControlEngine(live)
    rows = []
    for k in range(plan.samples):
        cvs = proc.cvs
        ctl.inputs[:] = [cvs["XD"], cvs["XB"], ref.traces["F_measured"][k]]
        ctl.sample(rows.append)
        proc.advance({s.name: ctl.output(j) for j, s in enumerate(live.outputs)})
    assert np.array_equal(np.array(rows), np.column_stack([ref.traces[n] for n in plan.signals]))


def test_a_plant_input_computed_from_a_loop_cannot_be_served(tmp_path):
    text = MINIMAL + """
[signal.D]
kind = "sum"
inputs = { V = 0.1 }
"""
    sf = load_text(tmp_path, text.replace("[plant]", "[plant]\ndisturbance = { L = \"D\" }", 1))
    plan = strategy.make_plan(sf)
    with pytest.raises(ProcessError, match="depends on the output of a loop"):
        process_plan(plan)


@pytest.mark.parametrize("table, where, message", [
    ({"nodes": {"TI1O1": "s=X"}}, "live.nodes.TI1O1", "no signal 'TI1O1'"),
    ({"nodes": {"TI101": "ns=x;s=TI101"}}, "live.nodes.TI101", "not a node id"),
    ({"loop": {"TI10": {"fail_safe": 10.0}}}, "live.loop.TI10", "no loop 'TI10'"),
    ({"loop": {"TI101": {"fail_safe": 90.0}}}, "live.loop.TI101.fail_safe",
     "outside the loop's output limits [0, 70]"),
    ({"nodes": {"TI101": "s=A", "AI201": "s=A"}}, "live.nodes", "name the same node"),
    ({"heartbeat_max": 0}, "live.heartbeat_max", ""),
    ({"nodez": {}}, "live.nodez", "nodes"),
])
def test_malformed_live_settings_are_refused_with_their_key(table, where, message):
    sf = strategy.load(REACTOR).replace({"live": table})
    with pytest.raises(strategy.StrategyError) as err:
        config.resolve(sf, strategy.make_plan(sf, samples=10))
    text = "\n".join(str(p) for p in err.value.problems)
    assert f"reactor.toml: {where}" in text and message in text, text


def test_check_takes_the_live_table(tmp_path):
    sf = strategy.load(REACTOR)
    good = sf.replace({"live": {"nodes": {"TI101": "s=T"}, "loop": {"AI201": {"fail_safe": 20.0}}}})
    assert strategy.check(good).ok
    bad = sf.replace({"live": {"loop": {"AI201": {"fail_safe": "close"}}, "heartbeat_max": -1}})
    problems = {p.key: p.message for p in strategy.check(bad).problems}
    assert problems["live.loop.AI201.fail_safe"] == \
        "must be \"hold\" or a safe output (a number); got 'close'"
    assert "live.heartbeat_max" in problems


def test_node_texts():
    ns = "urn:x"
    assert config.parse_node("TI101", ns) == config.Node("TI101", "s=TI101", ns)
    assert config.parse_node("ns=3;i=17", ns).node_id(None) == "ns=3;i=17"
    assert config.parse_node("nsu=urn:y;s=A.B", ns).node_id({"urn:y": 5}.get) == "ns=5;s=A.B"
    assert config.parse_node("s=A;B", ns).node_id({ns: 2}.get) == "ns=2;s=A;B"
    for bad in ("ns=2;x=1", "i=notanumber", "a=b"):
        with pytest.raises(ValueError, match="not a node id"):
            config.parse_node(bad, ns)


def _data_value(kind):
    import datetime

    from asyncua import ua

    now = datetime.datetime(2026, 1, 5, 8, 0, 0, tzinfo=datetime.timezone.utc)
    v = ua.VariantType
    return {
        "double": ua.DataValue(ua.Variant(1.25, v.Double)),
        "float": ua.DataValue(ua.Variant(0.5, v.Float)),
        "ints": ua.DataValue(ua.Variant(-7, v.Int32)),
        "int64": ua.DataValue(ua.Variant(2 ** 40, v.Int64)),
        "boolean": ua.DataValue(ua.Variant(True, v.Boolean)),
        "bad": ua.DataValue(ua.Variant(3.0, v.Double),
                            StatusCode=ua.StatusCode(ua.StatusCodes.BadSensorFailure)),
        "uncertain": ua.DataValue(
            ua.Variant(3.0, v.Double),
            StatusCode=ua.StatusCode(ua.StatusCodes.UncertainLastUsableValue)),
        "timestamps": ua.DataValue(ua.Variant(9.5, v.Double), SourceTimestamp=now,
                                   ServerTimestamp=now, SourcePicoseconds=5,
                                   ServerPicoseconds=7),
        "no value": ua.DataValue(None, StatusCode=ua.StatusCode(ua.StatusCodes.BadNodeIdUnknown)),
        "string": ua.DataValue(ua.Variant("x", v.String)),
        "array": ua.DataValue(ua.Variant([1.0, 2.0], v.Double)),
    }[kind]


@pytest.mark.parametrize("kinds, fast", [
    (("double", "float", "ints", "int64", "boolean"), True),
    (("double", "bad", "uncertain", "timestamps", "no value"), True),
    (("double", "string"), False),
    (("array", "double"), False),
    ((), True),
])
def test_the_fast_read_decoder_agrees_with_asyncua(kinds, fast):
    from asyncua import ua
    from asyncua.ua.ua_binary import struct_to_binary

    from qxdcs.live.wire import BatchedRead

    response = ua.ReadResponse()
    response.Results = [_data_value(k) for k in kinds]
    data = struct_to_binary(response)
    reader = BatchedRead([])
    codes, values = reader.decode(data)
    assert (reader.fast, reader.slow) == ((1, 0) if fast else (0, 1))
    assert codes == [dv.StatusCode.value for dv in response.Results]
    want = [dv.Value.Value if dv.Value is not None else None for dv in response.Results]
    assert values == want and [type(x) for x in values] == [type(x) for x in want]
    # A service fault in the header is raised, not decoded as values.
    response.ResponseHeader.ServiceResult = ua.StatusCode(ua.StatusCodes.BadTooManyOperations)
    with pytest.raises(ua.UaStatusCodeError):
        reader.decode(struct_to_binary(response))


# --- the two ends in two processes --------------------------------------------------------

def _port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _qxdcs(*args):
    return [sys.executable, "-m", "qxdcs", *map(str, args)]


class _Children:
    """Child processes, each killed at the end."""

    def __init__(self, cwd):
        self.cwd = cwd
        self.procs = []

    def start(self, *args, wait_for=None, timeout=20):
        p = subprocess.Popen(_qxdcs(*args), cwd=self.cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        if wait_for is not None:
            line = []
            t = threading.Thread(target=lambda: line.append(p.stdout.readline()), daemon=True)
            t.start()
            t.join(timeout)
            assert line and wait_for in line[0], (line, p.poll())
        return p

    def run(self, *args, timeout=30):
        return subprocess.run(_qxdcs(*args), cwd=self.cwd, capture_output=True, text=True,
                              timeout=timeout)

    def kill_all(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            try:
                p.communicate(timeout=5)
            except (subprocess.TimeoutExpired, ValueError):
                pass


@pytest.fixture
def children(tmp_path):
    c = _Children(tmp_path)
    try:
        yield c
    finally:
        c.kill_all()


def _serve(children, *args, path=REACTOR):
    port = _port()
    url = f"opc.tcp://127.0.0.1:{port}/qxdcs/"
    proc = children.start("serve-plant", path, "--endpoint", url, *args, wait_for="serving")
    return url, proc


def _events(folder):
    with open(os.path.join(folder, "events.jsonl"), encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def _io(folder):
    with open(os.path.join(folder, "io.csv"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split(",") for line in f if line.endswith("\n")]
    return (rows[0], rows[1:]) if rows else ([], [])


@pytest.fixture(scope="module")
def lockstep(tmp_path_factory):
    """One plant in lockstep for the tests below: the equality of a run of
    samples 0 to 299, then bad statuses at samples 320 to 339 (TI101) and
    345 to 349 (AI201)."""
    folder = tmp_path_factory.mktemp("lockstep")
    c = _Children(folder)
    try:
        url, server = _serve(c, "--lockstep", "--samples", 400, "--bad-status", "TI101:320:340",
                             "--bad-status", "AI201:345:350", "--log", folder / "plant")
        yield url, server, folder / "plant"
    finally:
        c.kill_all()


def _read_values(url, tags):
    import asyncio

    from asyncua import Client

    async def read():
        async with Client(url, timeout=5) as client:
            idx = await client.get_namespace_index("urn:qxdcs:plant")
            return [await client.get_node(f"ns={idx};s={t}").read_value() for t in tags]
    return asyncio.run(asyncio.wait_for(read(), 10))


def _plant_sample(url):
    return _read_values(url, ["qxdcs.sample"])[0]


def test_lockstep_run_equals_the_simulation(lockstep, children, tmp_path):
    url, server, _ = lockstep
    assert _plant_sample(url) == 0
    out = tmp_path / "ctl"
    # A period of 0.5 ms is too short for a read, the blocks and a write (and
    # the wait for the plant): periods are late, and the ones whose start has
    # passed are skipped, none run twice.
    res = children.run("control", REACTOR, "--endpoint", url, "--lockstep", "--period", 0.0005,
                       "--samples", 300, "--log", out)
    assert res.returncode == 0, res.stderr
    assert "300 periods" in res.stdout
    late = [e for e in _events(out) if e["event"] == "deadline_missed"]
    assert late and all(e["skipped"] >= 1 and e["overrun_s"] > 0 for e in late)
    head, rows = _io(out)
    assert [int(r[0]) for r in rows] == list(range(300))
    plan = strategy.make_plan(strategy.load(REACTOR), samples=300)
    ref = strategy.Engine(plan, lab_dir=str(tmp_path / "ref")).run()
    live = read_traces(str(out / "traces.csv"))
    assert np.array_equal(live["time"], ref.time)
    differ = [s for s in plan.signals if not np.array_equal(live[s], ref.traces[s])]
    assert differ == []
    names = [e["event"] for e in _events(out)]
    assert names[0] == "started" and names[-1] == "stopped"
    assert set(names) == {"started", "deadline_missed", "stopped"}
    assert _events(out)[-1]["late"] == len(late)


def _pid_step(trace, loop, k, KP, TI, Ts, ff=None):
    """The output of sample k of an automatic PI step from sample k - 1."""
    e = trace[f"SP_{loop}"] - trace[f"PV_{loop}"]
    op = trace[loop.replace("TI", "FV").replace("AI", "FV")]
    step = op[k - 1] + KP * (e[k] - e[k - 1]) + KP * Ts / TI * e[k]
    if ff is not None:
        step += trace[ff][k] - trace[ff][k - 1]
    return step


def test_a_bad_status_puts_only_its_loops_into_fail_safe(lockstep, children, tmp_path, capsys):
    url, server, plant_log = lockstep
    at = _plant_sample(url)
    assert at <= 300
    if at < 300:       # run alone: bring the plant to sample 300
        res = children.run("control", REACTOR, "--endpoint", url, "--lockstep", "--period",
                           0.002, "--samples", 300 - at)
        assert res.returncode == 0, res.stderr
    mapping = tmp_path / "live.toml"
    mapping.write_text("[loop.AI201]\nfail_safe = 30.0\n")
    # A mapping whose nodes the server lacks or has of the wrong kind is
    # refused at start, each node by its name, before anything is written.
    wrong = tmp_path / "wrong.toml"
    wrong.write_text('heartbeat = "TI101"\n[nodes]\nTI101 = "s=NoSuchNode"\n'
                     'FV201 = "qxdcs.sample"\nAI201 = "nsu=urn:elsewhere;s=AI201"\n')
    assert cli.main(["control", REACTOR, "--endpoint", url, "--lockstep", "--mapping",
                     str(wrong), "--samples", "5"]) == 1
    err = capsys.readouterr().err
    assert "TI101 (input): node 's=NoSuchNode' does not exist" in err
    assert "AI201 (input): the namespace 'urn:elsewhere'" in err
    assert "FV201 (output): node 'qxdcs.sample' has the type Int64; an output needs " \
           "Double or Float" in err
    assert "heartbeat (heartbeat): node 'TI101' is not writable" in err
    assert "4 nodes refused; nothing ran" in err and "Traceback" not in err

    out = tmp_path / "ctl"
    res = children.run("control", REACTOR, "--endpoint", url, "--lockstep", "--period", 0.005,
                       "--samples", 70, "--mapping", mapping, "--log", out)
    assert res.returncode == 0, res.stderr
    ev = [e for e in _events(out) if e["event"] in ("input_bad", "fail_safe", "resumed")]
    assert [(e["event"], e["sample"], e.get("loop") or e.get("signal")) for e in ev] == [
        ("input_bad", 20, "TI101"), ("fail_safe", 20, "TI101"), ("resumed", 40, "TI101"),
        # the controller's sample k is the plant's 300 + k
        ("input_bad", 45, "AI201"), ("fail_safe", 45, "AI201"), ("resumed", 50, "AI201")]
    assert ev[1]["action"] == "hold" and ev[4]["action"] == "safe_output"
    assert ev[1]["inputs"] == ["TI101"] and "BadSensorFailure" in ev[0]["status"]
    head, rows = _io(out)
    fv101, fv201 = head.index("FV101"), head.index("FV201")
    for k, row in enumerate(rows):
        assert (row[fv101] == "") == (20 <= k < 40), k        # held: nothing written
        assert row[fv201] != "", k                            # the other loop goes on
        if 45 <= k < 50:
            assert float(row[fv201]) == 30.0                  # the safe output
    # The plant saw FV101 stand still while its loop held, FV201 move.
    plant = np.genfromtxt(plant_log / "plant.csv", delimiter=",", names=True)
    assert plant["sample"][300] == 300
    held = plant["FV101"][321:341]
    assert np.all(held == held[0]) and held[0] == float(rows[19][fv101])
    assert len(set(plant["FV201"][321:341])) > 5
    # The return is bumpless: the sample of the return writes the held output,
    # the next one is an automatic step from the fresh measurement, with no
    # kick from the stale one.
    assert float(rows[40][fv101]) == float(rows[19][fv101])
    trace = read_traces(str(out / "traces.csv"))
    assert trace["FV101"][41] == pytest.approx(
        _pid_step(trace, "TI101", 41, -4.0, 1200, 60, ff="FF_TI101"), abs=1e-9)
    assert trace["FV201"][51] == pytest.approx(_pid_step(trace, "AI201", 51, 4.0, 1800, 60),
                                               abs=1e-9)
    stale = trace["PV_TI101"][39]    # a kick would have been KP * (PV - stale PV)
    assert abs(-4.0 * (trace["PV_TI101"][41] - stale)) > 1e-6


def _wait_for(pred, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = pred()
        if got:
            return got
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def _events_now(folder):
    try:
        return _events(folder)
    except (OSError, json.JSONDecodeError):
        return []


def _utc(event):
    return np.datetime64(event["time"].rstrip("Z"), "ms").astype(float) / 1e3


def test_the_controller_survives_a_hung_and_a_restarted_server(children, tmp_path):
    """The server first stops answering (SIGSTOP: reads time out), then is
    killed and started anew; the controller notices each within two periods,
    writes nothing meanwhile, reconnects and resumes without a bump, and on
    Ctrl-C writes its safe output and stops; the server sees its heartbeat
    stop."""
    period = 0.05
    url = f"opc.tcp://127.0.0.1:{_port()}/qxdcs/"
    args = ("serve-plant", REACTOR, "--endpoint", url, "--speed", 1200)
    first = children.start(*args, wait_for="serving")
    out = tmp_path / "ctl"
    mapping = tmp_path / "live.toml"
    mapping.write_text("safe_outputs_on_stop = true\n[loop.AI201]\nfail_safe = 30.0\n")
    ctl = children.start("control", REACTOR, "--endpoint", url, "--period", period,
                         "--samples", 1000, "--backoff-max", 0.4, "--log", out,
                         "--mapping", mapping)

    def count(name):
        return sum(e["event"] == name for e in _events_now(out))

    _wait_for(lambda: (out / "io.csv").exists() and len(_io(out)[1]) >= 15, 15, "15 periods")
    first.send_signal(signal.SIGSTOP)
    hung = time.time()
    try:
        _wait_for(lambda: count("connection_lost") == 1, 5, "the first connection_lost")
        time.sleep(0.3)
    finally:
        first.send_signal(signal.SIGCONT)
    _wait_for(lambda: count("resumed") == 2, 15, "the first return")
    first.kill()
    killed = time.time()
    first.wait(5)
    _wait_for(lambda: count("connection_lost") == 2, 5, "the second connection_lost")
    second = children.start(*args, wait_for="serving")
    _wait_for(lambda: count("resumed") == 4, 20, "the second return")
    time.sleep(0.3)
    assert _read_values(url, ["qxdcs.controller_alive"]) == [True]
    ctl.send_signal(signal.SIGINT)                       # Ctrl-C: stops after the period
    stdout, stderr = ctl.communicate(timeout=10)
    assert ctl.returncode == 0, stderr

    ev = _events(out)
    names = [e["event"] for e in ev if e["event"] != "deadline_missed"]
    outage = ["connection_lost", "fail_safe", "fail_safe", "reconnected", "resumed", "resumed"]
    assert names == ["started"] + outage + outage + ["stopped"]
    assert ev[-1]["interrupted"] is True
    lost = [e for e in ev if e["event"] == "connection_lost"]
    back = [e["sample"] for e in ev if e["event"] == "reconnected"]
    assert "TimeoutError" in lost[0]["error"] and "TimeoutError" not in lost[1]["error"]
    # Noticed within two periods (and the scheduling of this shared machine).
    assert _utc(lost[0]) - hung < 2 * period + 0.4
    assert _utc(lost[1]) - killed < 2 * period + 0.4
    head, rows = _io(out)
    outs = [head.index("FV101"), head.index("FV201")]
    assert [int(r[0]) for r in rows] == list(range(len(rows)))     # no period run twice
    down = [int(r[0]) for r in rows if r[2] == "0"]
    assert down == list(range(lost[0]["sample"], back[0])) + \
        list(range(lost[1]["sample"], back[1]))
    # Nothing written while disconnected; each return writes the output
    # held (TI101) or the safe output (AI201), then goes on.
    assert all(r[i] == "" for r in rows if r[2] == "0" for i in outs)
    fail_safe = [e for e in ev if e["event"] == "fail_safe"]
    for i, k in enumerate(back):
        held = {e["loop"]: e["output"] for e in fail_safe[2 * i:2 * i + 2]}
        assert held["AI201"] == 30.0
        assert held["TI101"] == float(rows[lost[i]["sample"] - 1][outs[0]])
        assert float(rows[k][outs[0]]) == held["TI101"]
        assert float(rows[k][outs[1]]) == 30.0
    assert all(r[i] != "" for r in rows[back[1]:] for i in outs)
    # Stopped with Ctrl-C, it wrote the safe output of AI201 (and left FV101);
    # the server sees the heartbeat stand still.
    assert second.poll() is None
    assert _read_values(url, ["FV201"]) == [30.0]
    _wait_for(lambda: _read_values(url, ["qxdcs.controller_alive"]) == [False], 5,
              "the server to see the heartbeat stop")


def test_the_plant_refuses_an_mv_that_is_not_a_number(lockstep):
    """A client that writes NaN to an MV (and the heartbeat, so that the
    plant runs a sample) does not reach the plant: the last good value stays,
    and is what the node shows."""
    import asyncio

    from asyncua import Client, ua

    url, server, _ = lockstep

    async def poke():
        async with Client(url, timeout=5) as client:
            idx = await client.get_namespace_index("urn:qxdcs:plant")
            node = {t: client.get_node(f"ns={idx};s={t}")
                    for t in ("FV101", "TI101", "qxdcs.heartbeat", "qxdcs.sample")}
            before = await node["FV101"].read_value()
            k = await node["qxdcs.sample"].read_value()
            res = await client.uaclient.write_attributes(
                [node["FV101"].nodeid, node["qxdcs.heartbeat"].nodeid],
                [ua.DataValue(ua.Variant(float("nan"), ua.VariantType.Double)),
                 ua.DataValue(ua.Variant(-7, ua.VariantType.Int32))], ua.AttributeIds.Value)
            assert all(r.is_good() for r in res)
            for _ in range(200):
                if await node["qxdcs.sample"].read_value() == k + 1:
                    break
                await asyncio.sleep(0.01)
            return before, k, [await node[t].read_value() for t in ("FV101", "TI101",
                                                                     "qxdcs.sample")]
    before, k, (after, ti101, k1) = asyncio.run(asyncio.wait_for(poke(), 15))
    assert k1 == k + 1 and after == before and np.isfinite(ti101)


def test_unsecured_server_warns_and_stops_on_sigterm(lockstep):
    url, server, _ = lockstep
    server.terminate()
    _, err = server.communicate(timeout=10)
    assert server.returncode == 0 and "warning: serving without security" in err


def test_a_secure_server_refuses_an_anonymous_client(children, tmp_path, capsys):
    url, server = _serve(children, "--speed", 1200, "--security", "--pki", tmp_path / "pki")
    # The controllers run in this process: cli.main as the command runs it.
    base = ["control", REACTOR, "--endpoint", url, "--samples", "3", "--period", "0.05"]
    assert cli.main(base) == 1
    err = capsys.readouterr().err
    assert "cannot connect" in err and "no endpoint without security" in err
    secure = base + ["--security", "--pki", str(tmp_path / "ctl-pki")]
    assert cli.main(secure) == 1
    assert "BadUserAccessDenied" in capsys.readouterr().err             # not trusted yet
    shutil.copy(tmp_path / "ctl-pki" / "controller-cert.der", tmp_path / "pki" / "trusted")
    assert cli.main(secure) == 0
    assert "3 periods" in capsys.readouterr().out


@pytest.mark.parametrize("args, message", [
    (("--endpoint", "http://x"), "--endpoint must be an OPC UA address"),
    (("--endpoint", "opc.tcp://127.0.0.1:1/", "--period", "0"), "--period must be a positive"),
    (("--endpoint", "opc.tcp://127.0.0.1:1/", "--cert", "c"), "--cert and --key go together"),
])
def test_control_usage_errors(args, message, capsys):
    assert cli.main(["control", REACTOR, *args]) == 2
    assert message in capsys.readouterr().err


def test_control_without_a_server_fails_in_one_line(capsys):
    assert cli.main(["control", REACTOR, "--endpoint", f"opc.tcp://127.0.0.1:{_port()}/",
                     "--samples", "2"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("qxdcs: error: cannot connect to") and err.count("\n") == 1, err


def test_serve_plant_refuses_a_bad_status_of_no_cv(capsys):
    assert cli.main(["serve-plant", REACTOR, "--bad-status", "TI1O1:1:2"]) == 1
    assert "--bad-status: no CV 'TI1O1'; did you mean 'TI101'?" in capsys.readouterr().err
    assert cli.main(["serve-plant", REACTOR, "--bad-status", "TI101:5:5"]) == 2
    assert "TAG:FIRST:END" in capsys.readouterr().err

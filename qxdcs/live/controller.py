"""``qxdcs control``: a strategy's loops run live against an OPC UA server.

Each period, from a monotonic clock (period n starts at t0 + n * period, so
the schedule does not drift):

1. one batched read of every input (and, in lockstep, of the plant's sample
   number, re-read until the plant has run the sample before): one Read
   request whose parameters are built once, its response decoded by wire.py;
2. an input whose read failed, timed out or came back with a status that is
   not Good keeps its last good value, and every loop that depends on it is
   put into its fail-safe state: its PID tracks the output it holds (or the
   safe output it drives), and the loop's output is not written (or the
   safe output is). No output computed from a bad or stale input is written;
3. the blocks run (control.py), the same blocks in the same order as the
   Python engine;
4. one batched write of every output a loop may write and of the heartbeat
   (a WatchDog count).

A loop whose inputs are Good again runs one period in tracking with the
fresh inputs (its PID's history restarts from them) and returns to its mode
schedule from the next period: no bump. A period that ends after the start
of the next one is a missed deadline: counted, logged, and the periods
whose start has passed are skipped, never run twice to catch up.

A failed read or write is a lost connection (noticed within the period, the
read's timeout being at most a period): every loop goes to fail-safe, and
the client reconnects in the background with a back-off that doubles from
one period up to 10 s (``--backoff-max``), the periods going on meanwhile.
A reconnection resolves the nodes anew and checks their types again.

Events go to DIR/events.jsonl, one JSON object per line: the time (UTC),
the sample, `event` (started, connection_lost, reconnected, input_bad,
fail_safe, resumed, deadline_missed, stopped) and its details. DIR/traces.csv
holds every slot of every sample (as ``qxdcs run`` writes it), DIR/io.csv
per period the lateness of its start, whether it was connected, the value
written to each output (empty: nothing written) and the heartbeat.
"""
import asyncio
import csv
import datetime
import json
import logging
import math
import os
import signal
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from qxdcs.live.config import LivePlan, Node
from qxdcs.live.control import ControlEngine
from qxdcs.live.wire import BatchedRead, is_good, status_name

EVENTS = ("started", "connection_lost", "reconnected", "input_bad", "fail_safe", "resumed",
          "deadline_missed", "stopped")
BACKOFF_CAP = 10.0

# OPC UA built-in data types by node id (namespace 0).
_NUMERIC = {2: "SByte", 3: "Byte", 4: "Int16", 5: "UInt16", 6: "Int32", 7: "UInt32",
            8: "Int64", 9: "UInt64", 10: "Float", 11: "Double"}
_REAL = {10: "Float", 11: "Double"}
_INT_MAX = {2: 2 ** 7 - 1, 3: 2 ** 8 - 1, 4: 2 ** 15 - 1, 5: 2 ** 16 - 1, 6: 2 ** 31 - 1,
            7: 2 ** 32 - 1, 8: 2 ** 63 - 1, 9: 2 ** 64 - 1, 10: 2 ** 24, 11: 2 ** 53}


class StartError(Exception):
    """The controller cannot start: `problems` lists one line per cause."""

    def __init__(self, problems: List[str]):
        super().__init__(problems[0] if len(problems) == 1 else
                         f"{len(problems)} problems: " + "; ".join(problems))
        self.problems = list(problems)


@dataclass(frozen=True)
class Security:
    """Basic256Sha256 (sign and encrypt): the controller's certificate and
    key, and the server's certificate (None: taken from the server's
    endpoints on connecting)."""
    cert: str
    key: str
    server_cert: Optional[str] = None


class EventLog:
    """DIR/events.jsonl, one line per event, flushed at once."""

    def __init__(self, folder: Optional[str]):
        self.count: Dict[str, int] = {}
        self.lines: List[dict] = []
        self._f = None
        if folder is not None:
            self._f = open(os.path.join(folder, "events.jsonl"), "w", encoding="utf-8")

    def __call__(self, event: str, sample: int, **details) -> dict:
        assert event in EVENTS, event
        now = datetime.datetime.now(datetime.timezone.utc)
        line = {"time": now.isoformat(timespec="milliseconds").replace("+00:00", "Z"),
                "event": event, "sample": sample, **details}
        self.count[event] = self.count.get(event, 0) + 1
        self.lines.append(line)
        if self._f is not None:
            self._f.write(json.dumps(line) + "\n")
            self._f.flush()
        return line

    def close(self):
        if self._f is not None:
            self._f.close()
            self._f = None


@dataclass
class Summary:
    samples: int = 0
    late: int = 0
    skipped: int = 0
    lateness: List[float] = field(default_factory=list)     # of each period's start, s
    work: List[float] = field(default_factory=list)         # each period's read, blocks, write
    events: Dict[str, int] = field(default_factory=dict)

    def percentile(self, q: float, of: Optional[List[float]] = None) -> float:
        xs = sorted(self.lateness if of is None else of)
        if not xs:
            return float("nan")
        return xs[min(len(xs) - 1, int(math.ceil(q / 100.0 * len(xs))) - 1)]

    def report(self) -> str:
        ev = ", ".join(f"{k} {v}" for k, v in sorted(self.events.items()))
        return (f"{self.samples} periods, {self.late} late ({self.skipped} skipped); lateness "
                f"p50 {self.percentile(50) * 1e3:.3f} ms, p99 {self.percentile(99) * 1e3:.3f} ms; "
                f"work p50 {self.percentile(50, self.work) * 1e3:.3f} ms, "
                f"p99 {self.percentile(99, self.work) * 1e3:.3f} ms; events: {ev}")


class _Loop:
    __slots__ = ("state", "since")

    def __init__(self):
        self.state = "auto"      # auto, fail_safe, returning
        self.since = 0


class LiveController:
    """The loops of `live` against the server at `endpoint` (see the
    module's text). `samples`: periods to run (at most the plan's);
    `timeout`: of a read or write, at most the period by default."""

    def __init__(self, live: LivePlan, endpoint: str, period: Optional[float] = None,
                 samples: Optional[int] = None, log_dir: Optional[str] = None,
                 lockstep: bool = False, security: Optional[Security] = None,
                 timeout: Optional[float] = None, connect_timeout: float = 5.0,
                 backoff_max: float = BACKOFF_CAP, out=None):
        self.live = live
        self.plan = live.plan
        self.endpoint = endpoint
        self.period = float(period if period is not None else self.plan.sample_period)
        self.samples = min(int(samples), self.plan.samples) if samples else self.plan.samples
        self.log_dir = log_dir
        self.lockstep = lockstep
        self.security = security
        self.timeout = float(timeout) if timeout else max(self.period, 0.001)
        if lockstep and not timeout:
            self.timeout = max(self.timeout, 2.0)
        self.connect_timeout = connect_timeout
        self.backoff_max = max(float(backoff_max), self.period)
        self.out = out or sys.stderr
        self.engine = ControlEngine(live, lab_dir=log_dir)
        self.events = EventLog(log_dir)
        self.summary = Summary()
        self.client = None
        self._ids: Optional[dict] = None
        self._loops = [_Loop() for _ in live.loops]
        self._good = [True] * len(live.inputs)
        self._attempt: Optional[asyncio.Task] = None
        self._next_attempt = 0.0
        self._backoff = self.period
        self._attempts = 0
        self._lost_at = 0.0
        self._stop: Optional[asyncio.Event] = None
        self._sample_base: Optional[int] = None
        from qxdcs.algorithm.qxWatchDog import WatchDog
        self._watchdog = WatchDog()
        self._trace = self._io = None

    def say(self, text: str):
        print(text, file=self.out, flush=True)

    def stop(self):
        if self._stop is not None:
            self._stop.set()

    # -- the session --

    async def _open(self):
        """A connected client and the resolved nodes; StartError when a node
        is missing, of the wrong type or not writable; other errors when the
        server cannot be reached."""
        from asyncua import Client, ua

        client = Client(self.endpoint, timeout=max(self.timeout, 1.0))
        if self.security is not None:
            from asyncua.crypto.security_policies import SecurityPolicyBasic256Sha256
            from qxdcs.live.security import CLIENT_URI
            client.application_uri = CLIENT_URI
            await client.set_security(SecurityPolicyBasic256Sha256, self.security.cert,
                                      self.security.key,
                                      server_certificate=self.security.server_cert,
                                      mode=ua.MessageSecurityMode.SignAndEncrypt)
            await client.load_client_certificate(self.security.cert)
            await client.load_private_key(self.security.key)
        await asyncio.wait_for(client.connect(), self.connect_timeout)
        try:
            ids = await self._resolve(client)
        except BaseException:
            await self._close(client)
            raise
        return client, ids

    async def _resolve(self, client) -> dict:
        from asyncua import ua

        live = self.live
        names = await client.get_namespace_array()
        problems: List[str] = []

        def index_of(uri):
            if uri not in names:
                raise KeyError(uri)
            return names.index(uri)

        wanted: List[Tuple[str, str, Node]] = []     # (what, name, node)
        wanted += [("input", s.name, s.node) for s in live.inputs]
        wanted += [("output", s.name, s.node) for s in live.outputs]
        wanted.append(("heartbeat", "heartbeat", live.heartbeat))
        if self.lockstep:
            wanted.append(("sample", "sample number", live.sample_node))
        ids = []
        for what, name, node in wanted:
            try:
                ids.append(ua.NodeId.from_string(node.node_id(index_of)))
            except KeyError as exc:
                problems.append(f"{name} ({what}): the namespace {exc.args[0]!r} of node "
                                f"{node.text!r} is not on the server")
                ids.append(None)
            except Exception as exc:  # a node id asyncua cannot parse
                problems.append(f"{name} ({what}): node id {node.text!r}: {exc}")
                ids.append(None)
        present = [i for i in ids if i is not None]
        types = await client.uaclient.read_attributes(present, ua.AttributeIds.DataType)
        access = await client.uaclient.read_attributes(
            [i for i, w in zip(ids, wanted) if i is not None and w[0] in ("output", "heartbeat")],
            ua.AttributeIds.UserAccessLevel)
        t_iter, a_iter = iter(types), iter(access)
        kinds = []
        for (what, name, node), nid in zip(wanted, ids):
            if nid is None:
                kinds.append(None)
                continue
            dv = next(t_iter)
            acc = next(a_iter) if what in ("output", "heartbeat") else None
            label = f"{name} ({what})"
            if dv.StatusCode.value == ua.StatusCodes.BadNodeIdUnknown:
                problems.append(f"{label}: node {node.text!r} does not exist on the server")
                kinds.append(None)
                continue
            if not dv.StatusCode.is_good() or dv.Value is None:
                problems.append(f"{label}: node {node.text!r} is not a variable "
                                f"({dv.StatusCode.name})")
                kinds.append(None)
                continue
            dt = dv.Value.Value
            code = dt.Identifier if dt.NamespaceIndex == 0 and isinstance(dt.Identifier, int) \
                else None
            valid = _REAL if what == "output" else _NUMERIC
            if code not in valid:
                tname = _NUMERIC.get(code) or _type_name(dt)
                problems.append(f"{label}: node {node.text!r} has the type {tname}; "
                                f"{'an output' if what == 'output' else 'it'} needs "
                                f"{' or '.join(sorted(valid.values()))}")
                kinds.append(None)
                continue
            if acc is not None:
                level = acc.Value.Value if acc.StatusCode.is_good() and acc.Value else 0
                if not int(level) & ua.AccessLevel.CurrentWrite.mask:
                    problems.append(f"{label}: node {node.text!r} is not writable")
            kinds.append(code)
        if problems:
            raise StartError(problems)
        n_in, n_out = len(live.inputs), len(live.outputs)
        variant = {c: getattr(ua.VariantType, _NUMERIC[c]) for c in set(kinds)}
        hb_code = kinds[n_in + n_out]
        return {
            "reader": BatchedRead(ids[:n_in] + (ids[-1:] if self.lockstep else [])),
            "out": ids[n_in:n_in + n_out],
            "out_type": [variant[c] for c in kinds[n_in:n_in + n_out]],
            "heartbeat": ids[n_in + n_out],
            "hb_type": variant[hb_code],
            "hb_int": hb_code not in _REAL,
            "hb_max": min(live.heartbeat_max, _INT_MAX[hb_code]),
        }

    async def _close(self, client):
        try:
            await asyncio.wait_for(client.disconnect(), 1.0)
        except BaseException as exc:  # a dead server: drop the socket
            if isinstance(exc, asyncio.CancelledError):
                raise
            try:
                client.disconnect_socket()
            except Exception:
                pass

    async def _lose(self, k: int, exc: BaseException):
        client, self.client = self.client, None
        self._lost_at = time.monotonic()
        self._backoff = self.period
        self._attempts = 0
        self._next_attempt = self._lost_at + self._backoff
        self.events("connection_lost", k, error=_describe(exc))
        self.say(f"sample {k}: connection lost ({_describe(exc)}); reconnecting")
        asyncio.ensure_future(self._close(client))

    def _poll_reconnect(self, k: int):
        now = time.monotonic()
        if self._attempt is not None and self._attempt.done():
            task, self._attempt = self._attempt, None
            try:
                self.client, self._ids = task.result()
            except Exception as exc:
                self._backoff = min(self._backoff * 2, self.backoff_max)
                self._next_attempt = now + self._backoff
                if isinstance(exc, StartError):
                    self.say(f"sample {k}: reconnected but refused the nodes: {exc}")
            else:
                self._sample_base = None
                self.events("reconnected", k, attempts=self._attempts,
                            down_s=round(now - self._lost_at, 3))
                self.say(f"sample {k}: reconnected after {self._attempts} attempt"
                         f"{'s' if self._attempts != 1 else ''}")
        if self.client is None and self._attempt is None and now >= self._next_attempt:
            self._attempts += 1
            self._attempt = asyncio.ensure_future(self._open())

    # -- one period --

    async def _read(self, k: int):
        """(status codes, values) of the inputs, in one Read request."""
        reader = self._ids["reader"]
        deadline = time.monotonic() + self.timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise asyncio.TimeoutError(f"the plant did not reach sample "
                                           f"{self._sample_base + k} in lockstep")
            codes, values = await asyncio.wait_for(reader(self.client), left)
            if not self.lockstep:
                return codes, values
            sample = values[-1] if is_good(codes[-1]) and isinstance(values[-1], int) else None
            if self._sample_base is None and sample is not None:
                self._sample_base = sample - k
            if sample is not None and sample == self._sample_base + k:
                return codes[:-1], values[:-1]
            await asyncio.sleep(0.0002)

    async def _period(self, k: int, lateness: float):
        live, engine = self.live, self.engine
        if self.client is None:
            self._poll_reconnect(k)
        dvs = None
        if self.client is not None:
            try:
                dvs = await self._read(k)
            except asyncio.CancelledError:
                raise
            except Exception as exc:
                await self._lose(k, exc)
        if dvs is not None:
            codes, values = dvs
            for j, (s, code, value) in enumerate(zip(live.inputs, codes, values)):
                ok = is_good(code) and isinstance(value, (int, float)) \
                    and not isinstance(value, bool) and math.isfinite(value)
                if ok:
                    engine.inputs[j] = float(value)
                elif self._good[j]:
                    why = status_name(code) if not is_good(code) else \
                        f"not a finite number: {value!r}"
                    self.events("input_bad", k, signal=s.name, node=s.node.text, status=why)
                self._good[j] = ok
        else:
            self._good = [False] * len(live.inputs)
        reason = "input_bad" if dvs is not None else "connection_lost"
        written: List[Optional[float]] = [None] * len(live.outputs)
        for j, lp in enumerate(live.loops):
            st = self._loops[j]
            bad = [live.inputs[i].name for i in lp.inputs if not self._good[i]]
            if bad:
                if st.state != "fail_safe":
                    if st.state == "auto":
                        engine.tracking[j] = lp.fail_safe if lp.fail_safe is not None \
                            else engine.values[live.outputs[lp.output].slot]
                    st.state, st.since = "fail_safe", k
                    self.events("fail_safe", k, loop=lp.name, reason=reason, inputs=bad,
                                action="hold" if lp.fail_safe is None else "safe_output",
                                output=engine.tracking[j])
            elif st.state == "fail_safe":
                st.state = "returning"
                self.events("resumed", k, loop=lp.name, output=engine.tracking[j],
                            after_samples=k - st.since)
            elif st.state == "returning":
                st.state = "auto"
                engine.tracking[j] = None
        engine.sample(self._record)
        for j, lp in enumerate(live.loops):
            st = self._loops[j]
            if st.state != "fail_safe" or lp.fail_safe is not None:
                written[lp.output] = engine.values[live.outputs[lp.output].slot]
        ids = self._ids
        beat = self._watchdog(ids["hb_max"] if ids else live.heartbeat_max)
        sent = False
        if self.client is not None:
            try:
                await self._write([(i, v) for i, v in enumerate(written) if v is not None], beat)
                sent = True
            except asyncio.CancelledError:
                raise
            except Exception as exc:
                await self._lose(k, exc)
        if self._io is not None:
            self._io.writerow([k, repr(lateness), int(sent)] +
                              [repr(v) if (v is not None and sent) else "" for v in written] +
                              [beat if sent else ""])
            for f in self._files:     # readable while the run goes on
                f.flush()

    async def _write(self, outputs: List[Tuple[int, float]], beat: int):
        from asyncua import ua

        ids = self._ids
        nodes = [ids["out"][i] for i, _ in outputs] + [ids["heartbeat"]]
        values = [ua.DataValue(ua.Variant(float(v), ids["out_type"][i])) for i, v in outputs]
        values.append(ua.DataValue(ua.Variant(int(beat) if ids["hb_int"] else float(beat),
                                              ids["hb_type"])))
        res = await asyncio.wait_for(
            self.client.uaclient.write_attributes(nodes, values, ua.AttributeIds.Value),
            self.timeout)
        refused = [(n, r) for n, r in zip(nodes, res) if not r.is_good()]
        if refused:
            raise ConnectionError("writes refused: " + ", ".join(
                f"{n.to_string()} {r.name}" for n, r in refused))

    def _record(self, row):
        if self._trace is not None:
            self._trace.writerow([repr(self.engine.k * self.plan.sample_period)] +
                                 [repr(x) for x in row])

    # -- the run --

    def _open_logs(self):
        if self.log_dir is None:
            return
        plan = self.plan
        self._files = [open(os.path.join(self.log_dir, n), "w", newline="", encoding="utf-8")
                       for n in ("traces.csv", "io.csv")]
        self._trace = csv.writer(self._files[0])
        self._trace.writerow(["time [s]"] + [f"{n} [{u}]" if u else n
                                             for n, u in zip(plan.signals, plan.units)])
        self._io = csv.writer(self._files[1])
        self._io.writerow(["sample", "lateness_s", "connected"] +
                          [s.name for s in self.live.outputs] + ["heartbeat"])

    def _close_logs(self):
        for f in getattr(self, "_files", ()):
            f.close()
        self.events.close()

    async def run(self) -> Summary:
        """Connect, run the periods, stop (SIGINT/SIGTERM or stop(): after
        the current period). StartError when the nodes are refused at start;
        OSError and the like when the server cannot be reached."""
        logging.getLogger("asyncua").setLevel(logging.CRITICAL)
        self._stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.add_signal_handler(sig, self._stop.set)
            except (NotImplementedError, RuntimeError):  # pragma: no cover
                pass
        self.client, self._ids = await self._open()
        self._open_logs()
        summary = self.summary
        try:
            self.events("started", 0, endpoint=self.endpoint, period_s=self.period,
                        samples=self.samples, lockstep=self.lockstep,
                        inputs={s.name: s.node.text for s in self.live.inputs},
                        outputs={s.name: s.node.text for s in self.live.outputs})
            t0 = time.monotonic()
            n = 0
            for k in range(self.samples):
                due = t0 + n * self.period
                if not await self._sleep_until(due):
                    break
                start = time.monotonic()
                lateness = start - due
                summary.lateness.append(lateness)
                await self._period(k, lateness)
                summary.samples = k + 1
                end = time.monotonic()
                summary.work.append(end - start)
                if end > due + self.period:
                    nxt = int(math.ceil((end - t0) / self.period))
                    summary.late += 1
                    summary.skipped += nxt - n - 1
                    self.events("deadline_missed", k, overrun_s=round(end - due - self.period, 6),
                                skipped=nxt - n - 1)
                    n = nxt
                else:
                    n += 1
                if self._stop.is_set():
                    break
            if self.live.safe_outputs_on_stop and self.client is not None:
                safe = [(lp.output, lp.fail_safe) for lp in self.live.loops
                        if lp.fail_safe is not None]
                try:
                    await self._write(safe, self._watchdog(self._ids["hb_max"]))
                except Exception as exc:  # the session is gone: nothing more to do
                    self.say(f"the safe outputs could not be written: {_describe(exc)}")
            summary.events = dict(self.events.count)
            summary.events["stopped"] = summary.events.get("stopped", 0) + 1
            self.events("stopped", summary.samples, late=summary.late, skipped=summary.skipped,
                        lateness_p50_s=summary.percentile(50),
                        lateness_p99_s=summary.percentile(99),
                        interrupted=self._stop.is_set())
        finally:
            if self._attempt is not None:
                self._attempt.cancel()
            if self.client is not None:
                await self._close(self.client)
                self.client = None
            self._close_logs()
        return summary

    async def _sleep_until(self, due: float) -> bool:
        """False when stopped before `due`."""
        left = due - time.monotonic()
        if self._stop.is_set():
            return False
        if left > 0:
            try:
                await asyncio.wait_for(self._stop.wait(), left)
                return False
            except asyncio.TimeoutError:
                pass
        return True


def _type_name(dt) -> str:
    return dt.to_string() if hasattr(dt, "to_string") else str(dt)


def _describe(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return f"{type(exc).__name__}: {text}" if str(exc) else text

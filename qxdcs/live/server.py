"""``qxdcs serve-plant``: a strategy's plant served over OPC UA.

The address space, in the namespace ``urn:qxdcs:plant`` (or the file's
``live.namespace``), under the object ``Plant``, node ids the tags:

* ``s=<MV>`` for each MV a loop writes: Double, writable, the loop's
  output; the plant reads it at each sample;
* ``s=<MV>`` for each other MV (a feed flow on a schedule): Double,
  read-only, the value the file's signal gives it;
* ``s=<CV>`` for each CV: Double, read-only, the plant's output at the
  current sample (status BadSensorFailure while ``--bad-status`` says so);
* ``s=qxdcs.sample``: Int64, read-only, the number of the current sample;
* ``s=qxdcs.heartbeat``: Int32, writable, the controller's WatchDog count;
* ``s=qxdcs.controller_alive``: Boolean, read-only: false once the count has
  stood still for ``--heartbeat-samples`` samples (a ConstDect watches it).

The plant advances one sample per sample period of wall time divided by
``--speed``, each sample from a monotonic clock (a late sample is not made
up: the next one waits for its own time). With ``--lockstep`` it advances
one sample each time the heartbeat is written instead: a controller that
writes its outputs and its heartbeat in one batch and then waits for the
next sample number runs exactly the samples of a simulation.
"""
import asyncio
import datetime
import logging
import math
import os
import signal
import sys
import time
from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple

from qxdcs.live.process import Process
from qxdcs.strategy.plan import Plan

DEFAULT_ENDPOINT = "opc.tcp://127.0.0.1:4840/qxdcs/"
SAMPLE_NODE = "qxdcs.sample"
HEARTBEAT_NODE = "qxdcs.heartbeat"
ALIVE_NODE = "qxdcs.controller_alive"


@dataclass(frozen=True)
class BadStatus:
    """A CV served with a bad status from sample `first` up to (not
    including) sample `end`."""
    tag: str
    first: int
    end: int


def parse_bad_status(text: str) -> BadStatus:
    """TAG:FIRST:END; ValueError saying what is valid."""
    parts = text.split(":")
    try:
        if len(parts) != 3:
            raise ValueError
        first, end = int(parts[1]), int(parts[2])
        if first < 0 or end <= first or not parts[0]:
            raise ValueError
    except ValueError:
        raise ValueError(f"--bad-status takes TAG:FIRST:END, samples with FIRST < END "
                         f"(TI101:100:150); got {text!r}") from None
    return BadStatus(parts[0], first, end)


class PlantServer:
    """The plant of `plan` behind an OPC UA server (see the module's text)."""

    def __init__(self, plan: Plan, endpoint: str = DEFAULT_ENDPOINT, speed: float = 1.0,
                 lockstep: bool = False, namespace: str = "urn:qxdcs:plant",
                 security: Optional[Tuple[str, str, str]] = None,
                 bad_status: Sequence[BadStatus] = (), heartbeat_samples: int = 10,
                 log_dir: Optional[str] = None, out=None):
        self.process = Process(plan)
        self.plan = plan
        self.endpoint = endpoint
        self.dt = plan.sample_period / speed
        self.lockstep = lockstep
        self.namespace = namespace
        self.security = security          # (certificate, key, trusted folder) or None
        self.bad_status = tuple(bad_status)
        self.heartbeat_samples = heartbeat_samples
        self.log_dir = log_dir
        self.out = out or sys.stderr
        self.late = 0
        tags = set(plan.plant.initial) | {t for t, _ in plan.plant.cv} | \
            {t for t, _ in plan.plant.mv}
        for reserved in (SAMPLE_NODE, HEARTBEAT_NODE, ALIVE_NODE):
            if reserved in tags:
                raise ValueError(f"the plant's tag {reserved!r} is the name of a node of "
                                 f"the server's own")
        cv_tags = {t for t, _ in plan.plant.cv}
        for b in self.bad_status:
            if b.tag not in cv_tags:
                from qxdcs.strategy.problems import did_you_mean
                raise ValueError(f"--bad-status: no CV {b.tag!r}{did_you_mean(b.tag, cv_tags)} "
                                 f"(CVs: {', '.join(sorted(cv_tags))})")
        self._stop: Optional[asyncio.Event] = None
        self._tick: Optional[asyncio.Event] = None

    def stop(self):
        if self._stop is not None:
            self._stop.set()

    async def _start(self):
        from asyncua import Server, ua
        from asyncua.common.callback import CallbackType

        if self.security is not None:
            from qxdcs.live.security import SERVER_URI, TrustedCertificates
            cert, key, trusted = self.security
            server = Server(user_manager=TrustedCertificates(trusted))
        else:
            server = Server()
        await server.init()
        server.set_endpoint(self.endpoint)
        server.set_server_name("qxdcs plant")
        if self.security is not None:
            await server.set_application_uri(SERVER_URI)
            server.set_security_policy([ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt])
            await server.load_certificate(cert)
            await server.load_private_key(key)
            server.set_identity_tokens([ua.X509IdentityToken])
        else:
            server.set_security_policy([ua.SecurityPolicyType.NoSecurity])
        idx = await server.register_namespace(self.namespace)
        plant = await server.nodes.objects.add_object(ua.NodeId("Plant", idx), "Plant")
        proc = self.process
        v = proc.engine.values
        self._mv: Dict[str, object] = {}
        self._last_mv = {tag: float(v[slot]) for tag, slot in self.plan.plant.mv}
        self._cv: Dict[str, object] = {}
        self._fed: Dict[str, object] = {}
        external = set(proc.mv_tags())
        for tag, slot in self.plan.plant.mv:
            node = await plant.add_variable(ua.NodeId(tag, idx), tag, float(v[slot]),
                                            varianttype=ua.VariantType.Double)
            if tag in external:
                await node.set_writable()
                self._mv[tag] = node
            else:
                self._fed[tag] = node
        for tag, slot in self.plan.plant.cv:
            self._cv[tag] = await plant.add_variable(ua.NodeId(tag, idx), tag, float(v[slot]),
                                                     varianttype=ua.VariantType.Double)
        self._sample = await plant.add_variable(ua.NodeId(SAMPLE_NODE, idx), SAMPLE_NODE, 0,
                                                varianttype=ua.VariantType.Int64)
        self._heartbeat = await plant.add_variable(ua.NodeId(HEARTBEAT_NODE, idx),
                                                   HEARTBEAT_NODE, 0,
                                                   varianttype=ua.VariantType.Int32)
        await self._heartbeat.set_writable()
        self._alive = await plant.add_variable(ua.NodeId(ALIVE_NODE, idx), ALIVE_NODE, False,
                                               varianttype=ua.VariantType.Boolean)
        hb_id = self._heartbeat.nodeid

        def written(event, dispatcher):
            for wv, status in zip(event.request_params.NodesToWrite, event.response_params):
                if wv.NodeId == hb_id and status.is_good():
                    self._tick.set()

        server.subscribe_server_callback(CallbackType.PostWrite, written)
        await server.start()
        return server

    async def _publish(self):
        from asyncua import ua

        k = self.process.k
        for tag, value in self.process.cvs.items():
            bad = any(b.tag == tag and b.first <= k < b.end for b in self.bad_status)
            status = ua.StatusCode(ua.StatusCodes.BadSensorFailure if bad else ua.StatusCodes.Good)
            await self._write(self._cv[tag], ua.Variant(float(value), ua.VariantType.Double),
                              status)
        fed = self.process.inputs()
        for tag, node in self._fed.items():
            await self._write(node, ua.Variant(float(fed[tag]), ua.VariantType.Double))
        await self._write(self._sample, ua.Variant(k, ua.VariantType.Int64))

    async def _write(self, node, variant, status=None):
        from asyncua import ua

        dv = ua.DataValue(variant, StatusCode=status or ua.StatusCode(ua.StatusCodes.Good),
                          SourceTimestamp=datetime.datetime.now(datetime.timezone.utc))
        await self._server.write_attribute_value(node.nodeid, dv)

    def _read(self, node):
        dv = self._server.read_attribute_value(node.nodeid)
        return dv.Value.Value

    async def _mvs(self) -> Dict[str, float]:
        """The MVs the clients wrote; one that is not a finite number (asyncua
        refuses a value of another type, not a NaN) is refused here: the
        plant keeps the last good value, which is written back."""
        from asyncua import ua

        out = {}
        for tag, node in self._mv.items():
            value = self._read(node)
            last = self._last_mv.get(tag)
            if isinstance(value, (int, float)) and not isinstance(value, bool) and \
                    math.isfinite(value):
                out[tag] = self._last_mv[tag] = float(value)
                continue
            out[tag] = last
            self.say(f"sample {self.process.k}: {tag} was written as {value!r}, not a finite "
                     f"number; the plant keeps {last!r}")
            await self._write(node, ua.Variant(last, ua.VariantType.Double))
        return out

    def say(self, text):
        print(text, file=self.out, flush=True)

    async def serve(self, ready=None) -> int:
        """Serve until stopped (SIGINT, SIGTERM or stop()); returns the
        samples the plant ran. `ready(endpoint)` is called once serving."""
        from qxdcs.algorithm.qxConstDetector import ConstDect

        logging.getLogger("asyncua").setLevel(logging.CRITICAL)
        self._stop, self._tick = asyncio.Event(), asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            try:
                loop.add_signal_handler(sig, self._stop.set)
            except (NotImplementedError, RuntimeError):  # pragma: no cover - not the main thread
                pass
        self._server = await self._start()
        log = None
        try:
            await self._publish()
            if self.log_dir is not None:
                log = open(os.path.join(self.log_dir, "plant.csv"), "w", encoding="utf-8")
                mv = [t for t, _ in self.plan.plant.mv]
                cv = [t for t, _ in self.plan.plant.cv]
                log.write(",".join(["sample"] + mv + cv) + "\n")
            if ready is not None:
                ready(self.endpoint)
            detector, moved, alive, last_hb = ConstDect(), False, False, None
            t0, n = time.monotonic(), 0
            ended = False
            while not self._stop.is_set():
                if self.lockstep:
                    if not await self._wait(self._tick, None):
                        break
                    self._tick.clear()
                else:
                    n += 1
                    if not await self._wait(None, t0 + n * self.dt):
                        break
                    now = time.monotonic()
                    if now > t0 + (n + 1) * self.dt:      # a whole sample late: not made up
                        skip = int(math.floor((now - t0) / self.dt)) - n
                        self.late += 1
                        n += skip
                if self.process.done:
                    if not ended:
                        self.say(f"the plant has run the {self.plan.samples} samples of "
                                 f"{self.plan.source}; it serves its last values")
                        ended = True
                    continue
                cvs = self.process.cvs
                mvs = await self._mvs()
                self.process.advance(mvs)
                if log is not None:
                    used = self.process.inputs()
                    log.write(",".join([str(self.process.k - 1)] +
                                       [repr(float(used[t])) for t, _ in self.plan.plant.mv] +
                                       [repr(float(cvs[t])) for t, _ in self.plan.plant.cv])
                              + "\n")
                    log.flush()
                await self._publish()
                hb = self._read(self._heartbeat)
                still = bool(detector(float(hb), self.heartbeat_samples))
                if last_hb is not None and hb != last_hb:
                    moved = True
                last_hb = hb
                if moved and alive == still:
                    alive = not still
                    self.say(f"sample {self.process.k}: controller heartbeat "
                             f"{'moving' if alive else 'stopped'}")
                    from asyncua import ua
                    await self._write(self._alive, ua.Variant(alive, ua.VariantType.Boolean))
        finally:
            if log is not None:
                log.close()
            await self._server.stop()
        return self.process.k

    async def _wait(self, event, until) -> bool:
        """Wait for `event` (or until the monotonic time `until`); False when
        stopped meanwhile."""
        stop = asyncio.ensure_future(self._stop.wait())
        waits = [stop]
        if event is not None:
            waits.append(asyncio.ensure_future(event.wait()))
        timeout = None if until is None else max(0.0, until - time.monotonic())
        done, pending = await asyncio.wait(waits, timeout=timeout,
                                           return_when=asyncio.FIRST_COMPLETED)
        for p in pending:
            p.cancel()
        return not self._stop.is_set()

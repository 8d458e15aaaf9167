"""The commands ``qxdcs serve-plant`` and ``qxdcs control``."""
import asyncio
import os
import sys
from urllib.parse import urlparse

from qxdcs._cli import Failure, UsageError, output_folder

DEFAULT_PKI = "qxdcs-pki"


def _asyncua():
    try:
        import asyncua  # noqa: F401
    except ImportError:
        raise Failure("OPC UA needs asyncua: pip install 'qxdcs[opcua]'") from None


def _endpoint(url: str) -> str:
    u = urlparse(url)
    if u.scheme != "opc.tcp" or not u.hostname:
        raise UsageError(f"--endpoint must be an OPC UA address opc.tcp://HOST:PORT/PATH; "
                         f"got {url!r}")
    try:
        u.port
    except ValueError:
        raise UsageError(f"--endpoint: not a port number in {url!r}") from None
    return url


def _plan(path, samples=None, seed=None):
    from qxdcs import cli
    return cli._plan(cli._strategy(), path, samples, seed)


def run_serve_plant(args) -> int:
    from qxdcs.live.server import DEFAULT_ENDPOINT, PlantServer, parse_bad_status

    if not args.speed > 0:
        raise UsageError(f"--speed must be a positive number: {args.speed:g}")
    endpoint = _endpoint(args.endpoint or DEFAULT_ENDPOINT)
    try:
        bad = [parse_bad_status(t) for t in args.bad_status or ()]
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if bool(args.cert) != bool(args.key):
        raise UsageError("--cert and --key go together")
    if (args.cert or args.pki) and not args.security:
        raise UsageError("--cert, --key and --pki are for --security")
    _asyncua()
    plan = _plan(args.file, args.samples, args.seed)
    from qxdcs import strategy
    from qxdcs.live.config import resolve
    try:
        live = resolve(strategy.load(args.file), plan)
    except strategy.StrategyError as exc:
        raise Failure(str(exc)) from None
    log = output_folder(args.log) if args.log else None
    security = None
    if args.security:
        from qxdcs.live.security import SERVER_URI, certificate
        pki = args.pki or DEFAULT_PKI
        try:
            cert, key = asyncio.run(certificate(pki, "server", SERVER_URI, True, args.cert,
                                                args.key))
        except (OSError, ValueError) as exc:
            raise Failure(f"certificate: {exc}") from None
        security = (cert, key, os.path.join(pki, "trusted"))
    try:
        server = PlantServer(plan, endpoint, args.speed, args.lockstep, live.namespace, security,
                             bad, args.heartbeat_samples, log)
    except ValueError as exc:
        raise Failure(f"{args.file}: {exc}") from None
    if security is None:
        print(f"warning: serving without security: anyone who reaches {endpoint} can read "
              f"the plant and write its MVs (use --security)", file=sys.stderr, flush=True)

    def ready(url):
        mvs = ", ".join(server.process.mv_tags()) or "none"
        cvs = ", ".join(t for t, _ in plan.plant.cv)
        how = "one sample per heartbeat" if args.lockstep else \
            f"one sample every {server.dt:g} s"
        sec = f"; Basic256Sha256, certificate {security[0]}, trusted clients in {security[2]}" \
            if security else ""
        print(f"serving {url} (namespace {live.namespace}; MVs {mvs}; CVs {cvs}; {how}{sec})",
              flush=True)

    try:
        done = asyncio.run(server.serve(ready))
    except OSError as exc:
        raise Failure(f"cannot serve {endpoint}: {exc.strerror or exc}") from None
    print(f"stopped after {done} samples ({server.late} late)", flush=True)
    return 0


def run_control(args) -> int:
    from qxdcs.live.controller import LiveController, Security, StartError

    endpoint = _endpoint(args.endpoint)
    if args.period is not None and not args.period > 0:
        raise UsageError(f"--period must be a positive number of seconds: {args.period:g}")
    if args.timeout is not None and not args.timeout > 0:
        raise UsageError(f"--timeout must be a positive number of seconds: {args.timeout:g}")
    if not args.backoff_max > 0:
        raise UsageError(f"--backoff-max must be a positive number of seconds: "
                         f"{args.backoff_max:g}")
    if bool(args.cert) != bool(args.key):
        raise UsageError("--cert and --key go together")
    if (args.cert or args.pki or args.server_cert) and not args.security:
        raise UsageError("--cert, --key, --pki and --server-cert are for --security")
    _asyncua()
    plan = _plan(args.file, args.samples, args.seed)
    from qxdcs import strategy
    from qxdcs.live.config import resolve
    try:
        live = resolve(strategy.load(args.file), plan, args.mapping)
    except strategy.StrategyError as exc:
        for p in exc.problems:
            print(p, file=sys.stderr)
        n = len(exc.errors)
        raise Failure(f"{args.mapping or args.file}: {n} error{'s' if n != 1 else ''} in the "
                      f"live settings; nothing ran") from None
    log = output_folder(args.log) if args.log else None
    security = None
    if args.security:
        from qxdcs.live.security import CLIENT_URI, certificate
        try:
            cert, key = asyncio.run(certificate(args.pki or DEFAULT_PKI, "controller", CLIENT_URI,
                                                False, args.cert, args.key))
        except (OSError, ValueError) as exc:
            raise Failure(f"certificate: {exc}") from None
        if args.server_cert and not os.path.isfile(args.server_cert):
            raise Failure(f"--server-cert: no such file: {args.server_cert}")
        security = Security(cert, key, args.server_cert)
    ctl = LiveController(live, endpoint, args.period, args.samples, log, args.lockstep, security,
                         args.timeout, backoff_max=args.backoff_max)
    try:
        summary = asyncio.run(ctl.run())
    except StartError as exc:
        for p in exc.problems:
            print(f"{endpoint}: {p}", file=sys.stderr)
        n = len(exc.problems)
        raise Failure(f"{endpoint}: {n} node{'s' if n != 1 else ''} refused; nothing ran") \
            from None
    except (OSError, asyncio.TimeoutError, TimeoutError) as exc:
        raise Failure(f"cannot connect to {endpoint}: {_why(exc)}") from None
    except Exception as exc:
        if type(exc).__module__.startswith("asyncua"):
            raise Failure(f"cannot connect to {endpoint}: {_why(exc)}") from None
        raise
    print(summary.report(), flush=True)
    return 0


def _why(exc) -> str:
    text = str(exc) or type(exc).__name__
    if "No matching endpoints" in text:
        text += " (the server offers no endpoint without security: connect with --security)"
    return text

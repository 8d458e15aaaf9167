"""PID.run per call against the no-op floor and against simple-pid."""
from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxPIDControl import PID

try:
    from simple_pid import PID as SimplePID
except ImportError:
    SimplePID = None


def main():
    pid = PID(1.0)
    pid.setPIDParam(2.0, 30.0, 5.0, 10.0)
    pid.run(1.0, 50.0, 42.0, 30.0, 0.0)
    noop = floor.Noop()
    env = {"pid": pid, "noop": noop, "floor": floor}

    floor_bare = ns_per_call("floor.noop()", env)
    floor_builtin = ns_per_call("abs(1.0)", env)
    floor_same = ns_per_call("noop.run(1.0, 50.0, 42.0, 30.0, 0.0)", env)
    ours = ns_per_call("pid.run(1.0, 50.0, 42.0, 30.0, 0.0)", env)
    rows = [("no-op native call, no arguments", floor_bare),
            ("bare C builtin, abs(1.0)", floor_builtin),
            ("no-op native method, run's five floats", floor_same),
            ("PID.run", ours)]
    if SimplePID is not None:
        # simple-pid with sample_time=None computes on every call, as a DCS block would.
        spid = SimplePID(2.0, 2.0 / 30.0, 10.0, setpoint=50.0, sample_time=None,
                         output_limits=(0.0, 100.0))
        spid(42.0, dt=1.0)
        env["spid"] = spid
        theirs = ns_per_call("spid(42.0, dt=1.0)", env)
        rows.append(("simple_pid.PID.__call__", theirs))
    report("PID controller, per call", rows, floor_same)
    print(f"  PID.run / no-op with the same arguments : {ours / floor_same:5.2f}x (goal <= 2.5x)")
    print(f"  PID.run / bare no-op                    : {ours / floor_bare:5.2f}x (goal <= 2.5x)")
    print(f"  PID.run / abs(1.0)                      : {ours / floor_builtin:5.2f}x")
    if SimplePID is not None:
        print(f"  simple-pid / PID.run                    : {theirs / ours:5.2f}x faster (goal >= 5x)")


if __name__ == "__main__":
    main()

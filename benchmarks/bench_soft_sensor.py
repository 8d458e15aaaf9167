"""SoftSensorBiasUpdate.run per call, with the default history of 28,800
predictions full, against the no-op floor: a call that stores a prediction and
finds no new laboratory value, and a call that updates the bias from a
laboratory time deep in the history (a bisection over 28,801 times), compared
with the cost of one printed line."""
import contextlib
import io
import itertools
import os
import sys

from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxSoftSensor import SoftSensorBiasUpdate

T0 = 1.7e9


def filled(name):
    """A block whose default history holds 28,801 real predictions, 1 s apart."""
    blk = SoftSensorBiasUpdate(name)
    with contextlib.redirect_stdout(io.StringIO()):
        for k in range(28801):
            blk.run(20.0, 5.0, T0 - 600.0, T0 + k)
    assert blk._prd_time_list[0] == T0
    return blk


def main():
    noop = floor.Noop()
    t_next = T0 + 28801
    env = {"floor": floor, "noop": noop, "store": filled("store"), "upd": filled("upd"),
           "rep": filled("rep"), "LINE": "rep: Bias Update is not triggered, lab_data or "
                                         "lab_time is unchanged.",
           # Each timed statement draws its own prediction time, one second on.
           "c_floor": itertools.count(t_next, 1.0), "c_store": itertools.count(t_next, 1.0),
           "c_upd": itertools.count(t_next, 1.0), "c_rep": itertools.count(t_next, 1.0)}
    # The repeated-result case: an update first, then the same result again.
    env["rep"].run(20.0, 7.0, T0 + 20000.0, t_next - 0.5, 1.0)

    floor_bare = ns_per_call("floor.noop()", env)
    floor_same = ns_per_call("t = next(c_floor); noop.run(20.0, t, t - 14400.0, t, 1.0)", env)
    store_now = ns_per_call("store.run(20.0, 5.0, 1.0, None)", env)
    store = ns_per_call("t = next(c_store); store.run(20.0, 5.0, 1.0, t, None)", env)
    # A new laboratory value on every call (lab_data = t), sampled 4 hours ago.
    upd = ns_per_call("t = next(c_upd); upd.run(20.0, t, t - 14400.0, t, 1.0)", env)
    assert env["upd"].get_update_flag() and 0 < env["upd"].get_lab_time() - T0
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        line = ns_per_call("print(LINE)", env)
        rep = ns_per_call("t = next(c_rep); rep.run(20.0, 7.0, T0 + 20000.0, t, 1.0)",
                          dict(env, T0=T0))
    rows = [("no-op native call, no arguments", floor_bare),
            ("no-op native method, five floats (+ next())", floor_same),
            ("run: store, no new lab value, prd_time=None", store_now),
            ("run: store, no new lab value (+ next())", store),
            ("run: update, lab time 4 h deep (+ next())", upd),
            ("run: repeated result, prints a line (+ next())", rep),
            ("print() of that line to os.devnull", line)]
    report("SoftSensorBiasUpdate.run, history of 28,801 predictions", rows, floor_bare)
    print(f"  store / bare no-op                      : {store_now / floor_bare:5.2f}x (goal <= 10x)")
    print(f"  store / no-op with the same arguments   : {store / floor_same:5.2f}x")
    print(f"  update - store                          : {upd - store:6.1f} ns "
          f"(goal <= one printed line, {line:6.1f} ns)")
    print(f"  repeated result - store - printed line  : {rep - store - line:6.1f} ns")


if __name__ == "__main__":
    sys.exit(main())

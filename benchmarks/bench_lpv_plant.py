"""LPVPlantSim per call: three local plants of the two-CV, three-MV example
model, against the no-op floor and against the three MIMOSim calls that the
blend makes."""
import copy

from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxLPVPlant import LPVPlantSim
from qxdcs.algorithm.qxProcessSim import MIMOSim

MODEL = {
    "CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
            "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]}},
    "CV2": {"MV1": {"mode": "tf_s", "num_s": [0, 5.39], "den_s": [50, 1], "iodelay_s": 17},
            "MV2": {"mode": "stp", "stp": [0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5,
                                           4, 3, 3, 3, 3]},
            "MV3": {"mode": "tf_s", "num_s": [0, 1], "den_s": [20, 1], "iodelay_s": 2,
                    "IntegralMark": 1}},
}
INI = {"CV1": 10.0, "CV2": 2.0, "MV1": 1.0}


def scaled(gain):
    m = copy.deepcopy(MODEL)
    m["CV1"]["MV1"]["num_s"] = [4.05 * gain]
    return m


def main():
    lpv = LPVPlantSim(INI)
    mimos = []
    for pid, (wp, gain) in enumerate([(10.0, 0.5), (20.0, 1.0), (40.0, 2.0)]):
        lpv.addPlant(pid, wp, scaled(gain), 1)
        mimos.append(MIMOSim(scaled(gain), dict(INI, CV1=0.0, CV2=0.0), 1))
    u = {"MV1": 1.5, "MV2": 0.2, "MV3": 0.0}
    a, b, c = mimos
    env = {"lpv": lpv, "u": u, "a": a, "b": b, "c": c, "noop": floor.Noop(), "floor": floor}

    floor_bare = ns_per_call("floor.noop()", env)
    floor_call = ns_per_call("noop(1.0)", env)
    ours = ns_per_call("lpv(25.0, u)", env)
    three = ns_per_call("a(u); b(u); c(u)", env)
    rows = [("no-op native call, no arguments", floor_bare),
            ("no-op native callable, one float", floor_call),
            ("LPVPlantSim(25.0, u), three plants, 2 x 3", ours),
            ("the three MIMOSim calls it makes", three)]
    report("LPV plant simulator, per call", rows, floor_bare)
    print(f"  LPVPlantSim / bare no-op                : {ours / floor_bare:6.2f}x")
    print(f"  LPVPlantSim / three MIMOSim calls       : {ours / three:6.2f}x")
    print(f"  blend beyond the three calls            : {ours - three:6.0f} ns")


if __name__ == "__main__":
    main()

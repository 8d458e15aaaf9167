"""zFilter, sFilter and LDLAG: per-sample calls against the no-op floor and
against a per-sample scipy.signal.lfilter call with zi; block calls on 10^6
samples against one lfilter call on the whole array."""
import numpy as np
from scipy import signal

from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxFilter import sFilter, zFilter
from qxdcs.algorithm.qxLDLAG import LDLAG

N_BLOCK = 1_000_000


def main():
    zf = zFilter([0, 0.1], [1, -0.9])
    sf = sFilter([1], [5, 1], 1)
    ld = LDLAG(0.5, 5.0, 1)
    for f in (zf, sf, ld):
        f(1.0)
    noop = floor.Noop()
    b_z, a_z = np.array([0, 0.1]), np.array([1, -0.9])
    b_s, a_s = sf._zfilter._Bz.copy(), sf._zfilter._Az.copy()
    b_l, a_l = ld._b.copy(), ld._a.copy()
    env = {"zf": zf, "sf": sf, "ld": ld, "noop": noop, "lfilter": signal.lfilter,
           "b_z": b_z, "a_z": a_z, "b_s": b_s, "a_s": a_s, "b_l": b_l, "a_l": a_l,
           "st": [np.zeros(1)]}

    floor_ns = ns_per_call("noop(1.0)", env)
    rows = [("no-op native __call__(u)", floor_ns)]
    ratios = []
    for name, ours_stmt, theirs_stmt in [
        ("zFilter(u)", "zf(1.0)", "y, st[0] = lfilter(b_z, a_z, [1.0], zi=st[0])"),
        ("sFilter(u)", "sf(1.0)", "y, st[0] = lfilter(b_s, a_s, [1.0], zi=st[0])"),
        ("LDLAG(u)", "ld(1.0)", "y, st[0] = lfilter(b_l, a_l, [1.0], zi=st[0])"),
    ]:
        ours = ns_per_call(ours_stmt, env)
        theirs = ns_per_call(theirs_stmt, env, number=20_000)
        rows += [(name, ours), (f"  per-sample lfilter with zi ({name})", theirs)]
        ratios.append((name, ours / floor_ns, theirs / ours))
    report("Filters, per sample", rows, floor_ns)
    for name, to_floor, speedup in ratios:
        print(f"  {name:<12s}: {to_floor:5.2f}x the floor (goal <= 3x), "
              f"{speedup:6.1f}x faster than per-sample lfilter (goal >= 20x)")

    rng = np.random.default_rng(0)
    x = np.cumsum(rng.standard_normal(N_BLOCK))
    env.update(x=x, x_list=x.tolist(), zi1=np.zeros(1))
    print(f"\nBlock calls on {N_BLOCK:,} samples (ms per call)")
    for name, ours_stmt, theirs_stmt in [
        ("zFilter.run_multistep(array)", "zf.run_multistep(x)", "lfilter(b_z, a_z, x, zi=zi1)"),
        ("sFilter.run_multistep(list)", "sf.run_multistep(x_list)",
         "lfilter(b_s, a_s, x_list, zi=zi1)"),
        ("LDLAG.multi_step(array)", "ld.multi_step(x)", "lfilter(b_l, a_l, x, zi=zi1)"),
    ]:
        ours = ns_per_call(ours_stmt, env, number=5, repeat=5) / 1e6
        theirs = ns_per_call(theirs_stmt, env, number=5, repeat=5) / 1e6
        print(f"  {name:<30s} {ours:7.2f} ms   lfilter {theirs:7.2f} ms   "
              f"throughput {theirs / ours:5.2f}x lfilter's (goal >= 1x)")


if __name__ == "__main__":
    main()

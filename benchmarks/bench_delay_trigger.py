"""Delay.__call__ and TONtrigger.call() per call against the no-op floor and
against the same blocks written in plain Python."""
import collections

import numpy as np
from _harness import floor, ns_per_call, report

from qxdcs.algorithm.qxDelay import Delay, Delay_Algorithm
from qxdcs.algorithm.qxTrigger import RStrigger, TONtrigger
from qxdcs.algorithm.utilities import dataStore


class PyDelay:
    """The usual Python delay: a bounded deque filled by the first input."""

    def __init__(self, max_cache=10000):
        self._cache = collections.deque(maxlen=max_cache)

    def __call__(self, Ut, nLag=1):
        if not self._cache:
            self._cache.extend([Ut] * self._cache.maxlen)
        self._cache.appendleft(Ut)
        return self._cache[nLag]


class PyTON:
    """The usual Python on-delay timer with a NumPy input history."""

    Ut, Yt, DT, ET = 0, 0, 3, 0

    def __init__(self):
        self.Ut_array = np.zeros(2, dtype=int)

    def call(self):
        a = self.Ut_array
        a[1:] = a[:-1]
        a[0] = self.Ut
        if a[0] == 0:
            self.ET = self.DT
        if a[0] != 0 and self.ET >= self.DT:
            self.ET = self.DT - 1
        elif 0 < self.ET < self.DT:
            self.ET = self.ET - 1
        if a[0] > a[1]:
            self.ET = self.DT - 1
        self.Yt = 0 if self.ET > 0 else 1


def main():
    d, pd = Delay(), PyDelay()
    d(1.5)
    pd(1.5)
    ton, pton = TONtrigger(), PyTON()
    for t in (ton, pton):
        t.Ut = 1
        t.call()
    alg = Delay_Algorithm()
    alg.nLag, alg.Ut = 5, 1.5
    alg.call()
    rs = RStrigger()
    rs.S = 1
    noop = floor.Noop()
    env = {"floor": floor, "noop": noop, "d": d, "pd": pd, "ton": ton, "pton": pton,
           "alg": alg, "rs": rs, "dataStore": dataStore, "hist": np.zeros(2, dtype=int)}

    floor_bare = ns_per_call("floor.noop()", env)
    floor_one = ns_per_call("noop(1.5)", env)
    floor_call = ns_per_call("noop.call()", env)
    delay1 = ns_per_call("d(1.5)", env)
    delay5 = ns_per_call("d(1.5, 5)", env)
    py_delay = ns_per_call("pd(1.5, 5)", env)
    ton_call = ns_per_call("ton.call()", env)
    ton_sample = ns_per_call("ton.Ut = 1; ton.call(); ton.Yt", env)
    py_ton = ns_per_call("pton.call()", env, number=50_000)
    alg_call = ns_per_call("alg.call()", env)
    rs_call = ns_per_call("rs.call()", env)
    shift = ns_per_call("dataStore(hist, 1)", env)

    report("Delay and timers, per call", [
        ("no-op native call, no arguments", floor_bare),
        ("no-op native method, one float", floor_one),
        ("no-op native method call()", floor_call),
        ("Delay(Ut)", delay1),
        ("Delay(Ut, nLag)", delay5),
        ("Python deque delay (Ut, nLag)", py_delay),
        ("TONtrigger.call()", ton_call),
        ("TONtrigger: write Ut, call(), read Yt", ton_sample),
        ("Python timer call()", py_ton),
        ("Delay_Algorithm.call() (nLag 5)", alg_call),
        ("RStrigger.call()", rs_call),
        ("utilities.dataStore on int64[2]", shift),
    ], floor_call)
    print(f"  Delay(Ut) / one-float no-op           : {delay1 / floor_one:5.2f}x")
    print(f"  Delay(Ut, nLag) / one-float no-op     : {delay5 / floor_one:5.2f}x")
    print(f"  Python deque delay / Delay            : {py_delay / delay5:5.2f}x slower")
    print(f"  TONtrigger.call() / no-op call()      : {ton_call / floor_call:5.2f}x")
    print(f"  of which dataStore                    : {shift / ton_call:5.0%}")
    print(f"  Python timer / TONtrigger.call()      : {py_ton / ton_call:5.2f}x slower")


if __name__ == "__main__":
    main()

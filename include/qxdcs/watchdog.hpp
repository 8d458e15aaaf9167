// Watchdog (heartbeat) counter.
//
// Each call advances the count by one and wraps it around:
//     m     = trunc(MaxOut + 1)                  (truncation toward zero)
//     ticks = (ticks + 1) mod m                  (floor modulo: the result
//                                                 takes the sign of m)
// From zero with MaxOut 3 the outputs are 1, 2, 3, 0, 1, ...; with MaxOut 0
// every call returns 0. MaxOut may change between calls: the next output is
// the previous count plus one, reduced by the new modulus.
#pragma once

#include <cmath>

#include "qxdcs/error.hpp"
#include "qxdcs/floor_div.hpp"

namespace qxdcs {

class WatchDog {
public:
    // One call with modulus m = trunc(MaxOut + 1); m == 0 is refused
    // (ZeroDivisionError "integer modulo by zero") and leaves ticks as it was.
    long long step(long long m) {
        if (m == 0)
            throw ZeroDivisionError("integer modulo by zero");
        return ticks = floor_mod(ticks + 1, m);
    }

    // One call: the new count, 0 ... MaxOut. MaxOut + 1 is truncated toward
    // zero (2.5 counts 0, 1, 2); ValueError for NaN, OverflowError for a
    // modulus beyond 2**62, ZeroDivisionError for a modulus of 0 (MaxOut -1).
    long long operator()(double MaxOut = 0.0) {
        const double m = std::trunc(MaxOut + 1.0);
        if (std::isnan(m))
            throw ValueError("cannot convert float NaN to integer");
        if (!(std::fabs(m) < 4611686018427387904.0))
            throw OverflowError("MaxOut is too large");
        return step((long long)m);
    }

    long long ticks = 0;
};

} // namespace qxdcs

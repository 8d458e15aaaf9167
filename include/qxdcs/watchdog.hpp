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

#include <stdexcept>

#include "qxdcs/floor_div.hpp"

namespace qxdcs {

class WatchDog {
public:
    // One call with modulus m = trunc(MaxOut + 1); m == 0 is refused.
    long long step(long long m) {
        if (m == 0)
            throw std::domain_error("integer modulo by zero");
        return ticks = floor_mod(ticks + 1, m);
    }

    long long ticks = 0;
};

} // namespace qxdcs

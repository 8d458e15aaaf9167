// Integer floor division and modulo as Python's // and % compute them: the
// quotient rounded toward minus infinity, the remainder with the sign of the
// divisor. C++'s / and % truncate toward zero instead; the two differ when
// the operands have opposite signs and the division is not exact.
#pragma once

namespace qxdcs {

// floor(a / m); m != 0, and the quotient must fit (not LLONG_MIN / -1).
inline long long floor_div(long long a, long long m) {
    long long q = a / m;
    if (a % m != 0 && ((a < 0) != (m < 0)))
        --q;
    return q;
}

// a - floor_div(a, m) * m, in [0, m) for m > 0 and in (m, 0] for m < 0; m != 0.
inline long long floor_mod(long long a, long long m) {
    long long r = a % m;
    if (r != 0 && ((r < 0) != (m < 0)))
        r += m;
    return r;
}

} // namespace qxdcs

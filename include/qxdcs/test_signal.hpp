// Pseudo-random two-level test signal.
//
// Time t (whole seconds) is cut into periods of P = 2*ET seconds aligned to
// multiples of P. Period k uses the table entry r = table[k mod 10000] (a
// fraction between 0.10 and 0.90): the signal is +amp from the period start
// until the switching instant sw = trunc(P * r) seconds into the period, and
// -amp for the rest of it. In this order:
//     k  = floor(t / P)                          (floor division)
//     sw0, sw1, sw2 = trunc(P * table[(k + i) mod 10000]), i = 0, 1, 2:
//                     the switching instants of periods k, k+1, k+2
//     tp = t mod P                               (floor modulo)
//     tp <  sw0: high;  next = sw0-tp, P-tp, P-tp+sw1, 2P-tp, 2P-tp+sw2
//     tp >= sw0: low;   next = P-tp, P-tp+sw1, 2P-tp, 2P-tp+sw2, 3P-tp
// `next` are the times from t to the next five scheduled switching instants.
// The output is a pure function of t, ET and the table.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "qxdcs/floor_div.hpp"

namespace qxdcs {

constexpr long long kTestSignalCycle = 10000;  // table entries used cyclically

struct TestSignalPoint {
    bool high;          // +amp (true) or -amp
    long long next[5];  // seconds to the next five switching instants
};

// The signal at t. Returns false, leaving `out` unspecified, when it cannot be
// had within 64-bit integers: ET 0, |t| above 2**62 or |ET| above 2**52, a
// table entry beyond the table's end, or a switching instant that is not a
// finite number below 2**62.
inline bool test_signal_at(long long t, long long ET, const double *table, std::size_t n,
                           TestSignalPoint &out) {
    constexpr long long kMaxT = 4611686018427387904LL;  // 2**62
    constexpr long long kMaxET = 4503599627370496LL;    // 2**52
    if (ET == 0 || t > kMaxT || t < -kMaxT || ET > kMaxET || ET < -kMaxET)
        return false;
    const long long P = 2 * ET;
    const long long k = floor_div(t, P);
    long long sw[3];
    for (int i = 0; i < 3; ++i) {
        const long long id = floor_mod(k + i, kTestSignalCycle);
        if (std::size_t(id) >= n)
            return false;
        const double x = std::trunc(double(P) * table[id]);
        if (!(std::fabs(x) < double(kMaxT)))
            return false;
        sw[i] = (long long)x;
    }
    const long long tp = floor_mod(t, P);
    if (tp < sw[0]) {
        out.high = true;
        out.next[0] = sw[0] - tp;
        out.next[1] = P - tp;
        out.next[2] = out.next[1] + sw[1];
        out.next[3] = 2 * P - tp;
        out.next[4] = out.next[3] + sw[2];
    } else {
        out.high = false;
        out.next[0] = P - tp;
        out.next[1] = out.next[0] + sw[1];
        out.next[2] = 2 * P - tp;
        out.next[3] = out.next[2] + sw[2];
        out.next[4] = 3 * P - tp;
    }
    return true;
}

// The generator as a block (qxTestSignal.TestSignal). The table holds
// 10000 fractions k/100, k drawn uniformly from 10 to 90: for a seed, exactly
// the values NumPy's legacy generator gives after numpy.random.seed(seed)
// for numpy.random.randint(10, 91, 10000) (MT19937 seeded as init_genrand
// does, each draw the lowest 7 bits of a 32-bit output, drawn again while
// above 80). Without a seed the generator is seeded from std::random_device.
// Unlike the Python module, no process-wide generator is touched.
class TestSignal {
public:
    explicit TestSignal(std::optional<std::uint32_t> SEED = std::nullopt);
    // A generator of a given table (restoring a saved one).
    explicit TestSignal(std::vector<double> table, long long ET = 10, double amp = 1.0)
        : table_(std::move(table)), et_(ET), amp_(amp) {}

    struct Output {
        double U;                  // +amp or -amp
        std::array<long long, 5> next;  // seconds to the next five switching instants
    };
    // The signal at t (whole seconds since the epoch; without t, the wall
    // clock's whole second). ZeroDivisionError for ET 0 ("integer division
    // or modulo by zero"), OverflowError beyond 64-bit integers.
    Output operator()(std::optional<long long> t = std::nullopt) const;

    long long get_ET() const { return et_; }
    // ET truncated toward zero (7.9 gives 7).
    void set_ET(double ET);
    double get_amplitude() const { return amp_; }
    // amp if amp > 0, else 0.0 (NaN too).
    void set_amplitude(double amp) { amp_ = amp > 0.0 ? amp : 0.0; }
    const std::vector<double> &table() const { return table_; }

    // numpy.random.seed(seed); numpy.random.randint(10, 91, n) / 100.
    static std::vector<double> legacy_table(std::uint32_t seed, std::size_t n = kTestSignalCycle);

private:
    std::vector<double> table_;
    long long et_ = 10;
    double amp_ = 1.0;
};

} // namespace qxdcs

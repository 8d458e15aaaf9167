#include "qxdcs/test_signal.hpp"

#include <chrono>
#include <random>

#include "qxdcs/error.hpp"

namespace qxdcs {

std::vector<double> TestSignal::legacy_table(std::uint32_t seed, std::size_t n) {
    // std::mt19937 seeded with one 32-bit value is MT19937's init_genrand,
    // which numpy.random.seed uses for an integer seed.
    std::mt19937 gen(seed);
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) {
        // randint(10, 91): the range 80 under the mask 127, masked
        // rejection sampling of 32-bit draws.
        std::uint32_t v;
        do
            v = std::uint32_t(gen()) & 127u;
        while (v > 80u);
        t[i] = double(std::int64_t(10 + v)) / 100.0;
    }
    return t;
}

TestSignal::TestSignal(std::optional<std::uint32_t> SEED)
    : table_(legacy_table(SEED ? *SEED : std::random_device{}())) {}

void TestSignal::set_ET(double ET) {
    const double t = std::trunc(ET);
    if (std::isnan(t))
        throw ValueError("cannot convert float NaN to integer");
    if (!(std::fabs(t) < 9223372036854775808.0))
        throw OverflowError("cannot convert float infinity to integer");
    et_ = (long long)t;
}

TestSignal::Output TestSignal::operator()(std::optional<long long> t) const {
    long long tt;
    if (t) {
        tt = *t;
    } else {
        using namespace std::chrono;
        tt = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    }
    if (et_ == 0)
        throw ZeroDivisionError("integer division or modulo by zero");
    TestSignalPoint p;
    if (!test_signal_at(tt, et_, table_.data(), table_.size(), p))
        throw OverflowError("the test signal at this time exceeds 64-bit integers");
    Output o;
    o.U = p.high ? amp_ : -amp_;
    for (int i = 0; i < 5; ++i)
        o.next[std::size_t(i)] = p.next[i];
    return o;
}

} // namespace qxdcs

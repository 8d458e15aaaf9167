// test_signal.hpp: the pseudo-random test signal, with NumPy's table.
#include <qxdcs/error.hpp>
#include <qxdcs/test_signal.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

TEST(TestSignal, TableAndOutputsOfNumpysLegacyGenerator) {
    const Fixture f("test_signal.txt");
    for (std::uint32_t seed : {0u, 1u, 12345u, 4294967295u}) {
        const std::string s = "seed." + std::to_string(seed);
        SCOPED_TRACE(s);
        qxdcs::TestSignal ts(seed);
        const std::vector<double> &head = f[s + ".head"];
        EXPECT_TRUE(qxtest::SameBits({ts.table().begin(), ts.table().begin() + long(head.size())},
                                     head));
        double sum = 0.0;
        for (double v : ts.table())
            sum += std::round(v * 100);
        EXPECT_EQ(sum, f.scalar(s + ".sum"));
        ts.set_ET(7);
        ts.set_amplitude(2.5);
        for (long long t : {0LL, 13LL, 14LL, 140000LL, 1700000123LL, -5LL}) {
            const qxdcs::TestSignal::Output o = ts(t);
            std::vector<double> got{o.U};
            for (long long n : o.next)
                got.push_back(double(n));
            EXPECT_TRUE(qxtest::SameBits(got, f[s + ".t." + std::to_string(t)])) << t;
        }
    }
}

TEST(TestSignal, GivenTable) {
    std::vector<double> table(10000, 0.5);
    table[2] = 0.35;
    table[3] = 0.5;
    table[4] = 0.9;
    qxdcs::TestSignal ts(table);
    qxdcs::TestSignal::Output o = ts(40);
    EXPECT_EQ(o.U, 1.0);
    EXPECT_EQ(o.next, (std::array<long long, 5>{7, 20, 30, 40, 58}));
    o = ts(49);
    EXPECT_EQ(o.U, -1.0);
    EXPECT_EQ(o.next, (std::array<long long, 5>{11, 21, 31, 49, 51}));
    EXPECT_EQ(ts(0).next, ts(200000).next);  // period 10000 uses entry 0 again
    ts.set_amplitude(-2);
    EXPECT_EQ(ts.get_amplitude(), 0.0);
    ts.set_ET(7.9);
    EXPECT_EQ(ts.get_ET(), 7);
    ts.set_ET(0);
    EXPECT_THROW(ts(5), qxdcs::ZeroDivisionError);
    qxdcs::TestSignal a(42u), b(42u);
    EXPECT_EQ(a.table(), b.table());
}

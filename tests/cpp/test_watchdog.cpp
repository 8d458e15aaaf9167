// watchdog.hpp: the heartbeat counter.
#include <cmath>

#include <qxdcs/error.hpp>
#include <qxdcs/watchdog.hpp>

#include <gtest/gtest.h>

TEST(WatchDog, CountsAndWraps) {
    qxdcs::WatchDog w;
    std::vector<long long> out;
    for (int k = 0; k < 10; ++k)
        out.push_back(w(3));
    EXPECT_EQ(out, (std::vector<long long>{1, 2, 3, 0, 1, 2, 3, 0, 1, 2}));
    qxdcs::WatchDog zero;
    EXPECT_EQ(zero(), 0);
    EXPECT_EQ(zero(), 0);
    qxdcs::WatchDog half;
    EXPECT_EQ((std::vector<long long>{half(2.5), half(2.5), half(2.5)}),
              (std::vector<long long>{1, 2, 0}));
}

TEST(WatchDog, RefusedModulus) {
    qxdcs::WatchDog w;
    w(5);
    EXPECT_THROW(w(-1), qxdcs::ZeroDivisionError);
    EXPECT_EQ(w.ticks, 1);
    EXPECT_THROW(w(std::nan("")), qxdcs::ValueError);
    EXPECT_EQ(w(-4), -1);  // floor modulo: the sign of the modulus (-3)
}

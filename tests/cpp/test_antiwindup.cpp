// antiwindup.hpp: the incremental limiter.
#include <qxdcs/antiwindup.hpp>

#include <gtest/gtest.h>

TEST(AntiWindupLimiter, LeavesTheLimitAtOnce) {
    qxdcs::AntiWindupLimiter l;
    std::vector<double> out;
    for (double u : {90.0, 110.0, 120.0, 115.0, 80.0})
        out.push_back(l(u));
    EXPECT_EQ(out, (std::vector<double>{90, 100, 100, 95, 60}));
}

TEST(AntiWindupLimiter, FirstCallsAndCrossedLimits) {
    qxdcs::AntiWindupLimiter high;
    EXPECT_EQ(high(150.0), 100.0);
    EXPECT_EQ(*high.u0, 150.0);
    EXPECT_EQ(*high.y0, 100.0);
    qxdcs::AntiWindupLimiter low;
    EXPECT_EQ(low(-5.0), 0.0);
    EXPECT_EQ(low.run(-3.0), 2.0);
    qxdcs::AntiWindupLimiter crossed;
    for (double u : {-10.0, 3.0, 50.0})
        EXPECT_EQ(crossed(u, 5.0, 10.0), 5.0);  // LO > HI: always HI
}

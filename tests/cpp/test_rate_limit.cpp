// rate_limit.hpp: the ramp limiter.
#include <cmath>

#include <qxdcs/rate_limit.hpp>

#include <gtest/gtest.h>

TEST(RateLimit, RampsAndReachesTheTargetExactly) {
    qxdcs::RateLimit r(3.0, 1.0);
    std::vector<double> out;
    for (int k = 0; k < 43; ++k)
        out.push_back(r(10.0, 10.0, -10.0));
    EXPECT_DOUBLE_EQ(out[0], 3.0 + 10.0 / 60.0);
    EXPECT_EQ(out[41], 9.999999999999998);
    EXPECT_EQ(out[42], 10.0);
    EXPECT_EQ(r(10.0, 10.0), 10.0);
}

TEST(RateLimit, SignsAndDefaults) {
    qxdcs::RateLimit up(0.0, 2.0);
    EXPECT_EQ(up(5.0, -30.0), 1.0);  // the sign of a limit does not matter
    EXPECT_EQ(up(5.0, -30.0), 2.0);
    qxdcs::RateLimit down(10.0);
    EXPECT_EQ(down(0.0, 120.0), 8.0);  // no fall limit: the rise limit's magnitude
    qxdcs::RateLimit fall(10.0);
    EXPECT_EQ(fall(0.0, 120.0, 60.0), 9.0);
    EXPECT_EQ(fall(0.0, 120.0, -60.0), 8.0);
    qxdcs::RateLimit step(0.0);
    EXPECT_EQ(step(1.0), 1.0);  // a step equal to the limit is the target itself
    qxdcs::RateLimit nan(1.0);
    EXPECT_TRUE(std::isnan(nan(std::nan(""))));
    EXPECT_EQ(nan(5.0), 5.0);  // from NaN the next target is returned unlimited
    EXPECT_EQ(nan(7.0), 6.0);
    nan.reset(7.0);
    EXPECT_EQ(nan(7.0), 7.0);
}

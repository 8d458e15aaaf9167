// delay.hpp: the callable delay and the function-block delay.
#include <string>

#include <qxdcs/delay.hpp>
#include <qxdcs/error.hpp>

#include <gtest/gtest.h>

TEST(Delay, StartsAtTheFirstInput) {
    qxdcs::Delay<> d;
    EXPECT_EQ(d(5.0), 5.0);
    EXPECT_EQ(d(6.0), 5.0);
    EXPECT_EQ(d(7.0), 6.0);
    EXPECT_EQ(d(8.0, 0), 8.0);
    qxdcs::Delay<> two;
    std::vector<double> out;
    for (double u : {1.0, 2.0, 3.0, 4.0})
        out.push_back(two(u, 2));
    EXPECT_EQ(out, (std::vector<double>{1, 1, 1, 2}));
    qxdcs::Delay<> late;
    late(1.0);
    late(2.0);
    EXPECT_EQ(late(3.0, 3), 1.0);  // the pre-filled first input
}

TEST(Delay, LagOutsideTheHistory) {
    qxdcs::Delay<> d(3);
    d(1.0);
    EXPECT_EQ(d(2.0, 2), 1.0);
    try {
        d(3.0, 3);
        FAIL();
    } catch (const qxdcs::ValueError &e) {
        EXPECT_EQ(std::string(e.what()), "nLag must be between 0 and 2, but got 3.");
    }
    EXPECT_EQ(d(4.0, 1), 3.0);  // the refused call's input stayed in the history
    EXPECT_THROW(d(5.0, -1), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::Delay<>(0), qxdcs::ValueError);
    qxdcs::Delay<std::string> text(4);  // any value type
    text("a");
    EXPECT_EQ(text("b", 1), "a");
}

TEST(DelayAlgorithm, GrowsOnDemandAndNeverShrinks) {
    qxdcs::DelayAlgorithm d;
    d.call();
    EXPECT_EQ(d.Yt, 0.0);  // never-written attributes: Ut 0, nLag 1
    qxdcs::DelayAlgorithm a;
    std::vector<double> out;
    a.nLag = 2;
    for (double u : {1.0, 2.0, 3.0, 4.0}) {
        a.Ut = u;
        a.call();
        out.push_back(a.Yt);
    }
    EXPECT_EQ(out, (std::vector<double>{1, 1, 1, 2}));
    EXPECT_EQ(a.U_array, (std::vector<double>{4, 3, 2}));
    qxdcs::DelayAlgorithm b;
    for (double u : {1.0, 2.0}) {
        b.Ut = u;
        b.call();
    }
    b.nLag = 3;
    b.Ut = 3;
    b.call();
    EXPECT_EQ(b.U_array, (std::vector<double>{3, 2, 1, 1}));
    EXPECT_EQ(b.Yt, 1.0);
    b.nLag = 1;
    b.Ut = 4;
    b.call();
    EXPECT_EQ(b.U_array, (std::vector<double>{4, 3, 2, 1}));
    EXPECT_EQ(b.Yt, 3.0);
    b.nLag = -1;
    EXPECT_THROW(b.call(), qxdcs::ValueError);
    EXPECT_EQ(b.U_array.size(), 4u);
}

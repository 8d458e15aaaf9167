// const_detect.hpp: the constant-input detector.
#include <cmath>

#include <qxdcs/const_detect.hpp>
#include <qxdcs/error.hpp>

#include <gtest/gtest.h>

TEST(ConstDect, WindowOfDectLen) {
    qxdcs::ConstDect d;
    std::vector<bool> out;
    for (double u : {5.0, 5.0, 6.0, 6.0, 6.0})
        out.push_back(d(u, 3));
    EXPECT_EQ(out, (std::vector<bool>{true, true, false, false, true}));
    EXPECT_EQ(d.window(), (std::vector<double>{6, 6, 6}));
}

TEST(ConstDect, ToleranceNanAndLength) {
    qxdcs::ConstDect drift;
    for (int k = 0; k < 30; ++k)
        EXPECT_TRUE(drift(k * 5e-7, 10));
    qxdcs::ConstDect step;
    EXPECT_TRUE(step(0.0, 2));
    EXPECT_FALSE(step(1e-6, 2));  // strictly less than 1e-6
    qxdcs::ConstDect nan;
    EXPECT_FALSE(nan(std::nan(""), 2));
    EXPECT_FALSE(nan(1.0, 2));
    EXPECT_TRUE(nan(1.0, 2));
    EXPECT_THROW(nan(1.0, 0), qxdcs::ValueError);
    EXPECT_TRUE(nan(1.0, 5));  // a longer window is filled with the current input
    qxdcs::ConstDect restored;
    restored.set_window({1, 1, 2});
    EXPECT_FALSE(restored(2.0, 3));
    EXPECT_TRUE(restored(2.0, 3));
}

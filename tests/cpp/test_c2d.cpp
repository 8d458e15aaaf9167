// c2d.hpp: zero-order-hold discretisation with dead time, against SciPy.
#include <qxdcs/c2d.hpp>
#include <qxdcs/error.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

TEST(C2d, AgreesWithScipyToTheLastDigits) {
    const Fixture f("c2d.txt");
    const std::size_t n = f.count("cases");
    ASSERT_GT(n, 20u);
    for (std::size_t k = 0; k < n; ++k) {
        const std::string c = "case." + std::to_string(k);
        SCOPED_TRACE(c);
        const qxdcs::DiscreteTf d =
            qxdcs::c2d(f[c + ".num"], f[c + ".den"], f.scalar(c + ".delay"), f.scalar(c + ".Ts"));
        EXPECT_TRUE(qxtest::Near(d.num, f[c + ".Gd_num"], 1e-12));
        EXPECT_TRUE(qxtest::Near(d.den, f[c + ".Gd_den"], 1e-12));
        EXPECT_EQ(d.den[0], 1.0);
    }
}

TEST(C2d, WorkedExample) {
    // 1/(s + 1), dead time 2 s, Ts 1 s: [0, 0, 0, 1 - e^-1] / [1, -e^-1].
    const qxdcs::DiscreteTf d = qxdcs::c2d({1}, {1, 1}, 2, 1);
    ASSERT_EQ(d.num.size(), 4u);
    EXPECT_EQ(d.num[0], 0.0);
    EXPECT_EQ(d.num[1], 0.0);
    EXPECT_EQ(d.num[2], 0.0);
    EXPECT_NEAR(d.num[3], 1 - std::exp(-1.0), 1e-15);
    EXPECT_NEAR(d.den[1], -std::exp(-1.0), 1e-15);
    // Leading zeros of the numerator do not matter; a static gain keeps the
    // pole-zero pair that SciPy's state-space route gives it.
    EXPECT_EQ(qxdcs::c2d({0, 0, 2}, {3, 1}, 0, 1).num, qxdcs::c2d({2}, {3, 1}, 0, 1).num);
    const qxdcs::DiscreteTf gain = qxdcs::c2d({2}, {1}, 0, 1);
    EXPECT_EQ(gain.num, (std::vector<double>{2, -2}));
    EXPECT_EQ(gain.den, (std::vector<double>{1, -1}));
}

TEST(C2d, DelaySamplesRoundHalfToEven) {
    const std::pair<double, long long> cases[] = {{2.5, 2}, {3.5, 4}, {2.4999, 2}, {2.5001, 3},
                                                  {0.0, 0}, {-0.5, 0}, {-1.5, -2}, {7.0, 7}};
    for (auto [ratio, want] : cases)
        EXPECT_EQ(qxdcs::delay_samples(ratio, 1.0), want) << ratio;
    EXPECT_EQ(qxdcs::delay_samples(5.0, 2.0), 2);
    EXPECT_EQ(qxdcs::c2d({1}, {1, 1}, 0, 1).num.size(), 2u);
}

TEST(C2d, ErrorsInTheOrderPythonMeetsThem) {
    auto message = [](auto f) {
        try {
            f();
        } catch (const std::exception &e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_THROW(qxdcs::c2d({0, 0}, {1, 1}, 0, 1), qxdcs::IndexError);
    EXPECT_THROW(qxdcs::c2d({}, {1, 1}, 0, 1), qxdcs::IndexError);
    EXPECT_EQ(message([] { qxdcs::c2d({1}, {1, 1}, -2, 1); }),
              "negative dimensions are not allowed");
    EXPECT_THROW(qxdcs::c2d({1}, {1, 1}, 1, 0), qxdcs::ZeroDivisionError);
    EXPECT_EQ(message([] { qxdcs::c2d({1, 2, 3}, {1, 1}, 0, 1); }),
              "Improper transfer function. `num` is longer than `den`.");
    EXPECT_EQ(message([] { qxdcs::c2d({1}, {0, 0}, 0, 1); }),
              "Denominator must have at least on nonzero element.");
    EXPECT_THROW(qxdcs::delay_samples(std::nan(""), 1), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::delay_samples(INFINITY, 1), qxdcs::OverflowError);
    // Every error is also a qxdcs::Error of the kind Python raises.
    try {
        qxdcs::c2d({1}, {1, 1}, 1, 0);
        FAIL();
    } catch (const qxdcs::Error &e) {
        EXPECT_EQ(e.kind(), qxdcs::ErrorKind::ZeroDivision);
    }
}

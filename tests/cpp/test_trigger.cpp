// trigger.hpp: the on- and off-delay timers and the flip-flop.
#include <qxdcs/trigger.hpp>

#include <gtest/gtest.h>

namespace {

template <class Timer>
std::pair<std::vector<int>, std::vector<long long>> drive(Timer t, std::vector<long long> inputs) {
    std::vector<int> y;
    std::vector<long long> et;
    for (long long u : inputs) {
        t.Ut = u;
        t.call();
        y.push_back(t.Yt);
        et.push_back(t.ET);
    }
    return {y, et};
}

} // namespace

TEST(TonTrigger, OnDelay) {
    auto [y, et] = drive(qxdcs::TonTrigger{}, {1, 1, 1, 1, 0, 1});
    EXPECT_EQ(y, (std::vector<int>{0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(et, (std::vector<long long>{2, 1, 0, 0, 3, 2}));
    qxdcs::TonTrigger one;
    one.DT = 1;
    EXPECT_EQ(drive(one, {0, 1, 1, 0}).first, (std::vector<int>{0, 1, 1, 0}));
}

TEST(TonTrigger, DelayLoweredDuringACountdown) {
    qxdcs::TonTrigger t;
    t.DT = 5;
    t.Ut = 1;
    t.call();
    t.call();  // ET 3
    t.DT = 2;  // below ET: the countdown restarts from the new DT
    std::vector<int> y;
    for (int k = 0; k < 3; ++k) {
        t.call();
        y.push_back(t.Yt);
    }
    EXPECT_EQ(y, (std::vector<int>{0, 1, 1}));
}

TEST(ToffTrigger, OffDelay) {
    auto [y, et] = drive(qxdcs::ToffTrigger{}, {1, 0, 0, 0, 1});
    EXPECT_EQ(y, (std::vector<int>{1, 1, 1, 0, 1}));
    EXPECT_EQ(et, (std::vector<long long>{3, 2, 1, 0, 3}));
    EXPECT_EQ(drive(qxdcs::ToffTrigger{}, {0, 0, 0}).first, (std::vector<int>{0, 0, 0}));
}

TEST(RsTrigger, ResetHasPriority) {
    qxdcs::RsTrigger rs;
    rs.call();
    EXPECT_FALSE(rs.Q);
    EXPECT_TRUE(rs.nQ);
    const std::pair<bool, bool> sr[] = {{1, 0}, {0, 0}, {1, 1}, {0, 0}, {0, 1}};
    std::vector<bool> q;
    for (auto [s, r] : sr) {
        rs.S = s;
        rs.R = r;
        rs.call();
        q.push_back(rs.Q);
        EXPECT_EQ(rs.nQ, !rs.Q);
    }
    EXPECT_EQ(q, (std::vector<bool>{true, true, false, false, false}));
    rs.Q = true;  // the hold reads the memory, not Q
    rs.S = rs.R = false;
    rs.call();
    EXPECT_FALSE(rs.Q);
}

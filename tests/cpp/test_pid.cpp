// pid.hpp: the PID controller against the Python module, and its rules.
#include <cmath>
#include <cstring>

#include <qxdcs/error.hpp>
#include <qxdcs/pid.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

TEST(Pid, BitForBitWithThePythonModule) {
    const Fixture f("pid.txt");
    qxdcs::Pid pid(0.5);
    pid.set_params(2.5, 12.0, 3.0, 8.0);
    ASSERT_TRUE(pid.set_limits(80.0, 5.0));
    for (std::size_t k = 0; k < f.count("steps"); ++k) {
        SCOPED_TRACE(k);
        for (int at : {90, 100})
            if (k == std::size_t(at)) {
                const std::vector<double> &t = f["tuning." + std::to_string(at)];
                pid.set_params(t[0], t[1], t[2], t[3]);
            }
        const std::vector<double> &in = f["step." + std::to_string(k) + ".in"];
        const double op = pid.run(in[0], in[1], in[2], in[3], in[4]);
        const qxdcs::PidStepRecord &r = pid.record;
        EXPECT_TRUE(qxtest::SameBits({op, r.OP, r.OPcal, r.dOP, r.dOP_P, r.dOP_I, r.dOP_D, r.dFF},
                                     f["step." + std::to_string(k) + ".out"]));
    }
}

TEST(Pid, FirstCallAndDefaultTuning) {
    qxdcs::Pid pid;  // KP 1, TI 60, TD 0, N 10, TS 1, limits 100/0
    // A constant error of 6: the output rises by 6/60 per sample from the first.
    EXPECT_DOUBLE_EQ(pid.run(1, 56, 50, 30, 0), 30.1);
    EXPECT_DOUBLE_EQ(pid.run(1, 56, 50, 30, 0), 30.2);
    EXPECT_EQ(pid.record.dOP_P, 0.0);
    EXPECT_EQ(pid.record.dOP_D, 0.0);
}

TEST(Pid, FloorsLimitsAndModes) {
    qxdcs::Pid pid;
    pid.set_params(1.0, -5.0, -1.0, 0.0);
    EXPECT_EQ(pid.TI, 0.0);
    EXPECT_EQ(pid.TD, 0.0);
    EXPECT_EQ(pid.N, 0.000001);
    pid.set_params(1.0, std::nan(""), 0.0, 10.0);
    EXPECT_TRUE(std::isnan(pid.TI));
    EXPECT_TRUE(pid.set_limits(50, 50));
    EXPECT_EQ(pid.run(1, 10, 0, 20, 0), 50.0);
    EXPECT_FALSE(pid.set_limits(0, 100));
    EXPECT_FALSE(pid.set_limits(std::nan(""), 0));
    EXPECT_EQ(pid.OP_HI, 50.0);
    EXPECT_STREQ(qxdcs::Pid::kLimitsRefused, "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
    // MODE rounds half to even: 0.5 manual, 1.49 automatic, 1.5 and 2.0 manual.
    EXPECT_EQ(qxdcs::Pid::round_mode(0.5), 0.0);
    EXPECT_EQ(qxdcs::Pid::round_mode(1.49), 1.0);
    EXPECT_EQ(qxdcs::Pid::round_mode(1.5), 2.0);
    EXPECT_EQ(qxdcs::Pid::round_mode(2.5), 2.0);
    EXPECT_EQ(qxdcs::Pid::round_mode(-0.4), 0.0);
    EXPECT_THROW(pid.run(std::nan(""), 0, 0, 0, 0), qxdcs::ValueError);
    EXPECT_THROW(pid.run(INFINITY, 0, 0, 0, 0), qxdcs::OverflowError);
}

TEST(Pid, TrackingBeyondTheLimitsAndFeedForward) {
    qxdcs::Pid pid;
    EXPECT_EQ(pid.run(0, 10, 10, 150, 0), 100.0);
    EXPECT_EQ(pid.OP1, 150.0);
    EXPECT_EQ(pid.run(1, 10, 10, 0, 0), 100.0);  // from 150, limited again
    qxdcs::Pid ff;
    ff.run(0, 10, 10, 40, 1.0);
    EXPECT_DOUBLE_EQ(ff.run(1, 10, 10, 0, 4.0), 43.0);
    EXPECT_DOUBLE_EQ(ff.run(1, 10, 10, 0, 4.0), 43.0);
    const char *form = qxdcs::Pid::form_text();
    EXPECT_EQ(form[0], '\n');
    EXPECT_NE(std::strstr(form, "Name: Non-Interacting A\n"), nullptr);
    EXPECT_EQ(std::string(form).substr(std::strlen(form) - 7), "TS = 1\n");
}

// soft_sensor.hpp: the bias update against the Python module, and its rules.
#include <qxdcs/error.hpp>
#include <qxdcs/soft_sensor.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

TEST(SoftSensorBiasUpdate, BitForBitWithThePythonModule) {
    const Fixture f("soft_sensor.txt");
    qxdcs::SoftSensorBiasUpdate s("s1", 4, 1e-6, 50, 2);
    std::vector<std::string> lines;
    s.sink = [&](std::string_view l) { lines.emplace_back(l); };
    // The bias filter of the coefficients SciPy gave the Python module.
    const std::vector<double> &c = f["filter"];
    s.filter().emplace(std::vector<double>{1.0}, std::vector<double>{4.0, 1.0}, 1.0,
                       qxdcs::ZFilter({c[0], c[1]}, {c[2], c[3]}, 0.0, 0.0));
    for (std::size_t k = 0; k < f.count("steps"); ++k) {
        SCOPED_TRACE(k);
        const std::vector<double> &in = f["in." + std::to_string(k)];
        const std::optional<double> trigger =
            std::isnan(in[4]) ? std::nullopt : std::optional<double>(in[4]);
        const double out = s.run(in[0], in[1], in[2], in[3], trigger);
        ASSERT_TRUE(qxtest::SameBits(
            {out, s.get_bias(), double(s.get_update_flag()), s.get_prd_data_at_labtime()},
            f["out." + std::to_string(k)]));
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "s1: Bias Update is triggered by the first data.");
}

TEST(SoftSensorBiasUpdate, FirstCallAndTriggers) {
    qxdcs::SoftSensorBiasUpdate s("t", 0, 1e-6, 28800, 2);
    std::vector<std::string> lines;
    s.sink = [&](std::string_view l) { lines.emplace_back(l); };
    const double t = 1.7e9;
    EXPECT_EQ(s.run(2.0, 2.5, t, t), 0.5);  // first call, lab time = prediction time
    EXPECT_TRUE(s.get_update_flag());
    EXPECT_EQ(lines.back(), "t: Bias Update is triggered by the first data.");
    // The same result presented again with a trigger: reported, nothing changes.
    s.run(2.1, 2.5, t, t + 60, 1.0);
    EXPECT_FALSE(s.get_update_flag());
    EXPECT_EQ(lines.back(), "t: Bias Update is not triggered, lab_data or lab_time is unchanged.");
    s.run(2.1, 2.8, t + 60, t + 120, 0.5);  // 0.5 does not trigger
    EXPECT_EQ(s.get_bias(), 0.5);
    s.run(2.1, 2.8, t + 60, t + 180, 0.5000001);
    EXPECT_DOUBLE_EQ(s.get_bias(), 2.8 - 2.1);
    // Automatic: 5, 5, 7, 7, 7 with const_len 2 updates on the third 7.
    qxdcs::SoftSensorBiasUpdate a("a", 0, 1e-6, 100, 2);
    a.sink = nullptr;
    const double lab[] = {5, 5, 7, 7, 7};
    std::vector<bool> flags;
    for (int k = 0; k < 5; ++k) {
        a.run(1.0, lab[k], t + 60 * k, t + 60 * k);
        flags.push_back(a.get_update_flag());
    }
    EXPECT_EQ(flags, (std::vector<bool>{true, false, false, false, true}));
    EXPECT_EQ(a.get_lab_data(), 7.0);
}

TEST(SoftSensorBiasUpdate, LateAndOutOfRangeLabTimes) {
    const double t = 1.7e9;
    qxdcs::SoftSensorBiasUpdate late("l", 0);
    late.sink = nullptr;
    late.run(2.0, 3.0, t + 10, t);  // later than every prediction: no update
    EXPECT_FALSE(late.get_update_flag());
    EXPECT_EQ(late.get_bias(), 0.0);
    qxdcs::SoftSensorBiasUpdate early("e", 0);
    early.sink = nullptr;
    early.run(2.0, 3.0, t - 90, t);  // the pre-filled prediction 120 s before
    EXPECT_TRUE(early.get_update_flag());
    EXPECT_EQ(early.get_prd_data_at_labtime(), 2.0);
    qxdcs::SoftSensorBiasUpdate filtered("f");  // filter_tao 5
    filtered.sink = nullptr;
    const double first = filtered.run(2.0, 3.0, t, t);
    EXPECT_EQ(first, 0.0);  // the filter starts at 0 and follows the bias
    EXPECT_GT(filtered.run(2.0, 3.0, t, t + 60), 0.0);
}

TEST(SoftSensorBiasUpdate, NonFiniteInputsChangeNothing) {
    qxdcs::SoftSensorBiasUpdate s("test1");
    s.sink = nullptr;
    try {
        s.run(std::nan(""), 1, 1, 1);
        FAIL();
    } catch (const qxdcs::ValueError &e) {
        EXPECT_EQ(std::string(e.what()), "test1 Bias Update: prd_data is not finite!");
    }
    EXPECT_THROW(s.run(1, 1, 1, INFINITY), qxdcs::ValueError);
    EXPECT_THROW(s.run(1, 1, 1, 1, std::nan("")), qxdcs::ValueError);
    EXPECT_TRUE(s.core().first());
}

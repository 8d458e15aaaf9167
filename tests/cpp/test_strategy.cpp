// strategy.hpp and strategy_file.hpp: plans run natively, strategy files read
// and compiled in C++ (against the Python engine's traces, strategy.txt), the
// same data built in code, non-finite values, failures, files and lines.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <qxdcs/error.hpp>
#include <qxdcs/strategy.hpp>
#include <qxdcs/strategy_file.hpp>

#include <gtest/gtest.h>

#include "fixture.hpp"

namespace fs = std::filesystem;
namespace qs = qxdcs::strategy;
namespace sf = qxdcs::strategy::file;

namespace {

// A first-order plant T <- V (gain 0.5, 10 s, 2 s dead time) and a PI loop.
sf::Description minimal() {
    sf::Description d;
    d.source = "minimal";
    d.simulation.sample_period_s = 1.0;
    d.simulation.samples = 300;
    qxdcs::ModelDict m;
    m.add("T", "V", qxdcs::ModelSpec::tf_s({0.5}, {10.0, 1.0}, 2.0));
    d.plant.model = m;
    d.plant.initial = {{"T", 20.0}, {"V", 50.0}};
    d.loops.push_back(sf::Loop::pi("TC", "T", "V", 2.0, 10.0).setpoint_steps({{20.0, 21.0}}));
    return d;
}

std::vector<double> column(const std::vector<double> &rows, std::size_t n, std::size_t j) {
    std::vector<double> out;
    for (std::size_t k = 0; k * n < rows.size(); ++k)
        out.push_back(rows[k * n + j]);
    return out;
}

template <class F> std::string error_of(F &&f) {
    try {
        f();
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Strategy, RunsAPlanBuiltInCode) {
    qxdcs::Strategy s(qs::compile(minimal()));
    ASSERT_EQ(s.signals(), (std::vector<std::string>{"T", "V", "SP_TC"}));
    const std::vector<double> rows = s.run();
    ASSERT_EQ(rows.size(), 300u * 3);
    const std::vector<double> T = column(rows, 3, 0), sp = column(rows, 3, 2);
    EXPECT_EQ(T[0], 20.0);
    EXPECT_EQ(sp[19], 20.0);  // the cv's initial value until the step
    EXPECT_EQ(sp[20], 21.0);
    EXPECT_NEAR(T.back(), 21.0, 1e-3);
    EXPECT_EQ(s.k(), 300u);
    EXPECT_FALSE(s.non_finite());
    EXPECT_EQ(s.run_to(400), 0u);  // nothing beyond the end
}

TEST(Strategy, RunsInChunksAsInOne) {
    const qs::Plan plan = qs::compile(minimal());
    qxdcs::Strategy whole(plan), parts(plan);
    const std::vector<double> a = whole.run();
    std::vector<double> b(a.size());
    EXPECT_EQ(parts.run_to(7, b.data()), 7u);
    EXPECT_EQ(parts.run_to(150, b.data() + 7 * 3), 143u);
    EXPECT_EQ(parts.run_to(1000, b.data() + 150 * 3), 150u);
    EXPECT_TRUE(qxtest::SameBits(a, b));
}

TEST(Strategy, ExpandsALoopAsThePythonCheckerDoes) {
    sf::Description d = minimal();
    sf::Loop &l = d.loops[0];
    l.sp_rate_per_min = 6.0;
    l.measurement_noise = 0.1;
    l.feedforward = sf::Feedforward{"F", 0.5, std::make_pair(1.5, 20.0), {}, {}};
    d.signals.push_back(sf::Signal::steps("F", 10.0, {{50.0, 12.0}}));
    const qs::Plan p = qs::compile(d);
    EXPECT_EQ(p.signals, (std::vector<std::string>{"T", "V", "F", "SP_TC_target", "SP_TC",
                                                   "PV_TC", "FF_TC"}));
    std::vector<std::string> kinds;
    for (const qs::Step &s : p.steps)
        kinds.push_back(qs::kind_name(s.params) + std::string(":") + s.key);
    EXPECT_EQ(kinds, (std::vector<std::string>{"rate_limit:loop.TC.sp_rate_per_min",
                                               "noise:loop.TC.measurement_noise",
                                               "lead_lag:loop.TC.feedforward", "pid:loop.TC.mv"}));
    // The feed-forward starts at 0: its offset is -gain * the signal's initial value.
    const auto &ll = std::get<qs::LeadLag>(p.steps[2].params);
    EXPECT_EQ(ll.offset, -0.5 * 10.0);
    EXPECT_EQ(p.initial[6], 0.0);
    // The measurement noise's stream is the CRC-32 of its name, as zlib's.
    EXPECT_EQ(qs::stream_of("loop.TC.measurement"), 0xc7c906ddu);
    EXPECT_EQ(qs::stream_of("123456789"), 0xCBF43926u);
}

TEST(Strategy, NoiseIsItsOwnStreamOfTheSeed) {
    sf::Description d = minimal();
    d.signals.push_back(sf::Signal::noise("A", 2.0, "", 1.0));
    d.signals.push_back(sf::Signal::noise("B", 2.0, "", 1.0));
    auto values = [](const qs::Plan &p, std::size_t i) {
        return std::get<qs::Noise>(p.steps[i].params).values;
    };
    const qs::Plan p = qs::compile(d, 20000);
    const std::vector<double> a = values(p, 0), b = values(p, 1);
    double mean = 0.0, var = 0.0;
    for (double x : a)
        mean += x / double(a.size());
    for (double x : a)
        var += (x - mean) * (x - mean) / double(a.size());
    EXPECT_NEAR(mean, 1.0, 0.05);
    EXPECT_NEAR(std::sqrt(var), 2.0, 0.05);
    EXPECT_NE(a, b);
    EXPECT_EQ(values(qs::compile(d, 20000), 0), a);      // the same seed, the same numbers
    EXPECT_NE(values(qs::compile(d, 20000, 5), 0), a);   // another seed, others
}

TEST(Strategy, SeedSequenceIsNumPys) {
    const qxtest::Fixture f("strategy.txt");
    const std::vector<std::vector<std::uint64_t>> cases = {
        {0, 0}, {1, 2940733431ull}, {7, 4294967295ull}, {(1ull << 40) + 3, 5}};
    for (const auto &e : cases) {
        std::string key = "seedseq";
        for (auto v : e)
            key += "." + std::to_string(v);
        const std::vector<std::uint32_t> got = qs::seed_sequence_state(e, 4);
        EXPECT_TRUE(qxtest::SameBits(std::vector<double>(got.begin(), got.end()), f[key])) << key;
    }
}

TEST(Strategy, RefusesWhatTheCheckerRefuses) {
    sf::Description d = minimal();
    d.signals.push_back(sf::Signal::sum("S", {{"missing", 1.0}}));
    EXPECT_EQ(error_of([&] { qs::compile(d); }),
              "minimal: signal.S: signal 'missing' is written by nothing");
    d = minimal();
    d.signals.push_back(sf::Signal::sum("A", {{"B", 1.0}}));
    d.signals.push_back(sf::Signal::sum("B", {{"A", 1.0}}));
    EXPECT_NE(error_of([&] { qs::compile(d); }).find("signals form a cycle with no block that "
                                                      "delays"),
              std::string::npos);
    d.signals.back() = sf::Signal::delay("B", "A", 2.0);   // a delay breaks the cycle
    EXPECT_EQ(error_of([&] { qs::compile(d); }), "");
    d = minimal();
    d.signals.push_back(sf::Signal::delay("D", "T", 2.5));
    EXPECT_EQ(error_of([&] { qs::compile(d); }),
              "minimal: signal.D.delay_s: is not a whole number of sample periods");
    d = minimal();
    d.signals.push_back(sf::Signal::constant("T", 1.0));
    EXPECT_NE(error_of([&] { qs::compile(d); }).find("signal 'T' is also written by the plant"),
              std::string::npos);
}

TEST(Strategy, RefusesAPlanWhosePartsDoNotFit) {
    qs::Plan p = qs::compile(minimal());
    p.steps[0].inputs.push_back(99);
    EXPECT_THROW(qxdcs::Strategy{p}, qxdcs::ValueError);
    p = qs::compile(minimal());
    p.after.push_back(p.steps[0]);   // a PID is no step that delays
    EXPECT_NE(error_of([&] { qxdcs::Strategy s(p); }).find("does not belong to the after steps"),
              std::string::npos);
}

TEST(Strategy, LocatesTheFirstNonFiniteValueAndStopsThere) {
    sf::Description d = minimal();
    qxdcs::ModelDict m;
    m.add("T", "V", qxdcs::ModelSpec::tf_s({0.5}, {1.0, -1.0}, 0.0));   // unstable
    d.plant.model = m;
    d.simulation.samples = 2000;
    qxdcs::Strategy run(qs::compile(d));
    run.run();
    ASSERT_TRUE(run.non_finite());
    const qs::NonFinite nf = *run.non_finite();
    EXPECT_EQ(run.signals()[nf.slot], "T");
    EXPECT_EQ(nf.block, "plant");
    EXPECT_TRUE(std::isinf(nf.value));
    qxdcs::Strategy stopped(qs::compile(d));
    stopped.stop_at_non_finite = true;
    std::vector<double> rows(2000 * 3);
    EXPECT_EQ(stopped.run_to(2000, rows.data()), nf.sample);
    EXPECT_EQ(stopped.k(), nf.sample);
    for (std::size_t i = 0; i < nf.sample * 3; ++i)
        ASSERT_TRUE(std::isfinite(rows[i]));
}

TEST(Strategy, AFailingBlockIsNamedAndItsErrorThrown) {
    sf::Description d = minimal();
    qxdcs::ModelDict m;
    m.add("T", "V", qxdcs::ModelSpec::tf_s({0.5}, {1.0, -1.0}, 0.0));
    d.plant.model = m;
    d.simulation.samples = 2000;
    d.signals.push_back(sf::Signal::constant("P", 1.0));
    sf::SoftSensor s;
    s.name = "Q";
    s.prediction = "T";
    s.true_value = "P";
    s.lab_every_s = 10;
    s.lab_delay_s = 2;
    d.soft_sensors.push_back(s);
    qxdcs::Strategy run(qs::compile(d));
    std::vector<std::string> lines;
    run.set_sink([&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(error_of([&] { run.run(); }), "Q Bias Update: prd_data is not finite!");
    ASSERT_TRUE(run.failure());
    EXPECT_EQ(run.failure()->block, "soft_sensor.Q");
    EXPECT_EQ(run.failure()->sample, run.k());
    EXPECT_EQ(lines, (std::vector<std::string>{"Q: Bias Update is triggered by the first data."}));
    ASSERT_TRUE(run.non_finite());   // the prediction, in the sample the soft sensor failed in
    EXPECT_EQ(run.non_finite()->sample, run.k());
}

TEST(Strategy, LaboratoryRecordersWriteIntoTheFolderGiven) {
    sf::Description d = minimal();
    d.signals.push_back(sf::Signal::ramp("P", {{0.0, 1.0}, {300.0, 4.0}}));
    sf::SoftSensor s;
    s.name = "Q";
    s.prediction = "T";
    s.true_value = "P";
    s.lab_every_s = 30;
    s.lab_delay_s = 5;
    d.soft_sensors.push_back(s);
    const fs::path dir = fs::path(QX_SCRATCH) / "strategy_lab";
    fs::remove_all(dir);
    qxdcs::Strategy run(qs::compile(d), dir.string());
    run.set_sink({});
    const std::vector<double> rows = run.run();
    std::ifstream in(dir / "Q_Raw_LabData.csv");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    const std::size_t rec = *run.slot("REC_Q");
    double written = 0.0;
    for (double x : column(rows, run.n_signals(), rec))
        written += x;
    ASSERT_GT(written, 5.0);
    EXPECT_EQ(lines.size(), std::size_t(written) + 1);
    EXPECT_EQ(lines[0], "ExportTime,LabTime,LabData");
    const std::vector<qs::LabArrivals> lab = run.lab_arrivals();
    ASSERT_EQ(lab.size(), 1u);
    EXPECT_EQ(lab[0].arrived.size(), 10u);   // drawn at 0, 30, ..., 270, each 5 s later
}

#if QXDCS_HAS_TOML

namespace {

struct Case {
    const char *name, *path;
    std::optional<std::size_t> samples;
    void (*edit)(sf::Description &);
};

void no_edit(sf::Description &) {}

// The changes record_fixtures.py makes to the shipped examples: no noise.
void quiet_reactor(sf::Description &d) {
    for (sf::Signal &s : d.signals)
        if (s.name == "TI300")
            s.sigma = 0.0;
    for (sf::Loop &l : d.loops)
        l.measurement_noise = 0.0;
    for (sf::SoftSensor &s : d.soft_sensors)
        s.lab_noise = 0.0;
}
void quiet_column(sf::Description &d) {
    for (sf::Signal &s : d.signals)
        if (s.kind == "noise" || s.kind == "filtered_noise")
            s.sigma = 0.0;
    for (sf::Loop &l : d.loops)
        l.measurement_noise = 0.0;
    for (sf::Alarm &a : d.alarms)
        a.signal = "XB";
}

class FromFile : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(FromFile, AgreesWithThePythonEngineTo1e12) {
    const Case c = GetParam();
    const qxtest::Fixture f("strategy.txt");
    sf::Description d = sf::read_file(c.path);
    c.edit(d);
    qxdcs::Strategy run(qs::compile(d, c.samples));
    run.set_sink({});
    const std::vector<double> rows = run.run();
    const std::string at = std::string(c.name) + ".";
    ASSERT_EQ(run.n_signals(), f.count(at + "n_signals"));
    ASSERT_EQ(run.samples(), f.count(at + "samples"));
    EXPECT_EQ(run.plan().start, f.scalar(at + "start"));
    double worst = 0.0;
    for (std::size_t j = 0; j < run.n_signals(); ++j) {
        const std::string &name = run.signals()[j];
        std::vector<double> got;
        const std::vector<double> all = column(rows, run.n_signals(), j);
        for (std::size_t k = 0; k < all.size(); k += 3)
            got.push_back(all[k]);
        const std::vector<double> &want = f[at + name];
        EXPECT_TRUE(qxtest::Near(got, want, 1e-12)) << name;
        double scale = 1e-300;
        for (double w : want)
            scale = std::fmax(scale, std::fabs(w));
        for (std::size_t k = 0; k < got.size() && k < want.size(); ++k)
            worst = std::fmax(worst, std::fabs(got[k] - want[k]) / scale);
    }
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.3g", worst);
    RecordProperty("worst_relative_difference", shown);
    EXPECT_LT(worst, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FromFile,
    ::testing::Values(Case{"kinds", QX_FIXTURES "/strategy_kinds.toml", std::nullopt, no_edit},
                      Case{"lpv", QX_FIXTURES "/strategy_lpv.toml", std::nullopt, no_edit},
                      Case{"reactor", QX_EXAMPLES "/reactor.toml", std::nullopt, quiet_reactor},
                      Case{"column", QX_EXAMPLES "/column.toml", 600, quiet_column}),
    [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

TEST(StrategyFile, TheSameDataBuiltInCodeRunsTheSame) {
    const sf::Description text = sf::parse(R"(
[simulation]
sample_period_s = 1
samples = 300
[plant]
initial = { T = 20.0, V = 50.0 }
[plant.model.T]
V = { mode = "tf_s", num_s = [0.5], den_s = [10, 1], iodelay_s = 2 }
[loop.TC]
cv = "T"
mv = "V"
KP = 2.0
TI = 10.0
sp = [[20, 21.0]]
)", "minimal");
    qxdcs::Strategy a(qs::compile(text)), b(qs::compile(minimal()));
    EXPECT_EQ(a.signals(), b.signals());
    EXPECT_TRUE(qxtest::SameBits(a.run(), b.run()));
    qxdcs::Strategy c = qxdcs::Strategy::from_file(QX_FIXTURES "/strategy_lpv.toml");
    EXPECT_EQ(c.samples(), 300u);
}

TEST(StrategyFile, TheLiveTableIsNotPartOfTheRun) {
    const std::string file =
        "[simulation]\nsample_period_s = 1\nsamples = 50\n"
        "[plant.model.T]\nV = { mode = \"tf_s\", num_s = [1], den_s = [5, 1] }\n"
        "[loop.TC]\ncv = \"T\"\nmv = \"V\"\nKP = 1\nTI = 5\nsp = 1.0\n";
    const std::string live = "[live]\nnodes = { T = \"ns=2;s=TIC1.PV\" }\n"
                             "[live.loop.TC]\nfail_safe = 20.0\n";
    qxdcs::Strategy a(qs::compile(sf::parse(file, "a.toml")));
    qxdcs::Strategy b(qs::compile(sf::parse(file + live, "b.toml")));
    EXPECT_EQ(a.signals(), b.signals());
    EXPECT_TRUE(qxtest::SameBits(a.run(), b.run()));
}

TEST(StrategyFile, NamesTheKeyOfAMistake) {
    const std::string head = "[simulation]\nsample_period_s = 1\nsamples = 10\n"
                             "[plant.model.T]\nV = { mode = \"tf_z\", num_z = [1], den_z = [1] }\n";
    auto err = [&](const std::string &body) {
        return error_of([&] { qs::compile(sf::parse(head + body, "f.toml")); });
    };
    EXPECT_EQ(err("[loop.TC]\ncv = \"T\"\nmv = \"V\"\nKp = 2\nTI = 1\n"),
              "f.toml: loop.TC.Kp: unknown key 'Kp' (valid: description, cv, mv, KP, TI, TD, N, "
              "op_high, op_low, mode, mode_changes, sp, sp_rate_per_min, measurement_noise, "
              "noise_seed, feedforward)");
    EXPECT_EQ(err("[loop.TC]\ncv = \"T\"\nmv = \"V\"\nKP = \"2\"\nTI = 1\n"),
              "f.toml: loop.TC.KP: must be a number");
    EXPECT_EQ(err("[signal.X]\nkind = \"ramp\"\npoints = [[5, 1.0], [2, 0.0]]\n"),
              "f.toml: signal.X.points.1: times must not decrease");
    EXPECT_EQ(err("[signal.X]\nkind = \"wobble\"\n").rfind("f.toml: signal.X.kind: unknown kind "
                                                          "'wobble'", 0),
              0u);
    EXPECT_EQ(error_of([] { sf::parse("[simulation\n", "g.toml"); }).rfind("g.toml: not a TOML "
                                                                          "file", 0),
              0u);
    EXPECT_THROW(sf::read_file(QX_SCRATCH "/no-such-file.toml"), qxdcs::OSError);
}

#endif

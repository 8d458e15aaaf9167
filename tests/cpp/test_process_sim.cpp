// process_sim.hpp: model elements, the building rule and the MIMO simulator,
// against the Python module.
#include <memory>

#include <qxdcs/error.hpp>
#include <qxdcs/process_sim.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

namespace {

// The example model of the fixtures, built in code.
qxdcs::ModelDict example() {
    using qxdcs::ModelSpec;
    qxdcs::ModelDict m;
    m.add("CV1", "MV1", ModelSpec::tf_s({4.05}, {50, 1}, 25))
        .add("CV1", "MV2", ModelSpec::tf_z({0, 1, 0.5}, {1, -1.5, 0.7}))
        .add("CV2", "MV1", ModelSpec::tf_s({0, 5.39}, {50, 1}, 17))
        .add("CV2", "MV2", ModelSpec::step({0, 0, 1, 1, 0, 0, 4, 4, 4, 7, 8, 9, 4, 3, 3, 3, 4, 5,
                                            4, 3, 3, 3, 3}))
        .add("CV2", "MV3", ModelSpec::tf_s({0, 1}, {20, 1}, 2, true))
        .add("CV3", "MV3", ModelSpec::step_xy({0, 2.5, 6}, {0, 5, 4}))
        .add("CV3", "MV4", ModelSpec::tf_z({0.2}, {2, -1.6}, 3, true));
    return m;
}
const qxdcs::TagValues kIni = {{"CV1", 10.0}, {"CV2", -3.0}, {"MV1", 1.0}, {"MV3", 0.5},
                               {"MV4", -2.0}};

// A simulator of the elements the Python module built (the fixture's
// coefficients), or of the simulator's own where the fixture has none.
qxdcs::MimoSim with_recorded_elements(const Fixture &f, const std::string &name,
                                      const qxdcs::MimoSim &own) {
    std::vector<std::shared_ptr<qxdcs::ModelElement>> elements;
    for (std::size_t i = 0; i < own.n_cv(); ++i)
        for (std::size_t j = 0; j < own.n_mv(); ++j) {
            const std::string p = name + "." + std::to_string(i) + "." + std::to_string(j);
            if (f.has(p + ".Gz_num"))
                elements.push_back(std::make_shared<qxdcs::TfzModel>(
                    qxdcs::TfzModel::from_coefficients(f[p + ".Gz_num"], f[p + ".Gz_den"])));
            else
                elements.push_back(std::make_shared<qxdcs::NoModel>());
        }
    return qxdcs::MimoSim(own.cv_list(), own.mv_list(), std::move(elements), own.u_ini(),
                          own.y_ini(), own.Ts());
}

void run_schedule(const Fixture &f, const std::string &name, qxdcs::MimoSim &sim, double tol) {
    for (std::size_t k = 0; k < f.count(name + ".steps"); ++k) {
        SCOPED_TRACE(k);
        const std::vector<double> &u = f[name + ".u." + std::to_string(k)];
        for (std::size_t j = 0; j < u.size(); ++j)
            sim.set_mv(j, u[j]);
        const std::vector<double> &y = sim.step(f[name + ".v." + std::to_string(k)].data());
        const std::vector<double> &want = f[name + ".y." + std::to_string(k)];
        if (tol == 0.0)
            ASSERT_TRUE(qxtest::SameBits(y, want));
        else
            ASSERT_TRUE(qxtest::Near(y, want, tol));
    }
}

} // namespace

TEST(MimoSim, ExampleBitForBitOnThePythonElements) {
    const Fixture f("process_sim.txt");
    qxdcs::MimoSim own(example(), kIni, 1.0);
    ASSERT_EQ(own.cv_list(), (std::vector<std::string>{"CV1", "CV2", "CV3"}));
    ASSERT_EQ(own.mv_list(), (std::vector<std::string>{"MV1", "MV2", "MV3", "MV4"}));
    EXPECT_TRUE(qxtest::SameBits(own.u_ini(), f["ex.u_ini"]));
    // The elements that need no SciPy are the Python module's to the last bit.
    for (std::size_t i = 0; i < own.n_cv(); ++i)
        for (std::size_t j = 0; j < own.n_mv(); ++j) {
            const std::string p = "ex." + std::to_string(i) + "." + std::to_string(j);
            auto *e = own.element(i, j)->native_filter();
            ASSERT_EQ(e != nullptr, f.has(p + ".Gz_num")) << p;
            if (!e)
                continue;
            const bool continuous = dynamic_cast<qxdcs::TfsModel *>(e) != nullptr;
            if (continuous)
                EXPECT_TRUE(qxtest::Near(e->Gz_num(), f[p + ".Gz_num"], 1e-12)) << p;
            else
                EXPECT_TRUE(qxtest::SameBits(e->Gz_num(), f[p + ".Gz_num"])) << p;
        }
    qxdcs::MimoSim sim = with_recorded_elements(f, "ex", own);
    run_schedule(f, "ex", sim, 0.0);
    run_schedule(f, "ex", own, 1e-11);
}

TEST(MimoSim, TwentyByTwentyBitForBitOnThePythonElements) {
    const Fixture f("process_sim.txt");
    qxdcs::ModelDict m;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) {
            const std::vector<double> &s =
                f["sq." + std::to_string(i) + "." + std::to_string(j) + ".entry"];
            m.add("CV" + std::to_string(i + 1), "MV" + std::to_string(j + 1),
                  qxdcs::ModelSpec::tf_s({s[0]}, {s[1], s[2], s[3]}, s[4]));
        }
    qxdcs::MimoSim own(m, {}, 1.0);
    qxdcs::MimoSim sim = with_recorded_elements(f, "sq", own);
    run_schedule(f, "sq", sim, 0.0);
    run_schedule(f, "sq", own, 1e-11);
}

TEST(MimoSim, CallsByTagResetAndGetters) {
    qxdcs::MimoSim sim(example(), kIni, 1.0);
    qxdcs::TagValues y = sim();
    EXPECT_EQ(y, (qxdcs::TagValues{{"CV1", 10.0}, {"CV2", -3.0}, {"CV3", 0.0}}));
    y = sim({{"MV3", 1.5}, {"nobody", 9.0}}, {{"CV1", 5.0}, {"nobody", 1.0}});
    EXPECT_EQ(y[0].second, 15.0);  // a disturbance of this call only
    EXPECT_EQ(sim.input_data()[2], (std::pair<std::string, double>{"MV3", 1.5}));
    EXPECT_EQ(sim()[0].second, 10.0);
    for (int k = 0; k < 40; ++k)
        sim({{"MV1", 3.0}, {"MV2", double(k % 5)}});
    sim.reset();
    EXPECT_EQ(sim.output_data(), (qxdcs::TagValues{{"CV1", 10.0}, {"CV2", -3.0}, {"CV3", 0.0}}));
    EXPECT_EQ(sim(), sim.output_data());  // at rest: nothing moves
    qxdcs::MimoSim fresh(example(), kIni, 1.0);
    for (int k = 0; k < 20; ++k)
        EXPECT_EQ(sim({{"MV2", 1.0}}), fresh({{"MV2", 1.0}}));
    EXPECT_EQ(sim.process_tags().size(), 7u);
    EXPECT_FALSE(sim.set_mv("CV1", 1.0));
}

TEST(MimoSim, AllDataAndTagsInBoth) {
    qxdcs::ModelDict m;
    m.add("A", "B", qxdcs::ModelSpec::step({2.0})).add("B", "A", qxdcs::ModelSpec::step({1.0}));
    qxdcs::MimoSim sim(m, {{"A", 1.0}, {"B", 1.0}});
    sim({{"B", 3.0}, {"A", 2.0}});
    // MVs first (B, A), then CVs; a tag in both holds its CV value.
    EXPECT_EQ(sim.all_data(), (qxdcs::TagValues{{"B", 2.0}, {"A", 5.0}}));
}

TEST(ModelElements, TheirResponses) {
    qxdcs::StpModel stp;
    std::vector<double> y;
    for (int k = 0; k < 8; ++k)
        y.push_back(stp.delta_u_sim(2.0));
    EXPECT_EQ(y, (std::vector<double>{1, 2, 4, 6, 8, 10, 10, 10}));
    qxdcs::TfzModel tfz;
    y.clear();
    for (int k = 0; k < 5; ++k)
        y.push_back(tfz.step(1.0));
    EXPECT_TRUE(qxtest::Near(y, {0, 1, 3, 5.3, 7.35}, 1e-15));
    qxdcs::TfzModel late({0, 1, 0.5}, {1, -1.5, 0.7}, 3);
    EXPECT_EQ(late.zi().size(), 5u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(late.step(1.0), 0.0);
    EXPECT_EQ(late.step(1.0), 0.0);
    EXPECT_EQ(late.step(1.0), 1.0);
    qxdcs::TfzModel scaled({2, 0}, {2, -1}), unit({1, 0}, {1, -0.5});
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(scaled.step(1.0), unit.step(1.0));
    EXPECT_EQ(qxdcs::StpxyModel::response({1, 2, 3}, {10, 20, 30}),
              (std::vector<double>{10, 10, 20, 30}));
    EXPECT_EQ(qxdcs::StpxyModel::response({0, 2.5}, {0, 5}), (std::vector<double>{0, 2, 4, 5}));
    tfz.reset_zi();
    EXPECT_TRUE(tfz.at_rest());
    EXPECT_EQ(tfz.step(1.0), 0.0);
    EXPECT_EQ(qxdcs::NoModel().delta_u_sim(3.0), 0.0);
}

TEST(ModelElements, BuildingRule) {
    auto run = [](const qxdcs::ModelSpec &s, int n) {
        auto e = qxdcs::build_element(s, 1.0);
        std::vector<double> y;
        for (int k = 0; k < n; ++k)
            y.push_back(e->delta_u_sim(1.0));
        return y;
    };
    EXPECT_EQ(run(qxdcs::ModelSpec::step({1, 1, 1}, true), 4), (std::vector<double>{1, 2, 3, 3}));
    EXPECT_EQ(run(qxdcs::ModelSpec::tf_z({0, 1}, {1}, 0, true), 4),
              (std::vector<double>{0, 1, 2, 3}));
    EXPECT_EQ(run(qxdcs::ModelSpec::none(), 2), (std::vector<double>{0, 0}));
    qxdcs::ModelSpec only_mark;
    only_mark.integral = true;
    EXPECT_NE(dynamic_cast<qxdcs::NoModel *>(qxdcs::build_element(only_mark, 1.0).get()), nullptr);
    const std::vector<double> ramp = run(qxdcs::ModelSpec::tf_s({1}, {1, 1}, 0, true), 60);
    EXPECT_GT(ramp.back(), 55.0);  // an integrator ramps without bound
}

TEST(ModelElements, Errors) {
    EXPECT_THROW(qxdcs::TfzModel({1}, {1}, -1), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::TfzModel({}, {1}), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::TfzModel({1}, {0, 1}), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::StpxyModel({1, 2}, {1}), qxdcs::AssertionError);
    EXPECT_THROW(qxdcs::TfsModel({0}, {1, 1}), qxdcs::IndexError);
    EXPECT_THROW(qxdcs::TfsModel({1}, {1, 1}, 1, 0), qxdcs::ZeroDivisionError);
    qxdcs::ModelDict bad;
    bad.add("CV", "MV1", qxdcs::ModelSpec::step({1})).add("CV", "MV2", qxdcs::ModelSpec::step({}));
    EXPECT_THROW(qxdcs::MimoSim(bad, {}), qxdcs::ValueError);
}

TEST(ModelDict, TagsInTheSimulatorsOrder) {
    qxdcs::ModelDict m;
    m.add("CV1", "MV1", {}).add("CV1", "MV2", {}).add("CV2", "MV3", {}).add("CV2", "MV1", {});
    m.add_cv("CV3");
    EXPECT_EQ(m.cv_tags(), (std::vector<std::string>{"CV1", "CV2", "CV3"}));
    EXPECT_EQ(m.mv_tags(), (std::vector<std::string>{"MV1", "MV2", "MV3"}));
    m.add("CV1", "MV2", qxdcs::ModelSpec::step({1}));  // replaced in place
    EXPECT_EQ(m.rows()[0].models[1].second.mode, qxdcs::ModelSpec::Mode::Stp);
}

TEST(SisoSim, FirstOrderLag) {
    qxdcs::MimoSim s = qxdcs::siso_sim(1, 1, 0, 1);
    EXPECT_EQ(s({{"MV", 1.0}})[0].second, 0.0);
    EXPECT_NEAR(s({{"MV", 1.0}})[0].second, 1 - std::exp(-1.0), 1e-15);
    EXPECT_NEAR(s({{"MV", 1.0}})[0].second, 1 - std::exp(-2.0), 1e-15);
}

namespace {
// A caller's own element: runs through its delta_u_sim.
struct Doubler : qxdcs::ModelElement {
    int calls = 0;
    double delta_u_sim(double dU) override {
        ++calls;
        return 2.0 * dU;
    }
};
} // namespace

TEST(MisoSimulator, CallersElements) {
    auto d = std::make_shared<Doubler>();
    auto s = std::make_shared<qxdcs::StpModel>(std::vector<double>{1.0});
    qxdcs::MisoSimulator miso({d, s}, {1.0, 0.0});
    EXPECT_EQ(miso.one_step_sim({3.0, 5.0}), 4.0 + 5.0);
    EXPECT_EQ(miso.one_step_sim({3.0}), 4.0);  // as many as there are values
    EXPECT_EQ(d->calls, 2);
    qxdcs::MimoSim sim({"CV"}, {"MV"}, {d}, {1.0}, {10.0});
    EXPECT_EQ(sim({{"MV", 2.0}})[0].second, 12.0);
    EXPECT_THROW(qxdcs::MimoSim({"CV"}, {"MV"}, {}, {1.0}, {10.0}), qxdcs::ValueError);
}

// The owner's walk: holds(j) is asked once for each package element, in
// order, just before it steps; an element that no longer holds, and every
// element of another kind, goes to other(j, dU) with the same deviation.
TEST(MisoSimulator, OwnersWalk) {
    auto d = std::make_shared<Doubler>();
    auto f = std::make_shared<qxdcs::TfzModel>(std::vector<double>{0.5}, std::vector<double>{1.0, -0.5});
    auto twin = std::make_shared<qxdcs::TfzModel>(std::vector<double>{0.5}, std::vector<double>{1.0, -0.5});
    auto z = std::make_shared<qxdcs::NoModel>();
    qxdcs::MisoSimulator miso({f, d, z, f}, {1.0, 1.0, 1.0, 2.0});
    const std::vector<double> u{3.0, 3.0, 3.0, 3.0};

    std::vector<std::size_t> asked;
    std::vector<std::pair<std::size_t, double>> handed;
    auto holds = [&](std::size_t j) {
        asked.push_back(j);
        return j != 3;  // the last element no longer is what it was built as
    };
    auto other = [&](std::size_t j, double dU) {
        handed.emplace_back(j, dU);
        return j == 1 ? 10.0 : twin->step(dU);
    };
    const double y = miso.one_step_sim(u.data(), u.size(), holds, other);
    EXPECT_EQ(asked, (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(handed, (std::vector<std::pair<std::size_t, double>>{{1, 2.0}, {3, 1.0}}));
    qxdcs::TfzModel ref(std::vector<double>{0.5}, std::vector<double>{1.0, -0.5});
    const double first = ref.step(2.0);
    EXPECT_EQ(y, ((0.0 + first) + 10.0) + 0.0 + 0.5);
    EXPECT_FALSE(f->at_rest());
    EXPECT_EQ(d->calls, 0);  // other() stood in for it
}

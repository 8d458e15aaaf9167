// lpv_plant.hpp: the LPV plant against the Python module, and its plant list.
#include <memory>

#include <qxdcs/error.hpp>
#include <qxdcs/lpv_plant.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

namespace {

const qxdcs::TagValues kIni = {{"CV1", 10.0}, {"CV2", -3.0}, {"MV1", 1.0}, {"MV2", 0.5}};

// A local plant of the elements the Python module built for plant k.
std::shared_ptr<qxdcs::MimoSim> recorded_plant(const Fixture &f, std::size_t k,
                                               const qxdcs::LpvPlant &lpv) {
    using qxdcs::ModelSpec;
    qxdcs::ModelDict m;  // only for the tags and the kinds of element
    m.add("CV1", "MV1", ModelSpec::step({1})).add("CV1", "MV2", ModelSpec::step({1}));
    m.add("CV2", "MV1", ModelSpec::step({1})).add("CV2", "MV2", ModelSpec::step({1}));
    std::vector<std::shared_ptr<qxdcs::ModelElement>> el;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            const std::string p = "plant." + std::to_string(k) + "." + std::to_string(i) + "." +
                                  std::to_string(j);
            el.push_back(std::make_shared<qxdcs::TfzModel>(
                qxdcs::TfzModel::from_coefficients(f[p + ".Gz_num"], f[p + ".Gz_den"])));
        }
    const qxdcs::TagValues ini = lpv.local_initial_values({"CV1", "CV2"});
    return std::make_shared<qxdcs::MimoSim>(
        std::vector<std::string>{"CV1", "CV2"}, std::vector<std::string>{"MV1", "MV2"},
        std::move(el),
        std::vector<double>{qxdcs::initial_value(ini, "MV1"), qxdcs::initial_value(ini, "MV2")},
        std::vector<double>{0.0, 0.0});
}

} // namespace

TEST(LpvPlant, BitForBitWithThePythonModule) {
    const Fixture f("lpv_plant.txt");
    qxdcs::LpvPlant lpv(kIni);
    // Added in another order than their working points: the list is sorted.
    for (std::size_t k : {2u, 0u, 1u}) {
        const std::vector<double> &p = f["plant." + std::to_string(k)];
        lpv.add_plant((long long)p[0], p[1], recorded_plant(f, k, lpv));
    }
    ASSERT_EQ(lpv.plant_list().size(), 3u);
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_EQ(lpv.plant_list()[k].working_point, f["plant." + std::to_string(k)][1]);
    EXPECT_EQ(lpv.output_data(), (qxdcs::TagValues{{"CV1", 10.0}, {"CV2", -3.0}}));
    for (std::size_t k = 0; k < f.count("steps"); ++k) {
        SCOPED_TRACE(k);
        const std::vector<double> &in = f["in." + std::to_string(k)];
        qxdcs::TagValues v;
        if (in[3] != 0.0)
            v.emplace_back("CV2", in[3]);
        const qxdcs::TagValues y = lpv(in[0], {{"MV1", in[1]}, {"MV2", in[2]}, {"nobody", 1.0}}, v);
        ASSERT_TRUE(qxtest::SameBits({y[0].second, y[1].second}, f["y." + std::to_string(k)]));
        std::vector<double> w;
        for (auto [id, weight] : lpv.current_plant_weights())
            w.push_back(weight);
        ASSERT_TRUE(qxtest::SameBits(w, f["weight." + std::to_string(k)]));
    }
    EXPECT_EQ(lpv.mv_list(), (std::vector<std::string>{"MV1", "MV2"}));
}

TEST(LpvPlant, WeightsReplacementAndErrors) {
    using qxdcs::ModelSpec;
    qxdcs::ModelDict a, b;
    a.add("Y", "U", ModelSpec::step({1.0}));
    b.add("Y", "U", ModelSpec::step({3.0}));
    qxdcs::LpvPlant lpv({{"Y", 100.0}});
    EXPECT_THROW(lpv(1.0), qxdcs::ValueError);  // no plants
    lpv.add_plant(1, 0.0, a);
    lpv.add_plant(2, 10.0, b);
    lpv(2.5, {{"U", 1.0}});
    EXPECT_EQ(lpv.current_plant_weights(),
              (std::vector<std::pair<long long, double>>{{1, 0.75}, {2, 0.25}}));
    EXPECT_DOUBLE_EQ(lpv.outputs()[0], 100.0 + 0.75 * 1 + 0.25 * 3);
    lpv(10.0);
    EXPECT_EQ(lpv.current_plant_weights()[1].second, 1.0);
    lpv(-5.0);
    EXPECT_EQ(lpv.current_plant_weights()[0].second, 1.0);
    EXPECT_THROW(lpv(std::nan("")), qxdcs::ValueError);
    EXPECT_EQ(lpv.working_value(), -5.0);  // a refused call changes nothing
    lpv.add_plant(3, 10.0, a);  // the same working point: the older plant goes
    ASSERT_EQ(lpv.plant_list().size(), 2u);
    EXPECT_EQ(lpv.plant_list()[1].plant_id, 3);
    lpv.add_plant(1, 5.0, b);  // the same identifier: replaced
    EXPECT_EQ(lpv.plant_list()[0].working_point, 5.0);
    lpv.del_plant(42);
    EXPECT_EQ(lpv.plant_list().size(), 2u);
    qxdcs::ModelDict c;
    c.add("Z", "U", ModelSpec::step({1.0}));
    lpv.add_plant(4, 20.0, c);  // a plant with a CV the others lack
    EXPECT_THROW(lpv(12.0), qxdcs::KeyError);  // Y of the plant at 10 is not one at 20
    lpv.del_plant(4);
    EXPECT_EQ(lpv.cv_list(), (std::vector<std::string>{"Y", "Z"}));  // tags stay
    qxdcs::ModelDict broken;
    broken.add("Y", "U", ModelSpec::tf_z({1}, {0}));
    EXPECT_THROW(lpv.add_plant(3, 10.0, broken), qxdcs::ValueError);
    EXPECT_EQ(lpv.plant_list().size(), 2u);  // the plant it would replace is kept
}

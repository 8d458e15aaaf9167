// model_json.hpp: model dictionaries read from JSON.
#include <qxdcs/config.hpp>

#include <gtest/gtest.h>

#if QXDCS_HAS_JSON

#include <filesystem>
#include <fstream>

#include <qxdcs/error.hpp>
#include <qxdcs/model_json.hpp>

namespace {

std::string message(const std::string &text) {
    try {
        qxdcs::parse_model_json(text, "", "m.json");
    } catch (const std::exception &e) {
        return e.what();
    }
    return "no error";
}

} // namespace

TEST(ModelJson, EveryModeInTheFilesOrder) {
    const qxdcs::ModelDict m = qxdcs::parse_model_json(R"({
        "CV2": {"MV9": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25,
                        "ignored": "x"},
                "MV1": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7],
                        "iodelay_z": 2, "IntegralMark": 1}},
        "CV1": {"MV1": {"mode": "stp", "stp": [0, 1, 2]},
                "MV3": {"mode": "stpxy", "x": [0, 2.5], "y": [0, 5], "IntegralMark": "yes"},
                "MV4": {"mode": "None", "num_s": [1]},
                "MV5": {},
                "MV6": {"IntegralMark": 1}},
        "CV3": {}})");
    EXPECT_EQ(m.cv_tags(), (std::vector<std::string>{"CV2", "CV1", "CV3"}));
    EXPECT_EQ(m.mv_tags(), (std::vector<std::string>{"MV9", "MV1", "MV3", "MV4", "MV5", "MV6"}));
    using Mode = qxdcs::ModelSpec::Mode;
    const qxdcs::ModelSpec *s = m.find("CV2", "MV9");
    EXPECT_EQ(s->mode, Mode::TfS);
    EXPECT_EQ(s->iodelay_s, 25.0);
    s = m.find("CV2", "MV1");
    EXPECT_EQ(s->mode, Mode::TfZ);
    EXPECT_EQ(s->iodelay_z, 2);
    EXPECT_TRUE(s->integral);
    EXPECT_EQ(m.find("CV1", "MV1")->stp, (std::vector<double>{0, 1, 2}));
    EXPECT_TRUE(m.find("CV1", "MV3")->integral);
    for (const char *mv : {"MV4", "MV5", "MV6"})
        EXPECT_EQ(m.find("CV1", mv)->mode, Mode::None) << mv;
    qxdcs::MimoSim sim(m, {{"CV1", 1.0}});
    EXPECT_EQ(sim.n_cv(), 3u);
}

TEST(ModelJson, AFileAndAPartOfIt) {
    const std::string path = std::string(QX_SCRATCH) + "/plant.json";
    std::filesystem::create_directories(QX_SCRATCH);
    std::ofstream(path) << R"({"Ts": 1, "model": {"Y": {"U": {"mode": "stp", "stp": [2]}}}})";
    const qxdcs::ModelDict m = qxdcs::read_model_json(path, "/model");
    EXPECT_EQ(m.find("Y", "U")->stp, (std::vector<double>{2}));
    EXPECT_THROW(qxdcs::read_model_json(path, "/nothing"), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::read_model_json(path + ".missing"), qxdcs::OSError);
}

TEST(ModelJson, ErrorsNameWhatAndWhere) {
    EXPECT_EQ(message(R"({"CV": {"MV": {"mode": "tf_s", "den_s": [1, 1]}}})"),
              "m.json: CV.MV: 'num_s'");
    EXPECT_EQ(message(R"({"CV": {"MV": {"mode": "tf_s", "num_s": [1, "a"], "den_s": [1]}}})"),
              "m.json: CV.MV.num_s[1]: expected a number, got str");
    EXPECT_EQ(message(R"({"CV": {"MV": {"mode": "tf_z", "num_z": [1], "den_z": [1],
                                        "iodelay_z": 2.0}}})"),
              "m.json: CV.MV.iodelay_z: expected a whole number of samples (int), got float");
    EXPECT_EQ(message(R"([1, 2])"),
              "m.json: Argument 'process_model_dict' has incorrect type (expected dict, got list)");
    EXPECT_EQ(message(R"({"CV": [1]})"),
              "m.json: CV: expected a dict of MV tag -> model entry, got list");
    EXPECT_THROW(qxdcs::parse_model_json(R"({"CV": {"MV": {"mode": "tf"}}})"),
                 qxdcs::AssertionError);
    EXPECT_THROW(qxdcs::parse_model_json(R"({"CV": {"MV": {"mode": "stp"}}})"), qxdcs::KeyError);
    EXPECT_THROW(qxdcs::parse_model_json("{oops"), qxdcs::ValueError);
}

#else

TEST(ModelJson, NotBuilt) { GTEST_SKIP() << "built without nlohmann_json"; }

#endif

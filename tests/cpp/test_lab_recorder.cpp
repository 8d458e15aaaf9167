// lab_recorder.hpp: new laboratory results appended to the CSV file.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <qxdcs/error.hpp>
#include <qxdcs/lab_recorder.hpp>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::string scratch(const std::string &name) {
    const fs::path dir = fs::path(QX_SCRATCH) / name;
    fs::remove_all(dir);
    return dir.string();
}

std::vector<std::string> lines_of(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

} // namespace

TEST(LabDataRecorder, WritesEachSettledValueOnce) {
    const std::string dir = scratch("settled") + "/new/folder";
    qxdcs::LabDataRecorder r("AI301", 1e-6, 2, dir);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(r.csv_file(), (fs::path(dir) / "AI301_Raw_LabData.csv").string());
    std::vector<bool> written;
    for (double v : {5.0, 5.0, 7.0, 7.0, 7.0, 7.0})
        written.push_back(r.run(v, 1.7e9 + 0.75));
    EXPECT_EQ(written, (std::vector<bool>{false, false, false, false, true, false}));
    const std::vector<std::string> lines = lines_of(r.csv_file());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ExportTime,LabTime,LabData");
    EXPECT_EQ(lines[1].size(), 19u + 1 + 19 + 1 + 3);
    EXPECT_EQ(lines[1].substr(40), "7.0");
    r.export_lab_data_csv(1e-7, 1.7e9);  // directly: always written, no second header
    EXPECT_EQ(lines_of(r.csv_file()).back().substr(40), "1e-07");
}

TEST(LabDataRecorder, ThresholdsAndConstLen) {
    const std::string dir = scratch("thresholds");
    qxdcs::LabDataRecorder now("now", 1e-6, 0, dir);
    EXPECT_FALSE(now.run(1.0, 1.7e9));
    EXPECT_TRUE(now.run(2.0, 1.7e9));  // const_len 0: written where it first appears
    qxdcs::LabDataRecorder small("small", 0.5, 0, dir);
    small.run(1.0, 1.7e9);
    EXPECT_FALSE(small.run(1.25, 1.7e9));  // below the threshold: never
    EXPECT_FALSE(small.run(1.25, 1.7e9));
    qxdcs::LabDataRecorder every("every", 0.0, 1, dir);
    EXPECT_TRUE(every.run(3.0, 1.7e9));  // a threshold of 0: the first call too
}

TEST(LabDataRecorder, Errors) {
    const std::string dir = scratch("errors");
    EXPECT_THROW(qxdcs::LabDataRecorder("a/b", 1e-6, 2, dir), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::LabDataRecorder("..", 1e-6, 2, dir), qxdcs::ValueError);
    qxdcs::LabDataRecorder r("x", 1e-6, 0, dir);
    try {
        r.run(std::nan(""), 1.0);
        FAIL();
    } catch (const qxdcs::ValueError &e) {
        EXPECT_EQ(std::string(e.what()), "x LabDataRecorder: lab_data is not finite!");
    }
    EXPECT_TRUE(r.window().empty());
    // A file that cannot be written: the value is offered again by the next call.
    r.run(1.0, 1.7e9);
    fs::create_directory(r.csv_file());  // a folder where the file should be
    EXPECT_THROW(r.run(2.0, 1.7e9), qxdcs::OSError);
    fs::remove(r.csv_file());
    EXPECT_TRUE(r.run(2.0, 1.7e9));
    // A file in the way of the folder.
    std::ofstream(dir + "/plain") << "x";
    EXPECT_THROW(qxdcs::LabDataRecorder("y", 1e-6, 0, dir + "/plain/sub"), qxdcs::OSError);
}

// filter.hpp (and its kernel tdf2_filter.hpp): ZFilter and SFilter against
// the Python module's outputs.
#include <qxdcs/error.hpp>
#include <qxdcs/filter.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

namespace {

std::optional<double> maybe(double v) {
    return std::isnan(v) ? std::nullopt : std::optional<double>(v);
}

} // namespace

TEST(ZFilter, BitForBitWithThePythonModule) {
    const Fixture f("filters.txt");
    const std::vector<double> &u = f["u"];
    for (std::size_t k = 0; k < f.count("zcases"); ++k) {
        const std::string c = "z." + std::to_string(k);
        SCOPED_TRACE(c);
        const std::vector<double> &op = f[c + ".op"];
        qxdcs::ZFilter zf(f[c + ".Bz"], f[c + ".Az"], maybe(op[0]), maybe(op[1]));
        std::vector<double> y;
        for (double x : u)
            y.push_back(zf(x, 0.25));
        EXPECT_TRUE(qxtest::SameBits(y, f[c + ".y"]));
        EXPECT_TRUE(qxtest::SameBits(zf.zi(), f[c + ".zi"]));
        if (f.has(c + ".block")) {
            qxdcs::ZFilter block(f[c + ".Bz"], f[c + ".Az"], maybe(op[0]), maybe(op[1]));
            std::vector<double> yb = block.run_multistep({u.begin(), u.begin() + 10}, 0.25);
            const std::vector<double> rest = block.run_multistep({u.begin() + 10, u.end()});
            yb.insert(yb.end(), rest.begin(), rest.end());
            EXPECT_TRUE(qxtest::SameBits(yb, f[c + ".block"]));
            EXPECT_TRUE(qxtest::SameBits(yb, y));
        }
    }
}

TEST(ZFilter, OperatingPointFromTheFirstCall) {
    qxdcs::ZFilter zf;  // 0.1 z^-1 / (1 - 0.9 z^-1)
    EXPECT_EQ(zf(7.0), 0.0);
    EXPECT_EQ(*zf.u_ini(), 7.0);
    EXPECT_EQ(*zf.y_ini(), 0.0);
    EXPECT_DOUBLE_EQ(zf(8.0, 99.0), 0.0);  // a later y_ini has no effect
    EXPECT_DOUBLE_EQ(zf(8.0), 0.1);
    qxdcs::ZFilter at(std::vector<double>{0, 0.1}, {1, -0.9}, 10.0, 3.0);
    EXPECT_EQ(at(11.0), 3.0);
    EXPECT_DOUBLE_EQ(at(11.0), 3.1);
    EXPECT_DOUBLE_EQ(at(11.0), 3.19);
    qxdcs::ZFilter gain(std::vector<double>{2}, {1});
    EXPECT_EQ(gain.state_size(), 0u);
    EXPECT_EQ(gain(1.0, 5.0), 5.0);
    EXPECT_EQ(gain(4.0), 11.0);
}

TEST(ZFilter, RefusedCoefficientsAndBlocks) {
    auto message = [](auto f) {
        try {
            f();
        } catch (const qxdcs::ValueError &e) {
            return std::string(e.what());
        } catch (const qxdcs::IndexError &e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([] { qxdcs::ZFilter(std::vector<double>{1}, {}); }),
              "There must be at least one `a` coefficient.");
    EXPECT_EQ(message([] { qxdcs::ZFilter(std::vector<double>{1}, {0, 1}); }),
              "First `a` filter coefficient must be non-zero.");
    qxdcs::ZFilter empty(std::vector<double>{}, {1});
    EXPECT_EQ(message([&] { empty(1.0); }),
              "Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
    qxdcs::ZFilter fresh;
    EXPECT_EQ(message([&] { fresh.run_multistep({}); }),
              "index 0 is out of bounds for axis 0 with size 0");
    EXPECT_FALSE(fresh.u_ini().has_value());  // nothing changed
    EXPECT_EQ(message([&] { fresh.set_zi({1, 2}); }), "_zi must hold 1 values");
}

TEST(SFilter, DiscretisedAsScipyAndRunBitForBitOnItsCoefficients) {
    const Fixture f("filters.txt");
    const std::vector<double> &u = f["u"];
    for (std::size_t k = 0; k < f.count("scases"); ++k) {
        const std::string c = "s." + std::to_string(k);
        SCOPED_TRACE(c);
        qxdcs::SFilter sf(f[c + ".Bs"], f[c + ".As"], f.scalar(c + ".Ts"));
        EXPECT_TRUE(qxtest::Near(sf.zfilter().Bz(), f[c + ".Bz"], 1e-12));
        EXPECT_TRUE(qxtest::Near(sf.zfilter().Az(), f[c + ".Az"], 1e-12));
        // On the coefficients the Python module got from SciPy, the outputs
        // are the same to the last bit.
        qxdcs::SFilter same(f[c + ".Bs"], f[c + ".As"], f.scalar(c + ".Ts"),
                            qxdcs::ZFilter(f[c + ".Bz"], f[c + ".Az"]));
        std::vector<double> y, y_own;
        for (double x : u) {
            y.push_back(same(x));
            y_own.push_back(sf(x));
        }
        EXPECT_TRUE(qxtest::SameBits(y, f[c + ".y"]));
        EXPECT_TRUE(qxtest::Near(y_own, f[c + ".y"], 1e-11));
    }
}

TEST(SFilter, DefaultLagStartsOneSampleLate) {
    qxdcs::SFilter sf;  // 1/(5s + 1), Ts 1
    EXPECT_EQ(sf(0.0), 0.0);
    EXPECT_EQ(sf(1.0), 0.0);
    EXPECT_NEAR(sf(1.0), 1 - std::exp(-0.2), 1e-15);
    for (int k = 0; k < 200; ++k)
        sf(1.0);
    EXPECT_NEAR(sf(1.0), 1.0, 1e-12);
}

// lead_lag.hpp: the lead-lag block, its parameter changes and errors.
#include <qxdcs/error.hpp>
#include <qxdcs/lead_lag.hpp>

#include "fixture.hpp"

using qxtest::Fixture;

TEST(LeadLag, AgreesWithThePythonModuleThroughParameterChanges) {
    const Fixture f("filters.txt");
    const std::vector<double> &u = f["u"];
    for (std::size_t k = 0; k < f.count("lcases"); ++k) {
        const std::string c = "ld." + std::to_string(k);
        SCOPED_TRACE(c);
        const std::vector<double> &p = f[c + ".params"];
        qxdcs::LeadLag ld(p[0], p[1], p[2]);
        EXPECT_TRUE(qxtest::Near(ld.b(), f[c + ".b"], 1e-12));
        EXPECT_TRUE(qxtest::Near(ld.a(), f[c + ".a"], 1e-12));
        std::vector<double> y;
        for (std::size_t n = 0; n < u.size(); ++n) {
            if (n == 30) {
                ld.set_tao(p[1] + 3.0);
                EXPECT_TRUE(qxtest::Near(ld.b(), f[c + ".b30"], 1e-12));
            }
            if (n == 45) {
                ld.set_alpha(p[0] + 0.25);
                EXPECT_TRUE(qxtest::Near(ld.a(), f[c + ".a45"], 1e-12));
            }
            y.push_back(ld(u[n]));
        }
        EXPECT_TRUE(qxtest::Near(y, f[c + ".y"], 1e-11));
    }
}

TEST(LeadLag, StepResponses) {
    qxdcs::LeadLag lag;  // alpha 0, tao 5, Ts 1
    EXPECT_EQ(lag(0.0), 0.0);
    EXPECT_NEAR(lag(1.0), 1 - std::exp(-0.2), 1e-14);
    EXPECT_NEAR(lag(1.0), 1 - std::exp(-0.4), 1e-14);
    qxdcs::LeadLag lead(0.5);
    lead(0.0);
    EXPECT_NEAR(lead(1.0), 0.5, 1e-14);
    EXPECT_NEAR(lead(1.0), 1 - 0.5 * std::exp(-0.2), 1e-14);
    qxdcs::LeadLag pass(0.3, 0.0);
    EXPECT_EQ(pass(4.25), 4.25);
    qxdcs::LeadLag first(2.0, 10.0);
    EXPECT_NEAR(first(3.0), 3.0, 1e-14);  // starts in steady state at its input
}

TEST(LeadLag, ChangesWithoutAJump) {
    qxdcs::LeadLag ld(0.0, 5.0);
    for (int k = 0; k < 50; ++k)
        ld(2.0);
    ld.set_tao(10.0);
    EXPECT_NEAR(ld(2.0), 2.0, 1e-12);
    const std::vector<double> before = ld.b();
    ld.set_tao(10.0);  // the same value: nothing is recomputed
    EXPECT_EQ(ld.b(), before);
    EXPECT_THROW(ld.set_alpha(-1.0), qxdcs::ValueError);
    EXPECT_EQ(ld.alpha(), 0.0);
    EXPECT_THROW(qxdcs::LeadLag(-1.0, 5.0), qxdcs::ValueError);
    EXPECT_THROW(qxdcs::LeadLag(0.0, -5.0), qxdcs::ValueError);
}

TEST(LeadLag, CoefficientsFromTheCallersDesigner) {
    const Fixture f("filters.txt");
    const std::vector<double> &u = f["u"];
    // With SciPy's coefficients (as the Python module gets them) the outputs
    // agree to the last bit, parameter changes included.
    const std::string c = "ld.1";
    const std::vector<double> &p = f[c + ".params"];
    qxdcs::LeadLag ld(p[0], p[1], p[2]);
    ld.restore(f[c + ".b"], f[c + ".a"], std::nullopt, ld.last());
    int designed = 0;
    ld.set_designer([&](double, double, double, std::vector<double> &b, std::vector<double> &a) {
        b = f[c + (designed == 0 ? ".b30" : ".b45")];
        a = f[c + (designed == 0 ? ".a30" : ".a45")];
        ++designed;
    });
    std::vector<double> y;
    for (std::size_t n = 0; n < u.size(); ++n) {
        if (n == 30)
            ld.set_tao(p[1] + 3.0);
        if (n == 45)
            ld.set_alpha(p[0] + 0.25);
        y.push_back(ld(u[n]));
    }
    EXPECT_EQ(designed, 2);
    EXPECT_TRUE(qxtest::SameBits(y, f[c + ".y"]));
}

TEST(LeadLag, BlocksAndOperatingPoint) {
    qxdcs::LeadLag a(0.5, 4.0), b(0.5, 4.0);
    const std::vector<double> block = a.multi_step({1.0, 2.0, 3.0});
    EXPECT_EQ(block, (std::vector<double>{b(1.0), b(2.0), b(3.0)}));
    EXPECT_EQ(a(4.0), b(4.0));
    qxdcs::LeadLag empty;
    EXPECT_THROW(empty.multi_step({}), qxdcs::IndexError);
    qxdcs::LeadLag at(0.0, 5.0, 1.0, 1.0, 3.0);  // as if the last input was 1 and output 3
    ASSERT_TRUE(at.zi().has_value());
    EXPECT_LT(at(1.0), 3.0);
}

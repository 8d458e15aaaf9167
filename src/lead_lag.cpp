#include "qxdcs/lead_lag.hpp"

#include <utility>

#include "qxdcs/c2d.hpp"
#include "qxdcs/error.hpp"

namespace qxdcs {

void LeadLag::design(double alpha, double tao, double Ts, std::vector<double> &b,
                     std::vector<double> &a) {
    LeadLagForm form;
    try {
        form = lead_lag_form(alpha, tao);
    } catch (const std::domain_error &) {
        throw ValueError("LDLAG needs alpha >= 0 and tao >= 0");
    }
    if (form == LeadLagForm::PassThrough) {
        b = {1.0};
        a = {1.0};
        return;
    }
    if (form == LeadLagForm::Lag) {
        DiscreteTf d = cont2discrete_zoh({1.0}, {tao, 1.0}, Ts);
        // [0, b1]: the leading zero is dropped, so the filter answers in the
        // sample of its input.
        b.assign(d.num.begin() + 1, d.num.end());
        a = std::move(d.den);
        return;
    }
    DiscreteTf d = cont2discrete_zoh({alpha * tao, 1.0}, {tao, 1.0}, Ts);
    b = std::move(d.num);
    a = std::move(d.den);
}

LeadLag::LeadLag(double alpha, double tao, double Ts, std::optional<double> u_ini,
                 std::optional<double> y_ini)
    : alpha_(alpha), tao_(tao), ts_(Ts) {
    last_.u_known = u_ini.has_value();
    last_.y_known = y_ini.has_value();
    last_.u = u_ini.value_or(0.0);
    last_.y = y_ini.value_or(0.0);
    change(alpha, tao);
}

std::vector<double> LeadLag::steady_state(double u) const {
    std::vector<double> z(kernel_.state_size());
    state_after(b_.data(), b_.size(), a_.data(), a_.size(), u, u, z.data());
    return z;
}

// New coefficients for (alpha, tao), then the state from the last input and
// output; nothing changes when the design fails.
void LeadLag::change(double alpha, double tao) {
    std::vector<double> b, a;
    if (designer_)
        designer_(alpha, tao, ts_, b, a);
    else
        design(alpha, tao, ts_, b, a);
    Tdf2Filter k(b.data(), b.size(), a.data(), a.size());
    std::optional<std::vector<double>> zi;
    if (last_.known()) {
        zi.emplace(k.state_size());
        state_after(b.data(), b.size(), a.data(), a.size(), last_.u, last_.y, zi->data());
    }
    alpha_ = alpha;
    tao_ = tao;
    b_ = std::move(b);
    a_ = std::move(a);
    kernel_ = k;
    zi_ = std::move(zi);
}

void LeadLag::set_alpha(double v) {
    if (v < 0)
        throw ValueError("Expected a non-negative value.");
    if (v != alpha_)
        change(v, tao_);
}

void LeadLag::set_tao(double v) {
    if (v < 0)
        throw ValueError("Expected a non-negative value.");
    if (v != tao_)
        change(alpha_, v);
}

std::vector<double> LeadLag::multi_step(const std::vector<double> &u) {
    const std::size_t n = u.size();
    if (n == 0)
        throw IndexError(zi_ ? "index -1 is out of bounds for axis 0 with size 0"
                             : "index 0 is out of bounds for axis 0 with size 0");
    if (!zi_)
        zi_ = steady_state(u[0]);
    std::vector<double> y(n);
    kernel_.run(u.data(), y.data(), n, zi_->data());
    last_.record(u[n - 1], y[n - 1]);
    return y;
}

void LeadLag::restore(std::vector<double> b, std::vector<double> a,
                      std::optional<std::vector<double>> zi, const LastSample &last) {
    if (b.empty() || a.empty() || a[0] == 0.0)
        throw ValueError("LDLAG state needs non-empty coefficients with a[0] != 0");
    Tdf2Filter k(b.data(), b.size(), a.data(), a.size());
    if (zi && zi->size() != k.state_size())
        throw ValueError("_zi must be None or hold " + std::to_string(k.state_size()) +
                         " values");
    b_ = std::move(b);
    a_ = std::move(a);
    kernel_ = k;
    zi_ = std::move(zi);
    last_ = last;
}

} // namespace qxdcs

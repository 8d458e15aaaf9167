// First-order lead-lag filter with unit static gain, whose parameters may
// change while it runs:
//
//     H(s) = (alpha*tao*s + 1) / (tao*s + 1)
//
// discretised with a zero-order hold at the sample period Ts:
//
//     tao == 0             pass-through     b = [1],         a = [1]
//     alpha == 0, tao > 0  lag              b = [b1],        a = [1, a1]
//     alpha > 0,  tao > 0  lead-lag         b = [alpha, b1], a = [1, a1]
//
// with a1 = -exp(-Ts/tao). The lag's discrete numerator is [0, b1]; its
// leading zero is dropped so that the filter answers in the same sample as
// its input (callers compute the hold-equivalent coefficients and pass them
// through lag_numerator()).
//
// The filter works on absolute values and remembers its last input and
// output. After a parameter change the state is rebuilt from them, as
// scipy.signal.lfiltic does from one sample of input and output history, so
// the output continues without a jump; the first call starts from the steady
// state at its input.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "qxdcs/tdf2_filter.hpp"

namespace qxdcs {

enum class LeadLagForm { PassThrough, Lag, LeadLag };

// The form for alpha and tao; std::domain_error unless alpha >= 0 and
// tao >= 0 (NaN refused).
inline LeadLagForm lead_lag_form(double alpha, double tao) {
    if (tao == 0.0)
        return LeadLagForm::PassThrough;
    if (alpha == 0.0 && tao > 0.0)
        return LeadLagForm::Lag;
    if (alpha > 0.0 && tao > 0.0)
        return LeadLagForm::LeadLag;
    throw std::domain_error("lead-lag filter needs alpha >= 0 and tao >= 0");
}

// The last input and output a lead-lag filter has seen (before the first
// call: its operating point, where one was given).
struct LastSample {
    double u = 0.0, y = 0.0;
    bool u_known = false, y_known = false;
    bool from_call = false;  // the values come from a call, not the operating point

    bool known() const { return u_known && y_known; }
    void record(double u_, double y_) {
        u = u_;
        y = y_;
        u_known = y_known = from_call = true;
    }
};

// The state z (filter.state_size() entries) that continues from the last
// input u and output y.
inline void state_after(const double *b, std::size_t nb, const double *a, std::size_t na,
                        double u, double y, double *z) {
    initial_state(b, nb, a, na, &y, 1, &u, 1, z);
}

// The lead-lag filter as a block (qxLDLAG.LDLAG).
//
// Coefficients (for the current alpha and tao, by c2d.hpp's zero-order hold
// at Ts, so to SciPy's rounding):
//     pass-through  b = [1], a = [1]
//     lag           cont2discrete([1], [tao, 1]): b = num[1:], a = den
//     lead-lag      cont2discrete([alpha*tao, 1], [tao, 1]): b = num, a = den
// One sample with input u, in this order:
//     1. zi = state_after(b, a, u, u)   if there is no state yet (steady at u)
//     2. y = filter step of u from zi
//     3. last input = u, last output = y
// A parameter change recomputes b and a and, when the last input and output
// are known (from a call, or both given as operating point), rebuilds the
// state from them, so the output continues without a jump; otherwise the
// state is dropped until the next call. A change to the value already held
// does nothing.
class LeadLag {
public:
    // ValueError unless alpha >= 0 and tao >= 0 ("LDLAG needs alpha >= 0 and
    // tao >= 0"). With both u_ini and y_ini the state is set as if the last
    // input had been u_ini and the last output y_ini.
    explicit LeadLag(double alpha = 0.0, double tao = 5.0, double Ts = 1.0,
                     std::optional<double> u_ini = std::nullopt,
                     std::optional<double> y_ini = std::nullopt);

    double operator()(double u) {
        if (!zi_)
            zi_ = steady_state(u);
        const double y = kernel_.step(u, zi_->data());
        last_.record(u, y);
        return y;
    }
    // A block of samples; IndexError for an empty one.
    std::vector<double> multi_step(const std::vector<double> &u);

    double alpha() const { return alpha_; }
    double tao() const { return tao_; }
    double Ts() const { return ts_; }
    // ValueError "Expected a non-negative value." for v < 0 (nothing changes).
    void set_alpha(double v);
    void set_tao(double v);

    LeadLagForm form() const { return lead_lag_form(alpha_, tao_); }
    const std::vector<double> &b() const { return b_; }
    const std::vector<double> &a() const { return a_; }
    // The state (lfilter's zi), absent until it can be set.
    const std::optional<std::vector<double>> &zi() const { return zi_; }
    // The last input and output (before the first call: the operating point).
    const LastSample &last() const { return last_; }

    // Restoring a saved state: coefficients, state and last sample as
    // recorded (ValueError for coefficients that do not fit together).
    void restore(std::vector<double> b, std::vector<double> a,
                 std::optional<std::vector<double>> zi, const LastSample &last);

    // The zero-order-hold coefficients for alpha, tao and Ts (ValueError for a
    // negative alpha or tao).
    static void design(double alpha, double tao, double Ts, std::vector<double> &b,
                       std::vector<double> &a);
    // Where a parameter change gets its coefficients: design() unless
    // replaced (a caller that must agree with SciPy to the last bit computes
    // them with SciPy). It may throw; nothing changes then.
    using Designer = std::function<void(double alpha, double tao, double Ts,
                                        std::vector<double> &b, std::vector<double> &a)>;
    void set_designer(Designer d) { designer_ = std::move(d); }

private:
    std::vector<double> steady_state(double u) const;
    void change(double alpha, double tao);

    Designer designer_;
    double alpha_, tao_, ts_;
    std::vector<double> b_, a_;
    Tdf2Filter kernel_;
    std::optional<std::vector<double>> zi_;
    LastSample last_;
};

} // namespace qxdcs

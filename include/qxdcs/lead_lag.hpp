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
#include <stdexcept>

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

} // namespace qxdcs

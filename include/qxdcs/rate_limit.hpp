// Ramp (slew-rate) limiter.
//
// Each call moves the output from the previous output u_last toward the
// target u_end, by at most a rise step upward and a fall step downward. The
// limits are given per minute and converted with the sample time Ts (seconds)
// on every call, so they may change from call to call. In this order:
//     rise = |PRLimPerMin / 60 * Ts|                       (>= 0)
//     fall = -rise                  if no fall limit is given
//            -|NRLimPerMin / 60 * Ts| otherwise           (<= 0)
//     d    = u_end - u_last
//     out  = u_last + rise  if d >= 0 and d > rise
//            u_last + fall  if d <  0 and d < fall
//            u_end          otherwise (the target is within reach: returned
//                           exactly, no overshoot, no rounding)
// A NaN target fails both comparisons and is passed through.
#pragma once

#include <cmath>
#include <optional>

namespace qxdcs {

// The largest change per sample for a limit given per minute.
inline double rate_per_sample(double per_minute, double Ts) {
    return std::fabs(per_minute / 60.0 * Ts);
}

struct RampStep {
    double out;    // the new output
    bool reached;  // true: the output is the target itself
};

// One step from u_last toward u_end; rise >= 0 and fall <= 0 per sample.
inline RampStep ramp_step(double u_last, double u_end, double rise, double fall) {
    const double d = u_end - u_last;
    if (d >= 0.0) {
        if (d > rise)
            return {u_last + rise, false};
    } else if (d < fall) {
        return {u_last + fall, false};
    }
    return {u_end, true};
}

// The ramp limiter as a block (qxRateLimit.RateLimit): u_last is the
// previous output, the start of the next step. One call, in this order:
//     rise = rate_per_sample(PRLimPerMin, Ts)
//     fall = -rise  without a fall limit,  -rate_per_sample(NRLimPerMin, Ts) with one
//     u_last = ramp_step(u_last, u_end, rise, fall).out;  return u_last
// With the defaults (Ts 1, 60 per minute) the output moves by at most 1.0 a
// call; a limit's sign does not matter.
class RateLimit {
public:
    explicit RateLimit(double u_ini = 0.0, double Ts = 1.0) : u_last(u_ini), Ts(Ts) {}

    double operator()(double u_end, double PRLimPerMin = 60.0,
                      std::optional<double> NRLimPerMin = std::nullopt) {
        const double rise = rate_per_sample(PRLimPerMin, Ts);
        const double fall = NRLimPerMin ? -rate_per_sample(*NRLimPerMin, Ts) : -rise;
        u_last = ramp_step(u_last, u_end, rise, fall).out;
        return u_last;
    }
    void reset(double u_ini) { u_last = u_ini; }

    double u_last;
    double Ts;
};

} // namespace qxdcs

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

} // namespace qxdcs

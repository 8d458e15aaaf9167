// Incremental (anti-windup) limiter.
//
// Instead of clamping its input, the block applies the input's change since
// the previous call to its previous output and clamps the sum to [LO, HI].
// In this order:
//     1. u0 = u        if there is no previous input (first call)
//     2. y0 = clamp(u) if there is no previous output
//     3. y  = clamp(y0 + (u - u0))
//     4. u0 = u;  y0 = y
// When the input runs past a limit and turns back, the output leaves the
// limit with the first change in the opposite direction (no wind-up); it may
// keep an offset from the input acquired at the limit.
//
// clamp(v) takes two comparisons in this order:
//     m = LO if LO > v else v;   result = HI if HI < m else m
// so with LO > HI the result is always HI, and NaN passes unchanged.
#pragma once

#include <optional>

namespace qxdcs {

// Which value clamp() selected: callers that keep the limits as given
// return the limit itself rather than its value.
enum class ClampPick { Value, Lo, Hi };

inline ClampPick clamp_pick(double v, double HI, double LO) {
    ClampPick pick = ClampPick::Value;
    double m = v;
    if (LO > v) {
        m = LO;
        pick = ClampPick::Lo;
    }
    if (HI < m)
        pick = ClampPick::Hi;
    return pick;
}

inline double picked(ClampPick pick, double v, double HI, double LO) {
    switch (pick) {
    case ClampPick::Lo: return LO;
    case ClampPick::Hi: return HI;
    default: return v;
    }
}

struct AntiWindupStep {
    double y;        // the new output (also the new y0)
    ClampPick pick;  // which value the last clamp selected
};

// One call, steps 1 to 3; u0 and y0 are empty before the first call. The
// caller stores u and y as the new u0 and y0.
inline AntiWindupStep anti_windup_step(double u, std::optional<double> u0,
                                       std::optional<double> y0, double HI, double LO) {
    const double u_prev = u0 ? *u0 : u;
    const double y_prev = y0 ? *y0 : picked(clamp_pick(u, HI, LO), u, HI, LO);
    const double v = y_prev + (u - u_prev);
    const ClampPick pick = clamp_pick(v, HI, LO);
    return {picked(pick, v, HI, LO), pick};
}

// The anti-windup limiter as a block (qxAntiWindupLimter.AntiWindupLimter):
// the limits are passed on every call; u0 and y0 are empty until the first.
class AntiWindupLimiter {
public:
    double operator()(double u, double HI = 100.0, double LO = 0.0) {
        const AntiWindupStep s = anti_windup_step(u, u0, y0, HI, LO);
        u0 = u;
        y0 = s.y;
        return s.y;
    }
    double run(double u, double HI = 100.0, double LO = 0.0) { return (*this)(u, HI, LO); }

    std::optional<double> u0;  // the input of the previous call
    std::optional<double> y0;  // the output of the previous call
};

} // namespace qxdcs

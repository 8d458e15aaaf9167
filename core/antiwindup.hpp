// Incremental (anti-windup) limiter.
//
// Instead of clamping its input, the block applies the input's change since
// the previous call to its previous output and clamps the sum to [LO, HI]:
//     first call:  u0 = u, y0 = clamp(u)
//     every call:  y = clamp(y0 + (u - u0));  u0 = u;  y0 = y
// When the input runs past a limit and turns back, the output leaves the
// limit with the first change in the opposite direction (no wind-up); it may
// keep an offset from the input acquired at the limit.
//
// clamp(v) takes two comparisons in this order:
//     m = LO if LO > v else v;   result = HI if HI < m else m
// so with LO > HI the result is always HI, and NaN passes unchanged.
#pragma once

namespace qxcore {

// Which value clamp() selected.
enum class ClampPick { Value, Lo, Hi };

inline ClampPick clampPick(double v, double HI, double LO) {
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

inline double clamp(double v, double HI, double LO) {
    switch (clampPick(v, HI, LO)) {
    case ClampPick::Lo: return LO;
    case ClampPick::Hi: return HI;
    default: return v;
    }
}

class AntiWindupLimiter {
public:
    double operator()(double u, double HI = 100.0, double LO = 0.0) {
        if (!started) {
            u0 = u;
            y0 = clamp(u, HI, LO);
            started = true;
        }
        double y = clamp(y0 + (u - u0), HI, LO);
        u0 = u;
        y0 = y;
        return y;
    }

    bool started = false;
    double u0 = 0.0;  // input of the previous call
    double y0 = 0.0;  // output of the previous call
};

} // namespace qxcore

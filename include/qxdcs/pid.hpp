// Discrete non-interacting PID controller in incremental (velocity) form.
//
// Continuous law:
//     u(s) = KP * (1 + 1/(TI*s) + TD*s / ((TD/N)*s + 1)) * [SP(s) - PV(s)]
// discretised with backward Euler, 1/s = TS*z/(z - 1). Each automatic step
// computes the change of output and adds it to the previous (limited) output,
// so the integral cannot wind up while the output sits at a limit. In this
// order, each line evaluated left to right:
//     et    = SP - PV
//     det   = et - et1
//     ddet  = (et - 2*et1) + et2
//     dOP_P = KP * det
//     dOP_I = ((KP*TS) / TI) * et                              (TI > 0, else 0)
//     dOP_D = ((TD/N)*dOPD1 + (KP*TD)*ddet)
//             / max(TD/N + TS, 1e-6)                           (TD > 0, else 0)
//     dFF   = FF - FF1
//     dOP   = ((dOP_P + dOP_I) + dOP_D) + dFF
//     OPcal = dOP + OP1                                        (unlimited output)
//     OP    = OP_HI if OP_HI < x else x,  x = OP_LO if OP_LO > OPcal else OPcal
// then the record of the step, then the history: et2 = et1, et1 = et,
// OP1 = OP, FF1 = FF, dOPD1 = dOP_D.
//
// dOP_D is the backward-Euler difference of the filtered derivative D(k):
// D(k)*(TD/N + TS) = (TD/N)*D(k-1) + KP*TD*(e(k) - e(k-1)), differenced over
// two samples. A reset makes the next automatic step continue bumplessly
// from the tracking value TV: et1 = et2 = SP - PV, OP1 = TV, FF1 = FF,
// dOPD1 = 0.
//
// One sample (run): the first call resets from its own inputs; then MODE,
// rounded half to even, selects the automatic step (1) or tracking (every
// other value): the output is TV limited, and the history is reset from TV
// itself, so a TV outside the limits is where the next automatic step starts.
#pragma once

#include <cmath>

namespace qxdcs {

// Quantities of the last completed step (a reset counts as a step).
struct PidStepRecord {
    double OP = 0.0;     // output after limiting
    double OPcal = 0.0;  // output before limiting
    double dOP = 0.0;    // total increment
    double dOP_P = 0.0;  // proportional increment
    double dOP_I = 0.0;  // integral increment (exactly 0 without integral action)
    double dOP_D = 0.0;  // derivative increment (exactly 0 without derivative action)
    double dFF = 0.0;    // feed-forward increment
};

class Pid {
public:
    static constexpr double kMinN = 0.000001;
    static constexpr double kMinDen = 0.000001;

    // Sample period TS, default tuning and limits, history not yet reset.
    explicit Pid(double TS_ = 1.0) : TS(TS_) {}

    // KP as given; TI and TD floored at 0, N at 1e-6. A floor replaces a
    // value only when the value is strictly below it, so NaN is kept.
    void set_params(double KP_, double TI_, double TD_, double N_);
    // Whether set_params() would keep TI, TD and N as given.
    static bool within_floors(double TI_, double TD_, double N_) {
        return !(0.0 > TI_) && !(0.0 > TD_) && !(kMinN > N_);
    }
    // Whether OP_HI >= OP_LO (false when either is NaN).
    static bool limits_in_order(double OP_HI_, double OP_LO_) { return OP_HI_ >= OP_LO_; }
    // Returns false, and keeps the previous limits, unless the new ones are in
    // order; the Python module then prints kLimitsRefused.
    bool set_limits(double OP_HI_, double OP_LO_);
    static constexpr const char *kLimitsRefused =
        "Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!";
    // The text of the control law and of the default tuning (19 lines, from
    // a leading line break to a final one), the same for every controller.
    static const char *form_text();

    // Initialise the history so the next automatic step continues from TV.
    void reset(double SP, double PV, double TV, double FF) {
        et1 = SP - PV;
        et2 = SP - PV;
        OP1 = TV;
        FF1 = FF;
        dOPD1 = 0.0;
        ini_flag = false;
        record = PidStepRecord{TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0};
    }

    // One automatic step; needs a history (reset at least once).
    double auto_step(double SP, double PV, double FF) {
        const double et = SP - PV;
        const double det = et - et1;
        const double ddet = (et - 2.0 * et1) + et2;
        const double dOP_P = KP * det;
        const double dOP_I = TI > 0.0 ? ((KP * TS) / TI) * et : 0.0;
        double dOP_D = 0.0;
        if (TD > 0.0) {
            double den = TD / N + TS;
            if (den < kMinDen)
                den = kMinDen;
            dOP_D = ((TD / N) * dOPD1 + (KP * TD) * ddet) / den;
        }
        const double dFF = FF - FF1;
        const double dOP = ((dOP_P + dOP_I) + dOP_D) + dFF;
        const double OPcal = dOP + OP1;
        const double OP = limit(OPcal);

        record = PidStepRecord{OP, OPcal, dOP, dOP_P, dOP_I, dOP_D, dFF};
        et2 = et1;
        et1 = et;
        OP1 = OP;
        FF1 = FF;
        dOPD1 = dOP_D;
        return OP;
    }

    // One sample: first-call reset, then automatic (MODE 1) or tracking.
    // Throws ValueError for a NaN MODE and OverflowError for an
    // infinite one, after the first-call reset.
    double run(double MODE, double SP, double PV, double TV, double FF) {
        if (ini_flag)
            reset(SP, PV, TV, FF);
        if (round_mode(MODE) == 1.0)
            return auto_step(SP, PV, FF);
        const double OP = limit(TV);
        reset(SP, PV, TV, FF);
        return OP;
    }

    // x limited to [OP_LO, OP_HI]; NaN passes unchanged.
    double limit(double x) const {
        const double y = OP_LO > x ? OP_LO : x;
        return OP_HI < y ? OP_HI : y;
    }

    // MODE rounded to the nearest integer, halves to even, in integer
    // arithmetic (the caller's floating-point rounding mode plays no part).
    // Throws ValueError for NaN and OverflowError for infinity (error.hpp).
    static double round_mode(double MODE) {
        if (!std::isfinite(MODE))
            refuse_mode(MODE);
        // From 2^52 on every double is an integer.
        if (!(std::fabs(MODE) < 4503599627370496.0))
            return MODE;
        const long long i = static_cast<long long>(MODE);  // towards zero
        const double f = MODE - static_cast<double>(i);     // exact, |f| < 1
        long long r = i;
        if (f > 0.5 || (f == 0.5 && (i & 1)))
            ++r;
        else if (f < -0.5 || (f == -0.5 && (i & 1)))
            --r;
        return static_cast<double>(r);
    }

    bool ini_flag = true;  // true until the first reset
    double TS;
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    double OP_HI = 100.0, OP_LO = 0.0;

    // History: e(k-1), e(k-2), OP(k-1), FF(k-1), dOP_D(k-1).
    double et1 = 0.0, et2 = 0.0, OP1 = 0.0, FF1 = 0.0, dOPD1 = 0.0;
    PidStepRecord record;

private:
    [[noreturn]] static void refuse_mode(double MODE);
};

} // namespace qxdcs

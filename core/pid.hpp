// Discrete non-interacting PID controller in incremental (velocity) form.
//
// Continuous law:
//     u(s) = KP * (1 + 1/(TI*s) + TD*s / ((TD/N)*s + 1)) * [SP(s) - PV(s)]
// discretised with backward Euler, 1/s = TS*z/(z - 1). Each automatic step
// computes the change of output and adds it to the previous (limited) output,
// so the integral cannot wind up while the output sits at a limit:
//     et    = SP - PV
//     dOP_P = KP * (et - et1)
//     dOP_I = (KP*TS/TI) * et                                  (TI > 0, else 0)
//     dOP_D = ((TD/N)*dOPD1 + (KP*TD)*(et - 2*et1 + et2))
//             / max(TD/N + TS, 1e-6)                           (TD > 0, else 0)
//     dFF   = FF - FF1
//     OPcal = (((dOP_P + dOP_I) + dOP_D) + dFF) + OP1
//     OP    = min(OP_HI, max(OP_LO, OPcal))
// MODE (rounded half to even) 1 is automatic; every other value tracks TV.
#pragma once

namespace qxcore {

// Quantities of the last completed step (a reset counts as a step).
struct PidStepRecord {
    double OP = 0.0;     // output after limiting
    double OPcal = 0.0;  // output before limiting
    double dOP = 0.0;    // total increment
    double dOP_P = 0.0;  // proportional increment
    double dOP_I = 0.0;  // integral increment (exactly 0 with TI <= 0)
    double dOP_D = 0.0;  // derivative increment (exactly 0 with TD <= 0)
    double dFF = 0.0;    // feed-forward increment
};

class Pid {
public:
    static constexpr double kMinN = 0.000001;
    static constexpr double kMinDen = 0.000001;

    explicit Pid(double TS = 1.0) : TS(TS) {}

    // Gains and times; TI and TD are floored at 0, N at 1e-6 (NaN is kept).
    void setParams(double KP_, double TI_, double TD_, double N_);
    // Returns false, and keeps the previous limits, unless OP_HI >= OP_LO.
    bool setLimits(double OP_HI_, double OP_LO_);

    // Initialise the history so the next automatic step continues from TV.
    void reset(double SP, double PV, double TV, double FF);
    // One automatic step; needs a history (reset at least once).
    double autoStep(double SP, double PV, double FF);
    // One sample: first-call reset, then automatic (mode 1) or tracking.
    // Throws std::domain_error for a NaN MODE and std::overflow_error for an
    // infinite one (after the first-call reset).
    double run(double MODE, double SP, double PV, double TV, double FF);

    // The output limited to [OP_LO, OP_HI]; NaN passes unchanged.
    double limit(double x) const {
        double y = OP_LO > x ? OP_LO : x;
        return OP_HI < y ? OP_HI : y;
    }

    // MODE rounded to the nearest integer, halves to even.
    static double roundMode(double MODE);

    bool iniFlag = true;
    double TS;
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    double OP_HI = 100.0, OP_LO = 0.0;

    // History: e(k-1), e(k-2), OP(k-1), FF(k-1), dOP_D(k-1).
    double et1 = 0.0, et2 = 0.0, OP1 = 0.0, FF1 = 0.0, dOPD1 = 0.0;
    PidStepRecord record;
};

} // namespace qxcore

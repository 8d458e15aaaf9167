#include "pid.hpp"

#include <cmath>
#include <stdexcept>

namespace qxcore {

void Pid::setParams(double KP_, double TI_, double TD_, double N_) {
    KP = KP_;
    TI = 0.0 > TI_ ? 0.0 : TI_;
    TD = 0.0 > TD_ ? 0.0 : TD_;
    N = kMinN > N_ ? kMinN : N_;
}

bool Pid::setLimits(double OP_HI_, double OP_LO_) {
    if (!(OP_HI_ >= OP_LO_))  // also refuses NaN
        return false;
    OP_HI = OP_HI_;
    OP_LO = OP_LO_;
    return true;
}

void Pid::reset(double SP, double PV, double TV, double FF) {
    et1 = SP - PV;
    et2 = SP - PV;
    OP1 = TV;
    FF1 = FF;
    dOPD1 = 0.0;
    iniFlag = false;
    record = PidStepRecord{TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0};
}

double Pid::autoStep(double SP, double PV, double FF) {
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

double Pid::roundMode(double MODE) {
    if (std::isnan(MODE))
        throw std::domain_error("cannot convert float NaN to integer");
    if (std::isinf(MODE))
        throw std::overflow_error("cannot convert float infinity to integer");
    // Round half to even regardless of the caller's rounding mode.
    double r = std::round(MODE);
    if (std::fabs(MODE - std::trunc(MODE)) == 0.5)
        r = 2.0 * std::round(MODE / 2.0);
    return r;
}

double Pid::run(double MODE, double SP, double PV, double TV, double FF) {
    if (iniFlag)
        reset(SP, PV, TV, FF);
    if (roundMode(MODE) == 1.0)
        return autoStep(SP, PV, FF);
    const double OP = limit(TV);
    reset(SP, PV, TV, FF);
    return OP;
}

} // namespace qxcore

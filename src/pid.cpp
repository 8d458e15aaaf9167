#include "qxdcs/pid.hpp"

#include <cmath>
#include "qxdcs/error.hpp"

namespace qxdcs {

void Pid::set_params(double KP_, double TI_, double TD_, double N_) {
    KP = KP_;
    TI = 0.0 > TI_ ? 0.0 : TI_;
    TD = 0.0 > TD_ ? 0.0 : TD_;
    N = kMinN > N_ ? kMinN : N_;
}

bool Pid::set_limits(double OP_HI_, double OP_LO_) {
    if (!limits_in_order(OP_HI_, OP_LO_))
        return false;
    OP_HI = OP_HI_;
    OP_LO = OP_LO_;
    return true;
}

const char *Pid::form_text() {
    return "\n"
           "Name: Non-Interacting A\n"
           "Continuous Time:\n"
           "                  1             TD*s\n"
           "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
           "                TI*s         TD\n"
           "                            -----*s  +  1\n"
           "                              N\n"
           "Discrete: (Backward Euler)\n"
           "\n"
           "    1        TS*z\n"
           "---- = ------------\n"
           "    s        z - 1\n"
           "\n"
           "Default Parameters:\n"
           "Kp = 1.0\n"
           "TI = 60.0\n"
           "TD = 0.0\n"
           "N = 10.0\n"
           "TS = 1\n";
}

void Pid::refuse_mode(double MODE) {
    if (std::isnan(MODE))
        throw ValueError("cannot convert float NaN to integer");
    throw OverflowError("cannot convert float infinity to integer");
}

} // namespace qxdcs

#include "qxdcs/pid.hpp"

#include <cmath>
#include <stdexcept>

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

void Pid::refuse_mode(double MODE) {
    if (std::isnan(MODE))
        throw std::domain_error("cannot convert float NaN to integer");
    throw std::overflow_error("cannot convert float infinity to integer");
}

} // namespace qxdcs

// Discretisation of continuous transfer functions with dead time.
//
// c2d(num, den, delay, Ts) turns num(s)/den(s) * exp(-delay*s), coefficients
// in descending powers of s, into the coefficients of a discrete transfer
// function for z^0, z^-1, z^-2, ... (the order a Tdf2Filter and
// scipy.signal.lfilter take), by a zero-order hold at the sample period Ts.
// In this order:
//   1. leading zeros of num are dropped (an empty or all-zero num: IndexError);
//   2. the rational part is discretised as scipy.signal.cont2discrete does it
//      for a transfer function with method "zoh" (cont2discrete_zoh below);
//   3. the dead time becomes d = round(delay / Ts) whole samples, ties to the
//      even integer (2.5 -> 2, 3.5 -> 4), put as d zeros in front of the
//      discrete numerator; the denominator keeps the order of den.
// The dead time is never approximated by extra poles.
//
// cont2discrete_zoh follows SciPy step by step:
//   normalize   den's leading zeros dropped (all zero: ValueError); num and
//               den divided by den[0]; num's leading coefficients with
//               |c| <= 1e-14 dropped, at least one kept
//   tf2ss       controller canonical form: A = [-den[1:]; I 0], B = e1,
//               C = num'[1:] - num'[0]*den[1:], D = num'[0], num' being num
//               padded in front to the length of den (num longer than den:
//               ValueError); for a constant den: A = B = C = [0], D = num'[0]
//   zoh         [Ad Bd; 0 I] = expm([A B; 0 0] * Ts) (scaling and squaring
//               with Pade approximants), Cd = C, Dd = D
//   ss2tf       den_d = poly(Ad), num_d = poly(Ad - Bd*Cd) + (Dd - 1)*den_d
// SciPy takes poly() of a matrix from its eigenvalues (LAPACK); here the
// characteristic polynomial is computed from the Hessenberg form of the
// matrix (Householder reduction, then La Budde's recurrence), so results agree
// with SciPy to rounding, not bit for bit: within 1e-12 of the largest
// coefficient of each polynomial for well-conditioned models. The Python
// modules call SciPy itself and so stay bit-exact.
#pragma once

#include <vector>

namespace qxdcs {

// A discrete transfer function: coefficients of z^0, z^-1, ...
struct DiscreteTf {
    std::vector<double> num, den;
};

// scipy.signal.cont2discrete((num, den), Ts, method="zoh"): the numerator's
// first row and the denominator. Errors: ValueError for an all-zero or empty
// den ("Denominator must have at least on nonzero element.") and for num
// longer than den ("Improper transfer function. `num` is longer than `den`.").
DiscreteTf cont2discrete_zoh(const std::vector<double> &num, const std::vector<double> &den,
                             double Ts);

// round(delay / Ts) as whole samples, ties to even. ZeroDivisionError for a
// Ts of 0 ("float division by zero"), ValueError for a NaN quotient ("cannot
// convert float NaN to integer"), OverflowError for an infinite one ("cannot
// convert float infinity to integer") or one beyond 2**62.
long long delay_samples(double delay, double Ts);

// The continuous transfer function with dead time as a discrete one (steps 1
// to 3 above). Errors in the order they are met: IndexError for a num without
// a non-zero coefficient ("index 0 is out of bounds for axis 0 with size 0"),
// those of cont2discrete_zoh and of delay_samples, ValueError for a negative
// number of delay samples ("negative dimensions are not allowed").
DiscreteTf c2d(const std::vector<double> &num, const std::vector<double> &den, double delay,
               double Ts = 1.0);

} // namespace qxdcs

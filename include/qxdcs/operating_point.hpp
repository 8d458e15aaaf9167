// A filter run in deviations around an operating point (u0, y0):
//
//     y(k) = y0 + H(z) * (u(k) - u0)
//
// with H(z) run from a zero state, so an input held at u0 keeps the output
// at y0 and the filter can be inserted into a running signal without a jump.
// An operating point left unset is filled on the first call: u0 from that
// call's input, y0 from the output value the call supplies for it.
#pragma once

#include <optional>

namespace qxdcs {

struct OperatingPoint {
    std::optional<double> u0, y0;

    bool complete() const { return u0.has_value() && y0.has_value(); }

    // Fills what is unset; returns true when anything was filled.
    bool fill(double u_first, double y_ini) {
        bool filled = false;
        if (!u0) {
            u0 = u_first;
            filled = true;
        }
        if (!y0) {
            y0 = y_ini;
            filled = true;
        }
        return filled;
    }
};

} // namespace qxdcs

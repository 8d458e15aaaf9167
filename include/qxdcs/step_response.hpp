// Flatness of a sampled step response.
//
// A response counts as flat when its largest value minus its smallest value
// is below a tolerance. The extremes are found as Python's max() and min()
// find them, scanning from the front: a later value replaces the current
// extreme only when it compares greater (smaller). A NaN therefore never
// replaces an extreme, and a NaN in front is never replaced (the response is
// then not flat: the difference is NaN).
#pragma once

#include <cstddef>

namespace qxdcs {

// Largest value of v[0..n), n >= 1, as max() scans it.
inline double scan_max(const double *v, std::size_t n) {
    double m = v[0];
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] > m)
            m = v[i];
    return m;
}

// Smallest value of v[0..n), n >= 1, as min() scans it.
inline double scan_min(const double *v, std::size_t n) {
    double m = v[0];
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] < m)
            m = v[i];
    return m;
}

// max(v) - min(v) < tol, for n >= 1.
inline bool is_flat(const double *v, std::size_t n, double tol) {
    return scan_max(v, n) - scan_min(v, n) < tol;
}

} // namespace qxdcs

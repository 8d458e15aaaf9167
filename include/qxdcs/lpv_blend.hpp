// Blending of local linear plants by a working value (linear parameter-
// varying plant).
//
// The local plants sit at working points wp[0] < wp[1] < ... < wp[n-1]. For a
// working value x, the position between them is the linear interpolation of
// x in the table wp -> 0, 1, ..., n-1, as numpy.interp computes it (the same
// operations in the same order, so the weights agree with it bit for bit):
//
//     x <= wp[0]            -> 0   (x < wp[0]: the left end; x == wp[0]: 0)
//     x >= wp[n-1]          -> n-1
//     x == wp[j]            -> j
//     wp[j] < x < wp[j+1]   -> slope*(x - wp[j]) + j,  slope = ((j+1) - j) / (wp[j+1] - wp[j])
//                              (when that is NaN: slope*(x - wp[j+1]) + (j+1))
//
// The two plants that enclose x are id1 = floor(position) and id2 =
// ceil(position); their weights are
//
//     weight2 = max(min(position - id1, 1.0), 0.0),   weight1 = 1.0 - weight2
//
// and when id1 == id2 the plant at id1 has weight 1 alone. Outside the
// covered range the nearest end plant is used alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace qxdcs {

// numpy.interp(x, wp, [0, 1, ..., n-1]) for n >= 1 ascending working points
// (no NaN among them).
inline double interp_position(double x, const double *wp, std::size_t n) {
    if (n == 1)
        return 0.0;  // numpy: fp[0] wherever x lies (NaN stays NaN)
    if (std::isnan(x))
        return x;
    const std::size_t last = n - 1;
    if (x < wp[0])
        return 0.0;
    if (x > wp[last])
        return double(last);
    if (x == wp[last])
        return double(last);
    // The largest j with wp[j] <= x (j < last here).
    std::size_t lo = 0, hi = last;
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (wp[mid] <= x)
            lo = mid;
        else
            hi = mid;
    }
    const std::size_t j = lo;
    if (wp[j] == x)
        return double(j);
    const double slope = (double(j + 1) - double(j)) / (wp[j + 1] - wp[j]);
    double r = slope * (x - wp[j]) + double(j);
    if (std::isnan(r))
        r = slope * (x - wp[j + 1]) + double(j + 1);
    return r;
}

struct Blend {
    std::size_t id1, id2;
    double weight1, weight2;
};

// The enclosing plants and their weights for a position (not NaN).
inline Blend blend_at(double position) {
    const double f = std::floor(position), c = std::ceil(position);
    Blend b;
    b.id1 = std::size_t(f);
    b.id2 = std::size_t(c);
    double w2 = position - f;
    w2 = w2 < 1.0 ? w2 : 1.0;
    w2 = w2 > 0.0 ? w2 : 0.0;
    b.weight2 = w2;
    b.weight1 = 1.0 - w2;
    return b;
}

// A CV's value from the results of the enclosing plants (their outputs as
// deviations) and the CV's initial value:
//     (weight1 * r1 + weight2 * r2) + initial    two plants
//     r1 + initial                               one plant (id1 == id2)
inline double blended_value(const Blend &b, double r1, double r2, double initial) {
    return b.weight1 * r1 + b.weight2 * r2 + initial;
}
inline double single_value(double r1, double initial) { return r1 + initial; }

// The order that keeps, for every distinct working point, its first plant in
// list order, sorted by working point (numpy.unique with return_index): the
// indices into wp of the plants that stay, ascending by working point. NaN
// working points count as equal to each other and greater than any number.
inline std::vector<std::size_t> unique_order(const double *wp, std::size_t n) {
    std::vector<std::size_t> idx(n);
    std::iota(idx.begin(), idx.end(), std::size_t(0));
    auto less = [wp](std::size_t a, std::size_t b) {
        const double x = wp[a], y = wp[b];
        if (std::isnan(x) || std::isnan(y))
            return !std::isnan(x) && std::isnan(y);
        return x < y;
    };
    std::vector<std::size_t> sorted = idx;
    // Stable: equal working points keep list order, so the first comes first.
    std::stable_sort(sorted.begin(), sorted.end(), less);
    std::vector<std::size_t> keep;
    for (std::size_t k = 0; k < sorted.size(); ++k)
        if (k == 0 || less(sorted[k - 1], sorted[k]))
            keep.push_back(sorted[k]);
    return keep;
}

} // namespace qxdcs

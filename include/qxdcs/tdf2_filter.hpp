// Linear time-invariant filter b(z)/a(z) in transposed direct form II.
//
//     a0*y(k) = b0*x(k) + b1*x(k-1) + ... + bM*x(k-M)
//                       - a1*y(k-1) - ... - aN*y(k-N)
//
// Both coefficient vectors are divided by a0 once and zero-padded to the
// common length n = max(M, N) + 1. The state z has n - 1 entries, laid out as
// the zi/zf vector of scipy.signal.lfilter, and every output is computed with
// the same operations in the same order as lfilter, so results agree with it
// bit for bit:
//
//   recursive filter (N >= 1), per sample:
//     y      = z[0] + b0*x
//     z[j]   = (z[j+1] + x*b[j+1]) - y*a[j+1]        j = 0 .. n-3
//     z[n-2] = x*b[n-1] - y*a[n-1]
//
//   moving-average filter (a = [a0] only): the output is the full convolution
//   of b with the input block, with z added to its first n - 1 terms; the
//   first len(x) terms are the outputs and the remaining n - 1 the new state.
//   Each convolution term is summed from 0.0 in NumPy's order: oldest input
//   first when the block is longer than b, newest first otherwise. NumPy
//   hands these dot products to BLAS, whose summation order for longer sums
//   depends on the processor, so blocks whose terms sum several products may
//   differ from lfilter in the last bit; the Python binding computes such
//   blocks with NumPy itself.
//
// The initial state for a given input and output history (scipy's lfiltic)
// is computed by initial_state(), with NumPy's pairwise summation.
#pragma once

#include <cstddef>
#include <vector>

namespace qxdcs {

class Tdf2Filter {
public:
    // A pass-through filter (b = a = [1]).
    Tdf2Filter();
    // Throws std::invalid_argument when b or a is empty and
    // std::domain_error when a[0] == 0.
    Tdf2Filter(const double *b, std::size_t nb, const double *a, std::size_t na);

    // Number of state entries, max(nb, na) - 1.
    std::size_t state_size() const { return n_ - 1; }
    // True when a has a single coefficient (no feedback).
    bool moving_average() const { return na_ == 1; }

    // One sample: returns the output and advances the state z in place.
    double step(double x, double *z) const { return step(view(), x, z); }

    // The filter as plain data, for a caller that runs many filters in one
    // loop (the MIMO simulator keeps one per element, beside its state):
    // the coefficients stay where the filter keeps them.
    struct View {
        const double *ba;  // b[i] at ba[i], a[i] at ba[n + i]
        std::size_t n;     // state_size() + 1
        bool fir;          // moving_average()
    };
    View view() const { return {ba_.data(), n_, na_ == 1}; }
    static double step(const View &v, double x, double *z) {
        return v.fir ? fir_step(v.ba, v.n, x, z) : iir_step(v.ba, v.n, x, z);
    }

    // A block of n samples: y[k] = output for (x[k] - x_offset), plus
    // y_offset. The state z advances in place. y may alias x for recursive
    // filters only.
    void run(const double *x, double *y, std::size_t n, double *z, double x_offset = 0.0,
             double y_offset = 0.0) const;

private:
    // b[i] and a[i] of the normalised, zero-padded coefficients (length
    // state_size() + 1), in one block: all of b, then all of a (the update
    // of the state then runs on three plain streams, which the compiler may
    // take two entries at a time, each with the same operations).
    double b(std::size_t i) const { return ba_[i]; }
    double a(std::size_t i) const { return ba_[n_ + i]; }

    static double iir_step(const double *b, std::size_t n, double x, double *z) {
        const double *a = b + n;
        const std::size_t last = n - 1;
        const double y = z[0] + b[0] * x;
        for (std::size_t j = 0; j + 1 < last; ++j)
            z[j] = z[j + 1] + x * b[j + 1] - y * a[j + 1];
        z[last - 1] = x * b[last] - y * a[last];
        return y;
    }
    static double fir_step(const double *b, std::size_t n, double x, double *z) {
        const std::size_t m = n - 1;  // state entries
        if (m == 0)
            return 0.0 + b[0] * x;
        const double y = (0.0 + b[0] * x) + z[0];
        for (std::size_t j = 1; j < m; ++j)
            z[j - 1] = (0.0 + b[j] * x) + z[j];
        z[m - 1] = 0.0 + b[m] * x;
        return y;
    }
    void fir_run(const double *x, double *y, std::size_t n, double *z, double x_offset,
                 double y_offset) const;

    std::vector<double> ba_;
    std::size_t n_ = 1, nb_ = 1, na_ = 1;
};

// Sum of v[0..n) as numpy.sum computes it for a contiguous float64 array
// (pairwise summation in blocks of eight, starting from 0.0).
double numpy_sum(const double *v, std::size_t n);

// The state z (max(nb, na) - 1 entries) that a filter would hold after the
// output history y (y[0] the latest output) and the input history x (x[0]
// the latest input); missing history counts as zero, extra history is
// ignored. The same arithmetic as scipy.signal.lfiltic, including the final
// division by a[0]. Throws std::invalid_argument when a is empty and
// std::domain_error when a[0] == 0.
void initial_state(const double *b, std::size_t nb, const double *a, std::size_t na,
                   const double *y, std::size_t ny, const double *x, std::size_t nx, double *z);

} // namespace qxdcs

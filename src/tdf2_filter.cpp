#include "qxdcs/tdf2_filter.hpp"

#include <algorithm>
#include <stdexcept>

namespace qxdcs {

Tdf2Filter::Tdf2Filter() : ba_{1.0, 1.0} {}

Tdf2Filter::Tdf2Filter(const double *b, std::size_t nb, const double *a, std::size_t na) {
    if (nb == 0)
        throw std::invalid_argument("filter numerator b is empty");
    if (na == 0)
        throw std::invalid_argument("filter denominator a is empty");
    const double a0 = a[0];
    if (a0 == 0.0)
        throw std::domain_error("filter coefficient a[0] is zero");
    nb_ = nb;
    na_ = na;
    n_ = std::max(nb, na);
    ba_.assign(2 * n_, 0.0);
    for (std::size_t i = 0; i < n_; ++i) {
        // Divide (never multiply by a reciprocal): the same rounding as lfilter.
        if (i < nb)
            ba_[i] = b[i] / a0;
        if (i < na)
            ba_[n_ + i] = a[i] / a0;
    }
}

void Tdf2Filter::run(const double *x, double *y, std::size_t n, double *z, double x_offset,
                     double y_offset) const {
    if (na_ == 1) {
        fir_run(x, y, n, z, x_offset, y_offset);
        return;
    }
    const std::size_t m = n_ - 1;
    if (m == 1) {  // first order, the common case: keep the state in a register
        const double b0 = b(0), b1 = b(1), a1 = a(1);
        double z0 = z[0];
        for (std::size_t k = 0; k < n; ++k) {
            const double xv = x[k] - x_offset;
            const double yv = z0 + b0 * xv;
            z0 = xv * b1 - yv * a1;
            y[k] = yv + y_offset;
        }
        z[0] = z0;
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const double xv = x[k] - x_offset;
        y[k] = iir_step(ba_.data(), n_, xv, z) + y_offset;
    }
}

// The full convolution of b with the block, computed term by term as NumPy's
// convolve does it, plus the incoming state on its first n_-1 terms.
void Tdf2Filter::fir_run(const double *x, double *y, std::size_t n, double *z, double x_offset,
                         double y_offset) const {
    const std::size_t nb = n_;  // taps (b is not padded here: na_ == 1)
    const std::size_t m = nb - 1;
    if (n == 0)
        return;
    std::vector<double> xd(x, x + n);
    for (double &v : xd)
        v -= x_offset;
    const bool oldest_first = n > nb;
    const std::size_t total = n + m;
    for (std::size_t k = 0; k < total; ++k) {
        const std::size_t lo = k + 1 > n ? k + 1 - n : 0;  // smallest tap index
        const std::size_t hi = std::min(m, k);             // largest tap index
        double acc = 0.0;
        if (oldest_first) {
            for (std::size_t i = hi + 1; i-- > lo;)
                acc += b(i) * xd[k - i];
        } else {
            for (std::size_t i = lo; i <= hi; ++i)
                acc += b(i) * xd[k - i];
        }
        if (k < m)
            acc += z[k];  // z[k] is read here for the last time
        if (k < n)
            y[k] = acc + y_offset;
        else
            z[k - n] = acc;  // k - n < k: an entry already consumed
    }
}

namespace {

double pairwise(const double *v, std::size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i)
            res += v[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j)
            r[j] = v[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j)
                r[j] += v[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i)
            res += v[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(v, n2) + pairwise(v + n2, n - n2);
}

} // namespace

double numpy_sum(const double *v, std::size_t n) { return 0.0 + pairwise(v, n); }

void initial_state(const double *b, std::size_t nb, const double *a, std::size_t na,
                   const double *y, std::size_t ny, const double *x, std::size_t nx, double *z) {
    if (na == 0)
        throw std::invalid_argument("filter denominator a is empty");
    const std::size_t N = na - 1;
    const std::size_t M = nb > 0 ? nb - 1 : 0;
    const std::size_t K = std::max(M, N);
    std::fill(z, z + K, 0.0);
    std::vector<double> prod(K);
    // Histories padded with zeros to the lengths they are read at.
    auto xs = [&](std::size_t j) { return j < nx ? x[j] : 0.0; };
    auto ys = [&](std::size_t j) { return j < ny ? y[j] : 0.0; };
    for (std::size_t m = 0; m < M; ++m) {
        const std::size_t len = M - m;
        for (std::size_t j = 0; j < len; ++j)
            prod[j] = b[m + 1 + j] * xs(j);
        z[m] = numpy_sum(prod.data(), len);
    }
    for (std::size_t m = 0; m < N; ++m) {
        const std::size_t len = N - m;
        for (std::size_t j = 0; j < len; ++j)
            prod[j] = a[m + 1 + j] * ys(j);
        z[m] -= numpy_sum(prod.data(), len);
    }
    const double a0 = a[0];
    if (a0 != 1.0) {
        if (a0 == 0.0)
            throw std::domain_error("First `a` filter coefficient must be non-zero.");
        for (std::size_t k = 0; k < K; ++k)
            z[k] /= a0;
    }
}

} // namespace qxdcs

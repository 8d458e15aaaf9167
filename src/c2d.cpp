#include "qxdcs/c2d.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "qxdcs/error.hpp"

namespace qxdcs {

namespace {

// A dense square matrix, row-major.
struct Mat {
    std::size_t n = 0;
    std::vector<double> v;

    explicit Mat(std::size_t n_ = 0) : n(n_), v(n_ * n_, 0.0) {}
    static Mat identity(std::size_t n) {
        Mat m(n);
        for (std::size_t i = 0; i < n; ++i)
            m(i, i) = 1.0;
        return m;
    }
    double &operator()(std::size_t i, std::size_t j) { return v[i * n + j]; }
    double operator()(std::size_t i, std::size_t j) const { return v[i * n + j]; }
};

Mat mul(const Mat &a, const Mat &b) {
    Mat c(a.n);
    for (std::size_t i = 0; i < a.n; ++i)
        for (std::size_t k = 0; k < a.n; ++k) {
            const double aik = a(i, k);
            for (std::size_t j = 0; j < a.n; ++j)
                c(i, j) += aik * b(k, j);
        }
    return c;
}

// sum of c[k] * m[k] over the given terms (matrices of one size).
Mat combine(std::initializer_list<std::pair<double, const Mat *>> terms) {
    Mat r(terms.begin()->second->n);
    for (const auto &[c, m] : terms)
        for (std::size_t i = 0; i < r.v.size(); ++i)
            r.v[i] += c * m->v[i];
    return r;
}

double norm1(const Mat &a) {
    double best = 0.0;
    for (std::size_t j = 0; j < a.n; ++j) {
        double s = 0.0;
        for (std::size_t i = 0; i < a.n; ++i)
            s += std::fabs(a(i, j));
        best = std::max(best, s);
    }
    return best;
}

// x = a^-1 b by LU decomposition with partial pivoting (b holds n columns).
Mat solve(Mat a, Mat b) {
    const std::size_t n = a.n;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i)
            if (std::fabs(a(i, k)) > std::fabs(a(p, k)))
                p = i;
        if (p != k)
            for (std::size_t j = 0; j < n; ++j) {
                std::swap(a(k, j), a(p, j));
                std::swap(b(k, j), b(p, j));
            }
        const double piv = a(k, k);
        for (std::size_t i = k + 1; i < n; ++i) {
            const double f = a(i, k) / piv;
            if (f == 0.0)
                continue;
            for (std::size_t j = k; j < n; ++j)
                a(i, j) -= f * a(k, j);
            for (std::size_t j = 0; j < n; ++j)
                b(i, j) -= f * b(k, j);
        }
    }
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t i = n; i-- > 0;) {
            double s = b(i, c);
            for (std::size_t j = i + 1; j < n; ++j)
                s -= a(i, j) * b(j, c);
            b(i, c) = s / a(i, i);
        }
    return b;
}

// The matrix exponential by scaling and squaring with a Pade approximant of
// degree 3, 5, 7, 9 or 13, chosen by the 1-norm (Higham 2005).
Mat expm(Mat a) {
    const std::size_t n = a.n;
    const Mat I = Mat::identity(n);
    const double nrm = norm1(a);
    static const double theta[] = {1.495585217958292e-2, 2.539398330063230e-1,
                                   9.504178996162932e-1, 2.097847961257068e0};
    static const double b3[] = {120., 60., 12., 1.};
    static const double b5[] = {30240., 15120., 3360., 420., 30., 1.};
    static const double b7[] = {17297280., 8648640., 1995840., 277200., 25200., 1512., 56., 1.};
    static const double b9[] = {17643225600., 8821612800., 2075673600., 302702400., 30270240.,
                                2162160.,     110880.,     3960.,       90.,        1.};
    static const double b13[] = {64764752532480000., 32382376266240000., 7771770303897600.,
                                 1187353796428800.,  129060195264000.,   10559470521600.,
                                 670442572800.,      33522128640.,       1323241920.,
                                 40840800.,          960960.,            16380.,
                                 182.,               1.};
    const double *low[] = {b3, b5, b7, b9};
    for (int d = 0; d < 4; ++d) {
        if (nrm <= theta[d]) {
            const int m = 3 + 2 * d;
            const double *b = low[d];
            const Mat a2 = mul(a, a);
            Mat pw = I;  // a^(2k)
            Mat u_inner(n), v(n);
            for (int k = 0; 2 * k <= m; ++k) {
                for (std::size_t i = 0; i < v.v.size(); ++i) {
                    v.v[i] += b[2 * k] * pw.v[i];
                    u_inner.v[i] += b[2 * k + 1] * pw.v[i];
                }
                pw = mul(pw, a2);
            }
            const Mat u = mul(a, u_inner);
            return solve(combine({{1.0, &v}, {-1.0, &u}}), combine({{1.0, &v}, {1.0, &u}}));
        }
    }
    int s = 0;
    const double theta13 = 5.371920351148152;
    if (nrm > theta13)
        s = std::max(0, int(std::ceil(std::log2(nrm / theta13))));
    const double scale = std::ldexp(1.0, -s);
    for (double &x : a.v)
        x *= scale;
    const Mat a2 = mul(a, a), a4 = mul(a2, a2), a6 = mul(a4, a2);
    const double *b = b13;
    const Mat u1 = combine({{b[13], &a6}, {b[11], &a4}, {b[9], &a2}});
    const Mat u2 = combine({{b[7], &a6}, {b[5], &a4}, {b[3], &a2}, {b[1], &I}});
    Mat ui = mul(a6, u1);
    for (std::size_t i = 0; i < ui.v.size(); ++i)
        ui.v[i] += u2.v[i];
    const Mat u = mul(a, ui);
    const Mat v1 = combine({{b[12], &a6}, {b[10], &a4}, {b[8], &a2}});
    const Mat v2 = combine({{b[6], &a6}, {b[4], &a4}, {b[2], &a2}, {b[0], &I}});
    Mat v = mul(a6, v1);
    for (std::size_t i = 0; i < v.v.size(); ++i)
        v.v[i] += v2.v[i];
    Mat r = solve(combine({{1.0, &v}, {-1.0, &u}}), combine({{1.0, &v}, {1.0, &u}}));
    for (int k = 0; k < s; ++k)
        r = mul(r, r);
    return r;
}

// Reduces a to upper Hessenberg form by Householder reflections (a similar
// matrix: the same characteristic polynomial).
void hessenberg(Mat &a) {
    const std::size_t n = a.n;
    std::vector<double> v(n);
    for (std::size_t k = 0; k + 2 < n; ++k) {
        double norm = 0.0;
        for (std::size_t i = k + 1; i < n; ++i)
            norm = std::hypot(norm, a(i, k));
        if (norm == 0.0)
            continue;
        const double alpha = a(k + 1, k) > 0 ? -norm : norm;
        std::fill(v.begin(), v.end(), 0.0);
        for (std::size_t i = k + 1; i < n; ++i)
            v[i] = a(i, k);
        v[k + 1] -= alpha;
        double vv = 0.0;
        for (std::size_t i = k + 1; i < n; ++i)
            vv += v[i] * v[i];
        if (vv == 0.0)
            continue;
        // a = (I - 2vv'/v'v) a (I - 2vv'/v'v)
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t i = k + 1; i < n; ++i)
                s += v[i] * a(i, j);
            s = 2.0 * s / vv;
            for (std::size_t i = k + 1; i < n; ++i)
                a(i, j) -= s * v[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            double s = 0.0;
            for (std::size_t j = k + 1; j < n; ++j)
                s += a(i, j) * v[j];
            s = 2.0 * s / vv;
            for (std::size_t j = k + 1; j < n; ++j)
                a(i, j) -= s * v[j];
        }
        for (std::size_t i = k + 2; i < n; ++i)
            a(i, k) = 0.0;
    }
}

// The characteristic polynomial det(xI - a), highest power first (leading
// coefficient 1), as numpy.poly gives it for a square matrix: the Hessenberg
// form, then La Budde's recurrence over its leading principal submatrices:
//   p_0 = 1
//   p_k = (x - h_kk) p_(k-1) - sum_(i<k) h_ik (h_(i+1,i) ... h_(k,k-1)) p_(i-1)
std::vector<double> char_poly(Mat a) {
    hessenberg(a);
    const std::size_t n = a.n;
    // p[k] holds p_k, lowest power first.
    std::vector<std::vector<double>> p(n + 1);
    p[0] = {1.0};
    for (std::size_t k = 1; k <= n; ++k) {
        const double hkk = a(k - 1, k - 1);
        std::vector<double> q(k + 1, 0.0);
        for (std::size_t j = 0; j < k; ++j) {
            q[j + 1] += p[k - 1][j];
            q[j] -= hkk * p[k - 1][j];
        }
        double prod = 1.0;
        for (std::size_t i = k - 1; i >= 1; --i) {
            prod *= a(i, i - 1);  // h_(i+1,i) in 1-based terms
            const double c = a(i - 1, k - 1) * prod;
            if (c != 0.0)
                for (std::size_t j = 0; j < p[i - 1].size(); ++j)
                    q[j] -= c * p[i - 1][j];
        }
        p[k] = std::move(q);
    }
    std::vector<double> out(p[n].rbegin(), p[n].rend());
    return out;
}

} // namespace

DiscreteTf cont2discrete_zoh(const std::vector<double> &num_in, const std::vector<double> &den_in,
                             double Ts) {
    // normalize(): den without leading zeros, both divided by den[0]; num
    // without leading coefficients of magnitude <= 1e-14 (one kept).
    std::size_t d0 = 0;
    while (d0 < den_in.size() && den_in[d0] == 0.0)
        ++d0;
    if (d0 == den_in.size())
        throw ValueError("Denominator must have at least on nonzero element.");
    std::vector<double> den(den_in.begin() + std::ptrdiff_t(d0), den_in.end());
    const double lead = den[0];
    std::vector<double> num(num_in.size());
    for (std::size_t i = 0; i < num.size(); ++i)
        num[i] = num_in[i] / lead;
    for (double &c : den)
        c = c / lead;
    std::size_t z = 0;
    while (z < num.size() && std::fabs(num[z]) <= 1e-14)
        ++z;
    if (z == num.size() && z > 0)
        --z;
    num.erase(num.begin(), num.begin() + std::ptrdiff_t(z));

    // tf2ss(): controller canonical form of order K - 1.
    const std::size_t M = num.size(), K = den.size();
    if (M > K)
        throw ValueError("Improper transfer function. `num` is longer than `den`.");
    if (M == 0)
        return {{}, {}};
    std::vector<double> padded(K - M, 0.0);
    padded.insert(padded.end(), num.begin(), num.end());
    const double D = padded[0];
    const std::size_t n = K == 1 ? 1 : K - 1;
    Mat A(n);
    std::vector<double> B(n, 0.0), C(n, 0.0);
    if (K > 1) {
        for (std::size_t j = 0; j < n; ++j)
            A(0, j) = -den[j + 1];
        for (std::size_t i = 1; i < n; ++i)
            A(i, i - 1) = 1.0;
        B[0] = 1.0;
        for (std::size_t j = 0; j < n; ++j)
            C[j] = padded[j + 1] - padded[0] * den[j + 1];
    }

    // Zero-order hold: expm of [A B; 0 0] * Ts.
    Mat em(n + 1);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            em(i, j) = Ts * A(i, j);
        em(i, n) = Ts * B[i];
    }
    const Mat ms = expm(em);
    Mat Ad(n);
    std::vector<double> Bd(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j)
            Ad(i, j) = ms(i, j);
        Bd[i] = ms(i, n);
    }

    // ss2tf(): den = poly(Ad), num = poly(Ad - Bd*C) + (D - 1)*den.
    DiscreteTf r;
    r.den = char_poly(Ad);
    Mat F = Ad;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            F(i, j) = Ad(i, j) - Bd[i] * C[j];
    r.num = char_poly(F);
    for (std::size_t k = 0; k < r.num.size(); ++k)
        r.num[k] = r.num[k] + (D - 1.0) * r.den[k];
    return r;
}

long long delay_samples(double delay, double Ts) {
    if (Ts == 0.0)
        throw ZeroDivisionError("float division by zero");
    const double x = delay / Ts;
    if (std::isnan(x))
        throw ValueError("cannot convert float NaN to integer");
    if (std::isinf(x))
        throw OverflowError("cannot convert float infinity to integer");
    if (!(std::fabs(x) < 4611686018427387904.0))  // 2**62
        throw OverflowError("too many delay samples");
    // Round half to even, exactly (no floating-point rounding mode involved).
    const double f = std::floor(x);
    const double rest = x - f;  // exact
    long long r = (long long)f;
    if (rest > 0.5 || (rest == 0.5 && (r % 2 != 0)))
        ++r;
    return r;
}

DiscreteTf c2d(const std::vector<double> &num, const std::vector<double> &den, double delay,
               double Ts) {
    std::size_t first = 0;
    while (first < num.size() && !(num[first] != 0.0))
        ++first;
    if (first == num.size())
        throw IndexError("index 0 is out of bounds for axis 0 with size 0");
    const std::vector<double> trimmed(num.begin() + std::ptrdiff_t(first), num.end());
    DiscreteTf r = cont2discrete_zoh(trimmed, den, Ts);
    const long long d = delay_samples(delay, Ts);
    if (d < 0)
        throw ValueError("negative dimensions are not allowed");
    r.num.insert(r.num.begin(), std::size_t(d), 0.0);
    return r;
}

} // namespace qxdcs

// Transfer-function filters around an operating point: ZFilter, a discrete
// transfer function Bz(z^-1)/Az(z^-1), and SFilter, a continuous one
// Bs(s)/As(s) discretised once with a zero-order hold and run by a ZFilter.
//
// Both work in deviations around the operating point (u_ini, y_ini):
//     y(k) = y_ini + H(z) * (u(k) - u_ini)
// with H(z) run from a zero state, so an input held at u_ini keeps the
// output at y_ini and a filter can be switched into a running loop without a
// jump. An operating point left unset is taken from the first call: u_ini
// from its input, y_ini from its y_ini argument (later calls' y_ini has no
// effect). One sample, in this order:
//     1. u_ini = Ut      if u_ini is unset
//     2. y_ini = y_ini   if y_ini is unset (the call's argument, default 0.0)
//     3. y = H step of (Ut - u_ini), the state advancing (tdf2_filter.hpp)
//     4. return y + y_ini
// A block of samples (run_multistep) does the same with u_ini taken from its
// first sample, and gives the same outputs as per-sample calls.
//
// A recursive filter agrees with scipy.signal.lfilter bit for bit, per
// sample and per block. A block through a filter without feedback (Az of
// one coefficient) sums the convolution in NumPy's order; NumPy hands longer
// sums to BLAS, so such blocks may differ from lfilter in the last bit (the
// Python module computes them with NumPy itself).
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "qxdcs/operating_point.hpp"
#include "qxdcs/tdf2_filter.hpp"

namespace qxdcs {

class ZFilter {
public:
    // The coefficients as given, with lfilter's checks: ValueError for an
    // empty Az ("There must be at least one `a` coefficient.") and for
    // Az[0] == 0 ("First `a` filter coefficient must be non-zero."). An
    // empty Bz is accepted and refused by every run, as lfilter refuses it
    // ("Parameter b is not a non-empty 1d array, since b.shape=(0,)!").
    explicit ZFilter(std::vector<double> Bz = {0.0, 0.1}, std::vector<double> Az = {1.0, -0.9},
                     std::optional<double> u_ini = std::nullopt,
                     std::optional<double> y_ini = std::nullopt);

    // One sample (steps 1 to 4).
    double operator()(double Ut, double y_ini = 0.0) {
        require_numerator();
        op_.fill(Ut, y_ini);
        return kernel_.step(Ut - *op_.u0, zi_.data()) + *op_.y0;
    }
    double run(double Ut, double y_ini = 0.0) { return (*this)(Ut, y_ini); }

    // A block of samples; IndexError for an empty block while u_ini is unset
    // ("index 0 is out of bounds for axis 0 with size 0").
    std::vector<double> run_multistep(const std::vector<double> &U, double y_ini = 0.0);

    const std::vector<double> &Bz() const { return bz_; }
    const std::vector<double> &Az() const { return az_; }
    std::optional<double> u_ini() const { return op_.u0; }
    std::optional<double> y_ini() const { return op_.y0; }
    const OperatingPoint &operating_point() const { return op_; }
    const Tdf2Filter &kernel() const { return kernel_; }

    // The state (lfilter's zi), max(len(Bz), len(Az)) - 1 entries.
    const std::vector<double> &zi() const { return zi_; }
    std::size_t state_size() const { return zi_.size(); }
    // Restoring: ValueError for a state of another length ("_zi must hold N values").
    void set_zi(const std::vector<double> &zi);
    void set_operating_point(std::optional<double> u_ini, std::optional<double> y_ini) {
        op_.u0 = u_ini;
        op_.y0 = y_ini;
    }

private:
    void require_numerator() const;

    std::vector<double> bz_, az_;
    Tdf2Filter kernel_;
    OperatingPoint op_;
    std::vector<double> zi_;
};

class SFilter {
public:
    // Bs/As discretised as scipy.signal.cont2discrete((Bs, As), Ts) does it
    // (zero-order hold, c2d.hpp); the discrete numerator is taken whole (its
    // leading zero included). The default is the unit-gain lag 1/(5s + 1).
    explicit SFilter(std::vector<double> Bs = {1.0}, std::vector<double> As = {5.0, 1.0},
                     double Ts = 1.0, std::optional<double> u_ini = std::nullopt,
                     std::optional<double> y_ini = std::nullopt);
    // An SFilter of its parts, as restored from a saved state: the
    // continuous coefficients and sample period as recorded, and the
    // ZFilter doing the work (not discretised again).
    SFilter(std::vector<double> Bs, std::vector<double> As, double Ts, ZFilter zfilter)
        : bs_(std::move(Bs)), as_(std::move(As)), ts_(Ts), zf_(std::move(zfilter)) {}

    double operator()(double Ut, double y_ini = 0.0) { return zf_(Ut, y_ini); }
    double run(double Ut, double y_ini = 0.0) { return zf_(Ut, y_ini); }
    std::vector<double> run_multistep(const std::vector<double> &U, double y_ini = 0.0) {
        return zf_.run_multistep(U, y_ini);
    }

    const std::vector<double> &Bs() const { return bs_; }
    const std::vector<double> &As() const { return as_; }
    double Ts() const { return ts_; }
    ZFilter &zfilter() { return zf_; }
    const ZFilter &zfilter() const { return zf_; }

private:
    std::vector<double> bs_, as_;
    double ts_;
    ZFilter zf_;
};

} // namespace qxdcs

// The C++ types behind qxFilter.zFilter and qxFilter.sFilter.
//
// qxFilter binds these types; no other module binds them again. A module
// that works with the filters (the soft sensor) imports qxdcs.algorithm.qxFilter
// at run time, builds filters by calling its classes, and may then reach the
// native object of a filter with nb::inst_ptr<qxfilter::SFilter>(obj) after
// checking nb::isinstance<qxfilter::SFilter>(obj), to run it without a
// Python call per sample.
//
// A zFilter works in deviations around its operating point (u_ini, y_ini):
//     y(k) = y_ini + H(z) * (u(k) - u_ini)
// with H(z) = Bz(z^-1) / Az(z^-1) run by qxcore::Tdf2Filter from a zero state.
// An operating point left unset (None) is taken from the first call: u_ini
// from its input, y_ini from its y_ini argument.
#pragma once

#include <nanobind/nanobind.h>

#include "qx_args.hpp"
#include "tdf2_filter.hpp"
#include "qx_fastcall.hpp"

namespace qxfilter {

namespace nb = nanobind;

// Coefficients as a new float64 array; a single number (or None) has no
// length and is refused as len() refuses it.
inline nb::object coefficients(nb::handle seq) {
    nb::object arr = qxargs::numpy().attr("array")(seq, nb::arg("dtype") = "float64");
    if (nb::cast<int>(arr.attr("ndim")) == 0)
        throw nb::type_error("len() of unsized object");
    return arr;
}

struct ZFilter {
    qxfast::CallSlot<ZFilter> call_slot;  // direct calls (qx_fastcall.hpp)
    qxcore::Tdf2Filter kern;
    nb::object Bz, Az;            // read-only float64 arrays, as given
    nb::object u_obj, y_obj;      // _u_ini / _y_ini as stored (None while unset)
    double u0 = 0.0, y0 = 0.0;    // their values once set
    bool u_set = false, y_set = false;
    bool b_empty = false;         // an empty numerator fails on every call
    nb::object zi;                // the state array (float64)
    qxargs::FloatBuffer zbuf;     // its data, advanced in place by the kernel

    ZFilter() = default;

    ZFilter(nb::handle Bz_, nb::handle Az_, nb::handle u_ini, nb::handle y_ini) {
        nb::object b = coefficients(Bz_);
        nb::object a = coefficients(Az_);
        qxargs::FloatBuffer ab(a, false), bb(b, false);
        if (ab.ndim() > 1)
            throw nb::value_error("Filter coefficients `a` must be 1-D.");
        if (bb.ndim() > 1)
            throw nb::value_error("Filter coefficients `b` must be 1-D.");
        if (ab.size() == 0)
            throw nb::value_error("There must be at least one `a` coefficient.");
        u_set = qxargs::real_or_none(u_ini, "u_ini", u0);
        y_set = qxargs::real_or_none(y_ini, "y_ini", y0);
        u_obj = nb::borrow(u_ini);
        y_obj = nb::borrow(y_ini);
        set_coefficients(std::move(b), std::move(a), bb, ab);
        // The state of an all-zero history; a zero a[0] is refused here.
        qxcore::initial_state(bb.data(), bb.size(), ab.data(), ab.size(), nullptr, 0, nullptr,
                              0, zbuf.data());
    }

    // Takes b and a (read-only from here on) and allocates a state of the
    // right length, without filling it.
    void set_coefficients(nb::object b, nb::object a, const qxargs::FloatBuffer &bb,
                          const qxargs::FloatBuffer &ab) {
        const std::size_t nb_ = std::size_t(bb.size()), na_ = std::size_t(ab.size());
        b_empty = nb_ == 0;
        const std::size_t n = (nb_ > na_ ? nb_ : na_) - 1;
        if (!b_empty && ab.data()[0] != 0.0)
            kern = qxcore::Tdf2Filter(bb.data(), nb_, ab.data(), na_);
        qxargs::set_read_only(b);
        qxargs::set_read_only(a);
        Bz = std::move(b);
        Az = std::move(a);
        zi = qxargs::zeros_float_array(Py_ssize_t(n));
        zbuf = qxargs::FloatBuffer(zi, true);
    }

    [[noreturn]] void raise_empty_b() const {
        throw nb::value_error("Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
    }

    void fix_operating_point(double u_first, double y_ini) {
        if (!u_set) {
            u_obj = nb::float_(u_first);
            u0 = u_first;
            u_set = true;
        }
        if (!y_set) {
            y_obj = nb::float_(y_ini);
            y0 = y_ini;
            y_set = true;
        }
    }

    // One sample.
    double call(double Ut, double y_ini) {
        if (b_empty)
            raise_empty_b();
        if (!(u_set && y_set))
            fix_operating_point(Ut, y_ini);
        return kern.step(Ut - u0, zbuf.data()) + y0;
    }

    // A block of samples (any sequence of numbers); returns a new array.
    nb::object run_multistep(nb::handle U_arr, double y_ini) {
        qxargs::FloatBuffer xb;
        nb::object x = qxargs::input_block(U_arr, zbuf, xb);
        if (xb.ndim() != 1)
            throw nb::value_error("U_arr must be a one-dimensional sequence of numbers");
        const Py_ssize_t n = xb.size();
        if (b_empty)
            raise_empty_b();
        if (!u_set && n == 0)
            throw nb::index_error("index 0 is out of bounds for axis 0 with size 0");
        fix_operating_point(n > 0 ? xb.data()[0] : 0.0, y_ini);
        if (kern.moving_average() && n > 1 && kern.state_size() > 0)
            return moving_average_block(x, n);
        nb::object y = qxargs::new_float_array(n);
        qxargs::FloatBuffer yb(y, true);
        kern.run(xb.data(), yb.data(), std::size_t(n), zbuf.data(), u0, y0);
        return y;
    }

    // A block through a filter without feedback, computed as lfilter computes
    // it: the full convolution by NumPy, whose long sums go to BLAS in an
    // order that depends on the processor, plus the state on its first terms.
    nb::object moving_average_block(nb::handle x, Py_ssize_t n) {
        nb::handle np = qxargs::numpy();
        nb::object taps = np.attr("divide")(Bz, Az[nb::int_(0)]);
        nb::object full = np.attr("convolve")(taps, np.attr("subtract")(x, u0));
        const Py_ssize_t m = Py_ssize_t(kern.state_size());
        nb::object head = nb::steal(PySlice_New(nullptr, nb::int_(m).ptr(), nullptr));
        full[head] = np.attr("add")(full[head], zi);
        qxargs::FloatBuffer fb(full, false);
        double *z = zbuf.data();
        for (Py_ssize_t j = 0; j < m; ++j)
            z[j] = fb.data()[n + j];
        nb::object y = qxargs::new_float_array(n);
        qxargs::FloatBuffer yb(y, true);
        for (Py_ssize_t k = 0; k < n; ++k)
            yb.data()[k] = fb.data()[k] + y0;
        return y;
    }
};

struct SFilter {
    qxfast::CallSlot<SFilter> call_slot;  // direct calls (qx_fastcall.hpp)
    nb::object Bs, As, Ts;        // as stored at construction
    nb::object zf_obj;            // the zFilter doing the work (_zfilter)
    ZFilter *zf = nullptr;        // its native object

    double call(double Ut, double y_ini) { return zf->call(Ut, y_ini); }

    nb::object run_multistep(nb::handle U_arr, double y_ini) {
        qxargs::as_list(U_arr, "U_arr");
        return zf->run_multistep(U_arr, y_ini);
    }
};

} // namespace qxfilter

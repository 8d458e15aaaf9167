// The binding side of the transfer-function blocks (zFilter, sFilter, LDLAG;
// the process model elements are views of library elements, and read their
// coefficients with FilterCoefficients only): the coefficient arrays that Python
// sees, the kernel built from them, the live state array `_zi` and its
// setter, block runs and the state for pickling.
//
// The arithmetic is qxdcs::Tdf2Filter (qxdcs/tdf2_filter.hpp): transposed
// direct form II, normalised by a[0] exactly as scipy.signal.lfilter does,
// so outputs and states agree with lfilter bit for bit. step() is plain
// native code: a block that holds a FilterObject can be advanced from C++
// with no Python call.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "bind/kept.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/tdf2_filter.hpp"

namespace qxb {

namespace nb = nanobind;

// Coefficient vectors as lfilter checks them, before a filter is built.
struct FilterCoefficients {
    FloatArray b, a;

    // New float64 arrays from any sequences: a single number (or None) has
    // no length and is refused as len() refuses it; more than one dimension
    // and an empty denominator are refused with lfilter's messages.
    static FilterCoefficients read(nb::handle b_seq, nb::handle a_seq) {
        FilterCoefficients c{FloatArray::copy_of(b_seq), FloatArray::copy_of(a_seq)};
        if (c.b.ndim() == 0 || c.a.ndim() == 0)
            throw nb::type_error("len() of unsized object");
        if (c.a.ndim() > 1)
            throw nb::value_error("Filter coefficients `a` must be 1-D.");
        if (c.b.ndim() > 1)
            throw nb::value_error("Filter coefficients `b` must be 1-D.");
        if (c.a.size() == 0)
            throw nb::value_error("There must be at least one `a` coefficient.");
        return c;
    }
};

class FilterObject {
public:
    FilterObject() = default;
    FilterObject(FilterObject &&) noexcept = default;
    FilterObject &operator=(FilterObject &&) noexcept = default;

    // A filter of the checked coefficients (kept read-only) with no state
    // yet. a[0] == 0 is refused with lfilter's message. An empty numerator
    // is accepted here and refused by every run (require_numerator()).
    static FilterObject build(FilterCoefficients c) {
        const double *a = c.a.data();
        if (a[0] == 0.0)
            throw nb::value_error("First `a` filter coefficient must be non-zero.");
        FilterObject f;
        if (c.b.size() > 0)
            f.kern_ = qxdcs::Tdf2Filter(c.b.data(), c.b.size(), a, c.a.size());
        f.n_state_ = (c.b.size() > c.a.size() ? c.b.size() : c.a.size()) - 1;
        f.empty_b_ = c.b.size() == 0;
        // The arrays callers see are the filter's own (FloatArray::native).
        f.b_ = FloatArray::native_of(c.b.data(), c.b.size());
        f.a_ = FloatArray::native_of(c.a.data(), c.a.size());
        f.b_.set_read_only();
        f.a_.set_read_only();
        return f;
    }

    const nb::object &b() const { return b_.object(); }
    const nb::object &a() const { return a_.object(); }
    const double *b_data() const { return b_.data(); }
    const double *a_data() const { return a_.data(); }
    std::size_t nb_coef() const { return b_.size(); }
    std::size_t na_coef() const { return a_.size(); }
    const qxdcs::Tdf2Filter &kernel() const { return kern_; }
    std::size_t state_size() const { return n_state_; }

    void require_numerator() const {
        if (empty_b_)
            throw nb::value_error("Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
    }

    // --- the state -------------------------------------------------------------------------------
    // The live state array (None while the filter has none): it changes as
    // the filter runs, and writing into it changes the filter.
    bool has_state() const { return zi_.held(); }
    nb::object state() const { return zi_.held() ? zi_.object() : nb::none(); }
    double *state_data() const { return zi_.data(); }

    // A new state array: that of an all-zero history, as lfiltic computes
    // it (zeros divided by a[0], so -0.0 where a[0] < 0); or filled by `fill(z)`.
    void zero_state() {
        new_state([this](double *z) {
            qxdcs::initial_state(b_.data(), b_.size(), a_.data(), a_.size(), nullptr, 0, nullptr,
                                  0, z);
        });
    }
    template <class Fill> void new_state(Fill &&fill) {
        FloatArray z = FloatArray::native(n_state_);
        fill(z.data());
        zi_ = std::move(z);
    }
    void drop_state() { zi_.release(); }

    // The _zi setter: a sequence of exactly state_size() numbers, copied
    // into the live state (allocated if there is none). `fmt` is the
    // ValueError message for a wrong length, with one %zd for the size.
    void set_state(nb::handle v, const char *fmt) {
        FloatArray src = FloatArray::read(v);
        if (src.ndim() != 1 || src.size() != n_state_) {
            PyErr_Format(PyExc_ValueError, fmt, Py_ssize_t(n_state_));
            throw nb::python_error();
        }
        if (!zi_.held())
            zi_ = FloatArray::native(n_state_);
        std::memmove(zi_.data(), src.data(), n_state_ * sizeof(double));
    }

    // A copy of the state for pickling (None while there is none).
    nb::object state_copy() const {
        return zi_.held() ? FloatArray::of(zi_.data(), n_state_).object() : nb::none();
    }

    // --- running ---------------------------------------------------------------------------------
    // One sample; the state must exist and the numerator must not be empty.
    double step(double x) const { return kern_.step(x, zi_.data()); }

    // A block of input samples as a one-dimensional float64 array, copied
    // when it shares memory with the state (which the run overwrites while
    // it reads). `what` names the input in the error for another shape.
    FloatArray read_block(nb::handle seq, const char *what) const {
        FloatArray x = FloatArray::read(seq);
        if (x.overlaps(zi_))
            x = FloatArray::copy_of(x.object(), false);
        if (x.ndim() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must be a one-dimensional sequence of numbers", what);
            throw nb::python_error();
        }
        return x;
    }

    // y[k] = y_offset + H(z)(x[k] - x_offset) for the whole block, from the
    // current state, which advances; returns the new output array.
    //
    // A block through a filter without feedback is computed as lfilter
    // computes it: the full convolution by NumPy, whose long sums go to BLAS
    // in an order that depends on the processor, plus the state on its first
    // terms.
    FloatArray run_block(const FloatArray &x, double x_offset, double y_offset) {
        const std::size_t n = x.size();
        if (kern_.moving_average() && n > 1 && n_state_ > 0)
            return moving_average_block(x, x_offset, y_offset);
        FloatArray y = FloatArray::empty(n);
        kern_.run(x.data(), y.data(), n, zi_.data(), x_offset, y_offset);
        return y;
    }

    // Garbage collection: the arrays are the filter's own and refer to nothing.
    int visit(visitproc visit, void *arg) const {
        Py_VISIT(b_.object().ptr());
        Py_VISIT(a_.object().ptr());
        Py_VISIT(zi_.object().ptr());
        return 0;
    }
    void clear(ReleaseLast &) {}

private:
    FloatArray moving_average_block(const FloatArray &x, double x_offset, double y_offset) {
        nb::handle np = numpy();
        const std::size_t n = x.size(), m = n_state_;
        nb::object taps = np.attr("divide")(b(), a()[nb::int_(0)]);
        FloatArray full = FloatArray::read(
            np.attr("convolve")(taps, np.attr("subtract")(x.object(), x_offset)), true);
        for (std::size_t j = 0; j < m; ++j)
            full.data()[j] = full.data()[j] + zi_.data()[j];
        double *z = zi_.data();
        for (std::size_t j = 0; j < m; ++j)
            z[j] = full.data()[n + j];
        FloatArray y = FloatArray::empty(n);
        for (std::size_t k = 0; k < n; ++k)
            y.data()[k] = full.data()[k] + y_offset;
        return y;
    }

    FloatArray b_, a_;
    qxdcs::Tdf2Filter kern_;
    std::size_t n_state_ = 0;
    bool empty_b_ = false;
    FloatArray zi_;
};

} // namespace qxb

// NumPy access for the binding units: one cache of the module, and one way
// to read and make float64 arrays (coefficient, state and signal vectors).
//
// NumPy is imported on first use and kept for the life of the process; a
// module that must not load NumPy on import (utilities) simply does not call
// these before a function needs them.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace qxb {

namespace nb = nanobind;

// --- the module and a few attributes, looked up once ------------------------------------

inline nb::handle numpy() {
    static PyObject *np = nullptr;
    if (!np)
        np = nb::module_::import_("numpy").release().ptr();
    return np;
}

// numpy.<name>, looked up on every call (for construction-time work).
inline nb::object np_attr(const char *name) { return numpy().attr(name); }

inline nb::handle dtype_float64() {
    static PyObject *d = nullptr;
    if (!d)
        d = numpy().attr("dtype")("float64").release().ptr();
    return d;
}

inline nb::handle dtype_int64() {
    static PyObject *d = nullptr;
    if (!d)
        d = numpy().attr("dtype")("int64").release().ptr();
    return d;
}

// --- float64 arrays --------------------------------------------------------------------------

// A float64 array together with its data, held through the buffer protocol;
// the GIL must be held to create, move or drop one. An array that a block
// keeps and shows to callers is made by native() (see there): NumPy's own
// arrays can be reallocated by their owner even while a buffer is held.
//
// Every array reaches native code through read() (any sequence of numbers,
// no copy when it already is a C-contiguous aligned float64 array) or
// copy_of() (always a new array, for coefficients the block keeps).
class FloatArray {
public:
    FloatArray() { view_.obj = nullptr; }
    FloatArray(const FloatArray &) = delete;
    FloatArray &operator=(const FloatArray &) = delete;
    FloatArray(FloatArray &&o) noexcept : arr_(std::move(o.arr_)), view_(o.view_) {
        o.view_.obj = nullptr;
    }
    FloatArray &operator=(FloatArray &&o) noexcept {
        if (this != &o) {
            // The previous array goes last (its release may run Python code).
            FloatArray previous(std::move(*this));
            arr_ = std::move(o.arr_);
            view_ = o.view_;
            o.view_.obj = nullptr;
        }
        return *this;
    }
    ~FloatArray() { release(); }

    // np.asarray(seq, dtype=float64, order="C"); data that is not aligned
    // for native access (a view into a byte buffer at an odd offset) is
    // copied into a new array.
    static FloatArray read(nb::handle seq, bool writable = false) {
        nb::object a = numpy().attr("asarray")(seq, nb::arg("dtype") = dtype_float64(),
                                               nb::arg("order") = "C");
        FloatArray r;
        if (r.acquire(std::move(a), writable))
            return r;
        return copy_of_array(r.arr_, writable);
    }

    // np.array(seq, dtype=float64): always a new array, never a view of seq.
    static FloatArray copy_of(nb::handle seq, bool writable = true) {
        nb::object a = numpy().attr("array")(seq, nb::arg("dtype") = dtype_float64());
        FloatArray r;
        if (!r.acquire(std::move(a), writable))
            throw nb::type_error("expected a float64 array");  // a new array is aligned
        return r;
    }

    // A new one-dimensional array of n elements, uninitialised or zero.
    static FloatArray empty(std::size_t n) {
        FloatArray r;
        r.acquire(numpy().attr("empty")(Py_ssize_t(n), nb::arg("dtype") = dtype_float64()), true);
        return r;
    }
    static FloatArray zeros(std::size_t n) {
        FloatArray r;
        r.acquire(numpy().attr("zeros")(Py_ssize_t(n), nb::arg("dtype") = dtype_float64()), true);
        return r;
    }
    // A new one-dimensional array of n zeros whose memory belongs to this
    // library, not to NumPy: the array a caller sees does not own its data,
    // and nothing reachable from it does, so no caller can resize or free the
    // memory that native code reads (ndarray.resize with refcheck=False
    // reallocates an array that owns its data even while a buffer of it is
    // held). For arrays a block keeps and shows: coefficients, states, tables.
    static FloatArray native(std::size_t n) {
        double *buf = new double[n ? n : 1]();
        nb::capsule owner(buf, [](void *p) noexcept { delete[] static_cast<double *>(p); });
        return view_of(buf, n, std::move(owner));
    }
    // A one-dimensional array of the n doubles at `data`, which `owner` (a
    // capsule) keeps alive: memory of a native object's, shown live, and, as
    // with native(), not the array's own, so no caller can resize or free it.
    static FloatArray view_of(double *data, std::size_t n, nb::capsule owner) {
        nb::object arr = nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, {n}, owner));
        FloatArray r;
        if (!r.acquire(std::move(arr), true))
            throw nb::type_error("expected a float64 array");
        return r;
    }
    // The same, holding a copy of v[0..n).
    static FloatArray native_of(const double *v, std::size_t n) {
        FloatArray r = native(n);
        if (n)
            std::memcpy(r.data(), v, n * sizeof(double));
        return r;
    }

    // A new one-dimensional array holding v[0..n).
    static FloatArray of(const double *v, std::size_t n) {
        FloatArray r = empty(n);
        if (n)
            std::memcpy(r.data(), v, n * sizeof(double));
        return r;
    }

    bool held() const { return view_.obj != nullptr; }
    const nb::object &object() const { return arr_; }
    double *data() const { return static_cast<double *>(view_.buf); }
    std::size_t size() const {
        return view_.obj ? std::size_t(view_.len) / sizeof(double) : 0;
    }
    int ndim() const { return view_.obj ? view_.ndim : 0; }

    // Whether the two arrays share any memory.
    bool overlaps(const FloatArray &o) const {
        if (!view_.obj || !o.view_.obj || view_.len == 0 || o.view_.len == 0)
            return false;
        const char *a = static_cast<const char *>(view_.buf);
        const char *b = static_cast<const char *>(o.view_.buf);
        return a < b + o.view_.len && b < a + view_.len;
    }

    // arr.setflags(write=False): callers can read the array but not write it.
    void set_read_only() const { arr_.attr("setflags")(nb::arg("write") = false); }

    // Drops the data and the array.
    void release() {
        if (view_.obj)
            PyBuffer_Release(&view_);
        view_.obj = nullptr;
        arr_ = nb::object();
    }

private:
    // Takes `a` and its data; false (array kept, data not) when the data is
    // not native, aligned float64.
    bool acquire(nb::object a, bool writable) {
        arr_ = std::move(a);
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(arr_.ptr(), &view_, flags) != 0) {
            view_.obj = nullptr;
            throw nb::python_error();
        }
        if (view_.itemsize != sizeof(double) || !native_double(view_.format) ||
            reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            PyBuffer_Release(&view_);
            view_.obj = nullptr;
            return false;
        }
        return true;
    }

    static bool native_double(const char *f) {
        if (!f)
            return false;
        if (*f == '@' || *f == '=' || (*f == '<' && little_endian()))
            ++f;
        return f[0] == 'd' && f[1] == '\0';
    }
    static bool little_endian() {
        const std::uint16_t one = 1;
        unsigned char b;
        std::memcpy(&b, &one, 1);
        return b == 1;
    }

    static FloatArray copy_of_array(const nb::object &a, bool writable) {
        nb::object c = numpy().attr("array")(a, nb::arg("dtype") = dtype_float64(),
                                             nb::arg("order") = "C");
        FloatArray r;
        if (!r.acquire(std::move(c), writable))
            throw nb::type_error("expected a float64 array");
        return r;
    }

    nb::object arr_;
    Py_buffer view_;
};

} // namespace qxb

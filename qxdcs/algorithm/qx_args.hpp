// Argument conventions shared by every binding unit of qxdcs.algorithm.
//
//  * A parameter declared with a built-in type (str, int, dict, list, tuple)
//    accepts exactly that type: a subclass, bool for int, or None is refused
//    with TypeError "Argument '<name>' has incorrect type (expected <T>, got <U>)".
//  * A parameter declared as a float accepts any real number (int, float,
//    NumPy scalars, anything with __float__ or __index__) and is converted to
//    a double; anything else raises TypeError.
//  * A float parameter whose default is None accepts only a float or None.
//
// Every check runs before the caller touches any state, so a refused call
// leaves the block exactly as it was.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <utility>

namespace qxargs {

namespace nb = nanobind;

[[noreturn]] inline void raise_incorrect_type(const char *name, const char *expected,
                                              nb::handle got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// Exact-type check: `tp` itself, no subclass, no None.
inline void require_exact(nb::handle h, PyTypeObject *tp, const char *name,
                          const char *expected) {
    if (Py_TYPE(h.ptr()) != tp)
        raise_incorrect_type(name, expected, h);
}

inline nb::str as_str(nb::handle h, const char *name) {
    require_exact(h, &PyUnicode_Type, name, "str");
    return nb::borrow<nb::str>(h);
}

inline nb::dict as_dict(nb::handle h, const char *name) {
    require_exact(h, &PyDict_Type, name, "dict");
    return nb::borrow<nb::dict>(h);
}

inline nb::list as_list(nb::handle h, const char *name) {
    require_exact(h, &PyList_Type, name, "list");
    return nb::borrow<nb::list>(h);
}

inline nb::tuple as_tuple(nb::handle h, const char *name) {
    require_exact(h, &PyTuple_Type, name, "tuple");
    return nb::borrow<nb::tuple>(h);
}

// An exact int (bool refused) that fits in a C long long; a larger value
// raises OverflowError.
inline long long as_int(nb::handle h, const char *name) {
    require_exact(h, &PyLong_Type, name, "int");
    long long v = PyLong_AsLongLong(h.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// Whether a real-number conversion of `h` to double would succeed.
inline bool is_real(nb::handle h) {
    PyObject *o = h.ptr();
    if (PyFloat_Check(o) || PyLong_Check(o))
        return true;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_float || nm->nb_index);
}

// A real number converted to double: float, int, NumPy scalars, __float__ or
// __index__. Anything else raises TypeError ("must be real number, not str").
inline double to_double(nb::handle h) {
    PyObject *o = h.ptr();
    if (PyFloat_CheckExact(o))
        return PyFloat_AS_DOUBLE(o);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// A float parameter whose default is None: exactly a float, or None.
inline std::optional<double> float_or_none(nb::handle h, const char *name) {
    if (h.is_none())
        return std::nullopt;
    require_exact(h, &PyFloat_Type, name, "float");
    return PyFloat_AS_DOUBLE(h.ptr());
}

// A real number or None, for an operating point given at construction: None
// gives false; a real number gives true and its value in `out`; anything
// else is refused as a float parameter would be.
inline bool real_or_none(nb::handle h, const char *name, double &out) {
    if (h.is_none())
        return false;
    if (!is_real(h))
        raise_incorrect_type(name, "float", h);
    out = to_double(h);
    return true;
}

// AttributeError "'<type>' object has no attribute '<name>'".
[[noreturn]] inline void raise_no_attribute(const char *type_name, const char *name) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", type_name, name);
    throw nb::python_error();
}

// A line to standard output through Python's own print(), so that callers
// can redirect or capture it.
inline void py_print(nb::handle value) {
    nb::module_::import_("builtins").attr("print")(value);
}

inline void py_print(const char *line) { py_print(nb::str(line)); }

inline void py_print(const std::string &line) {
    py_print(nb::str(line.data(), line.size()));
}

// ---------------------------------------------------------------------------
// Float arrays (NumPy float64) for coefficient and signal vectors.
// NumPy is imported on first use and kept for the life of the process.
// ---------------------------------------------------------------------------

inline nb::handle numpy() {
    static PyObject *np = nullptr;
    if (!np)
        np = nb::module_::import_("numpy").release().ptr();
    return np;
}

// np.asarray(seq, dtype=float64, order="C"): no copy when seq already is one.
inline nb::object as_float_array(nb::handle seq) {
    nb::handle np = numpy();
    return np.attr("asarray")(seq, nb::arg("dtype") = np.attr("float64"), nb::arg("order") = "C");
}

// np.array(seq, dtype=float64) made at least one-dimensional: always a new
// array, which the caller may mark read-only without touching seq.
inline nb::object float_array_copy(nb::handle seq) {
    nb::handle np = numpy();
    return np.attr("atleast_1d")(np.attr("array")(seq, nb::arg("dtype") = np.attr("float64")));
}

inline nb::object new_float_array(Py_ssize_t n) { return numpy().attr("empty")(n); }
inline nb::object zeros_float_array(Py_ssize_t n) { return numpy().attr("zeros")(n); }

inline void set_read_only(nb::handle arr) { arr.attr("setflags")(nb::arg("write") = false); }

// The data of a C-contiguous float64 array (any number of dimensions),
// through the buffer protocol. The view is held, and the data stays put,
// until release() or destruction; the GIL must be held for both.
class FloatBuffer {
public:
    FloatBuffer() { view_.obj = nullptr; }
    FloatBuffer(nb::handle arr, bool writable) {
        view_.obj = nullptr;
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(arr.ptr(), &view_, flags) != 0)
            throw nb::python_error();
        if (view_.itemsize != sizeof(double) || !view_.format || view_.format[0] != 'd' ||
            view_.format[1] != '\0') {
            release();
            throw nb::type_error("expected a float64 array");
        }
    }
    FloatBuffer(const FloatBuffer &) = delete;
    FloatBuffer &operator=(const FloatBuffer &) = delete;
    FloatBuffer(FloatBuffer &&o) noexcept : view_(o.view_) { o.view_.obj = nullptr; }
    FloatBuffer &operator=(FloatBuffer &&o) noexcept {
        if (this != &o) {
            release();
            view_ = o.view_;
            o.view_.obj = nullptr;
        }
        return *this;
    }
    ~FloatBuffer() { release(); }

    void release() {
        if (view_.obj)
            PyBuffer_Release(&view_);
        view_.obj = nullptr;
    }
    bool held() const { return view_.obj != nullptr; }
    double *data() const { return static_cast<double *>(view_.buf); }
    Py_ssize_t size() const { return view_.obj ? view_.len / Py_ssize_t(sizeof(double)) : 0; }
    int ndim() const { return view_.ndim; }
    // Whether the two buffers share any memory.
    bool overlaps(const FloatBuffer &o) const {
        if (!view_.obj || !o.view_.obj || view_.len == 0 || o.view_.len == 0)
            return false;
        const char *a = static_cast<const char *>(view_.buf);
        const char *b = static_cast<const char *>(o.view_.buf);
        return a < b + o.view_.len && b < a + view_.len;
    }

private:
    Py_buffer view_;
};

// A block of input samples as a float64 array, its data held in `buf`. The
// array is a copy when it shares memory with `state` (the filter's own state
// array or a view of it), which the block overwrites while it reads.
inline nb::object input_block(nb::handle seq, const FloatBuffer &state, FloatBuffer &buf) {
    nb::object x = as_float_array(seq);
    buf = FloatBuffer(x, false);
    if (buf.overlaps(state)) {
        buf.release();
        x = float_array_copy(x);
        buf = FloatBuffer(x, false);
    }
    return x;
}

} // namespace qxargs

// ============================================================================
// Numbers kept as the caller passed them.
//
// Some blocks store a caller's number unchanged (an int limit stays an int,
// the very object is returned) while doing their arithmetic natively. A
// number is "plain" when Python's arithmetic and comparisons on it agree
// exactly with those on its double value, also for the sum or difference of
// two plain numbers: an exact float, or an exact int or bool of magnitude at
// most 2**52. Any other object takes the caller's slow path through Python's
// own operators, so its semantics (and error messages) are Python's.
// ============================================================================
namespace qxargs {

constexpr long long kPlainIntMax = 4503599627370496LL;  // 2**52

inline bool plain_number(nb::handle h, double &out) {
    PyObject *o = h.ptr();
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyFloat_Type) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (tp == &PyLong_Type || tp == &PyBool_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v > kPlainIntMax || v < -kPlainIntMax)
            return false;
        out = double(v);
        return true;
    }
    return false;
}

// A number slot: None, a float held natively, or a caller's object (with its
// double value when the object is plain).
//
// Releasing the caller's previous object may run its __del__, and that may
// call the block that owns the slot. Every change therefore completes the
// slot first and releases the previous object last.
class KeptNumber {
public:
    enum Kind : unsigned char { None, Float, Plain, Other };

    KeptNumber() = default;
    KeptNumber(const KeptNumber &) = default;
    KeptNumber(KeptNumber &&) noexcept = default;
    KeptNumber &operator=(const KeptNumber &o) {
        if (this != &o) {
            nb::object previous = std::move(obj_);
            obj_ = o.obj_;
            d_ = o.d_;
            kind_ = o.kind_;
        }
        return *this;
    }
    KeptNumber &operator=(KeptNumber &&o) noexcept {
        if (this != &o) {
            nb::object previous = std::move(obj_);
            obj_ = std::move(o.obj_);
            d_ = o.d_;
            kind_ = o.kind_;
        }
        return *this;
    }
    static KeptNumber none() { return KeptNumber(); }
    static KeptNumber of_float(double v) {
        KeptNumber k;
        k.set_float(v);
        return k;
    }
    static KeptNumber of(nb::handle h) {
        KeptNumber k;
        k.set(h);
        return k;
    }

    Kind kind() const { return kind_; }
    bool is_none() const { return kind_ == None; }
    bool plain() const { return kind_ == Float || kind_ == Plain; }
    // A Python float (no object of the caller's behind it).
    bool is_float() const { return kind_ == Float; }
    double value() const { return d_; }

    void set_none() {
        nb::object previous = std::move(obj_);
        kind_ = None;
    }
    void set_float(double v) {
        nb::object previous = std::move(obj_);
        d_ = v;
        kind_ = Float;
    }
    // Keep `h` as passed; an exact float is held by value.
    void set(nb::handle h) {
        if (h.is_none()) {
            set_none();
        } else if (Py_TYPE(h.ptr()) == &PyFloat_Type) {
            set_float(PyFloat_AS_DOUBLE(h.ptr()));
        } else {
            double d = 0.0;
            Kind k = plain_number(h, d) ? Plain : Other;
            nb::object previous = std::move(obj_);
            obj_ = nb::borrow(h);
            d_ = d;
            kind_ = k;
        }
    }
    // The value as a Python object (a new float for a natively held float).
    nb::object object() const {
        switch (kind_) {
        case None: return nb::none();
        case Float: return nb::steal(PyFloat_FromDouble(d_));
        default: return obj_;
        }
    }
    // The caller's object held (null for None and natively held floats), for
    // the garbage collector's traversal.
    nb::handle held() const { return obj_; }

private:
    nb::object obj_;
    double d_ = 0.0;
    Kind kind_ = None;
};

// Python's own binary operators and comparisons, for the slow paths.
inline nb::object py_binop(PyObject *(*op)(PyObject *, PyObject *), nb::handle a,
                           nb::handle b) {
    PyObject *r = op(a.ptr(), b.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
inline nb::object py_unop(PyObject *(*op)(PyObject *), nb::handle a) {
    PyObject *r = op(a.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
// bool(a <op> b) for op one of Py_LT, Py_LE, Py_GT, Py_GE, exactly as the
// operator evaluates it (reflected method, then truth value).
inline bool py_compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// An exact int or bool of magnitude at most 2**62, so that the sum or
// difference of two such values still fits natively.
constexpr long long kSmallIntMax = 4611686018427387904LL;  // 2**62

inline bool small_int(nb::handle h, long long &v) {
    PyTypeObject *tp = Py_TYPE(h.ptr());
    if (tp != &PyLong_Type && tp != &PyBool_Type)
        return false;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    return !overflow && v <= kSmallIntMax && v >= -kSmallIntMax;
}

} // namespace qxargs

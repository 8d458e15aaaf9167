// Helpers shared by `qxcommon` and `utilities`: one implementation, one set of
// bindings, compiled into both modules (see qx_helpers.hpp).
#include "qx_helpers.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "history.hpp"
#include "qx_args.hpp"

namespace qxhelpers {

using namespace nb::literals;

namespace {

[[noreturn]] void raise_current() { throw nb::python_error(); }

PyObject *checked(PyObject *o) {
    if (!o)
        raise_current();
    return o;
}

// Objects created once per module and kept for its lifetime.
struct Constants {
    PyObject *zero = nullptr;        // 0
    PyObject *head_slice = nullptr;  // slice(0, -1): all but the last element
    PyObject *tail_slice = nullptr;  // slice(1, None): all but the first element
};
Constants g_const;

void make_constants() {
    if (g_const.zero)
        return;
    nb::object zero = nb::steal(checked(PyLong_FromLong(0)));
    nb::object one = nb::steal(checked(PyLong_FromLong(1)));
    nb::object minus_one = nb::steal(checked(PyLong_FromLong(-1)));
    g_const.head_slice = checked(PySlice_New(zero.ptr(), minus_one.ptr(), nullptr));
    g_const.tail_slice = checked(PySlice_New(one.ptr(), nullptr, nullptr));
    g_const.zero = zero.release().ptr();
}

// ---------------------------------------------------------------------------
// NumPy arrays without NumPy's C API.
//
// `utilities` must not load NumPy, so the history shift cannot use NumPy's C
// API (initialising it imports NumPy). The leading fields of NumPy's array and
// dtype objects are part of NumPy's public ABI (unchanged since 1.7, kept by
// 2.x); mirroring them is enough to recognise a plain one-dimensional array
// and move its memory directly.
struct NpArrayHead {
    PyObject_HEAD
    char *data;
    int nd;
    Py_ssize_t *dimensions;
    Py_ssize_t *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
};

struct NpDescrHead {
    PyObject_HEAD
    PyTypeObject *typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

constexpr unsigned kNpCContiguous = 0x0001;
constexpr unsigned kNpWriteable = 0x0400;
constexpr unsigned kNpWarnOnWrite = 0x80000000u;

// NumPy's type numbers of the built-in numeric dtypes.
enum NpTypeNum : int {
    kBool = 0, kByte, kUByte, kShort, kUShort, kInt, kUInt, kLong, kULong,
    kLongLong, kULongLong, kFloat, kDouble, kLongDouble, kCFloat, kCDouble,
    kCLongDouble, kHalf = 23
};

bool plain_numeric(int type_num) {
    return (type_num >= kBool && type_num <= kCLongDouble) || type_num == kHalf;
}

// NumPy's array and float64 scalar types, looked up when the first array
// shows up: NumPy is loaded by then, so the lookup imports nothing.
struct NumpyTypes {
    PyTypeObject *ndarray = nullptr;
    PyTypeObject *float64 = nullptr;
};
NumpyTypes g_np;

void find_numpy_types() {
    nb::object name = nb::steal(checked(PyUnicode_FromString("numpy")));
    PyObject *np = PyImport_GetModule(name.ptr());
    if (!np) {
        if (PyErr_Occurred())
            raise_current();
        return;
    }
    nb::object mod = nb::steal(np);
    PyObject *nd = PyObject_GetAttrString(np, "ndarray");
    PyObject *f64 = nd ? PyObject_GetAttrString(np, "float64") : nullptr;
    if (!nd || !f64 || !PyType_Check(nd) || !PyType_Check(f64)) {
        PyErr_Clear();
        Py_XDECREF(nd);
        Py_XDECREF(f64);
        return;
    }
    g_np.ndarray = reinterpret_cast<PyTypeObject *>(nd);
    g_np.float64 = reinterpret_cast<PyTypeObject *>(f64);
}

bool is_exact_ndarray(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    if (!g_np.ndarray) {
        if (std::strcmp(tp->tp_name, "numpy.ndarray") != 0)
            return false;
        find_numpy_types();
    }
    return tp == g_np.ndarray;
}

// Element writes that need no NumPy: each stores exactly what NumPy would
// store for that (element type, value type) pair and reports false, writing
// nothing, for every other value, which then goes through NumPy's own item
// assignment (conversions, warnings and errors stay NumPy's).
template <class T>
bool store_int(char *p, PyObject *xt) {
    if (!PyLong_CheckExact(xt))
        return false;
    T v;
    if constexpr (std::is_signed<T>::value) {
        int overflow = 0;
        long long w = PyLong_AsLongLongAndOverflow(xt, &overflow);
        if (overflow || w < (long long)std::numeric_limits<T>::min() ||
            w > (long long)std::numeric_limits<T>::max())
            return false;
        v = static_cast<T>(w);
    } else {
        unsigned long long w = PyLong_AsUnsignedLongLong(xt);
        if (w == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Clear();  // negative or too large: NumPy reports it
            return false;
        }
        if (w > (unsigned long long)std::numeric_limits<T>::max())
            return false;
        v = static_cast<T>(w);
    }
    std::memcpy(p, &v, sizeof v);
    return true;
}

bool store_double(char *p, PyObject *xt) {
    double v;
    if (PyFloat_CheckExact(xt) || Py_TYPE(xt) == g_np.float64) {
        v = PyFloat_AS_DOUBLE(xt);
    } else if (PyLong_CheckExact(xt)) {
        v = PyLong_AsDouble(xt);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large for a double: NumPy reports it
            return false;
        }
    } else {
        return false;
    }
    std::memcpy(p, &v, sizeof v);
    return true;
}

bool store_float(char *p, PyObject *xt) {
    if (!PyFloat_CheckExact(xt))
        return false;
    double v = PyFloat_AS_DOUBLE(xt);
    float f = static_cast<float>(v);
    // A cast that overflows or underflows is subject to NumPy's error state.
    if (std::isfinite(v) && v != 0.0 && (std::isinf(f) || std::fabs(v) < FLT_MIN))
        return false;
    std::memcpy(p, &f, sizeof f);
    return true;
}

bool store_bool(char *p, PyObject *xt) {
    if (!PyBool_Check(xt))
        return false;
    *p = xt == Py_True ? 1 : 0;
    return true;
}

bool store_native(int type_num, char *p, PyObject *xt) {
    switch (type_num) {
    case kDouble: return store_double(p, xt);
    case kFloat: return store_float(p, xt);
    case kBool: return store_bool(p, xt);
    case kByte: return store_int<signed char>(p, xt);
    case kUByte: return store_int<unsigned char>(p, xt);
    case kShort: return store_int<short>(p, xt);
    case kUShort: return store_int<unsigned short>(p, xt);
    case kInt: return store_int<int>(p, xt);
    case kUInt: return store_int<unsigned int>(p, xt);
    case kLong: return store_int<long>(p, xt);
    case kULong: return store_int<unsigned long>(p, xt);
    case kLongLong: return store_int<long long>(p, xt);
    case kULongLong: return store_int<unsigned long long>(p, xt);
    default: return false;
    }
}

// The history shift of a writable contiguous one-dimensional array of a
// plain numeric dtype, done on its memory. Returns false, touching nothing,
// for every other array.
bool shift_plain_array(PyObject *x, PyObject *xt) {
    auto *a = reinterpret_cast<NpArrayHead *>(x);
    unsigned flags = static_cast<unsigned>(a->flags);
    if (a->nd != 1 || !(flags & kNpCContiguous) || !(flags & kNpWriteable) ||
        (flags & kNpWarnOnWrite))
        return false;
    auto *descr = reinterpret_cast<NpDescrHead *>(a->descr);
    if (!plain_numeric(descr->type_num))
        return false;
    Py_ssize_t n = a->dimensions[0];
    if (n == 0)
        return false;  // NumPy raises the IndexError of index 0
    if (n > 1)
        qxcore::history_shift_raw(a->data, static_cast<std::size_t>(n),
                                  static_cast<std::size_t>(a->strides[0]));
    bool native_order = descr->byteorder == '=' || descr->byteorder == '|';
    if (!(native_order && store_native(descr->type_num, a->data, xt)))
        if (PyObject_SetItem(x, g_const.zero, xt) < 0)
            raise_current();
    return true;
}

// The history shift of a list, done on its item pointers.
bool shift_list(PyObject *x, PyObject *xt) {
    Py_ssize_t n = PyList_GET_SIZE(x);
    if (n == 0)
        return false;  // the list raises the IndexError of index 0
    PyObject **items = reinterpret_cast<PyListObject *>(x)->ob_item;
    PyObject *oldest = items[n - 1];
    std::memmove(items + 1, items, static_cast<std::size_t>(n - 1) * sizeof(PyObject *));
    Py_INCREF(xt);
    items[0] = xt;
    Py_DECREF(oldest);  // last: its finaliser sees the finished shift
    return true;
}

} // namespace

void dataStore(nb::handle xArray, nb::handle xt) {
    PyObject *x = xArray.ptr();
    if (PyList_CheckExact(x)) {
        if (shift_list(x, xt.ptr()))
            return;
    } else if (is_exact_ndarray(x)) {
        if (shift_plain_array(x, xt.ptr()))
            return;
    }
    // Any other mutable sequence: slice assignment, then item assignment.
    nb::object head = nb::steal(checked(PyObject_GetItem(x, g_const.head_slice)));
    if (PyObject_SetItem(x, g_const.tail_slice, head.ptr()) < 0)
        raise_current();
    if (PyObject_SetItem(x, g_const.zero, xt.ptr()) < 0)
        raise_current();
}

void bind_shared_helpers(nb::module_ &m) {
    make_constants();

    m.def("dataStore", &dataStore, "xArray"_a.none(), "xt"_a.none(),
          "Push xt into the front of the history xArray, in place.\n\n"
          "Every element moves one index toward the end (the last, oldest one\n"
          "is lost) and xt is written at index 0, converted to the element type\n"
          "of a typed array. xArray is any mutable sequence with slice\n"
          "assignment, as a rule a one-dimensional NumPy array. Returns None.");
}

} // namespace qxhelpers

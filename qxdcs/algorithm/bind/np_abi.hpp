// NumPy arrays without NumPy's C API, for the binding units that read or
// shift a plain array's memory directly (utilities.dataStore, the
// function-block histories of qxTrigger).
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>

#include "bind/args.hpp"

namespace qxb {
namespace np_abi {

namespace nb = nanobind;

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

inline bool plain_numeric(int type_num) {
    return (type_num >= kBool && type_num <= kCLongDouble) || type_num == kHalf;
}

// NumPy's array and float64 scalar types, looked up when the first array
// shows up: NumPy is loaded by then, so the lookup imports nothing.
struct NumpyTypes {
    PyTypeObject *ndarray = nullptr;
    PyTypeObject *float64 = nullptr;
};
inline NumpyTypes g_np;  // one per module: each looks the types up itself

inline void find_numpy_types() {
    nb::object name = steal_or_throw(PyUnicode_FromString("numpy"));
    PyObject *np = PyImport_GetModule(name.ptr());
    if (!np) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return;
    }
    nb::object mod = nb::steal(np);
    PyObject *nd = PyObject_GetAttrString(np, "ndarray");
    PyObject *f64 = nd ? PyObject_GetAttrString(np, "float64") : nullptr;
    // NumPy's array type is a static type at least as large as the head we
    // read; anything else posing as it is not trusted with raw access.
    if (!nd || !f64 || !PyType_Check(nd) || !PyType_Check(f64) ||
        (reinterpret_cast<PyTypeObject *>(nd)->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        reinterpret_cast<PyTypeObject *>(nd)->tp_basicsize < Py_ssize_t(sizeof(NpArrayHead))) {
        PyErr_Clear();
        Py_XDECREF(nd);
        Py_XDECREF(f64);
        return;
    }
    g_np.ndarray = reinterpret_cast<PyTypeObject *>(nd);
    g_np.float64 = reinterpret_cast<PyTypeObject *>(f64);
}

inline bool is_exact_ndarray(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    if (!g_np.ndarray) {
        if (std::strcmp(tp->tp_name, "numpy.ndarray") != 0)
            return false;
        find_numpy_types();
    }
    return tp == g_np.ndarray;
}

// Any NumPy array, subclasses (masked arrays, memmaps) included. NumPy is
// loaded whenever such an object exists, so the lookup imports nothing.
inline bool is_ndarray(PyObject *o) {
    if (!g_np.ndarray)
        find_numpy_types();
    if (!g_np.ndarray)
        return false;
    return PyObject_TypeCheck(o, g_np.ndarray);
}

// The head of a history that call() may read and shift in place: an exact
// numpy.ndarray, one-dimensional, C-contiguous and writeable, with at least
// `min_len` elements (their number in `n`); null otherwise. The typed
// functions below add the element type.
inline NpArrayHead *plain_head(PyObject *o, Py_ssize_t min_len, Py_ssize_t &n) {
    if (!is_exact_ndarray(o))
        return nullptr;
    auto *a = reinterpret_cast<NpArrayHead *>(o);
    const unsigned flags = static_cast<unsigned>(a->flags);
    if (a->nd != 1 || !(flags & kNpCContiguous) || !(flags & kNpWriteable) ||
        (flags & kNpWarnOnWrite))
        return nullptr;
    n = a->dimensions[0];
    return n >= min_len ? a : nullptr;
}

inline bool native_order(const NpDescrHead *descr) {
    return descr->byteorder == '=' || descr->byteorder == '|';
}

// The int64 elements of such a history (native order); null otherwise.
inline long long *plain_int64(PyObject *o, Py_ssize_t min_len, Py_ssize_t &n) {
    NpArrayHead *a = plain_head(o, min_len, n);
    if (!a)
        return nullptr;
    auto *descr = reinterpret_cast<NpDescrHead *>(a->descr);
    const bool int64 = (descr->type_num == kLong && sizeof(long) == 8) ||
                       (descr->type_num == kLongLong && sizeof(long long) == 8);
    return int64 && native_order(descr) ? reinterpret_cast<long long *>(a->data) : nullptr;
}

// The float64 elements of such a history (native order); null otherwise.
inline double *plain_float64(PyObject *o, Py_ssize_t min_len, Py_ssize_t &n) {
    NpArrayHead *a = plain_head(o, min_len, n);
    if (!a)
        return nullptr;
    auto *descr = reinterpret_cast<NpDescrHead *>(a->descr);
    return descr->type_num == kDouble && native_order(descr)
               ? reinterpret_cast<double *>(a->data) : nullptr;
}

// The elements of such a history of dtype bool; null otherwise.
inline unsigned char *plain_bool(PyObject *o, Py_ssize_t min_len, Py_ssize_t &n) {
    NpArrayHead *a = plain_head(o, min_len, n);
    if (!a || reinterpret_cast<NpDescrHead *>(a->descr)->type_num != kBool)
        return nullptr;
    return reinterpret_cast<unsigned char *>(a->data);
}

} // namespace np_abi
} // namespace qxb

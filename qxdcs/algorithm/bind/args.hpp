// Argument conventions shared by every binding unit of qxdcs.algorithm:
// checking and converting the caller's arguments, and the messages that go
// with them.
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

namespace qxb {

namespace nb = nanobind;

// --- exact built-in types ------------------------------------------------------

[[noreturn]] inline void raise_incorrect_type(const char *name, const char *expected,
                                              nb::handle got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// `h` must be of type `tp` itself: no subclass, no None.
inline void require_exact(nb::handle h, PyTypeObject *tp, const char *name,
                          const char *expected) {
    if (Py_TYPE(h.ptr()) != tp)
        raise_incorrect_type(name, expected, h);
}

template <class T> T exact(nb::handle h, PyTypeObject *tp, const char *name, const char *expected) {
    require_exact(h, tp, name, expected);
    return nb::borrow<T>(h);
}

inline nb::str exact_str(nb::handle h, const char *name) {
    return exact<nb::str>(h, &PyUnicode_Type, name, "str");
}
inline nb::dict exact_dict(nb::handle h, const char *name) {
    return exact<nb::dict>(h, &PyDict_Type, name, "dict");
}
inline nb::list exact_list(nb::handle h, const char *name) {
    return exact<nb::list>(h, &PyList_Type, name, "list");
}
inline nb::tuple exact_tuple(nb::handle h, const char *name) {
    return exact<nb::tuple>(h, &PyTuple_Type, name, "tuple");
}

// An exact int (bool refused) that fits in a C long long; a larger value
// raises OverflowError.
inline long long exact_int(nb::handle h, const char *name) {
    require_exact(h, &PyLong_Type, name, "int");
    long long v = PyLong_AsLongLong(h.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// --- integers ----------------------------------------------------------------------

// The value of an exact int or bool of magnitude at most `limit`; false for
// every other object and for larger values (nothing is raised). The one
// integer reader of the native fast paths: a value it refuses takes the
// block's path through Python's own operators.
inline bool int_within(nb::handle h, long long limit, long long &v) {
    PyTypeObject *tp = Py_TYPE(h.ptr());
    if (tp != &PyLong_Type && tp != &PyBool_Type)
        return false;
    // Ints of one digit (below 2**30 in magnitude, every count and switch a
    // block sees) read without a call into the interpreter.
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(h.ptr()))) {
        const long long r = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(h.ptr()));
        if (r > limit || r < -limit)
            return false;
        v = r;
        return true;
    }
#else
    const Py_ssize_t size = Py_SIZE(h.ptr());
    if (size >= -1 && size <= 1) {
        const long long r =
            size * static_cast<long long>(reinterpret_cast<PyLongObject *>(h.ptr())->ob_digit[0]);
        if (r > limit || r < -limit)
            return false;
        v = r;
        return true;
    }
#endif
    int overflow = 0;
    long long r = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow || r > limit || r < -limit)
        return false;
    v = r;
    return true;
}

// Magnitudes up to 2**62, so that the sum or difference of two such values
// still fits natively.
constexpr long long kSmallIntMax = 4611686018427387904LL;  // 2**62

inline bool small_int(nb::handle h, long long &v) { return int_within(h, kSmallIntMax, v); }

// An integer-like object (int, NumPy integer, anything with __index__; bool
// refused as `name`'s incorrect type) as a C long long. Returns false when
// the value does not fit a long long.
inline bool index_value(nb::handle h, const char *name, long long &out) {
    PyObject *o = h.ptr();
    nb::object idx;
    if (!PyLong_CheckExact(o)) {
        if (PyBool_Check(o) || !PyIndex_Check(o))
            raise_incorrect_type(name, "int", h);
        idx = nb::steal(PyNumber_Index(o));
        if (!idx.is_valid())
            throw nb::python_error();
        o = idx.ptr();
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow == 0;
}

// --- real numbers --------------------------------------------------------------------

// Whether a real-number conversion of `h` to double would be attempted.
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
// gives nullopt; anything that is not a real number is refused as a float
// parameter would be.
inline std::optional<double> real_or_none(nb::handle h, const char *name) {
    if (h.is_none())
        return std::nullopt;
    if (!is_real(h))
        raise_incorrect_type(name, "float", h);
    return to_double(h);
}

// --- C-API results ------------------------------------------------------------------------

// The new reference that a C-API call returned, owned; when the call failed
// (a null result) its Python error is raised.
inline nb::object steal_or_throw(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// --- messages -------------------------------------------------------------------------

// AttributeError "'<type>' object has no attribute '<name>'".
[[noreturn]] inline void raise_no_attribute(const char *type_name, const char *name) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", type_name, name);
    throw nb::python_error();
}

// An attribute that may not exist yet (a null object): the object, or the
// AttributeError that Python raises for a missing attribute.
inline nb::object attribute_or_raise(const nb::object &v, const char *type_name,
                                     const char *name) {
    if (!v.is_valid())
        raise_no_attribute(type_name, name);
    return v;
}

// ValueError with a message built by PyErr_Format.
template <class... A> [[noreturn]] void raise_value_error(const char *fmt, A... args) {
    PyErr_Format(PyExc_ValueError, fmt, args...);
    throw nb::python_error();
}

// A line to standard output through Python's own print(), so that callers
// can redirect or capture it. `print` is looked up where Python code calling
// print() finds it, in the builtins of the running code, on every call (a
// replaced print is honoured), without going through the import machinery.
inline void py_print(nb::handle value) {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    PyObject *print = builtins ? PyDict_GetItemString(builtins, "print") : nullptr;
    if (!print) {
        nb::module_::import_("builtins").attr("print")(value);
        return;
    }
    nb::object fn = nb::borrow(print);  // ours for the call: the print may replace itself
    fn(value);
}
inline void py_print(const char *line) { py_print(nb::str(line)); }
inline void py_print(const std::string &line) { py_print(nb::str(line.data(), line.size())); }

} // namespace qxb

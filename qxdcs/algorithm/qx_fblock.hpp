// Helpers for blocks in function-block style (qxDelay, qxTrigger).
//
// Such a block keeps its inputs, outputs and settings as Python attributes:
// the defaults are class attributes, an instance overrides them by plain
// assignment into its own __dict__, and call() reads and writes them through
// the instance, exactly as attribute access from Python would. The sample
// histories are NumPy arrays shifted in place by utilities.dataStore.
#pragma once

#include <nanobind/nanobind.h>

#include "qx_args.hpp"

namespace qxfb {

namespace nb = nanobind;

// An interned attribute name, created once and kept for the process's life.
inline PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw nb::python_error();
    return o;
}

inline nb::object get(nb::handle self, PyObject *name) {
    PyObject *r = PyObject_GetAttr(self.ptr(), name);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

inline void set(nb::handle self, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(self.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// Module attribute imported on first use and kept: modules live as long as
// the interpreter, so the reference is deliberately never released.
inline PyObject *import_attr(const char *module, const char *attr) {
    nb::object o = nb::module_::import_(module).attr(attr);
    return o.release().ptr();
}

inline nb::handle numpy() {
    static PyObject *np = nullptr;
    if (!np)
        np = nb::module_::import_("numpy").release().ptr();
    return np;
}

// utilities.dataStore(xArray, xt): shifts xArray by one place toward its
// end, in place, and writes xt at index 0. Imported on first use; a block
// fetches it before it changes anything, so a missing module leaves it intact.
inline nb::handle data_store_fn() {
    static PyObject *fn = nullptr;
    if (!fn)
        fn = import_attr("qxdcs.algorithm.utilities", "dataStore");
    return fn;
}

inline void data_store(nb::handle fn, nb::handle array, nb::handle value) {
    PyObject *args[2] = {array.ptr(), value.ptr()};
    PyObject *r = PyObject_Vectorcall(fn.ptr(), args, 2, nullptr);
    if (!r)
        throw nb::python_error();
    Py_DECREF(r);
}

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

// A small non-negative int (or a bool) that every numeric element type holds
// exactly, from bool to float16: writing it can never fail.
inline bool always_storable(nb::handle x) {
    PyObject *o = x.ptr();
    if (PyBool_Check(o))
        return true;
    if (!PyLong_CheckExact(o))
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    return overflow == 0 && v >= 0 && v <= 127;
}

// `x` in a form that writing it into an array of element type `dtype`
// cannot fail: a value the array would refuse raises here, with NumPy's own
// error, before any history has moved. Plain ints and floats that fit pass
// unchanged (the array converts them exactly as it would have); anything else
// is written into a one-element scratch array of that type and read back.
inline nb::object storable_as(nb::handle dtype, nb::handle x) {
    PyObject *o = x.ptr();
    if (dtype.ptr() == dtype_float64().ptr()) {
        if (PyFloat_Check(o))
            return nb::borrow(x);
        if (PyLong_Check(o)) {
            if (PyLong_AsDouble(o) == -1.0 && PyErr_Occurred())
                throw nb::python_error();
            return nb::borrow(x);
        }
    } else if (dtype.ptr() == dtype_int64().ptr()) {
        if (PyLong_Check(o)) {
            if (PyLong_AsLongLong(o) == -1 && PyErr_Occurred())
                throw nb::python_error();
            return nb::borrow(x);
        }
        if (PyFloat_Check(o)) {
            double v = PyFloat_AS_DOUBLE(o);
            // Finite and inside int64 after truncation toward zero.
            if (v >= -9223372036854775808.0 && v < 9223372036854775808.0)
                return nb::borrow(x);
        }
    }
    static PyObject *s_empty = intern("empty");
    PyObject *args[2] = {PyLong_FromLong(1), dtype.ptr()};
    if (!args[0])
        throw nb::python_error();
    nb::object one = nb::steal(args[0]);
    PyObject *fn = PyObject_GetAttr(numpy().ptr(), s_empty);
    if (!fn)
        throw nb::python_error();
    nb::object empty = nb::steal(fn);
    PyObject *sc = PyObject_Vectorcall(fn, args, 2, nullptr);
    if (!sc)
        throw nb::python_error();
    nb::object scratch = nb::steal(sc);
    if (PySequence_SetItem(sc, 0, o) != 0)
        throw nb::python_error();
    PyObject *r = PySequence_GetItem(sc, 0);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// The same for the element type of `array`; an object without a dtype (a
// list, say) takes `x` as it is.
inline nb::object storable(nb::handle array, nb::handle x) {
    if (always_storable(x))
        return nb::borrow(x);
    static PyObject *s_dtype = intern("dtype");
    PyObject *dt = PyObject_GetAttr(array.ptr(), s_dtype);
    if (!dt) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::borrow(x);
    }
    nb::object dtype = nb::steal(dt);
    return storable_as(dtype, x);
}

// Item `i` of a sequence (a NumPy array as a rule).
inline nb::object item(nb::handle seq, Py_ssize_t i) {
    PyObject *r = PySequence_GetItem(seq.ptr(), i);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// Pickling of a function-style block: its state is its instance dictionary,
// rebuilt on a freshly constructed object of the same class.
inline nb::object reduce_by_dict(nb::handle self) {
    static PyObject *s_dict = intern("__dict__");
    nb::object d = get(self, s_dict);
    PyObject *copy = PyDict_Copy(d.ptr());
    if (!copy)
        throw nb::python_error();
    return nb::make_tuple(nb::handle((PyObject *) Py_TYPE(self.ptr())), nb::tuple(),
                          nb::steal(copy));
}

} // namespace qxfb

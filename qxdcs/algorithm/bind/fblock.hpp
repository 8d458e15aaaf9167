// Blocks in function-block style (qxDelay.Delay_Algorithm, the timers and the
// flip-flop of qxTrigger).
//
// Such a block keeps its inputs, outputs and settings as Python attributes:
// the defaults are class attributes, an instance overrides them by plain
// assignment into its own __dict__, and call() reads and writes them through
// the instance, exactly as attribute access from Python would. The sample
// histories are NumPy arrays shifted in place by utilities.dataStore.
//
// The C++ object holds nothing; the instance dictionary is the whole state.
//  * fblock_class() registers such a class: block_class() with an instance
//    dictionary, pickled and copied by that dictionary (reduce_by_dict()).
//  * def_call() binds call() and gives it the direct path of
//    bind/fastcall.hpp: the common call (no arguments, a constructed object)
//    runs natively, every other call goes to the bound method, which reports
//    it as before.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <climits>
#include <cstddef>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fastcall.hpp"
#include "bind/numpy.hpp"

namespace qxb {
namespace fblock {

namespace nb = nanobind;

// An interned attribute name, created once and kept for the process's life.
inline PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw nb::python_error();
    return o;
}

// self.<name> as Python reads it (instance dictionary, class default,
// property of a subclass): a reference of our own.
inline nb::object get(nb::handle self, PyObject *name) {
    return steal_or_throw(PyObject_GetAttr(self.ptr(), name));
}

inline void set(nb::handle self, PyObject *name, nb::handle value) {
    if (PyObject_SetAttr(self.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

// --- the attributes of one class, read and written through its objects' dictionaries ----
//
// get() and set() above go through Python's generic attribute machinery: the
// lookup of the name in the class and its bases, then the instance
// dictionary. For an object of the block class itself (not a subclass) whose
// class has not changed, the class part of that lookup gives the same answer
// every time: the name is a plain class default (an int, float, bool or
// None) or absent. Attrs remembers that answer for a fixed set of names,
// together with the class's version tag (which CPython changes whenever the
// class or a base is modified), and then reads and writes those names in the
// instance dictionary directly, falling back on the class default, exactly
// as the generic machinery would.
//
// Every access checks the tag again: a dictionary lookup can run a caller's
// code (a key of its own with __eq__), which may change the class between
// two accesses; such an access, and every object that is not of the class
// itself, goes through get() and set().
template <std::size_t N> class Attrs {
public:
    // `names`: interned attribute names, kept for the process's life.
    Attrs(PyTypeObject *type, const std::array<PyObject *, N> &names)
        : type_(type), names_(names) {
        for (std::size_t i = 0; i < N; ++i) {
            hashes_[i] = PyObject_Hash(names_[i]);
            if (hashes_[i] == -1)
                throw nb::python_error();
        }
    }

    // The value of every name at once, as N get() calls in a row would give
    // them, from one pass over the instance dictionary instead of N hashed
    // lookups: out[i] is the dictionary's value, else the class default, else
    // null (no such attribute). False, with nothing read, when the object is
    // not read this way: then get() each name. A pass runs no code of the
    // caller's, so nothing can change between the reads: it is refused when
    // the dictionary holds a key that might compare equal to a name without
    // being that name (a key of another type, or a string of the same hash),
    // and for large dictionaries, where lookups are cheaper.
    // own[i] tells whether out[i] came from the instance dictionary.
    bool read_all(nb::handle self, std::array<nb::object, N> &out, std::array<bool, N> &own) {
        if (!direct(self))
            return false;
        std::array<PyObject *, N> found{};
        if (PyObject *dict = instance_dict(self)) {
            if (PyDict_GET_SIZE(dict) > kScanMax)
                return false;
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict, &pos, &key, &value)) {
                std::size_t j = 0;
                while (j < N && names_[j] != key)
                    ++j;
                if (j < N) {
                    found[j] = value;
                    continue;
                }
                if (!PyUnicode_CheckExact(key))
                    return false;
                const Py_hash_t h = PyObject_Hash(key);  // cached by the string
                for (Py_hash_t own : hashes_)
                    if (h == own)
                        return false;
            }
        }
        for (std::size_t i = 0; i < N; ++i) {
            own[i] = found[i] != nullptr;
            PyObject *v = found[i] ? found[i] : defaults_[i];
            out[i] = v ? nb::borrow(v) : nb::object();
        }
        return true;
    }

    nb::object get(nb::handle self, std::size_t i) {
        if (direct(self)) {
            if (PyObject *dict = instance_dict(self)) {
                nb::object keep = nb::borrow(dict);
                PyObject *v = PyDict_GetItemWithError(dict, names_[i]);
                if (v)
                    return nb::borrow(v);
                if (PyErr_Occurred())
                    throw nb::python_error();
            }
            if (direct(self) && defaults_[i])
                return nb::borrow(defaults_[i]);
        }
        return fblock::get(self, names_[i]);
    }

    void set(nb::handle self, std::size_t i, nb::handle value) {
        if (direct(self)) {
            if (PyObject *dict = instance_dict(self)) {
                nb::object keep = nb::borrow(dict);
                if (PyDict_SetItem(dict, names_[i], value.ptr()) != 0)
                    throw nb::python_error();
                return;
            }
        }
        fblock::set(self, names_[i], value);
    }

private:
    static bool plain_default(PyObject *d) {
        return PyLong_CheckExact(d) || PyFloat_CheckExact(d) || PyBool_Check(d) || d == Py_None;
    }

    // The class's version tag, or 0 while it has none (CPython before 3.12
    // marks a valid tag by a flag; later ones clear the tag itself).
    unsigned int tag() const {
#if PY_VERSION_HEX >= 0x030C0000
        return type_->tp_version_tag;
#else
        return (type_->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type_->tp_version_tag : 0;
#endif
    }

    bool current() const { return version_ != 0 && tag() == version_; }

    bool direct(nb::handle self) {
        if (Py_TYPE(self.ptr()) != type_)
            return false;
        if (NB_LIKELY(current()))
            return true;
        if (refused_version_ != 0 && tag() == refused_version_)
            return false;
        return verify();
    }

    PyObject *instance_dict(nb::handle self) const {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self.ptr()) +
                                              type_->tp_dictoffset);
    }

    // The class part of the lookup of every name, read under the class's
    // version tag (given to it first, where it has none).
    // A class whose lookup ran code that changed it, or that has a name of
    // another kind (a property, a method, an object of a caller's class),
    // is left to the generic machinery until it changes again.
    bool verify() {
        version_ = 0;
        for (PyObject *&d : defaults_)
            Py_CLEAR(d);
        if (type_->tp_getattro != PyObject_GenericGetAttr ||
            type_->tp_setattro != PyObject_GenericSetAttr || type_->tp_dictoffset <= 0)
            return refuse();
#if PY_VERSION_HEX >= 0x030C0000
        PyUnstable_Type_AssignVersionTag(type_);
#else
        for (PyObject *name : names_)
            _PyType_Lookup(type_, name);
#endif
        const unsigned int tag0 = tag();
        if (tag0 == 0)
            return refuse();
        std::array<PyObject *, N> found{};
        for (std::size_t i = 0; i < N; ++i) {
            PyObject *d = _PyType_Lookup(type_, names_[i]);
            if (d && !plain_default(d)) {
                for (PyObject *&f : found)
                    Py_CLEAR(f);
                return refuse();
            }
            Py_XINCREF(d);
            found[i] = d;
        }
        if (tag() != tag0) {
            for (PyObject *&f : found)
                Py_CLEAR(f);
            return false;
        }
        defaults_ = found;
        version_ = tag0;
        return true;
    }

    // Remembers the tag under which the class was found unfit, so that it is
    // not checked again until it changes.
    bool refuse() {
        refused_version_ = tag();
        return false;
    }

    static constexpr Py_ssize_t kScanMax = 8;

    PyTypeObject *type_;
    std::array<PyObject *, N> names_;
    std::array<Py_hash_t, N> hashes_{};
    std::array<PyObject *, N> defaults_{};  // references of our own
    unsigned int version_ = 0;               // 0: not verified
    unsigned int refused_version_ = 0;
};

// Item `i` of a sequence (a NumPy array as a rule).
inline nb::object item(nb::handle seq, Py_ssize_t i) {
    return steal_or_throw(PySequence_GetItem(seq.ptr(), i));
}

// --- the history shift ---------------------------------------------------------------

// utilities.dataStore(xArray, xt): shifts xArray by one place toward its
// end, in place, and writes xt at index 0. Imported on first use and kept
// (modules live as long as the interpreter); a block fetches it before it
// changes anything, so a missing module leaves the block intact.
inline nb::handle data_store_fn() {
    static PyObject *fn = nullptr;
    if (!fn) {
        nb::object f = nb::module_::import_("qxdcs.algorithm.utilities").attr("dataStore");
        fn = f.release().ptr();
    }
    return fn;
}

inline void data_store(nb::handle fn, nb::handle array, nb::handle value) {
    PyObject *args[2] = {array.ptr(), value.ptr()};
    steal_or_throw(PyObject_Vectorcall(fn.ptr(), args, 2, nullptr));
}

// A small non-negative int (or a bool) that every numeric element type holds
// exactly, from bool to float16: writing it can never fail.
inline bool always_storable(nb::handle x) {
    long long v;
    return int_within(x, 127, v) && v >= 0;
}

// `x` in a form that writing it into an array of element type `dtype`
// cannot fail: a value the array would refuse raises here, with NumPy's own
// error, before any history has moved. Floats and ints that a float64 array
// takes, and ints and floats that fit an int64 array, pass unchanged (the
// array converts them exactly as it would have); anything else is written
// into a one-element scratch array of that type and read back.
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
        long long v;
        if (int_within(x, LLONG_MAX, v))
            return nb::borrow(x);
        if (PyFloat_Check(o)) {
            double d = PyFloat_AS_DOUBLE(o);
            // Finite and inside int64 after truncation toward zero.
            if (d >= -9223372036854775808.0 && d < 9223372036854775808.0)
                return nb::borrow(x);
        }
    }
    static PyObject *s_empty = intern("empty");
    nb::object one = steal_or_throw(PyLong_FromLong(1));
    nb::object empty = steal_or_throw(PyObject_GetAttr(numpy().ptr(), s_empty));
    PyObject *args[2] = {one.ptr(), dtype.ptr()};
    nb::object scratch = steal_or_throw(PyObject_Vectorcall(empty.ptr(), args, 2, nullptr));
    if (PySequence_SetItem(scratch.ptr(), 0, o) != 0)
        throw nb::python_error();
    return item(scratch, 0);
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

// --- pickling and copying ------------------------------------------------------------

// (type(self), (), state): the object is rebuilt by calling its class with no
// arguments, then its dictionary is updated from the state. The state is a
// copy of the instance dictionary, or (that copy, slot values) when the
// object is an instance of a Python subclass with __slots__ that are set:
// pickle and copy restore such a pair by themselves.
inline nb::object reduce_by_dict(nb::handle self) {
    static PyObject *s_dict = intern("__dict__");
    nb::object d = get(self, s_dict);
    nb::object state = steal_or_throw(PyDict_Copy(d.ptr()));
    nb::object slots = slot_values(self);
    if (PyDict_GET_SIZE(slots.ptr()) > 0)
        state = nb::make_tuple(state, slots);
    return nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))),
                          nb::tuple(), state);
}

// --- registration -----------------------------------------------------------------------

// block_class() for a function-block class: an instance dictionary, and
// pickling and copying by it.
template <class T> nb::class_<T> fblock_class(nb::handle scope, const char *name, const char *doc) {
    nb::class_<T> cls = block_class<T>(scope, name, doc, nb::dynamic_attr());
    cls.def("__reduce__", &reduce_by_dict,
            "Pickle and copy by the instance dictionary (with the values of a\n"
            "subclass's __slots__).");
    return cls;
}

// The native path of call(): Body for a call without arguments; any other
// call is left to the bound method (null without an error), which reports
// it. A C++ exception of Body becomes its Python error in fast_method's entry.
template <class T, void (*Body)(nb::handle)>
PyObject *native_call(T &, PyObject *self, PyObject *const *, Py_ssize_t nargs) {
    if (nargs != 0)
        return nullptr;
    Body(self);
    Py_RETURN_NONE;
}

inline constexpr char kCallName[] = "call";

// call() running Body: bound by nanobind, then given the direct path. `doc`
// starts with the text signature: "call($self, /)\n--\n\n...".
template <class T, void (*Body)(nb::handle)> void def_call(nb::class_<T> &cls, const char *doc) {
    cls.def("call", [](nb::pointer_and_handle<T> self) { Body(self.h); });
    fast_method<T, kCallName, &native_call<T, Body>>(cls, doc);
}

} // namespace fblock
} // namespace qxb

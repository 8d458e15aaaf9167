// Direct calls of block objects.
//
// A callable block is called once per sample: `y = block(u)`. For a class
// bound with a `__call__` method, CPython reaches that method through the
// type's generic call slot, which looks `__call__` up and binds it to the
// object on every call, and that costs more than the block's own work.
//
// enable_fast_call() gives the class the vectorcall protocol instead: every
// object carries a pointer to a small forwarder (its CallSlot member), and
// the forwarder hands the caller's arguments, unchanged and without copying,
// to the class's own bound `__call__` function with the object in front.
// Argument conversion, defaults, keywords, errors and results therefore stay
// exactly those of `__call__`; only the lookup and binding are skipped.
//
// A Python subclass that defines its own `__call__` gets the ordinary call
// slot again (CPython resets it), so overriding works as usual. An object
// made by `cls.__new__(cls)` whose constructor never ran gets the forwarder
// too, so calling it reports the unconstructed object as `__call__` does.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace qxb {

namespace nb = nanobind;

// The class's `__call__` function, one per bound C++ type (borrowed).
template <class T> inline PyObject *call_function = nullptr;

// Calls fn(self, *args, **kwargs) without copying where the caller allows.
inline PyObject *call_with_self(PyObject *fn, PyObject *self, PyObject *const *args,
                                size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        // The caller lets us use the slot in front of its arguments.
        PyObject **stack = const_cast<PyObject **>(args) - 1;
        PyObject *saved = stack[0];
        stack[0] = self;
        PyObject *result = PyObject_Vectorcall(fn, stack, size_t(nargs + 1), kwnames);
        stack[0] = saved;
        return result;
    }
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject *small[8];
    PyObject **stack = small;
    if (total + 1 > 8) {
        stack = static_cast<PyObject **>(PyMem_Malloc(size_t(total + 1) * sizeof(PyObject *)));
        if (!stack)
            return PyErr_NoMemory();
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i)
        stack[i + 1] = args[i];
    PyObject *result = PyObject_Vectorcall(fn, stack, size_t(nargs + 1), kwnames);
    if (stack != small)
        PyMem_Free(stack);
    return result;
}

template <class T>
PyObject *forward(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (NB_LIKELY(Py_TYPE(self)->tp_call == PyVectorcall_Call))
        return call_with_self(call_function<T>, self, args, nargsf, kwnames);
    // __call__ was assigned on the class after it was made: call that one.
    PyObject *fn = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(self)), "__call__");
    if (!fn)
        return nullptr;
    PyObject *result = call_with_self(fn, self, args, nargsf, kwnames);
    Py_DECREF(fn);
    return result;
}

template <class T> inline newfunc base_new = nullptr;
template <class T> inline Py_ssize_t slot_offset = 0;

// The type's own allocation, then the forwarder put in place: nanobind does
// not clear the memory of a new object, and the constructor may never run.
template <class T> PyObject *new_with_slot(PyTypeObject *tp, PyObject *args, PyObject *kwds) {
    PyObject *self = base_new<T>(tp, args, kwds);
    if (self) {
        vectorcallfunc fn = &forward<T>;
        std::memcpy(reinterpret_cast<char *>(self) + slot_offset<T>, &fn, sizeof fn);
    }
    return self;
}

// The member every fast-callable block holds; it must stay where the
// constructor put it (nanobind keeps objects in place).
template <class T> struct CallSlot {
    vectorcallfunc fn = &forward<T>;
};

// Call after `__call__` has been defined on `cls`.
template <class T, CallSlot<T> T::*Slot> void enable_fast_call(nb::handle cls) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls.ptr());
    PyObject *fn = PyDict_GetItemString(tp->tp_dict, "__call__");
    if (!fn)
        throw nb::type_error("enable_fast_call(): the class has no __call__");
    // Borrowed: the class keeps it. Should the class's __call__ be replaced,
    // CPython resets the call slot and forward() looks the new one up.
    call_function<T> = fn;

    // Where the slot lies within an object of this class.
    nb::object probe = nb::inst_alloc(cls);
    const char *base = reinterpret_cast<const char *>(probe.ptr());
    const char *slot = reinterpret_cast<const char *>(&(nb::inst_ptr<T>(probe)->*Slot));
    slot_offset<T> = slot - base;
    base_new<T> = tp->tp_new;
    tp->tp_new = &new_with_slot<T>;
    tp->tp_vectorcall_offset = slot_offset<T>;
    tp->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    tp->tp_call = PyVectorcall_Call;
    PyType_Modified(tp);
}

// `run(...)` of the filters and the anti-windup limiter does nothing but call
// the object with the same arguments: through the fast path for the class
// itself, through a subclass's own __call__ where one is defined.
inline PyObject *call_self(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    return PyObject_Vectorcall(self, args, size_t(nargs), kwnames);
}

inline void set_method(nb::handle cls, PyMethodDef *def) {
    nb::object descr = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), def));
    if (!descr.is_valid() || PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) < 0)
        throw nb::python_error();
}

// `doc` starts with the text signature, e.g. "run($self, /, u)\n--\n\n...".
template <class T> void add_run(nb::handle cls, const char *doc) {
    static PyMethodDef def = {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_self)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
    def.ml_doc = doc;
    set_method(cls, &def);
}

// ---------------------------------------------------------------------------
// Direct calls of per-sample methods that are not __call__ (PID.run, the
// call() of function-block style blocks).
//
// A method bound by nanobind converts its arguments through its general
// overload machinery. fast_method() puts a plain C method in its place whose
// native path handles the common call (positional arguments, exact floats,
// a constructed object) without that machinery, and which hands every other
// call, unchanged, to the nanobind method it replaced: keywords, defaults,
// conversions, errors and results stay exactly those of the bound method.
//
// Fast(T &self, nb::handle self_obj, PyObject *const *args, Py_ssize_t nargs)
// returns a new reference, or null: with an error set, the call failed; with
// none, the native path declines and the bound method is called instead.
// ---------------------------------------------------------------------------

template <class T, const char *Name> inline PyObject *bound_method = nullptr;

// The Python error for the C++ exception being handled, as nanobind's own
// translation gives it for a bound function. Call inside a catch block.
inline void set_error_from_exception() {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

template <class T, const char *Name, PyObject *(*Fast)(T &, PyObject *, PyObject *const *, Py_ssize_t)>
PyObject *fast_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (!kwnames && nb::inst_ready(self)) {
        try {
            PyObject *r = Fast(*nb::inst_ptr<T>(self), self, args, nargs);
            if (r || PyErr_Occurred())
                return r;
        } catch (...) {
            set_error_from_exception();
            return nullptr;
        }
    }
    return call_with_self(bound_method<T, Name>, self, args, size_t(nargs), kwnames);
}

// Call after the method `Name` has been defined on `cls` by nanobind; `doc`
// starts with the text signature, as for add_run().
template <class T, const char *Name, PyObject *(*Fast)(T &, PyObject *, PyObject *const *, Py_ssize_t)>
void fast_method(nb::handle cls, const char *doc) {
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls.ptr());
    PyObject *fn = PyDict_GetItemString(tp->tp_dict, Name);
    if (!fn)
        throw nb::type_error("fast_method(): the class has no such method");
    bound_method<T, Name> = nb::borrow(fn).release().ptr();  // kept for the process's life
    static PyMethodDef def = {Name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                        &fast_entry<T, Name, Fast>)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
    def.ml_doc = doc;
    set_method(cls, &def);
}

// The native path's view of float arguments: exact floats, and exact ints
// that a double holds exactly (bool excluded). False leaves the call to the
// bound method, which converts anything else.
inline bool plain_floats(PyObject *const *args, Py_ssize_t n, double *out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *o = args[i];
        if (Py_TYPE(o) == &PyFloat_Type) {
            out[i] = PyFloat_AS_DOUBLE(o);
        } else if (Py_TYPE(o) == &PyLong_Type) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || v > (1LL << 53) || v < -(1LL << 53))
                return false;
            out[i] = double(v);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace qxb

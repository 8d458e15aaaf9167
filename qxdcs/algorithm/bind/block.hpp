// One way to register a block class: garbage collection of the objects it
// keeps, pickling and copying, restoring from a state, and direct calls.
//
//     struct MyBlock {
//         qxb::CallSlot<MyBlock> call_slot;   // only for callable blocks
//         qxb::Kept limit;                     // a caller's object
//         nb::object table;                    // an object of the block's own
//         static constexpr auto kept_members() {
//             return std::make_tuple(&MyBlock::limit, &MyBlock::table);
//         }
//         ...
//     };
//
//     auto cls = qxb::block_class<MyBlock>(m, "MyBlock", doc);
//     cls.def(...)...;
//     qxb::def_state<MyBlock>(cls, &MyBlock::state, &MyBlock::from_state);
//     qxb::finish_block(cls);
//
// Garbage collection. Every object a block keeps is declared once, in
// kept_members(); the collector's traverse and clear are generated from that
// list. A member is one of
//   * nb::object: an object of the block's own (an array it made); visited,
//     never cleared, so the block keeps working;
//   * Kept, KeptNumber (bind/kept.hpp): a caller's object; visited, and
//     replaced by None when the collector breaks a cycle;
//   * any type with the members `int visit(visitproc, void *) const` and
//     `void clear(ReleaseLast &)` (a filter object, a window of inputs).
// clear() completes the block before any object is released (ReleaseLast),
// since releasing one may run code that calls the block. Objects whose
// constructor never ran (or failed) are skipped.
//
// Restoring. def_state() binds __getstate__ and a __setstate__ that builds a
// complete new block from the state first (every check of the constructor
// included) and only then moves it into the object: a refused state leaves
// nothing behind, and a restored block obeys every invariant a constructed
// one does.
//
// Pickling. finish_block() completes __getstate__/__setstate__ for every
// pickle protocol and for Python subclasses:
//   * __reduce_ex__ returns (copyreg.__newobj__, (type(obj),), obj.__getstate__()),
//     so protocols 0 and 1 work as well as 2 and later;
//   * an instance of a Python subclass also keeps its own attributes, from its
//     __dict__ and from its __slots__: its state is (kSubclassTag, block state,
//     attribute dict, slot dict), and __setstate__ restores every part. Block
//     classes themselves keep their plain state.
//
// Direct calls. A class with a call_slot member gets direct calls of its
// __call__ (bind/fastcall.hpp); finish_block(cls, run_doc) also adds `run`
// as an alias of calling the object.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bind/fastcall.hpp"
#include "bind/items.hpp"
#include "bind/kept.hpp"

namespace qxb {

namespace nb = nanobind;

// --- garbage collection ------------------------------------------------------------------------

inline int visit_member(const nb::object &o, visitproc visit, void *arg) {
    Py_VISIT(o.ptr());
    return 0;
}
template <class M> int visit_member(const M &m, visitproc visit, void *arg) {
    return m.visit(visit, arg);
}

inline void clear_member(nb::object &, ReleaseLast &) {}  // the block's own: kept
template <class M> void clear_member(M &m, ReleaseLast &later) { m.clear(later); }

template <class T, class = void> struct has_kept_members : std::false_type {};
template <class T>
struct has_kept_members<T, std::void_t<decltype(T::kept_members())>> : std::true_type {};

template <class T> int gc_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    T &t = *nb::inst_ptr<T>(self);
    int rc = 0;
    std::apply([&](auto... m) { ((rc = rc ? rc : visit_member(t.*m, visit, arg)), ...); },
               T::kept_members());
    return rc;
}

// The collector's clear cannot fail: should keeping a released object for
// later run out of memory, that object is released at once instead (the
// slot has already been replaced), and clearing goes on with the next member.
template <class T> int gc_clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    T &t = *nb::inst_ptr<T>(self);
    ReleaseLast later;
    auto clear_one = [&](auto &member) {
        try {
            clear_member(member, later);
        } catch (...) {
        }
    };
    std::apply([&](auto... m) { (clear_one(t.*m), ...); }, T::kept_members());
    return 0;
}

template <class T>
inline PyType_Slot gc_slots[] = {{Py_tp_traverse, (void *) &gc_traverse<T>},
                                 {Py_tp_clear, (void *) &gc_clear<T>},
                                 {0, nullptr}};

// nb::class_<T> for a block, with garbage-collector support when T declares
// kept_members().
template <class T, class... Extra>
nb::class_<T> block_class(nb::handle scope, const char *name, const char *doc,
                          const Extra &...extra) {
    if constexpr (has_kept_members<T>::value)
        return nb::class_<T>(scope, name, nb::type_slots(gc_slots<T>), doc, extra...);
    else
        return nb::class_<T>(scope, name, doc, extra...);
}

// --- restoring ----------------------------------------------------------------------------------

// __getstate__ from `get` (the whole state as Python objects) and a
// __setstate__ that builds a new block with `build` (which validates
// everything) and moves it into the object last.
template <class T, class Get>
void def_state(nb::class_<T> &cls, Get get, T (*build)(nb::handle)) {
    static_assert(std::is_nothrow_move_constructible<T>::value,
                  "a block is moved into place after it is built");
    cls.def("__getstate__", get);
    cls.def("__setstate__", [build](T *self, nb::handle state) {
        T fresh = build(state);
        new (self) T(std::move(fresh));
    }, nb::arg("state").none());
}

// An item of a state dictionary, or KeyError as dict[key] raises it.
inline nb::object state_item(nb::handle state, const char *key) {
    if (!PyDict_Check(state.ptr()))
        throw nb::type_error("the state must be a dict");
    PyObject *v = PyDict_GetItemString(state.ptr(), key);
    if (!v) {
        PyErr_SetObject(PyExc_KeyError, nb::str(key).ptr());
        throw nb::python_error();
    }
    return nb::borrow(v);
}

// A state as a dictionary: states saved in an earlier form, a tuple of the
// values of `names` in order, are read as the dictionary of those names.
inline nb::object state_dict(nb::handle state, std::initializer_list<const char *> names) {
    if (PyTuple_CheckExact(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == Py_ssize_t(names.size())) {
        nb::dict d;
        Py_ssize_t i = 0;
        for (const char *name : names)
            d[name] = nb::handle(PyTuple_GET_ITEM(state.ptr(), i++));
        return std::move(d);
    }
    return nb::borrow(state);
}

// --- pickling -----------------------------------------------------------------------------------

inline constexpr const char *kSubclassTag = "qxdcs:subclass-state";

// The values of the instance's __slots__ (those that are set), as copyreg
// finds them for object.__reduce_ex__.
inline nb::object slot_values(nb::handle self) {
    nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()));
    // A list of our own: copyreg caches the names on the class, where the
    // getters of the slots (a subclass's own code) can reach them.
    nb::list names(nb::module_::import_("copyreg").attr("_slotnames")(type));
    nb::dict values;
    for (const nb::object &name : items_of(names)) {
        PyObject *v = PyObject_GetAttr(self.ptr(), name.ptr());
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
            continue;
        }
        values[name] = nb::steal(v);
    }
    return std::move(values);
}

// Call once per class, after its __getstate__ and __setstate__ are defined.
inline void enable_reduce(nb::handle cls) {
    nb::object type_dict = nb::borrow(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict);
    nb::object block_get = type_dict["__getstate__"];
    nb::object block_set = type_dict["__setstate__"];
    nb::delattr(cls, "__getstate__");
    nb::delattr(cls, "__setstate__");
    PyTypeObject *block_type = reinterpret_cast<PyTypeObject *>(cls.ptr());

    nb::cpp_function_def(
        [block_get, block_type](nb::handle self) -> nb::object {
            nb::object state = block_get(self);
            if (Py_TYPE(self.ptr()) == block_type)
                return state;
            nb::object dict = nb::getattr(self, "__dict__", nb::none());
            nb::object attrs = nb::none();
            if (PyDict_Check(dict.ptr()) && PyDict_GET_SIZE(dict.ptr()) > 0)
                attrs = nb::steal(PyDict_Copy(dict.ptr()));
            nb::object slots = slot_values(self);
            if (PyDict_GET_SIZE(slots.ptr()) > 0)
                return nb::make_tuple(kSubclassTag, state, attrs, slots);
            if (!attrs.is_none())
                return nb::make_tuple(kSubclassTag, state, attrs);
            return state;
        },
        nb::scope(cls), nb::name("__getstate__"), nb::is_method(),
        "The object's whole state, for pickling and copying.");

    nb::cpp_function_def(
        [block_set](nb::handle self, nb::handle state) {
            PyObject *s = state.ptr();
            Py_ssize_t n = PyTuple_CheckExact(s) ? PyTuple_GET_SIZE(s) : 0;
            if (n == 3 || n == 4) {
                PyObject *tag = PyTuple_GET_ITEM(s, 0);
                if (PyUnicode_Check(tag) && PyUnicode_CompareWithASCIIString(tag, kSubclassTag) == 0) {
                    nb::object keep = nb::borrow(state);  // the parts below live as long as the call
                    block_set(self, nb::handle(PyTuple_GET_ITEM(s, 1)));
                    nb::handle attrs(PyTuple_GET_ITEM(s, 2));
                    if (!attrs.is_none())
                        self.attr("__dict__").attr("update")(attrs);
                    if (n == 4) {
                        // Every pair read first: a setter may change the dictionary.
                        ItemPairs slots;
                        slots.read_mapping(nb::handle(PyTuple_GET_ITEM(s, 3)));
                        for (const auto &[name, value] : slots.pairs())
                            nb::setattr(self, name, value);
                    }
                    return;
                }
            }
            block_set(self, state);
        },
        nb::scope(cls), nb::name("__setstate__"), nb::is_method(), nb::arg("state").none(),
        "Rebuild the object from a state made by __getstate__.");

    nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
    nb::cpp_function_def(
        [newobj](nb::handle self, nb::handle /* protocol */) {
            nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()));
            return nb::make_tuple(newobj, nb::make_tuple(type), self.attr("__getstate__")());
        },
        nb::scope(cls), nb::name("__reduce_ex__"), nb::is_method(), nb::arg("protocol").none(),
        "Pickle support for every protocol.");
}

// --- finishing ----------------------------------------------------------------------------------

template <class T, class = void> struct has_call_slot : std::false_type {};
template <class T>
struct has_call_slot<T, std::void_t<decltype(&T::call_slot)>> : std::true_type {};

// Direct calls (for a class with a call_slot), `run` as an alias of calling
// the object when run_doc is given ("run($self, /, u)\n--\n\n..."), and
// pickling when the class defines its state. Call after every method.
template <class T> void finish_block(nb::class_<T> &cls, const char *run_doc = nullptr) {
    if constexpr (has_call_slot<T>::value)
        enable_fast_call<T, &T::call_slot>(cls);
    if (run_doc)
        add_run<T>(cls, run_doc);
    PyObject *type_dict = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    if (PyDict_GetItemString(type_dict, "__getstate__"))
        enable_reduce(cls);
}

} // namespace qxb

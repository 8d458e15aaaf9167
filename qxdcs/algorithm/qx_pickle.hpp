// Pickling and copying of block objects.
//
// Every block class defines __getstate__ (its whole state as Python objects)
// and __setstate__ (rebuilds the object from that state). enable_reduce()
// completes them for every pickle protocol and for Python subclasses:
//
//  * __reduce_ex__ returns (copyreg.__newobj__, (type(obj),), obj.__getstate__()),
//    so protocols 0 and 1 work as well as 2 and later;
//  * an instance of a Python subclass also keeps its own attributes: its state
//    is (kSubclassTag, block state, attribute dict), and __setstate__ restores
//    both parts. Block classes themselves keep their plain state.
#pragma once

#include <nanobind/nanobind.h>

namespace qxpickle {

namespace nb = nanobind;

inline constexpr const char *kSubclassTag = "qxdcs:subclass-state";

// Call once per class, after its __getstate__ and __setstate__ are defined.
inline void enable_reduce(nb::handle cls) {
    nb::object type_dict = nb::borrow(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict);
    nb::object block_get = type_dict["__getstate__"];
    nb::object block_set = type_dict["__setstate__"];
    nb::delattr(cls, "__getstate__");
    nb::delattr(cls, "__setstate__");

    nb::cpp_function_def(
        [block_get](nb::handle self) -> nb::object {
            nb::object state = block_get(self);
            nb::object dict = nb::getattr(self, "__dict__", nb::none());
            if (PyDict_Check(dict.ptr()) && PyDict_GET_SIZE(dict.ptr()) > 0)
                return nb::make_tuple(kSubclassTag, state, nb::steal(PyDict_Copy(dict.ptr())));
            return state;
        },
        nb::scope(cls), nb::name("__getstate__"), nb::is_method(),
        "The object's whole state, for pickling and copying.");

    nb::cpp_function_def(
        [block_set](nb::handle self, nb::handle state) {
            if (PyTuple_CheckExact(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 3) {
                PyObject *tag = PyTuple_GET_ITEM(state.ptr(), 0);
                if (PyUnicode_Check(tag) && PyUnicode_CompareWithASCIIString(tag, kSubclassTag) == 0) {
                    block_set(self, nb::handle(PyTuple_GET_ITEM(state.ptr(), 1)));
                    self.attr("__dict__").attr("update")(nb::handle(PyTuple_GET_ITEM(state.ptr(), 2)));
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

} // namespace qxpickle

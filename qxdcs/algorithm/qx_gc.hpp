// Garbage-collector support for blocks that keep callers' Python objects.
//
// A caller's object kept by a block (a limit, an operating point, a delayed
// input) may refer back to the block; the collector can free such a cycle
// only if the block shows it what it holds and can let go of it. A block
// provides two functions on its C++ object,
//     int visit(T &, visitproc visit, void *arg)   Py_VISIT every kept object
//     void clear(T &)                              let go of the kept objects
// and passes nb::type_slots(qxgc::slots<T, visit, clear>) to nb::class_.
// Objects whose constructor never ran (or failed) are skipped.
//
// clear() must leave the block consistent before any object is released,
// since releasing one may run code that calls the block: move the objects
// into locals first and let the locals go last.
#pragma once

#include <nanobind/nanobind.h>

namespace qxgc {

namespace nb = nanobind;

template <class T, int (*Visit)(T &, visitproc, void *)>
int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return Visit(*nb::inst_ptr<T>(self), visit, arg);
}

template <class T, void (*Clear)(T &)> int clear(PyObject *self) {
    if (nb::inst_ready(self))
        Clear(*nb::inst_ptr<T>(self));
    return 0;
}

template <class T, int (*Visit)(T &, visitproc, void *), void (*Clear)(T &)>
inline PyType_Slot slots[] = {{Py_tp_traverse, (void *) &traverse<T, Visit>},
                              {Py_tp_clear, (void *) &clear<T, Clear>},
                              {0, nullptr}};

} // namespace qxgc

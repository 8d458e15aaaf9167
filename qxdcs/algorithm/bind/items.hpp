// Walking a caller's list or dictionary while the caller's code may run.
//
// Native code that walks a Python container and, for an item, does anything
// that may run Python code (a comparison or hash of a caller's key, a
// conversion through __float__ or __index__, a mapping's get/items, a
// setter, a print) must not keep a borrowed item, nor a position or length
// read before that call: the code may change the container (clear it,
// shorten it, replace its items) and so free the item in hand. nanobind's
// own `for (nb::handle x : list)` and dict iteration keep both, so they are
// only for containers that no code can reach while the loop runs.
//
// This header is the one way to do it:
//   * items_of(list) takes every item first, each with a reference of our
//     own (as `list(seq)` would), for a walk over the list as it was;
//   * for_each_item(list, f) walks the live list as Python's `for` does: the
//     length is read again before every step (a list that the code shortens
//     ends the walk early, as in Python) and the item in hand is ours;
//   * ItemPairs reads the (key, value) pairs of a dictionary, or of any
//     mapping through its items(), each with references of our own, before
//     any of them is looked at.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

#include "bind/args.hpp"

namespace qxb {

namespace nb = nanobind;

// The items of the list `list` as they are now, each held by us. Reading
// them runs no code.
inline std::vector<nb::object> items_of(nb::handle list) {
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    std::vector<nb::object> items;
    items.reserve(std::size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        items.push_back(nb::borrow(PyList_GET_ITEM(list.ptr(), i)));
    return items;
}

// f(item) for every item of the list `list`, as `for item in list:` runs.
template <class F> void for_each_item(nb::handle list, F &&f) {
    nb::object keep = nb::borrow(list);  // the list itself may be dropped by its owner
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keep.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(keep.ptr(), i));
        f(item);
    }
}

// a, b = obj, with Python's errors for another number of items.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle obj) {
    nb::object t = steal_or_throw(PySequence_Tuple(obj.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
    if (n > 2)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    else if (n < 2)
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    if (n != 2)
        throw nb::python_error();
    return {nb::borrow(PyTuple_GET_ITEM(t.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(t.ptr(), 1))};
}

// The (key, value) pairs of a mapping, read before any of them is used. The
// storage is kept between reads, so that reading the same number of pairs
// again allocates nothing; clear() drops the references.
class ItemPairs {
public:
    using Pair = std::pair<nb::object, nb::object>;

    // The pairs of an exact dict, in its order (PyDict_Next: no code runs).
    void read_dict(nb::handle d) {
        clear();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(d.ptr(), &pos, &key, &value))
            pairs_.emplace_back(nb::borrow(key), nb::borrow(value));
    }

    // The pairs of any mapping: list(m.items()), each item unpacked as
    // `for key, value in ...` does (the mapping's own code may run).
    void read_mapping(nb::handle m) {
        clear();
        nb::object items = steal_or_throw(PySequence_List(m.attr("items")().ptr()));
        const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            pairs_.push_back(unpack_pair(PyList_GET_ITEM(items.ptr(), i)));
    }

    // read_dict for an exact dict, read_mapping for anything else.
    void read(nb::handle m) {
        if (PyDict_CheckExact(m.ptr()))
            read_dict(m);
        else
            read_mapping(m);
    }

    void clear() { pairs_.clear(); }
    const std::vector<Pair> &pairs() const { return pairs_; }

private:
    std::vector<Pair> pairs_;
};

} // namespace qxb

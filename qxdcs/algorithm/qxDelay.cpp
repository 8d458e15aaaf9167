// Module qxDelay: pure transport delay of a sampled signal.
//
//  * Delay: a callable block; Delay(max_cache)(Ut, nLag) returns the input of
//    nLag calls earlier. Inputs are kept exactly as passed (any object), in a
//    ring of max_cache entries (core/delay.hpp) that the first input fills.
//  * Delay_Algorithm: the same delay in function-block style. Ut, Yt and nLag
//    are class attributes that an instance overrides; call() reads Ut and
//    nLag, writes Yt and keeps the float history U_array, which grows to
//    nLag + 1 samples on demand and never shrinks.
#include <nanobind/nanobind.h>

#include <climits>
#include <new>
#include <stdexcept>
#include <vector>

#include "delay.hpp"
#include "qx_args.hpp"
#include "qx_fblock.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// --- Delay ------------------------------------------------------------------

struct PyDelay {
    qxfast::CallSlot<PyDelay> call_slot;  // direct calls (qx_fastcall.hpp)
    qxcore::DelayLine<nb::object> line;
    nb::object last_Ut;  // kept for callers that read it; always None here

    explicit PyDelay(std::size_t max_cache) : line(max_cache), last_Ut(nb::none()) {}

    void fill(nb::handle Ut) {
        try {
            line.fill(nb::borrow(Ut));
        } catch (const std::length_error &) {
            throw std::bad_alloc();
        }
    }

    nb::object call(nb::handle Ut, nb::handle nLag);
};

std::size_t checked_max_cache(nb::handle max_cache) {
    long long n = qxargs::as_int(max_cache, "max_cache");
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "max_cache must be a positive integer, but got %lld.", n);
        throw nb::python_error();
    }
    return static_cast<std::size_t>(n);
}

// nLag as a C integer. A Python int of any size, or an integer-like object
// (a NumPy integer) is accepted; bool and everything else raise TypeError.
// Returns false when the value does not fit a long long (it is then outside
// every possible bound).
bool lag_value(nb::handle nLag, long long &out) {
    PyObject *o = nLag.ptr();
    nb::object idx;
    if (!PyLong_CheckExact(o)) {
        if (PyBool_Check(o) || !PyIndex_Check(o))
            qxargs::raise_incorrect_type("nLag", "int", nLag);
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

nb::object PyDelay::call(nb::handle Ut, nb::handle nLag) {
    if (line.empty() && Ut.is_none())
        throw nb::value_error("Ut is None and cache is empty.");
    long long lag;
    bool fits = lag_value(nLag, lag);
    if (line.empty())
        fill(Ut);
    line.push(nb::borrow(Ut));
    if (fits && lag >= 0 && static_cast<unsigned long long>(lag) < line.capacity())
        return line.at(static_cast<std::size_t>(lag));
    nb::str msg = nb::str("nLag must be between 0 and {}, but got {}.")
                      .format(static_cast<unsigned long long>(line.capacity()) - 1, nLag);
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw nb::python_error();
}

// The garbage collector must see the stored inputs: a delay may hold an
// object that refers back to it.
int delay_visit(PyDelay &d, visitproc visit, void *arg) {
    int rc = 0;
    d.line.forEach([&](const nb::object &o) {
        if (rc == 0 && o.is_valid())
            rc = visit(o.ptr(), arg);
    });
    if (rc)
        return rc;
    Py_VISIT(d.last_Ut.ptr());
    return 0;
}

void delay_clear(PyDelay &d) {
    // Detach first: releasing an input may run code that touches the block.
    qxcore::DelayLine<nb::object> old(d.line.capacity());
    std::swap(old, d.line);
    nb::object last = std::move(d.last_Ut);
    d.last_Ut = nb::none();
    old.clear();
}


nb::list history_list(const PyDelay &d) {
    nb::list l;
    d.line.forEach([&](const nb::object &o) { l.append(o); });
    return l;
}

// --- Delay_Algorithm --------------------------------------------------------

struct DelayAlgorithm {};  // all state lives in the instance dictionary

PyObject *s_Ut, *s_Yt, *s_nLag, *s_U_array;

long long algorithm_lag(nb::handle nLag) {
    PyObject *o = nLag.ptr();
    if (PyBool_Check(o) || !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "nLag must be an integer, got %.200s",
                     Py_TYPE(o)->tp_name);
        throw nb::python_error();
    }
    nb::object idx = nb::steal(PyNumber_Index(o));
    if (!idx.is_valid())
        throw nb::python_error();
    long long lag = PyLong_AsLongLong(idx.ptr());
    if (lag == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (lag < 0) {
        PyErr_Format(PyExc_ValueError, "nLag must be non-negative, but got %lld.", lag);
        throw nb::python_error();
    }
    return lag;
}

void algorithm_call(nb::handle self) {
    using namespace qxfb;
    nb::handle ds = data_store_fn();
    nb::object Ut = get(self, s_Ut);
    long long lag = algorithm_lag(get(self, s_nLag));
    nb::object arr = get(self, s_U_array);
    Py_ssize_t n = PyObject_Size(arr.ptr());
    if (n < 0)
        throw nb::python_error();

    // Everything that may fail on a bad input fails before the history moves.
    nb::object x;
    if (n == 0) {
        x = storable_as(dtype_float64(), Ut);
        arr = numpy().attr("array")(nb::make_tuple(x), "dtype"_a = dtype_float64());
        set(self, s_U_array, arr);
        n = 1;
    } else {
        x = storable(arr, Ut);
    }
    if (lag > static_cast<long long>(n) - 1) {
        // Extend with copies of the oldest sample.
        arr = numpy().attr("pad")(arr, nb::make_tuple(0, lag + 1 - n), "mode"_a = "edge");
        set(self, s_U_array, arr);
    }
    data_store(ds, arr, x);
    set(self, s_Yt, item(arr, static_cast<Py_ssize_t>(lag)));
}

} // namespace

NB_MODULE(qxDelay, m) {
    m.doc() = "Pure transport delay of a sampled signal, counted in calls.";

    s_Ut = qxfb::intern("Ut");
    s_Yt = qxfb::intern("Yt");
    s_nLag = qxfb::intern("nLag");
    s_U_array = qxfb::intern("U_array");

    nb::class_<PyDelay>(m, "Delay", nb::type_slots(qxgc::slots<PyDelay, delay_visit, delay_clear>),
        "Pure delay: Delay(max_cache)(Ut, nLag) returns the input of nLag calls earlier.\n\n"
        "Inputs are kept exactly as passed, so any object can be delayed. The first\n"
        "input fills the whole history, so the output starts at the first input.\n"
        "nLag may change from call to call within 0 <= nLag < max_cache.")
        .def("__init__",
             [](PyDelay *self, nb::handle max_cache) {
                 new (self) PyDelay(checked_max_cache(max_cache));
             },
             "max_cache"_a = 10000)
        .def("__call__", &PyDelay::call, "Ut"_a.none(), "nLag"_a.none() = 1,
             "Enter Ut and return the input of nLag calls earlier (nLag 0: Ut itself).")
        .def_prop_ro("_cache",
             [](PyDelay &d) {
                 return nb::module_::import_("collections")
                     .attr("deque")(history_list(d), "maxlen"_a = d.line.capacity());
             },
             "A copy of the history, newest input first.")
        .def_prop_rw("_last_Ut", [](PyDelay &d) { return d.last_Ut; },
             [](PyDelay &d, nb::handle v) { d.last_Ut = nb::borrow(v); },
             nb::for_setter(nb::arg("value").none()))
        .def("__getstate__",
             [](PyDelay &d) {
                 return nb::make_tuple(d.line.capacity(), history_list(d), d.last_Ut);
             })
        .def("__setstate__",
             [](PyDelay &d, nb::tuple state) {
                 if (state.size() != 3)
                     throw nb::value_error("Delay state must be (max_cache, history, _last_Ut)");
                 std::size_t cap = checked_max_cache(state[0]);
                 nb::list items = qxargs::as_list(state[1], "history");
                 std::vector<nb::object> v;
                 v.reserve(items.size());
                 for (nb::handle h : items)
                     v.push_back(nb::borrow(h));
                 new (&d) PyDelay(cap);
                 try {
                     d.line.assign(std::move(v));
                 } catch (const std::invalid_argument &e) {
                     throw nb::value_error(e.what());
                 }
                 d.last_Ut = nb::borrow(state[2]);
             })
        .def("__repr__", [](PyDelay &d) {
            if (d.line.empty())
                return nb::str("Delay(max_cache={}, empty)").format(d.line.capacity());
            return nb::str("Delay(max_cache={}, newest={!r})").format(d.line.capacity(),
                                                                      d.line.at(0));
        });

    auto alg = nb::class_<DelayAlgorithm>(m, "Delay_Algorithm", nb::dynamic_attr(),
        "Pure delay in function-block style.\n\n"
        "Write Ut (input) and nLag (delay in calls), call call(), read Yt. The float\n"
        "history U_array (newest first) is filled with the first input, grows to\n"
        "nLag + 1 samples when nLag rises and never shrinks.");
    alg.attr("Ut") = 0;
    alg.attr("Yt") = 0;
    alg.attr("nLag") = 1;
    alg.def("__init__",
            [](nb::pointer_and_handle<DelayAlgorithm> self) {
                new (self.p) DelayAlgorithm();
                qxfb::set(self.h, s_U_array,
                          qxfb::numpy().attr("zeros")(0, "dtype"_a = qxfb::dtype_float64()));
            })
        .def("call", [](nb::pointer_and_handle<DelayAlgorithm> self) { algorithm_call(self.h); },
             "One sample: enter Ut into U_array and set Yt to the input of nLag calls earlier.")
        .def("__reduce__", [](nb::handle self) { return qxfb::reduce_by_dict(self); })
        .def("__repr__", [](nb::handle self) {
            using qxfb::get;
            return nb::str("Delay_Algorithm(Ut={!r}, nLag={!r}, Yt={!r}, U_array={!r})")
                .format(get(self, s_Ut), get(self, s_nLag), get(self, s_Yt),
                        get(self, s_U_array));
        });

    qxfast::enable_fast_call<PyDelay, &PyDelay::call_slot>(m.attr("Delay"));
    qxpickle::enable_reduce(m.attr("Delay"));
}

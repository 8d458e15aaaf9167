// Module qxWatchDog: the watchdog (heartbeat) counter block.
//
// The counting rule is core/watchdog.hpp. The count is a Python int; a value
// the caller writes into `ticks` is kept as passed. Ordinary counts and limits
// are worked natively; anything else goes through Python's own + and %, so
// it behaves and fails as Python integers do.
#include <nanobind/nanobind.h>

#include <cmath>
#include <utility>

#include "qx_args.hpp"
#include "watchdog.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using qxargs::small_int;
constexpr long long kNativeMax = qxargs::kSmallIntMax;

const char *const kDoc = "看门狗，输出按调用次数自增循环。";


struct PyWatchDog {
    qxfast::CallSlot<PyWatchDog> call_slot;  // direct calls (qx_fastcall.hpp)
    qxcore::WatchDog core;
    nb::object ticks_obj;  // a value written by the caller; null: core.ticks

    nb::object ticks() const {
        return ticks_obj.is_valid() ? ticks_obj : nb::steal(PyLong_FromLongLong(core.ticks));
    }
    // The previous value is released last: its __del__ may call the block.
    void set_ticks(nb::handle v) {
        nb::object previous = std::move(ticks_obj);
        long long t;
        if (Py_TYPE(v.ptr()) == &PyLong_Type && small_int(v, t))
            core.ticks = t;
        else
            ticks_obj = nb::borrow(v);
    }

    // The modulus trunc(MaxOut + 1) when it can be had natively (non-zero).
    bool native_modulus(nb::handle MaxOut, long long &m) const {
        long long v;
        if (small_int(MaxOut, v)) {
            m = v + 1;
            return m != 0;
        }
        if (Py_TYPE(MaxOut.ptr()) == &PyFloat_Type) {
            double x = std::trunc(PyFloat_AS_DOUBLE(MaxOut.ptr()) + 1.0);
            if (!(std::fabs(x) <= double(kNativeMax)) || x == 0.0)
                return false;
            m = (long long)x;
            return true;
        }
        return false;
    }

    nb::object call(nb::handle MaxOut) {
        long long m;
        if (!ticks_obj.is_valid() && native_modulus(MaxOut, m))
            return nb::steal(PyLong_FromLongLong(core.step(m)));
        // Python's own arithmetic: int(MaxOut + 1), then (ticks + 1) % m.
        nb::object one = nb::int_(1);
        nb::object mod = qxargs::py_unop(PyNumber_Long, qxargs::py_binop(PyNumber_Add, MaxOut, one));
        nb::object next = qxargs::py_binop(PyNumber_Remainder,
                                           qxargs::py_binop(PyNumber_Add, ticks(), one), mod);
        set_ticks(next);
        if (!PyLong_Check(next.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int",
                         Py_TYPE(next.ptr())->tp_name);
            throw nb::python_error();
        }
        return next;
    }
};

// The garbage collector must see a count the caller wrote: it may refer
// back to the watchdog.
int watchdog_visit(PyWatchDog &w, visitproc visit, void *arg) {
    Py_VISIT(w.ticks_obj.ptr());
    return 0;
}

void watchdog_clear(PyWatchDog &w) {
    nb::object previous = std::move(w.ticks_obj);
}

} // namespace

NB_MODULE(qxWatchDog, m) {
    m.doc() = "Watchdog (heartbeat) counter.";

    nb::class_<PyWatchDog>(m, "WatchDog", nb::type_slots(qxgc::slots<PyWatchDog, watchdog_visit, watchdog_clear>), kDoc)
        .def(nb::init<>())
        .def("__call__", &PyWatchDog::call, "MaxOut"_a.none() = 0,
             "Advance the count: ticks = (ticks + 1) % int(MaxOut + 1); return it.")
        .def_prop_rw("ticks", &PyWatchDog::ticks, &PyWatchDog::set_ticks,
                     nb::for_setter(nb::arg("value").none()),
                     "The last output (0 after construction).")
        .def("__getstate__", [](PyWatchDog &w) { return nb::make_tuple(w.ticks()); })
        .def("__setstate__",
             [](PyWatchDog &w, nb::tuple s) {
                 if (s.size() != 1)
                     throw nb::value_error("WatchDog state must be a 1-tuple (ticks,)");
                 new (&w) PyWatchDog();
                 w.set_ticks(s[0]);
             })
        .def("__repr__",
             [](PyWatchDog &w) { return nb::str("WatchDog(ticks={!r})").format(w.ticks()); });

    m.def(
        "main",
        []() {
            nb::object sleep = nb::module_::import_("time").attr("sleep");
            PyWatchDog wd1;
            nb::object three = nb::int_(3);
            for (int i = 0; i < 10; ++i) {
                nb::object wd_out = wd1.call(three);
                qxargs::py_print(wd_out);
                sleep(1);
            }
        },
        "Demonstration: a watchdog counting to 3, called ten times, one printed\n"
        "line per call and one second's pause after each.");

    qxfast::enable_fast_call<PyWatchDog, &PyWatchDog::call_slot>(m.attr("WatchDog"));
    qxpickle::enable_reduce(m.attr("WatchDog"));
}

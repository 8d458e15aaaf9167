// Module qxWatchDog: the watchdog (heartbeat) counter block.
//
// The counting rule is qxdcs/watchdog.hpp. The count is a Python int; a value
// the caller writes into `ticks` is kept as passed. Ordinary counts and limits
// are worked natively; anything else goes through Python's own + and %, so
// it behaves and fails as Python integers do.
#include <nanobind/nanobind.h>

#include <cmath>
#include <tuple>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/kept.hpp"
#include "qxdcs/watchdog.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kDoc = "看门狗，输出按调用次数自增循环。";

// The modulus trunc(MaxOut + 1) when it can be had natively (non-zero).
bool native_modulus(nb::handle MaxOut, long long &m) {
    long long v;
    if (qxb::small_int(MaxOut, v)) {
        m = v + 1;
        return m != 0;
    }
    if (Py_TYPE(MaxOut.ptr()) == &PyFloat_Type) {
        const double x = std::trunc(PyFloat_AS_DOUBLE(MaxOut.ptr()) + 1.0);
        if (!(std::fabs(x) <= double(qxb::kSmallIntMax)) || x == 0.0)
            return false;
        m = (long long)x;
        return true;
    }
    return false;
}

struct WatchDog {
    qxb::CallSlot<WatchDog> call_slot;  // direct calls (bind/fastcall.hpp)
    qxdcs::WatchDog core;              // the count, while it is an ordinary int
    qxb::Kept written;                  // a count of another kind, as written; unset: core.ticks

    static constexpr auto kept_members() { return std::make_tuple(&WatchDog::written); }

    nb::object ticks() const {
        return written.is_valid() ? written.get() : nb::steal(PyLong_FromLongLong(core.ticks));
    }

    // An exact int of ordinary size becomes the native count; anything else
    // is kept as written. The previous value is released last.
    void set_ticks(nb::handle v) {
        long long t;
        if (Py_TYPE(v.ptr()) == &PyLong_Type && qxb::small_int(v, t)) {
            core.ticks = t;
            written = qxb::Kept();
        } else {
            written.replace(v);
        }
    }

    nb::object call(nb::handle MaxOut) {
        long long m;
        if (!written.is_valid() && native_modulus(MaxOut, m))
            return nb::steal(PyLong_FromLongLong(core.step(m)));
        return call_objects(MaxOut);
    }

    // Python's own arithmetic: int(MaxOut + 1), then (ticks + 1) % m; the
    // result is stored before it is checked. Kept out of line, so that the
    // native path stays small.
    NB_NOINLINE nb::object call_objects(nb::handle MaxOut) {
        nb::object one = nb::int_(1);
        nb::object mod = qxb::py_unop(PyNumber_Long, qxb::py_binop(PyNumber_Add, MaxOut, one));
        nb::object next =
            qxb::py_binop(PyNumber_Remainder, qxb::py_binop(PyNumber_Add, ticks(), one), mod);
        set_ticks(next);
        if (!PyLong_Check(next.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int",
                         Py_TYPE(next.ptr())->tp_name);
            throw nb::python_error();
        }
        return next;
    }

    nb::dict state() const {
        nb::dict s;
        s["ticks"] = ticks();
        return s;
    }

    // The count is taken as the attribute takes it.
    static WatchDog from_state(nb::handle saved) {
        nb::object s = qxb::state_dict(saved, {"ticks"});
        WatchDog w;
        w.set_ticks(qxb::state_item(s, "ticks"));
        return w;
    }
};

} // namespace

NB_MODULE(qxWatchDog, m) {
    m.doc() = "Watchdog (heartbeat) counter.";

    auto cls = qxb::block_class<WatchDog>(m, "WatchDog", kDoc);
    cls.def("__init__", [](WatchDog *self) { new (self) WatchDog(); })
        .def("__call__", &WatchDog::call, "MaxOut"_a.none() = 0,
             "Advance the count: ticks = (ticks + 1) % int(MaxOut + 1); return it.")
        .def_prop_rw("ticks", &WatchDog::ticks, &WatchDog::set_ticks,
                     nb::for_setter(nb::arg("value").none()),
                     "The last output (0 after construction).")
        .def("__repr__",
             [](WatchDog &w) { return nb::str("WatchDog(ticks={!r})").format(w.ticks()); });
    qxb::def_state(cls, &WatchDog::state, &WatchDog::from_state);
    qxb::finish_block(cls);

    m.def(
        "main",
        []() {
            nb::object sleep = nb::module_::import_("time").attr("sleep");
            WatchDog wd1;
            nb::object three = nb::int_(3);
            for (int i = 0; i < 10; ++i) {
                nb::object wd_out = wd1.call(three);
                qxb::py_print(wd_out);
                sleep(1);
            }
        },
        "Demonstration: a watchdog counting to 3, called ten times, one printed\n"
        "line per call and one second's pause after each.");
}

// Module qxAntiWindupLimter: the incremental (anti-windup) limiter block.
//
// The clamp is core/antiwindup.hpp. The limits are passed on every call and
// the block returns the limit object itself when it is active (an int limit
// yields an int), so the previous output is kept as a number slot that holds
// either a float or the caller's limit object. Plain numbers take the native
// path; other objects go through Python's own operators and comparisons.
#include <nanobind/nanobind.h>

#include "antiwindup.hpp"
#include "qx_args.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxargs::KeptNumber;
using qxcore::ClampPick;

namespace {

struct Limits {
    nb::handle HI, LO;
    double hi = 0.0, lo = 0.0;
    bool plain;
    Limits(nb::handle HI_, nb::handle LO_) : HI(HI_), LO(LO_) {
        plain = qxargs::plain_number(HI, hi) && qxargs::plain_number(LO, lo);
    }

    // Which of v, LO and HI the two-comparison clamp selects.
    ClampPick pick(const KeptNumber &v) const {
        if (plain && v.plain())
            return qxcore::clampPick(v.value(), hi, lo);
        nb::object vo = v.object();
        bool lo_active = qxargs::py_compare(LO, vo, Py_GT);
        if (qxargs::py_compare(HI, lo_active ? LO : nb::handle(vo), Py_LT))
            return ClampPick::Hi;
        return lo_active ? ClampPick::Lo : ClampPick::Value;
    }
};

struct PyAntiWindup {
    qxfast::CallSlot<PyAntiWindup> call_slot;  // direct calls (qx_fastcall.hpp)
    KeptNumber u0;  // input of the previous call (None before the first call)
    KeptNumber y0;  // output of the previous call (None before the first call)

    nb::object call(double u, nb::handle HI, nb::handle LO) {
        Limits lim(HI, LO);
        if (u0.is_none())
            u0.set_float(u);
        if (y0.is_none()) {
            KeptNumber first = KeptNumber::of_float(u);
            switch (lim.pick(first)) {
            case ClampPick::Hi: y0.set(HI); break;
            case ClampPick::Lo: y0.set(LO); break;
            default: y0 = first;
            }
        }
        KeptNumber delta;
        if (u0.plain())
            delta.set_float(u - u0.value());
        else
            delta.set(qxargs::py_binop(PyNumber_Subtract, nb::float_(u), u0.object()));
        KeptNumber v;
        if (y0.plain() && delta.plain() && (y0.is_float() || delta.is_float()))
            v.set_float(y0.value() + delta.value());
        else
            v.set(qxargs::py_binop(PyNumber_Add, y0.object(), delta.object()));
        ClampPick p = lim.pick(v);
        u0.set_float(u);
        switch (p) {
        case ClampPick::Hi: y0.set(HI); return nb::borrow(HI);
        case ClampPick::Lo: y0.set(LO); return nb::borrow(LO);
        default: y0 = v; return v.object();
        }
    }
};

// The garbage collector must see the kept numbers: a caller's limit object
// may refer back to the limiter.
int anti_windup_visit(PyAntiWindup &a, visitproc visit, void *arg) {
    Py_VISIT(a.u0.held().ptr());
    Py_VISIT(a.y0.held().ptr());
    return 0;
}

void anti_windup_clear(PyAntiWindup &a) {
    a.u0.set_none();
    a.y0.set_none();
}

} // namespace

NB_MODULE(qxAntiWindupLimter, m) {
    m.doc() = "Incremental limiter that does not wind up.";

    auto cls = nb::class_<PyAntiWindup>(m, "AntiWindupLimter", nb::type_slots(qxgc::slots<PyAntiWindup, anti_windup_visit, anti_windup_clear>),
        "Incremental limiter: applies the input's change since the previous call\n"
        "to the previous output and clamps the sum to [LO, HI], so the output\n"
        "leaves a limit with the first change of the input in the opposite\n"
        "direction. The first call returns the clamped input.");

    const char *call_doc =
        "One sample: the previous output moved by the input's change, clamped to\n"
        "[LO, HI]; the HI or LO object itself when that limit is active.";
    cls.def(nb::init<>())
        .def("__call__", &PyAntiWindup::call, "u"_a, "HI"_a.none() = 100, "LO"_a.none() = 0,
             call_doc)
        .def_prop_rw(
            "_u0", [](PyAntiWindup &a) { return a.u0.object(); },
            [](PyAntiWindup &a, nb::handle v) { a.u0.set(v); }, "Input of the previous call.")
        .def_prop_rw(
            "_y0", [](PyAntiWindup &a) { return a.y0.object(); },
            [](PyAntiWindup &a, nb::handle v) { a.y0.set(v); }, "Output of the previous call.")
        .def("__getstate__",
             [](PyAntiWindup &a) { return nb::make_tuple(a.u0.object(), a.y0.object()); })
        .def("__setstate__",
             [](PyAntiWindup &a, nb::tuple s) {
                 if (s.size() != 2)
                     throw nb::value_error("AntiWindupLimter state must be a 2-tuple (_u0, _y0)");
                 new (&a) PyAntiWindup();
                 a.u0.set(s[0]);
                 a.y0.set(s[1]);
             })
        .def("__repr__", [](PyAntiWindup &a) {
            return nb::str("AntiWindupLimter(_u0={!r}, _y0={!r})").format(a.u0.object(), a.y0.object());
        });

    qxfast::enable_fast_call<PyAntiWindup, &PyAntiWindup::call_slot>(m.attr("AntiWindupLimter"));
    qxfast::add_run<PyAntiWindup>(m.attr("AntiWindupLimter"), "run($self, /, u, HI=100, LO=0)\n--\n\nThe same as calling the object.");
    qxpickle::enable_reduce(m.attr("AntiWindupLimter"));
}

// Module qxAntiWindupLimter: the incremental (anti-windup) limiter block.
//
// The limiter's step and its clamp are qxdcs/antiwindup.hpp. The limits are
// passed on every call and the block returns the limit object itself when it
// is active (an int limit yields an int), so the previous output is kept as a
// number slot that holds either a float or the caller's limit object. Plain
// numbers take the native path, which is the core's step; other objects go
// through Python's own operators and comparisons, in the same order.
#include <nanobind/nanobind.h>

#include <optional>
#include <tuple>

#include "bind/block.hpp"
#include "bind/kept.hpp"
#include "qxdcs/antiwindup.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxb::KeptNumber;
using qxdcs::ClampPick;

namespace {

struct Limits {
    nb::handle HI, LO;  // the caller's arguments, held by the call
    double hi = 0.0, lo = 0.0;
    bool plain;
    Limits(nb::handle HI_, nb::handle LO_) : HI(HI_), LO(LO_) {
        plain = qxb::plain_number(HI, hi) && qxb::plain_number(LO, lo);
    }

    // Which of v, LO and HI the two-comparison clamp selects, through
    // Python's comparisons unless every value is plain.
    ClampPick pick(const KeptNumber &v) const {
        if (plain && v.plain())
            return qxdcs::clamp_pick(v.value(), hi, lo);
        nb::object vo = v.object();
        const bool lo_active = qxb::py_compare(LO, vo, Py_GT);
        if (qxb::py_compare(HI, lo_active ? LO : nb::handle(vo), Py_LT))
            return ClampPick::Hi;
        return lo_active ? ClampPick::Lo : ClampPick::Value;
    }
};

std::optional<double> value_of(const KeptNumber &k) {
    return k.is_none() ? std::nullopt : std::optional<double>(k.value());
}

struct AntiWindup {
    qxb::CallSlot<AntiWindup> call_slot;  // direct calls (bind/fastcall.hpp)
    KeptNumber u0;  // input of the previous call (None before the first call)
    KeptNumber y0;  // output of the previous call (None before the first call)

    static constexpr auto kept_members() {
        return std::make_tuple(&AntiWindup::u0, &AntiWindup::y0);
    }

    nb::object call(double u, nb::handle HI, nb::handle LO) {
        Limits lim(HI, LO);
        if (lim.plain && (u0.is_none() || u0.plain()) && (y0.is_none() || y0.plain()))
            return call_native(u, lim);
        return call_objects(u, lim);
    }

    // Every value is a plain number: the core's step. The values replaced
    // are exact floats and ints, whose release runs no code.
    nb::object call_native(double u, const Limits &lim) {
        const qxdcs::AntiWindupStep s =
            qxdcs::anti_windup_step(u, value_of(u0), value_of(y0), lim.hi, lim.lo);
        u0.set_float(u);
        switch (s.pick) {
        case ClampPick::Hi: y0.set(lim.HI); return nb::borrow(lim.HI);
        case ClampPick::Lo: y0.set(lim.LO); return nb::borrow(lim.LO);
        default: y0.set_float(s.y); return nb::steal(PyFloat_FromDouble(s.y));
        }
    }

    // The same steps with the caller's objects, in the core's order: the
    // first call sets _u0 before the clamps, so a limit that cannot be
    // compared leaves _u0 set, as in the written-out algorithm. Kept out of
    // line, so that the native path stays small.
    NB_NOINLINE nb::object call_objects(double u, const Limits &lim) {
        if (u0.is_none())
            u0.set_float(u);
        if (y0.is_none()) {
            KeptNumber first = KeptNumber::of_float(u);
            switch (lim.pick(first)) {
            case ClampPick::Hi: y0.set(lim.HI); break;
            case ClampPick::Lo: y0.set(lim.LO); break;
            default: y0 = first;
            }
        }
        KeptNumber delta;
        if (u0.plain())
            delta.set_float(u - u0.value());
        else
            delta.set(qxb::py_binop(PyNumber_Subtract, nb::float_(u), u0.object()));
        KeptNumber v;
        if (y0.plain() && delta.plain() && (y0.is_float() || delta.is_float()))
            v.set_float(y0.value() + delta.value());
        else
            v.set(qxb::py_binop(PyNumber_Add, y0.object(), delta.object()));
        const ClampPick p = lim.pick(v);
        u0.set_float(u);
        switch (p) {
        case ClampPick::Hi: y0.set(lim.HI); return nb::borrow(lim.HI);
        case ClampPick::Lo: y0.set(lim.LO); return nb::borrow(lim.LO);
        default: y0 = v; return v.object();
        }
    }

    nb::dict state() const {
        nb::dict s;
        s["_u0"] = u0.object();
        s["_y0"] = y0.object();
        return s;
    }

    // Both values are kept as passed, as the attributes accept them.
    static AntiWindup from_state(nb::handle saved) {
        nb::object s = qxb::state_dict(saved, {"_u0", "_y0"});
        AntiWindup a;
        a.u0.set(qxb::state_item(s, "_u0"));
        a.y0.set(qxb::state_item(s, "_y0"));
        return a;
    }
};

} // namespace

NB_MODULE(qxAntiWindupLimter, m) {
    m.doc() = "Incremental limiter that does not wind up.";

    auto cls = qxb::block_class<AntiWindup>(m, "AntiWindupLimter",
        "Incremental limiter: applies the input's change since the previous call\n"
        "to the previous output and clamps the sum to [LO, HI], so the output\n"
        "leaves a limit with the first change of the input in the opposite\n"
        "direction. The first call returns the clamped input.");

    cls.def("__init__", [](AntiWindup *self) { new (self) AntiWindup(); })
        .def("__call__", &AntiWindup::call, "u"_a, "HI"_a.none() = 100, "LO"_a.none() = 0,
             "One sample: the previous output moved by the input's change, clamped to\n"
             "[LO, HI]; the HI or LO object itself when that limit is active.")
        .def_prop_rw(
            "_u0", [](AntiWindup &a) { return a.u0.object(); },
            [](AntiWindup &a, nb::handle v) { a.u0.set(v); }, "Input of the previous call.")
        .def_prop_rw(
            "_y0", [](AntiWindup &a) { return a.y0.object(); },
            [](AntiWindup &a, nb::handle v) { a.y0.set(v); }, "Output of the previous call.")
        .def("__repr__", [](AntiWindup &a) {
            return nb::str("AntiWindupLimter(_u0={!r}, _y0={!r})")
                .format(a.u0.object(), a.y0.object());
        });
    qxb::def_state(cls, &AntiWindup::state, &AntiWindup::from_state);
    qxb::finish_block(cls, "run($self, /, u, HI=100, LO=0)\n--\n\nThe same as calling the object.");
}

// Module qxRateLimit: the ramp (slew-rate) limiter block.
//
// The ramp step lives in qxdcs/rate_limit.hpp. This unit keeps what belongs to
// the Python object: the previous output exactly as produced (a target within
// reach is stored as passed, so an int target leaves an int behind) and the
// sample time as passed. Plain numbers (floats, ints up to 2**52) take the
// native path; any other object is worked through Python's own operators, so
// it behaves, and fails, as Python arithmetic does.
#include <nanobind/nanobind.h>

#include <tuple>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/kept.hpp"
#include "qxdcs/rate_limit.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// float(x), with Python's own rules (numbers, numeric strings, __float__).
nb::object float_obj(nb::handle h) {
    if (Py_TYPE(h.ptr()) == &PyFloat_Type)
        return nb::borrow(h);
    return qxb::py_unop(PyNumber_Float, h);
}

double float_of(nb::handle h) { return PyFloat_AS_DOUBLE(float_obj(h).ptr()); }

struct RateLimit {
    qxb::CallSlot<RateLimit> call_slot;  // direct calls (bind/fastcall.hpp)
    qxb::KeptNumber u_last;              // previous output, as produced
    qxb::KeptNumber Ts;                  // sample time in seconds, as passed

    static constexpr auto kept_members() {
        return std::make_tuple(&RateLimit::u_last, &RateLimit::Ts);
    }

    static RateLimit make(nb::handle u_ini, nb::handle Ts) {
        RateLimit r;
        r.u_last.set_float(float_of(u_ini));
        r.Ts.set(Ts);
        return r;
    }

    nb::object call(nb::handle u_end, nb::handle PR, nb::handle NR) {
        double ue, pr, nr = 0.0;
        const bool has_fall = !NR.is_none();
        if (u_last.plain() && Ts.plain() && qxb::plain_number(u_end, ue) &&
            qxb::plain_number(PR, pr) && (!has_fall || qxb::plain_number(NR, nr))) {
            const double rise = qxdcs::rate_per_sample(pr, Ts.value());
            const double fall = has_fall ? -qxdcs::rate_per_sample(nr, Ts.value()) : -rise;
            qxdcs::RampStep s = qxdcs::ramp_step(u_last.value(), ue, rise, fall);
            if (s.reached) {
                u_last.set(u_end);
                return float_obj(u_end);
            }
            u_last.set_float(s.out);
            return nb::steal(PyFloat_FromDouble(s.out));
        }
        return call_objects(u_end, PR, NR);
    }

    // The same step through Python's operators, for numbers of other types.
    // The kept numbers are taken as references of our own: the arithmetic
    // may run the caller's code, which may replace them. Kept out of line, so
    // that the native path stays small.
    NB_NOINLINE nb::object call_objects(nb::handle u_end, nb::handle PR, nb::handle NR) {
        using qxb::py_binop;
        using qxb::py_unop;
        nb::object last = u_last.object();
        nb::object ts = Ts.object();
        nb::object sixty = nb::int_(60);
        auto per_sample = [&](nb::handle per_minute) {
            return py_unop(PyNumber_Absolute,
                           py_binop(PyNumber_Multiply,
                                    py_binop(PyNumber_TrueDivide, per_minute, sixty), ts));
        };
        nb::object rise = per_sample(PR);
        nb::object fall = py_unop(PyNumber_Negative, NR.is_none() ? rise : per_sample(NR));
        nb::object d = py_binop(PyNumber_Subtract, u_end, last);
        nb::object out;
        if (qxb::py_compare(d, nb::int_(0), Py_GE))
            out = qxb::py_compare(d, rise, Py_GT) ? py_binop(PyNumber_Add, last, rise)
                                                  : nb::borrow(u_end);
        else
            out = qxb::py_compare(d, fall, Py_LT) ? py_binop(PyNumber_Add, last, fall)
                                                  : nb::borrow(u_end);
        u_last.set(out);
        return float_obj(out);
    }

    void reset(nb::handle u_ini) { u_last.set_float(float_of(u_ini)); }

    nb::dict state() const {
        nb::dict s;
        s["u_last"] = u_last.object();
        s["Ts"] = Ts.object();
        return s;
    }

    // Both values are kept as passed, as the attributes accept them.
    static RateLimit from_state(nb::handle saved) {
        nb::object s = qxb::state_dict(saved, {"u_last", "Ts"});
        RateLimit r;
        r.u_last.set(qxb::state_item(s, "u_last"));
        r.Ts.set(qxb::state_item(s, "Ts"));
        return r;
    }
};

} // namespace

NB_MODULE(qxRateLimit, m) {
    m.doc() = "Ramp (slew-rate) limiter.";

    auto cls = qxb::block_class<RateLimit>(m, "RateLimit",
        "Ramp (slew-rate) limiter.\n\n"
        "Each call moves the output from the previous output toward u_end by at\n"
        "most PRLimPerMin/60*Ts upward and NRLimPerMin/60*Ts downward (signs are\n"
        "ignored; NRLimPerMin None means the rise limit's magnitude). A target\n"
        "within reach is returned exactly.");

    cls.def("__init__",
            [](RateLimit *self, nb::handle u_ini, nb::handle Ts) {
                new (self) RateLimit(RateLimit::make(u_ini, Ts));
            },
            "u_ini"_a.none(), "Ts"_a.none() = 1,
            "Start at float(u_ini) with sample time Ts in seconds.")
        .def("__call__", &RateLimit::call, "u_end"_a.none(), "PRLimPerMin"_a.none() = 60,
             "NRLimPerMin"_a.none() = nb::none(),
             "One sample: the output moved toward u_end within the limits, as a float.")
        .def("reset", &RateLimit::reset, "u_ini"_a.none(),
             "Set the previous output to float(u_ini); the next call ramps from there.")
        .def_prop_rw(
            "u_last", [](RateLimit &r) { return r.u_last.object(); },
            [](RateLimit &r, nb::handle v) { r.u_last.set(v); },
            "The previous output, the start of the next ramp step.")
        .def_prop_rw(
            "Ts", [](RateLimit &r) { return r.Ts.object(); },
            [](RateLimit &r, nb::handle v) { r.Ts.set(v); }, "Sample time in seconds.")
        .def("__repr__", [](RateLimit &r) {
            return nb::str("RateLimit(u_last={!r}, Ts={!r})")
                .format(r.u_last.object(), r.Ts.object());
        });
    qxb::def_state(cls, &RateLimit::state, &RateLimit::from_state);
    qxb::finish_block(cls);

    m.def(
        "main",
        []() {
            nb::list u_arr;
            u_arr.append(nb::int_(3));
            RateLimit RateLimit1 = RateLimit::make(nb::int_(3), nb::int_(1));
            nb::object ten = nb::int_(10), minus_ten = nb::int_(-10);
            for (int i = 0; i < 100; ++i)
                u_arr.append(RateLimit1.call(ten, ten, minus_ten));
            qxb::py_print(u_arr);
        },
        "Demonstration: a ramp from 3 toward 10 at 10 per minute, 100 calls; prints\n"
        "the 101 values (the start and each output).");
}

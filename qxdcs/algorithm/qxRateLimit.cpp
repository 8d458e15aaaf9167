// Module qxRateLimit: the ramp (slew-rate) limiter block.
//
// The ramp step lives in core/rate_limit.hpp. This unit keeps what belongs to
// the Python object: the previous output exactly as produced (a target within
// reach is stored as passed, so an int target leaves an int behind) and the
// sample time as passed. Plain numbers (floats, ints up to 2**52) take the
// native path; any other object is worked through Python's own operators, so
// it behaves, and fails, as Python arithmetic does.
#include <nanobind/nanobind.h>

#include "qx_args.hpp"
#include "rate_limit.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxargs::KeptNumber;

namespace {

// float(x), with Python's own rules (numbers, numeric strings, __float__).
double float_of(nb::handle h) {
    if (Py_TYPE(h.ptr()) == &PyFloat_Type)
        return PyFloat_AS_DOUBLE(h.ptr());
    return PyFloat_AS_DOUBLE(qxargs::py_unop(PyNumber_Float, h).ptr());
}

nb::object float_obj(nb::handle h) {
    if (Py_TYPE(h.ptr()) == &PyFloat_Type)
        return nb::borrow(h);
    return qxargs::py_unop(PyNumber_Float, h);
}

struct PyRateLimit {
    qxfast::CallSlot<PyRateLimit> call_slot;  // direct calls (qx_fastcall.hpp)
    KeptNumber u_last;  // previous output, as produced
    KeptNumber Ts;      // sample time in seconds, as passed

    PyRateLimit(nb::handle u_ini, nb::handle Ts_) {
        u_last.set_float(float_of(u_ini));
        Ts.set(Ts_);
    }

    nb::object call(nb::handle u_end, nb::handle PR, nb::handle NR) {
        double ue, pr, nr = 0.0;
        bool nr_none = NR.is_none();
        if (u_last.plain() && Ts.plain() && qxargs::plain_number(u_end, ue) &&
            qxargs::plain_number(PR, pr) && (nr_none || qxargs::plain_number(NR, nr))) {
            double rise = qxcore::ratePerSample(pr, Ts.value());
            double fall = nr_none ? -rise : -qxcore::ratePerSample(nr, Ts.value());
            qxcore::RampStep s = qxcore::rampStep(u_last.value(), ue, rise, fall);
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
    nb::object call_objects(nb::handle u_end, nb::handle PR, nb::handle NR) {
        using qxargs::py_binop;
        using qxargs::py_compare;
        using qxargs::py_unop;
        nb::object last = u_last.object();
        nb::object ts = Ts.object();
        nb::object sixty = nb::int_(60);
        nb::object rise = py_unop(PyNumber_Absolute,
            py_binop(PyNumber_Multiply, py_binop(PyNumber_TrueDivide, PR, sixty), ts));
        nb::object fall;
        if (NR.is_none())
            fall = py_unop(PyNumber_Negative, rise);
        else
            fall = py_unop(PyNumber_Negative,
                py_unop(PyNumber_Absolute,
                    py_binop(PyNumber_Multiply, py_binop(PyNumber_TrueDivide, NR, sixty), ts)));
        nb::object d = py_binop(PyNumber_Subtract, u_end, last);
        nb::object out;
        if (py_compare(d, nb::int_(0), Py_GE))
            out = py_compare(d, rise, Py_GT) ? py_binop(PyNumber_Add, last, rise) : nb::borrow(u_end);
        else
            out = py_compare(d, fall, Py_LT) ? py_binop(PyNumber_Add, last, fall) : nb::borrow(u_end);
        u_last.set(out);
        return float_obj(out);
    }

    void reset(nb::handle u_ini) { u_last.set_float(float_of(u_ini)); }
};

// The garbage collector must see the kept numbers: a caller's object may
// refer back to the limiter.
int rate_limit_visit(PyRateLimit &r, visitproc visit, void *arg) {
    Py_VISIT(r.u_last.held().ptr());
    Py_VISIT(r.Ts.held().ptr());
    return 0;
}

void rate_limit_clear(PyRateLimit &r) {
    r.u_last.set_none();
    r.Ts.set_none();
}

} // namespace

NB_MODULE(qxRateLimit, m) {
    m.doc() = "Ramp (slew-rate) limiter.";

    auto cls = nb::class_<PyRateLimit>(m, "RateLimit", nb::type_slots(qxgc::slots<PyRateLimit, rate_limit_visit, rate_limit_clear>),
        "Ramp (slew-rate) limiter.\n\n"
        "Each call moves the output from the previous output toward u_end by at\n"
        "most PRLimPerMin/60*Ts upward and NRLimPerMin/60*Ts downward (signs are\n"
        "ignored; NRLimPerMin None means the rise limit's magnitude). A target\n"
        "within reach is returned exactly.");

    cls.def(nb::init<nb::handle, nb::handle>(), "u_ini"_a.none(), "Ts"_a.none() = 1,
            "Start at float(u_ini) with sample time Ts in seconds.")
        .def("__call__", &PyRateLimit::call, "u_end"_a.none(), "PRLimPerMin"_a.none() = 60,
             "NRLimPerMin"_a.none() = nb::none(),
             "One sample: the output moved toward u_end within the limits, as a float.")
        .def("reset", &PyRateLimit::reset, "u_ini"_a.none(),
             "Set the previous output to float(u_ini); the next call ramps from there.")
        .def_prop_rw(
            "u_last", [](PyRateLimit &r) { return r.u_last.object(); },
            [](PyRateLimit &r, nb::handle v) { r.u_last.set(v); },
            "The previous output, the start of the next ramp step.")
        .def_prop_rw(
            "Ts", [](PyRateLimit &r) { return r.Ts.object(); },
            [](PyRateLimit &r, nb::handle v) { r.Ts.set(v); }, "Sample time in seconds.")
        .def("__getstate__",
             [](PyRateLimit &r) { return nb::make_tuple(r.u_last.object(), r.Ts.object()); })
        .def("__setstate__",
             [](PyRateLimit &r, nb::tuple s) {
                 if (s.size() != 2)
                     throw nb::value_error("RateLimit state must be a 2-tuple (u_last, Ts)");
                 new (&r) PyRateLimit(nb::float_(0.0), s[1]);
                 r.u_last.set(s[0]);
             })
        .def("__repr__", [](PyRateLimit &r) {
            return nb::str("RateLimit(u_last={!r}, Ts={!r})").format(r.u_last.object(), r.Ts.object());
        });

    m.def(
        "main",
        []() {
            nb::list u_arr;
            u_arr.append(nb::int_(3));
            PyRateLimit RateLimit1(nb::int_(3), nb::int_(1));
            nb::object ten = nb::int_(10), minus_ten = nb::int_(-10);
            for (int i = 0; i < 100; ++i)
                u_arr.append(RateLimit1.call(ten, ten, minus_ten));
            qxargs::py_print(u_arr);
        },
        "Demonstration: a ramp from 3 toward 10 at 10 per minute, 100 calls; prints\n"
        "the 101 values (the start and each output).");

    qxfast::enable_fast_call<PyRateLimit, &PyRateLimit::call_slot>(m.attr("RateLimit"));
    qxpickle::enable_reduce(m.attr("RateLimit"));
}

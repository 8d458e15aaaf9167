// Module qxTrigger: on-delay and off-delay timers and a set/reset flip-flop,
// in function-block style, time counted in calls.
//
// Inputs, outputs and settings are class attributes that an instance
// overrides by plain assignment; call() reads and writes them through the
// instance. The timers keep [current, previous] input in the integer array
// Ut_array, the flip-flop its memory in the one-element bool array Q_array;
// both are shifted by utilities.dataStore. The step rules are in
// core/trigger.hpp.
#include <nanobind/nanobind.h>

#include "qx_args.hpp"
#include "qx_fblock.hpp"
#include "trigger.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

PyObject *s_Ut, *s_Yt, *s_DT, *s_ET, *s_Ut_array, *s_S, *s_R, *s_Q, *s_nQ, *s_Q_array;

struct TONtrigger {};  // all state lives in the instance dictionary
struct TOFFtrigger {};
struct RStrigger {};

// DT and ET as integers when both are integer-like and comfortably inside a
// long long (so DT - 1 cannot overflow).
bool integral(PyObject *o, long long &v) {
    if (!PyIndex_Check(o))
        return false;
    nb::object idx;
    if (!PyLong_Check(o)) {
        idx = nb::steal(PyNumber_Index(o));
        if (!idx.is_valid())
            throw nb::python_error();
        o = idx.ptr();
    }
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    constexpr long long kLimit = 1LL << 62;
    return overflow == 0 && v > -kLimit && v < kLimit;
}

template <bool OnDelay> void timer_call(nb::handle self) {
    using namespace qxfb;
    nb::handle ds = data_store_fn();
    nb::object Ut = get(self, s_Ut);
    nb::object arr = get(self, s_Ut_array);
    nb::object DT = get(self, s_DT);
    nb::object ET = get(self, s_ET);

    // Settings and input are checked before the input history moves.
    long long dt_i = 0, et_i = 0;
    bool ints = integral(DT.ptr(), dt_i) && integral(ET.ptr(), et_i);
    double dt_d = 0.0, et_d = 0.0;
    if (!ints) {
        dt_d = qxargs::to_double(DT);
        et_d = qxargs::to_double(ET);
    }
    nb::object x = storable(arr, Ut);

    data_store(ds, arr, x);
    double u0 = qxargs::to_double(item(arr, 0));
    double u1 = qxargs::to_double(item(arr, 1));

    int Yt;
    if (ints) {
        auto r = OnDelay ? qxcore::tonStep<long long>(u0, u1, dt_i, et_i)
                         : qxcore::toffStep<long long>(u0, u1, dt_i, et_i);
        if (r.assigned)
            set(self, s_ET, nb::int_(r.ET));
        Yt = r.Yt;
    } else {
        auto r = OnDelay ? qxcore::tonStep<double>(u0, u1, dt_d, et_d)
                         : qxcore::toffStep<double>(u0, u1, dt_d, et_d);
        if (r.assigned)
            set(self, s_ET, nb::float_(r.ET));
        Yt = r.Yt;
    }
    set(self, s_Yt, nb::int_(Yt));
}

int truth(nb::handle h) {
    int t = PyObject_IsTrue(h.ptr());
    if (t < 0)
        throw nb::python_error();
    return t;
}

void rs_call(nb::handle self) {
    using namespace qxfb;
    nb::handle ds = data_store_fn();
    bool S = truth(get(self, s_S));
    bool R = truth(get(self, s_R));
    nb::object arr = get(self, s_Q_array);
    // Set and reset give True or False; hold gives the stored memory itself
    // (an element of Q_array, numpy.bool_ as a rule), not the attribute Q.
    nb::object Q;
    bool q;
    if (!S && !R) {
        Q = item(arr, 0);
        q = truth(Q) != 0;
    } else {
        q = qxcore::rsStep(S, R, false);
        Q = nb::bool_(q);
    }
    data_store(ds, arr, Q);
    set(self, s_Q, Q);
    set(self, s_nQ, nb::bool_(!q));
}

nb::object zeros(long n, nb::handle dtype) {
    return qxfb::numpy().attr("zeros")(n, "dtype"_a = dtype);
}

template <class T>
void def_timer(nb::module_ &m, const char *name, const char *doc, void (*call)(nb::handle)) {
    auto cls = nb::class_<T>(m, name, nb::dynamic_attr(), doc);
    cls.attr("Ut") = 0;
    cls.attr("Yt") = 0;
    cls.attr("DT") = 3;
    cls.attr("ET") = 0;
    cls.def("__init__",
            [](nb::pointer_and_handle<T> self) {
                new (self.p) T();
                qxfb::set(self.h, s_Ut_array, zeros(2, qxfb::dtype_int64()));
            })
        .def("call", [call](nb::pointer_and_handle<T> self) { call(self.h); },
             "One sample: read Ut and DT, update Ut_array and ET, set Yt.")
        .def("__reduce__", [](nb::handle self) { return qxfb::reduce_by_dict(self); })
        .def("__repr__", [name](nb::handle self) {
            using qxfb::get;
            return nb::str("{}(Ut={!r}, DT={!r}, ET={!r}, Yt={!r}, Ut_array={!r})")
                .format(name, get(self, s_Ut), get(self, s_DT), get(self, s_ET),
                        get(self, s_Yt), get(self, s_Ut_array));
        });
}

} // namespace

NB_MODULE(qxTrigger, m) {
    m.doc() = "On-delay and off-delay timers and a set/reset flip-flop, counted in calls.";

    s_Ut = qxfb::intern("Ut");
    s_Yt = qxfb::intern("Yt");
    s_DT = qxfb::intern("DT");
    s_ET = qxfb::intern("ET");
    s_Ut_array = qxfb::intern("Ut_array");
    s_S = qxfb::intern("S");
    s_R = qxfb::intern("R");
    s_Q = qxfb::intern("Q");
    s_nQ = qxfb::intern("nQ");
    s_Q_array = qxfb::intern("Q_array");

    def_timer<TONtrigger>(m, "TONtrigger",
        "On-delay timer in function-block style.\n\n"
        "Write Ut and DT (delay in calls), call call(), read Yt. Yt becomes 1 on the\n"
        "DT-th consecutive call with Ut 1 (the rising edge counts as the first) and\n"
        "drops to 0 at once with Ut 0. ET is the remaining count; Ut_array holds the\n"
        "current and previous input as integers (truncated toward zero).",
        timer_call<true>);
    def_timer<TOFFtrigger>(m, "TOFFtrigger",
        "Off-delay timer in function-block style.\n\n"
        "Write Ut and DT (delay in calls), call call(), read Yt. Yt is 1 at once with\n"
        "a positive Ut and drops to 0 on the DT-th consecutive call with Ut 0 (the\n"
        "falling edge counts as the first). ET is the remaining count; Ut_array holds\n"
        "the current and previous input as integers (truncated toward zero).",
        timer_call<false>);

    auto rs = nb::class_<RStrigger>(m, "RStrigger", nb::dynamic_attr(),
        "Set/reset flip-flop with reset priority, in function-block style.\n\n"
        "Write S and R (truth values), call call(), read Q and nQ (= not Q). With\n"
        "S and R both false Q holds the value kept in Q_array, its memory.");
    rs.attr("S") = 0;
    rs.attr("R") = 0;
    rs.attr("Q") = false;
    rs.attr("nQ") = true;
    rs.def("__init__",
           [](nb::pointer_and_handle<RStrigger> self) {
               new (self.p) RStrigger();
               qxfb::set(self.h, s_Q_array,
                         zeros(1, qxfb::numpy().attr("dtype")("bool")));
           })
        .def("call", [](nb::pointer_and_handle<RStrigger> self) { rs_call(self.h); },
             "One sample: Q = False if R, True if S, else Q_array[0] (the stored Q);\n"
             "nQ = not Q.")
        .def("__reduce__", [](nb::handle self) { return qxfb::reduce_by_dict(self); })
        .def("__repr__", [](nb::handle self) {
            using qxfb::get;
            return nb::str("RStrigger(S={!r}, R={!r}, Q={!r}, nQ={!r}, Q_array={!r})")
                .format(get(self, s_S), get(self, s_R), get(self, s_Q), get(self, s_nQ),
                        get(self, s_Q_array));
        });
}

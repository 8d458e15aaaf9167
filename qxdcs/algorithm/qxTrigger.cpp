// Module qxTrigger: on-delay and off-delay timers and a set/reset flip-flop,
// in function-block style, time counted in calls.
//
// Inputs, outputs and settings are class attributes that an instance
// overrides by plain assignment; call() reads and writes them through the
// instance. The timers keep [current, previous] input in the integer array
// Ut_array, the flip-flop its memory in the one-element bool array Q_array;
// both are shifted by utilities.dataStore (bind/fblock.hpp). The step rules
// are in qxdcs/trigger.hpp.
#include <nanobind/nanobind.h>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fblock.hpp"
#include "bind/np_abi.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/history.hpp"
#include "qxdcs/trigger.hpp"

#include <array>
#include <climits>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

PyObject *s_Ut, *s_Yt, *s_DT, *s_ET, *s_Ut_array, *s_S, *s_R, *s_Q, *s_nQ, *s_Q_array;

struct TONtrigger {};  // all state lives in the instance dictionary
struct TOFFtrigger {};
struct RStrigger {};

// DT and ET are worked as integers when both are integer-like (int, bool,
// NumPy integer, __index__) and strictly inside 2**62, so that DT - 1
// cannot overflow; otherwise both are read as real numbers.
constexpr long long kSettingMax = qxb::kSmallIntMax - 1;

bool integer_setting(nb::handle h, const char *name, long long &v) {
    if (qxb::int_within(h, kSettingMax, v))
        return true;
    PyObject *o = h.ptr();
    if (PyLong_CheckExact(o) || PyBool_Check(o) || !PyIndex_Check(o))
        return false;
    return qxb::index_value(h, name, v) && v >= -kSettingMax && v <= kSettingMax;
}

// The attributes call() reads and writes, in that order of the names.
enum TimerAttr : std::size_t { kUt, kUtArray, kDT, kET, kYt };
using TimerAttrs = qxb::fblock::Attrs<5>;
template <bool OnDelay> TimerAttrs *timer_attrs = nullptr;

bool exact_int(nb::handle h) { return PyLong_CheckExact(h.ptr()) || PyBool_Check(h.ptr()); }

template <bool OnDelay> void timer_call(nb::handle self) {
    using namespace qxb::fblock;
    TimerAttrs &a = *timer_attrs<OnDelay>;
    nb::handle ds = data_store_fn();
    std::array<nb::object, 5> at;
    std::array<bool, 5> own{};
    bool read = a.read_all(self, at, own) && at[kUt] && at[kUtArray] && at[kDT] && at[kET];
    if (!read) {
        // One by one, as Python reads them (a missing one raises its error).
        for (std::size_t i : {kUt, kUtArray, kDT, kET})
            at[i] = a.get(self, i);
        own[kYt] = false;
    }
    nb::object &Ut = at[kUt], &arr = at[kUtArray], &DT = at[kDT], &ET = at[kET];

    // Settings and input are checked before the input history moves.
    long long dt_i = 0, et_i = 0;
    const bool ints = integer_setting(DT, "DT", dt_i) && integer_setting(ET, "ET", et_i);
    double dt_d = 0.0, et_d = 0.0;
    if (!ints) {
        dt_d = qxb::to_double(DT);
        et_d = qxb::to_double(ET);
    }
    // The common case natively: an int input and the int64 history the
    // constructor made, shifted on its memory exactly as dataStore shifts it
    // (the input stored as the array stores an int). Anything else goes
    // through dataStore and the array's own items.
    double u0, u1;
    long long v;
    Py_ssize_t n = 0;
    long long *h = qxb::int_within(Ut, LLONG_MAX, v) ? qxb::np_abi::plain_int64(arr.ptr(), 2, n)
                                                     : nullptr;
    if (h) {
        // The previous input is read before the shift moves it (not read
        // back from where the shift has just written it).
        const long long previous = h[0];
        qxdcs::history_push(h, static_cast<std::size_t>(n), v);
        u0 = double(v);
        u1 = double(previous);
    } else {
        nb::object x = storable(arr, Ut);
        data_store(ds, arr, x);
        u0 = qxb::to_double(item(arr, 0));
        u1 = qxb::to_double(item(arr, 1));
    }

    // Whether only native code has run since the attributes were read: exact
    // ints (whose conversion and release run nothing of the caller's) and the
    // native shift. Yt then still holds what was read.
    const bool quiet = read && h && exact_int(DT) && exact_int(ET);
    int Yt;
    if (ints) {
        auto r = OnDelay ? qxdcs::ton_step<long long>(u0, u1, dt_i, et_i)
                         : qxdcs::toff_step<long long>(u0, u1, dt_i, et_i);
        if (r.assigned)
            a.set(self, kET, qxb::steal_or_throw(PyLong_FromLongLong(r.et)));
        Yt = r.yt;
    } else {
        auto r = OnDelay ? qxdcs::ton_step<double>(u0, u1, dt_d, et_d)
                         : qxdcs::toff_step<double>(u0, u1, dt_d, et_d);
        if (r.assigned)
            a.set(self, kET, nb::float_(r.et));
        Yt = r.yt;
    }
    nb::object y = qxb::steal_or_throw(PyLong_FromLong(Yt));
    // Writing the object the instance already holds would change nothing.
    if (quiet && own[kYt] && at[kYt].ptr() == y.ptr())
        return;
    at[kYt].reset();  // the old Yt is let go when replaced, as by an assignment
    a.set(self, kYt, y);
}

bool truth(nb::handle h) {
    int t = PyObject_IsTrue(h.ptr());
    if (t < 0)
        throw nb::python_error();
    return t != 0;
}

// The attributes the flip-flop's call() reads and writes.
enum RsAttr : std::size_t { kS, kR, kQArray, kQ, kNQ };
qxb::fblock::Attrs<5> *rs_attrs = nullptr;

// The truth value of an object whose truth test runs no code of the
// caller's (None, bool, exact int and float); false for any other object.
bool plain_truth(nb::handle h, bool &out) {
    PyObject *o = h.ptr();
    if (o == Py_True || o == Py_False || o == Py_None) {
        out = o == Py_True;
        return true;
    }
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) {
        out = PyObject_IsTrue(o) != 0;  // the type's own test: no failure, no code
        return true;
    }
    return false;
}

// numpy.True_ and numpy.False_: what an element of a boolean array reads
// back as. Looked up once NumPy has made the first memory array.
struct NumpyBools {
    PyObject *yes = nullptr, *no = nullptr;
    bool find() {
        if (yes)
            return true;
        nb::handle np = qxb::numpy();
        nb::object t = np.attr("True_"), f = np.attr("False_"), b = np.attr("bool_");
        if (Py_TYPE(t.ptr()) != reinterpret_cast<PyTypeObject *>(b.ptr()) ||
            Py_TYPE(f.ptr()) != reinterpret_cast<PyTypeObject *>(b.ptr()))
            return false;
        yes = t.release().ptr();  // kept for the process's life
        no = f.release().ptr();
        return true;
    }
    // Objects that are never released (releasing them runs nothing).
    bool immortal(PyObject *o) const {
        return o == Py_True || o == Py_False || (o && (o == yes || o == no));
    }
};
NumpyBools g_bools;

// The common call natively: S and R of plain types and the boolean memory
// the constructor made, shifted on its memory exactly as dataStore shifts it.
// False, with nothing changed, for anything else.
bool rs_call_native(nb::handle self) {
    std::array<nb::object, 5> at;
    std::array<bool, 5> own{};
    if (!rs_attrs->read_all(self, at, own) || !at[kS] || !at[kR] || !at[kQArray])
        return false;
    bool S, R;
    Py_ssize_t n = 0;
    unsigned char *mem;
    if (!plain_truth(at[kS], S) || !plain_truth(at[kR], R) ||
        !(mem = qxb::np_abi::plain_bool(at[kQArray].ptr(), 1, n)) || !g_bools.find())
        return false;
    bool q;
    PyObject *Q;
    if (!S && !R) {
        q = mem[0] != 0;
        Q = q ? g_bools.yes : g_bools.no;  // the stored element, as the array gives it
    } else {
        q = qxdcs::rs_step(S, R, false);
        Q = q ? Py_True : Py_False;
    }
    qxdcs::history_push(mem, static_cast<std::size_t>(n), static_cast<unsigned char>(q));
    // Nothing of the caller's has run so far; writing Q releases the old Q,
    // which may run code unless it is one of the objects never released.
    // The old values are let go before they are replaced, as a plain
    // assignment lets them go.
    const bool same_q = own[kQ] && at[kQ].ptr() == Q;
    const bool quiet = same_q || !own[kQ] || g_bools.immortal(at[kQ].ptr());
    PyObject *nQ = q ? Py_False : Py_True;
    const bool same_nq = own[kNQ] && at[kNQ].ptr() == nQ;
    at[kQ].reset();
    at[kNQ].reset();
    if (!same_q)
        rs_attrs->set(self, kQ, Q);
    if (!(quiet && same_nq))
        rs_attrs->set(self, kNQ, nQ);
    return true;
}

void rs_call(nb::handle self) {
    using namespace qxb::fblock;
    nb::handle ds = data_store_fn();
    if (rs_call_native(self))
        return;
    const bool S = truth(get(self, s_S));
    const bool R = truth(get(self, s_R));
    nb::object arr = get(self, s_Q_array);
    // Set and reset give True or False; hold gives the stored memory itself
    // (an element of Q_array, numpy.bool_ as a rule), not the attribute Q.
    nb::object Q;
    bool q;
    if (!S && !R) {
        Q = item(arr, 0);
        q = truth(Q);
    } else {
        q = qxdcs::rs_step(S, R, false);
        Q = nb::bool_(q);
    }
    data_store(ds, arr, Q);
    set(self, s_Q, Q);
    set(self, s_nQ, nb::bool_(!q));
}

nb::object zeros(long n, nb::handle dtype) {
    return qxb::numpy().attr("zeros")(n, "dtype"_a = dtype);
}

template <class T, bool OnDelay>
void def_timer(nb::module_ &m, const char *name, const char *doc) {
    auto cls = qxb::fblock::fblock_class<T>(m, name, doc);
    cls.attr("Ut") = 0;
    cls.attr("Yt") = 0;
    cls.attr("DT") = 3;
    cls.attr("ET") = 0;
    cls.def("__init__",
            [](nb::pointer_and_handle<T> self) {
                nb::object history = zeros(2, qxb::dtype_int64());
                new (self.p) T();
                qxb::fblock::set(self.h, s_Ut_array, history);
            })
        .def("__repr__", [name](nb::handle self) {
            using qxb::fblock::get;
            return nb::str("{}(Ut={!r}, DT={!r}, ET={!r}, Yt={!r}, Ut_array={!r})")
                .format(name, get(self, s_Ut), get(self, s_DT), get(self, s_ET),
                        get(self, s_Yt), get(self, s_Ut_array));
        });
    // Kept for the process's life, as the class is.
    timer_attrs<OnDelay> = new TimerAttrs(reinterpret_cast<PyTypeObject *>(cls.ptr()),
                                          {s_Ut, s_Ut_array, s_DT, s_ET, s_Yt});
    qxb::fblock::def_call<T, &timer_call<OnDelay>>(cls,
        "call($self, /)\n--\n\nOne sample: read Ut and DT, update Ut_array and ET, set Yt.");
    qxb::finish_block(cls);
}

} // namespace

NB_MODULE(qxTrigger, m) {
    m.doc() = "On-delay and off-delay timers and a set/reset flip-flop, counted in calls.";

    using qxb::fblock::intern;
    s_Ut = intern("Ut");
    s_Yt = intern("Yt");
    s_DT = intern("DT");
    s_ET = intern("ET");
    s_Ut_array = intern("Ut_array");
    s_S = intern("S");
    s_R = intern("R");
    s_Q = intern("Q");
    s_nQ = intern("nQ");
    s_Q_array = intern("Q_array");

    def_timer<TONtrigger, true>(m, "TONtrigger",
        "On-delay timer in function-block style.\n\n"
        "Write Ut and DT (delay in calls), call call(), read Yt. Yt becomes 1 on the\n"
        "DT-th consecutive call with Ut 1 (the rising edge counts as the first) and\n"
        "drops to 0 at once with Ut 0. ET is the remaining count; Ut_array holds the\n"
        "current and previous input as integers (truncated toward zero).");
    def_timer<TOFFtrigger, false>(m, "TOFFtrigger",
        "Off-delay timer in function-block style.\n\n"
        "Write Ut and DT (delay in calls), call call(), read Yt. Yt is 1 at once with\n"
        "a positive Ut and drops to 0 on the DT-th consecutive call with Ut 0 (the\n"
        "falling edge counts as the first). ET is the remaining count; Ut_array holds\n"
        "the current and previous input as integers (truncated toward zero).");

    auto rs = qxb::fblock::fblock_class<RStrigger>(m, "RStrigger",
        "Set/reset flip-flop with reset priority, in function-block style.\n\n"
        "Write S and R (truth values), call call(), read Q and nQ (= not Q). With\n"
        "S and R both false Q holds the value kept in Q_array, its memory.");
    rs.attr("S") = 0;
    rs.attr("R") = 0;
    rs.attr("Q") = false;
    rs.attr("nQ") = true;
    rs.def("__init__",
           [](nb::pointer_and_handle<RStrigger> self) {
               nb::object memory = zeros(1, qxb::numpy().attr("bool_"));
               new (self.p) RStrigger();
               qxb::fblock::set(self.h, s_Q_array, memory);
           })
        .def("__repr__", [](nb::handle self) {
            using qxb::fblock::get;
            return nb::str("RStrigger(S={!r}, R={!r}, Q={!r}, nQ={!r}, Q_array={!r})")
                .format(get(self, s_S), get(self, s_R), get(self, s_Q), get(self, s_nQ),
                        get(self, s_Q_array));
        });
    rs_attrs = new qxb::fblock::Attrs<5>(reinterpret_cast<PyTypeObject *>(rs.ptr()),
                                         {s_S, s_R, s_Q_array, s_Q, s_nQ});
    qxb::fblock::def_call<RStrigger, &rs_call>(rs,
        "call($self, /)\n--\n\n"
        "One sample: Q = False if R, True if S, else Q_array[0] (the stored Q);\n"
        "nQ = not Q.");
    qxb::finish_block(rs);
}

// Module qxPIDControl: the PID controller block.
//
// The control law lives in qxdcs/pid.hpp; this unit adds what belongs to the
// Python object: the gain and sample period kept exactly as passed, history
// and step-record attributes that exist only after the first reset, records
// written by the caller kept as passed, printed messages, pickling, and a
// direct path for the per-sample call run().
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <tuple>
#include <utility>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fastcall.hpp"
#include "bind/kept.hpp"
#include "qxdcs/pid.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxdcs::Pid;

namespace {

constexpr std::uint8_t kHistAll = 0x1F;  // _et1 _et2 _OP1 _FF1 _dOPD1
constexpr std::uint8_t kRecAll = 0x7F;   // the seven step-record attributes

enum Hist : int { H_et1, H_et2, H_OP1, H_FF1, H_dOPD1 };

const char *const kRecKeys[7] = {"OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"};
const char *const kRecAttrs[7] = {"_OP_save",    "_OPcal_save", "_dOP_save", "_dOP_P_save",
                                  "_dOP_I_save", "_dOP_D_save", "_dFF_save"};

const char *const kForm =
    "\n"
    "Name: Non-Interacting A\n"
    "Continuous Time:\n"
    "                  1             TD*s\n"
    "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
    "                TI*s         TD\n"
    "                            -----*s  +  1\n"
    "                              N\n"
    "Discrete: (Backward Euler)\n"
    "\n"
    "    1        TS*z\n"
    "---- = ------------\n"
    "    s        z - 1\n"
    "\n"
    "Default Parameters:\n"
    "Kp = 1.0\n"
    "TI = 60.0\n"
    "TD = 0.0\n"
    "N = 10.0\n"
    "TS = 1\n";

[[noreturn]] void no_attribute(const char *name) { qxb::raise_no_attribute("PID", name); }

bool truth(nb::handle v) {
    const int t = PyObject_IsTrue(v.ptr());
    if (t < 0)
        throw nb::python_error();
    return t != 0;
}

// Step-record values written by the caller (_setInnerSaveState or the record
// attributes), kept as passed. Bit i of `mask` says that value i is such an
// object (obj[i] holds one exactly then); the others are the native record's.
struct RecordObjects {
    std::uint8_t mask = 0;
    nb::object obj[7];

    bool has(int i) const { return mask & (1u << i); }
    void set(int i, nb::handle v, qxb::ReleaseLast &later) {
        later.replace(obj[i], nb::borrow(v));
        mask |= std::uint8_t(1u << i);
    }
    void drop(int i, qxb::ReleaseLast &later) {
        mask &= std::uint8_t(~(1u << i));
        later.keep(std::move(obj[i]));
    }
    // The native record is in force again.
    void drop_all(qxb::ReleaseLast &later) {
        if (!mask)
            return;
        mask = 0;
        for (nb::object &o : obj)
            later.keep(std::move(o));
    }

    int visit(visitproc visit, void *arg) const {
        for (const nb::object &o : obj)
            Py_VISIT(o.ptr());
        return 0;
    }
    // The record reads back as its native values; the controller runs on.
    void clear(qxb::ReleaseLast &later) { drop_all(later); }
};

struct PyPID {
    Pid core;
    qxb::Kept TS_obj, KP_obj;  // stored exactly as passed
    std::uint8_t hist = 0;     // which history attributes exist
    std::uint8_t rec = 0;      // which record attributes exist
    RecordObjects rec_objs;

    static constexpr auto kept_members() {
        return std::make_tuple(&PyPID::TS_obj, &PyPID::KP_obj, &PyPID::rec_objs);
    }

    // PID(TS): the sample period as passed, then setPIDParam() and
    // setOPHighLowLimit() with their defaults.
    static PyPID make(nb::handle TS) {
        PyPID p;
        p.set_sample_period(TS);
        p.KP_obj = qxb::Kept(nb::float_(1.0));
        p.core.set_params(1.0, 60.0, 0.0, 10.0);
        p.core.set_limits(100.0, 0.0);
        return p;
    }

    void set_sample_period(nb::handle v) {
        const double ts = qxb::to_double(v);
        core.TS = ts;
        TS_obj.replace(v);
    }
    void set_gain(nb::handle v) {
        const double kp = qxb::to_double(v);
        core.KP = kp;
        KP_obj.replace(v);
    }

    double *record_slot(int i) {
        qxdcs::PidStepRecord &r = core.record;
        double *slots[7] = {&r.OP, &r.OPcal, &r.dOP, &r.dOP_P, &r.dOP_I, &r.dOP_D, &r.dFF};
        return slots[i];
    }
    double *history_slot(int i) {
        double *slots[5] = {&core.et1, &core.et2, &core.OP1, &core.FF1, &core.dOPD1};
        return slots[i];
    }

    // After a reset or an automatic step the whole history and the native
    // record are in force; the caller's record objects go to `later`.
    void step_written(qxb::ReleaseLast &later) {
        hist = kHistAll;
        rec = kRecAll;
        rec_objs.drop_all(later);
    }

    // Raises for the first history value an automatic step would read that
    // does not exist (the caller may have written only some of them).
    void require_history() const {
        if (hist == kHistAll)
            return;
        if (!(hist & (1 << H_et1)))
            no_attribute("_et1");
        if (!(hist & (1 << H_et2)))
            no_attribute("_et2");
        if (core.TD > 0.0 && !(hist & (1 << H_dOPD1)))
            no_attribute("_dOPD1");
        if (!(hist & (1 << H_FF1)))
            no_attribute("_FF1");
        if (!(hist & (1 << H_OP1)))
            no_attribute("_OP1");
        // All that is read exists; the step rewrites the whole history.
    }

    void reset(double SP, double PV, double TV, double FF) {
        qxb::ReleaseLast later;
        core.reset(SP, PV, TV, FF);
        step_written(later);
    }

    double auto_step(double SP, double PV, double FF) {
        require_history();
        qxb::ReleaseLast later;
        const double OP = core.auto_step(SP, PV, FF);
        step_written(later);
        return OP;
    }

    double run(double MODE, double SP, double PV, double TV, double FF) {
        if (!core.ini_flag && hist != kHistAll && Pid::round_mode(MODE) == 1.0)
            require_history();
        qxb::ReleaseLast later;
        const bool first = core.ini_flag;
        try {
            const double OP = core.run(MODE, SP, PV, TV, FF);
            step_written(later);
            return OP;
        } catch (...) {
            if (first)  // the first-call reset came before MODE was examined
                step_written(later);
            throw;
        }
    }

    nb::object record_value(int i) {
        if (!(rec & (1 << i)))
            return nb::object();
        if (rec_objs.has(i))
            return rec_objs.obj[i];
        return nb::float_(*record_slot(i));
    }

    void set_record_value(int i, nb::handle v, qxb::ReleaseLast &later) {
        rec |= std::uint8_t(1 << i);
        rec_objs.set(i, v, later);
    }

    nb::dict state();
    static PyPID from_state(nb::handle s);
};

// --- subclasses ---------------------------------------------------------------
// run() is made of a reset (_resetPID) and an automatic step (PID_Auto), and
// both store the record of the step through _setInnerSaveState. The class
// itself does all of it natively; a Python subclass that overrides one of
// these methods has its override called where the controller would call it.
PyTypeObject *g_pid_type = nullptr;

bool overrides(nb::handle self, const char *name) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (tp == g_pid_type)
        return false;
    nb::object mine = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(tp)), name);
    nb::object base = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(g_pid_type)), name);
    return !mine.is(base);
}

bool overrides_a_step(nb::handle self) {
    return Py_TYPE(self.ptr()) != g_pid_type &&
           (overrides(self, "_resetPID") || overrides(self, "PID_Auto") ||
            overrides(self, "_setInnerSaveState"));
}

void save_record(nb::handle self, const qxdcs::PidStepRecord &r) {
    self.attr("_setInnerSaveState")(
        nb::arg("OP_save") = r.OP, nb::arg("OPcal_save") = r.OPcal, nb::arg("dOP_save") = r.dOP,
        nb::arg("dOP_P_save") = r.dOP_P, nb::arg("dOP_I_save") = r.dOP_I,
        nb::arg("dOP_D_save") = r.dOP_D, nb::arg("dFF_save") = r.dFF);
}

using Self = nb::pointer_and_handle<PyPID>;

void reset_entry(Self self, double SP, double PV, double TV, double FF) {
    self.p->reset(SP, PV, TV, FF);
    if (overrides(self.h, "_setInnerSaveState"))
        save_record(self.h, self.p->core.record);
}

nb::object auto_entry(Self self, double SP, double PV, double FF) {
    double OP = self.p->auto_step(SP, PV, FF);
    if (overrides(self.h, "_setInnerSaveState"))
        save_record(self.h, self.p->core.record);
    return nb::float_(OP);
}

// run() as bound by nanobind: every call the direct path below declines.
nb::object run_entry(Self self, double MODE, double SP, double PV, double TV, double FF) {
    PyPID &p = *self.p;
    if (!overrides_a_step(self.h))
        return nb::float_(p.run(MODE, SP, PV, TV, FF));
    nb::handle h = self.h;
    if (p.core.ini_flag)
        h.attr("_resetPID")(SP, PV, TV, FF);
    if (Pid::round_mode(MODE) == 1.0)
        return h.attr("PID_Auto")(SP, PV, FF);
    double OP = p.core.limit(TV);
    h.attr("_resetPID")(SP, PV, TV, FF);
    return nb::float_(OP);
}

// The direct path of run() (bind/fastcall.hpp): four or five positional
// plain numbers on a controller whose steps are the class's own. A MODE
// that cannot be rounded and a history the caller has written only in part
// are left to the bound method, whose errors they raise.
constexpr char kRunName[] = "run";

PyObject *run_direct(PyPID &p, PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    double a[5] = {0.0, 0.0, 0.0, 0.0, 0.0};  // FF defaults to 0.0
    if (nargs < 4 || nargs > 5 || !qxb::plain_floats(args, nargs, a))
        return nullptr;
    if (!std::isfinite(a[0]) || (!p.core.ini_flag && p.hist != kHistAll))
        return nullptr;
    try {
        if (overrides_a_step(self))
            return nullptr;
        return PyFloat_FromDouble(p.run(a[0], a[1], a[2], a[3], a[4]));
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// --- attributes -------------------------------------------------------------
// Each attribute has a getter (a null object when it does not exist yet) and a
// setter; the same table serves the properties, __getstate__ and restoring.
// `always` marks the attributes every controller has.
struct AttrDef {
    const char *name;
    bool always;
    nb::object (*get)(PyPID &);
    void (*set)(PyPID &, nb::handle);
};

template <double Pid::*M> nb::object get_double(PyPID &p) { return nb::float_(p.core.*M); }
template <double Pid::*M> void set_double(PyPID &p, nb::handle v) {
    p.core.*M = qxb::to_double(v);
}
template <int I> nb::object get_hist(PyPID &p) {
    if (!(p.hist & (1 << I)))
        return nb::object();
    return nb::float_(*p.history_slot(I));
}
template <int I> void set_hist(PyPID &p, nb::handle v) {
    *p.history_slot(I) = qxb::to_double(v);
    p.hist |= std::uint8_t(1 << I);
}
template <int I> nb::object get_rec(PyPID &p) { return p.record_value(I); }
template <int I> void set_rec(PyPID &p, nb::handle v) {
    qxb::ReleaseLast later;
    p.set_record_value(I, v, later);
}

const AttrDef kAttrs[] = {
    {"_iniFlag", true, [](PyPID &p) -> nb::object { return nb::bool_(p.core.ini_flag); },
     [](PyPID &p, nb::handle v) { p.core.ini_flag = truth(v); }},
    {"_TS", true, [](PyPID &p) { return p.TS_obj.get(); },
     [](PyPID &p, nb::handle v) { p.set_sample_period(v); }},
    {"_KP", true, [](PyPID &p) { return p.KP_obj.get(); },
     [](PyPID &p, nb::handle v) { p.set_gain(v); }},
    {"_TI", true, get_double<&Pid::TI>, set_double<&Pid::TI>},
    {"_TD", true, get_double<&Pid::TD>, set_double<&Pid::TD>},
    {"_N", true, get_double<&Pid::N>, set_double<&Pid::N>},
    {"_OP_HI", true, get_double<&Pid::OP_HI>, set_double<&Pid::OP_HI>},
    {"_OP_LO", true, get_double<&Pid::OP_LO>, set_double<&Pid::OP_LO>},
    {"_et1", false, get_hist<H_et1>, set_hist<H_et1>},
    {"_et2", false, get_hist<H_et2>, set_hist<H_et2>},
    {"_OP1", false, get_hist<H_OP1>, set_hist<H_OP1>},
    {"_FF1", false, get_hist<H_FF1>, set_hist<H_FF1>},
    {"_dOPD1", false, get_hist<H_dOPD1>, set_hist<H_dOPD1>},
    {"_OP_save", false, get_rec<0>, set_rec<0>},
    {"_OPcal_save", false, get_rec<1>, set_rec<1>},
    {"_dOP_save", false, get_rec<2>, set_rec<2>},
    {"_dOP_P_save", false, get_rec<3>, set_rec<3>},
    {"_dOP_I_save", false, get_rec<4>, set_rec<4>},
    {"_dOP_D_save", false, get_rec<5>, set_rec<5>},
    {"_dFF_save", false, get_rec<6>, set_rec<6>},
};

// --- state -------------------------------------------------------------------

// Every attribute that exists, under its own name.
nb::dict PyPID::state() {
    nb::dict s;
    for (const AttrDef &a : kAttrs) {
        nb::object v = a.get(*this);
        if (v.is_valid())
            s[a.name] = v;
    }
    return s;
}

// A restored controller obeys what a constructed and tuned one does: every
// number real, TI and TD not below 0, N not below 1e-6 (NaN as setPIDParam
// keeps it), the limits in order. History and record values are restored
// where present.
PyPID PyPID::from_state(nb::handle s) {
    PyPID p;
    for (const AttrDef &a : kAttrs) {
        nb::object v;
        if (a.always) {
            v = qxb::state_item(s, a.name);
        } else if (PyObject *item = PyDict_GetItemString(s.ptr(), a.name)) {
            v = nb::borrow(item);
        }
        if (v.is_valid())
            a.set(p, v);
    }
    if (!Pid::within_floors(p.core.TI, p.core.TD, p.core.N))
        throw nb::value_error("PID state needs _TI >= 0, _TD >= 0 and _N >= 1e-06");
    if (!Pid::limits_in_order(p.core.OP_HI, p.core.OP_LO))
        throw nb::value_error("PID state needs _OP_HI >= _OP_LO");
    // Record values read back as floats are the native record again.
    qxb::ReleaseLast later;
    for (int i = 0; i < 7; ++i) {
        PyObject *o = p.rec_objs.obj[i].ptr();
        if (p.rec_objs.has(i) && PyFloat_CheckExact(o)) {
            *p.record_slot(i) = PyFloat_AS_DOUBLE(o);
            p.rec_objs.drop(i, later);
        }
    }
    return p;
}

} // namespace

NB_MODULE(qxPIDControl, m) {
    m.doc() = "Discrete non-interacting PID controller in incremental form.";

    auto cls = qxb::block_class<PyPID>(m, "PID",
        "Discrete PID controller (non-interacting, filtered derivative, incremental form).\n\n"
        "Construct with the sample period TS, tune with setPIDParam and\n"
        "setOPHighLowLimit, then call run(MODE, SP, PV, TV, FF) once per sample.\n"
        "MODE 1 is automatic; any other mode tracks TV.");
    g_pid_type = reinterpret_cast<PyTypeObject *>(cls.ptr());

    cls.def("__init__", [](PyPID *self, nb::handle TS) { new (self) PyPID(PyPID::make(TS)); },
            "TS"_a = 1.0)
        .def("setPIDParam",
             [](PyPID &p, nb::handle KP, double TI, double TD, double N) {
                 const double kp = qxb::to_double(KP);
                 p.core.set_params(kp, TI, TD, N);
                 p.KP_obj.replace(KP);
             },
             "KP"_a = 1.0, "TI"_a = 60.0, "TD"_a = 0.0, "N"_a = 10.0,
             "Set KP, TI, TD and N; TI and TD are floored at 0.0, N at 1e-6.")
        .def("getPIDParam",
             [](PyPID &p) {
                 nb::object kp = p.KP_obj.hold();
                 return nb::make_tuple(kp, p.core.TI, p.core.TD, p.core.N);
             },
             "Return (KP, TI, TD, N) as stored.")
        .def("setOPHighLowLimit",
             [](PyPID &p, double OP_HI, double OP_LO) {
                 if (!p.core.set_limits(OP_HI, OP_LO))
                     qxb::py_print("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
             },
             "OP_HI"_a = 100.0, "OP_LO"_a = 0.0,
             "Set the output limits; limits in the wrong order are refused with a message.")
        .def("getOPHighLowLimit",
             [](PyPID &p) { return nb::make_tuple(p.core.OP_HI, p.core.OP_LO); },
             "Return (OP_HI, OP_LO).")
        .def("_resetPID", &reset_entry, "SP"_a, "PV"_a, "TV"_a, "FF"_a,
             "Initialise the history so the next automatic step continues from TV.")
        .def("run", &run_entry, "MODE"_a, "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0)
        .def("PID_Auto", &auto_entry, "SP"_a, "PV"_a, "FF"_a = 0.0,
             "One automatic step without the first-call reset. Returns OP.")
        .def("_setInnerSaveState",
             [](PyPID &p, nb::handle a, nb::handle b, nb::handle c, nb::handle d,
                nb::handle e, nb::handle f, nb::handle g) {
                 const nb::handle v[7] = {a, b, c, d, e, f, g};
                 qxb::ReleaseLast later;
                 for (int i = 0; i < 7; ++i)
                     p.set_record_value(i, v[i], later);
             },
             "OP_save"_a.none(), "OPcal_save"_a.none(), "dOP_save"_a.none(),
             "dOP_P_save"_a.none(), "dOP_I_save"_a.none(), "dOP_D_save"_a.none(),
             "dFF_save"_a.none(), "Store the record of the last step, unchanged.")
        .def("getInnerSaveState",
             [](PyPID &p) {
                 nb::dict d;
                 for (int i = 0; i < 7; ++i) {
                     nb::object v = p.record_value(i);
                     if (!v.is_valid())
                         no_attribute(kRecAttrs[i]);
                     d[kRecKeys[i]] = v;
                 }
                 return d;
             },
             "Return the record of the last step as a new dictionary.")
        .def("getPIDForm", [](PyPID &) { return nb::str(kForm); },
             "Return the text of the control law and the default tuning.");

    for (const AttrDef &a : kAttrs) {
        auto get = a.get;
        auto set = a.set;
        const char *name = a.name;
        cls.def_prop_rw(
            name,
            [get, name](PyPID &p) {
                nb::object v = get(p);
                if (!v.is_valid())
                    no_attribute(name);
                return v;
            },
            [set](PyPID &p, nb::handle v) { set(p, v); },
            nb::for_setter(nb::arg("value").none()));
    }

    cls.def("__repr__", [](PyPID &p) {
        nb::object ts = p.TS_obj.hold(), kp = p.KP_obj.hold();
        return nb::str("PID(TS={!r}, KP={!r}, TI={!r}, TD={!r}, N={!r}, OP_HI={!r}, OP_LO={!r})")
            .format(ts, kp, p.core.TI, p.core.TD, p.core.N, p.core.OP_HI, p.core.OP_LO);
    });
    qxb::def_state(cls, &PyPID::state, &PyPID::from_state);
    qxb::fast_method<PyPID, kRunName, &run_direct>(
        cls, "run($self, /, MODE, SP, PV, TV, FF=0.0)\n--\n\n"
             "One sample: MODE 1 automatic, otherwise track TV. Returns OP.");
    qxb::finish_block(cls);
}

// Module qxPIDControl: the PID controller block.
//
// The control law lives in core/pid.hpp; this unit adds what belongs to the
// Python object: the gain and sample period kept exactly as passed, history
// and step-record attributes that exist only after the first reset, records
// restored through _setInnerSaveState, printed messages and pickling.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

#include "pid.hpp"
#include "qx_args.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxcore::Pid;

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

[[noreturn]] void no_attribute(const char *name) { qxargs::raise_no_attribute("PID", name); }

// A real number kept as the caller passed it, with its double value.
nb::object checked_real(nb::handle h, double &out) {
    out = qxargs::to_double(h);
    return nb::borrow(h);
}

struct PyPID {
    Pid core;
    nb::object TS_obj, KP_obj;    // stored exactly as passed
    std::uint8_t hist = 0;        // which history attributes exist
    std::uint8_t rec = 0;         // which record attributes exist
    std::uint8_t rec_obj_mask = 0;  // which record attributes hold a caller's object
    nb::object rec_obj[7];

    explicit PyPID(nb::handle TS) {
        double ts;
        TS_obj = checked_real(TS, ts);
        core.TS = ts;
        core.iniFlag = true;
        KP_obj = nb::float_(1.0);
        core.setParams(1.0, 60.0, 0.0, 10.0);
        core.setLimits(100.0, 0.0);
    }

    double *rec_slot(int i) {
        qxcore::PidStepRecord &r = core.record;
        double *slots[7] = {&r.OP, &r.OPcal, &r.dOP, &r.dOP_P, &r.dOP_I, &r.dOP_D, &r.dFF};
        return slots[i];
    }
    double *hist_slot(int i) {
        double *slots[5] = {&core.et1, &core.et2, &core.OP1, &core.FF1, &core.dOPD1};
        return slots[i];
    }

    // The step record is native again. Releasing the caller's objects may
    // run their __del__, which may use this controller: they go last.
    void record_written() {
        rec = kRecAll;
        if (rec_obj_mask) {
            rec_obj_mask = 0;
            nb::object previous[7];
            for (int i = 0; i < 7; ++i)
                previous[i] = std::move(rec_obj[i]);
        }
    }

    void reset(double SP, double PV, double TV, double FF) {
        core.reset(SP, PV, TV, FF);
        hist = kHistAll;
        record_written();
    }

    double auto_step(double SP, double PV, double FF) {
        if (hist != kHistAll) {
            // Report the first history value the step would read.
            if (!(hist & (1 << H_et1))) no_attribute("_et1");
            if (!(hist & (1 << H_et2))) no_attribute("_et2");
            if (core.TD > 0.0 && !(hist & (1 << H_dOPD1))) no_attribute("_dOPD1");
            if (!(hist & (1 << H_FF1))) no_attribute("_FF1");
            if (!(hist & (1 << H_OP1))) no_attribute("_OP1");
            // All that is read exists; the step rewrites the whole history.
        }
        double OP = core.autoStep(SP, PV, FF);
        hist = kHistAll;
        record_written();
        return OP;
    }

    double run(double MODE, double SP, double PV, double TV, double FF) {
        if (core.iniFlag)
            reset(SP, PV, TV, FF);
        if (Pid::roundMode(MODE) == 1.0)
            return auto_step(SP, PV, FF);
        double OP = core.limit(TV);
        reset(SP, PV, TV, FF);
        return OP;
    }

    nb::object record_value(int i) const {
        if (!(rec & (1 << i)))
            return nb::object();
        if (rec_obj_mask & (1 << i))
            return rec_obj[i];
        return nb::float_(*const_cast<PyPID *>(this)->rec_slot(i));
    }

    void set_record_value(int i, nb::handle v) {
        nb::object previous = std::move(rec_obj[i]);
        rec |= std::uint8_t(1 << i);
        rec_obj_mask |= std::uint8_t(1 << i);
        rec_obj[i] = nb::borrow(v);
    }  // the value replaced is released here, with the record complete
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

void save_record(nb::handle self, const qxcore::PidStepRecord &r) {
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

nb::object run_entry(Self self, double MODE, double SP, double PV, double TV, double FF) {
    PyPID &p = *self.p;
    if (NB_LIKELY(Py_TYPE(self.h.ptr()) == g_pid_type) ||
        !(overrides(self.h, "_resetPID") || overrides(self.h, "PID_Auto") ||
          overrides(self.h, "_setInnerSaveState")))
        return nb::float_(p.run(MODE, SP, PV, TV, FF));
    nb::handle h = self.h;
    if (p.core.iniFlag)
        h.attr("_resetPID")(SP, PV, TV, FF);
    if (Pid::roundMode(MODE) == 1.0)
        return h.attr("PID_Auto")(SP, PV, FF);
    double OP = p.core.limit(TV);
    h.attr("_resetPID")(SP, PV, TV, FF);
    return nb::float_(OP);
}

// --- attributes -------------------------------------------------------------
// Each attribute has a getter (a null object when it does not exist yet) and a
// setter; the same table serves the properties and pickling.
struct AttrDef {
    const char *name;
    nb::object (*get)(PyPID &);
    void (*set)(PyPID &, nb::handle);
};

template <double Pid::*M> nb::object get_double(PyPID &p) { return nb::float_(p.core.*M); }
template <double Pid::*M> void set_double(PyPID &p, nb::handle v) {
    p.core.*M = qxargs::to_double(v);
}
template <int I> nb::object get_hist(PyPID &p) {
    if (!(p.hist & (1 << I)))
        return nb::object();
    return nb::float_(*p.hist_slot(I));
}
template <int I> void set_hist(PyPID &p, nb::handle v) {
    *p.hist_slot(I) = qxargs::to_double(v);
    p.hist |= std::uint8_t(1 << I);
}
template <int I> nb::object get_rec(PyPID &p) { return p.record_value(I); }
template <int I> void set_rec(PyPID &p, nb::handle v) { p.set_record_value(I, v); }

const AttrDef kAttrs[] = {
    {"_iniFlag", [](PyPID &p) -> nb::object { return nb::bool_(p.core.iniFlag); },
     [](PyPID &p, nb::handle v) {
         int t = PyObject_IsTrue(v.ptr());
         if (t < 0)
             throw nb::python_error();
         p.core.iniFlag = t != 0;
     }},
    {"_TS", [](PyPID &p) { return p.TS_obj; },
     [](PyPID &p, nb::handle v) { p.TS_obj = checked_real(v, p.core.TS); }},
    {"_KP", [](PyPID &p) { return p.KP_obj; },
     [](PyPID &p, nb::handle v) { p.KP_obj = checked_real(v, p.core.KP); }},
    {"_TI", get_double<&Pid::TI>, set_double<&Pid::TI>},
    {"_TD", get_double<&Pid::TD>, set_double<&Pid::TD>},
    {"_N", get_double<&Pid::N>, set_double<&Pid::N>},
    {"_OP_HI", get_double<&Pid::OP_HI>, set_double<&Pid::OP_HI>},
    {"_OP_LO", get_double<&Pid::OP_LO>, set_double<&Pid::OP_LO>},
    {"_et1", get_hist<H_et1>, set_hist<H_et1>},
    {"_et2", get_hist<H_et2>, set_hist<H_et2>},
    {"_OP1", get_hist<H_OP1>, set_hist<H_OP1>},
    {"_FF1", get_hist<H_FF1>, set_hist<H_FF1>},
    {"_dOPD1", get_hist<H_dOPD1>, set_hist<H_dOPD1>},
    {"_OP_save", get_rec<0>, set_rec<0>},
    {"_OPcal_save", get_rec<1>, set_rec<1>},
    {"_dOP_save", get_rec<2>, set_rec<2>},
    {"_dOP_P_save", get_rec<3>, set_rec<3>},
    {"_dOP_I_save", get_rec<4>, set_rec<4>},
    {"_dOP_D_save", get_rec<5>, set_rec<5>},
    {"_dFF_save", get_rec<6>, set_rec<6>},
};

// The garbage collector must see what the controller keeps as passed: the
// gain, the sample period and a step record written by the caller may refer
// back to it.
int pid_visit(PyPID &p, visitproc visit, void *arg) {
    Py_VISIT(p.TS_obj.ptr());
    Py_VISIT(p.KP_obj.ptr());
    for (const nb::object &o : p.rec_obj)
        Py_VISIT(o.ptr());
    return 0;
}

// Detaches the objects kept as passed. The gain and sample period read back
// as None, the record as its native values; the control law keeps running
// on the native numbers.
void pid_clear(PyPID &p) {
    nb::object ts = std::move(p.TS_obj), kp = std::move(p.KP_obj);
    p.TS_obj = nb::none();
    p.KP_obj = nb::none();
    p.rec_obj_mask = 0;
    nb::object previous[7];
    for (int i = 0; i < 7; ++i)
        previous[i] = std::move(p.rec_obj[i]);
}

} // namespace

NB_MODULE(qxPIDControl, m) {
    m.doc() = "Discrete non-interacting PID controller in incremental form.";

    auto cls = nb::class_<PyPID>(m, "PID", nb::type_slots(qxgc::slots<PyPID, pid_visit, pid_clear>),
        "Discrete PID controller (non-interacting, filtered derivative, incremental form).\n\n"
        "Construct with the sample period TS, tune with setPIDParam and\n"
        "setOPHighLowLimit, then call run(MODE, SP, PV, TV, FF) once per sample.\n"
        "MODE 1 is automatic; any other mode tracks TV.");
    g_pid_type = reinterpret_cast<PyTypeObject *>(cls.ptr());

    cls.def(nb::init<nb::handle>(), "TS"_a = 1.0)
        .def("setPIDParam",
             [](PyPID &p, nb::handle KP, double TI, double TD, double N) {
                 double kp;
                 nb::object kp_obj = checked_real(KP, kp);
                 p.core.setParams(kp, TI, TD, N);
                 p.KP_obj = std::move(kp_obj);
             },
             "KP"_a = 1.0, "TI"_a = 60.0, "TD"_a = 0.0, "N"_a = 10.0,
             "Set KP, TI, TD and N; TI and TD are floored at 0.0, N at 1e-6.")
        .def("getPIDParam",
             [](PyPID &p) {
                 return nb::make_tuple(p.KP_obj, p.core.TI, p.core.TD, p.core.N);
             },
             "Return (KP, TI, TD, N) as stored.")
        .def("setOPHighLowLimit",
             [](PyPID &p, double OP_HI, double OP_LO) {
                 if (!p.core.setLimits(OP_HI, OP_LO))
                     qxargs::py_print("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
             },
             "OP_HI"_a = 100.0, "OP_LO"_a = 0.0,
             "Set the output limits; limits in the wrong order are refused with a message.")
        .def("getOPHighLowLimit",
             [](PyPID &p) { return nb::make_tuple(p.core.OP_HI, p.core.OP_LO); },
             "Return (OP_HI, OP_LO).")
        .def("_resetPID", &reset_entry, "SP"_a, "PV"_a, "TV"_a, "FF"_a,
             "Initialise the history so the next automatic step continues from TV.")
        .def("run", &run_entry, "MODE"_a, "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0,
             "One sample: MODE 1 automatic, otherwise track TV. Returns OP.")
        .def("PID_Auto", &auto_entry, "SP"_a, "PV"_a, "FF"_a = 0.0,
             "One automatic step without the first-call reset. Returns OP.")
        .def("_setInnerSaveState",
             [](PyPID &p, nb::handle a, nb::handle b, nb::handle c, nb::handle d,
                nb::handle e, nb::handle f, nb::handle g) {
                 nb::handle v[7] = {a, b, c, d, e, f, g};
                 for (int i = 0; i < 7; ++i)
                     p.set_record_value(i, v[i]);
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

    cls.def("__getstate__", [](PyPID &p) {
        nb::dict state;
        for (const AttrDef &a : kAttrs) {
            nb::object v = a.get(p);
            if (v.is_valid())
                state[a.name] = v;
        }
        return state;
    });
    cls.def("__setstate__", [](PyPID &p, nb::dict state) {
        new (&p) PyPID(nb::float_(1.0));
        p.hist = 0;
        p.rec = 0;
        for (const AttrDef &a : kAttrs) {
            if (state.contains(a.name))
                a.set(p, state[a.name]);
        }
        // A record read back from floats is native again, not caller objects.
        for (int i = 0; i < 7; ++i)
            if ((p.rec_obj_mask & (1 << i)) && PyFloat_CheckExact(p.rec_obj[i].ptr())) {
                *p.rec_slot(i) = PyFloat_AS_DOUBLE(p.rec_obj[i].ptr());
                p.rec_obj_mask &= std::uint8_t(~(1 << i));
                nb::object native = std::move(p.rec_obj[i]);
            }
    });
    cls.def("__repr__", [](PyPID &p) {
        return nb::str("PID(TS={!r}, KP={!r}, TI={!r}, TD={!r}, N={!r}, OP_HI={!r}, OP_LO={!r})")
            .format(p.TS_obj, p.KP_obj, p.core.TI, p.core.TD, p.core.N, p.core.OP_HI, p.core.OP_LO);
    });
    qxpickle::enable_reduce(m.attr("PID"));
}

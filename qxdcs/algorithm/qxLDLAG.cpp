// Module qxLDLAG: first-order lead-lag filter with unit static gain,
// (alpha*tao*s + 1) / (tao*s + 1), whose parameters may change while it runs.
//
// The forms and the state rebuild after a parameter change are in
// qxdcs/lead_lag.hpp; the coefficient arrays, the live state and block runs
// are the shared filter object (bind/filter.hpp). SciPy's cont2discrete is
// called only when the parameters change.
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/filter.hpp"
#include "bind/kept.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/lead_lag.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kDescription =
    "\n"
    "    增益为1的一阶超前滞后滤波器, filter=(alpha*tao*s+1)/(tao*s+1)\n"
    "    当alpha=0时, filter = 1/(tao*s+1)\n"
    "    \n"
    "    alpha的意义是滤波器单位阶跃响应的起点\n"
    "    tao的意义是时间常数\n"
    "    滤波器的参数alpha, tao可以随时改变\n"
    "    ";

struct LeadLag {
    qxb::CallSlot<LeadLag> call_slot;  // direct calls (bind/fastcall.hpp)
    qxb::Kept alpha_obj, tao_obj, Ts_obj;  // as stored
    double alpha = 0.0, tao = 0.0;
    qxb::Kept u_obj, y_obj;        // operating point as given to the constructor
    qxdcs::LastSample last;       // last input and output
    qxb::FilterObject filter;      // _b, _a, _zi (None until it can be set)

    static constexpr auto kept_members() {
        return std::make_tuple(&LeadLag::alpha_obj, &LeadLag::tao_obj, &LeadLag::Ts_obj,
                               &LeadLag::u_obj, &LeadLag::y_obj, &LeadLag::filter);
    }

    static LeadLag make(double alpha, double tao, nb::handle Ts, nb::handle u_ini,
                        nb::handle y_ini) {
        qxb::exact_int(Ts, "Ts");
        LeadLag f;
        f.Ts_obj = qxb::Kept(Ts);
        f.set_alpha(nb::float_(alpha));
        f.set_tao(nb::float_(tao));
        f.set_operating_point(u_ini, y_ini, "u_ini", "y_ini");
        f.modify_param();
        return f;
    }

    void set_alpha(nb::handle v) {
        double d = qxb::to_double(v);
        alpha_obj.replace(v);
        alpha = d;
    }
    void set_tao(nb::handle v) {
        double d = qxb::to_double(v);
        tao_obj.replace(v);
        tao = d;
    }
    void set_operating_point(nb::handle u_ini, nb::handle y_ini, const char *u_name,
                             const char *y_name) {
        std::optional<double> u = qxb::real_or_none(u_ini, u_name);
        std::optional<double> y = qxb::real_or_none(y_ini, y_name);
        last = qxdcs::LastSample();
        last.u_known = u.has_value();
        last.y_known = y.has_value();
        last.u = u.value_or(0.0);
        last.y = y.value_or(0.0);
        u_obj = qxb::Kept(u_ini);
        y_obj = qxb::Kept(y_ini);
    }

    nb::object u_ini() const { return last.from_call ? nb::float_(last.u) : u_obj.get(); }
    nb::object y_ini() const { return last.from_call ? nb::float_(last.y) : y_obj.get(); }

    // Zero-order-hold coefficients for the current alpha and tao; changes
    // nothing. The parameters are held for the duration: their arithmetic
    // may run the caller's code.
    qxb::FilterCoefficients design() const {
        nb::object a_obj = alpha_obj.hold(), t_obj = tao_obj.hold(), ts = Ts_obj.hold();
        qxdcs::LeadLagForm form;
        try {
            form = qxdcs::lead_lag_form(alpha, tao);
        } catch (const std::domain_error &) {
            throw nb::value_error(
                nb::str("LDLAG needs alpha >= 0 and tao >= 0 (alpha={!r}, tao={!r})")
                    .format(a_obj, t_obj)
                    .c_str());
        }
        if (form == qxdcs::LeadLagForm::PassThrough)
            return qxb::FilterCoefficients::read(nb::make_tuple(1.0), nb::make_tuple(1.0));
        nb::object c2d = nb::module_::import_("scipy.signal").attr("cont2discrete");
        nb::object cont_den = nb::make_tuple(t_obj, 1.0);
        if (form == qxdcs::LeadLagForm::Lag) {
            nb::object res = c2d(nb::make_tuple(nb::make_tuple(1.0), cont_den), "dt"_a = ts);
            // The discrete numerator is [0, b1]: drop the leading zero so the
            // filter answers in the same sample as its input.
            nb::object num = res[0][0][nb::slice(nb::int_(1), nb::none(), nb::none())];
            return qxb::FilterCoefficients::read(num, res[1]);
        }
        nb::object lead = qxb::py_binop(PyNumber_Multiply, a_obj, t_obj);
        nb::object res = c2d(nb::make_tuple(nb::make_tuple(lead, 1.0), cont_den), "dt"_a = ts);
        return qxb::FilterCoefficients::read(res[0][0], res[1]);
    }

    // The state that continues from the last input and output.
    void rebuild_state(qxb::FilterObject &f) const {
        f.new_state([&](double *z) {
            qxdcs::state_after(f.b_data(), f.nb_coef(), f.a_data(), f.na_coef(), last.u,
                                last.y, z);
        });
    }

    // Recompute the coefficients, then the state from the last input and output.
    void modify_param() {
        qxb::FilterObject f = qxb::FilterObject::build(design());
        if (last.known())
            rebuild_state(f);
        filter = std::move(f);
    }

    // The steady state at u: the state left by a constant input u with output u.
    void start(double u) {
        filter.new_state([&](double *z) {
            qxdcs::state_after(filter.b_data(), filter.nb_coef(), filter.a_data(),
                                filter.na_coef(), u, u, z);
        });
    }

    double call(double u) {
        if (!filter.has_state())
            start(u);
        const double y = filter.step(u);
        last.record(u, y);
        return y;
    }

    nb::object multi_step(nb::handle u) {
        qxb::FloatArray x = filter.read_block(u, "u");
        const std::size_t n = x.size();
        if (n == 0)
            throw nb::index_error(filter.has_state()
                                      ? "index -1 is out of bounds for axis 0 with size 0"
                                      : "index 0 is out of bounds for axis 0 with size 0");
        if (!filter.has_state())
            start(x.data()[0]);
        qxb::FloatArray y = filter.run_block(x, 0.0, 0.0);
        last.record(x.data()[n - 1], y.data()[n - 1]);
        return y.object();
    }

    void set_state(nb::handle v) {
        if (v.is_none())
            filter.drop_state();
        else
            filter.set_state(v, "_zi must be None or hold %zd values");
    }

    nb::dict state() const {
        nb::dict s;
        s["_alpha"] = alpha_obj.get();
        s["_tao"] = tao_obj.get();
        s["_Ts"] = Ts_obj.get();
        s["_u_ini"] = u_ini();
        s["_y_ini"] = y_ini();
        s["_b"] = filter.b();
        s["_a"] = filter.a();
        s["_zi"] = filter.state_copy();
        return s;
    }

    // A restored filter obeys what a constructed one does: alpha and tao of
    // a valid form, an integer sample period, a valid filter.
    static LeadLag from_state(nb::handle s) {
        LeadLag f;
        f.set_alpha(qxb::state_item(s, "_alpha"));
        f.set_tao(qxb::state_item(s, "_tao"));
        qxb::exact_int(qxb::state_item(s, "_Ts"), "_Ts");
        f.Ts_obj = qxb::Kept(qxb::state_item(s, "_Ts"));
        try {
            qxdcs::lead_lag_form(f.alpha, f.tao);
        } catch (const std::domain_error &) {
            throw nb::value_error("LDLAG state needs _alpha >= 0 and _tao >= 0");
        }
        f.set_operating_point(qxb::state_item(s, "_u_ini"), qxb::state_item(s, "_y_ini"),
                              "_u_ini", "_y_ini");
        f.filter = qxb::FilterObject::build(
            qxb::FilterCoefficients::read(qxb::state_item(s, "_b"), qxb::state_item(s, "_a")));
        f.filter.require_numerator();
        f.set_state(qxb::state_item(s, "_zi"));
        return f;
    }
};

// --- positive_parameter_property -------------------------------------------

nb::object positive_parameter_property(nb::handle name, nb::handle expected_type) {
    nb::str nm = qxb::exact_str(name, "name");
    nb::str attr = nb::str("_{}").format(nm);
    nb::object etype = nb::borrow(expected_type);

    nb::object fget = nb::cpp_function(
        [attr](nb::handle self) { return nb::getattr(self, attr); }, nb::name("fget"));

    nb::object fset = nb::cpp_function(
        [nm, attr, etype](nb::handle self, nb::handle v) {
            int ok = PyObject_IsInstance(v.ptr(), etype.ptr());
            if (ok < 0)
                throw nb::python_error();
            if (!ok)
                throw nb::type_error(nb::str("{} must be a {}").format(nm, etype).c_str());
            nb::object zero = nb::int_(0);
            int neg = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
            if (neg < 0)
                throw nb::python_error();
            if (neg)
                throw nb::value_error("Expected a non-negative value.");
            nb::object old = nb::getattr(self, attr);
            int ne = PyObject_RichCompareBool(v.ptr(), old.ptr(), Py_NE);
            if (ne < 0)
                throw nb::python_error();
            if (!ne)
                return;
            nb::setattr(self, attr, v);
            try {
                self.attr("_modify_param")();
            } catch (...) {
                // A value the object cannot be rebuilt with is not kept.
                nb::setattr(self, attr, old);
                throw;
            }
        },
        nb::name("fset"), nb::arg("self"), nb::arg("value").none());

    nb::str doc = nb::str("{}: a non-negative {}; writing a new value calls _modify_param().")
                      .format(nm, etype);
    return nb::module_::import_("builtins").attr("property")(fget, fset, nb::none(), doc);
}

// --- filter_stp --------------------------------------------------------------

nb::object filter_stp(nb::handle N_, double tao, double alpha, double r1, double r2) {
    const long long N = qxb::exact_int(N_, "N");
    if (N < 0 && tao <= 0.0)
        throw nb::value_error("negative dimensions are not allowed");
    const std::size_t n = N > 0 ? std::size_t(N) : 0;
    std::vector<double> y(n, 1.0);
    if (!(tao <= 0.0) && n > 0) {
        // y = 1 - (1 - alpha)*exp(-(1/tao)*t), with NumPy's exp.
        const double c = -(1.0 / tao);
        std::vector<double> arg(n);
        for (std::size_t k = 0; k < n; ++k)
            arg[k] = c * double(k);
        qxb::FloatArray eb =
            qxb::FloatArray::read(qxb::numpy().attr("exp")(qxb::FloatArray::of(arg.data(), n).object()));
        const double lead = 1.0 - alpha;
        for (std::size_t k = 0; k < n; ++k)
            y[k] = 1.0 - lead * eb.data()[k];
    }
    const double span = r2 - r1;
    for (double &v : y)
        v = r1 + span * v;
    return qxb::FloatArray::of(y.data(), n).object();
}

} // namespace

NB_MODULE(qxLDLAG, m) {
    m.doc() = "First-order lead-lag filter with unit gain, (alpha*tao*s+1)/(tao*s+1).";

    auto cls = qxb::block_class<LeadLag>(m, "LDLAG", kDescription);
    cls.def("__init__",
            [](LeadLag *self, double alpha, double tao, nb::handle Ts, nb::handle u_ini,
               nb::handle y_ini) { new (self) LeadLag(LeadLag::make(alpha, tao, Ts, u_ini, y_ini)); },
            "alpha"_a = 0.0, "tao"_a = 5.0, "Ts"_a.none() = 1, "u_ini"_a.none() = nb::none(),
            "y_ini"_a.none() = nb::none())
        .def("__call__", &LeadLag::call, "u"_a, "Filter one input sample and return the output.")
        .def("multi_step", &LeadLag::multi_step, "u"_a.none(),
             "Filter a block of input samples (at least one); returns the array of outputs.")
        .def("_modify_param", &LeadLag::modify_param,
             "Recompute the coefficients, and the state from the last input and output.")
        .def_prop_rw("_alpha", [](LeadLag &f) { return f.alpha_obj.get(); }, &LeadLag::set_alpha,
                     nb::for_setter(nb::arg("value").none()),
                     "Lead factor as stored (set it through the property alpha).")
        .def_prop_rw("_tao", [](LeadLag &f) { return f.tao_obj.get(); }, &LeadLag::set_tao,
                     nb::for_setter(nb::arg("value").none()),
                     "Time constant as stored (set it through the property tao).")
        .def_prop_ro("_Ts", [](LeadLag &f) { return f.Ts_obj.get(); }, "Sample period (an integer).")
        .def_prop_ro("_u_ini", &LeadLag::u_ini,
                     "Last input (before the first call: the input operating point or None).")
        .def_prop_ro("_y_ini", &LeadLag::y_ini,
                     "Last output (before the first call: the output operating point or None).")
        .def_prop_ro("_b", [](LeadLag &f) { return f.filter.b(); }, "Discrete numerator (read-only array).")
        .def_prop_ro("_a", [](LeadLag &f) { return f.filter.a(); }, "Discrete denominator (read-only array).")
        .def_prop_rw("_zi", [](LeadLag &f) { return f.filter.state(); }, &LeadLag::set_state,
                     nb::for_setter(nb::arg("value").none()),
                     "Filter state (as scipy.signal.lfilter's zi), or None until it can be set.\n"
                     "The array is the live state: writing into it changes the filter.")
        .def("__repr__", [](LeadLag &f) {
            return nb::str("LDLAG(alpha={!r}, tao={!r}, Ts={!r}, u_ini={!r}, y_ini={!r})")
                .format(f.alpha_obj.get(), f.tao_obj.get(), f.Ts_obj.get(), f.u_ini(), f.y_ini());
        });
    qxb::def_state(cls, &LeadLag::state, &LeadLag::from_state);

    nb::object prop_type = nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)),
                                          nb::handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
    nb::setattr(cls, "alpha", positive_parameter_property(nb::str("alpha"), prop_type));
    nb::setattr(cls, "tao", positive_parameter_property(nb::str("tao"), prop_type));
    qxb::finish_block(cls, "run($self, /, u)\n--\n\nThe same as calling the object.");

    m.def("positive_parameter_property", &positive_parameter_property, "name"_a.none(),
          "expected_type"_a.none(),
          "A property for the attribute '_' + name that accepts only instances of\n"
          "expected_type and non-negative values; writing a value different from\n"
          "the stored one stores it and calls the object's _modify_param().");

    m.def("filter_stp", &filter_stp, "N"_a.none(), "tao"_a, "alpha"_a, "r1"_a = 0.0, "r2"_a = 1.0,
          "Unit-step response of (alpha*tao*s+1)/(tao*s+1) at t = 0, 1, ..., N-1,\n"
          "scaled from r1 to r2: r1 + (r2-r1)*(1 - (1-alpha)*exp(-t/tao)); all ones\n"
          "(r2) when tao <= 0.");

    m.def("main", []() { nb::module_::import_("qxdcs.algorithm._demos").attr("lead_lag")(); },
          "Draw the lead-lag demonstration figures (needs Matplotlib).");
}

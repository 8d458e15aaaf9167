// Module qxLDLAG: first-order lead-lag filter with unit static gain,
// (alpha*tao*s + 1) / (tao*s + 1), whose parameters may change while it runs.
//
// The filter works on absolute values and records its last input and output;
// a parameter change recomputes the zero-order-hold coefficients (SciPy's
// cont2discrete, called only then) and rebuilds the state from that record,
// so the output continues without a jump:
//     tao == 0            b = [1],        a = [1]          (pass-through)
//     alpha == 0, tao > 0 b = [b1],       a = [1, a1]      (responds in the same sample)
//     alpha > 0,  tao > 0 b = [alpha, b1], a = [1, a1]
// with a1 = -exp(-Ts/tao). Filtering and the state rebuild (lfiltic) run in
// qxcore (core/tdf2_filter.hpp).
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "qx_args.hpp"
#include "tdf2_filter.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

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

[[noreturn]] void no_attribute(const char *name) { qxargs::raise_no_attribute("LDLAG", name); }

nb::object checked(const nb::object &v, const char *name) {
    if (!v.is_valid())
        no_attribute(name);
    return v;
}

nb::object make_array(const double *v, std::size_t n) {
    nb::object arr = qxargs::new_float_array(Py_ssize_t(n));
    qxargs::FloatBuffer buf(arr, true);
    std::copy(v, v + n, buf.data());
    return arr;
}

struct LeadLag {
    qxfast::CallSlot<LeadLag> call_slot;  // direct calls (qx_fastcall.hpp)
    nb::object alpha_obj, tao_obj, Ts_obj;  // as stored
    double alpha = 0.0, tao = 0.0;
    nb::object u_obj, y_obj;       // operating point as given to the constructor
    double u_last = 0.0, y_last = 0.0;
    bool u_known = false, y_known = false;
    bool from_call = false;        // _u_ini/_y_ini are now the last input and output
    nb::object b, a;               // read-only coefficient arrays
    qxcore::Tdf2Filter kern;
    nb::object zi;                 // None, or the live state array
    qxargs::FloatBuffer zbuf;

    LeadLag() = default;

    LeadLag(double alpha_, double tao_, nb::handle Ts, nb::handle u_ini, nb::handle y_ini) {
        qxargs::as_int(Ts, "Ts");
        Ts_obj = nb::borrow(Ts);
        alpha = alpha_;
        alpha_obj = nb::float_(alpha_);
        tao = tao_;
        tao_obj = nb::float_(tao_);
        u_known = qxargs::real_or_none(u_ini, "u_ini", u_last);
        y_known = qxargs::real_or_none(y_ini, "y_ini", y_last);
        u_obj = nb::borrow(u_ini);
        y_obj = nb::borrow(y_ini);
        modify_param();
    }


    nb::object u_ini() const { return from_call ? nb::float_(u_last) : u_obj; }
    nb::object y_ini() const { return from_call ? nb::float_(y_last) : y_obj; }

    // Coefficients for the current alpha and tao; changes nothing.
    void design(nb::object &num, nb::object &den) const {
        if (tao == 0.0) {
            num = nb::make_tuple(1.0);
            den = nb::make_tuple(1.0);
            return;
        }
        nb::object lead;
        if (alpha == 0.0 && tao > 0.0) {
            lead = nb::none();
        } else if (alpha > 0.0 && tao > 0.0) {
            PyObject *p = PyNumber_Multiply(alpha_obj.ptr(), tao_obj.ptr());
            if (!p)
                throw nb::python_error();
            lead = nb::steal(p);
        } else {
            throw nb::value_error(
                nb::str("LDLAG needs alpha >= 0 and tao >= 0 (alpha={!r}, tao={!r})")
                    .format(alpha_obj, tao_obj)
                    .c_str());
        }
        nb::object c2d = nb::module_::import_("scipy.signal").attr("cont2discrete");
        nb::object cont_den = nb::make_tuple(tao_obj, 1.0);
        if (lead.is_none()) {
            nb::object res = c2d(nb::make_tuple(nb::make_tuple(1.0), cont_den), "dt"_a = Ts_obj);
            // The discrete numerator is [0, b1]: drop the leading zero so the
            // filter answers in the same sample as its input.
            num = res[0][0][nb::slice(nb::int_(1), nb::none(), nb::none())];
            den = res[1];
        } else {
            nb::object res = c2d(nb::make_tuple(nb::make_tuple(lead, 1.0), cont_den), "dt"_a = Ts_obj);
            num = res[0][0];
            den = res[1];
        }
    }

    // Recompute coefficients, then the state from the last input and output.
    void modify_param() {
        nb::object num, den;
        design(num, den);
        nb::object nb_ = qxargs::float_array_copy(num), na_ = qxargs::float_array_copy(den);
        qxargs::FloatBuffer bb(nb_, false), ab(na_, false);
        qxcore::Tdf2Filter k(bb.data(), std::size_t(bb.size()), ab.data(), std::size_t(ab.size()));
        nb::object z = nb::none();
        qxargs::FloatBuffer zb;
        if (u_known && y_known) {
            z = qxargs::new_float_array(Py_ssize_t(k.state_size()));
            zb = qxargs::FloatBuffer(z, true);
            qxcore::initial_state(bb.data(), bb.size(), ab.data(), ab.size(), &y_last, 1, &u_last,
                                  1, zb.data());
        }
        qxargs::set_read_only(nb_);
        qxargs::set_read_only(na_);
        b = std::move(nb_);
        a = std::move(na_);
        kern = std::move(k);
        zi = std::move(z);
        zbuf = std::move(zb);
    }

    // Steady state at u: the state left by a constant input u with output u.
    void start(double u) {
        nb::object z = qxargs::new_float_array(Py_ssize_t(kern.state_size()));
        qxargs::FloatBuffer zb(z, true);
        qxargs::FloatBuffer bb(b, false), ab(a, false);
        qxcore::initial_state(bb.data(), bb.size(), ab.data(), ab.size(), &u, 1, &u, 1, zb.data());
        zi = std::move(z);
        zbuf = std::move(zb);
    }

    double call(double u) {
        if (!zbuf.held())
            start(u);
        const double y = kern.step(u, zbuf.data());
        u_last = u;
        y_last = y;
        u_known = y_known = from_call = true;
        return y;
    }

    nb::object multi_step(nb::handle u) {
        qxargs::FloatBuffer xb;
        nb::object x = qxargs::input_block(u, zbuf, xb);
        if (xb.ndim() != 1)
            throw nb::value_error("u must be a one-dimensional sequence of numbers");
        const Py_ssize_t n = xb.size();
        if (n == 0)
            throw nb::index_error(zbuf.held() ? "index -1 is out of bounds for axis 0 with size 0"
                                              : "index 0 is out of bounds for axis 0 with size 0");
        if (!zbuf.held())
            start(xb.data()[0]);
        nb::object y = qxargs::new_float_array(n);
        qxargs::FloatBuffer yb(y, true);
        kern.run(xb.data(), yb.data(), std::size_t(n), zbuf.data());
        u_last = xb.data()[n - 1];
        y_last = yb.data()[n - 1];
        u_known = y_known = from_call = true;
        return y;
    }

    void set_state(nb::handle v) {
        if (v.is_none()) {
            zi = nb::none();
            zbuf.release();
            return;
        }
        nb::object src = qxargs::as_float_array(v);
        qxargs::FloatBuffer sb(src, false);
        const Py_ssize_t n = Py_ssize_t(kern.state_size());
        if (sb.ndim() != 1 || sb.size() != n) {
            PyErr_Format(PyExc_ValueError, "_zi must be None or hold %zd values", n);
            throw nb::python_error();
        }
        if (!zbuf.held()) {
            nb::object z = qxargs::new_float_array(n);
            zbuf = qxargs::FloatBuffer(z, true);
            zi = std::move(z);
        }
        std::memmove(zbuf.data(), sb.data(), std::size_t(n) * sizeof(double));
    }

    nb::dict state() const {
        nb::dict s;
        s["_alpha"] = alpha_obj;
        s["_tao"] = tao_obj;
        s["_Ts"] = Ts_obj;
        s["_u_ini"] = u_ini();
        s["_y_ini"] = y_ini();
        s["_b"] = b;
        s["_a"] = a;
        s["_zi"] = zi.is_none() ? nb::none() : qxargs::float_array_copy(zi);
        return s;
    }

    void restore(nb::dict s) {
        alpha_obj = s["_alpha"];
        alpha = qxargs::to_double(alpha_obj);
        tao_obj = s["_tao"];
        tao = qxargs::to_double(tao_obj);
        Ts_obj = s["_Ts"];
        u_obj = s["_u_ini"];
        y_obj = s["_y_ini"];
        u_known = qxargs::real_or_none(u_obj, "_u_ini", u_last);
        y_known = qxargs::real_or_none(y_obj, "_y_ini", y_last);
        nb::object nb_ = qxargs::float_array_copy(s["_b"]), na_ = qxargs::float_array_copy(s["_a"]);
        qxargs::FloatBuffer bb(nb_, false), ab(na_, false);
        kern = qxcore::Tdf2Filter(bb.data(), std::size_t(bb.size()), ab.data(), std::size_t(ab.size()));
        qxargs::set_read_only(nb_);
        qxargs::set_read_only(na_);
        b = std::move(nb_);
        a = std::move(na_);
        zi = nb::none();
        set_state(s["_zi"]);
    }
};

// The garbage collector must see every object the filter keeps: parameters
// and operating points kept as passed may refer back to it. The coefficient
// and state arrays are float arrays and refer to nothing.
int ldlag_visit(LeadLag &f, visitproc visit, void *arg) {
    for (const nb::object *o : {&f.alpha_obj, &f.tao_obj, &f.Ts_obj, &f.u_obj, &f.y_obj,
                                &f.b, &f.a, &f.zi})
        Py_VISIT(o->ptr());
    return 0;
}

// Detaches the objects kept as passed (they read back as None); the filter's
// numbers are held natively, so it still runs until a parameter changes.
void ldlag_clear(LeadLag &f) {
    nb::object previous[5] = {std::move(f.alpha_obj), std::move(f.tao_obj),
                              std::move(f.Ts_obj), std::move(f.u_obj), std::move(f.y_obj)};
    for (nb::object *o : {&f.alpha_obj, &f.tao_obj, &f.Ts_obj, &f.u_obj, &f.y_obj})
        *o = nb::none();
}


// --- positive_parameter_property -------------------------------------------

nb::object positive_parameter_property(nb::handle name, nb::handle expected_type) {
    nb::str nm = qxargs::as_str(name, "name");
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
    const long long N = qxargs::as_int(N_, "N");
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
        nb::object e = qxargs::numpy().attr("exp")(make_array(arg.data(), n));
        qxargs::FloatBuffer eb(e, false);
        const double lead = 1.0 - alpha;
        for (std::size_t k = 0; k < n; ++k)
            y[k] = 1.0 - lead * eb.data()[k];
    }
    const double span = r2 - r1;
    for (double &v : y)
        v = r1 + span * v;
    return make_array(y.data(), n);
}

// --- demonstration -----------------------------------------------------------

void demo(nb::handle module) {
    nb::object plt;
    try {
        plt = nb::module_::import_("matplotlib.pyplot");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        nb::raise_from(e, PyExc_ImportError,
                       "the lead-lag demonstration needs Matplotlib (pip install matplotlib)");
    }
    nb::handle np = qxargs::numpy();
    nb::handle LDLAG = module.attr("LDLAG");

    // Parameter pairs (alpha, tao) and the number of samples.
    const nb::object alphas[5] = {nb::int_(0), nb::float_(0.0), nb::float_(1.2), nb::float_(1.5),
                                  nb::float_(-2.0)};
    const nb::object taos[5] = {nb::int_(0), nb::int_(5), nb::int_(10), nb::int_(15), nb::int_(5)};
    const long long N = 50;
    auto label = [&](int i) {
        return nb::str("$\\alpha$ = {}, $\\lambda$ = {}").format(alphas[i], taos[i]);
    };
    auto finish = [&](const char *title) {
        plt.attr("title")(title);
        plt.attr("xlabel")("sample");
        plt.attr("grid")(true);
        plt.attr("legend")();
        plt.attr("show")();
    };

    // 1. Continuous step responses.
    nb::object t = np.attr("arange")(N);
    plt.attr("figure")();
    for (int i = 0; i < 5; ++i) {
        nb::object y = filter_stp(nb::int_(N), qxargs::to_double(taos[i]),
                                  qxargs::to_double(alphas[i]), 0.0, 1.0);
        plt.attr("plot")(t, y, "label"_a = label(i));
    }
    finish("filter_stp: unit-step responses of (alpha*tao*s+1)/(tao*s+1)");

    // 2. LDLAG on a unit step at sample 5 against the continuous curves. A
    // negative lead factor has no LDLAG (alpha must be >= 0): for the last
    // pair only the continuous curve is drawn.
    const long long k0 = 5;
    std::vector<double> step(N, 0.0);
    for (long long k = k0; k < N; ++k)
        step[k] = 1.0;
    plt.attr("figure")();
    plt.attr("plot")(t, make_array(step.data(), N), "label"_a = "unit step");
    for (int i = 0; i < 4; ++i) {
        nb::object fil = LDLAG(alphas[i], taos[i], 1);
        nb::object y = fil.attr("multi_step")(make_array(step.data(), N));
        plt.attr("plot")(t, y, "--", "label"_a = label(i));
    }
    {
        nb::object ref = filter_stp(nb::int_(N - k0), qxargs::to_double(taos[4]),
                                    qxargs::to_double(alphas[4]), 0.0, 1.0);
        nb::object tr = np.attr("arange")(k0, N);
        plt.attr("plot")(tr, ref, "-.", "label"_a = nb::str("{} (continuous)").format(label(4)));
    }
    finish("LDLAG: response to a unit step");

    // 3. LDLAG on a signal with steps, a ramp and a ripple.
    const long long M = 160;
    std::vector<double> sig(M);
    for (long long k = 0; k < M; ++k) {
        double base = k < 20 ? 0.0 : k < 60 ? 1.0 : k < 100 ? 1.0 - 0.02 * double(k - 60) : 0.5;
        sig[k] = base + 0.1 * std::sin(0.6 * double(k));
    }
    nb::object tm = np.attr("arange")(M);
    plt.attr("figure")();
    plt.attr("plot")(tm, make_array(sig.data(), M), "label"_a = "original signal");
    for (int i = 0; i < 4; ++i) {
        nb::object fil = LDLAG(alphas[i], taos[i], 1);
        std::vector<double> out(M);
        for (long long k = 0; k < M; ++k)
            out[k] = nb::cast<double>(fil(sig[k]));
        plt.attr("plot")(tm, make_array(out.data(), M), "--", "label"_a = label(i));
    }
    finish("LDLAG: filtering a signal");
}

} // namespace

NB_MODULE(qxLDLAG, m) {
    m.doc() = "First-order lead-lag filter with unit gain, (alpha*tao*s+1)/(tao*s+1).";

    auto cls = nb::class_<LeadLag>(m, "LDLAG", nb::type_slots(qxgc::slots<LeadLag, ldlag_visit, ldlag_clear>), kDescription);
    cls.def(nb::init<double, double, nb::handle, nb::handle, nb::handle>(), "alpha"_a = 0.0,
            "tao"_a = 5.0, "Ts"_a.none() = 1, "u_ini"_a.none() = nb::none(), "y_ini"_a.none() = nb::none())
        .def("__call__", &LeadLag::call, "u"_a, "Filter one input sample and return the output.")
        .def("multi_step", &LeadLag::multi_step, "u"_a.none(),
             "Filter a block of input samples (at least one); returns the array of outputs.")
        .def("_modify_param", &LeadLag::modify_param,
             "Recompute the coefficients, and the state from the last input and output.")
        .def_prop_rw(
            "_alpha", [](LeadLag &f) { return checked(f.alpha_obj, "_alpha"); },
            [](LeadLag &f, nb::handle v) {
                f.alpha = qxargs::to_double(v);
                f.alpha_obj = nb::borrow(v);
            },
            nb::for_setter(nb::arg("value").none()),
            "Lead factor as stored (set it through the property alpha).")
        .def_prop_rw(
            "_tao", [](LeadLag &f) { return checked(f.tao_obj, "_tao"); },
            [](LeadLag &f, nb::handle v) {
                f.tao = qxargs::to_double(v);
                f.tao_obj = nb::borrow(v);
            },
            nb::for_setter(nb::arg("value").none()),
            "Time constant as stored (set it through the property tao).")
        .def_prop_ro("_Ts", [](LeadLag &f) { return checked(f.Ts_obj, "_Ts"); },
                     "Sample period (an integer).")
        .def_prop_ro("_u_ini", [](LeadLag &f) { return checked(f.u_ini(), "_u_ini"); },
                     "Last input (before the first call: the input operating point or None).")
        .def_prop_ro("_y_ini", [](LeadLag &f) { return checked(f.y_ini(), "_y_ini"); },
                     "Last output (before the first call: the output operating point or None).")
        .def_prop_ro("_b", [](LeadLag &f) { return checked(f.b, "_b"); },
                     "Discrete numerator (read-only array).")
        .def_prop_ro("_a", [](LeadLag &f) { return checked(f.a, "_a"); },
                     "Discrete denominator (read-only array).")
        .def_prop_rw(
            "_zi", [](LeadLag &f) { return checked(f.zi, "_zi"); },
            [](LeadLag &f, nb::handle v) { f.set_state(v); }, nb::for_setter(nb::arg("value").none()),
            "Filter state (as scipy.signal.lfilter's zi), or None until it can be set.\n"
            "The array is the live state: writing into it changes the filter.")
        .def("__getstate__", &LeadLag::state)
        .def("__setstate__",
             [](LeadLag &f, nb::dict s) {
                 new (&f) LeadLag();
                 f.restore(s);
             })
        .def("__repr__", [](LeadLag &f) {
            return nb::str("LDLAG(alpha={!r}, tao={!r}, Ts={!r}, u_ini={!r}, y_ini={!r})")
                .format(f.alpha_obj, f.tao_obj, f.Ts_obj, f.u_ini(), f.y_ini());
        });

    nb::object prop_type = nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)),
                                          nb::handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
    nb::setattr(cls, "alpha", positive_parameter_property(nb::str("alpha"), prop_type));
    nb::setattr(cls, "tao", positive_parameter_property(nb::str("tao"), prop_type));

    m.def("positive_parameter_property", &positive_parameter_property, "name"_a.none(),
          "expected_type"_a.none(),
          "A property for the attribute '_' + name that accepts only instances of\n"
          "expected_type and non-negative values; writing a value different from\n"
          "the stored one stores it and calls the object's _modify_param().");

    m.def("filter_stp", &filter_stp, "N"_a.none(), "tao"_a, "alpha"_a, "r1"_a = 0.0, "r2"_a = 1.0,
          "Unit-step response of (alpha*tao*s+1)/(tao*s+1) at t = 0, 1, ..., N-1,\n"
          "scaled from r1 to r2: r1 + (r2-r1)*(1 - (1-alpha)*exp(-t/tao)); all ones\n"
          "(r2) when tao <= 0.");

    nb::handle self = m;
    m.def("main", [self]() { demo(self); },
          "Draw the lead-lag demonstration figures (needs Matplotlib).");

    qxfast::enable_fast_call<LeadLag, &LeadLag::call_slot>(m.attr("LDLAG"));
    qxfast::add_run<LeadLag>(m.attr("LDLAG"), "run($self, /, u)\n--\n\nThe same as calling the object.");
    qxpickle::enable_reduce(m.attr("LDLAG"));
}

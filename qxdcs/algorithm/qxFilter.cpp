// Module qxFilter: discrete (zFilter) and continuous (sFilter) transfer-function
// filters, run one sample at a time or on a block of samples.
//
// The filter itself is qxcore::Tdf2Filter (core/tdf2_filter.hpp); the Python
// objects are defined in qxFilter_types.hpp so that other modules can use them.
// SciPy is called once, when an sFilter is built (zero-order-hold
// discretisation with scipy.signal.cont2discrete).
#include <nanobind/nanobind.h>

#include <cstring>
#include <utility>

#include "qxFilter_types.hpp"
#include "qx_args.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxfilter::SFilter;
using qxfilter::ZFilter;

namespace {

nb::object checked(const nb::object &v, const char *cls, const char *name) {
    if (!v.is_valid())
        qxargs::raise_no_attribute(cls, name);
    return v;
}

nb::object array_list(const nb::object &arr) { return arr.attr("tolist")(); }

// zFilter state, for pickling: every attribute under its own name.
nb::dict zfilter_state(const ZFilter &f) {
    nb::dict s;
    s["_Bz"] = f.Bz;
    s["_Az"] = f.Az;
    s["_u_ini"] = f.u_obj;
    s["_y_ini"] = f.y_obj;
    s["_zi"] = qxargs::float_array_copy(f.zi);
    return s;
}

void zfilter_restore(ZFilter &f, nb::dict s) {
    new (&f) ZFilter();
    nb::object b = qxargs::float_array_copy(s["_Bz"]);
    nb::object a = qxargs::float_array_copy(s["_Az"]);
    qxargs::FloatBuffer bb(b, false), ab(a, false);
    f.u_set = qxargs::real_or_none(s["_u_ini"], "_u_ini", f.u0);
    f.y_set = qxargs::real_or_none(s["_y_ini"], "_y_ini", f.y0);
    f.u_obj = s["_u_ini"];
    f.y_obj = s["_y_ini"];
    f.set_coefficients(std::move(b), std::move(a), bb, ab);
    nb::object z = qxargs::float_array_copy(s["_zi"]);
    qxargs::FloatBuffer zb(z, false);
    if (zb.size() != f.zbuf.size())
        throw nb::value_error("_zi does not match the filter order");
    std::copy(zb.data(), zb.data() + zb.size(), f.zbuf.data());
}

void set_state_vector(ZFilter &f, nb::handle v) {
    nb::object z = qxargs::as_float_array(v);
    qxargs::FloatBuffer zb(z, false);
    if (zb.ndim() != 1 || zb.size() != f.zbuf.size()) {
        PyErr_Format(PyExc_ValueError, "_zi must hold %zd values", f.zbuf.size());
        throw nb::python_error();
    }
    std::memmove(f.zbuf.data(), zb.data(), std::size_t(zb.size()) * sizeof(double));
}

// The garbage collector must see every object a filter keeps: an operating
// point or sample period kept as passed may refer back to the filter. The
// coefficient and state arrays are float arrays and refer to nothing.
int zfilter_visit(ZFilter &f, visitproc visit, void *arg) {
    Py_VISIT(f.Bz.ptr());
    Py_VISIT(f.Az.ptr());
    Py_VISIT(f.u_obj.ptr());
    Py_VISIT(f.y_obj.ptr());
    Py_VISIT(f.zi.ptr());
    return 0;
}

// Detaches the operating-point objects (they read back as None); the
// operating point itself is held natively and the filter still runs.
void zfilter_clear(ZFilter &f) {
    nb::object u = std::move(f.u_obj), y = std::move(f.y_obj);
    f.u_obj = nb::none();
    f.y_obj = nb::none();
}

int sfilter_visit(SFilter &f, visitproc visit, void *arg) {
    Py_VISIT(f.Bs.ptr());
    Py_VISIT(f.As.ptr());
    Py_VISIT(f.Ts.ptr());
    Py_VISIT(f.zf_obj.ptr());
    return 0;
}

// Detaches the sample period. The inner zFilter stays, so the filter stays
// callable; a cycle through it is broken by the zFilter's own clearing.
void sfilter_clear(SFilter &f) {
    nb::object ts = std::move(f.Ts);
    f.Ts = nb::none();
}

} // namespace

NB_MODULE(qxFilter, m) {
    m.doc() = "Discrete and continuous transfer-function filters working around an operating point.";

    // --- zFilter -------------------------------------------------------------
    auto z = nb::class_<ZFilter>(m, "zFilter", nb::type_slots(qxgc::slots<ZFilter, zfilter_visit, zfilter_clear>),
        "Discrete transfer-function filter Bz(z^-1)/Az(z^-1).\n\n"
        "Works in deviations around the operating point (u_ini, y_ini): the\n"
        "output is y_ini + H(z)*(u - u_ini) from a zero state, so an input held\n"
        "at u_ini keeps the output at y_ini. An operating point left as None is\n"
        "taken from the first call (u_ini from its input, y_ini from its y_ini\n"
        "argument). Results agree with scipy.signal.lfilter to the last bit.");

    z.def(nb::init<nb::handle, nb::handle, nb::handle, nb::handle>(),
          nb::arg("Bz").none().sig("[0, 0.1]") = nb::make_tuple(0, 0.1),
          nb::arg("Az").none().sig("[1, -0.9]") = nb::make_tuple(1, -0.9),
          "u_ini"_a.none() = nb::none(), "y_ini"_a.none() = nb::none())
        .def("__call__", &ZFilter::call, "Ut"_a, "y_ini"_a = 0.0,
             "Filter one input sample and return the output.")
        .def("run_multistep", &ZFilter::run_multistep, "U_arr"_a.none(), "y_ini"_a = 0.0,
             "Filter a block of input samples; returns the array of outputs.")
        .def_prop_ro("_Bz", [](ZFilter &f) { return checked(f.Bz, "zFilter", "_Bz"); },
                     "Numerator coefficients b0, b1, ... (read-only array).")
        .def_prop_ro("_Az", [](ZFilter &f) { return checked(f.Az, "zFilter", "_Az"); },
                     "Denominator coefficients a0, a1, ... (read-only array).")
        .def_prop_ro("_u_ini", [](ZFilter &f) { return checked(f.u_obj, "zFilter", "_u_ini"); },
                     "Input operating point (None until the first call supplies it).")
        .def_prop_ro("_y_ini", [](ZFilter &f) { return checked(f.y_obj, "zFilter", "_y_ini"); },
                     "Output operating point (None until the first call supplies it).")
        .def_prop_rw("_zi", [](ZFilter &f) { return checked(f.zi, "zFilter", "_zi"); },
                     set_state_vector, nb::for_setter(nb::arg("value").none()),
                     "Filter state, as scipy.signal.lfilter's zi. The array is the live state:\n"
                     "it changes as the filter runs, and writing into it changes the filter.")
        .def("__getstate__", [](ZFilter &f) { return zfilter_state(f); })
        .def("__setstate__", zfilter_restore)
        .def("__repr__", [](ZFilter &f) {
            return nb::str("zFilter(Bz={!r}, Az={!r}, u_ini={!r}, y_ini={!r})")
                .format(array_list(f.Bz), array_list(f.Az), f.u_obj, f.y_obj);
        });

    // --- sFilter -------------------------------------------------------------
    auto s = nb::class_<SFilter>(m, "sFilter", nb::type_slots(qxgc::slots<SFilter, sfilter_visit, sfilter_clear>),
        "Continuous transfer-function filter Bs(s)/As(s), discretised once with a\n"
        "zero-order hold at the sample period Ts and run by an internal zFilter\n"
        "(_zfilter), which holds the operating point and the state.");

    s.def("__init__",
          [](SFilter *self, nb::handle Bs, nb::handle As, nb::handle Ts, nb::handle u_ini,
             nb::handle y_ini) {
              nb::object bs = qxargs::float_array_copy(Bs);
              nb::object as = qxargs::float_array_copy(As);
              nb::object res = nb::module_::import_("scipy.signal")
                                   .attr("cont2discrete")(nb::make_tuple(bs, as), Ts);
              nb::object zf = nb::type<ZFilter>()(res[0][0], res[1], u_ini, y_ini);
              qxargs::set_read_only(bs);
              qxargs::set_read_only(as);
              SFilter *f = new (self) SFilter();
              f->Bs = std::move(bs);
              f->As = std::move(as);
              f->Ts = nb::borrow(Ts);
              f->zf = nb::inst_ptr<ZFilter>(zf);
              f->zf_obj = std::move(zf);
          },
          nb::arg("Bs").none().sig("[1]") = nb::make_tuple(1),
          nb::arg("As").none().sig("[5, 1]") = nb::make_tuple(5, 1), "Ts"_a.none() = 1,
          "u_ini"_a.none() = nb::none(), "y_ini"_a.none() = nb::none())
        .def("__call__", &SFilter::call, "Ut"_a, "y_ini"_a = 0.0,
             "Filter one input sample and return the output.")
        .def("run_multistep", &SFilter::run_multistep, "U_arr"_a.none(), "y_ini"_a = 0.0,
             "Filter a block of input samples (a list); returns the array of outputs.")
        .def_prop_ro("_Bs", [](SFilter &f) { return checked(f.Bs, "sFilter", "_Bs"); },
                     "Continuous numerator, highest power of s first (read-only array).")
        .def_prop_ro("_As", [](SFilter &f) { return checked(f.As, "sFilter", "_As"); },
                     "Continuous denominator, highest power of s first (read-only array).")
        .def_prop_ro("_Ts", [](SFilter &f) { return checked(f.Ts, "sFilter", "_Ts"); },
                     "Sample period, as given.")
        .def_prop_ro("_zfilter", [](SFilter &f) { return checked(f.zf_obj, "sFilter", "_zfilter"); },
                     "The zFilter holding the discrete coefficients, operating point and state.")
        .def("__getstate__",
             [](SFilter &f) {
                 nb::dict st;
                 st["_Bs"] = f.Bs;
                 st["_As"] = f.As;
                 st["_Ts"] = f.Ts;
                 st["_zfilter"] = f.zf_obj;
                 return st;
             })
        .def("__setstate__",
             [](SFilter &f, nb::dict st) {
                 nb::object zf = st["_zfilter"];
                 if (!nb::isinstance<ZFilter>(zf))
                     throw nb::type_error("_zfilter must be a zFilter");
                 nb::object bs = qxargs::float_array_copy(st["_Bs"]);
                 nb::object as = qxargs::float_array_copy(st["_As"]);
                 qxargs::set_read_only(bs);
                 qxargs::set_read_only(as);
                 new (&f) SFilter();
                 f.Bs = std::move(bs);
                 f.As = std::move(as);
                 f.Ts = st["_Ts"];
                 f.zf = nb::inst_ptr<ZFilter>(zf);
                 f.zf_obj = std::move(zf);
             })
        .def("__repr__", [](SFilter &f) {
            return nb::str("sFilter(Bs={!r}, As={!r}, Ts={!r}, u_ini={!r}, y_ini={!r})")
                .format(array_list(f.Bs), array_list(f.As), f.Ts, f.zf->u_obj, f.zf->y_obj);
        });

    qxfast::enable_fast_call<ZFilter, &ZFilter::call_slot>(m.attr("zFilter"));
    qxfast::add_run<ZFilter>(m.attr("zFilter"), "run($self, /, Ut, y_ini=0.0)\n--\n\nThe same as calling the filter.");

    qxfast::enable_fast_call<SFilter, &SFilter::call_slot>(m.attr("sFilter"));
    qxfast::add_run<SFilter>(m.attr("sFilter"), "run($self, /, Ut, y_ini=0.0)\n--\n\nThe same as calling the filter.");
    qxpickle::enable_reduce(m.attr("zFilter"));
    qxpickle::enable_reduce(m.attr("sFilter"));
}

// Module qxFilter: discrete (zFilter) and continuous (sFilter) transfer-function
// filters, run one sample at a time or on a block of samples.
//
// The types are in qxFilter.hpp, so that other modules can run the filters
// natively. SciPy is called once, when an sFilter is built (zero-order-hold
// discretisation with scipy.signal.cont2discrete).
#include <nanobind/nanobind.h>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "qxFilter.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxfilter::SFilter;
using qxfilter::ZFilter;

namespace {

nb::object as_list(const nb::object &arr) { return arr.attr("tolist")(); }

// --- zFilter state: every attribute under its own name ---------------------------------------

nb::dict zfilter_state(const ZFilter &f) {
    nb::dict s;
    s["_Bz"] = f.filter.b();
    s["_Az"] = f.filter.a();
    s["_u_ini"] = f.u_obj.get();
    s["_y_ini"] = f.y_obj.get();
    s["_zi"] = f.filter.state_copy();
    return s;
}

ZFilter zfilter_from_state(nb::handle s) {
    ZFilter f = ZFilter::make(qxb::state_item(s, "_Bz"), qxb::state_item(s, "_Az"),
                              qxb::state_item(s, "_u_ini"), qxb::state_item(s, "_y_ini"),
                              "_u_ini", "_y_ini");
    f.filter.set_state(qxb::state_item(s, "_zi"), "_zi does not match the filter order (%zd values)");
    return f;
}

// --- sFilter ------------------------------------------------------------------------------------

// An sFilter of its continuous coefficients (kept read-only), sample period
// and inner zFilter.
SFilter sfilter_of_parts(const qxb::FloatArray &bs, const qxb::FloatArray &as, nb::handle Ts,
                         nb::object zf) {
    bs.set_read_only();
    as.set_read_only();
    SFilter f;
    f.Bs = bs.object();
    f.As = as.object();
    f.Ts = qxb::Kept(Ts);
    f.zf_obj = std::move(zf);
    return f;
}

SFilter make_sfilter(nb::handle Bs, nb::handle As, nb::handle Ts, nb::handle u_ini,
                     nb::handle y_ini) {
    qxb::FloatArray bs = qxb::FloatArray::copy_of(Bs), as = qxb::FloatArray::copy_of(As);
    nb::object res = nb::module_::import_("scipy.signal")
                         .attr("cont2discrete")(nb::make_tuple(bs.object(), as.object()), Ts);
    nb::object zf = nb::type<ZFilter>()(res[0][0], res[1], u_ini, y_ini);
    return sfilter_of_parts(bs, as, Ts, std::move(zf));
}

nb::dict sfilter_state(const SFilter &f) {
    nb::dict st;
    st["_Bs"] = f.Bs;
    st["_As"] = f.As;
    st["_Ts"] = f.Ts.get();
    st["_zfilter"] = f.zf_obj;
    return st;
}

SFilter sfilter_from_state(nb::handle st) {
    nb::object zf = qxb::state_item(st, "_zfilter");
    if (!nb::isinstance<ZFilter>(zf))
        throw nb::type_error("_zfilter must be a zFilter");
    qxb::FloatArray bs = qxb::FloatArray::copy_of(qxb::state_item(st, "_Bs"));
    qxb::FloatArray as = qxb::FloatArray::copy_of(qxb::state_item(st, "_As"));
    return sfilter_of_parts(bs, as, qxb::state_item(st, "_Ts"), std::move(zf));
}

} // namespace

NB_MODULE(qxFilter, m) {
    m.doc() = "Discrete and continuous transfer-function filters working around an operating point.";

    // --- zFilter -------------------------------------------------------------
    auto z = qxb::block_class<ZFilter>(m, "zFilter",
        "Discrete transfer-function filter Bz(z^-1)/Az(z^-1).\n\n"
        "Works in deviations around the operating point (u_ini, y_ini): the\n"
        "output is y_ini + H(z)*(u - u_ini) from a zero state, so an input held\n"
        "at u_ini keeps the output at y_ini. An operating point left as None is\n"
        "taken from the first call (u_ini from its input, y_ini from its y_ini\n"
        "argument). Results agree with scipy.signal.lfilter to the last bit.");

    z.def("__init__",
          [](ZFilter *self, nb::handle Bz, nb::handle Az, nb::handle u_ini, nb::handle y_ini) {
              new (self) ZFilter(ZFilter::make(Bz, Az, u_ini, y_ini));
          },
          nb::arg("Bz").none().sig("[0, 0.1]") = nb::make_tuple(0, 0.1),
          nb::arg("Az").none().sig("[1, -0.9]") = nb::make_tuple(1, -0.9),
          "u_ini"_a.none() = nb::none(), "y_ini"_a.none() = nb::none())
        .def("__call__", &ZFilter::call, "Ut"_a, "y_ini"_a = 0.0,
             "Filter one input sample and return the output.")
        .def("run_multistep", &ZFilter::run_multistep, "U_arr"_a.none(), "y_ini"_a = 0.0,
             "Filter a block of input samples; returns the array of outputs.")
        .def_prop_ro("_Bz", [](ZFilter &f) { return f.filter.b(); },
                     "Numerator coefficients b0, b1, ... (read-only array).")
        .def_prop_ro("_Az", [](ZFilter &f) { return f.filter.a(); },
                     "Denominator coefficients a0, a1, ... (read-only array).")
        .def_prop_ro("_u_ini", [](ZFilter &f) { return f.u_obj.get(); },
                     "Input operating point (None until the first call supplies it).")
        .def_prop_ro("_y_ini", [](ZFilter &f) { return f.y_obj.get(); },
                     "Output operating point (None until the first call supplies it).")
        .def_prop_rw("_zi", [](ZFilter &f) { return f.filter.state(); },
                     [](ZFilter &f, nb::handle v) { f.filter.set_state(v, "_zi must hold %zd values"); },
                     nb::for_setter(nb::arg("value").none()),
                     "Filter state, as scipy.signal.lfilter's zi. The array is the live state:\n"
                     "it changes as the filter runs, and writing into it changes the filter.")
        .def("__repr__", [](ZFilter &f) {
            return nb::str("zFilter(Bz={!r}, Az={!r}, u_ini={!r}, y_ini={!r})")
                .format(as_list(f.filter.b()), as_list(f.filter.a()), f.u_obj.get(), f.y_obj.get());
        });
    qxb::def_state(z, &zfilter_state, &zfilter_from_state);
    qxb::finish_block(z, "run($self, /, Ut, y_ini=0.0)\n--\n\nThe same as calling the filter.");

    // --- sFilter -------------------------------------------------------------
    auto s = qxb::block_class<SFilter>(m, "sFilter",
        "Continuous transfer-function filter Bs(s)/As(s), discretised once with a\n"
        "zero-order hold at the sample period Ts and run by an internal zFilter\n"
        "(_zfilter), which holds the operating point and the state.");

    s.def("__init__",
          [](SFilter *self, nb::handle Bs, nb::handle As, nb::handle Ts, nb::handle u_ini,
             nb::handle y_ini) { new (self) SFilter(make_sfilter(Bs, As, Ts, u_ini, y_ini)); },
          nb::arg("Bs").none().sig("[1]") = nb::make_tuple(1),
          nb::arg("As").none().sig("[5, 1]") = nb::make_tuple(5, 1), "Ts"_a.none() = 1,
          "u_ini"_a.none() = nb::none(), "y_ini"_a.none() = nb::none())
        .def("__call__", &SFilter::call, "Ut"_a, "y_ini"_a = 0.0,
             "Filter one input sample and return the output.")
        .def("run_multistep", &SFilter::run_multistep, "U_arr"_a.none(), "y_ini"_a = 0.0,
             "Filter a block of input samples (a list); returns the array of outputs.")
        .def_prop_ro("_Bs", [](SFilter &f) { return f.Bs; },
                     "Continuous numerator, highest power of s first (read-only array).")
        .def_prop_ro("_As", [](SFilter &f) { return f.As; },
                     "Continuous denominator, highest power of s first (read-only array).")
        .def_prop_ro("_Ts", [](SFilter &f) { return f.Ts.get(); }, "Sample period, as given.")
        .def_prop_ro("_zfilter", [](SFilter &f) { return f.zf_obj; },
                     "The zFilter holding the discrete coefficients, operating point and state.")
        .def("__repr__", [](SFilter &f) {
            const ZFilter &zf = f.zf();
            return nb::str("sFilter(Bs={!r}, As={!r}, Ts={!r}, u_ini={!r}, y_ini={!r})")
                .format(as_list(f.Bs), as_list(f.As), f.Ts.get(), zf.u_obj.get(), zf.y_obj.get());
        });
    qxb::def_state(s, &sfilter_state, &sfilter_from_state);
    qxb::finish_block(s, "run($self, /, Ut, y_ini=0.0)\n--\n\nThe same as calling the filter.");
}

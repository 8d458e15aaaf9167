// The C++ types behind qxFilter.zFilter and qxFilter.sFilter.
//
// qxFilter binds these types; no other module binds them again. A module
// that works with the filters (the soft sensor) imports qxdcs.algorithm.qxFilter
// at run time, builds filters by calling its classes, and may then run one
// natively: sfilter_of(obj) gives the native object of an sFilter (or a
// subclass instance), whose call() is plain C++.
//
// A zFilter works in deviations around its operating point (u_ini, y_ini),
// qxdcs/operating_point.hpp:
//     y(k) = y_ini + H(z) * (u(k) - u_ini)
// with H(z) = Bz(z^-1) / Az(z^-1) from an all-zero history (bind/filter.hpp).
// An operating point left unset (None) is taken from the first call: u_ini
// from its input, y_ini from its y_ini argument.
#pragma once

#include <nanobind/nanobind.h>

#include <tuple>
#include <utility>

#include "bind/args.hpp"
#include "bind/fastcall.hpp"
#include "bind/filter.hpp"
#include "bind/kept.hpp"
#include "qxdcs/operating_point.hpp"

namespace qxfilter {

namespace nb = nanobind;

struct ZFilter {
    qxb::CallSlot<ZFilter> call_slot;  // direct calls (bind/fastcall.hpp)
    qxb::FilterObject filter;          // _Bz, _Az, _zi
    qxdcs::OperatingPoint op;
    qxb::Kept u_obj, y_obj;            // _u_ini, _y_ini as stored (None while unset)

    static constexpr auto kept_members() {
        return std::make_tuple(&ZFilter::filter, &ZFilter::u_obj, &ZFilter::y_obj);
    }

    // `names` are the parameter names in error messages.
    static ZFilter make(nb::handle Bz, nb::handle Az, nb::handle u_ini, nb::handle y_ini,
                        const char *u_name = "u_ini", const char *y_name = "y_ini") {
        qxb::FilterCoefficients c = qxb::FilterCoefficients::read(Bz, Az);
        ZFilter f;
        f.op.u0 = qxb::real_or_none(u_ini, u_name);
        f.op.y0 = qxb::real_or_none(y_ini, y_name);
        f.filter = qxb::FilterObject::build(std::move(c));
        f.filter.zero_state();
        f.u_obj = qxb::Kept(u_ini);
        f.y_obj = qxb::Kept(y_ini);
        return f;
    }

    // The first call fills what is unset.
    void fill_operating_point(double u_first, double y_ini) {
        qxb::ReleaseLast later;
        if (!op.u0)
            u_obj.replace(nb::float_(u_first), later);
        if (!op.y0)
            y_obj.replace(nb::float_(y_ini), later);
        op.fill(u_first, y_ini);
    }

    // One sample.
    double call(double Ut, double y_ini) {
        filter.require_numerator();
        if (!op.complete())
            fill_operating_point(Ut, y_ini);
        return filter.step(Ut - *op.u0) + *op.y0;
    }

    // A block of samples (any sequence of numbers); returns a new array.
    nb::object run_multistep(nb::handle U_arr, double y_ini) {
        qxb::FloatArray x = filter.read_block(U_arr, "U_arr");
        filter.require_numerator();
        const std::size_t n = x.size();
        if (!op.complete()) {
            if (!op.u0 && n == 0)
                throw nb::index_error("index 0 is out of bounds for axis 0 with size 0");
            fill_operating_point(n > 0 ? x.data()[0] : 0.0, y_ini);
        }
        return filter.run_block(x, *op.u0, *op.y0).object();
    }
};

struct SFilter {
    qxb::CallSlot<SFilter> call_slot;  // direct calls (bind/fastcall.hpp)
    nb::object Bs, As;                 // read-only arrays, as stored at construction
    qxb::Kept Ts;                      // as passed
    nb::object zf_obj;                 // the zFilter doing the work (_zfilter)

    static constexpr auto kept_members() {
        return std::make_tuple(&SFilter::Bs, &SFilter::As, &SFilter::Ts, &SFilter::zf_obj);
    }

    // The inner zFilter's native object. A state being unpickled may hold a
    // zFilter whose own state is restored only later (an object it keeps
    // refers back to this filter): it is looked up when it is used.
    ZFilter &zf() const {
        if (NB_UNLIKELY(!nb::inst_ready(zf_obj)))
            throw nb::type_error("sFilter: the inner zFilter (_zfilter) is not constructed");
        return *nb::inst_ptr<ZFilter>(zf_obj);
    }

    double call(double Ut, double y_ini) { return zf().call(Ut, y_ini); }

    nb::object run_multistep(nb::handle U_arr, double y_ini) {
        qxb::exact_list(U_arr, "U_arr");
        return zf().run_multistep(U_arr, y_ini);
    }
};

// The native object of an sFilter (or of an instance of a subclass), or
// TypeError.
inline SFilter &sfilter_of(nb::handle obj) {
    if (!nb::isinstance<SFilter>(obj) || !nb::inst_ready(obj))
        throw nb::type_error("expected a constructed sFilter");
    return *nb::inst_ptr<SFilter>(obj);
}

} // namespace qxfilter

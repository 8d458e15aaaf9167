// No-op calls bound exactly like the qxdcs blocks: the cost of crossing from
// Python into native code and back, with nothing done on the other side.
#include <nanobind/nanobind.h>

#include "bind/fastcall.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {
// Callable blocks are called through the same direct-call path as qxdcs's.
struct Noop {
    qxb::CallSlot<Noop> call_slot;
    double last = 0.0;
};
} // namespace

NB_MODULE(qxbench_floor, m) {
    m.def("noop", []() {}, "Takes nothing, does nothing, returns None.");
    m.def("noop1", [](double x) { return x; }, "x"_a, "Returns its float argument.");

    nb::class_<Noop>(m, "Noop")
        .def(nb::init<>())
        .def("__call__", [](Noop &, double u) { return u; }, "u"_a)
        .def("call", [](Noop &) {})
        .def("run", [](Noop &, double MODE, double, double, double, double) { return MODE; },
             "MODE"_a, "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0);
    qxb::enable_fast_call<Noop, &Noop::call_slot>(m.attr("Noop"));
}

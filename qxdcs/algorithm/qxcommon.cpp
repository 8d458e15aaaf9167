// Module qxcommon: the shared helpers (discretisation, history shift,
// dictionary pairs, curve strings, local time) and qxCommonWatchDog.
//
// Unlike `utilities`, this module loads NumPy, scipy.signal and time when it
// is imported, and keeps them as its attributes `np`, `signal` and `time`.
#include <nanobind/nanobind.h>

#include "bind/args.hpp"
#include "bind/helpers.hpp"
#include "bind/numpy.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(qxcommon, m) {
    m.doc() = "Shared numerical helpers of qxdcs.algorithm (loads NumPy and SciPy on import).";
    m.attr("np") = qxb::numpy();
    m.attr("signal") = nb::module_::import_("scipy.signal");
    m.attr("time") = nb::module_::import_("time");

    qxb::helpers::bind_shared_helpers(m);

    m.def("qxCommonWatchDog",
          [](nb::handle s) {
              nb::str text = qxb::exact_str(s, "s");
              return qxb::steal_or_throw(PyUnicode_Concat(text.ptr(), nb::str("5").ptr()));
          },
          nb::sig("def qxCommonWatchDog(s: str = 'qxdcs') -> str"), "s"_a.none() = nb::str("qxdcs"),
          "Return s followed by '5'.");
}

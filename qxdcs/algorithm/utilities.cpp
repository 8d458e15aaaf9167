// Module utilities: the shared helpers (history shift, discretisation,
// dictionary pairs, curve strings, local time), plus the project-root search
// and the optional-package probe.
//
// Importing this module loads nothing: every function imports the Python
// libraries it needs when it runs, so that `utilities` can be used where NumPy
// and SciPy are not wanted at import time.
#include <nanobind/nanobind.h>

#include "qx_args.hpp"
#include "qx_helpers.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(utilities, m) {
    m.doc() = "Shared helpers of qxdcs.algorithm; loads NumPy and SciPy only when a function needs them.";
    qxhelpers::bind_shared_helpers(m);
}

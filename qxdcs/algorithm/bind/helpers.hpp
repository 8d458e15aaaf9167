// Helpers shared by the modules `qxcommon` and `utilities`.
//
// Both modules export the same helper functions with the same parameters,
// defaults and results: dataStore, c2d, current_time_str, dict2pairs,
// pair2dict and str2xpyp. bind/helpers.cpp holds the one implementation and
// the one set of bindings, compiled into each of the two modules. Every
// function loads the Python libraries it needs when it runs, so that
// `utilities` can be imported without NumPy or SciPy.
#pragma once

#include <nanobind/nanobind.h>

namespace qxb {
namespace helpers {

namespace nb = nanobind;

// Define the shared helpers as functions of module `m`.
void bind_shared_helpers(nb::module_ &m);

} // namespace helpers
} // namespace qxb

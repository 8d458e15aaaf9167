// Helpers shared by the modules `qxcommon` and `utilities`.
//
// Both modules export the same helper functions with the same parameters,
// defaults and results; this unit holds the one implementation and the one
// set of bindings, compiled into each of the two modules. Every function loads
// the Python libraries it needs when it runs, so that `utilities` can be
// imported without NumPy or SciPy.
//
// The functions are plain C++ entry points as well, so that another binding
// unit can call them without going through Python attribute lookups.
#pragma once

#include <nanobind/nanobind.h>

namespace qxhelpers {

namespace nb = nanobind;

// Push `xt` into the front of the history `xArray`, in place: every element
// moves one index toward the end (the last one is lost), then `xt` is written
// at index 0, converted to the element type where the container is typed.
// The effect is that of
//     xArray[1:] = xArray[0:-1]
//     xArray[0] = xt
// with the right-hand slice taken whole before the assignment. A container
// without slice assignment (a tuple) raises TypeError before anything
// changes; an empty one raises IndexError when index 0 is written.
void dataStore(nb::handle xArray, nb::handle xt);

// Define the shared helpers as functions of module `m`.
void bind_shared_helpers(nb::module_ &m);

} // namespace qxhelpers

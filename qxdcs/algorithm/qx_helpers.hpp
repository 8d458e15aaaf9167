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

// Discrete transfer function (Gd_num, Gd_den) of the continuous one
// Gs_num(s) / Gs_den(s) * exp(-Gs_delay * s), sampled with period Ts by
// scipy.signal.cont2discrete with `method` (the Python defaults are Ts = 1 and
// method = "zoh"):
//   1. numerator and denominator become float arrays (copies);
//   2. leading zeros of the numerator are dropped (an all-zero or empty
//      numerator raises IndexError);
//   3. cont2discrete((num, den), dt=Ts, method=method, alpha=None);
//   4. d = int(round(Gs_delay / Ts)), ties to even;
//   5. Gd_num = hstack((zeros(d), numerator row 0)): d samples of pure delay
//      (a negative d raises NumPy's ValueError).
// Gd_den is the denominator as cont2discrete returns it. Errors of NumPy,
// SciPy and the arithmetic reach the caller unchanged; nothing passed in is
// modified.
nb::tuple c2d(nb::handle Gs_num, nb::handle Gs_den, nb::handle Gs_delay, nb::handle Ts,
              nb::handle method);

// The local wall-clock time as "%Y-%m-%d %H:%M:%S" (Python's time module).
nb::object current_time_str();

// Write `value` into the nested dictionary `d` at the dotted key path of
// pair = (path, value), creating missing levels as empty dictionaries.
void pair2dict(nb::handle pair, nb::handle d);

// Points "x,y#x,y#..." as (xp, yp), two lists of floats sorted by x with
// NumPy's argsort.
nb::tuple str2xpyp(nb::handle s);

// Define the shared helpers as functions of module `m`.
void bind_shared_helpers(nb::module_ &m);

} // namespace qxhelpers

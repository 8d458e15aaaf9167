// Model dictionaries read from JSON: the format the Python modules take as a
// dict, written as a JSON object (Debian's nlohmann-json3-dev is needed to
// build it; qxdcs/config.hpp says whether this copy has it).
//
//     {"CV1": {"MV1": {"mode": "tf_s", "num_s": [4.05], "den_s": [50, 1], "iodelay_s": 25},
//              "MV2": {"mode": "tf_z", "num_z": [0, 1, 0.5], "den_z": [1, -1.5, 0.7]}},
//      "CV2": {"MV1": {"mode": "stp", "stp": [0, 0, 1, 1, 0.5]},
//              "MV3": {"mode": "stpxy", "x": [0, 5, 20], "y": [0, 1, 2], "IntegralMark": 1}}}
//
// Keys keep the file's order (a key given twice: the later value, at the
// first key's place, as Python's json module reads it). For each pair, as
// the Python building rule reads a entry: an empty object, a missing
// "mode" or the mode "None" is no model; "IntegralMark" is any true value
// (true, a non-zero number, a non-empty string, array or object); a mode's
// required key missing is a KeyError naming it ('num_s'); another mode is an
// AssertionError; keys a mode does not read are ignored. Coefficients are
// arrays of numbers; "iodelay_z" is a whole number (an integer in the file);
// "iodelay_s" any number. A value of another JSON type is a TypeError that
// names it. Every message begins with where it was found: "<file>: " or
// "<file>: CV1.MV2.num_s: ".
#pragma once

#include <string>

#include "qxdcs/config.hpp"
#include "qxdcs/process_sim.hpp"

#if QXDCS_HAS_JSON

namespace qxdcs {

// The model dictionary in `text`; `pointer` (a JSON pointer such as "/model")
// picks a part of the document, "" the whole. `source` names the text in
// messages. ValueError for text that is not JSON or a pointer that names
// nothing.
ModelDict parse_model_json(const std::string &text, const std::string &pointer = "",
                           const std::string &source = "<text>");

// The same for a file (OSError when it cannot be read).
ModelDict read_model_json(const std::string &path, const std::string &pointer = "");

} // namespace qxdcs

#endif

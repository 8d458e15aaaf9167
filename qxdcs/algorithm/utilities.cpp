// Module utilities: the shared helpers (history shift, discretisation,
// dictionary pairs, curve strings, local time), plus the project-root search
// and the optional-package probe.
//
// Importing this module loads nothing: every function imports the Python
// libraries it needs when it runs, so that `utilities` can be used where NumPy
// and SciPy are not wanted at import time.
#include <nanobind/nanobind.h>

#include "bind/args.hpp"
#include "bind/helpers.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

bool truthy(nb::handle h) {
    int t = PyObject_IsTrue(h.ptr());
    if (t < 0)
        throw nb::python_error();
    return t != 0;
}

// Walk up from this module's file (or, without a __file__, from the working
// directory) to the first directory that holds an entry named `matker`. The
// file-system root itself is never searched.
nb::str find_project_path(nb::handle globals, nb::handle matker) {
    qxb::exact_str(matker, "matker");
    nb::object Path = nb::module_::import_("pathlib").attr("Path");

    PyObject *file = PyDict_GetItemString(globals.ptr(), "__file__");  // borrowed
    nb::object path = file ? Path(nb::handle(file)) : Path();
    path = path.attr("resolve")();
    for (;;) {
        nb::object candidate = qxb::steal_or_throw(PyNumber_TrueDivide(path.ptr(), matker.ptr()));
        if (truthy(candidate.attr("exists")()))
            break;
        path = path.attr("parent");
        nb::object parent = path.attr("parent");
        int at_root = PyObject_RichCompareBool(path.ptr(), parent.ptr(), Py_EQ);
        if (at_root < 0)
            throw nb::python_error();
        if (at_root)
            throw nb::value_error(
                "Reached the root of the file system without finding the marker.");
    }
    return nb::str(path);
}

// Whether a top-level package OPCBridgePy can be imported; it is located,
// never imported.
bool is_OPCBridgePy_installed() {
    nb::object found = nb::module_::import_("importlib.util").attr("find_spec")("OPCBridgePy");
    return !found.is_none();
}

} // namespace

NB_MODULE(utilities, m) {
    m.doc() = "Shared helpers of qxdcs.algorithm; loads NumPy and SciPy only when a function "
              "needs them.";
    qxb::helpers::bind_shared_helpers(m);

    nb::object globals = nb::borrow(PyModule_GetDict(m.ptr()));
    m.def("find_project_path",
          [globals](nb::handle matker) { return find_project_path(globals, matker); },
          nb::sig("def find_project_path(matker: str = '.git') -> str"),
          "matker"_a.none() = nb::str(".git"),
          "Absolute path of the nearest directory, walking up from this module's\n"
          "directory (the file-system root excluded), that holds an entry named\n"
          "`matker`; ValueError when there is none.");
    m.def("is_OPCBridgePy_installed", &is_OPCBridgePy_installed,
          "Whether the package OPCBridgePy can be imported (it is not imported).");
}

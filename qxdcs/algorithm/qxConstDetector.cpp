// Module qxConstDetector: the constant-input detector block.
//
// The window logic is core/const_detect.hpp, run on doubles. The inputs are
// also kept exactly as passed, so the window reads back as the caller's
// objects. While every input in the window is a plain real number (a float,
// or an int or bool up to 2**52 in magnitude) the answer is computed natively,
// where it agrees exactly with NumPy's; as soon as the window holds anything
// else, that call is answered by NumPy itself (diff, abs, comparison, all) on
// the objects, so odd inputs give NumPy's result or NumPy's error.
#include <nanobind/nanobind.h>

#include <cmath>
#include <deque>
#include <limits>

#include "const_detect.hpp"
#include "qx_args.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kDoc =
    "判断输入数据是否为连续的常数（连续数据长度>=DectLen），若是，返回True，否则返回False。\n"
    "常用于判断看门狗是否连续动作（返回值要取反）。";

// NumPy and its two boolean scalars, looked up once and kept for the life of
// the process.
struct NumPyRefs {
    PyObject *np, *True_, *False_;
};

const NumPyRefs &numpy_refs() {
    static NumPyRefs refs = [] {
        nb::module_ np = nb::module_::import_("numpy");
        nb::object t = np.attr("True_"), f = np.attr("False_");
        return NumPyRefs{np.release().ptr(), t.release().ptr(), f.release().ptr()};
    }();
    return refs;
}

// The double value of an input the native path can take.
bool native_value(nb::handle h, double &d) {
    if (PyFloat_Check(h.ptr())) {
        d = PyFloat_AS_DOUBLE(h.ptr());
        return true;
    }
    return qxargs::plain_number(h, d);
}

// The window length from DectLen: an int as it is, another real number
// rounded down (the window that filling and trimming would leave behind).
std::size_t window_length(nb::handle DectLen) {
    double n;
    if (Py_TYPE(DectLen.ptr()) == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(DectLen.ptr(), &overflow);
        n = overflow ? double(overflow) * 1e300 : double(v);
    } else {
        n = std::floor(qxargs::to_double(DectLen));
    }
    if (!(n >= 1.0))
        throw nb::value_error("DectLen must be at least 1");
    if (n >= double(std::numeric_limits<long long>::max())) {
        PyErr_SetString(PyExc_OverflowError, "DectLen is too large");
        throw nb::python_error();
    }
    return std::size_t(n);
}

struct Entry {
    nb::object obj;  // the input as passed; null for a float held by value
    bool native;     // its value is in the core's window
};

struct PyConstDect {
    qxfast::CallSlot<PyConstDect> call_slot;  // direct calls (qx_fastcall.hpp)
    qxcore::ConstDetector core;  // values; NaN stands in for other objects
    std::deque<Entry> entries;   // the same window, as passed
    std::size_t others = 0;      // entries the core cannot judge

    void append(nb::handle Ut) {
        double d;
        bool native = native_value(Ut, d);
        if (!native)
            d = std::numeric_limits<double>::quiet_NaN();
        entries.push_back(
            {Py_TYPE(Ut.ptr()) == &PyFloat_Type ? nb::object() : nb::borrow(Ut), native});
        others += !native;
        core.append(d);
    }
    // Releasing an input may run its __del__, which may call this block
    // again: the window is complete before anything is released.
    void drop_oldest() {
        Entry gone = std::move(entries.front());
        entries.pop_front();
        others -= !gone.native;
        core.dropOldest();
    }

    nb::object entry_object(std::size_t i) const {
        const Entry &e = entries[i];
        return e.obj.is_valid() ? e.obj : nb::float_(core.window()[i]);
    }
    nb::list objects() const {
        nb::list l;
        for (std::size_t i = 0; i < entries.size(); ++i)
            l.append(entry_object(i));
        return l;
    }

    nb::object call(nb::handle Ut, nb::handle DectLen) {
        std::size_t n = window_length(DectLen);
        const NumPyRefs &np = numpy_refs();
        append(Ut);
        while (entries.size() < n)
            append(Ut);
        while (entries.size() > n)
            drop_oldest();
        if (others == 0)
            return nb::borrow(core.isConst() ? np.True_ : np.False_);
        nb::handle numpy(np.np);
        nb::list q = objects();
        nb::object Udiff = numpy.attr("abs")(numpy.attr("diff")(q, "prepend"_a = q[0]));
        nb::object Udiff_flag = qxargs::py_binop(
            [](PyObject *a, PyObject *b) { return PyObject_RichCompare(a, b, Py_LT); }, Udiff,
            nb::float_(1e-6));
        return numpy.attr("all")(Udiff_flag);
    }

    void assign(nb::handle iterable) {
        nb::list items = nb::list(iterable);  // read everything before changing
        std::deque<Entry> previous;
        previous.swap(entries);
        core.clear();
        others = 0;
        for (nb::handle h : items)
            append(h);
    }  // the previous inputs are released here, with the new window in place

    nb::object queue() const {
        return nb::module_::import_("collections").attr("deque")(objects());
    }
};

// The garbage collector must see the inputs in the window: one of them may
// refer back to the detector.
int const_dect_visit(PyConstDect &c, visitproc visit, void *arg) {
    for (const Entry &e : c.entries)
        Py_VISIT(e.obj.ptr());
    return 0;
}

void const_dect_clear(PyConstDect &c) {
    std::deque<Entry> previous;
    previous.swap(c.entries);
    c.core.clear();
    c.others = 0;
}

} // namespace

NB_MODULE(qxConstDetector, m) {
    m.doc() = "Detector of a constant input (typically a watchdog count that has stopped).";

    nb::class_<PyConstDect>(m, "ConstDect", nb::type_slots(qxgc::slots<PyConstDect, const_dect_visit, const_dect_clear>), kDoc)
        .def(nb::init<>())
        .def("__call__", &PyConstDect::call, "Ut"_a.none(), "DectLen"_a = 10,
             "Push Ut into the window of the last DectLen inputs and return numpy.True_\n"
             "if every step within the window is smaller than 1e-6 in magnitude.")
        .def_prop_rw("_U_queue", &PyConstDect::queue, &PyConstDect::assign,
                     "The window, oldest first, as a new collections.deque of the inputs\n"
                     "as passed; assigning an iterable replaces the window.")
        .def("__getstate__", &PyConstDect::objects)
        .def("__setstate__",
             [](PyConstDect &c, nb::list s) {
                 new (&c) PyConstDect();
                 c.assign(s);
             })
        .def("__repr__", [](PyConstDect &c) {
            if (c.entries.empty())
                return nb::str("ConstDect(empty)");
            return nb::str("ConstDect({} entries, newest={!r})")
                .format(c.entries.size(), c.entry_object(c.entries.size() - 1));
        });

    qxfast::enable_fast_call<PyConstDect, &PyConstDect::call_slot>(m.attr("ConstDect"));
    qxpickle::enable_reduce(m.attr("ConstDect"));
}

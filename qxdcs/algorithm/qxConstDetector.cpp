// Module qxConstDetector: the constant-input detector block.
//
// The window and its bookkeeping are qxdcs/const_detect.hpp. Every entry
// keeps the input exactly as passed (an exact float by value), so the window
// reads back as the caller's objects. While every input in the window is a
// plain real number (a float, or an int or bool up to 2**52 in magnitude) the
// answer is the core's, which agrees exactly with NumPy's; as soon as the
// window holds anything else, that call is answered by NumPy itself (diff,
// abs, comparison, all) on the objects, so odd inputs give NumPy's result or
// NumPy's error.
//
// A call makes every allocation before it changes anything, so one that
// fails (MemoryError for a window too long, say) leaves the window as it was.
#include <nanobind/nanobind.h>

#include <climits>
#include <cmath>
#include <limits>
#include <tuple>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/kept.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/const_detect.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kDoc =
    "判断输入数据是否为连续的常数（连续数据长度>=DectLen），若是，返回True，否则返回False。\n"
    "常用于判断看门狗是否连续动作（返回值要取反）。";

// numpy.True_ or numpy.False_, looked up once and kept for the life of the
// process.
nb::handle numpy_bool(bool v) {
    static PyObject *const values[2] = {nb::object(qxb::numpy().attr("False_")).release().ptr(),
                                        nb::object(qxb::numpy().attr("True_")).release().ptr()};
    return values[v];
}

// The window length from DectLen: an int as it is, another real number
// rounded down (the window that filling and trimming would leave behind).
std::size_t window_length(nb::handle DectLen) {
    double n;
    long long v;
    if (Py_TYPE(DectLen.ptr()) == &PyLong_Type) {
        if (qxb::int_within(DectLen, LLONG_MAX, v)) {
            if (v >= 1 && double(v) < double(LLONG_MAX))
                return std::size_t(v);
            n = double(v);
        } else {  // beyond a long long: only its sign matters below
            n = qxb::py_compare(DectLen, nb::int_(0), Py_GT) ? HUGE_VAL : -HUGE_VAL;
        }
    } else {
        n = std::floor(qxb::to_double(DectLen));
    }
    if (!(n >= 1.0))
        throw nb::value_error("DectLen must be at least 1");
    if (n >= double(LLONG_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "DectLen is too large");
        throw nb::python_error();
    }
    return std::size_t(n);
}

using Detector = qxdcs::ConstDetector<nb::object>;

// The window of inputs: each entry's item is the input as passed, or unset
// for an exact float, which the entry's value holds.
struct InputWindow {
    Detector d;

    // An input as an entry: judged natively when it is a float or a plain
    // number, otherwise left to NumPy (its value is then NaN, unused).
    struct Input {
        double value;
        bool judged;
        nb::object item;
    };
    static Input input(nb::handle u) {
        if (PyFloat_Check(u.ptr()))
            return {PyFloat_AS_DOUBLE(u.ptr()), true,
                    Py_TYPE(u.ptr()) == &PyFloat_Type ? nb::object() : nb::borrow(u)};
        double v;
        if (qxb::plain_number(u, v))
            return {v, true, nb::borrow(u)};
        return {std::numeric_limits<double>::quiet_NaN(), false, nb::borrow(u)};
    }

    nb::object object(std::size_t i) const {
        const Detector::Entry &e = d.at(i);
        return e.item.is_valid() ? e.item : nb::steal(PyFloat_FromDouble(e.value));
    }
    nb::list objects() const {
        nb::list l;
        for (std::size_t i = 0; i < d.size(); ++i)
            l.append(object(i));
        return l;
    }

    // The items of the `count` oldest entries, kept by `later`: the window
    // lets go of them, and they are released once the block is complete
    // (releasing one may run code that calls the block).
    void keep_oldest(std::size_t count, qxb::ReleaseLast &later) const {
        for (std::size_t i = 0; i < count; ++i)
            later.keep(d.at(i).item);
    }

    // Steps 1 to 3 with u; throws (MemoryError) before any change.
    void push(nb::handle u, std::size_t n, qxb::ReleaseLast &later) {
        Input in = input(u);
        keep_oldest(d.drops(n), later);
        d.reserve(n);
        d.push(in.value, in.judged, in.item, n);
    }

    // A window holding the values of `seq`, oldest first.
    static InputWindow of(nb::handle seq) {
        nb::list items = nb::list(seq);  // read everything first
        InputWindow w;
        w.d.reserve(items.size());
        for (nb::handle h : items) {
            Input in = input(h);
            w.d.append(in.value, in.judged, in.item);
        }
        return w;
    }

    // Garbage collection (bind/block.hpp).
    int visit(visitproc visit, void *arg) const {
        for (std::size_t i = 0; i < d.size(); ++i)
            Py_VISIT(d.at(i).item.ptr());
        return 0;
    }
    void clear(qxb::ReleaseLast &later) {
        keep_oldest(d.size(), later);
        d = Detector();
    }
};

struct ConstDect {
    qxb::CallSlot<ConstDect> call_slot;  // direct calls (bind/fastcall.hpp)
    InputWindow window;

    static constexpr auto kept_members() { return std::make_tuple(&ConstDect::window); }

    nb::object call(nb::handle Ut, nb::handle DectLen) {
        const std::size_t n = window_length(DectLen);
        qxb::ReleaseLast later;  // the dropped inputs, released after the answer
        window.push(Ut, n, later);
        if (window.d.unjudged() == 0)
            return nb::borrow(numpy_bool(window.d.is_const()));
        return judge_with_numpy();
    }

    // NumPy's answer on the inputs as passed: all(abs(diff(q, prepend=q[0])) < 1e-6).
    // Kept out of line, so that the native path stays small.
    NB_NOINLINE nb::object judge_with_numpy() const {
        nb::handle np = qxb::numpy();
        nb::list q = window.objects();
        nb::object Udiff = np.attr("abs")(np.attr("diff")(q, "prepend"_a = q[0]));
        nb::object Udiff_flag = qxb::py_binop(
            [](PyObject *a, PyObject *b) { return PyObject_RichCompare(a, b, Py_LT); }, Udiff,
            nb::float_(1e-6));
        return np.attr("all")(Udiff_flag);
    }

    // Replaces the window; the previous inputs are released once the new
    // window is in place.
    void assign(nb::handle seq) {
        InputWindow fresh = InputWindow::of(seq);
        qxb::ReleaseLast later;
        window.keep_oldest(window.d.size(), later);
        window = std::move(fresh);
    }

    nb::object queue() const {
        return nb::module_::import_("collections").attr("deque")(window.objects());
    }

    nb::dict state() const {
        nb::dict s;
        s["_U_queue"] = window.objects();
        return s;
    }

    // The window is taken as the attribute takes it.
    static ConstDect from_state(nb::handle saved) {
        // A state saved in the earlier form is the list of inputs itself.
        nb::object s = nb::borrow(saved);
        if (PyList_CheckExact(saved.ptr())) {
            nb::dict d;
            d["_U_queue"] = saved;
            s = std::move(d);
        }
        ConstDect c;
        c.window = InputWindow::of(qxb::state_item(s, "_U_queue"));
        return c;
    }
};

} // namespace

NB_MODULE(qxConstDetector, m) {
    m.doc() = "Detector of a constant input (typically a watchdog count that has stopped).";

    auto cls = qxb::block_class<ConstDect>(m, "ConstDect", kDoc);
    cls.def("__init__", [](ConstDect *self) { new (self) ConstDect(); })
        .def("__call__", &ConstDect::call, "Ut"_a.none(), "DectLen"_a = 10,
             "Push Ut into the window of the last DectLen inputs and return numpy.True_\n"
             "if every step within the window is smaller than 1e-6 in magnitude.")
        .def_prop_rw("_U_queue", &ConstDect::queue, &ConstDect::assign,
                     "The window, oldest first, as a new collections.deque of the inputs\n"
                     "as passed; assigning an iterable replaces the window.")
        .def("__repr__", [](ConstDect &c) {
            const std::size_t n = c.window.d.size();
            if (n == 0)
                return nb::str("ConstDect(empty)");
            return nb::str("ConstDect({} entries, newest={!r})").format(n, c.window.object(n - 1));
        });
    qxb::def_state(cls, &ConstDect::state, &ConstDect::from_state);
    qxb::finish_block(cls);
}

// The helpers that `qxcommon` and `utilities` share (bind/helpers.hpp): one
// implementation, one set of bindings, compiled into both modules.
#include "bind/helpers.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>

#include "bind/args.hpp"
#include "bind/fastcall.hpp"
#include "bind/np_abi.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/history.hpp"

namespace qxb {
namespace helpers {

using namespace nb::literals;

namespace {

// Objects created once per module and kept for its lifetime.
struct Constants {
    PyObject *zero = nullptr;        // 0
    PyObject *minus_one = nullptr;   // -1
    PyObject *head_slice = nullptr;  // slice(0, -1): all but the last element
    PyObject *tail_slice = nullptr;  // slice(1, None): all but the first element
};
Constants g_const;

void make_constants() {
    if (g_const.zero)
        return;
    nb::object zero = steal_or_throw(PyLong_FromLong(0));
    nb::object one = steal_or_throw(PyLong_FromLong(1));
    nb::object minus_one = steal_or_throw(PyLong_FromLong(-1));
    nb::object head = steal_or_throw(PySlice_New(zero.ptr(), minus_one.ptr(), nullptr));
    nb::object tail = steal_or_throw(PySlice_New(one.ptr(), nullptr, nullptr));
    g_const.head_slice = head.release().ptr();
    g_const.tail_slice = tail.release().ptr();
    g_const.zero = zero.release().ptr();
    g_const.minus_one = minus_one.release().ptr();
}

// NumPy arrays without NumPy's C API: bind/np_abi.hpp.
using namespace qxb::np_abi;

// Element writes that need no NumPy: each stores exactly what NumPy would
// store for that (element type, value type) pair and reports false, writing
// nothing, for every other value, which then goes through NumPy's own item
// assignment (conversions, warnings and errors stay NumPy's).
template <class T>
bool store_int(char *p, PyObject *xt) {
    long long w;
    if (!PyLong_CheckExact(xt) || !int_within(xt, LLONG_MAX, w))
        return false;  // NumPy converts (or refuses) anything else
    if constexpr (std::is_signed<T>::value) {
        if (w < (long long) std::numeric_limits<T>::min() ||
            w > (long long) std::numeric_limits<T>::max())
            return false;
    } else {
        if (w < 0 || (unsigned long long) w > std::numeric_limits<T>::max())
            return false;
    }
    const T v = static_cast<T>(w);
    std::memcpy(p, &v, sizeof v);
    return true;
}

bool store_double(char *p, PyObject *xt) {
    double v;
    if (PyFloat_CheckExact(xt) || Py_TYPE(xt) == g_np.float64) {
        v = PyFloat_AS_DOUBLE(xt);
    } else if (PyLong_CheckExact(xt)) {
        v = PyLong_AsDouble(xt);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large for a double: NumPy reports it
            return false;
        }
    } else {
        return false;
    }
    std::memcpy(p, &v, sizeof v);
    return true;
}

bool store_float(char *p, PyObject *xt) {
    if (!PyFloat_CheckExact(xt))
        return false;
    double v = PyFloat_AS_DOUBLE(xt);
    float f = static_cast<float>(v);
    // A cast that overflows or underflows is subject to NumPy's error state.
    if (std::isfinite(v) && v != 0.0 && (std::isinf(f) || std::fabs(v) < FLT_MIN))
        return false;
    std::memcpy(p, &f, sizeof f);
    return true;
}

bool store_bool(char *p, PyObject *xt) {
    if (!PyBool_Check(xt))
        return false;
    *p = xt == Py_True ? 1 : 0;
    return true;
}

bool store_native(int type_num, char *p, PyObject *xt) {
    switch (type_num) {
    case kDouble: return store_double(p, xt);
    case kFloat: return store_float(p, xt);
    case kBool: return store_bool(p, xt);
    case kByte: return store_int<signed char>(p, xt);
    case kUByte: return store_int<unsigned char>(p, xt);
    case kShort: return store_int<short>(p, xt);
    case kUShort: return store_int<unsigned short>(p, xt);
    case kInt: return store_int<int>(p, xt);
    case kUInt: return store_int<unsigned int>(p, xt);
    case kLong: return store_int<long>(p, xt);
    case kULong: return store_int<unsigned long>(p, xt);
    case kLongLong: return store_int<long long>(p, xt);
    case kULongLong: return store_int<unsigned long long>(p, xt);
    default: return false;
    }
}

// The history shift of a writable contiguous one-dimensional array of a
// plain numeric dtype, done on its memory. Returns false, touching nothing,
// for every other array.
//
// The history moves first and the value is written afterwards, as the steps
// of the shift say (a value that is a view into the history is read after
// the move). A value the array refuses leaves the history as it was: the
// move is undone and the oldest sample put back. The write may run Python
// code (a value's __float__), which could even resize the array; the undo
// then happens only if the array still has the memory the move used.
bool shift_plain_array(PyObject *x, PyObject *xt) {
    auto *a = reinterpret_cast<NpArrayHead *>(x);
    unsigned flags = static_cast<unsigned>(a->flags);
    if (a->nd != 1 || !(flags & kNpCContiguous) || !(flags & kNpWriteable) ||
        (flags & kNpWarnOnWrite))
        return false;
    auto *descr = reinterpret_cast<NpDescrHead *>(a->descr);
    if (!plain_numeric(descr->type_num))
        return false;
    const Py_ssize_t n = a->dimensions[0];
    if (n == 0)
        return false;  // NumPy raises the IndexError of index 0
    const bool native_order = descr->byteorder == '=' || descr->byteorder == '|';
    if (n == 1) {
        if (!(native_order && store_native(descr->type_num, a->data, xt)))
            if (PyObject_SetItem(x, g_const.zero, xt) < 0)
                throw nb::python_error();
        return true;
    }
    // Contiguous with more than one element: the stride is the item size.
    const std::size_t itemsize = static_cast<std::size_t>(a->strides[0]);
    alignas(16) char oldest[64];
    if (itemsize > sizeof oldest)
        return false;
    char *const data = a->data;
    std::memcpy(oldest, data + (n - 1) * itemsize, itemsize);
    qxdcs::history_shift_raw(data, static_cast<std::size_t>(n), itemsize);
    if (native_order && store_native(descr->type_num, data, xt))
        return true;
    if (PyObject_SetItem(x, g_const.zero, xt) == 0)
        return true;
    if (a->data == data && a->nd == 1 && a->dimensions[0] == n &&
        static_cast<std::size_t>(a->strides[0]) == itemsize) {
        std::memmove(data, data + itemsize, static_cast<std::size_t>(n - 1) * itemsize);
        std::memcpy(data + (n - 1) * itemsize, oldest, itemsize);
    }
    throw nb::python_error();
}

// The history shift of a list, done on its item pointers.
bool shift_list(PyObject *x, PyObject *xt) {
    Py_ssize_t n = PyList_GET_SIZE(x);
    if (n == 0)
        return false;  // the list raises the IndexError of index 0
    PyObject **items = reinterpret_cast<PyListObject *>(x)->ob_item;
    PyObject *oldest = items[n - 1];
    Py_INCREF(xt);
    qxdcs::history_push(items, static_cast<std::size_t>(n), xt);
    Py_DECREF(oldest);  // last: its finaliser sees the finished shift
    return true;
}

// ---------------------------------------------------------------------------
// Unpacking a fixed number of values, with the messages of this library:
// "too many values to unpack (expected N)" and
// "need more than K value(s) to unpack".

[[noreturn]] void raise_too_many(Py_ssize_t expected) {
    raise_value_error("too many values to unpack (expected %zd)", expected);
}

[[noreturn]] void raise_need_more(Py_ssize_t got) {
    raise_value_error("need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

template <std::size_t N>
void unpack(nb::handle seq, nb::object (&out)[N]) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(N);
    if (PyTuple_CheckExact(seq.ptr())) {
        Py_ssize_t size = PyTuple_GET_SIZE(seq.ptr());
        if (size > n)
            raise_too_many(n);
        if (size < n)
            raise_need_more(size);
        for (Py_ssize_t i = 0; i < n; ++i)
            out[i] = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), i));
        return;
    }
    nb::object it = steal_or_throw(PyObject_GetIter(seq.ptr()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            raise_need_more(i);
        }
        out[i] = nb::steal(item);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_too_many(n);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

nb::object call_method(nb::handle obj, const char *name, nb::handle arg1, nb::handle arg2 = {}) {
    nb::object fn = steal_or_throw(PyObject_GetAttrString(obj.ptr(), name));
    if (arg2.is_valid())
        return fn(arg1, arg2);
    return fn(arg1);
}

// ---------------------------------------------------------------------------
// dict2pairs: a lazy depth-first walk over a nested dictionary.
//
// The walk keeps an explicit stack of frames (dictionary or its items
// iterator, dotted path of that level); a dictionary is turned into its items
// iterator when the walk first reaches it, so a dictionary changed before it
// is visited is seen as it is then. Nested dictionaries, of any dict
// subclass, are descended into; every other value is a leaf. Like a Python
// generator, the walk is finished once it has raised.
//
// The stack is native and belongs to the step that runs: while a step runs
// the caller's code (an items iterator, a key's __str__), the walk object
// holds nothing that code could reach and change.

struct WalkFrame {
    nb::object source;  // the dictionary, or its items iterator once reached
    nb::object path;    // dotted path of this level
};
using WalkStack = std::vector<WalkFrame>;

struct PairWalk {
    PyObject_HEAD
    WalkStack *stack;  // null when finished, and while a step runs
    bool running;
};

std::string g_walk_type_name;

int walk_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (const WalkStack *stack = reinterpret_cast<PairWalk *>(self)->stack)
        for (const WalkFrame &f : *stack) {
            Py_VISIT(f.source.ptr());
            Py_VISIT(f.path.ptr());
        }
    return 0;
}

// Finishes the walk; its frames are released after that.
int walk_clear(PyObject *self) {
    delete std::exchange(reinterpret_cast<PairWalk *>(self)->stack, nullptr);
    return 0;
}

void walk_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    walk_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

nb::object path_join(nb::handle path, nb::handle key) {
    nb::object text = steal_or_throw(PyObject_Str(key.ptr()));
    if (PyUnicode_GET_LENGTH(path.ptr()) == 0)
        return text;
    return steal_or_throw(PyUnicode_FromFormat("%U.%U", path.ptr(), text.ptr()));
}

void walk_push(WalkStack &stack, nb::handle dict, nb::handle path) {
    if (stack.size() >= static_cast<std::size_t>(Py_GetRecursionLimit())) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while walking a nested dictionary");
        throw nb::python_error();
    }
    stack.push_back({nb::borrow(dict), nb::borrow(path)});
}

// The next (path, value) pair, or a null object when the walk is done.
nb::object walk_step(WalkStack &stack) {
    while (!stack.empty()) {
        if (PyDict_Check(stack.back().source.ptr())) {
            nb::object items =
                steal_or_throw(PyObject_CallMethod(stack.back().source.ptr(), "items", nullptr));
            stack.back().source = steal_or_throw(PyObject_GetIter(items.ptr()));
        }
        nb::object item = nb::steal(PyIter_Next(stack.back().source.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            stack.pop_back();
            continue;
        }
        nb::object kv[2];
        unpack(item, kv);
        nb::object path = path_join(stack.back().path, kv[0]);
        if (PyDict_Check(kv[1].ptr())) {
            walk_push(stack, kv[1], path);
            continue;
        }
        return nb::make_tuple(path, kv[1]);
    }
    return nb::object();
}

PyObject *walk_next(PyObject *self) {
    auto *w = reinterpret_cast<PairWalk *>(self);
    if (w->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!w->stack)
        return nullptr;
    w->running = true;
    std::unique_ptr<WalkStack> stack(std::exchange(w->stack, nullptr));
    PyObject *result = nullptr;
    try {
        result = walk_step(*stack).release().ptr();
    } catch (...) {
        set_error_from_exception();
    }
    w->running = false;
    if (result)
        w->stack = stack.release();
    return result;  // exhausted or failed: finished for good, the frames go last
}

PyType_Slot g_walk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(walk_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(walk_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(walk_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(walk_next)},
    {Py_tp_doc, const_cast<char *>("Lazy (dotted path, value) pairs of a nested dictionary.")},
    {0, nullptr},
};

// The walk type of one module (each module that binds the helpers has its
// own type object).
nb::object make_walk_type(nb::module_ &m) {
    g_walk_type_name = nb::cast<std::string>(m.attr("__name__")) + ".dict2pairs_generator";
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
    flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
    static PyType_Spec walk_type_spec = {nullptr, sizeof(PairWalk), 0, 0, g_walk_slots};
    walk_type_spec.name = g_walk_type_name.c_str();
    walk_type_spec.flags = static_cast<unsigned int>(flags);
    return steal_or_throw(PyType_FromSpec(&walk_type_spec));
}

nb::object dict2pairs(nb::handle walk_type, nb::handle d, nb::handle path) {
    exact_dict(d, "d");
    exact_str(path, "path");
    auto stack = std::make_unique<WalkStack>();
    walk_push(*stack, d, path);
    auto *tp = reinterpret_cast<PyTypeObject *>(walk_type.ptr());
    nb::object walk = steal_or_throw(tp->tp_alloc(tp, 0));
    auto *w = reinterpret_cast<PairWalk *>(walk.ptr());
    w->stack = stack.release();
    w->running = false;
    return walk;
}

// ---------------------------------------------------------------------------
// The helper functions.

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
              nb::handle method) {
    nb::handle np = numpy();
    nb::module_ signal = nb::module_::import_("scipy.signal");

    nb::object num = np.attr("array")(Gs_num, "dtype"_a = dtype_float64());
    nb::object den = np.attr("array")(Gs_den, "dtype"_a = dtype_float64());

    // Drop the leading zeros of the numerator.
    nb::object nonzero = steal_or_throw(PyObject_RichCompare(num.ptr(), g_const.zero, Py_NE));
    nb::object where = np.attr("where")(nonzero);
    nb::object first_index = where[g_const.zero][g_const.zero];
    nb::object from_first = steal_or_throw(PySlice_New(first_index.ptr(), nullptr, nullptr));
    num = steal_or_throw(PyObject_GetItem(num.ptr(), from_first.ptr()));

    nb::object result = signal.attr("cont2discrete")(nb::make_tuple(num, den), "dt"_a = Ts,
                                                     "method"_a = method, "alpha"_a = nb::none());
    nb::object parts[3];
    unpack(result, parts);  // numerator, denominator, sample time

    // Dead time as whole samples, rounded half to even.
    nb::object ratio = steal_or_throw(PyNumber_TrueDivide(Gs_delay.ptr(), Ts.ptr()));
    nb::object rounded = nb::module_::import_("builtins").attr("round")(ratio);
    nb::object delay_samples = steal_or_throw(PyNumber_Long(rounded.ptr()));

    nb::object row = parts[0][g_const.zero];
    nb::object Gd_num = np.attr("hstack")(nb::make_tuple(np.attr("zeros")(delay_samples), row));
    return nb::make_tuple(Gd_num, parts[1]);
}

// The local wall-clock time as "%Y-%m-%d %H:%M:%S" (Python's time module).
nb::object current_time_str() {
    nb::module_ time = nb::module_::import_("time");
    return time.attr("strftime")("%Y-%m-%d %H:%M:%S", time.attr("localtime")());
}

// Write `value` into the nested dictionary `d` at the dotted key path of
// pair = (path, value), creating missing levels as empty dictionaries.
void pair2dict(nb::handle pair, nb::handle d) {
    nb::tuple p = exact_tuple(pair, "pair");
    exact_dict(d, "d");
    nb::object kv[2];
    unpack(p, kv);

    nb::object keys = call_method(kv[0], "split", nb::str("."));
    nb::object all_but_last = steal_or_throw(PySlice_New(nullptr, g_const.minus_one, nullptr));
    nb::object parents = steal_or_throw(PyObject_GetItem(keys.ptr(), all_but_last.ptr()));
    nb::object last = steal_or_throw(PyObject_GetItem(keys.ptr(), g_const.minus_one));

    nb::object cur = nb::borrow(d);
    nb::object it = steal_or_throw(PyObject_GetIter(parents.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(raw);
        nb::object fresh = steal_or_throw(PyDict_New());
        nb::object next;
        if (PyDict_CheckExact(cur.ptr())) {
            PyObject *entry = PyDict_SetDefault(cur.ptr(), key.ptr(), fresh.ptr());  // borrowed
            if (!entry)
                throw nb::python_error();
            next = nb::borrow(entry);
        } else {  // a dict subclass keeps its own setdefault; None fails on the lookup
            next = call_method(cur, "setdefault", key, fresh);
        }
        if (!next.is_none() && !PyDict_Check(next.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                         Py_TYPE(next.ptr())->tp_name);
            throw nb::python_error();
        }
        cur = std::move(next);
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    if (PyDict_CheckExact(cur.ptr())) {
        if (PyDict_SetItem(cur.ptr(), last.ptr(), kv[1].ptr()) < 0)
            throw nb::python_error();
    } else {
        nb::object one = steal_or_throw(PyDict_New());
        if (PyDict_SetItem(one.ptr(), last.ptr(), kv[1].ptr()) < 0)
            throw nb::python_error();
        call_method(cur, "update", one);
    }
}

// Points "x,y#x,y#..." as (xp, yp), two lists of floats sorted by x with
// NumPy's argsort.
nb::tuple str2xpyp(nb::handle s) {
    nb::str text = exact_str(s, "s");
    nb::object hash = nb::str("#"), comma = nb::str(",");
    nb::object segments = steal_or_throw(PyUnicode_Split(text.ptr(), hash.ptr(), -1));
    nb::list xs, ys;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(segments.ptr()); i < n; ++i) {
        PyObject *seg = PyList_GET_ITEM(segments.ptr(), i);
        int has_comma = PyUnicode_Contains(seg, comma.ptr());
        if (has_comma < 0)
            throw nb::python_error();
        if (!has_comma)
            continue;
        nb::object fields = steal_or_throw(PyUnicode_Split(seg, comma.ptr(), 2));
        xs.append(steal_or_throw(PyFloat_FromString(PyList_GET_ITEM(fields.ptr(), 0))));
        ys.append(steal_or_throw(PyFloat_FromString(PyList_GET_ITEM(fields.ptr(), 1))));
    }
    nb::handle np = numpy();
    nb::object order = np.attr("argsort")(xs);
    nb::object xp = np.attr("array")(xs)[order].attr("tolist")();
    nb::object yp = np.attr("array")(ys)[order].attr("tolist")();
    return nb::make_tuple(xp, yp);
}

// Push `xt` into the front of the history `xArray`, in place: every element
// moves one index toward the end (the last one is lost), then `xt` is written
// at index 0, converted to the element type where the container is typed.
// The effect is that of
//     xArray[1:] = xArray[0:-1]
//     xArray[0] = xt
// with the right-hand slice taken whole before the assignment. A container
// without slice assignment (a tuple) raises TypeError before anything
// changes; an empty one raises IndexError when index 0 is written.
void data_store(nb::handle xArray, nb::handle xt) {
    PyObject *x = xArray.ptr();
    if (PyList_CheckExact(x)) {
        if (shift_list(x, xt.ptr()))
            return;
    } else if (is_exact_ndarray(x)) {
        if (shift_plain_array(x, xt.ptr()))
            return;
    }
    // Any other mutable sequence: slice assignment, then item assignment.
    // A NumPy array (strided view, masked array, memmap, ...) is pushed all
    // or nothing: a copy taken first is put back if the write is refused.
    nb::object backup;
    if (is_ndarray(x))
        backup = steal_or_throw(PyObject_CallMethod(x, "copy", nullptr));
    nb::object head = steal_or_throw(PyObject_GetItem(x, g_const.head_slice));
    if (PyObject_SetItem(x, g_const.tail_slice, head.ptr()) < 0)
        throw nb::python_error();
    if (PyObject_SetItem(x, g_const.zero, xt.ptr()) < 0) {
        if (backup.is_valid()) {
            nb::error_scope keep;  // the write's error is the one reported
            nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
            if (!all || PyObject_SetItem(x, all.ptr(), backup.ptr()) < 0)
                PyErr_Clear();
        }
        throw nb::python_error();
    }
}

} // namespace

void bind_shared_helpers(nb::module_ &m) {
    make_constants();

    m.def("c2d", &c2d,
          nb::sig("def c2d(Gs_num: object, Gs_den: object, Gs_delay: object, Ts: object = 1, "
                  "method: str = 'zoh') -> tuple[numpy.ndarray, numpy.ndarray]"),
          "Gs_num"_a.none(), "Gs_den"_a.none(), "Gs_delay"_a.none(),
          "Ts"_a.none() = nb::int_(1), "method"_a.none() = nb::str("zoh"),
          "Discretise Gs_num(s)/Gs_den(s) with dead time Gs_delay at sample period Ts.\n\n"
          "The rational part goes through scipy.signal.cont2discrete with `method`\n"
          "(alpha None); leading zeros of the numerator are dropped first. The dead\n"
          "time becomes round(Gs_delay / Ts) (ties to even) zeros in front of the\n"
          "discrete numerator. Returns (Gd_num, Gd_den), coefficients of z^0, z^-1,\n"
          "... as scipy.signal.lfilter takes them.");

    m.def("dataStore", &data_store, nb::sig("def dataStore(xArray: object, xt: object) -> None"),
          "xArray"_a.none(), "xt"_a.none(),
          "Push xt into the front of the history xArray, in place.\n\n"
          "Every element moves one index toward the end (the last, oldest one\n"
          "is lost) and xt is written at index 0, converted to the element type\n"
          "of a typed array. xArray is any mutable sequence with slice\n"
          "assignment, as a rule a one-dimensional NumPy array. Returns None.");

    m.def("current_time_str", &current_time_str, nb::sig("def current_time_str() -> str"),
          "The local wall-clock time as 'YYYY-MM-DD hh:mm:ss'.");

    nb::object walk_type = make_walk_type(m);
    m.def("dict2pairs",
          [walk_type](nb::handle d, nb::handle path) { return dict2pairs(walk_type, d, path); },
          nb::sig("def dict2pairs(d: dict, path: str = '') -> "
                  "collections.abc.Iterator[tuple[str, object]]"),
          "d"_a.none(), "path"_a.none() = nb::str(""),
          "Lazily yield (dotted key path, value) for every leaf of the nested dict d.\n\n"
          "Depth first, in each dictionary's own order; keys are joined by '.' in\n"
          "their str form, prefixed by `path` when it is not empty. Nested\n"
          "dictionaries (dict subclasses included) are descended into; every other\n"
          "value is a leaf, passed through as it is.");

    m.def("pair2dict", &pair2dict, nb::sig("def pair2dict(pair: tuple, d: dict) -> None"),
          "pair"_a.none(), "d"_a.none(),
          "Write pair = (dotted key path, value) into the nested dict d, in place.\n\n"
          "Missing intermediate levels are created as empty dicts; the last key is\n"
          "set to the value, replacing whatever was there. Returns None.");

    m.def("str2xpyp", &str2xpyp,
          nb::sig("def str2xpyp(s: str) -> tuple[list[float], list[float]]"), "s"_a.none(),
          "Parse a curve 'x,y#x,y#...' into (xp, yp), lists of floats sorted by x.\n\n"
          "Segments without ',' are skipped; text after a second ',' is ignored.");
}

} // namespace helpers
} // namespace qxb

// Module qxDelay: pure transport delay of a sampled signal.
//
//  * Delay: a callable block; Delay(max_cache)(Ut, nLag) returns the input of
//    nLag calls earlier. Inputs are kept exactly as passed (any object), in a
//    ring of max_cache entries (qxdcs/delay.hpp) that the first input fills.
//  * Delay_Algorithm: the same delay in function-block style (bind/fblock.hpp).
//    Ut, Yt and nLag are class attributes that an instance overrides; call()
//    reads Ut and nLag, writes Yt and keeps the float history U_array, which
//    grows to nLag + 1 samples on demand and never shrinks.
#include <nanobind/nanobind.h>

#include <array>
#include <climits>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fblock.hpp"
#include "bind/kept.hpp"
#include "bind/np_abi.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/delay.hpp"
#include "qxdcs/history.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// --- Delay ------------------------------------------------------------------

// The inputs a delay keeps, the caller's objects as passed, newest first.
struct History {
    qxdcs::DelayLine<nb::object> line;

    explicit History(std::size_t capacity) : line(capacity) {}

    // Garbage collection (bind/block.hpp): an input may refer back to the block.
    int visit(visitproc visit, void *arg) const {
        int rc = 0;
        line.for_each([&](const nb::object &o) {
            if (rc == 0 && o.is_valid())
                rc = visit(o.ptr(), arg);
        });
        return rc;
    }
    // Empties the history (the next call fills it again); the inputs are
    // released once the block is complete.
    void clear(qxb::ReleaseLast &later) {
        qxdcs::DelayLine<nb::object> old(line.capacity());
        std::swap(old, line);
        old.for_each([&](const nb::object &o) { later.keep(o); });
    }

    nb::list list() const {
        nb::list l;
        line.for_each([&](const nb::object &o) { l.append(o); });
        return l;
    }
};

// max_cache as the constructor takes it: an int of at least 1.
std::size_t max_cache_value(nb::handle max_cache) {
    long long n = qxb::exact_int(max_cache, "max_cache");
    if (n < 1)
        qxb::raise_value_error("max_cache must be a positive integer, but got %lld.", n);
    return static_cast<std::size_t>(n);
}

struct DelayBlock {
    qxb::CallSlot<DelayBlock> call_slot;  // direct calls (bind/fastcall.hpp)
    History history;
    qxb::Kept last_Ut;  // kept for callers that read it; None unless they write it

    static constexpr auto kept_members() {
        return std::make_tuple(&DelayBlock::history, &DelayBlock::last_Ut);
    }

    explicit DelayBlock(std::size_t max_cache) : history(max_cache), last_Ut(nb::none()) {}

    static DelayBlock make(nb::handle max_cache) { return DelayBlock(max_cache_value(max_cache)); }

    std::size_t capacity() const { return history.line.capacity(); }

    nb::object call(nb::handle Ut, nb::handle nLag) {
        qxdcs::DelayLine<nb::object> &line = history.line;
        if (line.empty() && Ut.is_none())
            throw nb::value_error("Ut is None and cache is empty.");
        long long lag = 0;
        const bool fits = qxb::index_value(nLag, "nLag", lag);
        if (line.empty()) {
            try {
                line.fill(nb::borrow(Ut));
            } catch (const std::length_error &) {
                throw std::bad_alloc();
            }
        }
        line.push(nb::borrow(Ut));
        if (fits && lag >= 0 && static_cast<unsigned long long>(lag) < capacity())
            return line.at(static_cast<std::size_t>(lag));
        nb::str msg = nb::str("nLag must be between 0 and {}, but got {}.")
                          .format(static_cast<unsigned long long>(capacity()) - 1, nLag);
        PyErr_SetObject(PyExc_ValueError, msg.ptr());
        throw nb::python_error();
    }

    nb::object state() const {
        return nb::make_tuple(capacity(), history.list(), last_Ut.get());
    }

    // A restored delay obeys what a constructed one does: max_cache an int
    // of at least 1, the history a list that is empty or holds max_cache
    // inputs.
    static DelayBlock from_state(nb::handle state) {
        static const char *const kShape = "Delay state must be (max_cache, history, _last_Ut)";
        if (!PyTuple_Check(state.ptr()))
            throw nb::type_error(kShape);
        if (PyTuple_GET_SIZE(state.ptr()) != 3)
            throw nb::value_error(kShape);
        auto part = [&](Py_ssize_t i) { return nb::handle(PyTuple_GET_ITEM(state.ptr(), i)); };
        DelayBlock d(max_cache_value(part(0)));
        nb::list items = qxb::exact_list(part(1), "history");
        std::vector<nb::object> inputs;
        inputs.reserve(items.size());
        for (nb::handle h : items)
            inputs.push_back(nb::borrow(h));
        try {
            d.history.line.assign(std::move(inputs));
        } catch (const std::invalid_argument &e) {
            throw nb::value_error(e.what());
        }
        d.last_Ut.replace(part(2));
        return d;
    }

    nb::str repr() const {
        if (history.line.empty())
            return nb::str("Delay(max_cache={}, empty)").format(capacity());
        nb::object newest = history.line.at(0);  // its __repr__ may call the block
        return nb::str("Delay(max_cache={}, newest={!r})").format(capacity(), newest);
    }
};

// --- Delay_Algorithm --------------------------------------------------------

struct DelayAlgorithm {};  // all state lives in the instance dictionary

PyObject *s_Ut, *s_Yt, *s_nLag, *s_U_array;

// nLag of Delay_Algorithm: an integer (int, NumPy integer, __index__; not a
// bool) of at least 0 that fits a C long long (OverflowError as Python's own
// conversion words it).
long long algorithm_lag(nb::handle nLag) {
    long long lag = 0;
    if (!qxb::index_value(nLag, "nLag", lag)) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        throw nb::python_error();
    }
    if (lag < 0)
        qxb::raise_value_error("nLag must be non-negative, but got %lld.", lag);
    return lag;
}

// The attributes call() reads and writes.
enum AlgorithmAttr : std::size_t { kUt, kNLag, kUArray, kYt };
qxb::fblock::Attrs<4> *algorithm_attrs = nullptr;

// The common call natively: a float input (or an int a double holds
// exactly), an int nLag within the history, and a float64 history, shifted
// on its memory exactly as dataStore shifts it; Yt is then the history's
// element as NumPy's indexing gives it. False, with nothing changed, for
// anything else, which then takes the path through getattr and dataStore.
bool algorithm_call_native(nb::handle self) {
    std::array<nb::object, 4> at;
    std::array<bool, 4> own{};
    if (!algorithm_attrs->read_all(self, at, own) || !at[kUt] || !at[kNLag] || !at[kUArray])
        return false;
    Py_ssize_t n = 0;
    // NumPy's types are known after this call.
    double *h = qxb::np_abi::plain_float64(at[kUArray].ptr(), 1, n);
    if (!h)
        return false;
    PyObject *ut = at[kUt].ptr();
    double x;
    long long v, lag;
    if (PyFloat_CheckExact(ut) || Py_TYPE(ut) == qxb::np_abi::g_np.float64)
        x = PyFloat_AS_DOUBLE(ut);
    else if (PyLong_CheckExact(ut) && qxb::int_within(at[kUt], 1LL << 53, v))
        x = double(v);
    else
        return false;
    if (!PyLong_CheckExact(at[kNLag].ptr()) || !qxb::int_within(at[kNLag], LLONG_MAX, lag) ||
        lag < 0 || lag > static_cast<long long>(n) - 1)
        return false;
    qxdcs::history_push(h, static_cast<std::size_t>(n), x);
    nb::object y = qxb::fblock::item(at[kUArray], static_cast<Py_ssize_t>(lag));
    at[kYt].reset();  // the old Yt is let go when replaced, as by an assignment
    algorithm_attrs->set(self, kYt, y);
    return true;
}

void algorithm_call(nb::handle self) {
    using namespace qxb::fblock;
    nb::handle ds = data_store_fn();
    if (algorithm_call_native(self))
        return;
    nb::object Ut = get(self, s_Ut);
    long long lag = algorithm_lag(get(self, s_nLag));
    nb::object arr = get(self, s_U_array);
    Py_ssize_t n = PyObject_Size(arr.ptr());
    if (n < 0)
        throw nb::python_error();

    // Everything that may fail on a bad input fails before the history moves.
    nb::object x;
    if (n == 0) {
        x = storable_as(qxb::dtype_float64(), Ut);
        arr = qxb::FloatArray::copy_of(nb::make_tuple(x)).object();
        set(self, s_U_array, arr);
        n = 1;
    } else {
        x = storable(arr, Ut);
    }
    if (lag > static_cast<long long>(n) - 1) {
        // Extend with copies of the oldest sample.
        arr = qxb::numpy().attr("pad")(arr, nb::make_tuple(0, lag + 1 - n), "mode"_a = "edge");
        set(self, s_U_array, arr);
    }
    data_store(ds, arr, x);
    set(self, s_Yt, item(arr, static_cast<Py_ssize_t>(lag)));
}

} // namespace

NB_MODULE(qxDelay, m) {
    m.doc() = "Pure transport delay of a sampled signal, counted in calls.";

    s_Ut = qxb::fblock::intern("Ut");
    s_Yt = qxb::fblock::intern("Yt");
    s_nLag = qxb::fblock::intern("nLag");
    s_U_array = qxb::fblock::intern("U_array");

    auto delay = qxb::block_class<DelayBlock>(m, "Delay",
        "Pure delay: Delay(max_cache)(Ut, nLag) returns the input of nLag calls earlier.\n\n"
        "Inputs are kept exactly as passed, so any object can be delayed. The first\n"
        "input fills the whole history, so the output starts at the first input.\n"
        "nLag may change from call to call within 0 <= nLag < max_cache.");
    delay.def("__init__",
              [](DelayBlock *self, nb::handle max_cache) {
                  new (self) DelayBlock(DelayBlock::make(max_cache));
              },
              "max_cache"_a = 10000)
        .def("__call__", &DelayBlock::call, "Ut"_a.none(), "nLag"_a.none() = 1,
             "Enter Ut and return the input of nLag calls earlier (nLag 0: Ut itself).")
        .def_prop_ro("_cache",
             [](DelayBlock &d) {
                 return nb::module_::import_("collections")
                     .attr("deque")(d.history.list(), "maxlen"_a = d.capacity());
             },
             "A copy of the history, newest input first.")
        .def_prop_rw("_last_Ut", [](DelayBlock &d) { return d.last_Ut.get(); },
             [](DelayBlock &d, nb::handle v) { d.last_Ut.replace(v); },
             nb::for_setter(nb::arg("value").none()))
        .def("__repr__", &DelayBlock::repr);
    qxb::def_state(delay, &DelayBlock::state, &DelayBlock::from_state);
    qxb::finish_block(delay);

    auto alg = qxb::fblock::fblock_class<DelayAlgorithm>(m, "Delay_Algorithm",
        "Pure delay in function-block style.\n\n"
        "Write Ut (input) and nLag (delay in calls), call call(), read Yt. The float\n"
        "history U_array (newest first) is filled with the first input, grows to\n"
        "nLag + 1 samples when nLag rises and never shrinks.");
    alg.attr("Ut") = 0;
    alg.attr("Yt") = 0;
    alg.attr("nLag") = 1;
    alg.def("__init__",
            [](nb::pointer_and_handle<DelayAlgorithm> self) {
                nb::object history = qxb::FloatArray::zeros(0).object();
                new (self.p) DelayAlgorithm();
                qxb::fblock::set(self.h, s_U_array, history);
            })
        .def("__repr__", [](nb::handle self) {
            using qxb::fblock::get;
            return nb::str("Delay_Algorithm(Ut={!r}, nLag={!r}, Yt={!r}, U_array={!r})")
                .format(get(self, s_Ut), get(self, s_nLag), get(self, s_Yt),
                        get(self, s_U_array));
        });
    algorithm_attrs = new qxb::fblock::Attrs<4>(reinterpret_cast<PyTypeObject *>(alg.ptr()),
                                                {s_Ut, s_nLag, s_U_array, s_Yt});
    qxb::fblock::def_call<DelayAlgorithm, &algorithm_call>(alg,
        "call($self, /)\n--\n\n"
        "One sample: enter Ut into U_array and set Yt to the input of nLag calls earlier.");
    qxb::finish_block(alg);
}

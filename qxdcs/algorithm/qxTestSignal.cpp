// Module qxTestSignal: the pseudo-random two-level test signal generator.
//
// The table of switching fractions is drawn at construction through NumPy's
// legacy global generator (numpy.random.seed, then numpy.random.randint), so
// a seed gives exactly NumPy's table and leaves the process-wide generator
// seeded. The table lives in a buffer of this object, shown to Python as a
// NumPy array over that buffer (edits through it take effect); the per-call
// evaluation (core/test_signal.hpp) is native. Settings are kept as passed;
// a time or setting that is not an ordinary integer is worked through Python's
// own operators and NumPy's indexing, so it behaves and fails as they do.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "qx_args.hpp"
#include "test_signal.hpp"
#include "qx_fastcall.hpp"
#include "qx_pickle.hpp"
#include "qx_gc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using qxargs::small_int;


// A float64 table owned natively and shown to Python as a NumPy array that
// does not own its data (so it cannot be resized under us).
struct Table {
    nb::object array;        // the NumPy view handed to callers
    const double *data = nullptr;
    std::size_t size = 0;

    // Copy of any sequence of reals, through numpy.ascontiguousarray.
    static Table from(nb::handle values) {
        nb::object np = nb::module_::import_("numpy");
        nb::object a = np.attr("ascontiguousarray")(values, "dtype"_a = np.attr("float64"));
        if (nb::cast<int>(a.attr("ndim")) != 1)
            throw nb::value_error("_rand_arr must be one-dimensional");
        Py_buffer view;
        if (PyObject_GetBuffer(a.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0)
            throw nb::python_error();
        std::size_t n = std::size_t(view.len) / sizeof(double);
        double *buf = new double[n ? n : 1];
        std::memcpy(buf, view.buf, n * sizeof(double));
        PyBuffer_Release(&view);
        nb::capsule owner(buf, [](void *p) noexcept { delete[] static_cast<double *>(p); });
        Table t;
        t.array = nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(buf, {n}, owner));
        t.data = buf;
        t.size = n;
        return t;
    }
};

nb::object py_int(long long v) { return nb::steal(PyLong_FromLongLong(v)); }

struct PyTestSignal {
    qxfast::CallSlot<PyTestSignal> call_slot;  // direct calls (qx_fastcall.hpp)
    Table table;
    nb::object ET_obj;     // half period in seconds, as stored
    long long ET = 10;     // its value when ET_native
    bool ET_native = true;
    nb::object amp_obj;    // amplitude as stored; null: the float amp
    double amp = 1.0;

    explicit PyTestSignal(nb::handle SEED) {
        nb::object random = nb::module_::import_("numpy").attr("random");
        random.attr("seed")(SEED);
        nb::object draws = random.attr("randint")(10, 91, 10000);
        init(qxargs::py_binop(PyNumber_TrueDivide, draws, nb::int_(100)), nb::int_(10),
             nb::float_(1.0));
    }
    PyTestSignal(nb::handle table_values, nb::handle ET_, nb::handle amp_) {
        init(table_values, ET_, amp_);
    }
    void init(nb::handle table_values, nb::handle ET_, nb::handle amp_) {
        table = Table::from(table_values);
        set_ET_obj(ET_);
        set_amp_obj(amp_);
    }

    void set_ET_obj(nb::handle v) {
        ET_obj = nb::borrow(v);
        ET_native = Py_TYPE(v.ptr()) == &PyLong_Type && small_int(v, ET);
    }
    // The previous amplitude is released last: its __del__ may call the block.
    void set_amp_obj(nb::handle v) {
        nb::object previous = std::move(amp_obj);
        if (Py_TYPE(v.ptr()) == &PyFloat_Type)
            amp = PyFloat_AS_DOUBLE(v.ptr());
        else
            amp_obj = nb::borrow(v);
    }
    nb::object amp_value() const {
        return amp_obj.is_valid() ? amp_obj : nb::steal(PyFloat_FromDouble(amp));
    }

    void set_ET(nb::handle v) { set_ET_obj(qxargs::py_unop(PyNumber_Long, v)); }
    void set_amplitude(nb::handle v) {
        double d;
        bool positive = Py_TYPE(v.ptr()) == &PyFloat_Type
                            ? (d = PyFloat_AS_DOUBLE(v.ptr())) > 0.0
                            : qxargs::py_compare(v, nb::float_(0.0), Py_GT);
        if (positive)
            set_amp_obj(v);
        else
            set_amp_obj(nb::float_(0.0));
    }

    nb::object level(bool high) const {
        if (!amp_obj.is_valid())
            return nb::steal(PyFloat_FromDouble(high ? amp : -amp));
        return high ? amp_obj : qxargs::py_unop(PyNumber_Negative, amp_obj);
    }

    nb::object call(nb::handle t) {
        long long tt;
        bool t_native;
        nb::object t_obj;
        if (t.is_none()) {
            using namespace std::chrono;
            tt = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
            t_native = true;
        } else {
            t_native = small_int(t, tt);
        }
        qxcore::TestSignalPoint p;
        if (t_native && ET_native && qxcore::testSignalAt(tt, ET, table.data, table.size, p)) {
            nb::object U = level(p.high);
            PyObject *r = PyTuple_New(6);
            if (!r)
                throw nb::python_error();
            PyTuple_SET_ITEM(r, 0, U.release().ptr());
            for (int i = 0; i < 5; ++i)
                PyTuple_SET_ITEM(r, i + 1, PyLong_FromLongLong(p.next[i]));
            return nb::steal(r);
        }
        return call_objects(t.is_none() ? py_int(tt) : nb::borrow(t));
    }

    // The same evaluation through Python's operators and NumPy's indexing.
    nb::object call_objects(nb::handle t) {
        using qxargs::py_binop;
        auto mul = [](long long k, nb::handle x) { return py_binop(PyNumber_Multiply, py_int(k), x); };
        nb::object P = mul(2, ET_obj);
        nb::object period_index = py_binop(PyNumber_FloorDivide, t, P);
        nb::object cycle = py_int(qxcore::kTestSignalCycle);
        nb::object sw[3];
        for (int i = 0; i < 3; ++i) {
            nb::object id = py_binop(PyNumber_Remainder,
                                     py_binop(PyNumber_Add, period_index, py_int(i)), cycle);
            nb::object r = py_binop([](PyObject *a, PyObject *k) { return PyObject_GetItem(a, k); },
                                    table.array, id);
            sw[i] = qxargs::py_unop(PyNumber_Long, py_binop(PyNumber_Multiply, P, r));
        }
        nb::object tp = py_binop(PyNumber_Remainder, t, P);
        auto sub = [](nb::handle a, nb::handle b) { return py_binop(PyNumber_Subtract, a, b); };
        auto add = [](nb::handle a, nb::handle b) { return py_binop(PyNumber_Add, a, b); };
        if (qxargs::py_compare(tp, sw[0], Py_LT)) {
            nb::object n2 = sub(P, tp), n4 = sub(mul(4, ET_obj), tp);
            return nb::make_tuple(level(true), sub(sw[0], tp), n2, add(n2, sw[1]), n4,
                                  add(n4, sw[2]));
        }
        nb::object n1 = sub(P, tp), n3 = sub(mul(4, ET_obj), tp);
        return nb::make_tuple(level(false), n1, add(n1, sw[1]), n3, add(n3, sw[2]),
                              sub(mul(6, ET_obj), tp));
    }
};

// The garbage collector must see the settings kept as passed: they may
// refer back to the generator. The table is a float array over our own
// buffer and refers to nothing.
int test_signal_visit(PyTestSignal &s, visitproc visit, void *arg) {
    Py_VISIT(s.table.array.ptr());
    Py_VISIT(s.ET_obj.ptr());
    Py_VISIT(s.amp_obj.ptr());
    return 0;
}

// Detaches the settings; the half period becomes None, so a call on a
// cleared generator raises TypeError instead of reading a dropped object.
void test_signal_clear(PyTestSignal &s) {
    nb::object et = std::move(s.ET_obj), amp = std::move(s.amp_obj);
    s.ET_obj = nb::none();
    s.ET_native = false;
}

} // namespace

NB_MODULE(qxTestSignal, m) {
    m.doc() = "Pseudo-random two-level test signal generator for plant tests.";

    nb::class_<PyTestSignal>(m, "TestSignal", nb::type_slots(qxgc::slots<PyTestSignal, test_signal_visit, test_signal_clear>),
        "Pseudo-random two-level test signal.\n\n"
        "Time is cut into periods of 2*ET seconds; in each period the signal is\n"
        "+amplitude until a switching instant drawn between 10 % and 90 % of the\n"
        "period and -amplitude afterwards. Construction seeds NumPy's global\n"
        "legacy generator with SEED and draws the table of switching fractions.")
        .def(nb::init<nb::handle>(), "SEED"_a.none() = nb::none())
        .def("get_ET", [](PyTestSignal &s) { return s.ET_obj; }, "Half period in seconds.")
        .def("set_ET", &PyTestSignal::set_ET, "ET"_a.none() = 10,
             "Set the half period to int(ET) seconds (truncated toward zero).")
        .def("get_amplitude", &PyTestSignal::amp_value, "The amplitude.")
        .def("set_amplitude", &PyTestSignal::set_amplitude, "amp"_a.none() = 1.0,
             "Set the amplitude to amp if amp > 0.0, else 0.0.")
        .def("__call__", &PyTestSignal::call, "t"_a.none() = nb::none(),
             "The signal at time t in whole seconds (None: the wall clock), as the\n"
             "tuple (U, next1, next2, next3, next4, next5): the level and the seconds\n"
             "to the next five switching instants.")
        .def_prop_rw(
            "_rand_arr", [](PyTestSignal &s) { return s.table.array; },
            [](PyTestSignal &s, nb::handle v) { s.table = Table::from(v); },
            "The switching fractions, one per period, used cyclically (a NumPy view\n"
            "of the generator's table; assigning copies the values in).")
        .def_prop_rw(
            "_ET", [](PyTestSignal &s) { return s.ET_obj; },
            [](PyTestSignal &s, nb::handle v) { s.set_ET_obj(v); }, "Half period in seconds.")
        .def_prop_rw("_amp", &PyTestSignal::amp_value,
                     [](PyTestSignal &s, nb::handle v) { s.set_amp_obj(v); }, "Amplitude.")
        .def("__getstate__",
             [](PyTestSignal &s) {
                 return nb::make_tuple(s.table.array.attr("copy")(), s.ET_obj, s.amp_value());
             })
        .def("__setstate__",
             [](PyTestSignal &s, nb::tuple st) {
                 if (st.size() != 3)
                     throw nb::value_error(
                         "TestSignal state must be a 3-tuple (_rand_arr, _ET, _amp)");
                 new (&s) PyTestSignal(st[0], st[1], st[2]);
             })
        .def("__repr__", [](PyTestSignal &s) {
            return nb::str("TestSignal(ET={!r}, amp={!r})").format(s.ET_obj, s.amp_value());
        });

    qxfast::enable_fast_call<PyTestSignal, &PyTestSignal::call_slot>(m.attr("TestSignal"));
    qxpickle::enable_reduce(m.attr("TestSignal"));
}

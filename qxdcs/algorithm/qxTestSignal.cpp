// Module qxTestSignal: the pseudo-random two-level test signal generator.
//
// The table of switching fractions is drawn at construction through NumPy's
// legacy global generator (numpy.random.seed, then numpy.random.randint), so
// a seed gives exactly NumPy's table and leaves the process-wide generator
// seeded. The table is an array of this object's own, shown to Python as a
// view (edits through it take effect; the view cannot be resized); the
// per-call evaluation (qxdcs/test_signal.hpp) is native. Settings are kept as
// passed; a time or setting that is not an ordinary integer is worked through
// Python's own operators and NumPy's indexing, so it behaves and fails as
// they do.
#include <nanobind/nanobind.h>

#include <chrono>
#include <tuple>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/kept.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/test_signal.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

nb::object py_int(long long v) { return nb::steal(PyLong_FromLongLong(v)); }

// The switching fractions: a one-dimensional float64 array whose memory is
// the block's own (FloatArray::native), so that no caller can resize it under
// the native path; callers see that array itself.
struct Table {
    qxb::FloatArray values;
    nb::object shown;

    // A copy of any sequence of reals (a single number is a table of one).
    static Table from(nb::handle seq) {
        qxb::FloatArray src = qxb::FloatArray::read(seq);
        if (src.ndim() > 1)
            throw nb::value_error("_rand_arr must be one-dimensional");
        Table t;
        t.values = qxb::FloatArray::native_of(src.data(), src.size());
        t.shown = t.values.object();
        return t;
    }

    const double *data() const { return values.data(); }
    std::size_t size() const { return values.size(); }

    // The block's own arrays refer to nothing: visited, never cleared.
    int visit(visitproc visit, void *arg) const {
        Py_VISIT(values.object().ptr());
        Py_VISIT(shown.ptr());
        return 0;
    }
    void clear(qxb::ReleaseLast &) {}
};

// The half period as stored, and its value when it is an exact int of
// ordinary size (the native path's condition).
struct HalfPeriod {
    qxb::Kept obj;
    long long value = 0;
    bool native = false;

    void set(nb::handle v) {
        long long t = 0;
        const bool n = Py_TYPE(v.ptr()) == &PyLong_Type && qxb::small_int(v, t);
        value = t;
        native = n;
        obj.replace(v);
    }

    int visit(visitproc visit, void *arg) const { return obj.visit(visit, arg); }
    // Cleared to None: a call then fails in Python's arithmetic.
    void clear(qxb::ReleaseLast &later) {
        native = false;
        obj.clear(later);
    }
};

struct TestSignal {
    qxb::CallSlot<TestSignal> call_slot;  // direct calls (bind/fastcall.hpp)
    Table table;
    HalfPeriod ET;
    qxb::KeptNumber amp;  // amplitude as stored (an exact float by value)

    static constexpr auto kept_members() {
        return std::make_tuple(&TestSignal::table, &TestSignal::ET, &TestSignal::amp);
    }

    static TestSignal make(nb::handle SEED) {
        nb::object random = qxb::numpy().attr("random");
        random.attr("seed")(SEED);
        nb::object draws = random.attr("randint")(10, 91, qxdcs::kTestSignalCycle);
        TestSignal s;
        s.table = Table::from(qxb::py_binop(PyNumber_TrueDivide, draws, nb::int_(100)));
        s.ET.set(nb::int_(10));
        s.amp.set_float(1.0);
        return s;
    }

    void set_ET(nb::handle v) { ET.set(qxb::py_unop(PyNumber_Long, v)); }

    void set_amplitude(nb::handle v) {
        const bool positive = Py_TYPE(v.ptr()) == &PyFloat_Type
                                  ? PyFloat_AS_DOUBLE(v.ptr()) > 0.0
                                  : qxb::py_compare(v, nb::float_(0.0), Py_GT);
        if (positive)
            amp.set(v);
        else
            amp.set_float(0.0);
    }

    // +amp or -amp; a stored object is negated by Python's own operator,
    // on a reference of our own.
    nb::object level(bool high) const {
        if (amp.is_float())
            return nb::steal(PyFloat_FromDouble(high ? amp.value() : -amp.value()));
        nb::object a = amp.object();
        return high ? a : qxb::py_unop(PyNumber_Negative, a);
    }

    nb::object call(nb::handle t) {
        long long tt;
        bool t_native;
        if (t.is_none()) {
            using namespace std::chrono;
            tt = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
            t_native = true;
        } else {
            t_native = qxb::small_int(t, tt);
        }
        qxdcs::TestSignalPoint p;
        if (t_native && ET.native &&
            qxdcs::test_signal_at(tt, ET.value, table.data(), table.size(), p)) {
            nb::object U = level(p.high);
            nb::object r = nb::steal(PyTuple_New(6));
            if (!r.is_valid())
                throw nb::python_error();
            PyTuple_SET_ITEM(r.ptr(), 0, U.release().ptr());
            for (int i = 0; i < 5; ++i) {
                PyObject *n = PyLong_FromLongLong(p.next[i]);
                if (!n)
                    throw nb::python_error();
                PyTuple_SET_ITEM(r.ptr(), i + 1, n);
            }
            return r;
        }
        return call_objects(t.is_none() ? py_int(tt) : nb::borrow(t));
    }

    // The same evaluation through Python's operators and NumPy's indexing.
    // The half period and the table are read where each is used, as a
    // reference of our own that lasts for the operation: the time's
    // arithmetic (its __index__ while the table is indexed, say) may replace
    // them through the block's attributes. Kept out of line, so that the
    // native path stays small.
    NB_NOINLINE nb::object call_objects(nb::handle t) {
        using qxb::py_binop;
        auto mul = [this](long long k) {
            return py_binop(PyNumber_Multiply, py_int(k), ET.obj.hold());
        };
        auto sub = [](nb::handle a, nb::handle b) { return py_binop(PyNumber_Subtract, a, b); };
        auto add = [](nb::handle a, nb::handle b) { return py_binop(PyNumber_Add, a, b); };
        auto item = [](PyObject *a, PyObject *k) { return PyObject_GetItem(a, k); };
        nb::object P = mul(2);
        nb::object period_index = py_binop(PyNumber_FloorDivide, t, P);
        nb::object cycle = py_int(qxdcs::kTestSignalCycle);
        nb::object sw[3];
        for (int i = 0; i < 3; ++i) {
            nb::object id = py_binop(PyNumber_Remainder, add(period_index, py_int(i)), cycle);
            nb::object r = py_binop(item, nb::object(table.shown), id);
            sw[i] = qxb::py_unop(PyNumber_Long, py_binop(PyNumber_Multiply, P, r));
        }
        nb::object tp = py_binop(PyNumber_Remainder, t, P);
        if (qxb::py_compare(tp, sw[0], Py_LT)) {
            nb::object n2 = sub(P, tp), n4 = sub(mul(4), tp);
            return nb::make_tuple(level(true), sub(sw[0], tp), n2, add(n2, sw[1]), n4,
                                  add(n4, sw[2]));
        }
        nb::object n1 = sub(P, tp), n3 = sub(mul(4), tp);
        return nb::make_tuple(level(false), n1, add(n1, sw[1]), n3, add(n3, sw[2]),
                              sub(mul(6), tp));
    }

    nb::dict state() const {
        nb::dict s;
        s["_rand_arr"] = table.values.object().attr("copy")();
        s["_ET"] = ET.obj.get();
        s["_amp"] = amp.object();
        return s;
    }

    // Each value is taken as its attribute takes it: the table copied as a
    // one-dimensional float array, the half period and amplitude as passed.
    static TestSignal from_state(nb::handle saved) {
        nb::object s = qxb::state_dict(saved, {"_rand_arr", "_ET", "_amp"});
        TestSignal g;
        g.table = Table::from(qxb::state_item(s, "_rand_arr"));
        g.ET.set(qxb::state_item(s, "_ET"));
        g.amp.set(qxb::state_item(s, "_amp"));
        return g;
    }
};

} // namespace

NB_MODULE(qxTestSignal, m) {
    m.doc() = "Pseudo-random two-level test signal generator for plant tests.";

    auto cls = qxb::block_class<TestSignal>(m, "TestSignal",
        "Pseudo-random two-level test signal.\n\n"
        "Time is cut into periods of 2*ET seconds; in each period the signal is\n"
        "+amplitude until a switching instant drawn between 10 % and 90 % of the\n"
        "period and -amplitude afterwards. Construction seeds NumPy's global\n"
        "legacy generator with SEED and draws the table of switching fractions.");
    cls.def("__init__",
            [](TestSignal *self, nb::handle SEED) {
                new (self) TestSignal(TestSignal::make(SEED));
            },
            "SEED"_a.none() = nb::none())
        .def("get_ET", [](TestSignal &s) { return s.ET.obj.get(); }, "Half period in seconds.")
        .def("set_ET", &TestSignal::set_ET, "ET"_a.none() = 10,
             "Set the half period to int(ET) seconds (truncated toward zero).")
        .def("get_amplitude", [](TestSignal &s) { return s.amp.object(); }, "The amplitude.")
        .def("set_amplitude", &TestSignal::set_amplitude, "amp"_a.none() = 1.0,
             "Set the amplitude to amp if amp > 0.0, else 0.0.")
        .def("__call__", &TestSignal::call, "t"_a.none() = nb::none(),
             "The signal at time t in whole seconds (None: the wall clock), as the\n"
             "tuple (U, next1, next2, next3, next4, next5): the level and the seconds\n"
             "to the next five switching instants.")
        .def_prop_rw(
            "_rand_arr", [](TestSignal &s) { return s.table.shown; },
            [](TestSignal &s, nb::handle v) { s.table = Table::from(v); },
            "The switching fractions, one per period, used cyclically (a NumPy view\n"
            "of the generator's table; assigning copies the values in).")
        .def_prop_rw(
            "_ET", [](TestSignal &s) { return s.ET.obj.get(); },
            [](TestSignal &s, nb::handle v) { s.ET.set(v); }, "Half period in seconds.")
        .def_prop_rw(
            "_amp", [](TestSignal &s) { return s.amp.object(); },
            [](TestSignal &s, nb::handle v) { s.amp.set(v); }, "Amplitude.")
        .def("__repr__", [](TestSignal &s) {
            return nb::str("TestSignal(ET={!r}, amp={!r})").format(s.ET.obj.get(), s.amp.object());
        });
    qxb::def_state(cls, &TestSignal::state, &TestSignal::from_state);
    qxb::finish_block(cls);
}

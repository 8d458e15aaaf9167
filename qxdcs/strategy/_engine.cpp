// Module qxdcs.strategy._engine: the native engine of strategy runs, a thin
// adapter of qxdcs::Strategy (include/qxdcs/strategy.hpp).
//
// The Python side (qxdcs/strategy/native.py) compiles a checked plan into
// plain data: a dict of numbers, lists, tuples and strings, every
// coefficient and random number resolved; this unit turns that data into a
// qxdcs::strategy::Plan, builds the Strategy and runs it chunk by chunk into
// the caller's trace array with the interpreter's lock released (the run
// calls no Python: printed lines are collected here and handed over as
// text). The blocks' errors become the interpreter's exceptions of the same
// kind and message.
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "qxdcs/strategy.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace qs = qxdcs::strategy;

namespace {

// --- reading the compiled plan -------------------------------------------------------------------

using Vec1 = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

nb::handle item(nb::handle d, const char *key) {
    PyObject *v = PyDict_GetItemString(d.ptr(), key);  // borrowed
    if (!v)
        throw nb::key_error(key);
    return v;
}
double num(nb::handle d, const char *key) { return nb::cast<double>(item(d, key)); }
long long whole(nb::handle d, const char *key) { return nb::cast<long long>(item(d, key)); }
std::string text(nb::handle d, const char *key) { return nb::cast<std::string>(item(d, key)); }
std::optional<double> maybe(nb::handle d, const char *key) {
    nb::handle v = item(d, key);
    if (v.is_none())
        return std::nullopt;
    return nb::cast<double>(v);
}

std::vector<double> floats(nb::handle seq) {
    Vec1 a;
    if (nb::try_cast<Vec1>(seq, a, false))
        return std::vector<double>(a.data(), a.data() + a.shape(0));
    std::vector<double> out;
    for (nb::handle x : seq)
        out.push_back(nb::cast<double>(x));
    return out;
}
std::vector<double> floats(nb::handle d, const char *key) { return floats(item(d, key)); }

qs::TimedValues timed(nb::handle d, const char *key) {
    qs::TimedValues out;
    for (nb::handle p : item(d, key))
        out.emplace_back(nb::cast<double>(p[0]), nb::cast<double>(p[1]));
    return out;
}

std::vector<std::size_t> slots(nb::handle seq) {
    std::vector<std::size_t> out;
    for (nb::handle x : seq)
        out.push_back(nb::cast<std::size_t>(x));
    return out;
}

qs::Pair pair(nb::handle p) {
    if (p.is_none())
        return qs::Pair::no_model();
    return qs::Pair::filter(floats(p[0]), floats(p[1]));
}
std::vector<qs::Pair> pairs(nb::handle seq) {
    std::vector<qs::Pair> out;
    for (nb::handle p : seq)
        out.push_back(pair(p));
    return out;
}

qs::Params params(const std::string &kind, nb::handle p) {
    if (kind == "constant")
        return qs::Constant{num(p, "value")};
    if (kind == "steps")
        return qs::Steps{num(p, "initial"), timed(p, "at")};
    if (kind == "ramp")
        return qs::Ramp{timed(p, "points")};
    if (kind == "lab_time")
        return qs::LabTime{whole(p, "every"), whole(p, "delay")};
    if (kind == "noise")
        return qs::Noise{floats(p, "values")};
    if (kind == "filtered_noise")
        return qs::FilteredNoise{floats(p, "noise"), floats(p, "bz"), floats(p, "az"),
                                 num(p, "offset")};
    if (kind == "test_signal")
        return qs::TestSignal{floats(p, "table"), whole(p, "half_period_s"), num(p, "amplitude"),
                              num(p, "offset")};
    if (kind == "sum")
        return qs::Sum{floats(p, "gains"), num(p, "bias")};
    if (kind == "lead_lag")
        return qs::LeadLag{floats(p, "b"),      floats(p, "a"),      floats(p, "zi"),
                           num(p, "u_last"),    num(p, "y_last"),    num(p, "gain"),
                           num(p, "offset")};
    if (kind == "transfer_function")
        return qs::TransferFunction{floats(p, "bz"), floats(p, "az"), num(p, "u_ini"),
                                    num(p, "y_ini"), num(p, "gain")};
    if (kind == "rate_limit")
        return qs::RateLimit{num(p, "u_ini"), num(p, "rise_per_min"), num(p, "fall_per_min")};
    if (kind == "delay")
        return qs::Delay{whole(p, "samples")};
    if (kind == "model")
        return qs::Model{pairs(item(p, "pairs")), floats(p, "u_ini"), num(p, "y_ini")};
    if (kind == "pid") {
        qs::Pid pid{num(p, "KP"),      num(p, "TI"),     num(p, "TD"), num(p, "N"),
                    num(p, "op_high"), num(p, "op_low"), int(whole(p, "mode")), {}};
        for (nb::handle c : item(p, "mode_changes"))
            pid.mode_changes.emplace_back(nb::cast<double>(c[0]), nb::cast<int>(c[1]));
        return pid;
    }
    if (kind == "alarm")
        return qs::Alarm{text(p, "timer") == "on_delay", whole(p, "samples"), maybe(p, "band"),
                         maybe(p, "above"), maybe(p, "below")};
    if (kind == "lab_value")
        return qs::LabValue{whole(p, "every"), whole(p, "delay"), num(p, "initial"),
                            floats(p, "noise")};
    if (kind == "bias_update")
        return qs::BiasUpdate{text(p, "name"),
                              num(p, "filter_tao"),
                              floats(p, "filter_bz"),
                              floats(p, "filter_az"),
                              num(p, "abs_threshold"),
                              nb::cast<std::size_t>(item(p, "prd_len")),
                              nb::cast<std::size_t>(item(p, "const_len"))};
    if (kind == "lab_recorder")
        return qs::LabRecorder{text(p, "name"), num(p, "abs_threshold"),
                               nb::cast<std::size_t>(item(p, "const_len"))};
    throw nb::value_error(("the native engine has no block of kind '" + kind + "'").c_str());
}

// (kind, key, inputs, output, params)
std::vector<qs::Step> steps(nb::handle seq) {
    std::vector<qs::Step> out;
    for (nb::handle s : seq) {
        qs::Step st;
        const std::string kind = nb::cast<std::string>(s[0]);
        st.key = nb::cast<std::string>(s[1]);
        st.inputs = slots(s[2]);
        st.output = nb::cast<std::size_t>(s[3]);
        st.params = params(kind, s[4]);
        out.push_back(std::move(st));
    }
    return out;
}

std::vector<std::pair<std::string, std::size_t>> tag_slots(nb::handle seq) {
    std::vector<std::pair<std::string, std::size_t>> out;
    for (nb::handle x : seq)
        out.emplace_back(nb::cast<std::string>(x[0]), nb::cast<std::size_t>(x[1]));
    return out;
}

std::vector<std::string> strings(nb::handle seq) {
    std::vector<std::string> out;
    for (nb::handle x : seq)
        out.push_back(nb::cast<std::string>(x));
    return out;
}

qs::Plan plan_of(nb::handle d) {
    qs::Plan p;
    p.source = text(d, "source");
    p.sample_period = num(d, "sample_period");
    p.samples = nb::cast<std::size_t>(item(d, "samples"));
    p.start = num(d, "start");
    p.signals = strings(item(d, "signals"));
    p.initial = floats(d, "initial");
    p.schedules = steps(item(d, "schedules"));
    p.steps = steps(item(d, "steps"));
    p.after = steps(item(d, "after"));
    nb::handle pl = item(d, "plant");
    p.plant.lpv = nb::cast<bool>(item(pl, "lpv"));
    for (nb::handle lp : item(pl, "locals")) {
        qs::LocalPlant l;
        l.working_point = num(lp, "working_point");
        l.cvs = strings(item(lp, "cvs"));
        l.mvs = strings(item(lp, "mvs"));
        l.pairs = pairs(item(lp, "pairs"));
        l.u_ini = floats(lp, "u_ini");
        l.y_ini = floats(lp, "y_ini");
        p.plant.locals.push_back(std::move(l));
    }
    for (nb::handle x : item(pl, "initial"))
        p.plant.initial.emplace_back(nb::cast<std::string>(x[0]), nb::cast<double>(x[1]));
    p.plant.mv = tag_slots(item(pl, "mv"));
    p.plant.cv = tag_slots(item(pl, "cv"));
    p.plant.disturbance = tag_slots(item(pl, "disturbance"));
    nb::handle wv = item(pl, "working_value");
    if (!wv.is_none())
        p.plant.working_value = nb::cast<std::size_t>(wv);
    return p;
}

// --- the engine ------------------------------------------------------------------------------------

using Rows = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The caller's own array, never a converted copy (the rows must land in it).
Rows rows_cast(nb::handle traces) {
    Rows r;
    if (!nb::try_cast<Rows>(traces, r, false))
        throw nb::type_error("the traces must be a writable float64 array in C order, one row "
                             "per sample and one column per signal");
    return r;
}

struct Engine {
    qxdcs::Strategy strategy;
    std::string printed;

    Engine(qs::Plan plan, std::optional<std::string> lab_dir)
        : strategy(std::move(plan), std::move(lab_dir)) {
        printed.reserve(1 << 16);
        strategy.set_sink([this](std::string_view line) {
            printed.append(line.data(), line.size());
            printed.push_back('\n');
        });
    }

    double *rows_of(nb::handle traces) {
        if (traces.is_none())
            return nullptr;
        Rows r = rows_cast(traces);
        if (r.shape(0) < strategy.samples() || r.shape(1) != strategy.n_signals())
            throw nb::value_error("the trace array must hold one row per sample and one column "
                                  "per signal");
        return r.data();
    }

    std::size_t run_to(std::size_t k_end, nb::handle traces) {
        double *rows = rows_of(traces);
        if (rows)
            rows += strategy.k() * strategy.n_signals();
        nb::gil_scoped_release unlocked;
        return strategy.run_to(k_end, rows);
    }
};

void translate(const std::exception_ptr &p, void *) {
    try {
        std::rethrow_exception(p);
    } catch (const qxdcs::OSError &e) {
        nb::object err = nb::handle(PyExc_OSError)(e.code().value(),
                                                    std::strerror(e.code().value()), e.what());
        PyErr_SetObject(PyExc_OSError, err.ptr());
    } catch (const qxdcs::Error &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.kind()) {
        case qxdcs::ErrorKind::Value: type = PyExc_ValueError; break;
        case qxdcs::ErrorKind::Type: type = PyExc_TypeError; break;
        case qxdcs::ErrorKind::Key: type = PyExc_KeyError; break;
        case qxdcs::ErrorKind::Index: type = PyExc_IndexError; break;
        case qxdcs::ErrorKind::ZeroDivision: type = PyExc_ZeroDivisionError; break;
        case qxdcs::ErrorKind::Overflow: type = PyExc_OverflowError; break;
        case qxdcs::ErrorKind::Assertion: type = PyExc_AssertionError; break;
        case qxdcs::ErrorKind::OS: type = PyExc_OSError; break;
        }
        const auto *std_error = dynamic_cast<const std::exception *>(&e);
        std::string message = std_error ? std_error->what() : "";
        if (e.kind() == qxdcs::ErrorKind::Key && message.size() >= 2 && message.front() == '\'' &&
            message.back() == '\'')
            message = message.substr(1, message.size() - 2);  // KeyError(key) shows its quotes
        PyErr_SetString(type, message.c_str());
    }
}

}  // namespace

NB_MODULE(_engine, m) {
    m.doc() = "The native engine of strategy runs (qxdcs::Strategy); used by "
              "qxdcs.strategy.native, which compiles plans for it.";
    nb::register_exception_translator(translate);

    nb::class_<Engine>(m, "Strategy",
                       "A compiled plan's blocks, ready to run (qxdcs::Strategy).")
        .def("__init__",
             [](Engine *self, nb::dict plan, std::optional<std::string> lab_dir) {
                 qs::Plan p = plan_of(plan);
                 new (self) Engine(std::move(p), std::move(lab_dir));
             },
             "plan"_a, "lab_dir"_a.none() = nb::none(),
             "Build the blocks of a compiled plan (qxdcs.strategy.native); lab_dir: where "
             "laboratory recorders write (None: they do not run).")
        .def("run_to", &Engine::run_to, "k_end"_a, "traces"_a.none(),
             "Run up to (not including) sample k_end, writing each sample's row into the trace "
             "array (samples x signals, float64, C order; None: not recorded). Returns the "
             "samples completed; a block's error is raised after `failure` is set.")
        .def_prop_ro("k", [](const Engine &e) { return e.strategy.k(); },
                     "The next sample to run.")
        .def_prop_ro("samples", [](const Engine &e) { return e.strategy.samples(); },
                     "The samples of the plan.")
        .def_prop_ro("n_signals", [](const Engine &e) { return e.strategy.n_signals(); },
                     "The signal slots of the plan.")
        .def_prop_ro("values",
                     [](const Engine &e) {
                         nb::list out;
                         for (double x : e.strategy.values())
                             out.append(x);
                         return out;
                     },
                     "The slots now, as a list.")
        .def_prop_rw("stop_at_non_finite",
                     [](const Engine &e) { return e.strategy.stop_at_non_finite; },
                     [](Engine &e, bool on) { e.strategy.stop_at_non_finite = on; },
                     "Stop the run at the first value that is not a finite number.")
        .def_prop_ro("non_finite",
                     [](const Engine &e) -> nb::object {
                         const auto &nf = e.strategy.non_finite();
                         if (!nf)
                             return nb::none();
                         return nb::make_tuple(nf->sample, nf->slot, nf->block, nf->value);
                     },
                     "(sample, slot, block, value) of the first value that was not a finite "
                     "number, or None.")
        .def_prop_ro("failure",
                     [](const Engine &e) -> nb::object {
                         const auto &f = e.strategy.failure();
                         if (!f)
                             return nb::none();
                         return nb::make_tuple(f->sample, f->block);
                     },
                     "(sample, block) where a block's error was raised, or None.")
        .def("take_printed",
             [](Engine &e) {
                 std::string out;
                 out.swap(e.printed);
                 e.printed.reserve(1 << 16);
                 return out;
             },
             "The lines the blocks printed since the last call, as one text.")
        .def("set_write_files",
             [](Engine &e, bool on) { e.strategy.set_write_files(on); }, "on"_a,
             "Whether laboratory recorders write their files.")
        .def("lab_arrivals",
             [](const Engine &e) {
                 nb::list out;
                 for (const qs::LabArrivals &a : e.strategy.lab_arrivals()) {
                     nb::list got;
                     for (const auto &[k, v] : a.arrived)
                         got.append(nb::make_tuple(k, v));
                     out.append(nb::make_tuple(a.slot, got));
                 }
                 return out;
             },
             "[(slot, [(sample drawn, value), ...])] per laboratory-value step.")
        .def_prop_ro("n_blocks", [](const Engine &e) { return e.strategy.n_blocks(); },
                     "Schedules, steps and after steps of the plan, and the plant.")
        .def("block_key", [](const Engine &e, std::size_t i) { return e.strategy.block_key(i); },
             "index"_a, "The key of block `index` (\"plant\" for the last).")
        .def("block_cost_ns",
             [](const Engine &e, std::size_t index, nb::handle traces, int repeats) {
                 Rows r = rows_cast(traces);
                 if (r.shape(0) < e.strategy.samples() || r.shape(1) != e.strategy.n_signals())
                     throw nb::value_error("the traces of a complete run are needed");
                 const double *rows = r.data();
                 nb::gil_scoped_release unlocked;
                 return e.strategy.block_cost_ns(index, rows, repeats);
             },
             "index"_a, "traces"_a, "repeats"_a = 3,
             "Nanoseconds a sample of block `index` (schedules, steps, after steps, then the "
             "plant) takes alone, fed its inputs from a complete run's traces (benchmarks).");
}

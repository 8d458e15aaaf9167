// Module qxSoftSensor: bias correction of a soft sensor from laboratory
// results (SoftSensorBiasUpdate) and the recorder that appends new
// laboratory results to a CSV file (LabDataRecorder).
//
// The histories, the lookup of the prediction valid at a laboratory time,
// the trigger rules and the bias update are in qxdcs/soft_sensor.hpp; the
// CSV texts, the clock and the appending write in qxdcs/lab_csv.hpp. This
// unit converts arguments, raises the errors, prints the messages through
// Python's print, keeps the bias filter and shows the state as attributes.
//
// The bias filter `_fil` is an sFilter of qxdcs.algorithm.qxFilter, built by
// calling that class at construction and run natively on every call
// (qxFilter.hpp). The caller may put any other object (or None) into `_fil`;
// it is then called through Python.
//
// Attributes. The histories are held natively as ring buffers, so that
// run() appends and looks up without touching Python objects. Reading
// `_prd_data_list`, `_prd_time_list` or `_lab_data_list` gives a new
// collections.deque of floats, oldest first, with the maxlen of the history:
// a snapshot of the block's state at that moment, which the block does not
// change afterwards and whose changes do not reach the block. The histories
// themselves change only through run() (and restoring a pickled state):
// their entries belong together in pairs and in time order, so they are not
// assignable. Tuning values and the bias filter are assignable (`_bias`,
// `_abs_threshold`, `_fil`); what a run or an update reports is read-only.
#include <nanobind/nanobind.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fastcall.hpp"
#include "bind/kept.hpp"
#include "qxdcs/lab_csv.hpp"
#include "qxdcs/soft_sensor.hpp"
#include "qxFilter.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kBiasDoc = "软测量的偏差校正。\n"
                             "计算预测值（prd_data）与化验值（lab_data）的偏差。";

const char *const kRecorderDoc =
    "Appends each new laboratory result, with its sampling time, to the CSV file\n"
    "<csv_dir>/<name>_Raw_LabData.csv once it has stayed unchanged for const_len\n"
    "further calls (header line \"ExportTime,LabTime,LabData\", local times).";

// Objects looked up once, kept for the life of the process.
PyObject *g_deque = nullptr;        // collections.deque
PyObject *g_path = nullptr;         // pathlib.Path
PyObject *g_sfilter = nullptr;      // qxdcs.algorithm.qxFilter.sFilter
PyTypeObject *g_bias_type = nullptr;
PyTypeObject *g_recorder_type = nullptr;

// --- errors -------------------------------------------------------------------------------------

// "<name><literal>" as ValueError; the literal starts with a blank.
[[noreturn]] void raise_not_finite(const nb::object &name, const char *literal) {
    PyErr_Format(PyExc_ValueError, "%U%s", name.ptr(), literal);
    throw nb::python_error();
}

// "<name><literal>", a line to print.
nb::object line_with_name(const nb::object &name, const char *literal) {
    nb::object line = nb::steal(PyUnicode_FromFormat("%U%s", name.ptr(), literal));
    if (!line.is_valid())
        throw nb::python_error();
    return line;
}

// --- lengths and windows ------------------------------------------------------------------------

// The capacity `len` + `extra` of a history whose length parameter is
// `len`, as the maxlen of a deque: a negative length is refused.
std::size_t history_capacity(long long len, long long extra, const char *name) {
    if (len < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative (got %lld)", name, len);
        throw nb::python_error();
    }
    if (len > PY_SSIZE_T_MAX - extra) {
        PyErr_Format(PyExc_OverflowError, "%s is too large (%lld)", name, len);
        throw nb::python_error();
    }
    return std::size_t(len + extra);
}

// A new collections.deque of the ring's values, oldest first.
nb::object deque_of(const qxdcs::Ring &r) {
    const std::size_t n = r.size();
    nb::object items = nb::steal(PyList_New(Py_ssize_t(n)));
    if (!items.is_valid())
        throw nb::python_error();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *f = PyFloat_FromDouble(r[i]);
        if (!f)
            throw nb::python_error();
        PyList_SET_ITEM(items.ptr(), Py_ssize_t(i), f);
    }
    return nb::handle(g_deque)(items, "maxlen"_a = r.capacity());
}

// A history as stored in a state: a collections.deque with a maxlen, of
// finite real numbers.
struct StoredHistory {
    std::vector<double> values;
    std::size_t maxlen = 0;
};

StoredHistory read_history(nb::handle state, const char *key, std::size_t min_maxlen) {
    nb::object d = qxb::state_item(state, key);
    if (Py_TYPE(d.ptr()) != reinterpret_cast<PyTypeObject *>(g_deque)) {
        PyErr_Format(PyExc_TypeError, "%s must be a collections.deque, not %.200s", key,
                     Py_TYPE(d.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object maxlen = d.attr("maxlen");
    long long m = maxlen.is_none() ? -1 : qxb::exact_int(maxlen, "maxlen");
    if (m < (long long) min_maxlen) {
        PyErr_Format(PyExc_ValueError, "%s must have a maxlen of at least %zu", key, min_maxlen);
        throw nb::python_error();
    }
    StoredHistory h;
    h.maxlen = std::size_t(m);
    // A list of the items first: reading them may run code that changes the deque.
    nb::object items = nb::steal(PySequence_List(d.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    h.values.reserve(std::size_t(PyList_GET_SIZE(items.ptr())));
    for (nb::handle v : items) {
        double x = qxb::to_double(v);
        if (!std::isfinite(x)) {
            PyErr_Format(PyExc_ValueError, "%s must hold finite numbers", key);
            throw nb::python_error();
        }
        h.values.push_back(x);
    }
    // After the first call a history is always full; before it, empty.
    if (!h.values.empty() && h.values.size() != h.maxlen) {
        PyErr_Format(PyExc_ValueError, "%s must be empty or full (%zu of %zu entries)", key,
                     h.values.size(), h.maxlen);
        throw nb::python_error();
    }
    return h;
}

qxdcs::ChangeWindow window_of(const StoredHistory &h) {
    qxdcs::ChangeWindow w(h.maxlen);
    for (double v : h.values)
        w.push(v);
    return w;
}

// Whether a Python subclass replaces the method `name` of the block class.
bool overrides(nb::handle self, PyTypeObject *base, const char *name) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (tp == base)
        return false;
    nb::object mine = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(tp)), name);
    nb::object theirs = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(base)), name);
    return !mine.is(theirs);
}

// --- SoftSensorBiasUpdate -----------------------------------------------------------------------

struct BiasBlock {
    nb::object name;             // _name, a str
    qxdcs::SoftSensorCore core;
    qxb::Kept fil;               // _fil: the bias filter, or what the caller put there
    nb::object first_line, repeated_line;  // the printed lines, made once with the name

    static constexpr auto kept_members() {
        return std::make_tuple(&BiasBlock::name, &BiasBlock::fil, &BiasBlock::first_line,
                               &BiasBlock::repeated_line);
    }

    void set_name(nb::str nm) {
        first_line = line_with_name(nm, ": Bias Update is triggered by the first data.");
        repeated_line =
            line_with_name(nm, ": Bias Update is not triggered, lab_data or lab_time is unchanged.");
        name = std::move(nm);
    }

    static BiasBlock make(nb::handle name, nb::handle filter_tao, nb::handle abs_threshold,
                          nb::handle prd_len, nb::handle const_len) {
        nb::str nm = qxb::exact_str(name, "name");
        const double tao = qxb::to_double(filter_tao);
        const double thr = qxb::to_double(abs_threshold);
        const long long plen = qxb::exact_int(prd_len, "prd_len");
        const long long clen = qxb::exact_int(const_len, "const_len");
        const std::size_t prd_cap = history_capacity(plen, 1, "prd_len");
        const std::size_t lab_cap = history_capacity(clen, 2, "const_len");
        BiasBlock b;
        b.set_name(std::move(nm));
        b.core = qxdcs::SoftSensorCore(prd_cap, lab_cap);
        b.core.state.abs_threshold = thr;
        if (tao > 0.0) {
            // 1/(tao s + 1) at the default sample period, operating point
            // fixed at zero: the output starts at 0 and follows the bias.
            nb::list num, den;
            num.append(1);
            den.append(tao);
            den.append(1);
            b.fil = qxb::Kept(nb::handle(g_sfilter)(num, den, "u_ini"_a = 0.0, "y_ini"_a = 0.0));
        } else {
            b.fil = qxb::Kept(nb::none());
        }
        return b;
    }

    // One update attempt, natively; prints the line for a repeated result.
    void update_bias(double lab_data, double lab_time) {
        if (core.state.update(core.prd, lab_data, lab_time) == qxdcs::BiasUpdate::Repeated)
            qxb::py_print(nb::object(repeated_line));
    }

    // The update attempt of run(): a subclass's own _update_bias is called
    // where the block would call it.
    void trigger_update(nb::handle self, double lab_data, double lab_time) {
        if (NB_UNLIKELY(overrides(self, g_bias_type, "_update_bias")))
            self.attr("_update_bias")(lab_data, lab_time);
        else
            update_bias(lab_data, lab_time);
    }

    // The returned value: the bias through the filter, one step per call.
    // An sFilter whose __call__ is its own is run natively; anything else
    // the caller put into _fil is called through Python.
    nb::object filtered_bias() {
        nb::object f = fil.hold();  // ours for the call, whatever the caller does to _fil
        const double bias = core.state.bias;
        if (f.is_none())
            return nb::float_(bias);
        PyTypeObject *tp = Py_TYPE(f.ptr());
        if ((tp == reinterpret_cast<PyTypeObject *>(g_sfilter) ||
             PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(g_sfilter))) &&
            tp->tp_call == PyVectorcall_Call && nb::inst_ready(f))
            return nb::float_(qxfilter::sfilter_of(f).call(bias, 0.0));
        return f(bias);
    }

    nb::object run(nb::handle self, double prd_data, double lab_data, double lab_time,
                   std::optional<double> prd_time, std::optional<double> update_trigger) {
        if (!std::isfinite(prd_data))
            raise_not_finite(name, " Bias Update: prd_data is not finite!");
        if (!std::isfinite(lab_data))
            raise_not_finite(name, " Bias Update: lab_data is not finite!");
        if (!std::isfinite(lab_time))
            raise_not_finite(name, " Bias Update: lab_time is not finite!");
        if (prd_time && !std::isfinite(*prd_time))
            raise_not_finite(name, " Bias Update: prd_time is not finite!");
        if (update_trigger && !std::isfinite(*update_trigger))
            raise_not_finite(name, " Bias Update: update_trigger is not finite!");
        const double t = prd_time ? *prd_time : qxdcs::wall_clock_seconds();

        // The sample is stored before any trigger is looked at; the printed
        // lines come after the state they report.
        if (core.store(prd_data, lab_data, t)) {
            trigger_update(self, lab_data, lab_time);
            qxb::py_print(nb::object(first_line));
        } else if (update_trigger) {
            if (*update_trigger > 0.5)
                trigger_update(self, lab_data, lab_time);
        } else if (core.new_lab_value()) {
            trigger_update(self, lab_data, lab_time);
        }
        return filtered_bias();
    }

    // --- state ----------------------------------------------------------------------------------

    nb::dict state() const {
        nb::dict s;
        s["_name"] = name;
        s["_prd_data_list"] = deque_of(core.prd.data());
        s["_prd_time_list"] = deque_of(core.prd.times());
        s["_lab_data_list"] = deque_of(core.lab.values());
        s["_bias"] = core.state.bias;
        s["_fil"] = fil.get();
        s["_abs_threshold"] = core.state.abs_threshold;
        s["_update_flag"] = nb::bool_(core.state.update_flag);
        s["_current_lab_data"] = core.state.current_lab_data;
        s["_current_lab_time"] = core.state.current_lab_time;
        s["_prd_data_at_labtime"] = core.state.prd_at_labtime;
        return s;
    }

    // Everything a constructed block holds: a str name, histories with a
    // maxlen of prd_len + 1 (two equal ones) and const_len + 2, each empty
    // or full, both empty or both full, of finite values.
    static BiasBlock from_state(nb::handle s) {
        nb::str nm = qxb::exact_str(qxb::state_item(s, "_name"), "_name");
        StoredHistory prd = read_history(s, "_prd_data_list", 1);
        StoredHistory tim = read_history(s, "_prd_time_list", 1);
        StoredHistory lab = read_history(s, "_lab_data_list", 2);
        if (prd.maxlen != tim.maxlen || prd.values.size() != tim.values.size())
            throw nb::value_error("_prd_data_list and _prd_time_list must be of the same length");
        if (prd.values.empty() != lab.values.empty())
            throw nb::value_error(
                "_prd_data_list and _lab_data_list must both be empty or both be full");
        nb::object flag = qxb::state_item(s, "_update_flag");
        if (Py_TYPE(flag.ptr()) != &PyBool_Type)
            qxb::raise_incorrect_type("_update_flag", "bool", flag);

        BiasBlock b;
        b.set_name(std::move(nm));
        b.core = qxdcs::SoftSensorCore(prd.maxlen, lab.maxlen);
        for (std::size_t i = 0; i < prd.values.size(); ++i)
            b.core.prd.push(prd.values[i], tim.values[i]);
        b.core.lab = window_of(lab);
        qxdcs::BiasState &st = b.core.state;
        st.bias = qxb::to_double(qxb::state_item(s, "_bias"));
        st.abs_threshold = qxb::to_double(qxb::state_item(s, "_abs_threshold"));
        st.update_flag = flag.ptr() == Py_True;
        st.current_lab_data = qxb::to_double(qxb::state_item(s, "_current_lab_data"));
        st.current_lab_time = qxb::to_double(qxb::state_item(s, "_current_lab_time"));
        st.prd_at_labtime = qxb::to_double(qxb::state_item(s, "_prd_data_at_labtime"));
        b.fil = qxb::Kept(qxb::state_item(s, "_fil"));
        return b;
    }
};

nb::object bias_run(nb::pointer_and_handle<BiasBlock> self, nb::handle prd_data,
                    nb::handle lab_data, nb::handle lab_time, nb::handle prd_time,
                    nb::handle update_trigger) {
    const double p = qxb::to_double(prd_data);
    const double l = qxb::to_double(lab_data);
    const double lt = qxb::to_double(lab_time);
    std::optional<double> pt = qxb::float_or_none(prd_time, "prd_time");
    std::optional<double> ut = qxb::float_or_none(update_trigger, "update_trigger");
    return self.p->run(self.h, p, l, lt, pt, ut);
}

// The native path of run(): positional arguments, the three values exact
// floats (or ints a double holds), prd_time and update_trigger floats or
// None. Every other call goes to the bound method.
constexpr char kRun[] = "run";

bool float_or_none_fast(PyObject *o, std::optional<double> &out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    if (Py_TYPE(o) != &PyFloat_Type)
        return false;
    out = PyFloat_AS_DOUBLE(o);
    return true;
}

PyObject *bias_run_fast(BiasBlock &b, PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 3 || nargs > 5)
        return nullptr;
    double v[3];
    std::optional<double> pt, ut;
    if (!qxb::plain_floats(args, 3, v) || (nargs > 3 && !float_or_none_fast(args[3], pt)) ||
        (nargs > 4 && !float_or_none_fast(args[4], ut)))
        return nullptr;
    try {
        return b.run(self, v[0], v[1], v[2], pt, ut).release().ptr();
    } catch (...) {
        qxb::set_error_from_exception();
        return nullptr;
    }
}

// --- LabDataRecorder ----------------------------------------------------------------------------

// The recorder's name becomes part of a file name inside csv_dir: it may
// not lead out of it.
void check_file_name_prefix(const nb::str &name) {
    nb::module_ os = nb::module_::import_("os");
    bool bad = name.equal(nb::str(".")) || name.equal(nb::str(".."));
    const nb::object seps[3] = {os.attr("sep"), os.attr("altsep"), nb::str("\0", 1)};
    for (const nb::object &sep : seps) {
        if (bad || sep.is_none())
            continue;
        const int has = PySequence_Contains(name.ptr(), sep.ptr());
        if (has < 0)
            throw nb::python_error();
        bad = has == 1;
    }
    if (bad) {
        PyErr_Format(PyExc_ValueError,
                     "LabDataRecorder name must not contain a path separator or a NUL "
                     "character, nor be '.' or '..': %R",
                     name.ptr());
        throw nb::python_error();
    }
}

// "%Y-%m-%d %H:%M:%S" of a local time through the interpreter's own time
// module: for the times the C library cannot convert, so that the error
// raised is the interpreter's. `t` is None for now.
std::string python_local_time_text(nb::handle t) {
    nb::module_ time = nb::module_::import_("time");
    nb::object tm = t.is_none() ? time.attr("localtime")() : time.attr("localtime")(t);
    nb::str text = nb::str(time.attr("strftime")(qxdcs::kLocalTimeFormat, tm));
    Py_ssize_t n = 0;
    const char *c = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!c)
        throw nb::python_error();
    return std::string(c, std::size_t(n));
}

std::string local_time_text_now() {
    std::string out;
    if (qxdcs::local_time_text(std::time(nullptr), out))
        return out;
    return python_local_time_text(nb::none());
}

std::string local_time_text_of(double t) {
    std::string out;
    std::time_t sec;
    if (qxdcs::epoch_second(t, sec) && qxdcs::local_time_text(sec, out))
        return out;
    return python_local_time_text(nb::float_(t));
}

struct Recorder {
    nb::object name;           // _name, a str
    qxdcs::ChangeWindow lab;  // _lab_data_list
    double abs_threshold = 1e-6;
    nb::object csv_file;       // _csv_file, an absolute pathlib.Path
    nb::object csv_text;       // os.fspath(_csv_file), for error messages
    std::string csv_bytes;     // the same in the file-system encoding, for open()

    static constexpr auto kept_members() {
        return std::make_tuple(&Recorder::name, &Recorder::csv_file, &Recorder::csv_text);
    }

    void set_file(nb::object path) {
        nb::module_ os = nb::module_::import_("os");
        nb::object text = os.attr("fspath")(path);
        nb::bytes raw = nb::borrow<nb::bytes>(os.attr("fsencode")(text));
        std::string bytes(raw.c_str(), raw.size());
        csv_file = std::move(path);
        csv_text = std::move(text);
        csv_bytes = std::move(bytes);
    }

    static Recorder make(nb::handle name, nb::handle abs_threshold, nb::handle const_len,
                         nb::handle csv_dir) {
        nb::str nm = qxb::exact_str(name, "name");
        const double thr = qxb::to_double(abs_threshold);
        const long long clen = qxb::exact_int(const_len, "const_len");
        check_file_name_prefix(nm);
        const std::size_t cap = history_capacity(clen, 2, "const_len");
        // Construction-time work on the file system, through pathlib: a
        // relative directory is taken against the working directory now.
        nb::object dir = nb::handle(g_path)(csv_dir).attr("resolve")();
        dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        nb::object file = dir.attr("__truediv__")(nb::str("{}{}").format(nm, qxdcs::kLabCsvSuffix));
        Recorder r;
        r.name = std::move(nm);
        r.lab = qxdcs::ChangeWindow(cap);
        r.abs_threshold = thr;
        r.set_file(std::move(file));
        return r;
    }

    // One data line for lab_data sampled at lab_time, appended to the file
    // (with the header if this creates the file). Nothing is checked: a
    // time the C library cannot convert raises the interpreter's error.
    void export_csv(double lab_data, double lab_time) {
        const std::string now = local_time_text_now();
        const std::string at = local_time_text_of(lab_time);
        const std::string line = qxdcs::lab_csv_line(now, at, lab_data);
        const qxdcs::AppendResult r =
            qxdcs::append_line(csv_bytes.c_str(), qxdcs::kLabCsvHeader, line);
        if (r.link) {
            // OSError(errno, text, filename), as the interpreter builds one.
            nb::object err = nb::handle(PyExc_OSError)(
                r.error, "refusing to write the laboratory CSV file through a symbolic link",
                csv_text);
            PyErr_SetObject(PyExc_OSError, err.ptr());
            throw nb::python_error();
        }
        if (r.error) {
            errno = r.error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, csv_text.ptr());
            throw nb::python_error();
        }
    }

    // The export of run(): a subclass's own export_lab_data_csv is called
    // where the recorder would call it.
    void trigger_export(nb::handle self, double lab_data, double lab_time) {
        if (NB_UNLIKELY(overrides(self, g_recorder_type, "export_lab_data_csv")))
            self.attr("export_lab_data_csv")(lab_data, lab_time);
        else
            export_csv(lab_data, lab_time);
    }

    // Appends lab_data to the window and exports it when it is a new value
    // that has settled. An export that fails leaves the window as it was
    // before the call, so the same value is exported by the next call that
    // passes it; the error reaches the caller.
    bool run(nb::handle self, double lab_data, double lab_time) {
        if (!std::isfinite(lab_data))
            raise_not_finite(name, " LabDataRecorder: lab_data is not finite!");
        if (!std::isfinite(lab_time))
            raise_not_finite(name, " LabDataRecorder: lab_time is not finite!");
        // Everything that may fail (memory) comes before the window changes.
        const bool first = lab.empty();
        qxdcs::ChangeWindow filled;  // the first call fills the window with its value
        if (first) {
            filled = qxdcs::ChangeWindow(lab.capacity());
            filled.fill(lab_data);
        }
        const bool fresh = (first ? filled : lab).fresh_change_after(lab_data, abs_threshold);
        qxdcs::ChangeWindow before;
        if (fresh)
            before = lab;
        if (first)
            lab = std::move(filled);
        lab.push(lab_data);
        if (!fresh)
            return false;
        try {
            trigger_export(self, lab_data, lab_time);
        } catch (...) {
            lab = std::move(before);
            throw;
        }
        return true;
    }

    nb::dict state() const {
        nb::dict s;
        s["_name"] = name;
        s["_lab_data_list"] = deque_of(lab.values());
        s["_abs_threshold"] = abs_threshold;
        s["_csv_file"] = csv_file;
        return s;
    }

    // A restored recorder writes where the original did: an absolute path
    // whose file name is the recorder's name followed by the suffix.
    static Recorder from_state(nb::handle s) {
        nb::str nm = qxb::exact_str(qxb::state_item(s, "_name"), "_name");
        check_file_name_prefix(nm);
        StoredHistory lab = read_history(s, "_lab_data_list", 2);
        const double thr = qxb::to_double(qxb::state_item(s, "_abs_threshold"));
        nb::object file = nb::handle(g_path)(qxb::state_item(s, "_csv_file"));
        nb::object expected = nb::str("{}{}").format(nm, qxdcs::kLabCsvSuffix);
        if (!nb::bool_(file.attr("is_absolute")()) || !file.attr("name").equal(expected)) {
            PyErr_Format(PyExc_ValueError, "_csv_file must be an absolute path to a file named %R",
                         expected.ptr());
            throw nb::python_error();
        }
        Recorder r;
        r.name = std::move(nm);
        r.lab = window_of(lab);
        r.abs_threshold = thr;
        r.set_file(std::move(file));
        return r;
    }
};

} // namespace

NB_MODULE(qxSoftSensor, m) {
    m.doc() = "Soft sensor: bias correction from laboratory results, and the recorder of\n"
              "laboratory results in a CSV file.";

    // What the module brings along, as its users find it.
    nb::module_ time = nb::module_::import_("time");
    nb::module_ np = nb::module_::import_("numpy");
    nb::object deque = nb::module_::import_("collections").attr("deque");
    nb::object path = nb::module_::import_("pathlib").attr("Path");
    nb::object sfilter = nb::module_::import_("qxdcs.algorithm.qxFilter").attr("sFilter");
    m.attr("time") = time;
    m.attr("np") = np;
    m.attr("deque") = deque;
    m.attr("Path") = path;
    m.attr("sFilter") = sfilter;
    g_deque = deque.release().ptr();
    g_path = path.release().ptr();
    g_sfilter = sfilter.release().ptr();

    // --- SoftSensorBiasUpdate ---------------------------------------------------------------------
    auto b = qxb::block_class<BiasBlock>(m, "SoftSensorBiasUpdate", kBiasDoc);
    g_bias_type = reinterpret_cast<PyTypeObject *>(b.ptr());
    b.def("__init__",
          [](BiasBlock *self, nb::handle name, nb::handle filter_tao, nb::handle abs_threshold,
             nb::handle prd_len, nb::handle const_len) {
              new (self) BiasBlock(BiasBlock::make(name, filter_tao, abs_threshold, prd_len,
                                                   const_len));
          },
          nb::arg("name").none() = "softSensor", nb::arg("filter_tao").none() = 5,
          nb::arg("abs_threshold").none() = 1e-6, nb::arg("prd_len").none() = 28800,
          nb::arg("const_len").none() = 60)
        .def("run", &bias_run, "prd_data"_a.none(), "lab_data"_a.none(), "lab_time"_a.none(),
             "prd_time"_a.none() = nb::none(), "update_trigger"_a.none() = nb::none())
        .def("_update_bias",
             [](BiasBlock &s, nb::handle lab_data, nb::handle lab_time) {
                 const double l = qxb::to_double(lab_data), t = qxb::to_double(lab_time);
                 s.update_bias(l, t);
             },
             "lab_data"_a.none(), "lab_time"_a.none(),
             "One bias update attempt for lab_data sampled at lab_time (no trigger rules).")
        .def("get_name", [](BiasBlock &s) { return s.name; }, "The block name.")
        .def("get_lab_data", [](BiasBlock &s) { return s.core.state.current_lab_data; },
             "The laboratory value of the last update (NaN before the first).")
        .def("get_lab_time", [](BiasBlock &s) { return s.core.state.current_lab_time; },
             "The laboratory time of the last update (NaN before the first).")
        .def("get_prd_data_at_labtime", [](BiasBlock &s) { return s.core.state.prd_at_labtime; },
             "The prediction the last update used (NaN before the first).")
        .def("get_update_flag", [](BiasBlock &s) { return s.core.state.update_flag; },
             "Whether the latest run call updated the bias.")
        .def("get_bias", [](BiasBlock &s) { return s.core.state.bias; },
             "The raw (unfiltered) bias of the last update.")
        .def_prop_ro("_name", [](BiasBlock &s) { return s.name; }, "Block name (a str).")
        .def_prop_ro("_prd_data_list", [](BiasBlock &s) { return deque_of(s.core.prd.data()); },
                     "The predictions, oldest first: a new deque (maxlen prd_len + 1) on every\n"
                     "read, a snapshot of the history.")
        .def_prop_ro("_prd_time_list", [](BiasBlock &s) { return deque_of(s.core.prd.times()); },
                     "The time of each prediction, same positions: a new deque on every read.")
        .def_prop_ro("_lab_data_list", [](BiasBlock &s) { return deque_of(s.core.lab.values()); },
                     "The laboratory value of each call, oldest first: a new deque (maxlen\n"
                     "const_len + 2) on every read.")
        .def_prop_rw("_bias", [](BiasBlock &s) { return s.core.state.bias; },
                     [](BiasBlock &s, nb::handle v) { s.core.state.bias = qxb::to_double(v); },
                     nb::for_setter(nb::arg("value").none()), "Raw bias of the last update.")
        .def_prop_rw("_fil", [](BiasBlock &s) { return s.fil.get(); },
                     [](BiasBlock &s, nb::handle v) { s.fil.replace(v); },
                     nb::for_setter(nb::arg("value").none()),
                     "The bias filter (an sFilter), or None for the raw bias; run() calls it\n"
                     "once per call with the bias.")
        .def_prop_rw("_abs_threshold", [](BiasBlock &s) { return s.core.state.abs_threshold; },
                     [](BiasBlock &s, nb::handle v) {
                         s.core.state.abs_threshold = qxb::to_double(v);
                     },
                     nb::for_setter(nb::arg("value").none()),
                     "Smallest laboratory change that counts as a new result.")
        .def_prop_ro("_update_flag", [](BiasBlock &s) { return s.core.state.update_flag; },
                     "True only when the latest run call updated the bias.")
        .def_prop_ro("_current_lab_data", [](BiasBlock &s) { return s.core.state.current_lab_data; },
                     "Laboratory value of the last update.")
        .def_prop_ro("_current_lab_time", [](BiasBlock &s) { return s.core.state.current_lab_time; },
                     "Laboratory time of the last update.")
        .def_prop_ro("_prd_data_at_labtime", [](BiasBlock &s) { return s.core.state.prd_at_labtime; },
                     "Prediction used by the last update.")
        .def("__repr__", [](BiasBlock &s) {
            return nb::str("SoftSensorBiasUpdate(name={!r}, abs_threshold={!r}, prd_len={}, "
                           "const_len={}, bias={!r}, filled={})")
                .format(s.name, s.core.state.abs_threshold, s.core.prd.capacity() - 1,
                        s.core.lab.capacity() - 2, s.core.state.bias, !s.core.first());
        });
    qxb::def_state(b, &BiasBlock::state, &BiasBlock::from_state);
    qxb::fast_method<BiasBlock, kRun, &bias_run_fast>(
        b, "run($self, /, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)\n"
           "--\n\n"
           "One sample: store the prediction prd_data (at prd_time, default now), look\n"
           "for a new laboratory value (lab_data sampled at lab_time) and return the\n"
           "filtered bias to add to the prediction. update_trigger > 0.5 forces an\n"
           "update attempt, any other float suppresses the automatic one.");
    qxb::finish_block(b);

    // --- LabDataRecorder --------------------------------------------------------------------------
    auto r = qxb::block_class<Recorder>(m, "LabDataRecorder", kRecorderDoc);
    g_recorder_type = reinterpret_cast<PyTypeObject *>(r.ptr());
    r.def("__init__",
          [](Recorder *self, nb::handle name, nb::handle abs_threshold, nb::handle const_len,
             nb::handle csv_dir) {
              new (self) Recorder(Recorder::make(name, abs_threshold, const_len, csv_dir));
          },
          nb::arg("name").none() = "softSensor", nb::arg("abs_threshold").none() = 1e-6,
          nb::arg("const_len").none() = 60, nb::arg("csv_dir").none() = "./")
        .def("run",
             [](nb::pointer_and_handle<Recorder> self, nb::handle lab_data, nb::handle lab_time) {
                 const double l = qxb::to_double(lab_data), t = qxb::to_double(lab_time);
                 return self.p->run(self.h, l, t);
             },
             "lab_data"_a.none(), "lab_time"_a.none(),
             "Pass the latest laboratory value; returns True when this call wrote it to\n"
             "the CSV file.")
        .def("export_lab_data_csv",
             [](Recorder &s, nb::handle lab_data, nb::handle lab_time) {
                 const double l = qxb::to_double(lab_data), t = qxb::to_double(lab_time);
                 s.export_csv(l, t);
             },
             "lab_data"_a.none(), "lab_time"_a.none(),
             "Append one data line (export time, lab_time, lab_data) to the CSV file.")
        .def_prop_ro("_name", [](Recorder &s) { return s.name; }, "Recorder name (a str).")
        .def_prop_ro("_lab_data_list", [](Recorder &s) { return deque_of(s.lab.values()); },
                     "The laboratory value of each call, oldest first: a new deque (maxlen\n"
                     "const_len + 2) on every read.")
        .def_prop_rw("_abs_threshold", [](Recorder &s) { return s.abs_threshold; },
                     [](Recorder &s, nb::handle v) { s.abs_threshold = qxb::to_double(v); },
                     nb::for_setter(nb::arg("value").none()),
                     "Smallest change that counts as a new result.")
        .def_prop_ro("_csv_file", [](Recorder &s) { return s.csv_file; },
                     "Absolute path of the CSV file (a pathlib.Path).")
        .def("__repr__", [](Recorder &s) {
            return nb::str("LabDataRecorder(name={!r}, abs_threshold={!r}, const_len={}, "
                           "csv_file={!r})")
                .format(s.name, s.abs_threshold, s.lab.capacity() - 2, s.csv_file);
        });
    qxb::def_state(r, &Recorder::state, &Recorder::from_state);
    qxb::finish_block(r);
}

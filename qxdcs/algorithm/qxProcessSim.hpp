// The C++ types behind qxProcessSim: the model elements, MISOSimulator and
// MIMOSim.
//
// qxProcessSim binds these types; no other module binds them again. A module
// that drives simulators (the LPV plant) imports qxdcs.algorithm.qxProcessSim
// at run time, builds simulators by calling its classes, and then runs them
// natively: mimo_of(obj) gives the native MIMOSim of a simulator (or of an
// instance of a subclass), and its read_inputs() / advance() pair (or call())
// is plain C++ for the package's own element types.
//
// What is stored natively and what as Python objects:
//   * A filter element (tfz_model, tfs_model, stp_model, stpxy_model) is a
//     view of one library element, qxdcs::TfzModel (qxdcs/process_sim.hpp),
//     which holds the normalised coefficients, the state and the at-rest
//     mark. Gz_num and Gz_den are read-only arrays of the coefficients as
//     given, with the dead time as leading zeros of Gz_num; _zi is a live
//     array over the library element's state, which reads back as a list of
//     integer zeros while the element is at rest (as the constructor or
//     reset_zi leaves it). no_model holds nothing.
//   * A MISOSimulator holds its elements as the objects it was given and a
//     library qxdcs::MisoSimulator over their library elements, with the
//     MVs' initial values, both fixed at construction. model_list and
//     u_ini_list read back as new lists (of the same element objects).
//   * A MIMOSim holds as doubles everything its call needs: the initial
//     values of its tags, the current MV values (_u_dict) and CV values
//     (_y_dict). Its tags are the model dictionary's key objects, with a
//     dictionary from MV tag to position for the lookup of a caller's MV
//     values and a template of the result dictionary. It holds its element
//     objects (CV-major) and one MISOSimulator object per CV. Ts, the model
//     dictionary and the initial-value dictionary (its own deep copies) are
//     kept as Python objects, read only by the getters, plotting and
//     pickling. The tag lists and the dictionaries of values read back as
//     new lists and dictionaries of floats, keyed by the tags (strings, as a
//     model dictionary names them), the model and initial-value dictionaries
//     as deep copies; only the elements and the MISOSimulators are handed
//     out as the live objects.
//
// The per-call path. A call first reads and checks everything the caller
// passed (read_inputs: every accepted MV value and every CV disturbance as a
// real number; this is where the caller's code may run, through __float__ or
// a mapping's own items()/get()), then makes every allocation its result
// needs, and only then changes state (advance): MV values are stored, and
// every element advances by one sample. For the package's own element types
// advance() makes no Python call and no allocation; any other object found in
// a MISOSimulator (a user's subclass, say) is called through its deltaU_sim.
// The walk over a CV's elements is the library's (MisoSimulator::one_step_sim);
// this module only tells it, element by element, whether the object is still
// of the package type it was built as (its class can change, from the
// caller's code, between samples or in the middle of one).
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "bind/numpy.hpp"
#include "bind/items.hpp"
#include "bind/kept.hpp"
#include "qxdcs/process_sim.hpp"

namespace qxsim {

namespace nb = nanobind;

// --- model elements ------------------------------------------------------------------------------

// The abstract base `model`: no state.
struct Model {
    static constexpr auto kept_members() { return std::make_tuple(); }
};

// `no_model`: zero response.
struct NoModel : Model {};

// What callers see of a filter element besides its library element: the
// coefficient arrays as given (read-only, NumPy's own layout) and the live
// array over the library element's state.
struct ElementArrays {
    qxb::FloatArray num, den, zi;

    int visit(visitproc visit, void *arg) const {
        Py_VISIT(num.object().ptr());
        Py_VISIT(den.object().ptr());
        Py_VISIT(zi.object().ptr());
        return 0;
    }
    void clear(qxb::ReleaseLast &) {}  // the arrays refer to nothing: kept
};

// `tfz_model`: the discrete transfer function Gz_num(z^-1) / Gz_den(z^-1),
// advanced one sample per call in transposed direct form II, normalised by
// Gz_den[0] (the arithmetic of scipy.signal.lfilter, bit for bit): a library
// qxdcs::TfzModel, shared with every library simulator that steps it and with
// the capsule behind the _zi array, so it lives as long as any of them.
struct TfzModel : Model {
    std::shared_ptr<qxdcs::TfzModel> lib;
    ElementArrays arrays;

    static constexpr auto kept_members() { return std::make_tuple(&TfzModel::arrays); }

    // One sample: the output deviation for the input deviation dU.
    double step(double dU) { return lib->step(dU); }
    // Inputs and outputs before now count as zero again.
    void reset_zi() { lib->reset_zi(); }
    bool at_rest() const { return lib->at_rest(); }
    std::size_t state_size() const { return lib->state_size(); }
};

// The subclasses differ only in how their coefficients are made; the filter
// is the same, so one native layout serves all four.
struct TfsModel : TfzModel {};
struct StpModel : TfzModel {};
struct StpxyModel : StpModel {};

// The Python types of the package's own elements and simulators, looked up in
// nanobind's registry once per module that uses them (after qxProcessSim has
// been imported).
struct SimTypes {
    PyTypeObject *no_model = nullptr, *tfz = nullptr, *tfs = nullptr, *stp = nullptr,
                 *stpxy = nullptr, *miso = nullptr, *mimo = nullptr;

    bool is_filter(PyTypeObject *tp) const {
        return tp == tfz || tp == tfs || tp == stp || tp == stpxy;
    }
};

template <class T> PyTypeObject *bound_type() {
    return reinterpret_cast<PyTypeObject *>(nb::type<T>().ptr());
}

struct MISOSimulator;
struct MIMOSim;

// Looked up on first use; a lookup made before qxProcessSim has registered
// its classes finds nothing and is repeated on the next use.
inline const SimTypes &sim_types() {
    static SimTypes t;
    if (NB_UNLIKELY(!t.mimo)) {
        SimTypes s;
        s.no_model = bound_type<NoModel>();
        s.tfz = bound_type<TfzModel>();
        s.tfs = bound_type<TfsModel>();
        s.stp = bound_type<StpModel>();
        s.stpxy = bound_type<StpxyModel>();
        s.miso = bound_type<MISOSimulator>();
        s.mimo = bound_type<MIMOSim>();
        t = s;
    }
    return t;
}

// An element of any other type: its deltaU_sim, called with a float, must
// return a real number. A reference of our own keeps the element alive while
// its code runs (it may drop the simulator's).
inline double python_step(nb::handle element, double dU) {
    static PyObject *name = PyUnicode_InternFromString("deltaU_sim");
    if (!name)
        throw nb::python_error();
    nb::object keep = nb::borrow(element);
    nb::object arg = nb::steal(PyFloat_FromDouble(dU));
    if (!arg.is_valid())
        throw nb::python_error();
    nb::object r = nb::steal(PyObject_CallMethodOneArg(keep.ptr(), name, arg.ptr()));
    if (!r.is_valid())
        throw nb::python_error();
    return qxb::to_double(r);
}

// One element as a MISOSimulator holds it: the object, and the type a check
// found it to be of (exactly one of the package's element types, and
// constructed). A constructed nanobind object stays constructed for its whole
// life (running a constructor again on it is refused) and never moves, so
// what the check found holds for as long as the object keeps that type.
struct Element {
    nb::object obj;
    PyTypeObject *type = nullptr;  // the type the check found (null: none)
    TfzModel *filter = nullptr;    // the native filter (null for no_model)

    Element() = default;
    explicit Element(nb::object o) : obj(std::move(o)) {}

    // Checks the object as it is now: exactly one of the package's element
    // types, and constructed. False for anything else.
    bool check(const SimTypes &t) {
        PyObject *o = obj.ptr();
        PyTypeObject *tp = Py_TYPE(o);
        type = nullptr;
        filter = nullptr;
        if (t.is_filter(tp) && nb::inst_ready(o)) {
            filter = nb::inst_ptr<TfzModel>(o);
            type = tp;
        } else if (tp == t.no_model && nb::inst_ready(o)) {
            type = tp;
        }
        return type != nullptr;
    }

    // Whether the object is still of the type the check found.
    bool holds() const { return Py_TYPE(obj.ptr()) == type; }

    // One sample: natively for a constructed object of exactly one of the
    // package's element types (the exact type checked on every call), through
    // deltaU_sim for anything else.
    double step(const SimTypes &t, double dU) {
        if (NB_LIKELY(holds()) || check(t))
            return filter ? filter->step(dU) : 0.0;
        return python_step(obj, dU);
    }
};

// The library element behind an element object: its own for a constructed
// filter or no_model (or an instance of a caller's subclass of one), a stand-in
// for any other object, which only this module steps (through deltaU_sim).
//
// The stand-in is never stepped by the library: the walk asks this module
// for any element whose slot is not a package one.
struct PythonElement final : qxdcs::ModelElement {
    double delta_u_sim(double) override {
        throw std::logic_error("a Python model element is stepped by qxProcessSim");
    }
};

inline std::shared_ptr<qxdcs::ModelElement> library_element(nb::handle obj) {
    static const auto zero = std::make_shared<qxdcs::NoModel>();
    static const auto python = std::make_shared<PythonElement>();
    if (nb::inst_ready(obj)) {
        if (nb::isinstance<TfzModel>(obj))
            return nb::inst_ptr<TfzModel>(obj)->lib;
        if (nb::isinstance<NoModel>(obj))
            return zero;
    }
    return python;
}

using qxb::unpack_pair;

// --- object lists ------------------------------------------------------------------------------

// The elements of a MISOSimulator: a caller's objects, visited by the
// collector and replaced by None when it breaks a cycle (the length never
// changes).
struct ElementList {
    std::vector<Element> items;

    int visit(visitproc visit, void *arg) const {
        for (const Element &e : items)
            Py_VISIT(e.obj.ptr());
        return 0;
    }
    void clear(qxb::ReleaseLast &later) {
        for (Element &e : items) {
            e.type = nullptr;
            e.filter = nullptr;
            later.replace(e.obj, nb::none());
        }
    }
};

// A fixed-length list of the block's own objects (elements it built, its
// MISOSimulators, its tags): visited, never cleared, so the block keeps working.
struct OwnList {
    std::vector<nb::object> items;

    int visit(visitproc visit, void *arg) const {
        for (const nb::object &o : items)
            Py_VISIT(o.ptr());
        return 0;
    }
    void clear(qxb::ReleaseLast &) {}
};

// --- MISOSimulator -----------------------------------------------------------------------------

struct MISOSimulator {
    // How many elements ahead the walk asks for an object's header: the
    // objects lie apart on the heap, and the check of one would otherwise
    // wait for its load in turn.
    static constexpr std::size_t kAhead = 4;
    ElementList models;  // model_list: the elements, one per MV
    // The library's simulator over the elements' library elements, with the
    // MVs' initial values (u_ini_list); built by finish().
    qxdcs::MisoSimulator walk{{}, {}};

    static constexpr auto kept_members() { return std::make_tuple(&MISOSimulator::models); }

    // Once the elements are in place: checks each and builds the walk.
    void finish(const SimTypes &t, std::vector<double> u_ini) {
        std::vector<std::shared_ptr<qxdcs::ModelElement>> lib;
        lib.reserve(models.items.size());
        for (Element &e : models.items) {
            e.check(t);
            lib.push_back(library_element(e.obj));
        }
        walk = qxdcs::MisoSimulator(std::move(lib), std::move(u_ini));
    }
    const std::vector<double> &u_ini() const { return walk.u_ini_list(); }

    // The CV's deviation for the MV values u[0..n): the library's walk, which
    // steps an element in place while its object is still of the package type
    // it was checked as, and hands it back here otherwise. An element's code
    // may replace objects of this list (the collector replaces them by None;
    // the list never changes length), so each object is read afresh.
    double deviation(const SimTypes &t, const double *u, std::size_t n) {
        const std::size_t m = walk.width(n);
        const Element *e = models.items.data();
        return walk.one_step_sim(
            u, n,
            [e, m](std::size_t j) {
                if (j + kAhead < m)
                    __builtin_prefetch(e[j + kAhead].obj.ptr());
                return e[j].holds();
            },
            [this, &t](std::size_t j, double dU) { return models.items[j].step(t, dU); });
    }
};

// --- MIMOSim -----------------------------------------------------------------------------------

// The checked inputs of one call, kept apart from the simulator's state until
// every check has passed.
struct CallInputs {
    std::vector<double> u;             // accepted MV values, by MV position
    std::vector<unsigned char> given;  // whether the caller gave that MV
    std::vector<double> v;             // disturbance of each CV
    std::vector<PyObject *> out;       // the result's value objects (borrowed)

    void size_for(std::size_t n_mv, std::size_t n_cv) {
        u.resize(n_mv);
        given.resize(n_mv);
        v.resize(n_cv);
        out.resize(n_cv);
    }
};

struct MIMOSim {
    qxb::CallSlot<MIMOSim> call_slot;  // direct calls (bind/fastcall.hpp)
    qxb::Kept Ts;                      // as passed
    qxb::Kept model_dict;              // process_model_dict: a deep copy of the argument
    qxb::Kept ini_dict;                // ini_value_dict: a deep copy of the argument
    OwnList cv, mv;                    // the tags, in list order
    nb::object mv_position;            // dict: MV tag -> its position
    nb::object out_template;           // dict: CV tag -> 0.0, in cv order
    bool str_tags = true;              // every tag an exact str
    OwnList elements;                  // yu_model_obj, CV-major: elements[i * n_mv + j]
    OwnList simulators;                // cv_simulators: one MISOSimulator per CV
    std::vector<MISOSimulator *> miso; // their native objects
    std::vector<double> u_ini, y_ini;  // initial values of the MVs and CVs
    std::vector<double> u, y;          // _u_dict, _y_dict
    CallInputs scratch;                // the inputs of the call in progress
    bool busy = false;                 // a call is in progress (scratch in use)

    static constexpr auto kept_members() {
        return std::make_tuple(&MIMOSim::Ts, &MIMOSim::model_dict, &MIMOSim::ini_dict,
                               &MIMOSim::cv, &MIMOSim::mv, &MIMOSim::mv_position,
                               &MIMOSim::out_template, &MIMOSim::elements, &MIMOSim::simulators);
    }

    std::size_t n_cv() const { return cv.items.size(); }
    std::size_t n_mv() const { return mv.items.size(); }
    const nb::object &element(std::size_t i, std::size_t j) const {
        return elements.items[i * n_mv() + j];
    }

    // --- reading a call's inputs (no state changes) ---------------------------------------

    // The position of an MV tag, or -1 for any other key. An unhashable key
    // (from a mapping's own items()) is compared with each tag instead.
    Py_ssize_t mv_index(nb::handle key) const {
        PyObject *pos = PyDict_GetItemWithError(mv_position.ptr(), key.ptr());
        if (pos)
            return PyLong_AsSsize_t(pos);
        if (!PyErr_Occurred())
            return -1;
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object k = nb::borrow(key);
        for (std::size_t j = 0; j < n_mv(); ++j) {
            nb::object tag = mv.items[j];
            int eq = PyObject_RichCompareBool(tag.ptr(), k.ptr(), Py_EQ);
            if (eq < 0)
                throw nb::python_error();
            if (eq)
                return Py_ssize_t(j);
        }
        return -1;
    }

    // u_Value_Dict: every entry whose key is an MV tag, its value converted to
    // a real number, in the mapping's order (a later entry for the same MV
    // wins). A plain dict (str keys; values floats, NumPy float64 included, or
    // ints) is read without running any code of the caller's; anything else
    // through its items().
    void read_mv_values(nb::handle u_dict, CallInputs &in) const {
        std::fill(in.given.begin(), in.given.end(), 0);
        if (PyDict_CheckExact(u_dict.ptr()) && read_plain_mv_values(u_dict, in))
            return;
        std::fill(in.given.begin(), in.given.end(), 0);
        qxb::ItemPairs items;
        items.read_mapping(u_dict);
        for (const auto &[key, value] : items.pairs()) {
            const Py_ssize_t j = mv_index(key);
            if (j < 0)
                continue;
            in.u[j] = qxb::to_double(value);
            in.given[j] = 1;
        }
    }

    // The plain case; false (nothing read for certain) at the first key or
    // value that could run the caller's code. A caller usually builds the
    // dictionary in MV order from the tag strings themselves: the key at
    // each position is first compared, by identity, with the MV tag there.
    bool read_plain_mv_values(nb::handle u_dict, CallInputs &in) const {
        if (!str_tags)
            return false;  // comparing a str key with another tag may run its code
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        const std::size_t nmv = n_mv();
        for (; PyDict_Next(u_dict.ptr(), &pos, &key, &value); ++k) {
            Py_ssize_t j;
            if (std::size_t(k) < nmv && mv.items[std::size_t(k)].ptr() == key) {
                j = k;
            } else {
                if (!PyUnicode_CheckExact(key))
                    return false;
                PyObject *p = PyDict_GetItemWithError(mv_position.ptr(), key);
                if (!p) {
                    if (PyErr_Occurred())
                        throw nb::python_error();
                    continue;
                }
                j = PyLong_AsSsize_t(p);
            }
            double d;
            if (PyFloat_Check(value)) {  // a float subclass's value is read as is (no code runs)
                d = PyFloat_AS_DOUBLE(value);
            } else if (PyLong_CheckExact(value)) {
                d = PyLong_AsDouble(value);  // OverflowError beyond the float range
                if (d == -1.0 && PyErr_Occurred())
                    throw nb::python_error();
            } else {
                return false;
            }
            in.u[j] = d;
            in.given[j] = 1;
        }
        return true;
    }

    // v_Value_Dict: the disturbance of every CV (its get(tag, 0.0)) as a real number.
    void read_disturbances(nb::handle v_dict, CallInputs &in) const {
        const std::size_t ncv = n_cv();
        if (PyDict_CheckExact(v_dict.ptr())) {
            nb::object keep = nb::borrow(v_dict);
            for (std::size_t i = 0; i < ncv; ++i) {
                if (PyDict_GET_SIZE(keep.ptr()) == 0) {
                    in.v[i] = 0.0;
                    continue;
                }
                nb::object tag = cv.items[i];
                PyObject *value = PyDict_GetItemWithError(keep.ptr(), tag.ptr());
                if (!value) {
                    if (PyErr_Occurred())
                        throw nb::python_error();
                    in.v[i] = 0.0;
                } else if (PyFloat_Check(value)) {
                    in.v[i] = PyFloat_AS_DOUBLE(value);
                } else {
                    in.v[i] = qxb::to_double(nb::borrow(value));
                }
            }
            return;
        }
        nb::object get = v_dict.attr("get");
        nb::object zero = nb::float_(0.0);
        for (std::size_t i = 0; i < ncv; ++i)
            in.v[i] = qxb::to_double(get(cv.items[i], zero));
    }

    // Phase 1 of a call: everything the caller passed, checked and converted.
    // Runs the caller's code where the caller's objects ask for it; changes
    // nothing of the simulator.
    void read_inputs(nb::handle u_dict, nb::handle v_dict, CallInputs &in) const {
        in.size_for(n_mv(), n_cv());
        read_mv_values(u_dict, in);
        read_disturbances(v_dict, in);
    }

    // Phase 2: store the accepted MV values, advance every element by one
    // sample and compute the CVs:
    //     y[i] = (deviation of CV i + v[i]) + y_ini[i]
    // Natively, with no allocation, for the package's own elements; an
    // element of another type may run code (and fail) through its deltaU_sim.
    void advance(const CallInputs &in) {
        const std::size_t nmv = n_mv(), ncv = n_cv();
        for (std::size_t j = 0; j < nmv; ++j)
            if (in.given[j])
                u[j] = in.u[j];
        const SimTypes &t = sim_types();
        for (std::size_t i = 0; i < ncv; ++i) {
            const double dev = miso[i]->deviation(t, u.data(), nmv);
            y[i] = qxdcs::cv_value(dev, in.v[i], y_ini[i]);
        }
    }

    // --- results -----------------------------------------------------------------------------

    // A new dictionary tag -> float, in list order.
    static nb::dict tag_dict(const OwnList &tags, const std::vector<double> &values) {
        nb::dict d;
        for (std::size_t k = 0; k < values.size(); ++k)
            d[tags.items[k]] = nb::float_(values[k]);
        return d;
    }

    // A new result dictionary (a copy of the template) whose values are new
    // float objects of the caller's own; their addresses go to in.out, and
    // their values are written once the sample is computed, so that no
    // allocation is left after the state has changed.
    nb::object new_result(CallInputs &in) const {
        nb::object d = nb::steal(PyDict_Copy(out_template.ptr()));
        if (!d.is_valid())
            throw nb::python_error();
        for (std::size_t i = 0; i < n_cv(); ++i) {
            nb::object f = nb::steal(PyFloat_FromDouble(0.0));
            if (!f.is_valid() || PyDict_SetItem(d.ptr(), cv.items[i].ptr(), f.ptr()) != 0)
                throw nb::python_error();
            in.out[i] = f.ptr();  // the dictionary holds it
        }
        return d;
    }

    void fill_result(const CallInputs &in) const {
        for (std::size_t i = 0; i < n_cv(); ++i)
            reinterpret_cast<PyFloatObject *>(in.out[i])->ob_fval = y[i];
    }

    // The whole call: new dictionary CV tag -> current value.
    nb::object call(nb::handle u_dict, nb::handle v_dict) {
        // A call made while another is in progress (from the caller's code
        // in either phase) uses inputs of its own.
        CallInputs nested;
        CallInputs &in = busy ? nested : scratch;
        const bool was_busy = std::exchange(busy, true);
        struct Restore {
            bool &flag, value;
            ~Restore() { flag = value; }
        } restore{busy, was_busy};

        read_inputs(u_dict, v_dict, in);
        nb::object result = new_result(in);
        advance(in);
        fill_result(in);
        return result;
    }

    // --- reset -----------------------------------------------------------------------------------

    // The process at rest at its initial values: MV and CV values back to
    // the initial values, every element's state cleared.
    void reset() {
        u = u_ini;
        y = y_ini;
        const SimTypes &t = sim_types();
        for (const nb::object &e : elements.items)
            if (t.is_filter(Py_TYPE(e.ptr())) && nb::inst_ready(e))
                nb::inst_ptr<TfzModel>(e)->reset_zi();
    }
};

// The native object of a MIMOSim (or of an instance of a subclass), or TypeError.
inline MIMOSim &mimo_of(nb::handle obj) {
    if (!nb::isinstance<MIMOSim>(obj) || !nb::inst_ready(obj))
        throw nb::type_error("expected a constructed MIMOSim");
    return *nb::inst_ptr<MIMOSim>(obj);
}

} // namespace qxsim

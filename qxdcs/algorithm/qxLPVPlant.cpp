// Module qxLPVPlant: a linear parameter-varying plant simulator that blends
// local MIMO plants (qxProcessSim.MIMOSim) by a working value.
//
// The blend (the interpolated position between working points, the weights)
// is qxdcs/lpv_blend.hpp. The local simulators are qxProcessSim's own objects,
// driven natively through qxProcessSim.hpp: a call first reads and checks
// everything the caller passed, for every local plant, then advances them
// all, so a refused call leaves every plant and the simulator as they were.
//
// What is stored how:
//   * LPVLocalPlant is a record of the caller-visible objects (identifier,
//     working point, simulator, model dictionary, sample period) and the
//     weight of the last call.
//   * LPVPlantSim keeps plant_list as a Python list of LPVLocalPlant objects
//     (it may be read and, as in any record, changed by the caller), the
//     initial values as its own deep copy, and _u_dict / _y_dict as its own
//     dictionaries of floats, so a deep copy of them is a copy of the
//     dictionary.
//
// The caller's code may run in the middle of an operation: a plant
// identifier's __eq__ or __hash__, a working point's __float__, a tag's
// __eq__ in a dictionary lookup, an MV value's __float__. It may change
// plant_list, the records in it or ini_value_dict. Every walk over
// plant_list therefore holds the items it uses (bind/items.hpp), and every
// dictionary is held for as long as a lookup in it runs.
#include <nanobind/nanobind.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/items.hpp"
#include "bind/kept.hpp"
#include "qxdcs/lpv_blend.hpp"
#include "qxProcessSim.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

nb::object deepcopy(nb::handle o) {
    static PyObject *fn = nullptr;
    if (!fn)
        fn = nb::object(nb::module_::import_("copy").attr("deepcopy")).release().ptr();
    return nb::borrow(fn)(o);
}

// A deep copy of a dictionary whose values are floats: a new dictionary with
// the same keys, when every key is a str (a deep copy of an immutable str is
// the str itself); copy.deepcopy otherwise.
nb::object copy_float_dict(nb::handle d) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool plain = PyDict_CheckExact(d.ptr());
    while (plain && PyDict_Next(d.ptr(), &pos, &key, &value))
        plain = PyUnicode_CheckExact(key) && PyFloat_CheckExact(value);
    if (!plain)
        return deepcopy(d);
    nb::object c = nb::steal(PyDict_Copy(d.ptr()));
    if (!c.is_valid())
        throw nb::python_error();
    return c;
}

// `d.get(key, 0.0)` of a dictionary of initial values, as a double. The
// dictionary is held by the caller's reference `d` for the whole lookup (a
// key's __eq__ may replace the simulator's ini_value_dict meanwhile).
double initial_value(nb::object d, nb::handle key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return 0.0;
        }
        return qxb::to_double(nb::borrow(v));
    }
    return qxb::to_double(d.attr("get")(key, 0.0));
}

void set_item(nb::handle d, nb::handle key, double value) {
    nb::object f = nb::steal(PyFloat_FromDouble(value));
    if (!f.is_valid() || PyDict_SetItem(d.ptr(), key.ptr(), f.ptr()) != 0)
        throw nb::python_error();
}

bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// --- LPVLocalPlant -------------------------------------------------------------------------------

struct LocalPlant {
    qxb::Kept plant_id, working_point, plant, yu_model_tf, Ts;
    double current_weight = 0.0;
    // CV tag -> position in the local simulator's result, for the simulator
    // it was made for (a caller may replace `plant`). That simulator is held
    // here, so its address cannot be taken by another object while cached.
    nb::object cv_index;
    qxb::Kept cv_index_for;

    static constexpr auto kept_members() {
        return std::make_tuple(&LocalPlant::plant_id, &LocalPlant::working_point,
                               &LocalPlant::plant, &LocalPlant::yu_model_tf, &LocalPlant::Ts,
                               &LocalPlant::cv_index, &LocalPlant::cv_index_for);
    }

    static LocalPlant make() {
        LocalPlant p;
        p.plant_id = qxb::Kept(nb::none());
        p.working_point = qxb::Kept(nb::none());
        p.plant = qxb::Kept(nb::none());
        p.yu_model_tf = qxb::Kept(nb::none());
        p.Ts = qxb::Kept(nb::int_(1));
        return p;
    }

    nb::dict state() const {
        nb::dict s;
        s["plant_id"] = plant_id.get();
        s["working_point"] = working_point.get();
        s["plant"] = plant.get();
        s["yu_model_tf"] = yu_model_tf.get();
        s["Ts"] = Ts.get();
        s["current_weight"] = current_weight;
        return s;
    }

    static LocalPlant from_state(nb::handle s) {
        LocalPlant p;
        p.plant_id = qxb::Kept(qxb::state_item(s, "plant_id"));
        p.working_point = qxb::Kept(qxb::state_item(s, "working_point"));
        p.plant = qxb::Kept(qxb::state_item(s, "plant"));
        p.yu_model_tf = qxb::Kept(qxb::state_item(s, "yu_model_tf"));
        p.Ts = qxb::Kept(qxb::state_item(s, "Ts"));
        p.current_weight = qxb::to_double(qxb::state_item(s, "current_weight"));
        return p;
    }

    // The position of each CV tag in the result of `sim`, built once per
    // simulator; the dictionary is the caller's to hold (building it runs the
    // tags' hashes, which may call the simulator again).
    nb::object cv_positions(const qxsim::MIMOSim &sim, nb::handle sim_obj) {
        if (cv_index_for.get().ptr() == sim_obj.ptr() && cv_index.is_valid())
            return cv_index;
        nb::dict d;
        for (std::size_t i = 0; i < sim.n_cv(); ++i)
            d[sim.cv.items[i]] = nb::int_(Py_ssize_t(i));
        qxb::ReleaseLast later;
        later.replace(cv_index, d);
        cv_index_for.replace(sim_obj, later);
        return std::move(d);
    }
};

PyTypeObject *g_local_type = nullptr;

LocalPlant &local_of(nb::handle obj) {
    if (!PyObject_TypeCheck(obj.ptr(), g_local_type) || !nb::inst_ready(obj)) {
        PyErr_Format(PyExc_TypeError, "plant_list must hold LPVLocalPlant objects, not %.200s",
                     Py_TYPE(obj.ptr())->tp_name);
        throw nb::python_error();
    }
    return *nb::inst_ptr<LocalPlant>(obj);
}

// --- LPVPlantSim ---------------------------------------------------------------------------------

// One local plant as a call sees it.
struct PlantCall {
    nb::object local_obj, sim_obj;  // held for the whole call
    LocalPlant *local = nullptr;
    qxsim::MIMOSim *sim = nullptr;  // the native simulator, or null: called through Python
    qxsim::CallInputs in;
    nb::object result;              // for a simulator called through Python
};

// What one call reads before anything changes. The simulator keeps one for
// its calls, so that a call allocates nothing once the sizes are reached; a
// call made from the caller's code during another uses one of its own.
struct CallScratch {
    std::vector<PlantCall> calls;
    std::vector<double> wp;
    qxb::ItemPairs u_items;                                  // the caller's u_Value_Dict, read first
    std::vector<std::pair<nb::object, double>> mv_values;    // its entries for known MVs
    std::vector<nb::object> mv_before;                       // _u_dict's values they replace
    std::vector<double> weight_before;                       // the plants' weights before the call

    void reset(std::size_t n) {
        if (calls.size() < n)
            calls.resize(n);
        wp.resize(n);
        weight_before.resize(n);
        mv_values.clear();
        mv_before.clear();
    }
    // Drops the references a finished call took.
    void release() {
        for (PlantCall &c : calls) {
            c.local_obj = nb::object();
            c.sim_obj = nb::object();
            c.result = nb::object();
            c.local = nullptr;
            c.sim = nullptr;
        }
        u_items.clear();
        mv_values.clear();
        mv_before.clear();
    }
};

struct LPVPlantSim {
    qxb::CallSlot<LPVPlantSim> call_slot;  // direct calls (bind/fastcall.hpp)
    nb::object plant_list;      // list of LPVLocalPlant, ascending working points
    nb::object ini_value_dict;  // its own deep copy
    double working_value = 0.0;
    nb::object u_dict, y_dict;  // its own dictionaries of floats
    std::unique_ptr<CallScratch> scratch = std::make_unique<CallScratch>();
    bool busy = false;          // a call is in progress (scratch in use)

    static constexpr auto kept_members() {
        return std::make_tuple(&LPVPlantSim::plant_list, &LPVPlantSim::ini_value_dict,
                               &LPVPlantSim::u_dict, &LPVPlantSim::y_dict);
    }

    static LPVPlantSim make(nb::handle ini) {
        LPVPlantSim s;
        s.ini_value_dict = deepcopy(ini);
        s.plant_list = nb::list();
        s.u_dict = nb::dict();
        s.y_dict = nb::dict();
        return s;
    }

    nb::list plants() const { return nb::borrow<nb::list>(plant_list); }

    // --- plants ------------------------------------------------------------------------------

    // Keeps, for every distinct working point, the first plant in list
    // order, sorted by working point. The working points are read first (a
    // __float__ may run); should that code change plant_list, the sort is
    // refused and plant_list stays as the code left it.
    void sort_plants() {
        nb::object list = plant_list;
        const std::vector<nb::object> items = qxb::items_of(list);
        const std::size_t n = items.size();
        std::vector<double> wp(n);
        for (std::size_t k = 0; k < n; ++k)
            wp[k] = qxb::to_double(local_of(items[k]).working_point.hold());
        bool changed = !plant_list.is(list) || PyList_GET_SIZE(list.ptr()) != Py_ssize_t(n);
        for (std::size_t k = 0; k < n && !changed; ++k)
            changed = PyList_GET_ITEM(list.ptr(), Py_ssize_t(k)) != items[k].ptr();
        if (changed)
            throw std::runtime_error("plant_list changed while it was being sorted");
        nb::list sorted;
        for (std::size_t k : qxdcs::unique_order(wp.data(), n))
            sorted.append(items[k]);
        qxb::ReleaseLast later;
        later.replace(plant_list, std::move(sorted));
    }

    // Repeatedly: the identifiers of plant_list are listed (each held), the
    // first one equal to plant_id is found (its __eq__ may run) and the
    // plant at that index of plant_list, as it is then, is removed.
    void del_plant(nb::handle plant_id) {
        qxb::require_exact(plant_id, &PyLong_Type, "plant_id", "int");
        nb::object id = nb::borrow(plant_id);
        bool removed = false;
        for (;;) {
            std::vector<nb::object> ids;
            for (const nb::object &p : qxb::items_of(plant_list))
                ids.push_back(local_of(p).plant_id.hold());
            std::size_t k = 0;
            while (k < ids.size() && !equal(ids[k], id))
                ++k;
            if (k == ids.size())
                break;
            nb::object list = plant_list;
            if (PySequence_DelItem(list.ptr(), Py_ssize_t(k)) != 0)
                throw nb::python_error();
            removed = true;
        }
        if (removed)
            sort_plants();
    }

    // The new plant is built first: a model dictionary that MIMOSim refuses
    // leaves the simulator exactly as it was (the plant it would have
    // replaced included).
    void add_plant(nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf,
                   nb::handle Ts) {
        qxb::require_exact(plant_id, &PyLong_Type, "plant_id", "int");
        const double wp = qxb::to_double(working_point);
        qxb::exact_dict(yu_model_tf, "yu_model_tf");
        qxb::require_exact(Ts, &PyLong_Type, "Ts", "int");

        // Initial values of the local plant: the MVs keep the simulator's,
        // every CV of the local model starts at 0.0 (the local plant reports
        // deviations).
        nb::object ini = ini_value_dict;  // held: a key's code may replace ours
        nb::object local_ini = deepcopy(ini);
        for (nb::handle cv : nb::borrow<nb::dict>(yu_model_tf).keys())
            local_ini[cv] = 0.0;
        nb::object mimo_type = nb::module_::import_("qxdcs.algorithm.qxProcessSim").attr("MIMOSim");
        nb::object sim = mimo_type(yu_model_tf, "ini_value_dict"_a = local_ini, "Ts"_a = Ts);
        qxsim::MIMOSim &m = qxsim::mimo_of(sim);

        // New tags and their initial values, before anything changes.
        std::vector<std::pair<nb::object, double>> new_cv, new_mv;
        for (const nb::object &tag : m.cv.items)
            if (!PyDict_Contains(y_dict.ptr(), tag.ptr()))
                new_cv.emplace_back(tag, initial_value(ini, tag));
        for (const nb::object &tag : m.mv.items)
            if (!PyDict_Contains(u_dict.ptr(), tag.ptr()))
                new_mv.emplace_back(tag, initial_value(ini, tag));

        nb::object local_obj = nb::borrow(reinterpret_cast<PyObject *>(g_local_type))();
        LocalPlant &lp = *nb::inst_ptr<LocalPlant>(local_obj);
        lp.plant_id.replace(plant_id);
        lp.working_point.replace(nb::float_(wp));
        lp.plant.replace(sim);
        lp.yu_model_tf.replace(yu_model_tf);
        lp.Ts.replace(Ts);

        del_plant(plant_id);
        for (auto &[tag, v] : new_cv)
            set_item(y_dict, tag, v);
        for (auto &[tag, v] : new_mv)
            set_item(u_dict, tag, v);
        if (PyList_Insert(plant_list.ptr(), 0, local_obj.ptr()) != 0)
            throw nb::python_error();
        sort_plants();
    }

    // --- the call ------------------------------------------------------------------------------

    nb::object call(nb::handle working_value_obj, nb::handle u, nb::handle v) {
        std::unique_ptr<CallScratch> own;
        CallScratch *sc = scratch.get();
        if (busy) {
            own = std::make_unique<CallScratch>();
            sc = own.get();
        }
        const bool was_busy = std::exchange(busy, true);
        struct Done {
            LPVPlantSim &s;
            CallScratch &sc;
            bool was_busy;
            ~Done() {
                sc.release();
                s.busy = was_busy;
            }
        } done{*this, *sc, was_busy};
        return call_with(*sc, working_value_obj, u, v);
    }

    nb::object call_with(CallScratch &sc, nb::handle working_value_obj, nb::handle u,
                         nb::handle v) {
        // 1. Everything the caller passed, checked; nothing changes yet.
        const double x = qxb::to_double(working_value_obj);
        if (std::isnan(x))
            throw nb::value_error("cannot convert float NaN to integer");
        nb::list list = plants();  // held: the caller's code may replace plant_list
        const std::size_t n = size_t(PyList_GET_SIZE(list.ptr()));
        if (n == 0)
            throw nb::value_error("array of sample points is empty");

        sc.reset(n);
        std::vector<PlantCall> &calls = sc.calls;
        std::vector<double> &wp = sc.wp;
        const qxsim::SimTypes &types = qxsim::sim_types();
        for (std::size_t k = 0; k < n; ++k) {
            PlantCall &c = calls[k];
            if (Py_ssize_t(k) >= PyList_GET_SIZE(list.ptr()))  // shortened by the caller's code
                throw nb::index_error("plant_list changed during the call");
            c.local_obj = nb::borrow(PyList_GET_ITEM(list.ptr(), Py_ssize_t(k)));
            c.local = &local_of(c.local_obj);
            wp[k] = qxb::to_double(c.local->working_point.hold());
            c.sim_obj = c.local->plant.hold();
            // A MIMOSim, or a subclass that keeps its __call__, runs natively.
            PyTypeObject *tp = Py_TYPE(c.sim_obj.ptr());
            if (PyObject_TypeCheck(c.sim_obj.ptr(), types.mimo) &&
                tp->tp_call == types.mimo->tp_call && nb::inst_ready(c.sim_obj))
                c.sim = &qxsim::mimo_of(c.sim_obj);
        }
        read_mv_values(u, sc);
        for (std::size_t k = 0; k < n; ++k)
            if (calls[k].sim)
                calls[k].sim->read_inputs(u, v, calls[k].in);

        // A NaN working point gives a NaN position (as numpy.interp does),
        // which has no enclosing plants.
        const double position = qxdcs::interp_position(x, wp.data(), n);
        if (std::isnan(position))
            throw nb::value_error("cannot convert float NaN to integer");
        const qxdcs::Blend b = qxdcs::blend_at(position);

        // A CV of the first plant that the second lacks: refused before any
        // plant advances (its result would have no value to blend).
        if (b.id1 != b.id2 && calls[b.id1].sim && calls[b.id2].sim) {
            PlantCall &c2 = calls[b.id2];
            const nb::object pos2 = c2.local->cv_positions(*c2.sim, c2.sim_obj);
            for (const nb::object &tag : calls[b.id1].sim->cv.items)
                if (!PyDict_Contains(pos2.ptr(), tag.ptr())) {
                    PyErr_SetObject(PyExc_KeyError, tag.ptr());
                    throw nb::python_error();
                }
        }

        // 2. The state changes: the working value, the MV values, every
        // plant advances by one sample. A plant whose own code fails (a
        // caller's simulator or element) leaves the working value, the MV
        // values and the weights as they were; the plants before it have
        // advanced, and stay so.
        const double working_value_before = working_value;
        for (std::size_t k = 0; k < n; ++k)
            sc.weight_before[k] = calls[k].local->current_weight;
        working_value = x;
        try {
            for (auto &[tag, value] : sc.mv_values)
                set_item(u_dict, tag, value);
            for (std::size_t k = 0; k < n; ++k) {
                PlantCall &c = calls[k];
                if (c.sim)
                    c.sim->advance(c.in);
                else
                    c.result = c.sim_obj(u, v);
                c.local->current_weight = 0.0;
            }
        } catch (...) {
            undo_inputs(sc, working_value_before);
            throw;
        }

        // 3. The blend of the enclosing plants.
        PlantCall &c1 = calls[b.id1];
        if (b.id1 == b.id2) {
            c1.local->current_weight = 1.0;
            for_each_cv(c1, [&](nb::handle tag, double r1) {
                set_item(y_dict, tag, qxdcs::single_value(r1, initial_value(ini_value_dict, tag)));
            });
        } else {
            PlantCall &c2 = calls[b.id2];
            c1.local->current_weight = b.weight1;
            c2.local->current_weight = b.weight2;
            for_each_cv(c1, [&](nb::handle tag, double r1) {
                const double r2 = value_of(c2, tag);
                set_item(y_dict, tag,
                         qxdcs::blended_value(b, r1, r2, initial_value(ini_value_dict, tag)));
            });
        }
        return copy_float_dict(y_dict);
    }

    // The working value, the MV values and the weights as they were before
    // a call that failed while the plants advanced.
    void undo_inputs(CallScratch &sc, double working_value_before) {
        working_value = working_value_before;
        for (std::size_t k = 0; k < sc.weight_before.size() && k < sc.calls.size(); ++k)
            if (sc.calls[k].local)
                sc.calls[k].local->current_weight = sc.weight_before[k];
        for (std::size_t i = sc.mv_before.size(); i-- > 0;) {
            const nb::object &tag = sc.mv_values[i].first, &old = sc.mv_before[i];
            if (PyDict_SetItem(u_dict.ptr(), tag.ptr(), old.ptr()) != 0)
                PyErr_Clear();  // the error of the failed call is the one reported
        }
    }

    // Every entry of u whose key is already an MV of the simulator, its value
    // converted to a real number, in u's order, and the value in _u_dict it
    // would replace. The entries are read first, each held (the lookup of a
    // key among the MV tags, and a value's __float__, may run the caller's
    // code, which may change u).
    void read_mv_values(nb::handle u, CallScratch &sc) const {
        sc.mv_values.clear();
        sc.mv_before.clear();
        sc.u_items.read(u);
        for (const auto &[key, value] : sc.u_items.pairs()) {
            PyObject *old = PyDict_GetItemWithError(u_dict.ptr(), key.ptr());
            if (!old) {
                if (PyErr_Occurred())
                    throw nb::python_error();
                continue;
            }
            nb::object before = nb::borrow(old);
            sc.mv_values.emplace_back(key, qxb::to_double(value));
            sc.mv_before.push_back(std::move(before));
        }
    }

    // f(tag, value) for every CV of a plant's result, in its order.
    template <class F> static void for_each_cv(PlantCall &c, F &&f) {
        if (c.sim) {
            for (std::size_t i = 0; i < c.sim->n_cv(); ++i)
                f(c.sim->cv.items[i], c.sim->y[i]);
            return;
        }
        nb::object items = nb::steal(PySequence_List(c.result.attr("items")().ptr()));
        if (!items.is_valid())
            throw nb::python_error();
        for (nb::handle item : nb::borrow<nb::list>(items)) {
            auto [tag, value] = qxsim::unpack_pair(item.ptr());
            f(tag, qxb::to_double(value));
        }
    }

    // A plant's result for one CV tag (KeyError when it has none).
    static double value_of(PlantCall &c, nb::handle tag) {
        if (c.sim) {
            const nb::object pos = c.local->cv_positions(*c.sim, c.sim_obj);
            PyObject *p = PyDict_GetItemWithError(pos.ptr(), tag.ptr());
            if (!p) {
                if (!PyErr_Occurred())
                    PyErr_SetObject(PyExc_KeyError, tag.ptr());
                throw nb::python_error();
            }
            return c.sim->y[std::size_t(PyLong_AsSsize_t(p))];
        }
        PyObject *r = PyObject_GetItem(c.result.ptr(), tag.ptr());
        if (!r)
            throw nb::python_error();
        return qxb::to_double(nb::steal(r));
    }

    // --- getters ---------------------------------------------------------------------------------

    nb::dict plant_dict() const {
        nb::dict d;
        qxb::for_each_item(plant_list, [&](const nb::object &p) {
            d[local_of(p).plant_id.hold()] = p;
        });
        return d;
    }

    nb::dict weight_dict() const {
        nb::dict d;
        qxb::for_each_item(plant_list, [&](const nb::object &p) {
            LocalPlant &lp = local_of(p);
            nb::object weight = nb::float_(lp.current_weight);
            d[lp.plant_id.hold()] = weight;
        });
        return d;
    }

    nb::object all_data() const {
        nb::object d = copy_float_dict(u_dict);
        d.attr("update")(copy_float_dict(y_dict));
        return d;
    }

    nb::object plot_model_stp(nb::handle plant_id, nb::handle plotLen) const {
        nb::object found;
        qxb::for_each_item(plant_list, [&](const nb::object &p) {
            if (!found.is_valid() && equal(local_of(p).plant_id.hold(), plant_id))
                found = p;  // held: the comparison may have emptied plant_list
        });
        if (found.is_valid())
            local_of(found).plant.hold().attr("plot_model_stp")(plotLen);
        return nb::none();
    }

    // --- snapshots -------------------------------------------------------------------------------

    nb::dict state() const {
        nb::dict s;
        s["plant_list"] = plant_list;
        s["ini_value_dict"] = ini_value_dict;
        s["_working_value"] = working_value;
        s["_u_dict"] = u_dict;
        s["_y_dict"] = y_dict;
        return s;
    }

    // A restored simulator holds what a built one does: a list of local
    // plants, dictionaries of real numbers.
    static LPVPlantSim from_state(nb::handle s) {
        LPVPlantSim sim;
        nb::list list = qxb::exact_list(qxb::state_item(s, "plant_list"), "plant_list");
        nb::list copy;
        for (nb::handle p : list) {
            if (!PyObject_TypeCheck(p.ptr(), g_local_type))
                throw nb::type_error("plant_list must hold LPVLocalPlant objects");
            copy.append(p);  // may still be restored later in the same unpickling
        }
        sim.plant_list = std::move(copy);
        sim.ini_value_dict = qxb::state_item(s, "ini_value_dict");
        sim.working_value = qxb::to_double(qxb::state_item(s, "_working_value"));
        sim.u_dict = float_dict(qxb::state_item(s, "_u_dict"), "_u_dict");
        sim.y_dict = float_dict(qxb::state_item(s, "_y_dict"), "_y_dict");
        return sim;
    }

    static nb::object float_dict(nb::handle d, const char *name) {
        nb::dict src = qxb::exact_dict(d, name);
        nb::dict out;
        for (auto [k, v] : src)
            out[k] = nb::float_(qxb::to_double(v));
        return std::move(out);
    }
};

} // namespace

NB_MODULE(qxLPVPlant, m) {
    m.doc() = "Linear parameter-varying plant simulator: local MIMO plants blended by a working value.";
    // The local simulators are qxProcessSim's classes.
    nb::module_::import_("qxdcs.algorithm.qxProcessSim");

    // --- LPVLocalPlant -------------------------------------------------------
    auto lp = qxb::block_class<LocalPlant>(m, "LPVLocalPlant",
        "One local plant of an LPVPlantSim: its identifier, working point,\n"
        "simulator (a MIMOSim), model dictionary, sample period and the weight\n"
        "it had in the simulator's last call.");
    g_local_type = reinterpret_cast<PyTypeObject *>(lp.ptr());
    lp.def("__init__", [](LocalPlant *self) { new (self) LocalPlant(LocalPlant::make()); });
    auto rw = [&](const char *name, qxb::Kept LocalPlant::*member, const char *doc) {
        lp.def_prop_rw(name, [member](LocalPlant &p) { return (p.*member).get(); },
                       [member](LocalPlant &p, nb::handle v) { (p.*member).replace(v); },
                       nb::for_setter(nb::arg("value").none()), doc);
    };
    rw("plant_id", &LocalPlant::plant_id, "The plant's identifier (an int once added).");
    rw("working_point", &LocalPlant::working_point, "The working point (a float once added).");
    rw("plant", &LocalPlant::plant, "The local simulator (a MIMOSim once added).");
    rw("yu_model_tf", &LocalPlant::yu_model_tf, "The local model dictionary, as passed.");
    rw("Ts", &LocalPlant::Ts, "The sample period (an int).");
    lp.def_rw("current_weight", &LocalPlant::current_weight,
              "The plant's weight in the simulator's last call.");
    lp.def("__repr__", [](LocalPlant &p) {
        return nb::str("LPVLocalPlant(plant_id={!r}, working_point={!r}, current_weight={!r})")
            .format(p.plant_id.hold(), p.working_point.hold(), p.current_weight);
    });
    qxb::def_state(lp, &LocalPlant::state, &LocalPlant::from_state);
    qxb::finish_block(lp);

    // --- LPVPlantSim ---------------------------------------------------------
    auto cls = qxb::block_class<LPVPlantSim>(m, "LPVPlantSim",
        "Linear parameter-varying plant: local MIMO plants (MIMOSim), each\n"
        "identified at one working point, advanced together with the same inputs;\n"
        "the output blends the two plants whose working points enclose the\n"
        "working value, with weights that interpolate linearly between them\n"
        "(the nearest end plant alone outside the covered range).");
    cls.def("__init__",
            [](LPVPlantSim *self, nb::handle ini) { new (self) LPVPlantSim(LPVPlantSim::make(ini)); },
            nb::arg("ini_value_dict").none().sig("{}") = nb::dict())
        .def("addPlant", &LPVPlantSim::add_plant, "plant_id"_a.none(), "working_point"_a.none(),
             "yu_model_tf"_a.none(), "Ts"_a.none(),
             "Add a local plant (replacing one with the same identifier, and any older\n"
             "plant at the same working point).")
        .def("delPlant", &LPVPlantSim::del_plant, "plant_id"_a.none(),
             "Remove every local plant with this identifier.")
        .def("_sort_plant_list_by_working_point", &LPVPlantSim::sort_plants,
             "Sort plant_list by working point, keeping the first plant of each.")
        .def("__call__", &LPVPlantSim::call, "working_value"_a.none(),
             nb::arg("u_Value_Dict").none().sig("{}") = nb::dict(),
             nb::arg("v_Value_Dict").none().sig("{}") = nb::dict(),
             "One sample: every local plant advances; returns a new dictionary CV tag ->\n"
             "blended current value. Everything passed is checked before anything\n"
             "changes; should a local plant's own code fail (a caller's simulator or\n"
             "model element), the working value, the MV values and the weights are\n"
             "restored, but the local plants before it have advanced and stay so.")
        .def("get_input_data_dict", [](LPVPlantSim &s) { return copy_float_dict(s.u_dict); },
             "A deep copy of _u_dict.")
        .def("get_output_data_dict", [](LPVPlantSim &s) { return copy_float_dict(s.y_dict); },
             "A deep copy of _y_dict.")
        .def("get_all_data_dict", &LPVPlantSim::all_data,
             "The input dictionary updated with the output dictionary.")
        .def("get_plant_dict", &LPVPlantSim::plant_dict,
             "A new dictionary plant_id -> LPVLocalPlant (the objects themselves).")
        .def("get_current_plant_weight_dict", &LPVPlantSim::weight_dict,
             "A new dictionary plant_id -> weight in the last call, in plant_list order.")
        .def("get_cv_list", [](LPVPlantSim &s) { return nb::list(s.y_dict.attr("keys")()); },
             "A new list of the CV tags.")
        .def("get_mv_list", [](LPVPlantSim &s) { return nb::list(s.u_dict.attr("keys")()); },
             "A new list of the MV tags.")
        .def("plot_model_stp", &LPVPlantSim::plot_model_stp, "plant_id"_a.none(),
             "plotLen"_a.none() = 300,
             "Step-response plot of the first local plant with this identifier.")
        .def_prop_rw("plant_list", [](LPVPlantSim &s) { return s.plant_list; },
                     [](LPVPlantSim &s, nb::handle v) {
                         nb::list l = qxb::exact_list(v, "plant_list");
                         qxb::ReleaseLast later;
                         later.replace(s.plant_list, l);
                     },
                     "The local plants, in ascending order of working point.")
        .def_prop_rw("ini_value_dict", [](LPVPlantSim &s) { return s.ini_value_dict; },
                     [](LPVPlantSim &s, nb::handle v) {
                         qxb::ReleaseLast later;
                         later.replace(s.ini_value_dict, nb::borrow(v));
                     },
                     "Initial values by tag (CVs and MVs); a missing tag counts as 0.0.")
        .def_prop_ro("_working_value", [](LPVPlantSim &s) { return s.working_value; },
                     "The working value of the last call.")
        .def_prop_ro("_u_dict", [](LPVPlantSim &s) { return s.u_dict; },
                     "MV tag -> current value.")
        .def_prop_ro("_y_dict", [](LPVPlantSim &s) { return s.y_dict; },
                     "CV tag -> current value.")
        .def("__repr__", [](LPVPlantSim &s) {
            nb::list pts;
            qxb::for_each_item(s.plant_list, [&](const nb::object &p) {
                LocalPlant &lp = local_of(p);
                pts.append(nb::make_tuple(lp.plant_id.hold(), lp.working_point.hold()));
            });
            return nb::str("LPVPlantSim(plants={!r}, working_value={!r})")
                .format(pts, s.working_value);
        });
    qxb::def_state(cls, &LPVPlantSim::state, &LPVPlantSim::from_state);
    qxb::finish_block(cls, "run($self, /, working_value, u_Value_Dict={}, v_Value_Dict={})\n--\n\n"
                           "The same as calling the simulator.");
}

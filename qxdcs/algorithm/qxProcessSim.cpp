// Module qxProcessSim: process model elements, the MIMO simulator built from a
// model dictionary, and the model-dictionary tools (tag lists, step responses,
// step-response plots).
//
// The native types are in qxProcessSim.hpp, so that other modules can drive a
// simulator natively. NumPy (np.array, np.pad, np.diff, np.interp, ...) and
// qxcommon.c2d are called through Python when an element is built; a
// simulator's call is native. Plotting is Python (_plots.py), imported only
// when a plot is drawn.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bind/args.hpp"
#include "bind/block.hpp"
#include "bind/fastcall.hpp"
#include "bind/filter.hpp"
#include "bind/kept.hpp"
#include "bind/numpy.hpp"
#include "qxdcs/step_response.hpp"
#include "qxProcessSim.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qxsim::MIMOSim;
using qxsim::MISOSimulator;
using qxsim::Model;
using qxsim::NoModel;
using qxsim::StpModel;
using qxsim::StpxyModel;
using qxsim::TfsModel;
using qxsim::TfzModel;

namespace {

const char *const kModelTagsDoc =
    "\n"
    "    获取嵌套模型字典中的全部位号, 适用于传递函数模型字典和阶跃响应模型字典\n"
    "    :param yu_model: 嵌套模型字典 {CV: {MV: 模型参数}}\n"
    "    :param mode: \"list\" 或 \"set\"\n"
    "    :return: CV位号列表, MV位号列表\n"
    "    ";

const char *const kMimoDoc =
    "\n"
    "    多输入多输出过程仿真器\n"
    "    :param process_model_dict: 过程模型字典 {CV: {MV: 模型参数}}\n"
    "    :param ini_value_dict: 各位号(CV和MV)的初始值字典\n"
    "    :param Ts: 采样时间\n"
    "    目前支持: tfs, tfz, no_model, stp_model\n"
    "    目前不支持在线修改模型\n"
    "    ";

// --- small Python helpers ---------------------------------------------------------------------

nb::object deepcopy(nb::handle o) { return nb::module_::import_("copy").attr("deepcopy")(o); }

bool truthy(nb::handle o) {
    const int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool equals(nb::handle a, const char *text) {
    nb::str s(text);
    const int r = PyObject_RichCompareBool(a.ptr(), s.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

Py_ssize_t length_of(nb::handle o) {
    const Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// The module qxcommon, which exports c2d.
nb::object qxcommon() { return nb::module_::import_("qxdcs.algorithm.qxcommon"); }

// --- NumPy float64 scalars ----------------------------------------------------------------------
//
// A filter element returns its output as a NumPy float64 scalar, as lfilter's
// output array gives it. The scalar is made as NumPy's own C API makes one
// (PyArrayScalar_New: the type's tp_alloc, then the value written in):
// np.float64 derives from float, so its objects begin with a PyFloatObject
// and the value lies where float keeps it. That is checked once against NumPy
// itself; should it ever disagree, np.float64 is called instead.

struct Float64Maker {
    PyTypeObject *type = nullptr;
    bool direct = false;

    void init() {
        nb::object np_float64 = qxb::numpy().attr("float64");
        type = reinterpret_cast<PyTypeObject *>(np_float64.release().ptr());
        direct = false;
        if (!PyType_IsSubtype(type, &PyFloat_Type) ||
            type->tp_basicsize != PyFloat_Type.tp_basicsize)
            return;
        nb::object probe = nb::steal(type->tp_alloc(type, 0));
        if (!probe.is_valid())
            throw nb::python_error();
        reinterpret_cast<PyFloatObject *>(probe.ptr())->ob_fval = 1.25;
        nb::object as_float = nb::steal(PyNumber_Float(probe.ptr()));
        nb::object doubled = nb::steal(PyNumber_Add(probe.ptr(), probe.ptr()));
        direct = as_float.is_valid() && doubled.is_valid() &&
                 PyFloat_AS_DOUBLE(as_float.ptr()) == 1.25 && Py_TYPE(doubled.ptr()) == type &&
                 PyFloat_AS_DOUBLE(doubled.ptr()) == 2.5;
        PyErr_Clear();
    }

    // A new float64 scalar whose value is written later (direct), or null.
    PyObject *blank() const { return direct ? type->tp_alloc(type, 0) : nullptr; }
    static void write(PyObject *scalar, double v) {
        reinterpret_cast<PyFloatObject *>(scalar)->ob_fval = v;
    }
    PyObject *call(double v) const {
        nb::object f = nb::steal(PyFloat_FromDouble(v));
        if (!f.is_valid())
            return nullptr;
        return PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), f.ptr());
    }
};

Float64Maker float64;

// One sample of a filter element, the result as a float64 scalar. The scalar
// is allocated before the state advances, so a MemoryError changes nothing.
PyObject *filter_step_object(TfzModel &m, double dU) {
    if (!float64.direct)
        return float64.call(m.step(dU));
    PyObject *r = float64.blank();
    if (!r)
        return nullptr;
    Float64Maker::write(r, m.step(dU));
    return r;
}

// --- elements ------------------------------------------------------------------------------------

template <class T> T &native(nb::handle self) {
    if (!nb::inst_ready(self))
        throw nb::type_error("the object is not constructed (its __init__ never ran)");
    return *nb::inst_ptr<T>(self);
}

nb::str class_name(nb::handle self) {
    return nb::str(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))).attr("__name__"));
}

// The live state array of a library element: a view of its state, whose
// capsule shares the element and the block of memory the state lies in (an
// array kept by a caller keeps both alive, wherever the element's block goes).
qxb::FloatArray state_view(const std::shared_ptr<qxdcs::TfzModel> &lib) {
    struct Owner {
        std::shared_ptr<qxdcs::TfzModel> element;
        std::shared_ptr<double> block;
    };
    auto *owner = new Owner{lib, lib->block_owner()};
    nb::capsule keep(owner, [](void *p) noexcept { delete static_cast<Owner *>(p); });
    return qxb::FloatArray::view_of(lib->zi_data(), lib->state_size(), std::move(keep));
}

// A filter of the checked coefficients with its state at rest. A leading
// denominator coefficient of 0 and an empty numerator are refused here, with
// lfilter's messages, rather than by the first sample.
template <class T> T filter_element(nb::handle num, nb::handle den) {
    qxb::FilterCoefficients c = qxb::FilterCoefficients::read(num, den);
    const double *b = c.b.data(), *a = c.a.data();
    if (a[0] == 0.0)
        throw nb::value_error("First `a` filter coefficient must be non-zero.");
    if (c.b.size() == 0)
        throw nb::value_error("Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
    T m;
    m.lib = std::make_shared<qxdcs::TfzModel>(qxdcs::TfzModel::from_coefficients(
        std::vector<double>(b, b + c.b.size()), std::vector<double>(a, a + c.a.size())));
    m.arrays.num = qxb::FloatArray::native_of(b, c.b.size());
    m.arrays.den = qxb::FloatArray::native_of(a, c.a.size());
    m.arrays.num.set_read_only();
    m.arrays.den.set_read_only();
    m.arrays.zi = state_view(m.lib);
    return m;
}

// tfz_model(num, den, delay): Gz_num is num as float64 with `delay` zeros in
// front (np.pad, so a dead time that is not a non-negative integer is refused
// as NumPy refuses it), Gz_den is den as float64.
template <class T = TfzModel> T make_tfz(nb::handle num, nb::handle den, nb::handle delay) {
    nb::handle np = qxb::numpy();
    nb::object num_arr = np.attr("array")(num, "dtype"_a = qxb::dtype_float64());
    nb::object gz_num = np.attr("pad")(num_arr, nb::make_tuple(delay, 0), "mode"_a = "constant",
                                       "constant_values"_a = nb::make_tuple(0, 0));
    nb::object gz_den = np.attr("array")(den, "dtype"_a = qxb::dtype_float64());
    return filter_element<T>(gz_num, gz_den);
}

// tfs_model(num, den, delay, Ts): qxcommon.c2d(num, den, delay, Ts) (zero-order
// hold; the dead time becomes round(delay / Ts) leading numerator zeros).
TfsModel make_tfs(nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
    nb::object res = qxcommon().attr("c2d")(num, den, delay, Ts);
    auto [num_z, den_z] = qxsim::unpack_pair(res);
    return make_tfz<TfsModel>(num_z, den_z, nb::int_(0));
}

// stp_model(stp): the impulse response np.diff(stp, prepend=0) over [1.0].
template <class T = StpModel> T make_stp(nb::handle stp) {
    nb::object num = qxb::numpy().attr("diff")(stp, "prepend"_a = 0);
    return make_tfz<T>(num, nb::make_tuple(1.0), nb::int_(0));
}

// stpxy_model(x, y): the points interpolated at 0, 1, ..., x[-1].
StpxyModel make_stpxy(nb::handle x, nb::handle y) {
    if (length_of(x) != length_of(y))
        raise_assertion();
    nb::handle np = qxb::numpy();
    nb::object last = nb::steal(PySequence_GetItem(x.ptr(), -1));
    if (!last.is_valid())
        throw nb::python_error();
    nb::object grid = np.attr("arange")(0, qxb::py_binop(PyNumber_Add, last, nb::int_(1)));
    nb::object stp = np.attr("interp")(grid, x, y).attr("tolist")();
    return make_stp<StpxyModel>(stp);
}

template <class T> nb::object as_object(T &&m) {
    return nb::cast(std::move(m), nb::rv_policy::move);
}

// _zi as a caller reads it: a list of integer zeros while at rest, else the
// live state array.
nb::object zi_value(const TfzModel &m) {
    if (!m.at_rest())
        return m.arrays.zi.object();
    const std::size_t n = m.state_size();
    nb::list zeros;
    for (std::size_t k = 0; k < n; ++k)
        zeros.append(nb::int_(0));
    return std::move(zeros);
}

nb::dict filter_state(const TfzModel &m) {
    nb::dict s;
    s["Gz_num"] = m.arrays.num.object();
    s["Gz_den"] = m.arrays.den.object();
    s["_zi"] = m.at_rest() ? zi_value(m)
                           : qxb::FloatArray::of(m.lib->zi_data(), m.state_size()).object();
    return s;
}

bool is_rest_list(nb::handle zi, std::size_t n) {
    if (!PyList_CheckExact(zi.ptr()) || std::size_t(PyList_GET_SIZE(zi.ptr())) != n)
        return false;
    for (std::size_t k = 0; k < n; ++k) {
        PyObject *v = PyList_GET_ITEM(zi.ptr(), Py_ssize_t(k));
        if (!PyLong_CheckExact(v) || PyObject_Not(v) != 1)  // an exact int runs no code
            return false;
    }
    return true;
}

// A filter element from its state: the coefficients as stored (not padded
// again), the state as a list of integer zeros (at rest) or as numbers.
template <class T> T filter_from_state(nb::handle s) {
    T m = filter_element<T>(qxb::state_item(s, "Gz_num"), qxb::state_item(s, "Gz_den"));
    nb::object zi = qxb::state_item(s, "_zi");
    const std::size_t n = m.state_size();
    if (!is_rest_list(zi, n)) {
        qxb::FloatArray src = qxb::FloatArray::read(zi);
        if (src.ndim() != 1 || src.size() != n) {
            PyErr_Format(PyExc_ValueError, "_zi must hold %zd values", Py_ssize_t(n));
            throw nb::python_error();
        }
        m.lib->set_zi(src.data(), n);  // no longer at rest
    }
    return m;
}

nb::dict no_state(nb::handle) { return nb::dict(); }
template <class T> T empty_from_state(nb::handle s) {
    if (!PyDict_Check(s.ptr()))
        throw nb::type_error("the state must be a dict");
    return T();
}

nb::object filter_repr(nb::handle self) {
    const TfzModel &m = native<TfzModel>(self);
    return nb::str("{}(Gz_num={!r}, Gz_den={!r})")
        .format(class_name(self), m.arrays.num.object().attr("tolist")(),
                m.arrays.den.object().attr("tolist")());
}

// --- the abstract base -------------------------------------------------------------------------
//
// `model` is a bound class whose deltaU_sim is abstract, and whose __init__
// refuses, as ABCMeta's classes do, a class whose deltaU_sim is still that
// abstract one: model() itself, and a subclass that does not define it. The
// element classes are bound subclasses; a user's Python subclass that defines
// deltaU_sim is instantiable (calling model.__init__ or not). model also
// carries __abstractmethods__, so inspect.isabstract(model) is true.

PyObject *g_abstract_delta = nullptr;  // model.deltaU_sim (a reference of our own)
PyTypeObject *g_model_type = nullptr;

void model_init(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), g_model_type))
        throw nb::type_error("model.__init__() needs a model instance");
    nb::object f = nb::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())), "deltaU_sim"));
    if (!f.is_valid())
        throw nb::python_error();
    if (f.ptr() == g_abstract_delta) {
        PyErr_Format(PyExc_TypeError,
                     "Can't instantiate abstract class %S with abstract method deltaU_sim",
                     class_name(self).ptr());
        throw nb::python_error();
    }
    if (!nb::inst_ready(self)) {
        new (nb::inst_ptr<Model>(self)) Model();
        nb::inst_mark_ready(self);
    }
}

// --- the building rule -------------------------------------------------------------------------

// One pair's model entry (a mapping; an empty one when the pair has no
// model) as a model element, with the simulator's sample period Ts.
nb::object build_element(nb::handle m, nb::handle Ts) {
    nb::object get = m.attr("get");
    nb::object int_mark = get("IntegralMark", 0);
    if (!truthy(m))
        return as_object(NoModel());
    nb::object mode = get("mode", "None");
    if (equals(mode, "None"))
        return as_object(NoModel());
    const bool integral = truthy(int_mark);
    nb::handle np = qxb::numpy();
    if (equals(mode, "tf_s")) {
        nb::object num = m["num_s"];
        nb::object den = integral ? np.attr("convolve")(nb::make_tuple(1, 0), m["den_s"])
                                  : nb::object(m["den_s"]);
        nb::object delay = get("iodelay_s", 0);
        return as_object(make_tfs(num, den, delay, Ts));
    }
    if (equals(mode, "tf_z")) {
        nb::object num = m["num_z"];
        nb::object den = integral ? np.attr("convolve")(nb::make_tuple(1, -1), m["den_z"])
                                  : nb::object(m["den_z"]);
        nb::object delay = get("iodelay_z", 0);
        return as_object(make_tfz(num, den, delay));
    }
    if (equals(mode, "stp")) {
        nb::object stp = integral ? np.attr("cumsum")(m["stp"]) : nb::object(m["stp"]);
        return as_object(make_stp(stp));
    }
    if (equals(mode, "stpxy")) {
        nb::object x = m["x"];
        nb::object y = integral ? np.attr("cumsum")(m["y"]) : nb::object(m["y"]);
        return as_object(make_stpxy(x, y));
    }
    raise_assertion();
}

// (CV tags, MV tags): the keys in order; each MV once, where it first occurs.
std::pair<nb::list, nb::list> model_tags(nb::handle yu_model) {
    nb::list cvs = nb::steal<nb::list>(PySequence_List(yu_model.attr("keys")().ptr()));
    if (!cvs.is_valid())
        throw nb::python_error();
    nb::list mvs;
    for (nb::handle inner : yu_model.attr("values")()) {
        for (nb::handle key : inner.attr("keys")()) {
            const int has = PySequence_Contains(mvs.ptr(), key.ptr());
            if (has < 0)
                throw nb::python_error();
            if (!has)
                mvs.append(key);
        }
    }
    return {cvs, mvs};
}

// A sample period for the step-response tools: exactly an int or a float.
void check_period(nb::handle Ts) {
    PyTypeObject *tp = Py_TYPE(Ts.ptr());
    if (tp != &PyLong_Type && tp != &PyFloat_Type)
        qxb::raise_incorrect_type("Ts", "int or float", Ts);
}

// --- MISOSimulator ------------------------------------------------------------------------------

MISOSimulator make_miso(nb::handle model_list, nb::handle u_ini_list) {
    MISOSimulator s;
    for (nb::handle e : nb::iter(model_list))
        s.models.items.emplace_back(nb::borrow(e));
    std::vector<double> u_ini;
    for (nb::handle v : nb::iter(u_ini_list))
        u_ini.push_back(qxb::to_double(v));
    s.finish(qxsim::sim_types(), std::move(u_ini));
    return s;
}

nb::list object_list(const std::vector<nb::object> &items) {
    nb::list l;
    for (const nb::object &o : items)
        l.append(o);
    return l;
}

nb::list element_list(const std::vector<qxsim::Element> &items) {
    nb::list l;
    for (const qxsim::Element &e : items)
        l.append(e.obj);
    return l;
}

nb::list float_list(const std::vector<double> &values) {
    nb::list l;
    for (double v : values)
        l.append(nb::float_(v));
    return l;
}

nb::dict miso_state(const MISOSimulator &s) {
    nb::dict d;
    d["model_list"] = element_list(s.models.items);
    d["u_ini_list"] = float_list(s.u_ini());
    return d;
}

MISOSimulator miso_from_state(nb::handle st) {
    return make_miso(qxb::state_item(st, "model_list"), qxb::state_item(st, "u_ini_list"));
}

// one_step_sim(u_list): the values are read and converted first (as many as
// there are elements and initial values), then every element advances.
double one_step_sim(MISOSimulator &s, nb::handle u_list) {
    const std::size_t limit = std::min(s.models.items.size(), s.u_ini().size());
    std::vector<double> u;
    if (limit > 0) {
        for (nb::handle v : nb::iter(u_list)) {
            u.push_back(qxb::to_double(v));
            if (u.size() == limit)
                break;
        }
    }
    return s.deviation(qxsim::sim_types(), u.data(), u.size());
}

// --- MIMOSim -----------------------------------------------------------------------------------

double initial_value(nb::handle ini, nb::handle tag) {
    return qxb::to_double(ini.attr("get")(tag, 0.0));
}

// Everything but the current values, from the tag lists, the elements
// (CV-major) and the initial-value dictionary: initial values (MVs first, as
// reset reads them), tag index, result template, one MISOSimulator per CV.
void assemble(MIMOSim &s, const nb::list &cvs, const nb::list &mvs,
              std::vector<nb::object> elements, nb::handle ini) {
    const qxsim::SimTypes &t = qxsim::sim_types();
    const std::size_t ncv = nb::len(cvs), nmv = nb::len(mvs);
    for (nb::handle tag : mvs)
        s.u_ini.push_back(initial_value(ini, tag));
    for (nb::handle tag : cvs)
        s.y_ini.push_back(initial_value(ini, tag));
    nb::dict position, templ;
    std::size_t j = 0;
    for (nb::handle tag : mvs) {
        s.mv.items.push_back(nb::borrow(tag));
        position[tag] = nb::int_(j++);
        s.str_tags = s.str_tags && PyUnicode_CheckExact(tag.ptr());
    }
    nb::object zero = nb::float_(0.0);
    for (nb::handle tag : cvs) {
        s.cv.items.push_back(nb::borrow(tag));
        templ[tag] = zero;
        s.str_tags = s.str_tags && PyUnicode_CheckExact(tag.ptr());
    }
    for (std::size_t i = 0; i < ncv; ++i) {
        MISOSimulator miso;
        for (std::size_t j = 0; j < nmv; ++j)
            miso.models.items.emplace_back(elements[i * nmv + j]);
        miso.finish(t, s.u_ini);
        nb::object obj = as_object(std::move(miso));
        s.miso.push_back(nb::inst_ptr<MISOSimulator>(obj));
        s.simulators.items.push_back(std::move(obj));
    }
    s.elements.items = std::move(elements);
    s.mv_position = std::move(position);
    s.out_template = std::move(templ);
    s.scratch.size_for(nmv, ncv);
}

// The elements of a simulator being made (built by it, or restored): the
// blocks of their library elements (coefficients, state, mark) go one after
// the other into one arena, in the order a sample walks them, as the
// library's own simulator lays out its elements, and their _zi arrays are
// made again over the new place. An element whose library element another
// simulator steps, or whose state array is held outside it (the caller's
// code may have run while the elements were built), keeps its own block.
void pack_blocks(const std::vector<nb::object> &elements) {
    const qxsim::SimTypes &t = qxsim::sim_types();
    std::vector<TfzModel *> own;
    std::unordered_set<TfzModel *> seen;
    std::size_t total = 0;
    for (const nb::object &e : elements) {
        if (!t.is_filter(Py_TYPE(e.ptr())) || !nb::inst_ready(e))
            continue;
        TfzModel *m = nb::inst_ptr<TfzModel>(e);
        // The _zi array is held only by the element (as an object and by its
        // buffer view), the library element only by the element and that
        // array's capsule.
        if (Py_REFCNT(m->arrays.zi.object().ptr()) != 2 || m->lib.use_count() != 2 ||
            !seen.insert(m).second)
            continue;
        own.push_back(m);
        total += m->lib->block_size();
    }
    if (total == 0)
        return;
    std::shared_ptr<double> arena(new double[total](), std::default_delete<double[]>());
    std::size_t at = 0;
    for (TfzModel *m : own) {
        m->lib->move_block(arena, at);
        at += m->lib->block_size();
        m->arrays.zi = state_view(m->lib);
    }
}

MIMOSim make_mimo(nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts) {
    nb::dict d = qxb::exact_dict(process_model_dict, "process_model_dict");
    nb::object model_copy = deepcopy(d);
    auto [cvs, mvs] = model_tags(d);
    nb::object ini_copy = deepcopy(ini_value_dict);
    std::vector<nb::object> elements;
    for (nb::handle cv : cvs) {
        nb::object inner = d[cv];
        nb::object get = inner.attr("get");
        for (nb::handle mv : mvs)
            elements.push_back(build_element(get(mv, nb::dict()), Ts));
    }
    pack_blocks(elements);
    MIMOSim s;
    assemble(s, cvs, mvs, std::move(elements), ini_copy);
    s.u = s.u_ini;
    s.y = s.y_ini;
    s.Ts = qxb::Kept(Ts);
    s.model_dict = qxb::Kept(model_copy);
    s.ini_dict = qxb::Kept(ini_copy);
    return s;
}

nb::dict yu_model_obj(const MIMOSim &s) {
    nb::dict d;
    for (std::size_t i = 0; i < s.n_cv(); ++i) {
        nb::dict row;
        for (std::size_t j = 0; j < s.n_mv(); ++j)
            row[s.mv.items[j]] = s.element(i, j);
        d[s.cv.items[i]] = row;
    }
    return d;
}

nb::dict cv_simulators(const MIMOSim &s) {
    nb::dict d;
    for (std::size_t i = 0; i < s.n_cv(); ++i)
        d[s.cv.items[i]] = s.simulators.items[i];
    return d;
}

nb::dict input_dict(const MIMOSim &s) { return MIMOSim::tag_dict(s.mv, s.u); }
nb::dict output_dict(const MIMOSim &s) { return MIMOSim::tag_dict(s.cv, s.y); }

nb::dict all_data_dict(const MIMOSim &s) {
    nb::dict d = input_dict(s);
    for (std::size_t i = 0; i < s.n_cv(); ++i)
        d[s.cv.items[i]] = nb::float_(s.y[i]);
    return d;
}

nb::list tag_list(const qxsim::OwnList &tags) { return object_list(tags.items); }

nb::dict mimo_state(const MIMOSim &s) {
    nb::dict st;
    st["Ts"] = s.Ts.get();
    st["process_model_dict"] = s.model_dict.get();
    st["ini_value_dict"] = s.ini_dict.get();
    st["yu_model_obj"] = yu_model_obj(s);
    st["_u_dict"] = input_dict(s);
    st["_y_dict"] = output_dict(s);
    return st;
}

// A restored simulator obeys what a constructed one does: tag lists from an
// exact dict, a constructed element of the package's own types for every
// pair, initial and current values as real numbers.
MIMOSim mimo_from_state(nb::handle st) {
    nb::object Ts = qxb::state_item(st, "Ts");
    nb::dict d = qxb::exact_dict(qxb::state_item(st, "process_model_dict"), "process_model_dict");
    nb::object model_copy = deepcopy(d);
    auto [cvs, mvs] = model_tags(d);
    nb::object ini_copy = deepcopy(qxb::state_item(st, "ini_value_dict"));
    nb::object yu = qxb::state_item(st, "yu_model_obj");
    const qxsim::SimTypes &t = qxsim::sim_types();
    std::vector<nb::object> elements;
    for (nb::handle cv : cvs) {
        nb::object row = yu[cv];
        for (nb::handle mv : mvs) {
            nb::object e = row[mv];
            PyTypeObject *tp = Py_TYPE(e.ptr());
            if (!(t.is_filter(tp) || tp == t.no_model) || !nb::inst_ready(e))
                throw nb::type_error("yu_model_obj must hold a constructed model element of "
                                     "qxProcessSim for every CV/MV pair");
            elements.push_back(std::move(e));
        }
    }
    pack_blocks(elements);
    MIMOSim s;
    assemble(s, cvs, mvs, std::move(elements), ini_copy);
    nb::object u_d = qxb::state_item(st, "_u_dict"), y_d = qxb::state_item(st, "_y_dict");
    for (nb::handle mv : mvs)
        s.u.push_back(qxb::to_double(u_d[mv]));
    for (nb::handle cv : cvs)
        s.y.push_back(qxb::to_double(y_d[cv]));
    s.Ts = qxb::Kept(Ts);
    s.model_dict = qxb::Kept(model_copy);
    s.ini_dict = qxb::Kept(ini_copy);
    return s;
}

// The fast path of a call: positional arguments only (keywords and wrong
// counts go to the bound method, which parses and reports them). A C++
// exception becomes its Python error in the shared fast_entry.
PyObject *mimo_call_fast(MIMOSim &s, PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 2)
        return nullptr;
    static PyObject *empty = PyDict_New();  // never changed: read only
    nb::handle u = nargs > 0 ? args[0] : empty;
    nb::handle v = nargs > 1 ? args[1] : empty;
    return s.call(u, v).release().ptr();
}

PyObject *delta_fast(TfzModel &m, PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    double x;
    if (nargs != 1 || !qxb::plain_floats(args, 1, &x))
        return nullptr;
    return filter_step_object(m, x);
}

constexpr char kCall[] = "__call__";
constexpr char kDeltaU[] = "deltaU_sim";

// --- step responses -----------------------------------------------------------------------------

nb::dict model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length_obj) {
    nb::dict d = qxb::exact_dict(yu_model, "yu_model");
    check_period(Ts);
    const long long length = qxb::exact_int(length_obj, "length");
    auto [cvs, mvs] = model_tags(d);
    nb::dict result;
    for (nb::handle cv : cvs) {
        nb::dict row;
        for (nb::handle mv : mvs)
            row[mv] = nb::list();
        result[cv] = row;
    }
    const std::size_t n = length > 0 ? std::size_t(length) : 0;
    std::vector<double> r(n);
    const qxsim::SimTypes &t = qxsim::sim_types();
    for (nb::handle cv : cvs) {
        nb::object get = d[cv].attr("get");
        nb::object row = result[cv];
        for (nb::handle mv : mvs) {
            // A unit step applied in sample 0 to the pair alone, from rest, as a
            // simulator of that pair with zero initial values reports it.
            qxsim::Element e(build_element(get(mv, nb::dict()), Ts));
            for (std::size_t k = 0; k < n; ++k) {
                const double dev = 0.0 + e.step(t, 1.0 - 0.0);
                r[k] = (dev + 0.0) + 0.0;
            }
            if (n == 0)
                throw nb::value_error("max() arg is an empty sequence");
            if (!qxdcs::is_flat(r.data(), n, 1e-6))
                row[mv] = float_list(r);
        }
    }
    return result;
}

nb::object plot_stp(nb::handle yu_model, nb::handle Ts, nb::handle plot_len) {
    qxb::exact_dict(yu_model, "yu_model");
    check_period(Ts);
    qxb::exact_int(plot_len, "plotLen");
    nb::object found = nb::module_::import_("importlib.util").attr("find_spec")("matplotlib");
    if (found.is_none())
        return nb::none();
    nb::dict stp = model_stp(yu_model, Ts, plot_len);
    auto [cvs, mvs] = model_tags(yu_model);
    nb::module_::import_("qxdcs.algorithm._plots").attr("plot_step_grid")(cvs, mvs, stp);
    return nb::none();
}

} // namespace

NB_MODULE(qxProcessSim, m) {
    m.doc() = "Process simulation: model elements, a MIMO simulator built from a model "
              "dictionary, and step responses of a model dictionary.";
    m.attr("np") = qxb::numpy();
    m.attr("signal") = nb::module_::import_("scipy.signal");
    m.attr("copy") = nb::module_::import_("copy");
    m.attr("qxcommon") = qxcommon();
    float64.init();

    // --- model (abstract) --------------------------------------------------------------------
    auto model = qxb::block_class<Model>(m, "model",
        "Abstract base of the model elements: one CV/MV pair, advanced one sample per\n"
        "deltaU_sim(dU) call with the input's deviation from its initial value,\n"
        "returning the output's deviation. Subclasses define deltaU_sim.");
    model.def("__init__", &model_init, "Refuses a class whose deltaU_sim is abstract.")
        .def("deltaU_sim",
             [](nb::handle, nb::handle) -> nb::object {
                 throw nb::type_error("deltaU_sim is abstract: a model subclass defines it");
             },
             "dU"_a.none(), "Abstract: the output deviation for the input deviation dU.")
        .def("__repr__", [](nb::handle self) { return nb::str("{}()").format(class_name(self)); });
    qxb::def_state(model, &no_state, &empty_from_state<Model>);
    qxb::finish_block(model);
    g_model_type = reinterpret_cast<PyTypeObject *>(model.ptr());
    g_abstract_delta = nb::getattr(model, "deltaU_sim").release().ptr();
    nb::setattr(model, "__abstractmethods__",
                nb::module_::import_("builtins").attr("frozenset")(nb::make_tuple("deltaU_sim")));

    // --- no_model --------------------------------------------------------------------------------
    auto no_model = qxb::block_class<NoModel>(m, "no_model",
        "Zero response: the MV has no effect on the CV.", model);
    no_model.def("__init__", [](NoModel *self) { new (self) NoModel(); })
        .def("deltaU_sim",
             [](NoModel &, nb::handle dU) {
                 qxb::to_double(dU);
                 return 0.0;
             },
             "dU"_a.none() = 0.0, "Returns 0.0 for any real dU.");
    qxb::def_state(no_model, &no_state, &empty_from_state<NoModel>);
    qxb::finish_block(no_model);

    // --- tfz_model -------------------------------------------------------------------------------
    auto tfz = qxb::block_class<TfzModel>(m, "tfz_model",
        "Discrete transfer function num(z^-1)/den(z^-1) with a dead time of `delay`\n"
        "whole samples (leading zeros of Gz_num). One deltaU_sim call is one sample of\n"
        "scipy.signal.lfilter(Gz_num, Gz_den, [dU], zi=_zi), to the last bit.", model);
    tfz.def("__init__",
            [](TfzModel *self, nb::handle num, nb::handle den, nb::handle delay) {
                new (self) TfzModel(make_tfz(num, den, delay));
            },
            nb::arg("num").none().sig("[0, 1, 0.5]") = nb::make_tuple(0, 1, 0.5),
            nb::arg("den").none().sig("[1, -1.5, 0.7]") = nb::make_tuple(1, -1.5, 0.7),
            "delay"_a.none() = 0)
        .def("deltaU_sim",
             [](TfzModel &self, nb::handle dU) {
                 const double x = qxb::to_double(dU);
                 PyObject *r = filter_step_object(self, x);
                 if (!r)
                     throw nb::python_error();
                 return nb::steal(r);
             },
             "dU"_a.none(), "One sample: the output deviation (a NumPy float64) for dU.")
        .def("reset_zi", &TfzModel::reset_zi, "Clear the filter state (inputs and outputs "
                                                "before now count as zero).")
        .def_prop_ro("Gz_num", [](TfzModel &s) { return s.arrays.num.object(); },
                     "Numerator for z^0, z^-1, ..., dead-time zeros in front (read-only array).")
        .def_prop_ro("Gz_den", [](TfzModel &s) { return s.arrays.den.object(); },
                     "Denominator for z^0, z^-1, ... (read-only array).")
        .def_prop_ro("_zi", [](TfzModel &s) { return zi_value(s); },
                     "Filter state as lfilter's zi: a list of integer zeros after construction\n"
                     "or reset_zi, then the live float64 state array.")
        .def("__repr__", &filter_repr);
    qxb::fast_method<TfzModel, kDeltaU, &delta_fast>(
        tfz, "deltaU_sim($self, /, dU)\n--\n\n"
             "One sample: the output deviation (a NumPy float64) for dU.");
    qxb::def_state(tfz, &filter_state, &filter_from_state<TfzModel>);
    qxb::finish_block(tfz);

    // --- tfs_model, stp_model, stpxy_model ------------------------------------------------------
    auto tfs = qxb::block_class<TfsModel>(m, "tfs_model",
        "Continuous transfer function num(s)/den(s) with a dead time of `delay` time\n"
        "units, discretised once by qxcommon.c2d (zero-order hold) at the sample period Ts.",
        tfz);
    tfs.def("__init__",
            [](TfsModel *self, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
                new (self) TfsModel(make_tfs(num, den, delay, Ts));
            },
            nb::arg("num").none().sig("[0, 1]") = nb::make_tuple(0, 1),
            nb::arg("den").none().sig("[5, 1]") = nb::make_tuple(5, 1), "delay"_a.none() = 0,
            "Ts"_a.none() = 1);
    qxb::def_state(tfs, &filter_state, &filter_from_state<TfsModel>);
    qxb::finish_block(tfs);

    auto stp = qxb::block_class<StpModel>(m, "stp_model",
        "Step-response model: stp[j] is the output j samples after a unit input step\n"
        "(stp[0] in the step's own sample), run as the FIR filter diff(stp, prepend=0).",
        tfz);
    stp.def("__init__", [](StpModel *self, nb::handle s) { new (self) StpModel(make_stp(s)); },
            nb::arg("stp").none().sig("[0.5, 1, 2, 3, 4, 5]") = nb::make_tuple(0.5, 1, 2, 3, 4, 5));
    qxb::def_state(stp, &filter_state, &filter_from_state<StpModel>);
    qxb::finish_block(stp);

    auto stpxy = qxb::block_class<StpxyModel>(m, "stpxy_model",
        "Step-response model given by breakpoints: the points (x, y), x in samples,\n"
        "interpolated linearly at 0, 1, ..., x[-1].", stp);
    stpxy.def("__init__",
              [](StpxyModel *self, nb::handle x, nb::handle y) {
                  new (self) StpxyModel(make_stpxy(x, y));
              },
              nb::arg("x").none().sig("[1, 2, 3]") = nb::make_tuple(1, 2, 3),
              nb::arg("y").none().sig("[10, 20, 30]") = nb::make_tuple(10, 20, 30));
    qxb::def_state(stpxy, &filter_state, &filter_from_state<StpxyModel>);
    qxb::finish_block(stpxy);

    // --- MISOSimulator ---------------------------------------------------------------------------
    auto miso = qxb::block_class<MISOSimulator>(m, "MISOSimulator",
        "The contributions of all MVs to one CV: one model element per MV, with the\n"
        "MVs' initial values. The elements and values are fixed at construction.");
    miso.def("__init__",
             [](MISOSimulator *self, nb::handle model_list, nb::handle u_ini_list) {
                 new (self) MISOSimulator(make_miso(model_list, u_ini_list));
             },
             "model_list"_a.none(), "u_ini_list"_a.none())
        .def("one_step_sim", &one_step_sim, "u_list"_a.none(),
             "The CV's deviation for the MV values u_list: the sum of every element's\n"
             "deltaU_sim(u - u_ini), each element advancing one sample.")
        .def_prop_ro("model_list", [](MISOSimulator &s) { return element_list(s.models.items); },
                     "The model elements, one per MV (a new list of the live elements).")
        .def_prop_ro("u_ini_list", [](MISOSimulator &s) { return float_list(s.u_ini()); },
                     "The MVs' initial values (a new list).")
        .def("__repr__", [](MISOSimulator &s) {
            return nb::str("MISOSimulator(model_list={!r}, u_ini_list={!r})")
                .format(element_list(s.models.items), float_list(s.u_ini()));
        });
    qxb::def_state(miso, &miso_state, &miso_from_state);
    qxb::finish_block(miso);

    // --- MIMOSim ---------------------------------------------------------------------------------
    auto mimo = qxb::block_class<MIMOSim>(m, "MIMOSim", kMimoDoc);
    mimo.def("__init__",
             [](MIMOSim *self, nb::handle process_model_dict, nb::handle ini_value_dict,
                nb::handle Ts) {
                 new (self) MIMOSim(make_mimo(process_model_dict, ini_value_dict, Ts));
             },
             "process_model_dict"_a.none(), "ini_value_dict"_a.none() = nb::dict(),
             "Ts"_a.none() = 1)
        .def("__call__", &MIMOSim::call, "u_Value_Dict"_a.none() = nb::dict(),
             "v_Value_Dict"_a.none() = nb::dict(),
             "One sample: the MV values given in u_Value_Dict (others keep theirs), the\n"
             "CV disturbances of v_Value_Dict for this sample only; returns a new\n"
             "dictionary CV tag -> value.")
        .def("reset", &MIMOSim::reset,
             "Back to the initial values, every element's state cleared (the process at rest).")
        .def("get_process_tags",
             [](MIMOSim &s) {
                 nb::list l = tag_list(s.cv);
                 for (const nb::object &t : s.mv.items)
                     l.append(t);
                 return l;
             },
             "New list: the CV tags, then the MV tags.")
        .def("get_input_data_dict", &input_dict, "New dictionary MV tag -> current value.")
        .def("get_output_data_dict", &output_dict, "New dictionary CV tag -> current value.")
        .def("get_all_data_dict", &all_data_dict,
             "New dictionary: the MV values updated with the CV values.")
        .def("get_cv_list", [](MIMOSim &s) { return tag_list(s.cv); }, "New list of the CV tags.")
        .def("get_mv_list", [](MIMOSim &s) { return tag_list(s.mv); }, "New list of the MV tags.")
        .def("get_model_dict", [](MIMOSim &s) { return deepcopy(s.model_dict.get()); },
             "A deep copy of the model dictionary.")
        .def("plot_model_stp",
             [](MIMOSim &s, nb::handle plot_len) {
                 nb::object model = s.model_dict.hold(), ts = s.Ts.hold();
                 return plot_stp(model, ts, plot_len);
             },
             "plotLen"_a.none() = 300, "Plot the step responses of the simulator's model.")
        .def_prop_ro("Ts", [](MIMOSim &s) { return s.Ts.get(); }, "Sample period, as passed.")
        .def_prop_ro("process_model_dict", [](MIMOSim &s) { return deepcopy(s.model_dict.get()); },
                     "The model dictionary (a deep copy).")
        .def_prop_ro("ini_value_dict", [](MIMOSim &s) { return deepcopy(s.ini_dict.get()); },
                     "The initial values by tag (a deep copy).")
        .def_prop_ro("cv_list", [](MIMOSim &s) { return tag_list(s.cv); },
                     "The CV tags (a new list).")
        .def_prop_ro("mv_list", [](MIMOSim &s) { return tag_list(s.mv); },
                     "The MV tags (a new list).")
        .def_prop_ro("yu_model_obj", &yu_model_obj,
                     "New dictionary CV tag -> (MV tag -> the live model element).")
        .def_prop_ro("cv_simulators", &cv_simulators,
                     "New dictionary CV tag -> the live MISOSimulator.")
        .def_prop_ro("_u_dict", &input_dict, "Current MV values (a new dictionary).")
        .def_prop_ro("_y_dict", &output_dict, "Current CV values (a new dictionary).")
        .def("__repr__", [](nb::handle self) {
            const MIMOSim &s = native<MIMOSim>(self);
            return nb::str("{}(cv_list={!r}, mv_list={!r}, Ts={!r})")
                .format(class_name(self), tag_list(s.cv), tag_list(s.mv), s.Ts.get());
        });
    qxb::fast_method<MIMOSim, kCall, &mimo_call_fast>(
        mimo, "__call__($self, /, u_Value_Dict={}, v_Value_Dict={})\n--\n\n"
              "One sample: the MV values given in u_Value_Dict (others keep theirs), the\n"
              "CV disturbances of v_Value_Dict for this sample only; returns a new\n"
              "dictionary CV tag -> value.");
    qxb::def_state(mimo, &mimo_state, &mimo_from_state);
    qxb::finish_block(mimo);

    // --- SISOSim: a MIMOSim with one first-order pair, MV "MV" to CV "CV" ------------------------
    // Defined as a subclass of MIMOSim that adds only its constructor; it is
    // registered, pickled and called as MIMOSim is.
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "SISOSim";
    ns["__slots__"] = nb::tuple();
    ns["__doc__"] = "A MIMOSim of one pair: gain/(tao*s + 1) with a dead time of `delay` from\n"
                    "\"MV\" to \"CV\" (an integrator in series when integralMark is true),\n"
                    "initial values 0.0.";
    nb::object siso = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(mimo.ptr())))(
        "SISOSim", nb::make_tuple(mimo), ns);
    nb::cpp_function_def(
        [](nb::handle self, nb::handle gain, nb::handle tao, nb::handle delay, nb::handle Ts,
           nb::handle integralMark) {
            nb::list num, den;
            num.append(0);
            num.append(gain);
            den.append(tao);
            den.append(1);
            nb::dict entry;
            entry["mode"] = "tf_s";
            entry["num_s"] = num;
            entry["den_s"] = den;
            entry["iodelay_s"] = delay;
            entry["IntegralMark"] = integralMark;
            nb::dict inner, model, ini;
            inner["MV"] = entry;
            model["CV"] = inner;
            ini["CV"] = 0.0;
            ini["MV"] = 0.0;
            nb::type<MIMOSim>().attr("__init__")(self, model, ini, Ts);
        },
        nb::scope(siso), nb::name("__init__"), nb::is_method(), "gain"_a.none(), "tao"_a.none(),
        "delay"_a.none() = 0, "Ts"_a.none() = 1, "integralMark"_a.none() = 0,
        "Build the one-pair model and construct as MIMOSim with it.");
    m.attr("SISOSim") = siso;

    // --- module functions ------------------------------------------------------------------------
    m.def("get_model_tags",
          [](nb::handle yu_model) {
              auto [cvs, mvs] = model_tags(yu_model);
              return nb::make_tuple(cvs, mvs);
          },
          "yu_model"_a.none(), kModelTagsDoc);
    m.def("get_model_stp", &model_stp, "yu_model"_a.none(), "Ts"_a.none() = 1,
          "length"_a.none() = 300,
          "Unit-step response of every CV/MV pair over `length` samples, each pair\n"
          "simulated alone from rest; a flat response (max - min < 1e-6) is [].");
    m.def("plot_model_stp", &plot_stp, "yu_model"_a.none(), "Ts"_a.none() = 1,
          "plotLen"_a.none() = 300,
          "Plot the step responses as a grid, one row per CV and one column per MV\n"
          "(needs Matplotlib; without it, returns None and draws nothing).");

    qxsim::sim_types();  // every class is registered: fill the type table now
}

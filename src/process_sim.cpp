#include "qxdcs/process_sim.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "qxdcs/c2d.hpp"
#include "qxdcs/error.hpp"

namespace qxdcs {

// --- entries and the dictionary ----------------------------------------------------------

ModelSpec ModelSpec::tf_s(std::vector<double> num, std::vector<double> den, double delay,
                          bool integral) {
    ModelSpec m;
    m.mode = Mode::TfS;
    m.num = std::move(num);
    m.den = std::move(den);
    m.iodelay_s = delay;
    m.integral = integral;
    return m;
}

ModelSpec ModelSpec::tf_z(std::vector<double> num, std::vector<double> den, long long delay,
                          bool integral) {
    ModelSpec m;
    m.mode = Mode::TfZ;
    m.num = std::move(num);
    m.den = std::move(den);
    m.iodelay_z = delay;
    m.integral = integral;
    return m;
}

ModelSpec ModelSpec::step(std::vector<double> stp, bool integral) {
    ModelSpec m;
    m.mode = Mode::Stp;
    m.stp = std::move(stp);
    m.integral = integral;
    return m;
}

ModelSpec ModelSpec::step_xy(std::vector<double> x, std::vector<double> y, bool integral) {
    ModelSpec m;
    m.mode = Mode::StpXY;
    m.x = std::move(x);
    m.y = std::move(y);
    m.integral = integral;
    return m;
}

ModelDict &ModelDict::add_cv(const std::string &cv) {
    for (const Row &r : rows_)
        if (r.cv == cv)
            return *this;
    rows_.push_back(Row{cv, {}});
    return *this;
}

ModelDict &ModelDict::add(const std::string &cv, const std::string &mv, ModelSpec entry) {
    add_cv(cv);
    for (Row &r : rows_) {
        if (r.cv != cv)
            continue;
        for (auto &[tag, s] : r.models)
            if (tag == mv) {
                s = std::move(entry);
                return *this;
            }
        r.models.emplace_back(mv, std::move(entry));
    }
    return *this;
}

const ModelSpec *ModelDict::find(std::string_view cv, std::string_view mv) const {
    for (const Row &r : rows_)
        if (r.cv == cv)
            for (const auto &[tag, s] : r.models)
                if (tag == mv)
                    return &s;
    return nullptr;
}

std::vector<std::string> ModelDict::cv_tags() const {
    std::vector<std::string> t;
    for (const Row &r : rows_)
        t.push_back(r.cv);
    return t;
}

std::vector<std::string> ModelDict::mv_tags() const {
    std::vector<std::string> t;
    for (const Row &r : rows_)
        for (const auto &m : r.models)
            if (std::find(t.begin(), t.end(), m.first) == t.end())
                t.push_back(m.first);
    return t;
}

// --- elements --------------------------------------------------------------------------------------

namespace {

// The pair of coefficient vectors checked as lfilter checks them.
void check_filter(const std::vector<double> &b, const std::vector<double> &a) {
    if (a.empty())
        throw ValueError("There must be at least one `a` coefficient.");
    if (a[0] == 0.0)
        throw ValueError("First `a` filter coefficient must be non-zero.");
    if (b.empty())
        throw ValueError("Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
}

// numpy.convolve(c, v) for a two-term c: out[k] = c[0]*v[k] + c[1]*v[k-1]
// (products of missing entries left out, as the full convolution has them).
std::vector<double> convolve2(double c0, double c1, const std::vector<double> &v) {
    const std::size_t n = v.size();
    if (n == 0)
        throw ValueError("v cannot be empty");
    std::vector<double> out(n + 1);
    out[0] = c0 * v[0];
    for (std::size_t k = 1; k < n; ++k)
        out[k] = c0 * v[k] + c1 * v[k - 1];
    out[n] = c1 * v[n - 1];
    return out;
}

// numpy.cumsum: running sums from the first element.
std::vector<double> cumsum(const std::vector<double> &v) {
    std::vector<double> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        out[i] = i == 0 ? v[0] : out[i - 1] + v[i];
    return out;
}

// numpy.interp(xv, xp, fp) for one point, xp increasing, len(xp) >= 1:
// the same comparisons and operations in the same order.
double interp(double xv, const std::vector<double> &xp, const std::vector<double> &fp) {
    const std::size_t n = xp.size();
    if (n == 1)  // left, right and the point itself are all fp[0]
        return fp[0];
    if (std::isnan(xv))
        return xv;
    if (xv < xp[0])
        return fp[0];
    if (xv > xp[n - 1])
        return fp[n - 1];
    if (xv == xp[n - 1])
        return fp[n - 1];
    std::size_t lo = 0, hi = n - 1;  // xp[lo] <= xv < xp[hi]
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (xp[mid] <= xv)
            lo = mid;
        else
            hi = mid;
    }
    const std::size_t j = lo;
    if (xp[j] == xv)
        return fp[j];
    const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
    double r = slope * (xv - xp[j]) + fp[j];
    if (std::isnan(r)) {
        r = slope * (xv - xp[j + 1]) + fp[j + 1];
        if (std::isnan(r) && fp[j] == fp[j + 1])
            r = fp[j];
    }
    return r;
}

std::vector<double> padded(std::vector<double> num, long long delay) {
    if (delay < 0)
        throw ValueError("index can't contain negative values");
    num.insert(num.begin(), std::size_t(delay), 0.0);
    return num;
}

std::vector<double> impulse_of(const std::vector<double> &stp) {
    // numpy.diff(stp, prepend=0): stp[0] - 0, stp[1] - stp[0], ...
    std::vector<double> num(stp.size());
    for (std::size_t j = 0; j < stp.size(); ++j)
        num[j] = stp[j] - (j == 0 ? 0.0 : stp[j - 1]);
    return num;
}

} // namespace

TfzModel::TfzModel(std::vector<double> num, std::vector<double> den, long long delay)
    : TfzModel(Coefficients{}, padded(std::move(num), delay), std::move(den)) {}

TfzModel::TfzModel(Coefficients, std::vector<double> Gz_num, std::vector<double> Gz_den)
    : num_(std::move(Gz_num)), den_(std::move(Gz_den)) {
    check_filter(num_, den_);
    kernel_ = Tdf2Filter(num_.data(), num_.size(), den_.data(), den_.size());
    n_state_ = kernel_.state_size();
    const Tdf2Filter::View k = kernel_.view();
    n_coef_ = 2 * k.n;
    block_ = std::shared_ptr<double>(new double[block_size()](), std::default_delete<double[]>());
    std::copy(k.ba, k.ba + n_coef_, block_.get());
    block_.get()[n_coef_ + n_state_] = 1.0;
    view_ = k;
    view_.ba = block_.get();
}

void TfzModel::move_block(const std::shared_ptr<double> &arena, std::size_t offset) {
    double *to = arena.get() + offset;
    std::copy(block_.get(), block_.get() + block_size(), to);
    block_ = std::shared_ptr<double>(arena, to);
    view_.ba = to;
}

TfzModel TfzModel::from_coefficients(std::vector<double> Gz_num, std::vector<double> Gz_den) {
    return TfzModel(Coefficients{}, std::move(Gz_num), std::move(Gz_den));
}

void TfzModel::reset_zi() {
    double *z = zi_data();
    std::fill(z, z + n_state_, 0.0);
    z[n_state_] = 1.0;
}

void TfzModel::set_zi(const double *zi, std::size_t n) {
    if (n != n_state_)
        throw ValueError("_zi must hold " + std::to_string(n_state_) + " values");
    double *z = zi_data();  // in place: simulators step it there
    if (n > 0)
        std::memmove(z, zi, n * sizeof(double));  // zi may be this very state
    z[n_state_] = 0.0;
}

TfsModel::TfsModel(const std::vector<double> &num, const std::vector<double> &den, double delay,
                   double Ts)
    : TfsModel(c2d(num, den, delay, Ts)) {}

TfsModel::TfsModel(DiscreteTf d) : TfzModel(Coefficients{}, std::move(d.num), std::move(d.den)) {}

StpModel::StpModel(const std::vector<double> &stp)
    : TfzModel(Coefficients{}, impulse_of(stp), {1.0}) {}

std::vector<double> StpxyModel::response(const std::vector<double> &x,
                                         const std::vector<double> &y) {
    if (x.size() != y.size())
        throw AssertionError("stpxy_model: x and y differ in length");
    if (x.empty())
        throw IndexError("index -1 is out of bounds for axis 0 with size 0");
    // numpy.arange(0, x[-1] + 1): ceil(x[-1] + 1) points 0, 1, 2, ...
    const double stop = x.back() + 1.0;
    if (std::isnan(stop) || std::isinf(stop))
        throw ValueError("arange: cannot compute length");
    const double count = std::ceil(stop);
    std::vector<double> stp;
    for (double k = 0; k < count; k += 1.0)
        stp.push_back(interp(k, x, y));
    return stp;
}

StpxyModel::StpxyModel(const std::vector<double> &x, const std::vector<double> &y)
    : StpModel(response(x, y)) {}

std::shared_ptr<ModelElement> build_element(const ModelSpec &m, double Ts) {
    switch (m.mode) {
    case ModelSpec::Mode::None:
        return std::make_shared<NoModel>();
    case ModelSpec::Mode::TfS:
        return std::make_shared<TfsModel>(m.num, m.integral ? convolve2(1.0, 0.0, m.den) : m.den,
                                          m.iodelay_s, Ts);
    case ModelSpec::Mode::TfZ:
        return std::make_shared<TfzModel>(m.num, m.integral ? convolve2(1.0, -1.0, m.den) : m.den,
                                          m.iodelay_z);
    case ModelSpec::Mode::Stp:
        return std::make_shared<StpModel>(m.integral ? cumsum(m.stp) : m.stp);
    case ModelSpec::Mode::StpXY:
        return std::make_shared<StpxyModel>(m.x, m.integral ? cumsum(m.y) : m.y);
    }
    throw AssertionError("unknown model mode");
}

// --- MisoSimulator ----------------------------------------------------------------------------------

MisoSimulator::MisoSimulator(std::vector<std::shared_ptr<ModelElement>> models,
                             std::vector<double> u_ini)
    : models_(std::move(models)), u_ini_(std::move(u_ini)) {
    for (const auto &e : models_) {
        if (!e)
            throw ValueError("MisoSimulator: a model element is missing");
        Slot s;
        if (dynamic_cast<const NoModel *>(e.get()))
            s.kind = Slot::Zero;
        if (TfzModel *f = e->native_filter()) {
            const TfzModel::Inplace in = f->inplace();
            // The block is coefficients (2n), then the state: as Slot reads it.
            if (in.z != in.view.ba + 2 * in.view.n || in.view.n > UINT32_MAX)
                throw ValueError("MisoSimulator: an element's block is not laid out as expected");
            s.block = const_cast<double *>(in.view.ba);
            s.n = std::uint32_t(in.view.n);
            s.fir = in.view.fir;
            s.kind = Slot::Filter;
        }
        slots_.push_back(s);
    }
    width_ = std::min(models_.size(), u_ini_.size());
}

// --- MimoSim ----------------------------------------------------------------------------------------

double initial_value(const TagValues &ini, std::string_view tag) {
    double v = 0.0;
    for (const auto &[t, x] : ini)
        if (t == tag)
            v = x;
    return v;
}

MimoSim::MimoSim(const ModelDict &model, const TagValues &ini, double Ts)
    : model_(model), ts_(Ts), cv_(model.cv_tags()), mv_(model.mv_tags()) {
    for (const std::string &cv : cv_)
        for (const std::string &mv : mv_) {
            const ModelSpec *entry = model.find(cv, mv);
            elements_.push_back(entry ? build_element(*entry, Ts) : std::make_shared<NoModel>());
        }
    for (const std::string &mv : mv_)
        u_ini_.push_back(initial_value(ini, mv));
    for (const std::string &cv : cv_)
        y_ini_.push_back(initial_value(ini, cv));
    // The elements it built are its own: their blocks go one after the other
    // into one arena, in the order a sample walks them.
    std::size_t total = 0;
    for (const auto &e : elements_)
        if (TfzModel *f = e->native_filter())
            total += f->block_size();
    if (total > 0) {
        std::shared_ptr<double> arena(new double[total](), std::default_delete<double[]>());
        std::size_t at = 0;
        for (const auto &e : elements_)
            if (TfzModel *f = e->native_filter()) {
                f->move_block(arena, at);
                at += f->block_size();
            }
    }
    assemble();
    u_ = u_ini_;
    y_ = y_ini_;
}

MimoSim::MimoSim(std::vector<std::string> cv, std::vector<std::string> mv,
                 std::vector<std::shared_ptr<ModelElement>> elements, std::vector<double> u_ini,
                 std::vector<double> y_ini, double Ts)
    : ts_(Ts), cv_(std::move(cv)), mv_(std::move(mv)), elements_(std::move(elements)),
      u_ini_(std::move(u_ini)), y_ini_(std::move(y_ini)) {
    if (elements_.size() != cv_.size() * mv_.size() || u_ini_.size() != mv_.size() ||
        y_ini_.size() != cv_.size())
        throw ValueError("MimoSim: the elements and initial values do not fit the tags");
    assemble();
    u_ = u_ini_;
    y_ = y_ini_;
}

void MimoSim::assemble() {
    for (std::size_t j = 0; j < mv_.size(); ++j)
        if (!mv_pos_.emplace(mv_[j], j).second)
            throw ValueError("MimoSim: the MV tag '" + mv_[j] + "' is given twice");
    for (std::size_t i = 0; i < cv_.size(); ++i)
        if (!cv_pos_.emplace(cv_[i], i).second)
            throw ValueError("MimoSim: the CV tag '" + cv_[i] + "' is given twice");
    const std::size_t nmv = mv_.size();
    for (std::size_t i = 0; i < cv_.size(); ++i)
        miso_.emplace_back(std::vector<std::shared_ptr<ModelElement>>(
                               elements_.begin() + std::ptrdiff_t(i * nmv),
                               elements_.begin() + std::ptrdiff_t((i + 1) * nmv)),
                           u_ini_);
}

std::vector<std::string> MimoSim::process_tags() const {
    std::vector<std::string> t = cv_;
    t.insert(t.end(), mv_.begin(), mv_.end());
    return t;
}

std::optional<std::size_t> MimoSim::cv_index(std::string_view tag) const {
    auto it = cv_pos_.find(std::string(tag));
    if (it == cv_pos_.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::size_t> MimoSim::mv_index(std::string_view tag) const {
    auto it = mv_pos_.find(std::string(tag));
    if (it == mv_pos_.end())
        return std::nullopt;
    return it->second;
}

bool MimoSim::set_mv(std::string_view tag, double value) {
    const std::optional<std::size_t> j = mv_index(tag);
    if (!j)
        return false;
    u_[*j] = value;
    return true;
}

TagValues MimoSim::operator()(const TagValues &u, const TagValues &v) {
    std::vector<double> dist(cv_.size(), 0.0);
    for (const auto &[tag, x] : v)
        if (const auto i = cv_index(tag))
            dist[*i] = x;
    for (const auto &[tag, x] : u)
        set_mv(tag, x);
    step(dist.data());
    return output_data();
}

void MimoSim::reset() {
    u_ = u_ini_;
    y_ = y_ini_;
    for (const auto &e : elements_)
        e->reset_zi();
}

TagValues tag_values(const std::vector<std::string> &tags, const std::vector<double> &values) {
    TagValues r;
    for (std::size_t k = 0; k < tags.size(); ++k)
        r.emplace_back(tags[k], values[k]);
    return r;
}

TagValues all_data(const std::vector<std::string> &mv, const std::vector<double> &u,
                   const std::vector<std::string> &cv, const std::vector<double> &y) {
    TagValues r = tag_values(mv, u);
    for (std::size_t i = 0; i < cv.size(); ++i) {
        const auto at = std::find(mv.begin(), mv.end(), cv[i]);
        if (at != mv.end())
            r[std::size_t(at - mv.begin())].second = y[i];
        else
            r.emplace_back(cv[i], y[i]);
    }
    return r;
}

std::vector<double> values_for(const std::vector<std::string> &tags, std::vector<double> values,
                               const char *who, const char *what) {
    if (values.size() != tags.size())
        throw ValueError(std::string(who) + ": " + std::to_string(tags.size()) + " " + what +
                         " values are needed");
    return values;
}

TagValues MimoSim::input_data() const { return tag_values(mv_, u_); }
TagValues MimoSim::output_data() const { return tag_values(cv_, y_); }
TagValues MimoSim::all_data() const { return qxdcs::all_data(mv_, u_, cv_, y_); }
void MimoSim::set_inputs(std::vector<double> u) { u_ = values_for(mv_, std::move(u), "MimoSim", "MV"); }
void MimoSim::set_outputs(std::vector<double> y) { y_ = values_for(cv_, std::move(y), "MimoSim", "CV"); }

MimoSim siso_sim(double gain, double tao, double delay, double Ts, bool integral) {
    ModelDict m;
    m.add("CV", "MV", ModelSpec::tf_s({0.0, gain}, {tao, 1.0}, delay, integral));
    return MimoSim(m, {{"CV", 0.0}, {"MV", 0.0}}, Ts);
}

} // namespace qxdcs

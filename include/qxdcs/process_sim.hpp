// The MIMO process simulator: the model dictionary, its model elements, and
// the simulator that runs them (qxProcessSim: tfz_model ..., MISOSimulator,
// MIMOSim, SISOSim, get_model_tags).
//
// A model dictionary says, for every CV (process output) and MV (process
// input), how the MV moves the CV: a continuous transfer function with dead
// time ("tf_s"), a discrete one ("tf_z"), a step response ("stp"), a step
// response given by breakpoints ("stpxy"), or nothing. Each pair becomes one
// model element that turns the deviation of its MV from the MV's initial
// value into the deviation of its CV, one sample per call; the simulator adds
// the contributions of every MV and the CV's initial value.
//
// Building an element from a entry m, with the simulator's Ts:
//   none                  NoModel (also for a pair that has no entry)
//   tf_s   num, den, d    TfsModel(num, den', d, Ts), den' = den * s with an integrator
//                         (den followed by a 0: numpy.convolve([1, 0], den))
//   tf_z   num, den, d    TfzModel(num, den', d), den' = den * (1 - z^-1) with an
//                         integrator (numpy.convolve([1, -1], den))
//   stp    stp            StpModel(stp'), stp' = cumulative sum of stp with an integrator
//   stpxy  x, y           StpxyModel(x, y'), y' = cumulative sum of y with an integrator
// Every dynamic element is one Tdf2Filter with the dead time as leading
// zeros of its numerator, agreeing with scipy.signal.lfilter bit for bit:
//   TfzModel(num, den, d)  Gz_num = d zeros, then num;  Gz_den = den
//   TfsModel(num, den, d, Ts)  (Gz_num, Gz_den) = c2d(num, den, d, Ts)  (c2d.hpp)
//   StpModel(stp)          Gz_num = [stp[0], stp[1] - stp[0], ...] (the impulse
//                          response), Gz_den = [1]
//   StpxyModel(x, y)       StpModel of the points interpolated linearly (as
//                          numpy.interp) at 0, 1, ..., up to x[-1]
// TfsModel discretises in C++ (c2d.hpp: to SciPy's rounding, not bit for
// bit); the Python module calls SciPy and builds elements of the result, so
// its simulators stay bit-exact.
//
// One sample of the simulator, in this order:
//   1. the MV values given for this sample replace the stored ones (MVs
//      not given keep theirs; tags that are not MVs are ignored);
//   2. for each CV i in CV order: dev = 0.0, then for each MV j in MV order
//      dev += element(i, j).delta_u_sim(u[j] - u_ini[j]) (every element
//      advances one sample); y[i] = (dev + v[i]) + y_ini[i], v[i] the
//      disturbance of this sample only (0.0 when none is given).
// reset() puts the MV and CV values back to their initial values and clears
// every element's state: the process at rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qxdcs/c2d.hpp"
#include "qxdcs/tdf2_filter.hpp"

namespace qxdcs {

// Step 2's value of one CV: its deviation (the sum over its MVs), its
// disturbance of this sample and its initial value, added in that order.
inline double cv_value(double deviation, double disturbance, double initial) {
    return (deviation + disturbance) + initial;
}

// Values by tag, in order (a tag given twice: the later value counts).
using TagValues = std::vector<std::pair<std::string, double>>;

// --- the model dictionary --------------------------------------------------------------------------

// One pair's model entry.
struct ModelSpec {
    enum class Mode { None, TfS, TfZ, Stp, StpXY };

    Mode mode = Mode::None;
    bool integral = false;         // "IntegralMark": an integrator in series
    std::vector<double> num, den;  // "num_s"/"den_s" (tf_s) or "num_z"/"den_z" (tf_z)
    double iodelay_s = 0.0;        // "iodelay_s": dead time in time units (tf_s)
    long long iodelay_z = 0;       // "iodelay_z": dead time in samples (tf_z)
    std::vector<double> stp;       // "stp": the step response (stp)
    std::vector<double> x, y;      // "x", "y": breakpoints, x in samples (stpxy)

    static ModelSpec none() { return {}; }
    static ModelSpec tf_s(std::vector<double> num, std::vector<double> den, double delay = 0.0,
                          bool integral = false);
    static ModelSpec tf_z(std::vector<double> num, std::vector<double> den, long long delay = 0,
                          bool integral = false);
    static ModelSpec step(std::vector<double> stp, bool integral = false);
    static ModelSpec step_xy(std::vector<double> x, std::vector<double> y, bool integral = false);
};

// The model dictionary CV tag -> MV tag -> entry, in the order the
// entries were added; it is also the builder of a model in code:
//     ModelDict m;
//     m.add("TI101", "FV101", ModelSpec::tf_s({-0.8}, {20, 1}, 3))
//      .add("TI101", "FV201", ModelSpec::tf_z({0, 0.02}, {1, -0.95}));
class ModelDict {
public:
    struct Row {
        std::string cv;
        std::vector<std::pair<std::string, ModelSpec>> models;
    };

    // Adds (or replaces, keeping its place) the entry of a pair.
    ModelDict &add(const std::string &cv, const std::string &mv, ModelSpec entry);
    // Adds a CV without models (it still is a CV of the simulator).
    ModelDict &add_cv(const std::string &cv);

    const std::vector<Row> &rows() const { return rows_; }
    bool empty() const { return rows_.empty(); }
    // The entry of a pair, or null.
    const ModelSpec *find(std::string_view cv, std::string_view mv) const;

    // get_model_tags: the CV tags in order; the MV tags each once, where
    // they first occur (CVs in order, then each CV's MVs in order).
    std::vector<std::string> cv_tags() const;
    std::vector<std::string> mv_tags() const;

private:
    std::vector<Row> rows_;
};

// --- model elements --------------------------------------------------------------------------------

class TfzModel;

// The abstract element (`model`): one CV/MV pair, advanced one sample per
// delta_u_sim(dU) call with the input's deviation, returning the output's.
// A caller's own element derives from it.
class ModelElement {
public:
    virtual ~ModelElement() = default;
    virtual double delta_u_sim(double dU) = 0;
    // Clears the state (inputs and outputs before now count as zero).
    virtual void reset_zi() {}
    // The native filter of the package's filter elements (null otherwise):
    // the simulator steps it without a virtual call.
    virtual TfzModel *native_filter() { return nullptr; }
};

// `no_model`: zero response.
class NoModel final : public ModelElement {
public:
    double delta_u_sim(double) override { return 0.0; }
};

// `tfz_model`: Gz_num(z^-1) / Gz_den(z^-1), normalised by Gz_den[0] as
// lfilter does. Errors at construction, with lfilter's and NumPy's messages:
// ValueError for a negative delay ("index can't contain negative values"),
// an empty numerator ("Parameter b is not a non-empty 1d array, since
// b.shape=(0,)!"), an empty denominator ("There must be at least one `a`
// coefficient.") and Gz_den[0] == 0 ("First `a` filter coefficient must be
// non-zero.").
class TfzModel : public ModelElement {
public:
    explicit TfzModel(std::vector<double> num = {0.0, 1.0, 0.5},
                      std::vector<double> den = {1.0, -1.5, 0.7}, long long delay = 0);
    // An element holds state: it moves, it is not copied.
    TfzModel(TfzModel &&) = default;
    TfzModel &operator=(TfzModel &&) = default;
    TfzModel(const TfzModel &) = delete;
    TfzModel &operator=(const TfzModel &) = delete;

    // One sample (the same as delta_u_sim, without a virtual call).
    double step(double dU) {
        double *z = zi_data();
        z[n_state_] = 0.0;  // no longer at rest
        return Tdf2Filter::step(view_, dU, z);
    }
    // What a simulator's loop needs to step the element in place. The
    // element keeps its normalised coefficients, its state and, after the
    // state, the at-rest mark (z[n_state], 0.0 once it has moved) in one
    // block of memory, so that one step reads and writes one place.
    struct Inplace {
        Tdf2Filter::View view;
        double *z;
        std::size_t n_state;
    };
    Inplace inplace() { return {view_, zi_data(), n_state_}; }
    // The size of that block, and moving it to `offset` in a simulator's
    // arena (the simulator lays its own elements out one after the other);
    // the arena lives as long as the element. Only before anyone holds the
    // addresses of Inplace or zi_data().
    std::size_t block_size() const { return n_coef_ + n_state_ + 1; }
    void move_block(const std::shared_ptr<double> &arena, std::size_t offset);
    double delta_u_sim(double dU) final { return step(dU); }
    void reset_zi() final;
    TfzModel *native_filter() final { return this; }

    const std::vector<double> &Gz_num() const { return num_; }
    const std::vector<double> &Gz_den() const { return den_; }
    // The state (lfilter's zi), max(len(Gz_num), len(Gz_den)) - 1 entries:
    // a copy, and the live entries (which the next step changes).
    std::vector<double> zi() const {
        const double *z = block_.get() + n_coef_;
        return {z, z + n_state_};
    }
    double *zi_data() { return block_.get() + n_coef_; }
    // The owner of the block that zi_data() points into: whoever shows the
    // live state (the Python module's _zi array) keeps it, so that the
    // memory stays valid even if the block is moved later.
    const std::shared_ptr<double> &block_owner() const { return block_; }
    std::size_t state_size() const { return n_state_; }
    // True while the state is as construction or reset_zi left it (the
    // Python module shows it as a list of integer zeros then).
    bool at_rest() const { return block_.get()[n_coef_ + n_state_] != 0.0; }
    // Restoring: ValueError for a state of another length; the element is
    // then no longer at rest.
    void set_zi(const std::vector<double> &zi) { set_zi(zi.data(), zi.size()); }
    void set_zi(const double *zi, std::size_t n);

    // An element of the given coefficients as they are (dead time included),
    // as restored from a saved state.
    static TfzModel from_coefficients(std::vector<double> Gz_num, std::vector<double> Gz_den);

protected:
    struct Coefficients {};
    TfzModel(Coefficients, std::vector<double> Gz_num, std::vector<double> Gz_den);

private:
    std::vector<double> num_, den_;
    Tdf2Filter kernel_;
    std::size_t n_coef_ = 0, n_state_ = 0;
    // The kernel's coefficients (n_coef_), the state (n_state_), the at-rest
    // mark (1.0 at rest); view_ reads the coefficients there.
    std::shared_ptr<double> block_;
    Tdf2Filter::View view_{};
};

// `tfs_model`: num(s)/den(s) with a dead time of `delay` time units,
// discretised by c2d (zero-order hold at Ts); c2d's errors.
class TfsModel : public TfzModel {
public:
    explicit TfsModel(const std::vector<double> &num = {0.0, 1.0},
                      const std::vector<double> &den = {5.0, 1.0}, double delay = 0.0,
                      double Ts = 1.0);

private:
    explicit TfsModel(DiscreteTf d);
};

// `stp_model`: stp[j] is the output j samples after a unit step of the
// input (stp[0] in the step's own sample).
class StpModel : public TfzModel {
public:
    explicit StpModel(const std::vector<double> &stp = {0.5, 1, 2, 3, 4, 5});
};

// `stpxy_model`: breakpoints (x, y), x in samples, increasing.
// AssertionError when x and y differ in length; IndexError for an empty x.
class StpxyModel : public StpModel {
public:
    explicit StpxyModel(const std::vector<double> &x = {1, 2, 3},
                        const std::vector<double> &y = {10, 20, 30});
    // The step response it stands for: y interpolated at 0, 1, ..., x[-1].
    static std::vector<double> response(const std::vector<double> &x, const std::vector<double> &y);
};

// The element for one pair's entry, with the simulator's Ts (the
// building rule above), with the errors of the element's constructor.
std::shared_ptr<ModelElement> build_element(const ModelSpec &m, double Ts);

// --- the simulators ---------------------------------------------------------------------------------

// One CV's sum over its MVs (`MISOSimulator`): the elements and the MVs'
// initial values, fixed at construction.
class MisoSimulator {
public:
    MisoSimulator(std::vector<std::shared_ptr<ModelElement>> models, std::vector<double> u_ini);

    // The CV's deviation for the MV values u[0..n): 0.0 plus, in model
    // order, every element's output for u[j] - u_ini[j], each element
    // advancing one sample; walks as many elements as there are models,
    // initial values and values, whichever is fewest.
    double one_step_sim(const double *u, std::size_t n) {
        return one_step_sim(
            u, n, [](std::size_t) { return true; },
            [this](std::size_t j, double dU) { return models_[j]->delta_u_sim(dU); });
    }
    double one_step_sim(const std::vector<double> &u) { return one_step_sim(u.data(), u.size()); }

    // The same walk for an owner whose elements may change behind the
    // simulator's back (the Python module: a caller may change an element's
    // class between samples, or in the middle of one from an element's own
    // code, and the collector may drop an element): `holds(j)` says whether
    // element j may still be stepped here, as the package element it was
    // built as, and `other(j, dU)` steps element j otherwise, and every
    // element that is neither a package filter nor a NoModel. holds(j) is
    // asked once per element per sample, just before that element steps.
    //
    // Order of operations, element by element: dU = u[j] - u_ini[j]; then
    //   a package filter:  its at-rest mark is cleared and it takes one
    //                      Tdf2Filter step in place (coefficients, state and
    //                      mark in one block);
    //   a NoModel:         0.0 (still added: -0.0 + 0.0 is 0.0);
    //   any other:         other(j, dU);
    // and y += that output, from y = 0.0.
    template <class Holds, class Other>
    double one_step_sim(const double *u, std::size_t n, Holds &&holds, Other &&other) {
        const std::size_t m = n < width_ ? n : width_;
        const Slot *s = slots_.data();
        const double *u0 = u_ini_.data();
        double y = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            const double dU = u[j] - u0[j];
            const Slot &e = s[j];
            if (e.block && holds(j)) {  // a package filter (only a Filter has a block)
                double *z = e.block + 2 * e.n;  // after its coefficients
                z[e.n - 1] = 0.0;                // the at-rest mark: moved
                y += Tdf2Filter::step({e.block, e.n, e.fir != 0}, dU, z);
            } else if (!e.block && e.kind == Slot::Zero && holds(j)) {
                y += 0.0;
            } else {
                y += other(j, dU);
            }
        }
        return y;
    }

    const std::vector<std::shared_ptr<ModelElement>> &model_list() const { return models_; }
    const std::vector<double> &u_ini_list() const { return u_ini_; }
    // How many elements a walk with n values steps.
    std::size_t width(std::size_t n) const { return n < width_ ? n : width_; }

private:
    // An element as the loop reads it: a package filter's block
    // (TfzModel::Inplace: 2n coefficients, n - 1 state entries, the mark),
    // a NoModel, or any other element.
    struct Slot {
        enum Kind : std::uint32_t { Filter, Zero, Other };
        double *block = nullptr;  // a Filter's block, else null
        std::uint32_t n = 0, fir = 0;
        Kind kind = Other;
    };
    std::vector<std::shared_ptr<ModelElement>> models_;
    std::vector<double> u_ini_;
    std::vector<Slot> slots_;
    std::size_t width_ = 0;
};

// `MIMOSim`: the whole process.
class MimoSim {
public:
    // Elements for every pair of cv_tags x mv_tags (NoModel where the pair
    // has none), built CV-major; a failure stops construction at the failing
    // pair (its error). Initial values by tag, CVs and MVs together; a
    // missing tag counts as 0.0.
    explicit MimoSim(const ModelDict &model, const TagValues &ini = {}, double Ts = 1.0);
    // A simulator of its parts (restoring a saved one, or one whose elements
    // are a caller's): the tags, the elements CV-major (cv.size() * mv.size()
    // of them, none null), the initial values by position. ValueError when
    // the sizes do not fit.
    MimoSim(std::vector<std::string> cv, std::vector<std::string> mv,
            std::vector<std::shared_ptr<ModelElement>> elements, std::vector<double> u_ini,
            std::vector<double> y_ini, double Ts = 1.0);
    // A simulator owns the state of its elements: it moves, it is not copied.
    MimoSim(const MimoSim &) = delete;
    MimoSim &operator=(const MimoSim &) = delete;
    MimoSim(MimoSim &&) = default;
    MimoSim &operator=(MimoSim &&) = default;

    std::size_t n_cv() const { return cv_.size(); }
    std::size_t n_mv() const { return mv_.size(); }
    const std::vector<std::string> &cv_list() const { return cv_; }
    const std::vector<std::string> &mv_list() const { return mv_; }
    // The CV tags, then the MV tags.
    std::vector<std::string> process_tags() const;
    std::optional<std::size_t> cv_index(std::string_view tag) const;
    std::optional<std::size_t> mv_index(std::string_view tag) const;
    double Ts() const { return ts_; }
    // The model dictionary it was built from (empty for one built of parts).
    const ModelDict &model_dict() const { return model_; }

    // --- one sample, by position ------------------------------------------------------------
    // MV j's value from this sample on.
    void set_mv(std::size_t j, double value) { u_[j] = value; }
    // Step 2: every element advances one sample; v holds n_cv() disturbances
    // of this sample (null: none). Returns the CV values.
    const std::vector<double> &step(const double *v = nullptr) {
        const std::size_t ncv = cv_.size(), nmv = mv_.size();
        for (std::size_t i = 0; i < ncv; ++i) {
            const double dev = miso_[i].one_step_sim(u_.data(), nmv);
            y_[i] = cv_value(dev, v ? v[i] : 0.0, y_ini_[i]);
        }
        return y_;
    }

    // --- one sample, by tag (the Python module's call) ------------------------------------
    // MV values by tag (tags that are not MVs ignored), disturbances by CV
    // tag for this sample (others ignored); returns CV tag -> value.
    TagValues operator()(const TagValues &u = {}, const TagValues &v = {});
    // Sets an MV by tag; false (nothing changes) for a tag that is not an MV.
    bool set_mv(std::string_view tag, double value);

    void reset();

    // --- values and parts -------------------------------------------------------------------
    const std::vector<double> &inputs() const { return u_; }    // _u_dict, MV order
    const std::vector<double> &outputs() const { return y_; }   // _y_dict, CV order
    const std::vector<double> &u_ini() const { return u_ini_; }
    const std::vector<double> &y_ini() const { return y_ini_; }
    TagValues input_data() const;   // get_input_data_dict
    TagValues output_data() const;  // get_output_data_dict
    // get_all_data_dict: the MVs, then the CVs that are not also MVs; a tag
    // that is both holds its CV value.
    TagValues all_data() const;
    // Restoring the current values (ValueError for another count).
    void set_inputs(std::vector<double> u);
    void set_outputs(std::vector<double> y);

    // yu_model_obj[cv][mv] and cv_simulators[cv], by position.
    const std::shared_ptr<ModelElement> &element(std::size_t i, std::size_t j) const {
        return elements_[i * mv_.size() + j];
    }
    MisoSimulator &miso(std::size_t i) { return miso_[i]; }
    const MisoSimulator &miso(std::size_t i) const { return miso_[i]; }

private:
    void assemble();

    ModelDict model_;
    double ts_ = 1.0;
    std::vector<std::string> cv_, mv_;
    std::unordered_map<std::string, std::size_t> cv_pos_, mv_pos_;
    std::vector<std::shared_ptr<ModelElement>> elements_;  // CV-major
    std::vector<MisoSimulator> miso_;
    std::vector<double> u_ini_, y_ini_, u_, y_;
};

// `SISOSim`: a simulator of one pair, gain / (tao s + 1) with a dead time of
// `delay` time units (an integrator in series with integral), from "MV" to
// "CV", initial values 0.0.
MimoSim siso_sim(double gain, double tao, double delay = 0.0, double Ts = 1.0,
                 bool integral = false);

// The initial value of a tag: its last value in ini, or 0.0.
double initial_value(const TagValues &ini, std::string_view tag);

// Tag -> value in list order (get_input_data_dict, get_output_data_dict), and
// the MVs updated with the CVs (get_all_data_dict: MVs first, then the CVs
// that are not also MVs; a tag in both holds its CV value).
TagValues tag_values(const std::vector<std::string> &tags, const std::vector<double> &values);
TagValues all_data(const std::vector<std::string> &mv, const std::vector<double> &u,
                   const std::vector<std::string> &cv, const std::vector<double> &y);
// `values` when it holds one value per tag; ValueError "<who>: N <what> values are needed".
std::vector<double> values_for(const std::vector<std::string> &tags, std::vector<double> values,
                               const char *who, const char *what);

} // namespace qxdcs

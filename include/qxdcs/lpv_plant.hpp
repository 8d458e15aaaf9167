// The linear parameter-varying plant (qxLPVPlant.LPVPlantSim): local MIMO
// plants, each identified at one working point, blended by a working value.
//
// A local plant is a MimoSim whose CVs start at 0.0 (it reports deviations)
// and whose MVs start at the simulator's initial values. The simulator keeps
// the MV and CV values of every tag any plant ever brought, in order of
// first appearance (a deleted plant's tags stay).
//
// One sample with working value x, MV values u and disturbances v:
//   checks first (nothing changes when one fails): x not NaN (ValueError
//   "cannot convert float NaN to integer"), at least one plant (ValueError
//   "array of sample points is empty"), and every CV of the plant at id1
//   also a CV of the plant at id2 (KeyError naming the first that is not);
//   then, in this order:
//   1. the working value is stored; u's values for known MVs are stored;
//   2. position = interp_position(x, working points) (lpv_blend.hpp);
//      id1, id2 and the weights by blend_at();
//   3. every plant advances one sample with the same u and v (each keeps
//      only its own MVs and CVs) and gets the weight 0.0;
//   4. id1 == id2: the plant at id1 gets weight 1.0 and for each of its CVs,
//      in its order, y[tag] = r1[tag] + ini[tag];
//      otherwise the plants get weight1 and weight2 and for each CV of the
//      plant at id1, in its order,
//      y[tag] = (weight1 * r1[tag] + weight2 * r2[tag]) + ini[tag].
// Plants are added and deleted at any time: add_plant() first removes every
// plant of the same identifier, puts the new plant in front of the list and
// keeps, for every working point, the plant nearest the front, sorted by
// working point (unique_order()): a new plant replaces an older one at its
// working point.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qxdcs/process_sim.hpp"

namespace qxdcs {

// `LPVLocalPlant`.
struct LpvLocalPlant {
    long long plant_id = 0;
    double working_point = 0.0;
    std::shared_ptr<MimoSim> plant;
    double Ts = 1.0;
    double current_weight = 0.0;  // the plant's weight in the last sample

    // Position in the simulator's tag lists of each of the plant's MVs and
    // CVs, and of each simulator CV in the plant (-1: not the plant's).
    std::vector<std::size_t> mv_global, cv_global;
    std::vector<long> local_of_cv;
};

class LpvPlant {
public:
    explicit LpvPlant(TagValues ini = {}) : ini_(std::move(ini)) {}

    // A local plant built from its model dictionary (MimoSim's errors; when
    // it fails nothing changes, the plant it would replace included).
    void add_plant(long long plant_id, double working_point, const ModelDict &model,
                   double Ts = 1.0);
    // A local plant built by the caller, whose initial values must be those
    // of local_initial_values() for its model.
    void add_plant(long long plant_id, double working_point, std::shared_ptr<MimoSim> plant,
                   double Ts = 1.0);
    // Removes every plant of the identifier (an unknown one changes nothing).
    void del_plant(long long plant_id);

    // The initial values of a local plant of the given CVs: the simulator's,
    // every CV set to 0.0.
    TagValues local_initial_values(const std::vector<std::string> &cvs) const;

    // --- one sample, by position -------------------------------------------------------------
    // MV j of mv_list() is given this value for the next step().
    void set_mv(std::size_t j, double value) {
        given_[j] = 1;
        u_given_[j] = value;
    }
    // One sample (steps 1 to 4) with the MV values set since the last one;
    // v holds n_cv() disturbances (null: none). Returns the CV values.
    const std::vector<double> &step(double working_value, const double *v = nullptr);

    // --- one sample, by tag (the Python module's call) -----------------------------------
    TagValues operator()(double working_value, const TagValues &u = {}, const TagValues &v = {});
    TagValues run(double working_value, const TagValues &u = {}, const TagValues &v = {}) {
        return (*this)(working_value, u, v);
    }

    // --- what it holds ---------------------------------------------------------------------------
    const std::vector<LpvLocalPlant> &plant_list() const { return plants_; }
    std::vector<LpvLocalPlant> &plant_list() { return plants_; }
    // get_current_plant_weight_dict: identifier -> weight, in list order.
    std::vector<std::pair<long long, double>> current_plant_weights() const;
    const std::vector<std::string> &cv_list() const { return cv_; }
    const std::vector<std::string> &mv_list() const { return mv_; }
    std::size_t n_cv() const { return cv_.size(); }
    std::size_t n_mv() const { return mv_.size(); }
    std::optional<std::size_t> cv_index(std::string_view tag) const;
    std::optional<std::size_t> mv_index(std::string_view tag) const;
    const std::vector<double> &inputs() const { return u_; }   // _u_dict
    const std::vector<double> &outputs() const { return y_; }  // _y_dict
    TagValues input_data() const;
    TagValues output_data() const;
    TagValues all_data() const;
    const TagValues &ini_value_dict() const { return ini_; }
    double working_value() const { return working_value_; }
    void set_working_value(double w) { working_value_ = w; }
    // Restoring the current values (ValueError for another count).
    void set_inputs(std::vector<double> u);
    void set_outputs(std::vector<double> y);

private:
    void sort_plants();
    void map_tags();

    TagValues ini_;
    std::vector<LpvLocalPlant> plants_;
    std::vector<std::string> cv_, mv_;
    std::vector<double> u_, y_;
    std::vector<double> y0_;  // initial value of each CV
    std::vector<unsigned char> given_;
    std::vector<double> u_given_;
    double working_value_ = 0.0;
    std::vector<double> wp_, local_v_;  // scratch of a step
};

} // namespace qxdcs

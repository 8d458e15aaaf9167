#include "qxdcs/lpv_plant.hpp"

#include <algorithm>
#include <cmath>

#include "qxdcs/error.hpp"
#include "qxdcs/lpv_blend.hpp"

namespace qxdcs {

TagValues LpvPlant::local_initial_values(const std::vector<std::string> &cvs) const {
    TagValues ini = ini_;
    for (const std::string &cv : cvs) {
        bool found = false;
        for (auto &[tag, v] : ini)
            if (tag == cv) {
                v = 0.0;
                found = true;
            }
        if (!found)
            ini.emplace_back(cv, 0.0);
    }
    return ini;
}

void LpvPlant::add_plant(long long plant_id, double working_point, const ModelDict &model,
                         double Ts) {
    auto sim = std::make_shared<MimoSim>(model, local_initial_values(model.cv_tags()), Ts);
    add_plant(plant_id, working_point, std::move(sim), Ts);
}

void LpvPlant::add_plant(long long plant_id, double working_point, std::shared_ptr<MimoSim> plant,
                         double Ts) {
    if (!plant)
        throw ValueError("LpvPlant: the local plant is missing");
    LpvLocalPlant p;
    p.plant_id = plant_id;
    p.working_point = working_point;
    p.plant = std::move(plant);
    p.Ts = Ts;
    del_plant(plant_id);
    // New tags, with their initial values, in the plant's order.
    for (const std::string &tag : p.plant->cv_list())
        if (std::find(cv_.begin(), cv_.end(), tag) == cv_.end()) {
            cv_.push_back(tag);
            y_.push_back(initial_value(ini_, tag));
            y0_.push_back(y_.back());
        }
    for (const std::string &tag : p.plant->mv_list())
        if (std::find(mv_.begin(), mv_.end(), tag) == mv_.end()) {
            mv_.push_back(tag);
            u_.push_back(initial_value(ini_, tag));
            given_.push_back(0);
            u_given_.push_back(0.0);
        }
    plants_.insert(plants_.begin(), std::move(p));
    sort_plants();
    map_tags();
}

void LpvPlant::del_plant(long long plant_id) {
    const auto gone = std::remove_if(plants_.begin(), plants_.end(),
                                     [&](const LpvLocalPlant &p) { return p.plant_id == plant_id; });
    if (gone == plants_.end())
        return;
    plants_.erase(gone, plants_.end());
    sort_plants();
}

void LpvPlant::sort_plants() {
    std::vector<double> wp;
    for (const LpvLocalPlant &p : plants_)
        wp.push_back(p.working_point);
    std::vector<LpvLocalPlant> kept;
    for (std::size_t k : unique_order(wp.data(), wp.size()))
        kept.push_back(std::move(plants_[k]));
    plants_ = std::move(kept);
}

// Where each plant's tags are in the simulator's lists, and back.
void LpvPlant::map_tags() {
    for (LpvLocalPlant &p : plants_) {
        const MimoSim &s = *p.plant;
        p.mv_global.clear();
        p.cv_global.clear();
        for (const std::string &tag : s.mv_list())
            p.mv_global.push_back(*mv_index(tag));
        for (const std::string &tag : s.cv_list())
            p.cv_global.push_back(*cv_index(tag));
        p.local_of_cv.assign(cv_.size(), -1);
        for (std::size_t i = 0; i < p.cv_global.size(); ++i)
            p.local_of_cv[p.cv_global[i]] = long(i);
    }
}

std::optional<std::size_t> LpvPlant::cv_index(std::string_view tag) const {
    for (std::size_t i = 0; i < cv_.size(); ++i)
        if (cv_[i] == tag)
            return i;
    return std::nullopt;
}

std::optional<std::size_t> LpvPlant::mv_index(std::string_view tag) const {
    for (std::size_t j = 0; j < mv_.size(); ++j)
        if (mv_[j] == tag)
            return j;
    return std::nullopt;
}

const std::vector<double> &LpvPlant::step(double x, const double *v) {
    // Checks: nothing changes when one fails.
    if (std::isnan(x))
        throw ValueError("cannot convert float NaN to integer");
    const std::size_t n = plants_.size();
    if (n == 0)
        throw ValueError("array of sample points is empty");
    wp_.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        wp_[k] = plants_[k].working_point;
    const Blend b = blend_at(interp_position(x, wp_.data(), n));
    LpvLocalPlant &p1 = plants_[b.id1];
    LpvLocalPlant &p2 = plants_[b.id2];
    if (b.id1 != b.id2)
        for (std::size_t i = 0; i < p1.cv_global.size(); ++i)
            if (p2.local_of_cv[p1.cv_global[i]] < 0)
                throw key_error(p1.plant->cv_list()[i]);

    // 1. The working value and the given MV values.
    working_value_ = x;
    for (std::size_t j = 0; j < mv_.size(); ++j)
        if (given_[j])
            u_[j] = u_given_[j];
    // 3. Every plant advances one sample.
    for (LpvLocalPlant &p : plants_) {
        MimoSim &s = *p.plant;
        for (std::size_t j = 0; j < p.mv_global.size(); ++j)
            if (given_[p.mv_global[j]])
                s.set_mv(j, u_given_[p.mv_global[j]]);
        const double *lv = nullptr;
        if (v) {
            local_v_.resize(p.cv_global.size());
            for (std::size_t i = 0; i < p.cv_global.size(); ++i)
                local_v_[i] = v[p.cv_global[i]];
            lv = local_v_.data();
        }
        s.step(lv);
        p.current_weight = 0.0;
    }
    std::fill(given_.begin(), given_.end(), 0);

    // 4. The blend of the enclosing plants.
    const std::vector<double> &r1 = p1.plant->outputs();
    if (b.id1 == b.id2) {
        p1.current_weight = 1.0;
        for (std::size_t i = 0; i < p1.cv_global.size(); ++i) {
            const std::size_t g = p1.cv_global[i];
            y_[g] = single_value(r1[i], y0_[g]);
        }
    } else {
        const std::vector<double> &r2 = p2.plant->outputs();
        p1.current_weight = b.weight1;
        p2.current_weight = b.weight2;
        for (std::size_t i = 0; i < p1.cv_global.size(); ++i) {
            const std::size_t g = p1.cv_global[i];
            const double v2 = r2[std::size_t(p2.local_of_cv[g])];
            y_[g] = blended_value(b, r1[i], v2, y0_[g]);
        }
    }
    return y_;
}

TagValues LpvPlant::operator()(double working_value, const TagValues &u, const TagValues &v) {
    std::vector<double> dist;
    if (!v.empty()) {
        dist.assign(cv_.size(), 0.0);
        for (const auto &[tag, x] : v)
            if (const auto i = cv_index(tag))
                dist[*i] = x;
    }
    for (const auto &[tag, x] : u)
        if (const auto j = mv_index(tag))
            set_mv(*j, x);
    try {
        step(working_value, dist.empty() ? nullptr : dist.data());
    } catch (...) {
        std::fill(given_.begin(), given_.end(), 0);
        throw;
    }
    return output_data();
}

std::vector<std::pair<long long, double>> LpvPlant::current_plant_weights() const {
    std::vector<std::pair<long long, double>> w;
    for (const LpvLocalPlant &p : plants_)
        w.emplace_back(p.plant_id, p.current_weight);
    return w;
}

TagValues LpvPlant::input_data() const { return tag_values(mv_, u_); }
TagValues LpvPlant::output_data() const { return tag_values(cv_, y_); }
TagValues LpvPlant::all_data() const { return qxdcs::all_data(mv_, u_, cv_, y_); }
void LpvPlant::set_inputs(std::vector<double> u) { u_ = values_for(mv_, std::move(u), "LpvPlant", "MV"); }
void LpvPlant::set_outputs(std::vector<double> y) { y_ = values_for(cv_, std::move(y), "LpvPlant", "CV"); }

} // namespace qxdcs

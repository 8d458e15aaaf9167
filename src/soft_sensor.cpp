#include "qxdcs/soft_sensor.hpp"

#include "qxdcs/lab_csv.hpp"

namespace qxdcs {

SoftSensorBiasUpdate::SoftSensorBiasUpdate(std::string name, double filter_tao,
                                           double abs_threshold, std::size_t prd_len,
                                           std::size_t const_len)
    : name_(std::move(name)), core_(prd_len + 1, const_len + 2) {
    core_.state.abs_threshold = abs_threshold;
    if (filter_tao > 0.0)
        fil_.emplace(std::vector<double>{1.0}, std::vector<double>{filter_tao, 1.0}, 1.0, 0.0, 0.0);
}

void SoftSensorBiasUpdate::not_finite(const char *what) const {
    throw ValueError(name_ + " Bias Update: " + what + " is not finite!");
}

void SoftSensorBiasUpdate::update_bias(double lab_data, double lab_time) {
    if (core_.state.update(core_.prd, lab_data, lab_time) == BiasUpdate::Repeated && sink)
        sink(name_ + ": Bias Update is not triggered, lab_data or lab_time is unchanged.");
}

double SoftSensorBiasUpdate::run(double prd_data, double lab_data, double lab_time,
                                 std::optional<double> prd_time,
                                 std::optional<double> update_trigger) {
    if (!std::isfinite(prd_data))
        not_finite("prd_data");
    if (!std::isfinite(lab_data))
        not_finite("lab_data");
    if (!std::isfinite(lab_time))
        not_finite("lab_time");
    if (prd_time && !std::isfinite(*prd_time))
        not_finite("prd_time");
    if (update_trigger && !std::isfinite(*update_trigger))
        not_finite("update_trigger");
    const double t = prd_time ? *prd_time : wall_clock_seconds();

    if (core_.store(prd_data, lab_data, t)) {
        update_bias(lab_data, lab_time);
        if (sink)
            sink(name_ + ": Bias Update is triggered by the first data.");
    } else if (update_trigger) {
        if (*update_trigger > 0.5)
            update_bias(lab_data, lab_time);
    } else if (core_.new_lab_value()) {
        update_bias(lab_data, lab_time);
    }
    const double bias = core_.state.bias;
    return fil_ ? (*fil_)(bias, 0.0) : bias;
}

} // namespace qxdcs

#include "qxdcs/filter.hpp"

#include <algorithm>
#include <string>

#include "qxdcs/c2d.hpp"
#include "qxdcs/error.hpp"

namespace qxdcs {

ZFilter::ZFilter(std::vector<double> Bz, std::vector<double> Az, std::optional<double> u_ini,
                 std::optional<double> y_ini)
    : bz_(std::move(Bz)), az_(std::move(Az)) {
    if (az_.empty())
        throw ValueError("There must be at least one `a` coefficient.");
    if (az_[0] == 0.0)
        throw ValueError("First `a` filter coefficient must be non-zero.");
    if (!bz_.empty())
        kernel_ = Tdf2Filter(bz_.data(), bz_.size(), az_.data(), az_.size());
    // The state of an all-zero history, as lfiltic computes it (zeros
    // divided by a[0]).
    zi_.assign(std::max(bz_.size(), az_.size()) - 1, 0.0);
    initial_state(bz_.data(), bz_.size(), az_.data(), az_.size(), nullptr, 0, nullptr, 0,
                  zi_.data());
    op_.u0 = u_ini;
    op_.y0 = y_ini;
}

void ZFilter::require_numerator() const {
    if (bz_.empty())
        throw ValueError("Parameter b is not a non-empty 1d array, since b.shape=(0,)!");
}

std::vector<double> ZFilter::run_multistep(const std::vector<double> &U, double y_ini) {
    require_numerator();
    const std::size_t n = U.size();
    if (!op_.u0 && n == 0)
        throw IndexError("index 0 is out of bounds for axis 0 with size 0");
    op_.fill(n > 0 ? U[0] : 0.0, y_ini);
    std::vector<double> y(n);
    kernel_.run(U.data(), y.data(), n, zi_.data(), *op_.u0, *op_.y0);
    return y;
}

void ZFilter::set_zi(const std::vector<double> &zi) {
    if (zi.size() != zi_.size())
        throw ValueError("_zi must hold " + std::to_string(zi_.size()) + " values");
    zi_ = zi;
}

SFilter::SFilter(std::vector<double> Bs, std::vector<double> As, double Ts,
                 std::optional<double> u_ini, std::optional<double> y_ini)
    : bs_(std::move(Bs)), as_(std::move(As)), ts_(Ts),
      zf_([&] {
          DiscreteTf d = cont2discrete_zoh(bs_, as_, ts_);
          return ZFilter(std::move(d.num), std::move(d.den), u_ini, y_ini);
      }()) {}

} // namespace qxdcs

// Soft-sensor bias correction: time-stamped prediction history, the window of
// laboratory values that detects a new result, and the bias update.
//
// A soft sensor predicts a quality variable every sample; a laboratory result
// arrives later and belongs to the moment its sample was drawn. The bias is
// the laboratory value minus the prediction that was valid at that moment:
// the last stored prediction whose time is less than or equal to it.
//
// Both histories are ring buffers of fixed capacity (oldest first, the
// oldest entry dropped when a new one comes into a full buffer), so a call
// costs O(1) and a lookup O(log n), whatever the history length.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "qxdcs/error.hpp"
#include "qxdcs/filter.hpp"

namespace qxdcs {

// A ring buffer of doubles with a fixed capacity, index 0 the oldest entry.
// Storage is allocated by the first push (or reserve()), all at once, so a
// long history costs memory only once it is used.
class Ring {
public:
    Ring() = default;
    explicit Ring(std::size_t capacity) : cap_(capacity) {}

    std::size_t capacity() const { return cap_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool full() const { return size_ == cap_; }

    double operator[](std::size_t i) const { return buf_[wrap(head_ + i)]; }
    double front() const { return buf_[head_]; }
    double back() const { return buf_[wrap(head_ + size_ - 1)]; }

    // Allocates the whole capacity (std::bad_alloc when it cannot).
    void reserve() {
        if (buf_.size() != cap_)
            buf_.resize(cap_);
    }

    // Appends v at the newest end; a full ring drops its oldest entry. A ring
    // of capacity 0 keeps nothing.
    void push_back(double v) {
        if (cap_ == 0)
            return;
        reserve();
        if (size_ < cap_) {
            buf_[wrap(head_ + size_)] = v;
            ++size_;
        } else {
            buf_[head_] = v;
            head_ = wrap(head_ + 1);
        }
    }

    void clear() {
        head_ = 0;
        size_ = 0;
    }

private:
    std::size_t wrap(std::size_t j) const { return j >= cap_ ? j - cap_ : j; }

    std::vector<double> buf_;
    std::size_t cap_ = 0, head_ = 0, size_ = 0;
};

// Predictions and their times, equal positions belonging together; times
// ascend as long as the caller's times do not decrease.
class PredictionHistory {
public:
    PredictionHistory() = default;
    explicit PredictionHistory(std::size_t capacity) : data_(capacity), time_(capacity) {}

    std::size_t capacity() const { return data_.capacity(); }
    std::size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    const Ring &data() const { return data_; }
    const Ring &times() const { return time_; }

    void reserve() {
        data_.reserve();
        time_.reserve();
    }

    void push(double prd, double t) {
        data_.push_back(prd);
        time_.push_back(t);
    }

    // Fills an empty history with the first prediction, spaced 60 s apart
    // and ending 60 s before t: entry k (oldest first) of n is at
    // t - 60 (n - k), so the newest pre-filled entry is at t - 60.
    void prefill(double prd, double t) {
        reserve();
        const std::size_t n = capacity();
        for (std::size_t k = 0; k < n; ++k)
            push(prd, t - double(std::int64_t(60) * std::int64_t(n - k)));
    }

    // Position of the prediction valid at t: the number of stored times less
    // than or equal to t, minus 1, as numpy.searchsorted(times, t,
    // side="right") - 1 gives it for ascending times (of several equal
    // times, the last). The bisection keeps time[lo - 1] <= t < time[hi], so
    // for a history whose times do not ascend (a caller's clock stepped
    // back) the answer is still a position whose time is at or before t and
    // whose successor's is after it.
    std::size_t last_at_or_before(double t) const {
        std::size_t lo = 0, hi = size();
        while (lo < hi) {
            const std::size_t mid = lo + ((hi - lo) >> 1);
            if (time_[mid] <= t)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo - 1;
    }

    // The prediction valid at t, when t lies within the stored times
    // (first <= t <= last); false otherwise, also for an empty history.
    bool prediction_at(double t, double &prd) const {
        if (empty() || !(time_.front() <= t && t <= time_.back()))
            return false;
        // front <= t makes the first probe of position 0 move up, so the
        // position is at least 0.
        prd = data_[last_at_or_before(t)];
        return true;
    }

private:
    Ring data_, time_;
};

// The window of the last laboratory values, `const_len` + 2 of them, oldest
// first, which tells when a new result has arrived and settled:
//     step[i] = |w[i+1] - w[i]|                    (i = 0 .. n-2)
//     new     <=>  step[0] >= threshold  and  step[i] < 1e-6 for i >= 1
// so a value that jumped by at least the threshold is reported once, on
// the call at which the jump reaches the oldest end of the window: after
// the value has been passed const_len + 1 times in a row. A NaN step counts
// as a change, as NumPy's comparison makes it.
//
// The number of steps in the window that are not still (!(step < 1e-6)) is
// kept up to date as values come and go, so the test costs O(1).
class ChangeWindow {
public:
    static constexpr double kStill = 1e-6;

    ChangeWindow() = default;
    explicit ChangeWindow(std::size_t capacity) : w_(capacity) {}

    std::size_t capacity() const { return w_.capacity(); }
    std::size_t size() const { return w_.size(); }
    bool empty() const { return w_.empty(); }
    bool full() const { return w_.full(); }
    double operator[](std::size_t i) const { return w_[i]; }
    const Ring &values() const { return w_; }

    void reserve() { w_.reserve(); }

    static bool moving(double step) { return !(step < kStill); }
    static double step(double a, double b) { return std::fabs(b - a); }

    void push(double v) {
        if (w_.capacity() == 0)
            return;
        if (w_.full()) {
            if (w_.size() >= 2)
                moving_ -= moving(step(w_[0], w_[1]));
        }
        if (!w_.empty() && w_.capacity() >= 2)
            moving_ += moving(step(w_.back(), v));
        w_.push_back(v);
    }

    // Appends v until the window is full (the first call's pre-fill).
    void fill(double v) {
        reserve();
        while (!w_.full())
            push(v);
    }

    // Whether the window as it stands reports a new value.
    bool fresh_change(double threshold) const {
        if (w_.size() < 2)
            return false;
        const double s0 = step(w_[0], w_[1]);
        return s0 >= threshold && moving_ - moving(s0) == 0;
    }

    // Whether it would after push(v), without changing anything.
    bool fresh_change_after(double v, double threshold) const {
        if (!w_.full() || w_.size() < 2) {
            ChangeWindow next = *this;
            next.push(v);
            return next.fresh_change(threshold);
        }
        const std::size_t n = w_.size();
        const double s0 = n >= 3 ? step(w_[1], w_[2]) : step(w_[1], v);
        const std::size_t m =
            moving_ - moving(step(w_[0], w_[1])) + moving(step(w_[n - 1], v));
        return s0 >= threshold && m - moving(s0) == 0;
    }

    void clear() {
        w_.clear();
        moving_ = 0;
    }

private:
    Ring w_;
    std::size_t moving_ = 0;  // steps within the window that are not still
};

// What one bias update attempt did.
enum class BiasUpdate {
    Updated,     // a new bias from the prediction valid at the laboratory time
    Repeated,    // the same result as the last update: nothing changed
    OutOfRange,  // the laboratory time is not within the history: nothing changed
};

// The bias of a soft sensor and what the last successful update used.
struct BiasState {
    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

    double bias = 0.0;
    double abs_threshold = 1e-6;
    bool update_flag = false;
    double current_lab_data = kNaN;
    double current_lab_time = kNaN;
    double prd_at_labtime = kNaN;

    // One update attempt for a laboratory value sampled at lab_time:
    //  1. the same value (within the threshold) at the same time (within
    //     0.1 s) as the last update is a repeated result;
    //  2. a time outside the history changes nothing;
    //  3. otherwise bias = lab_data - prediction valid at lab_time.
    // Before the first update the stored values are NaN, so step 1 never
    // holds.
    BiasUpdate update(const PredictionHistory &h, double lab_data, double lab_time) {
        if (std::fabs(lab_data - current_lab_data) < abs_threshold &&
            std::fabs(lab_time - current_lab_time) < 0.1)
            return BiasUpdate::Repeated;
        double prd;
        if (!h.prediction_at(lab_time, prd))
            return BiasUpdate::OutOfRange;
        bias = lab_data - prd;
        update_flag = true;
        current_lab_data = lab_data;
        current_lab_time = lab_time;
        prd_at_labtime = prd;
        return BiasUpdate::Updated;
    }
};

// The per-sample bookkeeping of the soft-sensor block, up to the choice of
// trigger: histories, first-call pre-fill, appends.
struct SoftSensorCore {
    PredictionHistory prd;  // prd_len + 1 entries
    ChangeWindow lab;       // const_len + 2 entries
    BiasState state;

    SoftSensorCore() = default;
    SoftSensorCore(std::size_t prd_capacity, std::size_t lab_capacity)
        : prd(prd_capacity), lab(lab_capacity) {}

    bool first() const { return prd.empty(); }

    // Allocates what the first call fills, before anything changes.
    void reserve() {
        prd.reserve();
        lab.reserve();
    }

    // Stores one sample; returns whether it was the first one, whose call
    // pre-fills both histories before appending. Clears the update flag.
    bool store(double prd_data, double lab_data, double prd_time) {
        const bool is_first = first();
        if (is_first) {
            reserve();
            lab.fill(lab_data);
            prd.prefill(prd_data, prd_time);
        }
        prd.push(prd_data, prd_time);
        lab.push(lab_data);
        state.update_flag = false;
        return is_first;
    }

    // The automatic trigger: a new laboratory value that has settled.
    bool new_lab_value() const { return lab.fresh_change(state.abs_threshold); }
};

// The soft-sensor block (qxSoftSensor.SoftSensorBiasUpdate). One run(), in
// this order:
//   1. prd_data, lab_data, lab_time, prd_time and update_trigger (where
//      given) must be finite: ValueError "<name> Bias Update: prd_data is not
//      finite!" (and so on) for the first that is not; nothing changes;
//   2. without prd_time, the wall clock's time is used;
//   3. the sample is stored (SoftSensorCore::store: the first call
//      pre-fills both histories; the update flag is cleared);
//   4. the first call attempts an update and then prints "<name>: Bias
//      Update is triggered by the first data."; a later call with an
//      update_trigger attempts one when it is above 0.5; a later call
//      without one attempts one when a new laboratory value has settled
//      (ChangeWindow::fresh_change);
//   5. returns the bias through the filter 1/(filter_tao s + 1) (Ts 1,
//      operating point 0, one step per call), or the raw bias when
//      filter_tao is not above 0.
// An update attempt that finds the result of the last update again prints
// "<name>: Bias Update is not triggered, lab_data or lab_time is unchanged."
// Printed lines go to `sink` (standard output unless replaced).
class SoftSensorBiasUpdate {
public:
    explicit SoftSensorBiasUpdate(std::string name = "softSensor", double filter_tao = 5.0,
                                  double abs_threshold = 1e-6, std::size_t prd_len = 28800,
                                  std::size_t const_len = 60);

    double run(double prd_data, double lab_data, double lab_time,
               std::optional<double> prd_time = std::nullopt,
               std::optional<double> update_trigger = std::nullopt);
    // One update attempt (_update_bias).
    void update_bias(double lab_data, double lab_time);

    const std::string &get_name() const { return name_; }
    double get_lab_data() const { return core_.state.current_lab_data; }
    double get_lab_time() const { return core_.state.current_lab_time; }
    double get_prd_data_at_labtime() const { return core_.state.prd_at_labtime; }
    bool get_update_flag() const { return core_.state.update_flag; }
    double get_bias() const { return core_.state.bias; }

    // The histories and the bias state (reading and restoring them).
    SoftSensorCore &core() { return core_; }
    const SoftSensorCore &core() const { return core_; }
    // The bias filter (_fil), absent when filter_tao is not above 0.
    std::optional<SFilter> &filter() { return fil_; }
    const std::optional<SFilter> &filter() const { return fil_; }

    MessageSink sink = print_line;

private:
    [[noreturn]] void not_finite(const char *what) const;

    std::string name_;
    SoftSensorCore core_;
    std::optional<SFilter> fil_;
};

} // namespace qxdcs

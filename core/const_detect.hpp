// Constant-input detector.
//
// The detector keeps a window of the last n inputs, oldest first. Each call
//     1. appends u,
//     2. fills the window up to n entries with u again (the first call fills
//        the whole window; a larger n is filled with the current input),
//     3. drops the oldest entries beyond n,
// and reports whether the window is constant:
//     Udiff[0] = |w[0] - w[0]|,  Udiff[i] = |w[i] - w[i-1]|   (i = 1 .. n-1)
//     constant  <=>  Udiff[i] < 1e-6 for every i              (strictly)
// Udiff[0] is 0 for a finite first entry and NaN for an infinite or NaN one,
// so such an entry makes the window non-constant while it stays in it. A slow
// drift whose steps all stay below 1e-6 counts as constant.
//
// The number of failing steps inside the window is kept up to date as entries
// come and go, so a call costs O(1) amortised whatever the window length.
#pragma once

#include <cmath>
#include <cstddef>
#include <deque>
#include <stdexcept>

namespace qxcore {

class ConstDetector {
public:
    static constexpr double kTol = 1e-6;

    // Whether the step from a to b counts as no change.
    static bool still(double a, double b) { return std::fabs(b - a) < kTol; }

    // One call: push u into a window of n entries (n >= 1) and report.
    bool operator()(double u, std::size_t n) {
        push(u, n);
        return isConst();
    }

    // Steps 1 to 3 above.
    void push(double u, std::size_t n) {
        if (n < 1)
            throw std::domain_error("DectLen must be at least 1");
        append(u);
        while (window_.size() < n)
            append(u);
        while (window_.size() > n)
            dropOldest();
    }

    bool isConst() const {
        return !window_.empty() && still(window_.front(), window_.front()) && moving_ == 0;
    }

    const std::deque<double> &window() const { return window_; }

    void clear() {
        window_.clear();
        moving_ = 0;
    }

    void append(double u) {
        if (!window_.empty() && !still(window_.back(), u))
            ++moving_;
        window_.push_back(u);
    }

    void dropOldest() {
        double gone = window_.front();
        window_.pop_front();
        if (!window_.empty() && !still(gone, window_.front()))
            --moving_;
    }

private:
    std::deque<double> window_;
    std::size_t moving_ = 0;  // steps within the window that are not still
};

} // namespace qxcore

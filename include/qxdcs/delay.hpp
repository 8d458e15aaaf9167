// Pure transport delay of a sampled signal, counted in samples.
//
// A DelayLine holds the last `capacity` samples in a ring, newest first:
//     at(0) = x(k), at(1) = x(k-1), ..., at(capacity-1) = x(k-capacity+1)
// It is either empty (never fed) or full. The first sample fills every slot,
// so a delayed output starts at the first input instead of an empty value:
//     y(k) = x(k - n)          for k >= n
//     y(k) = x(0)              for k <  n   (k counts calls from 0)
// Pushing a sample overwrites the oldest one in place: O(1) per sample, no
// allocation after the fill. T is any copyable value type.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qxdcs/error.hpp"
#include "qxdcs/history.hpp"

namespace qxdcs {

template <class T> class DelayLine {
public:
    explicit DelayLine(std::size_t capacity) : cap_(capacity) {}

    std::size_t capacity() const { return cap_; }
    bool empty() const { return buf_.empty(); }

    // Fill every slot with `v` (the first sample).
    void fill(const T &v) {
        buf_.assign(cap_, v);
        head_ = 0;
    }

    // Enter a new sample; the oldest one drops out. Needs a filled line.
    // The slot is written in place: the line is complete when the old value
    // goes.
    void push(const T &v) {
        head_ = (head_ == 0 ? cap_ : head_) - 1;
        buf_[head_] = v;
    }

    // The sample `age` samples old (0 = newest); age < capacity, line filled.
    const T &at(std::size_t age) const {
        std::size_t i = head_ + age;
        if (i >= cap_)
            i -= cap_;
        return buf_[i];
    }

    // Replace the contents by `items`, newest first: either empty or exactly
    // `capacity` samples. Throws std::invalid_argument otherwise.
    void assign(std::vector<T> items) {
        if (!items.empty() && items.size() != cap_)
            throw std::invalid_argument("a delay history is either empty or full");
        buf_ = std::move(items);
        head_ = 0;
    }

    // Visit the samples newest first.
    template <class F> void for_each(F &&f) const {
        for (std::size_t age = 0; age < buf_.size(); ++age)
            f(at(age));
    }

private:
    std::size_t cap_;
    std::size_t head_ = 0;  // slot of the newest sample
    std::vector<T> buf_;
};

// The callable delay block (qxDelay.Delay): the input of nLag calls earlier,
// from a history of max_cache samples. One call, in this order:
//     1. an empty history is filled with max_cache copies of Ut (first call)
//     2. Ut enters the history (the oldest sample drops out)
//     3. 0 <= nLag < max_cache: return the sample nLag calls old; otherwise
//        ValueError "nLag must be between 0 and {max_cache-1}, but got {nLag}."
//        (Ut stays in the history)
// T is any copyable value type.
template <class T = double> class Delay {
public:
    // ValueError for a max_cache of 0 ("max_cache must be a positive integer,
    // but got 0.").
    explicit Delay(std::size_t max_cache = 10000) : line_(max_cache) {
        if (max_cache == 0)
            throw ValueError("max_cache must be a positive integer, but got 0.");
    }

    T operator()(const T &Ut, long long nLag = 1) {
        if (line_.empty())
            line_.fill(Ut);
        line_.push(Ut);
        if (nLag >= 0 && static_cast<unsigned long long>(nLag) < line_.capacity())
            return line_.at(static_cast<std::size_t>(nLag));
        throw ValueError("nLag must be between 0 and " + std::to_string(line_.capacity() - 1) +
                         ", but got " + std::to_string(nLag) + ".");
    }

    std::size_t max_cache() const { return line_.capacity(); }
    // The history, newest first: empty before the first call, else full.
    const DelayLine<T> &history() const { return line_; }
    // Restoring: empty or exactly max_cache samples, newest first
    // (std::invalid_argument otherwise).
    void set_history(std::vector<T> items) { line_.assign(std::move(items)); }

private:
    DelayLine<T> line_;
};

// The function-block delay (qxDelay.Delay_Algorithm): write Ut and nLag,
// call(), read Yt. The history U_array (newest first) grows on demand to
// nLag + 1 samples and never shrinks. One call, in this order:
//     1. an empty U_array becomes [Ut]
//     2. U_array shorter than nLag + 1: extended at its end with copies of
//        its last (oldest) sample
//     3. U_array shifted by one place, Ut written at index 0
//     4. Yt = U_array[nLag]
// ValueError for a negative nLag ("nLag must be non-negative, but got -1."),
// before anything changes.
class DelayAlgorithm {
public:
    double Ut = 0.0;
    double Yt = 0.0;
    long long nLag = 1;
    std::vector<double> U_array;

    void call() {
        if (nLag < 0)
            throw ValueError("nLag must be non-negative, but got " + std::to_string(nLag) + ".");
        if (U_array.empty())
            U_array.assign(1, Ut);
        const std::size_t need = std::size_t(nLag) + 1;
        if (U_array.size() < need)
            U_array.resize(need, U_array.back());
        history_push(U_array.data(), U_array.size(), Ut);
        Yt = U_array[std::size_t(nLag)];
    }
};

} // namespace qxdcs

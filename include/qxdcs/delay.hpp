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
#include <utility>
#include <vector>

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

} // namespace qxdcs

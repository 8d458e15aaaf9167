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
// The window is a ring buffer; the number of steps within it that are not
// still is kept up to date as entries come and go, so a call costs O(1)
// amortised whatever the window length. Every entry carries an Item of the
// caller's (the input as the caller passed it, say) and a flag: an entry the
// caller marks as not judged has no value the detector can use, and while
// any such entry is in the window is_const() means nothing.
//
// A call either completes or changes nothing: reserve() makes every
// allocation a window of n entries needs and may throw std::bad_alloc;
// push() then neither allocates nor throws.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "qxdcs/error.hpp"

namespace qxdcs {

template <class Item> class ConstDetector {
public:
    static constexpr double kTol = 1e-6;

    struct Entry {
        double value = 0.0;
        bool judged = true;
        Item item{};
    };

    ConstDetector() = default;
    ConstDetector(ConstDetector &&o) noexcept { take(o); }
    ConstDetector &operator=(ConstDetector &&o) noexcept {
        if (this != &o) {
            ring_.reset();
            take(o);
        }
        return *this;
    }

    // Whether the step from a to b counts as no change.
    static bool still(double a, double b) { return std::fabs(b - a) < kTol; }

    std::size_t size() const { return size_; }
    // The i-th entry, oldest first; i < size().
    const Entry &at(std::size_t i) const { return ring_[index(i)]; }
    // Entries marked as not judged.
    std::size_t unjudged() const { return unjudged_; }

    bool is_const() const {
        return size_ > 0 && still(at(0).value, at(0).value) && moving_ == 0;
    }

    // How many of the oldest entries push(..., n) drops.
    std::size_t drops(std::size_t n) const { return size_ >= n ? size_ + 1 - n : 0; }

    // Room for a window of n entries. Changes nothing the detector reports.
    void reserve(std::size_t n) {
        if (n <= capacity_)
            return;
        if (n > kMaxCapacity)
            throw std::bad_alloc();
        regrow(std::max(n, std::min(2 * capacity_, kMaxCapacity)));
    }

    // Steps 1 to 3 for a window of n >= 1 entries, after reserve(n). Dropped
    // entries give up their items (reset to Item{}): a caller that must not
    // release them here keeps its own references first.
    void push(double u, bool judged, const Item &item, std::size_t n) noexcept {
        if (size_ == n) {  // the usual call: one in, one out
            drop_oldest();
            append(u, judged, item);
            return;
        }
        if (size_ > n) {
            for (std::size_t k = size_ + 1 - n; k > 0; --k)
                drop_oldest();
            append(u, judged, item);
        } else {
            for (std::size_t k = n - size_; k > 0; --k)
                append(u, judged, item);
        }
        shrink_if_sparse();
    }

    // Appends one entry, after reserve(size() + 1).
    void append(double u, bool judged, const Item &item) noexcept {
        if (size_ > 0 && !still(at(size_ - 1).value, u))
            ++moving_;
        Entry &e = ring_[index(size_)];
        e.value = u;
        e.judged = judged;
        e.item = item;
        unjudged_ += !judged;
        ++size_;
    }

private:
    // Takes o's window; o is left empty.
    void take(ConstDetector &o) noexcept {
        ring_ = std::move(o.ring_);
        capacity_ = std::exchange(o.capacity_, 0);
        head_ = std::exchange(o.head_, 0);
        size_ = std::exchange(o.size_, 0);
        moving_ = std::exchange(o.moving_, 0);
        unjudged_ = std::exchange(o.unjudged_, 0);
    }

    std::size_t index(std::size_t i) const {
        const std::size_t j = head_ + i;
        return j < capacity_ ? j : j - capacity_;
    }

    void drop_oldest() noexcept {
        Entry &gone = ring_[head_];
        unjudged_ -= !gone.judged;
        gone.item = Item{};
        head_ = index(1);
        --size_;
        if (size_ > 0 && !still(gone.value, at(0).value))
            --moving_;
    }

    // Moves the entries into new storage of `capacity` >= size() slots.
    void regrow(std::size_t capacity) {
        std::unique_ptr<Entry[]> grown(new Entry[capacity]);
        for (std::size_t i = 0; i < size_; ++i)
            grown[i] = std::move(ring_[index(i)]);
        ring_.swap(grown);
        capacity_ = capacity;
        head_ = 0;
    }

    // Gives back storage that a much longer window left behind; keeps it if
    // the smaller storage cannot be had.
    void shrink_if_sparse() noexcept {
        if (capacity_ <= kKeepCapacity || capacity_ / 4 <= size_)
            return;
        try {
            regrow(std::max(2 * size_, kKeepCapacity));
        } catch (const std::bad_alloc &) {
        }
    }

    static constexpr std::size_t kKeepCapacity = 64;
    static constexpr std::size_t kMaxCapacity = std::size_t(-1) / 2 / sizeof(Entry);

    std::unique_ptr<Entry[]> ring_;  // capacity_ slots; the window starts at head_
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::size_t moving_ = 0;    // steps within the window that are not still
    std::size_t unjudged_ = 0;  // entries marked as not judged
};

// The detector as a block (qxConstDetector.ConstDect): true when the last
// DectLen inputs (the window filled up with the current input where it is
// shorter) change by less than 1e-6 from one to the next. ValueError for a
// DectLen of 0 ("DectLen must be at least 1"), before anything changes.
class ConstDect {
public:
    bool operator()(double Ut, std::size_t DectLen = 10) {
        if (DectLen == 0)
            throw ValueError("DectLen must be at least 1");
        window_.reserve(DectLen);
        window_.push(Ut, true, Nothing{}, DectLen);
        return window_.is_const();
    }

    // The window (_U_queue), oldest first.
    std::vector<double> window() const {
        std::vector<double> w(window_.size());
        for (std::size_t i = 0; i < w.size(); ++i)
            w[i] = window_.at(i).value;
        return w;
    }
    // Restoring a saved window, oldest first.
    void set_window(const std::vector<double> &w) {
        ConstDetector<Nothing> fresh;
        fresh.reserve(w.size());
        for (double v : w)
            fresh.append(v, true, Nothing{});
        window_ = std::move(fresh);
    }

private:
    struct Nothing {};
    ConstDetector<Nothing> window_;
};

} // namespace qxdcs

// Sample history: a fixed-length buffer with the newest sample at index 0 and
// the oldest at index n - 1. Pushing a sample moves every element one index
// toward the end (the oldest is lost) and writes the new one at index 0:
//     x[i] <- x[i - 1]   for i = n - 1 down to 1
//     x[0] <- v
// An empty history has nowhere to put the sample; callers decide what that
// means (the bindings report it as an index error).
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace qxdcs {

// Move n contiguous elements of `itemsize` bytes one place toward the end;
// element 0 keeps its old bytes (the caller overwrites it).
inline void history_shift_raw(void *data, std::size_t n, std::size_t itemsize) {
    if (n > 1)
        std::memmove(static_cast<char *>(data) + itemsize, data, (n - 1) * itemsize);
}

// Push `v` into the front of the history x[0..n-1]; n must be at least 1.
template <class T>
inline void history_push(T *x, std::size_t n, const T &v) {
    static_assert(std::is_trivially_copyable<T>::value, "history elements are moved bytewise");
    history_shift_raw(x, n, sizeof(T));
    x[0] = v;
}

} // namespace qxdcs

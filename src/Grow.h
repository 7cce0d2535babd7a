// Library-private: a growable malloc'd array of trivially copyable values,
// for code built without exceptions: growing reports running out of memory.
#ifndef FSUTIL_GROW_H
#define FSUTIL_GROW_H

#include <cstddef>
#include <cstdlib>
#include <type_traits>

namespace fsutil {

template <typename T>
struct Grow {
    static_assert(std::is_trivially_copyable<T>::value, "moved with realloc");
    T* data = nullptr;
    std::size_t len = 0;
    std::size_t cap = 0;

    // Room for `more` values after len; false when out of memory.
    bool reserve(std::size_t more) {
        if (len + more <= cap) return true;
        const std::size_t want = (len + more) * 2;
        auto* grown = static_cast<T*>(std::realloc(static_cast<void*>(data), want * sizeof(T)));
        if (!grown) return false;
        data = grown;
        cap = want;
        return true;
    }
    // Room for `total` values in all.
    bool ensure(std::size_t total) { return total <= cap || reserve(total - len); }
    bool push(const T& value) {
        if (!reserve(1)) return false;
        data[len++] = value;
        return true;
    }
    void release() {
        std::free(static_cast<void*>(data));
        *this = Grow();
    }
};

}  // namespace fsutil

#endif

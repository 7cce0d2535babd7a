// Library-private: a growable malloc'd array, for code built without
// exceptions: growing reports running out of memory instead of throwing.
// It owns its values: they are destroyed, and the memory freed, with it.
#ifndef FSUTIL_GROW_H
#define FSUTIL_GROW_H

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace fsutil {

// Values that are trivially copyable may be written through data and len
// directly (data[len++] = v, len = 0); others only through push, pop and clear.
template <typename T>
struct Grow {
    T* data = nullptr;
    std::size_t len = 0;
    std::size_t cap = 0;

    Grow() = default;
    Grow(const Grow&) = delete;
    Grow& operator=(const Grow&) = delete;
    Grow(Grow&& o) noexcept : data(o.data), len(o.len), cap(o.cap) { o.data = nullptr, o.len = o.cap = 0; }
    Grow& operator=(Grow&& o) noexcept {
        if (this != &o) {
            this->~Grow();
            new (this) Grow(std::move(o));
        }
        return *this;
    }
    ~Grow() {
        clear();
        std::free(static_cast<void*>(data));
    }

    // Room for `more` values after len; false when out of memory.
    bool reserve(std::size_t more) {
        static_assert(std::is_nothrow_move_constructible<T>::value, "moved when the array grows");
        if (len + more <= cap) return true;
        const std::size_t want = (len + more) * 2;
        if (std::is_trivially_copyable<T>::value) {
            auto* grown = static_cast<T*>(std::realloc(static_cast<void*>(data), want * sizeof(T)));
            if (!grown) return false;
            data = grown;
        } else {
            auto* grown = static_cast<T*>(std::malloc(want * sizeof(T)));
            if (!grown) return false;
            for (std::size_t i = 0; i < len; ++i) {
                new (grown + i) T(std::move(data[i]));
                data[i].~T();
            }
            std::free(static_cast<void*>(data));
            data = grown;
        }
        cap = want;
        return true;
    }
    // Room for `total` values in all.
    bool ensure(std::size_t total) { return total <= cap || reserve(total - len); }
    bool push(const T& value) {
        if (!reserve(1)) return false;
        new (data + len++) T(value);
        return true;
    }
    bool push(T&& value) {
        if (!reserve(1)) return false;
        new (data + len++) T(std::move(value));
        return true;
    }
    T& back() { return data[len - 1]; }
    void pop() { data[--len].~T(); }
    // Drops every value; the memory is kept for reuse.
    void clear() {
        while (len > 0) pop();
    }
};

}  // namespace fsutil

#endif

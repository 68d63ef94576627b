#pragma once
// A value computed on first use by const member functions that several
// threads may call at once. The value is published through an atomic pointer:
// concurrent first calls may each compute it, one of them is kept, and every
// caller reads that one. Unlike std::once_flag it copies and moves, so the
// object holding it does too.

#include <atomic>
#include <memory>
#include <utility>

#include "velmora/error.hpp"

namespace velmora {

template <class T>
class LazyCache {
public:
    LazyCache() noexcept = default;
    LazyCache(const LazyCache& other) : value_(other.copy().release()) {}
    LazyCache(LazyCache&& other) noexcept
        : value_(other.value_.exchange(nullptr, std::memory_order_acq_rel)) {}
    LazyCache& operator=(const LazyCache& other) {
        if (this != &other) replace(other.copy().release());
        return *this;
    }
    LazyCache& operator=(LazyCache&& other) noexcept {
        if (this != &other) replace(other.value_.exchange(nullptr, std::memory_order_acq_rel));
        return *this;
    }
    ~LazyCache() { delete value_.load(std::memory_order_acquire); }

    /// The value, or nullptr while it has not been computed.
    const T* get() const noexcept { return value_.load(std::memory_order_acquire); }
    bool has_value() const noexcept { return get() != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    /// The value; throws MissingResultError while it has not been computed.
    const T& operator*() const {
        const T* value = get();
        if (value == nullptr) throw_unwrap_none();
        return *value;
    }

    /// The value, computed by make() on first use.
    template <class Make>
    const T& get_or_compute(Make&& make) const {
        if (const T* value = get()) return *value;
        auto fresh = std::make_unique<T>(std::forward<Make>(make)());
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return *fresh.release();
        return *expected;  // another thread published first; ours is dropped
    }

    /// Forgets the value (not safe against concurrent readers, like any mutation).
    void reset() noexcept { replace(nullptr); }

    /// Both empty, or both computed with equal values.
    friend bool operator==(const LazyCache& a, const LazyCache& b) {
        const T* x = a.get();
        const T* y = b.get();
        return x == nullptr || y == nullptr ? x == y : *x == *y;
    }

private:
    std::unique_ptr<T> copy() const {
        const T* value = get();
        return value ? std::make_unique<T>(*value) : nullptr;
    }
    void replace(T* value) noexcept { delete value_.exchange(value, std::memory_order_acq_rel); }

    mutable std::atomic<T*> value_{nullptr};
};

}  // namespace velmora

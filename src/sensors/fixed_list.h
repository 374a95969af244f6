#pragma once
// A list with a fixed capacity that lives inside its owner: N slots and a count. It never
// allocates, so records made of these lists stay plain data that copy as a whole (a probe
// definition is copied into the library and out of it by value).
#include <array>
#include <cstddef>
#include <cstdint>

template <typename T, uint32_t N>
class FixedList {
public:
    static constexpr uint32_t capacity = N;
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    uint32_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    bool full() const noexcept { return count_ >= N; }

    // Appends a copy; false (and nothing stored) when the list is full.
    bool push_back(const T& value) noexcept {
        if (count_ >= N) return false;
        items_[count_++] = value;
        return true;
    }
    // Appends a default element and returns it, or nullptr when the list is full.
    T* emplace_default() noexcept {
        if (count_ >= N) return nullptr;
        items_[count_] = T{};
        return &items_[count_++];
    }
    void clear() noexcept {
        for (uint32_t i = 0; i < count_; ++i) items_[i] = T{};
        count_ = 0;
    }

    T& operator[](size_t i) noexcept { return items_[i]; }
    const T& operator[](size_t i) const noexcept { return items_[i]; }
    // Bounds-checked access: nullptr outside 0..size()-1.
    T* at(long long i) noexcept { return (i >= 0 && i < static_cast<long long>(count_)) ? &items_[static_cast<size_t>(i)] : nullptr; }
    const T* at(long long i) const noexcept {
        return (i >= 0 && i < static_cast<long long>(count_)) ? &items_[static_cast<size_t>(i)] : nullptr;
    }
    T& front() noexcept { return items_[0]; }
    const T& front() const noexcept { return items_[0]; }
    T& back() noexcept { return items_[count_ - 1]; }
    const T& back() const noexcept { return items_[count_ - 1]; }

    iterator begin() noexcept { return items_.data(); }
    iterator end() noexcept { return items_.data() + count_; }
    const_iterator begin() const noexcept { return items_.data(); }
    const_iterator end() const noexcept { return items_.data() + count_; }

private:
    std::array<T, N> items_{};
    uint32_t count_ = 0;
};

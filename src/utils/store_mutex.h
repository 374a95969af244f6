#pragma once
// The mutex of a store that the register table reads value by value (the recipe and the live
// data). Writers take it like any mutex. Each hold also moves a sequence number, odd while held,
// so that a reader of one small value can copy it without the lock and check afterwards that no
// writer held the store meanwhile (it locks and reads again when one did). Such a copy costs
// two loads of the number instead of two atomic read-modify-writes.
#include <atomic>
#include <cstdint>
#include <mutex>

class StoreMutex {
public:
    void lock() {
        m_.lock();
        enter();
    }
    bool try_lock() {
        if (!m_.try_lock()) return false;
        enter();
        return true;
    }
    void unlock() {
        seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        m_.unlock();
    }

    // Unlocked copy: s = readBegin(); if s is even, copy with relaxed atomic loads; the copy is
    // good when readValid(s).
    uint32_t readBegin() const { return seq_.load(std::memory_order_acquire); }
    bool readValid(uint32_t s) const {
        std::atomic_thread_fence(std::memory_order_acquire);
        return (s & 1u) == 0 && seq_.load(std::memory_order_relaxed) == s;
    }

private:
    void enter() {
        seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }

    std::mutex m_;
    std::atomic<uint32_t> seq_{0};
};

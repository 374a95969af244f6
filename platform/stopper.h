#pragma once
// A stop request that a component thread can wait on. stop() wakes every waiter at once.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvane::platform {

class Stopper {
public:
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        cv_.notify_all();
    }
    void reset() {
        std::lock_guard lock(mutex_);
        stopped_ = false;
    }
    bool stopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    // Waits up to d (real time); true when a stop was requested.
    bool waitFor(std::chrono::milliseconds d) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, d, [this] { return stopped_; });
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return stopped_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

}  // namespace orvane::platform

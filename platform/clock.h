#pragma once
// Wall and steady time plus sleeping, behind one replaceable object so that every waiting loop
// (supervisor, probe service, token expiry, history intervals, modem passes) runs in simulated
// time under test.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace orvane::platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Wall-clock Unix time.
    virtual int64_t wallSeconds() = 0;
    virtual int64_t wallMillis() = 0;
    // Monotonic time since an arbitrary origin.
    virtual int64_t steadyMillis() = 0;
    int64_t steadySeconds() { return steadyMillis() / 1000; }
    virtual void sleepFor(std::chrono::milliseconds d) = 0;

    // The process-wide clock (the system clock unless a test installed another).
    static Clock& get();
    // Test-only: install a clock (nullptr restores the system clock). Not owned.
    static void setForTest(Clock* clock);
};

class SystemClock final : public Clock {
public:
    int64_t wallSeconds() override;
    int64_t wallMillis() override;
    int64_t steadyMillis() override;
    void sleepFor(std::chrono::milliseconds d) override;
};

// Simulated time: sleepFor advances both clocks at once and returns immediately.
// Safe to use from several threads; records every sleep for assertions.
class SimulatedClock final : public Clock {
public:
    explicit SimulatedClock(int64_t wallStartSeconds = 1767225600 /* 2026-01-01 UTC */,
                            int64_t steadyStartMillis = 1000000);
    int64_t wallSeconds() override { return wallMs_.load() / 1000; }
    int64_t wallMillis() override { return wallMs_.load(); }
    int64_t steadyMillis() override { return steadyMs_.load(); }
    void sleepFor(std::chrono::milliseconds d) override;

    void advance(std::chrono::milliseconds d);
    void setWallSeconds(int64_t s) { wallMs_.store(s * 1000); }
    // Every sleep requested so far, in order.
    std::vector<int64_t> sleeps() const;
    void clearSleeps();
    int64_t totalSleptMillis() const;

private:
    std::atomic<int64_t> wallMs_;
    std::atomic<int64_t> steadyMs_;
    mutable std::mutex mutex_;
    std::vector<int64_t> sleeps_;
};

// Sleeps d on the process clock in slices of at most `slice`, so a stop request is seen within
// one slice. False when `stop` was set before or during the sleep.
bool sleepUnlessStopped(std::chrono::milliseconds d, std::chrono::milliseconds slice, const std::atomic<bool>& stop);

}  // namespace orvane::platform

#include <algorithm>
#include "platform/clock.h"

#include <thread>

namespace orvane::platform {
namespace {
std::atomic<Clock*> g_override{nullptr};
}

Clock& Clock::get() {
    Clock* c = g_override.load(std::memory_order_acquire);
    if (c) return *c;
    static SystemClock system;
    return system;
}

void Clock::setForTest(Clock* clock) { g_override.store(clock, std::memory_order_release); }

int64_t SystemClock::wallSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::wallMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t SystemClock::steadyMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SystemClock::sleepFor(std::chrono::milliseconds d) {
    if (d.count() > 0) std::this_thread::sleep_for(d);
}

SimulatedClock::SimulatedClock(int64_t wallStartSeconds, int64_t steadyStartMillis)
    : wallMs_(wallStartSeconds * 1000), steadyMs_(steadyStartMillis) {}

void SimulatedClock::sleepFor(std::chrono::milliseconds d) {
    {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(d.count());
    }
    advance(d);
    std::this_thread::yield();
}

void SimulatedClock::advance(std::chrono::milliseconds d) {
    if (d.count() <= 0) return;
    wallMs_.fetch_add(d.count());
    steadyMs_.fetch_add(d.count());
}

std::vector<int64_t> SimulatedClock::sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

void SimulatedClock::clearSleeps() {
    std::lock_guard lock(mutex_);
    sleeps_.clear();
}

int64_t SimulatedClock::totalSleptMillis() const {
    std::lock_guard lock(mutex_);
    int64_t t = 0;
    for (auto s : sleeps_) t += s;
    return t;
}

bool sleepUnlessStopped(std::chrono::milliseconds d, std::chrono::milliseconds slice, const std::atomic<bool>& stop) {
    Clock& clock = Clock::get();
    while (d.count() > 0) {
        if (stop.load()) return false;
        const auto step = std::min(d, slice);
        clock.sleepFor(step);
        d -= step;
    }
    return !stop.load();
}

}  // namespace orvane::platform

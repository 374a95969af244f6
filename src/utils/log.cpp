#include "utils/log.h"

#include <atomic>
#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/paths.h"

namespace {
// Zero-initialised: every module is silent until loadLogConfig() runs. Written on the main
// thread before any component thread exists; relaxed atomics keep late test writes race-free.
std::atomic<int> g_levels[static_cast<int>(LogModule::MAX)];
}  // namespace

int get_log_level(LogModule module) {
    int i = static_cast<int>(module);
    if (i < 0 || i >= static_cast<int>(LogModule::MAX)) return 0;
    return g_levels[i].load(std::memory_order_relaxed);
}

bool is_model_output(LogModule module, LogLevel level) {
    int i = static_cast<int>(module);
    if (i < 0 || i >= static_cast<int>(LogModule::MAX)) return false;
    return g_levels[i].load(std::memory_order_relaxed) >= static_cast<int>(level);
}

void orvane::log_detail::setLevel(LogModule module, int level) {
    int i = static_cast<int>(module);
    if (i >= 0 && i < static_cast<int>(LogModule::MAX)) g_levels[i].store(level, std::memory_order_relaxed);
}

void set_log_level_for_test(LogModule module, int level) {
    int i = static_cast<int>(module);
    if (i >= 0 && i < static_cast<int>(LogModule::MAX)) g_levels[i].store(level, std::memory_order_relaxed);
}

void reset_log_levels_for_test() {
    for (auto& l : g_levels) l.store(0, std::memory_order_relaxed);
}

orvane::platform::LogThrottle& LogThrottles::of(std::string_view format) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = throttles_.find(format);
    if (it == throttles_.end())
        it = throttles_.emplace(std::string(format), std::make_unique<orvane::platform::LogThrottle>()).first;
    return *it->second;
}

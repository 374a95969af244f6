#pragma once
// An ILogger that keeps every completed line with its level (1 trace ... 6 critical).
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cloud_daemon/domain/interfaces/i_logger.h"

namespace orvane::test {

class RecordingLogger : public cloud_daemon::domain::interfaces::ILogger {
public:
    ILogger& trace() override { return select(1); }
    ILogger& debug() override { return select(2); }
    ILogger& info() override { return select(3); }
    ILogger& warn() override { return select(4); }
    ILogger& error() override { return select(5); }
    ILogger& critical() override { return select(6); }
    void log_string(const std::stringstream& part) override {
        std::lock_guard lock(mutex_);
        current_[std::this_thread::get_id()].second += part.str();
    }
    void log_line_completed() override {
        std::lock_guard lock(mutex_);
        auto& c = current_[std::this_thread::get_id()];
        lines_.emplace_back(c.first, std::exchange(c.second, {}));
    }
    // Lines of a level (0: any) that contain `text`.
    size_t count(int level, const std::string& text) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& [l, s] : lines_) n += (level == 0 || l == level) && s.find(text) != std::string::npos;
        return n;
    }
    bool has(const std::string& text) const { return count(0, text) > 0; }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        current_.clear();
    }

private:
    ILogger& select(int level) {
        std::lock_guard lock(mutex_);
        current_[std::this_thread::get_id()].first = level;
        return *this;
    }
    mutable std::mutex mutex_;
    std::map<std::thread::id, std::pair<int, std::string>> current_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace orvane::test

// Logger set-up and the per-module level table loaded from runtime/run_enables.json.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "platform/paths.h"
#include "utils/log.h"
#include "utils/utility.h"
#include "scada_paths.h"

namespace {

constexpr int kDefaultLevel = static_cast<int>(LogLevel::WARN);
constexpr size_t kLogFileBytes = 1048576;
constexpr size_t kLogFiles = 2;

// A level value as a signed 32-bit integer: booleans 1/0, floating numbers truncated toward
// zero, everything clamped to the int range. False when the value is not a number or boolean.
bool levelFromJson(const nlohmann::ordered_json& v, int* out) {
    constexpr int kMin = std::numeric_limits<int>::min();
    constexpr int kMax = std::numeric_limits<int>::max();
    if (v.is_boolean()) {
        *out = v.get<bool>() ? 1 : 0;
        return true;
    }
    if (v.is_number_unsigned()) {
        auto u = v.get<uint64_t>();
        *out = u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int>(u);
        return true;
    }
    if (v.is_number_integer()) {
        auto i = v.get<int64_t>();
        *out = static_cast<int>(std::clamp<int64_t>(i, kMin, kMax));
        return true;
    }
    if (v.is_number_float()) {
        double d = std::trunc(v.get<double>());
        if (std::isnan(d)) return false;
        if (d <= static_cast<double>(kMin)) *out = kMin;
        else if (d >= static_cast<double>(kMax)) *out = kMax;
        else *out = static_cast<int>(d);
        return true;
    }
    return false;
}

// Keeps a copy of the operator's file before it is rewritten without some of its content; an
// earlier copy is not replaced. Returns the copy's name.
std::string keepBadCopy(const std::string& path) {
    const std::string bad = Utility::badCopyPath(path);
    std::error_code ec;
    std::filesystem::copy_file(path, bad, std::filesystem::copy_options::overwrite_existing, ec);
    return bad;
}

}  // namespace

void Utility::configLog(const std::string& path, int level, bool console) {
    auto consoleSink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    auto fileSink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kLogFileBytes, kLogFiles, false);
    std::vector<spdlog::sink_ptr> sinks{fileSink};
    if (console) sinks.push_back(consoleSink);

    // A second call (tests, or a restart of logging) replaces the earlier logger.
    spdlog::drop("name");
    auto logger = std::make_shared<spdlog::logger>("name", sinks.begin(), sinks.end());
    spdlog::register_logger(logger);
    spdlog::set_pattern("[%m-%d %H:%M:%S] [%l] [%s:%#] %v");
    spdlog::set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    level = std::clamp(level, static_cast<int>(spdlog::level::trace), static_cast<int>(spdlog::level::off));
    spdlog::set_level(static_cast<spdlog::level::level_enum>(level));
    spdlog::flush_every(std::chrono::seconds(3));
}

void loadLogConfig() {
    using json = nlohmann::ordered_json;
    const std::string path = scada_paths::RUN_ENABLE_FILE();

    json doc;
    bool loaded = Utility::loadJson(path, doc);
    std::string problem;  // why some of the operator's content had to be replaced
    if (!loaded) {
        // Missing or empty: written anew. Anything else could not be parsed.
        std::error_code ec;
        bool present = std::filesystem::exists(path, ec);
        std::string text = present ? Utility::readConfigFile(path) : std::string();
        if (text.find_first_not_of(" \t\r\n") != std::string::npos) problem = "not valid JSON";
        doc = json::object();
    } else if (!doc.is_object()) {
        problem = "root is not an object";
        doc = json::object();
    }

    json& log = doc["log"];
    if (log.is_null()) {
        log = json::object();
    } else if (!log.is_object()) {
        if (problem.empty()) problem = "\"log\" is not an object";
        log = json::object();
    }

    for (int m = 0; m <= static_cast<int>(LogModule::MAX); ++m) {
        auto module = static_cast<LogModule>(m);
        const std::string key(logModuleName(module));
        int level = kDefaultLevel;
        auto it = log.find(key);
        if (it == log.end()) {
            log[key] = kDefaultLevel;
        } else if (!levelFromJson(*it, &level)) {
            if (problem.empty()) problem = "level of " + key + " is not a number";
            level = kDefaultLevel;
            *it = kDefaultLevel;
        }
        if (module != LogModule::MAX) orvane::log_detail::setLevel(module, level);
    }

    if (!problem.empty()) {
        const std::string bad = keepBadCopy(path);
        SLOG_WARN(MAIN, "run_enables.json: {}; defaults applied, original kept as {}", problem, bad);
    }
    if (!Utility::saveJson(path, doc)) SLOG_WARN(MAIN, "run_enables.json could not be written, filename={}", path);
}

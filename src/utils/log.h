#pragma once
// Per-module log gate of orvane-scada. Every line is first tested with is_model_output(module,
// level); only then is it written through spdlog's default logger with its source location.
// Until loadLogConfig() has run, every module is silent.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

#include "platform/log_throttle.h"

enum class LogModule : int {
    MAIN = 0,
    SCADA = 1,
    LORA = 2,
    SYS = 3,
    WEB = 4,
    SENSOR = 5,
    EIP = 6,
    MBRTU = 7,
    MBTCP = 8,
    CELLULAR = 9,
    CLOUD = 10,
    DATABASE = 11,
    LIBMODBUS = 12,
    MAX = 13,
};

enum class LogLevel : int {
    OFF = 0,
    ERROR = 1,
    WARN = 2,
    INFO = 3,
    DEBUG = 4,
};

inline constexpr std::array<std::string_view, 14> kLogModuleNames = {
    "MAIN", "SCADA", "LORA", "SYS", "WEB", "SENSOR", "EIP",
    "MBRTU", "MBTCP", "CELLULAR", "CLOUD", "DATABASE", "LIBMODBUS", "MAX"};

inline constexpr std::array<std::string_view, 5> kLogLevelNames = {"OFF", "ERROR", "WARN", "INFO", "DEBUG"};

constexpr std::string_view logModuleName(LogModule m) {
    auto i = static_cast<size_t>(m);
    return i < kLogModuleNames.size() ? kLogModuleNames[i] : std::string_view{};
}
constexpr std::string_view logLevelName(LogLevel l) {
    auto i = static_cast<size_t>(l);
    return i < kLogLevelNames.size() ? kLogLevelNames[i] : std::string_view{};
}

// Table entry of a module (MAX and out-of-range modules: 0).
int get_log_level(LogModule module);
// True when the module's table entry is >= level.
bool is_model_output(LogModule module, LogLevel level);
// Fills the level table from runtime/run_enables.json and writes the file back (all 14 keys).
void loadLogConfig();
// Test-only: set one table entry / clear the whole table (every module silent).
void set_log_level_for_test(LogModule module, int level);
void reset_log_levels_for_test();

namespace orvane::log_detail {
// Stores one table entry; used by loadLogConfig on the main thread before other threads start.
void setLevel(LogModule module, int level);

constexpr spdlog::level::level_enum spdlogLevel(LogLevel l) {
    switch (l) {
        case LogLevel::ERROR: return spdlog::level::err;
        case LogLevel::WARN: return spdlog::level::warn;
        case LogLevel::INFO: return spdlog::level::info;
        default: return spdlog::level::off;
    }
}
// OFF and DEBUG have no logger level: a line "logged" at them is never written.
constexpr bool writesLines(LogLevel l) { return spdlogLevel(l) != spdlog::level::off; }
}  // namespace orvane::log_detail

// SLOG(SCADA, INFO, "Loaded {} probes", n);
// Levels without a logger level of their own (OFF, DEBUG) write nothing.
#define SLOG(module, level, ...)                                                                  \
    do {                                                                                          \
        if (orvane::log_detail::writesLines(LogLevel::level) &&                                  \
            is_model_output(LogModule::module, LogLevel::level)) {                                \
            spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, \
                                              orvane::log_detail::spdlogLevel(LogLevel::level),  \
                                              __VA_ARGS__);                                       \
        }                                                                                         \
    } while (0)

#define SLOG_ERROR(module, ...) SLOG(module, ERROR, __VA_ARGS__)
#define SLOG_WARN(module, ...) SLOG(module, WARN, __VA_ARGS__)
#define SLOG_INFO(module, ...) SLOG(module, INFO, __VA_ARGS__)

// The throttles of one component's lines that a remote peer can repeat once per request: one per
// kind of line, the kind being the line's format text, made on its first use. Thread-safe.
class LogThrottles {
public:
    orvane::platform::LogThrottle& of(std::string_view format);

private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<orvane::platform::LogThrottle>, std::less<>> throttles_;
};

namespace orvane::log_detail {
inline orvane::platform::LogThrottle& throttleOf(orvane::platform::LogThrottle& t, std::string_view) { return t; }
inline orvane::platform::LogThrottle& throttleOf(LogThrottles& t, std::string_view format) { return t.of(format); }
}  // namespace orvane::log_detail

// SLOG_THROTTLED(logs_, WEB, WARN, "Request body refused: {}", why);
// A line through a throttle: `throttles` is one LogThrottle, or a LogThrottles whose throttle for
// the line's kind is taken. The first of a run is written as it stands, then at most one per
// interval, which ends with the count of events it stands for (LogThrottle::note). The format is
// a string literal.
#define SLOG_THROTTLED(throttles, module, level, format, ...)                                          \
    do {                                                                                              \
        if (orvane::log_detail::writesLines(LogLevel::level) &&                                      \
            is_model_output(LogModule::module, LogLevel::level)) {                                    \
            if (const uint64_t slogEvents_ = orvane::log_detail::throttleOf(throttles, format).admit()) \
                spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, __LINE__, SPDLOG_FUNCTION}, \
                                                  orvane::log_detail::spdlogLevel(LogLevel::level),  \
                                                  format "{}" __VA_OPT__(, ) __VA_ARGS__,             \
                                                  orvane::platform::LogThrottle::note(slogEvents_)); \
        }                                                                                             \
    } while (0)

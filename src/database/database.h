#pragma once
// History of the measured values: one SQLite file with five log tables at fixed sampling
// intervals (10 s, 1 min, 10 min, 1 h, 8 h), written from the supervisor loop and read by the
// trend query of the web API.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orvane_ipc/data_cell.h"

namespace orvane::database {
class HistoryStorage;
// Time one step may spend extending the trend summaries (each step carries on where the last
// stopped), and the time a trend query may spend on them before it answers the slower way.
inline constexpr std::chrono::milliseconds kTrendSummaryBudget{20};
}  // namespace orvane::database

// Number of logged values per row and rows per trend answer.
inline constexpr int kLogVarCount = 20;
inline constexpr int kLogQueryMaxRows = 500;
inline constexpr int kLogTableCount = 5;
// Rows of one historical answer to the cloud daemon.
inline constexpr int kHistoryAnswerMaxRows = 360;

// Log tables in selector order: 0 = 10 s ... 4 = 8 h.
inline constexpr std::array<const char*, kLogTableCount> kLogTableNames = {
    "LogRecord10s", "LogRecord1M", "LogRecord10M", "LogRecord1H", "LogRecord8H"};
inline constexpr std::array<int64_t, kLogTableCount> kLogIntervalsSec = {10, 60, 600, 3600, 28800};

// One row of a log table.
struct LogRecord {
    uint32_t id = 0;
    uint32_t timestamp = 0;
    std::array<float, kLogVarCount> vars{};  // var0 ... var19
};

// One row of "NameRecord": the names of the values of the rows logged from its timestamp on.
struct LogNameRecord {
    uint32_t id = 0;
    uint32_t timestamp = 0;
    std::array<std::string, kLogVarCount> names;
};

struct EventRecord {
    uint32_t id = 0;
    uint32_t timestamp = 0;
    std::string message;
    int32_t state = 0;
};

struct EventQueryPack {
    uint32_t startTime = 0;
    uint32_t endTime = 0;
};

// The trend query: table selector, most rows asked for, inclusive time range.
struct LogQueryPack {
    uint32_t type = 1;
    int32_t limit = 480;
    uint32_t startTime = 0;
    uint32_t endTime = 0;
};

// A fixed list with its own count.
template <typename T, size_t N>
struct FixedSeries {
    std::array<T, N> data{};
    uint32_t count = 0;
    T& operator[](size_t i) { return data[i]; }
    const T& operator[](size_t i) const { return data[i]; }
};

// The trend answer, column by column. About 42 KB: keep it on the heap or in a long-lived owner.
// After a successful query all 21 counts equal the number of rows delivered.
struct LogQueryResult {
    FixedSeries<uint32_t, kLogQueryMaxRows> timestamp;
    std::array<FixedSeries<float, kLogQueryMaxRows>, kLogVarCount> vars;  // "var0" ... "var19"

    FixedSeries<float, kLogQueryMaxRows>& var(size_t i) { return vars[i]; }
    const FixedSeries<float, kLogQueryMaxRows>& var(size_t i) const { return vars[i]; }
    void setCount(uint32_t n) {
        timestamp.count = n;
        for (auto& v : vars) v.count = n;
    }
};

// Where the database lives: SD card partition 2, partition 1, else the internal flash.
struct DbFileChoice {
    bool sdCard = false;     // the card device exists (not: the file is on the card)
    std::string path;        // database file
    std::string diskPath;    // directory whose file system holds it
};

// Chooses the file from the current platform paths, logs "getDBFilePath: {}, {}" and records the
// disk path for dbDiskPath().
DbFileChoice getDBFilePath();
// The directory whose file system holds the database ("/" until a file has been chosen).
std::string dbDiskPath();

// Used share of the file system holding `path`, in percent; 0 (and a WARN line) when it cannot
// be measured.
float diskUsagePercent(const std::string& path);

struct DatabaseOptions {
    std::string dbFile;    // empty: chosen by getDBFilePath() when the proxy is built
    std::string diskPath;  // empty: the chosen directory (or the file's directory for dbFile)
    // One step of the summary thread; each step does at least one chunk of every incomplete table.
    std::chrono::microseconds trendSummaryStep = orvane::database::kTrendSummaryBudget;
    // Time a trend query may spend extending the summary (0: it only uses a complete one).
    std::chrono::microseconds trendQueryBudget = orvane::database::kTrendSummaryBudget;
};

class DatabaseProxy {
public:
    using CellSource = std::function<orvane_ipc::DataCell()>;
    using UsageSource = std::function<float()>;
    using QueryMap = std::map<uint32_t, std::vector<std::pair<std::string, double>>>;

    // Chooses the file, opens it (creating it and synchronising the schema) and checks that a
    // row can be written (the check leaves no row behind). A database that cannot be opened is
    // logged; the proxy then retries on every later operation.
    explicit DatabaseProxy(DatabaseOptions options = {});
    ~DatabaseProxy();
    DatabaseProxy(const DatabaseProxy&) = delete;
    DatabaseProxy& operator=(const DatabaseProxy&) = delete;

    // Resets the five due stamps; called just before the supervisor loop.
    void init();
    // Writes one row into each log table that is due. `cell` yields the live values (called only
    // when a table is due). Never throws.
    void trySaveLog(const CellSource& cell);
    // Trend query; failures are logged and leave `result` untouched. Never throws.
    void log_query(LogQueryPack& pack, LogQueryResult& result);
    // Historical cells for the cloud daemon: the rows of log table `name` (the 10 s table when
    // it names none) in [start, end], oldest first, at most kHistoryAnswerMaxRows, each with the
    // pairs named by the latest "NameRecord" at or before it. Rows without names are left out.
    // Failures are logged and answer empty. Never throws.
    QueryMap query(const std::string& name, uint32_t start, uint32_t end);
    void insertEvent(EventRecord& event);
    std::vector<EventRecord> queryAlarmEvent(EventQueryPack& pack);

    // Extends, for up to `budget`, what keeps trend queries fast on large tables; true when that
    // is complete. Until then queries are answered the slower way, with the same rows. While the
    // summary thread does not run, each trySaveLog does a step. Never throws.
    bool prepareTrendQueries(std::chrono::microseconds budget);
    // The summary thread: steps one after the other under the proxy mutex (released between
    // them) until the summary is complete, then one step a second to follow new rows and changes
    // by other programs. trySaveLog then leaves the work to it. Stop joins it (also the
    // destructor).
    void startTrendSummary();
    void stopTrendSummary();
    // True when the last step of the summary thread found the summary complete.
    bool trendSummaryReady() const { return summaryReady_.load(); }

    // Replaces the disk-usage reading used by trySaveLog (default: statvfs of the disk path).
    void setDiskUsageSource(UsageSource source);

    bool sdCard() const { return choice_.sdCard; }
    const std::string& filePath() const { return choice_.path; }
    const std::string& diskPath() const { return choice_.diskPath; }
    std::array<int64_t, kLogTableCount> lastSaveTs() const { return lastSaveTs_; }

private:
    void testcase();
    void summaryLoop();
    void queryLocked(const LogQueryPack& pack, LogQueryResult& result);

    DbFileChoice choice_;
    UsageSource usage_;
    std::mutex mutex_;
    std::unique_ptr<orvane::database::HistoryStorage> storage_;
    std::unique_ptr<LogQueryResult> scratch_;  // rows of the running query
    std::array<int64_t, kLogTableCount> lastSaveTs_{};
    std::array<std::string, kLogVarCount> lastNames_;  // names of the last "NameRecord" written
    bool namesWritten_ = false;

    std::chrono::microseconds summaryStep_;
    std::mutex summaryControlMutex_;  // start and stop; never held with the proxy mutex
    std::thread summaryThread_;
    std::atomic<bool> summaryRunning_{false};
    std::atomic<bool> summaryReady_{false};
    std::mutex summaryWaitMutex_;  // never held with the proxy mutex
    std::condition_variable summaryWake_;
    bool summaryStop_ = false;  // under summaryWaitMutex_
};

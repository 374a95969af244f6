#include "database/database.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include <fmt/ranges.h>

#include "database/history_storage.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "utils/log.h"
#include "scada_paths.h"

using orvane::database::HistoryStorage;
using orvane::platform::Clock;
using orvane::platform::Paths;

namespace {

std::mutex g_diskPathMutex;
std::string g_diskPath = "/";

void setDbDiskPath(const std::string& p) {
    std::lock_guard<std::mutex> lock(g_diskPathMutex);
    g_diskPath = p;
}

bool isBlockDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string parentDir(const std::string& file) {
    auto pos = file.find_last_of('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return file.substr(0, pos);
}

// f64 -> f32 without undefined behaviour for values beyond the float range.
float toFloat(double v) {
    if (v > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (v < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

}  // namespace

DbFileChoice getDBFilePath() {
    DbFileChoice c;
    c.sdCard = isBlockDevice(scada_paths::SD_CARD_DEVICE());
    const std::string flash = scada_paths::DB_FILE_NFLASH();
    const std::string root = Paths::system("");
    if (c.sdCard) {
        const std::string p2 = Paths::system("run/media/mmcblk0p2");
        const std::string p1 = Paths::system("run/media/mmcblk0p1");
        bool has2 = exists(p2);
        bool has1 = exists(p1);
        if (has2) {
            c.path = p2 + "/orvanepro.db";
            c.diskPath = p2;
        } else if (has1) {
            c.path = p1 + "/orvanepro.db";
            c.diskPath = p1;
        } else {
            c.path = flash;
            c.diskPath = root;
        }
    } else {
        c.path = flash;
        c.diskPath = root;
    }
    setDbDiskPath(c.diskPath);
    SLOG_INFO(DATABASE, "getDBFilePath: {}, {}", c.path, c.sdCard);
    return c;
}

std::string dbDiskPath() {
    std::lock_guard<std::mutex> lock(g_diskPathMutex);
    return g_diskPath;
}

float diskUsagePercent(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0 || vfs.f_blocks == 0) {
        SLOG_WARN(DATABASE, "Failed to get disk data for path: {}", path);
        return 0.0f;
    }
    double used = static_cast<double>(vfs.f_blocks - vfs.f_bfree);
    return static_cast<float>(used * 100.0 / static_cast<double>(vfs.f_blocks));
}

DatabaseProxy::DatabaseProxy(DatabaseOptions options) : summaryStep_(options.trendSummaryStep) {
    if (options.dbFile.empty()) {
        choice_ = getDBFilePath();
    } else {
        choice_.sdCard = false;
        choice_.path = options.dbFile;
        choice_.diskPath = parentDir(options.dbFile);
    }
    if (!options.diskPath.empty()) choice_.diskPath = options.diskPath;
    setDbDiskPath(choice_.diskPath);
    storage_ = std::make_unique<HistoryStorage>(choice_.path);
    storage_->setTrendSummaryBudget(options.trendQueryBudget);
    try {
        storage_->open();
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "createDB failed: {} ({})", e.what(), choice_.path);
    }
    testcase();
    int64_t now = Clock::get().steadySeconds();
    lastSaveTs_.fill(now);
}

DatabaseProxy::~DatabaseProxy() { stopTrendSummary(); }

void DatabaseProxy::init() {
    int64_t now = Clock::get().steadySeconds();
    lastSaveTs_.fill(now);
}

void DatabaseProxy::setDiskUsageSource(UsageSource source) { usage_ = std::move(source); }

void DatabaseProxy::testcase() {
    LogRecord rec;
    rec.timestamp = static_cast<uint32_t>(Clock::get().wallSeconds());
    rec.vars[0] = 0.111f;
    rec.vars[1] = 1.0f;
    rec.vars[19] = 19.111f;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        storage_->checkWrite(0, rec);
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "testcase failed: {}", e.what());
    } catch (...) {
        SLOG_ERROR(DATABASE, "testcase failed: unknown exception");
    }
}

bool DatabaseProxy::prepareTrendQueries(std::chrono::microseconds budget) {
    // Failures here show again in the write or the query that follows: they are logged there.
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        return storage_->advanceTrendRuns(budget);
    } catch (...) {
        return false;
    }
}

void DatabaseProxy::startTrendSummary() {
    std::lock_guard<std::mutex> control(summaryControlMutex_);
    if (summaryThread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(summaryWaitMutex_);
        summaryStop_ = false;
    }
    summaryRunning_ = true;
    summaryThread_ = std::thread([this] { summaryLoop(); });
}

void DatabaseProxy::stopTrendSummary() {
    std::lock_guard<std::mutex> control(summaryControlMutex_);
    if (!summaryThread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(summaryWaitMutex_);
        summaryStop_ = true;
    }
    summaryWake_.notify_all();
    summaryThread_.join();
    summaryRunning_ = false;
}

void DatabaseProxy::summaryLoop() {
    bool wasReady = false;
    for (;;) {
        bool ready = false;
        bool stuck = true;  // nothing to carry on with before the next write or query opens the file
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            if (storage_->isOpen()) {
                ready = storage_->advanceTrendRuns(summaryStep_, true);
                stuck = false;
            }
        } catch (...) {
            // Shown again by the write or the query that follows, which log it.
        }
        summaryReady_ = ready;
        if (ready && !wasReady) SLOG_INFO(DATABASE, "trend summary complete");
        wasReady = ready;
        // Between steps the proxy mutex is free for the supervisor's writes and the web's queries.
        const auto pause = ready || stuck ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(1);
        std::unique_lock<std::mutex> wait(summaryWaitMutex_);
        if (summaryWake_.wait_for(wait, pause, [this] { return summaryStop_; })) break;
    }
}

void DatabaseProxy::trySaveLog(const CellSource& cell) {
    if (!summaryRunning_) prepareTrendQueries(orvane::database::kTrendSummaryBudget);
    try {
        SLOG_INFO(DATABASE, "trySaveLog: {}, {}", choice_.sdCard, true);
        const uint32_t now = static_cast<uint32_t>(Clock::get().wallSeconds());
        std::array<bool, kLogTableCount> due{};
        bool any = false;
        for (size_t i = 0; i < due.size(); ++i) {
            int64_t diff = static_cast<int64_t>(now) - lastSaveTs_[i];
            due[i] = diff > kLogIntervalsSec[i];
            any = any || due[i];
        }
        if (!any) return;

        float usage = usage_ ? usage_() : diskUsagePercent(choice_.diskPath);
        SLOG_INFO(DATABASE, "trySaveLog: DbDiskUsage {}%", usage);
        if (usage >= 99.0f) {  // false for NaN: an unknown usage does not stop the writing
            SLOG_WARN(DATABASE, "trySaveLog: DbDiskUsage {}%", usage);
            return;
        }

        // Build the row. A NaN value cannot be stored in a NOT NULL REAL column (SQLite binds it
        // as NULL), so NaN pairs are left out, as the live store leaves out absent readings.
        orvane_ipc::DataCell c = cell ? cell() : orvane_ipc::DataCell{};
        LogRecord rec;
        rec.timestamp = now;
        std::array<std::string, kLogVarCount> names;
        size_t n = 0;
        for (const auto& [name, value] : c.values) {
            if (std::isnan(value)) continue;
            if (n < static_cast<size_t>(kLogVarCount)) {
                rec.vars[n] = toFloat(value);
                names[n] = name;
            }
            ++n;
        }
        SLOG_INFO(DATABASE, "trySaveLog: {}, {}", now, due);
        if (n == 0) return;

        std::vector<int> tables;
        for (int i = 0; i < kLogTableCount; ++i)
            if (due[static_cast<size_t>(i)]) tables.push_back(i);
        std::lock_guard<std::mutex> lock(mutex_);
        // The columns' names, whenever they differ from those last recorded.
        if (!namesWritten_ || names != lastNames_) {
            storage_->insertNames(now, names);
            lastNames_ = names;
            namesWritten_ = true;
        }
        size_t written = 0;
        try {
            storage_->insertLogs(tables, rec, written);
        } catch (...) {
            // Rows committed before the failure keep their stamps; the rest stay due.
            for (size_t k = 0; k < written; ++k) lastSaveTs_[static_cast<size_t>(tables[k])] = now;
            throw;
        }
        for (size_t k = 0; k < written; ++k) lastSaveTs_[static_cast<size_t>(tables[k])] = now;
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "trySaveLog failed: {}", e.what());
    } catch (...) {
        SLOG_ERROR(DATABASE, "trySaveLog failed: unknown exception");
    }
}

void DatabaseProxy::log_query(LogQueryPack& pack, LogQueryResult& result) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        queryLocked(pack, result);
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "log_query failed: {}", e.what());
    } catch (...) {
        SLOG_ERROR(DATABASE, "log_query failed: unknown exception");
    }
}

void DatabaseProxy::queryLocked(const LogQueryPack& pack, LogQueryResult& result) {
    if (pack.type >= static_cast<uint32_t>(kLogTableCount)) {
        SLOG_ERROR(DATABASE, "log_query failed: no log table of type {}", pack.type);
        result.setCount(0);
        return;
    }
    // Only the first 500 rows of the range can be delivered; asking SQLite for more (or for
    // all, with a negative limit) would read them for nothing.
    int64_t maxRows = pack.limit < 0 ? kLogQueryMaxRows : std::min<int64_t>(pack.limit, kLogQueryMaxRows);
    if (!scratch_) scratch_ = std::make_unique<LogQueryResult>();
    uint32_t n = 0;
    storage_->queryLog(static_cast<int>(pack.type), pack.startTime, pack.endTime, maxRows, *scratch_, n);

    // Filled only after the read succeeded: a failed query leaves the caller's result as it was.
    std::copy_n(scratch_->timestamp.data.begin(), n, result.timestamp.data.begin());
    for (size_t v = 0; v < static_cast<size_t>(kLogVarCount); ++v)
        std::copy_n(scratch_->vars[v].data.begin(), n, result.vars[v].data.begin());
    if (is_model_output(LogModule::DATABASE, LogLevel::INFO)) {
        for (uint32_t i = 0; i < n; ++i)
            for (int v = 0; v < kLogVarCount; ++v) SLOG_INFO(DATABASE, "__queryLog: {}, {}", choice_.sdCard, v);
    }
    result.setCount(n);
}

DatabaseProxy::QueryMap DatabaseProxy::query(const std::string& name, uint32_t start, uint32_t end) {
    QueryMap out;
    int table = 0;
    for (int i = 0; i < kLogTableCount; ++i)
        if (name == kLogTableNames[static_cast<size_t>(i)]) table = i;
    try {
        auto rows = std::make_unique<LogQueryResult>();
        uint32_t n = 0;
        std::vector<LogNameRecord> names;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            storage_->queryLog(table, start, end, kHistoryAnswerMaxRows, *rows, n);
            if (n > 0) names = storage_->queryNames(start, end);
        }
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t ts = rows->timestamp[i];
            // The latest names at or before the row (ties: the one written last).
            auto after = std::upper_bound(names.begin(), names.end(), ts,
                                          [](uint32_t t, const LogNameRecord& r) { return t < r.timestamp; });
            if (after == names.begin()) continue;
            const LogNameRecord& nr = *std::prev(after);
            std::vector<std::pair<std::string, double>> pairs;
            for (size_t k = 0; k < static_cast<size_t>(kLogVarCount); ++k)
                if (!nr.names[k].empty()) pairs.emplace_back(nr.names[k], static_cast<double>(rows->vars[k][i]));
            if (!pairs.empty()) out[ts] = std::move(pairs);
        }
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "query failed: {}", e.what());
        out.clear();
    } catch (...) {
        SLOG_ERROR(DATABASE, "query failed: unknown exception");
        out.clear();
    }
    return out;
}

void DatabaseProxy::insertEvent(EventRecord& event) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        storage_->insertEvent(event);
    } catch (const std::exception& e) {
        SLOG_ERROR(DATABASE, "insertEvent failed: {}", e.what());
    } catch (...) {
        SLOG_ERROR(DATABASE, "insertEvent failed: unknown exception");
    }
}

std::vector<EventRecord> DatabaseProxy::queryAlarmEvent(EventQueryPack& /*pack*/) { return {}; }

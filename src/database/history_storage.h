#pragma once
// The SQLite side of the history: table definitions, the schema synchronisation that keeps an
// existing file's rows when its tables match, and the prepared statements of the log tables.
// Not thread-safe: the owner serialises every call.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/database.h"

namespace SQLite {
class Database;
class Statement;
}  // namespace SQLite

namespace orvane::database {

enum class TableSync : int { unchanged = 0, created = 1, rebuilt = 2 };
inline constexpr std::array<std::string_view, 3> kTableSyncNames = {"unchanged", "created", "rebuilt"};
constexpr std::string_view tableSyncName(TableSync s) {
    auto i = static_cast<size_t>(s);
    return i < kTableSyncNames.size() ? kTableSyncNames[i] : std::string_view{};
}

struct ColumnDef {
    std::string name;
    std::string type;  // INTEGER, REAL, TEXT
    bool primaryKey = false;
};

struct TableDef {
    std::string name;
    std::vector<ColumnDef> columns;
    std::string createSql() const;
};

// Statements of the trend query of one log table: parameters ?1 start, ?2 end (inclusive),
// ?3 row limit (countProbe: the count limit), ?4 lowest id (byRowid). countProbe counts the rows
// of the range up to kTrendIndexPlanMaxRows; below that the rows are picked through the timestamp index (byIndex),
// else read in table order (byRowid) from id 0 or, when the row first in time has an id above
// kTrendScanFromStartMaxRows, from the lowest id of the range (minId).
enum class TrendPlan : int { countProbe = 0, byIndex = 1, firstByTime = 2, minId = 3, byRowid = 4 };
inline constexpr int64_t kTrendIndexPlanMaxRows = 20000;
inline constexpr int64_t kTrendScanFromStartMaxRows = 200000;
std::string trendQuerySql(std::string_view table, TrendPlan plan);

// The seven tables in definition order: EventRecord, NameRecord, then the five log tables.
const std::vector<TableDef>& historyTables();

class HistoryStorage {
public:
    explicit HistoryStorage(std::string path);
    ~HistoryStorage();
    HistoryStorage(const HistoryStorage&) = delete;
    HistoryStorage& operator=(const HistoryStorage&) = delete;

    const std::string& path() const { return path_; }

    // Opens the file (creating it) and synchronises the schema unless done already. A file that
    // is not a database is moved aside as "<path>.bad" and a new one made. Throws on failure;
    // the next call tries again.
    void open();
    bool isOpen() const { return db_ != nullptr; }
    // Outcome of the last synchronisation, in synchronisation order (last table first).
    const std::vector<std::pair<std::string, TableSync>>& lastSync() const { return lastSync_; }

    // Inserts into log table `table` (0..4); timestamps are bound as 64-bit integers.
    void insertLog(int table, const LogRecord& rec);
    // Several tables in one transaction: inserts into each table of `tables` in order. An insert
    // failure commits the ones before it and rethrows. `committed` is the number of tables whose
    // row is stored, also when it throws.
    void insertLogs(const std::vector<int>& tables, const LogRecord& rec, size_t& committed);
    // Rows with start <= timestamp <= end, oldest first (by id), at most maxRows (< 0: none).
    void queryLog(int table, uint32_t start, uint32_t end, int64_t maxRows, LogQueryResult& out, uint32_t& rows);
    void insertEvent(const EventRecord& ev);
    // One "NameRecord" row: the names of var0 ... var19 from `timestamp` on.
    void insertNames(uint32_t timestamp, const std::array<std::string, kLogVarCount>& names);
    // The "NameRecord" rows that name values of [start, end]: the latest at or before start and
    // every later one up to end, oldest first (ties by id).
    std::vector<LogNameRecord> queryNames(uint32_t start, uint32_t end);
    // Test hook: the range sizes at which the trend query changes its plan.
    void setTrendThresholds(int64_t indexPlanMaxRows, int64_t scanFromStartMaxRows) {
        indexPlanMaxRows_ = indexPlanMaxRows;
        scanFromStartMaxRows_ = scanFromStartMaxRows;
    }

private:
    void openOnce();
    void syncSchema();
    void close();
    SQLite::Statement& insertStmt(int table);
    // Insert on the open connection (no check of the file).
    void insertOpen(int table, const LogRecord& rec);
    // True when the path no longer names the file that is open (removed, renamed, replaced).
    bool fileReplaced() const;
    int64_t scalar(TrendPlan plan, size_t table, uint32_t start, uint32_t end);

    std::string path_;
    std::unique_ptr<SQLite::Database> db_;
    uint64_t fileDev_ = 0;  // identity of the open file
    uint64_t fileIno_ = 0;
    std::array<std::unique_ptr<SQLite::Statement>, kLogTableCount> insert_;
    std::array<std::array<std::unique_ptr<SQLite::Statement>, kLogTableCount>, 5> select_;  // by TrendPlan
    std::vector<std::pair<std::string, TableSync>> lastSync_;
    int64_t indexPlanMaxRows_ = kTrendIndexPlanMaxRows;
    int64_t scanFromStartMaxRows_ = kTrendScanFromStartMaxRows;
};

}  // namespace orvane::database

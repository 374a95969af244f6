#pragma once
// The SQLite side of the history: table definitions, the schema synchronisation that keeps an
// existing file's rows when its tables match, and the prepared statements of the log tables.
// Not thread-safe: the owner serialises every call.
#include <array>
#include <chrono>
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
// These plans answer while the table's runs (below) are not known yet.
enum class TrendPlan : int { countProbe = 0, byIndex = 1, firstByTime = 2, minId = 3, byRowid = 4 };
inline constexpr int64_t kTrendIndexPlanMaxRows = 20000;
inline constexpr int64_t kTrendScanFromStartMaxRows = 200000;
std::string trendQuerySql(std::string_view table, TrendPlan plan);

// A log table seen in id order falls into runs: stretches whose stamps never decrease. A new run
// starts only where the wall clock was set back, so a table has few. Inside a run the rows of a
// time range are one stretch of ids, found by a binary search on id; the rows of the range in id
// order are these stretches run after run.
struct TrendRun {
    int64_t firstId = 0;
    int64_t lastId = 0;
    int64_t minTs = 0;  // stamp of its first row
    int64_t maxTs = 0;  // stamp of its last row
};
struct TrendRuns {
    int64_t scannedTo = 0;  // rows with id <= scannedTo are summarised
    int64_t lastTs = 0;     // stamp of row scannedTo
    bool usable = true;     // false: too many runs, or a stamp that is not an integer
    std::vector<TrendRun> runs;
};
// More runs than this and the table is answered by the plans above.
inline constexpr size_t kTrendMaxRuns = 4096;

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
    // The start-up write check: inserts `rec` into log table `table`, writes the change into the
    // database file and rolls it back, so that no row stays. Throws when any step fails.
    void checkWrite(int table, const LogRecord& rec);
    // Rows with start <= timestamp <= end, oldest first (by id), at most maxRows (< 0: none).
    void queryLog(int table, uint32_t start, uint32_t end, int64_t maxRows, LogQueryResult& out, uint32_t& rows);
    // Extends the run summaries of all log tables for up to `budget` (nothing when the file is
    // not open); with `someProgress`, each incomplete table reads at least one chunk whatever the
    // budget. True when every table's summary is complete. Throws on database errors.
    bool advanceTrendRuns(std::chrono::microseconds budget, bool someProgress = false);
    const TrendRuns& trendRuns(int table) const { return runs_.at(static_cast<size_t>(table)); }
    // Time a query may spend on the summaries (0: it uses a complete summary only, else the
    // fallback plans answer).
    void setTrendSummaryBudget(std::chrono::microseconds budget) { summaryBudget_ = budget; }
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
    // Summaries are dropped when another connection changed the file.
    void checkDataVersion();
    void resetTrendRuns();
    // Extends table t's summary until done or `deadline` (after at least one chunk with
    // `someProgress`); true when complete.
    bool advanceRuns(size_t t, std::chrono::steady_clock::time_point deadline, bool someProgress = false);
    void queryByRuns(size_t t, int64_t start, int64_t end, int64_t maxRows, LogQueryResult& out, uint32_t& rows);
    void queryByPlans(size_t t, uint32_t start, uint32_t end, int64_t maxRows, LogQueryResult& out, uint32_t& rows);
    // Smallest id in [from, to] whose stamp is >= ts (the stretch is a run; ts <= stamp of `to`).
    int64_t firstIdAtOrAfter(size_t t, int64_t from, int64_t to, int64_t ts);

    std::string path_;
    std::unique_ptr<SQLite::Database> db_;
    uint64_t fileDev_ = 0;  // identity of the open file
    uint64_t fileIno_ = 0;
    std::array<std::unique_ptr<SQLite::Statement>, kLogTableCount> insert_;
    std::array<std::array<std::unique_ptr<SQLite::Statement>, kLogTableCount>, 5> select_;  // by TrendPlan
    std::vector<std::pair<std::string, TableSync>> lastSync_;
    struct RunStatements {
        std::unique_ptr<SQLite::Statement> scan;   // (id, timestamp) from id > ?1, ?2 rows
        std::unique_ptr<SQLite::Statement> seek;   // (id, timestamp) of the first row with id >= ?1
        std::unique_ptr<SQLite::Statement> read;   // rows with ?1 <= id <= ?2, ?3 of them
        std::unique_ptr<SQLite::Statement> maxId;  // highest id
    };
    std::array<RunStatements, kLogTableCount> runStmt_;
    std::array<TrendRuns, kLogTableCount> runs_;
    int64_t dataVersion_ = -1;
    std::chrono::microseconds summaryBudget_ = kTrendSummaryBudget;
    int64_t indexPlanMaxRows_ = kTrendIndexPlanMaxRows;
    int64_t scanFromStartMaxRows_ = kTrendScanFromStartMaxRows;
};

}  // namespace orvane::database

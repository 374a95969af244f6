#include "database/history_storage.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include <SQLiteCpp/SQLiteCpp.h>

#include "utils/log.h"

namespace orvane::database {

namespace {

std::string qname(std::string_view name) {
    std::string s;
    s.reserve(name.size() + 2);
    s += '"';
    s += name;
    s += '"';
    return s;
}

TableDef logTable(const char* name) {
    TableDef t{name, {{"id", "INTEGER", true}, {"timestamp", "INTEGER", false}}};
    for (int i = 0; i < kLogVarCount; ++i) t.columns.push_back({"var" + std::to_string(i), "REAL", false});
    return t;
}

std::vector<TableDef> makeTables() {
    std::vector<TableDef> tables;
    tables.push_back({"EventRecord",
                      {{"id", "INTEGER", true},
                       {"timestamp", "INTEGER", false},
                       {"message", "TEXT", false},
                       {"state", "INTEGER", false}}});
    TableDef names{"NameRecord", {{"id", "INTEGER", true}, {"timestamp", "INTEGER", false}}};
    for (int i = 0; i < kLogVarCount; ++i) names.columns.push_back({"name" + std::to_string(i), "TEXT", false});
    tables.push_back(std::move(names));
    for (const char* n : kLogTableNames) tables.push_back(logTable(n));
    return tables;
}

bool sameType(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string columnList() {
    std::string s = "\"timestamp\"";
    for (int i = 0; i < kLogVarCount; ++i) s += ",\"var" + std::to_string(i) + "\"";
    return s;
}

bool isDamagedFileError(const SQLite::Exception& e) {
    int code = e.getErrorCode() & 0xff;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

std::string trendQuerySql(std::string_view table, TrendPlan plan) {
    const std::string t = qname(table);
    const std::string range = "\"timestamp\" >= ?1 AND \"timestamp\" <= ?2";
    switch (plan) {
        case TrendPlan::countProbe:
            return "SELECT count(*) FROM (SELECT 1 FROM " + t + " WHERE " + range + " LIMIT ?3)";
        case TrendPlan::byIndex:
            // The ids are picked from the timestamp index alone (it holds the id); only the
            // delivered rows are read from the table.
            return "SELECT " + columnList() + " FROM " + t + " WHERE \"id\" IN (SELECT \"id\" FROM " + t +
                   " WHERE " + range + " ORDER BY \"id\" ASC LIMIT ?3) ORDER BY \"id\" ASC";
        case TrendPlan::firstByTime:
            return "SELECT \"id\" FROM " + t + " WHERE " + range + " ORDER BY \"timestamp\" ASC LIMIT 1";
        case TrendPlan::minId:
            return "SELECT min(\"id\") FROM " + t + " WHERE " + range;
        case TrendPlan::byRowid:
            // Table order from id ?4 on, stopping at the limit: no sort of a wide range.
            return "SELECT " + columnList() + " FROM " + t + " NOT INDEXED WHERE \"id\" >= ?4 AND " + range +
                   " ORDER BY \"id\" ASC LIMIT ?3";
    }
    return {};
}

std::string TableDef::createSql() const {
    std::string sql = "CREATE TABLE " + qname(name) + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        const auto& c = columns[i];
        if (i) sql += ", ";
        sql += qname(c.name) + " " + c.type;
        if (c.primaryKey) sql += " PRIMARY KEY AUTOINCREMENT";
        sql += " NOT NULL";
    }
    sql += ")";
    return sql;
}

const std::vector<TableDef>& historyTables() {
    static const std::vector<TableDef> tables = makeTables();
    return tables;
}

HistoryStorage::HistoryStorage(std::string path) : path_(std::move(path)) {}

HistoryStorage::~HistoryStorage() { close(); }

void HistoryStorage::close() {
    for (auto& s : insert_) s.reset();
    for (auto& plan : select_)
        for (auto& s : plan) s.reset();
    for (auto& r : runStmt_) r = RunStatements{};
    resetTrendRuns();
    db_.reset();
}

void HistoryStorage::resetTrendRuns() {
    for (auto& r : runs_) r = TrendRuns{};
    dataVersion_ = -1;
}

bool HistoryStorage::fileReplaced() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return true;
    return st.st_dev != fileDev_ || st.st_ino != fileIno_;
}

void HistoryStorage::open() {
    if (db_) {
        // The connection stays open between operations. A file removed or replaced under it
        // would take every later row into a file nobody can see: open the path again instead.
        if (!fileReplaced()) return;
        SLOG_WARN(DATABASE, "History file {} was removed or replaced; opening it again", path_);
        close();
    }
    try {
        openOnce();
    } catch (const SQLite::Exception& e) {
        close();
        if (!isDamagedFileError(e)) throw;
        std::string bad = path_ + ".bad";
        if (std::rename(path_.c_str(), bad.c_str()) != 0) throw;
        SLOG_ERROR(DATABASE, "History file {} is damaged ({}); kept as {}", path_, e.what(), bad);
        openOnce();
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        fileDev_ = st.st_dev;
        fileIno_ = st.st_ino;
    }
}

void HistoryStorage::openOnce() {
    db_ = std::make_unique<SQLite::Database>(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 2000);
    try {
        syncSchema();
        for (int t = 0; t < kLogTableCount; ++t) {
            std::string table = qname(kLogTableNames[t]);
            std::string cols = columnList();
            std::string marks = "?";
            for (int i = 0; i < kLogVarCount; ++i) marks += ",?";
            insert_[t] = std::make_unique<SQLite::Statement>(
                *db_, "INSERT INTO " + table + " (" + cols + ") VALUES (" + marks + ")");
            for (auto plan : {TrendPlan::countProbe, TrendPlan::byIndex, TrendPlan::firstByTime, TrendPlan::minId,
                              TrendPlan::byRowid})
                select_[static_cast<size_t>(plan)][t] =
                    std::make_unique<SQLite::Statement>(*db_, trendQuerySql(kLogTableNames[t], plan));
            auto& r = runStmt_[static_cast<size_t>(t)];
            r.scan = std::make_unique<SQLite::Statement>(
                *db_, "SELECT \"id\",\"timestamp\" FROM " + table + " WHERE \"id\" > ?1 ORDER BY \"id\" LIMIT ?2");
            r.seek = std::make_unique<SQLite::Statement>(
                *db_, "SELECT \"id\",\"timestamp\" FROM " + table + " WHERE \"id\" >= ?1 ORDER BY \"id\" LIMIT 1");
            r.read = std::make_unique<SQLite::Statement>(
                *db_, "SELECT " + cols + " FROM " + table +
                          " WHERE \"id\" >= ?1 AND \"id\" <= ?2 ORDER BY \"id\" LIMIT ?3");
            r.maxId = std::make_unique<SQLite::Statement>(*db_, "SELECT max(\"id\") FROM " + table);
        }
    } catch (...) {
        close();
        throw;
    }
}

void HistoryStorage::syncSchema() {
    lastSync_.clear();
    const auto& tables = historyTables();
    for (auto it = tables.rbegin(); it != tables.rend(); ++it) {
        const TableDef& def = *it;
        struct Stored {
            std::string type;
            bool notNull;
            bool hasDefault;
            bool pk;
        };
        std::map<std::string, Stored> stored;
        SQLite::Statement info(*db_, "PRAGMA table_info(" + qname(def.name) + ")");
        while (info.executeStep()) {
            stored[info.getColumn(1).getString()] = Stored{info.getColumn(2).getString(), info.getColumn(3).getInt() != 0,
                                                           !info.getColumn(4).isNull(), info.getColumn(5).getInt() != 0};
        }
        TableSync outcome = TableSync::unchanged;
        if (stored.empty()) {
            db_->exec(def.createSql());
            outcome = TableSync::created;
        } else {
            bool same = stored.size() == def.columns.size();
            for (const auto& c : def.columns) {
                if (!same) break;
                auto s = stored.find(c.name);
                same = s != stored.end() && sameType(s->second.type, c.type) && s->second.notNull &&
                       !s->second.hasDefault && s->second.pk == c.primaryKey;
            }
            if (!same) {
                SQLite::Transaction tx(*db_);
                db_->exec("DROP TABLE " + qname(def.name));
                db_->exec(def.createSql());
                tx.commit();
                outcome = TableSync::rebuilt;
                SLOG_WARN(DATABASE, "Table {} did not match its definition: made again, empty", def.name);
            }
        }
        lastSync_.emplace_back(def.name, outcome);
    }
    // The trend query selects by time range; an index on the stamp keeps it off a table scan.
    for (const char* name : kLogTableNames) {
        db_->exec("CREATE INDEX IF NOT EXISTS " + qname(std::string(name) + "_index") + " ON " + qname(name) +
                  " (\"timestamp\" DESC)");
    }
}

SQLite::Statement& HistoryStorage::insertStmt(int table) { return *insert_.at(static_cast<size_t>(table)); }

void HistoryStorage::insertLog(int table, const LogRecord& rec) {
    open();
    insertOpen(table, rec);
}

void HistoryStorage::insertOpen(int table, const LogRecord& rec) {
    SQLite::Statement& st = insertStmt(table);
    st.tryReset();  // a statement that failed last time reports that failure again on reset
    st.bind(1, static_cast<int64_t>(rec.timestamp));
    for (int i = 0; i < kLogVarCount; ++i) st.bind(2 + i, static_cast<double>(rec.vars[static_cast<size_t>(i)]));
    try {
        st.exec();
    } catch (...) {
        st.tryReset();
        throw;
    }
    st.tryReset();
}

void HistoryStorage::checkWrite(int table, const LogRecord& rec) {
    open();
    SQLite::Transaction tx(*db_);  // never committed: its destructor rolls the row back
    insertOpen(table, rec);
    // The row so far lives in the page cache and the journal: write it into the file itself.
    int rc = sqlite3_db_cacheflush(db_->getHandle());
    if (rc != SQLITE_OK) throw SQLite::Exception(sqlite3_errstr(rc), rc);
}

void HistoryStorage::insertLogs(const std::vector<int>& tables, const LogRecord& rec, size_t& committed) {
    committed = 0;
    open();
    SQLite::Transaction tx(*db_);
    size_t done = 0;
    try {
        for (int t : tables) {
            insertOpen(t, rec);
            ++done;
        }
    } catch (...) {
        // Some failures (a full disk, an interrupt, a trigger's ROLLBACK) end the transaction
        // themselves: then nothing is kept, and the original error is the one reported.
        if (done > 0 && sqlite3_get_autocommit(db_->getHandle()) == 0) {
            tx.commit();  // a failing commit rolls everything back and throws instead
            committed = done;
        }
        throw;
    }
    tx.commit();
    committed = done;
}

int64_t HistoryStorage::scalar(TrendPlan plan, size_t table, uint32_t start, uint32_t end) {
    SQLite::Statement& st = *select_[static_cast<size_t>(plan)].at(table);
    st.tryReset();
    st.bind(1, static_cast<int64_t>(start));
    st.bind(2, static_cast<int64_t>(end));
    if (plan == TrendPlan::countProbe) st.bind(3, indexPlanMaxRows_);
    int64_t v = 0;
    try {
        if (st.executeStep() && !st.getColumn(0).isNull()) v = st.getColumn(0).getInt64();
    } catch (...) {
        st.tryReset();
        throw;
    }
    st.tryReset();
    return v;
}

void HistoryStorage::queryLog(int table, uint32_t start, uint32_t end, int64_t maxRows, LogQueryResult& out,
                              uint32_t& rows) {
    open();
    const auto t = static_cast<size_t>(table);
    rows = 0;
    if (maxRows < 0 || maxRows > kLogQueryMaxRows) maxRows = kLogQueryMaxRows;
    if (maxRows == 0 || start > end) return;
    checkDataVersion();
    const bool known = advanceRuns(t, std::chrono::steady_clock::now() + summaryBudget_);
    if (known && runs_[t].usable)
        queryByRuns(t, start, end, maxRows, out, rows);
    else
        queryByPlans(t, start, end, maxRows, out, rows);
}

void HistoryStorage::checkDataVersion() {
    SQLite::Statement st(*db_, "PRAGMA data_version");
    int64_t v = st.executeStep() ? st.getColumn(0).getInt64() : -1;
    if (v != dataVersion_) {
        resetTrendRuns();
        dataVersion_ = v;
    }
}

bool HistoryStorage::advanceTrendRuns(std::chrono::microseconds budget, bool someProgress) {
    if (!db_) return false;
    checkDataVersion();
    const auto deadline = std::chrono::steady_clock::now() + budget;
    bool all = true;
    for (size_t t = 0; t < runs_.size(); ++t) all = advanceRuns(t, deadline, someProgress) && all;
    return all;
}

bool HistoryStorage::advanceRuns(size_t t, std::chrono::steady_clock::time_point deadline, bool someProgress) {
    TrendRuns& r = runs_[t];
    auto& st = runStmt_[t];
    int64_t maxId = 0;
    st.maxId->tryReset();
    if (st.maxId->executeStep() && !st.maxId->getColumn(0).isNull()) maxId = st.maxId->getColumn(0).getInt64();
    st.maxId->tryReset();
    if (maxId < r.scannedTo) r = TrendRuns{};  // rows gone: start again
    constexpr int64_t kChunk = 8192;
    for (bool first = true; r.usable && r.scannedTo < maxId; first = false) {
        if (!(first && someProgress) && std::chrono::steady_clock::now() >= deadline) return false;
        SQLite::Statement& scan = *st.scan;
        scan.tryReset();
        scan.bind(1, r.scannedTo);
        scan.bind(2, kChunk);
        int64_t n = 0;
        try {
            while (scan.executeStep()) {
                ++n;
                const int64_t id = scan.getColumn(0).getInt64();
                SQLite::Column ts = scan.getColumn(1);
                if (ts.getType() != SQLITE_INTEGER) {
                    r.usable = false;  // compared as SQLite compares mixed types: left to the plans
                    break;
                }
                const int64_t v = ts.getInt64();
                if (r.runs.empty() || v < r.lastTs) {
                    if (r.runs.size() == kTrendMaxRuns) {
                        r.usable = false;
                        break;
                    }
                    r.runs.push_back({id, id, v, v});
                } else {
                    r.runs.back().lastId = id;
                    r.runs.back().maxTs = v;
                }
                r.lastTs = v;
                r.scannedTo = id;
            }
        } catch (...) {
            scan.tryReset();
            throw;
        }
        scan.tryReset();
        if (n < kChunk) break;
    }
    return true;
}

int64_t HistoryStorage::firstIdAtOrAfter(size_t t, int64_t from, int64_t to, int64_t ts) {
    SQLite::Statement& seek = *runStmt_[t].seek;
    auto at = [&](int64_t id) {  // the first row with id >= `id`: (its id, its stamp)
        seek.tryReset();
        seek.bind(1, id);
        std::pair<int64_t, int64_t> row{to, INT64_MAX};
        if (seek.executeStep()) row = {seek.getColumn(0).getInt64(), seek.getColumn(1).getInt64()};
        seek.tryReset();
        return row;
    };
    // Invariant: the row at or after `lo` is before the answer, the one at or after `hi` is it or later.
    int64_t lo = from, hi = to;
    while (hi - lo > 1) {
        int64_t mid = lo + (hi - lo) / 2;
        auto [id, stamp] = at(mid);
        if (stamp >= ts)
            hi = mid;
        else
            lo = id;  // every id up to the found row's leads to it
    }
    return at(hi).first;
}

void HistoryStorage::queryByRuns(size_t t, int64_t start, int64_t end, int64_t maxRows, LogQueryResult& out,
                                 uint32_t& rows) {
    const TrendRuns& r = runs_[t];
    SQLite::Statement& read = *runStmt_[t].read;
    for (size_t k = 0; k < r.runs.size() && rows < maxRows; ++k) {
        const TrendRun& run = r.runs[k];
        if (run.maxTs < start || run.minTs > end) continue;
        const int64_t last = run.lastId;
        const int64_t from = run.minTs >= start ? run.firstId : firstIdAtOrAfter(t, run.firstId, last, start);
        read.tryReset();
        read.bind(1, from);
        read.bind(2, last);
        read.bind(3, maxRows - rows);
        try {
            while (rows < maxRows && read.executeStep()) {
                const int64_t ts = read.getColumn(0).getInt64();
                if (ts > end) break;  // stamps only grow inside the run
                if (ts < start) continue;
                out.timestamp.data[rows] = static_cast<uint32_t>(ts);
                for (int i = 0; i < kLogVarCount; ++i)
                    out.vars[static_cast<size_t>(i)].data[rows] = static_cast<float>(read.getColumn(1 + i).getDouble());
                ++rows;
            }
        } catch (...) {
            read.tryReset();
            throw;
        }
        read.tryReset();
    }
}

void HistoryStorage::queryByPlans(size_t t, uint32_t start, uint32_t end, int64_t maxRows, LogQueryResult& out,
                                  uint32_t& rows) {
    // Every plan gives the rows of the range with the lowest ids. A narrow range is cheapest
    // through the index. A wide one would sort every id of the range, so it is read in table
    // order instead: from the start when the range begins early in the table (the row first in
    // time bounds how far that scan goes before its first match), else from the lowest id of
    // the range, found from the index without sorting.
    TrendPlan plan = TrendPlan::byIndex;
    int64_t fromId = 0;
    if (scalar(TrendPlan::countProbe, t, start, end) >= indexPlanMaxRows_) {
        plan = TrendPlan::byRowid;
        if (scalar(TrendPlan::firstByTime, t, start, end) > scanFromStartMaxRows_)
            fromId = scalar(TrendPlan::minId, t, start, end);
    }
    SQLite::Statement& st = *select_[static_cast<size_t>(plan)].at(t);
    st.tryReset();
    st.bind(1, static_cast<int64_t>(start));
    st.bind(2, static_cast<int64_t>(end));
    st.bind(3, maxRows);
    if (plan == TrendPlan::byRowid) st.bind(4, fromId);
    try {
        while (rows < kLogQueryMaxRows && st.executeStep()) {
            out.timestamp.data[rows] = static_cast<uint32_t>(st.getColumn(0).getInt64());
            for (int i = 0; i < kLogVarCount; ++i)
                out.vars[static_cast<size_t>(i)].data[rows] = static_cast<float>(st.getColumn(1 + i).getDouble());
            ++rows;
        }
    } catch (...) {
        st.tryReset();
        throw;
    }
    st.tryReset();
}

void HistoryStorage::insertEvent(const EventRecord& ev) {
    open();
    SQLite::Statement st(*db_, "INSERT INTO \"EventRecord\" (\"timestamp\",\"message\",\"state\") VALUES (?,?,?)");
    st.bind(1, static_cast<int64_t>(ev.timestamp));
    st.bind(2, ev.message);
    st.bind(3, ev.state);
    st.exec();
}

void HistoryStorage::insertNames(uint32_t timestamp, const std::array<std::string, kLogVarCount>& names) {
    open();
    std::string cols = "\"timestamp\"";
    std::string marks = "?";
    for (int i = 0; i < kLogVarCount; ++i) {
        cols += ",\"name" + std::to_string(i) + "\"";
        marks += ",?";
    }
    SQLite::Statement st(*db_, "INSERT INTO \"NameRecord\" (" + cols + ") VALUES (" + marks + ")");
    st.bind(1, static_cast<int64_t>(timestamp));
    for (int i = 0; i < kLogVarCount; ++i) st.bind(2 + i, names[static_cast<size_t>(i)]);
    st.exec();
}

std::vector<LogNameRecord> HistoryStorage::queryNames(uint32_t start, uint32_t end) {
    open();
    std::string cols = "\"id\",\"timestamp\"";
    for (int i = 0; i < kLogVarCount; ++i) cols += ",\"name" + std::to_string(i) + "\"";
    SQLite::Statement st(*db_, "SELECT " + cols +
                                   " FROM \"NameRecord\" WHERE \"timestamp\" <= ?2 AND \"timestamp\" >= "
                                   "COALESCE((SELECT MAX(\"timestamp\") FROM \"NameRecord\" WHERE \"timestamp\" <= ?1), 0)"
                                   " ORDER BY \"timestamp\", \"id\"");
    st.bind(1, static_cast<int64_t>(start));
    st.bind(2, static_cast<int64_t>(end));
    std::vector<LogNameRecord> out;
    while (st.executeStep()) {
        LogNameRecord r;
        r.id = static_cast<uint32_t>(st.getColumn(0).getInt64());
        r.timestamp = static_cast<uint32_t>(st.getColumn(1).getInt64());
        for (int i = 0; i < kLogVarCount; ++i) r.names[static_cast<size_t>(i)] = st.getColumn(2 + i).getString();
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace orvane::database

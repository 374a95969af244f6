// History database: one supervisor tick with all five log tables due, and the trend query over a
// one-year 10 s table (about 3.1 M rows) beside the same query done with the plain SQLite C API.
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "database/database.h"
#include "database/history_storage.h"
#include "platform/clock.h"
#include "support/temp_dir.h"

using orvane::platform::Clock;
using orvane::platform::SimulatedClock;

namespace {

constexpr int64_t kYearStart = 1735689600;  // 2025-01-01 UTC
constexpr int64_t kRows = 365LL * 24 * 360;  // one year at 10 s: 3,153,600 rows

orvane_ipc::DataCell liveCell() {
    orvane_ipc::DataCell c;
    for (int i = 0; i < 24; ++i) c.values.emplace_back("probe" + std::to_string(i), 7.0 + i * 0.37);
    return c;
}

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// The one-year file, built once per run in a temporary directory.
struct YearFile {
    orvane::test::TempDir dir{"orvane-bench-history"};
    std::string path = dir.file("orvanepro.db");
    std::unique_ptr<DatabaseProxy> proxy;

    YearFile() {
        {
            // The proxy makes the schema (tables and index) as in production.
            DatabaseProxy maker(DatabaseOptions{path, dir.path()});
        }
        sqlite3* db = nullptr;
        check(sqlite3_open(path.c_str(), &db), db, "open");
        check(sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr), db,
              "pragma");
        std::string sql = "INSERT INTO LogRecord10s (timestamp";
        for (int i = 0; i < 20; ++i) sql += ",var" + std::to_string(i);
        sql += ") VALUES (?";
        for (int i = 0; i < 20; ++i) sql += ",?";
        sql += ")";
        sqlite3_stmt* st = nullptr;
        check(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, "prepare");
        for (int64_t r = 0; r < kRows; ++r) {
            sqlite3_bind_int64(st, 1, kYearStart + r * 10);
            for (int i = 0; i < 20; ++i) sqlite3_bind_double(st, 2 + i, static_cast<float>(7.0 + i * 0.37 + (r % 97) * 0.013));
            check(sqlite3_step(st), db, "step");
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
        sqlite3_close(db);
        proxy = std::make_unique<DatabaseProxy>(DatabaseOptions{path, dir.path()});
    }
};

YearFile& yearFile() {
    static YearFile f;
    return f;
}

// A range from mid-year of `rangeDays` days (a day holds 8640 rows; the oldest 480 of the range
// are delivered), or the whole year.
LogQueryPack packFor(int64_t rangeDays) {
    LogQueryPack p;
    p.type = 0;
    p.limit = 480;
    p.startTime = static_cast<uint32_t>(kYearStart + 180LL * 86400);
    p.endTime = static_cast<uint32_t>(p.startTime + rangeDays * 86400 - 1);
    if (rangeDays >= 365) {
        p.startTime = static_cast<uint32_t>(kYearStart);
        p.endTime = static_cast<uint32_t>(kYearStart + kRows * 10);
    }
    return p;
}

void BM_HistoryTickAllTablesDue(benchmark::State& state) {
    orvane::test::TempDir dir("orvane-bench-tick");
    SimulatedClock clock;
    Clock::setForTest(&clock);
    {
        DatabaseProxy proxy(DatabaseOptions{dir.file("orvanepro.db"), dir.path()});
        proxy.init();
        auto cell = [] { return liveCell(); };
        for (auto _ : state) {
            clock.advance(std::chrono::seconds(28801));  // every table due
            proxy.trySaveLog(cell);
        }
    }
    Clock::setForTest(nullptr);
}
BENCHMARK(BM_HistoryTickAllTablesDue)->Unit(benchmark::kMillisecond);

void BM_TrendQuery(benchmark::State& state) {
    YearFile& f = yearFile();
    auto result = std::make_unique<LogQueryResult>();
    LogQueryPack pack = packFor(state.range(0));
    for (auto _ : state) {
        f.proxy->log_query(pack, *result);
        benchmark::DoNotOptimize(result->timestamp.count);
    }
    if (result->timestamp.count != 480) state.SkipWithError("wrong row count");
    state.counters["rows"] = result->timestamp.count;
}
BENCHMARK(BM_TrendQuery)->Arg(1)->Arg(30)->Arg(365)->Unit(benchmark::kMillisecond);

// The same statements and plan choice through the plain C API; `naive` is the single SELECT ...
// ORDER BY id LIMIT, which the planner answers by sorting every row of the range (comparison only).
void trendQueryPlainC(benchmark::State& state, bool naive) {
    using orvane::database::TrendPlan;
    using orvane::database::trendQuerySql;
    YearFile& f = yearFile();
    sqlite3* db = nullptr;
    check(sqlite3_open_v2(f.path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");
    std::string naiveSql = "SELECT timestamp";
    for (int i = 0; i < 20; ++i) naiveSql += ",var" + std::to_string(i);
    naiveSql += " FROM LogRecord10s WHERE timestamp >= ?1 AND timestamp <= ?2 ORDER BY id ASC LIMIT ?3";
    sqlite3_stmt* st[5] = {};
    for (int p = 0; p < 5; ++p) {
        std::string text = trendQuerySql("LogRecord10s", static_cast<TrendPlan>(p));
        if (naive && p == static_cast<int>(TrendPlan::byIndex)) text = naiveSql;
        check(sqlite3_prepare_v2(db, text.c_str(), -1, &st[p], nullptr), db, "prepare");
    }
    auto scalar = [&](TrendPlan p, const LogQueryPack& pack) {
        sqlite3_stmt* s = st[static_cast<int>(p)];
        sqlite3_bind_int64(s, 1, pack.startTime);
        sqlite3_bind_int64(s, 2, pack.endTime);
        if (p == TrendPlan::countProbe) sqlite3_bind_int64(s, 3, orvane::database::kTrendIndexPlanMaxRows);
        int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
        sqlite3_reset(s);
        return v;
    };
    auto result = std::make_unique<LogQueryResult>();
    LogQueryPack pack = packFor(state.range(0));
    for (auto _ : state) {
        TrendPlan plan = TrendPlan::byIndex;
        int64_t fromId = 0;
        if (!naive && scalar(TrendPlan::countProbe, pack) >= orvane::database::kTrendIndexPlanMaxRows) {
            plan = TrendPlan::byRowid;
            if (scalar(TrendPlan::firstByTime, pack) > orvane::database::kTrendScanFromStartMaxRows)
                fromId = scalar(TrendPlan::minId, pack);
        }
        sqlite3_stmt* q = st[static_cast<int>(plan)];
        sqlite3_bind_int64(q, 1, pack.startTime);
        sqlite3_bind_int64(q, 2, pack.endTime);
        sqlite3_bind_int64(q, 3, pack.limit);
        if (plan == TrendPlan::byRowid) sqlite3_bind_int64(q, 4, fromId);
        uint32_t n = 0;
        while (n < 500 && sqlite3_step(q) == SQLITE_ROW) {
            result->timestamp[n] = static_cast<uint32_t>(sqlite3_column_int64(q, 0));
            for (int i = 0; i < 20; ++i) result->vars[i][n] = static_cast<float>(sqlite3_column_double(q, 1 + i));
            ++n;
        }
        sqlite3_reset(q);
        result->setCount(n);
        benchmark::DoNotOptimize(result->timestamp.count);
    }
    for (auto* s : st) sqlite3_finalize(s);
    sqlite3_close(db);
    if (result->timestamp.count != 480) state.SkipWithError("wrong row count");
}

void BM_TrendQueryPlainC(benchmark::State& state) { trendQueryPlainC(state, false); }
BENCHMARK(BM_TrendQueryPlainC)->Arg(1)->Arg(30)->Arg(365)->Unit(benchmark::kMillisecond);

void BM_TrendQueryNaiveSelect(benchmark::State& state) { trendQueryPlainC(state, true); }
BENCHMARK(BM_TrendQueryNaiveSelect)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

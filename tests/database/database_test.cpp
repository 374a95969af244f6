// History database on a real SQLite file; the stored schema and rows are read back with the
// sqlite3 command-line tool.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>

#include <SQLiteCpp/SQLiteCpp.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "database/database.h"
#include "database/history_storage.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "support/temp_dir.h"
#include "utils/log.h"

using orvane::platform::Clock;
using orvane::platform::Paths;
using orvane::platform::SimulatedClock;
using orvane::test::TempDir;
using testing::HasSubstr;
using testing::Not;

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::string sql(const std::string& db, const std::string& statement) {
    return run("sqlite3 '" + db + "' \"" + statement + "\" 2>&1");
}

// Long statement texts go through a file (a command line holds at most 128 KiB).
std::string sqlScript(const std::string& db, const std::string& statements) {
    const std::string script = db + ".sql";
    orvane::test::writeFile(script, statements);
    return run("sqlite3 '" + db + "' < '" + script + "' 2>&1");
}

int rows(const std::string& db, const char* table) {
    return std::stoi(sql(db, std::string("SELECT count(*) FROM ") + table));
}

orvane_ipc::DataCell cellOf(std::initializer_list<double> values) {
    orvane_ipc::DataCell c;
    int i = 0;
    for (double v : values) c.values.emplace_back("v" + std::to_string(i++), v);
    return c;
}

constexpr int64_t kT0 = 1767225600;  // wall start of the simulated clock

class HistoryTest : public testing::Test {
protected:
    void SetUp() override {
        Clock::setForTest(&clock_);
        logStream_ = std::make_shared<std::ostringstream>();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*logStream_);
        prevLogger_ = spdlog::default_logger();
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
        set_log_level_for_test(LogModule::DATABASE, 2);
        db_ = dir_.file("orvanepro.db");
    }
    void TearDown() override {
        reset_log_levels_for_test();
        spdlog::set_default_logger(prevLogger_);
        Clock::setForTest(nullptr);
    }
    std::unique_ptr<DatabaseProxy> makeProxy(float usage = 10.0f) {
        auto p = std::make_unique<DatabaseProxy>(DatabaseOptions{db_, dir_.path()});
        p->setDiskUsageSource([usage] { return usage; });
        p->init();
        return p;
    }
    std::string logText() const { return logStream_->str(); }

    TempDir dir_{"orvane-db"};
    SimulatedClock clock_;
    std::string db_;
    std::shared_ptr<std::ostringstream> logStream_;
    std::shared_ptr<spdlog::logger> prevLogger_;
};

// The DDL an existing file carries: every column NOT NULL, id the autoincrement key.
std::string logTableDdl(const std::string& name, int vars, const std::string& extra = "") {
    std::string s = "CREATE TABLE \\\"" + name +
                    "\\\" (\\\"id\\\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \\\"timestamp\\\" INTEGER NOT NULL";
    for (int i = 0; i < vars; ++i) s += ", \\\"var" + std::to_string(i) + "\\\" REAL NOT NULL";
    return s + extra + ");";
}

std::string insertRow(const std::string& table, int ts, int vars) {
    std::string s = "INSERT INTO " + table + " (timestamp";
    for (int i = 0; i < vars; ++i) s += ",var" + std::to_string(i);
    s += ") VALUES (" + std::to_string(ts);
    for (int i = 0; i < vars; ++i) s += "," + std::to_string(i);
    return s + ");";
}

}  // namespace

TEST_F(HistoryTest, NewFileHasTheSevenTablesAndTheStartupCheckLeavesNoRow) {
    auto proxy = makeProxy();
    EXPECT_EQ(sql(db_, "SELECT name FROM sqlite_master WHERE type='table' AND name != 'sqlite_sequence' ORDER BY name"),
              "EventRecord\nLogRecord10M\nLogRecord10s\nLogRecord1H\nLogRecord1M\nLogRecord8H\nNameRecord\n");
    std::string expectLog = "0|id|INTEGER|1||1\n1|timestamp|INTEGER|1||0\n";
    for (int i = 0; i < 20; ++i) expectLog += std::to_string(i + 2) + "|var" + std::to_string(i) + "|REAL|1||0\n";
    for (const char* t : kLogTableNames) EXPECT_EQ(sql(db_, std::string("PRAGMA table_info(") + t + ")"), expectLog) << t;
    EXPECT_EQ(sql(db_, "PRAGMA table_info(EventRecord)"),
              "0|id|INTEGER|1||1\n1|timestamp|INTEGER|1||0\n2|message|TEXT|1||0\n3|state|INTEGER|1||0\n");
    std::string names = sql(db_, "PRAGMA table_info(NameRecord)");
    EXPECT_THAT(names, HasSubstr("2|name0|TEXT|1||0\n"));
    EXPECT_THAT(names, HasSubstr("21|name19|TEXT|1||0\n"));
    EXPECT_THAT(sql(db_, "SELECT sql FROM sqlite_master WHERE name='LogRecord10s'"), HasSubstr("AUTOINCREMENT"));
    // The start-up check leaves neither a row nor a used id behind.
    EXPECT_EQ(rows(db_, "LogRecord10s"), 0);
    EXPECT_EQ(sql(db_, "SELECT count(*) FROM sqlite_sequence WHERE name = 'LogRecord10s'"), "0\n");
    proxy->trySaveLog([] { return cellOf({1}); });
    EXPECT_EQ(sql(db_, "SELECT id, timestamp FROM LogRecord10s"), "1|" + std::to_string(kT0) + "\n");
    // Only the first real row names its readings.
    EXPECT_EQ(rows(db_, "NameRecord"), 1);
}

TEST_F(HistoryTest, ExistingFileKeepsMatchingTablesAndRebuildsOnlyChangedOnes) {
    std::string ddl;
    ddl += "CREATE TABLE \\\"EventRecord\\\" (\\\"id\\\" INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, \\\"timestamp\\\" "
           "INTEGER NOT NULL, \\\"message\\\" TEXT NOT NULL, \\\"state\\\" INTEGER NOT NULL);";
    ddl += "INSERT INTO EventRecord (timestamp,message,state) VALUES (5,'old',1);";
    ddl += logTableDdl("LogRecord10s", 20) + insertRow("LogRecord10s", 100, 20) + insertRow("LogRecord10s", 110, 20);
    ddl += logTableDdl("LogRecord1M", 19) + insertRow("LogRecord1M", 100, 19);  // one column fewer
    ddl += logTableDdl("LogRecord10M", 20) + insertRow("LogRecord10M", 100, 20);
    ddl += logTableDdl("LogRecord1H", 20, ", \\\"var20\\\" REAL NOT NULL") + insertRow("LogRecord1H", 100, 21);
    std::string ddl8 = logTableDdl("LogRecord8H", 20);
    ddl8.replace(ddl8.find("var3") + 7, 4, "TEXT");  // one declared type differs
    ddl += ddl8 + insertRow("LogRecord8H", 100, 20);
    ASSERT_EQ(sql(db_, ddl), "");

    auto proxy = makeProxy();
    EXPECT_EQ(rows(db_, "EventRecord"), 1);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 2);  // the two old rows, no start-up row
    EXPECT_EQ(rows(db_, "LogRecord10M"), 1);
    EXPECT_EQ(rows(db_, "LogRecord1M"), 0);
    EXPECT_EQ(rows(db_, "LogRecord1H"), 0);
    EXPECT_EQ(rows(db_, "LogRecord8H"), 0);
    EXPECT_THAT(sql(db_, "PRAGMA table_info(LogRecord1M)"), HasSubstr("21|var19|REAL|1||0"));
    EXPECT_THAT(sql(db_, "PRAGMA table_info(LogRecord1H)"), testing::Not(HasSubstr("var20")));
    // Ids continue after the kept rows.
    proxy->trySaveLog([] { return cellOf({1}); });
    EXPECT_EQ(sql(db_, "SELECT max(id) FROM LogRecord10s"), "3\n");

    // A second start changes nothing more.
    proxy.reset();
    orvane::database::HistoryStorage again(db_);
    again.open();
    for (const auto& [name, outcome] : again.lastSync()) EXPECT_EQ(outcome, orvane::database::TableSync::unchanged) << name;
    EXPECT_EQ(again.lastSync().front().first, "LogRecord8H");
    EXPECT_EQ(again.lastSync().back().first, "EventRecord");
    for (auto s : {orvane::database::TableSync::unchanged, orvane::database::TableSync::created,
                   orvane::database::TableSync::rebuilt})
        EXPECT_FALSE(orvane::database::tableSyncName(s).empty());
}

TEST_F(HistoryTest, DamagedFileIsKeptAsideAndUnopenableFileDoesNotStopTheProgram) {
    orvane::test::writeFile(db_, std::string(4096, 'x'));
    {
        auto proxy = makeProxy();
        EXPECT_EQ(orvane::test::readFile(db_ + ".bad"), std::string(4096, 'x'));
        EXPECT_EQ(rows(db_, "LogRecord8H"), 0);
    }
    EXPECT_THAT(logText(), HasSubstr("is damaged"));

    // The directory of the file is missing: nothing throws, each pass logs, and once the
    // directory exists the next pass creates the file and writes.
    std::string missing = dir_.file("later/orvanepro.db");
    DatabaseProxy proxy(DatabaseOptions{missing, dir_.path()});
    proxy.setDiskUsageSource([] { return 1.0f; });
    proxy.trySaveLog([] { return cellOf({1, 2}); });
    EXPECT_THAT(logText(), HasSubstr("testcase failed:"));
    EXPECT_THAT(logText(), HasSubstr("trySaveLog failed:"));
    ::mkdir(dir_.file("later").c_str(), 0755);
    proxy.trySaveLog([] { return cellOf({1, 2}); });
    EXPECT_EQ(rows(missing, "LogRecord10s"), 1);
    EXPECT_EQ(rows(missing, "LogRecord8H"), 1);
}

TEST_F(HistoryTest, DueIntervalsFollowTheWallClock) {
    set_log_level_for_test(LogModule::DATABASE, 3);
    auto proxy = makeProxy();
    auto cell = [] { return cellOf({1.5, 2.5, 3.5}); };
    // Stamps start at steady seconds; with the wall clock set every table is due at once.
    proxy->trySaveLog(cell);
    for (const char* t : kLogTableNames) EXPECT_EQ(rows(db_, t), 1) << t;
    EXPECT_EQ(sql(db_, "SELECT DISTINCT timestamp, var0, var1, var2, var3 FROM (SELECT * FROM LogRecord8H UNION ALL "
                       "SELECT * FROM LogRecord1M UNION ALL SELECT * FROM LogRecord10s WHERE id = 1)"),
              std::to_string(kT0) + "|1.5|2.5|3.5|0.0\n");

    clock_.setWallSeconds(kT0 + 10);  // exactly the interval: not due
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 1);
    clock_.setWallSeconds(kT0 + 11);
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 2);
    EXPECT_EQ(rows(db_, "LogRecord1M"), 1);
    clock_.setWallSeconds(kT0 + 60);
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord1M"), 1);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 3);
    clock_.setWallSeconds(kT0 + 61);
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord1M"), 2);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 3);

    // Clock set back an hour: nothing is due until it passes the stamps again.
    clock_.setWallSeconds(kT0 - 3600);
    proxy->trySaveLog(cell);
    clock_.setWallSeconds(kT0 + 70);
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 3);
    clock_.setWallSeconds(kT0 + 71);
    proxy->trySaveLog(cell);
    EXPECT_EQ(rows(db_, "LogRecord10s"), 4);
    EXPECT_EQ(proxy->lastSaveTs()[0], kT0 + 71);
    EXPECT_EQ(proxy->lastSaveTs()[1], kT0 + 61);
    EXPECT_EQ(proxy->lastSaveTs()[4], kT0);
    EXPECT_THAT(logText(), HasSubstr("trySaveLog: " + std::to_string(kT0 + 71) + ", [true, false, false, false, false]"));
}

TEST_F(HistoryTest, DiskUsageAtOrAbove99StopsWriting) {
    float usage = 99.0f;
    auto proxy = makeProxy();
    proxy->setDiskUsageSource([&usage] { return usage; });
    auto before = proxy->lastSaveTs();
    proxy->trySaveLog([] { return cellOf({1}); });
    EXPECT_EQ(rows(db_, "LogRecord8H"), 0);
    EXPECT_EQ(proxy->lastSaveTs(), before);
    EXPECT_THAT(logText(), HasSubstr("trySaveLog: DbDiskUsage 99%"));
    usage = 98.9f;
    proxy->trySaveLog([] { return cellOf({1}); });
    EXPECT_EQ(rows(db_, "LogRecord8H"), 1);
    usage = std::numeric_limits<float>::quiet_NaN();
    clock_.setWallSeconds(kT0 + 11);
    proxy->trySaveLog([] { return cellOf({1}); });
    EXPECT_EQ(rows(db_, "LogRecord10s"), 2);

    // The default reading is statvfs of the disk path: same figure as stat -f gives.
    std::istringstream in(run("stat -f -c '%b %f' '" + dir_.path() + "'"));
    double blocks = 0, freeBlocks = 0;
    in >> blocks >> freeBlocks;
    ASSERT_GT(blocks, 0);
    EXPECT_NEAR(diskUsagePercent(dir_.path()), (blocks - freeBlocks) * 100.0 / blocks, 0.5);
    EXPECT_EQ(diskUsagePercent(dir_.file("no/such/dir")), 0.0f);
}

TEST_F(HistoryTest, RecordIsBuiltFromTheCellWithoutNaNPairs) {
    auto proxy = makeProxy();
    double nan = std::nan("");
    proxy->trySaveLog([&] { return cellOf({1.0, nan, 3.0}); });
    EXPECT_EQ(sql(db_, "SELECT var0, var1, var2, var3 FROM LogRecord1M"), "1.0|3.0|0.0|0.0\n");

    // 25 pairs: the first 20 (after NaN pairs are left out) are stored.
    clock_.setWallSeconds(kT0 + 11);
    proxy->trySaveLog([&] {
        orvane_ipc::DataCell c;
        c.values.emplace_back("nan", nan);
        for (int i = 0; i < 25; ++i) c.values.emplace_back("v", 100 + i);
        c.values.emplace_back("big", 1e300);
        return c;
    });
    EXPECT_EQ(sql(db_, "SELECT var0, var19 FROM LogRecord10s WHERE id = 2"), "100.0|119.0\n");

    // No usable pair: nothing written, the table stays due for the next pass.
    clock_.setWallSeconds(kT0 + 22);
    proxy->trySaveLog([&] { return cellOf({nan, nan}); });
    proxy->trySaveLog([] { return orvane_ipc::DataCell{}; });
    EXPECT_EQ(rows(db_, "LogRecord10s"), 2);
    proxy->trySaveLog([] { return cellOf({-2.25}); });
    EXPECT_EQ(sql(db_, "SELECT timestamp, var0 FROM LogRecord10s WHERE id = 3"), std::to_string(kT0 + 22) + "|-2.25\n");

    // A value beyond the float range is stored as infinity, not refused.
    clock_.setWallSeconds(kT0 + 33);
    proxy->trySaveLog([] { return cellOf({1e300}); });
    EXPECT_EQ(sql(db_, "SELECT var0 > 1e308 FROM LogRecord10s WHERE id = 4"), "1\n");
}

TEST_F(HistoryTest, TimestampsPast2038AreStoredAndQueriedAsUnsigned) {
    clock_.setWallSeconds(3000000000LL);
    auto proxy = makeProxy();
    proxy->trySaveLog([] { return cellOf({7}); });
    EXPECT_EQ(sql(db_, "SELECT timestamp FROM LogRecord1H"), "3000000000\n");
    auto result = std::make_unique<LogQueryResult>();
    LogQueryPack pack{3, 480, 2999999999u, 3000000001u};
    proxy->log_query(pack, *result);
    ASSERT_EQ(result->timestamp.count, 1u);
    EXPECT_EQ(result->timestamp[0], 3000000000u);
    EXPECT_EQ(result->var(0)[0], 7.0f);
}

TEST_F(HistoryTest, TrendQueryLimitsRangesAndSelectors) {
    auto proxy = makeProxy();
    // 1000 rows at 10 s steps in the 10 s table (ids 2..1001), var k = ts + k.
    std::string fill =
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i < 999) "
        "INSERT INTO LogRecord10s (timestamp";
    for (int k = 0; k < 20; ++k) fill += ",var" + std::to_string(k);
    fill += ") SELECT 1000000 + 10*i";
    for (int k = 0; k < 20; ++k) fill += ", 10*i + " + std::to_string(k);
    fill += " FROM n;";
    fill += "INSERT INTO LogRecord1M (timestamp,var0,var1,var2,var3,var4,var5,var6,var7,var8,var9,var10,var11,var12,var13,"
            "var14,var15,var16,var17,var18,var19) VALUES (1000005,42,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,-1);";
    ASSERT_EQ(sql(db_, fill), "");

    auto r = std::make_unique<LogQueryResult>();
    auto expectRows = [&](uint32_t n, uint32_t firstTs) {
        ASSERT_EQ(r->timestamp.count, n);
        for (int k = 0; k < 20; ++k) ASSERT_EQ(r->var(static_cast<size_t>(k)).count, n);
        if (n == 0) return;
        EXPECT_EQ(r->timestamp[0], firstTs);
        EXPECT_EQ(r->timestamp[n - 1], firstTs + 10 * (n - 1));
        EXPECT_EQ(r->var(19)[n - 1], static_cast<float>(firstTs - 1000000 + 10 * (n - 1) + 19));
    };
    LogQueryPack pack{0, 480, 1000000, 1000000 + 9990};
    proxy->log_query(pack, *r);
    expectRows(480, 1000000);  // the oldest rows of the range
    pack.limit = 1000;
    proxy->log_query(pack, *r);
    expectRows(500, 1000000);
    pack.limit = -1;
    proxy->log_query(pack, *r);
    expectRows(500, 1000000);
    pack = {0, 480, 1000100, 1000150};  // both ends inclusive
    proxy->log_query(pack, *r);
    expectRows(6, 1000100);
    pack = {0, 0, 1000000, 1009990};
    proxy->log_query(pack, *r);
    expectRows(0, 0);
    pack = {0, 480, 1000200, 1000100};
    proxy->log_query(pack, *r);
    expectRows(0, 0);
    pack = {2, 480, 0, 4000000000u};  // empty table
    proxy->log_query(pack, *r);
    expectRows(0, 0);
    pack = {1, 480, 0, 4000000000u};
    proxy->log_query(pack, *r);
    ASSERT_EQ(r->timestamp.count, 1u);
    EXPECT_EQ(r->var(0)[0], 42.0f);
    EXPECT_EQ(r->var(19)[0], -1.0f);

    // A selector outside 0..4 answers no rows.
    pack = {0, 480, 1000000, 1000050};
    proxy->log_query(pack, *r);
    pack.type = 5;
    proxy->log_query(pack, *r);
    expectRows(0, 0);
    EXPECT_THAT(logText(), HasSubstr("log_query failed:"));

    // A failing query leaves the result as it was.
    pack = {0, 480, 1000000, 1000050};
    proxy->log_query(pack, *r);
    ASSERT_EQ(sql(db_, "DROP TABLE LogRecord10s"), "");
    pack = {0, 480, 1000100, 1000500};
    proxy->log_query(pack, *r);
    expectRows(6, 1000000);
}

TEST_F(HistoryTest, FailingTableStaysDueWhileEarlierTablesKeepTheirRows) {
    auto proxy = makeProxy();
    ASSERT_EQ(sql(db_, "CREATE TRIGGER stop1h BEFORE INSERT ON LogRecord1H BEGIN SELECT RAISE(ABORT, 'disk says no'); END;"),
              "");
    auto before = proxy->lastSaveTs();
    proxy->trySaveLog([] { return cellOf({4}); });
    EXPECT_THAT(logText(), HasSubstr("trySaveLog failed: disk says no"));
    EXPECT_EQ(rows(db_, "LogRecord1M"), 1);
    EXPECT_EQ(rows(db_, "LogRecord10M"), 1);
    EXPECT_EQ(rows(db_, "LogRecord1H"), 0);
    EXPECT_EQ(rows(db_, "LogRecord8H"), 0);
    auto after = proxy->lastSaveTs();
    EXPECT_EQ(after[0], kT0);
    EXPECT_EQ(after[2], kT0);
    EXPECT_EQ(after[3], before[3]);
    EXPECT_EQ(after[4], before[4]);

    ASSERT_EQ(sql(db_, "DROP TRIGGER stop1h"), "");
    clock_.setWallSeconds(kT0 + 2);
    proxy->trySaveLog([] { return cellOf({5}); });
    EXPECT_EQ(rows(db_, "LogRecord10s"), 1);
    EXPECT_EQ(sql(db_, "SELECT timestamp, var0 FROM LogRecord1H UNION ALL SELECT timestamp, var0 FROM LogRecord8H"),
              std::to_string(kT0 + 2) + "|5.0\n" + std::to_string(kT0 + 2) + "|5.0\n");

    // A failure that rolls the whole transaction back keeps no row and no stamp, and the log
    // names that failure (not the commit that could no longer run).
    ASSERT_EQ(sql(db_, "CREATE TRIGGER undo1m BEFORE INSERT ON LogRecord1M BEGIN SELECT RAISE(ROLLBACK, 'all undone'); END;"),
              "");
    before = proxy->lastSaveTs();
    clock_.setWallSeconds(kT0 + 100);
    proxy->trySaveLog([] { return cellOf({6}); });
    EXPECT_THAT(logText(), HasSubstr("trySaveLog failed: all undone"));
    EXPECT_THAT(logText(), Not(HasSubstr("no transaction")));
    EXPECT_EQ(rows(db_, "LogRecord10s"), 1);
    EXPECT_EQ(proxy->lastSaveTs(), before);
    ASSERT_EQ(sql(db_, "DROP TRIGGER undo1m"), "");
    proxy->trySaveLog([] { return cellOf({6}); });
    EXPECT_EQ(rows(db_, "LogRecord10s"), 2);
    EXPECT_EQ(rows(db_, "LogRecord1M"), 2);

    EventRecord ev{0, 1234, "door open", 3};
    proxy->insertEvent(ev);
    EXPECT_EQ(sql(db_, "SELECT id, timestamp, message, state FROM EventRecord"), "1|1234|door open|3\n");
    // The cloud daemon's history: the 1 min rows, named by the "NameRecord" of the first write.
    const DatabaseProxy::QueryMap want = {{static_cast<uint32_t>(kT0), {{"v0", 4.0}}},
                                          {static_cast<uint32_t>(kT0 + 100), {{"v0", 6.0}}}};
    EXPECT_EQ(proxy->query("LogRecord1M", 0, 4000000000u), want);
    EXPECT_EQ(sql(db_, "SELECT count(*) FROM NameRecord"), "1\n");
}

TEST_F(HistoryTest, FileRemovedOrReplacedWhileRunningIsOpenedAgain) {
    auto proxy = makeProxy();
    proxy->trySaveLog([] { return cellOf({1}); });
    ASSERT_EQ(rows(db_, "LogRecord8H"), 1);

    // Removed: the next write makes the file again, with every table, and the row lands in it.
    ASSERT_EQ(::unlink(db_.c_str()), 0);
    clock_.setWallSeconds(kT0 + 11);
    proxy->trySaveLog([] { return cellOf({2}); });
    EXPECT_EQ(sql(db_, "SELECT timestamp, var0 FROM LogRecord10s"), std::to_string(kT0 + 11) + "|2.0\n");
    EXPECT_EQ(rows(db_, "LogRecord8H"), 0);
    EXPECT_THAT(logText(), HasSubstr("was removed or replaced; opening it again"));

    // Replaced by another history file: queries read the file now at the path.
    const std::string other = dir_.file("other.db");
    ASSERT_EQ(sql(other, "CREATE TABLE t(x);"), "");
    ASSERT_EQ(::rename(db_.c_str(), (db_ + ".old").c_str()), 0);
    ASSERT_EQ(::rename(other.c_str(), db_.c_str()), 0);
    auto result = std::make_unique<LogQueryResult>();
    LogQueryPack pack{0, 480, 0, 4000000000u};
    proxy->log_query(pack, *result);
    EXPECT_EQ(result->timestamp.count, 0u);
    EXPECT_EQ(rows(db_, "t"), 0);  // the replacement keeps its own table beside the history's
    clock_.setWallSeconds(kT0 + 22);
    proxy->trySaveLog([] { return cellOf({3}); });
    proxy->log_query(pack, *result);
    ASSERT_EQ(result->timestamp.count, 1u);
    EXPECT_EQ(result->var(0)[0], 3.0f);
}

TEST_F(HistoryTest, FileChoiceBetweenCardAndFlash) {
    orvane::platform::Roots roots;
    roots.install = dir_.file("opt/");
    roots.system = dir_.file("sys/");
    Paths::setForTest(roots);
    struct Reset {
        ~Reset() { Paths::resetForTest(); }
    } reset;

    auto c = getDBFilePath();
    EXPECT_FALSE(c.sdCard);
    EXPECT_EQ(c.path, dir_.file("opt/runtime/orvanepro.db"));
    EXPECT_EQ(c.diskPath, dir_.file("sys/"));
    EXPECT_EQ(dbDiskPath(), c.diskPath);

    orvane::test::writeFile(dir_.file("sys/dev/mmcblk0"), "");  // a regular file is no card
    ::mkdir(dir_.file("sys/run").c_str(), 0755);
    ::mkdir(dir_.file("sys/run/media").c_str(), 0755);
    ::mkdir(dir_.file("sys/run/media/mmcblk0p1").c_str(), 0755);
    EXPECT_FALSE(getDBFilePath().sdCard);

    ::unlink(dir_.file("sys/dev/mmcblk0").c_str());
    if (::mknod(dir_.file("sys/dev/mmcblk0").c_str(), S_IFBLK | 0600, makedev(7, 250)) != 0)
        GTEST_SKIP() << "cannot make a block device node here";
    c = getDBFilePath();
    EXPECT_TRUE(c.sdCard);
    EXPECT_EQ(c.path, dir_.file("sys/run/media/mmcblk0p1/orvanepro.db"));
    EXPECT_EQ(c.diskPath, dir_.file("sys/run/media/mmcblk0p1"));
    ::mkdir(dir_.file("sys/run/media/mmcblk0p2").c_str(), 0755);
    c = getDBFilePath();
    EXPECT_EQ(c.path, dir_.file("sys/run/media/mmcblk0p2/orvanepro.db"));
    ::rmdir(dir_.file("sys/run/media/mmcblk0p1").c_str());
    ::rmdir(dir_.file("sys/run/media/mmcblk0p2").c_str());
    c = getDBFilePath();
    EXPECT_TRUE(c.sdCard);
    EXPECT_EQ(c.path, dir_.file("opt/runtime/orvanepro.db"));

    // The proxy chooses when it is built, not before: the file appears on the card partition.
    ::mkdir(dir_.file("sys/run/media/mmcblk0p2").c_str(), 0755);
    DatabaseProxy proxy;
    EXPECT_TRUE(proxy.sdCard());
    EXPECT_EQ(rows(dir_.file("sys/run/media/mmcblk0p2/orvanepro.db"), "LogRecord10s"), 0);  // made there
}

TEST_F(HistoryTest, NarrowAndWideRangesGiveTheRowsOfThePlainStatement) {
    auto proxy = makeProxy();
    // 5000 rows, then the clock set back: 25000 more whose stamps lie before the first ones.
    std::string fill =
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i < 29999) "
        "INSERT INTO LogRecord1M (timestamp";
    for (int k = 0; k < 20; ++k) fill += ",var" + std::to_string(k);
    fill += ") SELECT CASE WHEN i < 5000 THEN 2000000 + 10*i ELSE 1000000 + 10*(i-5000) END";
    for (int k = 0; k < 20; ++k) fill += ", i + " + std::to_string(k) + " * 0.5";
    fill += " FROM n;";
    ASSERT_EQ(sql(db_, fill), "");

    auto r = std::make_unique<LogQueryResult>();
    const std::pair<uint32_t, uint32_t> ranges[] = {
        {1000000, 3000000},                  // all 30000 rows
        {1000000, 1000000 + 9990},           // 1000 rows of the second run
        {1200000, 2020000},                  // 5000 + 2001 rows across both runs
        {1050000, 2049990},                  // 20000 + 5000 rows across both runs
        {1100000, 1249990},                  // 15000 rows late in the table
        {2000000 + 49000, 2000000 + 49990},  // the tail of the first run
        {1000000 + 1, 1000000 + 9},          // nothing
    };
    // The proxy with its own thresholds, and the storage with low ones so that every plan
    // (index, table order from the start, table order from the lowest id) meets every range.
    orvane::database::HistoryStorage storage(db_);
    storage.open();
    const std::pair<int64_t, int64_t> thresholds[] = {{0, 0}, {100, 100000}, {100, 1000}, {100000, 0}};
    auto text = [&](uint32_t n) {
        std::string got;
        for (uint32_t i = 0; i < n; ++i)
            got += std::to_string(r->timestamp[i]) + "|" + fmt::format("{:.1f}", r->var(3)[i]) + "\n";
        return got;
    };
    for (auto [start, end] : ranges) {
        for (int32_t limit : {480, 7}) {
            std::string expect = sql(db_, "SELECT timestamp, var3 FROM LogRecord1M WHERE timestamp >= " +
                                              std::to_string(start) + " AND timestamp <= " + std::to_string(end) +
                                              " ORDER BY id LIMIT " + std::to_string(limit));
            LogQueryPack pack{1, limit, start, end};
            proxy->log_query(pack, *r);
            EXPECT_EQ(text(r->timestamp.count), expect) << start << ".." << end << " limit " << limit;
            for (auto [indexMax, scanMax] : thresholds) {
                storage.setTrendThresholds(indexMax, scanMax);
                uint32_t n = 0;
                storage.queryLog(1, start, end, limit, *r, n);
                EXPECT_EQ(text(n), expect) << start << ".." << end << " limit " << limit << " thresholds " << indexMax
                                           << "/" << scanMax;
            }
        }
    }
}

TEST_F(HistoryTest, StartupCheckReallyWritesAndReportsFailure) {
    // A reader holding the file: the row can be inserted, but not written into the file.
    {
        auto first = makeProxy();
    }
    {
        SQLite::Database reader(db_, SQLite::OPEN_READONLY);
        SQLite::Transaction hold(reader);
        SQLite::Statement q(reader, "SELECT count(*) FROM LogRecord10s");
        ASSERT_TRUE(q.executeStep());
        auto proxy = makeProxy();
        EXPECT_THAT(logText(), HasSubstr("testcase failed: database is locked"));
    }
    // An insert that fails is reported the same way; either way nothing stays.
    ASSERT_EQ(sql(db_, "CREATE TRIGGER no10s BEFORE INSERT ON LogRecord10s BEGIN SELECT RAISE(ABORT, 'no room'); END;"),
              "");
    auto proxy = makeProxy();
    EXPECT_THAT(logText(), HasSubstr("testcase failed: no room"));
    EXPECT_EQ(rows(db_, "LogRecord10s"), 0);
    EXPECT_EQ(sql(db_, "SELECT count(*) FROM sqlite_sequence WHERE name = 'LogRecord10s'"), "0\n");
}

namespace {

// Stamps of the table in id order; rows get var3 = id so every answer row is told apart.
std::string fillStamps(const std::vector<std::pair<int64_t, std::string>>& rowsById) {
    std::string s = "BEGIN;";
    for (const auto& [id, stamp] : rowsById) {
        s += "INSERT INTO LogRecord1M (id,timestamp";
        for (int k = 0; k < 20; ++k) s += ",var" + std::to_string(k);
        s += ") VALUES (" + std::to_string(id) + "," + stamp;
        for (int k = 0; k < 20; ++k) s += "," + std::to_string(k == 3 ? id : k);
        s += ");";
    }
    return s + "COMMIT;";
}

using Answer = std::vector<std::pair<uint32_t, float>>;

Answer plainQuery(SQLite::Database& db, int64_t start, int64_t end, int64_t limit) {
    SQLite::Statement q(db, "SELECT timestamp, var3 FROM LogRecord1M WHERE ?1 <= timestamp AND timestamp <= ?2 "
                            "ORDER BY id LIMIT ?3");
    q.bind(1, start);
    q.bind(2, end);
    q.bind(3, limit);
    Answer a;
    while (q.executeStep() && a.size() < 500)
        a.emplace_back(static_cast<uint32_t>(q.getColumn(0).getInt64()), static_cast<float>(q.getColumn(1).getDouble()));
    return a;
}

Answer answerOf(const LogQueryResult& r) {
    Answer a;
    for (uint32_t i = 0; i < r.timestamp.count; ++i) a.emplace_back(r.timestamp[i], r.var(3)[i]);
    return a;
}

}  // namespace

TEST_F(HistoryTest, TrendQueryEqualsThePlainStatementOnEveryKindOfTable) {
    struct Case {
        const char* name;
        std::vector<std::pair<int64_t, std::string>> rows;  // (id, stamp)
        size_t runs;  // runs of the summary; 0: answered by the plans
        // Range ends, every pair of them a range: first and last stamps of runs and the values
        // next to them, a stamp and a gap inside a run, values beyond all rows.
        std::vector<int64_t> points;
    };
    auto series = [](int64_t firstId, int64_t n, int64_t t0, int64_t step) {
        std::vector<std::pair<int64_t, std::string>> v;
        for (int64_t i = 0; i < n; ++i) v.emplace_back(firstId + i, std::to_string(t0 + i * step));
        return v;
    };
    auto join = [](std::initializer_list<std::vector<std::pair<int64_t, std::string>>> parts) {
        std::vector<std::pair<int64_t, std::string>> v;
        for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
        return v;
    };
    std::vector<std::pair<int64_t, std::string>> random;  // stamps 1000002 ... 1019999
    uint32_t seed = 12345;
    for (int64_t i = 1; i <= 9000; ++i) {
        seed = seed * 1103515245u + 12345u;
        random.emplace_back(i, std::to_string(1000000 + (seed >> 8) % 20000));
    }
    std::vector<std::pair<int64_t, std::string>> sawtooth;  // set back every 300 rows, 20 times
    for (int64_t i = 0; i < 6000; ++i) sawtooth.emplace_back(i + 1, std::to_string(1000000 + (i % 300) * 10 + (i / 300) * 7));
    const Case cases[] = {
        {"in order", series(1, 3000, 1000000, 10), 1,
         {0, 1000000, 1000001, 1002003, 1015000, 1029990, 1029991, 4000000000}},
        {"set back once", join({series(1, 1000, 1010000, 10), series(1001, 2500, 1000000, 10)}), 2,
         {999999, 1000000, 1000001, 1009999, 1010000, 1010001, 1019990, 1019991, 1024990, 1024991}},
        {"set back twice, overlapping", join({series(1, 800, 1005000, 10), series(801, 800, 1000000, 10),
                                             series(1601, 900, 1002000, 10)}), 3,
         {999999, 1000000, 1000001, 1002000, 1005001, 1007990, 1007991, 1010990, 1012990, 1012991}},
        // Run k holds 1000000 + 7k + 10m; 1001995 is inside run 5.
        {"sawtooth", sawtooth, 20, {999999, 1000000, 1000007, 1001995, 1002990, 1002997, 1003123, 1003124}},
        {"equal stamps and holes in the ids", join({series(1, 300, 1000000, 0), series(500, 400, 1000000, 5),
                                                   series(2000, 300, 1001000, 0), series(2600, 50, 1000100, 1)}), 3,
         {999999, 1000000, 1000001, 1000100, 1000149, 1000150, 1001000, 1001001, 1001995, 1001996}},
        // 1010000 is the stamp of two rows; 1000003 and 1010001 are no row's.
        {"stamps in random order", random, 0, {0, 1000002, 1000003, 1010000, 1010001, 1019999, 4000000000}},
        {"a stamp that is not an integer", join({series(1, 500, 1000000, 10), {{501, "1002000.5"}},
                                                series(502, 500, 1003000, 10)}), 0,
         {999999, 1002000, 1002001, 1003000, 1004990, 1007990, 1007991}},
    };
    auto proxy = makeProxy();  // one file: each table replaces the rows of the one before
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sqlScript(db_, "DELETE FROM LogRecord1M;" + fillStamps(c.rows)), "");
        orvane::database::HistoryStorage fast(db_), plans(db_);
        fast.open();
        plans.open();
        fast.setTrendSummaryBudget(std::chrono::seconds(100));
        plans.setTrendSummaryBudget(std::chrono::microseconds(0));
        ASSERT_TRUE(fast.advanceTrendRuns(std::chrono::seconds(100)));
        if (c.runs > 0) {
            ASSERT_EQ(fast.trendRuns(1).scannedTo, c.rows.back().first);
        }
        EXPECT_EQ(fast.trendRuns(1).usable ? fast.trendRuns(1).runs.size() : 0u, c.runs);
        SQLite::Database plain(db_, SQLite::OPEN_READONLY);
        auto r = std::make_unique<LogQueryResult>();
        for (size_t i = 0; i < c.points.size(); ++i) {
            for (size_t j = i; j < c.points.size(); ++j) {
                // Each limit's answer is the start of the plain statement's longest one.
                const Answer longest = plainQuery(plain, c.points[i], c.points[j], kLogQueryMaxRows);
                for (int32_t limit : {480, 7, -1}) {
                    SCOPED_TRACE(fmt::format("{}..{} limit {}", c.points[i], c.points[j], limit));
                    const size_t n = std::min<size_t>(longest.size(), limit < 0 ? kLogQueryMaxRows : limit);
                    const Answer expect(longest.begin(), longest.begin() + static_cast<std::ptrdiff_t>(n));
                    auto s = static_cast<uint32_t>(c.points[i]), e = static_cast<uint32_t>(c.points[j]);
                    for (auto* storage : {&fast, &plans}) {
                        uint32_t got = 0;
                        storage->queryLog(1, s, e, limit, *r, got);
                        r->setCount(got);
                        ASSERT_EQ(answerOf(*r), expect);
                    }
                    LogQueryPack pack{1, limit, s, e};
                    proxy->log_query(pack, *r);
                    ASSERT_EQ(answerOf(*r), expect);
                }
            }
        }
    }
}

TEST_F(HistoryTest, TrendSummaryFollowsOwnWritesAndChangesByOtherPrograms) {
    auto proxy = makeProxy();
    orvane::database::HistoryStorage storage(db_);
    storage.open();
    auto r = std::make_unique<LogQueryResult>();
    auto both = [&](uint32_t s, uint32_t e) {
        SQLite::Database plain(db_, SQLite::OPEN_READONLY);
        Answer expect = plainQuery(plain, s, e, 480);
        uint32_t n = 0;
        storage.queryLog(1, s, e, 480, *r, n);
        r->setCount(n);
        EXPECT_EQ(answerOf(*r), expect) << s << ".." << e;
        return expect.size();
    };
    ASSERT_EQ(sqlScript(db_, fillStamps({{1, "100"}, {2, "200"}, {3, "300"}})), "");
    EXPECT_EQ(both(150, 1000), 2u);
    EXPECT_EQ(storage.trendRuns(1).runs.size(), 1u);
    // Rows written through this connection: a clock set back starts a second run.
    LogRecord rec;
    rec.timestamp = 150;
    storage.insertLog(1, rec);
    rec.timestamp = 400;
    storage.insertLog(1, rec);
    EXPECT_EQ(both(150, 1000), 4u);
    EXPECT_EQ(storage.trendRuns(1).runs.size(), 2u);
    // Another program rewrites a stamp in the middle: the summary is made again.
    ASSERT_EQ(sql(db_, "UPDATE LogRecord1M SET timestamp = 50 WHERE id = 2"), "");
    EXPECT_EQ(both(0, 120), 2u);
    EXPECT_EQ(storage.trendRuns(1).runs.size(), 3u);
    ASSERT_EQ(sql(db_, "DELETE FROM LogRecord1M WHERE id >= 4"), "");
    EXPECT_EQ(both(0, 1000), 3u);
    // The proxy extends the summaries at each supervisor pass, bounded in time.
    ASSERT_EQ(sqlScript(db_, fillStamps({{10, "500"}, {11, "600"}})), "");
    proxy->trySaveLog([] { return cellOf({1}); });
    LogQueryPack pack{1, 480, 0, 1000};
    proxy->log_query(pack, *r);
    EXPECT_EQ(r->timestamp.count, 5u);
}

// Queries while and after the summary thread builds, and after a write, answer as the plain statement.
TEST_F(HistoryTest, TrendSummaryBuiltOnItsThreadGivesTheSameAnswers) {
    std::vector<std::pair<int64_t, std::string>> stamps;  // five runs of 9000 rows, set back each time
    for (int64_t i = 0; i < 45000; ++i) stamps.emplace_back(i + 1, std::to_string(1000000 + (i % 9000) * 10 + (i / 9000) * 3));
    makeProxy();  // the schema
    ASSERT_EQ(sqlScript(db_, fillStamps(stamps)), "");
    auto proxy = std::make_unique<DatabaseProxy>(DatabaseOptions{db_, dir_.path(), std::chrono::microseconds(0), std::chrono::microseconds(0)});  // queries never build it
    proxy->setDiskUsageSource([] { return 10.0f; });
    proxy->init();
    SQLite::Database plain(db_, SQLite::OPEN_READONLY);
    auto r = std::make_unique<LogQueryResult>();
    const int64_t points[] = {0, 1000000, 1000004, 1030001, 1060000, 1089990, 1089999, 1200000};
    auto sameAsPlain = [&] {
        for (size_t i = 0; i < std::size(points); ++i)
            for (size_t j = i; j < std::size(points); ++j) {
                LogQueryPack pack{1, 480, static_cast<uint32_t>(points[i]), static_cast<uint32_t>(points[j])};
                proxy->log_query(pack, *r);
                EXPECT_EQ(answerOf(*r), plainQuery(plain, points[i], points[j], 480)) << points[i] << ".." << points[j];
            }
    };
    proxy->startTrendSummary();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!proxy->trendSummaryReady() && !HasFailure() && std::chrono::steady_clock::now() < giveUp) sameAsPlain();
    ASSERT_TRUE(proxy->trendSummaryReady());
    clock_.setWallSeconds(1089995);
    proxy->trySaveLog([] { return cellOf({1}); });  // the gateway writes while the thread runs
    EXPECT_EQ(rows(db_, "LogRecord1M"), 45001);
    sameAsPlain();
}  // the destructor stops the thread

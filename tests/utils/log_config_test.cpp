// Per-module levels from run_enables.json, the logger set-up and its rotation.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <regex>
#include <sstream>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "platform/paths.h"
#include "support/temp_dir.h"
#include "utils/log.h"
#include "utils/utility.h"

using orvane::platform::Paths;
using orvane::platform::Roots;
using orvane::test::readFile;
using orvane::test::TempDir;
using orvane::test::writeFile;
using json = nlohmann::ordered_json;

namespace {

const char* const kAllModules[] = {"MAIN", "SCADA", "LORA",     "SYS",   "WEB",      "SENSOR",    "EIP",
                                   "MBRTU", "MBTCP", "CELLULAR", "CLOUD", "DATABASE", "LIBMODBUS", "MAX"};

class RunEnables : public ::testing::Test {
protected:
    void SetUp() override {
        Roots r;
        r.install = dir.path();
        Paths::setForTest(r);
        reset_log_levels_for_test();
        file = Paths::install("runtime/run_enables.json");
    }
    void TearDown() override {
        Paths::resetForTest();
        reset_log_levels_for_test();
    }
    json load(const std::string& text) {
        writeFile(file, text);
        loadLogConfig();
        json doc;
        EXPECT_TRUE(Utility::loadJson(file, doc)) << readFile(file);
        return doc;
    }
    static std::vector<std::string> keys(const json& obj) {
        std::vector<std::string> k;
        for (auto it = obj.begin(); it != obj.end(); ++it) k.push_back(it.key());
        return k;
    }
    static int level(LogModule m) { return get_log_level(m); }

    TempDir dir;
    std::string file;
};

}  // namespace

TEST(LogNames, EveryModuleAndLevelHasItsName) {
    for (int m = 0; m <= static_cast<int>(LogModule::MAX); ++m)
        EXPECT_EQ(logModuleName(static_cast<LogModule>(m)), kAllModules[m]);
    const char* levels[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG"};
    for (int l = 0; l <= static_cast<int>(LogLevel::DEBUG); ++l)
        EXPECT_EQ(logLevelName(static_cast<LogLevel>(l)), levels[l]);
    EXPECT_EQ(logModuleName(static_cast<LogModule>(14)), "");
}

TEST_F(RunEnables, MissingKeysAreAppendedInModuleOrder) {
    json doc = load(R"({"log": {"SCADA": 3}})");
    EXPECT_EQ(level(LogModule::SCADA), 3);
    for (int m = 0; m < static_cast<int>(LogModule::MAX); ++m)
        if (m != static_cast<int>(LogModule::SCADA)) {
            EXPECT_EQ(level(static_cast<LogModule>(m)), 2) << kAllModules[m];
        }
    std::vector<std::string> expect{"SCADA"};
    for (const char* k : kAllModules)
        if (std::string(k) != "SCADA") expect.push_back(k);
    EXPECT_EQ(keys(doc["log"]), expect);
    // Exact layout of the written file.
    std::string text = readFile(file);
    EXPECT_EQ(text.rfind("{\n  \"log\": {\n    \"SCADA\": 3,\n    \"MAIN\": 2,\n    \"LORA\": 2,\n", 0), 0u) << text;
    const std::string tail = ",\n    \"MAX\": 2\n  }\n}";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(RunEnables, ValueConversions) {
    load(R"({"log": {"MAIN": true, "SCADA": 3.9, "LORA": -1.5, "SYS": false, "WEB": 0, "SENSOR": 1e20,
                     "EIP": -1e20, "MBRTU": 4294967296, "MBTCP": 7, "MAX": 4}})");
    EXPECT_EQ(level(LogModule::MAIN), 1);
    EXPECT_EQ(level(LogModule::SCADA), 3);
    EXPECT_EQ(level(LogModule::LORA), -1);
    EXPECT_EQ(level(LogModule::SYS), 0);
    EXPECT_EQ(level(LogModule::WEB), 0);
    EXPECT_EQ(level(LogModule::SENSOR), INT_MAX);
    EXPECT_EQ(level(LogModule::EIP), INT_MIN);
    EXPECT_EQ(level(LogModule::MBRTU), INT_MAX);
    EXPECT_EQ(level(LogModule::MBTCP), 7);
    EXPECT_EQ(level(LogModule::CLOUD), 2);
    EXPECT_EQ(level(LogModule::MAX), 0) << "MAX has no table entry";
    // Gate: -1 and 0 silence everything, 7 passes everything.
    EXPECT_FALSE(is_model_output(LogModule::LORA, LogLevel::ERROR));
    EXPECT_FALSE(is_model_output(LogModule::WEB, LogLevel::ERROR));
    EXPECT_TRUE(is_model_output(LogModule::MAIN, LogLevel::ERROR));
    EXPECT_FALSE(is_model_output(LogModule::MAIN, LogLevel::WARN));
    EXPECT_TRUE(is_model_output(LogModule::MBTCP, LogLevel::DEBUG));
    EXPECT_FALSE(is_model_output(LogModule::MAX, LogLevel::ERROR));
    // The values written back are the operator's, unchanged (MAX included).
    json doc;
    ASSERT_TRUE(Utility::loadJson(file, doc));
    EXPECT_EQ(doc["log"]["MAIN"], true);
    EXPECT_EQ(doc["log"]["SCADA"], 3.9);
    EXPECT_EQ(doc["log"]["MAX"], 4);
    EXPECT_FALSE(std::filesystem::exists(file + ".bad"));
}

TEST_F(RunEnables, OtherMembersStayAndMissingOrEmptyFileGetsDefaults) {
    json doc = load(R"({"other": {"x": [1, "y"]}, "log": null, "tail": "z"})");
    EXPECT_EQ(keys(doc), (std::vector<std::string>{"other", "log", "tail"}));
    EXPECT_EQ(doc["other"]["x"][1], "y");
    EXPECT_EQ(keys(doc["log"]).size(), 14u);

    doc = load(R"({"other": 1})");
    EXPECT_EQ(keys(doc), (std::vector<std::string>{"other", "log"}));

    std::filesystem::remove(file);
    reset_log_levels_for_test();
    loadLogConfig();
    ASSERT_TRUE(Utility::loadJson(file, doc));
    EXPECT_EQ(keys(doc["log"]), std::vector<std::string>(std::begin(kAllModules), std::end(kAllModules)));
    EXPECT_EQ(level(LogModule::LIBMODBUS), 2);

    doc = load("  \n");
    EXPECT_EQ(keys(doc["log"]).size(), 14u);
    EXPECT_FALSE(std::filesystem::exists(file + ".bad")) << "an empty file is not kept";
}

TEST_F(RunEnables, MalformedFilesNeverStopStartUpAndAreKept) {
    struct Case {
        const char* text;
        std::vector<std::string> topKeys;
    };
    const Case cases[] = {
        {"{\"log\": {\"SCADA\": 3", {"log"}},                     // not JSON
        {"[1, 2, 3]", {"log"}},                                   // root not an object
        {"\"text\"", {"log"}},                                    // root a string
        {R"({"keep": 1, "log": 5})", {"keep", "log"}},            // log not an object
        {R"({"keep": 1, "log": ["SCADA"]})", {"keep", "log"}},    // log an array
    };
    for (const auto& c : cases) {
        std::filesystem::remove(file + ".bad");
        json doc = load(c.text);
        EXPECT_EQ(keys(doc), c.topKeys) << c.text;
        EXPECT_EQ(keys(doc["log"]).size(), 14u) << c.text;
        for (int m = 0; m < static_cast<int>(LogModule::MAX); ++m) EXPECT_EQ(level(static_cast<LogModule>(m)), 2);
        EXPECT_EQ(readFile(file + ".bad"), c.text);
    }

    // Levels that are not numbers default to 2 and are replaced; good ones are kept.
    std::filesystem::remove(file + ".bad");
    json doc = load(R"({"log": {"SCADA": "3", "LORA": null, "SYS": [1], "WEB": {"a": 1}, "MAIN": 3}})");
    EXPECT_EQ(level(LogModule::SCADA), 2);
    EXPECT_EQ(level(LogModule::LORA), 2);
    EXPECT_EQ(level(LogModule::SYS), 2);
    EXPECT_EQ(level(LogModule::WEB), 2);
    EXPECT_EQ(level(LogModule::MAIN), 3);
    EXPECT_EQ(doc["log"]["SCADA"], 2);
    EXPECT_EQ(doc["log"]["WEB"], 2);
    EXPECT_EQ(keys(doc["log"]).front(), "SCADA");
    EXPECT_TRUE(std::filesystem::exists(file + ".bad"));
}

TEST_F(RunEnables, SecondMalformedFileKeepsTheFirstCopy) {
    load("{\"log\": 1");
    load("{\"log\": 2");
    EXPECT_EQ(readFile(file + ".bad"), "{\"log\": 1");
    EXPECT_EQ(readFile(file + ".bad.1"), "{\"log\": 2");
}

TEST_F(RunEnables, ModulesAreSilentBeforeLoadingAndGatedAfter) {
    std::ostringstream lines;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(lines);
    auto logger = std::make_shared<spdlog::logger>("gate-test", sink);
    logger->set_pattern("%l %v");
    logger->set_level(spdlog::level::trace);
    auto previous = spdlog::default_logger();
    spdlog::set_default_logger(logger);

    SLOG_ERROR(MAIN, "before {}", 1);
    load(R"({"log": {"WEB": 0, "SCADA": 3, "SYS": 1}})");
    SLOG_ERROR(WEB, "web error {}", 2);
    SLOG_INFO(SCADA, "scada info {}", 3);
    SLOG_WARN(SYS, "sys warn {}", 4);
    SLOG_ERROR(SYS, "sys error {}", 5);
    SLOG_WARN(MAIN, "main warn {}", 6);
    SLOG_INFO(MAIN, "main info {}", 7);
    // DEBUG only switches the Modbus library's trace on; it and OFF never write a line.
    set_log_level_for_test(LogModule::MAIN, 4);
    SLOG(MAIN, DEBUG, "main debug {}", 8);
    SLOG(MAIN, OFF, "main off {}", 9);

    spdlog::set_default_logger(previous);
    EXPECT_EQ(lines.str(), "info scada info 3\nerror sys error 5\nwarning main warn 6\n");
}

TEST(LogSetup, PatternLevelAndRotation) {
    TempDir dir;
    auto previous = spdlog::default_logger();
    reset_log_levels_for_test();
    set_log_level_for_test(LogModule::MAIN, 3);
    const std::string path = dir.file("log/scada.log");

    // Logger level 3 (warn) drops information lines whatever the module allows.
    Utility::configLog(path, 3, false);
    SLOG_INFO(MAIN, "dropped {}", 1);
    SLOG_WARN(MAIN, "kept {}", 2);
    spdlog::default_logger()->flush();
    std::string text = readFile(path);
    std::regex line(R"(^\[\d\d-\d\d \d\d:\d\d:\d\d\] \[warning\] \[log_config_test\.cpp:\d+\] kept 2\n$)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    EXPECT_EQ(spdlog::default_logger()->name(), "name");

    // A second set-up replaces the first; at level 0 everything passes. 3 MiB of lines rotate
    // into at most 2 older files of at most 1 MiB each.
    Utility::configLog(path, 0, false);
    std::string payload(200, 'x');
    for (int i = 0; i < 3 * 1048576 / 260; ++i) SLOG_INFO(MAIN, "{} {}", i, payload);
    spdlog::default_logger()->flush();
    namespace fs = std::filesystem;
    for (const char* f : {"log/scada.log", "log/scada.1.log", "log/scada.2.log"}) {
        ASSERT_TRUE(fs::exists(dir.file(f))) << f;
        EXPECT_LE(fs::file_size(dir.file(f)), 1048576u) << f;
        if (std::string(f) != "log/scada.log") {
            EXPECT_GT(fs::file_size(dir.file(f)), 1048576u - 1024) << f;  // rotated when full
        }
    }
    EXPECT_FALSE(fs::exists(dir.file("log/scada.3.log")));

    spdlog::drop("name");
    spdlog::set_default_logger(previous);
    reset_log_levels_for_test();
}

TEST(LogSetup, ConsoleSinkWritesToStandardOutput) {
    TempDir dir;
    auto previous = spdlog::default_logger();
    reset_log_levels_for_test();
    set_log_level_for_test(LogModule::CLOUD, 1);
    testing::internal::CaptureStdout();
    Utility::configLog(dir.file("c.log"), 0, true);
    SLOG_ERROR(CLOUD, "to both {}", 9);
    spdlog::default_logger()->flush();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[error] [log_config_test.cpp:"), std::string::npos) << out;
    EXPECT_NE(out.find("to both 9"), std::string::npos);
    EXPECT_NE(readFile(dir.file("c.log")).find("to both 9"), std::string::npos);
    spdlog::drop("name");
    spdlog::set_default_logger(previous);
    reset_log_levels_for_test();
}

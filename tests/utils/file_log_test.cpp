// The exact log lines of the file writers, the parent-directory helper and the pin writes, and
// writes through symbolic links.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "platform/command_runner.h"
#include "platform/paths.h"
#include "support/temp_dir.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"
#include "utils/utility.h"

using orvane::platform::CommandRunner;
using orvane::platform::Paths;
using orvane::platform::RecordingCommandRunner;
using orvane::platform::Roots;
using orvane::test::readFile;
using orvane::test::TempDir;
using orvane::test::writeFile;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// Collects "<level> <message>" of every line written through the default logger.
class LogCapture : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = spdlog::default_logger();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        sink->set_pattern("%l %v");
        auto logger = std::make_shared<spdlog::logger>("file-log-test", sink);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
        reset_log_levels_for_test();
        set_log_level_for_test(LogModule::SCADA, static_cast<int>(LogLevel::INFO));
        set_log_level_for_test(LogModule::SYS, static_cast<int>(LogLevel::WARN));
        CommandRunner::setForTest(&runner_);
    }
    void TearDown() override {
        CommandRunner::setForTest(nullptr);
        reset_log_levels_for_test();
        spdlog::set_default_logger(previous_);
    }
    Lines take() {
        Lines out;
        std::istringstream in(out_.str());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        out_.str("");
        return out;
    }

    TempDir dir;
    RecordingCommandRunner runner_;

private:
    std::shared_ptr<spdlog::logger> previous_;
    std::ostringstream out_;
};

}  // namespace

TEST_F(LogCapture, WriterLinesForNewDirectoryExistingDirectoryAndAbort) {
    const std::string d = dir.file("conf/sub");
    const std::string p = d + "/a.json";
    Utility::writeText(p, std::string("hello"));
    EXPECT_EQ(take(), (Lines{
                          "info writeText(string) start, filename=" + p + ", size=5",
                          "info ensureParentDirectoryExists start, filename=" + p,
                          "info ensureParentDirectoryExists parsed, rawPath=" + p + ", parent=" + d,
                          "info ensureParentDirectoryExists parent missing, parent=" + d,
                          "info ensureParentDirectoryExists created parent directories, parent=" + d,
                          "info writeText(string) finished, filename=" + p + ", ok=true",
                      }));

    auto huge = std::make_unique<fss::stringHuge>("abc");
    EXPECT_TRUE(Utility::writeText(p, *huge));
    EXPECT_EQ(take(), (Lines{
                          "info writeText(stringHuge) start, filename=" + p + ", size=3",
                          "info ensureParentDirectoryExists start, filename=" + p,
                          "info ensureParentDirectoryExists parsed, rawPath=" + p + ", parent=" + d,
                          "info ensureParentDirectoryExists parent exists, parent=" + d + ", isDirectory=true",
                          "info writeText(stringHuge) finished, filename=" + p + ", bytes=3, ok=true",
                      }));

    Utility::writeConfigFile(p, "k=v\n");
    Lines lines = take();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.front(), "info writeConfigFile start, filename=" + p + ", size=4");
    EXPECT_EQ(lines.back(), "info writeConfigFile finished, filename=" + p + ", ok=true");

    // Parent is a regular file: the writer stops before touching anything.
    const std::string under = p + "/x.txt";
    Utility::writeText(under, std::string_view("zz"));
    EXPECT_EQ(take(), (Lines{
                          "info writeText(string_view) start, filename=" + under + ", size=2",
                          "info ensureParentDirectoryExists start, filename=" + under,
                          "info ensureParentDirectoryExists parsed, rawPath=" + under + ", parent=" + p,
                          "info ensureParentDirectoryExists parent exists, parent=" + p + ", isDirectory=false",
                          "info writeText(string_view) abort: parent directory unavailable, filename=" + under,
                          "warning Save of " + under + " failed, the file keeps its old content: parent directory unavailable",
                      }));
    EXPECT_EQ(runner_.syncCount(), 3) << "no sync after an abort";

    // With the module at WARN a save that works writes nothing, one that fails its warning only.
    set_log_level_for_test(LogModule::SCADA, static_cast<int>(LogLevel::WARN));
    Utility::writeText(p, std::string("quiet"));
    EXPECT_TRUE(take().empty());
    const std::string other = p + "/y.txt";
    Utility::writeText(other, std::string("quiet"));
    EXPECT_EQ(take(), (Lines{"warning Save of " + other +
                             " failed, the file keeps its old content: parent directory unavailable"}));
}

TEST_F(LogCapture, OpenFailureNamesTheFileAndErrno) {
    // A directory in which no file can be created, whoever runs the test.
    const std::string p = "/proc/orvane-no-such-file.conf";
    Utility::writeConfigFile(p, "k=v\n");
    Lines lines = take();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "info writeConfigFile start, filename=" + p + ", size=4");
    EXPECT_EQ(lines[3], "info ensureParentDirectoryExists parent exists, parent=/proc, isDirectory=true");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[4], m, std::regex("info writeConfigFile failed to open file, filename=" + p +
                                                         ", errno=([0-9]+)")))
        << lines[4];
    EXPECT_NE(m[1], "0");
    EXPECT_EQ(lines[5], "warning Save of " + p + " failed, the file keeps its old content: " +
                            std::strerror(std::stoi(m[1])));
    EXPECT_FALSE(fs::exists(p));

    // A directory in place of the file cannot be opened for writing either.
    const std::string d = dir.file("isdir");
    fs::create_directories(d);
    auto huge = std::make_unique<fss::stringHuge>("x");
    EXPECT_FALSE(Utility::writeText(d, *huge));
    lines = take();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "info writeText(stringHuge) failed to open file, filename=" + d +
                            ", errno=" + std::to_string(EISDIR));
    EXPECT_EQ(lines[5], "warning Save of " + d + " failed, the file keeps its old content: " + std::strerror(EISDIR));
    EXPECT_TRUE(fs::is_directory(d));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(runner_.syncCount(), 0) << "no sync when nothing was opened";
}

TEST_F(LogCapture, ParentDirectoryHelperLines) {
    EXPECT_FALSE(Utility::ensureParentDirectoryExists(""));
    EXPECT_EQ(take(), (Lines{"info ensureParentDirectoryExists start, filename=",
                             "info ensureParentDirectoryExists failed: filename is empty"}));

    EXPECT_TRUE(Utility::ensureParentDirectoryExists("bare.json"));
    EXPECT_EQ(take(), (Lines{
                          "info ensureParentDirectoryExists start, filename=bare.json",
                          "info ensureParentDirectoryExists parsed, rawPath=bare.json, parent=",
                          "info ensureParentDirectoryExists skip create: parent is empty or current directory, parent=",
                      }));

    EXPECT_TRUE(Utility::ensureParentDirectoryExists("a/../b.json"));
    EXPECT_EQ(take().back(),
              "info ensureParentDirectoryExists skip create: parent is empty or current directory, parent=.");

    // A parent whose status cannot be read (a link loop): reported, not created, false.
    const std::string loop = dir.file("loop");
    fs::create_symlink(loop, loop);
    const std::string parent = loop + "/inner";
    EXPECT_FALSE(Utility::ensureParentDirectoryExists(parent + "/f.txt"));
    Lines lines = take();
    ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
    const std::string eloop = "ec=" + std::to_string(ELOOP) + ", msg=" + std::error_code(ELOOP, std::generic_category()).message();
    EXPECT_EQ(lines[2], "info ensureParentDirectoryExists status check failed, parent=" + parent + ", " + eloop);
    EXPECT_EQ(lines[3].rfind("info ensureParentDirectoryExists create_directories returned false, parent=" + parent +
                                 ", ec=",
                             0),
              0u)
        << lines[3];
    EXPECT_EQ(lines[4], "info ensureParentDirectoryExists final check, parent=" + parent + ", ok=false, " + eloop);
}

TEST_F(LogCapture, PinWriteWarnings) {
    Roots r;
    r.install = dir.file("install");
    r.sysfs = dir.file("sys");
    r.procfs = dir.file("proc");
    Paths::setForTest(r);
    EXPECT_EQ(HardwareUtils::setGPIOValue(5, 1), -1);
    EXPECT_EQ(take(), (Lines{"warning Unable to open gpio value"}));
    set_log_level_for_test(LogModule::SYS, static_cast<int>(LogLevel::ERROR));
    EXPECT_EQ(HardwareUtils::setGPIOValue(5, 1), -1);
    EXPECT_TRUE(take().empty());
    Paths::resetForTest();
}

TEST(WriteThroughLinks, LinkStaysAndItsFileIsReplaced) {
    TempDir dir;
    RecordingCommandRunner runner;
    CommandRunner::setForTest(&runner);
    writeFile(dir.file("real/resolv.conf"), "old");
    fs::create_directories(dir.file("etc"));
    // A relative link, reached through a second, absolute one.
    fs::create_symlink("../real/resolv.conf", dir.file("etc/resolv.conf"));
    fs::create_symlink(dir.file("etc/resolv.conf"), dir.file("etc/alias.conf"));

    Utility::writeConfigFile(dir.file("etc/alias.conf"), "nameserver 1.1.1.1\n");
    EXPECT_TRUE(fs::is_symlink(dir.file("etc/alias.conf")));
    EXPECT_TRUE(fs::is_symlink(dir.file("etc/resolv.conf")));
    EXPECT_EQ(readFile(dir.file("real/resolv.conf")), "nameserver 1.1.1.1\n");

    nlohmann::ordered_json doc = {{"a", 1}};
    EXPECT_TRUE(Utility::saveJson(dir.file("etc/resolv.conf"), doc));
    EXPECT_TRUE(fs::is_symlink(dir.file("etc/resolv.conf")));
    EXPECT_EQ(readFile(dir.file("real/resolv.conf")), "{\n  \"a\": 1\n}");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("real")), fs::directory_iterator()), 1);

    // A link that leads nowhere yet: the file it names is created.
    fs::create_symlink("../real/new.conf", dir.file("etc/new.conf"));
    Utility::writeText(dir.file("etc/new.conf"), std::string("n"));
    EXPECT_TRUE(fs::is_symlink(dir.file("etc/new.conf")));
    EXPECT_EQ(readFile(dir.file("real/new.conf")), "n");

    // A loop of links is refused and left as it is.
    fs::create_symlink("b", dir.file("etc/a"));
    fs::create_symlink("a", dir.file("etc/b"));
    auto huge = std::make_unique<fss::stringHuge>("x");
    EXPECT_FALSE(Utility::writeText(dir.file("etc/a"), *huge));
    EXPECT_TRUE(fs::is_symlink(dir.file("etc/a")));
    CommandRunner::setForTest(nullptr);
}

TEST(WriteLongNames, NameNearTheLimitIsWritten) {
    TempDir dir;
    RecordingCommandRunner runner;
    CommandRunner::setForTest(&runner);
    const std::string name(250, 'n');
    auto huge = std::make_unique<fss::stringHuge>("long");
    EXPECT_TRUE(Utility::writeText(dir.file(name), *huge));
    EXPECT_EQ(readFile(dir.file(name)), "long");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    CommandRunner::setForTest(nullptr);
}

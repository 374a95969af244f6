// The daemon logger writing real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "cloud_daemon/infrastructure/logger/logger.h"
#include "support/temp_dir.h"

using cloud_daemon::infrastructure::logger::Logger;
using orvane::test::readFile;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

class LoggerTest : public testing::Test {
protected:
    orvane::test::TempDir dir_{"lte-logger"};
    std::string path_ = dir_.file("log/log_lte.txt");
};

TEST_F(LoggerTest, LevelsAndLines) {
    {
        Logger log(path_);
        log << "orphan";  // no level chosen yet: dropped
        log.log_line_completed();
        log.info() << "Count " << 3;
        log.log_line_completed();
        log.debug() << "hidden";  // below the logger's level
        log.log_line_completed();
        log.warn() << 2.5 << " and " << std::string("text");
        log.log_line_completed();
        log.error() << "E";
        log.log_line_completed();
        log.log_line_completed();  // level stays error: an empty line
        log.critical() << "C";
        log.log_line_completed();
    }
    const auto lines = linesOf(readFile(path_));
    ASSERT_EQ(lines.size(), 5u);
    const std::regex head(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[CloudDaemon: \d+\] \[(\w+)\]: (.*)$)");
    const std::pair<std::string, std::string> want[] = {
        {"info", "Count 3"}, {"warning", "2.5 and text"}, {"error", "E"}, {"error", ""}, {"critical", "C"}};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, head)) << lines[i];
        EXPECT_EQ(m[1], want[i].first);
        EXPECT_EQ(m[2], want[i].second);
    }
}

TEST_F(LoggerTest, RolloverKeepsAtMostTwoFiles) {
    {
        Logger log(path_);
        const std::string chunk(1000, 'x');
        for (int i = 0; i < 3000; ++i) {  // about 3 MiB
            log.info() << i << chunk;
            log.log_line_completed();
        }
    }
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir_.file("log"))) files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"log_lte.1.txt", "log_lte.txt"}));
    EXPECT_LE(fs::file_size(path_), 1048576u);
}

TEST_F(LoggerTest, ThreadsNeverMixTheirLines) {
    constexpr int kThreads = 8, kLines = 300;
    {
        Logger log(path_);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) {
                    log.info() << "T" << t << "-" << i << "-end";
                    log.log_line_completed();
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    const auto lines = linesOf(readFile(path_));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex body(R"(.*\]: T(\d)-(\d+)-end$)");
    std::vector<int> next(kThreads, 0);
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, body)) << l;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[static_cast<size_t>(t)]++);  // each thread's lines in order
    }
}

}  // namespace

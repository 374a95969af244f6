// Failure paths of the expression driver: nothing ends the process, every input is closed,
// the scanner starts clean for each script, one script at a time.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "exp_test_util.h"

namespace {

using exptest::ExpFixture;
using exptest::Outcome;

int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

class ExpFaults : public ExpFixture {};

TEST_F(ExpFaults, UnopenableScriptIsAnErrorResult) {
    EXPECT_EQ(f("6 * 7"), 42.0f);
    std::string missing = dir.file("none/such.script");
    ::testing::internal::CaptureStderr();
    int status = drv.parse(missing);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, ExpDriver::PARSE_CANNOT_OPEN);
    EXPECT_EQ(err, "cannot open " + missing + ": No such file or directory\n");
    EXPECT_EQ(std::get<float>(drv.result), 42.0f);
    EXPECT_EQ(f("1 + 1"), 2.0f);
}

TEST_F(ExpFaults, ScannerReadFailureIsAnErrorResult) {
    // A directory opens for reading but every read fails: the scanner's own fatal condition.
    ::testing::internal::CaptureStderr();
    int status = drv.parse(dir.path());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, ExpDriver::PARSE_SCANNER_FAILED);
    EXPECT_EQ(err, "input in flex scanner failed\n");
    EXPECT_EQ(f("3 * 3"), 9.0f);
}

TEST_F(ExpFaults, UnwritableScratchFileIsNotParsed) {
    EXPECT_EQ(f("2 + 2"), 4.0f);
    // The scratch path is a directory: nothing can be written, nothing is parsed.
    ExpDriver onDir(dir.path());
    onDir.setVar("v", 1.0f);
    ::testing::internal::CaptureStderr();
    ExpValue v = onDir.parseStr("v = 5 v");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(onDir.lastStatus(), ExpDriver::PARSE_SCRATCH_FAILED);
    EXPECT_EQ(std::get<float>(v), 0.0f);
    EXPECT_EQ(err, "cannot write " + dir.path() + ": Is a directory\n");
    EXPECT_EQ(std::get<float>(onDir.variables.at("v")), 1.0f);

    // A device that takes no data: the old content (here endless zero bytes) is not parsed.
    ExpDriver onFull("/dev/full");
    ::testing::internal::CaptureStderr();
    v = onFull.parseStr("7");
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(onFull.lastStatus(), ExpDriver::PARSE_SCRATCH_FAILED);
    EXPECT_EQ(err, "cannot write /dev/full: No space left on device\n");
    EXPECT_EQ(std::get<float>(v), 0.0f);

    // A scratch file that cannot be replaced keeps the earlier script out of the next result.
    orvane::test::writeFile(scratch, "100");
    EXPECT_EQ(f("3"), 3.0f);
    EXPECT_EQ(orvane::test::readFile(scratch), "3");  // left in place
}

TEST_F(ExpFaults, ScannerStartsCleanForEveryScript) {
    // Each failure leaves unread text in the scanner's buffer; the next script must not see it.
    Outcome r = run("1.5 + 99 * 2");
    EXPECT_EQ(r.status, ExpDriver::PARSE_SYNTAX_ERROR);
    EXPECT_EQ(f("2"), 2.0f);
    r = run("b = one < two b + 77");
    EXPECT_TRUE(r.threw);
    EXPECT_EQ(f("3"), 3.0f);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(drv.parse(dir.path()), ExpDriver::PARSE_SCANNER_FAILED);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(f("4"), 4.0f);
    // A long script (beyond one scanner buffer) followed by a short one.
    std::string longScript;
    for (int i = 0; i < 5000; ++i) longScript += "one + ";
    longScript += "0";
    EXPECT_EQ(f(longScript), 5000.0f);
    EXPECT_EQ(f("5"), 5.0f);
}

TEST_F(ExpFaults, EveryPathClosesItsInput) {
    int before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        run("1 +");                      // syntax error
        run("2.5");                      // scanner error
        run("b = one < two b");          // exception out of the parser
        run("1");                        // success
        ::testing::internal::CaptureStderr();
        drv.parse(dir.path());           // read failure
        drv.parse(dir.file("missing"));  // cannot open
        ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ExpFaults, StandardInputWhenNoFileName) {
    std::string path = dir.file("stdin.script");
    orvane::test::writeFile(path, "s = 20 s + one");
    int saved = dup(0);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    dup2(fd, 0);
    close(fd);
    clearerr(stdin);
    int status = drv.parse("-");
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::get<float>(drv.result), 21.0f);
}

TEST_F(ExpFaults, ScriptsFromSeveralThreadsRunOneAtATime) {
    constexpr int kThreads = 4;
    constexpr int kScripts = 150;
    std::vector<std::thread> threads;
    std::vector<int> wrong(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Two drivers share one scratch file, the others have their own.
            ExpDriver own(t < 2 ? dir.file("shared.script") : dir.file("own" + std::to_string(t)));
            for (int i = 0; i < kScripts; ++i) {
                std::string script = "n = " + std::to_string(i) + " n * " + std::to_string(t + 1) + " + 1";
                float v = own.parseStrFloat(script);
                if (v != static_cast<float>(i * (t + 1) + 1)) ++wrong[t];
                if (i % 10 == 0) drv.setVar("shared", static_cast<float>(i));
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace

// A writer killed in the middle of Utility::writeText leaves the old or the new file, never a
// truncated or mixed one; readers running alongside never see a partial file either.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/command_runner.h"
#include "support/temp_dir.h"
#include "utils/log.h"
#include "utils/utility.h"

using orvane::test::readFile;
using orvane::test::TempDir;

namespace {

std::string content(char c, size_t n) {
    std::string s(n, c);
    s.front() = '<';
    s.back() = '>';
    return s;
}

// Child body: rewrite the file forever, alternating two contents. Never returns.
[[noreturn]] void writerLoop(const std::string& path, const std::string& a, const std::string& b) {
    // The real sync would flush the host's disks on every pass; the fake only counts.
    reset_log_levels_for_test();
    static orvane::platform::RecordingCommandRunner fake;
    orvane::platform::CommandRunner::setForTest(&fake);
    auto huge = std::make_unique<fss::stringHuge>();
    for (unsigned i = 0;; ++i) {
        const std::string& s = (i & 1) ? b : a;
        if (i % 3 == 2) {
            huge->assign(s);
            Utility::writeText(path, *huge);
        } else {
            Utility::writeText(path, s);
        }
    }
}

}  // namespace

TEST(AtomicWrite, WriterKilledMidWriteLeavesOldOrNewContent) {
    TempDir dir;
    const std::string path = dir.file("conf/parameter.json");
    const std::string oldText = content('o', 300000);
    const std::string a = content('a', 700000);
    const std::string b = content('b', 1000000);
    Utility::writeText(path, oldText);

    auto isWhole = [&](const std::string& s) { return s == oldText || s == a || s == b; };
    int torn = 0;
    int reads = 0;
    for (int round = 0; round < 12; ++round) {
        ::fflush(nullptr);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) writerLoop(path, a, b);

        // Read alongside the writer, then kill it at a varying point of its work.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20 + 7 * round);
        while (std::chrono::steady_clock::now() < until) {
            std::string s = readFile(path);
            ++reads;
            if (!isWhole(s)) ++torn;
        }
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        std::string after = readFile(path);
        ASSERT_TRUE(isWhole(after)) << "round " << round << ": file of " << after.size() << " bytes";
    }
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";

    // Temporary files of killed writers are only ever hidden siblings, never the file itself.
    for (auto& e : std::filesystem::directory_iterator(dir.file("conf"))) {
        std::string name = e.path().filename().string();
        if (name != "parameter.json") {
            EXPECT_EQ(name.rfind(".parameter.json.tmp.", 0), 0u) << name;
        }
    }
}

TEST(AtomicWrite, ConcurrentWritersOfOneFileNeverMix) {
    TempDir dir;
    orvane::platform::RecordingCommandRunner fake;
    orvane::platform::CommandRunner::setForTest(&fake);
    const std::string path = dir.file("state.json");
    std::vector<std::string> texts;
    for (int i = 0; i < 4; ++i) texts.push_back(content(static_cast<char>('a' + i), 100000 + 50000 * i));
    Utility::writeText(path, texts[0]);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            std::string s = readFile(path);
            if (std::find(texts.begin(), texts.end(), s) == texts.end()) ++torn;
        }
    });
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i)
        writers.emplace_back([&, i] {
            for (int k = 0; k < 25; ++k) Utility::writeText(path, texts[i]);
        });
    for (auto& w : writers) w.join();
    stop = true;
    reader.join();
    orvane::platform::CommandRunner::setForTest(nullptr);

    EXPECT_EQ(torn.load(), 0);
    EXPECT_NE(std::find(texts.begin(), texts.end(), readFile(path)), texts.end());
    EXPECT_EQ(fake.syncCount(), 101);
    size_t entries = std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator());
    EXPECT_EQ(entries, 1u);
}

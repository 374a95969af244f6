#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/log_throttle.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

using namespace orvane::platform;

TEST(Paths, DefaultsAndTestRoots) {
    Paths::resetForTest();
    EXPECT_EQ(Paths::install("config/recipes/parameter.json"), "/opt/kelvaworks/config/recipes/parameter.json");
    EXPECT_EQ(Paths::system("/etc/systemd/network/10-eth0.network"), "/etc/systemd/network/10-eth0.network");
    EXPECT_EQ(Paths::sysfs("class/gpio/export"), "/sys/class/gpio/export");
    EXPECT_EQ(Paths::procfs("/net/route"), "/proc/net/route");
    EXPECT_EQ(Paths::runtime("probeSock"), "/tmp/probeSock");

    Roots r;
    r.install = "/x/root";
    r.runtime = "/x/run";
    Paths::setForTest(r);
    EXPECT_EQ(Paths::install("log/scada.log"), "/x/root/log/scada.log");
    EXPECT_EQ(Paths::runtime("systemSock"), "/x/run/systemSock");
    Paths::resetForTest();
}

TEST(CommandRunner, ExitStatusesAndSignals) {
    SystemCommandRunner r;
    EXPECT_EQ(r.shell("exit 0"), 0);
    EXPECT_EQ(r.shell("exit 3"), 3);
    EXPECT_EQ(r.shell("kill -TERM $$"), 128 + SIGTERM);
    EXPECT_EQ(r.exec({"/bin/false"}), 1);
    EXPECT_EQ(r.exec({"true"}), 0);  // PATH search
    EXPECT_EQ(r.exec({"/nonexistent/program"}), -1);
    EXPECT_EQ(r.exec({}), -1);
    std::string out;
    EXPECT_EQ(r.capture({"printf", "a b\\nc"}, &out), 0);
    EXPECT_EQ(out, "a b\nc");
    EXPECT_EQ(r.capture({"printf", "0123456789"}, &out, 4), 0);
    EXPECT_EQ(out, "0123");
}

TEST(CommandRunner, ChildInheritsNoDescriptorsAndDefaultSignals) {
    // An open descriptor without close-on-exec in the parent must not reach the child.
    // A high number, so the descriptor ls opens for its own listing cannot be mistaken for it.
    int low = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 0);
    int fd = ::fcntl(low, F_DUPFD, 50);
    ::close(low);
    ASSERT_GE(fd, 50);
    SystemCommandRunner r;
    std::string out;
    EXPECT_EQ(r.capture({"/bin/sh", "-c", "ls /proc/self/fd | sort -n | tr '\\n' ' '"}, &out), 0);
    // 0,1,2 and the descriptor ls itself opens for the listing.
    EXPECT_EQ(out.find(" " + std::to_string(fd) + " "), std::string::npos) << out;

    // An ignored signal in the parent is back to default in the child.
    auto old = ::signal(SIGUSR1, SIG_IGN);
    EXPECT_EQ(r.shell("kill -USR1 $$"), 128 + SIGUSR1);
    ::signal(SIGUSR1, old);
    ::close(fd);
}

TEST(CommandRunner, RecordingFakeScriptsResults) {
    RecordingCommandRunner fake;
    fake.setScript([](const RecordingCommandRunner::Call& c) {
        RecordingCommandRunner::Result res;
        if (c.line.rfind("iptables-save", 0) == 0) res.output = "*filter\n";
        if (c.line == "systemctl restart orvane-lte") res.status = 5;
        return res;
    });
    CommandRunner::setForTest(&fake);
    EXPECT_EQ(CommandRunner::get().shell("systemctl restart orvane-lte"), 5);
    std::string out;
    EXPECT_EQ(CommandRunner::get().capture({"iptables-save"}, &out), 0);
    EXPECT_EQ(out, "*filter\n");
    CommandRunner::get().syncFs();
    CommandRunner::setForTest(nullptr);
    EXPECT_EQ(fake.lines(), (std::vector<std::string>{"systemctl restart orvane-lte", "iptables-save"}));
    EXPECT_EQ(fake.syncCount(), 1);
    EXPECT_NE(&CommandRunner::get(), &fake);
}

TEST(Clock, SimulatedClockAdvancesOnSleepAcrossThreads) {
    SimulatedClock c(1000, 5000);
    Clock::setForTest(&c);
    EXPECT_EQ(Clock::get().wallSeconds(), 1000);
    std::thread t([] { for (int i = 0; i < 100; ++i) Clock::get().sleepFor(std::chrono::milliseconds(10)); });
    for (int i = 0; i < 100; ++i) Clock::get().sleepFor(std::chrono::milliseconds(10));
    t.join();
    EXPECT_EQ(c.steadyMillis(), 5000 + 2000);
    EXPECT_EQ(c.wallSeconds(), 1002);
    EXPECT_EQ(c.sleeps().size(), 200u);
    EXPECT_EQ(c.totalSleptMillis(), 2000);
    Clock::setForTest(nullptr);
    SystemClock s;
    auto a = s.steadyMillis();
    s.sleepFor(std::chrono::milliseconds(20));
    EXPECT_GE(s.steadyMillis() - a, 20);
}

TEST(LogThrottle, FirstEventThenOneLinePerIntervalWithTheCount) {
    SimulatedClock c;
    Clock::setForTest(&c);
    LogThrottle t(std::chrono::seconds(10));
    // (ms to advance before the event, what admit answers)
    const std::pair<int, uint64_t> rows[] = {{0, 1}, {0, 0}, {4000, 0}, {5999, 0}, {1, 4}, {9999, 0}, {20000, 2}, {10000, 1}};
    for (const auto& [advance, expected] : rows) {
        c.advance(std::chrono::milliseconds(advance));
        EXPECT_EQ(t.admit(), expected) << "after " << advance << " ms";
    }
    t.admit();
    EXPECT_EQ(t.takeHeld(), 1u);
    EXPECT_EQ(t.takeHeld(), 0u);
    EXPECT_EQ(LogThrottle::note(1), "");
    EXPECT_EQ(LogThrottle::note(4), " (4 times since the last such line)");
    Clock::setForTest(nullptr);
}

// Utility::runCommandNoShell: exit statuses, signals, arguments, child hygiene.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/command_runner.h"
#include "support/temp_dir.h"
#include "utils/utility.h"

using orvane::platform::CommandRunner;
using orvane::platform::RecordingCommandRunner;
using orvane::test::TempDir;

TEST(RunCommandNoShell, ExitStatusesAndSignals) {
    EXPECT_EQ(Utility::runCommandNoShell({"true"}), 0);
    EXPECT_EQ(Utility::runCommandNoShell({"false"}), 1);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "exit 255"}), 255);
    // An exit status above 128 is not mistaken for a signal, and a signal death is -1.
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "exit 137"}), 137);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "kill -KILL $$"}), -1);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "kill -TERM $$; exit 3"}), -1);
    // Not found (by search and by path) is 127; nothing to run is -1.
    EXPECT_EQ(Utility::runCommandNoShell({"no-such-program-orvane"}), 127);
    EXPECT_EQ(Utility::runCommandNoShell({"/nonexistent/dir/prog", "a"}), 127);
    EXPECT_EQ(Utility::runCommandNoShell({}), -1);
}

TEST(RunCommandNoShell, ArgumentsReachTheProgramUnchanged) {
    TempDir dir;
    // Were a shell to see it, this name would run "touch pwned" and two "id" commands.
    const std::string name = dir.file("a; touch pwned $(id) `id` 'q' \"dq\" * > x");
    EXPECT_EQ(Utility::runCommandNoShell({"touch", name}), 0);
    EXPECT_TRUE(std::filesystem::exists(name));
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    size_t entries = std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator());
    EXPECT_EQ(entries, 1u);
    // Empty arguments stay arguments.
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "[ $# -eq 2 ] && [ -z \"$1\" ] && [ \"$2\" = 'x y' ]", "sh", "",
                                          "x y"}),
              0);
}

TEST(RunCommandNoShell, ChildGetsDefaultSignalsAndNoInheritedDescriptors) {
    // Descriptors without close-on-exec: a listening socket (as the web or Modbus port would
    // be) and a file, moved to high numbers the shell does not use itself.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    int sockFd = ::fcntl(listener, F_DUPFD, 200);
    int fileFd = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 201);
    ASSERT_GE(sockFd, 200);
    ASSERT_GE(fileFd, 201);
    const std::string probe = "for f in " + std::to_string(sockFd) + " " + std::to_string(fileFd) +
                              "; do [ -e /proc/$$/fd/$f ] && exit 10; done; exit 0";
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", probe}), 0);

    // An ignored signal in the parent is default again in the child (a shell cannot undo an
    // ignore it inherited, so an inherited ignore would let it reach "exit 3").
    auto oldTerm = ::signal(SIGTERM, SIG_IGN);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "kill -TERM $$; exit 3"}), -1);
    ::signal(SIGTERM, oldTerm);

    // A signal blocked in the calling thread is not blocked in the child.
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &old);
    EXPECT_EQ(Utility::runCommandNoShell({"sh", "-c", "kill -USR1 $$; exit 4"}), -1);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);

    ::close(listener);
    ::close(sockFd);
    ::close(fileFd);
}

TEST(RunCommandNoShell, ConcurrentCallsEachGetTheirOwnStatus) {
    std::vector<std::thread> threads;
    std::vector<int> results(8, -2);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &results] {
            int ok = 0;
            for (int k = 0; k < 5; ++k)
                ok += Utility::runCommandNoShell({"sh", "-c", "exit " + std::to_string(10 + i)}) == 10 + i;
            results[i] = ok;
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(results[i], 5) << i;
}

TEST(RunCommandNoShell, GoesThroughTheReplaceableRunner) {
    RecordingCommandRunner fake;
    fake.setScript([](const RecordingCommandRunner::Call& c) {
        RecordingCommandRunner::Result r;
        r.status = c.argv.size() > 1 && c.argv[1] == "-s" ? 5 : 0;
        return r;
    });
    CommandRunner::setForTest(&fake);
    EXPECT_EQ(Utility::runCommandNoShell({"date", "-s", "2026-01-01 00:00:00"}), 5);
    EXPECT_EQ(Utility::runCommandNoShell({"hwclock", "-w"}), 0);
    EXPECT_EQ(Utility::runCommandNoShell({}), -1);
    CommandRunner::setForTest(nullptr);
    auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, RecordingCommandRunner::Call::Kind::Exec);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"date", "-s", "2026-01-01 00:00:00"}));
    EXPECT_EQ(calls[1].line, "hwclock -w");
}

// The sandbox that whole-program tests run in keeps the program off the host: its files under
// /etc and /run, its processes and its network stay inside, while the build, the checkout and
// the test's own files stay reachable wherever they lie (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::SandboxNetwork;
using orvane::test::SandboxProcess;
using orvane::test::TempDir;
using orvane::test::waitUntil;
namespace fs = std::filesystem;

#define REQUIRE_SANDBOX() \
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root, unshare and mounts"

namespace {

// A process of the host with a name of its own, killed at the end of the test.
struct HostProcess {
    pid_t pid = -1;
    explicit HostProcess(const std::string& path) {
        pid = ::fork();
        if (pid == 0) {
            ::execl(path.c_str(), path.c_str(), "600", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~HostProcess() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
    bool alive() const { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }
};

}  // namespace

// /etc the overlay where one can be mounted, else (and when forced) a private copy of the host's.
TEST(SandboxProgram, ProgramUnderTmpWritesEtcAndRunAndKillallStaysInside) {
    REQUIRE_SANDBOX();
    const std::string tag = "orvsbx" + std::to_string(::getpid());  // also a process name
    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copy forced" : "overlay where possible");
        SandboxProcess p;
        if (copy) p.forceEtcCopyForTest();
        // The program and a file of the test lie under /tmp, outside the sandbox's folders, like a
        // checkout; /tmp inside is another.
        TempDir outside("orvane-sbx-host"), data("orvane-sbx-data");
        orvane::test::writeFile(data.file("input"), "kept\n");
        orvane::test::writeFile(p.etcFile(tag + ".conf"), "placed\n");
        p.keepReachable(data.path());
        const std::string victim = outside.file(tag);
        fs::copy_file("/bin/sleep", victim);
        fs::copy_file("/bin/sleep", p.binDir() + "/" + tag);
        HostProcess host(victim);
        ASSERT_TRUE(waitUntil([&] { return readFile("/proc/" + std::to_string(host.pid) + "/comm") == tag + "\n"; }, 30s));
        // Names, modes, owners and link targets of /etc, without the test's own files.
        const std::string list = "find /etc -maxdepth 1 -printf '%M %u %g %l %P\\n' | grep -v " + tag + " | sort";
        ASSERT_EQ(std::system((list + " > " + outside.file("host-before")).c_str()), 0);

        // Inside: write /etc and /run, then kill every process of that name twice: the first kills
        // the sandbox's own one, the second finds none (the host's is not visible).
        orvane::test::writeFile(outside.file("prog"),
            "#!/bin/sh\ncat \"$1\" /etc/" + tag + ".conf > /opt/kelvaworks/copy || exit 4\n" +
            list + " > /opt/kelvaworks/etc-list\n"
            "echo written > /etc/" + tag + " && echo run > /run/" + tag + " || exit 3\n" +
            tag + " 600 &\n"
            "i=0; until pidof " + tag + " >/dev/null || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done\n"
            "killall " + tag + "; echo first=$?\n"
            "wait\n"
            "killall " + tag + " 2>/dev/null; echo second=$?\n");
        fs::permissions(outside.file("prog"), fs::perms::owner_all);
        ASSERT_TRUE(p.start({outside.file("prog"), data.file("input")}));
        ASSERT_EQ(p.wait(120s), 0) << p.stderrText();
        EXPECT_NE(p.stdoutText().find("first=0\nsecond=1\n"), std::string::npos) << p.stdoutText() << p.stderrText();
        EXPECT_EQ(readFile(p.installFile("copy")), "kept\nplaced\n");
        const std::string overlay = "sandbox: /etc is an overlay over the host's /etc\n";
        const std::string copied = "sandbox: /etc is a private copy of the host's /etc (no overlay)\n";
        EXPECT_TRUE(p.setupLog() == copied || (!copy && p.setupLog() == overlay)) << p.setupLog();
        if (copy) { EXPECT_EQ(readFile(p.installFile("etc-list")), readFile(outside.file("host-before"))); }

        EXPECT_TRUE(host.alive());
        ASSERT_EQ(std::system((list + " > " + outside.file("host-after")).c_str()), 0);
        EXPECT_EQ(readFile(outside.file("host-after")), readFile(outside.file("host-before")));
        EXPECT_FALSE(fs::exists("/etc/" + tag));
        EXPECT_FALSE(fs::exists("/run/" + tag));
        EXPECT_EQ(readFile(p.etcFile(tag)), "written\n");
        EXPECT_EQ(readFile(p.runFile(tag)), "run\n");
    }
}

TEST(SandboxProgram, ReportsTheHostPidAndRunsCommandsInItsNamespaces) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.etcFile("orvane-sbx.conf"), "from the test\n");
    p.addStub("orvane-stub", "#!/bin/sh\necho stub \"$@\"\n");
    ASSERT_TRUE(p.start({"sleep", "600"}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "sleep\n");
    EXPECT_NE(fs::read_symlink("/proc/self/ns/pid"), fs::read_symlink("/proc/" + std::to_string(pid) + "/ns/pid"));

    // Inside: the file put under /etc, the stub first on PATH, only the sandbox's processes.
    std::string out;
    EXPECT_EQ(p.runInside({"cat", "/etc/orvane-sbx.conf"}, &out), 0);
    EXPECT_EQ(out, "from the test\n");
    EXPECT_EQ(p.runInside({"sh", "-c", "PATH=/run/sandbox-bin:$PATH orvane-stub a b"}, &out), 0);
    EXPECT_EQ(out, "stub a b\n");
    // The program's pid inside is the last one of its NSpid line on the host.
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    auto line = status.substr(status.find("NSpid:"));
    line = line.substr(0, line.find('\n') + 1);
    EXPECT_EQ(p.runInside({"pidof", "sleep"}, &out), 0);
    EXPECT_EQ(out, line.substr(line.find_last_of(" \t") + 1));

    // A listener made by a test thread in the sandbox's network is reached from a command run
    // there, and not from the host.
    int listener = -1;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    {
        SandboxNetwork net(p);
        ASSERT_TRUE(net.ok());
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    std::thread server([&] {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        char buf[1024];
        [[maybe_unused]] ssize_t n = ::recv(c, buf, sizeof buf, 0);
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\ninside";
        [[maybe_unused]] ssize_t w = ::send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        ::close(c);
    });
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    EXPECT_EQ(p.runInNetwork({"curl", "-s", "--max-time", "60", url}, &out), 0);
    EXPECT_EQ(out, "inside");
    server.join();
    ::close(listener);
    int host = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_NE(::connect(host, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(host);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 128 + SIGTERM);
}

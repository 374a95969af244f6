// The cloud publisher and the gateway service with fakes; the process check against real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <utility>

#include "cloud_daemon/domain/interfaces/i_cloud_sender.h"
#include "cloud_daemon/domain/interfaces/i_data_collector.h"
#include "cloud_daemon/domain/interfaces/i_system_sender.h"
#include "cloud_daemon/domain/service/cloud_publisher.h"
#include "cloud_daemon/domain/service/gateway_service.h"
#include "platform/paths.h"
#include "recording_logger.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

namespace entities = cloud_daemon::domain::entities;
namespace interfaces = cloud_daemon::domain::interfaces;
using cloud_daemon::domain::entities::ForwardEntry;
using cloud_daemon::domain::entities::SysSetting;
using cloud_daemon::domain::service::app_type_code;
using cloud_daemon::domain::service::CloudPublisher;
using cloud_daemon::domain::service::GatewayService;
using cloud_daemon::domain::service::ssh_port_from_serial;
using orvane::platform::RecordingCommandRunner;
using orvane::platform::SimulatedClock;
using namespace std::chrono_literals;

namespace {

struct FakeCollector : interfaces::IDataCollector {
    int scan() override {
        ++scans;
        return scanError ? throw std::runtime_error(kRefused) : 0;
    }
    int get_data(uint32_t start, uint32_t span, uint32_t interval) override {
        history.emplace_back(start, span, interval);
        return historyError ? throw std::runtime_error(kRefused) : 0;
    }
    static constexpr const char* kRefused = "Error connecting to UNIX socket at /tmp/probeSock: refused";
    std::string livedata_string(uint32_t, const std::string& sn) override {
        ++documents;
        return "{\"data\":[" + std::to_string(documents) + "],\"sn\":\"" + sn + "\"}";
    }
    std::string alarm_string(uint32_t, const std::string&) override { return std::exchange(alarm, {}); }
    uint32_t last_timestamp() override { return lastTimestamp; }
    entities::CellularSnapshot lte_information() override { return snapshot; }

    int scans = 0;
    int documents = 0;
    bool scanError = false;
    bool historyError = false;
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> history;
    std::string alarm;
    uint32_t lastTimestamp = 0;
    entities::CellularSnapshot snapshot;
};

struct FakeSystemSender : interfaces::ISystemSender {
    int send_system_update(entities::SystemUpgradeMethod m, const std::string& file) override {
        orders.emplace_back(static_cast<int>(m), file);
        return 0;
    }
    std::vector<std::pair<int, std::string>> orders;
};

struct FakeLink : interfaces::ICloudSender {
    bool is_connected() override { return up; }
    std::string take_message() override { return std::exchange(message, {}); }
    int publish(const std::string& topic, const std::string& payload) override {
        ++attempts;
        if (publishHook) publishHook();
        if (!up) return -1;
        sent.emplace_back(topic, payload);
        return 0;
    }
    bool up = true;
    int attempts = 0;
    std::function<void()> publishHook;
    std::string message;
    std::vector<std::pair<std::string, std::string>> sent;
};

class PublisherTest : public testing::Test {
protected:
    PublisherTest() {
        settings_.dataTopic = "kelva/SN/livedata";
        settings_.alarmTopic = "kelva/SN/alarm";
        publisher_.reset(10, 60);
    }
    void passes(int n) {
        for (int i = 0; i < n; ++i) {
            clock_.advance(1s);
            publisher_.run_once(1001, "SN");
        }
    }

    SimulatedClock clock_;
    SysSetting settings_;
    FakeCollector collector_;
    FakeSystemSender system_;
    FakeLink link_;
    orvane::test::RecordingLogger log_;
    CloudPublisher publisher_{settings_, collector_, system_, link_, log_, clock_};
};

TEST_F(PublisherTest, SixScansAndOneUploadAMinuteAndScanErrorsAreLogged) {
    passes(60);
    EXPECT_EQ(collector_.scans, 6);
    ASSERT_EQ(link_.sent.size(), 1u);
    EXPECT_EQ(link_.sent[0], (std::pair<std::string, std::string>{"kelva/SN/livedata", R"({"data":[1],"sn":"SN"})"}));
    collector_.scanError = true;  // logged, and the next scan follows
    passes(20);
    EXPECT_EQ(collector_.scans, 8);
    EXPECT_EQ(log_.count(4, "Fail to scan devices. Error connecting to UNIX socket"), 2u);
}

TEST_F(PublisherTest, OutageOfTenMinutesIsCaughtUpInTenWindows) {
    passes(59);
    link_.up = false;
    collector_.lastTimestamp = static_cast<uint32_t>(clock_.wallSeconds()) - 5;  // the last reading received
    const uint32_t lastReading = collector_.lastTimestamp;
    passes(1);  // the upload fails: its document is held
    EXPECT_EQ(publisher_.last_data_timestamp(), lastReading);
    const int scansBefore = collector_.scans;
    collector_.lastTimestamp = 0;  // the history answers carry no cells
    passes(600);
    EXPECT_EQ(collector_.scans, scansBefore);  // no scans during the backlog
    EXPECT_EQ(collector_.documents, 1);        // one document held, not one per upload
    link_.up = true;
    passes(12);
    ASSERT_EQ(collector_.history.size(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(collector_.history[i], std::make_tuple(lastReading + 60 * static_cast<uint32_t>(i), 60u, 10u));
    EXPECT_FALSE(publisher_.pending());
    EXPECT_EQ(link_.sent.size(), 11u);  // the held document, then one per window
}

TEST_F(PublisherTest, CatchUpStartsAtTheFailedUploadWithoutAKnownReadingAndNeverAsksForAWindowTwice) {
    link_.up = false;
    passes(60);
    const uint32_t failedAt = static_cast<uint32_t>(clock_.wallSeconds());
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt);
    passes(300);
    link_.up = true;
    collector_.historyError = true;  // the gateway program is gone as well
    passes(1);
    ASSERT_EQ(collector_.history.size(), 1u);
    EXPECT_EQ(std::get<0>(collector_.history[0]), failedAt);
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt + 60);  // the window advances anyway
    EXPECT_EQ(log_.count(4, "Fail to request the readings of the outage. "), 1u);
    collector_.historyError = false;
    collector_.lastTimestamp = failedAt + 160;  // an answer ending inside its window
    passes(1);
    EXPECT_EQ(publisher_.last_data_timestamp(), failedAt + 161);
    collector_.lastTimestamp = 0;
    passes(10);
    EXPECT_EQ(log_.count(3, "Back online kelva/SN/livedata"), 1u);
    for (size_t i = 1; i < collector_.history.size(); ++i)
        EXPECT_GT(std::get<0>(collector_.history[i]), std::get<0>(collector_.history[i - 1]));
}

TEST_F(PublisherTest, WithoutUploadIntervalTheBacklogEndsOnceTheHeldDocumentIsTaken) {
    publisher_.reset(10, 0);  // an upload on every pass
    link_.up = false;
    passes(121);
    link_.up = true;
    passes(1);
    EXPECT_FALSE(publisher_.pending());
    EXPECT_TRUE(collector_.history.empty());  // no window of no length is walked
    const size_t sent = link_.sent.size();
    passes(3);
    EXPECT_EQ(link_.sent.size(), sent + 3);  // normal uploads again
}

TEST_F(PublisherTest, AlarmAndCommandsWaitWhileTheLivedataOfItsPassIsHeld) {
    collector_.alarm = R"({"sn":"SN","id":7})";
    link_.up = false;
    passes(60);
    EXPECT_EQ(collector_.alarm, R"({"sn":"SN","id":7})");  // not taken
    link_.message = R"({"Upgrade":"tftp","a.tar.gz"})";
    passes(5);
    EXPECT_TRUE(system_.orders.empty());
    link_.up = true;
    passes(3);
    EXPECT_EQ(system_.orders.size(), 1u);
    passes(60);
    ASSERT_FALSE(link_.sent.empty());
    EXPECT_EQ(link_.sent.back(), (std::pair<std::string, std::string>{"kelva/SN/alarm", R"({"sn":"SN","id":7})"}));
}

TEST_F(PublisherTest, UpgradeCommands) {
    const std::tuple<const char*, std::string, std::vector<std::pair<int, std::string>>> cases[] = {
        {"tftp", R"({"Upgrade":"tftp","a.tar.gz"})", {{3, "a.tar.gz"}}},
        {"scp with blanks", R"({ "Upgrade" : "scp" , "fw_1.2+b-3.tgz" })", {{2, "fw_1.2+b-3.tgz"}}},
        {"not the pattern", R"({"Upgrade":"tftp"})", {}},
        {"path in the name", R"({"Upgrade":"tftp","../etc/passwd"})", {}},
        {"option as name", R"({"Upgrade":"scp","-oProxyCommand=x"})", {}},
        {"over-long message", R"({"Upgrade":"tftp","a.tar.gz"})" + std::string(1100, ' '), {}},
    };
    for (const auto& [name, message, orders] : cases) {
        SCOPED_TRACE(name);
        system_.orders.clear();
        publisher_.handle_server_command(message);
        EXPECT_EQ(system_.orders, orders);
    }
    EXPECT_EQ(log_.count(4, "Refuse a command from server of 1129 bytes"), 1u);
    EXPECT_EQ(log_.count(4, "Refuse the upgrade file name: ../etc/passwd"), 1u);
    EXPECT_EQ(log_.count(3, "Get a data srv mqtt message: "), 5u);
}

constexpr const char* kSn = "GW0012345";

class GatewayTest : public testing::Test {
protected:
    GatewayTest() {
        settings_.replyTopic = "gw/reply";
        settings_.heartbeatTopic = "gw/hb";
        settings_.stateTopic = "gw/state";
        settings_.forwards = {{0, "_OrvanePro", "HTTP", 80, -1, -1, -1},
                              {1, "_SSHTunnel", "SSH", 22, 12345, -1, -1},
                              {2, "_SerialProbe", "ssh", 1077, 21077, -1, -1},
                              {3, "PLC", "Modbus TCP", 502, -1, -1, 0}};
        service_.set_random_source([] { return 4383; });
        service_.set_address_lookup([](const std::string&) { return std::string("192.168.0.1"); });
        // autossh processes as their server ports: a launch adds one, a port's kill line ends all of that port.
        runner_.setScript([this](const RecordingCommandRunner::Call& c) {
            RecordingCommandRunner::Result r;
            if (c.line.rfind("ps -aux", 0) == 0) r.status = tunnelUp_ ? 0 : 1;
            if (c.line.rfind("AUTOSSH_GATETIME=0", 0) == 0) {
                autossh_.insert(std::stoi(c.line.substr(c.line.find(" -R ") + 4)));
                if (!sshLog_.empty()) orvane::test::writeFile(GatewayService::tunnel_log_path(20100), sshLog_);
            }
            for (auto it = autossh_.begin(); it != autossh_.end();)
                it = c.line == GatewayService::kill_line(*it) ? autossh_.erase(it) : std::next(it);
            if (c.line.find("kill $") != std::string::npos) r.status = killStatus_;
            return r;
        });
    }
    std::vector<std::pair<std::string, std::string>> sentOn(const std::string& topic) const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& m : link_.sent)
            if (m.first == topic) out.push_back(m);
        return out;
    }
    const ForwardEntry& entry(int i) const { return *std::next(settings_.forwards.begin(), i); }

    orvane::test::TempDir dir_{"lte-gateway"};
    orvane::test::ScopedRoots roots_{dir_.path()};
    SimulatedClock clock_;
    RecordingCommandRunner runner_;
    SysSetting settings_;
    FakeLink link_;
    orvane::test::RecordingLogger log_;
    GatewayService service_{settings_, link_, log_, clock_, runner_};
    bool tunnelUp_ = true;
    int killStatus_ = 0;
    std::string sshLog_;
    std::multiset<int> autossh_;  // server ports of the running autossh processes
};

TEST_F(GatewayTest, DocumentsApplicationCodesAndSerialNumberPorts) {
    const cloud_daemon::domain::entities::CellularSnapshot s{
        .carrier = "CMCC", .imsi = "46000", .swver = "1.0", .uptime = 77, .rssi = -75, .rsrp = -100, .sinr = 12.5f, .rsrq = -9};
    const std::string ts = std::to_string(clock_.wallSeconds());
    EXPECT_EQ(service_.heartbeat_string(kSn, s),
              R"({"cmd":"heartbeat","sn":"GW0012345","ts":)" + ts +
                  R"(,"signal_rssi":-75.0,"signal_rsrp":-100.0,"signal_sinr":12.5,"signal_rsrq":-9.0,)"
                  R"("carrier":"CMCC","imsi":"46000","swver":"1.0","uptime":77})");
    EXPECT_EQ(service_.state_string(kSn),
              R"({"cmd":"state","ports":[{"app":"_OrvanePro","appType":1},{"app":"_SSHTunnel","appType":3},)"
              R"({"app":"_SerialProbe","appType":3},{"app":"PLC","appType":4}],"sn":"GW0012345"})");
    EXPECT_EQ(service_.reply_string("activate", kSn, "PLC", 4, 9, 20100, -1, "why"),
              R"({"app":"PLC","appType":4,"cmd":"activate","cmdid":9,"message":"why","port":20100,"sessionStart":)" +
                  ts + R"(,"sn":"GW0012345","status":"error"})");
    const std::pair<const char*, int> codes[] = {{"HTTP", 1}, {"modbus tcp", 4}, {"other", 8}, {"Ssh", 255}};
    for (const auto& [text, code] : codes) EXPECT_EQ(app_type_code(text), code) << text;
    EXPECT_EQ(ssh_port_from_serial("GW0012345", log_), 12345);
    EXPECT_EQ(ssh_port_from_serial("1234", log_), -1);
    EXPECT_EQ(log_.count(4, "Serial number 1234 is too short to derive the SSH port"), 1u);
}

// A command's fields; the values are strings, as the server sends them.
std::string command(const std::string& cmd, const std::string& app, const std::string& port,
                    const std::string& sn = kSn) {
    return "{\"cmd\": \"" + cmd + "\", \"sn\": \"" + sn + "\", \"app\": \"" + app +
           "\", \"appType\": \"4\", \"cmdid\": \"77\", \"port\": \"" + port + "\", \"x\": \"\"}";
}

TEST_F(GatewayTest, Commands) {
    // Name, message, result, texts of the one reply (none: no reply), a warning logged.
    const std::tuple<const char*, std::string, int, std::vector<std::string>, const char*> cases[] = {
        {"state", command("state", "", ""), 0, {}, ""},
        {"another serial number", command("state", "", "", "GW9"), 0, {}, "SN not matched"},
        {"ssh tunnel uses the serial number's port", command("activate", "_SSHTunnel", "20100"), 1,
         {R"("port":20100)", R"("status":"ok")", R"("message":"")"}, ""},
        {"unknown app", command("activate", "Nope", "20100"), 0,
         {R"("status":"error")", R"("message":"Invalid port configuration, server_port=20100, monitor_port=24383, local_port=-1")"},
         "Fail to connect the server port 20100 to local at -1"},
        {"deactivate", command("deactivate", "PLC", "20100"), 1, {R"("cmd":"deactivate")", R"("status":"ok")"}, ""},
        {"cmd last keeps its quote", R"({"sn":"GW0012345","app":"a","appType":"1","cmdid":"2","port":"3","cmd":"state"})",
         0, {}, "Unknow commandstate\""},
        {"number sent bare", R"({"cmd":"activate","sn":"GW0012345","port":20100,"app":"PLC","appType":"1","cmdid":"2","x":""})",
         0, {}, "Fail to analyze the gateway command: "},
        {"over-long", command("state", std::string(1100, 'a'), ""), 0, {}, "Refuse a gateway command of "},
    };
    for (const auto& [name, message, result, replyParts, logged] : cases) {
        SCOPED_TRACE(name);
        link_.sent.clear();
        log_.clear();
        EXPECT_EQ(service_.handle_command(message, kSn), result);
        const auto replies = sentOn("gw/reply");
        if (replyParts.empty()) {
            EXPECT_TRUE(replies.empty());
        } else {
            ASSERT_EQ(replies.size(), 1u);
            for (const auto& part : replyParts) EXPECT_NE(replies[0].second.find(part), std::string::npos) << part;
        }
        if (*logged) {
            EXPECT_EQ(log_.count(4, logged), 1u);
        }
    }
    EXPECT_EQ(entry(1).serverPort, 12345);
    EXPECT_EQ(entry(1).monitorPort, 24383);
    EXPECT_EQ(entry(3).serverPort, -1);
    const auto lines = runner_.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "AUTOSSH_GATETIME=0 /usr/bin/autossh -M 24383 -y -N -R 12345:localhost:22 -i ~/.ssh/id_dropbear "
                        "root@data.kelvaworks.net > " + GatewayService::tunnel_log_path(12345) + " 2>&1 &"),
              lines.end());
}

TEST_F(GatewayTest, TunnelRefusedInItsLogOrNeverConfirmedAndInvalidPorts) {
    sshLog_ = "ssh: connect to host x port 22: Connection refused\n";
    link_.publishHook = [this] { EXPECT_TRUE(autossh_.empty()) << "answered before the failed try was ended"; };
    EXPECT_EQ(service_.handle_command(command("activate", "PLC", "20100"), kSn), 0);
    link_.publishHook = nullptr;
    const auto replies = sentOn("gw/reply");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].second.find(R"("message":"Server refused the SSH connection")"), std::string::npos);
    EXPECT_EQ(clock_.sleeps(), std::vector<int64_t>{500});  // seen at the first check
    tunnelUp_ = false;  // a tunnel that never confirms
    std::string message;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(service_.launch_tunnel(20101, 24000, "192.168.0.1", 502, "t", "", &message), -1);
    EXPECT_EQ(message, "autossh process exited or no confirmation within timeout");
    EXPECT_TRUE(autossh_.empty());
    EXPECT_EQ(clock_.sleeps().size(), 31u);
    tunnelUp_ = true;  // a confirmed tunnel keeps running
    EXPECT_EQ(service_.launch_tunnel(20101, 24000, "192.168.0.1", 502, "t", "", &message), 0);
    EXPECT_EQ(autossh_, std::multiset<int>{20101});
    EXPECT_EQ(service_.launch_tunnel(0, 24000, "a", 80, "t", "", &message), -1);
    EXPECT_EQ(message, "Invalid port configuration, server_port=0, monitor_port=24000, local_port=80");
    runner_.clear();
    EXPECT_EQ(service_.deactivate_tunnel(-1), 0);
    EXPECT_TRUE(runner_.lines().empty());
    killStatus_ = 1;  // a kill that fails is still reported
    EXPECT_EQ(service_.deactivate_tunnel(20101), 0);
    EXPECT_EQ(log_.count(4, "Fail to excute: " + GatewayService::kill_line(20101)), 1u);
}

TEST_F(GatewayTest, MonitorRelaunchesTunnelsThatAreDown) {
    service_.update_forward_port("PLC", 20100, 24000);
    tunnelUp_ = false;
    service_.monitor_tunnels();
    const auto lines = runner_.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], GatewayService::kill_line(20100));
    EXPECT_EQ(lines[2], "AUTOSSH_GATETIME=0 /usr/bin/autossh -M 24000 -y -N -R 20100:192.168.0.1:502 "
                        "ubuntu@gateway.kelvaworks.net > " + GatewayService::tunnel_log_path(20100) + " 2>&1 &");
    for (const auto& l : lines) EXPECT_EQ(l.find("12345"), std::string::npos);  // no monitor port: not checked
}

TEST_F(GatewayTest, PassesSendHeartbeatAndStateAndFollowTheLink) {
    const cloud_daemon::domain::entities::CellularSnapshot s;
    service_.reset(60);
    auto pass = [&] {
        clock_.advance(1s);
        return service_.run_once(kSn, s);
    };
    EXPECT_EQ(service_.run_once(kSn, s), 0);
    EXPECT_EQ(sentOn("gw/state").size(), 1u);
    for (int i = 0; i < 60; ++i) pass();
    EXPECT_EQ(sentOn("gw/hb").size(), 2u);
    link_.message = command("deactivate", "PLC", "20100");
    EXPECT_EQ(pass(), 1);  // ports changed: the settings are saved

    link_.up = false;
    const int before = link_.attempts;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(service_.run_once(kSn, s), 0);
    EXPECT_EQ(link_.attempts - before, 3);  // a heartbeat is attempted on every pass
    link_.up = true;
    service_.run_once(kSn, s);
    EXPECT_EQ(log_.count(3, "Gateway Connected..."), 2u);
}

// A stand-in named like an autossh tunnel, and a decoy holding the port elsewhere in its arguments.
TEST(GatewayShell, ProcessCheckAndKillFindOnlyTheTunnel) {
    const int port = 40000 + ::getpid() % 20000;
    auto spawn = [](const std::string& argv0, const std::string& arg) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execlp("bash", "bash", "-c", ("exec -a '" + argv0 + "' sleep " + arg).c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    };
    const pid_t tunnel = spawn("/usr/bin/autossh -M 24000 -y -N -R " + std::to_string(port) + ":localhost:80 u@h", "300");
    const pid_t decoy = spawn("sleep-" + std::to_string(port) + ":x", "300");
    orvane::test::TempDir dir{"lte-kill"};
    orvane::test::RecordingLogger log;
    SysSetting settings;
    FakeLink link;
    GatewayService service(settings, link, log);  // the real runner
    ASSERT_TRUE(orvane::test::waitUntil([&] { return service.tunnel_running(port); }, 20s));
    EXPECT_EQ(service.deactivate_tunnel(port), 0);
    int st = 0;
    ASSERT_TRUE(orvane::test::waitUntil([&] { return ::waitpid(tunnel, &st, WNOHANG) == tunnel; }, 20s));
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_FALSE(service.tunnel_running(port));
    // Nothing left to kill: no kill runs, so nothing reaches standard error and no failure is logged.
    const int saved = ::dup(2), err = ::open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, 2);
    EXPECT_EQ(service.deactivate_tunnel(port), 0);
    ::dup2(saved, 2), ::close(err), ::close(saved);
    EXPECT_EQ(orvane::test::readFile(dir.file("stderr")), "");
    EXPECT_EQ(log.count(4, ""), 0u);
    EXPECT_EQ(::waitpid(decoy, &st, WNOHANG), 0);  // still running
    ::kill(decoy, SIGKILL);
    ::waitpid(decoy, &st, 0);
}

}  // namespace

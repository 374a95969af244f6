// Management routes, the upgrade exchange with a fake system service, release notes over HTTP.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "orvane_ipc/orvane_ipc.h"
#include "platform/local_socket.h"
#include "platform/paths.h"
#include "rest_fixture.h"
#include "scada_paths.h"
#include "support/sandbox.h"
#include "webserver/webserver.h"

namespace fs = std::filesystem;
namespace local = orvane::platform::local;
using orvane::platform::Paths;
using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::waitUntil;
using orvane::test::writeFile;
using namespace std::chrono_literals;

namespace {

const char* kNetworkFile = "[Match]\nName=eth1\n\n[Network]\nDHCP=yes\nAddress=10.1.1.1/16\nGateway=10.1.0.1\nDNS=1.1.1.1\n";

class RestSystemTest : public RestTest {
protected:
    RestAPI::Options options() override {
        RestAPI::Options o;
        o.pingProgram = dir_.file("ping.sh");
        o.upgradeStatusTimeout = 30s;  // the fake services answer: the wait ends when they do
        return o;
    }
    // The API again, with the options given.
    void remake(const RestAPI::Options& o) { api_ = std::make_unique<RestAPI>(*recipe_, *live_, *env_, *vars_, *db_, o); }
    // The API again, with the system service exchanges' own time-out.
    void productUpgradeWait() {
        RestAPI::Options o = options();
        o.upgradeStatusTimeout = RestAPI::Options{}.upgradeStatusTimeout;
        remake(o);
    }
    void SetUp() override {
        RestTest::SetUp();
        token_ = login();
    }
    std::string lanFile() const { return Paths::system("etc/systemd/network/10-eth1.network"); }
    std::string wanFile() const { return Paths::system("etc/systemd/network/10-eth0.network"); }
    void pingScript(const std::string& body) {
        writeFile(dir_.file("ping.sh"), "#!/bin/sh\n" + body + "\n");
        ::chmod(dir_.file("ping.sh").c_str(), 0755);
    }
    nlohmann::json pingOutputAtEnd() {
        EXPECT_TRUE(waitUntil([&] { return !api_->pingRunning(); }, 30s));
        EXPECT_TRUE(get("/system/ping/output", token_));
        return answer();
    }
    std::string token_;
};

}  // namespace

TEST(RestNetmask, OddMasksAndPrefixes) {
    EXPECT_EQ(RestAPI::_get_mask_size("255.0.255.0"), 8);
    EXPECT_EQ(RestAPI::_get_mask_size("garbage"), 32);
    EXPECT_EQ(RestAPI::_get_mask_string("23"), "255.255.254.0");
    EXPECT_EQ(RestAPI::_get_mask_string("x"), "");
}

TEST_F(RestSystemTest, NetworkFilesWrittenReadAndGuarded) {
    writeFile(lanFile(), kNetworkFile);
    for (const char* body : {R"({"ipaddr":"10.0.0.1\nDNS=6.6.6.6"})", R"({"ipaddr":"1.2.3"})",
                             R"({"gateway":"evil;reboot"})", R"({"netmask":""})"}) {
        EXPECT_EQ(put("/lan/settings", token_, body), common(1001, "Invalid address")) << body;
    }
    EXPECT_EQ(readFile(lanFile()), kNetworkFile);
    EXPECT_TRUE(runner_.lines().empty());
    EXPECT_EQ(put("/wan/settings", token_, R"({"ipmode":2,"ipaddr":"10.9.9.9"})"),
              common(1001, "Fail to apply network settings"));  // no file
    EXPECT_EQ(recipe_->recipe.wan.ipaddr, "192.168.10.110");
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));

    EXPECT_EQ(put("/lan/settings", token_, R"({"enable":false})"), common(200, "OK"));
    EXPECT_EQ(readFile(lanFile()), "[Match]\nName=eth1\n\n[Network]\n#DHCP=yes\nAddress=192.168.0.1/24\n"
                                   "Gateway=192.168.0.1\nDNS=8.8.8.8\n");
    EXPECT_EQ(runner_.lines(), std::vector<std::string>{"systemctl restart systemd-networkd"});

    writeFile(wanFile(), "[Network]\nDHCP=no\nAddress=10.1.1.1/16\nGateway=10.1.0.1\nDNS=1.1.1.1\n");
    EXPECT_EQ(put("/wan/settings", token_, R"({"ipmode":1})"), common(200, "OK"));
    EXPECT_EQ(readFile(wanFile()), "[Network]\nDHCP=yes\n#Address=10.1.1.1/16\n#Gateway=10.1.0.1\n#DNS=1.1.1.1\n");
    writeFile(wanFile(), "[Network]\nDHCP=no\nAddress=10.3.3.3/255\nGateway=10.3.0.1\nDNS=9.9.9.9\nDNS=9.9.9.8\n");
    ASSERT_TRUE(get("/wan/settings", token_));
    EXPECT_EQ(answer()["netmask"], "255.255.255.255");
    EXPECT_EQ(answer()["secondaryDNS"], "9.9.9.8");
}

TEST_F(RestSystemTest, DateRefusalsAndCommands) {
    const std::string date = R"({"timestamp":"2025-02-03 04:05:06"})";
    for (const char* bad : {R"({"timestamp":"2025-02-30 10:00:00"})", R"({"timestamp":"-s 2025"})"})
        EXPECT_EQ(put("/system/datetime", token_, bad), common(1001, "Invalid timestamp format")) << bad;
    EXPECT_TRUE(runner_.lines().empty());
    EXPECT_EQ(put("/system/datetime", token_, date), common(200, "OK"));
    std::vector<std::vector<std::string>> argvs;
    for (const auto& c : runner_.calls())
        if (c.kind != RecordingCommandRunner::Call::Kind::Sync) argvs.push_back(c.argv);
    EXPECT_EQ(argvs,
              (std::vector<std::vector<std::string>>{{"/bin/date", "-s", "2025-02-03 04:05:06"}, {"hwclock", "-w"}}));

    runner_.setScript([](const RecordingCommandRunner::Call& c) {
        return RecordingCommandRunner::Result{c.argv.at(0) == "/bin/date" ? 1 : 0, ""};
    });
    EXPECT_EQ(put("/system/datetime", token_, date), common(1001, "Fail to set system datetime"));
}

TEST_F(RestSystemTest, PingCountsRefusalsStateAndExitCode) {
    pingScript("echo \"args: $*\"\nprintf 'done\\t\"q\"\\001'\nexit 3");
    EXPECT_EQ(put("/system/ping", token_, R"({"address":"10.0.0.1","count":50})"),
              "{\"code\":200,\"msg\":\"started\"}");
    auto j = pingOutputAtEnd();
    EXPECT_NE(j["output"].get<std::string>().find("args: -c 10 -W 2 -n 10.0.0.1"), std::string::npos) << j["output"];
    EXPECT_NE(out_->view().find("10.0.0.1\\r\\ndone\\t\\\"q\\\"\\u0001\""), std::string::npos) << out_->view();
    EXPECT_EQ(j["exit_code"], 3);
    for (const char* bad : {"", "10.0.0.1 -f", "$(id)"})
        EXPECT_EQ(put("/system/ping", token_, std::string("{\"address\":\"") + bad + "\"}"),
                  "{\"code\":1001,\"msg\":\"Invalid address\"}")
            << bad;
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // a ping never saves

    const std::string go = dir_.file("go");
    pingScript("while [ ! -e '" + go + "' ]; do sleep 0.05; done");
    put("/system/ping", token_, R"({"address":"host.example"})");
    EXPECT_EQ(put("/system/ping", token_, R"({"address":"host.example"})"),
              "{\"code\":1001,\"msg\":\"Ping already running\"}");
    writeFile(go, "");
    pingOutputAtEnd();
    // A chatty ping is cut and still ends.
    pingScript("head -c 100000 /dev/zero | tr '\\000' 'x'\nexit 0");
    put("/system/ping", token_, R"({"address":"127.0.0.1"})");
    EXPECT_EQ(pingOutputAtEnd()["output"].get<std::string>().size(), 8192u);
    put("/auth", "", R"({"name":"admin","password":"tup719","cmdType":0})");
    EXPECT_EQ(answer()["success"], true);
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // nor a login
}

TEST_F(RestSystemTest, SectionSettersFlagsFilesAndRestarts) {
    recipe_->checkAndConsume(0xffffffffu);
    EXPECT_EQ(put("/firewall/rule/3", token_, R"({"enable":true,"port":22})"), common(200, "OK"));
    EXPECT_TRUE(recipe_->checkAndConsume(SCADA_MASK_FIREWALL));

    recipe_->recipe.cloudServer.serverPort = 1234;
    EXPECT_EQ(put("/cloud/settings", token_, R"({"enable":false})"), common(200, "OK"));
    EXPECT_EQ(runner_.lines().back(), "systemctl restart orvane-lte");
    EXPECT_EQ(nlohmann::json::parse(readFile(scada_paths::CONFIG_FILE()))["cloudServer"]["serverPort"], 8883);
    // The system section keeps the gateway's identity and guard port; reading it is open.
    auto& sys = recipe_->recipe.system;
    sys.sn = "2459999";
    sys.name = "Plant";
    sys.guardPort = 8080;
    EXPECT_EQ(put("/system/settings", token_, R"({"enable":false,"location":"Oslo"})"), common(200, "OK"));
    EXPECT_EQ(sys.sn, "2459999");
    EXPECT_EQ(sys.name, "Orvane");
    EXPECT_EQ(sys.location, "Oslo");
    EXPECT_EQ(sys.guardPort, 8080);
    EXPECT_EQ(put("/system/settings", token_, R"({"guardPort":65536})"), common(1001, R"(\"guardPort\" out of range)"));
    EXPECT_EQ(put("/system/settings", token_, R"({"enable":false,"guardPort":8443})"), common(200, "OK"));
    EXPECT_EQ(sys.guardPort, 8443);
    clock_.setWallSeconds(1767225600 + 3661);
    ASSERT_TRUE(get("/system/settings", ""));
    EXPECT_EQ(answer()["Timestamp"], "2026-01-01 01:01:01");
}

namespace {

using nlohmann::json;

// Other values for the same keys: texts "zz", numbers moved by 7 or 7.5, booleans flipped.
json otherValues(json values) {
    for (json& v : values)
        v = v.is_string() ? json("zz") : v.is_boolean() ? json(!v.get<bool>())
            : v.is_number_integer() ? json(v.get<long long>() + 7) : json(v.get<double>() + 7.5);
    return values;
}

json orNull(float v) { return std::isnan(v) ? json(nullptr) : json(v); }

}  // namespace

// What "enable" false puts back, route by route: each listed key, first given another value, then
// holds the documented value; the keys of the last argument keep what they held.
TEST_F(RestSystemTest, EnableFalseResetsToTheDocumentedValues) {
    writeFile(lanFile(), kNetworkFile);
    writeFile(wanFile(), kNetworkFile);
    ScadaRecipeData& r = recipe_->recipe;
    r.controlloop[2] = LoopSetpointRecipeData{};
    auto check = [&](const std::string& target, const std::string& body, const auto& read, const char* expected,
                     const char* kept = "{}") {
        const std::string answer = put(target, token_, body);
        EXPECT_EQ(answer.find("1001"), std::string::npos) << target << " " << answer;
        json want = json::parse(expected), now = read();
        want.update(json::parse(kept));
        for (const auto& [key, value] : want.items()) EXPECT_EQ(now[key], value) << target << " " << key;
    };
    auto reset = [&](const std::string& target, auto& record, const char* expected, const char* kept = "{}") {
        readJsonP(record, otherValues(json::parse(expected)).dump());
        readJsonP(record, kept);
        check(target, R"({"enable":false})", [&] { return json::parse(recordText(record)); }, expected, kept);
    };
    auto takePack = [this] {
        const ProbeCmdTicket t = env_->peekProbeCmd();
        env_->clearProbeCmd(t.seq);
        return t.cmd;
    };
    reset("/lan/settings", r.lan, R"({"device":"eth1","mac":"0a:82:94:01:da:a0","ipaddr":"192.168.0.1",
          "netmask":"255.255.255.0","gateway":"192.168.0.1","enableDHCP":true})");
    reset("/wan/settings", r.wan, R"({"device":"eth0","mac":"ce:2c:ea:83:eb:4e","ipaddr":"192.168.10.110",
          "netmask":"255.255.255.0","gateway":"192.168.10.1","ipmode":0})");
    reset("/wireless/settings", r.wifi, R"({"mode":1,"interface":"wlan0","ipaddr":"172.16.0.1","gateway":"172.16.0.1",
          "ssid":"OrvanePro","key":"tarn4826","ipaddrStation":"192.168.10.115","gatewayStation":"192.168.10.1",
          "ssidStation":"kelva_ap_alpha","keyStation":"lomba=7$","security":"WPA2-PSK","band":"2.4GHz",
          "status":"connected","enable":false,"enableDHCP":true})");
    reset("/system/settings", r.system, R"({"version":"1.2.","name":"Orvane","lang":"En","location":"Shanghai",
          "timeMode":2,"timezone":8,"engUnit":1,"theme":"Light","firewallEnable":false,"portforwardingEnable":true})",
          R"({"model":"RX-9","pn":4321,"sn":"2451234","hwVer":"2.4","guardPort":8081})");
    reset("/cloud/settings", r.cloudServer, R"({"serverPort":8883,"username":"kelva","password":"Qarvo@5183",
          "dataTopic":"kelva/{sn}/livedata","alarmTopic":"kelva/{sn}/alarm","commandTopic":"kelva/{sn}/command",
          "fetchInterval":60,"uploadInterval":60,"enable":false})");
    reset("/cellular/settings", r.cellular, R"({"operatorSettings":1,"apn":"JTM2M","username":"","password":"",
          "enable":false,"billingCycleDay":1})");
    reset("/firewall/rule/4", r.firewall[3], R"({"id":4,"type":1,"enable":false,"description":"","protocol":1,
          "application":"HTTP","srcIntf":1,"destIntf":4,"port":80,"permission":1,"sourceType":2,"destType":2,
          "source":"","destination":""})");
    reset("/portforwarding/rule/2", r.portForwarding[1], R"({"id":2,"application":"Web","protocol":"http",
          "externalIntf":1,"externalPort":8080,"internalPort":80,"serverPort":-1,"monitorPort":-1,
          "internalIP":"192.168.0.10","enable":false})");
    reset("/modbusRTU/settings", r.modbusRtu, R"({"mode":1,"interface":"/dev/ttymxc3","baudrate":9600,"parity":2,
          "databits":8,"stopbit":1,"timeout":500,"sampleRate":5,"enable":false})");
    reset("/controlloop/3", std::get<LoopSetpointRecipeData>(r.controlloop[2]), R"({"mode":1,"manualOn":false,
          "enable":false,"low":0,"high":0,"upDirect":false,"deadband":0.1,"idxInput":-1,"idxOutput":-1})");
    check("/probe/calibrate", R"({"enable":false,"idxMeasure":2})", [&] {
        const auto p = std::get<CalbCmdPack>(takePack());
        return json{{"idxMeasure", p.probeId}, {"idxCal", p.idxCal}, {"solution", p.solution}};
    }, R"({"idxMeasure":2,"idxCal":0,"solution":0})");
    check("/probe/setvalue/1", R"({"enable":false,"type":8})", [&] {
        const auto p = std::get<ConfigCmdPack>(takePack());
        return json{{"idxConfig", p.param}, {"data", p.value}, {"custName", p.custName.str()}, {"newAddr", p.newAddr},
                    {"oldAddr", p.curAddr}, {"ma_4", orNull(p.mA_4)}, {"ma_20", orNull(p.mA_20)}};
    }, R"({"idxConfig":-1,"data":0,"custName":"","newAddr":-1,"oldAddr":-1,"ma_4":null,"ma_20":null})");
}

// ---- upgrade --------------------------------------------------------------------------------

namespace {

// The system service's end of its socket for one exchange: answers `reply` after `delay`.
class FakeSystemService {
public:
    explicit FakeSystemService(std::vector<uint8_t> reply, std::chrono::milliseconds delay = 0ms) {
        fs::create_directories(fs::path(scada_paths::SYSETM_MODULE_SOCKET()).parent_path());
        acceptor_.emplace(local::listen(io_, scada_paths::SYSETM_MODULE_SOCKET(), 4));
        thread_ = std::thread([this, reply, delay] {
            boost::system::error_code ec;
            auto c = local::acceptFor(*acceptor_, 30s, ec);
            uint8_t buf[256];
            if (!c || local::readFor(*c, buf, sizeof buf, 10s).status != local::ReadStatus::Data) return;
            std::this_thread::sleep_for(delay);
            local::writeAll(*c, reply.data(), reply.size());
        });
    }
    ~FakeSystemService() { thread_.join(); }

private:
    boost::asio::io_context io_;
    std::optional<local::Acceptor> acceptor_;
    std::thread thread_;
};

std::vector<uint8_t> statusFrame(float progress, uint32_t code) {
    orvane_ipc::response::SystemUpdateStatus s;
    s.progress(progress);
    s.error_code(code);
    return orvane_ipc::to_frame(s);
}

}  // namespace

TEST_F(RestSystemTest, UpgradeStatusAnswersAndBadReplies) {
    EXPECT_TRUE(get("/system/upgrade/status", token_));  // nobody listens
    EXPECT_EQ(out_->view(), common(1001, ""));

    for (auto [code, text] : {std::pair{2u, "The MD5 of file is wrong."}, {0u, "Unknown error code: 0"}}) {
        FakeSystemService service(statusFrame(42.5f, code));
        ASSERT_TRUE(get("/system/upgrade/status", token_));
        EXPECT_EQ(answer()["progress"], 42.5);
        EXPECT_EQ(answer()["error_msg"], text);
    }

    const std::vector<uint8_t> whole = statusFrame(10, 0);
    const std::pair<std::vector<uint8_t>, int> bad[] = {
        {orvane_ipc::to_frame(orvane_ipc::response::SystemUpdate{}), 404},
        {std::vector<uint8_t>(40, 0x5a), 1001},
        {std::vector<uint8_t>(whole.begin(), whole.begin() + 9), 1001},
    };
    for (const auto& [reply, code] : bad) {
        FakeSystemService service(reply);
        ASSERT_TRUE(get("/system/upgrade/status", token_));
        EXPECT_EQ(answer()["code"], code);
    }
    // The service accepts once a second: a reply a second late is still read. The wait for it is
    // real time (1.5 s), so an exchange that a loaded machine holds up past it is made again; one
    // that does not wait for a late reply misses it every time.
    productUpgradeWait();
    bool read = false;
    for (int attempt = 0; attempt < 5 && !read; ++attempt) {
        FakeSystemService slow(whole, 1000ms);
        ASSERT_TRUE(get("/system/upgrade/status", token_));
        read = answer().value("progress", -1.0) == 10;
    }
    EXPECT_TRUE(read) << out_->view();
}

// A service whose queue is full and that accepts nothing holds neither exchange: both give up.
TEST_F(RestSystemTest, UpgradeExchangesGiveUpOnAServiceThatAcceptsNothing) {
    productUpgradeWait();
    const std::string path = scada_paths::SYSETM_MODULE_SOCKET();
    fs::create_directories(fs::path(path).parent_path());
    boost::asio::io_context io;
    local::Acceptor listener = local::listen(io, path, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    std::vector<int> waiting;  // fill the queue
    for (int i = 0; i < 16; ++i) {
        const int c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(c);
            break;
        }
        waiting.push_back(c);
    }
    ASSERT_FALSE(waiting.empty());
    ASSERT_LT(waiting.size(), 16u);

    auto status = std::async(std::launch::async, [&] { return get("/system/upgrade/status", token_); });
    const bool ended = status.wait_for(60s) == std::future_status::ready;
    if (!ended) ::shutdown(listener.native_handle(), SHUT_RDWR);  // set the stuck exchange free before failing
    ASSERT_TRUE(ended) << "the status exchange waits for the service forever";
    EXPECT_TRUE(status.get());
    EXPECT_EQ(out_->view(), common(1001, ""));

    auto order = std::async(std::launch::async, [&] { return put("/system/upgrade/fw-2", token_); });
    ASSERT_EQ(order.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(order.get(), common(1001, "Fail to send the upgrade request"));
    for (int c : waiting) ::close(c);
}

TEST_F(RestSystemTest, ReleaseNotesFromAnHttpServer) {
    const std::string root = dir_.path() + "/notes/";
    writeFile(root + "release_notes.json", "{\"notes\":\"fixes\"}");
    const std::string big(1258291, 'n');  // 1.2 MiB
    writeFile(root + "big.json", big);
    WebServer server(0, 15s, nullptr);
    server.init(root);
    std::thread t([&] { server.startLoop(); });
    ASSERT_TRUE(waitUntil([&] { return server.listeningPort() != 0; }, 10s));
    recipe_->recipe.upgrade.url = "http://127.0.0.1:" + std::to_string(server.listeningPort());
    ASSERT_TRUE(get("/system/upgrade", token_));
    EXPECT_EQ(out_->view(), "{\"notes\":\"fixes\"}");
    recipe_->recipe.upgrade.notes_name = "big.json";
    ASSERT_TRUE(get("/system/upgrade", token_));
    EXPECT_EQ(out_->view(), big.substr(0, 1048576));
    server.stop();
    t.join();
    // A server that takes the connection and never answers is given up after the time-out (a
    // short one here; the fetches above had the default, room for a loaded machine).
    RestAPI::Options shortWait = options();
    shortWait.releaseNotesConnectTimeout = 2s;
    shortWait.releaseNotesTimeout = 1s;
    remake(shortWait);
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::string silentUrl = "http://127.0.0.1:" + std::to_string(silent.local_endpoint().port());
    for (const std::string& url : {silentUrl, std::string("file:///etc")}) {
        recipe_->recipe.upgrade.url = url;  // and only http and https
        ASSERT_TRUE(get("/system/upgrade", token_));
        EXPECT_EQ(out_->view(), "") << url;
    }
}

// The real orvane-scada binary, its RS-485 device pointed at the simulated probe bus through
// parameter.json ("modbusRtu" -> "interface"), polls the simulated probe: the readings reach the
// history database and the serial number reaches parameter.json. Runs inside private mount and
// network namespaces (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include <SQLiteCpp/SQLiteCpp.h>

#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"
#include "support/probe_bus_sim.h"
#include "support/probe_sim_meta.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

namespace {

// The newest 10-second history row: var0 and var1; false while there is none.
bool lastHistoryRow(const std::string& db, double& v0, double& v1) {
    try {
        if (!std::filesystem::exists(db)) return false;
        SQLite::Database d(db, SQLite::OPEN_READONLY, 1000);
        SQLite::Statement q(d, "SELECT var0, var1 FROM LogRecord10s ORDER BY id DESC LIMIT 1");
        if (!q.executeStep() || q.getColumn(0).isNull() || q.getColumn(1).isNull()) return false;
        v0 = q.getColumn(0).getDouble();
        v1 = q.getColumn(1).getDouble();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A gateway in sandbox p whose RS-485 line is sim, with the simulated PHX-200 at address 10
// (pH 7.25, 21.5 C, serial 31337) and two probe items in parameter.json, written by the
// gateway's own writer. parity: 0 none, 1 odd, 2 even (the default).
void prepareGateway(orvane::test::ProbeBusSim& sim, SandboxProcess& p, int parity = 0) {
    // Probe definitions of the install tree, and the simulated PHX-200 at address 10.
    const std::string dist = std::string(std::getenv("ORVANE_SOURCE_DIR") ? std::getenv("ORVANE_SOURCE_DIR") : ORVANE_TEST_SOURCE_DIR) + "/dist/probes";
    std::filesystem::create_directories(p.installFile("config/probes"));
    for (const auto& e : std::filesystem::directory_iterator(dist))
        std::filesystem::copy_file(e.path(), p.installFile("config/probes/" + e.path().filename().string()));
    auto meta = std::make_unique<ProbeMeta>();
    const std::string text = readFile(dist + "/ph_probe_phx200.json");
    ASSERT_TRUE(readJson(std::string_view(text), *meta));
    orvane::test::SimProbeValues values;
    values.serial = 31337;
    values.readings = {{"pH", 7.25f}, {"Temperature", 21.5f}};
    orvane::test::addSimProbe(sim, 10, *meta, values);

    // parameter.json: the line and two probe items, written by the gateway's own writer.
    {
        orvane::test::ScopedRoots roots(p.installDir());
        auto recipe = std::make_unique<RecipeDataGuard>();
        auto& r = recipe->recipe;
        r.modbusRtu.interface = sim.devicePath();
        r.modbusRtu.baudrate = 9600;
        r.modbusRtu.parity = static_cast<int16_t>(parity);
        const char* names[] = {"pH", "Temperature"};
        const char* units[] = {"pH", "C"};
        for (int i = 0; i < 2; ++i) {
            auto& it = r.sensors[static_cast<size_t>(i)];
            it.pn = 50210;
            it.name = names[i];
            it.custName = names[i];
            it.unit = units[i];
            it.displayUnit = units[i];
            it.modbusAddr = 10;
            it.enable = true;
            it.display = true;
            it.displayId = static_cast<int16_t>(i + 1);
        }
        r.resetID();
        ASSERT_TRUE(recipe->saveToJson());
    }
    ASSERT_NE(readFile(p.installFile("config/recipes/parameter.json")).find(sim.devicePath()), std::string::npos);
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SENSOR": 3, "SCADA": 2}})");
}

}  // namespace

// Readings reach the history and the configuration; started again on the bus that kept running
// (an even-parity line, which a pty cannot keep), the gateway reads again.
TEST(ProbeServiceProgram, PollsTheSimulatedBusRecordsTheReadingsAndReadsAgainAfterARestart) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (!std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "orvane-scada not built";

    orvane::test::ProbeBusSim sim;
    SandboxProcess p;
    ASSERT_NO_FATAL_FAILURE(prepareGateway(sim, p, 2));

    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return sim.requestCount(10) > 0; }, 60s)) << readFile(log) << p.stderrText();
    EXPECT_EQ(sim.lineSettings().baud, 9600);

    double v0 = 0, v1 = 0;
    const std::string db = p.installFile("runtime/orvanepro.db");
    EXPECT_TRUE(waitUntil([&] { return lastHistoryRow(db, v0, v1) && std::abs(v0 - 7.25) < 1e-4; }, 90s)) << readFile(log);
    EXPECT_NEAR(v0, 7.25, 1e-4);
    EXPECT_NEAR(v1, 21.5, 1e-4);

    // The serial number the probe reported is stored in the configuration.
    EXPECT_TRUE(waitUntil([&] { return readFile(p.installFile("config/recipes/parameter.json")).find("31337") != std::string::npos; }, 60s));

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 1) << p.stderrText();
    // The log is flushed every 3 s and at exit: read it once the program has ended.
    EXPECT_NE(readFile(log).find("read pH=7.25"), std::string::npos);

    for (int run = 2; run <= 3; ++run) {
        sim.clearFrames();
        const size_t before = readFile(log).size();
        ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY})) << run;
        ASSERT_TRUE(waitUntil([&] { return readFile(log).find("read pH=7.25", before) != std::string::npos; }, 60s))
            << "run " << run << "\n" << readFile(log) << p.stderrText();
        ASSERT_TRUE(p.signal(SIGTERM));
        ASSERT_EQ(p.wait(60s), 1) << "run " << run << "\n" << readFile(log) << p.stderrText();
    }
    EXPECT_EQ(readFile(log).find("msg:Invalid argument"), std::string::npos) << readFile(log);
}

namespace {

// curl inside the gateway's network namespace; its output ("" when it failed).
std::string curlIn(SandboxProcess& p, std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-s", "--max-time", "20", "-H", "Expect:"});
    std::string out;
    return p.runInNetwork(args, &out) == 0 ? out : std::string();
}

}  // namespace

// The road of a probe command: a span edit in the browser reaches the probe's registers over
// the RS-485 line, and the probe live data reports the command's success.
TEST(ProbeServiceProgram, SpanEditFromTheWebReachesTheProbe) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (!std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "orvane-scada not built";

    orvane::test::ProbeBusSim sim;
    SandboxProcess p;
    ASSERT_NO_FATAL_FAILURE(prepareGateway(sim, p));
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("read pH=7.25") != std::string::npos; }, 60s))
        << readFile(log) << p.stderrText();

    std::string login;
    ASSERT_TRUE(waitUntil(
        [&] {
            login = curlIn(p, {"-X", "PUT", "-d", R"({"name":"admin","password":"tup719","cmdType":0})",
                               "http://127.0.0.1/auth"});
            return !login.empty();
        },
        60s));
    const auto auth = nlohmann::json::parse(login, nullptr, false);
    ASSERT_TRUE(auth.is_object() && auth.contains("token")) << login;
    const std::string token = auth["token"].get<std::string>();

    const std::string answer = curlIn(p, {"-X", "PUT", "-H", "Authorization: " + token, "-d",
                                          R"({"mA_4":2.5,"mA_20":12})", "http://127.0.0.1/probe/settings/1"});
    EXPECT_EQ(nlohmann::json::parse(answer, nullptr, false).value("code", 0), 200) << answer;

    const auto order = orvane::test::simFloatOrderOf("CDAB");
    EXPECT_TRUE(waitUntil([&] { return std::abs(sim.getFloat(10, 43003, order) - 12.0f) < 1e-4; }, 60s))
        << readFile(log);
    EXPECT_NEAR(sim.getFloat(10, 43001, order), 2.5f, 1e-4);
    int configRet = -2;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto live = nlohmann::json::parse(curlIn(p, {"http://127.0.0.1/probe/livedata"}), nullptr, false);
            configRet = live.is_object() ? live.value("configRet", -2) : -2;
            return configRet == 1;
        },
        60s))
        << configRet << "\n" << readFile(log);
    EXPECT_NE(readFile(p.installFile("config/recipes/parameter.json")).find("\"mA_20\":12"), std::string::npos);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 1) << p.stderrText();
}

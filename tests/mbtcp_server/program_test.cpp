// The real orvane-scada in the sandbox: mbpoll reads the probe value on port 502, a client reaches the probe on 1077.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

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

TEST(ModbusServerProgram, HmiReadsTheProbeValueAndATechnicianReachesTheProbe) {
    if (!SandboxProcess::available() || !std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "needs root, unshare, orvane-scada";
    if (std::system("command -v mbpoll >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs mbpoll";
    orvane::test::ProbeBusSim sim;
    SandboxProcess p;
    const char* srcEnv = std::getenv("ORVANE_SOURCE_DIR");
    const std::string dist = std::string(srcEnv ? srcEnv : ORVANE_TEST_SOURCE_DIR) + "/dist/probes";
    std::filesystem::create_directories(p.installFile("config/probes"));
    for (const auto& e : std::filesystem::directory_iterator(dist))
        std::filesystem::copy_file(e.path(), p.installFile("config/probes/" + e.path().filename().string()));
    auto meta = std::make_unique<ProbeMeta>();
    ASSERT_TRUE(readJson(std::string_view(readFile(dist + "/ph_probe_phx200.json")), *meta));
    orvane::test::SimProbeValues values;
    values.readings = {{"pH", 7.25f}, {"Temperature", 21.5f}};
    orvane::test::addSimProbe(sim, 10, *meta, values);
    {
        orvane::test::ScopedRoots roots(p.installDir());
        auto recipe = std::make_unique<RecipeDataGuard>();
        auto& r = recipe->recipe;
        r.modbusRtu.interface = sim.devicePath(), r.modbusRtu.baudrate = 9600, r.modbusRtu.parity = 0;
        for (int i = 0; i < 2; ++i) {
            auto& it = r.sensors[static_cast<size_t>(i)];
            it.pn = 50210, it.modbusAddr = 10, it.displayId = static_cast<int16_t>(i + 1);
            it.name = i == 0 ? "pH" : "Temperature";
            it.enable = it.display = true;
        }
        r.resetID();
        ASSERT_TRUE(recipe->saveToJson());
    }
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SENSOR": 3, "MBTCP": 3}})");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return sim.requestCount(10) > 0; }, 30s)) << readFile(log) << p.stderrText();
    // The HMI: pH of probe slot 0 at 2001 (float, low word first), as holding and input registers.
    auto mbpoll = [&](const char* table) {
        std::string out;
        p.runInNetwork({"mbpoll", "-m", "tcp", "-0", "-1", "-o", "5", "-t", table, "-r", "2001", "-c", "1", "127.0.0.1"}, &out);
        return out;
    };
    std::string out;
    for (int i = 0; i < 90 && (out = mbpoll("4:float")).find("[2001]: \t7.25") == std::string::npos; ++i) std::this_thread::sleep_for(500ms);
    EXPECT_NE(out.find("[2001]: \t7.25"), std::string::npos) << out << readFile(log);
    EXPECT_NE(mbpoll("3:float").find("[2001]: \t7.25"), std::string::npos);
    // The technician: read the pH registers of address 10 through port 1077.
    const uint8_t frame[] = {0x0A, 0x03, 0x9C, 0x40, 0x00, 0x02};
    const uint16_t crc = orvane::test::modbusCrc16(frame, sizeof frame);
    std::string request, hex;
    for (uint8_t b : frame) request += fmt::format("\\x{:02x}", b);
    request += fmt::format("\\x{:02x}\\x{:02x}", crc & 0xFF, crc >> 8);
    p.runInNetwork({"bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/1077 && printf '" + request + "' >&3 && timeout 60 head -c 9 <&3 | od -An -v -tx1"}, &hex);
    std::vector<uint8_t> reply;
    std::istringstream in(hex);
    for (unsigned v; in >> std::hex >> v;) reply.push_back(static_cast<uint8_t>(v));
    ASSERT_EQ(reply.size(), 9u) << hex << readFile(log) << p.stdoutText();
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 3), (std::vector<uint8_t>{0x0A, 0x03, 0x04}));
    EXPECT_EQ(orvane::test::modbusCrc16(reply.data(), 7), reply[7] | (reply[8] << 8));
    EXPECT_NE(p.stdoutText().find("===> 0xA 0x3 0x9C 0x40"), std::string::npos);
    // Once the line is back the probe service polls again.
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("The sensor connections are started.") != std::string::npos; }, 60s))
        << readFile(log);
    const size_t afterTakeBack = sim.requestCount(10);
    EXPECT_TRUE(waitUntil([&] { return sim.requestCount(10) > afterTakeBack; }, 60s)) << readFile(log);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 1) << p.stderrText();
}

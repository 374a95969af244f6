// The real orvane-scada in the sandbox polls a libmodbus controller; the value reaches the history database.
#include <gtest/gtest.h>

#include <signal.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include <SQLiteCpp/SQLiteCpp.h>

#include "modbus_peer.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::ModbusPeer;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

namespace {

constexpr int kControllerPort = 1502;

bool lastHistoryValue(const std::string& db, double& v) try {
    if (!std::filesystem::exists(db)) return false;
    SQLite::Database d(db, SQLite::OPEN_READONLY, 1000);
    SQLite::Statement q(d, "SELECT var0 FROM LogRecord10s ORDER BY id DESC LIMIT 1");
    if (!q.executeStep() || q.getColumn(0).isNull()) return false;
    v = q.getColumn(0).getDouble();
    return true;
} catch (const std::exception&) {
    return false;
}

}  // namespace

TEST(MbtcpProgram, ControllerValueReachesTheHistory) {
    if (!SandboxProcess::available() || !std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "needs root, unshare, orvane-scada";
    SandboxProcess p;
    {
        orvane::test::ScopedRoots roots(p.installDir());
        auto recipe = std::make_unique<RecipeDataGuard>();
        auto& c = recipe->recipe.mbTcpClient[0];
        c.enable = c.inputs[0].enable = true;
        c.communication = 2, c.brand = "Acme", c.name = "Tank", c.serverIP = "127.0.0.1", c.serverPort = kControllerPort, c.byteOrder = "ABCD";
        c.inputs[0].regAddr = 10, c.inputs[0].dataType = "FLOAT", c.inputs[0].custName = "Level";
        recipe->recipe.resetID();
        ASSERT_TRUE(recipe->saveToJson());
    }
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"MBTCP": 3, "SCADA": 2}})");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    std::unique_ptr<ModbusPeer> peer;
    {
        orvane::test::SandboxNetwork net(p);  // the controller listens inside the program's network namespace
        ASSERT_TRUE(net.ok());
        peer = std::make_unique<ModbusPeer>(kControllerPort);
    }
    peer->setFloatABCD(10, 3.75f);
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return peer->count(3, 10) > 0; }, 30s)) << readFile(log) << p.stderrText();
    double v = 0;
    const std::string db = p.installFile("runtime/orvanepro.db");
    EXPECT_TRUE(waitUntil([&] { return lastHistoryValue(db, v) && std::abs(v - 3.75) < 1e-6; }, 45s)) << readFile(log);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 1) << p.stderrText();
}

// The real orvane-scada binary in the sandbox, with no radio on the machine.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/sandbox.h"
#include "support/temp_dir.h"

using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
using namespace std::chrono_literals;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

TEST(LoraProgram, WithoutARadioLogsServesAndStopsOnSigterm) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SCADA": 3, "LORA": 3}})");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("Open SPI device[/dev/spidev0.0] failed") != std::string::npos; }, 30s))
        << readFile(log) << p.stderrText();
    // Still serving: the supervisor sees its guard port and the LoRa loop keeps passing.
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("check whether port 80 is in use:true") != std::string::npos; }, 30s))
        << readFile(log);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 1) << p.stderrText();
    EXPECT_NE(readFile(log).find("Core::init() exit"), std::string::npos);
}

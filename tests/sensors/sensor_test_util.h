#pragma once
// Helpers shared by the sensors tests: log capture, a bus fixture with the simulated probe bus and
// a real RtuMaster, and definition texts.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "support/probe_bus_sim.h"
#include "support/probe_sim_meta.h"
#include "sensors/probe_meta.h"
#include "sensors/rtu_master.h"
#include "support/temp_dir.h"
#include "utils/log.h"

namespace sensors_test {

// Register layout of a float written by the master (libmodbus's DCBA setter as packaged).
inline constexpr orvane::test::SimFloatOrder kWrittenFloatOrder = orvane::test::SimFloatOrder::CDAB;

// Captures the spdlog lines of the SENSOR module (information level) while alive.
class LogCapture {
public:
    LogCapture() {
        previous_ = spdlog::default_logger();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out_);
        sink->set_pattern("%v");
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
        spdlog::default_logger()->set_level(spdlog::level::trace);
        set_log_level_for_test(LogModule::SENSOR, 3);
    }
    ~LogCapture() {
        reset_log_levels_for_test();
        spdlog::set_default_logger(previous_);
    }
    std::string text() const { return out_.str(); }
    size_t count(const std::string& needle) const {
        std::string t = out_.str();
        size_t n = 0;
        for (size_t p = t.find(needle); p != std::string::npos; p = t.find(needle, p + 1)) ++n;
        return n;
    }

private:
    std::ostringstream out_;
    std::shared_ptr<spdlog::logger> previous_;
};

// A definition from text (heap: the record is large).
inline std::unique_ptr<ProbeMeta> parseMeta(const std::string& text) {
    auto m = std::make_unique<ProbeMeta>();
    readJson(std::string_view(text), *m);
    return m;
}

inline std::string sourceFile(const std::string& rel) {
    const char* root = std::getenv("ORVANE_SOURCE_DIR");
    return std::string(root ? root : ".") + "/" + rel;
}

inline std::unique_ptr<ProbeMeta> distMeta(const std::string& file) {
    return parseMeta(orvane::test::readFile(sourceFile("dist/probes/" + file)));
}

// Simulated time for pauses, a simulated bus and a master opened on it (9600 8E1).
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::platform::Clock::setForTest(&clock_);
        gRetryMaxNum = 3;
        gDataFmt.clear();
        ASSERT_TRUE(master_.init(bus_.devicePath(), 9600, 'E', 500));
    }
    void TearDown() override {
        master_.closeSerial();
        orvane::platform::Clock::setForTest(nullptr);
        gRetryMaxNum = 5;
        gDataFmt.clear();
    }

    orvane::platform::SimulatedClock clock_;
    orvane::test::ProbeBusSim bus_;
    RtuMaster master_;
};

}  // namespace sensors_test

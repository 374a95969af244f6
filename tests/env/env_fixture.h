#pragma once
// Shared set-up of the operational-state tests: a private install root, a simulated clock, a
// recording command runner and log capture.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>

#include "env/env_guard.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/paths.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "utils/log.h"

class EnvTest : public ::testing::Test {
protected:
    void SetUp() override {
        roots_ = std::make_unique<orvane::test::ScopedRoots>(dir_.path());
        orvane::platform::Clock::setForTest(&clock_);
        orvane::platform::CommandRunner::setForTest(&runner_);
        previousLogger_ = spdlog::default_logger();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("env-test", sink));
        spdlog::default_logger()->set_level(spdlog::level::trace);
        reset_log_levels_for_test();
        for (LogModule m : {LogModule::SCADA, LogModule::WEB, LogModule::SENSOR}) {
            set_log_level_for_test(m, static_cast<int>(LogLevel::INFO));
        }
    }
    void TearDown() override {
        reset_log_levels_for_test();
        spdlog::set_default_logger(previousLogger_);
        orvane::platform::CommandRunner::setForTest(nullptr);
        orvane::platform::Clock::setForTest(nullptr);
        roots_.reset();
    }

    static EnvGuard::Options fastOptions() {
        EnvGuard::Options o;
        o.bcryptCost = 4;
        return o;
    }
    std::unique_ptr<EnvGuard> makeEnv() { return std::make_unique<EnvGuard>(fastOptions()); }

    std::string opdataPath() const { return dir_.path() + "/runtime/opdata.json"; }
    std::string probeDir() const { return dir_.path() + "/config/probes/"; }
    std::string logText() {
        spdlog::default_logger()->flush();
        return log_.str();
    }

    orvane::test::TempDir dir_{"orvane-env"};
    std::unique_ptr<orvane::test::ScopedRoots> roots_;
    orvane::platform::SimulatedClock clock_;
    orvane::platform::RecordingCommandRunner runner_;
    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> previousLogger_;
};

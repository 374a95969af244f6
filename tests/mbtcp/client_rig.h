#pragma once
// The controller client over real stores, a simulated clock and private platform roots.
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>

#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/mbtcp_client.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "utils/log.h"

namespace orvane::test {

// Captures the MBTCP log lines (information level and up) while alive.
struct MbtcpLogCapture {
    std::ostringstream out;
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
    MbtcpLogCapture() {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
        sink->set_pattern("%v");
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
        spdlog::default_logger()->set_level(spdlog::level::trace);
        set_log_level_for_test(LogModule::MBTCP, 3);
    }
    ~MbtcpLogCapture() { reset_log_levels_for_test(), spdlog::set_default_logger(previous); }
    size_t count(const std::string& needle) const {
        const std::string t = out.str();
        size_t n = 0;
        for (size_t p = 0; (p = t.find(needle, p)) != std::string::npos; ++p) ++n;
        return n;
    }
};

struct ClientRig {
    TempDir dir{"orvane-mbtcp"};
    ScopedRoots roots{dir.path()};
    platform::SimulatedClock clock;
    std::unique_ptr<RecipeDataGuard> recipe = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live = std::make_unique<LiveDataGuard>();
    std::unique_ptr<VarEngine> vars = std::make_unique<VarEngine>();
    std::unique_ptr<MBTCPClient> client;

    ClientRig() {
        platform::Clock::setForTest(&clock);
        for (int c = 0; c < kMBTcpClientCount; ++c) recipe->recipe.mbTcpClient[c].id = static_cast<int16_t>(c + 1);
        client = std::make_unique<MBTCPClient>(*recipe, *live, *vars);
        // The peers in these tests always answer: a loaded machine may only make them late.
        client->setResponseTimeoutForTest(std::chrono::seconds(30));
    }
    ~ClientRig() { client.reset(), platform::Clock::setForTest(nullptr); }

    MBTcpClientItem& item(int c) { return recipe->recipe.mbTcpClient[c]; }
    // Client c as an enabled Modbus TCP controller on loopback.
    MBTcpClientItem& modbus(int c, int port, const char* order = "ABCD", const char* brand = "Acme") {
        auto& it = item(c);
        it.enable = true, it.communication = 2, it.serverIP = "127.0.0.1", it.serverPort = port;
        it.byteOrder = order, it.brand = brand, it.name = "Ctl";
        return it;
    }
    // Input `id` (1..128) at regAddr of the given type.
    MBTcpClientInputItem& input(int c, int id, int regAddr, const char* type, const char* name = "v") {
        auto& in = item(c).inputs[id - 1];
        in.id = static_cast<int16_t>(id), in.enable = true, in.regAddr = regAddr, in.dataType = type, in.custName = name;
        return in;
    }

    const ControllerBlock& in(int c) const { return client->working().inputs[c]; }
    float value(int c, int id) const { return in(c).values[id - 1]; }
    std::unique_ptr<ControllerLiveData> published() {
        std::lock_guard lk(live->mutex());
        return std::make_unique<ControllerLiveData>(live->data().controller);
    }
};

}  // namespace orvane::test

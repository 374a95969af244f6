// Fuzz target of the REST API against real stores in a temporary install root. Input: a mode
// byte (bit 0: PUT, bit 1: with a valid token), the target up to the first newline, the body.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "database/database.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "webserver/rest_api.h"

namespace {

struct World {
    World() {
        // Nothing leaves the process: commands recorded, pauses simulated, the notes port closed.
        orvane::platform::CommandRunner::setForTest(&runner);
        orvane::platform::Clock::setForTest(&clock);
        recipe = std::make_unique<RecipeDataGuard>();
        recipe->recipe.upgrade.url = "http://127.0.0.1:1";
        live = std::make_unique<LiveDataGuard>(recipe.get());
        EnvGuard::Options eo;
        eo.bcryptCost = 4;
        env = std::make_unique<EnvGuard>(*recipe, eo);
        vars = std::make_unique<VarEngine>();
        db = std::make_unique<DatabaseProxy>(DatabaseOptions{dir.path() + "/runtime/fuzz.db", ""});
        RestAPI::Options options;
        options.pingProgram = "true";
        options.upgradeStatusTimeout = std::chrono::milliseconds(10);
        options.releaseNotesConnectTimeout = options.releaseNotesTimeout = std::chrono::milliseconds(200);
        api = std::make_unique<RestAPI>(*recipe, *live, *env, *vars, *db, options);
        out = std::make_unique<fss::stringHuge>();
        token = env->addNewToken(ROLE_ADMIN)->token.str();
    }
    orvane::test::TempDir dir{"orvane-rest-fuzz"};  // under $TMPDIR
    orvane::test::ScopedRoots roots{dir.path()};
    orvane::platform::RecordingCommandRunner runner;
    orvane::platform::SimulatedClock clock;
    std::unique_ptr<RecipeDataGuard> recipe;
    std::unique_ptr<LiveDataGuard> live;
    std::unique_ptr<EnvGuard> env;
    std::unique_ptr<VarEngine> vars;
    std::unique_ptr<DatabaseProxy> db;
    std::unique_ptr<RestAPI> api;
    std::unique_ptr<fss::stringHuge> out;
    std::string token;
};

World& world() {
    static World* w = new World();  // lives until the process ends
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& w = world();
    w.runner.clear();
    const uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t nl = rest.find('\n');
    const std::string target(rest.substr(0, nl));
    const std::string body(nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1));
    const std::string token = (mode & 2) ? w.token : std::string(body.substr(0, 80));

    const RouteKey key = parseTarget(target);
    if (key.pattern.size() > 64) __builtin_trap();
    if (mode & 1) {
        w.api->handlePut(target, body, token, *w.out);
        w.api->handlePostPut(target, *w.out);
    } else {
        w.api->handlePreGet(target);
        w.api->handleGet(target, body, token, *w.out);
    }
    if (w.out->size() > static_cast<uint32_t>(RestAPI::kAnswerRoom) || w.out->view().size() != w.out->size())
        __builtin_trap();
    if (auto form = parseFormData(body))  // the file part lies inside the body, whatever the route
        if (form->first.data() < body.data() || form->first.data() + form->first.size() > body.data() + body.size())
            __builtin_trap();
    return 0;
}

// Components that reach the operational state through the owner's accessor find the fuzz world's.
EnvGuard& EnvGuard::getInstance() { return *world().env; }

#pragma once
// A REST API over real stores in a private install root, a simulated clock, a recording runner.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <string>

#include "database/database.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "webserver/rest_api.h"

class RestTest : public ::testing::Test {
protected:
    void SetUp() override {
        recipe_ = std::make_unique<RecipeDataGuard>();
        live_ = std::make_unique<LiveDataGuard>(recipe_.get());
        EnvGuard::Options eo;
        eo.bcryptCost = 4;
        env_ = std::make_unique<EnvGuard>(*recipe_, eo);
        vars_ = std::make_unique<VarEngine>();
        db_ = std::make_unique<DatabaseProxy>(DatabaseOptions{dir_.path() + "/runtime/test.db", ""});
        api_ = std::make_unique<RestAPI>(*recipe_, *live_, *env_, *vars_, *db_, options());
    }
    virtual RestAPI::Options options() { return {}; }

    std::string login() { return env_->addNewToken(ROLE_ADMIN)->token.str(); }
    bool get(const std::string& target, const std::string& token, const std::string& body = "") {
        return api_->handleGet(target, body, token, *out_);
    }
    std::string put(const std::string& target, const std::string& token, const std::string& body = "") {
        api_->handlePut(target, body, token, *out_);
        api_->handlePostPut(target, *out_);
        return out_->str();
    }
    // A record as its writer prints it.
    template <class R>
    static std::string recordText(const R& record) {
        std::string text(size_t{4} << 20, '\0');
        gIndentLevelForWriteJsonP = 0;
        const int n = writeJsonP(record, text.data(), static_cast<int>(text.size()) - 1, nullptr);
        text.resize(static_cast<size_t>(std::max(n, 0)));
        return text;
    }
    nlohmann::json answer() const { return nlohmann::json::parse(out_->view()); }
    static std::string common(int code, const std::string& msg) {
        return "{\n  \"code\":" + std::to_string(code) + ",\n  \"msg\":\"" + msg + "\"}";
    }

    // Members end in reverse order: the stores first, then the test clock and runner are unhooked.
    struct Hooks {
        Hooks(orvane::platform::Clock* clock, orvane::platform::CommandRunner* runner) {
            orvane::platform::Clock::setForTest(clock);
            orvane::platform::CommandRunner::setForTest(runner);
        }
        ~Hooks() {
            orvane::platform::Clock::setForTest(nullptr);
            orvane::platform::CommandRunner::setForTest(nullptr);
        }
    };
    orvane::test::TempDir dir_{"orvane-rest"};
    orvane::test::ScopedRoots roots_{dir_.path()};
    orvane::platform::SimulatedClock clock_;
    orvane::platform::RecordingCommandRunner runner_;
    Hooks hooks_{&clock_, &runner_};
    std::unique_ptr<RecipeDataGuard> recipe_;
    std::unique_ptr<LiveDataGuard> live_;
    std::unique_ptr<EnvGuard> env_;
    std::unique_ptr<VarEngine> vars_;
    std::unique_ptr<DatabaseProxy> db_;
    std::unique_ptr<RestAPI> api_;
    std::unique_ptr<fss::stringHuge> out_ = std::make_unique<fss::stringHuge>();
};

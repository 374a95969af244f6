// parameter.json as the cloud daemon rewrites it (re-dumped by the JSON library: sorted keys,
// 2-space indentation, its own number forms) reads back into the recipe store unchanged but for
// the ports the daemon wrote.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/command_runner.h"
#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using orvane::platform::CommandRunner;
using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

std::string documentOf(const ScadaRecipeData& r) {
    std::string buf(1048576, '\0');
    gIndentLevelForWriteJsonP = 0;
    const int n = writeJsonP(r, buf.data(), 1048574, nullptr);
    buf.resize(static_cast<size_t>(n));
    return buf;
}

TEST(DaemonRewrite, RecipeReadsBackTheDaemonsDump) {
    orvane::test::TempDir tmp{"recipe-daemon"};
    orvane::test::ScopedRoots roots(tmp.path());
    RecordingCommandRunner runner;
    CommandRunner::setForTest(&runner);

    // The gateway writes its file, with a few values whose number forms the library changes.
    auto expected = std::make_unique<RecipeDataGuard>();
    expected->recipe.portForwarding[0].enable = false;
    expected->recipe.portForwarding[1].enable = true;
    expected->recipe.portForwarding[1].id = 2;
    expected->recipe.sensors[0].alarmHigh = 12.75f;
    expected->recipe.sensors[0].mA_20 = 1e-5f;
    ASSERT_TRUE(expected->saveToJson());

    // The daemon rereads it, writes its ports and dumps the whole document back.
    const std::string original = readFile(recipeConfigFile());
    nlohmann::json doc = nlohmann::json::parse(original);
    doc["orvaneProRemote"]["gatewayServerPort"] = 12001;
    doc["orvaneProRemote"]["gatewayMonitorPort"] = 13001;
    doc["portForwarding"][1]["serverPort"] = 12003;
    doc["portForwarding"][1]["monitorPort"] = 13003;
    writeFile(recipeConfigFile(), doc.dump(2));

    // What the gateway reads from its own file, with the daemon's ports.
    writeFile(tmp.file("original.json"), original);
    expected = std::make_unique<RecipeDataGuard>();
    expected->loadWithMigration(tmp.file("original.json"));
    expected->recipe.orvaneProRemote.gatewayServerPort = 12001;
    expected->recipe.orvaneProRemote.gatewayMonitorPort = 13001;
    expected->recipe.portForwarding[1].serverPort = 12003;
    expected->recipe.portForwarding[1].monitorPort = 13003;

    auto reread = std::make_unique<RecipeDataGuard>();
    reread->loadWithMigration(recipeConfigFile());
    EXPECT_EQ(documentOf(reread->recipe), documentOf(expected->recipe));
    CommandRunner::setForTest(nullptr);
}

}  // namespace

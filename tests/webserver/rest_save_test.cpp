// parameter.json is rewritten after a PUT only when its text would change.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/atomic_file.h"
#include "rest_fixture.h"
#include "scada_paths.h"
#include "support/log_capture.h"

TEST_F(RestTest, RequestsThatChangeNothingLeaveParameterJsonAlone) {
    const std::string config = scada_paths::CONFIG_FILE();
    auto stamp = [&] {  // the file's inode and modification time
        struct stat st {};
        if (::stat(config.c_str(), &st) != 0) return std::pair<ino_t, long long>{};
        return std::pair<ino_t, long long>{st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    };
    const char* trend = R"({"type":0,"limit":10,"startTime":1,"endTime":2})";
    const struct { char before; const char *target, *body; bool rewritten; } steps[] = {  // before: removed, replaced
        {' ', "/system/settings", R"({"name":"Plant A"})", true},
        {' ', "/trendData", trend, false},
        {' ', "/auth", R"({"name":"admin","password":"tup719","cmdType":0})", false},
        {' ', "/system/settings", R"({"name":"Plant A"})", false},
        {' ', "/system/settings", R"({"name":"Plant B"})", true},
        {'-', "/trendData", trend, true},
        {'r', "/trendData", trend, true},
    };
    for (const auto& s : steps) {
        if (s.before == '-') std::filesystem::remove(config);
        if (s.before == 'r') orvane::test::writeFile(config, R"({"system":{}})");
        const auto was = stamp();
        const std::string answer = put(s.target, login(), s.body);  // a login ends the earlier token
        EXPECT_EQ(answer.find("\"code\":10"), std::string::npos) << s.target << ": " << answer;
        EXPECT_EQ(stamp() != was, s.rewritten) << s.target << " " << s.body;
    }
    EXPECT_EQ(nlohmann::json::parse(orvane::test::readFile(config))["system"]["name"], "Plant B");
}

// A save that fails (a full disk) is told: the change is in force, the answer says it was not
// stored, and one warning per interval names the file and the reason. The next save that
// succeeds stores everything in force; a query's answer is never replaced.
TEST_F(RestTest, AFailedSaveIsToldAndTheNextSaveStoresTheChange) {
    const std::string config = scada_paths::CONFIG_FILE();
    ASSERT_TRUE(recipe_->saveToJson());
    const std::string before = orvane::test::readFile(config);
    auto doc = nlohmann::json::parse(before);
    doc["lora"]["FREQ"] = 915000123;
    const std::string recipeUpload =
        "------b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.json\"\r\nContent-Type: "
        "application/json\r\n\r\n" + doc.dump() + "\r\n------b--\r\n";
    const std::string notStored = common(1001, std::string(RestAPI::kNotStored));
    const struct { const char *target, *note; std::string body; bool told; } rows[] = {
        {"/parameter.json", "import of the web copy", "", true},
        {"/upload", "recipe upload", recipeUpload, true},
        {"/modbusRTU/settings", "section PUT", R"({"timeout":2222})", true},
        {"/cloud/settings", "cloud settings", R"({"serverHost":"broker.plant"})", true},
        {"/trendData", "a query", R"({"type":0,"limit":10,"startTime":1,"endTime":2})", false},
    };
    {
        orvane::test::LogCapture log({{LogModule::SCADA, LogLevel::WARN}});
        orvane::platform::failReplacementsForTest(config, ENOSPC);
        for (const auto& r : rows) {
            const std::string answer = put(r.target, login(), r.body);
            EXPECT_EQ(answer == notStored, r.told) << r.note << ": " << answer;
        }
        orvane::platform::failReplacementsForTest("", 0);
        EXPECT_EQ(recipe_->recipe.lora.FREQ, 915000123);
        EXPECT_EQ(recipe_->recipe.modbusRtu.timeout, 2222);
        EXPECT_EQ(recipe_->recipe.cloudServer.serverHost.view(), "broker.plant");
        EXPECT_EQ(orvane::test::readFile(config), before);
        const auto warned = log.lines("Save of " + config + " failed");
        ASSERT_EQ(warned.size(), 1u);
        EXPECT_NE(warned[0].find(std::strerror(ENOSPC)), std::string::npos) << warned[0];
    }
    EXPECT_EQ(put("/system/settings", login(), R"({"name":"Plant C"})"), common(200, "OK"));
    const auto stored = nlohmann::json::parse(orvane::test::readFile(config));
    EXPECT_EQ(stored["lora"]["FREQ"], 915000123);
    EXPECT_EQ(stored["modbusRtu"]["timeout"], 2222);
    EXPECT_EQ(stored["cloudServer"]["serverHost"], "broker.plant");
    EXPECT_EQ(stored["system"]["name"], "Plant C");
}

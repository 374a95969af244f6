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

// A save that fails (a full disk) is told, without root: a row that handlePut saves and the
// import of the web copy answer that the change is in force until the restart; the cloud settings
// stay as stored, since orvane-lte reads only the file, and orvane-lte is not restarted; a
// query's answer stays; a save that keeps failing is warned of once per interval.
TEST_F(RestTest, AFailedSaveIsToldAndWarnedOnce) {
    const std::string config = scada_paths::CONFIG_FILE();
    ASSERT_TRUE(recipe_->saveToJson());
    const std::string before = orvane::test::readFile(config);
    const CloudServerRecipeData cloud = recipe_->recipe.cloudServer;
    const std::string inForce = common(1001, std::string(RestAPI::kNotStored));
    const std::string cloudKept = common(1001, std::string(RestAPI::kCloudNotStored));
    const struct { const char *target, *body; const std::string& answer; } rows[] = {
        {"/system/settings", R"({"name":"Basin plant"})", inForce},
        {"/parameter.json", "", inForce},
        {"/cloud/settings", R"({"serverHost":"full-disk.example","serverPort":1884})", cloudKept},
        {"/trendData", R"({"type":0,"limit":10,"startTime":1,"endTime":2})", ""},
    };
    orvane::test::LogCapture log({{LogModule::SCADA, LogLevel::WARN}});
    orvane::platform::failReplacementsForTest(config, ENOSPC);
    for (const auto& r : rows) {
        const std::string answer = put(r.target, login(), r.body);
        if (r.answer.empty()) EXPECT_EQ(answer.find("\"code\":1001"), std::string::npos) << r.target << ": " << answer;
        else EXPECT_EQ(answer, r.answer) << r.target;
    }
    orvane::platform::failReplacementsForTest("", 0);
    EXPECT_EQ(recipe_->recipe.system.name.view(), "Basin plant");
    EXPECT_EQ(recipe_->recipe.cloudServer.serverHost.view(), cloud.serverHost.view());
    EXPECT_EQ(recipe_->recipe.cloudServer.serverPort, cloud.serverPort);
    for (const std::string& line : runner_.lines()) EXPECT_EQ(line.find("orvane-lte"), std::string::npos) << line;
    EXPECT_EQ(orvane::test::readFile(config), before);
    const auto warned = log.lines("Save of " + config + " failed");
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_NE(warned[0].find(std::strerror(ENOSPC)), std::string::npos) << warned[0];
}

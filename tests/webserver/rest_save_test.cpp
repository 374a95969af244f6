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

// A save that fails (a full disk) is told where the sandboxed program test does not look: the
// import of the web copy and the cloud settings answer so, a query's answer stays, and a save
// that keeps failing is warned of once per interval.
TEST_F(RestTest, AFailedSaveIsToldAndWarnedOnce) {
    const std::string config = scada_paths::CONFIG_FILE();
    ASSERT_TRUE(recipe_->saveToJson());
    const std::string before = orvane::test::readFile(config);
    const struct { const char *target, *body; bool told; } rows[] = {
        {"/parameter.json", "", true},
        {"/cloud/settings", R"({"serverHost":"broker.plant"})", true},
        {"/trendData", R"({"type":0,"limit":10,"startTime":1,"endTime":2})", false},
    };
    orvane::test::LogCapture log({{LogModule::SCADA, LogLevel::WARN}});
    orvane::platform::failReplacementsForTest(config, ENOSPC);
    for (const auto& r : rows)
        EXPECT_EQ(put(r.target, login(), r.body) == common(1001, std::string(RestAPI::kNotStored)), r.told) << r.target;
    orvane::platform::failReplacementsForTest("", 0);
    EXPECT_EQ(recipe_->recipe.cloudServer.serverHost.view(), "broker.plant");
    EXPECT_EQ(orvane::test::readFile(config), before);
    const auto warned = log.lines("Save of " + config + " failed");
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_NE(warned[0].find(std::strerror(ENOSPC)), std::string::npos) << warned[0];
}

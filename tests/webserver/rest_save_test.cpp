// parameter.json is rewritten after a PUT only when its text would change.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <tuple>
#include <utility>

#include "rest_fixture.h"
#include "scada_paths.h"

using orvane::test::readFile;

namespace {

std::pair<ino_t, int64_t> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

}  // namespace

TEST_F(RestTest, RequestsThatChangeNothingLeaveParameterJsonAlone) {
    const std::string config = scada_paths::CONFIG_FILE();
    const char* trend = R"({"type":0,"limit":10,"startTime":1,"endTime":2})";
    const std::function<void()> removed = [&] { std::filesystem::remove(config); },
                                replaced = [&] { orvane::test::writeFile(config, R"({"system":{}})"); };
    // what, done behind the store's back, target, body, rewritten, system name the file then holds
    const std::tuple<const char*, std::function<void()>, const char*, const char*, bool, const char*> steps[] = {
        {"first settings change", nullptr, "/system/settings", R"({"name":"Plant A"})", true, "Plant A"},
        {"trend query", nullptr, "/trendData", trend, false, "Plant A"},
        {"login", nullptr, "/auth", R"({"name":"admin","password":"tup719","cmdType":0})", false, "Plant A"},
        {"same settings again", nullptr, "/system/settings", R"({"name":"Plant A"})", false, "Plant A"},
        {"settings change", nullptr, "/system/settings", R"({"name":"Plant B"})", true, "Plant B"},
        {"file removed", removed, "/trendData", trend, true, "Plant B"},
        {"file replaced by another writer", replaced, "/trendData", trend, true, "Plant B"},
    };
    for (const auto& [what, before, target, body, rewritten, storedName] : steps) {
        if (before) before();
        const auto was = stampOf(config);
        const std::string answer = put(target, login(), body);  // a login ends the earlier token
        EXPECT_EQ(answer.find("\"code\":10"), std::string::npos) << what << ": " << answer;
        EXPECT_EQ(stampOf(config) != was, rewritten) << what;
        EXPECT_EQ(nlohmann::json::parse(readFile(config))["system"]["name"], storedName) << what;
    }
}

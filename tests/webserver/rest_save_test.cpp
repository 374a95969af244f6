// parameter.json after each PUT: rewritten when the recipe's text changed (or the file is not the
// one last written), left alone when the request changed nothing.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "rest_fixture.h"
#include "scada_paths.h"

using orvane::test::readFile;

namespace {

// Identity and modification time: an atomic replacement always makes a new file.
std::pair<ino_t, int64_t> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

}  // namespace

TEST_F(RestTest, RequestsThatChangeNothingLeaveParameterJsonAlone) {
    const std::string config = scada_paths::CONFIG_FILE();
    struct Step {
        const char* what;
        std::function<void()> before;  // done behind the store's back
        const char* target;
        const char* body;
        bool rewritten;
        const char* storedName;  // system name the file holds afterwards
    };
    const char* trend = R"({"type":0,"limit":10,"startTime":1,"endTime":2})";
    const Step steps[] = {
        {"first settings change", nullptr, "/system/settings", R"({"name":"Plant A"})", true, "Plant A"},
        {"trend query", nullptr, "/trendData", trend, false, "Plant A"},
        {"login", nullptr, "/auth", R"({"name":"admin","password":"tup719","cmdType":0})", false, "Plant A"},
        {"same settings again", nullptr, "/system/settings", R"({"name":"Plant A"})", false, "Plant A"},
        {"settings change", nullptr, "/system/settings", R"({"name":"Plant B"})", true, "Plant B"},
        {"file removed", [&] { std::filesystem::remove(config); }, "/trendData", trend, true, "Plant B"},
        {"file replaced by another writer", [&] { orvane::test::writeFile(config, R"({"system":{}})"); }, "/trendData",
         trend, true, "Plant B"},
    };
    for (const Step& s : steps) {
        if (s.before) s.before();
        const auto was = stampOf(config);
        const std::string answer = put(s.target, login(), s.body);  // a login ends the earlier token
        EXPECT_EQ(answer.find("\"code\":10"), std::string::npos) << s.what << ": " << answer;
        EXPECT_EQ(stampOf(config) != was, s.rewritten) << s.what;
        EXPECT_EQ(nlohmann::json::parse(readFile(config))["system"]["name"], s.storedName) << s.what;
    }
}

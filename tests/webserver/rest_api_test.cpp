// Routing, tokens, the common answer, /parameter.json, form data and the upgrade rule.
#include <filesystem>
#include <set>
#include <stdexcept>

#include "rest_fixture.h"
#include "scada_paths.h"

namespace fs = std::filesystem;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

struct TargetCase {
    std::string target;
    std::string pattern;
    int32_t id0, id1;
    bool file;
};

}  // namespace

TEST(RestRouting, ParseTargetTable) {
    const std::string a70(70, 'a');
    const TargetCase cases[] = {
        {"/system/settings", "/system/settings", -1, -1, false},
        {"/probe/settings/3", "/probe/settings/?", 3, -1, false},
        {"/probe/settings/007", "/probe/settings/?", 7, -1, false},
        {"/controller/2/input/15", "/controller/?/input/?", 2, 15, false},
        {"/probe/settings/12abc", "/probe/settings/?", 12, -1, false},
        {"/probe/settings/-1", "/probe/settings/?", -1, -1, false},
        {"/probe/settings/ +5", "/probe/settings/?", 5, -1, false},
        {"/livedata/2147483647", "/livedata/?", 2147483647, -1, false},
        {"/livedata/-2147483648", "/livedata/?", INT32_MIN, -1, false},
        {"/livedata/2147483648", "/livedata/2147483648", -1, -1, false},
        {"//system///settings/", "/system/settings", -1, -1, false},
        {"/a/1/2/3/4/5/6", "/a/?/?/?/?/?/?", 1, 2, false},
        {"/" + a70, "/" + std::string(63, 'a'), -1, -1, false},
        {"/css/site.css", "/css/site.css", -1, -1, true},
        {"/img/1.png", "/img/?", 1, -1, true},
        {"/app.JS", "/app.JS", -1, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        RouteKey k = parseTarget(c.target);
        EXPECT_EQ(k.pattern.str(), c.pattern);
        EXPECT_EQ(k.hash, route(c.pattern));
        EXPECT_EQ(k.id0, c.id0);
        EXPECT_EQ(k.id1, c.id1);
        EXPECT_EQ(k.isFileName, c.file);
    }
    EXPECT_EQ(parseTarget("").hash, 0u);
    EXPECT_EQ(parseTarget("/").hash, 0u);
    EXPECT_EQ(parseTarget("/system/settings").hash, 0x7a1a6bf4u);
    EXPECT_EQ(parseTarget("/probe/settings/3").hash, 0x1ee06341u);
    // Only the first 64 bytes are routed: what follows is never seen.
    EXPECT_EQ(parseTarget(std::string(48, '/') + "/system/settings" + "/tail").hash, 0x7a1a6bf4u);
}

TEST(RestRouting, TableHoldsEveryCaseOnce) {
    auto [rows, n] = RestAPI::routes();
    std::set<std::pair<uint32_t, RestMethod>> seen;
    int gets = 0, puts = 0;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(seen.insert({rows[i].key, rows[i].method}).second) << rows[i].path;
        EXPECT_EQ(rows[i].key, parseTarget(rows[i].path).hash) << rows[i].path;
        (rows[i].method == RestMethod::GET ? gets : puts)++;
    }
    EXPECT_EQ(gets, 41);
    EXPECT_EQ(puts, 43);  // the Part's 42 and the array form of the controller inputs
    // The paths chosen here for keys the browser already uses.
    EXPECT_EQ(route("/probe/probeconfig/?"), 0x7f1fcbb4u);
    EXPECT_EQ(route("/probe/custommeta/?"), 0x0b347bd4u);
    EXPECT_EQ(route("/probe/addcustom"), 0x5e7ab3a4u);
    EXPECT_EQ(route("/controller/?/addoutput/?"), 0x0bfe2a7eu);
    EXPECT_EQ(route("/probe/changeAddrBatch"), 0x2798b2cbu);
    EXPECT_EQ(route("/probe/changeAddrResult"), 0xe7035eacu);
    // Saving after a case: never after these.
    for (const char* path : {"/cloud/settings", "/system/ping", "/probe/ping", "/probe/diagnose", "/probe/restore",
                             "/probe/changeaddr/?"})
        EXPECT_FALSE(RestAPI::findRoute(route(path), RestMethod::PUT)->save) << path;
    EXPECT_TRUE(RestAPI::findRoute(route("/lan/settings"), RestMethod::PUT)->save);
}

TEST(RestRouting, Whitelist) {
    for (uint32_t k : {0x5d2f44e4u, 0x7a1a6bf4u, 0x02c42e57u, 0x791efa67u, 0xca4e0c04u, 0xd7c89944u,
                       0x6eb24237u})
        EXPECT_EQ(RestAPI::_needTokenCmd(k), 0) << std::hex << k;
    EXPECT_EQ(RestAPI::_needTokenCmd(0xdaeff1e0u), 1);  // a key no path of ours produces
    for (const char* p : {"/lan/settings", "/controller/livedata", "/upload", "/system/upgrade", "/parameter.json"})
        EXPECT_EQ(RestAPI::_needTokenCmd(route(p)), 1) << p;
}

TEST(RestRouting, FormData) {
    const std::string body =
        "------b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.json\"\r\n"
        "Content-Type: application/json\r\nX-Extra: 1\r\n\r\n{\"PN\":1}\r\n------b--\r\n";
    auto r = parseFormData(body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->first, "{\"PN\":1}\r\n------b--\r\n");
    EXPECT_EQ(r->second, "application/json\r\nX-Extra: 1");
    EXPECT_FALSE(parseFormData("Content-Type: text/plain\r\nabc"));          // no end of header
    EXPECT_FALSE(parseFormData("------b\r\nContent-Disposition: x\r\n\r\nabc"));  // no type
    EXPECT_FALSE(parseFormData("a\r\n\r\nContent-Type: text/plain"));         // type in the content
    EXPECT_FALSE(parseFormData(""));
    auto empty = parseFormData("Content-Type: \r\n\r\n");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->first, "");
}

TEST(RestRouting, UpgradeNames) {
    const std::pair<std::string, bool> cases[] = {
        {"fw-1.2", true},           {"OrvanePro_1.2.3", true}, {std::string(25, 'a'), true},
        {std::string(26, 'a'), false}, {"", false},            {"-rf", false},
        {".hidden", false},         {"a..b", false},           {"a/b", false},
        {"a b", false},             {"a;reboot", false},       {"fw\n", false},
        {"\xc3\xbc", false},        {"$(id)", false},
    };
    for (const auto& [name, ok] : cases) EXPECT_EQ(validUpgradeName(name), ok) << name;
}

TEST(RestAnswer, CommonAnswerLayoutEscapingAndCut) {
    auto out = std::make_unique<fss::stringHuge>();
    std::memset(out->data(), 'x', fss::stringHuge::capacity);  // an earlier answer's leftovers
    RestAPI::_response(*out, RESPONSE_CODE::SUCCESS, "");
    EXPECT_EQ(out->view(), "{\n  \"code\":200,\n  \"msg\":\"OK\"}");
    EXPECT_EQ(out->size(), out->view().size());
    RestAPI::_response(*out, RESPONSE_CODE::NOT_FOUND, "");
    EXPECT_EQ(out->view(), "{\n  \"code\":404,\n  \"msg\":\"Not Found\"}");
    RestAPI::_response(*out, RESPONSE_CODE::FAILED, "");
    EXPECT_EQ(out->view(), "{\n  \"code\":1001,\n  \"msg\":\"\"}");
    RestAPI::_response(*out, RESPONSE_CODE::FAILED, "model \"X\\1\"");
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], "model \"X\\1\"");
    RestAPI::_response(*out, RESPONSE_CODE::FAILED, std::string(100, 'm'));
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], std::string(64, 'm'));

    RestAPI::_answer(*out, [](char*, int) { return -1; });
    EXPECT_EQ(out->view(), "{\n  \"code\":1001,\n  \"msg\":\"Answer too large\"}");
    RestAPI::_answerText(*out, std::string(RestAPI::kAnswerRoom + 1, 'a'));
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], "Answer too large");
    RestAPI::_answerText(*out, "[1]");
    EXPECT_EQ(out->view(), "[1]");
    EXPECT_EQ(out->size(), 3u);
}

// ---- through the entry points -----------------------------------------------------------------

TEST_F(RestTest, TokensGuardEveryRouteButTheWhitelist) {
    const std::string invalid = common(1002, "Invalid token");
    EXPECT_TRUE(get("/lan/settings", ""));
    EXPECT_EQ(out_->view(), invalid);
    EXPECT_TRUE(get("/no/such/route", "forged"));
    EXPECT_EQ(out_->view(), invalid);
    EXPECT_EQ(put("/unknown/route", ""), invalid);
    EXPECT_EQ(put("/system/upgrade/fw-1.2", ""), invalid);  // refused before the upgrade rule
    // Reading the system section is open, changing it is not.
    EXPECT_EQ(put("/system/settings", "", "{\"name\":\"x\"}"), invalid);
    EXPECT_FALSE(get("/system/settings/3", ""));  // whitelisted, no handler: a file name
    EXPECT_TRUE(out_->empty());
    EXPECT_FALSE(get("/css/site.css", ""));
    EXPECT_TRUE(out_->empty());
    EXPECT_EQ(put("/app.js", ""), "");  // a file name: no answer

    const std::string token = login();
    EXPECT_FALSE(get("/no/such/route", token));  // the server looks for a file
    EXPECT_EQ(put("/unknown/route", token), common(404, "Not Found"));
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // an unknown PUT is not saved
    EXPECT_EQ(put("/unknown/route", token + "x"), invalid);
    EXPECT_EQ(put("/unknown/route", std::string(5000, 'a')), invalid);  // cut to 64, no harm

    clock_.advance(std::chrono::seconds(kTokenIdleSeconds + 1));
    EXPECT_EQ(put("/unknown/route", token), invalid);
    EXPECT_EQ(env_->loggedInRole.load(), ROLE_NONE);
}

TEST_F(RestTest, UpgradeRule) {
    const std::string token = login();
    // No system service listens in this root: the order is not delivered.
    put("/system/upgrade/fw-1.2", token);
    EXPECT_EQ(answer()["code"], 1001);
    EXPECT_NE(answer()["msg"], "Invalid file name");
    for (const char* bad : {"/system/upgrade/-rf", "/system/upgrade/..%2fetc", "/system/upgrade/a/b",
                            "/system/upgrade/", "/x/system/upgrade/fw;reboot"}) {
        EXPECT_EQ(put(bad, token), common(1001, "Invalid file name")) << bad;
    }
}

TEST_F(RestTest, ParameterJsonLinkAndImport) {
    const std::string link = scada_paths::CONFIG_FILE_WEBLINK();
    ASSERT_TRUE(recipe_->saveToJson());
    api_->handlePreGet("/other.json");
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    api_->handlePreGet("/parameter.json");
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../config/recipes/parameter.json");
    EXPECT_EQ(readFile(link), readFile(scada_paths::CONFIG_FILE()));

    // The file changed by someone else: imported only after a PUT with a valid token.
    auto doc = nlohmann::json::parse(readFile(scada_paths::CONFIG_FILE()));
    doc["modbusRtu"]["baudrate"] = 19200;
    doc["system"]["name"] = "Elsewhere";
    writeFile(scada_paths::CONFIG_FILE(), doc.dump(2));
    recipe_->checkAndConsume(0xffffffffu);
    EXPECT_EQ(put("/parameter.json", "", "{\"ignored\":1}"), common(1002, "Invalid token"));
    EXPECT_EQ(recipe_->recipe.modbusRtu.baudrate, 9600);
    EXPECT_EQ(recipe_->changeWordForTest(), 0u);

    EXPECT_EQ(put("/parameter.json", login()), common(404, "Not Found"));
    EXPECT_EQ(recipe_->recipe.modbusRtu.baudrate, 19200);
    EXPECT_EQ(recipe_->recipe.system.name, "Orvane");  // the gateway's own system section stays
    EXPECT_EQ(recipe_->changeWordForTest() & SCADA_MASK_INITIAL, static_cast<uint32_t>(SCADA_MASK_INITIAL));
    EXPECT_TRUE(fs::is_symlink(link));

    // An entry that is there stays as it is.
    fs::remove(link);
    writeFile(link, "{\"mine\":1}");
    api_->handlePreGet("/parameter.json");
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(readFile(link), "{\"mine\":1}");
}

namespace {

class ThrowingRest : public RestAPI {
public:
    using RestAPI::RestAPI;

protected:
    RestHandled dispatch(const Route& row, const RestRequest& req, fss::stringHuge& out) override {
        if (std::string_view(row.path) == "/lan/settings") throw std::runtime_error("broken");
        if (std::string_view(row.path) == "/wan/settings") throw 7;
        return RestAPI::dispatch(row, req, out);
    }
};

class ThrowingRestTest : public RestTest {
    std::unique_ptr<RestAPI> makeApi() override {
        return std::make_unique<ThrowingRest>(*recipe_, *live_, *env_, *vars_, *db_);
    }
};

}  // namespace

TEST_F(ThrowingRestTest, HandlerExceptionsAnswer1001AndFreeThePutLock) {
    const std::string token = login();
    EXPECT_TRUE(get("/lan/settings", token));
    EXPECT_EQ(out_->view(), common(1001, "Internal error"));
    EXPECT_EQ(put("/lan/settings", token), common(1001, "Internal error"));
    EXPECT_EQ(put("/wan/settings", token), common(1001, "Internal error"));
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // nothing saved after a failure
    EXPECT_EQ(put("/unknown/route", token), common(404, "Not Found"));  // the PUT lock is free
}

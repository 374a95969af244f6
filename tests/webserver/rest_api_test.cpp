// Routing, tokens, the common answer, /parameter.json, form data, the upgrade rule and bodies.
#include <cmath>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "support/log_capture.h"
#include "rest_fixture.h"
#include "scada_paths.h"
#include "webserver/rest_bodies.h"

namespace fs = std::filesystem;
using nlohmann::json;
using orvane::test::readFile;
using orvane::test::writeFile;

TEST(RestRouting, TargetsAndTable) {
    struct Case { std::string target, pattern; int32_t id0, id1; bool file; };
    const Case cases[] = {
        {"/controller/2/input/15", "/controller/?/input/?", 2, 15, false},
        {"/probe/settings/12abc", "/probe/settings/?", 12, -1, false},
        {"/livedata/-2147483648", "/livedata/?", INT32_MIN, -1, false},
        {"/livedata/2147483648", "/livedata/2147483648", -1, -1, false},
        {"//system///settings/", "/system/settings", -1, -1, false},
        {"/a/1/2/3/4/5/6", "/a/?/?/?/?/?/?", 1, 2, false},
        {"/" + std::string(70, 'a'), "/" + std::string(63, 'a'), -1, -1, false},
        {"/img/1.png", "/img/?", 1, -1, true},
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
    EXPECT_EQ(parseTarget("/").hash, 0u);

    auto [rows, n] = RestAPI::routes();
    std::set<std::pair<uint32_t, RestMethod>> seen;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(seen.insert({rows[i].key, rows[i].method}).second) << rows[i].path;
        EXPECT_EQ(rows[i].key, parseTarget(rows[i].path).hash) << rows[i].path;
    }
}

TEST(RestRouting, FormDataAndUpgradeNames) {
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
    auto empty = parseFormData("Content-Type: \r\n\r\n");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->first, "");

    const std::pair<std::string, bool> names[] = {
        {"OrvanePro_1.2.3", true}, {std::string(25, 'a'), true}, {std::string(26, 'a'), false}, {"", false},
        {"-rf", false}, {".hidden", false}, {"a..b", false}, {"a;reboot", false}, {"\xc3\xbc", false}};
    for (const auto& [name, ok] : names) EXPECT_EQ(validUpgradeName(name), ok) << name;
}

TEST(RestAnswer, CommonAnswerLayoutEscapingAndCut) {
    auto out = std::make_unique<fss::stringHuge>();
    std::memset(out->data(), 'x', fss::stringHuge::capacity);  // an earlier answer's leftovers
    RestAPI::_response(*out, RESPONSE_CODE::SUCCESS, "");
    EXPECT_EQ(out->view(), "{\n  \"code\":200,\n  \"msg\":\"OK\"}");
    EXPECT_EQ(out->size(), out->view().size());
    RestAPI::_response(*out, RESPONSE_CODE::FAILED, "model \"X\\1\"");
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], "model \"X\\1\"");
    RestAPI::_response(*out, RESPONSE_CODE::FAILED, std::string(100, 'm'));
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], std::string(64, 'm'));

    RestAPI::_answer(*out, [](char*, int) { return -1; });
    EXPECT_EQ(out->view(), "{\n  \"code\":1001,\n  \"msg\":\"Answer too large\"}");
    RestAPI::_answerText(*out, std::string(RestAPI::kAnswerRoom + 1, 'a'));
    EXPECT_EQ(nlohmann::json::parse(out->view())["msg"], "Answer too large");
}

TEST_F(RestTest, TokensGuardEveryRouteButTheWhitelistAndTheUpgradeRule) {
    const std::string invalid = common(1002, "Invalid token");
    EXPECT_TRUE(get("/lan/settings", "forged"));
    EXPECT_EQ(out_->view(), invalid);
    // Reading the system section is open, changing it is not.
    EXPECT_EQ(put("/system/settings", "", "{\"name\":\"x\"}"), invalid);
    EXPECT_FALSE(get("/system/settings/3", ""));  // whitelisted, no handler: a file name
    EXPECT_TRUE(out_->empty());
    EXPECT_EQ(put("/app.js", ""), "");  // a file name: no answer

    const std::string token = login();
    EXPECT_EQ(put("/unknown/route", token), common(404, "Not Found"));
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // an unknown PUT is not saved
    EXPECT_EQ(put("/unknown/route", std::string(5000, 'a')), invalid);  // cut to 64, no harm
    // The upgrade rule; no system service listens in this root: the order is not delivered.
    put("/system/upgrade/fw-1.2", token);
    EXPECT_EQ(answer()["code"], 1001);
    EXPECT_NE(answer()["msg"], "Invalid file name");
    for (const char* bad : {"/system/upgrade/..%2fetc", "/system/upgrade/a/b", "/x/system/upgrade/fw;reboot"})
        EXPECT_EQ(put(bad, token), common(1001, "Invalid file name")) << bad;

    clock_.advance(std::chrono::seconds(kTokenIdleSeconds + 1));
    EXPECT_EQ(put("/unknown/route", token), invalid);
    EXPECT_EQ(env_->loggedInRole.load(), ROLE_NONE);
}

// The refused PUT without a token: tests/scada.
TEST_F(RestTest, ParameterJsonLinkAndImport) {
    const std::string link = scada_paths::CONFIG_FILE_WEBLINK();
    ASSERT_TRUE(recipe_->saveToJson());
    const std::string token = login();
    api_->handlePreGet("/parameter.json");  // nothing before the token check
    EXPECT_FALSE(get("/other.json", token));
    EXPECT_FALSE(api_->fileMayLeaveRoot("/other.json"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(get("/parameter.json", token));  // served as the file, which may lie elsewhere
    EXPECT_EQ(fs::read_symlink(link), "../config/recipes/parameter.json");
    EXPECT_TRUE(api_->fileMayLeaveRoot("/parameter.json"));
    EXPECT_FALSE(api_->fileMayLeaveRoot("/parameter.json"));  // once
    // The file changed by someone else: imported after a PUT with a valid token.
    auto doc = nlohmann::json::parse(readFile(scada_paths::CONFIG_FILE()));
    doc["modbusRtu"]["baudrate"] = 19200;
    writeFile(scada_paths::CONFIG_FILE(), doc.dump(2));
    recipe_->checkAndConsume(0xffffffffu);
    EXPECT_EQ(put("/parameter.json?.js", ""), common(1002, "Invalid token"));
    EXPECT_NE(recipe_->recipe.modbusRtu.baudrate, 19200);
    EXPECT_EQ(put("/parameter.json", token), common(404, "Not Found"));
    EXPECT_EQ(recipe_->recipe.modbusRtu.baudrate, 19200);
    EXPECT_EQ(recipe_->changeWordForTest() & SCADA_MASK_INITIAL, static_cast<uint32_t>(SCADA_MASK_INITIAL));
    // An entry that is there stays as it is.
    fs::remove(link);
    writeFile(link, "{\"mine\":1}");
    EXPECT_FALSE(get("/parameter.json", token));
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

template <class T>
std::string text(const T& v) {
    auto out = std::make_unique<fss::stringHuge>();
    RestAPI::_answer(*out, [&](char* dst, int room) { return writeJsonP(v, dst, room, nullptr); });
    return out->str();
}

}  // namespace

TEST_F(RestTest, HandlerExceptionsAnswer1001AndFreeThePutLock) {
    api_ = std::make_unique<ThrowingRest>(*recipe_, *live_, *env_, *vars_, *db_);
    const std::string token = login();
    EXPECT_TRUE(get("/lan/settings", token));
    EXPECT_EQ(out_->view(), common(1001, "Internal error"));
    EXPECT_EQ(put("/lan/settings", token), common(1001, "Internal error"));
    EXPECT_EQ(put("/wan/settings", token), common(1001, "Internal error"));
    EXPECT_FALSE(fs::exists(scada_paths::CONFIG_FILE()));  // nothing saved after a failure
    EXPECT_EQ(put("/unknown/route", token), common(404, "Not Found"));  // the PUT lock is free
}

// A peer that repeats refused or failing requests: one line of each kind, then after the interval
// one line that carries the count; every answer stays what it was.
TEST_F(RestTest, RepeatedRefusalsLogTheFirstLineThenOnePerIntervalWithTheCount) {
    orvane::test::LogCapture log({{LogModule::WEB, LogLevel::WARN}, {LogModule::SCADA, LogLevel::WARN}, {LogModule::SENSOR, LogLevel::WARN}});
    api_ = std::make_unique<ThrowingRest>(*recipe_, *live_, *env_, *vars_, *db_);
    const std::string token = login();
    ASSERT_EQ(put("/probe/calibrate", token, R"({"idxMeasure":1,"idxCal":1})"), "");  // the mailbox is busy now
    const struct { bool isGet; const char* target; std::string token; const char* body; } rows[] = {
        {false, "/cellular/settings", token, R"({"enable":1})"},          // "Request body refused: ..."
        {false, "/system/upgrade/..pkg", token, ""},                      // "Invalid upgrade file name ..pkg"
        {false, "/auth", "", R"({"cmdType":4})"},                         // "Hardware password reset refused ..."
        {false, "/probe/calibrate", token, R"({"idxMeasure":2})"},        // "*** probeCmd is not empty ***"
        {false, "/lan/settings", token, "{}"},                            // "handlePut /lan/settings failed: broken"
        {true, "/system/upgrade/status", token, ""},  // "Fail to connect ...", "NO Response for upgrade status."
    };
    auto send = [&](const auto& r) {
        if (!r.isGet) return put(r.target, r.token, r.body);
        get(r.target, r.token, r.body);
        return out_->str();
    };
    std::vector<std::string> answers;
    for (const auto& r : rows) {
        answers.push_back(send(r));
        for (int i = 1; i < 30; ++i) EXPECT_EQ(send(r), answers.back()) << r.target;
    }
    const std::vector<std::string> first = log.lines();
    ASSERT_EQ(first.size(), 7u) << ::testing::PrintToString(first);
    // After the interval: one more line of each kind, standing for the requests held back too.
    clock_.advance(orvane::platform::LogThrottle::kDefaultInterval);
    for (size_t k = 0; k < std::size(rows); ++k) EXPECT_EQ(send(rows[k]), answers[k]) << rows[k].target;
    const std::vector<std::string> all = log.lines();
    ASSERT_EQ(all.size(), 14u);
    for (size_t k = 0; k < first.size(); ++k)
        EXPECT_EQ(all[first.size() + k], first[k] + " (30 times since the last such line)");
}

// ---- request and answer bodies --------------------------------------------------------------

TEST(RestBodies, ReadersAndWriters) {
    ConfigCmdPack p;
    readJsonP(p, R"({"idxMeasure":3,"idxConfig":2,"data":1.5,"custName":"Tank \"A\"","type":7,
                    "newAddr":12,"oldAddr":11,"pn":50661,"ma_4":4.5,"ma_20":19})");
    EXPECT_EQ(p.custName, "Tank \"A\"");
    EXPECT_EQ(p.reserved, 50661u);
    EXPECT_FLOAT_EQ(p.mA_20, 19.0f);
    // A nested "enable" belongs to another record: nothing is reset, nested keys are not read.
    readJsonP(p, R"({"x":{"enable":false,"idxConfig":9},"data":2})");
    EXPECT_EQ(p.param, 2);

    readJsonP(p, R"({"enable":false,"idxMeasure":4})");
    EXPECT_EQ(p.probeId, 4u);
    EXPECT_EQ(p.param, -1);
    EXPECT_TRUE(p.custName.empty());
    EXPECT_TRUE(std::isnan(p.mA_4) && std::isnan(p.mA_20));

    readJsonP(p, "{\"custName\":\"" + std::string(40, 'n') + "\"}");
    EXPECT_EQ(p.custName.str(), std::string(32, 'n'));

    std::string body = "[";
    for (int i = 1; i <= 25; ++i)
        body += (i > 1 ? "," : "") + std::string("{\"modbusAddr\":") + std::to_string(i) +
                ",\"modbusAddrNew\":" + std::to_string(100 + i) + ",\"PN\":" + std::to_string(50000 + i) + "}";
    ChangeAddrBatch b;
    EXPECT_EQ(readJsonP(b, body + "]"), 20);
    EXPECT_EQ(b[19].pn, 50020);
    EXPECT_EQ(readJsonP(b, R"([{"modbusAddr":7,"modbusAddrNew":8,"PN":9}])"), 1);
    EXPECT_EQ(b[1].addr, 0);  // the rest of the batch is empty

    SystemLiveData s;
    s.Uptime = 42;
    s.CpuUsage = 2.0004f;
    s.MemUsage = 2.002f;
    s.DiskUsage = kLiveNaN;
    const std::string st = text(s);
    EXPECT_NE(st.find("\"CpuUsage\":2,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"MemUsage\":2.002000,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"DiskUsage\":null,\n"), std::string::npos) << st;
    EXPECT_EQ(st.substr(0, 14), "{\n  \"Uptime\":4");
    // A writer given too little room reports it instead of cutting the text.
    char small[16];
    EXPECT_EQ(writeJsonP(s, small, sizeof small, nullptr), -1);
}

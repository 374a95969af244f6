// Field-side REST routes over real stores in a private install root.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "rest_fixture.h"

using nlohmann::json;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

class RestFieldTest : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        token_ = login();
        recipe_->checkAndConsume(0xffffffffu);
    }
    std::string httpGet(const std::string& target) { return get(target, token_) ? out_->str() : ""; }
    std::string httpPut(const std::string& target, const std::string& body) { return put(target, token_, body); }
    // A multipart upload of text as a file of the given part type.
    std::string upload(const std::string& target, const std::string& text, const std::string& type) {
        return put(target, token_,
                   "------b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f\"\r\nContent-Type: " + type +
                       "\r\n\r\n" + text + "\r\n------b--\r\n");
    }
    ProbeCmd takeCmd() {
        const ProbeCmdTicket t = env_->peekProbeCmd();
        env_->clearProbeCmd(t.seq);
        return t.cmd;
    }
    json savedRecipe() { return json::parse(readFile(recipeConfigFile())); }
    ProbeMeasureRecipeItem& item(int slot) { return recipe_->recipe.sensors[static_cast<size_t>(slot)]; }
    std::string token_;
};

std::string failedWith(const std::string& msg) { return "{\n  \"code\":1001,\n  \"msg\":\"" + msg + "\"}"; }
const std::string kOk = "{\n  \"code\":200,\n  \"msg\":\"OK\"}";
const std::string kNotFound = "{\n  \"code\":404,\n  \"msg\":\"Not Found\"}";
const std::string kRefused = failedWith("Probe command refused");

}  // namespace

TEST_F(RestFieldTest, SingleProbeEditPlacesOneSpanCommandAndIsSaved) {
    item(2).mA_4 = 4.00005f;
    EXPECT_EQ(httpPut("/probe/settings/3", R"({"mA_4":4.0})"), kOk);
    EXPECT_TRUE(std::holds_alternative<NoneCmdPack>(env_->get_probeCmd()));  // below 0.0001

    EXPECT_EQ(httpPut("/probe/settings/3", R"({"mA_4":4.5,"custName":"Basin"})"), kOk);
    auto cmd = std::get<ConfigCmdPack>(env_->get_probeCmd());
    EXPECT_EQ(cmd.probeId, 2u);
    EXPECT_EQ(cmd.cmdType, CONFIG_CMD_SPAN_4_20MA);
    EXPECT_FLOAT_EQ(cmd.mA_4, 4.5f);
    EXPECT_TRUE(std::isnan(cmd.mA_20));
    EXPECT_EQ(savedRecipe()["sensors"][2]["custName"], "Basin");
    // Mailbox busy: the recipe change stands, the answer stays 200, the first command stays.
    EXPECT_EQ(httpPut("/probe/settings/3", R"({"mA_20":20})"), kOk);
    EXPECT_FLOAT_EQ(std::get<ConfigCmdPack>(env_->get_probeCmd()).mA_4, 4.5f);
    EXPECT_FLOAT_EQ(item(2).mA_20, 20.0f);
    // "enable" false: the item goes back to the default one and its span follows.
    takeCmd();
    EXPECT_EQ(httpPut("/probe/settings/3", R"({"enable":false})"), kOk);
    EXPECT_EQ(item(2).custName.view(), "");
    cmd = std::get<ConfigCmdPack>(takeCmd());
    EXPECT_FLOAT_EQ(cmd.mA_4, 0.0f);
    EXPECT_FLOAT_EQ(cmd.mA_20, 100.0f);
}

// Item numbers out of range: 404, or no answer where the route gives none; nothing saved.
TEST_F(RestFieldTest, ItemNumbersOutOfRange) {
    const struct { bool put; const char* target; std::string answer; } cases[] = {
        {true, "/probe/settings/-4", kNotFound},      {true, "/probe/settings/129", kNotFound},
        {true, "/controller/settings/0", kNotFound},  {true, "/controller/settings/9", ""},
        {true, "/controller/0/input/1", kNotFound},   {true, "/controller/1/output/0", kNotFound},
        {true, "/controller/9/input/-1", kNotFound},  {true, "/controller/1/addoutput/129", kNotFound},
        {true, "/controller/3/input/0", kNotFound},   {true, "/controller/0/input/-1", kNotFound},
        {true, "/controlloop/11", kNotFound},         {true, "/analoginput/setting/9", kNotFound},
        {true, "/lora/device/0", kNotFound},          {true, "/lora/device/17", ""},
        {true, "/firewall/rule/0", kNotFound},        {true, "/firewall/rule/17", ""},
        {false, "/controller/settings/9", kNotFound}, {false, "/controller/9/input/1", kNotFound},
        {false, "/controller/1/input/129", kNotFound}, {false, "/probe/mbregaddr/0", ""},
        {false, "/probe/mbregaddr/129", kNotFound},   {false, "/ai/mbregaddr/9", kNotFound},
        {false, "/lora/mbregaddr/0/1", kNotFound},    {false, "/lora/mbregaddr/2/8", kNotFound},
        {false, "/lora/mbregaddr/17/9", ""},          {false, "/probe/caliblog/-1", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.put ? httpPut(c.target, R"({"mA_4":1,"name":"x"})") : httpGet(c.target), c.answer) << c.target;
    EXPECT_EQ(recipe_->changeWordForTest(), 0u);
    EXPECT_FALSE(std::filesystem::exists(recipeConfigFile()));
}

TEST_F(RestFieldTest, BatchSkipsIdZeroTheLaterDuplicateWinsAndSpansAreCompared) {
    item(0).pn = 4242;
    item(4).mA_4 = 4.0f;
    const std::string body = R"([{"id":2,"pn":111,"mA_20":50},{"id":0,"pn":999},{"id":2,"pn":222},
                                 {"id":5,"pn":555,"mA_4":2,"mA_20":100}])";
    EXPECT_EQ(httpPut("/probe/settings", body), kOk);
    EXPECT_EQ(item(0).pn, 4242u);
    EXPECT_FLOAT_EQ(item(1).mA_20, 100.0f);  // the later element, with the default span
    EXPECT_EQ(item(4).pn, 555u);
    // Item 2 ends where it began: the only command is item 5's, with its 20 mA side unchanged.
    const auto cmd = std::get<ConfigCmdPack>(takeCmd());
    EXPECT_EQ(cmd.probeId, 4u);
    EXPECT_FLOAT_EQ(cmd.mA_4, 2.0f);
    EXPECT_TRUE(std::isnan(cmd.mA_20));
}

TEST_F(RestFieldTest, ProbeCommandsReachTheMailboxOrAreRefused) {
    struct Case { const char *target, *body; std::string answer; size_t alternative; };  // mailbox variant, 0: none
    const Case cases[] = {
        {"/probe/calibrate", R"({"idxMeasure":3,"idxCal":1,"solution":7})", "", 1},
        {"/probe/calibrate", "{}", kRefused, 0},  // index -1
        {"/probe/restore", R"({"idxMeasure":1,"enable":false})", "", 2},
        {"/probe/setvalue/4", R"({"type":8,"idxConfig":2,"data":1.5,"idxMeasure":99})", kOk, 3},
        {"/probe/setvalue/4", R"({"type":1,"data":3})", failedWith("Unsupported configuration type"), 0},
        {"/probe/setvalue/-2147483648", R"({"type":8})", kRefused, 0},
        {"/probe/changeaddr/-2147483648", R"({"newAddr":20})", kRefused, 0},
        {"/probe/changeaddr/3", R"({"newAddr":20,"type":9})", kOk, 3},
        {"/probe/replace", R"({"oldPN":1,"oldSN":2,"newPN":1,"newSN":3,"newModbusAddr":40})", "", 5},
        {"/probe/changeAddrBatch", R"([{"modbusAddr":10,"modbusAddrNew":11,"PN":50210}])", "", 4},
        {"/probe/diagnose", "{}", kRefused, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(httpPut(c.target, c.body), c.answer) << c.target << " " << c.body;
        EXPECT_EQ(takeCmd().index(), c.alternative) << c.target << " " << c.body;
    }

    EXPECT_EQ(httpPut("/probe/setvalue/4", R"({"type":8,"idxConfig":2,"data":1.5})"), kOk);
    // Busy mailbox: every command route answers refused and leaves the command in place.
    for (const char* t : {"/probe/calibrate", "/probe/changeaddr/3", "/probe/replace"})
        EXPECT_EQ(httpPut(t, R"({"idxMeasure":3,"newAddr":20,"oldPN":1})"), kRefused) << t;
    EXPECT_EQ(std::get<ConfigCmdPack>(takeCmd()).param, 2);
    // A custom name goes to the recipe only.
    EXPECT_EQ(httpPut("/probe/probeconfig/2", R"({"type":7,"custName":"Tank A"})"), kOk);
    EXPECT_EQ(item(1).custName.view(), "Tank A");
    EXPECT_TRUE(std::holds_alternative<NoneCmdPack>(env_->get_probeCmd()));
}

TEST_F(RestFieldTest, ProbeDefinitionUploads) {
    const std::string def = R"({"PN":0,"ModelName":"CUST-1","ModbusAddr":30,"Readings":[
        {"Name":"R1","Unit":"mg","DisplayUnit":"mg/L","RegAddress":40001,"Decimal":2},
        {"Name":"R2","Unit":"C","RegAddress":0},
        {"Name":"R3","Unit":"u3","RegAddress":40005},
        {"Name":"R4","Unit":"u4","RegAddress":40007},
        {"Name":"R5","Unit":"u5","RegAddress":40009}]})";
    // Two free items: two readings placed and kept, the rest refused.
    for (int i = 0; i < 126; ++i) {
        item(i).pn = 1;
        item(i).modbusAddr = 1;
    }
    item(3).enable = item(3).display = true;
    item(3).displayId = 7;
    EXPECT_EQ(upload("/probe/addcustom", def, "application/json"), failedWith("Exceed the maximal number"));
    EXPECT_EQ(item(126).pn, 1000001u);
    EXPECT_EQ(item(126).displayId, 8);
    EXPECT_EQ(item(127).name.view(), "R3");
    EXPECT_NE(readFile(dir_.file("config/probes/1000001.json")), "");
    // With room, the same probe uploaded again replaces its items instead of doubling them.
    for (int i = 0; i < 126; ++i) item(i) = ProbeMeasureRecipeItem{};
    upload("/probe/addcustom", std::string(def).replace(def.find("\"PN\":0"), 6, "\"PN\":1000001"), "application/json");
    const auto& sensors = recipe_->recipe.sensors;
    EXPECT_EQ(std::count_if(sensors.begin(), sensors.end(), [](const auto& s) { return s.pn == 1000001u; }), 4);

    EXPECT_EQ(httpPut("/probe/addcustom", "no json here"), failedWith("Invalid JSON - could not parse probe file"));
    EXPECT_EQ(httpPut("/probe/upload", R"({"PN":777,"ModelName":"","Readings":[{"Name":"a"}]})"),
              failedWith("Probe file must include PN, ModelName and at least one Reading"));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("config/probes/777.json")));
    // A part number beyond 32 bits, and a definition that cannot be stored: no item bound to it.
    std::filesystem::remove_all(dir_.file("config/probes"));
    writeFile(dir_.file("config/probes"), "not a folder");
    for (const char* target : {"/probe/addcustom", "/probe/upload"}) {
        EXPECT_EQ(httpPut(target, R"({"PN":4294967296,"ModelName":"BIG","ModbusAddr":9,"Readings":[
                                     {"Name":"big","RegAddress":1},{"Name":"b","RegAddress":3}]})"),
                  failedWith("PN out of range"))
            << target;
        EXPECT_EQ(httpPut(target, R"({"PN":888,"ModelName":"LOST","ModbusAddr":9,
                                     "Readings":[{"Name":"lost","RegAddress":1}]})"),
                  failedWith("Fail to store the probe definition"))
            << target;
        EXPECT_TRUE(std::none_of(sensors.begin(), sensors.end(),
                                 [](const auto& s) { return s.name.view() == "big" || s.name.view() == "lost"; }))
            << target;
    }
}

TEST_F(RestFieldTest, CsvImportAppendsAllOrNothingAndRecipeUploads) {
    const std::string csv = "regName,custName,regAddr,regLen,dataType,unit,precision\r\n"
                            "T1,Tank level,400,2,FLOAT,m,2\r\nshort,line\r\n"
                            "T2,Flow,402,2,FLOAT,m3/h,1\r\nT3,Valve,404,1,INT16,,0\r\n";
    EXPECT_EQ(upload("/upload", csv, "text/csv"), kOk);
    EXPECT_EQ(upload("/upload", csv, "text/csv"), kOk);
    const auto& inputs = recipe_->recipe.mbTcpClient[0].inputs;
    for (int i = 0; i < 7; ++i) EXPECT_EQ(inputs[i].enable, i < 6) << i;
    EXPECT_EQ(inputs[3].regName.view(), "T1");
    EXPECT_EQ(inputs[1].unit.view(), "m3/h");
    EXPECT_EQ(savedRecipe()["MBTcpClient"][0]["inputs"][5]["regName"], "T3");

    const std::string header = "a,b,c,d,e,f,g\n";
    const std::string invalid = failedWith("Failure: there are errors in csv file!");
    const std::pair<std::string, std::string> cases[] = {
        {header + "X,Y,400,2,FLOAT,m,2\nX,Y,abc,2,FLOAT,m,2\n", invalid},
        {header + "X,Y,400,2,FLOAT,m\n", invalid},
        {header + "X,Y,99999999999,2,FLOAT,m,2\n", invalid},
        {"a,b,c,d\nX,Y,400,2\n", failedWith("Failure: no input line in csv file!")},
        {header, failedWith("Failure: no input line in csv file!")},
    };
    for (const auto& [text, answer] : cases) EXPECT_EQ(upload("/upload", text, "text/csv"), answer) << text;
    EXPECT_FALSE(inputs[6].enable);
    // 128 inputs: the line that finds no free one fails the whole file.
    std::string many = header;
    for (int i = 0; i < 123; ++i) many += "X,Y,1,1,INT16,,0\n";
    EXPECT_EQ(upload("/upload", many, "text/csv"), failedWith("Failure: exceed the maximal number"));
    EXPECT_FALSE(inputs[6].enable);
    // A recipe file replaces the recipe but the system section.
    recipe_->checkAndConsume(0xffffffffu);
    ASSERT_TRUE(recipe_->saveToJson());
    auto doc = savedRecipe();
    doc["system"]["name"] = "Elsewhere";
    // The part is told by its media type, however spelt; anything else is a CSV import taking no line.
    int freq = 915000000;
    const std::pair<const char*, bool> types[] = {  // type, read as a recipe
        {"application/json", true}, {"application/json; charset=utf-8", true}, {"Application/JSON", true},
        {" application/json ;charset=UTF-8", true}, {"application/json\r\nContent-Disposition: x", true},
        {"text/csv", false}, {"application/jsonx", false}, {"text/plain; charset=application/json", false}};
    for (const auto& [type, recipe] : types) {
        doc["lora"]["FREQ"] = freq + 1;
        EXPECT_EQ(upload("/upload", doc.dump(), type), recipe ? kOk : failedWith("Failure: no input line in csv file!"))
            << type;
        if (recipe) ++freq;
        EXPECT_EQ(recipe_->recipe.lora.FREQ, freq) << type;
    }
    EXPECT_EQ(recipe_->recipe.system.name.view(), "Orvane");
    EXPECT_EQ(recipe_->changeWordForTest(), static_cast<uint32_t>(SCADA_MASK_INITIAL));

    recipe_->checkAndConsume(0xffffffffu);
    EXPECT_EQ(upload("/upload", "[1,2]", "application/json"), failedWith("Invalid JSON"));
    // A probe definition picked by mistake: the recipe is not reset to its defaults.
    EXPECT_EQ(upload("/upload", R"({"PN":5,"ModelName":"X","Readings":[]})", "application/json"),
              failedWith("Not a recipe file"));
    EXPECT_EQ(httpPut("/upload", "plain body"), failedWith("Invalid upload"));
    EXPECT_EQ(recipe_->changeWordForTest(), 0u);
    EXPECT_EQ(recipe_->recipe.lora.FREQ, freq);
}

TEST_F(RestFieldTest, ControllerArraysInputsAndLoopRows) {
    const std::string allText = httpGet("/controller/settings");
    ASSERT_GT(allText.size(), 8u);
    EXPECT_EQ(allText.substr(0, 5), "[\n  {") << allText.substr(0, 40);
    EXPECT_EQ(allText.substr(allText.size() - 3), "}]\n") << allText.substr(allText.size() - 40);
    EXPECT_EQ(json::parse(allText).size(), 8u);

    auto& client = recipe_->recipe.mbTcpClient[2];
    client.inputs[4].regName = "keep?";
    client.inputs[4].regAddr = 77;
    const std::string array = R"([{"id":2,"regName":"two","regAddr":10},{"id":5,"enable":false},
        {"id":9,"custName":"nine"},{"id":0,"regName":"zero"},{"id":200,"regName":"big"}])";
    EXPECT_EQ(httpPut("/controller/3/input/-1", array), kOk);
    EXPECT_EQ(httpPut("/controller/3/input", array), kNotFound);  // no route of its own
    auto [rows, n] = RestAPI::routes();
    EXPECT_EQ(std::count_if(rows, rows + n, [](const auto& r) { return r.method == RestMethod::PUT; }), 42);
    EXPECT_EQ(std::count_if(rows, rows + n, [](const auto& r) { return r.method == RestMethod::GET; }), 41);
    for (size_t i = 0; i < 128; ++i) {
        EXPECT_EQ(client.inputs[i].regName.view(), i == 1 ? "two" : "Sensor 1") << i;  // 5: the example input
        EXPECT_EQ(client.inputs[i].custName.view(), i == 8 ? "nine" : "CCond") << i;
    }
    // A disabled loop row keeps its id and kind.
    recipe_->recipe.resetID();
    EXPECT_EQ(httpPut("/controlloop/2", R"({"type":1,"low":2.5,"idxInput":3})"), kOk);
    EXPECT_EQ(httpPut("/controlloop/2", R"({"enable":false,"high":9})"), kOk);
    const auto& row = std::get<LoopSetpointRecipeData>(recipe_->recipe.controlloop[1]);
    EXPECT_EQ(row.id, 2);
    EXPECT_EQ(row.type, 1);
    EXPECT_FLOAT_EQ(row.high, 9.0f);
}

TEST_F(RestFieldTest, LiveDataRoutes) {
    item(0).custName = "Inlet pH";
    item(0).unit = "pH";
    item(0).alarmLow = 6;
    item(0).alarmHigh = 8.5f;
    {
        std::lock_guard lk(live_->mutex());
        live_->data().probe.items[0].val = 7.25f;
        live_->data().controller.inputs[1].values[3] = 12.5f;
    }
    EXPECT_EQ(json::parse(httpGet("/livedata/1")),
              json::parse(R"({"id":1,"name":"Inlet pH","value":7.25,"unit":"pH","warn_low":6,"warn_high":8.5})"));

    EXPECT_EQ(json::parse(httpGet("/controller/livedata"))["inputs"][1]["values"][3], 12.5);
    {
        std::lock_guard lk(live_->mutex());
        live_->data().controller.inputs[1].values[3] = 13.0f;  // the next answer shows it
    }
    EXPECT_EQ(json::parse(httpGet("/controller/livedata"))["inputs"][1]["values"][3], 13.0);
}

TEST_F(RestFieldTest, TrendQueriesAndAFailingQueryShowsNoOldRows) {
    for (int i = 0; i < 3; ++i) {
        clock_.setWallSeconds(1767225600 + 10000 * (i + 1));
        db_->trySaveLog([i] {
            orvane_ipc::DataCell c;
            c.values.emplace_back("a", 1.5 + i);
            c.values.emplace_back("b", 10.0 * i);
            return c;
        });
    }
    const std::string query = R"({"type":0,"limit":10,"startTime":1767225601,"endTime":1767300000})";
    auto trend = json::parse(httpPut("/trendData", query));
    ASSERT_EQ(trend["timestamp"].size(), 3u);
    EXPECT_EQ(trend["var0"][2], 3.5);
    // The table disappears under the gateway: no rows, not the previous request's.
    ASSERT_EQ(std::system(("sqlite3 '" + dir_.path() + "/runtime/test.db' 'DROP TABLE LogRecord10s' 2>&1").c_str()), 0);
    trend = json::parse(httpPut("/trendData", query));
    EXPECT_EQ(trend["var0"].size(), 0u);
}

// A body a route cannot read is refused with 1001 naming what is wrong, before anything changes.
TEST_F(RestFieldTest, UnreadableBodiesAreRefusedAndChangeNothing) {
    const std::string before = recordText(recipe_->recipe);
    ASSERT_GT(before.size(), 100000u);
    const std::string malformed = "Malformed JSON body", enable = "\"enable\" must be true or false";
    const struct { const char *target, *body; std::string msg; } cases[] = {
        {"/system/settings", R"({"name":"BBBB")", malformed},
        {"/probe/settings", R"([{"id":1},)", malformed},
        {"/system/settings", R"([{"name":"BBBB"}])", "JSON object expected"},
        {"/probe/settings", R"({"id":1})", "JSON array expected"},
        {"/probe/changeAddrBatch", R"([1,2])", "Array elements must be objects"},
        {"/probe/settings/1", R"({"enable":1})", enable},
        {"/probe/settings/1", R"({"enable":"yes"})", enable},
        {"/controller/3/input/-1", R"([{"id":2,"enable":"no"}])", enable},
        {"/cloud/settings", R"({"serverHost":null})", "\"serverHost\" must be a text"},
        {"/probe/settings/1", R"({"mA_4":"4"})", "\"mA_4\" must be a number"},
        {"/lora/settings", R"({"FREQ":1.5e0})", "\"FREQ\" must be an integer"},
        {"/modbusRTU/settings", R"({"timeout":700.5})", "\"timeout\" must be an integer"},
        {"/probe/settings/1", R"({"modbusAddr":32767.00000000000001})", "\"modbusAddr\" must be an integer"},
        {"/system/settings", R"({"guardPort":65536.0})", "\"guardPort\" out of range"},
        {"/cloud/settings", R"({"serverPort":1e30})", "\"serverPort\" out of range"},
        {"/cloud/settings", R"({"serverPort":-1e99999999999999999999})", "\"serverPort\" out of range"},
        {"/probe/settings", R"([{"id":1,"pn":4.294967296e9}])", "\"pn\" out of range"},
        {"/system/ping", R"({"address":"10.0.0.1","count":"4"})", "\"count\" must be an integer"},
        {"/firewall/rule/5", R"({"port":2147483648})", "\"port\" out of range"},
        {"/probe/settings/1", R"({"modbusAddr":99999999999999})", "\"modbusAddr\" out of range"},
        {"/probe/settings", R"([{"id":1,"pn":-1}])", "\"pn\" out of range"},
        {"/system/settings", R"({"guardPort":0})", "\"guardPort\" out of range"},
        {"/controller/settings/1", R"({"name":"C1","inputs":[{"regAddr":2147483648}]})", "\"regAddr\" out of range"},
        {"/probe/calibrate", R"({"idxMeasure":2,"solution":1e39})", "\"solution\" out of range"},
    };
    for (const auto& c : cases) {
        const std::string quoted = json(c.msg).dump(), escaped = quoted.substr(1, quoted.size() - 2);
        const bool compact = std::string(c.target) == "/system/ping";  // the ping's own answer layout
        EXPECT_EQ(httpPut(c.target, c.body), compact ? "{\"code\":1001,\"msg\":" + quoted + "}" : failedWith(escaped))
            << c.target << " " << c.body;
    }
    EXPECT_EQ(recordText(recipe_->recipe), before);
    EXPECT_EQ(recipe_->changeWordForTest(), 0u);
    EXPECT_TRUE(std::holds_alternative<NoneCmdPack>(env_->get_probeCmd()));
    EXPECT_FALSE(api_->pingRunning());
    // Well-formed: unknown keys succeed, a long text is cut, null leaves a float, the lowest address is taken.
    EXPECT_EQ(httpPut("/firewall/rule/5", R"({"prot":1,"nested":{"port":"x"}})"), kOk);
    EXPECT_EQ(httpPut("/system/settings", R"({"location":"A location far too long"})"), kOk);
    EXPECT_EQ(recipe_->recipe.system.location.view(), "A location far t");
    EXPECT_EQ(httpPut("/probe/settings/1", R"({"alarmHigh":null,"modbusAddr":-32768})"), kOk);
    EXPECT_EQ(item(0).modbusAddr, -32768);
    EXPECT_EQ(httpPut("/lora/settings", ""), kOk);

    // A whole number is taken by an integer key however it is written, and stored as that number.
    auto& rtu = recipe_->recipe.modbusRtu;
    const struct { const char *target, *body; std::function<long long()> stored; long long value; } whole[] = {
        {"/modbusRTU/settings", R"({"timeout":700.0})", [&] { return rtu.timeout; }, 700},
        {"/modbusRTU/settings", R"({"timeout":1e3})", [&] { return rtu.timeout; }, 1000},
        {"/cloud/settings", R"({"serverPort":1883.0})", [&] { return recipe_->recipe.cloudServer.serverPort; }, 1883},
        {"/probe/settings/1", R"({"precision":2.0})", [&] { return item(0).precision; }, 2},
        {"/probe/settings/1", R"({"modbusAddr":-3.2768E+4})", [&] { return item(0).modbusAddr; }, -32768},
        {"/probe/settings", R"([{"id":2.0,"pn":4.294967295e9}])", [&] { return item(1).pn; }, 4294967295},
        {"/lora/settings", R"({"FREQ":9.5e8})", [&] { return recipe_->recipe.lora.FREQ; }, 950000000},
        {"/system/settings", R"({"guardPort":6.5535e4})", [&] { return recipe_->recipe.system.guardPort; }, 65535},
        {"/controlloop/3", R"({"type":1e0,"idxInput":30e-1})",
         [&] { return std::get<LoopSetpointRecipeData>(recipe_->recipe.controlloop[2]).idxInput; }, 3},
        {"/probe/calibrate", R"({"idxMeasure":3.0,"idxCal":10E-1,"solution":7})",
         [&] {
             const auto pack = std::get<CalbCmdPack>(takeCmd());
             return pack.probeId * 100 + pack.idxCal;
         },
         301},
    };
    for (const auto& c : whole) {
        const std::string answer = httpPut(c.target, c.body);
        EXPECT_EQ(answer, std::string(c.target) == "/probe/calibrate" ? "" : kOk) << c.target << " " << c.body;
        EXPECT_EQ(c.stored(), c.value) << c.target << " " << c.body;
    }
    EXPECT_EQ(savedRecipe()["modbusRtu"]["timeout"], 1000);
}

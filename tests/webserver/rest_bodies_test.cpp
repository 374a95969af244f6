// Request readers and answer writers of the REST API, parsed back with nlohmann.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>
#include <string>

#include "webserver/rest_api.h"
#include "webserver/rest_bodies.h"

using nlohmann::json;

namespace {

template <class T>
json parsed(const T& v) {
    auto out = std::make_unique<fss::stringHuge>();
    RestAPI::_answer(*out, [&](char* dst, int room) { return writeJsonP(v, dst, room, nullptr); });
    return json::parse(out->view());
}

}  // namespace

TEST(RestBodies, ConfigPackKeysResetAndNesting) {
    ConfigCmdPack p;
    readJsonP(p, R"({"idxMeasure":3,"idxConfig":2,"data":1.5,"custName":"Tank \"A\"","type":7,
                    "newAddr":12,"oldAddr":11,"pn":50661,"ma_4":4.5,"ma_20":19})");
    EXPECT_EQ(p.probeId, 3u);
    EXPECT_EQ(p.param, 2);
    EXPECT_FLOAT_EQ(p.value, 1.5f);
    EXPECT_EQ(p.custName, "Tank \"A\"");
    EXPECT_EQ(p.cmdType, 7u);
    EXPECT_EQ(p.newAddr, 12);
    EXPECT_EQ(p.curAddr, 11);
    EXPECT_EQ(p.reserved, 50661u);
    EXPECT_FLOAT_EQ(p.mA_4, 4.5f);
    EXPECT_FLOAT_EQ(p.mA_20, 19.0f);

    // A nested "enable" belongs to another record: nothing is reset, nested keys are not read.
    readJsonP(p, R"({"x":{"enable":false,"idxConfig":9},"data":2})");
    EXPECT_EQ(p.param, 2);
    EXPECT_FLOAT_EQ(p.value, 2.0f);

    readJsonP(p, R"({"enable":false,"idxMeasure":4})");
    EXPECT_EQ(p.probeId, 4u);
    EXPECT_EQ(p.param, -1);
    EXPECT_TRUE(p.custName.empty());
    EXPECT_EQ(p.newAddr, -1);
    EXPECT_TRUE(std::isnan(p.mA_4) && std::isnan(p.mA_20));

    readJsonP(p, "{\"custName\":\"" + std::string(40, 'n') + "\"}");
    EXPECT_EQ(p.custName.str(), std::string(32, 'n'));
    readJsonP(p, "not json at all");  // nothing found, nothing changed
    EXPECT_EQ(p.probeId, 4u);
}

TEST(RestBodies, AddressBatchTakesTwentyAtMost) {
    std::string body = "[";
    for (int i = 1; i <= 25; ++i)
        body += (i > 1 ? "," : "") + std::string("{\"modbusAddr\":") + std::to_string(i) +
                ",\"modbusAddrNew\":" + std::to_string(100 + i) + ",\"PN\":" + std::to_string(50000 + i) + "}";
    ChangeAddrBatch b;
    EXPECT_EQ(readJsonP(b, body + "]"), 20);
    EXPECT_EQ(b[19].addr, 20);
    EXPECT_EQ(b[19].newAddr, 120);
    EXPECT_EQ(b[19].pn, 50020);
    EXPECT_EQ(readJsonP(b, R"([{"modbusAddr":7,"modbusAddrNew":8,"PN":9}])"), 1);
    EXPECT_EQ(b[1].addr, 0);  // the rest of the batch is empty
}

TEST(RestBodies, Writers) {
    SystemLiveData s;
    s.Uptime = 42;
    s.CpuUsage = 2.0004f;
    s.MemUsage = 2.002f;
    s.DiskUsage = kLiveNaN;
    auto out = std::make_unique<fss::stringHuge>();
    RestAPI::_answer(*out, [&](char* dst, int room) { return writeJsonP(s, dst, room, nullptr); });
    const std::string st = out->str();
    EXPECT_NE(st.find("\"CpuUsage\":2,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"MemUsage\":2.002000,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"DiskUsage\":null,\n"), std::string::npos) << st;
    EXPECT_EQ(st.substr(0, 14), "{\n  \"Uptime\":4");
    EXPECT_EQ(json::parse(st).size(), 12u);

    LoraLiveData lo;
    lo.items[3].id = 4;
    lo.items[3].cust_name = "Tank";
    lo.items[3].regs[0].name = "Level";
    lo.items[3].regs[0].value = 1.25f;
    lo.items[3].regs[2].name = "Temp";
    lo.items[3].timestamp = 1700000000;
    json loj = parsed(lo);
    ASSERT_EQ(loj.size(), 1u);
    EXPECT_EQ(loj[0]["name"], "Tank");
    ASSERT_EQ(loj[0]["values"].size(), 2u);
    EXPECT_EQ(loj[0]["values"][0]["value"], 1.25);
    EXPECT_EQ(loj[0]["values"][1]["timestamp"], 1700000000);

    ScanProbeStatus scan;
    scan.scanState = 2;
    scan.scanProgress = 100;
    ProbeScanResultItem item;
    item.pn = 50661;
    item.sn = 7;
    item.modbusAddr = 10;
    item.suggestedAddr = 11;
    scan.results = {item};
    EXPECT_EQ(parsed(scan), json::parse(R"({"errorCode":2,"progress":100,
        "scanResult":[{"pn":50661,"sn":7,"modbusAddr":10,"modbusDfltAddr":11}]})"));

    auto q = std::make_unique<LogQueryResult>();
    q->setCount(2);
    q->timestamp[0] = 100;
    q->timestamp[1] = 200;
    q->var(19)[1] = kLiveNaN;
    q->var(3)[0] = 1.5f;
    json qj = parsed(*q);
    EXPECT_EQ(qj.size(), 21u);
    EXPECT_EQ(qj["timestamp"], json::parse("[100,200]"));
    EXPECT_EQ(qj["var3"][0], 1.5);
    EXPECT_TRUE(qj["var19"][1].is_null());

    // A writer given too little room reports it instead of cutting the text.
    char small[16];
    EXPECT_EQ(writeJsonP(scan, small, sizeof small, nullptr), -1);
}

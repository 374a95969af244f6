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
std::string text(const T& v) {
    auto out = std::make_unique<fss::stringHuge>();
    RestAPI::_answer(*out, [&](char* dst, int room) { return writeJsonP(v, dst, room, nullptr); });
    return out->str();
}

template <class T>
json parsed(const T& v) {
    return json::parse(text(v));
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
    EXPECT_EQ(p.newAddr, 12);
    EXPECT_FLOAT_EQ(p.value, 2.0f);

    readJsonP(p, R"({"enable":false,"idxMeasure":4})");
    EXPECT_EQ(p.probeId, 4u);
    EXPECT_EQ(p.param, -1);
    EXPECT_EQ(p.value, 0.0f);
    EXPECT_TRUE(p.custName.empty());
    EXPECT_EQ(p.cmdType, 0u);
    EXPECT_EQ(p.reserved, 0u);
    EXPECT_EQ(p.newAddr, -1);
    EXPECT_EQ(p.curAddr, -1);
    EXPECT_TRUE(std::isnan(p.mA_4) && std::isnan(p.mA_20));

    readJsonP(p, "{\"custName\":\"" + std::string(40, 'n') + "\"}");
    EXPECT_EQ(p.custName.str(), std::string(32, 'n'));
    readJsonP(p, "not json at all");  // nothing found, nothing changed
    EXPECT_EQ(p.probeId, 4u);
}

TEST(RestBodies, SmallPacks) {
    CalbCmdPack c;
    readJsonP(c, R"({"idxMeasure":5,"idxCal":2,"solution":12.88})");
    EXPECT_EQ(c.probeId, 5u);
    EXPECT_EQ(c.idxCal, 2);
    EXPECT_FLOAT_EQ(c.solution, 12.88f);
    readJsonP(c, R"({"enable":0})");
    EXPECT_EQ(c.probeId, 0xffffffffu);
    EXPECT_EQ(c.idxCal, 0);
    EXPECT_EQ(c.solution, 0.0f);

    ProbeIndexPack i;
    readJsonP(i, R"({"idxMeasure":17})");
    EXPECT_EQ(i.idxMeasure, 17);
    readJsonP(i, R"({"enable":true})");
    EXPECT_EQ(i.idxMeasure, 17);
    readJsonP(i, R"({"enable":"no"})");
    EXPECT_EQ(i.idxMeasure, -1);

    ReplaceProbeCmdPack r;
    readJsonP(r, R"({"oldPN":1,"oldSN":2,"newPN":3,"newSN":4,"newModbusAddr":40})");
    EXPECT_EQ(r.oldPN + r.oldSN + r.newPN + r.newSN, 10u);
    EXPECT_EQ(r.newModbusAddr, 40);

    AddControllerOutputPack a;
    readJsonP(a, R"({"controllerIndex":1,"inputIndex":2,"dataType":3,"dataIndex":4,"loraRegIndex":5})");
    EXPECT_EQ(a.controllerIndex * 10000 + a.inputIndex * 1000 + a.dataType * 100 + a.dataIndex * 10 + a.loraRegIndex,
              12345);

    AuthCommand au;
    readJsonP(au, R"({"name":"admin","password":"pw","newPassword":"np","pwdMD5":"m1","newPwdMD5":"m2","cmdType":2})");
    EXPECT_EQ(au.name, "admin");
    EXPECT_EQ(au.password, "pw");
    EXPECT_EQ(au.newPassword, "np");
    EXPECT_EQ(au.pwdMD5, "m1");
    EXPECT_EQ(au.newPwdMD5, "m2");
    EXPECT_EQ(au.cmdType, 2);

    LogQueryPack q;
    readJsonP(q, R"({"type":3,"limit":100,"startTime":1000,"endTime":2000})");
    EXPECT_EQ(q.type, 3u);
    EXPECT_EQ(q.limit, 100);
    EXPECT_EQ(q.startTime, 1000u);
    EXPECT_EQ(q.endTime, 2000u);
}

TEST(RestBodies, AddressBatchTakesTwentyAtMost) {
    std::string body = "[";
    for (int i = 1; i <= 25; ++i)
        body += (i > 1 ? "," : "") + std::string("{\"modbusAddr\":") + std::to_string(i) +
                ",\"modbusAddrNew\":" + std::to_string(100 + i) + ",\"PN\":" + std::to_string(50000 + i) + "}";
    body += "]";
    ChangeAddrBatch b;
    EXPECT_EQ(readJsonP(b, body), 20);
    EXPECT_EQ(b[0].addr, 1);
    EXPECT_EQ(b[19].newAddr, 120);
    EXPECT_EQ(b[19].pn, 50020);

    EXPECT_EQ(readJsonP(b, R"([{"modbusAddr":7,"modbusAddrNew":8,"PN":9}])"), 1);
    EXPECT_EQ(b[0].addr, 7);
    EXPECT_EQ(b[1].addr, 0);  // the rest of the batch is empty
    EXPECT_EQ(readJsonP(b, "[]"), 0);
    EXPECT_EQ(b[0].addr, 0);
}

TEST(RestBodies, SectionsAndControlLoops) {
    LanRecipeData lan;
    lan.ipaddr = "10.0.0.1";
    lan.enableDHCP = false;
    readSectionBody(lan, R"({"ipaddres":"1.2.3.4"})");  // misspelt: nothing changes
    EXPECT_EQ(lan.ipaddr, "10.0.0.1");
    readSectionBody(lan, R"({"enable":false})");
    EXPECT_EQ(lan.ipaddr, "192.168.0.1");
    EXPECT_TRUE(lan.enableDHCP);
    readSectionBody(lan, R"({"enable":false,"netmask":"255.255.0.0"})");
    EXPECT_EQ(lan.netmask, "255.255.0.0");

    LoopRecipeVariant row = LoopSetpointRecipeData{.id = 4};
    readControlLoopBody(row, R"({"type":7})");
    ASSERT_TRUE(std::holds_alternative<LoopNoneRecipeData>(row));
    EXPECT_EQ(getElementId(row), 4);

    row = LoopSetpointRecipeData{.id = 2, .type = 1, .mode = 3, .low = 5};
    readControlLoopBody(row, R"({"enable":false,"high":9})");
    ASSERT_TRUE(std::holds_alternative<LoopSetpointRecipeData>(row));
    const auto& sp = std::get<LoopSetpointRecipeData>(row);
    EXPECT_EQ(sp.id, 0);
    EXPECT_EQ(sp.type, 0);
    EXPECT_EQ(sp.mode, 1);
    EXPECT_EQ(sp.low, 0.0f);
    EXPECT_EQ(sp.high, 9.0f);
    EXPECT_FLOAT_EQ(sp.deadband, 0.1f);
    EXPECT_EQ(sp.idxInput, -1);
}

TEST(RestBodies, LiveWriters) {
    SystemLiveData s;
    s.Uptime = 42;
    s.CpuUsage = 2.0004f;
    s.MemUsage = 2.002f;
    s.DiskUsage = kLiveNaN;
    s.timestamp = "2026-01-01 00:00:00";
    s.Connected = true;
    const std::string st = text(s);
    EXPECT_NE(st.find("\"CpuUsage\":2,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"MemUsage\":2.002000,\n"), std::string::npos) << st;
    EXPECT_NE(st.find("\"DiskUsage\":null,\n"), std::string::npos) << st;
    EXPECT_EQ(st.substr(0, 14), "{\n  \"Uptime\":4");
    json sj = json::parse(st);
    EXPECT_EQ(sj["Uptime"], 42);
    EXPECT_EQ(sj["timestamp"], "2026-01-01 00:00:00");
    EXPECT_EQ(sj["Connected"], true);
    EXPECT_EQ(sj.size(), 12u);

    LteLiveData l;
    l.lte_rssi = -71;
    l.carrier = "Carrier \"1\"";
    json lj = parsed(l);
    EXPECT_EQ(lj["lte_rssi"], -71);
    EXPECT_EQ(lj["carrier"], "Carrier \"1\"");
    EXPECT_EQ(lj.size(), 12u);

    AnalogLiveData a;
    a.items[1].id = 2;
    a.items[1].val = 7.5f;
    a.items[1].status = 1;
    const std::string at = text(a);
    EXPECT_NE(at.find("\"status\":1 }"), std::string::npos) << at;
    json aj = json::parse(at);
    ASSERT_EQ(aj["reading"].size(), 8u);
    EXPECT_EQ(aj["reading"][1]["val"], 7.5);
    EXPECT_TRUE(aj["reading"][0]["raw"].is_null());

    LoraLiveData lo;
    lo.items[3].id = 4;
    lo.items[3].cust_name = "Tank";
    lo.items[3].uid = "A1";
    lo.items[3].regs[0].name = "Level";
    lo.items[3].regs[0].unit = "m";
    lo.items[3].regs[0].value = 1.25f;
    lo.items[3].regs[2].name = "Temp";
    lo.items[3].timestamp = 1700000000;
    json loj = parsed(lo);
    ASSERT_EQ(loj.size(), 1u);
    EXPECT_EQ(loj[0]["name"], "Tank");
    EXPECT_EQ(loj[0]["id"], 4);
    ASSERT_EQ(loj[0]["values"].size(), 2u);
    EXPECT_EQ(loj[0]["values"][0]["value"], 1.25);
    EXPECT_EQ(loj[0]["values"][1]["name"], "Temp");
    EXPECT_EQ(loj[0]["values"][1]["timestamp"], 1700000000);
    EXPECT_EQ(parsed(LoraLiveData{}), json::array());

    auto c = std::make_unique<ControllerLiveData>();
    c->inputs[2].id = 3;
    c->inputs[2].values[5] = 8.0f;
    c->connected[2] = true;
    json cj = parsed(*c);
    EXPECT_EQ(cj["inputs"].size(), 8u);
    EXPECT_EQ(cj["inputs"][2]["values"].size(), 128u);
    EXPECT_EQ(cj["inputs"][2]["values"][5], 8);
    EXPECT_EQ(cj["outputs"].size(), 8u);
    EXPECT_EQ(cj["connected"][2], true);
}

TEST(RestBodies, CommandAndQueryWriters) {
    ScanProbeStatus scan;
    scan.scanState = 2;
    scan.scanProgress = 100;
    ProbeScanResultItem item;
    item.pn = 50661;
    item.sn = 7;
    item.modbusAddr = 10;
    item.suggestedAddr = 11;
    scan.results = {item};
    json sj = parsed(scan);
    EXPECT_EQ(sj, json::parse(R"({"errorCode":2,"progress":100,
        "scanResult":[{"pn":50661,"sn":7,"modbusAddr":10,"modbusDfltAddr":11}]})"));

    ProbeChangeAddrResult r;
    r.status = 50;
    r.items = {{10, 1}, {11, 2}};
    EXPECT_EQ(parsed(r), json::parse(R"({"progressPct":50,"items":[{"modbusAddr":10,"status":1},
        {"modbusAddr":11,"status":2}]})"));

    AuthResult au;
    au.name = "admin";
    au.cmdType = 0;
    au.success = true;
    au.role = 1;
    au.token = "abc";
    EXPECT_EQ(parsed(au), json::parse(R"({"name":"admin","cmdType":0,"success":true,"msg":"","role":1,"token":"abc"})"));

    ProbeValueAnswer v{3, "pH", 7.25f, "pH", 6.5f, 8.5f};
    EXPECT_EQ(parsed(v), json::parse(R"({"id":3,"name":"pH","value":7.25,"unit":"pH","warn_low":6.5,"warn_high":8.5})"));
    EXPECT_EQ(parsed(RegAddrAnswer{40001}), json::parse(R"({"regAddr":40001})"));
    UpgradeStatusAnswer u{55.5f, 0, "OK"};
    EXPECT_EQ(parsed(u), json::parse(R"({"progress":55.5,"error_code":0,"error_msg":"OK"})"));

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
    EXPECT_EQ(writeJsonP(au, small, sizeof small, nullptr), -1);
}

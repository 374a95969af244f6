// The controller client reading EtherNet/IP tags from the CIP responder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "client_rig.h"
#include "eip/eip.h"
#include "support/cip_responder.h"
#include "support/sandbox.h"

using orvane::test::CipResponder;
using namespace std::chrono_literals;

namespace {

struct EipRig : orvane::test::ClientRig {
    CipResponder r;
    explicit EipRig(const char* path = "") {
        auto& it = item(0);
        it.enable = true, it.communication = MBTCPClient::kEipProtocol, it.name = "Ctl", it.path = path;
        it.serverIP = "127.0.0.1:" + std::to_string(r.port());
    }
    ~EipRig() { client.reset(); }  // before the responder goes
    void tag(int id, const char* name, const char* type, int16_t count = 1) {
        auto& in = input(0, id, 0, type, name);
        in.tagName = name, in.elementCount = count;
    }
    // Runs passes (real time passes between them) until cond holds; false after ~30 s.
    bool passUntil(const std::function<bool()>& cond) {
        return orvane::test::waitUntil([&] { return client->runOnce(), cond(); }, 30s);
    }
};

template <typename T>
std::vector<uint8_t> bytesOf(T v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

TEST(MbtcpEip, EveryTypeDecodes) {
    EipRig rig;
    struct Row { const char* type; uint16_t code; std::vector<uint8_t> bytes; float expected; } rows[] = {
        {"BOOL", 0xC1, {0x02}, 1.0f},                            {"SINT", 0xC2, {0xFE}, -2.0f},
        {"USINT", 0xC6, {0xFE}, 254.0f},                         {"INT", 0xC3, bytesOf<int16_t>(-300), -300.0f},
        {"UINT", 0xC7, bytesOf<uint16_t>(65000), 65000.0f},      {"DINT", 0xC4, bytesOf<int32_t>(-100000), -100000.0f},
        {"UDINT", 0xC8, bytesOf<uint32_t>(3000000000u), 3e9f},   {"REAL", 0xCA, bytesOf<float>(1.5f), 1.5f},
        {"LINT", 0xC5, bytesOf<int64_t>(-1000000000000LL), -1e12f}, {"ULINT", 0xC9, bytesOf<uint64_t>(1000000000000ULL), 1e12f},
        {"LREAL", 0xCB, bytesOf<double>(3.25), 3.25f},           {"STRUCTX", 0xCA, bytesOf<float>(8.5f), 8.5f},  // other: float
    };
    const int n = static_cast<int>(std::size(rows));
    for (int id = 1; auto& row : rows) {
        const std::string tag = std::string("T_") + row.type;
        rig.r.addTag(tag, row.code, static_cast<int>(row.bytes.size()), row.bytes);
        rig.tag(id++, tag.c_str(), row.type);
    }
    rig.client->update_config();
    auto allRead = [&] {
        for (int k = 1; k <= n; ++k)
            if (std::isnan(rig.value(0, k))) return false;
        return true;
    };
    ASSERT_TRUE(rig.passUntil(allRead));
    for (int id = 1; auto& row : rows) EXPECT_FLOAT_EQ(rig.value(0, id++), row.expected) << row.type;
}

TEST(MbtcpEip, ElementsStopAtInput128AndDecodeAcrossPasses) {
    EipRig rig;
    rig.r.addValues<int32_t>("Arr", 0xC4, {10, 20, 30, 40, 50});
    rig.tag(126, "Arr", "DINT", 5);
    rig.client->update_config();
    auto pub = rig.published();
    for (int k = 125; k < 128; ++k) {
        EXPECT_TRUE(pub->inputs[0].used[k]);
        EXPECT_EQ(pub->inputs[0].names[k].str(), "Ctl.Arr." + std::to_string(k - 125));
    }
    ASSERT_TRUE(rig.passUntil([&] { return !std::isnan(rig.value(0, 128)); }));
    for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(rig.value(0, 126 + k), 10.0f * (k + 1));
    for (auto& q : rig.r.requests())
        if (q.command == 0x6F) { EXPECT_EQ(q.count, 3); }
}

// An unknown tag stays NaN, is read again every pass, and its error is logged once while it lasts.
TEST(MbtcpEip, UnknownTagIsNaNReadAgainAndLoggedOnce) {
    EipRig rig("1,0");
    rig.r.addValues<float>("Good", 0xCA, {4.5f});
    rig.tag(1, "Good", "REAL");
    rig.tag(2, "Nope", "REAL");
    rig.tag(3, "bad name", "REAL");
    rig.client->update_config();
    EXPECT_LT(rig.client->tagHandle(0, 2), 0);
    orvane::test::MbtcpLogCapture log;
    const std::string nope = "Nope";  // read again every pass
    auto readsOfNope = [&] { return std::ranges::count(rig.r.requests(), nope, &CipResponder::Request::tag); };
    ASSERT_TRUE(rig.passUntil([&] { return !std::isnan(rig.value(0, 1)) && readsOfNope() >= 3; }));
    EXPECT_TRUE(std::isnan(rig.value(0, 2)));
    EXPECT_EQ(log.count("Failed to read EIP tag 'Nope': tag not found on the controller") +
                  log.count("Failed to start EIP read for tag 'Nope'"),
              1u);
    for (auto& q : rig.r.requests())
        if (q.command == 0x6F) { EXPECT_TRUE(q.routed); }
    rig.r.addValues<float>("Nope", 0xCA, {1.0f});  // the tag appears: it reads
    ASSERT_TRUE(rig.passUntil([&] { return rig.value(0, 2) == 1.0f; }));
    rig.item(0).enable = false;  // disabled: tags destroyed, flags cleared
    rig.recipe->triggerReload(SCADA_MASK_MBTCP_CLIENT);
    rig.client->runOnce();
    EXPECT_LT(rig.client->tagHandle(0, 0), 0);
    EXPECT_FALSE(rig.published()->inputs[0].used[0]);
}

// The pass that sees a tag's session come up has no read to decode: NaN, no data received.
TEST(MbtcpEip, SessionUpWithoutAReadIsNoData) {
    EipRig rig;
    rig.r.addValues<int32_t>("Cnt", 0xC4, {41});
    rig.r.setRegisterDelay(3000ms);
    rig.tag(1, "Cnt", "DINT");
    rig.recipe->checkAndConsume(0xffffffff);  // no reload in the passes: the handle stays
    rig.client->update_config();
    const int32_t h = rig.client->tagHandle(0, 0);
    ASSERT_GT(h, 0);
    ASSERT_EQ(eip::status(h), eip::STATUS_PENDING);  // registration is held back
    rig.client->runOnce();                            // sees it pending
    ASSERT_TRUE(orvane::test::waitUntil([&] { return eip::status(h) == eip::STATUS_OK; }, 30s));
    rig.client->runOnce();  // done, but nothing was read yet
    EXPECT_TRUE(std::isnan(rig.value(0, 1)));
    EXPECT_FALSE(rig.published()->connected[0]);
    ASSERT_TRUE(rig.passUntil([&] { return rig.value(0, 1) == 41.0f; }));
    EXPECT_TRUE(rig.published()->connected[0]);
}

}  // namespace

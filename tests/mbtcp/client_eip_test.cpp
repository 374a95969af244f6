// The controller client reading EtherNet/IP tags from the CIP responder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "client_rig.h"
#include "eip/eip.h"
#include "support/cip_responder.h"

using orvane::test::CipResponder;
using orvane::test::ClientRig;
using namespace std::chrono_literals;

namespace {

MBTcpClientItem& eipClient(ClientRig& rig, const CipResponder& r, const char* path = "") {
    auto& it = rig.item(0);
    it.enable = true;
    it.communication = MBTCPClient::kEipProtocol;
    it.serverIP = "127.0.0.1:" + std::to_string(r.port());
    it.name = "Ctl";
    it.path = path;
    return it;
}

MBTcpClientInputItem& tagInput(ClientRig& rig, int id, const char* tag, const char* type, int16_t count = 1) {
    auto& in = rig.input(0, id, 0, type, tag);
    in.tagName = tag;
    in.elementCount = count;
    return in;
}

// Runs passes (real time passes between them) until cond holds; false after ~10 s.
template <typename Cond>
bool passUntil(ClientRig& rig, Cond cond) {
    for (int i = 0; i < 500; ++i) {
        rig.client->runOnce();
        if (cond()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

template <typename T>
std::vector<uint8_t> bytesOf(T v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

TEST(MbtcpEip, EveryTypeDecodes) {
    CipResponder r;
    ClientRig rig;
    eipClient(rig, r);
    struct Row {
        const char* type;
        uint16_t code;
        std::vector<uint8_t> bytes;
        float expected;
    } rows[] = {
        {"BOOL", 0xC1, {0x02}, 1.0f},
        {"SINT", 0xC2, {0xFE}, -2.0f},
        {"USINT", 0xC6, {0xFE}, 254.0f},
        {"BYTE", 0xD1, {0x80}, 128.0f},
        {"INT", 0xC3, bytesOf<int16_t>(-300), -300.0f},
        {"UINT", 0xC7, bytesOf<uint16_t>(65000), 65000.0f},
        {"WORD", 0xD2, bytesOf<uint16_t>(0x1234), 4660.0f},
        {"DINT", 0xC4, bytesOf<int32_t>(-100000), -100000.0f},
        {"UDINT", 0xC8, bytesOf<uint32_t>(3000000000u), 3000000000.0f},
        {"DWORD", 0xD3, bytesOf<uint32_t>(65536), 65536.0f},
        {"REAL", 0xCA, bytesOf<float>(1.5f), 1.5f},
        {"FLOAT", 0xCA, bytesOf<float>(-2.5f), -2.5f},
        {"LINT", 0xC5, bytesOf<int64_t>(-1000000000000LL), -1e12f},
        {"ULINT", 0xC9, bytesOf<uint64_t>(1000000000000ULL), 1e12f},
        {"LWORD", 0xD4, bytesOf<uint64_t>(7), 7.0f},
        {"LREAL", 0xCB, bytesOf<double>(3.25), 3.25f},
        {"STRUCTX", 0xCA, bytesOf<float>(8.5f), 8.5f},  // any other type: a 4-byte float
    };
    int id = 1;
    for (auto& row : rows) {
        const std::string tag = std::string("T_") + row.type;
        r.addTag(tag, row.code, static_cast<int>(row.bytes.size()), row.bytes);
        tagInput(rig, id++, tag.c_str(), row.type);
    }
    rig.client->update_config();
    ASSERT_TRUE(passUntil(rig, [&] {
        for (int k = 1; k < id; ++k)
            if (std::isnan(rig.value(0, k))) return false;
        return true;
    }));
    id = 1;
    for (auto& row : rows) EXPECT_FLOAT_EQ(rig.value(0, id++), row.expected) << row.type;
    EXPECT_TRUE(rig.published()->connected[0]);
}

TEST(MbtcpEip, ElementsStopAtInput128AndDecodeAcrossPasses) {
    CipResponder r;
    r.addValues<int32_t>("Arr", 0xC4, {10, 20, 30, 40, 50});
    ClientRig rig;
    eipClient(rig, r);
    tagInput(rig, 126, "Arr", "DINT", 5);
    rig.client->update_config();
    auto pub = rig.published();
    for (int k = 125; k < 128; ++k) {
        EXPECT_TRUE(pub->inputs[0].used[k]);
        EXPECT_EQ(pub->inputs[0].names[k].str(), "Ctl.Arr." + std::to_string(k - 125));
    }
    rig.client->runOnce();  // a read is started (or the session is still being set up): nothing decoded yet
    EXPECT_TRUE(std::isnan(rig.value(0, 126)));
    EXPECT_FALSE(rig.published()->connected[0]);
    ASSERT_TRUE(passUntil(rig, [&] { return !std::isnan(rig.value(0, 128)); }));
    EXPECT_FLOAT_EQ(rig.value(0, 126), 10.0f);
    EXPECT_FLOAT_EQ(rig.value(0, 127), 20.0f);
    EXPECT_FLOAT_EQ(rig.value(0, 128), 30.0f);
    EXPECT_TRUE(rig.published()->connected[0]);
    for (auto& q : r.requests())
        if (q.command == 0x6F) {
            EXPECT_EQ(q.count, 3);
        }
}

TEST(MbtcpEip, UnknownTagIsNaNAndReadAgain) {
    CipResponder r;
    r.addValues<float>("Good", 0xCA, {4.5f});
    ClientRig rig;
    eipClient(rig, r, "1,0");
    tagInput(rig, 1, "Good", "REAL");
    tagInput(rig, 2, "Nope", "REAL");
    tagInput(rig, 3, "bad name", "REAL");
    rig.client->update_config();
    EXPECT_LT(rig.client->tagHandle(0, 2), 0);
    auto nopeReads = [&] {
        int n = 0;
        for (auto& q : r.requests()) n += q.tag == "Nope";
        return n;
    };
    ASSERT_TRUE(passUntil(rig, [&] { return !std::isnan(rig.value(0, 1)) && nopeReads() >= 3; }));
    EXPECT_TRUE(std::isnan(rig.value(0, 2)));
    for (auto& q : r.requests())
        if (q.command == 0x6F) {
            EXPECT_TRUE(q.routed);
        }
}

TEST(MbtcpEip, ResponderGoneAndBack) {
    eip::setTimingForTest({std::chrono::milliseconds(1000), std::chrono::milliseconds(1000)});
    {
        CipResponder r;
        r.addValues<int16_t>("Lvl", 0xC3, {77});
        ClientRig rig;
        eipClient(rig, r);
        tagInput(rig, 1, "Lvl", "INT");
        rig.client->update_config();
        ASSERT_TRUE(passUntil(rig, [&] { return rig.value(0, 1) == 77.0f; }));
        r.goAway();
        ASSERT_TRUE(passUntil(rig, [&] { return std::isnan(rig.value(0, 1)) && !rig.published()->connected[0]; }));
        r.comeBack();
        ASSERT_TRUE(passUntil(rig, [&] { return rig.value(0, 1) == 77.0f && rig.published()->connected[0]; }));

        rig.item(0).enable = false;
        rig.recipe->triggerReload(SCADA_MASK_MBTCP_CLIENT);
        rig.client->runOnce();
        EXPECT_LT(rig.client->tagHandle(0, 0), 0);
        EXPECT_FALSE(rig.published()->inputs[0].used[0]);
    }
    eip::setTimingForTest({});
}

}  // namespace

// The controller client against an in-process libmodbus server.
#include <gtest/gtest.h>

#include <cmath>

#include "client_rig.h"
#include "modbus_peer.h"

using orvane::test::ClientRig;
using orvane::test::ModbusPeer;

namespace {

constexpr int kRead = 3;
constexpr int kWrite = 16;

TEST(MbtcpAssemble, ByteOrders) {
    const uint16_t regs[2] = {0x1122, 0x3344};
    struct Row { const char* order; uint32_t expected; } rows[] = {
        {"ABCD", 0x11223344}, {"CDAB", 0x33441122}, {"BADC", 0x22114433}, {"DCBA", 0x44332211}, {"XYZ", 0}};
    for (auto& r : rows) EXPECT_EQ(MBTCPClient::assemble_u32_by_byteorder(r.order, regs), r.expected) << r.order;
}

TEST(MbtcpClient, ModbusTypesAndCounts) {
    ModbusPeer peer;
    ClientRig rig;
    rig.modbus(0, peer.port(), "ABCD");
    struct Row { const char* type; int16_t regLen; uint16_t r0, r1; float expected; } rows[] = {  // expected NaN: no read at all
        {"INT16", 2, 0xFFFF, 0, -1.0f},          {"UINT16", 2, 0xFFFF, 0, 65535.0f}, {"INT32", 1, 0xFFFF, 0xFFFE, -2.0f},
        {"UINT32", 1, 0x0001, 0x0000, 65536.0f}, {"FLOAT", 1, 0xC2F6, 0xE979, -123.456f}, {"BCD", 1, 0x0102, 0, 258.0f},
        {"BCD", 3, 0x0102, 0, NAN},              {"BCD", 0, 0x0102, 0, NAN},
    };
    for (int id = 1; auto& r : rows) {
        rig.input(0, id, 100 + 10 * id, r.type).regLen = r.regLen;
        peer.set(100 + 10 * id, r.r0);
        peer.set(101 + 10 * id++, r.r1);
    }
    rig.client->update_config();
    rig.client->runOnce();
    for (int id = 1; auto& r : rows) {
        if (std::isnan(r.expected)) {
            EXPECT_TRUE(std::isnan(rig.value(0, id))) << r.type;
            EXPECT_EQ(peer.count(kRead, 100 + 10 * id), 0) << r.type << " " << r.regLen;
        } else {
            EXPECT_FLOAT_EQ(rig.value(0, id), r.expected) << r.type;
        }
        ++id;
    }
}

TEST(MbtcpClient, OutputsCarryRegisterTableValues) {
    struct Row { const char* brand; int32_t vRegAddr; int expectedAt; int16_t regLen; } rows[] = {  // expectedAt -1: refused
        {"Walchem", 40001, 40000, 2}, {"Acme", 40001, 40001, 2}, {"Walchem", 0, -1, 2}, {"Acme", 40001, -1, 124},
        {"Acme", 65536 + 40001, -1, 2}};
    for (auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.brand << " " << r.vRegAddr << " " << r.regLen);
        ModbusPeer peer;
        ClientRig rig;
        float local = 12.5f;
        rig.vars->curReg = 300;
        rig.vars->registerVal("local", &local, 0);
        rig.vars->sortRegTab();
        rig.modbus(0, peer.port(), "DCBA", r.brand);  // the register table's native order: low word first
        auto& out = rig.item(0).outputs[2];
        out.id = 3, out.enable = true, out.outputAddr = 300, out.vRegAddr = r.vRegAddr, out.regLen = r.regLen;
        {
            std::lock_guard lk(rig.live->mutex());
            rig.live->data().controller.outputs[0].values[5] = 7.0f;  // written by someone else
        }
        rig.client->update_config();
        rig.client->runOnce();
        int writes = 0;
        for (auto& q : peer.requests()) writes += q.function == kWrite;
        if (r.expectedAt < 0) {
            EXPECT_EQ(writes, 0);
            continue;
        }
        EXPECT_EQ(peer.count(kWrite, r.expectedAt), 1);
        EXPECT_EQ(peer.get(r.expectedAt), 0x0000);
        EXPECT_EQ(peer.get(r.expectedAt + 1), 0x4148);
        auto pub = rig.published();
        EXPECT_FLOAT_EQ(pub->outputs[0].values[2], 12.5f);
        EXPECT_FLOAT_EQ(pub->outputs[0].values[5], 7.0f);
    }
}

// Numbers, ids and ports out of range are never polled, never cut to 16 bits.
TEST(MbtcpClient, OutOfRangeNumbersAreNeverPolled) {
    ModbusPeer peer, other;
    ClientRig rig;
    rig.modbus(0, peer.port());
    rig.input(0, 1, 5, "UINT16");
    rig.input(0, 2, 7, "UINT16").id = 0;
    rig.input(0, 3, 8, "UINT16").id = 129;
    rig.input(0, 4, -1, "UINT16");
    rig.input(0, 5, 65536 + 6, "UINT16");
    rig.modbus(1, other.port()).id = 9;
    rig.input(1, 1, 5, "UINT16");
    const int ports[] = {other.port() + 65536, 0, -1};
    for (int c = 2; c < 5; ++c) rig.modbus(c, other.port()).serverPort = ports[c - 2];
    rig.client->update_config();
    for (int i = 0; i < 3; ++i) rig.client->runOnce();
    EXPECT_EQ(other.accepted(), 0);
    EXPECT_GT(peer.count(kRead, 5), 0);
    EXPECT_EQ(peer.requests().size(), static_cast<size_t>(peer.count(kRead, 5)));
    EXPECT_FALSE(rig.in(1).used[0]);
    for (int c = 1; c < 5; ++c) EXPECT_FALSE(rig.client->connected(c)) << c;
    for (int port : ports) EXPECT_EQ(rig.client->init_mb_client(2, "127.0.0.1", port, 1), -2) << port;
}

TEST(MbtcpClient, ControllerDownStartsNamedAndNaNRecoversReloadsAndIsDisabled) {
    auto peer = std::make_unique<ModbusPeer>();
    const int port = peer->port();
    auto up = [&] {
        peer = std::make_unique<ModbusPeer>(port);
        peer->set(10, 42);
        peer->set(11, 2);
    };
    peer.reset();
    ClientRig rig;
    rig.modbus(0, port);
    rig.input(0, 1, 10, "UINT16", "level");
    rig.client->update_config();
    auto pub = rig.published();
    EXPECT_FALSE(pub->connected[0]);
    EXPECT_TRUE(pub->inputs[0].used[0]);
    EXPECT_EQ(pub->inputs[0].names[0].str(), "Ctl.level");
    EXPECT_TRUE(std::isnan(pub->inputs[0].values[0]));
    rig.client->runOnce();  // connect attempt fails
    up();
    rig.client->runOnce();  // connects
    rig.client->runOnce();  // reads
    EXPECT_FLOAT_EQ(rig.published()->inputs[0].values[0], 42.0f);
    // Server gone: the read fails, the reconnection fails, the context is freed: NaN, not 42.
    peer.reset();
    rig.client->runOnce();
    EXPECT_TRUE(std::isnan(rig.published()->inputs[0].values[0]));
    EXPECT_FALSE(rig.client->hasContext(0));
    EXPECT_FALSE(rig.published()->connected[0]);
    EXPECT_EQ(rig.client->mb_read_registers(0, 10, 1, std::array<uint16_t, 1>{}.data()), -1);
    rig.client->runOnce();  // still down: no crash
    up();
    rig.client->runOnce();
    rig.client->runOnce();
    EXPECT_FLOAT_EQ(rig.published()->inputs[0].values[0], 42.0f);
    // A new configuration applies on the change bit only; disabling closes and clears.
    rig.input(0, 1, 11, "UINT16", "b");
    rig.client->runOnce();
    EXPECT_FLOAT_EQ(rig.value(0, 1), 42.0f);
    rig.recipe->triggerReload(SCADA_MASK_MBTCP_CLIENT);
    rig.client->runOnce();  // reload (connects) and reads
    EXPECT_FLOAT_EQ(rig.value(0, 1), 2.0f);
    EXPECT_EQ(rig.published()->inputs[0].names[0].str(), "Ctl.b");
    rig.item(0).enable = false;
    rig.recipe->triggerReload(SCADA_MASK_MBTCP_CLIENT);
    rig.client->runOnce();
    EXPECT_FALSE(rig.client->hasContext(0));
    EXPECT_FALSE(rig.published()->inputs[0].used[0]);
}

TEST(MbtcpClient, BlockReadsAreBounded) {
    auto peer = std::make_unique<ModbusPeer>();
    ClientRig rig;
    rig.modbus(0, peer->port(), "ABCD");
    rig.client->update_config();
    peer->setFloatABCD(0, 1.5f);
    peer->setFloatABCD(1024, 9.0f);
    rig.client->read_registers(0, 0, 600);
    EXPECT_EQ(peer->requests().size(), static_cast<size_t>(MBTCPClient::kFloatArray));
    EXPECT_FLOAT_EQ(rig.client->floats()[0], 1.5f);
    EXPECT_FLOAT_EQ(rig.client->floats()[256], 0.0f);
    const int port = peer->port();
    peer.reset();  // a data set that cannot be read leaves NaN, not the previous set's values
    rig.client->read_registers(0, 0, 4);
    EXPECT_TRUE(std::isnan(rig.client->floats()[0]));
    peer = std::make_unique<ModbusPeer>(port);
    rig.client->update_config();
    peer->set(124, 77);
    EXPECT_EQ(rig.client->read_registers_raw(0, 0, 200), 125);
    EXPECT_EQ(peer->requests().at(0).count, 125);
    EXPECT_EQ(rig.client->raw()[124], 77);
}

TEST(MbtcpClient, ReadLineLoggedForEveryControllerButTheDk200) {
    struct Row { const char* brand; const char* model; size_t lines; } rows[] = {
        {"Acme", "DK-200", 1}, {"Kelva Works", "X1", 1}, {"Kelva Works", "DK-200S", 0}};
    for (auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.brand << " " << r.model);
        ModbusPeer peer;
        ClientRig rig;
        rig.modbus(0, peer.port(), "ABCD", r.brand).model = r.model;
        rig.input(0, 1, 10, "UINT16");
        peer.set(10, 5);
        rig.client->update_config();
        orvane::test::MbtcpLogCapture log;
        rig.client->runOnce();
        EXPECT_FLOAT_EQ(rig.value(0, 1), 5.0f);
        EXPECT_EQ(log.count("Reg Addr: 10, Reg Len: 1, Reg Type: UINT16, Reg Val: 5 0, value: 5"), r.lines);
    }
}

}  // namespace

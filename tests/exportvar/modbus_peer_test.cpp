// The register map served by a small libmodbus TCP server on loopback, read and written by real
// Modbus masters: mbpoll and a libmodbus client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

#include "register_map_fixture.h"

namespace {

constexpr int kMapRegisters = 20000;

// One client at a time; reads go through getRegVal, writes through setRegVal, both in the byte
// order given; libmodbus answers from its mapping (20000 holding and input registers, so a read
// past the register table's end would land outside the array).
class TestModbusServer {
public:
    explicit TestModbusServer(VarEngine& vars) : vars_(vars) {
        ctx_ = modbus_new_tcp("127.0.0.1", 0);
        mapping_ = modbus_mapping_new(0, 0, kMapRegisters, kMapRegisters);
        listenFd_ = modbus_tcp_listen(ctx_, 4);
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TestModbusServer() {
        stop_ = true;
        thread_.join();
        if (clientFd_ >= 0) close(clientFd_);
        close(listenFd_);
        modbus_mapping_free(mapping_);
        modbus_free(ctx_);
    }
    int port() const { return port_; }
    void setOrder(EndianessType e) { order_ = e; }
    int lastWriteOk() const { return lastWriteOk_; }

private:
    void run() {
        std::vector<uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listenFd_, &set);
            int maxFd = listenFd_;
            if (clientFd_ >= 0) {
                FD_SET(clientFd_, &set);
                maxFd = std::max(maxFd, clientFd_);
            }
            timeval tv{0, 20000};
            if (select(maxFd + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
            if (FD_ISSET(listenFd_, &set)) {
                int fd = accept(listenFd_, nullptr, nullptr);
                if (fd >= 0) {
                    if (clientFd_ >= 0) close(clientFd_);
                    clientFd_ = fd;
                }
                continue;
            }
            modbus_set_socket(ctx_, clientFd_);
            int rc = modbus_receive(ctx_, query.data());
            if (rc <= 0) {
                close(clientFd_);
                clientFd_ = -1;
                continue;
            }
            handle(query.data());
            modbus_reply(ctx_, query.data(), rc, mapping_);
        }
    }

    void handle(const uint8_t* q) {
        const int h = modbus_get_header_length(ctx_);
        const int fc = q[h];
        const int addr = (q[h + 1] << 8) | q[h + 2];
        const int count = (q[h + 3] << 8) | q[h + 4];
        if ((fc == 3 || fc == 4) && addr + count <= kMapRegisters) {
            uint16_t* table = fc == 3 ? mapping_->tab_registers : mapping_->tab_input_registers;
            vars_.getRegVal(addr, table + addr, count, order_.load());
        } else if (fc == 6) {
            lastWriteOk_ = vars_.setRegVal(addr, q + h + 3, 1, order_.load());
        } else if (fc == 16 && addr + count <= kMapRegisters) {
            lastWriteOk_ = vars_.setRegVal(addr, q + h + 6, count, order_.load());
        }
    }

    VarEngine& vars_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    int listenFd_ = -1;
    int clientFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<EndianessType> order_{EndianessType::NONE};
    std::atomic<int> lastWriteOk_{-1};
    std::thread thread_;
};

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

class ModbusPeer : public RegisterMap {
protected:
    void SetUp() override {
        RegisterMap::SetUp();
        // Two variables at the very end of the 20000-register map; the float runs past it.
        vars->curReg = kMapRegisters - 2;
        vars->registerVal("endShort", &endShort, 0);
        vars->registerVal("endFloat", &endFloat, 0);
        vars->sortRegTab();
        server = std::make_unique<TestModbusServer>(*vars);
        client = modbus_new_tcp("127.0.0.1", server->port());
        modbus_set_response_timeout(client, 20, 0);  // the server thread may be slow on a loaded machine
        ASSERT_EQ(modbus_connect(client), 0) << modbus_strerror(errno);
    }
    void TearDown() override {
        modbus_close(client);
        modbus_free(client);
        server.reset();
    }
    std::string mbpoll(const std::string& args) {
        return run("mbpoll -m tcp -0 -1 -o 10 -p " + std::to_string(server->port()) + " " + args);
    }

    short endShort = 77;
    float endFloat = 5.5f;
    std::unique_ptr<TestModbusServer> server;
    modbus_t* client = nullptr;
};

TEST_F(ModbusPeer, MbpollReadsAndWritesFloatsShortsAndBools) {
    // floatRef at register 1, low word first (the order the server uses).
    std::string out = mbpoll("-t 4:float -r 1 -c 1 127.0.0.1");
    EXPECT_NE(out.find("[1]: \t123.45"), std::string::npos) << out;

    // The same value in the high-word-first order, served in that order.
    server->setOrder(EndianessType::BADC);
    out = mbpoll("-B -t 4:float -r 1 -c 1 127.0.0.1");
    EXPECT_NE(out.find("[1]: \t123.45"), std::string::npos) << out;
    out = mbpoll("-B -t 4:float -r 1401 127.0.0.1 -- 17.25");  // Probe20mA0, fc 16
    EXPECT_EQ(recipe->sensors[0].mA_20, 17.25f) << out;
    server->setOrder(EndianessType::NONE);

    // Time zone (short) and probe 0 enable (bool), written with fc 6 and read back.
    out = mbpoll("-t 4 -r 1059 127.0.0.1 -- 3");
    EXPECT_EQ(recipe->system.timezone, 3) << out;
    out = mbpoll("-t 4 -r 1301 127.0.0.1 -- 1");
    EXPECT_TRUE(recipe->sensors[0].enable) << out;
    out = mbpoll("-t 4 -r 1059 -c 1 127.0.0.1");
    EXPECT_NE(out.find("[1059]: \t3"), std::string::npos) << out;
    out = mbpoll("-t 3 -r 1301 -c 1 127.0.0.1");  // input registers answer the same
    EXPECT_NE(out.find("[1301]: \t1"), std::string::npos) << out;

    // A read at the very end of the map: the short and the first half of the float.
    out = mbpoll("-t 4 -r 19998 -c 2 127.0.0.1");
    uint32_t bits;
    std::memcpy(&bits, &endFloat, 4);
    EXPECT_NE(out.find("[19998]: \t77"), std::string::npos) << out;
    EXPECT_NE(out.find("[19999]: \t" + std::to_string(bits & 0xffff)), std::string::npos) << out;
}

TEST_F(ModbusPeer, LibmodbusClientInEveryWordOrder) {
    live->data().probe.items[3].val = -2.75f;
    const int reg = 2001 + 2 * 3;  // Probe3
    struct Case {
        EndianessType order;
        float (*get)(const uint16_t*);
    };
    const Case cases[] = {
        {EndianessType::NONE, modbus_get_float_cdab},
        {EndianessType::DCBA, modbus_get_float_cdab},
        {EndianessType::BADC, modbus_get_float_abcd},
        {EndianessType::ABCD, modbus_get_float_badc},
        {EndianessType::CDAB, modbus_get_float_dcba},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(endianessName(c.order)));
        server->setOrder(c.order);
        uint16_t regs[2] = {0, 0};
        ASSERT_EQ(modbus_read_registers(client, reg, 2, regs), 2);
        EXPECT_EQ(c.get(regs), -2.75f);
        ASSERT_EQ(modbus_read_input_registers(client, reg, 2, regs), 2);
        EXPECT_EQ(c.get(regs), -2.75f);
    }
    server->setOrder(EndianessType::NONE);

    // Writes: an int (system pn) low word first, then a negative short.
    uint16_t pn[2];
    modbus_set_float_cdab(0, pn);  // clear
    pn[0] = 0x2345;
    pn[1] = 0x0001;
    ASSERT_EQ(modbus_write_registers(client, 1017, 2, pn), 2);
    EXPECT_EQ(recipe->system.pn, 0x12345);
    ASSERT_EQ(modbus_write_register(client, 1060, 0xFFFE), 1);
    EXPECT_EQ(recipe->system.engUnit, -2);

    // A single-register write into the last float cannot hold it: nothing is stored.
    ASSERT_EQ(modbus_write_register(client, kMapRegisters - 1, 0x4000), 1);
    EXPECT_EQ(server->lastWriteOk(), 0);
    EXPECT_EQ(endFloat, 5.5f);
    uint16_t last[2];
    ASSERT_EQ(modbus_read_registers(client, kMapRegisters - 2, 2, last), 2);
    EXPECT_EQ(last[0], 77);
}

TEST_F(ModbusPeer, Gb18030TextsOverTheWire) {
    // "我们" (CE D2 C3 C7 in GB18030) written into the system name (text of 16, register 1009).
    uint16_t text[8] = {0xD2CE, 0xC7C3, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(modbus_write_registers(client, 1009, 8, text), 8);
    EXPECT_EQ(recipe->system.name.str(), "\xe6\x88\x91\xe4\xbb\xac");
    uint16_t back[8];
    ASSERT_EQ(modbus_read_registers(client, 1009, 8, back), 8);
    EXPECT_EQ(std::vector<uint16_t>(back, back + 8), std::vector<uint16_t>(text, text + 8));

    // The HMI message (text of 128 = 64 registers) read whole, and an ASCII probe name.
    hmi->message = "calibration done";
    uint16_t msg[64];
    ASSERT_EQ(modbus_read_registers(client, 1201, 64, msg), 64);
    EXPECT_EQ(msg[0], 0x6163);  // "ca"
    EXPECT_EQ(msg[8], 0);
    recipe->sensors[4].name = "Chlorine";
    uint16_t name[16];
    ASSERT_EQ(modbus_read_registers(client, 10001 + 16 * 4, 16, name), 16);
    EXPECT_EQ(name[0], 0x6843);  // "Ch"
}

}  // namespace

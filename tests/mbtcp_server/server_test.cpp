// The Modbus TCP server over real stores, libmodbus clients as the HMI; the test plays the probe service.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "env/env_guard.h"
#include "exportvar.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/mbtcp_server.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_library.h"
#include "platform/clock.h"
#include "platform/log_throttle.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

#include <modbus/modbus.h>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kTestPN = 70001;
const char* const kCalibProbeJson = R"({
  "PN": 70001, "DataFmt": "CDAB", "ModelType": "Test", "ModelName": "CAL-1", "ModelDescription": "Calibration test",
  "ModbusAddr": 20, "Info": [], "Config": [],
  "Readings": [{"Name": "pH", "custName": "pH", "Unit": "pH", "RegAddress": 40001, "RegType": "float", "Decimal": 2,
                "Calibrations": [{"Name": "Acid Calibration", "Message": "acid", "Cmds": []},
                                 {"Name": "pH 7 Calibration", "Message": "neutral", "Cmds": []}]}],
  "Diagnosis": [], "Span4_20mA": [], "Control": [], "RestoreFactory": {"Name": "r", "Message": "r", "Cmds": []}
})";

constexpr int kProbeId = 2991, kCommand = 2992, kStatus = 2995, kDiagNum = 1501;
using Pair = std::pair<int, int>;

// Floats as the register table holds them (byte order NONE): low word first.
float floatOf(const uint16_t* regs) { return std::bit_cast<float>(regs[0] | (static_cast<uint32_t>(regs[1]) << 16)); }

// The mailbox content as text: kind, then its fields.
std::string packText(const ProbeCmd& c) {
    if (auto* p = std::get_if<CalbCmdPack>(&c)) return fmt::format("calibration {} {} {}", p->probeId, p->idxCal, p->solution);
    if (auto* p = std::get_if<RestoreCmdPack>(&c)) return fmt::format("restore {}", p->probeId);
    if (auto* p = std::get_if<ConfigCmdPack>(&c)) return fmt::format("config {} {} {} {} {} {}", p->probeId, p->param, p->cmdType, p->newAddr, p->mA_4, p->mA_20);
    const auto& p = std::get<ReplaceProbeCmdPack>(c);
    return fmt::format("replace {} {} {} {} {}", p.oldPN, p.oldSN, p.newPN, p.newSN, p.newModbusAddr);
}

struct Refusal { const char* what; std::vector<uint8_t> pdu; uint8_t code; };  // the PDU with the unit id first

class ServerRig : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::test::writeFile(root_.file("config/probes/cal_test.json"), kCalibProbeJson);
        recipe_ = std::make_unique<RecipeDataGuard>();
        env_ = std::make_unique<EnvGuard>(*recipe_, EnvGuard::Options{"", "", 4});
        live_ = std::make_unique<LiveDataGuard>(recipe_.get());
        vars_ = std::make_unique<VarEngine>();
        server_ = std::make_unique<MBTCPServer>(*recipe_, *live_, *vars_, *env_, 0);
        attachStores(*vars_, *recipe_, *live_);
        fillAllVars(ExportVarStores{*vars_, recipe_->recipe, live_->data(), server_->hmi()});
        auto& item = recipe_->recipe.sensors[0];
        item.pn = kTestPN, item.name = "pH", item.modbusAddr = 20, item.enable = true;
        item.measureType = static_cast<int32_t>(findMeasureType(item.name));
        recipe_->checkAndConsume(0xffffffffu);
        ASSERT_TRUE(server_->init());
        thread_ = std::thread([this] { server_->startLoop(); });
        ASSERT_TRUE(orvane::test::waitUntil([&] { return server_->port() > 0; }, 20s));
        ASSERT_NE(client_ = connect(), nullptr);
    }
    void TearDown() override {
        if (client_) modbus_close(client_), modbus_free(client_);
        server_->stop();
        if (thread_.joinable()) thread_.join();
        orvane::platform::Clock::setForTest(nullptr);
    }
    modbus_t* connect() {
        modbus_t* c = modbus_new_tcp("127.0.0.1", server_->port());
        modbus_set_response_timeout(c, 20, 0);
        return modbus_connect(c) == 0 ? c : (modbus_free(c), nullptr);
    }
    std::vector<uint16_t> read(int reg, int n, bool input = false) {
        std::vector<uint16_t> v(static_cast<size_t>(n), 0xDEAD);
        const int rc = input ? modbus_read_input_registers(client_, reg, n, v.data()) : modbus_read_registers(client_, reg, n, v.data());
        EXPECT_EQ(rc, n) << modbus_strerror(errno);
        return v;
    }
    void write(int reg, uint16_t value) { ASSERT_EQ(modbus_write_register(client_, reg, value), 1) << modbus_strerror(errno); }
    void write(int reg, std::vector<uint16_t> v) { ASSERT_EQ(modbus_write_registers(client_, reg, int(v.size()), v.data()), int(v.size())); }
    void writeFloat(int reg, float v) {
        const uint32_t b = std::bit_cast<uint32_t>(v);
        write(reg, {static_cast<uint16_t>(b & 0xffff), static_cast<uint16_t>(b >> 16)});
    }
    // Probe slot (counted from 1), then the command.
    void command(int probeId, int code) {
        write(kProbeId, static_cast<uint16_t>(probeId));
        write(kCommand, static_cast<uint16_t>(code));
    }
    Pair status() {
        const auto v = read(kStatus, 2);
        return {v[0], v[1]};
    }
    // Status after one refresh read (results load on the read after the probe service reports).
    Pair statusAfterRefresh() { return read(kStatus, 2), status(); }
    uint32_t changeWord() { return recipe_->changeWordForTest(); }
    ProbeMeasureRecipeItem sensor0() {
        std::lock_guard<StoreMutex> lock(recipe_->mutex);
        return recipe_->recipe.sensors[0];
    }
    // Empties the mailbox as the probe service does when it takes a command.
    ProbeCmd takeCommand() {
        ProbeCmdTicket t = env_->peekProbeCmd();
        env_->clearProbeCmd(t.seq);
        return t.cmd;
    }
    orvane::test::TempDir root_{"orvane-mbtcp-server"};
    orvane::test::ScopedRoots roots_{root_.path()};
    std::unique_ptr<RecipeDataGuard> recipe_;
    std::unique_ptr<EnvGuard> env_;
    std::unique_ptr<LiveDataGuard> live_;
    std::unique_ptr<VarEngine> vars_;
    std::unique_ptr<MBTCPServer> server_;
    std::thread thread_;
    modbus_t* client_ = nullptr;
    orvane::platform::SimulatedClock clock_;  // installed by the tests that need it
};

// Refused requests get their exception at once, store nothing and leave the next request in the socket.
TEST_F(ServerRig, RefusedRequestsGetExceptionsStoreNothingAndLeaveTheFollowingBytes) {
    write(1059, 7);  // time zone
    const RegVal far = vars_->findByReg(22901).second;  // a recipe value past the served table
    ASSERT_NE(far.index(), 0u);
    const std::string farBefore = var_to_string(far);
    MBTCPServer other(*recipe_, *live_, *vars_, *env_, 0);
    ASSERT_TRUE(other.init());
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    modbus_mapping_t* mapping = modbus_mapping_new_start_address(0, 0, 0, 0, 0, 20000, 0, 20000);
    ASSERT_NE(mapping, nullptr);
    constexpr uint8_t kFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION, kValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE,
                      kAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    const Refusal cases[] = {
        {"write and read", {0xFF, 0x17, 0x04, 0x23, 0x00, 0x01, 0x04, 0x23, 0x00, 0x01, 0x02, 0x00, 0x05}, kFunction},
        {"read past the table", {0xFF, 0x03, 0x4E, 0x1F, 0x00, 0x02}, kAddress},
        {"write, byte count 4 for 1", {0xFF, 0x10, 0x04, 0x23, 0x00, 0x01, 0x04, 0x00, 0x05, 0x00, 0x05}, kValue},
        {"single write at 22901", {0xFF, 0x06, 0x59, 0x75, 0x00, 0x05}, kAddress},
        {"write at 22901", {0xFF, 0x10, 0x59, 0x75, 0x00, 0x02, 0x04, 0x00, 0x05, 0x00, 0x05}, kAddress},
        {"read of 126", {0xFF, 0x03, 0x00, 0x00, 0x00, 0x7E}, kValue},
        {"write of 124", {0xFF, 0x10, 0x04, 0x23, 0x00, 0x7C, 0xF8}, kValue},
        {"discrete inputs, count 2001", {0xFF, 0x02, 0x00, 0x00, 0x07, 0xD1}, kValue},
        {"write coils, 1 byte for 16", {0xFF, 0x0F, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00}, kValue},
        {"unknown function", {0xFF, 0x41, 0x00, 0x00, 0x00, 0x01}, kFunction},
        {"read coils", {0xFF, 0x01, 0x00, 0x00, 0x00, 0x01}, kAddress},
        {"single write of half a value", {0xFF, 0x06, 0x00, 0x05, 0x00, 0x01}, kValue},
        {"function 0x81", {0xFF, 0x81, 0x00, 0x00, 0x00, 0x01}, kFunction},
    };
    const std::vector<uint16_t> refsBefore = read(1, 6);
    const std::vector<uint8_t> next = {0x00, 0x09, 0x00, 0x00, 0x00, 0x06, 0xFF, 0x03};
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ASSERT_EQ(::send(sv[1], next.data(), next.size(), MSG_NOSIGNAL), static_cast<ssize_t>(next.size()));
        modbus_set_socket(ctx, sv[0]);
        std::array<uint8_t, MBTCPServer::kQueryLength> query{0x00, 0x07, 0x00, 0x00, 0x00, static_cast<uint8_t>(c.pdu.size())};
        std::copy(c.pdu.begin(), c.pdu.end(), query.begin() + 6);  // zeros after it, as in the server's buffer
        EXPECT_EQ(other.processMBTCPRequst(ctx, query.data(), static_cast<int>(6 + c.pdu.size()), mapping), 0);
        uint8_t rsp[64], left[64];
        ASSERT_EQ(::recv(sv[1], rsp, sizeof rsp, MSG_DONTWAIT), 9);
        EXPECT_EQ(rsp[7], c.pdu[1] | 0x80);
        EXPECT_EQ(rsp[8], c.code);
        EXPECT_EQ(::recv(sv[0], left, sizeof left, MSG_DONTWAIT), static_cast<ssize_t>(next.size()));
        modbus_set_socket(ctx, -1);
        ::close(sv[0]), ::close(sv[1]);
    }
    modbus_mapping_free(mapping);
    modbus_free(ctx);
    EXPECT_EQ(read(1059, 1)[0], 7);
    EXPECT_EQ(var_to_string(far), farBefore);
    EXPECT_EQ(read(1, 6), refsBefore);
}

// Every register of a read holds its current content, whatever earlier reads left in the
// server's register array: a value cut by either end gives its words inside the range, a
// register where no value lies reads 0. Holding and input registers alike.
TEST_F(ServerRig, ReadsAnswerTheCurrentContentOfEveryRegister) {
    auto words = [](float f) { return std::bit_cast<std::array<uint16_t, 2>>(f); };  // low word first
    const auto ref = words(123.45f), before = words(7.31f), after = words(8.64f);
    struct Row { const char* what; float pH; int reg, n; std::vector<uint16_t> regs; };
    const Row rows[] = {
        {"the first read, from a gap", 0, 0, 12, {0, ref[0], ref[1], 0x0304, 0x0102, 0x0304, 0x0102, 0, 0, 0, 0, 0}},
        {"from inside a value into a gap", 0, 6, 3, {0x0102, 0, 0}},
        {"values cut at both ends", 0, 2, 2, {ref[1], 0x0304}},
        {"a text of 64 registers from 63 before", 0, 1264, 4, {0x7878, 0x6154, 0x6B6E, 0}},
        {"inside one text", 0, 1203, 2, {0x7878, 0x7878}},
        {"a probe value whole", 7.31f, 2001, 2, {before[0], before[1]}},
        {"from a gap, after a change", 8.64f, 1995, 8, {0, 0, 0, 0, 0, 0, after[0], after[1]}},
    };
    write(1201, std::vector<uint16_t>(64, 0x7878));  // message: 128 x 'x'
    write(1265, {0x6154, 0x6B6E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // custom name "Tank"
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.pH != 0) {
            std::lock_guard<StoreMutex> lock(live_->mutex());
            live_->data().probe.items[0].val = r.pH;
        }
        EXPECT_EQ(read(r.reg, r.n), r.regs);
        EXPECT_EQ(read(r.reg, r.n, true), r.regs);
    }
    uint16_t regs[2];  // past the table: the exception
    for (auto* readFn : {modbus_read_registers, modbus_read_input_registers}) EXPECT_EQ(readFn(client_, 19999, 2, regs), -1);
}

// A peer that repeats a request cannot flood the log: each line it causes is logged once, then
// once per 10 s with the count; the answers and the request lines stay as they are.
TEST_F(ServerRig, RepeatedRequestsLogOnceThenOncePerIntervalWithTheCount) {
    orvane::platform::Clock::setForTest(&clock_);
    orvane::test::LogCapture log({{LogModule::MBTCP, LogLevel::INFO}, {LogModule::SCADA, LogLevel::WARN}});
    uint8_t bits[1];
    struct Row { std::string line; std::function<int()> request; int answer; };  // answer: the count, or -errno
    const Row rows[] = {
        {"Modbus TCP write refused: no value starts at register 0", [&] { return modbus_write_register(client_, 0, 1); }, -EMBXILADD},
        {"unhandle function code 1", [&] { return modbus_read_bits(client_, 0, 1, bits); }, -EMBXILADD},
        {"setRegVal clientType = NONE, nativeEndianess = DCBA", [&] { return modbus_write_register(client_, 1059, 7); }, 1},
        {"HMI command: 0, probe ID: 0, parameter:0", [&] { return modbus_write_register(client_, kCommand, 0); }, 1},
    };
    auto answer = [](int rc) { return rc < 0 ? -errno : rc; };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(answer(r.request()), r.answer);
        clock_.advance(10s);
        EXPECT_EQ(answer(r.request()), r.answer);
        EXPECT_EQ(log.lines(r.line), (std::vector<std::string>{r.line, r.line + orvane::platform::LogThrottle::note(300)}));
    }
    EXPECT_EQ(log.lines("Modbus TCP request: funcCode: 6").size(), 3u * 301u);
    // A peer that connects again for each request is held back all the same: one line for five.
    for (int i = 0; i < 5; ++i) {
        modbus_close(client_), modbus_free(client_), client_ = connect();
        EXPECT_EQ(answer(rows[0].request()), rows[0].answer);
    }
    EXPECT_EQ(log.lines(rows[0].line).size(), 3u);
}

TEST_F(ServerRig, DiagnosisResultsShowOnTheReadAfterTheProbeServiceReports) {
    command(1, 24);
    EXPECT_EQ(env_->diagnoseProbeId.load(), 0u);
    EXPECT_EQ(env_->diagnoseStatus.load(), -1);
    EXPECT_EQ(status(), Pair(0, 0));
    {
        std::lock_guard<StoreMutex> lock(live_->mutex());
        for (int i = 0; i < kDiagnValues; ++i) live_->data().probe.diagn[static_cast<size_t>(i)] = 1.5f * (i + 1);
    }
    env_->diagnoseResult.store(3);
    env_->diagnoseStatus.store(1);
    EXPECT_EQ(status(), Pair(0, 0));  // loaded before the refresh
    EXPECT_EQ(status(), Pair(2, 2));
    const auto d = read(kDiagNum, 5);
    EXPECT_EQ(read(kDiagNum, 5, true), d);  // input registers are the same table
    EXPECT_EQ(d[0], 3);
    EXPECT_EQ(floatOf(&d[1]), 1.5f);
    EXPECT_EQ(floatOf(&d[3]), 3.0f);
    command(200, 24);  // a slot outside the table is refused
    EXPECT_EQ(status(), Pair(0, 0));
}

// Each probe command: status and result (2 and 7 before), its mailbox pack, the block once reported.
TEST_F(ServerRig, ProbeCommandsReportTheirOwnOutcome) {
    write(kCommand - 1, {1, 13});  // writes that do not start at the command register run nothing
    const uint16_t from2990[] = {0, 1, 13};  // starts in a gap: refused
    EXPECT_EQ(modbus_write_registers(client_, kCommand - 2, 3, from2990), -1);
    EXPECT_EQ(env_->probeCmdPending.load(), 0);
    EXPECT_EQ(env_->restoreStatus.load(), -1);
    struct Row { const char* what; int probeId, code; float parameter; Pair now; const char* pack; std::atomic<int16_t>* word; int16_t outcome; Pair after; };
    auto* cal = &env_->calibStatus, *cfg = &env_->configStatus;
    const Row rows[] = {
        {"calibration 7", 1, 7, 0, {0, 20}, "", nullptr, 0, {0, 20}},    // "Low Calibration": no match in the definition
        {"calibration 14", 1, 14, 0, {0, 20}, "", nullptr, 0, {0, 20}},  // 14 and above never match
        {"pH 7 calibration", 1, 3, 7.0f, {1, 1}, "calibration 0 1 7", cal, 1, {2, 2}},
        {"restore", 1, 13, 0, {1, 7}, "restore 0", &env_->restoreStatus, 0, {2, 1}},
        {"address change", 1, 21, 12.0f, {1, 7}, "config 0 -1 4 12 nan nan", cfg, 1, {2, 2}},
        {"4 mA span", 1, 22, 4.5f, {1, 7}, "config 0 -1 5 -1 4.5 nan", cfg, 0, {2, 1}},
        {"diagnosis", 1, 24, 0, {2, 7}, "", &env_->diagnoseStatus, 0, {2, 1}},
        {"replacement", 0, 29, 0, {1, 7}, "replace 70001 111 70002 222 33", &env_->replaceStatus, 1, {2, 2}},
    };
    write(1901, {70001 & 0xffff, 70001 >> 16, 111, 0, 70002 & 0xffff, 70002 >> 16, 222, 0, 33});  // old PN, SN, new PN, SN, address
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        write(kStatus, {2, 7}), writeFloat(2993, r.parameter), command(r.probeId, r.code);
        EXPECT_EQ(status(), r.now);
        EXPECT_EQ(read(kCommand, 1)[0], r.code == 29 ? 29 : 0);
        EXPECT_EQ(env_->probeCmdPending.load() ? packText(takeCommand()) : "", r.pack);
        if (r.word == cal) env_->setCalibMessage("calibration succeed");
        if (r.word) r.word->store(r.outcome);
        EXPECT_EQ(statusAfterRefresh(), r.after);
    }
    EXPECT_EQ(read(1201, 2)[0], 0x6163);  // "ca" of the calibration's message
    // A command while another sits in the mailbox is refused, and stays refused.
    command(1, 13);
    command(1, 22);  // 4-mA span
    EXPECT_EQ(status(), Pair(0, 0));
    EXPECT_EQ(status(), Pair(0, 0));
}

// System commands wait for the next HMI command; removal, manual add and rename report their own outcome.
TEST_F(ServerRig, SystemAndProbeListCommands) {
    write(MBTCPServer::kSystemCommandReg, 1);
    EXPECT_EQ(changeWord(), 0u);
    command(1, 0);
    EXPECT_EQ(changeWord(), 0x8000u | 0x2000u | 0x2u);
    recipe_->checkAndConsume(0xffffffffu);
    // 3 then remove probe 1: removed, then the reboot bit.
    write(MBTCPServer::kSystemCommandReg, 3);
    EXPECT_EQ(changeWord(), 0u);
    command(1, 28);
    EXPECT_EQ(changeWord() & 0x80000000u, 0x80000000u);
    EXPECT_EQ(sensor0().pn, 0u);
    EXPECT_EQ(status(), Pair(2, 2));
    // 4: Wi-Fi reload at once; a removal of a slot outside the table fails.
    recipe_->checkAndConsume(0xffffffffu);
    write(MBTCPServer::kSystemCommandReg, 4);
    EXPECT_EQ(changeWord(), 0x10000u);
    command(0, 28);
    EXPECT_EQ(status(), Pair(2, 1));
    // Manual add at address 30 (PN at 1910, address at 1912): part number 0 fails, a known one is added.
    write(1912, 30);
    command(0, 30);
    EXPECT_EQ(status(), Pair(2, 1));
    write(1910, {kTestPN & 0xffff, kTestPN >> 16});
    command(0, 30);
    EXPECT_EQ(status(), Pair(2, 2));
    EXPECT_EQ(sensor0().pn, kTestPN);
    // Rename slot 1 (custom name of 32 characters at 1265), then a slot outside the table.
    std::vector<uint16_t> name(16);
    name[0] = 0x6154, name[1] = 0x6B6E;  // "Tank"
    write(1265, name);
    command(1, 31);
    EXPECT_EQ(status(), Pair(2, 2));
    EXPECT_EQ(sensor0().custName.str(), "Tank");
    command(0, 31);
    EXPECT_EQ(status(), Pair(2, 1));
    EXPECT_EQ(read(kCommand, 1)[0], 0);
}

TEST_F(ServerRig, ScanProgressAndAddBatchFromTheSlots) {
    write(kStatus, {2, 7});  // a scan leaves the status words as they are
    command(0, 25);
    EXPECT_EQ(env_->scanState.load(), 1u);
    ProbeScanResultItem found;
    found.modelName = "PHX-200", found.sn = 31337, found.pn = 50210;
    ProbeScanResultItem moved = found;
    found.modbusAddr = 10, found.suggestedAddr = -1, moved.modbusAddr = 11, moved.suggestedAddr = 12;
    env_->setScanResults({found, moved});
    env_->scanProgress.store(40);
    env_->scanCount.store(2);
    read(1551, 2);
    EXPECT_EQ(read(1551, 2), (std::vector<uint16_t>{40, 2}));
    EXPECT_EQ(read(1601 + 26, 3), (std::vector<uint16_t>{10, 0xFFFF, 1}));  // addr, suggested, enable
    env_->scanState.store(2);
    EXPECT_EQ(statusAfterRefresh(), Pair(2, 7));
    write(kCommand, 27);
    const ProbeCmd batch = takeCommand();
    ASSERT_TRUE(std::holds_alternative<ChangeAddrBatch>(batch));
    const auto& items = std::get<ChangeAddrBatch>(batch);
    EXPECT_EQ(Pair(items[0].addr, items[0].newAddr), Pair(10, 0));  // no free address: left where it is
    EXPECT_EQ(items[0].pn, 50210);
    EXPECT_EQ(Pair(items[1].addr, items[1].newAddr), Pair(11, 12));
    EXPECT_EQ(items[2].addr, 0);
    // None selected: an empty batch still ends the scan session.
    write(1601 + 28, 0), write(1601 + 29 + 28, 0), env_->scanState.store(2);
    write(kCommand, 27);
    EXPECT_EQ(std::get<ChangeAddrBatch>(takeCommand())[0].addr, 0);
}

TEST_F(ServerRig, ConcurrentClientsWhileOneLeavesMidRequest) {
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            modbus_t* c = connect();
            uint16_t regs[10];
            for (int i = 0; c && i < 100; ++i)
                failures += (modbus_read_registers(c, 2001, 10, regs) != 10) + (modbus_write_register(c, 1059, static_cast<uint16_t>(t)) != 1);
            c ? (modbus_close(c), modbus_free(c)) : void(++failures);
        });
    // Raw peers (half a request, two in one segment, an impossible length): all the server sent until it closed.
    auto rawPeer = [&](const std::vector<uint8_t>& bytes, bool leave) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(server_->port())), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        std::vector<uint8_t> got;
        timeval tv{60, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint8_t buf[512];
        for (ssize_t n; !leave && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.insert(got.end(), buf, buf + n);
        ::close(fd);
        return got;
    };
    const std::vector<uint8_t> read1 = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0xFF, 0x03, 0x04, 0x23, 0x00, 0x01};
    rawPeer({read1.begin(), read1.begin() + 8}, true);
    EXPECT_TRUE(rawPeer({read1.begin(), read1.begin() + 8}, false).empty());  // closed after 2 s
    std::vector<uint8_t> two = read1;
    two.insert(two.end(), read1.begin(), read1.end());
    two.insert(two.end(), {0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0xFF});  // length 1: closes
    EXPECT_EQ(rawPeer(two, false).size(), 2u * 11u);
    for (auto& t : clients) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(read(1059, 1).size(), 1u);
}

TEST_F(ServerRig, PortOutsideTheRangeLeavesASecondServerIdleUntilStop) {
    for (int port : {0, -5, 70000}) {
        recipe_->recipe.mbTcpServer.serverPort = port;
        MBTCPServer idle(*recipe_, *live_, *vars_, *env_);
        EXPECT_FALSE(idle.init()) << port;
        std::thread t([&] { idle.startLoop(); });
        idle.stop();
        t.join();
        EXPECT_EQ(idle.port(), 0) << port;
    }
}

}  // namespace

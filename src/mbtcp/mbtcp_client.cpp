#include "mbtcp/mbtcp_client.h"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "eip/eip.h"
#include "live/var_engine.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "utils/log.h"

#include <modbus/modbus.h>

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Registers a Modbus input reads: by data type, else its own count.
int modbusRegisterCount(const MBTcpClientInputItem& in) {
    std::string_view t = in.dataType.view();
    if (t == "INT16" || t == "UINT16") return 1;
    if (t == "INT32" || t == "UINT32" || t == "FLOAT") return 2;
    return in.regLen;
}

bool signedType(std::string_view t) { return t == "INT16" || t == "INT32"; }

// EtherNet/IP element size by tag data type.
int eipElementSize(std::string_view t) {
    if (t == "BOOL" || t == "SINT" || t == "USINT" || t == "BYTE") return 1;
    if (t == "INT" || t == "UINT" || t == "WORD") return 2;
    if (t == "LINT" || t == "ULINT" || t == "LWORD" || t == "LREAL") return 8;
    return 4;
}

// One element at offset, converted to float by the data type; NaN when it is not in the data.
float eipValue(std::string_view t, int32_t h, int off) {
    auto f = [](auto v) { return v ? static_cast<float>(*v) : kNaN; };
    if (t == "BOOL") {
        auto v = eip::get_uint8(h, off);
        return v ? (*v ? 1.0f : 0.0f) : kNaN;
    }
    if (t == "SINT") return f(eip::get_int8(h, off));
    if (t == "USINT" || t == "BYTE") return f(eip::get_uint8(h, off));
    if (t == "INT") return f(eip::get_int16(h, off));
    if (t == "UINT" || t == "WORD") return f(eip::get_uint16(h, off));
    if (t == "DINT") return f(eip::get_int32(h, off));
    if (t == "UDINT" || t == "DWORD") return f(eip::get_uint32(h, off));
    if (t == "LINT") return f(eip::get_int64(h, off));
    if (t == "ULINT" || t == "LWORD") return f(eip::get_uint64(h, off));
    if (t == "LREAL") return f(eip::get_float64(h, off));
    return f(eip::get_float32(h, off));
}

uint16_t swapBytes(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }

bool validInputId(int id) { return id >= 1 && id <= MBTCPClient::kIo; }

// A register number as sent on the wire: libmodbus would cut a larger one to 16 bits.
bool validRegister(int address) { return address >= 0 && address <= 0xFFFF; }

bool unsafeAttribute(std::string_view s) { return s.find_first_of("&=") != std::string_view::npos; }

}  // namespace

MBTCPClient::MBTCPClient(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars)
    : recipe_(recipe),
      live_(live),
      vars_(vars),
      items_(std::make_unique<std::array<MBTcpClientItem, kClients>>()),
      work_(std::make_unique<ControllerLiveData>()) {
    for (auto& row : tags_) row.fill(-1);
    floats_.fill(kNaN);
}

MBTCPClient::~MBTCPClient() {
    for (int c = 0; c < kClients; ++c) {
        mb_clean(c);
        eip_destroy_tags(c);
    }
}

void MBTCPClient::stop() { stopper_.stop(); }

void MBTCPClient::pause(int ms) { orvane::platform::Clock::get().sleepFor(std::chrono::milliseconds(ms)); }

int MBTCPClient::loop_thread() {
    SLOG_WARN(MBTCP, "=========> Start MBTCP Client Loop thread <==========");
    recipe_.checkAndConsume(SCADA_MASK_MBTCP_CLIENT);
    update_config();
    auto& clock = orvane::platform::Clock::get();
    while (!stopper_.stopped()) {
        runOnce();
        for (int i = 0; i < 10 && !stopper_.stopped(); ++i) clock.sleepFor(std::chrono::milliseconds(100));
    }
    return 0;
}

void MBTCPClient::runOnce() {
    try {
        // A reload that throws (a session thread that cannot start, an allocation) is reported
        // like a failed pass; the thread goes on and the next pass works with what was loaded.
        if (recipe_.checkAndConsume(SCADA_MASK_MBTCP_CLIENT)) {
            SLOG_INFO(MBTCP, "Modbus TCP Config is changed");
            update_config();
        }
        for (int c = 0; c < kClients && !stopper_.stopped(); ++c) {
            const MBTcpClientItem& item = (*items_)[c];
            if (!item.enable || item.id < 1 || item.id > kClients) continue;
            if (item.communication == kEipProtocol) {
                handleOneEipClient(c, item);
            } else if (connected_[c]) {
                handleOneClient(c, item);
            } else {
                connected_[c] = init_mb_client(c, item.serverIP.c_str(), item.serverPort, item.slaveId) == 0;
            }
            work_->connected[c] = item.communication == kEipProtocol ? dataReceived_[c] : connected_[c];
        }
    } catch (const std::exception& e) {
        SLOG_WARN(MBTCP, "Catch an error in MOBUD TCP Client: {}", e.what());
    }
    publish();
}

void MBTCPClient::publish() {
    std::lock_guard lk(live_.mutex());
    ControllerLiveData& live = live_.data().controller;
    for (int c = 0; c < kClients; ++c) {
        live.inputs[c] = work_->inputs[c];
        live.connected[c] = work_->connected[c];
        for (int j = 0; j < kIo; ++j)
            if (outputWritten_[c][j]) live.outputs[c].values[j] = work_->outputs[c].values[j];
        outputWritten_[c].fill(false);
    }
}

// ---- configuration ---------------------------------------------------------------------------

void MBTCPClient::clearBlock(int c) {
    ControllerBlock& b = work_->inputs[c];
    b.id = 0;
    b.values.fill(kNaN);
    b.used.fill(false);
    for (auto& n : b.names) n = "";
    work_->connected[c] = false;
    dataReceived_[c] = false;
}

int MBTCPClient::eipElements(const MBTcpClientInputItem& in) {
    int n = in.elementCount < 2 ? 1 : in.elementCount;
    return std::min(n, kIo - in.id + 1);
}

void MBTCPClient::nameInputs(int c, const MBTcpClientItem& item, bool eip) {
    ControllerBlock& b = work_->inputs[c];
    b.id = item.id;
    for (const auto& in : item.inputs) {
        if (!validInputId(in.id)) {
            if (in.enable) SLOG_WARN(MBTCP, "Input Id {} is out of range.", in.id);
            continue;
        }
        const std::string base = fmt::format("{}.{}", item.name.view(),
                                             in.custName.empty() ? in.regName.view() : in.custName.view());
        const int n = eip ? eipElements(in) : 1;
        for (int k = 0; k < n; ++k) {
            const int place = in.id - 1 + k;
            b.values[place] = kNaN;
            b.used[place] = in.enable;
            b.names[place] = n > 1 ? fmt::format("{}.{}", base, k) : base;
        }
    }
}

void MBTCPClient::update_config() {
    {
        std::lock_guard lk(recipe_.mutex);
        *items_ = recipe_.recipe.mbTcpClient;
    }
    for (int c = 0; c < kClients; ++c) {
        const MBTcpClientItem& item = (*items_)[c];
        clearBlock(c);
        if (item.id < 1 || item.id > kClients) {
            SLOG_WARN(MBTCP, "Client Id {} is out of range.", item.id);
            mb_clean(c);
            connected_[c] = false;
            eip_destroy_tags(c);
            continue;
        }
        if (item.communication == kEipProtocol) {
            mb_clean(c);
            connected_[c] = false;
            if (item.enable) {
                eip_rebuild_tags(c, item);
                nameInputs(c, item, true);
            } else {
                eip_destroy_tags(c);
            }
            continue;
        }
        eip_destroy_tags(c);
        if (!item.enable) {
            mb_clean(c);
            connected_[c] = false;
            continue;
        }
        connected_[c] = init_mb_client(c, item.serverIP.c_str(), item.serverPort, item.slaveId) == 0;
        work_->connected[c] = connected_[c];
        nameInputs(c, item, false);
    }
    publish();
}

// ---- Modbus TCP ------------------------------------------------------------------------------

void MBTCPClient::mb_clean(int index) {
    if (index < 0 || index >= kClients || !ctx_[index]) return;
    modbus_close(ctx_[index]);
    modbus_free(ctx_[index]);
    ctx_[index] = nullptr;
}

int MBTCPClient::init_mb_client(int index, const char* ip, int port, int slave) {
    if (index < 0 || index >= kClients) return -1;
    mb_clean(index);
    if (port < 1 || port > 65535) {
        // libmodbus would cut the number to 16 bits and reach another port.
        SLOG_WARN(MBTCP, "Error connecting to modbus server: {}", fmt::format("port {} out of range", port));
        return -2;
    }
    modbus_t* ctx = modbus_new_tcp(ip, port);
    if (!ctx) {
        SLOG_ERROR(MBTCP, "Error allocating libmodbus context: {}", modbus_strerror(errno));
        return -1;
    }
    if (responseTimeout_.count() > 0) {
        const auto ms = responseTimeout_.count();
        modbus_set_response_timeout(ctx, static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>((ms % 1000) * 1000));
    }
    if (modbus_connect(ctx) == -1) {
        SLOG_WARN(MBTCP, "Error connecting to modbus server: {}", modbus_strerror(errno));
        modbus_free(ctx);
        return -2;
    }
    modbus_set_slave(ctx, slave);
    modbus_set_debug(ctx, is_model_output(LogModule::LIBMODBUS, LogLevel::DEBUG) ? TRUE : FALSE);
    ctx_[index] = ctx;
    return 0;
}

bool MBTCPClient::reconnect(int index) {
    modbus_close(ctx_[index]);
    if (modbus_connect(ctx_[index]) == -1) {
        SLOG_WARN(MBTCP, "Connection failed: {}", modbus_strerror(errno));
        mb_clean(index);
        connected_[index] = false;
        return false;
    }
    return true;
}

// One Modbus exchange on controller index, tried again once after a reconnect when it fails.
// what names the exchange in the log ("read from", "write to").
int MBTCPClient::withRetry(int index, const char* what, int address, int count,
                           const std::function<int(modbus_t*)>& exchange) {
    int rc = exchange(ctx_[index]);
    if (rc != -1) return rc;
    SLOG_WARN(MBTCP, "Fail to {} {} [{}]: {}", what, address, count, modbus_strerror(errno));
    if (!reconnect(index)) return -1;
    rc = exchange(ctx_[index]);
    if (rc == -1) SLOG_WARN(MBTCP, "Fail again to {} {} [{}]: {}", what, address, count, modbus_strerror(errno));
    return rc;
}

int MBTCPClient::mb_read_registers(int index, int address, int count, uint16_t* dest) {
    if (index < 0 || index >= kClients || !dest || !ctx_[index]) return -1;
    return withRetry(index, "read from", address, count,
                     [&](modbus_t* ctx) { return modbus_read_registers(ctx, address, count, dest); });
}

int MBTCPClient::mb_write_registers(int index, int address, int count, const uint16_t* src) {
    if (index < 0 || index >= kClients || !src || !ctx_[index]) return -1;
    return withRetry(index, "write to", address, count,
                     [&](modbus_t* ctx) { return modbus_write_registers(ctx, address, count, src); });
}

uint32_t MBTCPClient::assemble_u32_by_byteorder(std::string_view order, const uint16_t* regs) {
    const uint32_t r0 = regs[0], r1 = regs[1];
    if (order == "ABCD") return (r0 << 16) | r1;
    if (order == "CDAB") return (r1 << 16) | r0;
    if (order == "BADC") return (static_cast<uint32_t>(swapBytes(regs[0])) << 16) | swapBytes(regs[1]);
    if (order == "DCBA") return (static_cast<uint32_t>(swapBytes(regs[1])) << 16) | swapBytes(regs[0]);
    return 0;
}

MBTCPClient::RegisterRead MBTCPClient::read_register(int index, int address, int count, uint16_t* raw, bool isFloat,
                                                     bool isSigned) {
    if (count != 1 && count != 2) return {kNaN, -1};
    uint16_t regs[2] = {0, 0};
    const int rc = mb_read_registers(index, address, count, regs);
    if (raw) {
        raw[0] = regs[0];
        raw[1] = regs[1];
    }
    if (rc != count) {
        SLOG_WARN(MBTCP, "Fail to read data {} [{}]: {}", address, count, modbus_strerror(errno));
        return {kNaN, rc < 0 ? rc : -1};
    }
    if (count == 1)
        return {isSigned ? static_cast<float>(static_cast<int16_t>(regs[0])) : static_cast<float>(regs[0]), rc};
    const uint32_t u = assemble_u32_by_byteorder((*items_)[index].byteOrder.view(), regs);
    if (isFloat) {
        const float f = std::bit_cast<float>(u);
        SLOG_INFO(MBTCP, "Read float data {}, length: {}, raw value: {}, float value: {}", address, count, u, f);
        return {f, rc};
    }
    const float v = isSigned ? static_cast<float>(static_cast<int32_t>(u)) : static_cast<float>(u);
    SLOG_INFO(MBTCP, "Read int data {}, length: {}, value: {}", address, count, v);
    return {v, rc};
}

void MBTCPClient::read_registers(int index, int address, int count) {
    floats_.fill(kNaN);
    for (int off = 0; off + 1 < count && off / 2 < kFloatArray && !stopper_.stopped(); off += 2) {
        RegisterRead r = read_register(index, address + off, 2, nullptr, true);
        if (r.rc == 2) floats_[off / 2] = r.value;
        pause(10);
    }
}

int MBTCPClient::read_registers_raw(int index, int address, int count) {
    count = std::clamp(count, 0, kRawArray);
    int rc = mb_read_registers(index, address, count, raw_.data());
    if (rc == -1) {
        SLOG_ERROR(MBTCP, "Fail to read from {} [{}]: {}", address, count, modbus_strerror(errno));
        return rc;
    }
    SLOG_INFO(MBTCP, "Raw values: {}", fmt::join(raw_.begin(), raw_.begin() + rc, " "));
    return rc;
}

bool MBTCPClient::isDk200(const MBTcpClientItemBase& item) {
    return item.brand.view() == "Kelva Works" && item.model.view().substr(0, 6) == "DK-200";
}

void MBTCPClient::handleOneClient(int c, const MBTcpClientItem& item) {
    const bool dk = isDk200(item);
    for (const auto& in : item.inputs) {
        if (stopper_.stopped()) return;  // a stop request ends the pass early
        if (!in.enable) continue;
        if (!validRegister(in.regAddr) || !validInputId(in.id)) {
            SLOG_INFO(MBTCP, "Wrong parameters: Addr {}; input: {}", in.regAddr, in.id);
            continue;
        }
        const int count = modbusRegisterCount(in);
        uint16_t raw[2] = {0, 0};
        const std::string_view type = in.dataType.view();
        RegisterRead r = read_register(c, in.regAddr, count, raw, type == "FLOAT", signedType(type));
        work_->inputs[c].values[in.id - 1] = r.value;
        if (r.rc == count) {
            if (dk) {
                if (in.regAddr == 100)
                    handleKelvaDKHvd(c, raw[0]);
                else if (in.regAddr == 4213)
                    handleKelvaDKOPW318(c, raw[0]);
            } else {
                SLOG_INFO(MBTCP, "Reg Addr: {}, Reg Len: {}, Reg Type: {}, Reg Val: {} {}, value: {}", in.regAddr,
                          count, type, raw[0], raw[1], r.value);
            }
        }
        pause(70);
    }
    handleOutputs(c, item);
    if (dk) handleKelvaDKLteNetwork(c);
}

void MBTCPClient::handleOutputs(int c, const MBTcpClientItem& item) {
    const bool walchem = item.brand.view() == "Walchem";
    const EndianessType order = endianessFromName(item.byteOrder.view());
    for (const auto& out : item.outputs) {
        if (stopper_.stopped()) return;
        if (!out.enable) continue;
        int remote = out.vRegAddr - (walchem ? 1 : 0);
        if (out.outputAddr < 0 || out.vRegAddr < 0 || !validRegister(remote)) {
            SLOG_WARN(MBTCP, "Fail to write from {} => {}", out.outputAddr, out.vRegAddr);
            continue;
        }
        if (out.id < 1 || out.id > kIo) {
            SLOG_WARN(MBTCP, "Output Id {} is out of range.", out.id);
            continue;
        }
        if (out.regLen < 1 || out.regLen > kMaxOutputRegisters) {
            SLOG_WARN(MBTCP, "Output {} register count {} is out of range.", out.id, out.regLen);
            continue;
        }
        std::array<uint16_t, kMaxOutputRegisters> regs{};
        if (!vars_.getRegVal(out.outputAddr, regs.data(), out.regLen, order)) {
            SLOG_WARN(MBTCP, "Fail to write from {} => {}", out.outputAddr, out.vRegAddr);
            continue;
        }
        const int rc = mb_write_registers(c, remote, out.regLen, regs.data());
        if (rc != -1) {
            work_->outputs[c].values[out.id - 1] = std::bit_cast<float>(assemble_u32_by_byteorder("CDAB", regs.data()));
            outputWritten_[c][out.id - 1] = true;
            SLOG_INFO(MBTCP, "Write local {}@{} to remote@{} [{}]: {} {}", out.outputName.view(), out.outputAddr,
                      remote, out.regLen, regs[0], regs[1]);
        } else {
            SLOG_WARN(MBTCP, "Fail to write {} @{} [{}]: {}", out.outputName.view(), remote, out.regLen,
                      modbus_strerror(errno));
        }
        pause(70);
    }
}

// ---- EtherNet/IP -----------------------------------------------------------------------------

void MBTCPClient::eip_destroy_tags(int c) {
    if (c < 0 || c >= kClients) return;
    for (int i = 0; i < kIo; ++i) {
        if (tags_[c][i] >= 0) eip::destroy(tags_[c][i]);
        tags_[c][i] = -1;
        pending_[c][i] = false;
        lastTagError_[c][i] = 0;
    }
    dataReceived_[c] = false;
}

void MBTCPClient::eip_rebuild_tags(int c, const MBTcpClientItem& item) {
    eip_destroy_tags(c);
    for (int i = 0; i < kIo; ++i) {
        const auto& in = item.inputs[i];
        if (!in.enable || !validInputId(in.id)) continue;
        const std::string_view tag = in.tagName.view();
        const std::string path = item.path.empty() ? std::string() : fmt::format("&path={}", item.path.view());
        const std::string attrs =
            fmt::format("protocol=ab_eip&gateway={}&cpu={}{}&elem_size={}&elem_count={}&name={}", item.serverIP.view(),
                        item.cpu.view(), path, eipElementSize(in.dataType.view()), eipElements(in), tag);
        const bool unsafe = unsafeAttribute(item.serverIP.view()) || unsafeAttribute(item.cpu.view()) ||
                            unsafeAttribute(item.path.view()) || unsafeAttribute(tag);
        const int32_t h = unsafe ? eip::ERR_BAD_PARAM : eip::create(attrs.c_str(), 0);
        if (h < 0) {
            SLOG_WARN(MBTCP, "Failed to create EIP tag '{}': {}", tag, eip::decode_error(h));
            continue;
        }
        tags_[c][i] = h;
        SLOG_INFO(MBTCP, "Created EIP tag '{}' on controller {}", tag, c);
    }
}

void MBTCPClient::setTagNaN(int c, const MBTcpClientInputItem& in) {
    for (int k = 0, n = eipElements(in); k < n; ++k) work_->inputs[c].values[in.id - 1 + k] = kNaN;
}

void MBTCPClient::decodeTag(int c, const MBTcpClientInputItem& in, int32_t h) {
    const std::string_view type = in.dataType.view();
    const int size = eipElementSize(type);
    for (int k = 0, n = eipElements(in); k < n; ++k) work_->inputs[c].values[in.id - 1 + k] = eipValue(type, h, k * size);
}

// The same error is logged once until the tag reads again.
void MBTCPClient::logTagError(int c, int i, const char* what, const MBTcpClientInputItem& in, int code) {
    if (lastTagError_[c][i] == code) return;
    lastTagError_[c][i] = code;
    if (std::string_view(what) == "read")
        SLOG_WARN(MBTCP, "Failed to read EIP tag '{}': {}", in.tagName.view(), eip::decode_error(code));
    else
        SLOG_WARN(MBTCP, "Failed to start EIP read for tag '{}': {}", in.tagName.view(), eip::decode_error(code));
}

void MBTCPClient::handleOneEipClient(int c, const MBTcpClientItem& item) {
    bool received = false;
    for (int i = 0; i < kIo; ++i) {
        const int32_t h = tags_[c][i];
        if (h < 0) continue;
        const auto& in = item.inputs[i];
        const int st = eip::status(h);
        if (st == eip::STATUS_PENDING) {
            pending_[c][i] = true;
            continue;
        }
        if (st < 0) {
            logTagError(c, i, "read", in, st);
            setTagNaN(c, in);
            pending_[c][i] = false;
        } else if (pending_[c][i]) {
            pending_[c][i] = false;
            // Done without data: the session came up, no read has completed yet.
            if (eip::size(h) > 0) {
                decodeTag(c, in, h);
                lastTagError_[c][i] = 0;
                received = true;
            }
        }
        // A tag in error is read again too, so it recovers once the controller answers.
        const int rc = eip::read(h, 0);
        if (rc == eip::STATUS_PENDING) {
            pending_[c][i] = true;
        } else if (rc < 0) {
            logTagError(c, i, "start", in, rc);
            setTagNaN(c, in);
        } else {
            decodeTag(c, in, h);
            lastTagError_[c][i] = 0;
            received = true;
        }
    }
    dataReceived_[c] = received;
}

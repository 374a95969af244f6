#include "mbtcp/mbtcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "env/env_guard.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "recipe/recipe_guard.h"
#include "utils/log.h"

#include <modbus/modbus.h>  // after the log header: it defines OFF and ON

using namespace std::chrono_literals;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int kMaxReadRegisters = MODBUS_MAX_READ_REGISTERS;    // 125
constexpr int kMaxWriteRegisters = MODBUS_MAX_WRITE_REGISTERS;  // 123

static_assert(MBTCPServer::kQueryLength == MODBUS_TCP_MAX_ADU_LENGTH);

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// A probe address the HMI gave as a float; -1 unless it is a whole number 1..247.
int probeAddressOf(float v) {
    if (!std::isfinite(v) || v < 1.0f || v > 247.0f || std::floor(v) != v) return -1;
    return static_cast<int>(v);
}

uint16_t clampWord(int32_t v) { return static_cast<uint16_t>(std::clamp<int32_t>(v, 0, 0xffff)); }

// The exception for a request whose count libmodbus would refuse, or 0. libmodbus answers those
// (and function codes it does not serve) only after sleeping its response timeout and throwing
// away what the socket holds: that would stall every client of this one thread and drop the
// next request of this one. They are answered here instead, with the same exception.
int refusalOf(int funcCode, int count, int byteCount) {
    switch (funcCode) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return count < 1 || count > MODBUS_MAX_READ_BITS ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE : 0;
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
            return count < 1 || count > kMaxReadRegisters ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE : 0;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            return count < 1 || count > MODBUS_MAX_WRITE_BITS || byteCount * 8 < count ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE
                                                                                      : 0;
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            return count < 1 || count > kMaxWriteRegisters || byteCount != 2 * count ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE
                                                                                     : 0;
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_REPORT_SLAVE_ID:
            return 0;
        default:
            return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
}

// libmodbus builds an exception reply's function byte as the code plus 0x80 in a wider integer:
// a code of 0x80 or above would come back as another code. Those get their own byte, which
// already carries the exception bit.
int replyException(modbus_t* ctx, uint8_t* request, int code) {
    const int h = modbus_get_header_length(ctx);
    if (request[h] < 0x80) return modbus_reply_exception(ctx, request, static_cast<unsigned>(code));
    // MBAP: the request's transaction id, protocol 0, length 3 (unit id, function, code).
    const uint8_t reply[] = {request[0], request[1], 0, 0, 0, 3, request[h - 1], request[h], static_cast<uint8_t>(code)};
    const ssize_t n = ::send(modbus_get_socket(ctx), reply, sizeof reply, MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(sizeof reply) ? static_cast<int>(n) : -1;
}

}  // namespace

MBTCPServer::MBTCPServer(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars, EnvGuard& env, int portOverride)
    : recipe_(recipe),
      live_(live),
      vars_(vars),
      env_(env),
      portOverride_(portOverride),
      table_(std::make_unique<std::array<uint16_t, kRegisterCount>>()) {
    table_->fill(0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

MBTCPServer::~MBTCPServer() {
    releaseContext();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MBTCPServer::releaseContext() {
    if (mapping_) {
        mapping_->tab_registers = ownHolding_;
        mapping_->tab_input_registers = ownInput_;
        modbus_mapping_free(mapping_);
        mapping_ = nullptr;
    }
    if (ctx_) {
        // The sockets belong to the loop, which has closed them: the context must not close a
        // descriptor number that may have been reused since.
        modbus_set_socket(ctx_, -1);
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
    ready_ = false;
}

bool MBTCPServer::init() {
    releaseContext();
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        settings_ = recipe_.recipe.mbTcpServer;
    }
    const int port = portOverride_ >= 0 ? portOverride_ : settings_.serverPort;
    if (port > 65535 || port < 0 || (port == 0 && portOverride_ != 0)) {
        SLOG_ERROR(MBTCP, "Modbus TCP port {} is outside 1..65535: the server stays off", port);
        return false;
    }
    ctx_ = modbus_new_tcp("0.0.0.0", port);
    if (!ctx_) {
        SLOG_ERROR(MBTCP, "Can not create the Modbus TCP context: {}", modbus_strerror(errno));
        return false;
    }
    SLOG_INFO(MBTCP, "Modbus TCP port: {}", port);
    modbus_set_debug(ctx_, get_log_level(LogModule::LIBMODBUS) >= static_cast<int>(LogLevel::DEBUG) ? TRUE : FALSE);
    mapping_ = modbus_mapping_new_start_address(0, 0, 0, 0, 0, kRegisterCount, 0, kRegisterCount);
    if (!mapping_) {
        SLOG_ERROR(MBTCP, "Can not allocate MODBUS TCP mapping.");
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    ownHolding_ = mapping_->tab_registers;
    ownInput_ = mapping_->tab_input_registers;
    mapping_->tab_registers = table_->data();
    mapping_->tab_input_registers = table_->data();
    modbus_set_indication_timeout(ctx_, 2, 0);
    ready_ = true;
    return true;
}

void MBTCPServer::stop() {
    stopper_.stop();
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
}

bool MBTCPServer::listenOnce() {
    listenFd_ = modbus_tcp_listen(ctx_, kListenBacklog);
    if (listenFd_ < 0) {
        SLOG_ERROR(MBTCP, "Failed to start listen: {}", modbus_strerror(errno));
        return false;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) boundPort_.store(ntohs(addr.sin_port));
    return true;
}

void MBTCPServer::startLoop() {
    if (!ready_ || wakeFd_ < 0) {
        stopper_.wait();  // no server without a context: idle until the end
        return;
    }
    while (!stopper_.stopped() && !listenOnce()) {
        if (stopper_.waitFor(1s)) return;
    }
    if (stopper_.stopped()) {
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    serve();
}

// A connected client and the bytes of its request not yet whole.
struct MBTCPServer::Client {
    int fd = -1;
    std::array<uint8_t, 2 * kQueryLength> buf{};
    size_t have = 0;
    std::chrono::steady_clock::time_point partialSince{};
};

bool MBTCPServer::serveClient(Client& c) {
    const ssize_t n = ::recv(c.fd, c.buf.data() + c.have, c.buf.size() - c.have, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        const int err = errno;
        SLOG_THROTTLED(log_.receive, MBTCP, ERROR, "Failed to receive from Modbus socket: {}",
                       std::strerror(err));
        return false;
    }
    const bool wasPartial = c.have > 0;
    c.have += static_cast<size_t>(n);
    size_t used = 0;
    // MBAP header: transaction (2), protocol (2), length (2) of what follows: unit id and PDU.
    while (c.have - used >= 7) {
        const uint8_t* frame = c.buf.data() + used;
        const int rest = be16(frame + 4);
        if (rest < 2 || rest > kQueryLength - 6) {
            SLOG_THROTTLED(log_.badLength, MBTCP, ERROR,
                           "Failed to receive from Modbus socket: invalid request length {}", rest);
            return false;
        }
        const size_t total = 6 + static_cast<size_t>(rest);
        if (c.have - used < total) break;
        std::memset(query_.data(), 0, query_.size());
        std::memcpy(query_.data(), frame, total);
        used += total;
        modbus_set_socket(ctx_, c.fd);
        if (processMBTCPRequst(ctx_, query_.data(), static_cast<int>(total), mapping_) < 0) return false;
    }
    if (used > 0) {
        std::memmove(c.buf.data(), c.buf.data() + used, c.have - used);
        c.have -= used;
    }
    if (c.have > 0 && (!wasPartial || used > 0)) c.partialSince = std::chrono::steady_clock::now();
    return true;
}

void MBTCPServer::serve() {
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    const auto restLimit = std::chrono::milliseconds(kRestOfRequestMs);
    while (!stopper_.stopped()) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        int timeoutMs = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& c : clients) {
            fds.push_back({c->fd, POLLIN, 0});
            if (c->have == 0) continue;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->partialSince + restLimit - now).count();
            const int ms = static_cast<int>(std::max<int64_t>(0, left)) + 1;
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            SLOG_ERROR(MBTCP, "Failed to Select.");
            stopper_.waitFor(1s);
            continue;
        }
        if (fds[0].revents != 0) continue;  // stop(): the loop condition sees it
        if (fds[1].revents & POLLIN) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                const int err = errno;
                SLOG_THROTTLED(log_.accept, MBTCP, ERROR, "Failed to Accept.");
                // Out of descriptors or memory the pending connection stays queued: pause briefly
                // instead of spinning on it and flooding the log.
                if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) stopper_.waitFor(100ms);
            } else {
                char ip[INET_ADDRSTRLEN] = "?";
                ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
                SLOG_INFO(MBTCP, "New connection from {}:{} on socket {}", ip, ntohs(peer.sin_port), fd);
                auto c = std::make_unique<Client>();
                c->fd = fd;
                clients.push_back(std::move(c));
            }
        }
        const auto later = std::chrono::steady_clock::now();
        for (size_t i = 0; i < clients.size() && !stopper_.stopped(); ++i) {
            Client& c = *clients[i];
            bool keep = true;
            const size_t slot = i + 2;
            if (slot < fds.size() && fds[slot].fd == c.fd && fds[slot].revents != 0) {
                try {
                    keep = serveClient(c);
                } catch (const std::exception& e) {
                    SLOG_THROTTLED(log_.failed, MBTCP, ERROR, "Modbus TCP request failed: {}", e.what());
                    keep = false;
                }
            } else if (c.have > 0 && later - c.partialSince >= restLimit) {
                SLOG_THROTTLED(log_.timeout, MBTCP, ERROR, "Failed to receive from Modbus socket: {}",
                               std::strerror(ETIMEDOUT));
                keep = false;
            }
            if (!keep) {
                SLOG_INFO(MBTCP, "Connection closed on socket {}", c.fd);
                ::close(c.fd);
                c.fd = -1;
            }
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const auto& c) { return c->fd < 0; }), clients.end());
    }
    modbus_set_socket(ctx_, -1);
    for (const auto& c : clients) ::close(c->fd);
    ::close(listenFd_);
    listenFd_ = -1;
    boundPort_.store(0);
}

MBTCPServer::QueryInfo MBTCPServer::getQueryInfo(const uint8_t* request) const {
    const int h = modbus_get_header_length(ctx_);
    QueryInfo q;
    q.funcCode = request[h];
    q.address = be16(request + h + 1);
    switch (q.funcCode) {
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            q.count = 1;
            q.data = request + h + 3;
            break;
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            q.count = be16(request + h + 3);
            q.byteCount = request[h + 5];
            q.data = request + h + 6;
            break;
        default:
            q.count = be16(request + h + 3);
            break;
    }
    return q;
}

int MBTCPServer::processMBTCPRequst(modbus_t* ctx, const uint8_t* request, int length, modbus_mapping_t* mapping) {
    const int h = modbus_get_header_length(ctx);
    uint8_t* buffer = const_cast<uint8_t*>(request);  // libmodbus takes it non-const, reads only
    const QueryInfo q = getQueryInfo(request);
    // Every request these codes serve names an address and a count (or value).
    const bool shortRequest = length < h + 5;
    const bool inTable = q.address + q.count <= kRegisterCount;
    int sent = 0;
    switch (q.funcCode) {
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
            if (shortRequest) {
                sent = modbus_reply_exception(ctx, buffer, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
                break;
            }
            if (refusalOf(q.funcCode, q.count, q.byteCount) != 0) {
                sent = modbus_reply_exception(ctx, buffer, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
                break;
            }
            if (inTable) {
                vars_.getRegWindow(q.address, table_->data() + q.address, q.count, EndianessType::NONE);
                handleQueryForHMI();
            }
            sent = modbus_reply(ctx, buffer, length, mapping);
            break;
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            if (shortRequest) {
                sent = modbus_reply_exception(ctx, buffer, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
                break;
            }
            if (refusalOf(q.funcCode, q.count, q.byteCount) != 0 ||
                (q.funcCode == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && h + 6 + q.byteCount > length)) {
                sent = modbus_reply_exception(ctx, buffer, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
                break;
            }
            const int limit = q.funcCode == MODBUS_FC_WRITE_SINGLE_REGISTER ? 1 : kMaxWriteRegisters;
            if (q.count >= 1 && q.count <= limit && inTable) {
                SLOG_INFO(MBTCP, "Modbus TCP request: funcCode: {}, regAddr: {}, regNB: {}, write data: {}", q.funcCode,
                          q.address, q.count, be16(q.data));
                // A write the register table would take only in part is refused whole.
                int refusal = writeRefusal(q.address, q.count);
                if (refusal == 0 && !vars_.setRegVal(q.address, q.data, q.count, EndianessType::NONE, &log_.tableWrite))
                    refusal = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
                if (refusal != 0) {
                    sent = modbus_reply_exception(ctx, buffer, static_cast<unsigned>(refusal));
                    break;
                }
                if (q.address == kSystemCommandReg) runSystemCommand();
                if (q.address == kHmiCommandReg) handleCmdForHMI();
            }
            sent = modbus_reply(ctx, buffer, length, mapping);
            break;
        }
        case MODBUS_FC_MASK_WRITE_REGISTER:
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            SLOG_THROTTLED(log_.unhandled, MBTCP, ERROR, "unhandle function code {}", q.funcCode);
            sent = modbus_reply_exception(ctx, buffer, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
            break;
        default: {
            SLOG_THROTTLED(log_.unhandled, MBTCP, ERROR, "unhandle function code {}", q.funcCode);
            const int byteCount = q.funcCode == MODBUS_FC_WRITE_MULTIPLE_COILS ? request[h + 5] : -1;
            const int refusal = refusalOf(q.funcCode, q.count, byteCount);
            sent = refusal != 0 ? replyException(ctx, buffer, refusal) : modbus_reply(ctx, buffer, length, mapping);
            break;
        }
    }
    if (sent < 0) {
        const int err = errno;
        SLOG_THROTTLED(log_.send, MBTCP, ERROR, "Failed to send to Modbus socket: {}", modbus_strerror(err));
        return -1;
    }
    return 0;
}

int MBTCPServer::writeRefusal(int address, int count) {
    for (int d = 0; d < count;) {
        const int num = regValCount(vars_.findByReg(address + d).second);
        if (num == 0) {
            SLOG_THROTTLED(log_.refusedWrite, MBTCP, ERROR, "Modbus TCP write refused: no value starts at register {}",
                           address + d);
            return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        }
        if (num > count - d) {
            SLOG_THROTTLED(log_.refusedWrite, MBTCP, ERROR,
                           "Modbus TCP write refused: register {} needs {} registers, the request holds {}",
                           address + d, num, count - d);
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        }
        d += num;
    }
    return 0;
}

// ---- system command ---------------------------------------------------------------------------

void MBTCPServer::runSystemCommand() {
    uint16_t cmd = 0;
    {
        std::lock_guard<StoreMutex> lock(live_.mutex());
        cmd = live_.data().system.HMICommand;
    }
    switch (cmd) {
        case 1: commitLatch_ = 1; break;
        case 3: rebootLatch_ = 1; break;
        case 4:
            wifiLatch_ = 1;
            recipe_.triggerReload(0x10000);
            break;
        default: break;
    }
}

void MBTCPServer::runCommit() {
    commitLatch_ = 0;
    recipe_.buildReferenceForSensor();
    recipe_.triggerReload(0x8000);
    recipe_.triggerReload(0x2000);
    recipe_.triggerReload(0x2);
}

// ---- HMI commands -----------------------------------------------------------------------------

void MBTCPServer::accepted(bool ok, HmiWatch watch) {
    if (!ok) return refused();
    hmi_.status = 1;
    watch_ = watch;
}

void MBTCPServer::refused() {
    hmi_.status = 0;
    hmi_.result = 0;
    watch_ = HmiWatch::NONE;
}

void MBTCPServer::finished(bool ok) {
    hmi_.status = 2;
    hmi_.result = ok ? 2 : 1;
    watch_ = HmiWatch::NONE;
}

void MBTCPServer::runCalibration(int slot) {
    uint32_t pn = 0;
    int32_t measureType = 0;
    text32 name;
    if (slot >= 0 && slot < kProbeItemCount) {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        const ProbeMeasureRecipeItem& item = recipe_.recipe.sensors[static_cast<size_t>(slot)];
        pn = item.pn;
        measureType = item.measureType;
        name = item.name;
    }
    SLOG_INFO(MBTCP, " try get_calibr_cmd_index, probeIndex:{}, name:{}, measureType:{}", slot, name.view(), measureType);
    const int idxCal = env_.get_calibr_cmd_index(pn, static_cast<MEASURE_TYPE>(measureType), hmi_.command);
    if (idxCal < 0 || slot < 0) {
        hmi_.status = 0;
        hmi_.result = 20;
        watch_ = HmiWatch::NONE;
        return;
    }
    CalbCmdPack pack;
    pack.probeId = static_cast<uint32_t>(slot);
    pack.idxCal = idxCal;
    pack.solution = hmi_.parameter;
    const bool ok = env_.set_calibCmd(pack);
    accepted(ok, HmiWatch::CALIBRATION);
    if (ok) hmi_.result = 1;
    SLOG_INFO(MBTCP, "Calibration from HMI - probe ID:{}, idxCal:{}, solution:{}", slot, idxCal, hmi_.parameter);
}

void MBTCPServer::handleCmdForHMI() {
    const uint16_t code = hmi_.command;
    const int slot = static_cast<int>(hmi_.probeId) - 1;
    SLOG_THROTTLED(log_.hmiCommand, MBTCP, WARN, "HMI command: {}, probe ID: {}, parameter:{}",
                   code, hmi_.probeId, hmi_.parameter);

    ConfigCmdPack config;
    config.probeId = static_cast<uint32_t>(slot);
    config.param = -1;
    config.mA_4 = kNaN;
    config.mA_20 = kNaN;

    switch (code) {
        case 0:
            break;
        case 13:
            SLOG_THROTTLED(log_.hmiRestore, MBTCP, WARN, "Restore from HMI - probe index:{}", slot);
            accepted(env_.set_restoreCmd(RestoreCmdPack{static_cast<uint32_t>(slot)}), HmiWatch::RESTORE);
            hmi_.command = 0;
            break;
        case 21: {
            config.cmdType = CONFIG_CMD_CHANGE_ADDR;
            config.newAddr = probeAddressOf(hmi_.parameter);
            bool ok = false;
            if (config.newAddr >= 0)
                ok = env_.set_probeAddr(config);
            else
                SLOG_THROTTLED(log_.hmiAddress, MBTCP, WARN, "HMI address change refused: {} is not an address 1..247",
                               hmi_.parameter);
            accepted(ok, HmiWatch::CONFIG);
            hmi_.command = 0;
            break;
        }
        case 22:
        case 23:
            config.cmdType = CONFIG_CMD_SPAN_4_20MA;
            (code == 22 ? config.mA_4 : config.mA_20) = hmi_.parameter;
            accepted(env_.set_probeConfig(config), HmiWatch::CONFIG);
            hmi_.command = 0;
            break;
        case 24:
            hmi_.diagNum = 0;
            hmi_.diagn.fill(0.0f);
            // The status stays as it is until the outcome arrives.
            if (env_.set_probeDiagnose(slot)) watch_ = HmiWatch::DIAGNOSIS;
            else refused();
            hmi_.command = 0;
            break;
        case 25:
            hmi_.scanPercent = 0;
            hmi_.scanNum = 0;
            for (HmiScanResultSlot& s : hmi_.scanResults) {
                s = HmiScanResultSlot{};
                s.enable = 1;
            }
            env_.startScan(SCAN_MODE::DEFAULT, 0);
            break;
        case 26:
            env_.stopScan();
            break;
        case 27: {
            ChangeAddrBatch batch{};
            std::vector<int> ids;
            size_t n = 0;
            for (const HmiScanResultSlot& s : hmi_.scanResults) {
                if (s.enable == 0 || s.addr == 0 || n >= batch.size()) continue;
                // A suggested address of -1 (none free) leaves the probe where it is.
                const int16_t suggested = static_cast<int16_t>(s.suggestedAddr);
                batch[n++] = ChangeAddrItemPack{s.addr, suggested > 0 ? suggested : 0, s.pn};
                ids.push_back(s.addr);
            }
            // Nothing selected still ends the scan session: the empty batch clears the scan results.
            if (n == 0) {
                SLOG_THROTTLED(log_.hmiBatch, MBTCP, WARN, "HMI add batch: no scan result selected");
            }
            env_.setLastScannedSlaveIDs(ids);
            env_.set_probeAddBatch(batch, true);
            break;
        }
        case 28:
            finished(env_.removeProbe(slot) == 0);
            hmi_.command = 0;
            break;
        case 29: {
            ReplaceProbeCmdPack pack;
            pack.oldPN = hmi_.oldPN;
            pack.oldSN = hmi_.oldSN;
            pack.newPN = hmi_.newPN;
            pack.newSN = hmi_.newSN;
            pack.newModbusAddr = static_cast<int16_t>(hmi_.newModbusAddr);
            accepted(env_.replaceProbe(pack), HmiWatch::REPLACE);
            break;
        }
        case 30:
            finished(env_.set_probeAddManual(ManualAddProbePack{hmi_.PN, hmi_.modbusAddr}) == 0);
            hmi_.command = 0;
            break;
        case 31:
            config.cmdType = CONFIG_CMD_CUSTOM_NAME;
            config.custName = hmi_.custName;
            finished(env_.set_probeCustname(config) == 0);
            hmi_.command = 0;
            break;
        case 32:
        case 33:
        case 34:
        case 35:
            runCommit();
            finished(true);
            hmi_.command = 0;
            break;
        default:  // 1-12, 14-20, 36 and above
            runCalibration(slot);
            hmi_.command = 0;
            break;
    }

    if (commitLatch_) runCommit();
    if (rebootLatch_) {
        rebootLatch_ = 0;
        recipe_.triggerReload(0x80000000u);
    }
}

// ---- result refresh ---------------------------------------------------------------------------

void MBTCPServer::copyScanResults() {
    const ScanProbeStatus scan = env_.getScanProbeStatus();
    const size_t n = std::min(scan.results.size(), hmi_.scanResults.size());
    for (size_t i = 0; i < hmi_.scanResults.size(); ++i) {
        HmiScanResultSlot& s = hmi_.scanResults[i];
        s = HmiScanResultSlot{};
        s.enable = 1;
        if (i >= n) continue;
        const ProbeScanResultItem& r = scan.results[i];
        s.type = r.modelName;
        s.name = r.modelDescription;
        s.sn = r.sn;
        s.addr = r.modbusAddr;
        s.suggestedAddr = static_cast<uint16_t>(r.suggestedAddr);
        s.enable = r.enable;
        s.pn = r.pn;
    }
    hmi_.scanPercent = clampWord(env_.scanProgress.load());
    hmi_.scanNum = clampWord(env_.scanCount.load());
}

void MBTCPServer::handleQueryForHMI() {
    // A finished command of the watched kind: status 2, result 2 on success and 1 otherwise.
    auto settle = [this](int16_t word, int32_t slot) {
        if (word == -1 || slot < 0) return false;
        hmi_.status = 2;
        hmi_.result = word == 1 ? 2 : 1;
        return true;
    };
    switch (watch_) {
        case HmiWatch::CALIBRATION:
            if (settle(env_.calibStatus.load(), static_cast<int32_t>(env_.calibProbeId.load())))
                hmi_.message = env_.getCalibMessage();
            break;
        case HmiWatch::RESTORE:
            settle(env_.restoreStatus.load(), static_cast<int32_t>(env_.restoreProbeId.load()));
            break;
        case HmiWatch::DIAGNOSIS: {
            const int16_t word = env_.diagnoseStatus.load();
            if (!settle(word, static_cast<int32_t>(env_.diagnoseProbeId.load()))) break;
            if (word == 1) {
                {
                    std::lock_guard<StoreMutex> lock(live_.mutex());
                    const auto& diagn = live_.data().probe.diagn;
                    std::copy(diagn.begin(), diagn.end(), hmi_.diagn.begin());
                }
                hmi_.diagNum = static_cast<uint16_t>(std::min<uint32_t>(env_.diagnoseResult.load(), kHmiDiagnValues));
            } else {
                hmi_.diagNum = 0;
            }
            break;
        }
        case HmiWatch::CONFIG:
            settle(env_.configStatus.load(), env_.configProbeIndex.load());
            break;
        case HmiWatch::REPLACE:
            if (hmi_.command == 29) settle(env_.replaceStatus.load(), 0);
            break;
        case HmiWatch::NONE:
            break;
    }
    if (hmi_.command == 25) copyScanResults();
}

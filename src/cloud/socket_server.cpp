#include "cloud/socket_server.h"

#include <signal.h>

#include <cerrno>

#include <stdexcept>

#include "database/database.h"
#include "live/live_data.h"
#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/utilities.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "utils/log.h"

namespace local = orvane::platform::local;
using orvane::platform::Clock;
using orvane::platform::ThrottledLine;

namespace {

constexpr std::size_t kReadSize = 10240;
constexpr int kBacklog = 4;
constexpr std::chrono::milliseconds kWriteSlice{200};  // a stop is seen within this while writing

// The log table whose sampling interval is `interval` seconds; the 10 s table for any other.
std::string historyTableFor(uint16_t interval) {
    for (std::size_t i = 0; i < kLogIntervalsSec.size(); ++i)
        if (kLogIntervalsSec[i] == interval) return kLogTableNames[i];
    return kLogTableNames[0];
}

// Writes a throttled warning when there is one to write now.
void warn(const std::optional<std::string>& line) {
    if (line) SLOG_WARN(CLOUD, "{}", *line);
}

// Frame of a response; empty (with the log line) when it cannot be packaged.
std::vector<uint8_t> frameOf(const orvane_ipc::response::CommandBase& response, ThrottledLine& packaging) {
    try {
        return orvane_ipc::to_frame(response);
    } catch (const std::exception& e) {
        warn(packaging.admit(
            fmt::format("Fail to package for {}, {}", orvane_ipc::command_name(response.command_id()), e.what())));
        return {};
    }
}

}  // namespace

SocketServer::SocketServer(RecipeDataGuard& recipe, LiveDataGuard& live, DatabaseProxy& db,
                           SocketServerOptions options)
    : recipe_(recipe), live_(live), db_(db), options_(std::move(options)) {}

SocketServer::~SocketServer() {
    stop();
    reapFinished(true);
}

void SocketServer::stop() { stopper_.stop(); }

void SocketServer::reapFinished(bool all) {
    std::list<Connection> finished;
    {
        std::lock_guard lock(connectionsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || it->done->load()) {
                finished.splice(finished.end(), connections_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c.thread.joinable()) c.thread.join();
}

void SocketServer::startLoop() {
    // A write to a connection whose peer has gone returns an error instead of ending the process.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string path = options_.path.empty() ? scada_paths::PROBE_MODULE_SOCKET() : options_.path;
    boost::asio::io_context io;
    std::optional<local::Acceptor> acceptor;
    try {
        acceptor.emplace(local::listen(io, path, kBacklog));
    } catch (const std::exception& e) {
        SLOG_WARN(CLOUD, "Error creating the acceptor: {}", e.what());
        return;
    }
    SLOG_INFO(CLOUD, "Acceptor bound to address: '{}' ...", path);
    // Removed again on a clean stop, unless another program has put its own socket there meanwhile.
    const local::BoundFile bound = local::boundFile(path);
    listening_ = true;
    while (!stopper_.stopped()) {
        boost::system::error_code ec;
        auto socket = local::acceptFor(*acceptor, std::chrono::milliseconds(200), ec);
        reapFinished(false);
        if (ec) {
            SLOG_WARN(CLOUD, "Error accepting incoming connection: {}", ec.message());
            stopper_.waitFor(std::chrono::milliseconds(100));
            continue;
        }
        if (!socket) continue;
        SLOG_INFO(CLOUD, "Received a connection");
        auto done = std::make_shared<std::atomic<bool>>(false);
        ++active_;
        std::thread t([this, done, s = std::move(*socket)]() mutable {
            try {
                run_echo(std::move(s));
            } catch (const std::exception& e) {
                SLOG_WARN(CLOUD, "Connection ended: {}", e.what());
            }
            --active_;
            done->store(true);
        });
        std::lock_guard lock(connectionsMutex_);
        connections_.push_back({std::move(t), std::move(done)});
    }
    boost::system::error_code ignored;
    acceptor->close(ignored);
    local::removeIfStillBound(bound);
    listening_ = false;
    reapFinished(true);
    // What was left out of the log is told once the server has stopped, not when a connection
    // ends: a peer connecting again for each request would get a line for each.
    warn(lines_.dropped.takeHeld());
    warn(lines_.packaging.takeHeld());
}

void SocketServer::run_echo(local::Socket socket) {
    int64_t lastPush = Clock::get().steadyMillis();
    // Changes made before this connection are not pushed.
    recipe_.checkAndConsume(SCADA_MASK_CLOUD_RELOAD);
    ++serving_;
    auto buf = std::make_unique<uint8_t[]>(kReadSize);
    orvane_ipc::FrameAccumulator frames;

    // A peer that takes nothing holds a write up to the write time-out, but never past a stop.
    auto send = [&](const std::vector<uint8_t>& frame) {
        if (frame.empty()) return true;
        const int64_t giveUp = Clock::get().steadyMillis() + options_.writeTimeout.count();
        std::size_t done = 0;
        for (;;) {
            int err = 0;
            done += local::writeAll(socket, frame.data() + done, frame.size() - done, &err, kWriteSlice);
            if (done == frame.size()) return true;
            if (err != ETIMEDOUT || stopper_.stopped() || Clock::get().steadyMillis() >= giveUp) return false;
        }
    };

    while (!stopper_.stopped()) {
        if (recipe_.checkAndConsume(SCADA_MASK_CLOUD_RELOAD)) {
            SLOG_INFO(CLOUD, "reload the configuration");
            if (!send(frameOf(orvane_ipc::response::SystemReload{}, lines_.packaging))) return;
            stopper_.waitFor(std::chrono::milliseconds(10));
        }
        const int64_t now = Clock::get().steadyMillis();
        if (now - lastPush < options_.ltePushPeriod.count()) {
            const local::ReadResult r = local::readFor(socket, buf.get(), kReadSize, options_.readTimeout);
            if (r.status == local::ReadStatus::Closed || r.status == local::ReadStatus::Error) return;
            if (r.status == local::ReadStatus::Data) {
                frames.append(buf.get(), r.bytes);
                bool answered = false;
                while (auto frame = frames.next()) {
                    std::optional<orvane_ipc::RequestVariant> request;
                    try {
                        request = orvane_ipc::Service::request_analyze(frame->data(), frame->size());
                    } catch (const std::exception& e) {
                        warn(lines_.dropped.admit(fmt::format("Drop a request frame: {}", e.what())));
                    }
                    if (!request) continue;
                    answered = true;
                    for (const auto& out : answer(*request, lines_.packaging)) {
                        SLOG_INFO(CLOUD, "write response {}", out.size());
                        if (!send(out)) return;
                    }
                }
                // Bytes without a whole request: read again at once.
                if (!answered) continue;
            }
            stopper_.waitFor(options_.passPause);
        } else {
            if (!send(lteInformationFrame(true, lines_.packaging))) return;
            stopper_.waitFor(options_.passPause);
            lastPush = now;
        }
    }
}

std::vector<std::vector<uint8_t>> SocketServer::answer(const orvane_ipc::RequestVariant& request,
                                                       ThrottledLine& packaging) {
    switch (request.index()) {
        case 0: {
            SLOG_INFO(CLOUD, "Get LatestSensorData");
            orvane_ipc::DataCell cell = live_.getDataCell();
            for (const auto& [name, value] : cell.values) SLOG_INFO(CLOUD, "\t{}: {}", name, value);
            return {frameOf(orvane_ipc::response::LatestSensorData(std::move(cell)), packaging)};
        }
        case 1:
            return historyFrames(std::get<1>(request), packaging);
        case 5:
            return {lteInformationFrame(false, packaging)};
        default:
            return {frameOf(orvane_ipc::response::LatestSensorData{}, packaging)};
    }
}

std::vector<std::vector<uint8_t>> SocketServer::historyFrames(
    const orvane_ipc::request::HistoricalSensorData& req, ThrottledLine& packaging) {
    SLOG_INFO(CLOUD, "Get HistoricalSensorData: {} {}", req.start_time(), req.end_time());
    const DatabaseProxy::QueryMap rows = db_.query(historyTableFor(req.interval()), req.start_time(), req.end_time());
    std::vector<std::vector<uint8_t>> frames;
    orvane_ipc::response::HistoricalSensorData part;
    std::size_t payload = 4;  // command id and cell count
    for (const auto& [time, pairs] : rows) {
        SLOG_INFO(CLOUD, "Cell: {}", time);
        for (const auto& [name, value] : pairs) SLOG_INFO(CLOUD, "\t{}: {}", name, value);
        const std::size_t cellSize = 6 + 36 * pairs.size();
        if (4 + cellSize > orvane_ipc::kMaxPayload) continue;  // cannot travel in any frame
        if (payload + cellSize > orvane_ipc::kMaxPayload) {
            frames.push_back(frameOf(part, packaging));
            part = {};
            payload = 4;
        }
        part.cell(orvane_ipc::DataCell{time, pairs});
        payload += cellSize;
    }
    frames.push_back(frameOf(part, packaging));
    return frames;
}

std::vector<uint8_t> SocketServer::lteInformationFrame(bool periodic, ThrottledLine& packaging) {
    LteLiveData lte;
    uint32_t uptime = 0;
    {
        std::lock_guard lock(live_.mutex());
        lte = live_.data().lte;
        uptime = live_.data().system.Uptime;
    }
    orvane_ipc::response::LTEInformation info;
    info.carrier_name(lte.carrier.str());
    info.imsi(lte.imsi.str());
    info.signal_rssi(lte.lte_rssi);
    info.signal_rsrp(lte.lte_rsrp);
    info.signal_sinr(lte.lte_sinr);
    info.signal_rsrq(lte.lte_rsrq);
    info.data_usage_cycle_rx_mb(lte.dataUsageCycleRxMB);
    info.data_usage_cycle_tx_mb(lte.dataUsageCycleTxMB);
    info.data_usage_total_rx_mb(lte.dataUsageTotalRxMB);
    info.data_usage_total_tx_mb(lte.dataUsageTotalTxMB);
    if (periodic) {
        std::string swVer;
        {
            std::lock_guard lock(recipe_.mutex);
            swVer = recipe_.recipe.system.swVer.str();
        }
        SLOG_INFO(CLOUD, "Send LTE information {}: {}", info.carrier_name(), swVer);
        info.sw_version(swVer);
        info.sys_uptime(uptime);
    }
    return frameOf(info, packaging);
}

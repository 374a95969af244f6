#include "system_service/service/service_controller.h"

#include <cstring>
#include <future>
#include <thread>

#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/response.h"
#include "orvane_ipc/service.h"
#include "platform/paths.h"

namespace service {

namespace local = orvane::platform::local;
using interfaces::log_error;
using interfaces::log_info;
using interfaces::log_warn;

ServiceController::ServiceController(setting::Settings& settings, interfaces::ILogger& logger)
    : ServiceController(settings, logger, std::make_unique<SystemUpgrade>(logger), ControllerOptions{}) {}

ServiceController::ServiceController(setting::Settings& settings, interfaces::ILogger& logger,
                                     std::unique_ptr<IUpgradeEngine> engine, ControllerOptions options,
                                     orvane::platform::CommandRunner& runner)
    : settings_(settings),
      logger_(logger),
      engine_(std::move(engine)),
      options_(std::move(options)),
      runner_(runner),
      path_(options_.socketPath.empty() ? orvane::platform::Paths::runtime("systemSock") : options_.socketPath) {}

ServiceController::~ServiceController() {
    stop_.store(true);
    cv_.notify_all();
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return active_ == 0; });
}

void ServiceController::pause(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, d, [&] { return stop_.load(); });
}

void ServiceController::log_throttled(orvane::platform::ThrottledLine& line, std::string text, bool error) {
    const std::optional<std::string> now = line.admit(std::move(text));
    if (now && error) log_error(logger_, *now);
    else if (now) log_warn(logger_, *now);
}

bool ServiceController::wait_idle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return active_ == 0; });
}

void ServiceController::start() {
    local::Acceptor acceptor(io_);
    try {
        acceptor = local::listen(io_, path_, kBacklog);
    } catch (const boost::system::system_error& e) {
        log_error(logger_, "Error creating the acceptor: ", e.code().message());
        throw std::runtime_error("Error creating the acceptor: " + e.code().message());
    }
    log_info(logger_, "Acceptor bound to address: '", path_, "'...");
    // The socket file this acceptor made: removed again at the end, unless another program has
    // put its own there meanwhile.
    const local::BoundFile bound = local::boundFile(path_);
    listening_.store(true);

    while (!stop_.load()) {
        boost::system::error_code ec;
        std::optional<local::Socket> socket = local::acceptFor(acceptor, options_.pollInterval, ec);
        if (!socket && !ec) continue;  // nobody came: look at the stop flag again
        log_info(logger_, "Received a connection");
        if (!socket) {
            log_throttled(acceptFailed_, "Error accepting incoming connection: " + ec.message(), true);
        } else {
            {
                std::lock_guard lock(mutex_);
                ++active_;
            }
            try {
                std::thread([this, s = std::move(*socket)]() mutable { request_handler(std::move(s)); }).detach();
            } catch (const std::system_error& e) {
                log_throttled(acceptFailed_, std::string("Error accepting incoming connection: ") + e.what(), true);
                std::lock_guard lock(mutex_);
                --active_;
            }
        }
        pause(options_.acceptPause);
    }

    listening_.store(false);
    boost::system::error_code ignored;
    if (acceptor.is_open()) acceptor.close(ignored);
    local::removeIfStillBound(bound);
    // What was left out of the log is told before the service closes.
    if (auto line = acceptFailed_.takeHeld()) log_error(logger_, *line);
    for (orvane::platform::ThrottledLine* t : {&hugeRead_, &unreadable_, &unhandled_, &busy_, &unsent_})
        if (auto line = t->takeHeld()) log_warn(logger_, *line);
    log_info(logger_, "ServiceController closed");
}

void ServiceController::stop() {
    stop_.store(true);
    cv_.notify_all();
    log_info(logger_, "ServiceController stop...");
}

void ServiceController::request_handler(local::Socket socket) {
    orvane_ipc::FrameAccumulator frames;
    bool done = false;
    while (!done && !stop_.load()) {
        uint8_t buf[kReadSize];
        const local::ReadResult r = local::readFor(socket, buf, sizeof buf, options_.pollInterval);
        if (r.status == local::ReadStatus::Timeout) continue;
        if (r.status != local::ReadStatus::Data) break;  // peer closed or read error
        if (r.bytes == sizeof buf) {
            // No request is this long: the bytes are dropped.
            log_throttled(hugeRead_, "request_handler get huge data. " + std::to_string(r.bytes));
        } else {
            frames.append(buf, r.bytes);
            while (!done) {
                std::optional<std::vector<uint8_t>> frame = frames.next();
                if (!frame) break;
                std::optional<orvane_ipc::RequestVariant> request;
                try {
                    request = orvane_ipc::Service::request_analyze(frame->data(), frame->size());
                } catch (const std::exception& e) {
                    log_throttled(unreadable_, std::string("Fail to analyze the request: ") + e.what());
                    continue;
                }
                if (!request) continue;
                done = true;  // one request per connection, whatever its kind
                try {
                    if (request->index() == 9) {
                        handle_update(std::get<9>(*request).file_name_string());
                    } else if (request->index() == 10) {
                        handle_status(socket);
                    }
                } catch (const std::exception& e) {
                    log_throttled(unhandled_, std::string("Fail to handle the request: ") + e.what());
                }
            }
        }
        pause(std::chrono::milliseconds(100));
    }
    log_info(logger_, "Connection closed");
    boost::system::error_code ignored;
    socket.close(ignored);
    std::lock_guard lock(mutex_);
    --active_;
    cv_.notify_all();
}

void ServiceController::handle_update(const std::string& name) {
    log_info(logger_, "Get SystemUpdate: ", name);
    log_info(logger_, "Current software version ", settings_.software_revision());
    bool idle = false;
    if (!upgrading_.compare_exchange_strong(idle, true)) {
        log_throttled(busy_, "An upgrade is running; SystemUpdate ignored: " + name);
        return;
    }
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag.store(false); }
    } release{upgrading_};

    int result = -1;
    try {
        auto task = std::async(std::launch::async, [this, name] { return engine_->run(name, settings_); });
        result = task.get();
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to upgrade: ", e.what());
        engine_->fail_if_no_error(UpgradeError::Command);
        return;
    }
    if (result != 0) return;  // the error code stays for the status requests
    std::this_thread::sleep_for(options_.restartDelay);
    if (runner_.shell(kRestartCommand) != 0) log_warn(logger_, "Fail to excute: ", kRestartCommand);
}

void ServiceController::handle_status(local::Socket& socket) {
    orvane_ipc::response::SystemUpdateStatus status;
    status.error_code(engine_->error_code());
    status.progress(engine_->progress());
    log_info(logger_, "Get SystemUpdateStatus: ", status.error_code(), ": ", status.progress(), "%");
    const std::vector<uint8_t> frame = orvane_ipc::to_frame(status);
    int err = 0;
    if (local::writeAll(socket, frame.data(), frame.size(), &err) != frame.size())
        log_throttled(unsent_, std::string("Fail to send the status: ") + std::strerror(err));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace service

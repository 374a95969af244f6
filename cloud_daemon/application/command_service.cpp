#include "cloud_daemon/application/command_service.h"

#include <cstring>
#include <stdexcept>

namespace cloud_daemon::application {

namespace local = orvane::platform::local;
using domain::interfaces::log_info;
using domain::interfaces::log_warn;

CommandService::Connection::~Connection() {
    boost::system::error_code ignored;
    socket.close(ignored);
}

CommandService::CommandService(std::string path, ILogger& logger) : path_(std::move(path)), logger_(logger) {}

CommandService::~CommandService() { close(); }

std::shared_ptr<CommandService::Connection> CommandService::current() const {
    std::lock_guard lock(mutex_);
    return conn_;
}

std::shared_ptr<CommandService::Connection> CommandService::connected(bool* fresh) {
    std::lock_guard lock(mutex_);
    if (fresh) *fresh = false;
    if (conn_) return conn_;
    boost::system::error_code ec;
    local::Socket s = local::connect(io_, path_, ec);
    if (ec) {
        const std::string text = "Error connecting to UNIX socket at " + path_ + ": " + ec.message();
        log_warn(logger_, text);
        throw std::runtime_error(text);
    }
    conn_ = std::make_shared<Connection>(std::move(s));
    if (fresh) *fresh = true;
    return conn_;
}

bool CommandService::connect() {
    connected();
    return true;
}

bool CommandService::is_connected() const { return current() != nullptr; }

void CommandService::drop(const std::shared_ptr<Connection>& c) {
    std::lock_guard lock(mutex_);
    if (!c || c != conn_) return;
    local::shutdown(conn_->socket);
    conn_.reset();
}

void CommandService::close() { drop(current()); }

int CommandService::send_command(const orvane_ipc::request::CommandBase& request) {
    bool fresh = false;
    std::shared_ptr<Connection> c = connected(&fresh);
    if (fresh) log_info(logger_, "Send data on ", c->socket.native_handle());
    uint8_t buf[kSendBufferSize];
    const std::size_t n = request.package(buf, sizeof buf);
    if (n == 0) return 0;
    int err = 0;
    const std::size_t written = local::writeAll(c->socket, buf, n, &err);
    if (written < n) {
        log_warn(logger_, "Error writing to the UNIX stream: ", n, " / ", written, ", Error Code: ", err);
        drop(c);
        throw std::runtime_error("Error writing to the UNIX stream: " + std::to_string(n));
    }
    return 0;
}

}  // namespace cloud_daemon::application

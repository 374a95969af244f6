#include "support/modem_sim.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace orvane::test {

ModemSim::ModemSim() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    slave_ = ::ptsname(master_);
    // The master side stays raw so the program's bytes arrive as written.
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    thread_ = std::thread([this] { run(); });
}

ModemSim::~ModemSim() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
}

void ModemSim::setReply(const std::string& command, const std::string& reply) {
    std::lock_guard lock(mutex_);
    replies_[command] = reply;
}

void ModemSim::clearReply(const std::string& command) {
    std::lock_guard lock(mutex_);
    replies_.erase(command);
}

std::string ModemSim::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void ModemSim::run() {
    std::string pending;
    char buf[256];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r <= 0 || !(p.revents & POLLIN)) {
            if (r > 0) ::usleep(20000);  // no slave open yet (POLLHUP)
            continue;
        }
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            ::usleep(20000);
            continue;
        }
        std::string reply;
        {
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            pending.append(buf, static_cast<size_t>(n));
            // A command ends with "\r"; the zero byte that follows it is ignored.
            size_t cr;
            while ((cr = pending.find('\r')) != std::string::npos) {
                std::string cmd = pending.substr(0, cr);
                pending.erase(0, cr + 1);
                while (!pending.empty() && pending.front() == '\0') pending.erase(0, 1);
                while (!cmd.empty() && cmd.front() == '\0') cmd.erase(0, 1);
                auto it = replies_.find(cmd);
                if (it != replies_.end()) reply += it->second;
            }
        }
        if (!reply.empty()) (void)!::write(master_, reply.data(), reply.size());
    }
}

}  // namespace orvane::test

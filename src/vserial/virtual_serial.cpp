#include "vserial/virtual_serial.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "env/env_guard.h"
#include "recipe/recipe_guard.h"
#include "utils/log.h"

namespace virtual_serial {

namespace asio = boost::asio;
using asio::ip::tcp;

struct VirtualSerial::Connection {
    explicit Connection(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::string peer;
};

namespace {

constexpr size_t kChunk = 512;
constexpr char kParityLetters[] = "NOE";

// "%.2d:%.2d:%.2d <arrow>" and the bytes, as the technician's trace on standard output.
void traceBytes(const char* arrow, const unsigned char* data, size_t n) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::printf("%.2d:%.2d:%.2d %s", t.tm_hour, t.tm_min, t.tm_sec, arrow);
    for (size_t i = 0; i < n; ++i) std::printf(" 0x%X", data[i]);
    std::printf("\n");
    std::fflush(stdout);
}

void traceNothing(long result) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    std::printf("%.2d:%.2d:%.2d <=== %ld: \n", t.tm_hour, t.tm_min, t.tm_sec, result);
    std::fflush(stdout);
}

void setKeepAlive(tcp::socket& socket) {
    boost::system::error_code ec;
    socket.set_option(asio::socket_base::keep_alive(true), ec);
    const int fd = socket.native_handle();
    const int idle = 60, interval = 10, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

// ---- serial line ------------------------------------------------------------------------------

speed_t serialSpeedOf(int bauds) {
    switch (bauds) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        default: return B9600;
    }
}

termios serialTermios(int bauds, char parity, int dataBits, int stopBits) {
    termios tio{};
    const speed_t speed = serialSpeedOf(bauds);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~CSIZE;
    switch (dataBits) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        default: tio.c_cflag |= CS8; break;
    }
    if (stopBits == 1) tio.c_cflag &= ~CSTOPB;
    else tio.c_cflag |= CSTOPB;
    if (parity == 'N') {
        tio.c_cflag &= ~PARENB;
        tio.c_iflag &= ~INPCK;
    } else if (parity == 'E') {
        tio.c_cflag |= PARENB;
        tio.c_cflag &= ~PARODD;
        tio.c_iflag |= INPCK;
    } else {
        tio.c_cflag |= PARENB | PARODD;
        tio.c_iflag |= INPCK;
    }
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    return tio;
}

int serial_port_connect(const char* path, int bauds, char parity, int dataBits, int stopBits, termios& saved) {
    std::printf("Opening %s at %d bauds (%c, %d, %d)\n", path, bauds, parity, dataBits, stopBits);
    std::fflush(stdout);
    const int fd = ::open(path, O_RDWR | O_EXCL | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::tcgetattr(fd, &saved) != 0) saved = termios{};
    termios tio = serialTermios(bauds, parity, dataBits, stopBits);
    const speed_t speed = serialSpeedOf(bauds);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int serial_port_close(int fd, const termios& saved) {
    if (fd < 0) return fd;
    ::tcsetattr(fd, TCSANOW, &saved);
    return ::close(fd);
}

// ---- pass-through -----------------------------------------------------------------------------

VirtualSerial::VirtualSerial(RecipeDataGuard& recipe, EnvGuard& env, int port)
    : VirtualSerial(recipe, env, Options{port}) {}

VirtualSerial::VirtualSerial(RecipeDataGuard& recipe, EnvGuard& env, Options options)
    : recipe_(recipe), env_(env), opts_(options) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

VirtualSerial::~VirtualSerial() {
    stop();
    if (connection_.joinable()) connection_.join();
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

void VirtualSerial::stop() {
    if (stopper_.stopped()) return;
    stopper_.stop();
    if (wakePipe_[1] >= 0) {
        const char c = 1;
        (void)!::write(wakePipe_[1], &c, 1);
    }
}

bool VirtualSerial::waitReady(int fd, short events) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakePipe_[0], POLLIN, 0}};
        const int n = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, wakePipe_[0] >= 0 ? -1 : 100);
        if (stopper_.stopped()) return false;
        if (n < 0 && errno != EINTR) return false;
        if (n > 0 && fds[0].revents != 0) return true;
    }
}

int VirtualSerial::loop_thread() {
    asio::io_context io;
    tcp::acceptor acceptor(io);
    bool reported = false;
    while (!stopper_.stopped()) {
        boost::system::error_code ec;
        acceptor.open(tcp::v4(), ec);
        if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(opts_.port)), ec);
        if (!ec) acceptor.listen(4, ec);
        if (!ec) break;
        if (!reported) SLOG_ERROR(SENSOR, "Cannot listen on port {}: {}", opts_.port, ec.message());
        reported = true;
        boost::system::error_code ignored;
        acceptor.close(ignored);
        if (stopper_.waitFor(std::chrono::seconds(1))) return -1;
    }
    if (stopper_.stopped()) return -1;
    boundPort_.store(acceptor.local_endpoint().port());
    SLOG_WARN(SENSOR, "VirtualSerial::loop_thread");

    while (waitReady(acceptor.native_handle(), POLLIN)) {
        auto conn = std::make_unique<Connection>(io);
        boost::system::error_code ec;
        tcp::endpoint peer;
        acceptor.accept(conn->socket, peer, ec);
        if (ec) {
            SLOG_THROTTLED(log_.acceptError, SENSOR, ERROR, "Error accepting incoming connection: {}", ec.message());
            // Out of descriptors the connection stays queued: pause instead of spinning on it.
            stopper_.waitFor(std::chrono::milliseconds(100));
            continue;
        }
        conn->peer = peer.address().to_string();
        SLOG_THROTTLED(log_.request, SENSOR, WARN, "Received a connection request from {}", conn->peer);
        if (busy_.load()) {
            SLOG_THROTTLED(log_.busy, SENSOR, WARN,
                           "The serial line is already passed through: connection from {} closed", conn->peer);
            conn->socket.close(ec);
            continue;
        }
        if (connection_.joinable()) connection_.join();
        busy_.store(true);
        connection_ = std::thread([this, c = std::move(conn)]() mutable {
            try {
                remote_handle(std::move(c));
            } catch (const std::exception& e) {
                SLOG_THROTTLED(log_.failed, SENSOR, ERROR, "pass-through connection failed: {}", e.what());
            }
            served_.fetch_add(1);
            busy_.store(false);
        });
    }
    if (connection_.joinable()) connection_.join();
    boost::system::error_code ignored;
    acceptor.close(ignored);
    boundPort_.store(0);
    return 0;
}

bool VirtualSerial::waitForAck(int32_t value) {
    auto lastLog = std::chrono::steady_clock::now();
    const auto started = lastLog;
    while (env_.serialCmdAck.load() != value) {
        if (stopper_.waitFor(opts_.handOverPoll)) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastLog >= opts_.waitLogEvery) {
            lastLog = now;
            SLOG_WARN(SENSOR, "Waiting for the probe service to acknowledge {} ({} s)", value,
                      std::chrono::duration_cast<std::chrono::seconds>(now - started).count());
        }
    }
    return true;
}

void VirtualSerial::remote_handle(std::unique_ptr<Connection> conn) {
    ModbusRtuRecipeData rtu;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        rtu = recipe_.recipe.modbusRtu;
    }
    if (rtu.parity < 0 || rtu.parity > 2) {
        SLOG_THROTTLED(log_.parity, SENSOR, WARN, "The sensor configuration is wrong due to parity = {}.", rtu.parity);
        return;
    }
    setKeepAlive(conn->socket);
    boost::system::error_code ec;
    conn->socket.non_blocking(true, ec);

    SLOG_THROTTLED(log_.stopping, SENSOR, WARN, "Start to stop the sensor on {} ...", rtu.interface.view());
    env_.serialCmd.store(1);
    if (!waitForAck(1)) {
        env_.serialCmd.store(2);
        return;
    }
    SLOG_THROTTLED(log_.stopped, SENSOR, WARN, "The sensor connections are stopped.");

    termios saved{};
    const std::string device = rtu.interface.str();
    const int fd = serial_port_connect(device.c_str(), rtu.baudrate, kParityLetters[rtu.parity], rtu.databits, rtu.stopbit,
                                       saved);
    if (fd < 0) {
        SLOG_THROTTLED(log_.openError, SENSOR, ERROR, "Fail to open {}. Err {}", device, fd);
    } else {
        forward(*conn, fd);
        SLOG_THROTTLED(log_.closed, SENSOR, WARN, "Connection closed from {}", conn->peer);
        serial_port_close(fd, saved);
    }
    conn->socket.close(ec);

    env_.serialCmd.store(2);
    if (!waitForAck(2)) return;
    SLOG_THROTTLED(log_.started, SENSOR, WARN, "The sensor connections are started.");
}

bool VirtualSerial::writeSerial(int fd, const unsigned char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReady(fd, POLLOUT)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool VirtualSerial::sendSocket(Connection& conn, const unsigned char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        boost::system::error_code ec;
        done += conn.socket.write_some(asio::buffer(data + done, n - done), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            if (!waitReady(conn.socket.native_handle(), POLLOUT)) break;
        } else if (ec) {
            break;
        }
    }
    if (done < n) {
        SLOG_THROTTLED(log_.shortSend, SENSOR, WARN, "Fail to response Serial: {}; Socket: {}", n, done);
    }
    return done == n;
}

void VirtualSerial::forward(Connection& conn, int fd) {
    unsigned char buf[kChunk];
    const int sock = conn.socket.native_handle();
    for (;;) {
        pollfd fds[3] = {{sock, POLLIN, 0}, {fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int n = ::poll(fds, wakePipe_[0] >= 0 ? 3 : 2, wakePipe_[0] >= 0 ? -1 : 100);
        if (stopper_.stopped()) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) {
            boost::system::error_code ec;
            const size_t got = conn.socket.read_some(asio::buffer(buf, kChunk), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
            if (ec || got == 0) return;
            traceBytes("===>", buf, got);
            const bool written = writeSerial(fd, buf, got);
            env_.serialLastClientWrite.store(std::chrono::steady_clock::now().time_since_epoch().count());
            if (!written) return;
            // The reply: piece by piece, each after a pause, until a pause brings nothing.
            for (;;) {
                if (stopper_.waitFor(opts_.replyPause)) return;
                const ssize_t r = ::read(fd, buf, kChunk);
                if (r <= 0) {
                    const bool nothingYet = r == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
                    traceNothing(static_cast<long>(r));
                    if (!nothingYet) return;
                    break;
                }
                if (!sendSocket(conn, buf, static_cast<size_t>(r))) return;
                traceBytes("<===", buf, static_cast<size_t>(r));
            }
        } else if (fds[1].revents != 0) {
            // The device speaks between requests: pass it on as it comes.
            const ssize_t r = ::read(fd, buf, kChunk);
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (r <= 0) return;
            if (!sendSocket(conn, buf, static_cast<size_t>(r))) return;
            traceBytes("<===", buf, static_cast<size_t>(r));
        }
    }
}

}  // namespace virtual_serial

#pragma once
// TCP-to-serial pass-through: a technician's tool on the network talks to the devices on the
// RS-485 line through TCP port 1077, while the probe service stands aside.
//
// One connection at a time. For it the pass-through
//  1. copies the RS-485 settings from the recipe (a parity index outside 0..2 refuses the
//     connection before anything is asked of the probe service);
//  2. asks the probe service to release the line (EnvGuard hand-over request word := 1) and waits
//     for its acknowledgement 1, looking every 100 ms and logging every 10 s;
//  3. opens the device itself with those settings (its terminal settings as found are kept with
//     the connection and put back at close);
//  4. forwards bytes both ways until the client leaves: a request from the socket is written to
//     the device whole (the moment is noted in EnvGuard, for the take-back), then the device's
//     reply is forwarded piece by piece, each piece read after a pause of 300 ms, until a pause
//     brings nothing; bytes the device sends between requests are forwarded as they come;
//  5. closes the device, asks for the line back (request := 2) and waits for acknowledgement 2.
// A second client while a connection runs (also during its take-back wait) is logged and closed.
// TCP keepalive is on, so a vanished peer does not keep the line lent.
// A client that keeps reconnecting cannot flood the log: each warning or error line a
// connection causes is logged the first time, then at most once per 10 s for the whole server
// with the count of the lines it stands for.
//
// Threads: loop_thread (the acceptor) and one connection thread, joined when the acceptor ends.
// Every wait ends on stop(); a connection stopped before its take-back still writes request 2.
#include <termios.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/log_throttle.h"
#include "platform/stopper.h"

class RecipeDataGuard;
class EnvGuard;

namespace virtual_serial {

// The speed for a baud rate: the standard rates 50..230400 as they are, 9600 for any other.
speed_t serialSpeedOf(int bauds);
// Terminal settings built from zeros: receiver on, modem lines ignored, CS5..CS7 for 5..7 data
// bits and CS8 otherwise, two stop bits unless stopBits is 1, parity 'N' off, 'E' even, any other
// letter odd (input checking on with parity), raw input and output, no software flow control.
termios serialTermios(int bauds, char parity, int dataBits, int stopBits);

// Opens path (read/write, O_EXCL, O_NOCTTY, O_NONBLOCK, O_CLOEXEC), keeps its terminal settings
// in saved and applies serialTermios. The descriptor, or -1 (nothing left open).
int serial_port_connect(const char* path, int bauds, char parity, int dataBits, int stopBits, termios& saved);
// For fd >= 0: puts saved back and closes fd, returning the close result; fd itself otherwise.
int serial_port_close(int fd, const termios& saved);

class VirtualSerial {
public:
    struct Options {
        int port = 1077;                                  // 0: an ephemeral port
        std::chrono::milliseconds replyPause{300};        // pause before each read of a reply piece
        std::chrono::milliseconds handOverPoll{100};      // look at the acknowledgement this often
        std::chrono::milliseconds waitLogEvery{10000};    // log a hand-over wait this often
    };

    VirtualSerial(RecipeDataGuard& recipe, EnvGuard& env, int port = 1077);
    VirtualSerial(RecipeDataGuard& recipe, EnvGuard& env, Options options);
    ~VirtualSerial();
    VirtualSerial(const VirtualSerial&) = delete;
    VirtualSerial& operator=(const VirtualSerial&) = delete;

    // The acceptor: runs until stop(), then joins the connection thread. -1 when it never listened.
    int loop_thread();
    void stop();
    // The bound port once listening, 0 before.
    int port() const { return boundPort_.load(); }
    // True from the acceptance of a connection to the end of its take-back.
    bool busy() const { return busy_.load(); }
    // Connections served to their end (for tests).
    int connectionsServed() const { return served_.load(); }

    struct Connection;  // an accepted socket and its peer's address
    // Serves one accepted connection (the whole hand-over) on the calling thread.
    void remote_handle(std::unique_ptr<Connection> conn);

private:
    bool waitForAck(int32_t value);
    void forward(Connection& conn, int fd);
    bool writeSerial(int fd, const unsigned char* data, size_t n);
    bool sendSocket(Connection& conn, const unsigned char* data, size_t n);
    // Waits for fd to become ready (events) or stop; false on stop or error.
    bool waitReady(int fd, short events);

    // The lines a connection can cause, one throttle per kind.
    struct PeerLog {
        orvane::platform::LogThrottle request, busy, acceptError, parity, stopping, stopped, openError, closed, started,
            shortSend, failed;
    };

    RecipeDataGuard& recipe_;
    EnvGuard& env_;
    Options opts_;
    PeerLog log_;
    std::atomic<int> boundPort_{0};
    std::atomic<bool> busy_{false};
    std::atomic<int> served_{0};
    std::thread connection_;
    int wakePipe_[2] = {-1, -1};  // written once by stop(), never drained
    orvane::platform::Stopper stopper_;
};

}  // namespace virtual_serial

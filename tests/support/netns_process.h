#pragma once
// A program (a broker, a subscriber) run by a test in the network namespace of another process,
// e.g. a sandbox (`nsenter -n`), its output appended to a file; stopped with the object.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace orvane::test {

class NetnsProcess {
public:
    NetnsProcess(pid_t pid, std::vector<std::string> argv, std::string out);
    ~NetnsProcess();
    NetnsProcess(const NetnsProcess&) = delete;
    NetnsProcess& operator=(const NetnsProcess&) = delete;
    // Ends it (SIGTERM to its process group) and waits for it.
    void stop();
    std::string text() const;

private:
    std::string out_;
    pid_t pid_ = -1;
};

// An anonymous mosquitto broker on 127.0.0.1:port in the network namespace of pid, its
// configuration and log in dir ("b<port>.conf", "broker<port>.log").
std::unique_ptr<NetnsProcess> startBrokerIn(pid_t pid, int port, const std::string& dir);
// A mosquitto_sub of every topic (QoS 1, topic and payload a line) on that broker, its output
// appended to dir/"sub<port>.txt".
std::unique_ptr<NetnsProcess> startSubscriberIn(pid_t pid, int port, const std::string& dir);

// True when 127.0.0.1:port accepts a connection in the network namespace of pid.
bool portOpenIn(pid_t pid, int port);

}  // namespace orvane::test

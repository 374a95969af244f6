#pragma once
// A mosquitto broker started by a test on a free loopback port, stopped with the object.
#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace orvane::test {

class MosquittoBroker {
public:
    // user empty: anonymous clients are allowed; else only user/password (mosquitto_passwd file).
    explicit MosquittoBroker(const std::string& user = {}, const std::string& password = {});
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    static bool available();
    // Starts (again, on the same port); true once it accepts connections.
    bool start();
    void stop();
    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string logText() const;

private:
    TempDir dir_{"orvane-broker"};
    int port_ = 0;
    pid_t pid_ = -1;
};

// A free TCP port on 127.0.0.1 (bound and released at once).
int freeLoopbackPort();

}  // namespace orvane::test

#pragma once
// A scripted LTE modem on a pseudo-terminal: answers each AT command written to the slave side
// with the reply the test set for it (or nothing), and records every byte it received.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace orvane::test {

class ModemSim {
public:
    ModemSim();
    ~ModemSim();
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    bool ok() const { return master_ >= 0; }
    // Path of the slave side, for the program under test (link it where it expects the port).
    const std::string& devicePath() const { return slave_; }
    // The reply to a command given without its "\r" (e.g. "AT+CGMM"); a command without a
    // reply gets none (a silent modem).
    void setReply(const std::string& command, const std::string& reply);
    void clearReply(const std::string& command);
    // Every byte written by the program so far.
    std::string received() const;

private:
    void run();
    int master_ = -1;
    std::string slave_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::string received_;
    std::thread thread_;
};

}  // namespace orvane::test

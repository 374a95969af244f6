#pragma once
// Reads the reset button's input-event device. A press (value 0) records its start, a release
// (value 1) completes a hold and reports its length in whole seconds, measured from the events'
// own timestamps so a slow caller does not change the result.
#include <cstdint>
#include <string>

class ResetButtonReader {
public:
    // Size of one event record of the device: seconds, microseconds (32-bit each), type, code
    // (16-bit each), value (signed 32-bit).
    static constexpr size_t kEventSize = 16;

    explicit ResetButtonReader(std::string path);
    ~ResetButtonReader();
    ResetButtonReader(const ResetButtonReader&) = delete;
    ResetButtonReader& operator=(const ResetButtonReader&) = delete;

    // Opens the device read-only and non-blocking; prints the failure to standard output (a
    // device that does not exist, as off the gateway, is said to be absent, not an error).
    bool open();
    // Waits up to timeoutMs for one event; returns the whole seconds of a completed hold, else 0.
    int64_t readHoldSeconds(int timeoutMs);

    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = 0;
    short events_ = 0;
    int64_t holdStart_ = 0;
    int64_t holdEnd_ = 0;
    bool pressed_ = false;
};

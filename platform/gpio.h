#pragma once
// GPIO lines through sysfs under Paths::sysfs("class/gpio/"), and an edge-triggered input line
// (EdgeLine) whose waits a test can replace through a factory (setFactoryForTest).
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orvane::platform {

class SysfsGpio {
public:
    enum class Result {
        Ok,
        ExportOpen,      // class/gpio/export cannot be opened
        ExportWrite,     // the number could not be written to it
        DirectionOpen,
        DirectionWrite,
        EdgeOpen,
        EdgeWrite,
        ValueOpen,
        ValueWrite,
    };
    enum class Direction { In, Out };
    enum class Edge { None, Rising, Falling, Both };

    SysfsGpio() = delete;
    // ".../gpio<N>/<file>"
    static std::string path(int gpio, const char* file);
    // The line's value file opens for writing (an existing file; nothing is created).
    static bool ready(int gpio);
    // Writes the decimal number to class/gpio/export.
    static Result exportLine(int gpio);
    static Result setDirection(int gpio, Direction d);
    static Result setEdge(int gpio, Edge e);
    static Result write(int gpio, int value);
};

class EdgeLine {
public:
    enum class Wait { Edge, Timeout, Error };
    virtual ~EdgeLine() = default;
    // Opens the line's value file for reading; false on failure.
    virtual bool open(int gpio) = 0;
    // Reads the value once so that the next edge is reported; false on failure.
    virtual bool arm() = 0;
    // Waits up to timeout for an edge. interrupt() ends a wait early (reported as Timeout).
    virtual Wait wait(std::chrono::milliseconds timeout) = 0;
    // Takes the reported edge (rewind and read); false on failure.
    virtual bool acknowledge() = 0;
    virtual void interrupt() = 0;
    virtual void close() = 0;
    virtual std::string path() const = 0;

    static std::unique_ptr<EdgeLine> create();
    // Test-only: nullptr restores the sysfs factory.
    static void setFactoryForTest(std::function<std::unique_ptr<EdgeLine>()> factory);
};

// poll(POLLPRI) on the value file, plus an eventfd for interrupt().
class SysfsEdgeLine final : public EdgeLine {
public:
    SysfsEdgeLine();
    ~SysfsEdgeLine() override;
    bool open(int gpio) override;
    bool arm() override;
    Wait wait(std::chrono::milliseconds timeout) override;
    bool acknowledge() override;
    void interrupt() override;
    void close() override;
    std::string path() const override { return path_; }

private:
    int fd_ = -1;
    int wake_ = -1;
    std::string path_;
};

}  // namespace orvane::platform

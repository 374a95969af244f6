#include "expression/exp_driver.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "expression/exp_scanner.h"

namespace {

// Closes the script on every way out of a parse, exceptions included.
class ScanGuard {
public:
    explicit ScanGuard(ExpDriver& drv) : drv_(drv) {}
    ~ScanGuard() { drv_.scan_end(); }
    ScanGuard(const ScanGuard&) = delete;
    ScanGuard& operator=(const ScanGuard&) = delete;

private:
    ExpDriver& drv_;
};

// Writes the whole text to path (created or truncated). False when any step fails.
bool writeScratch(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::cerr << "cannot write " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    int err = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) std::cerr << "cannot write " << path << ": " << std::strerror(err ? err : errno) << '\n';
    return ok;
}

}  // namespace

std::recursive_mutex& ExpDriver::engineMutex() {
    static std::recursive_mutex m;
    return m;
}

ExpDriver::ExpDriver(std::string scratchFile) : scratchFile_(std::move(scratchFile)) {
    variables["one"] = 1.0f;
    variables["two"] = 2.0f;
    variables["pH"] = 7.0f;
    variables["ORP"] = 100.0f;
}

void ExpDriver::setVar(const std::string& name, ExpValue value) {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    variables[name] = value;
}

bool ExpDriver::getVar(const std::string& name, ExpValue* value) const {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    auto it = variables.find(name);
    if (it == variables.end()) return false;
    if (value) *value = it->second;
    return true;
}

float ExpDriver::floatVar(const std::string& name) const {
    auto it = variables.find(name);
    return it == variables.end() ? 0.0f : std::get<float>(it->second);
}

bool ExpDriver::boolVar(const std::string& name) const {
    auto it = variables.find(name);
    return it == variables.end() ? false : std::get<bool>(it->second);
}

bool ExpDriver::scan_begin() {
    input_ = nullptr;
    if (!file.empty() && file != "-") {
        input_ = std::fopen(file.c_str(), "r");
        if (!input_) {
            std::cerr << "cannot open " << file << ": " << std::strerror(errno) << '\n';
            return false;
        }
    }
    expScannerBegin(input_, traceScanning);
    return true;
}

void ExpDriver::scan_end() {
    expScannerEnd();
    if (input_) {
        std::fclose(input_);
        input_ = nullptr;
    }
}

int ExpDriver::parseLocked(const std::string& fileName) {
    file = fileName;
    location.initialize(&file);
    if (!scan_begin()) return lastStatus_ = PARSE_CANNOT_OPEN;
    ScanGuard guard(*this);
    lastStatus_ = PARSE_SYNTAX_ERROR;  // until the parser says otherwise (exceptions leave it so)
    try {
        yy::parser parser(*this);
        parser.set_debug_level(traceParsing ? 1 : 0);
        lastStatus_ = parser.parse();
    } catch (const ScannerFailure& e) {
        std::cerr << e.what() << '\n';
        lastStatus_ = PARSE_SCANNER_FAILED;
    } catch (const std::bad_alloc&) {
        std::cerr << "memory exhausted\n";
        lastStatus_ = PARSE_NO_MEMORY;
    }
    return lastStatus_;
}

int ExpDriver::parse(const std::string& fileName) {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    return parseLocked(fileName);
}

ExpValue ExpDriver::parseStr(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    if (!writeScratch(scratchFile_, text)) {
        lastStatus_ = PARSE_SCRATCH_FAILED;
        return result;
    }
    parseLocked(scratchFile_);
    return result;
}

float ExpDriver::parseStrFloat(const std::string& text) { return std::get<float>(parseStr(text)); }

bool ExpDriver::parseStrBool(const std::string& text) { return std::get<bool>(parseStr(text)); }

int ExpDriver::lastStatus() const {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    return lastStatus_;
}

ExpValue ExpDriver::lastResult() const {
    std::lock_guard<std::recursive_mutex> lock(engineMutex());
    return result;
}

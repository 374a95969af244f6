#include "utils/utility.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "platform/atomic_file.h"
#include "platform/command_runner.h"
#include "utils/log.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kHuge = 1048576;

using orvane::platform::ReplaceError;
using orvane::platform::replaceFile;

// A stored file that could not be written keeps its old content: said at warning level, with
// the reason. A save that keeps failing (a full disk) is written once per interval per file.
void warnSaveFailed(const std::string& path, std::string_view reason) {
    static LogThrottles perFile;
    SLOG_THROTTLED(perFile.of(path), SCADA, WARN, "Save of {} failed, the file keeps its old content: {}", path,
                   reason);
}

// The shared steps of the text writers: parent directory, atomic replacement, sync, logs.
// Returns whether the file now holds the text.
bool writeWhole(const char* tag, const std::string& path, const char* data, size_t n, bool bytesInEnd) {
    SLOG_INFO(SCADA, "{} start, filename={}, size={}", tag, path, n);
    if (!Utility::ensureParentDirectoryExists(path)) {
        SLOG_INFO(SCADA, "{} abort: parent directory unavailable, filename={}", tag, path);
        warnSaveFailed(path, "parent directory unavailable");
        return false;
    }
    int err = 0;
    ReplaceError r = replaceFile(path, data, n, &err);
    if (r == ReplaceError::Open) {
        SLOG_INFO(SCADA, "{} failed to open file, filename={}, errno={}", tag, path, err);
        warnSaveFailed(path, std::strerror(err));
        return false;
    }
    orvane::platform::CommandRunner::get().syncFs();
    bool ok = r == ReplaceError::None;
    if (!ok) {
        SLOG_INFO(SCADA, "{} write failed, filename={}, errno={}", tag, path, err);
        warnSaveFailed(path, std::strerror(err));
    }
    if (bytesInEnd)
        SLOG_INFO(SCADA, "{} finished, filename={}, bytes={}, ok={}", tag, path, ok ? n : 0, ok);
    else
        SLOG_INFO(SCADA, "{} finished, filename={}, ok={}", tag, path, ok);
    return ok;
}

// The line of text containing pos starts at pos (or directly after a CR/LF).
bool atLineStart(const std::string& text, size_t pos) {
    return pos == 0 || text[pos - 1] == '\n' || text[pos - 1] == '\r';
}

// First "key=" that begins a line, either plainly or behind one "#". npos when none.
size_t findKeyLine(const std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        if (atLineStart(text, pos)) return pos;
        if (text[pos - 1] == '#' && atLineStart(text, pos - 1)) return pos;
    }
    return std::string::npos;
}

}  // namespace

// ---- Files --------------------------------------------------------------------------------

bool Utility::exists(const std::string& path) {
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec && st.type() != fs::file_type::not_found)
        throw fs::filesystem_error("status", fs::path(path), ec);
    return st.type() != fs::file_type::not_found;
}

std::string Utility::badCopyPath(const std::string& path) {
    std::string name = path + ".bad";
    std::error_code ec;
    for (int n = 1; n < kBadCopies && fs::symlink_status(name, ec).type() != fs::file_type::not_found; ++n)
        name = path + ".bad." + std::to_string(n);
    return name;
}

int Utility::getFileLength(const std::string& path) {
    if (!exists(path)) return -3;
    std::error_code ec;
    uintmax_t n = fs::file_size(path, ec);
    if (ec) return -2;
    return n > static_cast<uintmax_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

std::string Utility::readText(const std::string& path) {
    std::ifstream f(path);
    std::string word;
    if (f) f >> word;
    return word;
}

bool Utility::readText(const std::string& path, fss::basic_str<char, 1048576>& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Read until end of file (sizes reported by stat are not trusted: procfs and sysfs files
    // report 0), then probe one byte more to tell "exactly full" from "longer".
    size_t got = 0;
    bool failed = false;
    while (got < kHuge) {
        ssize_t r = ::read(fd, out.data() + got, kHuge - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    bool more = false;
    if (!failed && got == kHuge) {
        char extra;
        ssize_t r;
        do { r = ::read(fd, &extra, 1); } while (r < 0 && errno == EINTR);
        more = r != 0;
    }
    ::close(fd);
    out.setLength(static_cast<uint32_t>(got));
    return !failed && got < kHuge && !more;
}

bool Utility::writeText(const std::string& path, fss::basic_str<char, 1048576>& text) {
    size_t n = ::strnlen(text.data(), kHuge);
    return writeWhole("writeText(stringHuge)", path, text.data(), n, true);
}

void Utility::writeText(const std::string& path, std::string_view text) {
    writeWhole("writeText(string_view)", path, text.data(), text.size(), false);
}

void Utility::writeText(const std::string& path, const std::string& text) {
    writeWhole("writeText(string)", path, text.data(), text.size(), false);
}

void Utility::writeText(const std::string& path, const char* text) {
    writeText(path, std::string_view(text ? text : ""));
}

std::string Utility::readConfigFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return s;
}

bool Utility::writeConfigFile(const std::string& path, const std::string& text) {
    return writeWhole("writeConfigFile", path, text.data(), text.size(), false);
}

bool Utility::updateConfig(std::string& text, const std::string& key, const std::string& value, bool comment) {
    if (key.empty() || key.find_first_of("\r\n=") != std::string::npos) return false;
    if (value.find_first_of("\r\n") != std::string::npos) return false;
    size_t pos = findKeyLine(text, key);
    if (pos == std::string::npos) return false;
    bool commented = pos > 0 && text[pos - 1] == '#';
    if (comment) {
        if (!commented) text.insert(pos, 1, '#');
        return true;
    }
    if (commented) {
        text.erase(pos - 1, 1);
        --pos;
    }
    size_t valueStart = pos + key.size() + 1;
    size_t lineEnd = text.find_first_of("\r\n", valueStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    text.replace(valueStart, lineEnd - valueStart, value);
    return true;
}

bool Utility::ensureParentDirectoryExists(const std::string& filename) {
    try {
        SLOG_INFO(SCADA, "ensureParentDirectoryExists start, filename={}", filename);
        if (filename.empty()) {
            SLOG_INFO(SCADA, "ensureParentDirectoryExists failed: filename is empty");
            return false;
        }
        fs::path parent = fs::path(filename).parent_path().lexically_normal();
        SLOG_INFO(SCADA, "ensureParentDirectoryExists parsed, rawPath={}, parent={}", filename, parent.string());
        if (parent.empty() || parent == ".") {
            SLOG_INFO(SCADA, "ensureParentDirectoryExists skip create: parent is empty or current directory, parent={}",
                      parent.string());
            return true;
        }
        std::error_code ec;
        fs::file_status st = fs::status(parent, ec);
        if (!ec && fs::exists(st)) {
            bool isDir = fs::is_directory(st);
            SLOG_INFO(SCADA, "ensureParentDirectoryExists parent exists, parent={}, isDirectory={}", parent.string(),
                      isDir);
            return isDir;
        }
        if (ec && st.type() != fs::file_type::not_found)
            SLOG_INFO(SCADA, "ensureParentDirectoryExists status check failed, parent={}, ec={}, msg={}",
                      parent.string(), ec.value(), ec.message());
        else
            SLOG_INFO(SCADA, "ensureParentDirectoryExists parent missing, parent={}", parent.string());
        ec.clear();
        if (fs::create_directories(parent, ec) && !ec) {
            SLOG_INFO(SCADA, "ensureParentDirectoryExists created parent directories, parent={}", parent.string());
            return true;
        }
        SLOG_INFO(SCADA, "ensureParentDirectoryExists create_directories returned false, parent={}, ec={}, msg={}",
                  parent.string(), ec.value(), ec.message());
        std::error_code ec2;
        bool ok = fs::is_directory(parent, ec2) && !ec2;
        SLOG_INFO(SCADA, "ensureParentDirectoryExists final check, parent={}, ok={}, ec={}, msg={}", parent.string(),
                  ok, ec2.value(), ec2.message());
        return ok;
    } catch (const fs::filesystem_error& e) {
        SLOG_INFO(SCADA, "ensureParentDirectoryExists filesystem_error, filename={}, code={}, msg={}", filename,
                  e.code().value(), e.what());
        return false;
    } catch (const std::exception& e) {
        SLOG_INFO(SCADA, "ensureParentDirectoryExists exception, filename={}, msg={}", filename, e.what());
        return false;
    }
}

std::vector<std::string> Utility::listFiles(const std::string& directory, const std::string& extension) {
    std::vector<std::string> out;
    if (!exists(directory)) return out;
    for (const auto& entry : fs::directory_iterator(directory)) {
        fs::path name = entry.path().filename();
        if (name.extension() == extension) out.push_back(directory + name.string());
    }
    return out;
}

bool Utility::loadJson(const std::string& path, nlohmann::ordered_json& out) {
    out = nlohmann::ordered_json::object();
    try {
        if (!exists(path)) return false;
        std::ifstream f(path);
        if (!f) return false;
        f >> out;  // reads one value; whatever follows it is ignored
        return true;
    } catch (const std::exception&) {
        out = nlohmann::ordered_json::object();
        return false;
    }
}

bool Utility::saveJson(const std::string& path, const nlohmann::ordered_json& document) {
    std::string text;
    try {
        text = document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const std::exception& e) {
        SLOG_INFO(SCADA, "saveJson refused, filename={}, error={}", path, e.what());
        warnSaveFailed(path, e.what());
        return false;
    }
    int err = 0;
    if (replaceFile(path, text.data(), text.size(), &err) != ReplaceError::None) {
        SLOG_INFO(SCADA, "saveJson failed, filename={}, errno={}", path, err);
        warnSaveFailed(path, std::strerror(err));
        return false;
    }
    return true;
}

// ---- Text and numbers ---------------------------------------------------------------------

void Utility::split(const std::string& text, const std::string& delimiter, std::vector<std::string>& out) {
    if (delimiter.empty()) {
        out.push_back(text);
        return;
    }
    size_t start = 0;
    do {
        size_t pos = text.find(delimiter, start);
        if (pos == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, pos - start));
        start = pos + delimiter.size();
    } while (start < text.size());
}

void Utility::eraseStr(std::string& text, const std::string& part) {
    if (part.empty()) return;
    size_t pos = text.find(part);
    if (pos != std::string::npos) text.erase(pos, part.size());
}

std::string Utility::hex(const void* data, int length) {
    std::string s;
    if (!data || length <= 0) return s;
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    s.reserve(static_cast<size_t>(length) * 3);
    for (int i = 0; i < length; ++i) {
        s.push_back(kDigits[p[i] >> 4]);
        s.push_back(kDigits[p[i] & 0xf]);
        s.push_back(' ');
    }
    return s;
}

std::string Utility::strChar(const void* data, int length) {
    std::string s;
    if (!data || length <= 0) return s;
    const auto* p = static_cast<const unsigned char*>(data);
    for (int i = 0; i < length; ++i) {
        if (std::isprint(p[i])) s.push_back(static_cast<char>(p[i]));
        s.push_back(' ');
    }
    return s;
}

bool Utility::isValidTimestamp(const std::string& text) {
    static const std::regex kPattern(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$)", std::regex::ECMAScript);
    if (!std::regex_match(text, kPattern)) return false;
    struct tm t {};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &t);
    if (!end || *end != '\0') return false;
    // Let mktime decide whether daylight saving time applies to this date.
    t.tm_isdst = -1;
    if (::mktime(&t) == static_cast<time_t>(-1)) return false;
    char buf[32];
    size_t n = ::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t);
    return n > 0 && text == std::string_view(buf, n);
}

fss::basic_str<char, 64> Utility::getUUID() {
    boost::uuids::random_generator gen;
    std::string s = boost::uuids::to_string(gen());
    return fss::basic_str<char, 64>(s);
}

float Utility::interpolate(float x, float x1, float x2, float y1, float y2) {
    if (x1 == x2) return y1;
    float r = (y2 - y1) * (x - x1) / (x2 - x1) + y1;
    float lo = y1 < y2 ? y1 : y2;
    float hi = y1 < y2 ? y2 : y1;
    if (r < lo) return lo;
    if (r > hi) return hi;
    return r;
}

// ---- Programs -----------------------------------------------------------------------------

int Utility::runCommandNoShell(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    using Kind = orvane::platform::CommandRunner::ExecOutcome::Kind;
    auto outcome = orvane::platform::CommandRunner::get().execOutcome(args);
    switch (outcome.kind) {
        case Kind::Exited: return outcome.code;
        case Kind::NotStarted: return 127;
        case Kind::Signaled:
        case Kind::Failed: break;
    }
    return -1;
}

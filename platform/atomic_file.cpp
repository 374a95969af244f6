#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane::platform {

namespace fs = std::filesystem;

namespace {

// Writes all of data to fd, retrying short writes and EINTR. False with errno set on failure.
bool writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Room left in a file name for ".", ".tmp.", the process id and the counter.
constexpr size_t kTempStemChars = 200;

// The file that a write of path reaches: symbolic links are followed (relative ones from the
// link's directory), so that a link is written through as an in-place rewrite would do and
// stays a link. Empty when the links form a loop or nest too deeply.
fs::path resolveLinks(const std::string& path) {
    fs::path cur(path);
    for (int depth = 0; depth < 40; ++depth) {
        std::error_code ec;
        fs::file_status st = fs::symlink_status(cur, ec);
        if (ec || !fs::is_symlink(st)) return cur;
        fs::path next = fs::read_symlink(cur, ec);
        if (ec) return cur;
        cur = next.is_absolute() ? next : cur.parent_path() / next;
    }
    return {};
}

// The writer's process id when name is a temporary file of replaceFile (".<name>.tmp.<pid>.<n>"),
// else 0.
pid_t tempFileWriter(std::string_view name) {
    const size_t tmp = name.rfind(".tmp.");
    if (name.empty() || name.front() != '.' || tmp == std::string_view::npos || tmp < 2) return 0;
    const std::string_view numbers = name.substr(tmp + 5);  // "<pid>.<n>"
    const size_t dot = numbers.find('.');
    if (dot == std::string_view::npos) return 0;
    int32_t pid = 0;
    uint64_t counter = 0;
    const char* end = numbers.data() + numbers.size();
    const auto p = std::from_chars(numbers.data(), numbers.data() + dot, pid);
    const auto c = std::from_chars(numbers.data() + dot + 1, end, counter);
    if (p.ec != std::errc() || p.ptr != numbers.data() + dot || c.ec != std::errc() || c.ptr != end) return 0;
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// The test-only fault: a path prefix and the errno its replacements fail with (0: none).
std::mutex gFaultMutex;
std::string gFaultPrefix;
int gFaultErr = 0;

int injectedFault(const std::string& path) {
    std::lock_guard lock(gFaultMutex);
    return gFaultErr != 0 && path.compare(0, gFaultPrefix.size(), gFaultPrefix) == 0 ? gFaultErr : 0;
}

// Whether process pid is running (signal 0 reaches it, or exists but is not ours to signal).
bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

// Replaces the file named by linkPath (a symbolic link: the file it leads to) with data: a
// temporary file in the same directory receives the bytes, is flushed to storage and renamed
// over it, so readers and a crash see either the old or the new content, never a truncated
// file. The old file's permission bits are kept; a new file gets 0666 less the umask. On
// failure the temporary file is removed and *err holds errno.
ReplaceError replaceFile(const std::string& linkPath, const char* data, size_t n, int* err) {
    static std::atomic<unsigned> counter{0};
    fs::path target = resolveLinks(linkPath);
    if (target.empty()) {
        *err = ELOOP;
        return ReplaceError::Open;
    }
    const std::string path = target.string();
    // A directory cannot be opened for writing: refused like an open failure, nothing created.
    struct stat st {};
    bool existing = ::stat(path.c_str(), &st) == 0;
    if (existing && S_ISDIR(st.st_mode)) {
        *err = EISDIR;
        return ReplaceError::Open;
    }
    std::string dir = target.parent_path().string();
    // The hidden sibling's name stays within the file system's name limit for any target name.
    std::string base = target.filename().string().substr(0, kTempStemChars);
    std::string prefix = (dir.empty() ? std::string() : dir + "/") + "." + base + ".tmp.";

    int fd = -1;
    std::string tmp;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = prefix + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *err = errno;
        return ReplaceError::Open;
    }
    if (existing && S_ISREG(st.st_mode)) ::fchmod(fd, st.st_mode & 07777);

    bool ok = writeAll(fd, data, n) && ::fsync(fd) == 0;
    int e = errno;
    if (const int fault = injectedFault(path); ok && fault != 0) {
        ok = false;
        e = fault;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        *err = e;
        return ReplaceError::Write;
    }
    *err = 0;
    return ReplaceError::None;
}

void failReplacementsForTest(const std::string& pathPrefix, int err) {
    std::lock_guard lock(gFaultMutex);
    gFaultPrefix = pathPrefix;
    gFaultErr = err;
}

std::vector<std::string> removeInterruptedSaves(const std::string& dir) {
    std::vector<std::string> removed;
    const std::string folder = dir.empty() ? std::string(".") : dir;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return removed;
    const pid_t self = ::getpid();
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    while (const dirent* e = ::readdir(d)) {
        const pid_t writer = tempFileWriter(e->d_name);
        if (writer == 0 || (writer != self && processRuns(writer))) continue;
        const std::string path = prefix + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(path.c_str()) == 0) removed.push_back(path);
    }
    ::closedir(d);
    return removed;
}

}  // namespace orvane::platform

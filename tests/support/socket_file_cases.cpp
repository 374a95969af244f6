#include "support/socket_file_cases.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/temp_dir.h"

namespace orvane::test {

void expectOwnSocketFileRemovedOnStop(const std::string& path, const std::function<void()>& start,
                                      const std::function<void()>& stop) {
    enum class Meanwhile { Nothing, OtherSocket, PlainFile };
    const struct {
        const char* name;
        Meanwhile meanwhile;
        bool removed;
    } cases[] = {
        {"still the server's own", Meanwhile::Nothing, true},
        {"another program's socket bound there", Meanwhile::OtherSocket, false},
        {"a plain file put there", Meanwhile::PlainFile, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start();
        int other = -1;
        if (c.meanwhile != Meanwhile::Nothing) ::unlink(path.c_str());
        if (c.meanwhile == Meanwhile::OtherSocket) {
            other = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
            EXPECT_EQ(::bind(other, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
        } else if (c.meanwhile == Meanwhile::PlainFile) {
            writeFile(path, "not a socket");
        }
        struct stat before {};
        ::lstat(path.c_str(), &before);
        stop();
        struct stat after {};
        const bool present = ::lstat(path.c_str(), &after) == 0;
        EXPECT_EQ(present, !c.removed);
        if (present) {
            EXPECT_EQ(after.st_ino, before.st_ino);  // the other program's file, untouched
        }
        if (other >= 0) ::close(other);
        ::unlink(path.c_str());
    }
}

}  // namespace orvane::test

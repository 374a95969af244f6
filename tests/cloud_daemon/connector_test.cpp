// The system connector against a capture server.
#include <gtest/gtest.h>

#include "cloud_daemon/application/system_connector.h"
#include "orvane_ipc/service.h"
#include "platform/local_socket.h"
#include "recording_logger.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using cloud_daemon::application::SystemConnector;
using cloud_daemon::domain::entities::SystemUpgradeMethod;
namespace local = orvane::platform::local;

namespace {

// Everything one connection carried until its peer closed it.
std::vector<uint8_t> capture(local::Acceptor& acceptor) {
    boost::system::error_code ec;
    auto s = local::acceptFor(acceptor, 15s, ec);
    EXPECT_TRUE(s.has_value());
    std::vector<uint8_t> bytes;
    if (!s) return bytes;
    for (;;) {
        uint8_t buf[256];
        auto r = local::readFor(*s, buf, sizeof buf, 15s);
        if (r.status != local::ReadStatus::Data) break;
        bytes.insert(bytes.end(), buf, buf + r.bytes);
    }
    return bytes;
}

TEST(SystemConnector, EachOrderGoesOutAsOneFrameOnItsOwnConnection) {
    orvane::test::TempDir dir{"lte-connector"};
    const std::string path = dir.file("systemSock");
    boost::asio::io_context io;
    local::Acceptor acceptor = local::listen(io, path, 4);
    orvane::test::RecordingLogger log;
    SystemConnector connector(log, path);

    const std::string longName(40, 'n');
    EXPECT_EQ(connector.send_system_update(SystemUpgradeMethod::tftp, "a.tar.gz"), 0);
    EXPECT_EQ(connector.send_system_update(SystemUpgradeMethod::scp, longName), 0);

    const struct {
        uint16_t method;
        std::string file;
    } want[] = {{3, "a.tar.gz"}, {2, longName.substr(0, 32)}};
    for (const auto& w : want) {
        const std::vector<uint8_t> bytes = capture(acceptor);
        ASSERT_EQ(bytes.size(), 45u);
        auto r = orvane_ipc::Service::request_analyze(bytes.data(), bytes.size());
        ASSERT_TRUE(r && r->index() == 9u);
        EXPECT_EQ(std::get<9>(*r).firmware_source(), w.method);
        EXPECT_EQ(std::get<9>(*r).file_name_string(), w.file);
    }
    EXPECT_EQ(log.count(3, "Upgrade system: 3; a.tar.gz"), 1u);
    EXPECT_EQ(log.count(3, "Send data on "), 2u);
    EXPECT_FALSE(connector.is_connected());
}

TEST(SystemConnector, NoDaemonIsAnError) {
    orvane::test::TempDir dir{"lte-connector"};
    orvane::test::RecordingLogger log;
    SystemConnector connector(log, dir.file("systemSock"));
    EXPECT_THROW(connector.send_system_update(SystemUpgradeMethod::scp, "f"), std::runtime_error);
    EXPECT_EQ(log.count(4, "Error connecting to UNIX socket at " + dir.file("systemSock") + ": "), 1u);
}

}  // namespace

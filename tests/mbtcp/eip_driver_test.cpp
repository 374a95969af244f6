// The EtherNet/IP tag driver against the CIP responder; its framing decoded by tshark.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>
#include <string>
#include <thread>

#include "eip/cip_codec.h"
#include "eip/eip.h"
#include "support/cip_responder.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using orvane::test::CipResponder;
using namespace std::chrono_literals;

namespace {

std::string attrs(const CipResponder& r, const std::string& name, int size, int count, const std::string& path = "") {
    return "protocol=ab_eip&gateway=127.0.0.1:" + std::to_string(r.port()) + "&cpu=lgx" +
           (path.empty() ? "" : "&path=" + path) + "&elem_size=" + std::to_string(size) +
           "&elem_count=" + std::to_string(count) + "&name=" + name;
}

// A tag handle destroyed at the end of the scope.
struct TagHandle {
    int32_t h;
    explicit TagHandle(const std::string& a) : h(eip::create(a.c_str(), 5000)) {}
    ~TagHandle() { if (h > 0) eip::destroy(h); }
};

TEST(EipCodec, TagPathSegments) {
    eip::codec::Bytes b;
    ASSERT_TRUE(eip::codec::encodeTagPath("Program:Main.Arr[3]", b));
    const eip::codec::Bytes expected = {0x91, 12, 'P', 'r', 'o', 'g', 'r', 'a', 'm', ':', 'M', 'a', 'i', 'n',
                                        0x91, 3,  'A', 'r', 'r', 0,   0x28, 3};
    EXPECT_EQ(b, expected);
    ASSERT_TRUE(eip::codec::encodeTagPath("M[300,2]", b));
    EXPECT_EQ(b, (eip::codec::Bytes{0x91, 1, 'M', 0, 0x29, 0, 0x2C, 0x01, 0x28, 2}));
    for (const char* bad : {"", "a..b", ".a", "a.", "a[", "a[]", "a[x]", "a b", "a&b", "a[1]]"})
        EXPECT_FALSE(eip::codec::encodeTagPath(bad, b)) << bad;
}

TEST(EipDriver, RefusesBadAttributes) {
    for (std::string a : {"protocol=modbus&gateway=1.2.3.4&elem_size=4&name=a", "protocol=ab_eip&elem_size=4&name=a",
                          "gateway=1.2.3.4&elem_size=0&name=a", "gateway=1.2.3.4&elem_size=4&elem_count=0&name=a",
                          "gateway=1.2.3.4:99999&elem_size=4&name=a", "gateway=1.2.3.4&elem_size=4", "gateway=1.2.3.4&elem_size=4&name=a..b",
                          "gateway=1.2.3.4&path=1&elem_size=4&name=a", "gateway=1.2.3.4&elem_size=4&name=a&x"})
        EXPECT_EQ(eip::create((a.starts_with("protocol") ? a : "protocol=ab_eip&" + a).c_str(), 0), eip::ERR_BAD_PARAM) << a;
    EXPECT_EQ(eip::status(123456), eip::ERR_NOT_FOUND);
    EXPECT_EQ(eip::read(123456, 0), eip::ERR_NOT_FOUND);
}

TEST(EipDriver, ReadsElementsFragmentsBoundsTheGettersAndRefusesShortReplies) {
    CipResponder r;
    r.addValues<int32_t>("Counts", 0xC4, {-5, 7, 1 << 20, 9});
    TagHandle t(attrs(r, "Counts[1]", 4, 2));
    ASSERT_GT(t.h, 0);
    EXPECT_EQ(eip::read(t.h, 5000), eip::STATUS_OK);
    EXPECT_EQ(eip::size(t.h), 8);
    EXPECT_EQ(eip::get_int32(t.h, 0), 7);
    EXPECT_EQ(eip::get_int32(t.h, 4), 1 << 20);
    EXPECT_EQ(eip::get_int32(t.h, 5), std::nullopt);
    EXPECT_EQ(eip::get_int8(t.h, -1), std::nullopt);
    const auto q = r.requests().back();
    EXPECT_EQ(std::tuple(q.service, q.tag, q.count, q.routed), std::tuple(0x4C, "Counts[1]", 2, false));
    std::vector<float> v(300);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) * 0.5f;
    r.addValues("Trend", 0xCA, v);
    r.clearRequests();
    TagHandle big(attrs(r, "Trend", 4, 300));  // larger than one reply: continues fragmented
    ASSERT_EQ(eip::read(big.h, 5000), eip::STATUS_OK);
    EXPECT_EQ(eip::get_float32(big.h, 4 * 299), 149.5f);
    std::vector<std::pair<int, int64_t>> seen;
    for (auto& q : r.requests())
        if (q.command == 0x6F) seen.emplace_back(q.service, q.offset);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int64_t>>{{0x4C, -1}, {0x52, 480}, {0x52, 960}}));
    // The controller serves INT elements but the client expects 4-byte ones: 2 x 2 bytes < 2 x 4.
    r.addValues<int16_t>("Short", 0xC3, {1, 2});
    TagHandle wrongSize(attrs(r, "Short", 4, 1));
    EXPECT_EQ(eip::read(wrongSize.h, 5000), eip::ERR_TOO_SHORT);
    // The reply is held long enough that the second read comes while the first is in progress,
    // also on a loaded machine.
    r.setBehaviour(CipResponder::Behaviour::Slow, 2000ms);
    EXPECT_EQ(eip::read(wrongSize.h, 0), eip::STATUS_PENDING);
    EXPECT_EQ(eip::read(wrongSize.h, 0), eip::ERR_BUSY);
}

TEST(EipDriver, SlowSilentAndDroppedRepliesFailAndTheSessionComesBack) {
    eip::setTimingForTest({std::chrono::milliseconds(1000), std::chrono::milliseconds(1000)});
    CipResponder r;
    r.addValues<int32_t>("X", 0xC4, {11});
    for (auto b : {CipResponder::Behaviour::Slow, CipResponder::Behaviour::Silent, CipResponder::Behaviour::Drop}) {
        TagHandle t(attrs(r, "X", 4, 1));
        ASSERT_EQ(eip::read(t.h, 5000), eip::STATUS_OK);
        r.setBehaviour(b, 2500ms);
        const int rc = eip::read(t.h, 5000);
        EXPECT_EQ(rc, b == CipResponder::Behaviour::Drop ? eip::ERR_IO : eip::ERR_TIMEOUT);
        EXPECT_EQ(eip::read(t.h, 0), eip::ERR_NO_CONNECTION);  // dead session: at once
        r.setBehaviour(CipResponder::Behaviour::Normal);
        // The session comes back once the reconnect interval has passed and the slow reply is
        // over; until then a read fails at once.
        int again = eip::ERR_NO_CONNECTION;
        EXPECT_TRUE(orvane::test::waitUntil([&] { return (again = eip::read(t.h, 5000)) == eip::STATUS_OK; }, 60s))
            << eip::decode_error(again);
        EXPECT_EQ(eip::get_int32(t.h, 0), 11);
    }
    eip::setTimingForTest({});
}

// One frame as text2pcap reads it: a direction letter, the offset, then the bytes.
std::string hexDump(const std::vector<uint8_t>& b, char direction) {
    std::string out = fmt::format("{} 000000", direction);
    for (uint8_t x : b) out += fmt::format(" {:02x}", x);
    return out + "\n";
}

TEST(EipFraming, RoutedReadDecodedByTshark) {
    if (std::system("command -v tshark >/dev/null 2>&1 && command -v text2pcap >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark / text2pcap not installed";
    CipResponder r;
    r.addValues<int32_t>("Line1.Level", 0xC4, {1234});
    TagHandle t(attrs(r, "Line1.Level", 4, 1, "1,10.0.0.5"));
    ASSERT_EQ(eip::read(t.h, 5000), eip::STATUS_OK);
    auto q = r.requests().back();
    ASSERT_EQ(q.command, 0x6F);
    ASSERT_FALSE(q.reply.empty());
    orvane::test::TempDir dir("orvane-eip-pcap");
    const std::string hex = dir.file("frames.txt"), pcap = dir.file("frames.pcap");
    {
        std::ofstream f(hex);
        f << hexDump(q.frame, 'O') << hexDump(q.reply, 'I');
    }
    ASSERT_EQ(std::system(("text2pcap -q -D -T 50000,44818 '" + hex + "' '" + pcap + "' >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(std::system(("tshark -r '" + pcap + "' -V -o tcp.analyze_sequence_numbers:FALSE >'" + hex + "' 2>&1").c_str()), 0);
    const std::string text = orvane::test::readFile(hex);
    for (const char* expected : {"Command: Send RR Data (0x006f)", "Type ID: Null Address Item (0x0000)",
                                 "Type ID: Unconnected Data Item (0x00b2)", "Service: Unconnected Send (0x52)",
                                 "Embedded Message Request Size: 20 bytes", "Service: Unknown Service (0x4c) (Request)",
                                 "ANSI Symbol: Line1", "ANSI Symbol: Level", "Route Path Size: 5 words",
                                 "Extended Link Address: True", "Port: Backplane (1)", "Link Address: 10.0.0.5",
                                 "Service: Unknown Service (0x4c) (Response)", "General Status: Success (0x00)",
                                 "Data: c400d2040000"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    // The embedded Read Tag's path: two symbol segments of 8 bytes each.
    EXPECT_NE(text.find("Request Path Size: 8 words"), std::string::npos) << text;
}

}  // namespace

// GB18030 <-> UTF-8 conversion against the system's iconv program.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/command_runner.h"
#include "support/temp_dir.h"
#include "utils/utility.h"

using orvane::test::TempDir;
using orvane::test::writeFile;

namespace {

struct Oracle {
    int status;
    std::string out;
};

// What the iconv program makes of the bytes (status 0 on success, 1 on bad input).
Oracle iconvProgram(const std::string& bytes, const char* from, const char* to) {
    TempDir dir;
    writeFile(dir.file("in"), bytes);
    orvane::platform::SystemCommandRunner runner;
    Oracle o;
    o.status = runner.capture({"iconv", "-f", from, "-t", to, dir.file("in")}, &o.out);
    return o;
}

struct Ours {
    ConvResult r;
    std::string out;
};

Ours toGb(const std::string& s, unsigned room = 4096) {
    std::string buf(room + 8, '\0');
    Ours o{Utility::utf8_to_gb18030(s.data(), static_cast<unsigned>(s.size()), buf.data(), room), {}};
    o.out = buf.c_str();
    EXPECT_EQ(buf.find_first_not_of('\0', room), std::string::npos) << "wrote beyond the room";
    return o;
}

Ours toUtf8(const std::string& s, unsigned room = 4096) {
    std::string buf(room + 8, '\0');
    Ours o{Utility::gb18030_to_utf8(s.data(), static_cast<unsigned>(s.size()), buf.data(), room), {}};
    o.out = buf.c_str();
    EXPECT_EQ(buf.find_first_not_of('\0', room), std::string::npos) << "wrote beyond the room";
    return o;
}

const std::string kTexts[] = {
    "abcd我abcd",
    "水质监测 pH=7.2 浊度 0.5NTU, 温度 25℃",
    "Grüße, 12 € ½ ©",
    "Привет, мир",
    "😀 emoji and 𠀀 beyond the BMP",
    "tab\tnewline\n plain ascii ~!@#$%^&*()",
    "ＡＢＣ全角，标点。【】《》",
};

}  // namespace

TEST(Gb18030, MixedTextsAgreeWithIconvBothWays) {
    for (const auto& text : kTexts) {
        Oracle gb = iconvProgram(text, "UTF-8", "GB18030");
        ASSERT_EQ(gb.status, 0) << text;
        Ours ours = toGb(text);
        EXPECT_TRUE(ours.r.ok) << text;
        EXPECT_EQ(ours.r.err, 0);
        EXPECT_EQ(ours.out, gb.out) << text;

        Ours back = toUtf8(ours.out);
        EXPECT_TRUE(back.r.ok);
        EXPECT_EQ(back.out, text);
        EXPECT_EQ(iconvProgram(ours.out, "GB18030", "UTF-8").out, text);
    }
    EXPECT_EQ(toGb("abcd我abcd").out, "abcd\xce\xd2" "abcd");
}

TEST(Gb18030, InvalidInputAgreesWithIconv) {
    struct Case {
        std::string bytes;
        bool fromUtf8;
        int err;
    };
    const Case cases[] = {
        {"ab\xff" "cd", true, EILSEQ},           // byte that never occurs in UTF-8
        {"ab\xc3\x28", true, EILSEQ},            // bad continuation
        {"ab\xe6\x88", true, EINVAL},            // ends inside a character
        {"ab\xed\xa0\x80", true, EILSEQ},        // surrogate
        {"ab\x81\x20" "cd", false, EILSEQ},      // bad second byte
        {"ab\xff\xff", false, EILSEQ},
        {"ab\x81", false, EINVAL},               // ends inside a two-byte character
        {"ab\x81\x30\x81", false, EINVAL},       // ends inside a four-byte character
    };
    for (const auto& c : cases) {
        Ours ours = c.fromUtf8 ? toGb(c.bytes) : toUtf8(c.bytes);
        Oracle o = c.fromUtf8 ? iconvProgram(c.bytes, "UTF-8", "GB18030") : iconvProgram(c.bytes, "GB18030", "UTF-8");
        EXPECT_FALSE(ours.r.ok);
        EXPECT_EQ(ours.r.err, c.err) << Utility::hex(c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_NE(o.status, 0);
        // What was converted before the fault is what iconv printed before giving up.
        EXPECT_EQ(ours.out, o.out);
        EXPECT_EQ(ours.out, "ab");
    }
    // A failure leaves no state behind: the next conversion is clean.
    EXPECT_EQ(toUtf8("\xce\xd2").out, "我");
}

TEST(Gb18030, OutputRoomAndEmptyInput) {
    const std::string full = toGb("abcd我abcd").out;
    for (unsigned room : {0u, 4u, 5u, 6u, 9u}) {
        Ours o = toGb("abcd我abcd", room);
        EXPECT_FALSE(o.r.ok) << room;
        EXPECT_EQ(o.r.err, E2BIG) << room;
        EXPECT_LE(o.out.size(), room);
        EXPECT_EQ(full.rfind(o.out, 0), 0u) << "a prefix of the whole conversion";
    }
    EXPECT_EQ(toGb("abcd我abcd", 5).out, "abcd");  // the two-byte character does not fit
    EXPECT_TRUE(toGb("abcd我abcd", 10).r.ok);      // exactly fits

    char out[4] = {'x', 'x', 'x', 'x'};
    ConvResult r = Utility::utf8_to_gb18030("", 0, out, sizeof out);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.err, 0);
    EXPECT_EQ(std::string(out, 4), "xxxx");
    r = Utility::gb18030_to_utf8(nullptr, 0, out, 0);
    EXPECT_TRUE(r.ok);
}

TEST(Gb18030, ConcurrentConversionsStayCorrect) {
    std::vector<std::string> gb;
    for (const auto& t : kTexts) gb.push_back(toGb(t).out);
    std::vector<std::thread> threads;
    std::vector<int> bad(8, 0);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            char buf[512];
            for (int k = 0; k < 400; ++k) {
                size_t n = (i + k) % std::size(kTexts);
                const std::string& text = kTexts[n];
                std::memset(buf, 0, sizeof buf);
                ConvResult r = Utility::utf8_to_gb18030(text.data(), static_cast<unsigned>(text.size()), buf, 511);
                if (!r.ok || gb[n] != buf) ++bad[i];
                std::memset(buf, 0, sizeof buf);
                // Interleave a failing conversion so that error state would leak if shared.
                if (k % 7 == 0) Utility::gb18030_to_utf8("ab\x81", 3, buf, 511);
                std::memset(buf, 0, sizeof buf);
                r = Utility::gb18030_to_utf8(gb[n].data(), static_cast<unsigned>(gb[n].size()), buf, 511);
                if (!r.ok || text != buf) ++bad[i];
            }
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(bad[i], 0) << i;
}

// File, document and text helpers of Utility.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>

#include "platform/command_runner.h"
#include "support/temp_dir.h"
#include "utils/utility.h"

using orvane::platform::CommandRunner;
using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::TempDir;
using orvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

class RecordedSync : public ::testing::Test {
protected:
    void SetUp() override { CommandRunner::setForTest(&runner); }
    void TearDown() override { CommandRunner::setForTest(nullptr); }
    RecordingCommandRunner runner;
    TempDir dir;
};

std::vector<std::string> splitOf(const std::string& text, const std::string& delim) {
    std::vector<std::string> out;
    Utility::split(text, delim, out);
    return out;
}

}  // namespace

TEST(UtilityRead, FixedStringReadAtTheOneMegabyteBoundary) {
    TempDir dir;
    auto huge = std::make_unique<fss::stringHuge>();
    std::string almost(1048575, 'x');
    almost[0] = 'A';
    almost.back() = 'Z';
    writeFile(dir.file("a"), almost);
    EXPECT_TRUE(Utility::readText(dir.file("a"), *huge));
    EXPECT_EQ(huge->length(), 1048575u);
    EXPECT_EQ(huge->view(), almost);

    writeFile(dir.file("b"), almost + "!");
    EXPECT_FALSE(Utility::readText(dir.file("b"), *huge));
    EXPECT_EQ(huge->length(), 1048576u);
    EXPECT_EQ((*huge)[1048575], '!');
    EXPECT_EQ((*huge)[1048576], '\0');

    writeFile(dir.file("c"), almost + "!!");
    EXPECT_FALSE(Utility::readText(dir.file("c"), *huge));
    EXPECT_EQ(huge->length(), 1048576u);

    writeFile(dir.file("empty"), "");
    EXPECT_TRUE(Utility::readText(dir.file("empty"), *huge));
    EXPECT_EQ(huge->length(), 0u);

    // A missing file clears what an earlier read left.
    EXPECT_FALSE(Utility::readText(dir.file("missing"), *huge));
    EXPECT_EQ(huge->length(), 0u);
    EXPECT_TRUE(huge->empty());
}

TEST(UtilityRead, WordLengthAndExistence) {
    TempDir dir;
    writeFile(dir.file("w"), "  first second\n");
    EXPECT_EQ(Utility::readText(dir.file("w")), "first");
    EXPECT_EQ(Utility::readText(dir.file("none")), "");
    EXPECT_EQ(Utility::readConfigFile(dir.file("w")), "  first second\n");
    EXPECT_EQ(Utility::readConfigFile(dir.file("none")), "");

    EXPECT_EQ(Utility::getFileLength(dir.file("w")), 15);
    EXPECT_EQ(Utility::getFileLength(dir.file("none")), -3);
    EXPECT_EQ(Utility::getFileLength(dir.path()), -2);
    EXPECT_TRUE(Utility::exists(dir.path()));
    EXPECT_TRUE(Utility::exists(dir.file("w")));
    EXPECT_FALSE(Utility::exists(dir.file("none")));
    EXPECT_FALSE(Utility::exists(dir.file("none/deeper")));
}

TEST_F(RecordedSync, WriteTextCreatesParentsReplacesAndSyncs) {
    std::string path = dir.file("a/b/c/parameter.json");
    Utility::writeText(path, std::string("first"));
    EXPECT_EQ(readFile(path), "first");
    EXPECT_EQ(runner.syncCount(), 1);

    ::chmod(path.c_str(), 0640);
    Utility::writeText(path, std::string_view("second, longer text"));
    Utility::writeText(path, "3rd");  // literal overload
    EXPECT_EQ(readFile(path), "3rd");
    EXPECT_EQ(runner.syncCount(), 3);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "permission bits of the replaced file are kept";

    // The fixed-string overload writes up to the first zero character.
    auto huge = std::make_unique<fss::stringHuge>("abc");
    (*huge)[5] = 'z';  // beyond the terminator: not written
    EXPECT_TRUE(Utility::writeText(path, *huge));
    EXPECT_EQ(readFile(path), "abc");

    // No temporary files are left behind.
    size_t entries = std::distance(fs::directory_iterator(dir.file("a/b/c")), fs::directory_iterator());
    EXPECT_EQ(entries, 1u);

    Utility::writeConfigFile(dir.file("etc/x.conf"), "k=v\n");
    EXPECT_EQ(readFile(dir.file("etc/x.conf")), "k=v\n");
}

TEST_F(RecordedSync, WriteFailuresLeaveTheOldFile) {
    writeFile(dir.file("plain"), "i am a file");
    auto huge = std::make_unique<fss::stringHuge>("data");
    // Parent is a regular file.
    EXPECT_FALSE(Utility::writeText(dir.file("plain/x.json"), *huge));
    // Target is a directory: the rename fails and the directory stays.
    fs::create_directories(dir.file("d/sub"));
    EXPECT_FALSE(Utility::writeText(dir.file("d/sub"), *huge));
    EXPECT_TRUE(fs::is_directory(dir.file("d/sub")));
    size_t entries = std::distance(fs::directory_iterator(dir.file("d")), fs::directory_iterator());
    EXPECT_EQ(entries, 1u) << "the temporary file was removed";
    // Unwritable directory (skipped as root, who may write anyway).
    if (::geteuid() != 0) {
        writeFile(dir.file("ro/f"), "old");
        ::chmod(dir.file("ro").c_str(), 0555);
        EXPECT_FALSE(Utility::writeText(dir.file("ro/f"), *huge));
        EXPECT_EQ(readFile(dir.file("ro/f")), "old");
        ::chmod(dir.file("ro").c_str(), 0755);
    }
}

TEST(UtilityDirs, EnsureParentDirectoryExists) {
    TempDir dir;
    EXPECT_FALSE(Utility::ensureParentDirectoryExists(""));
    EXPECT_TRUE(Utility::ensureParentDirectoryExists("bare-name.json"));
    EXPECT_FALSE(fs::exists("bare-name.json"));
    EXPECT_TRUE(Utility::ensureParentDirectoryExists("./bare-name.json"));
    EXPECT_TRUE(Utility::ensureParentDirectoryExists(dir.file("x/y/../z/f.txt")));
    EXPECT_TRUE(fs::is_directory(dir.file("x/z")));
    writeFile(dir.file("file"), "");
    EXPECT_FALSE(Utility::ensureParentDirectoryExists(dir.file("file/f.txt")));
    EXPECT_FALSE(Utility::ensureParentDirectoryExists(dir.file("file/deeper/f.txt")));
}

TEST(UtilityDirs, ListFilesMatchesEntriesOfAnyType) {
    TempDir dir;
    writeFile(dir.file("p/a.json"), "{}");
    writeFile(dir.file("p/b.json"), "{}");
    writeFile(dir.file("p/c.txt"), "");
    writeFile(dir.file("p/.json"), "");
    writeFile(dir.file("p/d.json.bak"), "");
    fs::create_directories(dir.file("p/sub.json"));
    writeFile(dir.file("p/sub.json/inner.json"), "");  // no recursion
    std::string root = dir.file("p/");
    auto files = Utility::listFiles(root, ".json");
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{root + "a.json", root + "b.json", root + "sub.json"}));
    EXPECT_TRUE(Utility::listFiles(dir.file("nothing/"), ".json").empty());
}

TEST(UtilityJson, LoadAcceptsOneValueAndRejectsBrokenText) {
    TempDir dir;
    nlohmann::ordered_json doc = {{"stale", 1}};
    writeFile(dir.file("trail.json"), "{} and more words");
    EXPECT_TRUE(Utility::loadJson(dir.file("trail.json"), doc));
    EXPECT_EQ(doc, nlohmann::ordered_json::object());

    writeFile(dir.file("order.json"), R"({"z":1,"a":{"y":2,"b":3}})");
    EXPECT_TRUE(Utility::loadJson(dir.file("order.json"), doc));
    EXPECT_EQ(doc.dump(), R"({"z":1,"a":{"y":2,"b":3}})");

    for (const char* bad : {"", "{\"a\":", "[1,2", "{\"a\":1 // c\n}", "nul"}) {
        writeFile(dir.file("bad.json"), bad);
        doc = {{"stale", 1}};
        EXPECT_FALSE(Utility::loadJson(dir.file("bad.json"), doc)) << bad;
        EXPECT_EQ(doc, nlohmann::ordered_json::object()) << bad;
    }
    EXPECT_FALSE(Utility::loadJson(dir.file("missing.json"), doc));
    EXPECT_EQ(doc, nlohmann::ordered_json::object());
}

TEST(UtilityJson, SaveWritesTheExactLayoutAndRefusesInvalidUtf8) {
    TempDir dir;
    nlohmann::ordered_json doc;
    doc["name"] = "水质 ü";
    doc["log"] = {{"SCADA", 3}, {"MAIN", 2}};
    doc["list"] = {1, 2.5, nullptr};
    ASSERT_TRUE(Utility::saveJson(dir.file("s.json"), doc));
    EXPECT_EQ(readFile(dir.file("s.json")),
              "{\n  \"name\": \"水质 ü\",\n  \"log\": {\n    \"SCADA\": 3,\n    \"MAIN\": 2\n  },\n"
              "  \"list\": [\n    1,\n    2.5,\n    null\n  ]\n}");

    nlohmann::ordered_json broken = {{"bad", std::string("\xff\xfe")}};
    EXPECT_FALSE(Utility::saveJson(dir.file("s.json"), broken));
    nlohmann::ordered_json back;
    EXPECT_TRUE(Utility::loadJson(dir.file("s.json"), back));
    EXPECT_EQ(back, doc) << "old document kept";
    // No directory is created.
    EXPECT_FALSE(Utility::saveJson(dir.file("no/such/dir.json"), doc));
}

TEST(UtilityText, SplitPieces) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitOf("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(splitOf("a,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(splitOf(",a", ","), (V{"", "a"}));
    EXPECT_EQ(splitOf("", ","), (V{""}));
    EXPECT_EQ(splitOf("abc", ","), (V{"abc"}));
    EXPECT_EQ(splitOf("a::b::::c::", "::"), (V{"a", "b", "", "c"}));
    EXPECT_EQ(splitOf("a,b", ""), (V{"a,b"}));  // returns instead of looping
    V out{"kept"};
    Utility::split("x;y", ";", out);
    EXPECT_EQ(out, (V{"kept", "x", "y"}));
}

TEST(UtilityText, UpdateConfigEditsOnlyWholeKeys) {
    std::string t = "ssid=a\n#psk=b\n";
    EXPECT_TRUE(Utility::updateConfig(t, "psk", "c", false));
    EXPECT_EQ(t, "ssid=a\npsk=c\n");
    EXPECT_TRUE(Utility::updateConfig(t, "psk", "c", true));
    EXPECT_EQ(t, "ssid=a\n#psk=c\n");
    EXPECT_TRUE(Utility::updateConfig(t, "psk", "ignored", true));  // already commented out
    EXPECT_EQ(t, "ssid=a\n#psk=c\n");
    EXPECT_FALSE(Utility::updateConfig(t, "key", "v", false));
    EXPECT_EQ(t, "ssid=a\n#psk=c\n");

    // Keys that end another key, and keys mentioned inside values, are not hit.
    std::string net = "[Match]\nName=eth0\n[Network]\nMACAddress=00:11\nUseDNS=no\nAddress=10.0.0.2/24\nDNS=1.1.1.1\n";
    EXPECT_TRUE(Utility::updateConfig(net, "Address", "192.168.1.5/24", false));
    EXPECT_TRUE(Utility::updateConfig(net, "DNS", "8.8.8.8", false));
    EXPECT_EQ(net, "[Match]\nName=eth0\n[Network]\nMACAddress=00:11\nUseDNS=no\nAddress=192.168.1.5/24\nDNS=8.8.8.8\n");
    std::string only = "MACAddress=00:11\nNote=Address=x\n";
    EXPECT_FALSE(Utility::updateConfig(only, "Address", "1", false));
    EXPECT_EQ(only, "MACAddress=00:11\nNote=Address=x\n");

    // CR line ends, last line without end, empty value.
    std::string cr = "a=1\rb=2";
    EXPECT_TRUE(Utility::updateConfig(cr, "b", "", false));
    EXPECT_EQ(cr, "a=1\rb=");
    EXPECT_TRUE(Utility::updateConfig(cr, "a", "x y", false));
    EXPECT_EQ(cr, "a=x y\rb=");

    // Values that would inject further lines are refused.
    std::string inj = "psk=old\n";
    EXPECT_FALSE(Utility::updateConfig(inj, "psk", "new\nssid=evil", false));
    EXPECT_FALSE(Utility::updateConfig(inj, "psk", "new\r", false));
    EXPECT_FALSE(Utility::updateConfig(inj, "", "v", false));
    EXPECT_EQ(inj, "psk=old\n");
}

TEST(UtilityText, DumpsEraseAndInterpolate) {
    const unsigned char b[] = {0x01, 0xab, 0x0a, 0xff};
    EXPECT_EQ(Utility::hex(b, 2), "01 ab ");
    EXPECT_EQ(Utility::hex(b + 2, 2), "0a ff ");
    EXPECT_EQ(Utility::hex(b, 0), "");
    EXPECT_EQ(Utility::hex(b, -3), "");
    const char p[] = {'A', '\n', 'z', '\x7f'};
    EXPECT_EQ(Utility::strChar(p, 4), "A  z  ");

    std::string s = "abcabc";
    Utility::eraseStr(s, "bc");
    EXPECT_EQ(s, "aabc");
    Utility::eraseStr(s, "zz");
    EXPECT_EQ(s, "aabc");

    EXPECT_FLOAT_EQ(Utility::interpolate(12, 4, 20, 0, 100), 50);
    EXPECT_FLOAT_EQ(Utility::interpolate(2, 4, 20, 0, 100), 0);
    EXPECT_FLOAT_EQ(Utility::interpolate(25, 4, 20, 0, 100), 100);
    // Reversed output scale: 4 mA = 100, 20 mA = 0.
    EXPECT_FLOAT_EQ(Utility::interpolate(12, 4, 20, 100, 0), 50);
    EXPECT_FLOAT_EQ(Utility::interpolate(8, 4, 20, 100, 0), 75);
    EXPECT_FLOAT_EQ(Utility::interpolate(2, 4, 20, 100, 0), 100);
    EXPECT_FLOAT_EQ(Utility::interpolate(25, 4, 20, 100, 0), 0);
    EXPECT_FLOAT_EQ(Utility::interpolate(5, 4, 4, 1, 2), 1);  // empty input range
    EXPECT_TRUE(std::isnan(Utility::interpolate(NAN, 4, 20, 0, 100)));
}

TEST(UtilityText, TimestampTextCheck) {
    EXPECT_TRUE(Utility::isValidTimestamp("2024-02-29 12:00:00"));
    EXPECT_TRUE(Utility::isValidTimestamp("1999-12-31 23:59:59"));
    EXPECT_FALSE(Utility::isValidTimestamp("2023-02-29 12:00:00"));
    EXPECT_FALSE(Utility::isValidTimestamp("2023-02-30 10:00:00"));
    EXPECT_FALSE(Utility::isValidTimestamp("2024-1-01 00:00:00"));
    EXPECT_FALSE(Utility::isValidTimestamp("2024-01-01 00:00:00 "));
    EXPECT_FALSE(Utility::isValidTimestamp("2024-01-01 24:00:00"));
    EXPECT_FALSE(Utility::isValidTimestamp("2024-01-01T00:00:00"));
    EXPECT_FALSE(Utility::isValidTimestamp(""));
}

TEST(UtilityText, UuidTexts) {
    std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto u = Utility::getUUID();
        EXPECT_EQ(u.length(), 36u);
        EXPECT_TRUE(std::regex_match(u.str(), form)) << u.str();
        seen.insert(u.str());
    }
    EXPECT_EQ(seen.size(), 200u);
}

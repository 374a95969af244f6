// DK-200 extras: data sets as CSV files, flags cleared after the file, the network report.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <ranges>
#include <regex>
#include <set>
#include <sstream>

#include "client_rig.h"
#include "modbus_peer.h"
#include "scada_paths.h"

using orvane::test::readFile;

namespace {

constexpr int kWrite = 16;

std::vector<std::string> csvFiles() {
    std::vector<std::string> out;
    if (!std::filesystem::is_directory(scada_paths::PROBE_RAWDATA_PATH())) return out;
    for (auto& e : std::filesystem::directory_iterator(scada_paths::PROBE_RAWDATA_PATH())) out.push_back(e.path());
    return out;
}
std::vector<std::string> lines(const std::string& file) {
    std::vector<std::string> out;
    std::istringstream in(readFile(file));
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}
std::string name(const std::string& file) { return std::filesystem::path(file).filename().string(); }

struct DkRig : orvane::test::ClientRig {
    orvane::test::ModbusPeer peer;
    DkRig() {
        modbus(0, peer.port(), "ABCD", "Kelva Works").model = "DK-200S";
        recipe->recipe.system.sn = "24/50 0:1";
        input(0, 1, 100, "UINT16", "hvd");
        input(0, 2, 4213, "UINT16", "opw");
        client->update_config();
    }
    ~DkRig() { client.reset(); }
};

// HVD sets 0 and 2 of mask 0x05 give one file of four lines, OPW318 one of two; then the flags are cleared.
TEST(Dk200, FlaggedSetsGoToOneFileEachThenTheFlagsAreCleared) {
    DkRig rig;
    for (int n : {0, 2})
        for (int k = 0; k < 257; ++k) rig.peer.setFloatABCD(101 + 514 * n + 2 * k, static_cast<float>(n * 1000 + k) + 0.5f);
    for (int k = 0; k < 6; ++k) rig.peer.setFloatABCD(2 * k, static_cast<float>(k));
    for (int k = 0; k < 256; ++k) rig.peer.setFloatABCD(4215 + 2 * k, static_cast<float>(-k));
    rig.peer.set(100, 0x05);
    rig.peer.set(4213, 1);
    rig.client->runOnce();
    std::map<size_t, std::vector<std::string>> byCount;  // each file's lines, by their number
    for (auto& f : csvFiles()) {
        EXPECT_TRUE(std::regex_match(name(f), std::regex(R"(245001_01-01-2026 00-00-\d\d(_1)?\.csv)"))) << f;
        byCount[lines(f).size()] = lines(f);
    }
    ASSERT_EQ(byCount.size(), 2u);
    const auto& hvd = byCount[4];
    EXPECT_EQ(hvd.at(0), "0.5");
    EXPECT_EQ(hvd.at(2), "2000.5");
    EXPECT_EQ(hvd.at(1).substr(0, 12), "1.5,2.5,3.5,");
    EXPECT_EQ(std::count(hvd.at(3).begin(), hvd.at(3).end(), ','), 255);
    EXPECT_EQ(hvd.at(3).substr(hvd.at(3).rfind(',') + 1), "2256.5");
    const auto& opw = byCount[2];
    EXPECT_EQ(opw.at(0), "0,1,2,3,4,5");
    EXPECT_EQ(opw.at(1).substr(0, 8), "0,-1,-2,");
    EXPECT_EQ(std::count(opw.at(1).begin(), opw.at(1).end(), ','), 255);
    EXPECT_EQ(rig.peer.get(100), 0);
    EXPECT_EQ(rig.peer.get(4213), 0);
}

TEST(Dk200, FilesOfOneSecondNeverReplaceEachOther) {
    DkRig rig;
    const std::string a = rig.client->writeNewCsv("%H-%M-%S", "first\n");
    const std::string b = rig.client->writeNewCsv("%H-%M-%S", "second\n");
    EXPECT_EQ(name(a), "245001_00-00-00.csv");
    EXPECT_EQ(name(b), "245001_00-00-00_1.csv");
    EXPECT_EQ(readFile(a), "first\n");
    EXPECT_EQ(readFile(b), "second\n");
}

// Nothing asked, an unwritable directory, a stop: no (partial) file, the flag left as it was.
TEST(Dk200, FlagsLeftSetWhenNoFileIsWritten) {
    enum Case { Nothing, Unwritable, Stop };
    struct Row { Case c; int address; uint16_t value; } rows[] = {
        {Nothing, 100, 0}, {Nothing, 4213, 0}, {Nothing, 4213, 2}, {Unwritable, 100, 1}, {Unwritable, 4213, 1}, {Stop, 100, 3}, {Stop, 4213, 1}};
    for (auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.c << " " << r.address << "=" << r.value);
        DkRig rig;
        rig.peer.set(r.address, r.value);
        rig.peer.clearRequests();
        if (r.c == Unwritable) orvane::test::writeFile(scada_paths::PROBE_RAWDATA_PATH(), "not a directory");
        if (r.c != Stop) {
            rig.client->runOnce();
        } else {
            rig.client->stop();
            r.address == 100 ? rig.client->handleKelvaDKHvd(0, r.value) : rig.client->handleKelvaDKOPW318(0, r.value);
            EXPECT_TRUE(rig.peer.requests().empty());
        }
        if (r.c != Unwritable) { EXPECT_TRUE(csvFiles().empty()); }
        EXPECT_EQ(rig.peer.count(kWrite, r.address), 0);
        EXPECT_EQ(rig.peer.get(r.address), r.value);
    }
}

TEST(Dk200, NetworkReportTextsLowByteFirstInBlockOrder) {
    for (bool connected : {true, false}) {
        DkRig rig;
        {
            std::lock_guard lk(rig.live->mutex());
            auto& d = rig.live->data();
            d.system.Connected = connected;
            d.lte.carrier = "CMCC", d.lte.lte_rssi = -71, d.lte.ip = "10.1.2.3";
        }
        auto& r = rig.recipe->recipe;
        r.cellular.apn = "iot.apn", r.lte.iccid = "8986", r.lte.model = "EC25";
        for (int a = 1000; a < 1074; ++a) rig.peer.set(a, 0xFFFF);
        rig.peer.clearRequests();
        rig.client->runOnce();
        auto text = [&](int address, int count) {  // low byte first, up to the first zero
            std::string s;
            for (uint16_t v : std::views::iota(address, address + count) | std::views::transform([&](int a) { return rig.peer.get(a); }))
                s += {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
            return std::string(s.c_str());
        };
        EXPECT_EQ(text(1000, 16), connected ? "CMCC" : "");
        EXPECT_EQ(rig.peer.get(1015), 0);
        EXPECT_EQ(rig.peer.get(1032), static_cast<uint16_t>(-71));
        EXPECT_EQ(rig.peer.get(1057), connected ? 1 : 0);
        EXPECT_EQ(text(1033, 8), connected ? "10.1.2.3" : "");
        EXPECT_EQ(rig.peer.get(1040), 0);
        EXPECT_EQ(text(1016, 16), "iot.apn");
        EXPECT_EQ(text(1041, 16), "8986");
        EXPECT_EQ(text(1058, 8), "24/50 0:1");
        EXPECT_EQ(text(1066, 8), "EC25");
        std::vector<std::pair<int, int>> writes;
        for (auto& q : rig.peer.requests())
            if (q.function == kWrite) writes.emplace_back(q.address, q.count);
        EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{
                              {1000, 16}, {1032, 1}, {1057, 1}, {1033, 8}, {1016, 16}, {1041, 16}, {1058, 8}, {1066, 8}}));
    }
}

TEST(Dk200, Mv700TestDataExport) {
    DkRig rig;
    for (int k = 0; k < 4; ++k) rig.peer.set(31001 + k, static_cast<uint16_t>(k + 1));
    rig.peer.set(15449 + 49, 4242);
    rig.peer.clearRequests();
    rig.client->handleKelvaMV700TestData(0, 0);
    EXPECT_TRUE(csvFiles().empty());
    rig.client->handleKelvaMV700TestData(0, 1);
    auto files = csvFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(name(files[0]), "245001_20260101000000.csv");
    auto l = lines(files[0]);
    ASSERT_EQ(l.size(), 1u + 100u + 50u);
    EXPECT_EQ(l[0], "1,2,3,4");
    EXPECT_EQ(l.back().substr(l.back().rfind(',') + 1), "4242");
    std::set<int> counts;
    for (auto& q : rig.peer.requests()) counts.insert(q.count);
    EXPECT_EQ(counts, (std::set<int>{4, 50, 120}));
}

}  // namespace

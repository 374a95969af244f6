// runtime/opdata.json: exact text after each change, reading back, the calibration log rules and
// files that cannot be read.
#include <filesystem>
#include <thread>

#include "env_fixture.h"
#include "recipe/json_codec.h"

namespace {

std::string accountText(const AccountRecord& a) {
    return "    {\n      \"name\":\"" + a.name.str() + "\",\n      \"pwdMD5\":\"" + a.pwdMD5.str() +
           "\",\n      \"role\":" + std::to_string(static_cast<int>(a.role)) + ",\n      \"bcryptHash\":\"" +
           a.bcryptHash.str() + "\"}";
}

std::string accountsText(const OpData& d) {
    return "  \"accounts\":[\n" + accountText(d.accounts[0]) + ",\n" + accountText(d.accounts[1]) + ",\n" +
           accountText(d.accounts[2]) + "]\n";
}

CalibLogItem item(const char* key, uint32_t ts, const char* name, bool ok, float solution) {
    CalibLogItem i;
    i.key = key;
    i.timestamp = ts;
    i.caliName = name;
    i.success = ok;
    i.solution = solution;
    return i;
}

}  // namespace

class OpDataTest : public EnvTest {};

TEST_F(OpDataTest, MissingFileIsCreatedAndEveryChangeRewritesTheExactText) {
    auto env = makeEnv();
    EXPECT_NE(logText().find("EnvGuard init: op file missing, create default content, path=" + opdataPath()),
              std::string::npos);
    const OpData d = env->getOpData();
    EXPECT_EQ(orvane::test::readFile(opdataPath()), "{\n  \"items\":[\n]\n,\n" + accountsText(d) + "}");

    env->addCalibLog(item("43042_1234_pH", 1767225600u, "pH", true, 7.0f));
    EXPECT_EQ(orvane::test::readFile(opdataPath()),
              "{\n  \"items\":[\n    {\n      \"key\":\"43042_1234_pH\",\n      \"timestamp\":1767225600,\n"
              "      \"caliName\":\"pH\",\n      \"success\":true,\n      \"solution\":7}]\n,\n" +
                  accountsText(d) + "}");

    env->addCalibLog(item("43042_1234_ORP", 4000000000u, "ORP", false, 4.01f));
    const std::string two =
        "{\n  \"items\":[\n    {\n      \"key\":\"43042_1234_pH\",\n      \"timestamp\":1767225600,\n"
        "      \"caliName\":\"pH\",\n      \"success\":true,\n      \"solution\":7},\n"
        "    {\n      \"key\":\"43042_1234_ORP\",\n      \"timestamp\":4000000000,\n"
        "      \"caliName\":\"ORP\",\n      \"success\":false,\n      \"solution\":4.010000}]\n,\n" +
        accountsText(d) + "}";
    EXPECT_EQ(orvane::test::readFile(opdataPath()), two);

    // Read back whole by the next start, and written again byte for byte.
    env.reset();
    auto again = makeEnv();
    const OpData r = again->getOpData();
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(r.items[1].key.str(), "43042_1234_ORP");
    EXPECT_EQ(r.items[1].timestamp, 4000000000u);
    EXPECT_FALSE(r.items[1].success);
    EXPECT_FLOAT_EQ(r.items[1].solution, 4.01f);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.accounts[i].bcryptHash.str(), d.accounts[i].bcryptHash.str());
    EXPECT_EQ(writeJsonP(r), two);
    EXPECT_EQ(orvane::test::readFile(opdataPath()), two);  // a readable file is not rewritten at start
}

TEST_F(OpDataTest, ReaderKeepsDefaultsForMissingKeys) {
    orvane::test::writeFile(opdataPath(),
                            "{\"items\":[{\"key\":\"a_1_x\",\"timestamp\":5},{\"key\":\"b\",\"caliName\":\"c\","
                            "\"success\":True,\"solution\":2.5}],"
                            "\"accounts\":[{\"name\":\"boss\",\"role\":1},{\"pwdMD5\":\"abc\"}]}");
    auto env = makeEnv();
    const OpData d = env->getOpData();
    ASSERT_EQ(d.items.size(), 2u);
    EXPECT_FALSE(d.items[0].success);
    EXPECT_EQ(d.items[0].solution, 0.0f);
    EXPECT_TRUE(d.items[1].caliName == "c");
    EXPECT_TRUE(d.items[1].success);
    EXPECT_EQ(d.items[1].solution, 2.5f);
    EXPECT_EQ(d.accounts[0].name.str(), "boss");
    EXPECT_EQ(d.accounts[0].bcryptHash.length(), 60u);  // default kept
    EXPECT_EQ(d.accounts[1].name.str(), "oper");
    EXPECT_EQ(d.accounts[1].pwdMD5.str(), "abc");
    EXPECT_EQ(d.accounts[2].name.str(), "super");  // untouched: no third element
}

TEST_F(OpDataTest, LogPastOneHundredLosesOneItemPerAddition) {
    auto env = makeEnv();
    // The 101st item is kept; the 102nd addition removes the first.
    for (uint32_t i = 0; i < 101; ++i) env->addCalibLog(item(("k" + std::to_string(i)).c_str(), i, "c", true, 1));
    OpData d = env->getOpData();
    ASSERT_EQ(d.items.size(), 101u);
    EXPECT_EQ(d.items.front().key.str(), "k0");
    env->addCalibLog(item("k101", 101, "c", true, 1));
    d = env->getOpData();
    ASSERT_EQ(d.items.size(), 101u);
    EXPECT_EQ(d.items.front().key.str(), "k1");
    EXPECT_EQ(d.items.back().key.str(), "k101");

    // A longer log stored by earlier firmware keeps its length: one out, one in.
    std::string text = "{\n  \"items\":[";
    for (int i = 0; i < 150; ++i) text += std::string(i ? "," : "") + "{\"key\":\"old" + std::to_string(i) + "\"}";
    text += "]}";
    orvane::test::writeFile(opdataPath(), text);
    env.reset();
    auto old = makeEnv();
    EXPECT_EQ(old->getOpData().items.size(), 150u);
    old->addCalibLog(item("new", 1, "c", true, 1));
    d = old->getOpData();
    ASSERT_EQ(d.items.size(), 150u);
    EXPECT_EQ(d.items.front().key.str(), "old1");
    EXPECT_EQ(d.items.back().key.str(), "new");
    old.reset();
    EXPECT_EQ(makeEnv()->getOpData().items.size(), 150u);  // as stored
}

TEST_F(OpDataTest, UnescapedTextsOfEarlierFirmwareLoseNothing) {
    // A key ending in a backslash and a name holding one, as earlier firmware stored them.
    orvane::test::writeFile(opdataPath(),
                            "{\n  \"items\":[\n    {\n      \"key\":\"1_2_pH\\\",\n      \"timestamp\":7,\n"
                            "      \"caliName\":\"a\\b\",\n      \"success\":true,\n      \"solution\":4},\n"
                            "    {\n      \"key\":\"3_4_ORP\",\n      \"timestamp\":8}]\n,\n"
                            "  \"accounts\":[\n    {\n      \"name\":\"boss\\\",\n      \"role\":1}]\n}");
    auto env = makeEnv();
    EXPECT_FALSE(std::filesystem::exists(opdataPath() + ".bad"));
    const OpData d = env->getOpData();
    ASSERT_EQ(d.items.size(), 2u);
    EXPECT_EQ(d.items[0].key.str(), "1_2_pH\\");
    EXPECT_EQ(d.items[0].caliName.str(), "a\\b");
    EXPECT_TRUE(d.items[0].success);
    EXPECT_EQ(d.items[0].solution, 4.0f);
    EXPECT_EQ(d.items[1].timestamp, 8u);
    EXPECT_EQ(d.accounts[0].name.str(), "boss\\");
    EXPECT_EQ(d.accounts[1].name.str(), "oper");
    // Stored again escaped, and read back the same.
    env->addCalibLog(item("5_6_Cl", 9, "c", true, 1));
    env.reset();
    const OpData again = makeEnv()->getOpData();
    ASSERT_EQ(again.items.size(), 3u);
    EXPECT_EQ(again.items[0].key.str(), "1_2_pH\\");
    EXPECT_EQ(again.accounts[0].name.str(), "boss\\");
}

TEST_F(OpDataTest, UnreadableFileIsKeptAsideAndNeverOverwrittenWithDefaults) {
    for (const std::string& bad : {std::string("garbage, not a document"), std::string("{\n  \"items\":[\n    {\n")}) {
        std::filesystem::remove(opdataPath() + ".bad");
        orvane::test::writeFile(opdataPath(), bad);
        log_.str("");
        auto env = makeEnv();
        EXPECT_FALSE(std::filesystem::exists(opdataPath())) << bad;
        EXPECT_EQ(orvane::test::readFile(opdataPath() + ".bad"), bad);
        EXPECT_NE(logText().find("cannot be read; kept as " + opdataPath() + ".bad"), std::string::npos);
        EXPECT_NE(env->getSystemErrorCode() & SYS_ERR_OPDATA_UNREADABLE, 0);
        AuthCommand cmd;
        cmd.cmdType = AUTH_LOGIN;
        cmd.name = "admin";
        cmd.password = "tup719";
        EXPECT_TRUE(env->auth(cmd).success);  // defaults in memory

        // The next change stores a new file; the old one stays aside.
        env->addCalibLog(item("k", 1, "c", true, 1));
        EXPECT_TRUE(std::filesystem::exists(opdataPath()));
        EXPECT_EQ(orvane::test::readFile(opdataPath() + ".bad"), bad);
    }
    // A second unreadable file does not replace the copy an earlier start kept aside.
    orvane::test::writeFile(opdataPath(), "again unreadable");
    auto env = makeEnv();
    EXPECT_EQ(orvane::test::readFile(opdataPath() + ".bad.1"), "again unreadable");
    EXPECT_TRUE(std::filesystem::exists(opdataPath() + ".bad"));
}

TEST_F(OpDataTest, FileThatCannotBeMovedAsideIsLeftInPlace) {
    // A directory where the file should be: unreadable, and every name it could be kept under is
    // a non-empty directory, so it cannot be set aside; nothing may be written over it.
    std::filesystem::create_directories(opdataPath());
    std::filesystem::create_directories(opdataPath() + ".bad/keep");
    for (int n = 1; n < 100; ++n) std::filesystem::create_directories(opdataPath() + ".bad." + std::to_string(n) + "/keep");
    auto env = makeEnv();
    EXPECT_TRUE(std::filesystem::is_directory(opdataPath()));
    env->addCalibLog(item("k", 1, "c", true, 1));
    EXPECT_TRUE(std::filesystem::is_directory(opdataPath()));
    EXPECT_NE(logText().find("cannot be read nor moved aside"), std::string::npos);
    EXPECT_EQ(env->getOpData().items.size(), 1u);  // the change stays in memory

    // A password change that cannot be stored is in effect, and the caller is told it was not saved.
    AuthCommand change;
    change.cmdType = AUTH_CHANGE_PASSWORD;
    change.name = "oper";
    change.password = "wen305";
    change.newPassword = "fresh";
    const AuthResult r = env->auth(change);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.msg.str(), "Password changed but not saved");
    AuthCommand login;
    login.cmdType = AUTH_LOGIN;
    login.name = "oper";
    login.password = "fresh";
    EXPECT_TRUE(env->auth(login).success);
    EXPECT_TRUE(std::filesystem::is_directory(opdataPath()));
}

TEST_F(OpDataTest, CalibrationLogOfOneProbeNewestFirst) {
    auto env = makeEnv();
    env->addCalibLog(item("50661_77_pH", 100, "zero", true, 0));
    env->addCalibLog(item("50661_78_pH", 300, "zero", true, 0));
    env->addCalibLog(item("50661_77_pH", 200, "slope", false, 1.5f));
    auto out = std::make_unique<fss::stringHuge>();
    env->getCalibLogJsonString("50661_77", *out);
    EXPECT_EQ(out->str(),
              "[\n  {\n    \"key\":\"50661_77_pH\",\n    \"timestamp\":200,\n    \"caliName\":\"slope\",\n"
              "    \"success\":false,\n    \"solution\":1.500000},\n"
              "  {\n    \"key\":\"50661_77_pH\",\n    \"timestamp\":100,\n    \"caliName\":\"zero\",\n"
              "    \"success\":true,\n    \"solution\":0}]\n");
    env->getCalibLogJsonString("99999_1", *out);
    EXPECT_EQ(out->str(), "[\n]\n");
    env->getCalibLogJsonString("", *out);
    const std::string all = out->str();
    EXPECT_EQ(std::count(all.begin(), all.end(), '{'), 3);
}

TEST_F(OpDataTest, ConcurrentWritersLeaveAWholeFile) {
    auto env = makeEnv();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) env->addCalibLog(item(("t" + std::to_string(t)).c_str(), i, "c", true, 1));
        });
    }
    threads.emplace_back([&] { EXPECT_TRUE(env->hardwarePasswordReset()); });
    for (auto& th : threads) th.join();
    const std::string file = orvane::test::readFile(opdataPath());
    EXPECT_EQ(file, writeJsonP(env->getOpData()));
    OpData read;
    ASSERT_TRUE(readJsonP(read, file));
    EXPECT_EQ(read.items.size(), 80u);
}

TEST_F(OpDataTest, PerRecordWritersAndReaders) {
    const int saved = gIndentLevelForWriteJsonP;
    gIndentLevelForWriteJsonP = 1;
    const std::string itemText = writeJsonP(item("1_2_pH", 9, "zero", true, 0.25f));
    AccountRecord account;
    account.name = "admin";
    account.pwdMD5 = "abc";
    account.role = ROLE_ADMIN;
    account.bcryptHash = "h";
    const std::string accountText = writeJsonP(account);
    gIndentLevelForWriteJsonP = saved;
    EXPECT_EQ(itemText,
              "  {\n    \"key\":\"1_2_pH\",\n    \"timestamp\":9,\n    \"caliName\":\"zero\",\n"
              "    \"success\":true,\n    \"solution\":0.250000}");
    EXPECT_EQ(accountText, "  {\n    \"name\":\"admin\",\n    \"pwdMD5\":\"abc\",\n    \"role\":1,\n    \"bcryptHash\":\"h\"}");

    CalibLogItem back;
    readJsonP(back, itemText);
    EXPECT_EQ(back.key.str(), "1_2_pH");
    EXPECT_EQ(back.timestamp, 9u);
    EXPECT_TRUE(back.success);
    EXPECT_FLOAT_EQ(back.solution, 0.25f);
    AccountRecord other;
    other.bcryptHash = "kept";
    readJsonP(other, R"({"name":"oper","role":2})");
    EXPECT_EQ(other.name.str(), "oper");
    EXPECT_EQ(other.role, ROLE_OPERATOR);
    EXPECT_EQ(other.bcryptHash.str(), "kept");
}

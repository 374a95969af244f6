// Accounts, login tokens and the account commands, with real bcrypt (low cost) and simulated time.
#include <chrono>
#include <set>
#include <thread>

#include "env_fixture.h"
#include "utils/bcrypt.h"
#include "utils/md5.h"

using std::chrono::seconds;

namespace {

AuthCommand login(const char* name, const char* password) {
    AuthCommand cmd;
    cmd.cmdType = AUTH_LOGIN;
    cmd.name = name;
    cmd.password = password;
    return cmd;
}

}  // namespace

class AuthTest : public EnvTest {};

TEST_F(AuthTest, DefaultAccountsAreHashedWithBcryptAndMd5) {
    auto env = makeEnv();
    const OpData data = env->getOpData();
    const char* names[] = {"admin", "oper", "super"};
    const char* passwords[] = {"tup719", "wen305", "!7lantern"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(data.accounts[i].name.str(), names[i]);
        EXPECT_EQ(data.accounts[i].role, static_cast<AccountRole>(i + 1));
        EXPECT_EQ(data.accounts[i].pwdMD5.str(), MD5::encode(std::string(passwords[i])));
        EXPECT_EQ(data.accounts[i].bcryptHash.length(), 60u);
        EXPECT_EQ(data.accounts[i].bcryptHash.str().substr(0, 7), "$2b$04$");
        EXPECT_TRUE(bcrypt_checkpw(passwords[i], data.accounts[i].bcryptHash.c_str()));
    }
}

TEST_F(AuthTest, LoginByPasswordOrMd5AndLogout) {
    auto env = makeEnv();
    AuthResult r = env->auth(login("admin", "tup719"));
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.role, ROLE_ADMIN);
    EXPECT_EQ(r.cmdType, AUTH_LOGIN);
    EXPECT_EQ(r.name.str(), "admin");
    EXPECT_EQ(r.token.length(), 36u);
    EXPECT_TRUE(env->checkAvaliableWebCmd(r.token));
    EXPECT_EQ(env->loggedInRole.load(), ROLE_ADMIN);

    EXPECT_FALSE(env->auth(login("admin", "wrong")).success);
    EXPECT_FALSE(env->auth(login("nobody", "tup719")).success);
    EXPECT_FALSE(env->auth(login("oper", "tup719")).success);

    // pwdMD5 carries the MD5 text of the password, or the password itself.
    AuthCommand md5;
    md5.cmdType = AUTH_LOGIN;
    md5.name = "oper";
    md5.pwdMD5 = MD5::encode(std::string("wen305"));
    EXPECT_TRUE(env->auth(md5).success);
    md5.pwdMD5 = "wen305";
    AuthResult plain = env->auth(md5);
    EXPECT_TRUE(plain.success);
    EXPECT_EQ(plain.role, ROLE_OPERATOR);

    AuthCommand out;
    out.cmdType = AUTH_LOGOUT;
    out.token = plain.token;
    EXPECT_TRUE(env->auth(out).success);
    EXPECT_FALSE(env->checkAvaliableWebCmd(plain.token));
    out.token = "no-such-token";
    EXPECT_TRUE(env->auth(out).success);  // unknown token still reports success
}

TEST_F(AuthTest, AccountWithoutBcryptHashAcceptsOnlyTheMd5Way) {
    std::string text = "{\n  \"items\":[\n]\n,\n  \"accounts\":[\n    {\n      \"name\":\"admin\",\n      \"pwdMD5\":\"" +
                       MD5::encode(std::string("tup719")) + "\",\n      \"role\":1,\n      \"bcryptHash\":\"\"}]\n}";
    orvane::test::writeFile(opdataPath(), text);
    auto env = makeEnv();
    EXPECT_FALSE(env->auth(login("admin", "tup719")).success);
    AuthCommand md5;
    md5.cmdType = AUTH_LOGIN;
    md5.name = "admin";
    md5.pwdMD5 = "tup719";
    EXPECT_TRUE(env->auth(md5).success);
}

TEST_F(AuthTest, OneTokenPerRoleAndPoolLimits) {
    auto env = makeEnv();
    AuthResult first = env->auth(login("admin", "tup719"));
    AuthResult second = env->auth(login("admin", "tup719"));
    ASSERT_TRUE(first.success);
    ASSERT_TRUE(second.success);
    EXPECT_NE(first.token.str(), second.token.str());
    EXPECT_FALSE(env->checkAvaliableWebCmd(first.token));
    EXPECT_TRUE(env->checkAvaliableWebCmd(second.token));

    AuthResult oper = env->auth(login("oper", "wen305"));
    AuthResult super = env->auth(login("super", "!7lantern"));
    EXPECT_TRUE(env->checkAvaliableWebCmd(second.token));
    EXPECT_TRUE(env->checkAvaliableWebCmd(oper.token));
    EXPECT_TRUE(env->checkAvaliableWebCmd(super.token));
    EXPECT_EQ(env->loggedInRole.load(), ROLE_SUPER);

    // Tokens of other roles (as a future role would hold) fill the pool; then logins fail.
    env->clearAllTokens();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(env->addNewToken(static_cast<AccountRole>(10 + i)));
    EXPECT_FALSE(env->addNewToken(ROLE_ADMIN));
    AuthResult full = env->auth(login("admin", "tup719"));
    EXPECT_FALSE(full.success);
    EXPECT_EQ(full.role, ROLE_ADMIN);
    EXPECT_EQ(full.msg.str(), "Active session limit reached");
    EXPECT_NE(logText().find("Reject login: token pool is full"), std::string::npos);

    std::set<std::string> distinct;
    for (const auto& t : env->getTokens()) distinct.insert(t.token.str());
    EXPECT_EQ(distinct.size(), 20u);
}

TEST_F(AuthTest, TokenIdleAndAbsoluteLifetime) {
    auto env = makeEnv();
    const fss::str64 token = env->addNewToken(ROLE_OPERATOR)->token;
    clock_.advance(seconds(899));
    EXPECT_TRUE(env->checkAvaliableWebCmd(token));  // refreshed: idle time starts again
    clock_.advance(seconds(899));
    EXPECT_TRUE(env->checkAvaliableWebCmd(token));
    clock_.advance(seconds(900));
    EXPECT_FALSE(env->checkAvaliableWebCmd(token));  // 15 minutes without a check
    EXPECT_EQ(env->loggedInRole.load(), ROLE_NONE);
    for (const auto& slot : env->getTokens()) EXPECT_TRUE(slot.token.empty());

    // Used every 800 s, a token still ends 8 hours after its login.
    const fss::str64 kept = env->addNewToken(ROLE_ADMIN)->token;
    int64_t elapsed = 0;
    while (elapsed + 800 < 28800) {
        clock_.advance(seconds(800));
        elapsed += 800;
        ASSERT_TRUE(env->checkAvaliableWebCmd(kept)) << elapsed;
    }
    clock_.advance(seconds(28800 - elapsed - 1));
    EXPECT_TRUE(env->checkAvaliableWebCmd(kept));
    clock_.advance(seconds(1));
    EXPECT_FALSE(env->checkAvaliableWebCmd(kept));

    TokenInfo info;
    info.token = "x";
    info.created = 100;
    info.lastActive = 200;
    EXPECT_TRUE(env->isTokenExpired(info, 150));  // now earlier than lastActive
    EXPECT_FALSE(env->isTokenExpired(info, 1099));
    EXPECT_TRUE(env->isTokenExpired(info, 1100));
}

TEST_F(AuthTest, InvalidCheckThrottle) {
    auto env = makeEnv();
    const fss::str64 good = env->addNewToken(ROLE_ADMIN)->token;
    // An empty token is refused without being counted.
    for (int i = 0; i < 40; ++i) EXPECT_FALSE(env->checkAvaliableWebCmd(fss::str64()));
    EXPECT_EQ(logText().find("Too many invalid token checks"), std::string::npos);

    for (int i = 0; i < 29; ++i) EXPECT_FALSE(env->checkAvaliableWebCmd(fss::str64("bad")));
    EXPECT_EQ(logText().find("Too many invalid token checks"), std::string::npos);
    EXPECT_FALSE(env->checkAvaliableWebCmd(fss::str64("bad")));  // the 30th within the window
    EXPECT_NE(logText().find("Blocking token validation for 60 seconds"), std::string::npos);

    // During the block invalid checks are not counted; a valid token is still accepted.
    log_.str("");
    clock_.advance(seconds(10));
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(env->checkAvaliableWebCmd(fss::str64("bad")));
    EXPECT_EQ(logText().find("Too many invalid token checks"), std::string::npos);
    EXPECT_TRUE(env->checkAvaliableWebCmd(good));

    // A window of 60 s restarts the count: 29 checks, a minute, 29 more: no block.
    clock_.advance(seconds(60));
    log_.str("");
    for (int i = 0; i < 29; ++i) env->checkAvaliableWebCmd(fss::str64("bad"));
    clock_.advance(seconds(60));
    for (int i = 0; i < 29; ++i) env->checkAvaliableWebCmd(fss::str64("bad"));
    EXPECT_EQ(logText().find("Too many invalid token checks"), std::string::npos);
}

TEST_F(AuthTest, PasswordChangeRules) {
    auto env = makeEnv();
    AuthCommand change;
    change.cmdType = AUTH_CHANGE_PASSWORD;
    change.name = "oper";
    change.password = "wen305";
    change.newPassword = "n3w-secret";
    AuthResult r = env->auth(change);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.cmdType, AUTH_CHANGE_PASSWORD);
    EXPECT_TRUE(r.msg.empty());
    EXPECT_FALSE(env->auth(login("oper", "wen305")).success);
    EXPECT_TRUE(env->auth(login("oper", "n3w-secret")).success);
    const OpData after = env->getOpData();
    EXPECT_EQ(after.accounts[1].bcryptHash.str().substr(0, 7), "$2b$04$");
    EXPECT_EQ(after.accounts[1].pwdMD5.str(), MD5::encode(std::string("n3w-secret")));
    EXPECT_NE(orvane::test::readFile(opdataPath()).find(MD5::encode(std::string("n3w-secret"))), std::string::npos);

    const std::string before = orvane::test::readFile(opdataPath());
    // Wrong old credentials, the super-user account, and an empty new password change nothing.
    change.password = "wrong";
    EXPECT_FALSE(env->auth(change).success);
    AuthCommand superChange;
    superChange.cmdType = AUTH_CHANGE_PASSWORD;
    superChange.name = "super";
    superChange.password = "!7lantern";
    superChange.newPassword = "x";
    EXPECT_FALSE(env->auth(superChange).success);
    AuthCommand empty;
    empty.cmdType = AUTH_CHANGE_PASSWORD;
    empty.name = "admin";
    empty.password = "tup719";
    EXPECT_FALSE(env->auth(empty).success);
    EXPECT_EQ(orvane::test::readFile(opdataPath()), before);
    EXPECT_TRUE(env->auth(login("super", "!7lantern")).success);
    EXPECT_TRUE(env->auth(login("admin", "tup719")).success);

    // The change survives a restart.
    env.reset();
    auto again = makeEnv();
    EXPECT_TRUE(again->auth(login("oper", "n3w-secret")).success);
}

TEST_F(AuthTest, ResetsRestoreOnlyTheAdministrator) {
    auto env = makeEnv();
    for (const char* name : {"admin", "oper"}) {
        AuthCommand change;
        change.cmdType = AUTH_CHANGE_PASSWORD;
        change.name = name;
        change.password = std::string(name) == "admin" ? "tup719" : "wen305";
        change.newPassword = "changed";
        ASSERT_TRUE(env->auth(change).success);
    }

    // The network reset needs super-user credentials.
    AuthCommand net;
    net.cmdType = AUTH_NETWORK_RESET;
    net.name = "oper";
    net.password = "changed";
    EXPECT_FALSE(env->auth(net).success);
    EXPECT_FALSE(env->auth(login("admin", "tup719")).success);
    net.name = "super";
    net.password = "!7lantern";
    AuthResult r = env->auth(net);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.cmdType, -1);
    EXPECT_TRUE(r.name.empty());
    EXPECT_TRUE(env->auth(login("admin", "tup719")).success);
    EXPECT_TRUE(env->auth(login("oper", "changed")).success);

    // The hardware reset is not reachable through the account commands.
    AuthCommand change;
    change.cmdType = AUTH_CHANGE_PASSWORD;
    change.name = "admin";
    change.password = "tup719";
    change.newPassword = "again";
    ASSERT_TRUE(env->auth(change).success);
    AuthCommand hw;
    hw.cmdType = AUTH_HARDWARE_RESET;
    AuthResult refused = env->auth(hw);
    EXPECT_FALSE(refused.success);
    EXPECT_FALSE(env->auth(login("admin", "tup719")).success);

    // The reset button's own entry restores the administrator's default password only.
    EXPECT_TRUE(env->hardwarePasswordReset());
    EXPECT_TRUE(env->auth(login("admin", "tup719")).success);
    EXPECT_TRUE(env->auth(login("oper", "changed")).success);
    EXPECT_TRUE(env->auth(login("super", "!7lantern")).success);
    auto again = makeEnv();
    EXPECT_TRUE(again->auth(login("admin", "tup719")).success);
}

TEST_F(AuthTest, NoSecretReachesTheLog) {
    set_log_level_for_test(LogModule::SCADA, static_cast<int>(LogLevel::DEBUG));
    auto env = makeEnv();
    AuthCommand md5;
    md5.cmdType = AUTH_LOGIN;
    md5.name = "admin";
    md5.pwdMD5 = MD5::encode(std::string("tup719"));
    env->auth(md5);
    env->auth(login("admin", "tup719"));
    AuthCommand change;
    change.cmdType = AUTH_CHANGE_PASSWORD;
    change.name = "admin";
    change.password = "tup719";
    change.newPassword = "Sekrit-42";
    ASSERT_TRUE(env->auth(change).success);
    env->hardwarePasswordReset();

    const std::string log = logText();
    EXPECT_NE(log.find("Auth attempt"), std::string::npos);
    for (const std::string& secret : {std::string("tup719"), std::string("Sekrit-42"), MD5::encode(std::string("tup719")),
                                     MD5::encode(std::string("Sekrit-42")), std::string("$2b$")}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
}

TEST_F(AuthTest, ConcurrentChecksAndLogins) {
    auto env = makeEnv();
    const fss::str64 admin = env->addNewToken(ROLE_ADMIN)->token;
    std::atomic<bool> stop{false};
    std::thread checker([&] {
        while (!stop.load()) ASSERT_TRUE(env->checkAvaliableWebCmd(admin));
    });
    for (int i = 0; i < 200; ++i) {
        auto t = env->addNewToken(ROLE_OPERATOR);
        ASSERT_TRUE(t);
        env->removeToken(t->token);
    }
    stop.store(true);
    checker.join();
}

TEST_F(AuthTest, ModemInterfaceNameIsSharedBetweenThreads) {
    auto env = makeEnv();
    EXPECT_EQ(env->cellularInterface.get(), "wwan0");
    std::thread writer([&] {
        for (int i = 0; i < 1000; ++i) env->cellularInterface.set(i % 2 ? "usb0" : "wwan0");
    });
    for (int i = 0; i < 1000; ++i) {
        const std::string name = env->cellularInterface;
        EXPECT_TRUE(name == "usb0" || name == "wwan0") << name;
    }
    writer.join();
}

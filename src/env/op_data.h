#pragma once
// Accounts, login tokens and the calibration log: the operational data that EnvGuard keeps in
// runtime/opdata.json (accounts and log) or in memory only (tokens).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/fss.h"

enum AccountRole : int32_t {
    ROLE_NONE = 0,  // no role (only the logged-in role word holds it)
    ROLE_ADMIN = 1,
    ROLE_OPERATOR = 2,
    ROLE_SUPER = 3,
};

inline constexpr std::array<std::string_view, 4> kAccountRoleNames = {"none", "administrator", "operator",
                                                                     "super-user"};
constexpr std::string_view accountRoleName(int32_t role) {
    return role >= 0 && static_cast<size_t>(role) < kAccountRoleNames.size() ? kAccountRoleNames[role]
                                                                            : std::string_view{};
}

struct AccountRecord {
    fss::str32 name;
    fss::str64 pwdMD5;      // MD5 hex text of the password
    fss::str64 bcryptHash;  // bcrypt hash text; empty when hashing failed
    AccountRole role = ROLE_NONE;
};

// cmdType of an AuthCommand.
inline constexpr int32_t AUTH_LOGIN = 0;
inline constexpr int32_t AUTH_LOGOUT = 1;
inline constexpr int32_t AUTH_CHANGE_PASSWORD = 2;
inline constexpr int32_t AUTH_NETWORK_RESET = 3;
// The hardware reset has its own entry (EnvGuard::hardwarePasswordReset); auth refuses it.
inline constexpr int32_t AUTH_HARDWARE_RESET = 4;

struct AuthCommand {
    fss::str32 name;
    fss::str64 pwdMD5;     // MD5 text of the password, or the password itself
    fss::str64 newPwdMD5;  // not used
    fss::str64 password;   // plain text
    fss::str64 newPassword;
    int32_t cmdType = -1;
    fss::str64 token;
};

struct AuthResult {
    fss::str32 name;
    int32_t cmdType = -1;
    int32_t role = 0;
    bool success = false;
    fss::str64 msg;
    fss::str64 token;
};

// One slot of the login-token pool. An empty token marks a free slot. Times are steady-clock
// seconds.
struct TokenInfo {
    fss::str64 token;
    uint64_t lastActive = 0;
    uint64_t created = 0;
    AccountRole role = ROLE_NONE;
};

inline constexpr size_t kTokenPoolSize = 20;
inline constexpr uint64_t kTokenIdleSeconds = 900;       // refused after 15 min without a check
inline constexpr uint64_t kTokenLifetimeSeconds = 28800;  // refused 8 h after login
inline constexpr uint64_t kInvalidCheckWindowSeconds = 60;
inline constexpr int32_t kInvalidCheckLimit = 30;
inline constexpr uint64_t kInvalidCheckBlockSeconds = 60;

struct CalibLogItem {
    fss::str64 key;  // "{pn}_{sn}_{reading name}" of the calibrated probe
    uint32_t timestamp = 0;  // wall-clock seconds
    fss::str16 caliName;
    bool success = false;
    float solution = 0.0f;
};

// An addition to a log of more than this many items first removes the oldest one.
inline constexpr size_t kCalibLogLimit = 100;

struct OpData {
    std::vector<CalibLogItem> items;  // oldest first
    std::array<AccountRecord, 3> accounts;
};

// Text of opdata.json (two spaces per level, the layout of the gateway's JSON writer).
std::string writeJsonP(const OpData& data);
// Reads text over data: a key missing from the text keeps the current value; the log is
// replaced by the items of the text. False when the text holds no object at all.
bool readJsonP(OpData& data, std::string_view text);
// One log item or account as an object without name at the writer's current indentation level;
// the text ends at the object's closing brace.
std::string writeJsonP(const CalibLogItem& item);
std::string writeJsonP(const AccountRecord& account);
// Reads one object's keys over the record; missing keys keep their values.
void readJsonP(CalibLogItem& item, std::string_view text);
void readJsonP(AccountRecord& account, std::string_view text);
// The log items as a JSON array at indentation level 1 (the per-probe log of the web API).
std::string calibLogArrayText(const std::vector<CalibLogItem>& items);

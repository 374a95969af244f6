// Accounts, login tokens and the account commands of EnvGuard.
//
// bcrypt runs without any lock (it is slow by design); accounts are copied out under mutex_
// and changed under saveMutex_ + mutex_, the token pool only under tokenMutex_. No password,
// MD5 digest or hash text is ever logged.
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "env/env_guard.h"
#include "platform/clock.h"
#include "utils/bcrypt.h"
#include "utils/log.h"
#include "utils/md5.h"

namespace {

struct DefaultAccount {
    const char* name;
    const char* password;
    AccountRole role;
};

constexpr DefaultAccount kDefaultAccounts[3] = {
    {"admin", "tup719", ROLE_ADMIN},
    {"oper", "wen305", ROLE_OPERATOR},
    {"super", "!7lantern", ROLE_SUPER},
};

uint64_t steadyNow() {
    const int64_t s = orvane::platform::Clock::get().steadySeconds();
    return s > 0 ? static_cast<uint64_t>(s) : 0;
}

// bcrypt hash text of password with a fresh salt; empty when either step fails.
fss::str64 hashPassword(const char* password, int cost) {
    char salt[BCRYPT_BUFFER_SIZE] = {};
    char hash[BCRYPT_BUFFER_SIZE] = {};
    if (bcrypt_gensalt(cost, salt) != 0 || bcrypt_hashpw(password, salt, hash) != 0) return {};
    return fss::str64(hash);
}

// Equal over the whole length of both texts, without stopping at the first difference.
bool constantTimeEqual(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

// Version-4 UUID text from the operating system's random source; empty on failure.
fss::str64 randomToken() {
    unsigned char b[16];
    size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        got += static_cast<size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return fss::str64(text);
}

void freeSlot(TokenInfo& slot) { slot = TokenInfo{}; }

AccountRecord makeAccount(const char* name, const char* password, AccountRole role, int cost) {
    AccountRecord account;
    account.name = name;
    account.role = role;
    account.bcryptHash = hashPassword(password, cost);
    account.pwdMD5 = MD5::encode(std::string(password));
    return account;
}

}  // namespace

void EnvGuard::initAccounts() {
    for (size_t i = 0; i < 3; ++i) {
        const auto& d = kDefaultAccounts[i];
        opData_.accounts[i] = makeAccount(d.name, d.password, d.role, opts_.bcryptCost);
        if (opData_.accounts[i].bcryptHash.empty()) {
            SLOG_ERROR(SCADA, "bcrypt hashing failed for default account {}", d.name);
        }
    }
}

// ---- Tokens -----------------------------------------------------------------------------------

bool EnvGuard::isTokenExpired(const TokenInfo& info, uint64_t now) const {
    if (info.token.empty() || info.lastActive == 0 || info.created == 0) return true;
    if (now < info.lastActive || now < info.created) return true;
    if (now - info.created >= kTokenLifetimeSeconds) return true;
    if (now - info.lastActive >= kTokenIdleSeconds) return true;
    return false;
}

// Caller holds tokenMutex_.
static void clearExpiredLocked(const EnvGuard& env, std::array<TokenInfo, kTokenPoolSize>& pool, uint64_t now) {
    for (auto& slot : pool) {
        if (!slot.token.empty() && env.isTokenExpired(slot, now)) freeSlot(slot);
    }
}

void EnvGuard::clearExpiredTokens(uint64_t now) {
    std::lock_guard<std::mutex> lock(tokenMutex_);
    clearExpiredLocked(*this, tokens_, now);
}

std::optional<TokenInfo> EnvGuard::addNewToken(AccountRole role) {
    const fss::str64 token = randomToken();
    if (token.empty()) {
        SLOG_THROTTLED(logs_, WEB, ERROR, "Reject login: no random source for the token");
        return std::nullopt;
    }
    const uint64_t now = steadyNow();
    std::lock_guard<std::mutex> lock(tokenMutex_);
    clearExpiredLocked(*this, tokens_, now);
    TokenInfo* chosen = nullptr;
    TokenInfo* firstFree = nullptr;
    for (auto& slot : tokens_) {
        if (!slot.token.empty() && slot.role == role) {
            chosen = &slot;
            break;
        }
        if (!firstFree && slot.lastActive == 0) firstFree = &slot;
    }
    if (!chosen) chosen = firstFree;
    if (!chosen) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Reject login: token pool is full");
        return std::nullopt;
    }
    chosen->lastActive = now;
    chosen->created = now;
    chosen->role = role;
    chosen->token = token;
    return *chosen;
}

void EnvGuard::removeToken(const fss::str64& token) {
    if (token.empty()) return;
    std::lock_guard<std::mutex> lock(tokenMutex_);
    for (auto& slot : tokens_) {
        if (slot.token == token) {
            freeSlot(slot);
            return;
        }
    }
}

void EnvGuard::clearAllTokens() {
    std::lock_guard<std::mutex> lock(tokenMutex_);
    for (auto& slot : tokens_) freeSlot(slot);
    invalidWindowStart_ = 0;
    invalidCount_ = 0;
    blockedUntil_ = 0;
    loggedInRole.store(ROLE_NONE);
}

void EnvGuard::onInvalidTokenCheck(uint64_t now) {
    std::lock_guard<std::mutex> lock(tokenMutex_);
    countInvalidLocked(now);
}

void EnvGuard::countInvalidLocked(uint64_t now) {
    if (invalidWindowStart_ == 0 || now < invalidWindowStart_ || now - invalidWindowStart_ >= kInvalidCheckWindowSeconds) {
        invalidWindowStart_ = now;
        invalidCount_ = 1;
        return;
    }
    if (++invalidCount_ >= kInvalidCheckLimit) {
        blockedUntil_ = now + kInvalidCheckBlockSeconds;
        invalidWindowStart_ = now;
        invalidCount_ = 0;
        SLOG_WARN(WEB, "Too many invalid token checks. Blocking token validation for {} seconds",
                  kInvalidCheckBlockSeconds);
    }
}

bool EnvGuard::checkAvaliableWebCmd(const fss::str64& token) {
    const uint64_t now = steadyNow();
    std::lock_guard<std::mutex> lock(tokenMutex_);
    clearExpiredLocked(*this, tokens_, now);
    if (token.empty()) {
        loggedInRole.store(ROLE_NONE);
        return false;
    }
    for (auto& slot : tokens_) {
        if (slot.token.empty() || !(slot.token == token)) continue;
        if (!isTokenExpired(slot, now)) {
            slot.lastActive = now;
            loggedInRole.store(slot.role);
            invalidWindowStart_ = now;
            invalidCount_ = 0;
            return true;
        }
        freeSlot(slot);
        break;
    }
    loggedInRole.store(ROLE_NONE);
    if (now < blockedUntil_) return false;
    countInvalidLocked(now);
    return false;
}

std::array<TokenInfo, kTokenPoolSize> EnvGuard::getTokens() const {
    std::lock_guard<std::mutex> lock(tokenMutex_);
    return tokens_;
}

// ---- Account commands ----------------------------------------------------------------------

// Index of the account the command's credentials match (a later match wins), or -1.
static int matchCredentials(const std::array<AccountRecord, 3>& accounts, const AuthCommand& cmd) {
    int matched = -1;
    for (int i = 0; i < 3; ++i) {
        const AccountRecord& account = accounts[static_cast<size_t>(i)];
        SLOG_INFO(SCADA, "Auth attempt: cmd.name={}", cmd.name.c_str());
        if (cmd.name.empty() || !(cmd.name == account.name)) continue;
        bool ok = false;
        if (!cmd.password.empty() && !account.bcryptHash.empty()) {
            ok = bcrypt_checkpw(cmd.password.c_str(), account.bcryptHash.c_str());
        }
        if (!ok && !cmd.pwdMD5.empty() && !account.pwdMD5.empty()) {
            // The client sends either the MD5 text of the password or the password itself.
            if (constantTimeEqual(cmd.pwdMD5.view(), account.pwdMD5.view())) {
                ok = true;
            } else {
                const std::string digest = MD5::encode(std::string(cmd.pwdMD5.view()));
                ok = constantTimeEqual(digest, account.pwdMD5.view());
            }
        }
        if (ok) matched = i;
    }
    return matched;
}

bool EnvGuard::setPassword(size_t index, const char* password, const char* failureText, bool& stored) {
    stored = false;
    const fss::str64 hash = hashPassword(password, opts_.bcryptCost);
    if (hash.empty()) {
        SLOG_ERROR(SCADA, "{}", failureText);
        return false;
    }
    const fss::str64 md5 = fss::str64(MD5::encode(std::string(password)));
    // A failed store leaves the change in memory: the new password is the one in effect.
    stored = saveOpData([&](OpData& data) {
        data.accounts[index].bcryptHash = hash;
        data.accounts[index].pwdMD5 = md5;
    });
    return true;
}

// The change is in effect but opdata.json could not be written: the caller is told so.
static void noteUnsaved(AuthResult& result, bool changed, bool stored) {
    if (changed && !stored) result.msg = "Password changed but not saved";
}

AuthResult EnvGuard::auth(AuthCommand cmd) {
    AuthResult result;
    std::array<AccountRecord, 3> accounts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accounts = opData_.accounts;
    }
    switch (cmd.cmdType) {
        case AUTH_LOGIN: {
            result.cmdType = cmd.cmdType;
            result.name = cmd.name;
            const int m = matchCredentials(accounts, cmd);
            if (m < 0) break;
            const AccountRole role = accounts[static_cast<size_t>(m)].role;
            result.role = role;
            if (auto slot = addNewToken(role)) {
                result.success = true;
                result.token = slot->token;
            } else {
                result.msg = "Active session limit reached";
            }
            break;
        }
        case AUTH_LOGOUT:
            removeToken(cmd.token);
            result.cmdType = AUTH_LOGOUT;
            result.name = cmd.name;
            result.success = true;
            break;
        case AUTH_CHANGE_PASSWORD: {
            result.cmdType = cmd.cmdType;
            result.name = cmd.name;
            const int m = matchCredentials(accounts, cmd);
            if (m < 0) break;
            if (accounts[static_cast<size_t>(m)].role == ROLE_SUPER) {
                SLOG_THROTTLED(logs_, SCADA, WARN, "Password change refused for the super-user account");
                break;
            }
            if (cmd.newPassword.empty()) {
                result.msg = "New password is empty";
                SLOG_THROTTLED(logs_, SCADA, WARN, "Password change refused: empty new password");
                break;
            }
            bool stored = false;
            result.success = setPassword(static_cast<size_t>(m), cmd.newPassword.c_str(),
                                         "bcrypt hashing failed for password change", stored);
            noteUnsaved(result, result.success, stored);
            break;
        }
        case AUTH_NETWORK_RESET: {
            const int m = matchCredentials(accounts, cmd);
            if (m < 0 || accounts[static_cast<size_t>(m)].role != ROLE_SUPER) break;
            bool stored = false;
            result.success =
                setPassword(0, kDefaultAccounts[0].password, "bcrypt hashing failed for network password reset", stored);
            noteUnsaved(result, result.success, stored);
            break;
        }
        case AUTH_HARDWARE_RESET:
            SLOG_THROTTLED(logs_, SCADA, WARN, "Hardware password reset refused on the account command path");
            break;
        default:
            break;
    }
    return result;
}

bool EnvGuard::hardwarePasswordReset() {
    bool stored = false;
    const bool ok = setPassword(0, kDefaultAccounts[0].password, "bcrypt hashing failed for hardware password reset", stored);
    if (ok) SLOG_INFO(SCADA, "Administrator password restored to its default");
    return ok;
}

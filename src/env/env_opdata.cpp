// runtime/opdata.json (accounts and calibration log) and the calibration log operations.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "env/env_guard.h"
#include "env/json_text_out.h"
#include "recipe/json_codec.h"
#include "utils/log.h"
#include "utils/utility.h"

namespace {

// One log item as an object without name at the current level; "}" closes it directly.
void writeItem(JsonTextOut& out, const CalibLogItem& item) {
    out.indent();
    out.raw("{\n");
    ++gIndentLevelForWriteJsonP;
    out.member("key", item.key);
    out.raw(",\n");
    out.member("timestamp", item.timestamp);
    out.raw(",\n");
    out.member("caliName", item.caliName);
    out.raw(",\n");
    out.member("success", item.success);
    out.raw(",\n");
    out.real("solution", item.solution);
    out.raw("}");
    --gIndentLevelForWriteJsonP;
}

void writeAccount(JsonTextOut& out, const AccountRecord& account) {
    out.indent();
    out.raw("{\n");
    ++gIndentLevelForWriteJsonP;
    out.member("name", account.name);
    out.raw(",\n");
    out.member("pwdMD5", account.pwdMD5);
    out.raw(",\n");
    out.member("role", static_cast<int>(account.role));
    out.raw(",\n");
    out.member("bcryptHash", account.bcryptHash);
    out.raw("}");
    --gIndentLevelForWriteJsonP;
}

// "name":[ elements ]: the array frame of the gateway's writer; "]" follows the last element's
// "}" directly and a newline follows "]".
template <class Range, class Write>
void writeArray(JsonTextOut& out, const char* name, const Range& range, Write&& write) {
    out.indent();
    out.raw("\"");
    out.raw(name);
    out.raw("\":[\n");
    ++gIndentLevelForWriteJsonP;
    bool first = true;
    for (const auto& element : range) {
        if (!first) out.raw(",\n");
        first = false;
        write(out, element);
    }
    --gIndentLevelForWriteJsonP;
    out.raw("]\n");
}

// The object's members; a text stored by earlier firmware is taken under its own rule.
template <class Text>
void readText(Text& field, const JsonMembers& m, const char* key) {
    const JsonMembers::Value v = m.find(key);
    readJsonP(field, v.text, v.rule);
}

void readItemKeys(CalibLogItem& item, const JsonMembers& m) {
    if (!m.closed()) return;
    readText(item.key, m, "key");
    readJsonP(item.timestamp, m.find("timestamp").text);
    readText(item.caliName, m, "caliName");
    readJsonP(item.success, m.find("success").text);
    readJsonP(item.solution, m.find("solution").text);
}

void readAccountKeys(AccountRecord& account, const JsonMembers& m) {
    if (!m.closed()) return;
    readText(account.name, m, "name");
    readText(account.pwdMD5, m, "pwdMD5");
    int32_t role = account.role;
    readJsonP(role, m.find("role").text);
    account.role = static_cast<AccountRole>(role);
    readText(account.bcryptHash, m, "bcryptHash");
}

}  // namespace

void readJsonP(CalibLogItem& item, std::string_view text) { readItemKeys(item, JsonMembers(text)); }

void readJsonP(AccountRecord& account, std::string_view text) { readAccountKeys(account, JsonMembers(text)); }

std::string writeJsonP(const CalibLogItem& item) {
    JsonTextOut out;
    writeItem(out, item);
    return out.take();
}

std::string writeJsonP(const AccountRecord& account) {
    JsonTextOut out;
    writeAccount(out, account);
    return out.take();
}

std::string writeJsonP(const OpData& data) {
    const int savedLevel = gIndentLevelForWriteJsonP;
    gIndentLevelForWriteJsonP = 0;
    JsonTextOut out;
    out.raw("{\n");
    ++gIndentLevelForWriteJsonP;
    writeArray(out, "items", data.items, writeItem);
    out.raw(",\n");
    writeArray(out, "accounts", data.accounts, writeAccount);
    --gIndentLevelForWriteJsonP;
    out.raw("}");
    gIndentLevelForWriteJsonP = savedLevel;
    return out.take();
}

bool readJsonP(OpData& data, std::string_view text) {
    // "items" and "accounts" are each judged on their own: a list stored by earlier firmware
    // with unescaped texts is read under the old rule and hides nothing after it.
    const JsonMembers object(text);
    if (!object.closed()) return false;
    const JsonMembers::Value items = object.find("items");
    if (!items.text.empty()) {
        std::vector<CalibLogItem> read;
        forEachJsonArrayElementP(
            items.text, std::numeric_limits<int>::max(),
            [&](int, std::string_view element) {
                CalibLogItem item;
                readItemKeys(item, JsonMembers(element, items.rule));
                read.push_back(item);
            },
            items.rule);
        data.items.swap(read);
    }
    const JsonMembers::Value accounts = object.find("accounts");
    if (!accounts.text.empty()) {
        forEachJsonArrayElementP(
            accounts.text, 3,
            [&](int k, std::string_view element) {
                readAccountKeys(data.accounts[static_cast<size_t>(k)], JsonMembers(element, accounts.rule));
            },
            accounts.rule);
    }
    return true;
}

std::string calibLogArrayText(const std::vector<CalibLogItem>& items) {
    const int savedLevel = gIndentLevelForWriteJsonP;
    gIndentLevelForWriteJsonP = 1;
    JsonTextOut out;
    out.raw("[\n");
    bool first = true;
    for (const auto& item : items) {
        if (!first) out.raw(",\n");
        first = false;
        writeItem(out, item);
    }
    out.raw("]\n");
    gIndentLevelForWriteJsonP = savedLevel;
    return out.take();
}

// ---- EnvGuard --------------------------------------------------------------------------------

void EnvGuard::loadOpData() {
    const std::string& path = opts_.opdataPath;
    SLOG_INFO(SCADA, "EnvGuard init, OPDATA_FILE={}", path);
    std::error_code ec;
    const bool present = std::filesystem::exists(path, ec);
    // A path that cannot even be examined counts as present: it may hold the accounts.
    const bool exists = present || (ec && ec != std::errc::no_such_file_or_directory);
    bool readable = false;
    if (present) {
        readable = Utility::readText(path, *loadBuffer_);
        if (readable) {
            SLOG_INFO(SCADA, "EnvGuard init: read op file success, bytes={}", loadBuffer_->length());
            OpData read = opData_;
            if (readJsonP(read, loadBuffer_->view())) {
                opData_ = std::move(read);
                loadBuffer_->clear();
                return;
            }
        }
    }
    loadBuffer_->clear();
    if (!exists) {
        SLOG_INFO(SCADA, "EnvGuard init: op file missing, create default content, path={}", path);
        saveOpData([](OpData&) {});
        return;
    }
    // The file is there but could not be read or holds no document: the accounts and the log
    // it may carry must not be replaced by factory content. Keep it aside and run on defaults.
    systemErrorCode_ |= SYS_ERR_OPDATA_UNREADABLE;
    // An older copy kept aside by an earlier start is not replaced.
    const std::string aside = Utility::badCopyPath(path);
    if (std::rename(path.c_str(), aside.c_str()) == 0) {
        SLOG_ERROR(SCADA, "EnvGuard init: op file {} cannot be read; kept as {}, defaults in use", path, aside);
    } else {
        opdataLocked_ = true;
        SLOG_ERROR(SCADA, "EnvGuard init: op file {} cannot be read nor moved aside ({}); defaults in use, file left as is",
                   path, std::strerror(errno));
    }
}

bool EnvGuard::saveOpData(const std::function<void(OpData&)>& change) {
    std::lock_guard<std::mutex> save(saveMutex_);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(opData_);
        text = writeJsonP(opData_);
    }
    const std::string& path = opts_.opdataPath;
    if (opdataLocked_) {
        SLOG_ERROR(SCADA, "opdata not stored: the unreadable file {} is kept in place", path);
        return false;
    }
    SLOG_INFO(SCADA, "save opData1111 to file: {}", path);
    SLOG_INFO(SCADA, "save opData to file: {}, bytes:{}", path, text.size());
    bool ok = text.size() < fss::stringHuge::capacity;
    if (ok) {
        saveBuffer_->assignBytes(text.data(), text.size());
        ok = Utility::writeText(path, *saveBuffer_);
    }
    SLOG_INFO(SCADA, "save opData2222 to file: {}", path);
    if (!ok) {
        SLOG_ERROR(SCADA, "opdata not stored to {} ({} bytes)", path, text.size());
        std::lock_guard<std::mutex> lock(mutex_);
        systemErrorCode_ |= SYS_ERR_OPDATA_WRITE;
    }
    return ok;
}

void EnvGuard::addCalibLog(const CalibLogItem& item) {
    // One out, one in once the log is past its limit: it holds 101 items from then on, and a
    // longer log stored by earlier firmware keeps its length instead of losing the surplus.
    saveOpData([&](OpData& data) {
        if (data.items.size() > kCalibLogLimit) data.items.erase(data.items.begin());
        data.items.push_back(item);
    });
}

void EnvGuard::getCalibLogJsonString(const std::string& key, fss::stringHuge& out) {
    const std::string_view wanted = std::string_view(key).substr(0, 64);
    std::vector<CalibLogItem> selected;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& item : opData_.items) {
            if (item.key.view().substr(0, wanted.size()) == wanted) selected.push_back(item);
        }
    }
    std::stable_sort(selected.begin(), selected.end(),
                     [](const CalibLogItem& a, const CalibLogItem& b) { return a.timestamp > b.timestamp; });
    const std::string text = calibLogArrayText(selected);
    out.assignBytes(text.data(), text.size());
}

OpData EnvGuard::getOpData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opData_;
}

#include "system_service/service/system_upgrade.h"

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/paths.h"

namespace service {

using interfaces::log_info;
using interfaces::log_warn;

namespace {

std::string withoutTrailingSlash(std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

void replaceAll(std::string& text, std::string_view token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string expand_roots(std::string_view text) {
    std::string out(text);
    replaceAll(out, "{sys}", withoutTrailingSlash(orvane::platform::Paths::roots().system));
    replaceAll(out, "{home}", withoutTrailingSlash(orvane::platform::Paths::roots().install));
    return out;
}

bool valid_package_name(std::string_view name) {
    if (name.empty() || name.size() > 32 || name == "." || name == ".." || name.front() == '-') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '+' || c == '-';
        if (!ok) return false;
    }
    return true;
}

int download_progress_callback(void* percent, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* p = static_cast<std::atomic<float>*>(percent);
    p->store(dltotal != 0 ? static_cast<float>(static_cast<double>(dlnow) / static_cast<double>(dltotal) * 100.0)
                          : 0.0f);
    return 0;
}

SystemUpgrade::SystemUpgrade(interfaces::ILogger& logger, orvane::platform::CommandRunner& runner,
                             DownloadOptions options)
    : logger_(logger), runner_(runner), options_(options) {
    globalInit();
}

float SystemUpgrade::progress() {
    const float base = base_.load();
    const float percent = percent_.load();
    const float weight = weight_.load();
    log_info(logger_, "progress ", base, " ", percent, " ", weight);
    return base + weight * percent;
}

void SystemUpgrade::fail_if_no_error(UpgradeError error) {
    uint32_t none = 0;
    error_code_.compare_exchange_strong(none, static_cast<uint32_t>(error));
}

void SystemUpgrade::stage(float base, float weight) {
    percent_.store(0);
    base_.store(base);
    weight_.store(weight);
}

int SystemUpgrade::fail(UpgradeError e, const std::string& local, bool removeFolder) {
    if (removeFolder) exec_cmd("rm -rf " + local);
    set_error(e);
    return -1;
}

int SystemUpgrade::run(std::string file, const setting::Settings& settings) {
    set_error(UpgradeError::None);
    stage(0, 0);
    const std::string& local = settings.local_folder();
    const std::string& url = settings.url_path();
    log_info(logger_, "Update from ", url, "/", file, " to ", local);

    // The name reaches a URL and shell words: anything but a plain file name is refused here.
    if (!valid_package_name(file)) {
        log_warn(logger_, "Fail to upgrade: invalid file name '", file, "'");
        set_error(UpgradeError::Download);
        return -1;
    }
    if (local.empty() || local == "/") {
        log_warn(logger_, "local folder is invalid. ", local);
        set_error(UpgradeError::WorkFolder);
        return -1;
    }

    stage(2, 0);
    if (exec_cmd("rm -rf " + local) != 0) return fail(UpgradeError::Command, local, false);
    stage(8, 0);
    if (exec_cmd("mkdir -p " + local) != 0) return fail(UpgradeError::Command, local, false);

    stage(10, 0.8f);
    if (download_file(url + "/" + file, local + "/" + file) != 0) return fail(UpgradeError::Download, local, true);
    stage(90, 0.1f);
    if (download_file(url + "/" + file + ".md5", local + "/" + file + ".md5") != 0)
        return fail(UpgradeError::Download, local, true);

    stage(100, 0);
    if (exec_cmd("cd " + local + ";md5sum -c " + local + "/'" + file + ".md5'") != 0)
        return fail(UpgradeError::Checksum, local, false);  // the folder stays for a look
    if (exec_cmd("tar zxf " + local + "/'" + file + "' -C " + local) != 0)
        return fail(UpgradeError::Unpack, local, true);

    for (const UpgradeFileEntry& row : upgrade_file_table) {
        const std::string member = local + row.name;
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(member, ec))) {
            log_info(logger_, "Can't find the file ", member);
            continue;
        }
        if (exec_cmd(expand_roots(row.prefix) + member + expand_roots(row.suffix)) != 0)
            return fail(UpgradeError::Command, local, true);
    }

    if (exec_cmd("rm -rf " + local) != 0) return fail(UpgradeError::Command, local, false);
    log_warn(logger_, "Complete to upgrade.");
    return 0;
}

int SystemUpgrade::download_file(const std::string& url, const std::string& path) {
    percent_.store(0);
    CURL* curl = curl_easy_init();
    if (!curl) {
        log_warn(logger_, "Fail to download the file ", url, ". Err ", static_cast<int>(CURLE_FAILED_INIT));
        return CURLE_FAILED_INIT;
    }
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        curl_easy_cleanup(curl);
        log_warn(logger_, "Fail to download the file ", url, ". Err ", static_cast<int>(CURLE_WRITE_ERROR));
        return CURLE_WRITE_ERROR;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, out);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &download_progress_callback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &percent_);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // runs on a thread of a multi-threaded daemon
    // A stalled server ends the transfer instead of blocking every later upgrade. The HTTP status
    // is not looked at: an error page fails the MD5 check.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options_.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.lowSpeedTime.count()));
    const CURLcode res = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    const bool closed = std::fclose(out) == 0;
    if (res != CURLE_OK) {
        log_warn(logger_, "Fail to download the file ", url, ". Err ", static_cast<int>(res));
        return res;
    }
    if (!closed) {
        log_warn(logger_, "Fail to download the file ", url, ". Err ", static_cast<int>(CURLE_WRITE_ERROR));
        return CURLE_WRITE_ERROR;
    }
    return 0;
}

int SystemUpgrade::exec_cmd(const std::string& command) {
    log_info(logger_, "Command: ", command);
    if (runner_.shell(command) != 0) {
        log_warn(logger_, "Fail to excute: ", command);
        return -1;
    }
    return 0;
}

}  // namespace service

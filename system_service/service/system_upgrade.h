#pragma once
// One firmware upgrade from a package name: work folder, download of the package and its .md5
// file, MD5 check, unpacking, the fixed install table, clean-up. Progress and an error code are
// published through atomics that status requests read while the upgrade runs.
#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/command_runner.h"
#include "system_service/interfaces/i_logger.h"
#include "system_service/setting/settings.h"

namespace service {

// The error code of SystemUpdateStatus.
enum class UpgradeError : uint32_t {
    None = 0,         // no error (also while an upgrade runs)
    Download = 1,     // download of the package or its MD5 file failed (or the name is refused)
    Checksum = 2,     // MD5 check failed
    Unpack = 3,       // unpacking failed
    Command = 4,      // a preparation, install or clean-up command failed
    WorkFolder = 5,   // the work folder setting is empty or "/"
};

inline constexpr std::array<std::string_view, 6> kUpgradeErrorNames = {
    "None", "Download", "Checksum", "Unpack", "Command", "WorkFolder"};
constexpr std::string_view upgrade_error_name(UpgradeError e) {
    const auto i = static_cast<uint32_t>(e);
    return i < kUpgradeErrorNames.size() ? kUpgradeErrorNames[i] : std::string_view("Unknown");
}

// One row of the install table: the package member and the command written around its path.
// "{sys}" stands for the system root and "{home}" for the install root, each without its
// trailing '/', so production commands read "/dev/mtd3" and "/opt/kelvaworks/web/".
struct UpgradeFileEntry {
    const char* name;
    const char* prefix;
    const char* suffix;
};

// Libraries that running programs have mapped are copied beside the old file and renamed over
// it, never overwritten in place. A failed copy into a stopped service's program still starts
// the service again, and the row fails.
inline constexpr std::array<UpgradeFileEntry, 9> upgrade_file_table = {{
    {"orvane-nand.dtb", "flash_erase {sys}/dev/mtd3 0 0; nandwrite -p {sys}/dev/mtd3 ", ""},
    {"zImage", "flash_erase {sys}/dev/mtd2 0 0; nandwrite -p {sys}/dev/mtd2 ", ""},
    {"libplctag.so.2.6", "rm -rf {sys}/usr/lib/libplctag.so.2.6.new; cp -rf ",
     " {sys}/usr/lib/libplctag.so.2.6.new && mv -f {sys}/usr/lib/libplctag.so.2.6.new {sys}/usr/lib/libplctag.so.2.6"
     " || { rm -rf {sys}/usr/lib/libplctag.so.2.6.new; false; }"},
    {"liborvane_ipc.so.1.0", "rm -rf {sys}/usr/lib/liborvane_ipc.so.1.0.new; cp -rf ",
     " {sys}/usr/lib/liborvane_ipc.so.1.0.new && mv -f {sys}/usr/lib/liborvane_ipc.so.1.0.new "
     "{sys}/usr/lib/liborvane_ipc.so.1.0 || { rm -rf {sys}/usr/lib/liborvane_ipc.so.1.0.new; false; }"},
    {"web", "rm -rf {home}/web/; cp -rf ", " {home}/"},
    {"probes", "cp -rf ", " {home}/config/"},
    {"orvane-system", "cp -rf ", " {home}/bin/orvane-system.new"},
    {"orvane-lte", "systemctl stop orvane-lte; cp -rf ",
     " {home}/bin/orvane-lte; r=$?; systemctl start orvane-lte; exit $r"},
    {"orvane-scada", "systemctl stop orvane-scada; cp -rf ",
     " {home}/bin/orvane-scada; r=$?; systemctl start orvane-scada; exit $r"},
}};

// A row's text with the roots put in.
std::string expand_roots(std::string_view text);

// A package name that may reach the shell and a URL: letters, digits, '.', '_', '+', '-'; no
// leading '-'; not "." or ".."; 1 to 32 bytes.
bool valid_package_name(std::string_view name);

// libcurl's transfer-information callback: percent (an std::atomic<float>) = dlnow / dltotal * 100,
// 0 while the total is unknown. Never aborts.
int download_progress_callback(void* percent, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                               curl_off_t ulnow);

// What the socket service needs of an upgrade engine.
class IUpgradeEngine {
public:
    virtual ~IUpgradeEngine() = default;
    // 0 on success, -1 on failure with the error code set.
    virtual int run(std::string file, const setting::Settings& settings) = 0;
    virtual uint32_t error_code() const = 0;
    // Reported progress, 0 to 100.
    virtual float progress() = 0;
    // Sets the error code when none is set (an upgrade that ended by an exception).
    virtual void fail_if_no_error(UpgradeError error) = 0;
};

struct DownloadOptions {
    std::chrono::seconds connectTimeout{30};
    long lowSpeedLimit = 1;                 // bytes per second...
    std::chrono::seconds lowSpeedTime{60};  // ...for this long aborts the transfer
};

class SystemUpgrade : public IUpgradeEngine {
public:
    explicit SystemUpgrade(interfaces::ILogger& logger,
                           orvane::platform::CommandRunner& runner = orvane::platform::CommandRunner::get(),
                           DownloadOptions options = {});

    int run(std::string file, const setting::Settings& settings) override;
    uint32_t error_code() const override { return error_code_.load(); }
    // base + weight * percent, with the line "progress <base> <percent> <weight>".
    float progress() override;
    void fail_if_no_error(UpgradeError error) override;

    // 0 on success, otherwise the libcurl result (2 when no transfer handle can be made).
    virtual int download_file(const std::string& url, const std::string& path);
    // 0 when the shell command returned 0, else -1.
    int exec_cmd(const std::string& command);

private:
    void set_error(UpgradeError e) { error_code_.store(static_cast<uint32_t>(e)); }
    // Starts a stage: the download percent goes back to 0 before the new base and weight, so a
    // reader never sees the last stage's full percent on the next stage's base.
    void stage(float base, float weight);
    int fail(UpgradeError e, const std::string& local, bool removeFolder);

    interfaces::ILogger& logger_;
    orvane::platform::CommandRunner& runner_;
    DownloadOptions options_;
    std::atomic<uint32_t> error_code_{0};
    std::atomic<float> base_{0};
    std::atomic<float> percent_{0};
    std::atomic<float> weight_{1.0f};
};

}  // namespace service

#pragma once
// orvane-lte's client of the gateway program's IPC server: sends the data requests, receives
// every frame on a thread of its own, and keeps the readings, the last alarm and the last
// cellular status until the publisher takes them as the livedata and alarm documents.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "cloud_daemon/application/command_service.h"
#include "cloud_daemon/domain/interfaces/i_data_collector.h"
#include "orvane_ipc/service.h"
#include "platform/throttled_line.h"

namespace cloud_daemon::application {

class DataCollector : public domain::interfaces::IDataCollector, public CommandService {
public:
    static constexpr std::size_t kReadSize = 10240;

    // path empty: the probe socket under the runtime root.
    explicit DataCollector(ILogger& logger, std::string path = {});
    ~DataCollector() override;

    // Receive thread body: connects (retrying every second), then reads and handles every frame
    // until stop(). A connection the peer closed is opened again a second later.
    void recv_thread();
    void stop();
    // The reload flag, cleared.
    bool is_reload();

    int scan() override;
    int get_data(uint32_t start, uint32_t span, uint32_t interval) override;
    std::string livedata_string(uint32_t pn, const std::string& sn) override;
    std::string alarm_string(uint32_t pn, const std::string& sn) override;
    uint32_t last_timestamp() override;
    domain::entities::CellularSnapshot lte_information() override;

    // Local time of Unix time t, "%Y-%m-%d %H:%M:%S".
    static std::string unix_timestamp(uint32_t t);

    // Handles one response as the receive thread does (takes the mutex).
    void handle(const orvane_ipc::ResponseVariant& response);

private:
    struct HeldAlarm {
        std::string time;
        uint32_t type = 0;
        uint32_t pn = 0;
        uint32_t sn = 0;
    };
    void handleLocked(const orvane_ipc::ResponseVariant& response);
    // Waits up to d or until stop(); true when stopping.
    bool pause(std::chrono::milliseconds d);

    std::list<domain::entities::DeviceValue> readings_;
    HeldAlarm alarm_;
    domain::entities::CellularSnapshot snapshot_;
    std::atomic<bool> reload_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    uint32_t lastTimestamp_;
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
    // Frames of the gateway program that cannot be read, over every connection to it.
    orvane::platform::ThrottledLine dropped_;
};

}  // namespace cloud_daemon::application

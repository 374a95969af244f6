#include "lora/lora.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "live/live_data.h"
#include "lora/lora_device_handler.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

namespace lora {

using Items = std::array<LoraDeviceRecipeItem, kLoraDeviceCount>;
using orvane::platform::Clock;
using namespace std::chrono_literals;

namespace {
constexpr int kPollMode = 2;
constexpr uint32_t kOfflineRetryRounds = 10;
}  // namespace

Lora::Lora(RecipeDataGuard& recipe, LiveDataGuard& live)
    : recipe_(recipe),
      live_(live),
      liveBlock_(std::make_unique<LoraLiveData>()),
      registry_(std::make_unique<LoraDeviceManager>(recipe)) {}

Lora::~Lora() {
    stop();
    if (pollThread_.joinable()) pollThread_.join();
    if (radioThread_.joinable()) radioThread_.join();
}

LoraRecipe Lora::settings() {
    std::lock_guard lk(settingsMutex_);
    return settings_;
}

void Lora::copySettings() {
    LoraRecipe c;
    {
        std::lock_guard lk(recipe_.mutex);
        c = recipe_.recipe.lora;
    }
    std::lock_guard lk(settingsMutex_);
    settings_ = c;
}

// ---- threads ---------------------------------------------------------------------------------

void Lora::stop() {
    stopping_.store(true);
    stopper_.stop();
    {
        std::lock_guard lk(pollMutex_);
        pollCv_.notify_all();
    }
    SX1268::stop();
}

int Lora::loop_thread() {
    startUp(true);
    while (runPass()) stopper_.waitFor(loopPeriod_);
    SX1268::stop();
    if (pollThread_.joinable()) pollThread_.join();
    if (radioThread_.joinable()) radioThread_.join();
    close_spi();
    return 0;
}

int Lora::lora_thread() { return work_thread(); }

int Lora::poll_thread() {
    while (!stopping()) stopper_.waitFor(pollPass());
    SLOG_INFO(LORA, "Lora poll thread stopped.");
    return 0;
}

void Lora::startUp(bool startThreads) {
    threaded_ = startThreads;
    recipe_.checkAndConsume(SCADA_MASK_LORA);
    copySettings();
    registry_->load_devices();
    registry_->mark_enrolled_online();
    const LoraRecipe c = settings();
    config(static_cast<uint32_t>(c.FREQ), static_cast<uint32_t>(c.BW), static_cast<uint32_t>(c.PR),
           static_cast<uint32_t>(c.SF), static_cast<uint32_t>(c.CR), static_cast<uint32_t>(c.txPower));
    if (stopping()) return;
    start();
    if (startThreads && !stopping()) {
        radioThread_ = std::thread([this] { lora_thread(); });
        pollThread_ = std::thread([this] { poll_thread(); });
    }
}

void Lora::restartRadio() {
    SX1268::stop();
    Clock::get().sleepFor(1s);
    if (radioThread_.joinable()) radioThread_.join();
    close_spi();
    copySettings();
    const LoraRecipe c = settings();
    config(static_cast<uint32_t>(c.FREQ), static_cast<uint32_t>(c.BW), static_cast<uint32_t>(c.PR),
           static_cast<uint32_t>(c.SF), static_cast<uint32_t>(c.CR), static_cast<uint32_t>(c.txPower));
    if (stopping()) return;
    start();
    if (threaded_ && !stopping()) radioThread_ = std::thread([this] { lora_thread(); });
}

void Lora::resetRemovedDevices() {
    recipe_.updateLoraDevices([&](Items& items) {
        for (LoraDeviceRecipeItem& it : items) {
            if (it.loraId <= 0 || it.display) continue;
            SLOG_INFO(LORA, "Lora Device {} is removed from the UI, reset it.", it.loraId);
            registry_->reset_device(it);
        }
    });
}

bool Lora::runPass(std::chrono::milliseconds packetWait) {
    if (stopping()) {
        SLOG_INFO(LORA, "Lora stop to run.");
        return false;
    }
    unsigned len = 0;
    if (waitPacket(packetWait, packet_, len)) {
        SLOG_INFO(LORA, "Received an buffer, processing...");
        const int r = receive(packet_.data(), len);
        if (r < 0 && len != 0 && len != 203) SLOG_WARN(LORA, "Received error packet, packet size: {}", len - 3);
        packetHandled();
    }
    if (recipe_.checkAndConsume(SCADA_MASK_LORA)) {
        SLOG_INFO(LORA, "Lora Config is changed");
        restartRadio();
    }
    if (recipe_.checkAndConsume(SCADA_MASK_LORA_DEVICE)) {
        SLOG_INFO(LORA, "Lora Device Config is changed");
        resetRemovedDevices();
        recipeChanged_.store(true);
    }
    const LoraRecipe c = settings();
    // The timeout is an unsigned 32-bit number of seconds stored in a signed field: a "negative"
    // value is a very long timeout, not none.
    registry_->check_device_offline_status(static_cast<uint32_t>(c.devOfflineTimeout));
    registry_->update_live_data(*liveBlock_);
    live_.withLock([&](ScadaLiveData& d) { d.lora = *liveBlock_; });
    if (registry_->take_recipe_changed()) recipeChanged_.store(true);
    const bool recipeChanged = recipeChanged_.exchange(false);
    // The device file is put back into the recipe at start-up: it is rewritten whenever the
    // device list is saved, so a restart never restores settings older than parameter.json's
    // (an operator's name or display unit, a device's register descriptions).
    if (registry_->has_unsaved_changes() || recipeChanged) {
        registry_->save_devices();
        registry_->clear_unsaved_changes();
    }
    if (recipeChanged) {
        recipe_.saveToJson();
        SLOG_INFO(LORA, "LoraDevice Config is changed");
    }
    return true;
}

// ---- polling ---------------------------------------------------------------------------------

std::chrono::milliseconds Lora::pollPass() {
    LoraRecipe c;
    {
        std::lock_guard lk(recipe_.mutex);
        c = recipe_.recipe.lora;
    }
    const bool poll = c.mode == kPollMode;
    if (!pollFirst_ && lastPollMode_ && !poll) {
        SLOG_INFO(LORA, "LoRa mode: poll -> auto-upload, broadcasting START_UPLOAD.");
        for (int i = 0; i < 3 && !stopping(); ++i) {
            if (i > 0) Clock::get().sleepFor(200ms);
            send_broadcast(START_UPLOAD);
        }
    }
    pollFirst_ = false;
    lastPollMode_ = poll;
    if (!poll) return 1s;
    run_poll_round(c);
    ++pollRound_;
    return std::chrono::seconds(std::max<int32_t>(1, c.pollModePeriod));
}

int Lora::run_poll_round(const LoraRecipe& c) {
    struct Entry {
        int16_t id;
        bool candidate;
    };
    const auto entries = recipe_.updateLoraDevices([](const Items& items) {
        std::array<Entry, kLoraDeviceCount> e{};
        for (size_t i = 0; i < items.size(); ++i) {
            e[i] = {items[i].loraId, items[i].loraId > 5 && items[i].display && !items[i].passive};
        }
        return e;
    });
    int polled = 0;
    for (const Entry& e : entries) {
        if (stopping()) break;
        if (!e.candidate || e.id > 255) continue;
        const unsigned id = static_cast<unsigned>(e.id);
        if (pollRound_ % kOfflineRetryRounds != 0 && !registry_->is_device_online(id)) continue;
        const int r = poll_one_device(static_cast<uint8_t>(id), c);
        registry_->set_device_status(id, r == 1 ? DeviceStatus::ONLINE : DeviceStatus::OFFLINE);
        ++polled;
    }
    return polled;
}

int Lora::poll_one_device(uint8_t deviceId, const LoraRecipe& c) {
    const int retries = c.pollMaxRetry <= 0 ? 3 : c.pollMaxRetry;
    const int64_t waitMs = c.pollWaitResponseTime <= 0 ? 1000 : 2 * static_cast<int64_t>(c.pollWaitResponseTime);
    for (int k = 0; k <= retries; ++k) {
        if (stopping()) return 0;
        {
            std::lock_guard lk(pollMutex_);
            polledId_ = deviceId;
            responded_ = false;
        }
        {
            std::lock_guard lk(txMutex_);
            const uint16_t seq = seq_.fetch_add(1);
            const int n = generate_frame(FrameType::POLL_TYPE, seq, deviceId, static_cast<uint8_t>(c.loraId), nullptr, 0);
            if (n < 0) {
                SLOG_WARN(LORA, "Poll: fail to generate rotation frame for device {}.", deviceId);
            } else {
                publish(txBuf_.data(), static_cast<unsigned>(n));
                startReceive();
            }
        }
        {
            std::unique_lock lk(pollMutex_);
            const auto answered = [&] { return responded_ || stopping(); };
            pollCv_.wait_for(lk, std::chrono::milliseconds(waitMs), answered);
            // The wait is for the answer on the air. One that the radio heard in time is still
            // on its way to receive() (reads, hand-over pause, main pass): it ends this try, so
            // that no second poll goes on the air for it.
            if (!answered() && packetInFlight()) {
                pollCv_.wait_for(lk, heardAnswerLimit_, [&] { return answered() || !packetInFlight(); });
            }
            if (responded_) {
                SLOG_INFO(LORA, "Poll: device {} responded (try {}).", deviceId, k);
                return 1;
            }
        }
        if (stopping()) return 0;
        SLOG_INFO(LORA, "Poll: device {} timeout (try {}).", deviceId, k);
    }
    SLOG_WARN(LORA, "Poll: device {} no response after {} retries (marking offline, will retry every {} rounds).",
              deviceId, retries, kOfflineRetryRounds);
    return 0;
}

// A packet that a poll may be waiting for is over, answer or not (handled, or lost to a failed
// read): the poll decides at once instead of sitting out its limit.
void Lora::receptionEnded() {
    { std::lock_guard lk(pollMutex_); }
    pollCv_.notify_all();
}

// ---- sending ---------------------------------------------------------------------------------

int Lora::generate_frame(FrameType type, uint16_t seq, uint8_t deviceId, uint8_t masterId,
                         const unsigned char* payload, unsigned len) {
    return lora::generate_frame(txBuf_, type, seq, deviceId, masterId, payload, len);
}

int Lora::sendFrame(FrameType type, uint16_t seq, uint8_t deviceId, uint8_t masterId, const unsigned char* payload,
                    unsigned len, int* publishResult) {
    std::lock_guard lk(txMutex_);
    const int n = generate_frame(type, seq, deviceId, masterId, payload, len);
    if (n > 0) {
        const int rc = publish(txBuf_.data(), static_cast<unsigned>(n));
        if (publishResult) *publishResult = rc;
    }
    return n;
}

int Lora::send_broadcast(BROADCAST_FUNC_CODE code) {
    if (static_cast<unsigned>(code) > STOP_UPLOAD) return -1;
    try {
        unsigned char payload[8] = {};
        const int plen = broadcast_payload(code, static_cast<uint32_t>(TimeUtility::getTimestampInSec()), payload,
                                           sizeof payload);
        const int n = sendFrame(FrameType::BROADCAST_TYPE, 0, 0, static_cast<uint8_t>(settings().loraId), payload,
                                static_cast<unsigned>(plen));
        if (n < 0) {
            SLOG_WARN(LORA, "Fail to generate the Broadcast command {0} {1}.", static_cast<int>(code), n);
            return -1;
        }
        return n;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Exception during sending broadcast: {}", e.what());
        return -1;
    }
}

int Lora::lora_update_register_info(uint16_t, uint8_t deviceId, uint8_t masterId) {
    const unsigned char request[2] = {0x00, 0x00};
    int rc = -1;
    const int n = sendFrame(FrameType::PASS_THROUGH_TYPE, seq_.load(), deviceId, masterId, request, 2, &rc);
    if (n < 0) {
        SLOG_WARN(LORA, "PASS_THROUGH_TYPE: Fail to generate the response command to load register {}.", n);
        return -1;
    }
    SLOG_INFO(LORA, "PASS_THROUGH_TYPE: Generate a response frame to load register. Device ID: {}, _size: {}, _len: {}, ret: {}.",
              deviceId, n, 2, rc);
    return 0;
}

int Lora::send_modbus_cmd(uint8_t deviceId, const unsigned char* cmd, int len) {
    if (len < 0) len = 0;
    const uint16_t seq = static_cast<uint16_t>(seq_.load() + 1);
    const int n = sendFrame(FrameType::MODBUS_TYPE, seq, deviceId, static_cast<uint8_t>(settings().loraId), cmd,
                            static_cast<unsigned>(len));
    if (n < 0) SLOG_WARN(LORA, "MODBUS_TYPE: Fail to generate the response command {}.", n);
    return 0;
}

Lora::ModbusReply Lora::get_modbus_rsp(unsigned char* dst, int capacity) {
    std::lock_guard lk(modbusMutex_);
    if (dst == nullptr || capacity < modbusLen_) {
        SLOG_WARN(LORA, "Small buffer size {} < {}.", capacity, modbusLen_);
        return {modbusDeviceId_, -1};
    }
    std::memcpy(dst, modbusPayload_.data(), static_cast<size_t>(modbusLen_));
    return {modbusDeviceId_, modbusLen_};
}

// ---- registry --------------------------------------------------------------------------------

int Lora::lora_device_allocate(unsigned now, unsigned pn, unsigned sn) {
    const int id = registry_->allocate_device(now, pn, sn);
    if (id > 0) recipeChanged_.store(true);
    return id;
}

int Lora::alloc_new_device(unsigned pn, unsigned sn, unsigned char* reply, unsigned capacity, uint8_t& deviceId) {
    try {
        const uint32_t now = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
        const int id = registry_->allocate_device(now, pn, sn);
        // The measurements that follow the enrolment change the item again: saved at the end of
        // the pass as well.
        if (id > 0) recipeChanged_.store(true);
        const std::string uid = get_uid(pn, sn);
        SLOG_INFO(LORA, "Alloc_new_device for {} @ {}", uid, id);
        if (id < 0 || reply == nullptr || capacity < kEnrolmentPayloadSize) {
            SLOG_WARN(LORA, "Fail to add a device({0}): ID {1}", id, uid);
            return -1;
        }
        const auto p = enrolment_payload(uid, static_cast<uint8_t>(settings().loraId), static_cast<uint8_t>(id), now);
        std::memcpy(reply, p.data(), p.size());
        SLOG_INFO(LORA, "Device {} Registered.", id);
        recipe_.saveToJson();
        deviceId = static_cast<uint8_t>(id);
        return static_cast<int>(kEnrolmentPayloadSize);
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Exception during enrolling: {}", e.what());
        return -1;
    }
}

int Lora::update_device_measurements(unsigned type, uint16_t seq, uint8_t deviceId, uint8_t masterId, uint8_t len,
                                     int rssi, const unsigned char* payload) {
    const ILoraDeviceHandler& handler = LoraDeviceHandlerFactory::get_handler(type);
    SLOG_INFO(LORA, "Processing device type {} (Device ID: {})", type, deviceId);
    try {
        struct Result {
            bool found = false;
            int rc = -1;
            bool passiveChanged = false;
        };
        const Result r = recipe_.updateLoraDevices([&](Items& items) {
            Result res;
            for (LoraDeviceRecipeItem& it : items) {
                if (it.loraId <= 5 || it.loraId != deviceId) continue;
                const bool before = it.passive;
                res.found = true;
                res.rc = handler.update_measurements(it, seq, deviceId, masterId, len, rssi, payload);
                res.passiveChanged = before != it.passive;
                break;
            }
            return res;
        });
        if (!r.found) {
            SLOG_WARN(LORA, "Device ID {} not found in device list", deviceId);
            return -1;
        }
        if (r.passiveChanged) recipeChanged_.store(true);
        return r.rc;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Exception during update_device_measurements: {}", e.what());
        return -1;
    }
}

void Lora::device_status(std::array<unsigned char, 16>& uid, int bit) {
    if (const char* text = status_bit_text(bit)) SLOG_WARN(LORA, "DeviceStatus {}: {}", uid_text(uid), text);
}

// ---- receiving -------------------------------------------------------------------------------

int Lora::receive(const unsigned char* data, unsigned len) {
    if (data == nullptr) {
        SLOG_INFO(LORA, "Receive buffer is empty.");
        return -1;
    }
    try {
        const int off = frame_check(data, len);
        SLOG_INFO(LORA, "Analyze data: length {0} @ {1}", len, off);
        if (off < 0) {
            SLOG_INFO(LORA, "Fail to analyze the frame.");
            return -1;
        }
        UplinkHeader h = parse_uplink(data, len, static_cast<unsigned>(off));
        seq_.store(h.seq);
        const int rssi = -static_cast<int>(data[0]);
        const unsigned pn = get_pn(h.uid);
        const unsigned sn = get_sn(h.uid);
        const LoraRecipe c = settings();
        const uint8_t master = static_cast<uint8_t>(c.loraId);
        // Only a frame of this network from the device that carries the ID refreshes it:
        // neighbouring networks reuse device IDs.
        bool ours = false;
        if (h.masterId == master) {
            ours = registry_->update_device_timestamp(h.deviceId, pn, sn);
        } else if (h.masterId != 0) {
            SLOG_WARN(LORA, "Frame of device {} for master {} (not {}), no timestamp refresh", h.deviceId, h.masterId,
                      master);
        }
        SLOG_INFO(LORA, "Device ID: {0} UID: {1} PN: {2} SN: {3}", h.deviceId, uid_text(h.uid), pn, sn);
        SLOG_INFO(LORA, "Frame Type: {0} Seq: {1} Master ID: {2} Device ID: {3} Payload Length: {4}", h.type, h.seq,
                  h.masterId, h.deviceId, h.payloadLen);
        const unsigned char* payload = data + h.payloadOffset;

        switch (static_cast<FrameType>(h.type)) {
            case FrameType::UPLOAD_TYPE:
                handleUpload(h, payload, pn, sn, rssi);
                break;
            case FrameType::MODBUS_TYPE: {
                SLOG_INFO(LORA, "Get the Modbus frame from device {}.", h.deviceId);
                std::lock_guard lk(modbusMutex_);
                modbusPayload_.fill(0);
                modbusDeviceId_ = h.deviceId;
                modbusLen_ = h.payloadLen;
                std::memcpy(modbusPayload_.data(), payload, h.payloadLen);
                break;
            }
            case FrameType::BROADCAST_TYPE:
                SLOG_INFO(LORA, "Get the broadcase frame {}.", h.deviceId);
                break;
            case FrameType::POLL_TYPE:
                SLOG_INFO(LORA, "Get a poll response from device {}.", h.deviceId);
                if (!ours) {
                    SLOG_WARN(LORA, "Poll response of device {} ({}, master {}) is not of this network, dropped",
                              h.deviceId, uid_text(h.uid), h.masterId);
                    break;
                }
                update_device_measurements(pn, h.seq, h.deviceId, h.masterId, h.payloadLen, rssi, payload);
                {
                    std::lock_guard lk(pollMutex_);
                    if (h.deviceId == polledId_) responded_ = true;
                }
                pollCv_.notify_all();
                break;
            case FrameType::SLAVE_BROADCAST_TYPE: {
                SLOG_INFO(LORA, "Get a slave broadcast frame from device {}.", h.deviceId);
                if (h.masterId != 0 && h.masterId != master) break;
                const int id = registry_->allocate_device(0, pn, sn);
                if (id <= 0) break;
                recipeChanged_.store(true);
                registry_->update_device_timestamp(static_cast<unsigned>(id), pn, sn);
                update_device_measurements(pn, h.seq, static_cast<uint8_t>(id), h.masterId, h.payloadLen, rssi, payload);
                break;
            }
            case FrameType::PASS_THROUGH_TYPE:
                handlePassThrough(h, payload, pn, sn);
                break;
            default:
                SLOG_WARN(LORA, "Wrong frame type {}.", h.type);
                break;
        }

        if (h.status & kStatusErrorMask) {
            SLOG_WARN(LORA, "Device status error: {}.", h.status);
            for (int bit = 0; bit <= 6; ++bit) {
                if (h.status & (1u << bit)) device_status(h.uid, bit);
            }
        } else if (h.status != 0) {
            SLOG_INFO(LORA, "Device status (informational): {}.", h.status);
        }
        return h.type;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Exception during receiving: {}", e.what());
        return -1;
    }
}

void Lora::handleUpload(const UplinkHeader& h, const unsigned char* payload, unsigned pn, unsigned sn, int rssi) {
    SLOG_INFO(LORA, "Get a upload Frame. MasterID: {}; DeviceId {}.", h.masterId, h.deviceId);
    const LoraRecipe c = settings();
    const uint8_t master = static_cast<uint8_t>(c.loraId);
    try {
        if (h.masterId != 0 && h.masterId != master) {
            SLOG_WARN(LORA, "UPLOAD_TYPE: Get a upload frame with a wrong master ID: {}", h.masterId);
        } else {
            const bool known =
                h.masterId == master && h.deviceId > 5 && registry_->get_device_lora_id(pn, sn) == h.deviceId;
            std::array<unsigned char, 48> reply{};
            int size = 0;
            uint8_t dev = h.deviceId;
            if (!known) {
                SLOG_INFO(LORA, "Get a new device ID: {}, master ID: {}, {}.", dev, h.masterId,
                          Utility::hex(reply.data(), static_cast<int>(kEnrolmentPayloadSize)));
                size = alloc_new_device(pn, sn, reply.data(), static_cast<unsigned>(reply.size()), dev);
                SLOG_INFO(LORA, "New device ID: {}, master ID: {}, {}.", dev, h.masterId,
                          Utility::hex(reply.data(), static_cast<int>(kEnrolmentPayloadSize)));
            }
            if (size < 0) {
                SLOG_WARN(LORA, "UPLOAD_TYPE: wrong response size. {}", size);
            } else {
                update_device_measurements(pn, h.seq, dev, h.masterId, h.payloadLen, rssi, payload);
                int rc = -1;
                const int n = sendFrame(FrameType::UPLOAD_TYPE, h.seq, dev, h.masterId, reply.data(),
                                        static_cast<unsigned>(size), &rc);
                if (n < 0) {
                    SLOG_WARN(LORA, "UPLOAD_TYPE: Fail to generate the response command {}.", n);
                } else {
                    registry_->update_device_timestamp(dev, pn, sn);
                    SLOG_INFO(LORA, "UPLOAD_TYPE: Generate a response frame. Device ID: {}, _size: {}, _len: {}, ret{}.",
                              dev, n, size, rc);
                }
                if (pn == kRw70Pn) {
                    SLOG_INFO(LORA, "Update registers info for RW-70 device ID: {}.", dev);
                    lora_update_register_info(seq_.load(), dev, master);
                }
            }
        }
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "UPLOAD_TYPE: Operation failed. {}", e.what());
    }
    if (c.mode == kPollMode) send_broadcast(STOP_UPLOAD);
}

void Lora::handlePassThrough(const UplinkHeader& h, const unsigned char* payload, unsigned pn, unsigned sn) {
    SLOG_INFO(LORA, "Get Pass-Through frame from device {}.", h.deviceId);
    const uint8_t master = static_cast<uint8_t>(settings().loraId);
    if (h.masterId != master) {
        SLOG_WARN(LORA, "PASS_THROUGH_TYPE: Get Pass-Through frame with a wrong master ID: {}", h.masterId);
        return;
    }
    const unsigned L = h.payloadLen;
    const uint8_t id = h.deviceId;
    auto matches = [&](const LoraDeviceRecipeItem& it) {
        return id > 5 && it.loraId == id && it.pn == pn && it.sn == sn;
    };
    auto logReply = [&](int n, int rc) {
        if (n < 0) {
            SLOG_WARN(LORA, "PASS_THROUGH_TYPE: Fail to generate the response command for new device {}.", n);
            return false;
        }
        registry_->update_device_timestamp(id, pn, sn);
        SLOG_INFO(LORA, "PASS_THROUGH_TYPE: Generate a response frame for new device. Device ID: {}, _size: {}, _len: {}, ret: {}.",
                  id, n, 2, rc);
        return true;
    };

    if (L == 34 && payload[0] == 0xFF && payload[1] == 0xFF) {
        Uid second{};
        std::memcpy(second.data(), payload + 18, second.size());
        const unsigned devPn = get_pn(second);
        const unsigned devSn = get_sn(second);
        const bool matched = recipe_.updateLoraDevices([&](Items& items) {
            for (LoraDeviceRecipeItem& it : items) {
                if (!matches(it)) continue;
                it.devPn = devPn;
                it.devSn = devSn;
                return true;
            }
            return false;
        });
        if (!matched) {
            SLOG_INFO(LORA, "PASS_THROUGH_TYPE: identity report of {} matches no device {}", uid_text(h.uid), id);
            return;
        }
        recipeChanged_.store(true);
        const unsigned char ack[2] = {0xFF, 0xFF};
        int rc = -1;
        const int n = sendFrame(FrameType::PASS_THROUGH_TYPE, h.seq, id, master, ack, 2, &rc);
        if (logReply(n, rc)) {
            Clock::get().sleepFor(2s);
            lora_update_register_info(seq_.load(), id, master);
        }
        return;
    }
    if (L == 32 && payload[0] <= 7) {
        SLOG_INFO(LORA, "Get Pass-Through frame with a payload length: {}", L);
        const unsigned regId = payload[0];
        if (regId + 2 >= static_cast<unsigned>(kLoraRegisterCount)) {  // slots 8 and 9 do not exist
            SLOG_WARN(LORA, "Get Pass-Through frame with a wrong payload length: {} and id {}", L, regId);
            return;
        }
        LoraRegisterItem desc;
        desc.name.assignBytes(reinterpret_cast<const char*>(payload + 2), strnlen(reinterpret_cast<const char*>(payload + 2), 16));
        desc.unit.assignBytes(reinterpret_cast<const char*>(payload + 18), strnlen(reinterpret_cast<const char*>(payload + 18), 8));
        const bool matched = recipe_.updateLoraDevices([&](Items& items) {
            for (LoraDeviceRecipeItem& it : items) {
                if (!matches(it)) continue;
                LoraRegisterItem& r = it.registers[regId + 2];
                r.name = desc.name;
                r.unit = desc.unit;
                r.displayUnit = desc.unit;
                r.valueType = static_cast<int8_t>(payload[26]);
                r.valueSize = static_cast<int8_t>(payload[27]);
                r.integerPart = static_cast<int8_t>(payload[28]);
                r.decimalPart = static_cast<int8_t>(payload[29]);
                r.display = true;
                return true;
            }
            return false;
        });
        if (!matched) {
            SLOG_INFO(LORA, "PASS_THROUGH_TYPE: register description of {} matches no device {}", uid_text(h.uid), id);
            return;
        }
        recipeChanged_.store(true);
        SLOG_INFO(LORA,
                  "Get a register information for device {}. Register ID: {} Name: {} Unit: {}/{} Type: {} Size: {} "
                  "Integer Part: {} Decimal Part: {}.",
                  id, regId, desc.name.view(), desc.unit.view(), desc.unit.view(), payload[26], payload[27],
                  payload[28], payload[29]);
        const unsigned char ack[2] = {static_cast<unsigned char>(regId), payload[2]};
        int rc = -1;
        const int n = sendFrame(FrameType::PASS_THROUGH_TYPE, h.seq, id, master, ack, 2, &rc);
        logReply(n, rc);
        return;
    }
    if (L == 32) {
        SLOG_WARN(LORA, "Get Pass-Through frame with a wrong payload length: {} and id {}", L, payload[0]);
        return;
    }
    SLOG_WARN(LORA, "Get Pass-Through frame with a wrong payload length: {}", L);
}

}  // namespace lora

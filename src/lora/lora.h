#pragma once
// The LoRa network master: enrols, polls and answers up to 16 field devices over the SX1268
// radio, publishes their values into the live store, and follows the recipe's lora section
// (change bit 0x800) and device list (0x1000).
//
// Threads: loop_thread (main: one runPass per loop period; starts and joins the other two),
// lora_thread (radio receive), poll_thread (one pollPass per poll period). stop() only asks:
// it sets the flags and wakes every wait; loop_thread joins the radio and poll threads before
// it returns, and the destructor joins whatever is left.
//
// Locks: the hand-off slot of the radio (taken only to move a packet), then the transmit lock
// (frame building until the radio has sent it), the poll lock, the recipe store's lock (through
// its helpers), the live store's lock; never two store locks at once.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "live/live_data.h"
#include "lora/lora_codec.h"
#include "lora/lora_device_manager.h"
#include "lora/sx1268.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"

class RecipeDataGuard;
class LiveDataGuard;

namespace lora {

class Lora : public SX1268 {
public:
    Lora(RecipeDataGuard& recipe, LiveDataGuard& live);
    ~Lora() override;

    // Thread bodies.
    int loop_thread();
    int lora_thread();
    int poll_thread();
    // Asks every thread to end; returns at once.
    void stop();

    // Single passes. startUp: settings, device file, radio, and (when startThreads) the radio
    // and poll threads. runPass: one pass of the main thread, waiting up to packetWait for a
    // packet; false once stopping. pollPass: one pass of the poll thread; the pause it wants.
    void startUp(bool startThreads = true);
    bool runPass(std::chrono::milliseconds packetWait = std::chrono::seconds(1));
    std::chrono::milliseconds pollPass();

    int receive(const unsigned char* data, unsigned len) override;
    int send_broadcast(BROADCAST_FUNC_CODE code);
    int run_poll_round(const LoraRecipe& cfg);
    int poll_one_device(uint8_t deviceId, const LoraRecipe& cfg);
    int alloc_new_device(unsigned pn, unsigned sn, unsigned char* reply, unsigned capacity, uint8_t& deviceId);
    int update_device_measurements(unsigned type, uint16_t seq, uint8_t deviceId, uint8_t masterId, uint8_t len,
                                   int rssi, const unsigned char* payload);
    int lora_update_register_info(uint16_t seq, uint8_t deviceId, uint8_t masterId);
    void device_status(std::array<unsigned char, 16>& uid, int bit);
    int send_modbus_cmd(uint8_t deviceId, const unsigned char* cmd, int len);
    struct ModbusReply {
        uint8_t deviceId = 0;
        int len = 0;
    };
    ModbusReply get_modbus_rsp(unsigned char* dst, int capacity);

    // Frame operations over the codec (generate_frame builds into the transmit buffer; hold
    // the transmit lock until it is sent).
    static uint16_t crc_value(const unsigned char* data, unsigned len) { return lora::crc_value(data, len); }
    int generate_frame(FrameType type, uint16_t seq, uint8_t deviceId, uint8_t masterId, const unsigned char* payload,
                       unsigned len);
    static int frame_check(const unsigned char* buf, unsigned len) { return lora::frame_check(buf, len); }
    static unsigned get_pn(const Uid& uid) { return lora::get_pn(uid); }
    static unsigned get_sn(const Uid& uid) { return lora::get_sn(uid); }
    static std::string get_uid(unsigned pn, unsigned sn) { return lora::get_uid(pn, sn); }

    // Registry forwards.
    int lora_device_get_lora_id(unsigned pn, unsigned sn) { return registry_->get_device_lora_id(pn, sn); }
    int lora_device_allocate(unsigned now, unsigned pn, unsigned sn);
    void lora_device_reset(LoraDeviceRecipeItem& item) { registry_->reset_device(item); }
    bool lora_device_update_timestamp(unsigned id) { return registry_->update_device_timestamp(id); }
    void update_live_data_for_devices() { registry_->update_live_data(*liveBlock_); }
    std::string get_customized_name(unsigned pn, unsigned sn) { return registry_->get_customized_name(pn, sn); }

    // Test-only: the longest extra wait of a poll for an answer the radio heard within the
    // poll's wait (10 s).
    void setHeardAnswerLimitForTest(std::chrono::milliseconds limit) { heardAnswerLimit_ = limit; }

    LoraDeviceManager& registry() { return *registry_; }
    const LoraLiveData& liveBlock() const { return *liveBlock_; }
    LoraRecipe settings();
    uint32_t pollRound() const { return pollRound_; }

protected:
    void receptionEnded() override;

private:
    void copySettings();
    void restartRadio();
    void resetRemovedDevices();
    void handleUpload(const UplinkHeader& h, const unsigned char* payload, unsigned pn, unsigned sn, int rssi);
    void handlePassThrough(const UplinkHeader& h, const unsigned char* payload, unsigned pn, unsigned sn);
    // Sends a downlink frame under the transmit lock; the frame size or a negative result.
    int sendFrame(FrameType type, uint16_t seq, uint8_t deviceId, uint8_t masterId, const unsigned char* payload,
                  unsigned len, int* publishResult = nullptr);
    bool stopping() const { return stopping_.load(); }

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    std::mutex settingsMutex_;
    LoraRecipe settings_;
    std::unique_ptr<LoraLiveData> liveBlock_;
    std::unique_ptr<LoraDeviceManager> registry_;
    std::atomic<uint16_t> seq_{0};
    std::mutex modbusMutex_;
    uint8_t modbusDeviceId_ = 0;
    int modbusLen_ = 0;
    std::array<unsigned char, 256> modbusPayload_{};
    std::thread radioThread_;
    std::thread pollThread_;
    std::atomic<bool> stopping_{false};
    orvane::platform::Stopper stopper_;
    // Poll hand-off.
    std::mutex pollMutex_;
    std::condition_variable pollCv_;
    bool responded_ = false;
    uint8_t polledId_ = 0;
    uint32_t pollRound_ = 0;
    // Longest extra wait for an answer that the radio heard within a poll's wait: its reads
    // (five commands of at least 100 ms), the radio's hand-over pause (1 s) and a pass of the
    // main thread (1 s and its work) take about 3 s; the rest is room for a loaded machine.
    std::chrono::milliseconds heardAnswerLimit_{std::chrono::seconds(10)};
    bool pollFirst_ = true;
    bool lastPollMode_ = false;
    // Transmit.
    std::mutex txMutex_;
    std::array<unsigned char, kFrameBufferSize> txBuf_{};
    std::array<unsigned char, 256> packet_{};  // the main thread's copy of a handed-over packet
    std::chrono::milliseconds loopPeriod_{1000};
    bool threaded_ = false;
    std::atomic<bool> recipeChanged_{false};
};

}  // namespace lora

#pragma once
// One filled object of every command class, shared by the round-trip and cross-process tests.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvane_ipc/orvane_ipc.h"

namespace ipc_test {

using namespace orvane_ipc;

// A frame around a payload, built by hand (independently of the command classes).
inline std::vector<uint8_t> frame_with_payload(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(payload.size() + 9);
    const uint8_t head[] = {0xFF, 0xFF, 0x5A, 0xA5, 0x01};
    std::copy(std::begin(head), std::end(head), f.begin());
    f[5] = static_cast<uint8_t>(payload.size() >> 8);
    f[6] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), f.begin() + 7);
    const uint16_t crc = Utilities::crc_value(payload.data(), payload.size());
    f[payload.size() + 7] = static_cast<uint8_t>(crc >> 8);
    f[payload.size() + 8] = static_cast<uint8_t>(crc);
    return f;
}

inline DataCell sample_cell(uint32_t ts, int pairs, const std::string& prefix = "ch") {
    DataCell c;
    c.timestamp = ts;
    for (int i = 0; i < pairs; ++i) c.values.emplace_back(prefix + std::to_string(i), 0.25 * i - 3.5);
    return c;
}

// Requests in variant index order.
inline std::vector<RequestVariant> sample_requests() {
    std::vector<RequestVariant> v;
    v.emplace_back(request::LatestSensorData{});
    request::HistoricalSensorData hs;
    hs.start_time(1700000000);
    hs.end_time(1700003600);
    hs.interval(60);
    v.emplace_back(hs);
    v.emplace_back(request::LatestControllerData{});
    request::HistoricalControllerData hc;
    hc.start_time(0xFFFFFFFF);
    hc.end_time(1);
    hc.interval(0xFFFF);
    v.emplace_back(hc);
    v.emplace_back(request::SystemLiveValue{});
    v.emplace_back(request::LTEInformation{});
    v.emplace_back(request::SystemReload{});
    request::ModbusOperation mo;
    const uint8_t mb[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    mo.set_modbus_frame(sizeof mb, mb);
    v.emplace_back(mo);
    request::SystemAlarm al;
    al.timestamp(1700000123);
    al.alarm_type(7);
    al.alarm_device_pn(0xA1B2C3D4);
    al.alarm_device_sn(42);
    v.emplace_back(al);
    request::SystemUpdate up;
    up.firmware_source(2);
    up.file_name("fw.tar.gz", 9);
    v.emplace_back(up);
    v.emplace_back(request::SystemUpdateStatus{});
    v.emplace_back(request::SystemReboot{});
    return v;
}

// Responses in variant index order.
inline std::vector<ResponseVariant> sample_responses() {
    std::vector<ResponseVariant> v;
    v.emplace_back(response::LatestSensorData{sample_cell(1700000000, 3)});
    response::HistoricalSensorData hs;
    hs.cell(sample_cell(1700000000, 2, "pH"));
    hs.cell(sample_cell(1700000060, 0));
    hs.cell(sample_cell(1700000120, 4, "a-very-long-measurement-name-of-32"));  // names trimmed to 32 below
    v.emplace_back(hs);
    v.emplace_back(response::LatestControllerData{sample_cell(5, 1, "out")});
    response::HistoricalControllerData hc;
    hc.cell(sample_cell(9, 1));
    v.emplace_back(hc);
    response::SystemLiveValue lv;
    lv.uptime(86400);
    lv.cpu_usage(12.5f);
    lv.memory_remaining(100.25f);
    lv.storage_remaining(-1.0f);
    v.emplace_back(lv);
    response::LTEInformation lte;
    lte.carrier_name(std::string("CARRIER") + std::string(25, '\0'));
    lte.imsi(std::string("460001234567890") + std::string(17, '\0'));
    lte.sw_version(std::string(32, 'V'));
    lte.sys_uptime(3600);
    lte.signal_rssi(-70.5f);
    lte.signal_rsrp(-95.0f);
    lte.signal_sinr(12.0f);
    lte.signal_rsrq(-9.5f);
    lte.data_usage_cycle_rx_mb(1.5f);
    lte.data_usage_cycle_tx_mb(0.5f);
    lte.data_usage_total_rx_mb(150.0f);
    lte.data_usage_total_tx_mb(50.0f);
    lte.latitude(31.25f);
    lte.longitude(121.5f);
    v.emplace_back(lte);
    v.emplace_back(response::SystemReload{});
    response::ModbusOperation mo;
    const uint8_t mb[] = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B, 0x2B, 0xF3};
    mo.set_modbus_frame(sizeof mb, mb);
    v.emplace_back(mo);
    response::SystemAlarm al;
    al.timestamp(1);
    al.alarm_type(0xFFFF);
    al.alarm_device_pn(2);
    al.alarm_device_sn(0xFFFFFFFF);
    v.emplace_back(al);
    v.emplace_back(response::SystemUpdate{});
    response::SystemUpdateStatus st;
    st.progress(55.5f);
    st.error_code(2);
    v.emplace_back(st);
    v.emplace_back(response::SystemReboot{});
    return v;
}

// Names longer than 32 bytes come back cut to 32; the expected object after a round trip.
inline ResponseVariant expected_after_trip(ResponseVariant v) {
    if (auto* hs = std::get_if<response::HistoricalSensorData>(&v)) {
        for (int i = 0; i < static_cast<int>(hs->count()); ++i) {
            DataCell c = hs->cell(i);
            for (auto& [name, value] : c.values)
                if (name.size() > 32) name.resize(32);
            hs->cell(i, c);
        }
    }
    return v;
}

inline std::vector<uint8_t> frame_of(const RequestVariant& v) {
    std::vector<uint8_t> f = to_frame(command_of(v));
    if (f.empty()) throw std::logic_error("request did not package");
    return f;
}

// The response SystemReboot does not package itself; its frame is the id alone.
inline std::vector<uint8_t> frame_of(const ResponseVariant& v) {
    if (std::holds_alternative<response::SystemReboot>(v)) {
        if (!to_frame(command_of(v)).empty()) throw std::logic_error("SystemReboot packaged itself");
        return frame_with_payload({0x00, response::SystemReboot::kCommandId});
    }
    std::vector<uint8_t> f = to_frame(command_of(v));
    if (f.empty()) throw std::logic_error("response did not package");
    return f;
}

}  // namespace ipc_test

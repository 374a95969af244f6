// Command classes: exact frames, edge cases, analysers and round trips of all 24 classes.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "samples.h"

using namespace orvane_ipc;
using Bytes = std::vector<uint8_t>;
using ipc_test::frame_with_payload;

namespace {

template <typename C>
Bytes package(const C& c, std::size_t size = 70000) {
    Bytes buf(size, 0xEE);
    const std::size_t n = c.package(buf.data(), buf.size());
    buf.resize(n);
    return buf;
}

// Payload of a frame made by package().
Bytes payload_of(const Bytes& frame) { return Bytes(frame.begin() + 7, frame.end() - 2); }

template <typename F>
std::string what_of(F&& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(IpcCommands, LiteralFramesOfFieldlessCommands) {
    EXPECT_EQ(package(request::LatestSensorData{}),
              (Bytes{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x01, 0xC0, 0xC1}));
    EXPECT_EQ(package(request::SystemUpdateStatus{}),
              (Bytes{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x62, 0xE9, 0x81}));
    EXPECT_EQ(package(response::SystemReload{}),
              (Bytes{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x11, 0x0C, 0xC0}));

    // Fixed-length requests need the whole frame; a short buffer is left untouched.
    Bytes small(10, 0xEE);
    EXPECT_EQ(request::LatestSensorData{}.package(small.data(), small.size()), 0u);
    EXPECT_EQ(small, Bytes(10, 0xEE));
    EXPECT_EQ(request::LatestSensorData{}.package(nullptr, 100), 0u);

    // Variable-length responses start with 9 bytes and then check each field.
    Bytes eight(8, 0xEE);
    EXPECT_EQ(response::SystemReload{}.package(eight.data(), eight.size()), 0u);
    EXPECT_EQ(eight, Bytes(8, 0xEE));
    Bytes ten(10, 0xEE);
    EXPECT_EQ(what_of([&] { response::SystemReload{}.package(ten.data(), ten.size()); }),
              "Fail to set u16. Pos:9; size:10");

    // Response SystemReboot never writes a frame.
    Bytes any(100, 0xEE);
    EXPECT_EQ(response::SystemReboot{}.package(any.data(), any.size()), 0u);
    EXPECT_EQ(any, Bytes(100, 0xEE));
}

TEST(IpcCommands, TimeRangeAndUpdateRequests) {
    request::HistoricalSensorData h;
    h.start_time(1700000000);
    h.end_time(1700003600);
    h.interval(60);
    const Bytes f = package(h);
    ASSERT_EQ(f.size(), 21u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 19),
              (Bytes{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x0C, 0x00, 0x02, 0x65, 0x53, 0xF1, 0x00, 0x65, 0x53,
                     0xFF, 0x10, 0x00, 0x3C}));
    EXPECT_EQ(f, frame_with_payload(payload_of(f)));
    Bytes b20(20, 0xEE);
    EXPECT_EQ(h.package(b20.data(), b20.size()), 0u);
    EXPECT_EQ(b20, Bytes(20, 0xEE));

    request::SystemUpdate u;
    u.firmware_source(3);
    u.file_name("fw.tar.gz", 9);
    const Bytes uf = package(u);
    ASSERT_EQ(uf.size(), 45u);
    Bytes expect_payload = {0x00, 0x61, 0x00, 0x03, 'f', 'w', '.', 't', 'a', 'r', '.', 'g', 'z'};
    expect_payload.resize(36, 0x00);
    EXPECT_EQ(uf, frame_with_payload(expect_payload));
    Bytes b44(44, 0xEE);
    EXPECT_EQ(u.package(b44.data(), b44.size()), 0u);
    EXPECT_EQ(b44, Bytes(44, 0xEE));

    // The name setter behaves like strncpy over min(length, 32) bytes.
    request::SystemUpdate n;
    n.file_name("ABCDEFGH", 8);
    n.file_name("xy", 4);
    EXPECT_EQ(std::string(n.file_name(), 8), std::string("xy\0\0EFGH", 8));
    EXPECT_EQ(n.file_name_string(), "xy");
    // On the wire the field is copied like strncpy: the bytes after its first zero go out as zeros.
    Bytes xy_payload = {0x00, 0x61, 0x00, 0x00, 'x', 'y'};
    xy_payload.resize(36, 0x00);
    EXPECT_EQ(package(n), frame_with_payload(xy_payload));
    const std::string long_name(40, 'n');
    n.file_name(long_name.c_str(), 40);
    EXPECT_EQ(std::string(n.file_name(), 32), std::string(32, 'n'));
    EXPECT_EQ(n.file_name_string(), std::string(32, 'n'));  // no terminator in the field
    n.file_name(nullptr, 5);
    EXPECT_EQ(std::string(n.file_name(), 6), std::string("\0\0\0\0\0n", 6));

    // Received, the 32 bytes are taken one by one (inner zeros and all).
    Bytes p = {0x00, 0x61, 0x00, 0x02, 'a', 0x00, 'b'};
    p.resize(36, 'z');
    const auto r = Service::request_analyze(frame_with_payload(p).data(), p.size() + 9);
    ASSERT_TRUE(r && r->index() == 9);
    const auto& got = std::get<request::SystemUpdate>(*r);
    EXPECT_EQ(got.firmware_source(), 2);
    EXPECT_EQ(std::string(got.file_name(), 32), std::string("a\0b", 3) + std::string(29, 'z'));
    EXPECT_EQ(got.file_name_string(), "a");
}

TEST(IpcCommands, CellResponsesLayoutAndShortPayloads) {
    // Default: id 1, timestamp 0, count 0.
    EXPECT_EQ(package(response::LatestSensorData{}),
              frame_with_payload({0x00, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(package(response::HistoricalSensorData{}), frame_with_payload({0x00, 0x02, 0, 0}));

    DataCell c;
    c.timestamp = 0x01020304;
    c.values = {{"pH", 7.25}, {"Temp", -1.5}, {std::string(40, 'x'), 1e10}};
    const Bytes f = package(response::LatestSensorData{c});
    ASSERT_EQ(f.size(), 125u);
    EXPECT_EQ(f[5], 0x00);
    EXPECT_EQ(f[6], 116);
    EXPECT_EQ(Bytes(f.begin() + 7, f.begin() + 15), (Bytes{0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x03}));
    EXPECT_EQ(Bytes(f.begin() + 15, f.begin() + 17), (Bytes{'p', 'H'}));
    EXPECT_EQ(Bytes(f.begin() + 47, f.begin() + 51), (Bytes{0x40, 0xE8, 0x00, 0x00}));  // 7.25f

    const auto r = Service::response_analyze(f.data(), f.size());
    ASSERT_TRUE(r && r->index() == 0);
    const DataCell& back = std::get<response::LatestSensorData>(*r).cell();
    EXPECT_EQ(back.timestamp, 0x01020304u);
    ASSERT_EQ(back.values.size(), 3u);
    EXPECT_EQ(back.values[0], (std::pair<std::string, double>{"pH", 7.25}));
    EXPECT_EQ(back.values[2].first, std::string(32, 'x'));
    EXPECT_EQ(back.values[2].second, static_cast<double>(1e10f));  // through f32

    // The count says 5; the payload holds 2 pairs and fewer than 4 further bytes.
    Bytes p = {0x00, 0x01, 0, 0, 0, 9, 0x00, 0x05};
    for (const char* name : {"a", "b"}) {
        Bytes field(32, 0);
        field[0] = static_cast<uint8_t>(name[0]);
        p.insert(p.end(), field.begin(), field.end());
        p.insert(p.end(), {0x3F, 0x80, 0x00, 0x00});
    }
    Bytes three = p;
    three.insert(three.end(), {1, 2, 3});
    response::LatestSensorData ls;
    EXPECT_EQ(ls.unpackage(three.data(), three.size()), 8u + 72u);
    EXPECT_EQ(ls.cell().values.size(), 2u);
    EXPECT_EQ(ls.cell().timestamp, 9u);
    // Pairs are appended to those held.
    EXPECT_EQ(ls.unpackage(p.data(), p.size()), 80u);
    EXPECT_EQ(ls.cell().values.size(), 4u);
    // Four or more bytes left but not a whole pair: the reader that runs out throws, and the
    // object keeps what it held.
    Bytes ten = p;
    ten.insert(ten.end(), 10, 0);
    EXPECT_EQ(what_of([&] { ls.unpackage(ten.data(), ten.size()); }), "Fail to get string. Pos:80; size:90");
    EXPECT_EQ(ls.cell().values.size(), 4u);
    EXPECT_EQ(ls.unpackage(nullptr, 10), 0u);
    EXPECT_EQ(ls.unpackage(p.data(), 1), 0u);

    // History: a cell count larger than the data throws.
    Bytes hp = {0x00, 0x02, 0x00, 0x03, 0, 0, 0, 1, 0x00, 0x00};
    response::HistoricalSensorData hs;
    EXPECT_EQ(what_of([&] { hs.unpackage(hp.data(), hp.size()); }), "Fail to get u32. Pos:10; size:10");
    EXPECT_EQ(hs.count(), 0u);
    hp[3] = 1;
    EXPECT_EQ(hs.unpackage(hp.data(), hp.size()), 10u);
    ASSERT_EQ(hs.count(), 1u);
    EXPECT_EQ(hs.cell(0).timestamp, 1u);
    EXPECT_THROW(hs.cell(1), std::out_of_range);
    EXPECT_THROW(hs.cell(-1), std::out_of_range);
    EXPECT_THROW(hs.cell(1, DataCell{}), std::out_of_range);
}

TEST(IpcCommands, PayloadTooLargeForLengthFieldFailsInsteadOfWrapping) {
    // 8 + 36 * 1820 = 65528 bytes of payload: the largest cell that fits.
    response::LatestSensorData fits{ipc_test::sample_cell(77, 1820)};
    const Bytes f = package(fits);
    ASSERT_EQ(f.size(), 65528u + 9);
    const auto r = Service::response_analyze(f.data(), f.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<response::LatestSensorData>(*r).cell().values.size(), 1820u);

    // One pair more would need a length of 65564: it fails with the writer's exception.
    response::LatestSensorData over{ipc_test::sample_cell(77, 1821)};
    Bytes buf(100000);
    EXPECT_THROW(over.package(buf.data(), buf.size()), std::out_of_range);

    // A Modbus frame too long for the length field is refused outright.
    response::ModbusOperation mo;
    Bytes big(response::ModbusOperation::kMaxModbusFrame + 1, 0x11);
    mo.set_modbus_frame(static_cast<uint16_t>(big.size()), big.data());
    EXPECT_EQ(mo.package(buf.data(), buf.size()), 0u);
    big.pop_back();
    mo.set_modbus_frame(static_cast<uint16_t>(big.size()), big.data());
    EXPECT_EQ(mo.package(buf.data(), buf.size()), big.size() + 13);
}

TEST(IpcCommands, ModbusLteLiveValueAndStatusFields) {
    request::ModbusOperation mo;
    const uint8_t mb[] = {0x11, 0x22, 0x33};
    mo.set_modbus_frame(3, mb);
    EXPECT_EQ(package(mo), frame_with_payload({0x00, 0x21, 0x00, 0x03, 0x11, 0x22, 0x33}));
    Bytes b15(15, 0xEE);
    EXPECT_EQ(mo.package(b15.data(), b15.size()), 0u);  // needs 3 + 13
    uint8_t out[3] = {};
    EXPECT_EQ(mo.get_modbus_frame(out), 3u);
    EXPECT_EQ(std::memcmp(out, mb, 3), 0);
    mo.set_modbus_frame(5, nullptr);
    EXPECT_EQ(mo.modbus_frame_size(), 0);
    const Bytes over = {0x00, 0x21, 0x00, 0x04, 0x11, 0x22, 0x33};
    EXPECT_EQ(what_of([&] { mo.unpackage(over.data(), over.size()); }), "Fail to get bytes. Pos:4; size:7");

    response::LTEInformation lte;
    lte.carrier_name("ABC");
    lte.imsi(std::string(40, '9'));
    lte.latitude(1.0f);
    const Bytes lf = package(lte);
    ASSERT_EQ(lf.size(), 151u);
    Bytes carrier = {'A', 'B', 'C'};
    carrier.resize(32, 0);
    EXPECT_EQ(Bytes(lf.begin() + 9, lf.begin() + 41), carrier);
    EXPECT_EQ(Bytes(lf.begin() + 41, lf.begin() + 73), Bytes(32, '9'));
    EXPECT_EQ(Bytes(lf.begin() + 141, lf.begin() + 145), (Bytes{0x3F, 0x80, 0, 0}));  // latitude
    const auto r = Service::response_analyze(lf.data(), lf.size());
    ASSERT_TRUE(r && r->index() == 5);
    const auto& back = std::get<response::LTEInformation>(*r);
    EXPECT_EQ(back.carrier_name().size(), 32u);
    EXPECT_EQ(back.carrier_name(), std::string("ABC") + std::string(29, '\0'));
    EXPECT_EQ(back.imsi(), std::string(32, '9'));
    EXPECT_EQ(back.latitude(), 1.0f);
    // Below 130 bytes nothing is read; 130..141 bytes run out in a reader.
    response::LTEInformation keep;
    keep.carrier_name("kept");
    const Bytes p = payload_of(lf);
    EXPECT_EQ(keep.unpackage(p.data(), 129), 0u);
    EXPECT_EQ(keep.carrier_name(), "kept");
    EXPECT_THROW(keep.unpackage(p.data(), 130), std::out_of_range);
    EXPECT_EQ(keep.carrier_name(), "kept");
    EXPECT_EQ(keep.unpackage(p.data(), p.size()), 142u);

    response::SystemLiveValue lv;
    lv.uptime(5);
    const Bytes vf = package(lv);
    ASSERT_EQ(vf.size(), 27u);
    response::SystemLiveValue lv2;
    EXPECT_EQ(lv2.unpackage(payload_of(vf).data(), 17), 0u);
    EXPECT_EQ(lv2.unpackage(payload_of(vf).data(), 18), 18u);
    EXPECT_EQ(lv2.uptime(), 5u);

    response::SystemUpdateStatus st;
    st.progress(100.0f);
    st.error_code(4);
    EXPECT_EQ(package(st), frame_with_payload({0x00, 0x62, 0x42, 0xC8, 0, 0, 0, 0, 0, 4}));

    request::SystemAlarm al;
    al.timestamp(1);
    al.alarm_type(2);
    al.alarm_device_pn(3);
    al.alarm_device_sn(4);
    EXPECT_EQ(package(al), frame_with_payload({0x00, 0x31, 0, 0, 0, 1, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4}));
    Bytes b24(24);
    EXPECT_EQ(al.package(b24.data(), b24.size()), 0u);
}

TEST(IpcService, AnalysersRejectWhatIsNotACommand) {
    const Bytes latest = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x01, 0xC0, 0xC1};
    EXPECT_FALSE(Service::request_analyze(nullptr, 11));
    EXPECT_FALSE(Service::response_analyze(nullptr, 11));
    EXPECT_FALSE(Service::request_analyze(latest.data(), 7));
    EXPECT_FALSE(Service::response_analyze(latest.data(), 7));
    EXPECT_FALSE(Service::request_analyze(latest.data(), 10));

    // Unknown ids.
    for (uint16_t id : {0, 6, 99, 0xFFFF}) {
        const Bytes f = frame_with_payload({static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
        EXPECT_FALSE(Service::request_analyze(f.data(), f.size())) << id;
        EXPECT_FALSE(Service::response_analyze(f.data(), f.size())) << id;
    }

    // A payload below two bytes carries no id: empty, even when a good frame follows.
    for (const Bytes& degenerate : {frame_with_payload({}), frame_with_payload({0x00})}) {
        EXPECT_FALSE(Service::request_analyze(degenerate.data(), degenerate.size()));
        EXPECT_FALSE(Service::response_analyze(degenerate.data(), degenerate.size()));
    }

    // Garbage, a bad frame and a truncated one around good frames.
    Bytes bad = latest;
    bad[9] ^= 0xFF;
    const Bytes reload = frame_with_payload({0x00, 0x11});
    Bytes buf = {0x01, 0xFF, 0x02};
    buf.insert(buf.end(), bad.begin(), bad.end());
    buf.insert(buf.end(), reload.begin(), reload.end());
    buf.insert(buf.end(), latest.begin(), latest.end());
    const auto r = Service::response_analyze(buf.data(), buf.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index(), 6u);
    EXPECT_EQ(command_of(*r).command_id(), 17);
    const Bytes truncated(latest.begin(), latest.end() - 1);
    EXPECT_FALSE(Service::request_analyze(truncated.data(), truncated.size()));

    // A known id with a payload too short for its fields: the reader's exception comes out.
    const Bytes short_history = frame_with_payload({0x00, 0x02, 0, 0, 0, 1});
    EXPECT_EQ(what_of([&] { Service::request_analyze(short_history.data(), short_history.size()); }),
              "Fail to get u32. Pos:6; size:6");
    const Bytes short_status = frame_with_payload({0x00, 0x62, 0x42});
    EXPECT_EQ(what_of([&] { Service::response_analyze(short_status.data(), short_status.size()); }),
              "Fail to get f32. Pos:2; size:3");
}

TEST(IpcService, RoundTripOfAll24Classes) {
    const auto requests = ipc_test::sample_requests();
    ASSERT_EQ(requests.size(), std::variant_size_v<RequestVariant>);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        ASSERT_EQ(requests[i].index(), i);
        EXPECT_EQ(command_of(requests[i]).command_id(), static_cast<uint16_t>(kCommandIds[i]));
        Bytes f = ipc_test::frame_of(requests[i]);
        f.insert(f.begin(), {0x00, 0xFF, 0xFF});  // noise before the frame
        const auto r = Service::request_analyze(f.data(), f.size());
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->index(), i);
        EXPECT_TRUE(*r == requests[i]) << command_name(command_of(requests[i]).command_id());
    }
    const auto responses = ipc_test::sample_responses();
    ASSERT_EQ(responses.size(), std::variant_size_v<ResponseVariant>);
    for (std::size_t i = 0; i < responses.size(); ++i) {
        ASSERT_EQ(responses[i].index(), i);
        EXPECT_EQ(command_of(responses[i]).command_id(), static_cast<uint16_t>(kCommandIds[i]));
        const Bytes f = ipc_test::frame_of(responses[i]);
        const auto r = Service::response_analyze(f.data(), f.size());
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->index(), i);
        EXPECT_TRUE(*r == ipc_test::expected_after_trip(responses[i]))
            << command_name(command_of(responses[i]).command_id());
    }
}

TEST(IpcService, EveryCommandIdHasAName) {
    for (CommandId id : kCommandIds) EXPECT_NE(command_name(static_cast<uint16_t>(id)), "Unknown");
    EXPECT_EQ(command_name(81), "SystemReboot");
    EXPECT_EQ(command_name(6), "Unknown");
}

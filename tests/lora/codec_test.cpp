// LoRa frames and field codec; uplinks and the reference CRC come from the test field device.
#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "lora/lora_codec.h"
#include "support/lora_field_sim.h"

using namespace lora;
using testing::ThrowsMessage;
using orvane::test::LoraFieldDevice;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes uplink(uint8_t type, uint8_t master, uint8_t dev, uint32_t pn, uint32_t sn, const Bytes& payload) {
    LoraFieldDevice d(pn, sn);
    d.setIds(master, dev);
    return d.frame(type, payload);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Uid uidOf(const std::string& s) {
    Uid u{};
    for (size_t i = 0; i < s.size() && i < 16; ++i) u[i] = static_cast<unsigned char>(s[i]);
    return u;
}

}  // namespace

TEST(LoraCodec, DownlinkFrames) {
    std::array<unsigned char, kFrameBufferSize> out{};
    out.fill(0xEE);
    ASSERT_EQ(generate_frame(out, FrameType::POLL_TYPE, 0x1234, 6, 1, nullptr, 0), 10);
    // CRC-16/MODBUS of A5 5A 07 34 12 01 06 00 is 0x2297, sent low byte first.
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), (Bytes{0xA5, 0x5A, 0x07, 0x34, 0x12, 0x01, 0x06, 0x00, 0x97, 0x22}));
    for (size_t i = 10; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(std::make_tuple(crc_value(nullptr, 5), generate_frame(out, FrameType::MODBUS_TYPE, 0, 6, 1, nullptr, 4)), std::make_tuple(0xFFFF, -2));

    struct Case { unsigned len; uint8_t master, device; int size; uint8_t sentDevice; };
    for (const Case& c : {Case{246, 1, 9, 256, 9}, Case{247, 1, 9, -1, 0}, Case{24, 0, 9, 34, 0}, Case{3, 0, 0, 13, 0}}) {
        SCOPED_TRACE(c.len);
        Bytes payload(c.len);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7 + 1);
        ASSERT_EQ(generate_frame(out, FrameType::UPLOAD_TYPE, 0xBEEF, c.device, c.master, payload.data(), c.len), c.size);
        if (c.size < 0) continue;
        Bytes want = {0xA5, 0x5A, 3, 0xEF, 0xBE, c.master, c.sentDevice, static_cast<unsigned char>(c.len)};
        want.insert(want.end(), payload.begin(), payload.end());
        const uint16_t crc = LoraFieldDevice::crc(want.data(), want.size());
        want.push_back(crc & 0xFF), want.push_back(crc >> 8);  // low byte first
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.size), want);
    }
}

TEST(LoraCodec, EnrolmentAndBroadcastPayloads) {
    struct Case { uint8_t id; uint16_t slot; };
    for (const Case c : {Case{6, 6000}, Case{15, 60000}, Case{16, 0xFFFF}, Case{21, 0xFFFF}}) {
        const auto p = enrolment_payload("24817#1002", 1, c.id, 0x11223344);
        const Bytes expected = {'2', '4', '8', '1', '7', '#', '1', '0', '0', '2', 0, 0, 0, 0, 0, 0, 1, c.id,
                                static_cast<unsigned char>(c.slot & 0xFF), static_cast<unsigned char>(c.slot >> 8), 0x44, 0x33, 0x22, 0x11};
        EXPECT_EQ(Bytes(p.begin(), p.end()), expected) << int(c.id);
    }
    const auto p = enrolment_payload("12345678901#1234567890", 1, 6, 0);  // a longer UID text is cut
    EXPECT_EQ(std::string(p.begin(), p.begin() + 16), "12345678901#1234");

    const std::vector<Bytes> expected = {{0x00}, {0x01, 0x78, 0x56, 0x34, 0x12}, {0x02, 0x01}, {0x03, 0x00}};
    unsigned char buf[8] = {};
    for (unsigned code = 0; code < 4; ++code) {
        EXPECT_EQ(Bytes(buf, buf + std::max(0, broadcast_payload(code, 0x12345678, buf, sizeof buf))), expected[code]) << code;
    }
    EXPECT_EQ(broadcast_payload(4, 0, buf, sizeof buf), -1);
}

TEST(LoraCodec, FrameCheckPlacement) {
    const Bytes good = uplink(3, 0, 0, 24817, 1002, {});
    ASSERT_EQ(good.size(), 28u);
    EXPECT_EQ(std::make_tuple(frame_check(good.data(), 27), frame_check(good.data(), 28), frame_check(nullptr, 100)), std::make_tuple(-1, 0, -1));

    Bytes badCrc = uplink(7, 1, 6, 100, 1, {1, 2, 3});
    badCrc.back() ^= 0xFF;
    const Bytes valid = uplink(7, 1, 6, 100, 1, {9, 9});
    const Bytes garbage = {0x11, 0xA5, 0x22, 0xA5, 0x5A};  // with a lone header
    struct Case { const char* what; Bytes buf; int offset; };
    const Case cases[] = {
        {"garbage, bad CRC, valid", join({garbage, badCrc, valid}), static_cast<int>(garbage.size() + badCrc.size())},
        {"frame one byte short", Bytes(valid.begin(), valid.end() - 1), -1},
        {"bad CRC alone", badCrc, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(frame_check(c.buf.data(), static_cast<unsigned>(c.buf.size())), c.offset) << c.what;
}

TEST(LoraCodec, FrameCheckOnRandomBuffersStaysInside) {
    std::mt19937 rng(20261208);
    const Bytes valid = uplink(8, 1, 6, 5, 5, {1, 2, 3, 4});
    int found = 0;
    for (int i = 0; i < 4000; ++i) {
        const size_t n = rng() % 300;
        Bytes buf(n);
        for (auto& b : buf) b = static_cast<unsigned char>(rng());
        if (n > 40 && rng() % 4 == 0) {  // sometimes plant a header with a random length byte
            const size_t at = rng() % (n - 30);
            buf[at] = 0xA5, buf[at + 1] = 0x5A;
        }
        if (n > valid.size() && rng() % 5 == 0) std::copy(valid.begin(), valid.end(), buf.end() - static_cast<long>(valid.size()));
        std::unique_ptr<unsigned char[]> heap(new unsigned char[n + (n == 0)]);  // exactly n bytes for ASan
        std::copy(buf.begin(), buf.end(), heap.get());
        const int p = frame_check(heap.get(), static_cast<unsigned>(n));
        if (p < 0) continue;
        ++found;
        ASSERT_LE(static_cast<size_t>(p) + 28 + buf[static_cast<size_t>(p) + 25], n);
        const UplinkHeader h = parse_uplink(heap.get(), static_cast<unsigned>(n), static_cast<unsigned>(p));
        ASSERT_LE(h.payloadOffset + h.payloadLen, n);
    }
    EXPECT_GT(found, 0);
}

TEST(LoraCodec, UplinkHeaderAndUid) {
    LoraFieldDevice d(24817, 77);
    d.setIds(1, 9);
    d.setStatus(0x0081);
    for (int seq = 1; seq < 0x0102; ++seq) d.frame(0, {});  // the next frame has sequence number 0x0102
    const Bytes buf = join({{0x40, 0x00, 0x00}, d.frame(10, {0xFF, 0xFF, 0x01})});
    ASSERT_EQ(frame_check(buf.data(), static_cast<unsigned>(buf.size())), 3);
    const UplinkHeader h = parse_uplink(buf.data(), static_cast<unsigned>(buf.size()), 3);
    EXPECT_EQ(std::tie(h.type, h.seq, h.masterId, h.deviceId, h.status, h.payloadLen, h.payloadOffset),
              std::make_tuple(10, 0x0102, 1, 9, 0x0081, 3, 29u));
    EXPECT_EQ(std::make_tuple(uid_text(h.uid), get_pn(h.uid), get_sn(h.uid)), std::make_tuple("24817#77", 24817u, 77u));
    EXPECT_THROW(parse_uplink(buf.data(), static_cast<unsigned>(buf.size()) - 3, 3), std::out_of_range);

    struct Case { const char* text; unsigned pn, sn; };
    // PN or SN past 32 bits read 0; 16 digits without '#' read 0 and 0.
    const Case cases[] = {{"4294967295#1", 4294967295u, 1}, {"4294967296#1", 0, 1}, {"1#99999999999", 1, 0}, {"9999999999999999", 0, 0}};
    for (const Case& c : cases) EXPECT_EQ(std::make_pair(get_pn(uidOf(c.text)), get_sn(uidOf(c.text))), std::make_pair(c.pn, c.sn)) << c.text;
    EXPECT_EQ(std::make_tuple(get_uid(24817, 1002), get_uid(4294967295u, 4294967295u)), std::make_tuple("24817#1002", "4294967295#4294967295"));  // 21 characters
    EXPECT_EQ(std::make_tuple(Utilities::is_device_id_valid(uidOf("")), Utilities::is_device_id_valid(uidOf("1#1"))), std::make_tuple(false, true));
}

TEST(LoraCodec, EveryFieldAtTheEndAndOnePast) {
    using Op = std::function<void(unsigned char*, unsigned, unsigned&)>;
    struct Case { const char* text; unsigned width; Op op; };
    const Case cases[] = {
        {"Fail to get u8. Pos:", 1, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_u8_value(b, l, p); }},
        {"Fail to get u16. Pos:", 2, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_u16_value(b, l, p); }},
        {"Fail to get u32. Pos:", 4, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_u32_value(b, l, p); }},
        {"Fail to get f32. Pos:", 4, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_f32_value(b, l, p); }},
        {"Fail to get f64. Pos:", 8, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_f64_value(b, l, p); }},
        {"Fail to get Device UID Pos:", 16, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::get_uid_value(b, l, p); }},
        {"Fail to set u8. Pos:", 1, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::serial_u8(0x1FF, b, l, p); }},
        {"Fail to set u32. Pos:", 4, [](unsigned char* b, unsigned l, unsigned& p) { Utilities::serial_u32(0xFFFFFFFF, b, l, p); }},
    };
    const unsigned size = 27;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + std::to_string(c.width));
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]());
        unsigned pos = size - c.width;
        c.op(buf.get(), size, pos);
        EXPECT_EQ(pos, size);
        std::fill(buf.get(), buf.get() + size, 0xAB);
        for (unsigned start : {size - c.width + 1, size, 0xFFFFFFFFu}) {
            pos = start;
            EXPECT_THAT([&] { c.op(buf.get(), size, pos); },
                        ThrowsMessage<std::out_of_range>(std::string(c.text) + std::to_string(start) + "; size:27"));
            EXPECT_EQ(pos, start);
        }
        for (unsigned i = 0; i < size; ++i) ASSERT_EQ(buf[i], 0xAB);
        pos = 0;
        EXPECT_THROW(c.op(nullptr, size, pos), std::out_of_range);
        EXPECT_EQ(pos, 0u);
    }
}

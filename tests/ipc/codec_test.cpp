// Field codec, CRC routines and frame search.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvane_ipc/orvane_ipc.h"
#include "samples.h"

using orvane_ipc::Utilities;
using Bytes = std::vector<uint8_t>;
using ipc_test::frame_with_payload;

namespace {

const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

template <typename F>
std::string what_of(F&& f) {
    try {
        f();
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "<no exception>";
}

// Bit-at-a-time reference of a reflected CRC, straight from the polynomial.
uint32_t reflected_reference(const uint8_t* p, std::size_t n, uint32_t crc, uint32_t poly) {
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ poly : crc >> 1;
    }
    return crc;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(IpcCrc, CheckValuesOfAllSixRoutines) {
    uint16_t arc = 0, ccitt0 = 0, ccittF = 0xFFFF, kermit = 0, dnp = 0;
    uint32_t c32 = 0xFFFFFFFF;
    for (uint8_t b : kDigits) {
        arc = update_crc_16(arc, b);
        ccitt0 = update_crc_ccitt(ccitt0, b);
        ccittF = update_crc_ccitt(ccittF, b);
        kermit = update_crc_kermit(kermit, b);
        dnp = update_crc_dnp(dnp, b);
        c32 = update_crc_32(c32, b);
    }
    EXPECT_EQ(arc, 0xBB3D);
    EXPECT_EQ(Utilities::crc_value(kDigits, sizeof kDigits), 0xBB3D);
    EXPECT_EQ(ccitt0, 0x31C3);                  // initial 0
    EXPECT_EQ(ccittF, 0x29B1);                  // initial 0xFFFF
    EXPECT_EQ(kermit, 0x2189);
    EXPECT_EQ(static_cast<uint16_t>(~dnp), 0xEA82);   // with the usual final inversion
    EXPECT_EQ(~c32, 0xCBF43926u);               // with the usual final inversion

    // The table-less step: shift (with 0x8005 on a carry out of bit 15), then the two bytes.
    EXPECT_EQ(update_crc_sick(0x0000, 0x12, 0x34), 0x3412);
    EXPECT_EQ(update_crc_sick(0x8001, 0x01, 0x00), 0x8006);
    EXPECT_EQ(update_crc_sick(0x4000, 0x00, 0xFF), 0x7F00);
}

TEST(IpcCrc, TablesMatchBitwiseReferenceAndNullOrEmptyIsZero) {
    std::mt19937 rng(7);
    Bytes data(1000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint16_t arc = 0, kermit = 0, dnp = 0;
    uint32_t c32 = 0xFFFFFFFF;
    for (uint8_t b : data) {
        arc = update_crc_16(arc, b);
        kermit = update_crc_kermit(kermit, b);
        dnp = update_crc_dnp(dnp, b);
        c32 = update_crc_32(c32, b);
    }
    EXPECT_EQ(arc, reflected_reference(data.data(), data.size(), 0, 0xA001));
    EXPECT_EQ(Utilities::crc_value(data.data(), data.size()), arc);
    EXPECT_EQ(kermit, reflected_reference(data.data(), data.size(), 0, 0x8408));
    EXPECT_EQ(dnp, reflected_reference(data.data(), data.size(), 0, 0xA6BC));
    EXPECT_EQ(c32, reflected_reference(data.data(), data.size(), 0xFFFFFFFF, 0xEDB88320));

    EXPECT_EQ(Utilities::crc_value(nullptr, 5), 0);
    EXPECT_EQ(Utilities::crc_value(data.data(), 0), 0);
    const uint8_t id1[] = {0x00, 0x01};
    EXPECT_EQ(Utilities::crc_value(id1, 2), 0xC0C1);
}

TEST(IpcCrc, FirstUseFromManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::array<uint16_t, 8> results{};
    for (std::size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&results, t] { results[t] = Utilities::crc_value(kDigits, sizeof kDigits); });
    for (auto& th : threads) th.join();
    for (uint16_t r : results) EXPECT_EQ(r, 0xBB3D);
}

TEST(IpcUtilities, WritersPutBigEndianBytes) {
    Bytes buf(64, 0xEE);
    std::size_t pos = 0;
    Utilities::fill_header(buf.data(), buf.size(), 0x0102, pos);
    EXPECT_EQ(pos, 7u);
    Utilities::serial_char(0xAB, buf.data(), buf.size(), pos);
    Utilities::serial_u16(0x1234, buf.data(), buf.size(), pos);
    Utilities::serial_u32(0x01020304, buf.data(), buf.size(), pos);
    Utilities::serial_f32(1.0f, buf.data(), buf.size(), pos);
    Utilities::serial_f32(-2.5f, buf.data(), buf.size(), pos);
    EXPECT_EQ(pos, 22u);
    const Bytes expect = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x01, 0x02, 0xAB, 0x12, 0x34, 0x01,
                          0x02, 0x03, 0x04, 0x3F, 0x80, 0x00, 0x00, 0xC0, 0x20, 0x00, 0x00, 0xEE};
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 23), expect);

    // Readers give the same values back.
    pos = 7;
    EXPECT_EQ(Utilities::get_char_value(buf.data(), buf.size(), pos), 0xAB);
    EXPECT_EQ(Utilities::get_u16_value(buf.data(), buf.size(), pos), 0x1234);
    EXPECT_EQ(Utilities::get_u32_value(buf.data(), buf.size(), pos), 0x01020304u);
    EXPECT_EQ(Utilities::get_f32_value(buf.data(), buf.size(), pos), 1.0f);
    EXPECT_EQ(Utilities::get_f32_value(buf.data(), buf.size(), pos), -2.5f);

    // Three-argument header: magic only, but room for seven bytes is demanded.
    Bytes h(7, 0xEE);
    pos = 0;
    Utilities::fill_header(h.data(), h.size(), pos);
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(h, (Bytes{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0xEE, 0xEE}));

    Bytes two(2);
    Utilities::serial_u16(0xBEEF, two.data(), two.size());
    EXPECT_EQ(two, (Bytes{0xBE, 0xEF}));
}

TEST(IpcUtilities, BoundsFailuresNameOperationPositionAndSizeAndTouchNothing) {
    Bytes buf(14, 0xEE);
    const Bytes before = buf;
    uint8_t* b = buf.data();
    const uint8_t* cb = buf.data();
    std::size_t pos = 12;
    EXPECT_EQ(what_of([&] { Utilities::get_u32_value(cb, 14, pos); }), "Fail to get u32. Pos:12; size:14");
    EXPECT_EQ(what_of([&] { Utilities::get_f32_value(cb, 14, pos); }), "Fail to get f32. Pos:12; size:14");
    pos = 13;
    EXPECT_EQ(what_of([&] { Utilities::get_u16_value(cb, 14, pos); }), "Fail to get u16. Pos:13; size:14");
    EXPECT_EQ(what_of([&] { Utilities::serial_u16(1, b, 14, pos); }), "Fail to set u16. Pos:13; size:14");
    EXPECT_EQ(what_of([&] { Utilities::serial_u32(1, b, 14, pos); }), "Fail to set u32. Pos:13; size:14");
    EXPECT_EQ(what_of([&] { Utilities::serial_f32(1, b, 14, pos); }), "Fail to set f32. Pos:13; size:14");
    EXPECT_EQ(what_of([&] { Utilities::serial_measurement_name("x", b, 14, pos); }),
              "Fail to set string. Pos:13; size:14");
    pos = 8;
    EXPECT_EQ(what_of([&] { Utilities::fill_header(b, 14, 2, pos); }), "Fail to set header. Pos:8; size:14");
    EXPECT_EQ(what_of([&] { Utilities::fill_header(b, 14, pos); }), "Fail to set header. Pos:8; size:14");
    pos = 14;
    EXPECT_EQ(what_of([&] { Utilities::serial_char(1, b, 14, pos); }), "Fail to set char. Pos:14; size:14");
    EXPECT_EQ(what_of([&] { Utilities::get_char_value(cb, 14, pos); }), "Fail to get char. Pos:14; size:14");
    pos = 0;
    EXPECT_EQ(what_of([&] { Utilities::get_measurement_name(cb, 14, pos); }),
              "Fail to get string. Pos:0; size:14");
    EXPECT_EQ(what_of([&] { Utilities::serial_u16(1, b, 1); }), "Fail to set u16. size:1");
    EXPECT_EQ(buf, before);

    // A position far past the end and sizes near the top of the range never wrap into a pass.
    const std::size_t huge = std::numeric_limits<std::size_t>::max();
    pos = huge - 1;
    EXPECT_THROW(Utilities::serial_u32(1, b, huge, pos), std::out_of_range);
    EXPECT_THROW(Utilities::get_u32_value(cb, huge, pos), std::out_of_range);
    EXPECT_EQ(pos, huge - 1);
    pos = 100;
    EXPECT_THROW(Utilities::get_char_value(cb, 14, pos), std::out_of_range);
    EXPECT_EQ(buf, before);

    // A null buffer fails the same check instead of crashing.
    pos = 0;
    EXPECT_EQ(what_of([&] { Utilities::get_u16_value(nullptr, 100, pos); }), "Fail to get u16. Pos:0; size:100");
    EXPECT_EQ(what_of([&] { Utilities::serial_u32(1, nullptr, 100, pos); }), "Fail to set u32. Pos:0; size:100");
    EXPECT_EQ(what_of([&] { Utilities::fill_header(nullptr, 100, pos); }), "Fail to set header. Pos:0; size:100");
    EXPECT_EQ(what_of([&] { Utilities::serial_u16(1, nullptr, 100); }), "Fail to set u16. size:100");
    EXPECT_THROW(Utilities::get_measurement_name(nullptr, 100, pos), std::out_of_range);
    EXPECT_EQ(pos, 0u);
}

TEST(IpcUtilities, NameFieldsPadCutAndTrim) {
    Bytes buf(64, 0xEE);
    std::size_t pos = 0;
    Utilities::serial_measurement_name("pH", buf.data(), buf.size(), pos);
    EXPECT_EQ(pos, 32u);
    EXPECT_EQ(buf[0], 'p');
    EXPECT_EQ(buf[1], 'H');
    for (int i = 2; i < 32; ++i) EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[32], 0xEE);
    pos = 0;
    EXPECT_EQ(Utilities::get_measurement_name(buf.data(), buf.size(), pos), "pH");
    EXPECT_EQ(pos, 32u);

    // 40 characters: the first 32 go out, with no terminator, and come back whole.
    const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    pos = 0;
    Utilities::serial_measurement_name(forty, buf.data(), buf.size(), pos);
    EXPECT_EQ(buf[32], 0xEE);
    pos = 0;
    EXPECT_EQ(Utilities::get_measurement_name(buf.data(), buf.size(), pos), forty.substr(0, 32));

    // Trailing control bytes (0x00-0x1F, 0x7F) go; inner ones and bytes >= 0x80 stay.
    Bytes raw(32, 0);
    const uint8_t text[] = {'T', 0x00, 'x', 0xB0, 0xC3, 0xA9, 0x7F, 0x1F, '\n', 0x01};
    std::memcpy(raw.data(), text, sizeof text);
    pos = 0;
    EXPECT_EQ(Utilities::get_measurement_name(raw.data(), raw.size(), pos), std::string("T\0x\xB0\xC3\xA9", 6));
    std::fill(raw.begin(), raw.end(), 0xFF);
    pos = 0;
    EXPECT_EQ(Utilities::get_measurement_name(raw.data(), raw.size(), pos), std::string(32, '\xFF'));
    std::fill(raw.begin(), raw.end(), 0x00);
    pos = 0;
    EXPECT_EQ(Utilities::get_measurement_name(raw.data(), raw.size(), pos), "");

    // Raw text fields: like strncpy with 32, read back as exactly 32 characters.
    pos = 0;
    Utilities::serial_raw_text(std::string("ab\0cd", 5), buf.data(), buf.size(), pos);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 32), concat({{'a', 'b'}, Bytes(30, 0)}));
    pos = 0;
    EXPECT_EQ(Utilities::get_raw_text(buf.data(), buf.size(), pos), std::string("ab") + std::string(30, '\0'));
}

TEST(IpcFindFrame, LiteralFramesAndPositions) {
    const Bytes latest = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x01, 0xC0, 0xC1};
    EXPECT_EQ(Utilities::find_frame(latest.data(), latest.size()), 5);
    EXPECT_EQ(frame_with_payload({0x00, 0x01}), latest);

    // Null, too short, exactly the header.
    EXPECT_EQ(Utilities::find_frame(nullptr, 100), -1);
    EXPECT_EQ(Utilities::find_frame(latest.data(), 7), -1);
    EXPECT_EQ(Utilities::find_frame(latest.data(), 10), -1);  // CRC cut off

    // Garbage (including stray magic prefixes) before the frame.
    const Bytes garbage = {0x00, 0xFF, 0xFF, 0x5A, 0x13, 0xFF, 0xFF, 0xFF, 0x5A, 0xA5, 0x02, 0x42};
    EXPECT_EQ(Utilities::find_frame(concat({garbage, latest}).data(), garbage.size() + latest.size()),
              static_cast<std::ptrdiff_t>(garbage.size() + 5));

    // Two valid frames: the first wins; trailing bytes are ignored.
    const Bytes reload = frame_with_payload({0x00, 0x11});
    const Bytes two = concat({reload, latest, {0x99}});
    EXPECT_EQ(Utilities::find_frame(two.data(), two.size()), 5);

    // A bad CRC followed by a good frame.
    const Bytes bad = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x01, 0xC0, 0xC0};
    const Bytes bad_good = concat({bad, reload});
    EXPECT_EQ(Utilities::find_frame(bad_good.data(), bad_good.size()), static_cast<std::ptrdiff_t>(bad.size() + 5));

    // A truncated frame alone, and one whose declared length runs far past the data.
    const Bytes big = frame_with_payload(Bytes(300, 0x42));
    EXPECT_EQ(Utilities::find_frame(big.data(), big.size() - 1), -1);
    const Bytes max_len = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0xFF, 0xFF, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(Utilities::find_frame(max_len.data(), max_len.size()), -1);

    // A frame that starts inside a rejected one (the outer claims 20 bytes, its CRC is wrong).
    Bytes outer = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x14};
    outer.insert(outer.end(), reload.begin(), reload.end());
    outer.insert(outer.end(), 9, 0x00);
    outer.push_back(0x12);
    outer.push_back(0x34);
    EXPECT_EQ(Utilities::find_frame(outer.data(), outer.size()), 7 + 5);
    // ... and inside one that is cut short.
    const Bytes cut = concat({{0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x01, 0x00}, reload});
    EXPECT_EQ(Utilities::find_frame(cut.data(), cut.size()), 7 + 5);

    // An empty payload is a valid frame (CRC 0000).
    const Bytes empty = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Utilities::find_frame(empty.data(), empty.size()), 5);
}

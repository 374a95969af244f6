// The frame accumulator: whole frames out of a byte stream, whatever the read boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "orvane_ipc/crc.h"
#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/service.h"
#include "orvane_ipc/utilities.h"

using namespace orvane_ipc;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes frameOf(uint32_t t, int pairs) {
    DataCell c{t, {}};
    for (int i = 0; i < pairs; ++i) c.values.emplace_back("p" + std::to_string(i), i);
    return to_frame(response::LatestSensorData(c));
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(FrameAccumulator, YieldsEveryWholeFrameInOrder) {
    const Bytes a = frameOf(1, 3), b = frameOf(2, 400), noise = {0x00, 0xFF, 0xFF, 0x5A, 0x13};
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<size_t> cuts;  // read boundaries
        std::vector<Bytes> frames;
        size_t leftOver;
    };
    const Case cases[] = {
        {"one frame, one read", a, {}, {a}, 0},
        {"two frames, one read", cat({a, b}), {}, {a, b}, 0},
        {"split in the header", cat({a, b}), {3}, {a, b}, 0},
        {"split everywhere", cat({a, b}), {10, 11, 500, 10240}, {a, b}, 0},
        {"noise before and between", cat({noise, a, noise, b}), {7}, {a, b}, 0},
        {"partial tail kept", cat({a, Bytes(b.begin(), b.begin() + 100)}), {}, {a}, 100},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FrameAccumulator acc;
        std::vector<Bytes> got;
        size_t from = 0;
        std::vector<size_t> cuts = k.cuts;
        cuts.push_back(k.stream.size());
        for (size_t cut : cuts) {
            cut = std::min(cut, k.stream.size());
            acc.append(k.stream.data() + from, cut - from);
            from = cut;
            while (auto f = acc.next()) got.push_back(*f);
        }
        EXPECT_EQ(got, k.frames);
        EXPECT_EQ(acc.buffered(), k.leftOver);
    }
}

TEST(FrameAccumulator, BytesThatCanStartNoFrameAreDropped) {
    FrameAccumulator acc;
    const Bytes junk(3 * kMaxFrame, 0x11);
    acc.append(junk.data(), junk.size());
    EXPECT_FALSE(acc.next());
    EXPECT_LT(acc.buffered(), kMaxFrame);
    const Bytes a = frameOf(9, 1);
    acc.append(a.data(), a.size());
    auto f = acc.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, a);
}

// Headers declaring long frames with bad CRCs cost one CRC check each, whatever the read boundaries,
// and no byte goes through the CRC step twice however many of them cover it.
TEST(FrameAccumulator, EachCandidateIsCheckedOnceAndEachByteFedOnce) {
    constexpr std::size_t headers = 2000;
    Bytes stream;
    for (std::size_t k = 0; k < headers; ++k) stream.insert(stream.end(), {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x17, 0x70});  // L = 6000
    const Bytes request = to_frame(request::LatestSensorData{});
    stream.insert(stream.end(), request.begin(), request.end());
    std::size_t whole = 0;  // headers whose declared 6009 bytes all arrive
    for (std::size_t k = 0; k < headers; ++k) whole += 7 * k + 6009 <= stream.size();

    struct Case { std::size_t maxFrame, read, checks; };
    for (const Case& k : {Case{kMaxFrame, 10240, whole + 1}, Case{kMaxFrame, 1, whole + 1}, Case{1024, 10240, 1}}) {
        SCOPED_TRACE(testing::Message() << "max " << k.maxFrame << ", reads of " << k.read);
        FrameAccumulator acc(k.maxFrame);
        std::vector<Bytes> got;
        for (std::size_t at = 0; at < stream.size(); at += k.read) {
            acc.append(stream.data() + at, std::min(k.read, stream.size() - at));
            while (auto f = acc.next()) got.push_back(*f);
        }
        EXPECT_EQ(got, std::vector<Bytes>{request});
        EXPECT_EQ(acc.crc_checks(), k.checks);
        EXPECT_EQ(acc.crc_bytes(), stream.size());
        EXPECT_EQ(acc.buffered(), 0u);
    }
}

// A reader counts only the CRC bytes of its own calls: CRCs that the same thread computes
// between them, through any function of the library or another reader, are not its own.
TEST(FrameAccumulator, CrcBytesCountOnlyTheReadersOwnWork) {
    const Bytes a = frameOf(1, 3), b = frameOf(2, 40), stream = cat({a, b});
    FrameAccumulator other;
    uint16_t sink = 0;
    struct Case { const char* name; std::function<void()> between; };
    const Case cases[] = {
        {"encoding a frame", [] { frameOf(3, 100); }},
        {"crc_value", [&] { Utilities::crc_value(b.data(), b.size()); }},
        {"find_frame", [&] { Utilities::find_frame(b.data(), b.size()); }},
        {"update_crc_16", [&] { for (uint8_t x : b) sink = update_crc_16(sink, x); }},
        {"another reader", [&] { other.append(b.data(), b.size()); while (other.next()) {} }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FrameAccumulator acc;
        k.between();
        std::vector<Bytes> got;
        for (std::size_t at = 0; at < stream.size(); at += 100) {
            acc.append(stream.data() + at, std::min<std::size_t>(100, stream.size() - at));
            k.between();
            while (auto f = acc.next()) {
                got.push_back(*f);
                k.between();
            }
        }
        EXPECT_EQ(got, (std::vector<Bytes>{a, b}));
        EXPECT_EQ(acc.crc_bytes(), stream.size());
    }
}

// The same frames as find_frame over everything held after every read, on random streams.
TEST(FrameAccumulator, AgreesWithAFullSearch) {
    std::mt19937 rng(7);
    const Bytes frames[] = {frameOf(1, 0), frameOf(2, 2), frameOf(3, 30)};
    for (int round = 0; round < 300; ++round) {
        Bytes stream;
        for (int part = 0; part < 12; ++part) {
            const Bytes& f = frames[rng() % 3];
            switch (rng() % 4) {
                case 0: stream.insert(stream.end(), f.begin(), f.end()); break;
                case 1: stream.insert(stream.end(), f.begin(), f.begin() + static_cast<std::ptrdiff_t>(rng() % f.size())); break;
                case 2: stream.insert(stream.end(), {0xFF, 0xFF, 0x5A, 0xA5, 0x01, uint8_t(rng() % 8), uint8_t(rng())}); break;
                default: for (unsigned k = rng() % 20; k > 0; --k) stream.push_back(static_cast<uint8_t>(rng() % 3 ? rng() : 0xFF));
            }
        }
        FrameAccumulator acc;
        Bytes held;  // the full-search reader's buffer
        std::vector<Bytes> got, want;
        for (std::size_t at = 0, n; at < stream.size(); at += n) {
            n = std::min<std::size_t>(1 + rng() % 400, stream.size() - at);
            acc.append(stream.data() + at, n);
            while (auto f = acc.next()) got.push_back(*f);
            held.insert(held.end(), stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + n));
            for (std::ptrdiff_t len; (len = Utilities::find_frame(held.data(), held.size())) >= 0;) {
                const auto end = static_cast<std::size_t>(len) + 2 + ((std::size_t{held[len]} << 8) | held[len + 1]) + 2;
                want.emplace_back(held.begin() + (len - 5), held.begin() + static_cast<std::ptrdiff_t>(end));
                held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(end));
            }
        }
        ASSERT_EQ(got, want) << "round " << round;
    }
}

}  // namespace

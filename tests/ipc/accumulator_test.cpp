// The frame accumulator: whole frames out of a byte stream, whatever the read boundaries.
#include <gtest/gtest.h>

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

}  // namespace

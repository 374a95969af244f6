// Fuzz target: frame search, both analysers and every class's payload reader on arbitrary
// bytes. Anything decoded must package again and decode to the same frame.
//
// Build with clang: -fsanitize=fuzzer,address,undefined (see tests/ipc/CMakeLists.txt).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <variant>
#include <vector>

#include "orvane_ipc/orvane_ipc.h"

using namespace orvane_ipc;

namespace {

#define FUZZ_CHECK(cond)             \
    do {                             \
        if (!(cond)) __builtin_trap(); \
    } while (0)

std::vector<uint8_t>& scratch(int k) {
    static std::vector<uint8_t> bufs[2] = {std::vector<uint8_t>(kMaxFrame), std::vector<uint8_t>(kMaxFrame)};
    return bufs[k];
}

// The first valid frame must satisfy everything find_frame promises.
void check_find(const uint8_t* data, std::size_t size) {
    const std::ptrdiff_t at = Utilities::find_frame(data, size);
    if (at < 0) return;
    const auto i = static_cast<std::size_t>(at);
    FUZZ_CHECK(i >= 5 && i + 4 <= size);
    FUZZ_CHECK(std::memcmp(data + i - 5, kFrameMagic, 5) == 0);
    const std::size_t len = (std::size_t{data[i]} << 8) | data[i + 1];
    FUZZ_CHECK(i + 2 + len + 2 <= size);
    const uint16_t crc = Utilities::crc_value(data + i + 2, len);
    FUZZ_CHECK(data[i + 2 + len] == (crc >> 8) && data[i + 3 + len] == (crc & 0xFF));
}

// package -> analyse -> package gives the same bytes (one decode normalises padding).
template <typename Variant, typename Analyse>
void check_trip(const Variant& v, Analyse analyse) {
    auto& b1 = scratch(0);
    const std::size_t n1 = command_of(v).package(b1.data(), b1.size());
    if (n1 == 0) return;  // the response SystemReboot, or a Modbus frame too long to send
    const auto again = analyse(b1.data(), n1);
    FUZZ_CHECK(again.has_value() && again->index() == v.index());
    auto& b2 = scratch(1);
    const std::size_t n2 = command_of(*again).package(b2.data(), b2.size());
    FUZZ_CHECK(n2 == n1 && std::memcmp(b1.data(), b2.data(), n1) == 0);
}

template <typename Variant, typename Analyse>
void analyse_and_trip(const uint8_t* data, std::size_t size, Analyse analyse) {
    std::optional<Variant> v;
    try {
        v = analyse(data, size);
    } catch (const std::out_of_range&) {
        return;  // the documented failure of a payload too short for its fields
    }
    if (v) check_trip(*v, analyse);
}

// Every class's reader on the raw bytes as a payload.
template <typename Variant, std::size_t... I>
void unpackage_all(const uint8_t* data, std::size_t size, std::index_sequence<I...>) {
    auto one = [&](auto tag) {
        using T = std::variant_alternative_t<decltype(tag)::value, Variant>;
        T t;
        try {
            const std::size_t pos = t.unpackage(data, size);
            FUZZ_CHECK(pos <= size);
        } catch (const std::out_of_range&) {
        }
    };
    (one(std::integral_constant<std::size_t, I>{}), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto req = [](const void* d, std::size_t n) { return Service::request_analyze(d, n); };
    auto rsp = [](const void* d, std::size_t n) { return Service::response_analyze(d, n); };

    check_find(data, size);
    analyse_and_trip<RequestVariant>(data, size, req);
    analyse_and_trip<ResponseVariant>(data, size, rsp);

    // The same bytes wrapped as the payload of a valid frame, so that the command readers are
    // reached without the fuzzer having to find a CRC.
    if (size <= kMaxPayload) {
        std::vector<uint8_t> frame(size + kFrameOverhead);
        std::size_t pos = 0;
        Utilities::fill_header(frame.data(), frame.size(), static_cast<uint16_t>(size), pos);
        if (size > 0) std::memcpy(frame.data() + pos, data, size);
        pos += size;
        Utilities::serial_u16(Utilities::crc_value(data, size), frame.data(), frame.size(), pos);
        FUZZ_CHECK(Utilities::find_frame(frame.data(), frame.size()) >= 0);
        analyse_and_trip<RequestVariant>(frame.data(), frame.size(), req);
        analyse_and_trip<ResponseVariant>(frame.data(), frame.size(), rsp);
    }

    unpackage_all<RequestVariant>(data, size, std::make_index_sequence<std::variant_size_v<RequestVariant>>{});
    unpackage_all<ResponseVariant>(data, size, std::make_index_sequence<std::variant_size_v<ResponseVariant>>{});
    return 0;
}

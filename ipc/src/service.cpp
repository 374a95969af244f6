#include "orvane_ipc/service.h"

#include <utility>

#include "orvane_ipc/utilities.h"

namespace orvane_ipc {

namespace {

// Decodes the payload as the variant alternative whose command id is `id`; empty for an
// unknown id. A short payload throws std::out_of_range out of unpackage.
template <typename Variant, std::size_t... I>
std::optional<Variant> decode_as(uint16_t id, const uint8_t* payload, std::size_t length,
                                 std::index_sequence<I...>) {
    std::optional<Variant> out;
    auto try_one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        using T = std::variant_alternative_t<K, Variant>;
        if (id != T::kCommandId) return false;
        T command;
        command.unpackage(payload, length);
        out.emplace(std::in_place_index<K>, std::move(command));
        return true;
    };
    (try_one(std::integral_constant<std::size_t, I>{}) || ...);
    return out;
}

template <typename Variant>
std::optional<Variant> analyze(const void* data, std::size_t n) {
    const std::ptrdiff_t at = Utilities::find_frame(data, n);
    if (at < 0) return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::size_t pos = static_cast<std::size_t>(at);
    const uint16_t length = Utilities::get_u16_value(bytes, n, pos);
    // A payload of fewer than 2 bytes holds no command id (the bytes after it are the CRC).
    if (length < 2) return std::nullopt;
    const uint8_t* payload = bytes + pos;
    std::size_t id_pos = 0;
    const uint16_t id = Utilities::get_u16_value(payload, length, id_pos);
    return decode_as<Variant>(id, payload, length, std::make_index_sequence<std::variant_size_v<Variant>>{});
}

template <typename Command>
std::vector<uint8_t> frame_of(const Command& command) {
    std::vector<uint8_t> buf(kMaxFrame);
    buf.resize(command.package(buf.data(), buf.size()));
    buf.shrink_to_fit();
    return buf;
}

}  // namespace

std::vector<uint8_t> to_frame(const request::CommandBase& command) { return frame_of(command); }
std::vector<uint8_t> to_frame(const response::CommandBase& command) { return frame_of(command); }

std::optional<RequestVariant> Service::request_analyze(const void* data, std::size_t n) {
    return analyze<RequestVariant>(data, n);
}

std::optional<ResponseVariant> Service::response_analyze(const void* data, std::size_t n) {
    return analyze<ResponseVariant>(data, n);
}

}  // namespace orvane_ipc

#include "webserver/rest_api.h"

#include <fmt/format.h>

void RestAPI::handlePreGet(std::string_view /*target*/) {}

bool RestAPI::handleGet(std::string_view /*target*/, const std::string& /*body*/, std::string_view /*token*/,
                        fss::stringHuge& out) {
    out.clear();
    return false;
}

void RestAPI::handlePut(std::string_view /*target*/, const std::string& /*body*/, std::string_view /*token*/,
                        fss::stringHuge& out) {
    _response(out, RESPONSE_CODE::NOT_FOUND, "");
}

void RestAPI::handlePostPut(std::string_view /*target*/) {}

void RestAPI::_response(fss::stringHuge& out, RESPONSE_CODE code, std::string_view msg) {
    if (msg.empty()) {
        if (code == RESPONSE_CODE::SUCCESS) msg = "OK";
        if (code == RESPONSE_CODE::NOT_FOUND) msg = "Not Found";
    }
    constexpr size_t kMax = 1048572;
    if (msg.size() > kMax) msg = msg.substr(0, kMax);
    std::string text = fmt::format("{{\n  \"code\":{},\n  \"msg\":\"{}\"}}", static_cast<int>(code), msg);
    if (text.size() > kMax) text.resize(kMax);
    out.assignBytes(text.data(), text.size());
}

RestAPI& globalRestAPI() {
    static RestAPI api;
    return api;
}

#pragma once
// A growing text that the gateway's JSON writer primitives print into. Each primitive is called
// with the room left; when it reports that the text did not fit, the buffer grows and the call
// is repeated, so callers never deal with rooms.
#include <cstring>
#include <string>
#include <string_view>

#include "recipe/json_codec.h"

class JsonTextOut {
public:
    JsonTextOut() { buf_.resize(4096); }

    // f(char* dst, int room) -> characters written, or -1 when they did not fit.
    template <class F>
    void prim(F&& f) {
        for (;;) {
            const size_t room = buf_.size() - len_;
            const int n = f(buf_.data() + len_, static_cast<int>(room));
            if (n >= 0 && static_cast<size_t>(n) < room) {
                len_ += static_cast<size_t>(n);
                return;
            }
            buf_.resize(buf_.size() * 2);
        }
    }
    void raw(std::string_view s) {
        while (buf_.size() - len_ < s.size() + 1) buf_.resize(buf_.size() * 2);
        if (!s.empty()) std::memcpy(buf_.data() + len_, s.data(), s.size());
        len_ += s.size();
    }
    // Member at the current indentation level, with or without a key.
    template <class T>
    void member(const char* name, const T& value) {
        prim([&](char* dst, int room) { return writeJsonP(value, dst, room, name); });
    }
    void real(const char* name, float value) {
        prim([&](char* dst, int room) { return writeJsonP(dst, room, name, value); });
    }
    void indent() { raw(std::string(2 * static_cast<size_t>(gIndentLevelForWriteJsonP > 0 ? gIndentLevelForWriteJsonP : 0), ' ')); }
    size_t size() const { return len_; }
    std::string take() {
        buf_.resize(len_);
        len_ = 0;
        return std::move(buf_);
    }

private:
    std::string buf_;
    size_t len_ = 0;
};

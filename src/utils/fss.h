#pragma once
// Fixed-capacity, never-allocating text: N characters plus a terminating zero, and a length.
// Longer text is cut at N without report. All-zero bytes are a valid empty value, so records
// holding these strings stay plain data (byte copy, zero fill).
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace fss {

template <typename CharT, uint32_t N, typename Traits = std::char_traits<CharT>>
class basic_str {
public:
    static constexpr uint32_t capacity = N;

    basic_str() noexcept { std::memset(data_, 0, sizeof data_); }
    basic_str(const CharT* s) noexcept { assign(s); }  // NOLINT: implicit by design
    basic_str(const std::basic_string<CharT, Traits>& s) noexcept { assign(s); }
    basic_str(const basic_str& o) noexcept = default;
    basic_str& operator=(const basic_str& o) noexcept = default;

    basic_str& operator=(const CharT* s) noexcept {
        assign(s);
        return *this;
    }
    basic_str& operator=(const std::basic_string<CharT, Traits>& s) noexcept {
        assign(s);
        return *this;
    }

    // Zero-terminated source: cut at N.
    void assign(const CharT* s) noexcept {
        std::memset(data_, 0, sizeof data_);
        if (!s) {
            len_ = 0;
            return;
        }
        uint32_t n = 0;
        while (n < N && s[n] != CharT{}) ++n;
        std::memcpy(data_, s, n * sizeof(CharT));
        len_ = n;
    }
    // Standard string: its text ends at the first zero character; cut at N.
    void assign(const std::basic_string<CharT, Traits>& s) noexcept {
        size_t n = Traits::length(s.c_str());
        if (n > s.size()) n = s.size();
        assignBytes(s.data(), n);
    }
    // Exactly n characters (an embedded zero is kept in the array but ends the C text).
    void assignBytes(const CharT* s, size_t n) noexcept {
        std::memset(data_, 0, sizeof data_);
        if (n > N) n = N;
        if (n) std::memcpy(data_, s, n * sizeof(CharT));
        len_ = static_cast<uint32_t>(n);
    }

    const CharT* c_str() const noexcept { return data_; }
    const CharT* data() const noexcept { return data_; }
    CharT* data() noexcept { return data_; }
    uint32_t length() const noexcept { return len_; }
    uint32_t size() const noexcept { return len_; }
    bool empty() const noexcept { return data_[0] == CharT{}; }
    // Sets the length word directly (the document writer fills data() by index first).
    void setLength(uint32_t n) noexcept {
        if (n > N) n = N;
        len_ = n;
        data_[n] = CharT{};
    }
    void clear() noexcept { std::memset(data_, 0, sizeof data_); len_ = 0; }

    std::basic_string_view<CharT, Traits> view() const noexcept {
        return std::basic_string_view<CharT, Traits>(data_, Traits::length(data_));
    }
    std::basic_string<CharT, Traits> str() const { return std::basic_string<CharT, Traits>(view()); }

    CharT& operator[](size_t i) noexcept { return data_[i]; }
    const CharT& operator[](size_t i) const noexcept { return data_[i]; }

    // Comparison on the characters (up to the first zero), never on the length word.
    friend bool operator==(const basic_str& a, const basic_str& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const basic_str& a, const CharT* b) noexcept {
        return b ? a.view() == std::basic_string_view<CharT, Traits>(b) : a.empty();
    }
    friend bool operator==(const basic_str& a, std::basic_string_view<CharT, Traits> b) noexcept {
        return a.view() == b;
    }

private:
    CharT data_[N + 1];
    uint32_t len_ = 0;
};

using str8 = basic_str<char, 8>;
using str16 = basic_str<char, 16>;
using str32 = basic_str<char, 32>;
using str64 = basic_str<char, 64>;
using str128 = basic_str<char, 128>;
using stringHuge = basic_str<char, 1048576>;

}  // namespace fss

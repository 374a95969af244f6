#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "utils/fss.h"

namespace {

template <uint32_t N>
bool tailIsZero(const fss::basic_str<char, N>& s) {
    for (uint32_t i = s.length(); i <= N; ++i)
        if (s.c_str()[i] != '\0') return false;
    return true;
}

}  // namespace

TEST(FixedString, LayoutIsCharactersThenLengthAndZeroFillIsEmpty) {
    static_assert(std::is_trivially_copyable_v<fss::str16>);
    EXPECT_GE(sizeof(fss::str16), 17u + 4u);
    alignas(fss::str32) unsigned char raw[sizeof(fss::str32)];
    std::memset(raw, 0, sizeof raw);
    fss::str32 zeroed;
    std::memcpy(&zeroed, raw, sizeof raw);
    EXPECT_TRUE(zeroed.empty());
    EXPECT_EQ(zeroed.length(), 0u);
    EXPECT_STREQ(zeroed.c_str(), "");
    // A default-built value holds only zero characters and a zero length.
    fss::str32 def;
    EXPECT_EQ(def.length(), 0u);
    EXPECT_TRUE(tailIsZero(def));
}

TEST(FixedString, LongerTextIsCutSilentlyAtTheCapacity) {
    fss::str16 s("ABCDEFGHIJKLMNOPQ");  // 17 characters
    EXPECT_EQ(s.length(), 16u);
    EXPECT_STREQ(s.c_str(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(s.c_str()[16], '\0');
    fss::str8 exact("12345678");
    EXPECT_EQ(exact.length(), 8u);
    EXPECT_STREQ(exact.c_str(), "12345678");
}

TEST(FixedString, ShorterAssignmentLeavesNoTraceOfTheLongerText) {
    fss::str32 s("a rather long probe name here");
    s = "pH";
    EXPECT_EQ(s.length(), 2u);
    EXPECT_TRUE(tailIsZero(s));
    s = "";
    EXPECT_EQ(s.length(), 0u);
    EXPECT_TRUE(tailIsZero(s));
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.empty());
}

TEST(FixedString, StandardStringEndsAtItsFirstZeroCharacter) {
    std::string withZero("ab\0cd", 5);
    fss::str16 s(withZero);
    EXPECT_EQ(s.length(), 2u);
    EXPECT_STREQ(s.c_str(), "ab");
    EXPECT_TRUE(tailIsZero(s));
    std::string longText(40, 'x');
    s = longText;
    EXPECT_EQ(s.length(), 16u);
}

TEST(FixedString, ComparisonUsesTheCharactersNotTheLengthWord) {
    fss::str16 a("DCBA"), b("DCBA"), c("ABCD");
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    EXPECT_TRUE(a == "DCBA");
    EXPECT_TRUE(a == std::string_view("DCBA"));
    // The document writer fills by index and sets the length itself.
    auto huge = std::make_unique<fss::stringHuge>();
    const char* doc = "{\"a\": 1}";
    std::memcpy(huge->data(), doc, std::strlen(doc));
    huge->setLength(static_cast<uint32_t>(std::strlen(doc)));
    EXPECT_EQ(huge->view(), doc);
    EXPECT_EQ(huge->length(), std::strlen(doc));
    huge->setLength(fss::stringHuge::capacity + 10);  // clamped to the capacity
    EXPECT_EQ(huge->length(), fss::stringHuge::capacity);
}

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "utils/unit_utils.h"

namespace {

struct Expected {
    const char* aliases[3];
    double factor;
    double offset;
    int32_t code;
    int kind;
    int metric;
};

// The unit table as documented, row by row.
const Expected kTable[] = {
    {{"", "", ""}, 1, 0, 0, 0, 0},
    {{"m", "", ""}, 1, 0, 5, 4, 1},
    {{"cm", "", ""}, 0.01, 0, 1029, 4, 1},
    {{"mm", "", ""}, 0.001, 0, 2053, 4, 1},
    {{"km", "", ""}, 1000, 0, 3077, 4, 1},
    {{"inch", "in", ""}, 0.0254, 0, 4100, 4, 0},
    {{"ft", "", ""}, 0.3048, 0, 5124, 4, 0},
    {{"yd", "", ""}, 0.9144, 0, 6148, 4, 0},
    {{"mi", "", ""}, 1609.344, 0, 7172, 4, 0},
    {{"m2", "m\xc2\xb2", ""}, 1, 0, 9, 8, 1},
    {{"cm2", "cm\xc2\xb2", ""}, 0.0001, 0, 1033, 8, 1},
    {{"mm2", "mm\xc2\xb2", ""}, 0.000001, 0, 2057, 8, 1},
    {{"km2", "km\xc2\xb2", ""}, 1000000, 0, 3081, 8, 1},
    {{"in2", "in\xc2\xb2", ""}, 0.00064516, 0, 4104, 8, 0},
    {{"ft2", "ft\xc2\xb2", ""}, 0.092903, 0, 5128, 8, 0},
    {{"yd2", "yd\xc2\xb2", ""}, 0.836127, 0, 6152, 8, 0},
    {{"mi2", "mi\xc2\xb2", ""}, 2589988.110336, 0, 7176, 8, 0},
    {{"m3", "m\xc2\xb3", ""}, 1, 0, 13, 12, 1},
    {{"cm3", "cm\xc2\xb3", ""}, 0.000001, 0, 1037, 12, 1},
    {{"mm3", "mm\xc2\xb3", ""}, 0.000000001, 0, 2061, 12, 1},
    {{"L", "liter", ""}, 0.001, 0, 3085, 12, 1},
    {{"mL", "ml", ""}, 0.000001, 0, 4109, 12, 1},
    {{"ft3", "ft\xc2\xb3", ""}, 0.0283168, 0, 5132, 12, 0},
    {{"in3", "in\xc2\xb3", ""}, 0.0000163871, 0, 6156, 12, 0},
    {{"galUS", "gallon", ""}, 0.00378541, 0, 7180, 12, 0},
    {{"galUK", "", ""}, 0.00454609, 0, 9228, 12, 0},
    {{"kg", "", ""}, 1, 0, 17, 16, 1},
    {{"g", "", ""}, 0.001, 0, 1041, 16, 1},
    {{"mg", "", ""}, 0.000001, 0, 2065, 16, 1},
    {{"MT", "", ""}, 1000, 0, 3089, 16, 1},
    {{"lb", "", ""}, 0.453592, 0, 4112, 16, 0},
    {{"oz", "", ""}, 0.0283495, 0, 5136, 16, 0},
    {{"ton", "", ""}, 907.185, 0, 6160, 16, 0},
    {{"cwt", "", ""}, 45.3592, 0, 7184, 16, 0},
    {{"\xe2\x84\x83", "\xc2\xb0" "C", "Deg C"}, 1, 0, 25, 24, 1},
    {{"\xe2\x84\x89", "\xc2\xb0" "F", "Deg F"}, 0.555556, -17.7778, 1048, 24, 0},
    {{"K", "", ""}, 1, -273.15, 2073, 24, 1},
    {{"V", "", ""}, 1, 0, 33, 32, 1},
    {{"mV", "", ""}, 0.001, 0, 1057, 32, 1},
    {{"s", "second", ""}, 1, 0, 21, 20, 1},
    {{"min", "minute", ""}, 60, 0, 1045, 20, 1},
    {{"hr", "hour", ""}, 3600, 0, 2069, 20, 1},
    {{"day", "", ""}, 86400, 0, 3093, 20, 1},
    {{"wk", "week", ""}, 604800, 0, 4117, 20, 1},
    {{"yr", "year", ""}, 31536000, 0, 5141, 20, 1},
    {{"m3/s", "m\xc2\xb3/s", ""}, 1, 0, 49, 48, 1},
    {{"m3/hour", "m\xc2\xb3/hour", ""}, 1.0 / 3600, 0, 1073, 48, 1},
    {{"galUS/s", "gallon/s", ""}, 0.00378541, 0, 2096, 48, 0},
    {{"galUS/hour", "gallon/hour", ""}, 0.00378541 / 3600, 0, 3120, 48, 0},
    {{"uS/cm", "\xce\xbcS/cm", ""}, 1, 0, 29, 28, 1},
    {{"S/cm", "S/cm", ""}, 1000000, 0, 1053, 28, 1},
    {{"mpy", "", ""}, 1, 0, 36, 36, 0},
    {{"mmy", "", ""}, 1 / 0.0254, 0, 1061, 36, 1},
};
constexpr size_t kRows = sizeof kTable / sizeof kTable[0];

UnitConvResult conv16(float v, const char* from, const char* to) {
    return UnitUtils::convert(v, fss::str16(from), fss::str16(to));
}

TEST(Units, EveryRowOfTheTable) {
    static_assert(kRows == UnitUtils::UNIT_COUNT);
    const UnitInfo* table = UnitUtils::table();
    auto names = UnitUtils::getUnitNames();
    ASSERT_EQ(names.size(), kRows);
    EXPECT_TRUE(names[0].empty());
    for (size_t i = 0; i < kRows; ++i) {
        const Expected& e = kTable[i];
        SCOPED_TRACE("row " + std::to_string(i));
        for (int a = 0; a < 3; ++a) EXPECT_EQ(table[i].aliases[a], e.aliases[a]);
        EXPECT_EQ(table[i].factor, e.factor);
        EXPECT_EQ(table[i].offset, e.offset);
        EXPECT_EQ(table[i].code, e.code);
        EXPECT_EQ(table[i].code & UnitUtils::KIND_MASK, e.kind);
        EXPECT_EQ(table[i].code & UnitUtils::METRIC_FLAG, e.metric);
        EXPECT_EQ(table[i].code & 2, 0);
        EXPECT_EQ(names[i], e.aliases[0]);
        EXPECT_STRNE(unitKindName(static_cast<UnitKind>(e.kind)), "unknown");
        // Every alias finds its own row (row 50's second alias repeats its first).
        for (const char* alias : e.aliases) {
            if (!*alias && i != 0) continue;
            UnitInfo found = UnitUtils::getUnitByName(alias);
            EXPECT_EQ(found.code, e.code) << alias;
            EXPECT_EQ(found.aliases[0], e.aliases[0]) << alias;
        }
    }
    // Codes are unique, so a code identifies its row.
    for (size_t i = 0; i < kRows; ++i)
        for (size_t j = i + 1; j < kRows; ++j) EXPECT_NE(kTable[i].code, kTable[j].code);
}

TEST(Units, EveryConversionPair) {
    // All 53 x 53 pairs through the first alias: same kind converts with the documented
    // factors and offsets, different kinds give the value back unchanged.
    const float inputs[] = {0.0f, 1.0f, -3.5f, 1234.5f};
    for (size_t i = 0; i < kRows; ++i) {
        for (size_t j = 0; j < kRows; ++j) {
            for (float v : inputs) {
                UnitConvResult r = conv16(v, kTable[i].aliases[0], kTable[j].aliases[0]);
                if (kTable[i].kind != kTable[j].kind) {
                    EXPECT_FALSE(r.success) << i << "->" << j;
                    EXPECT_EQ(r.value, v);
                } else {
                    float expected = static_cast<float>(
                        (kTable[i].offset + static_cast<double>(v) * kTable[i].factor - kTable[j].offset) /
                        kTable[j].factor);
                    EXPECT_TRUE(r.success) << i << "->" << j;
                    EXPECT_EQ(r.value, expected) << i << "->" << j << " of " << v;
                }
            }
        }
    }
}

TEST(Units, DocumentedConversions) {
    auto r = UnitUtils::convert(100, "cm", "m");
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 1.0f);
    r = UnitUtils::convert(1, "FT", "in");
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 12.0f);
    r = UnitUtils::convert(32, "\xc2\xb0" "F", "\xe2\x84\x83");
    EXPECT_TRUE(r.success);
    EXPECT_NEAR(r.value, -0.000008, 1e-6);
    EXPECT_LT(r.value, 0.0f);
    r = UnitUtils::convert(0, "\xe2\x84\x83", "K");
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 273.15f);
    r = UnitUtils::convert(5, "m", "kg");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.value, 5.0f);
    r = UnitUtils::convert(3600, "m3/hour", "m3/s");
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 1.0f);
    r = UnitUtils::convert(212, "Deg F", "deg c");
    EXPECT_TRUE(r.success);
    EXPECT_NEAR(r.value, 100.0, 1e-3);
}

TEST(Units, UnknownNames) {
    // Two unknown names both find row 0: converted with factor 1.
    auto r = UnitUtils::convert(42, "furlong", "fathom");
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.value, 42.0f);
    // Unknown against known: not converted.
    r = UnitUtils::convert(42, "furlong", "m");
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.value, 42.0f);
    r = UnitUtils::convert(42, "m", "");
    EXPECT_FALSE(r.success);
    r = UnitUtils::convert(42, "", "");
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.value, 42.0f);
}

TEST(Units, NarrowNamesAreCutToEightCharacters) {
    // "gallon/hour" as an 8-character name is "gallon/h": no row.
    fss::str8 from("gallon/hour");
    EXPECT_EQ(from.view(), "gallon/h");
    auto r = UnitUtils::convert(1.0f, from, fss::str8("galUS/s"));
    EXPECT_FALSE(r.success);
    r = UnitUtils::convert(1.0f, from, fss::str16("gallon/hour"));
    EXPECT_FALSE(r.success);
    r = UnitUtils::convert(1.0f, from, fss::str8("furlong"));  // both row 0
    EXPECT_TRUE(r.success);
    // A short name through the narrow overloads converts as the wide one.
    r = UnitUtils::convert(7200.0f, fss::str8("s"), fss::str16("hour"));
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 2.0f);
    r = UnitUtils::convert(2.0f, fss::str8("galUS/s"), fss::str8("m3/s"));
    EXPECT_TRUE(r.success);
    EXPECT_FLOAT_EQ(r.value, 0.00757082f);
}

TEST(Units, CaseInsensitiveOnAsciiOnly) {
    EXPECT_EQ(UnitUtils::getUnitByName("DEG C").code, 25);
    EXPECT_EQ(UnitUtils::getUnitByName("\xce\xbcs/cm").code, 29);   // Greek mu, small s
    EXPECT_EQ(UnitUtils::getUnitByName("\xc2\xb5S/cm").code, 0);    // micro sign: no row
    EXPECT_EQ(UnitUtils::getUnitByName("\xc2\xb5S/cm").aliases[0], "");
    EXPECT_EQ(UnitUtils::getUnitByName("ML").code, 4109);
    EXPECT_EQ(UnitUtils::getUnitByName("mt").code, 3089);
    EXPECT_EQ(UnitUtils::getUnitByName("").code, 0);
    EXPECT_EQ(UnitUtils::getUnitByName("m ").code, 0);
}

}  // namespace

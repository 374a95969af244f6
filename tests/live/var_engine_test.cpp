// Register table: registration rules, lookups, byte orders, texts, range limits and locking.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "live/live_data.h"
#include "live/var_engine.h"

namespace {

using Regs = std::vector<uint16_t>;

std::unique_ptr<VarEngine> makeEngine() { return std::make_unique<VarEngine>(); }

// Modbus request bytes (high byte first) for host-order register values.
std::vector<uint8_t> requestBytes(const Regs& regs) {
    std::vector<uint8_t> out;
    for (uint16_t r : regs) {
        out.push_back(static_cast<uint8_t>(r >> 8));
        out.push_back(static_cast<uint8_t>(r & 0xff));
    }
    return out;
}

Regs read(VarEngine& v, int reg, int n, EndianessType order, bool* ok = nullptr) {
    Regs buf(static_cast<size_t>(n) + 4, 0xEEEE);  // guard words after the requested range
    bool r = v.getRegVal(reg, buf.data(), n, order);
    if (ok) *ok = r;
    for (size_t i = static_cast<size_t>(n); i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEEEE) << "wrote past n at " << i;
    buf.resize(static_cast<size_t>(n));
    return buf;
}

TEST(VarEngineNames, EveryEnumValueHasAName) {
    for (int i = 0; i <= 46; ++i) EXPECT_FALSE(regValTypeName(static_cast<RegValType>(i)).empty()) << i;
    EXPECT_EQ(regValTypeName(RegValType::PROBE_4mA), "PROBE_4mA");
    EXPECT_EQ(regValTypeName(RegValType::WIFI_VAL), "WIFI_VAL");
    EXPECT_TRUE(regValTypeName(static_cast<RegValType>(47)).empty());
    EXPECT_TRUE(regValTypeName(static_cast<RegValType>(-1)).empty());
    for (int i = 0; i <= 4; ++i) EXPECT_FALSE(endianessName(static_cast<EndianessType>(i)).empty()) << i;
    for (int i = 0; i <= 2; ++i) EXPECT_FALSE(regOwnerName(static_cast<RegOwner>(i)).empty()) << i;
    EXPECT_EQ(endianessFromName("CDAB"), EndianessType::CDAB);
    EXPECT_EQ(endianessFromName("BADC"), EndianessType::BADC);
    EXPECT_EQ(endianessFromName("abcd"), EndianessType::NONE);
    EXPECT_EQ(endianessFromName(""), EndianessType::NONE);
}

TEST(VarEngineRegistration, HashNameCutAndRegisterCounts) {
    EXPECT_EQ(regNameHash("AB"), 65 * 31 + 66);
    EXPECT_EQ(regNameHash(""), 0);
    EXPECT_EQ(regNameHash("\xff"), 255);  // bytes taken as unsigned

    auto v = makeEngine();
    float f = 0;
    short s = 0;
    long long ll = 0;
    fss::basic_str<char, 128> t;
    v->curReg = 10;
    const std::string longName(40, 'x');
    v->registerVal(longName, &f, 7);
    v->registerVal("s", &s, 8);
    v->registerVal("ll", &ll, 9);
    v->registerVal("t", &t, 10);
    EXPECT_EQ(v->curReg, 10 + 2 + 1 + 4 + 64);
    ASSERT_EQ(v->tabLen(), 4);
    EXPECT_EQ(v->entry(0).name.str(), std::string(32, 'x'));
    EXPECT_EQ(v->entry(0).hash, regNameHash(longName));
    EXPECT_NE(v->entry(0).hash, regNameHash(std::string(32, 'x')));
    EXPECT_EQ(v->entry(0).index, 7);
    EXPECT_EQ(v->entry(3).num, 64);
}

TEST(VarEngineRegistration, OverlapRulesAndMessage) {
    auto v = makeEngine();
    float a = 0, b = 0, c = 0;
    int i = 0;
    v->curReg = 100;
    v->registerVal("a", &a, 0);  // 100..101
    v->curReg = 98;
    v->registerVal("b", &b, 0);  // 98..99 ends where a begins: accepted
    v->curReg = 102;
    v->registerVal("c", &c, 0);  // begins where a ends: accepted
    ASSERT_EQ(v->tabLen(), 3);

    v->curReg = 101;  // starts inside a
    try {
        v->registerVal("late", &i, 0);
        FAIL() << "overlap accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ExportVaribleEngine::registerVal, the registers(late / a) are overlapped, reg 101; num 2");
    }
    EXPECT_EQ(v->curReg, 101);
    EXPECT_EQ(v->tabLen(), 3);

    long long big = 0;
    v->curReg = 97;  // 97..100 ends inside a and contains b
    EXPECT_THROW(v->registerVal("big", &big, 0), std::runtime_error);
    auto [name, found] = v->checkOverlap("x", 97, 4);
    EXPECT_TRUE(found);
    EXPECT_EQ(name, "a");  // first in slot order
    EXPECT_FALSE(v->checkOverlap("x", 104, 10).second);
}

TEST(VarEngineRegistration, TableFullAfter8192Entries) {
    auto v = makeEngine();
    static bool flags[MAX_VAR_REG_NUM + 1];
    for (int k = 0; k < MAX_VAR_REG_NUM; ++k) v->registerVal("f", &flags[k], k);
    EXPECT_EQ(v->tabLen(), MAX_VAR_REG_NUM);
    try {
        v->registerVal("one-more", &flags[MAX_VAR_REG_NUM], 0);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ExportVaribleEngine::registerVal: tab is full, please increase MAX_VAR_REG_NUM");
    }
    EXPECT_EQ(v->tabLen(), MAX_VAR_REG_NUM);
    EXPECT_EQ(v->curReg, MAX_VAR_REG_NUM);
}

TEST(VarEngineLookup, EmptyReferenceNeverShadowsAValue) {
    auto v = makeEngine();
    short s1 = 11, s2 = 22;
    float* nullFloat = nullptr;
    v->curReg = 5;
    v->registerVal("empty", RegVal{}, 0);
    v->registerVal("nullptr", nullFloat, 0);  // a null pointer counts as empty
    EXPECT_EQ(v->curReg, 5);
    v->registerVal("s1", &s1, 1);
    v->registerVal("s2", &s2, 2);
    v->sortRegTab();
    auto [owner, val] = v->findByReg(5);
    ASSERT_TRUE(std::holds_alternative<short*>(val));
    EXPECT_EQ(std::get<short*>(val), &s1);
    EXPECT_EQ(owner, RegOwner::NONE);
    bool ok = false;
    Regs r = read(*v, 5, 2, EndianessType::NONE, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(r, (Regs{11, 22}));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v->findByReg(7).second));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v->findByReg(-3).second));
}

TEST(VarEngineLookup, NameHashGroupIndexAndLargeRegisters) {
    auto v = makeEngine();
    int a = 1, b = 2, c = 3;
    v->curType = RegValType::GENERAL;
    v->curReg = 70000;  // beyond the direct index: binary search
    v->registerVal("Aa", &a, 4);
    v->curType = RegValType::PROBE_VAL;
    v->curReg = 3;
    v->registerVal("BB", &b, 4);  // same hash as "Aa"
    v->registerVal("cc", &c, 5);
    v->sortRegTab();
    ASSERT_EQ(regNameHash("Aa"), regNameHash("BB"));
    // Sorted: BB (3) is now before Aa (70000) in table order.
    EXPECT_EQ(std::get<int*>(v->findByName("Aa").second), &b);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v->findByName("zz").second));
    EXPECT_EQ(v->findRegByGroupIndex(RegValType::GENERAL, 4), 70000);
    EXPECT_EQ(v->findRegByGroupIndex(RegValType::PROBE_VAL, 5), 5);
    EXPECT_EQ(v->findRegByGroupIndex(RegValType::PROBE_VAL, 6), -1);
    EXPECT_EQ(std::get<int*>(v->findByReg(70000).second), &a);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v->findByReg(70001).second));
}

TEST(VarEngineByteOrder, SwapFlagsPerClientOrder) {
    auto v = makeEngine();
    EXPECT_EQ(v->nativeEndianess(), EndianessType::DCBA);
    EXPECT_EQ(v->detectSwapable(EndianessType::ABCD), std::make_pair(true, true));
    EXPECT_EQ(v->detectSwapable(EndianessType::CDAB), std::make_pair(false, true));
    EXPECT_EQ(v->detectSwapable(EndianessType::BADC), std::make_pair(true, false));
    EXPECT_EQ(v->detectSwapable(EndianessType::DCBA), std::make_pair(false, false));
    EXPECT_EQ(v->detectSwapable(EndianessType::NONE), std::make_pair(false, false));

    const uint16_t src[4] = {0x1122, 0x3344, 0x5566, 0x7788};
    uint16_t dst[4];
    VarEngine::convert(src, dst, 4, true, false);
    EXPECT_EQ(Regs(dst, dst + 4), (Regs{0x3344, 0x1122, 0x7788, 0x5566}));
    VarEngine::convert(src, dst, 4, true, true);
    EXPECT_EQ(Regs(dst, dst + 4), (Regs{0x4433, 0x2211, 0x8877, 0x6655}));
    VarEngine::convert(src, dst, 3, true, false);  // odd length: the last word stays
    EXPECT_EQ(Regs(dst, dst + 3), (Regs{0x3344, 0x1122, 0x5566}));
}

struct OrderCase {
    EndianessType order;
    Regs u32;  // 0x11223344
    Regs i16;  // 0x1122
    Regs i64;  // 0x1122334455667788
};

TEST(VarEngineByteOrder, ReadsEveryWidthInEveryOrder) {
    const OrderCase cases[] = {
        {EndianessType::DCBA, {0x3344, 0x1122}, {0x1122}, {0x7788, 0x5566, 0x3344, 0x1122}},
        {EndianessType::NONE, {0x3344, 0x1122}, {0x1122}, {0x7788, 0x5566, 0x3344, 0x1122}},
        {EndianessType::CDAB, {0x4433, 0x2211}, {0x2211}, {0x8877, 0x6655, 0x4433, 0x2211}},
        {EndianessType::BADC, {0x1122, 0x3344}, {0x1122}, {0x5566, 0x7788, 0x1122, 0x3344}},
        {EndianessType::ABCD, {0x2211, 0x4433}, {0x2211}, {0x6655, 0x8877, 0x2211, 0x4433}},
    };
    auto v = makeEngine();
    unsigned int u = 0x11223344u;
    int i = 0x11223344;
    float f;
    uint32_t bits = 0x11223344u;
    std::memcpy(&f, &bits, 4);
    short s = 0x1122;
    unsigned short us = 0x1122;
    long long ll = 0x1122334455667788LL;
    bool flag = true;
    CleanStatus cs = CleanStatus::FOULED;
    SCAN_MODE sm = SCAN_MODE::BY_LIST;
    HMIProbeCmdType hc = HMIProbeCmdType::REPLACE;
    fss::basic_str<char, 8> t8 = "ABCD";
    v->registerVal("u", &u, 0);     // 0
    v->registerVal("i", &i, 0);     // 2
    v->registerVal("f", &f, 0);     // 4
    v->registerVal("s", &s, 0);     // 6
    v->registerVal("us", &us, 0);   // 7
    v->registerVal("ll", &ll, 0);   // 8
    v->registerVal("b", &flag, 0);  // 12
    v->registerVal("cs", &cs, 0);   // 13
    v->registerVal("sm", &sm, 0);   // 14
    v->registerVal("hc", &hc, 0);   // 15
    v->registerVal("t8", &t8, 0);   // 16..19
    v->sortRegTab();
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(std::string(endianessName(c.order)));
        EXPECT_EQ(read(*v, 0, 2, c.order), c.u32);
        EXPECT_EQ(read(*v, 2, 2, c.order), c.u32);
        EXPECT_EQ(read(*v, 4, 2, c.order), c.u32);
        EXPECT_EQ(read(*v, 6, 1, c.order), c.i16);
        EXPECT_EQ(read(*v, 7, 1, c.order), c.i16);
        EXPECT_EQ(read(*v, 8, 4, c.order), c.i64);
        // Enumerations, bools and texts are never swapped.
        EXPECT_EQ(read(*v, 12, 8, c.order), (Regs{1, 2, 3, 29, 0x4241, 0x4443, 0, 0}));
    }
}

TEST(VarEngineRead, BlockOfShortAndFloatInClientOrder) {
    auto v = makeEngine();
    short s = 0x0102;
    float f = 1.0f;  // 0x3F800000
    v->registerVal("s", &s, 0);
    v->registerVal("f", &f, 1);
    v->sortRegTab();
    EXPECT_EQ(read(*v, 0, 3, EndianessType::ABCD), (Regs{0x0201, 0x803F, 0x0000}));
    EXPECT_EQ(read(*v, 0, 3, EndianessType::CDAB), (Regs{0x0201, 0x0000, 0x803F}));
}

TEST(VarEngineRead, ZeroCountMissingRegisterAndCutValues) {
    auto v = makeEngine();
    float f = 123.45f;
    short s = 7;
    fss::basic_str<char, 64> t = "0123456789abcdef";
    v->registerVal("f", &f, 0);  // 0..1
    v->registerVal("t", &t, 0);  // 2..33
    v->registerVal("s", &s, 0);  // 34
    v->sortRegTab();

    uint16_t guard = 0xEEEE;
    EXPECT_TRUE(v->getRegVal(0, &guard, 0, EndianessType::NONE));
    EXPECT_EQ(guard, 0xEEEE);

    bool ok = true;
    read(*v, 1, 1, EndianessType::NONE, &ok);  // second register of the float
    EXPECT_FALSE(ok);
    Regs partial = read(*v, 34, 3, EndianessType::NONE, &ok);  // s, then nothing at 35
    EXPECT_FALSE(ok);
    EXPECT_EQ(partial[0], 7);

    // One register where a float starts: only that register is written.
    Regs one = read(*v, 0, 1, EndianessType::NONE, &ok);
    EXPECT_TRUE(ok);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    EXPECT_EQ(one[0], bits & 0xffff);

    // A 16-character text of capacity 64: 8 text registers then zeros to 32 registers; a read of
    // 3 registers stops after 3.
    Regs whole = read(*v, 2, 32, EndianessType::ABCD, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(whole[0], 0x3130);
    EXPECT_EQ(whole[7], 0x6665);
    for (int k = 8; k < 32; ++k) EXPECT_EQ(whole[k], 0) << k;
    Regs cut = read(*v, 2, 3, EndianessType::NONE, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(cut, (Regs{0x3130, 0x3332, 0x3534}));
}

// Registers of a text as the table must give them: the bytes up to the first zero, two per
// register, low byte first, zeros after.
template <uint32_t N>
Regs textRegisters(const fss::basic_str<char, N>& t) {
    const size_t len = std::strlen(t.c_str());
    Regs out(N / 2, 0);
    for (size_t k = 0; k < len; ++k) out[k / 2] |= static_cast<uint16_t>(static_cast<unsigned char>(t[k]) << (8 * (k % 2)));
    return out;
}

template <uint32_t N>
void checkTextsOfEveryLength() {
    auto v = makeEngine();
    fss::basic_str<char, N> t;
    v->registerVal("t", &t, 0);
    v->sortRegTab();
    for (uint32_t len = 0; len <= N; ++len) {
        std::string text;
        for (uint32_t k = 0; k < len; ++k) text += static_cast<char>('A' + k % 26);
        t = text.c_str();
        EXPECT_EQ(read(*v, 0, N / 2, EndianessType::NONE), textRegisters(t)) << N << " " << len;
        // Bytes after an embedded zero never reach the registers.
        if (len >= 2) {
            text[len / 2] = '\0';
            t.assignBytes(text.data(), len);
            EXPECT_EQ(read(*v, 0, N / 2, EndianessType::CDAB), textRegisters(t)) << N << " " << len;
        }
    }
}

TEST(VarEngineText, TextsOfEveryLengthEndAtTheirFirstZero) {
    checkTextsOfEveryLength<8>();
    checkTextsOfEveryLength<16>();
    checkTextsOfEveryLength<32>();
    checkTextsOfEveryLength<64>();
    checkTextsOfEveryLength<128>();
}

TEST(VarEngineRead, SameRegistersBeforeAndAfterSorting) {
    // Before sortRegTab a read finds its values by a search of the table; after, by the register
    // index: the registers are the same, in every order.
    auto v = makeEngine();
    long long ll = -2;
    bool flag = true;
    unsigned short us = 0xA1B2;
    float f = -0.5f;
    fss::basic_str<char, 16> t = "xyz";
    for (const char* k : {"1", "2"}) {
        v->curReg = k[0] == '1' ? 70000 : 10;  // 70000: beyond the index as well
        v->registerVal(std::string("ll") + k, &ll, 0);
        v->registerVal(std::string("b") + k, &flag, 0);
        v->registerVal(std::string("us") + k, &us, 0);
        v->registerVal(std::string("f") + k, &f, 0);
        v->registerVal(std::string("t") + k, &t, 0);
    }
    std::vector<Regs> before;
    const EndianessType orders[] = {EndianessType::ABCD, EndianessType::CDAB, EndianessType::BADC,
                                    EndianessType::DCBA, EndianessType::NONE};
    for (EndianessType o : orders) {
        before.push_back(read(*v, 10, 16, o));
        EXPECT_EQ(read(*v, 70000, 16, o), before.back());
    }
    v->sortRegTab();
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(read(*v, 10, 16, orders[k]), before[k]);
        EXPECT_EQ(read(*v, 70000, 16, orders[k]), before[k]);
    }
    EXPECT_EQ(before[4], (Regs{0xFFFE, 0xFFFF, 0xFFFF, 0xFFFF, 1, 0xA1B2, 0, 0xBF00, 0x7978, 0x7A, 0, 0, 0, 0, 0, 0}));
}

TEST(VarEngineWrite, DecodesRequestsAndStopsAtTheRangeEnd) {
    auto v = makeEngine();
    short s = 0;
    bool flag = false;
    float f = 0;
    int i = 0;
    long long ll = 0;
    unsigned short tail = 0;
    float last = 9.5f;
    v->registerVal("s", &s, 0);       // 0
    v->registerVal("b", &flag, 0);    // 1
    v->registerVal("f", &f, 0);       // 2..3
    v->registerVal("i", &i, 0);       // 4..5
    v->registerVal("ll", &ll, 0);     // 6..9
    v->registerVal("tail", &tail, 0); // 10
    v->registerVal("last", &last, 0); // 11..12
    v->sortRegTab();

    // Unaligned request bytes, as they stand in a Modbus frame.
    std::vector<uint8_t> frame(1 + 2 * 11);
    auto body = requestBytes({0x0005, 0x0005, 0x0000, 0x3F80, 0x5678, 0x1234, 0x7788, 0x5566, 0x3344, 0x1122, 0xBEEF});
    std::memcpy(frame.data() + 1, body.data(), body.size());
    EXPECT_TRUE(v->setRegVal(0, frame.data() + 1, 11, EndianessType::NONE));
    EXPECT_EQ(s, 5);
    EXPECT_TRUE(flag);
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(i, 0x12345678);
    EXPECT_EQ(ll, 0x1122334455667788LL);
    EXPECT_EQ(tail, 0xBEEF);

    // Word-swapped orders take the high word first.
    auto swapped = requestBytes({0x3F80, 0x0000, 0x1234, 0x5678});
    EXPECT_TRUE(v->setRegVal(2, swapped.data(), 4, EndianessType::BADC));
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(i, 0x12345678);
    f = 0;
    EXPECT_TRUE(v->setRegVal(2, swapped.data(), 2, EndianessType::ABCD));
    EXPECT_EQ(f, 1.0f);

    // A write whose last value does not fit: the earlier value is stored, the cut one is not.
    auto cutReq = requestBytes({0x0001, 0x4000});
    tail = 0;
    EXPECT_FALSE(v->setRegVal(10, cutReq.data(), 2, EndianessType::NONE));
    EXPECT_EQ(tail, 1);
    EXPECT_EQ(last, 9.5f);
    // Starting inside a value, or at a register without one.
    EXPECT_FALSE(v->setRegVal(3, cutReq.data(), 1, EndianessType::NONE));
    EXPECT_FALSE(v->setRegVal(13, cutReq.data(), 1, EndianessType::NONE));
    EXPECT_TRUE(v->setRegVal(0, cutReq.data(), 0, EndianessType::NONE));
}

TEST(VarEngineText, Gb18030BothWaysAndInvalidInputNeverStored) {
    auto v = makeEngine();
    fss::basic_str<char, 16> t16 = "abcd\xe6\x88\x91" "abcd";  // abcd我abcd
    fss::basic_str<char, 8> t8;
    v->registerVal("t16", &t16, 0);  // 0..7
    v->registerVal("t8", &t8, 0);    // 8..11
    v->sortRegTab();

    // 我 is CE D2 in GB18030.
    Regs r = read(*v, 0, 8, EndianessType::ABCD);
    EXPECT_EQ(r, (Regs{0x6261, 0x6463, 0xD2CE, 0x6261, 0x6463, 0, 0, 0}));
    auto req = requestBytes(r);
    t16.clear();
    EXPECT_TRUE(v->setRegVal(0, req.data(), 8, EndianessType::NONE));
    EXPECT_EQ(t16.str(), "abcd\xe6\x88\x91" "abcd");
    EXPECT_EQ(t16.length(), 11u);

    // A text of exactly N bytes fills every register without a terminating zero.
    t8 = "ABCDEFGH";
    EXPECT_EQ(read(*v, 8, 4, EndianessType::NONE), (Regs{0x4241, 0x4443, 0x4645, 0x4847}));

    // Four GB18030 characters convert to 12 UTF-8 bytes: more than 8 fit, so the text is cut at
    // the last whole character (两 = C1 BD -> E4 B8 A4).
    auto four = requestBytes({0xBDC1, 0xBDC1, 0xBDC1, 0xBDC1});
    EXPECT_TRUE(v->setRegVal(8, four.data(), 4, EndianessType::NONE));
    EXPECT_EQ(t8.str(), "\xe4\xb8\xa4\xe4\xb8\xa4");

    // An invalid sequence after "ab": only the valid, converted prefix is kept.
    auto bad = requestBytes({0x6261, 0xFF81, 0x0000, 0x0000});
    EXPECT_TRUE(v->setRegVal(8, bad.data(), 4, EndianessType::NONE));
    EXPECT_EQ(t8.str(), "ab");

    // A UTF-8 text whose GB18030 form does not fit (each ß takes 4 bytes there) is sent as its
    // stored bytes.
    t8 = "\xc3\x9f\xc3\x9f\xc3\x9f\xc3\x9f";
    EXPECT_EQ(read(*v, 8, 4, EndianessType::NONE), (Regs{0x9FC3, 0x9FC3, 0x9FC3, 0x9FC3}));
}

TEST(VarEngineLocking, OwnersFollowTheAttachedStores) {
    auto live = std::make_unique<LiveDataGuard>();
    struct FakeRecipe {
        short x = 0;
        float y = 0;
    };
    auto recipe = std::make_unique<FakeRecipe>();
    StoreMutex recipeMutex;
    short outside = 0;
    auto v = makeEngine();
    v->attachLive(*live);
    v->attachStore(RegOwner::RECIPE, recipe.get(), sizeof(FakeRecipe), recipeMutex);
    v->registerVal("live", &live->data().probe.items[127].val, 0);
    v->registerVal("recipe", &recipe->y, 0);
    v->registerVal("none", &outside, 0);
    v->sortRegTab();
    EXPECT_EQ(v->findByReg(0).first, RegOwner::LIVE);
    EXPECT_EQ(v->findByReg(2).first, RegOwner::RECIPE);
    EXPECT_EQ(v->findByReg(4).first, RegOwner::NONE);

    const char* base = reinterpret_cast<const char*>(&live->data());
    EXPECT_TRUE(live->isLiveReg(base));
    EXPECT_TRUE(live->isLiveReg(base + sizeof(ScadaLiveData) - 1));
    EXPECT_FALSE(live->isLiveReg(base + sizeof(ScadaLiveData)));
    EXPECT_FALSE(live->isLiveReg(reinterpret_cast<const char*>(&outside)));
}

// A text that a writer replaces under the live mutex is never read half old, half new (texts,
// too, are copied without the lock and checked against the store's sequence).
TEST(VarEngineLocking, TextReadsAreNeverTorn) {
    auto live = std::make_unique<LiveDataGuard>();
    auto v = makeEngine();
    v->attachLive(*live);
    auto& text = live->data().system.timestamp;  // capacity 64
    const std::string a(64, 'A'), b(64, 'B');
    text = a;
    v->registerVal("ts", &text, 0);
    v->sortRegTab();
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        for (bool flip = false; !stop.load(); flip = !flip, ++writes) {
            std::lock_guard<StoreMutex> lk(live->mutex());
            text = flip ? a : b;
        }
    });
    int torn = 0;
    for (int k = 0; writes.load() < 200000 && k < 100000000; ++k) {
        uint16_t regs[32];
        ASSERT_TRUE(v->getRegVal(0, regs, 32, EndianessType::NONE));
        for (uint16_t r : regs)
            if (r != regs[0]) ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

// Numbers are copied without the lock and checked against the store's sequence: a writer that
// replaces a 64-bit value under the store's mutex is never seen half done, alone or in a range.
TEST(VarEngineLocking, NumberReadsAreNeverTorn) {
    struct FakeRecipe {
        long long wide = 0;
        int narrow = 0;
    };
    auto recipe = std::make_unique<FakeRecipe>();
    StoreMutex m;
    auto v = makeEngine();
    v->attachStore(RegOwner::RECIPE, recipe.get(), sizeof(FakeRecipe), m);
    v->registerVal("wide", &recipe->wide, 0);
    v->registerVal("narrow", &recipe->narrow, 0);
    v->sortRegTab();
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        for (uint64_t k = 0; !stop.load(); k = (k + 1) & 0xFFFF, ++writes) {
            std::lock_guard lk(m);
            recipe->wide = static_cast<long long>(k * 0x0001000100010001ull);
            recipe->narrow = static_cast<int>(k * 0x00010001u);
        }
    });
    int torn = 0;
    // Reads go on while the writer makes its first million writes.
    for (int k = 0; writes.load() < 1000000 && k < 100000000; ++k) {
        uint16_t regs[6];
        const bool range = k & 1;  // one whole value, or both values in one request
        ASSERT_TRUE(v->getRegVal(0, regs, range ? 6 : 4, EndianessType::NONE));
        for (int j = 1; j < 4; ++j) torn += regs[j] != regs[0];
        if (range) torn += regs[5] != regs[4];
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace

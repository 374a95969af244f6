// The text codec: writer primitives and frames, reader rules, key lookup at the record's own
// level, arrays at capacity, the control-loop variant.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "recipe/recipe_codec.h"

namespace {

struct LevelZero {
    LevelZero() { gIndentLevelForWriteJsonP = 0; }
};

template <class Fn>
std::string written(Fn&& fn, int room = 4096) {
    std::string buf(static_cast<size_t>(room) + 16, 'Z');
    int n = fn(buf.data(), room);
    if (n < 0) return "<overflow>";
    return buf.substr(0, static_cast<size_t>(n));
}

std::string floatText(float v) {
    gIndentLevelForWriteJsonP = 0;
    return written([&](char* d, int r) { return writeJsonP(d, r, nullptr, v); });
}

}  // namespace

TEST(CodecWriter, ScalarsAndIndentation) {
    LevelZero z;
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP(-42, d, r, "a"); }), "\"a\":-42");
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP(4294967295u, d, r, "pn"); }), "\"pn\":4294967295");
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP(18446744073709551615ull, d, r, nullptr); }),
              "18446744073709551615");
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP(true, d, r, "on"); }), "\"on\":true");
    gIndentLevelForWriteJsonP = 2;
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP("x", d, r, "k"); }), "    \"k\":\"x\"");
    gIndentLevelForWriteJsonP = 0;
    // The integer writer's failures.
    char b[8];
    EXPECT_EQ(writeJsonP(1, b, 0, "a"), -1);
    EXPECT_EQ(writeJsonP(12345, b, 4, nullptr), -1);
    gIndentLevelForWriteJsonP = 3;
    EXPECT_EQ(writeJsonP(1, b, 6, nullptr), -1);  // indentation alone fills the room
}

TEST(CodecWriter, FloatRule) {
    EXPECT_EQ(floatText(99.9995f), "99.999496");
    EXPECT_EQ(floatText(100.0004f), "100");
    EXPECT_EQ(floatText(7.0f), "7");
    EXPECT_EQ(floatText(0.1f), "0.100000");
    EXPECT_EQ(floatText(2.0005f), "2");
    EXPECT_EQ(floatText(2.9999f), "2.999900");
    EXPECT_EQ(floatText(-0.0004f), "-0");
    EXPECT_EQ(floatText(25.5f), "25.500000");
    EXPECT_EQ(floatText(99.5f), "99.500000");
    EXPECT_EQ(floatText(3e9f), "3000000000.000000");  // beyond int32: six decimals
    EXPECT_EQ(floatText(std::numeric_limits<float>::quiet_NaN()), "null");
    EXPECT_EQ(floatText(std::numeric_limits<float>::infinity()), "null");
    EXPECT_EQ(floatText(-std::numeric_limits<float>::infinity()), "null");
}

TEST(CodecWriter, TextsAreEscapedPlainTextsVerbatim) {
    LevelZero z;
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP("Tank 1/\xc3\xa9t\xc3\xa9", d, r, "n"); }),
              "\"n\":\"Tank 1/\xc3\xa9t\xc3\xa9\"");
    EXPECT_EQ(written([](char* d, int r) { return writeJsonP("a\"b\\c\n\x01}", d, r, nullptr); }),
              "\"a\\\"b\\\\c\\n\\u0001}\"");
}

TEST(CodecWriter, SmallRoomsNeverWritePastTheRoom) {
    auto item = std::make_unique<MBTcpClientItem>();
    gIndentLevelForWriteJsonP = 0;
    std::string full(400000, '\0');
    const int total = writeJsonP(*item, full.data(), static_cast<int>(full.size()), "c");
    ASSERT_GT(total, 0);
    for (int room : {0, 1, 5, 17, 100, 4096, total - 1}) {
        std::string buf(static_cast<size_t>(total) + 64, 'Z');
        gIndentLevelForWriteJsonP = 1;
        EXPECT_EQ(writeJsonP(*item, buf.data(), room, "c"), -1) << room;
        EXPECT_EQ(gIndentLevelForWriteJsonP, 1) << "level restored after overflow";
        for (size_t i = static_cast<size_t>(room); i < buf.size(); ++i) ASSERT_EQ(buf[i], 'Z') << room << " at " << i;
    }
    // Exactly the counted characters fit: the uncounted newline and zero are left out.
    std::string buf(static_cast<size_t>(total) + 8, 'Z');
    gIndentLevelForWriteJsonP = 0;
    EXPECT_EQ(writeJsonP(*item, buf.data(), total, "c"), total);
    EXPECT_EQ(buf[static_cast<size_t>(total)], 'Z');
    EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(total)), std::string(full.data(), static_cast<size_t>(total)));
    // Scalars and texts too.
    std::string s(16, 'Z');
    gIndentLevelForWriteJsonP = 0;
    EXPECT_EQ(writeJsonP("abcdef", s.data(), 6, "k"), -1);
    EXPECT_EQ(writeJsonP(s.data(), 3, "k", 1.5f), -1);
    for (size_t i = 6; i < s.size(); ++i) EXPECT_EQ(s[i], 'Z');
}

TEST(CodecWriter, ObjectAndArrayFrames) {
    DataLogRecipeData log;
    std::string buf(256, 'Z');
    gIndentLevelForWriteJsonP = 1;
    int n = writeJsonP(log, buf.data(), 256, "dataLog");
    EXPECT_EQ(gIndentLevelForWriteJsonP, 1);
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)),
              "  \"dataLog\":{\n    \"logInterval\":10,\n    \"logRetention\":365,\n    \"enable\":true}");
    EXPECT_EQ(buf[static_cast<size_t>(n)], '\n');  // stored, not counted
    // An array member: elements with a null name, "]" and its newline counted, so the record's
    // "}" starts the next line.
    LoraDeviceRecipeItem dev;
    std::string big(8192, '\0');
    gIndentLevelForWriteJsonP = 0;
    n = writeJsonP(dev, big.data(), 8192, nullptr);
    std::string text = big.substr(0, static_cast<size_t>(n));
    EXPECT_EQ(text.rfind("{\n  \"loraId\":0,\n  \"pn\":0,", 0), 0u) << text.substr(0, 60);
    EXPECT_NE(text.find("  \"registers\":[\n    {\n      \"name\":\"\",\n"), std::string::npos);
    EXPECT_NE(text.find("      \"unitCalculated\":\"\"}]\n,\n  \"lastTimestamp\":0,"), std::string::npos);
    EXPECT_TRUE(text.ends_with("\n  \"passive\":false}")) << text.substr(text.size() - 30);
    // A record ending with an array closes at the start of the next line.
    auto client = std::make_unique<MBTcpClientItem>();
    std::string cb(400000, '\0');
    n = writeJsonP(*client, cb.data(), static_cast<int>(cb.size()), nullptr);
    EXPECT_TRUE(cb.substr(0, static_cast<size_t>(n)).ends_with("\n      \"vRegAddr\":5761}]\n}"));
}

TEST(CodecReader, TrimBlocksAndQuotedBrackets) {
    EXPECT_EQ(ltrimJsonP(" \t\r\nx "), "x ");
    EXPECT_EQ(ltrimJsonP(" \n"), "");
    EXPECT_EQ(extractJsonBlockP("  ab{\"x\":[1,{2}]}tail", '{'), "{\"x\":[1,{2}]}");
    EXPECT_EQ(extractJsonBlockP("[1,[2]],3", '[', false), "1,[2]");
    EXPECT_EQ(extractJsonBlockP("{\"a\":1", '{'), "");
    EXPECT_EQ(extractJsonBlockP("   ", '{'), "");
    // A bracket inside a quoted text does not end the block.
    EXPECT_EQ(extractJsonBlockP("{\"n\":\"Tank}\",\"m\":1}", '{'), "{\"n\":\"Tank}\",\"m\":1}");
}

TEST(CodecReader, KeyLookupAtOwnLevel) {
    // Blank between the closing quote and the colon: not found.
    EXPECT_EQ(findJsonKeyP("\"id\" :5", "id"), "");
    // A nested "id" before the record's own.
    EXPECT_EQ(findJsonKeyP("\"sub\":{\"id\":9},\"list\":[{\"id\":8}],\"id\":3", "id"), "3");
    EXPECT_EQ(findJsonKeyP("\"sub\":{\"id\":9}", "id"), "");
    // Whole object texts: own level is just inside the first brace.
    EXPECT_EQ(findJsonKeyP("{\"enable\":false,\"inputs\":[{\"enable\":true}]}", "enable"), "false");
    EXPECT_EQ(findJsonKeyP("{\"inputs\":[{\"enable\":true}]}", "enable"), "");
    EXPECT_EQ(findJsonKeyP("{\"a\":{\"b\":1}}", "b"), "");
    // A key spelled inside a quoted value is not a key.
    EXPECT_EQ(findJsonKeyP("{\"note\":\"\\\"id\\\":7\",\"id\":2}", "id"), "2");
    // Value forms.
    EXPECT_EQ(findJsonKeyP("\"s\":  \"a,b}\" ,", "s"), "\"a,b}\"");
    EXPECT_EQ(findJsonKeyP("\"o\":{\"x\":[1]} ,", "o"), "{\"x\":[1]}");
    EXPECT_EQ(findJsonKeyP("\"n\":12 \n}", "n"), "12 \n");
    EXPECT_EQ(findJsonKeyP("\"n\":,", "n"), "");
    EXPECT_EQ(findJsonKeyP("\"n\":5", nullptr), "");
    EXPECT_EQ(findJsonKeyP("\"n\":5", std::string(252, 'n').c_str()), "");
}

TEST(CodecReader, ScalarRules) {
    bool b = false;
    readJsonP(b, "True");
    EXPECT_TRUE(b);
    readJsonP(b, "TRUE");
    EXPECT_FALSE(b);
    b = true;
    readJsonP(b, "\"true\"");
    EXPECT_FALSE(b);
    b = true;
    readJsonP(b, "1");
    EXPECT_FALSE(b);
    b = true;
    readJsonP(b, "");
    EXPECT_TRUE(b);

    float f = 5.0f;
    readJsonP(f, "null");
    EXPECT_EQ(f, 5.0f);
    readJsonP(f, "\"3\"");
    EXPECT_EQ(f, 5.0f);
    readJsonP(f, " -2.5e1");
    EXPECT_EQ(f, -25.0f);

    int32_t i = 7;
    readJsonP(i, "12.7");
    EXPECT_EQ(i, 12);
    readJsonP(i, " -3");
    EXPECT_EQ(i, -3);
    readJsonP(i, "null");
    EXPECT_EQ(i, -3);
    int16_t s = 0;
    readJsonP(s, "70000");  // low 16 bits
    EXPECT_EQ(s, static_cast<int16_t>(70000));
    uint32_t u = 0;
    readJsonP(u, "4294967295");
    EXPECT_EQ(u, 4294967295u);
    // The number is parsed over the view only, never past it.
    std::string backing = "12345";
    readJsonP(i, std::string_view(backing.data(), 2));
    EXPECT_EQ(i, 12);
}

TEST(CodecReader, TextRule) {
    text32 t = "keep";
    readJsonP(t, "");
    EXPECT_EQ(t, "keep");
    readJsonP(t, "null");
    EXPECT_EQ(t, "");
    t = "x";
    readJsonP(t, "\"unterminated");
    EXPECT_EQ(t, "");
    readJsonP(t, "\"" + std::string(40, 'q') + "\"");
    EXPECT_EQ(t.view(), std::string(32, 'q'));
    EXPECT_EQ(t.length(), 32u);
    // Escapes are decoded (a quoted text a\"b reads a"b, not "a\"); a backslash before anything
    // but an escape stays.
    readJsonP(t, "\"a\\\"b\"");
    EXPECT_EQ(t, "a\"b");
    const std::pair<const char*, const char*> kept[] = {
        {"\"ab\\cd\"", "ab\\cd"}, {"\"\\q\\\\\"", "\\q\\"}, {"\"\\u12g\"", "\\u12g"}, {"\"C:\\\\new\"", "C:\\new"}};
    for (const auto& [in, out] : kept) {
        readJsonP(t, in);
        EXPECT_EQ(t, out) << in;
    }
    // The old rule: a text ends at the next quote, backslashes are characters.
    readJsonP(t, "\"pw\\\"", JsonTextRule::legacy);
    EXPECT_EQ(t, "pw\\");
    readJsonP(t, "\"a\\nb\"", JsonTextRule::legacy);
    EXPECT_EQ(t, "a\\nb");
    readJsonP(t, "\"\\u00e9\\ud83d\\ude00\\n\"");
    EXPECT_EQ(t, "\xc3\xa9\xf0\x9f\x98\x80\n");
    // Cut at the last complete UTF-8 character: 15 ASCII + a 2-byte character into 16.
    text16 u;
    readJsonP(u, "\"" + std::string(15, 'a') + "\xc3\xa9\"");
    EXPECT_EQ(u.view(), std::string(15, 'a'));
}

TEST(CodecReader, QuotesEndWhereTheirRuleSays) {
    // Text starting at position 0, the index of its closing quote under each rule.
    const struct {
        const char* text;
        size_t escaped, legacy;
    } cases[] = {
        {"\"abc\"", 4, 4},       {"\"a\\\"b\"", 5, 3},     {"\"a\\\\\"b\"", 4, 4},
        {"\"a\\\\\\\"b\"", 7, 5}, {"\"\\x\\\\\\\\\"", 7, 7}, {"\"pw\\\"", std::string_view::npos, 4},
        {"\"open", std::string_view::npos, std::string_view::npos},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_detail::closeQuote(c.text, 0, JsonTextRule::escaped), c.escaped) << c.text;
        EXPECT_EQ(json_detail::closeQuote(c.text, 0, JsonTextRule::legacy), c.legacy) << c.text;
    }
}

TEST(CodecReader, EachMemberJudgedOnItsOwn) {
    // key, the value found and the rule it is read under, in objects of earlier and of this firmware.
    const std::string text =
        "{\"a\":\"x\\\"\",\"b\":{\"p\":\"q\\\"},\n\"c\":[{\"k\":\"v\\\\\"}],\"d\":\"e\\\"f\",\"n\":5,"
        "\"t\":{\"u\":\"a\\\"},\"w\":\"b\\\"}}";
    const JsonMembers m(text);
    EXPECT_TRUE(m.closed());
    const struct {
        const char* key;
        const char* value;
        JsonTextRule rule;
    } expect[] = {
        {"a", "\"x\\\"\"", JsonTextRule::escaped},   // a text holding x"
        {"b", "{\"p\":\"q\\\"}", JsonTextRule::legacy},  // a text q\ of earlier firmware
        {"c", "[{\"k\":\"v\\\\\"}]", JsonTextRule::escaped},
        {"d", "\"e\\\"f\"", JsonTextRule::escaped},
        {"n", "5", JsonTextRule::escaped},
        {"t", "{\"u\":\"a\\\"}", JsonTextRule::legacy},
        {"w", "\"b\\\"", JsonTextRule::legacy},
    };
    for (const auto& e : expect) {
        const JsonMembers::Value v = m.find(e.key);
        EXPECT_EQ(v.text, e.value) << e.key;
        EXPECT_EQ(v.rule, e.rule) << e.key;
    }
    // Read with a rule given, the old texts hide what follows them.
    const JsonMembers strict(text, JsonTextRule::escaped);
    EXPECT_TRUE(strict.find("n").text.empty());
    // A block cut off under both rules is no quirk: the object does not close.
    EXPECT_FALSE(JsonMembers("{\"a\":{\"b\":\"c\\\"").closed());
}

TEST(CodecReader, RecordsAndArrays) {
    CellularRecipeData cell;
    cell.apn = "own";
    readJsonP(cell, "{\"billingCycleDay\":5}");
    EXPECT_EQ(cell.billingCycleDay, 5);
    EXPECT_EQ(cell.apn, "own");
    EXPECT_TRUE(cell.enable);
    EXPECT_EQ(cell.operatorSettings, 1);

    WifiRecipeData wifi;
    readJsonP(wifi, "{\"ssid\":\"" + std::string(40, 's') + "\"}");
    EXPECT_EQ(wifi.ssid.view(), std::string(32, 's'));
    readJsonP(wifi, "{\"mode\":2}");
    EXPECT_EQ(wifi.ssid.view(), std::string(32, 's'));
    readJsonP(wifi, "{\"ssid\":null}");
    EXPECT_EQ(wifi.ssid, "");

    CloudServerRecipeData cloud;
    readJsonP(cloud, "{\"serverIP\":\"192.168.100.200:1883x\"}");
    EXPECT_EQ(cloud.serverIP, "192.168.100.200:");

    ModbusRtuRecipeData rtu;
    readJsonP(rtu, "{\"interface\":\"/dev/ttyUSB-serial-7\"}");
    EXPECT_EQ(rtu.interface, "/dev/ttyUSB-seri");
    EXPECT_EQ(rtu.interface.length(), 16u);

    // A block that does not close changes nothing.
    DataLogRecipeData log;
    readJsonP(log, "{\"logInterval\":3");
    EXPECT_EQ(log.logInterval, 10);

    // LoRa device: its own display, not its registers'.
    LoraDeviceRecipeItem dev;
    dev.display = true;
    std::string regs;
    for (int i = 0; i < 8; ++i) regs += std::string(i ? "," : "") + "{\"display\":true,\"value\":" + std::to_string(i) + "}";
    readJsonP(dev, "{\"registers\":[" + regs + "],\"display\":false,\"id\":4}");
    EXPECT_FALSE(dev.display);
    EXPECT_EQ(dev.id, 4);
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(dev.registers[i].display);
        EXPECT_EQ(dev.registers[i].value, static_cast<float>(i));
    }
    LoraDeviceRecipeItem dev2;
    dev2.id = 6;
    readJsonP(dev2, "{\"registers\":[{\"id\":1}]}");
    EXPECT_EQ(dev2.id, 6);
}

TEST(CodecReader, ArraysStopAtCapacityAndKeepTheRest) {
    auto r = std::make_unique<ScadaRecipeData>();
    std::string many = "{\"sensors\":[";
    for (int i = 0; i < 130; ++i) many += std::string(i ? "," : "") + "{\"pn\":" + std::to_string(1000 + i) + "}";
    many += "]}";
    readJsonP(*r, many);
    EXPECT_EQ(r->sensors[0].pn, 1000u);
    EXPECT_EQ(r->sensors[127].pn, 1127u);

    auto r2 = std::make_unique<ScadaRecipeData>();
    r2->sensors[3].pn = 77;
    readJsonP(*r2, "{\"sensors\":[{\"pn\":1},{\"pn\":2},{\"pn\":3,\"name\":\"a]b,c}\"}]}");
    EXPECT_EQ(r2->sensors[2].pn, 3u);
    EXPECT_EQ(r2->sensors[2].name, "a]b,c}");
    EXPECT_EQ(r2->sensors[3].pn, 77u);

    // An element lands in the slot of its position, whatever id it holds; two commas end the walk.
    auto r3 = std::make_unique<ScadaRecipeData>();
    readJsonP(*r3, "{\"firewall\":[{\"id\":9,\"port\":1},,{\"port\":3}]}");
    EXPECT_EQ(r3->firewall[0].port, 1);
    EXPECT_EQ(r3->firewall[0].id, 9);
    EXPECT_EQ(r3->firewall[1].port, 80);
    EXPECT_EQ(r3->firewall[2].port, 80);

    // A client with 200 inputs fills 128 and still reads its outputs; no inputs: unchanged.
    auto c = std::make_unique<MBTcpClientItem>();
    std::string text = "{\"name\":\"Boiler\",\"inputs\":[";
    for (int i = 0; i < 200; ++i) text += std::string(i ? "," : "") + "{\"regAddr\":" + std::to_string(i) + ",\"enable\":true}";
    text += "],\"outputs\":[{\"vRegAddr\":11},{\"vRegAddr\":12}],\"enable\":true}";
    readJsonP(*c, text);
    EXPECT_EQ(c->name, "Boiler");
    EXPECT_TRUE(c->enable);
    EXPECT_EQ(c->inputs[127].regAddr, 127);
    EXPECT_EQ(c->outputs[1].vRegAddr, 12);
    EXPECT_EQ(c->outputs[2].vRegAddr, 5761);
    c->inputs[5].regAddr = 55;
    readJsonP(*c, "{\"name\":\"Other\"}");
    EXPECT_EQ(c->inputs[5].regAddr, 55);
}

TEST(CodecVariant, ControlLoopSlots) {
    LoopRecipeVariant slot = LoopNoneRecipeData{4, 0};
    readJsonP(slot, "{\"type\":1,\"low\":2.5}");
    ASSERT_EQ(slot.index(), 1u);
    auto& sp = std::get<LoopSetpointRecipeData>(slot);
    EXPECT_EQ(sp.id, 4);
    EXPECT_EQ(sp.type, 1);
    EXPECT_EQ(sp.mode, 1);
    EXPECT_EQ(sp.low, 2.5f);
    EXPECT_FLOAT_EQ(sp.deadband, 0.1f);
    EXPECT_EQ(sp.idxInput, -1);
    EXPECT_EQ(sp.idxOutput, -1);
    // Same kind: read over, keeping what is absent.
    readJsonP(slot, "{\"type\":1,\"id\":7,\"high\":9}");
    EXPECT_EQ(std::get<1>(slot).id, 7);
    EXPECT_EQ(std::get<1>(slot).low, 2.5f);
    EXPECT_EQ(std::get<1>(slot).high, 9.0f);
    // Missing or negative type: unchanged.
    readJsonP(slot, "{\"id\":1}");
    readJsonP(slot, "{\"type\":-1,\"id\":1}");
    EXPECT_EQ(std::get<1>(slot).id, 7);
    // Other kinds keep the id; 4 or more becomes a none record holding that type.
    readJsonP(slot, "{\"type\":2}");
    ASSERT_EQ(slot.index(), 2u);
    EXPECT_EQ(std::get<2>(slot).id, 7);
    readJsonP(slot, "{\"type\":6}");
    ASSERT_EQ(slot.index(), 0u);
    EXPECT_EQ(std::get<0>(slot).type, 6);
    // Writers: setpoint key order; the others id and type only.
    LoopRecipeVariant w = LoopSetpointRecipeData{};
    std::string buf(1024, '\0');
    gIndentLevelForWriteJsonP = 0;
    int n = writeJsonP(w, buf.data(), 1024, nullptr);
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)),
              "{\n  \"id\":0,\n  \"type\":1,\n  \"mode\":1,\n  \"manualOn\":false,\n  \"enable\":false,\n  \"low\":0,\n"
              "  \"high\":0,\n  \"idxInput\":-1,\n  \"upDirect\":false,\n  \"idxOutput\":-1,\n  \"deadband\":0.100000}");
    w = LoopIntervalRecipeData{3, 3};
    n = writeJsonP(w, buf.data(), 1024, nullptr);
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)), "{\n  \"id\":3,\n  \"type\":3}");
}

TEST(CodecWriter, IndentationLevelIsPerThread) {
    auto client = std::make_unique<MBTcpClientItem>();
    std::string expected(400000, '\0');
    gIndentLevelForWriteJsonP = 0;
    const int n = writeJsonP(*client, expected.data(), static_cast<int>(expected.size()), "c");
    expected.resize(static_cast<size_t>(n));
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::string buf(400000, '\0');
            for (int k = 0; k < 20; ++k) {
                gIndentLevelForWriteJsonP = 0;
                int m = writeJsonP(*client, buf.data(), static_cast<int>(buf.size()), "c");
                if (m != n || buf.compare(0, static_cast<size_t>(m), expected) != 0) ++bad[static_cast<size_t>(t)];
            }
        });
    for (auto& th : threads) th.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}

TEST(CodecReader, NaNIsWrittenAsNullAndNullKeepsTheField) {
    LoraRegisterItem reg;
    reg.value = std::numeric_limits<float>::quiet_NaN();
    std::string buf(2048, '\0');
    gIndentLevelForWriteJsonP = 0;
    int n = writeJsonP(reg, buf.data(), 2048, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_NE(buf.find("\"value\":null,"), std::string::npos);
    LoraRegisterItem back;
    back.value = 3.5f;
    readJsonP(back, buf.substr(0, static_cast<size_t>(n)));
    EXPECT_EQ(back.value, 3.5f);
    EXPECT_EQ(back.maxValue, 20.0f);
}

TEST(CodecReader, FirewallArrayAtCapacity) {
    auto r = std::make_unique<ScadaRecipeData>();
    std::string text = "{\"firewall\":[";
    for (int i = 0; i < 20; ++i) text += std::string(i ? "," : "") + "{\"port\":" + std::to_string(1000 + i) + ",\"enable\":true}";
    readJsonP(*r, text + "]}");
    EXPECT_EQ(r->firewall[15].port, 1015);
    EXPECT_TRUE(r->firewall[15].enable);
    auto s = std::make_unique<ScadaRecipeData>();
    readJsonP(*s, "{\"firewall\":[{\"port\":1},{\"port\":2},{\"port\":3}]}");
    EXPECT_EQ(s->firewall[2].port, 3);
    EXPECT_EQ(s->firewall[3].port, 80);
    EXPECT_EQ(s->firewall[3].type, 1);
    EXPECT_EQ(s->firewall[3].protocol, 1);
    EXPECT_EQ(s->firewall[3].application, "HTTP");
    EXPECT_FALSE(s->firewall[3].enable);
}

TEST(CodecReader, DamagedTextsNeverBreakTheReader) {
    // Byte flips, cuts and insertions of structural characters: the reader stays inside the text
    // (the sanitizers watch) and never throws.
    LoraDeviceRecipeItem dev;
    dev.tankName = "T\"1}";
    std::string buf(8192, '\0');
    gIndentLevelForWriteJsonP = 0;
    const int n = writeJsonP(dev, buf.data(), 8192, "d");
    ASSERT_GT(n, 0);
    const std::string base = "{" + buf.substr(0, static_cast<size_t>(n)) + "}";
    std::mt19937 rng(7);
    auto doc = std::make_unique<ScadaRecipeData>();
    const char specials[] = "{}[]\",:\\ \n0t";
    for (int round = 0; round < 1500; ++round) {
        std::string t = base;
        for (int k = 0; k < 3; ++k) {
            size_t at = rng() % t.size();
            switch (rng() % 3) {
                case 0: t[at] = specials[rng() % (sizeof specials - 1)]; break;
                case 1: t.insert(at, 1, specials[rng() % (sizeof specials - 1)]); break;
                default: t.resize(at); break;
            }
            if (t.empty()) t = "{";
        }
        LoraDeviceRecipeItem out;
        EXPECT_NO_THROW(readJsonP(out, t));
        readJsonP(*doc, t);
        LoopRecipeVariant loop;
        readJsonP(loop, t);
        text32 s;
        readJsonP(s, std::string_view(t).substr(rng() % t.size()));
    }
}

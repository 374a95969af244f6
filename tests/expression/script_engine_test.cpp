#include "expression/script_engine.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

double var(const std::string& name) {
    std::lock_guard<std::mutex> lock(variableMapMutex());
    auto it = variable_map.find(name);
    return it == variable_map.end() ? -12345.0 : it->second;
}

TEST(ScriptEngine, EvaluatesAssignmentsSumsAndProducts) {
    EXPECT_EQ(ScriptEngine::run("sea = 1+3*2"), 7.0);
    EXPECT_EQ(var("sea"), 7.0);
    EXPECT_EQ(ScriptEngine::run("sea * 2 + 1"), 15.0);
    EXPECT_EQ(ScriptEngine::run("(1 + 2) * (3 + 4)"), 21.0);
    EXPECT_EQ(ScriptEngine::run("-3 * 2"), -6.0);
    EXPECT_EQ(ScriptEngine::run("+4 + -1"), 3.0);
    EXPECT_EQ(ScriptEngine::run("  2*2*2  \n"), 8.0);
    EXPECT_EQ(ScriptEngine::run("2147483647 + 1"), 2147483648.0);
    EXPECT_EQ(ScriptEngine::run("-2147483648"), -2147483648.0);
    // An unknown name reads 0 and is created.
    EXPECT_EQ(ScriptEngine::run("seunknown1 + 5"), 5.0);
    EXPECT_EQ(var("seunknown1"), 0.0);
    // White space between the letters of a name joins them.
    EXPECT_EQ(ScriptEngine::run("se b = 9"), 9.0);
    EXPECT_EQ(var("seb"), 9.0);
    EXPECT_EQ(ScriptEngine::run("s e b2 * 1"), 0.0);  // seb2, a new name
    // Nested assignment is not a factor: a name then "=" only at statement level.
    EXPECT_EQ(ScriptEngine::run("x9 = (sea)"), 7.0);
}

TEST(ScriptEngine, RejectsWhatDoesNotParseWhole) {
    for (const char* bad : {"", "   ", "1 +", "a =", "(1", "1)", "1 2", "- 3", "3 - 1", "1.5", "a = b = 1", "_a",
                            "99999999999", "2147483648", "a == 1", "1 * "}) {
        try {
            ScriptEngine::run(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Parse error") << bad;
        }
    }
    EXPECT_EQ(var("a"), -12345.0);  // nothing assigned by a rejected text
}

TEST(ScriptEngine, DeepNestingIsRefusedNotACrash) {
    std::string ok = std::string(100, '(') + "1" + std::string(100, ')');
    EXPECT_EQ(ScriptEngine::run(ok), 1.0);
    std::string sum;
    for (int i = 0; i < 100; ++i) sum += "1+";
    EXPECT_EQ(ScriptEngine::run(sum + "1"), 101.0);
    std::string deep = std::string(200000, '(') + "1" + std::string(200000, ')');
    EXPECT_THROW(ScriptEngine::run(deep), std::runtime_error);
    std::string longSum;
    for (int i = 0; i < 200000; ++i) longSum += "1*";
    EXPECT_THROW(ScriptEngine::run(longSum + "1"), std::runtime_error);
}

TEST(ScriptEngine, EvaluateReportsFailure) {
    ScriptEngine engine;
    std::string out = "untouched";
    EXPECT_FALSE(engine.evaluate("1 +", out));
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(engine.evaluate("sec = 5 * 5", out));
    EXPECT_EQ(out, "25");
    EXPECT_EQ(var("sec"), 25.0);
}

}  // namespace

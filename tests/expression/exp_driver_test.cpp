// Grammar, actions and messages of the expression driver.
#include <cmath>
#include <sstream>

#include "exp_test_util.h"

namespace {

using exptest::ExpFixture;
using exptest::Outcome;

class ExpGrammar : public ExpFixture {};

TEST_F(ExpGrammar, ArithmeticGroupsLeftWithStarAboveSum) {
    EXPECT_EQ(f("1+2*3"), 7.0f);
    EXPECT_EQ(f("7-2-1"), 4.0f);
    EXPECT_EQ(f("8/2/2"), 2.0f);
    EXPECT_EQ(f("(1+2)*3"), 9.0f);
    EXPECT_EQ(f("2*3+4*5"), 26.0f);
    EXPECT_EQ(f("10-2*3-1"), 3.0f);
    EXPECT_EQ(f("1/3"), 1.0f / 3.0f);  // single precision
    EXPECT_EQ(f("sin(0)"), 0.0f);
    EXPECT_EQ(f("sin(1+1)"), std::sin(2.0f));
    EXPECT_EQ(f("sin(sin(0))*5"), 0.0f);
    EXPECT_EQ(f("\t 1 \r\n +\n\n 2 "), 3.0f);
    EXPECT_TRUE(std::isinf(f("1/0")));
    EXPECT_TRUE(std::isnan(f("0/0")));
    EXPECT_EQ(f("2147483647"), 2147483648.0f);  // rounded to the nearest float
    EXPECT_EQ(f("16777217"), 16777216.0f);
    EXPECT_EQ(f("0007"), 7.0f);
}

TEST_F(ExpGrammar, PresetVariablesAndAssignments) {
    EXPECT_EQ(f("pH"), 7.0f);
    EXPECT_EQ(f("ORP/two"), 50.0f);
    EXPECT_EQ(f("one+two"), 3.0f);
    EXPECT_EQ(f("x = 3 x * x"), 9.0f);
    EXPECT_EQ(f("x"), 3.0f);  // kept for the next script
    EXPECT_EQ(f("a = 1 b = a + 1 b"), 2.0f);
    EXPECT_EQ(f("a = 5\nb = a * a\nb - a"), 20.0f);
    EXPECT_TRUE(b("flag = one < two flag || flag"));
    ExpValue v;
    ASSERT_TRUE(drv.getVar("flag", &v));
    EXPECT_EQ(v.index(), 1u);
    // Unknown names read as 0 / false and are not created.
    EXPECT_EQ(f("nosuch + 1"), 1.0f);
    EXPECT_FALSE(drv.getVar("nosuch", nullptr));
    EXPECT_FALSE(b("nosuch || nothing"));
    EXPECT_FALSE(drv.getVar("nothing", nullptr));
    // setVar overwrites, with any alternative.
    drv.setVar("pH", 6.5f);
    EXPECT_EQ(f("pH * two"), 13.0f);
    drv.setVar("count", 3);
    EXPECT_EQ(std::get<int>(drv.variables.at("count")), 3);
}

TEST_F(ExpGrammar, BooleanExpressions) {
    EXPECT_TRUE(b("one < two"));
    EXPECT_FALSE(b("!one < two"));  // "!" takes the comparison
    EXPECT_TRUE(b("two <= two"));
    EXPECT_FALSE(b("two < two"));
    EXPECT_TRUE(b("two >= two"));
    EXPECT_FALSE(b("one > two"));
    EXPECT_TRUE(b("1 + 1 > one * 1"));  // arithmetic binds tighter than comparisons
    EXPECT_FALSE(b("0/0 < 1"));
    EXPECT_FALSE(b("0/0 >= 1"));
    EXPECT_TRUE(b("(one < two)"));
    EXPECT_TRUE(b("!!(one < two)"));

    drv.setVar("t", true);
    drv.setVar("u", false);
    // "||" and "&&" bind equally and group to the right: u && t || t is u && (t || t).
    EXPECT_FALSE(b("u && t || t"));
    EXPECT_TRUE(b("t || t && u"));  // t || (t && u)
    EXPECT_TRUE(b("(u && one < two) || t"));
    // "!" takes the whole expression after it: !t || t is !(t || t).
    EXPECT_FALSE(b("!t || t"));
    EXPECT_TRUE(b("(!(one > two)) || u"));
    EXPECT_TRUE(b("t || u"));
    EXPECT_EQ(f("x_1 = 2 x_1"), 2.0f);
    // Assignments of booleans, then a boolean result.
    EXPECT_TRUE(b("c = one < two d = !(one > two) d && c"));
    EXPECT_FALSE(b("c = one < two d = !(one < two) d && c"));
}

TEST_F(ExpGrammar, WrongAlternativeThrowsOutOfTheParse) {
    // b holds a bool; the lone identifier at the end is read as a float.
    Outcome r = run("b = one < two b");
    EXPECT_TRUE(r.threw);
    EXPECT_EQ(r.what, "std::get: wrong index for variant");
    ExpValue v;
    ASSERT_TRUE(drv.getVar("b", &v));  // the assignment before it stays
    EXPECT_TRUE(std::get<bool>(v));
    // An identifier alone in parentheses is an arithmetic operand.
    EXPECT_TRUE(run("(b)").threw);
    EXPECT_FALSE(run("b || b").threw);
    // A float read as a bool.
    EXPECT_TRUE(run("one || one").threw);
    // parseStrFloat / parseStrBool on the other alternative.
    EXPECT_THROW(b("1 + 1"), std::bad_variant_access);
    EXPECT_THROW(f("one < two"), std::bad_variant_access);
    drv.setVar("i", 4);
    EXPECT_TRUE(run("i + 1").threw);
    // The engine is usable afterwards.
    EXPECT_EQ(f("two * two"), 4.0f);
}

TEST_F(ExpGrammar, SyntaxErrorMessages) {
    struct Case {
        const char* script;
        const char* loc;
        const char* text;
    } cases[] = {
        {"-1", "1.1", "syntax error, unexpected -"},
        {"1 +", "1.4", "syntax error, unexpected end of file, expecting ( or identifier or number or sin("},
        {"a == b", "1.3-4", "syntax error, unexpected =="},
        {"a = 1", "1.6", "syntax error, unexpected end of file"},
        {"", "1.1", "syntax error, unexpected end of file"},
        {"sin (2)", "1.5", "syntax error, unexpected ("},
        {"sin(2", "1.6", "syntax error, unexpected end of file"},  // five possible: none listed
        {"(1", "1.3", "syntax error, unexpected end of file"},
        {"sin(", "1.5", "syntax error, unexpected end of file, expecting ( or identifier or number or sin("},
        {"x = 1 +", "1.8", "syntax error, unexpected end of file, expecting ( or identifier or number or sin("},
        {"one < ", "1.7", "syntax error, unexpected end of file, expecting ( or identifier or number or sin("},
        {"1 2", "1.3", "syntax error, unexpected number"},
        {"1 + abcdef )", "1.12", "syntax error, unexpected )"},
        {"\n1 +\n   ++", "3.4", "syntax error, unexpected +, expecting ( or identifier or number or sin("},
        {"1 = 2", "1.3", "syntax error, unexpected ="},
        {"one < two ||", "1.13", "syntax error, unexpected end of file"},
        {"x = = 1", "1.5", "syntax error, unexpected ="},
        {"99999999999", "1.1-11", "integer is out of range: 99999999999"},
        {"2147483648", "1.1-10", "integer is out of range: 2147483648"},
        {"1 + 123456789012345678901234567890", "1.5-34", "integer is out of range: 123456789012345678901234567890"},
        {"2.5", "1.2", "invalid character: ."},
        {"a = 1\n  b = $", "2.7", "invalid character: $"},
        {"_x", "1.1", "invalid character: _"},
    };
    for (const auto& c : cases) {
        Outcome r = run(c.script);
        EXPECT_EQ(r.status, ExpDriver::PARSE_SYNTAX_ERROR) << c.script;
        EXPECT_EQ(r.err, msg(c.loc, c.text)) << c.script;
    }
}

TEST_F(ExpGrammar, ComparisonsDoNotChain) {
    Outcome r = run("one < two < pH");
    EXPECT_EQ(r.status, ExpDriver::PARSE_SYNTAX_ERROR);
    EXPECT_EQ(r.err, msg("1.11", "syntax error, unexpected <"));
    r = run("1 < 2 >= 3");
    EXPECT_EQ(r.err, msg("1.7-8", "syntax error, unexpected >="));
}

TEST_F(ExpGrammar, FailedScriptKeepsPreviousResultAndEarlierAssignments) {
    EXPECT_EQ(f("5 * 5"), 25.0f);
    Outcome r = run("k = 5 1 +");
    EXPECT_EQ(r.status, ExpDriver::PARSE_SYNTAX_ERROR);
    EXPECT_EQ(std::get<float>(r.value), 25.0f);
    EXPECT_EQ(f("k"), 5.0f);
    r = run("2.5");
    EXPECT_EQ(std::get<float>(r.value), 5.0f);
    EXPECT_EQ(std::get<float>(drv.lastResult()), 5.0f);
    // A fresh driver starts from float 0.
    ExpDriver fresh(dir.file("other.script"));
    ::testing::internal::CaptureStderr();
    ExpValue v = fresh.parseStr("+");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(v.index(), 0u);
    EXPECT_EQ(std::get<float>(v), 0.0f);
}

TEST_F(ExpGrammar, IdentifierReadings) {
    drv.setVar("t", true);
    // Followed by "=": an assignment; by "||" / "&&": boolean; otherwise arithmetic.
    EXPECT_TRUE(b("t && t"));
    EXPECT_TRUE(run("t").threw);
    EXPECT_EQ(f("t2 = 4 t2"), 4.0f);
    // After "=", "!", "||", "&&" or such a "(": boolean only before end of file, "||" or "&&";
    // before anything else (another statement, ")") it is arithmetic.
    drv.setVar("u", false);
    EXPECT_TRUE(b("z = !(one > two) z || u"));
    EXPECT_FALSE(b("z = !(one < two) z || u"));
    EXPECT_TRUE(b("!u"));
    EXPECT_TRUE(run("y = t y && t").threw);        // "y = t" assigns t as a float
    EXPECT_TRUE(run("w = (t) w || w").threw);      // (t) is arithmetic
    EXPECT_TRUE(b("w = (one < two) w || w"));
    // So a lone name before ")" or before the next statement cannot be boolean.
    Outcome r = run("t && (u || t)");
    EXPECT_EQ(r.err, msg("1.13", "syntax error, unexpected )"));
    r = run("(!t) || t");
    EXPECT_EQ(r.err, msg("1.4", "syntax error, unexpected )"));
    r = run("d = !t d");
    EXPECT_EQ(r.err, msg("1.8", "syntax error, unexpected identifier"));
    r = run("a = !b c");
    EXPECT_EQ(r.err, msg("1.8", "syntax error, unexpected identifier"));
    // sin( is one token; "sinus" is a name.
    drv.setVar("sinus", 2.0f);
    EXPECT_EQ(f("sinus * 2"), 4.0f);
}

TEST_F(ExpGrammar, ParseFileAndLocations) {
    std::string path = dir.file("script.txt");
    orvane::test::writeFile(path, "q = 2\nq * 21\n");
    EXPECT_EQ(drv.parse(path), 0);
    EXPECT_EQ(std::get<float>(drv.result), 42.0f);
    EXPECT_EQ(drv.file, path);

    // The printed forms of a location.
    std::string name = "f";
    std::ostringstream s1, s2, s3, s4;
    s1 << yy::location(yy::position(&name, 1, 2), yy::position(&name, 1, 3));
    s2 << yy::location(yy::position(&name, 1, 2), yy::position(&name, 1, 5));
    s3 << yy::location(yy::position(&name, 1, 2), yy::position(&name, 3, 4));
    s4 << yy::location(yy::position(nullptr, 2, 1), yy::position(nullptr, 2, 1));
    EXPECT_EQ(s1.str(), "f:1.2");
    EXPECT_EQ(s2.str(), "f:1.2-4");
    EXPECT_EQ(s3.str(), "f:1.2-3.3");
    EXPECT_EQ(s4.str(), "2.1");
}

TEST_F(ExpGrammar, Traces) {
    drv.traceScanning = true;
    Outcome r = run("1");
    EXPECT_NE(r.err.find("--accepting rule"), std::string::npos) << r.err;
    drv.traceScanning = false;
    drv.traceParsing = true;
    r = run("1");
    EXPECT_NE(r.err.find("Starting parse"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("--accepting rule"), std::string::npos);
    drv.traceParsing = false;
    r = run("1");
    EXPECT_EQ(r.err, "");
}

}  // namespace

#pragma once
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "expression/exp_driver.h"
#include "support/temp_dir.h"

namespace exptest {

// A driver whose scratch file lives in a private temp dir, and a runner that captures stderr.
struct Outcome {
    ExpValue value;
    int status = -1;
    std::string err;
    bool threw = false;
    std::string what;
};

class ExpFixture : public ::testing::Test {
protected:
    ExpFixture() : scratch(dir.file("tmp.script")), drv(scratch) {}

    Outcome run(const std::string& script) {
        Outcome r;
        ::testing::internal::CaptureStderr();
        try {
            r.value = drv.parseStr(script);
        } catch (const std::bad_variant_access& e) {
            r.threw = true;
            r.what = e.what();
        }
        r.err = ::testing::internal::GetCapturedStderr();
        r.status = drv.lastStatus();
        return r;
    }
    float f(const std::string& script) { return drv.parseStrFloat(script); }
    bool b(const std::string& script) { return drv.parseStrBool(script); }
    // The stderr line of a failed script: "<scratch>:<location>: <message>\n".
    std::string msg(const std::string& loc, const std::string& text) const { return scratch + ":" + loc + ": " + text + "\n"; }

    orvane::test::TempDir dir;
    std::string scratch;
    ExpDriver drv;
};

}  // namespace exptest

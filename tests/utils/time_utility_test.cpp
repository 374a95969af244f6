// TimeUtility under UTC and under a zone with summer time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

using orvane::platform::Clock;
using orvane::platform::SimulatedClock;

namespace {

// Sets TZ for the test and restores the previous value afterwards.
class InZone {
public:
    explicit InZone(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~InZone() {
        if (hadOld_) ::setenv("TZ", old_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

std::tm hms(int h, int m, int s) {
    std::tm t{};
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

}  // namespace

TEST(TimeUtility, UtcTextsAndParsing) {
    InZone utc("UTC");
    EXPECT_EQ(TimeUtility::getTimeString(0u, 8), "1970-01-01 08:00:00");
    EXPECT_EQ(TimeUtility::getTimeString(3600u, -1), "1970-01-01 00:00:00");
    EXPECT_EQ(TimeUtility::getTimeString(4294967295u, 0), "2106-02-07 06:28:15");
    EXPECT_EQ(TimeUtility::getTimeString(1704067200L), "2024-01-01 00:00:00");
    EXPECT_EQ(TimeUtility::getTimestampInSec(20240101L), 1704067200);
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("2024-01-01 00:00:00")), 1704067200);
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("2024-02-29 23:59:59")), 1709251199);
    // Text that does not parse is refused instead of being read half.
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("garbage")), -1);
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("2024-01-01")), -1);
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("2024-01-01 00:00:00x")), -1);
    EXPECT_EQ(TimeUtility::getTimestampInSec(202401L), -1);

    std::tm t = hms(9, 5, 3);
    EXPECT_EQ(TimeUtility::getHHMMSS(t), 90503);
    EXPECT_EQ(TimeUtility::getSecInDay(t), 32703);
    t = hms(13, 45, 7);
    EXPECT_EQ(TimeUtility::getHHMMSS(t), 134507);

    EXPECT_EQ(TimeUtility::showtime(0), "local Thu Jan  1 00:00:00 1970\n, utc Thu Jan  1 00:00:00 1970\n");
    EXPECT_EQ(TimeUtility::showtime(86399999), "local Thu Jan  1 23:59:59 1970\n, utc Thu Jan  1 23:59:59 1970\n");
}

TEST(TimeUtility, CurrentTimeComesFromThePlatformClock) {
    InZone zone("Europe/Berlin");
    SimulatedClock clock(1719784800 /* 2024-06-30 22:00:00 UTC */, 5000);
    Clock::setForTest(&clock);
    EXPECT_EQ(TimeUtility::getTimestampInSec(), 1719784800);
    EXPECT_EQ(TimeUtility::getSteadyTsSec(), 5);
    EXPECT_EQ(TimeUtility::getTimeString(true, "%Y%m%d_%H%M%S"), "20240630_220000");
    EXPECT_EQ(TimeUtility::getTimeString(false, "%Y%m%d_%H%M%S"), "20240701_000000");
    // A pattern whose text exceeds any fixed buffer.
    std::string longPattern(50, '-');
    longPattern += "%Y-%m-%d %H:%M:%S %Z";
    longPattern += std::string(50, '-');
    EXPECT_EQ(TimeUtility::getTimeString(false, longPattern.c_str()),
              std::string(50, '-') + "2024-07-01 00:00:00 CEST" + std::string(50, '-'));
    clock.advance(std::chrono::milliseconds(2500));
    EXPECT_EQ(TimeUtility::getSteadyTsSec(), 7);
    EXPECT_EQ(TimeUtility::getTimestampInSec(), 1719784802);
    Clock::setForTest(nullptr);
}

TEST(TimeUtility, SummerTimeZone) {
    InZone zone("Europe/Berlin");
    // Local midnight in summer (CEST, UTC+2) and winter (CET, UTC+1).
    EXPECT_EQ(TimeUtility::getTimestampInSec(20240701L), 1719784800);
    EXPECT_EQ(TimeUtility::getTimestampInSec(std::string("2024-07-01 00:00:00")), 1719784800);
    EXPECT_EQ(TimeUtility::getTimestampInSec(20240101L), 1704063600);
    EXPECT_EQ(TimeUtility::getTimeString(1719784800L), "2024-07-01 00:00:00");
    EXPECT_EQ(TimeUtility::getTimeString(1704063600L), "2024-01-01 00:00:00");
    // Round trip through text across the year, every 5 days at 12:34:56 local.
    for (long t = 1704112496; t < 1735689600; t += 5 * 86400) {
        std::string text = TimeUtility::getTimeString(t);
        EXPECT_EQ(TimeUtility::getTimestampInSec(text), t) << text;
        EXPECT_TRUE(Utility::isValidTimestamp(text)) << text;
    }
    // Summer times are valid local times; the hour skipped in spring is not.
    EXPECT_TRUE(Utility::isValidTimestamp("2024-07-15 12:00:00"));
    EXPECT_TRUE(Utility::isValidTimestamp("2024-03-31 01:59:59"));
    EXPECT_FALSE(Utility::isValidTimestamp("2024-03-31 02:30:00"));
    EXPECT_TRUE(Utility::isValidTimestamp("2024-03-31 03:00:00"));
    EXPECT_TRUE(Utility::isValidTimestamp("2024-10-27 02:30:00"));  // the repeated hour exists
    EXPECT_FALSE(Utility::isValidTimestamp("2024-02-30 12:00:00"));
    // UTC texts are unaffected by the local zone.
    EXPECT_EQ(TimeUtility::getTimeString(1719784800u, 0), "2024-06-30 22:00:00");
    EXPECT_EQ(TimeUtility::showtime(1719784800000LL),
              "local Mon Jul  1 00:00:00 2024\n, utc Sun Jun 30 22:00:00 2024\n");
}

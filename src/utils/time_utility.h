#pragma once
// Clock readings and date-time texts ("%Y-%m-%d %H:%M:%S") shared by every component.
// Current times come from orvane::platform::Clock, so tests can run on a simulated clock.
// Local time is the process's time zone (TZ).
#include <cstdint>
#include <ctime>
#include <string>

class TimeUtility {
public:
    TimeUtility() = delete;

    // Wall-clock Unix seconds.
    static int64_t getTimestampInSec();
    // Steady-clock seconds (meaningful only as a difference).
    static int64_t getSteadyTsSec();

    // "%Y-%m-%d %H:%M:%S" of t + hours * 3600 taken as UTC.
    static std::string getTimeString(unsigned int t, int hours);
    // "%Y-%m-%d %H:%M:%S" of t in local time.
    static std::string getTimeString(long t);
    // The current time in UTC (utc = true) or local time, formatted with a strftime pattern.
    static std::string getTimeString(bool utc, const char* format);
    // t formatted with a strftime pattern.
    static std::string getTimeString(tm& t, const char* format);

    // Unix time of local midnight of a date given as the number YYYYMMDD.
    static int64_t getTimestampInSec(long date);
    // Unix time of a local "%Y-%m-%d %H:%M:%S" text.
    static int64_t getTimestampInSec(const std::string& text);

    // hour * 10000 + minute * 100 + second.
    static int getHHMMSS(tm& t);
    // hour * 3600 + minute * 60 + second.
    static int getSecInDay(tm& t);

    // "local <asctime local>, utc <asctime utc>" of ms / 1000 (each asctime text ends in '\n').
    static std::string showtime(long long ms);
};

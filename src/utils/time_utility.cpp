#include "utils/time_utility.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "platform/clock.h"

namespace {

constexpr const char* kDateTime = "%Y-%m-%d %H:%M:%S";

// Parses text with a strptime pattern and converts it as local time, letting mktime decide
// whether summer time applies. -1 when the text does not match the whole pattern or names no
// local time.
int64_t parseLocal(const std::string& text, const char* pattern) {
    std::tm t{};
    const char* end = ::strptime(text.c_str(), pattern, &t);
    if (!end || *end != '\0') return -1;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

}  // namespace

int64_t TimeUtility::getTimestampInSec() { return orvane::platform::Clock::get().wallSeconds(); }

int64_t TimeUtility::getSteadyTsSec() { return orvane::platform::Clock::get().steadySeconds(); }

std::string TimeUtility::getTimeString(unsigned int t, int hours) {
    time_t tt = static_cast<time_t>(t) + static_cast<time_t>(hours) * 3600;
    std::tm tmv{};
    if (!::gmtime_r(&tt, &tmv)) return {};
    char buf[80];
    size_t n = std::strftime(buf, sizeof buf, kDateTime, &tmv);
    return std::string(buf, n);
}

std::string TimeUtility::getTimeString(long t) {
    time_t tt = static_cast<time_t>(t);
    std::tm tmv{};
    if (!::localtime_r(&tt, &tmv)) return {};
    return getTimeString(tmv, kDateTime);
}

std::string TimeUtility::getTimeString(bool utc, const char* format) {
    time_t now = static_cast<time_t>(orvane::platform::Clock::get().wallSeconds());
    std::tm tmv{};
    if (!(utc ? ::gmtime_r(&now, &tmv) : ::localtime_r(&now, &tmv))) return {};
    return getTimeString(tmv, format);
}

std::string TimeUtility::getTimeString(tm& t, const char* format) {
    if (!format) return {};
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::put_time(&t, format);
    return out.str();
}

int64_t TimeUtility::getTimestampInSec(long date) { return parseLocal(std::to_string(date), "%Y%m%d"); }

int64_t TimeUtility::getTimestampInSec(const std::string& text) { return parseLocal(text, kDateTime); }

int TimeUtility::getHHMMSS(tm& t) { return t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec; }

int TimeUtility::getSecInDay(tm& t) { return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec; }

std::string TimeUtility::showtime(long long ms) {
    time_t t = static_cast<time_t>(ms / 1000);
    std::tm local{}, utc{};
    char a[64] = {0}, b[64] = {0};
    if (!::localtime_r(&t, &local) || !::asctime_r(&local, a)) a[0] = '\0';
    if (!::gmtime_r(&t, &utc) || !::asctime_r(&utc, b)) b[0] = '\0';
    return std::string("local ") + a + ", utc " + b;
}

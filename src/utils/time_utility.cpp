#include "utils/time_utility.h"

// Placeholder bodies; replaced by the real implementation.
int64_t TimeUtility::getTimestampInSec() { return 0; }
int64_t TimeUtility::getSteadyTsSec() { return 0; }
std::string TimeUtility::getTimeString(unsigned int, int) { return {}; }
std::string TimeUtility::getTimeString(long) { return {}; }
std::string TimeUtility::getTimeString(bool, const char*) { return {}; }
std::string TimeUtility::getTimeString(tm&, const char*) { return {}; }
int64_t TimeUtility::getTimestampInSec(long) { return -1; }
int64_t TimeUtility::getTimestampInSec(const std::string&) { return -1; }
int TimeUtility::getHHMMSS(tm& t) { return t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec; }
int TimeUtility::getSecInDay(tm& t) { return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec; }
std::string TimeUtility::showtime(long long) { return {}; }

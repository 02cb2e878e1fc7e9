// Log clock on POSIX: the monotonic clock stands in for the performance
// counter; local time from localtime_r. Twin: log_win32.cpp.
#include <ctime>
#include "log/log.h"

int64_t PerfCounterFrequency() {
    return 1000000000;
}

int64_t PerfCounterNow() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void LocalTimeTexts(char timeText[9], char dateText[9]) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    strftime(timeText, 9, "%H:%M:%S", &t);
    strftime(dateText, 9, "%m/%d/%y", &t);
}

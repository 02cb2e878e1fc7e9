// Log clock on Windows: the performance counter and the local clock.
// Twin: log_posix.cpp.
#include <windows.h>
#include <ctime>
#include "log/log.h"

int64_t PerfCounterFrequency() {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f)) return 0;
    return f.QuadPart;
}

int64_t PerfCounterNow() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

void LocalTimeTexts(char timeText[9], char dateText[9]) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_s(&t, &now);
    strftime(timeText, 9, "%H:%M:%S", &t);
    strftime(dateText, 9, "%m/%d/%y", &t);
}

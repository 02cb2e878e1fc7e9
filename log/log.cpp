// The communication log: entry format, data rendering, the entry timer and
// the file append. One lock keeps entries whole and the timer consistent.
#include "log/log.h"
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

static std::mutex logLock;
static char logPath[101];          // guarded by logLock; empty: no log
static int64_t perfFrequency = 0;  // guarded by logLock
static int64_t perfLast = 0;       // guarded by logLock

int64_t PerfTicksToMicros(int64_t ticks, int64_t frequency) {
    if (frequency <= 0) return 0;
    int64_t seconds = ticks / frequency;
    int64_t rest = ticks % frequency;
    // A gap too long for 64 bits of microseconds is held at the limit.
    if (seconds > INT64_MAX / 1000000 - 1) return INT64_MAX;
    if (seconds < INT64_MIN / 1000000 + 1) return INT64_MIN;
    // rest * 10^6 needs more than 64 bits once the counter runs faster than
    // 9.2 THz; the product is formed wide.
    return seconds * 1000000 + (int64_t)((__int128)rest * 1000000 / frequency);
}

static void RestartLocked() {
    perfFrequency = PerfCounterFrequency();
    if (perfFrequency == 0) return;
    perfLast = PerfCounterNow();
}

static int64_t ElapsedLocked() {
    if (perfFrequency == 0) return 0;
    int64_t now = PerfCounterNow();
    int64_t micros = PerfTicksToMicros(now - perfLast, perfFrequency);
    perfLast = now;
    return micros;
}

void PerfTimerRestart() {
    std::lock_guard<std::mutex> guard(logLock);
    RestartLocked();
}

void LogSetPath(const char* path) {
    std::lock_guard<std::mutex> guard(logLock);
    snprintf(logPath, sizeof logPath, "%s", path ? path : "");
}

bool LogEnabled() {
    std::lock_guard<std::mutex> guard(logLock);
    return logPath[0] != 0;
}

// Appends text to path, every "\n" stored as "\r\n"; 0 written, 1 not opened.
static int AppendToFile(const char* path, const char* text) {
    FILE* f = fopen(path, "ab");
    if (!f) return 1;
    // Stored as a Windows text-mode file would store it: LF becomes CR LF.
    for (const char* p = text; *p; p++) {
        if (*p == '\n') fputc('\r', f);
        fputc(*p, f);
    }
    fclose(f);
    return 0;
}

// Writes one entry; the caller holds logLock and has checked the path and text.
static void LogTextLocked(const char* text) {
    char timeText[9], dateText[9];
    LocalTimeTexts(timeText, dateText);
    double ms = (double)ElapsedLocked() / 1000.0;
    char entry[4096];
    snprintf(entry, sizeof entry, "\n%s %s +%5.2f msek. %s", timeText, dateText, ms, text);
    AppendToFile(logPath, entry);
}

void LogText(const char* text) {
    if (!text || !text[0]) return;
    std::lock_guard<std::mutex> guard(logLock);
    if (!logPath[0]) return;
    LogTextLocked(text);
}

void LogFormat(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogText(text);
}

void EscapeBytes(const uint8_t* data, int length, char* out) {
    static const char hex[] = "0123456789ABCDEF";
    char* o = out;
    *o = 0;
    for (int i = 0; i < length; i++) {
        uint8_t b = data[i];
        if (b >= 0x20 && b <= 0x7F) {
            *o++ = (char)b;
        } else if (b == 0x0A) {
            memcpy(o, "[LF]", 4), o += 4;
        } else if (b == 0x0D) {
            memcpy(o, "[CR]", 4), o += 4;
        } else if (b == 0x1B) {
            memcpy(o, "[ESC]", 5), o += 5;
        } else {
            o[0] = '[', o[1] = hex[b >> 4], o[2] = hex[b & 15], o[3] = ']', o += 4;
        }
        *o = 0;
    }
}

void LogDump(const char* header, const uint8_t* data, int length) {
    if (!LogEnabled()) return;
    if (length < 0) length = 0;
    // Sized for the worst case (five characters a byte), so no dump is cut.
    std::vector<char> rendering((size_t)length * 5 + 1);
    EscapeBytes(data, length, rendering.data());
    std::lock_guard<std::mutex> guard(logLock);
    if (!logPath[0]) return;
    if (header && header[0]) LogTextLocked(header);
    AppendToFile(logPath, rendering.data());
}

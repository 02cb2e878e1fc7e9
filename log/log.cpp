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
// Above this many bytes the log moves to "<name>.1" and starts afresh.
static int64_t logMaxBytes = kLogDefaultMaxBytes;  // guarded by logLock
static bool moveFailedSaid = false;                 // guarded by logLock

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

void LogSetMaxBytes(int64_t bytes) {
    std::lock_guard<std::mutex> guard(logLock);
    logMaxBytes = bytes > 0 ? bytes : kLogDefaultMaxBytes;
}

bool LogEnabled() {
    std::lock_guard<std::mutex> guard(logLock);
    return logPath[0] != 0;
}

// "\n" + time, date, the milliseconds since the last entry and the text.
static void FormatEntryLocked(const char* text, char* entry, size_t size) {
    char timeText[9], dateText[9];
    LocalTimeTexts(timeText, dateText);
    double ms = (double)ElapsedLocked() / 1000.0;
    snprintf(entry, size, "\n%s %s +%5.2f msek. %s", timeText, dateText, ms, text);
}

// The bytes text takes in the file, every "\n" stored as "\r\n".
static int64_t StoredSize(const char* text) {
    int64_t n = 0;
    for (const char* p = text; *p; p++) n += *p == '\n' ? 2 : 1;
    return n;
}

static void WriteStored(FILE* f, const char* text) {
    // Stored as a Windows text-mode file would store it: LF becomes CR LF.
    for (const char* p = text; *p; p++) {
        if (*p == '\n') fputc('\r', f);
        fputc(*p, f);
    }
}

// Appends head and then tail (either may be empty) to the log as one piece;
// the caller holds logLock. When the piece would take the file past
// logMaxBytes, the file is first renamed to "<name>.1" (an older one is
// replaced) and the new file starts with an entry that says so.
static void AppendLocked(const char* head, const char* tail) {
    FILE* f = fopen(logPath, "ab");
    if (!f) return;
    int64_t size = fseek(f, 0, SEEK_END) == 0 ? (int64_t)ftell(f) : -1;
    if (size > 0 && size + StoredSize(head) + StoredSize(tail) > logMaxBytes) {
        fclose(f);
        char old[sizeof logPath + 2];
        snprintf(old, sizeof old, "%s.1", logPath);
        remove(old);  // a rename onto an existing file fails on Windows
        bool moved = rename(logPath, old) == 0;
        f = fopen(logPath, "ab");
        if (!f) return;
        // A log that cannot be moved (a folder we may not write to) goes on
        // growing as before, and says so once until a move succeeds.
        if (moved || !moveFailedSaid) {
            char notice[300];
            if (moved)
                snprintf(notice, sizeof notice, "Log przekroczyl %lld bajtow - poprzedni zapisano jako %s",
                         (long long)logMaxBytes, old);
            else
                snprintf(notice, sizeof notice, "Error - log przekroczyl %lld bajtow, blad zmiany nazwy na %s",
                         (long long)logMaxBytes, old);
            char entry[400];
            FormatEntryLocked(notice, entry, sizeof entry);
            WriteStored(f, entry);
        }
        moveFailedSaid = !moved;
    }
    WriteStored(f, head);
    WriteStored(f, tail);
    fclose(f);
}

// Writes one entry; the caller holds logLock and has checked the path and text.
static void LogTextLocked(const char* text, const char* tail = "") {
    char entry[4096];
    FormatEntryLocked(text, entry, sizeof entry);
    AppendLocked(entry, tail);
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

void EscapeText(const char* text, char* out, size_t size) {
    if (size == 0) return;
    out[0] = 0;
    size_t used = 0;
    char one[6];
    for (const char* p = text ? text : ""; *p; p++) {
        EscapeBytes((const uint8_t*)p, 1, one);
        size_t n = strlen(one);
        if (used + n >= size) break;  // cut before a rendering, never inside one
        memcpy(out + used, one, n + 1);
        used += n;
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
    if (header && header[0])
        LogTextLocked(header, rendering.data());
    else
        AppendLocked("", rendering.data());
}

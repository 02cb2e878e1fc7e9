// The communication log: time-stamped Windows-1250 entries with the
// milliseconds since the previous entry, and escaped data dumps.
#pragma once
#include <cstddef>
#include <cstdint>

// The file the entries go to, as the layer above reads it from the settings;
// empty switches the log off. Safe from any thread.
void LogSetPath(const char* path);
// The size above which the log file is renamed to "<name>.1" (replacing an
// older one) and started afresh; 0 or less restores the default.
const int64_t kLogDefaultMaxBytes = 10 * 1024 * 1024;
void LogSetMaxBytes(int64_t bytes);
// Whether a path is set (callers skip formatting work the log would drop).
bool LogEnabled();
// Appends one entry "\n%s %s +%5.2f msek. %s" to the log file; does nothing
// when the path or the text is empty. Safe from any thread.
void LogText(const char* text);
// printf-style convenience around LogText (the result is cut at 4095).
void LogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// LogText(header) followed on the same line by EscapeBytes(data).
void LogDump(const char* header, const uint8_t* data, int length);
// Renders bytes printably; out must hold 5 * length + 1 characters.
void EscapeBytes(const uint8_t* data, int length, char* out);
// EscapeBytes for a text up to its zero byte, cut to fit size (with its
// zero): foreign names and fields go into entries this way, so an entry
// stays one line.
void EscapeText(const char* text, char* out, size_t size);

// The process-wide timer that measures the gap between entries.
// Restart: the next entry's gap counts from now.
void PerfTimerRestart();
// Exact (now - last) * 1e6 / frequency without leaving signed 64-bit range.
int64_t PerfTicksToMicros(int64_t ticks, int64_t frequency);

// Platform seam (log_posix.cpp / log_win32.cpp).
int64_t PerfCounterFrequency();  // 0 when unknown
int64_t PerfCounterNow();
// Local time "HH:MM:SS" and date "MM/DD/YY", each 8 characters plus NUL.
void LocalTimeTexts(char timeText[9], char dateText[9]);

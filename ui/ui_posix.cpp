// The tray stand-in of the Linux daemon: the tooltip becomes one UTF-8 status
// line on stdout, printed when the port state or the text changes (not for
// the activity blink) and at most once a second. stdout is written without
// ever blocking the main thread. Twin: ui_win32.cpp.
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include "base/bridge.h"
#include "base/cp1250.h"
#include "ui/ui.h"

// All of this is the main thread's: start-up, the tick and the reload.
using Clock = std::chrono::steady_clock;
static std::string printedLine;  // the last line handed to the output
static std::string heldLine;     // a changed line waiting for its second
static Clock::time_point printedAt;
static bool anyPrinted = false;
static std::string unsentTail;  // the rest of a line the output took in part

// Where the lines go: a private non-blocking descriptor for a pipe or a
// terminal, non-blocking sends for a socket (the journal), plain writes for
// a regular file, which never waits for a reader.
static int statusFd = -1;
static bool statusIsSocket = false;

static void PrepareOutput() {
    statusFd = STDOUT_FILENO;
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0 || S_ISREG(st.st_mode)) return;
    if (S_ISSOCK(st.st_mode)) {
        statusIsSocket = true;
        return;
    }
    // Opening the same pipe or terminal anew gives a description of our own,
    // so O_NONBLOCK does not reach whoever shares stdout (stderr, a shell).
    int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        statusFd = fd;
        return;
    }
    fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
}

// Bytes taken, or -1 (full, closed, gone): never waits.
static ssize_t WriteNow(const char* data, size_t length) {
    if (statusIsSocket) return send(statusFd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return write(statusFd, data, length);
}

// Hands one line to the output. A line the output cannot take now is
// dropped; one taken in part is finished before any later line, so lines
// never mix.
static void Emit(const std::string& line) {
    if (statusFd < 0) PrepareOutput();
    if (!unsentTail.empty()) {
        ssize_t n = WriteNow(unsentTail.data(), unsentTail.size());
        if (n > 0) unsentTail.erase(0, (size_t)n);
        if (!unsentTail.empty()) return;
    }
    ssize_t n = WriteNow(line.data(), line.size());
    if (n > 0 && (size_t)n < line.size()) unsentTail = line.substr((size_t)n);
}

static void PrintNow(const std::string& line) {
    Emit(line);
    printedLine = line;
    printedAt = Clock::now();
    anyPrinted = true;
    heldLine.clear();
}

static bool SecondPassed() {
    return !anyPrinted || Clock::now() - printedAt >= std::chrono::seconds(1);
}

void StatusLineFlush() {
    if (!heldLine.empty() && SecondPassed()) PrintNow(heldLine);
}

void TrayIconUpdate(int operation, int icon, const char* text) {
    // Adding and removing the icon carry no text and print nothing.
    if (!text || operation == kTrayDelete) return;
    char tooltip[kTooltipMax + 1];
    BuildTooltip(text, tooltip);
    // The line leads with the port's state; the activity icon stands for the
    // state under it, so the blink alone changes nothing.
    bool open = icon == kIconOpen ||
                (icon == kIconActivity && bridge.baseIcon == kIconOpen);
    const char* state = "";
    if (icon == kIconOpen || icon == kIconClosed || icon == kIconActivity)
        state = open ? "port otwarty" : "port zamkni\xEAty";
    // The tooltip's lines joined by " | ", empty ones (the gap after the
    // auto-disconnect count) left out.
    char joined[32 + kTooltipMax * 3 + 1];
    size_t used = strlen(state);
    memcpy(joined, state, used);
    for (const char* line = tooltip; *line;) {
        const char* end = strchr(line, '\n');
        size_t n = end ? (size_t)(end - line) : strlen(line);
        if (n > 0) {
            if (used > 0) {
                memcpy(joined + used, " | ", 3);
                used += 3;
            }
            memcpy(joined + used, line, n);
            used += n;
        }
        line += n + (end ? 1 : 0);
    }
    joined[used] = 0;
    char utf8[sizeof joined * 3];
    Cp1250ToUtf8(joined, utf8, sizeof utf8);
    std::string line = std::string(utf8) + "\n";

    if (anyPrinted && line == printedLine) {
        heldLine.clear();  // back to what was printed: nothing to add
        return;
    }
    if (SecondPassed())
        PrintNow(line);
    else
        heldLine = line;
}

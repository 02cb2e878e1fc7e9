// The tray stand-in of the Linux daemon: every tooltip refresh becomes one
// UTF-8 line on stdout. Twin: ui_win32.cpp.
#include <cstdio>
#include <cstring>
#include "base/bridge.h"
#include "base/cp1250.h"
#include "ui/ui.h"

void TrayIconUpdate(int operation, int icon, const char* text) {
    // Adding and removing the icon carry no text and print nothing.
    if (!text || operation == kTrayDelete) return;
    char tooltip[kTooltipMax + 1];
    BuildTooltip(text, tooltip);
    // One line per refresh: the tooltip's lines joined by " | ", empty ones
    // (the gap after the auto-disconnect count) left out.
    // The icon's meaning leads the line, as the icon leads the tooltip.
    const char* state = icon == kIconOpen       ? "port otwarty"
                        : icon == kIconActivity ? "transmisja"
                        : icon == kIconClosed   ? "port zamkni\xEAty"
                                                : "";
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
    // stdout may be closed or a broken pipe; the bridge runs on regardless.
    fputs(utf8, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

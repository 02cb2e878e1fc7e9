// The tray user interface: tooltip and statistics text everywhere; on
// Windows also the hidden window, tray icon, menu, About box and dialogs.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int { kTrayAdd = 0, kTrayModify = 1, kTrayDelete = 2, kTooltipMax = 127 };

// The statistics text (Windows-1250) into a 256-byte buffer.
void FormatStatistics(char out[256]);
// The tooltip as the tray would show it: "IP:\n", the addresses, the
// interface, the text; cut to 127 bytes. out holds 128 bytes.
void BuildTooltip(const char* text, char out[128]);
// Shows icon (a resource id) and the tooltip built from text (nullptr: empty).
// Linux prints the tooltip to stdout as UTF-8, one line when the port state
// or the text changed, at most one a second, never waiting for stdout.
// Windows without a tray window (the service) shows nothing.
void TrayIconUpdate(int operation, int icon, const char* text);
// Linux daemon, every tick: prints a changed line that the once-a-second
// limit held back, once its second is up. Nothing on Windows.
void StatusLineFlush();

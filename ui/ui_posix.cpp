// Tray stand-in on Linux (placeholder). Twin: ui_win32.cpp.
#include "ui/ui.h"

void TrayIconUpdate(int, int, const char*) {}

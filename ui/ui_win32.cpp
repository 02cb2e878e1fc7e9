// Tray icon, window and dialogs on Windows (placeholder). Twin: ui_posix.cpp.
#include "ui/ui.h"

void TrayIconUpdate(int, int, const char*) {}

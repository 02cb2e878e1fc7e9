// The Windows tray application's main loop (placeholder). Twin: app_posix.cpp.
#include "core/core.h"

int KestrunMain() {
    StartupBegin();
    EndBanner();
    return 0;
}

void RequestShutdown() {}

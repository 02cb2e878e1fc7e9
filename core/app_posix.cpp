// The Linux daemon's main loop (placeholder). Twin: app_win32.cpp.
#include "core/core.h"

int KestrunMain() {
    StartupBegin();
    EndBanner();
    return 0;
}

void RequestShutdown() {}

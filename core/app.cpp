// Start-up and shutdown (placeholder until the servers exist).
#include "core/core.h"
#include "log/log.h"

int KestrunMain() {
    LoadSettings();
    LogText("------------- Start programu --------------------");
    LogText("------------- Koniec programu --------------------");
    return 0;
}

void RequestShutdown() {}
void HousekeepingTick() {}
void ApplySettingsChange(const uint8_t*) {}
void ApplyVirtualPortsChange(const uint8_t*) {}
int32_t IdleLimitTicks(int32_t s) { return s * 1000 / 300; }

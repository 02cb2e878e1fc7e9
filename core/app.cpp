// Start-up and shutdown steps shared by both programs (placeholder).
#include "core/core.h"
#include "log/log.h"

void StartupBegin() {
    LoadSettings();
    LogText("------------- Start programu --------------------");
}
void StartupServices() {}
void StartupAlwaysOpen() {}
void ShutdownServices() {}
void EndBanner() {
    LogText("------------- Koniec programu --------------------");
}
void HousekeepingTick() {}
void ApplySettingsChange(const uint8_t*) {}
void ApplyVirtualPortsChange(const uint8_t*) {}
int32_t IdleLimitTicks(int32_t s) { return s * 1000 / 300; }

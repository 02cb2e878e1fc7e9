// Start-up, shutdown, the housekeeping tick and the shared logic that applies
// changed settings (dialogs on Windows, SIGHUP on Linux).
#pragma once
#include <cstdint>
#include "core/settings.h"

// Runs the whole program: start-up, the main loop, shutdown; the exit code.
int KestrunMain();
// Asks the main loop to shut down (KILL, a signal, "Wyłącz"); any thread.
void RequestShutdown();
// One 300 ms tick on the main thread.
void HousekeepingTick();
// Compares the live record with the snapshot taken before the change and
// restarts exactly what changed (servers, the always-open port).
void ApplySettingsChange(const uint8_t snapshot[kSettingsSize]);
// Same for the virtual-port switch.
void ApplyVirtualPortsChange(const uint8_t snapshot[kSettingsSize]);
// Idle limit in ticks for autoDisconnectSeconds, without overflow.
int32_t IdleLimitTicks(int32_t autoDisconnectSeconds);

// Start-up, shutdown, the housekeeping tick and the shared logic that applies
// changed settings (dialogs on Windows, SIGHUP on Linux).
#pragma once
#include <cstdint>
#include "core/settings.h"

// Runs the whole program: start-up, the main loop, shutdown; the exit code.
// Per platform: app_posix.cpp (daemon) and app_win32.cpp (tray application).
int KestrunMain();
// Asks the main loop to shut down (KILL, a signal, "Wyłącz"); any thread.
void RequestShutdown();

// The portable steps of start-up and shutdown, called by both KestrunMains in
// the program's fixed order:
//   StartupBegin      clear virtualStatus, LoadSettings, start banner
//   (platform: window / instance lock)
//   StartupServices   spool directory and old jobs, control servers (UDP
//                     before TCP, both on when both are off), virtual ports,
//                     host addresses
//   (platform: tray icon, 300 ms timer)
//   StartupAlwaysOpen the always-open port, time-outs 10/50/0
//   (main loop)
//   ShutdownServices  SerialOff, UDPServerOff, TCPServerOff, VirtualPortsOff
//   EndBanner         "------------- Koniec programu --------------------"
void StartupBegin();
void StartupServices();
void StartupAlwaysOpen();
void ShutdownServices();
void EndBanner();

// One 300 ms tick on the main thread.
void HousekeepingTick();
// Compares the live record with the snapshot taken before the change and
// restarts exactly what changed (servers, the always-open port).
void ApplySettingsChange(const uint8_t snapshot[kSettingsSize]);
// Same for the virtual-port switch.
void ApplyVirtualPortsChange(const uint8_t snapshot[kSettingsSize]);
// Idle limit in ticks for autoDisconnectSeconds, without overflow.
int32_t IdleLimitTicks(int32_t autoDisconnectSeconds);

// Start-up, shutdown, the housekeeping tick and the shared logic that applies
// changed settings (dialogs on Windows, SIGHUP on Linux).
#pragma once
#include <cstdint>
#include "base/settings.h"
// StartAlwaysOpenPort and KeepAlwaysOpenPortOpen live beside the always-open
// claim, in serial/.
#include "serial/serial.h"

// The program itself is per platform: app_posix.cpp (the daemon's main),
// app_win32.cpp (the tray application's WinMain and window) and
// service_win32.cpp (the Windows service).
// Asks the main loop to shut down (KILL, a signal, "Wyłącz", a service stop);
// any thread.
void RequestShutdown();

// The portable steps of start-up and shutdown, called by both programs in
// their fixed order:
//   StartupBegin      clear virtualStatus, LoadSettings, the log told its
//                     path, start banner
//   (platform: window / instance lock; BridgeConnect)
//   StartupServices   spool directory and old jobs, control servers (UDP
//                     before TCP, both on when both are off), virtual ports,
//                     host addresses
//   (platform: tray icon, 300 ms timer)
//   StartAlwaysOpenPort the always-open port, time-outs 10/50/0
//   (main loop)
//   ShutdownServices  every client connection cut, SerialShutdown,
//                     UDPServerOff, TCPServerOff, VirtualPortsOff; step,
//                     when given, is called after each of them (a service
//                     reports its progress)
//   EndBanner         "------------- Koniec programu --------------------"
void StartupBegin();
void StartupServices();
void ShutdownServices(void (*step)() = nullptr);
void EndBanner();

enum : int { kTickPeriodMs = 300 };
// One 300 ms tick on the main thread.
void HousekeepingTick();
// What ended a wait between two ticks of RunTickLoop.
enum : int { kWaitTimedOut = 0, kWaitReload = 1, kWaitShutdown = 2 };
// The tick loop of the daemon and of the Windows service: HousekeepingTick
// every 300 ms on a steady clock (after a stall it goes on from now, no
// burst of ticks), and between ticks waitForRequest(ms), which waits up to
// ms for a request. kWaitReload re-reads setup.dat (ReloadSettings);
// kWaitShutdown ends the loop.
void RunTickLoop(int (*waitForRequest)(int timeoutMs));
// The refresh after the settings dialog (and after a reload on Linux): picks
// trayIcon from the activity and the base icon and shows the statistics.
// operation is kTrayModify, or kTrayAdd when the shell restarted.
void RefreshTray(int operation);
// Saves the record to setup.dat (replaced whole, never cut short); a failure
// is logged and its error code returned, for the caller to tell the user.
int StoreSettings();
// Compares the live record with the snapshot taken before the change and
// restarts exactly what changed (servers, the always-open port). Saving
// setup.dat is the caller's step (the dialogs save before applying).
void ApplySettingsChange(const uint8_t snapshot[kSettingsSize]);
// Same for the virtual-port switch.
void ApplyVirtualPortsChange(const uint8_t snapshot[kSettingsSize]);
// Idle limit in ticks for autoDisconnectSeconds, without overflow: computed
// in 64 bits, a negative value read as the unsigned number the settings
// dialog shows, the result capped at INT32_MAX.
int32_t IdleLimitTicks(int32_t autoDisconnectSeconds);

// What a settings change restarts, as bits; both images are setup.dat images.
enum : int {
    kRestartTcp = 1,      // TCP server off, then on if tcpEnabled
    kRestartUdp = 2,      // UDP server off, then on if udpEnabled
    kRestartSerial = 4,   // SerialOff, then the always-open port if set
    kSwitchVirtual = 8,   // virtual port server on or off
};
int SettingsChangeActions(const uint8_t before[kSettingsSize], const uint8_t after[kSettingsSize]);
// Start-up's rule: both control servers off in the record means both on.
void EnableBothServersWhenBothOff();
// Re-reads setup.dat and applies it with the dialogs' rules (Linux SIGHUP).
// 0 applied; 1 the file was missing or short and the settings stay as they are.
int ReloadSettings();

// Start-up and shutdown steps shared by the Linux daemon and the Windows tray
// application; each program's entry calls them in its fixed order.
#include <cstring>
#include "base/bridge.h"
#include "core/core.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"

void StartupBegin() {
    for (int slot = 0; slot < 3; slot++) SetVirtualStatus(slot, "");
    LoadSettings();
    LogSetPath(settingsRecord.logPath);
    LogText("------------- Start programu --------------------");
}

void EnableBothServersWhenBothOff() {
    // Only in memory: setup.dat keeps what was stored until the next save.
    if (settingsRecord.tcpEnabled == 0 && settingsRecord.udpEnabled == 0) {
        settingsRecord.tcpEnabled = 1;
        settingsRecord.udpEnabled = 1;
    }
}

void StartupServices() {
    SpoolPrepareDirectory();
    EnableBothServersWhenBothOff();
    // UDP always before TCP.
    if (settingsRecord.udpEnabled) UDPServerOn();
    if (settingsRecord.tcpEnabled) TCPServerOn();
    if (settingsRecord.virtualPortsEnabled) VirtualPortsOn();
    GetLocalAddresses(bridge.localAddresses);
}

// Main thread only: ticks since the always-open port was last tried while
// closed, and whether its current outage has been logged.
static int32_t reopenTicks = 0;
static bool outageLogged = false;
enum : int32_t { kReopenTicks = 10 };  // about 3 s

// Opens the configured port with the fixed read time-outs 10, 50 and 0 ms;
// 0 opened. quiet: a failure is left to the caller to report. The name
// SerialOpen upper-cased goes back into the record, so the next save stores
// "COM3" for a typed "com3".
static int OpenAlwaysOpenPort(bool quiet) {
    char name[sizeof settingsRecord.portName];
    SettingsText(name, sizeof name, settingsRecord.portName);
    int result = SerialOpen(name, (uint32_t)settingsRecord.baudRate.load(), settingsRecord.dataBits,
                            settingsRecord.parityLetter, settingsRecord.stopBits, 10, 50, 0, quiet);
    SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, name);
    return result;
}

static void LogOutage() {
    char name[sizeof settingsRecord.portName];
    SettingsText(name, sizeof name, settingsRecord.portName);
    LogFormat("Port zawsze otwarty %s zamkniety - ponawiam otwarcie co %d s", name,
              (int)(kReopenTicks * 300 / 1000));
    outageLogged = true;
}

void StartAlwaysOpenPort() {
    reopenTicks = 0;
    outageLogged = false;
    if (settingsRecord.alwaysOpen && OpenAlwaysOpenPort(false) != 0) LogOutage();
}

void KeepAlwaysOpenPortOpen() {
    if (!settingsRecord.alwaysOpen || bridge.portHandle != kNoHandle) {
        reopenTicks = 0;
        return;
    }
    if (++reopenTicks < kReopenTicks) return;
    reopenTicks = 0;
    if (OpenAlwaysOpenPort(true) == 0) {
        char name[sizeof settingsRecord.portName];
        SettingsText(name, sizeof name, settingsRecord.portName);
        LogFormat("Port zawsze otwarty %s otwarty ponownie", name);
        outageLogged = false;
    } else if (!outageLogged) {
        LogOutage();
    }
}

void ShutdownServices() {
    // No send may wait on a client now: every join below is then short.
    CutAllConnections();
    SerialShutdown();
    UDPServerOff();
    TCPServerOff();
    VirtualPortsOff();
}

void EndBanner() {
    LogText("------------- Koniec programu --------------------");
}

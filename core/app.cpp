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

// Opens the configured port with the fixed read time-outs 10, 50 and 0 ms;
// a failure is logged by the serial port itself. The name SerialOpen
// upper-cased goes back into the record, so the next save stores "COM3" for
// a typed "com3".
void OpenAlwaysOpenPort() {
    char name[sizeof settingsRecord.portName];
    SettingsText(name, sizeof name, settingsRecord.portName);
    SerialOpen(name, (uint32_t)settingsRecord.baudRate.load(), settingsRecord.dataBits,
               settingsRecord.parityLetter, settingsRecord.stopBits, 10, 50, 0);
    SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, name);
}

void StartupAlwaysOpen() {
    if (settingsRecord.alwaysOpen) OpenAlwaysOpenPort();
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

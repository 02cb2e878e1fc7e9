// Start-up and shutdown steps shared by the Linux daemon and the Windows tray
// application; each program's entry calls them in its fixed order.
#include <cstring>
#include "base/bridge.h"
#include "core/core.h"
#include "log/log.h"
#include "net/net.h"
#include "net/rfc2217_server.h"
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
    Rfc2217ServersOn();
    GetLocalAddresses(bridge.localAddresses);
}

void ShutdownServices(void (*step)()) {
    // No send may wait on a client now: every join below is then short.
    void (*const steps[])() = {CutAllConnections, SerialShutdown, UDPServerOff, TCPServerOff, VirtualPortsOff, Rfc2217ServersOff};
    for (void (*run)() : steps) {
        run();
        if (step) step();
    }
}

void EndBanner() {
    LogText("------------- Koniec programu --------------------");
}

// Applying changed settings: the rules of the dialogs' OK (restart exactly
// what changed), shared by the Windows dialogs and the Linux SIGHUP reload.
#include <cstring>
#include "base/bridge.h"
#include "core/core.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"

static bool TextDiffers(const uint8_t* a, const uint8_t* b, size_t width) {
    return strncmp((const char*)a, (const char*)b, width) != 0;
}

int SettingsChangeActions(const uint8_t before[kSettingsSize], const uint8_t after[kSettingsSize]) {
    int actions = 0;
    // Both servers bind to the interface; a port change restarts both of them.
    bool network = TextDiffers(before + kOffInterfaceAddress, after + kOffInterfaceAddress, 101) ||
                   GetLe32(before + kOffTcpPort) != GetLe32(after + kOffTcpPort) ||
                   GetLe32(before + kOffUdpPort) != GetLe32(after + kOffUdpPort);
    if (network || GetLe32(before + kOffTcpEnabled) != GetLe32(after + kOffTcpEnabled))
        actions |= kRestartTcp;
    if (network || GetLe32(before + kOffUdpEnabled) != GetLe32(after + kOffUdpEnabled))
        actions |= kRestartUdp;
    // portName (all 101 bytes) through dataBits, compared as raw bytes.
    if (memcmp(before + kSerialRunBegin, after + kSerialRunBegin, kSerialRunSize) != 0)
        actions |= kRestartSerial;
    if (GetLe32(before + kOffVirtualPortsEnabled) != GetLe32(after + kOffVirtualPortsEnabled))
        actions |= kSwitchVirtual;
    return actions;
}

void ApplySettingsChange(const uint8_t snapshot[kSettingsSize]) {
    uint8_t now[kSettingsSize];
    SettingsToImage(now);
    int actions = SettingsChangeActions(snapshot, now);
    // Each server is stopped before and started after its new values are in place.
    if (actions & kRestartTcp) {
        TCPServerOff();
        if (settingsRecord.tcpEnabled) TCPServerOn();
    }
    if (actions & kRestartUdp) {
        UDPServerOff();
        if (settingsRecord.udpEnabled) UDPServerOn();
    }
    if (actions & kRestartSerial) {
        SerialOff();
        StartAlwaysOpenPort();
    }
}

void ApplyVirtualPortsChange(const uint8_t snapshot[kSettingsSize]) {
    uint8_t now[kSettingsSize];
    SettingsToImage(now);
    if (!(SettingsChangeActions(snapshot, now) & kSwitchVirtual)) return;
    if (settingsRecord.virtualPortsEnabled)
        VirtualPortsOn();
    else
        VirtualPortsOff();
}

int StoreSettings() {
    int error = SaveSettings();
    if (error) LogFormat("Error - nie zapisano setup.dat, kod: %d - plik bez zmian", error);
    return error;
}

int ReloadSettings() {
    uint8_t snapshot[kSettingsSize], image[kSettingsSize];
    SettingsToImage(snapshot);
    if (ReadSettingsFile("setup.dat", image) != 0) {
        // A missing or cut file would mean the defaults: keep what runs.
        LogText("Blad odczytu setup.dat - ustawienia bez zmian");
        return 1;
    }
    SettingsFromImage(image);
    // The always-open port's name is held as its open upper-cased it: a file
    // that says "com3" names the port that runs, which stays open.
    if (settingsRecord.alwaysOpen) {
        char name[sizeof settingsRecord.portName];
        SettingsText(name, sizeof name, settingsRecord.portName);
        SerialNameUpperCase(name);
        SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, name);
    }
    LogSetPath(settingsRecord.logPath);
    // Without this, switching both servers off in the file would stop both
    // for good, where a restart would switch both on.
    EnableBothServersWhenBothOff();
    LogText("Wczytano ponownie setup.dat");
    ApplySettingsChange(snapshot);
    ApplyVirtualPortsChange(snapshot);
    return 0;
}

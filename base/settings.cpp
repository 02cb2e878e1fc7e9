// The settings record in memory and its 788-byte image in setup.dat.
#include "base/settings.h"
#include "base/wire.h"
#include <cerrno>
#include <cstdio>
#include <cstring>

SettingsRecord settingsRecord;
std::mutex settingsLock;

static const char kSettingsFile[] = "setup.dat";

int32_t GetLe32(const uint8_t* p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

void PutLe32(uint8_t* p, int32_t v) {
    uint32_t u = (uint32_t)v;
    p[0] = (uint8_t)u;
    p[1] = (uint8_t)(u >> 8);
    p[2] = (uint8_t)(u >> 16);
    p[3] = (uint8_t)(u >> 24);
}

// A text field read from a file may lack its terminator; the last byte of its
// width becomes one, so no reader runs past the field.
static void CopyTextIn(char* field, size_t width, const uint8_t* from) {
    memcpy(field, from, width);
    if (!memchr(field, 0, width)) field[width - 1] = 0;
}

void SettingsToImage(uint8_t image[kSettingsSize]) {
    SettingsRecord& r = settingsRecord;
    std::lock_guard<std::mutex> guard(settingsLock);
    memset(image, 0, kSettingsSize);
    PutLe32(image + kOffAutoDisconnectSeconds, r.autoDisconnectSeconds);
    PutLe32(image + kOffBufferPrints, r.bufferPrints);
    memcpy(image + kOffSpoolDirectory, r.spoolDirectory, sizeof r.spoolDirectory);
    PutLe32(image + kOffTcpEnabled, r.tcpEnabled);
    PutLe32(image + kOffUdpEnabled, r.udpEnabled);
    PutLe32(image + kOffTcpPort, r.tcpPort);
    PutLe32(image + kOffUdpPort, r.udpPort);
    memcpy(image + kOffPortName, r.portName, sizeof r.portName);
    PutLe32(image + kOffBaudRate, r.baudRate);
    PutLe32(image + kOffAlwaysOpen, r.alwaysOpen);
    image[kOffParityLetter] = (uint8_t)r.parityLetter.load();
    PutLe32(image + kOffStopBits, r.stopBits);
    PutLe32(image + kOffDataBits, r.dataBits);
    memcpy(image + kOffLogPath, r.logPath, sizeof r.logPath);
    memcpy(image + kOffInterfaceAddress, r.interfaceAddress, sizeof r.interfaceAddress);
    PutLe32(image + kOffVirtualPortsEnabled, r.virtualPortsEnabled);
    memcpy(image + kOffVirtualPeer, r.virtualPeer, sizeof r.virtualPeer);
    memcpy(image + kOffVirtualPortName, r.virtualPortName, sizeof r.virtualPortName);
}

void SettingsFromImage(const uint8_t image[kSettingsSize]) {
    SettingsRecord& r = settingsRecord;
    std::lock_guard<std::mutex> guard(settingsLock);
    r.autoDisconnectSeconds = GetLe32(image + kOffAutoDisconnectSeconds);
    r.bufferPrints = GetLe32(image + kOffBufferPrints);
    CopyTextIn(r.spoolDirectory, sizeof r.spoolDirectory, image + kOffSpoolDirectory);
    r.tcpEnabled = GetLe32(image + kOffTcpEnabled);
    r.udpEnabled = GetLe32(image + kOffUdpEnabled);
    r.tcpPort = GetLe32(image + kOffTcpPort);
    r.udpPort = GetLe32(image + kOffUdpPort);
    CopyTextIn(r.portName, sizeof r.portName, image + kOffPortName);
    r.baudRate = GetLe32(image + kOffBaudRate);
    r.alwaysOpen = GetLe32(image + kOffAlwaysOpen);
    r.parityLetter = (char)image[kOffParityLetter];
    r.stopBits = GetLe32(image + kOffStopBits);
    r.dataBits = GetLe32(image + kOffDataBits);
    CopyTextIn(r.logPath, sizeof r.logPath, image + kOffLogPath);
    CopyTextIn(r.interfaceAddress, sizeof r.interfaceAddress, image + kOffInterfaceAddress);
    r.virtualPortsEnabled = GetLe32(image + kOffVirtualPortsEnabled);
    for (int i = 0; i < kVirtualSlots; i++) {
        CopyTextIn(r.virtualPeer[i], 40, image + kOffVirtualPeer + 40 * i);
        CopyTextIn(r.virtualPortName[i], 40, image + kOffVirtualPortName + 40 * i);
    }
}

void DefaultSettingsImage(uint8_t image[kSettingsSize]) {
    memset(image, 0, kSettingsSize);
    PutLe32(image + kOffAutoDisconnectSeconds, 20);
    PutLe32(image + kOffTcpPort, kDefaultTcpPort);
    PutLe32(image + kOffUdpPort, kDefaultUdpPort);
    memcpy(image + kOffSpoolDirectory, kDefaultSpoolDirectory, strlen(kDefaultSpoolDirectory) + 1);
}

int ReadSettingsFile(const char* path, uint8_t image[kSettingsSize]) {
    FILE* f = fopen(path, "rb");
    if (f) {
        memset(image, 0, kSettingsSize);
        size_t got = fread(image, 1, kSettingsSize, f);
        fclose(f);
        if (got == kSettingsSize) {
            // Zero ports are repaired; nothing else is examined.
            if (GetLe32(image + kOffTcpPort) == 0) PutLe32(image + kOffTcpPort, kDefaultTcpPort);
            if (GetLe32(image + kOffUdpPort) == 0) PutLe32(image + kOffUdpPort, kDefaultUdpPort);
            return 0;
        }
    }
    DefaultSettingsImage(image);
    return 1;
}

void LoadSettings() {
    uint8_t image[kSettingsSize];
    ReadSettingsFile(kSettingsFile, image);
    SettingsFromImage(image);
}

int WriteSettingsFile(const char* path, const uint8_t image[kSettingsSize]) {
    return ReplaceFileWith(path, image, kSettingsSize);
}

int SaveSettings() {
    uint8_t image[kSettingsSize];
    SettingsToImage(image);
    return WriteSettingsFile(kSettingsFile, image);
}

void SettingsText(char* out, size_t outSize, const char* field) {
    if (outSize == 0) return;
    std::lock_guard<std::mutex> guard(settingsLock);
    size_t n = strnlen(field, outSize - 1);
    memcpy(out, field, n);
    out[n] = 0;
}

void SetSettingsText(char* field, size_t width, const char* text) {
    std::lock_guard<std::mutex> guard(settingsLock);
    size_t n = strnlen(text, width - 1);
    memcpy(field, text, n);
    field[n] = 0;
}

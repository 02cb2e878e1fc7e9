// Shared set-up of the protocol and spool tests: a fresh bridge with its log
// in the working folder, command lines, and (natively) a pty as the device.
#pragma once
#include <cstring>
#include <filesystem>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"
#include "unit_util.h"
#ifndef _WIN32
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <cstdlib>
#endif

inline std::string Cmd(const std::string& line) { return "\x1b" + line + "\r"; }

// Defaults, log "k.log" and spool folder "SERVBUFF" in the working folder.
inline void FreshState() {
    NetStartup();
    BridgeConnect(nullptr);
    uint8_t image[kSettingsSize];
    DefaultSettingsImage(image);
    SettingsFromImage(image);
    LogSetPath("k.log");
    SetSettingsText(settingsRecord.spoolDirectory, sizeof settingsRecord.spoolDirectory, "SERVBUFF");
    settingsRecord.udpEnabled = 1;
    ResetBridgeState();
    SpoolPrepareDirectory();  // as at start-up
}

inline void EndState() {
    if (bridge.spoolFile > 0) SpoolClose();
    SerialOff();
    LogSetPath("");
    for (int k = 0; k < kVirtualSlots; k++)
        SetSettingsText(settingsRecord.virtualPortName[k], sizeof settingsRecord.virtualPortName[k], "");
    ResetBridgeState();
}

inline std::string Log() { return ReadFileBytes("k.log"); }

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

#ifndef _WIN32
// A pseudo-terminal standing in for the device, reachable as ports/COMn.
struct TestPty {
    int master = -1, slave = -1;
    std::string slavePath;
    TestPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slavePath = ptsname(master);
        slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~TestPty() {
        close(slave);
        close(master);
    }
    void MapAs(int n) {
        std::filesystem::create_directories("ports");
        std::filesystem::create_symlink(slavePath, "ports/COM" + std::to_string(n));
    }
    std::string Read(size_t n, int timeoutMs) {
        std::string got;
        WaitFor([&] {
            char buf[4096];
            ssize_t r = read(master, buf, sizeof buf);
            if (r > 0) got.append(buf, (size_t)r);
            return got.size() >= n;
        }, timeoutMs);
        return got;
    }
    speed_t Speed() {
        termios t;
        tcgetattr(master, &t);
        return cfgetospeed(&t);
    }
};
#endif

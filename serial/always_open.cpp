// The always-open port: the claim that gives it to one client at a time, and
// the opening of it at start-up and again while its device is absent.
#include <atomic>
#include <cstdint>
#include "base/settings.h"
#include "log/log.h"
#include "serial/serial.h"

struct AlwaysOpenPort {
    std::atomic<bool> claimed{false};
    // Main thread only: ticks since the port was last tried while closed,
    // and whether its current outage has been logged.
    int32_t reopenTicks = 0;
    bool outageLogged = false;
};

static AlwaysOpenPort alwaysOpen;

enum : int32_t { kReopenTicks = 10 };  // about 3 s

bool ClaimAlwaysOpenPort() {
    bool free = false;
    return alwaysOpen.claimed.compare_exchange_strong(free, true);
}

bool ReleaseAlwaysOpenPort() {
    return alwaysOpen.claimed.exchange(false);
}

bool AlwaysOpenPortClaimed() {
    return alwaysOpen.claimed.load();
}

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
    char shown[sizeof name * 5];
    EscapeText(name, shown, sizeof shown);
    LogFormat("Port zawsze otwarty %s zamkniety - ponawiam otwarcie co %d s", shown,
              (int)(kReopenTicks * 300 / 1000));
    alwaysOpen.outageLogged = true;
}

void StartAlwaysOpenPort() {
    alwaysOpen.reopenTicks = 0;
    alwaysOpen.outageLogged = false;
    if (settingsRecord.alwaysOpen && OpenAlwaysOpenPort(false) != 0) LogOutage();
}

void KeepAlwaysOpenPortOpen() {
    if (!settingsRecord.alwaysOpen || SerialIsOpen()) {
        alwaysOpen.reopenTicks = 0;
        return;
    }
    if (++alwaysOpen.reopenTicks < kReopenTicks) return;
    alwaysOpen.reopenTicks = 0;
    if (OpenAlwaysOpenPort(true) == 0) {
        char name[sizeof settingsRecord.portName];
        SettingsText(name, sizeof name, settingsRecord.portName);
        char shown[sizeof name * 5];
        EscapeText(name, shown, sizeof shown);
        LogFormat("Port zawsze otwarty %s otwarty ponownie", shown);
        alwaysOpen.outageLogged = false;
    } else if (!alwaysOpen.outageLogged) {
        LogOutage();
    }
}

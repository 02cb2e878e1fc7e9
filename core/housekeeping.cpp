// The 300 ms housekeeping tick: print dispatch, closing a port whose device
// is gone and reopening the always-open port, dropping stalled SETDCB
// blocks, the tray icon and its blink, the tooltip refresh on change, and
// the auto-disconnect on quiet ticks, the retry of a control listener that
// could not bind; and the tick loop of the daemon and the service.
#include <chrono>
#include <climits>
#include "base/bridge.h"
#include "bridge/protocol.h"
#include "core/core.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"
#include "ui/ui.h"

int32_t IdleLimitTicks(int32_t autoDisconnectSeconds) {
    // The dialog shows and reads the field as unsigned, so a negative value
    // from a hand-made file means a very long time, never "at once".
    uint64_t seconds = (uint32_t)autoDisconnectSeconds;
    uint64_t ticks = seconds * 1000 / 300;
    return ticks > (uint64_t)INT32_MAX ? INT32_MAX : (int32_t)ticks;
}

void RefreshTray(int operation) {
    bridge.baseIcon = SerialIsOpen() ? kIconOpen : kIconClosed;
    bridge.trayIcon = bridge.ActivityCounter ? (int32_t)kIconActivity : bridge.baseIcon;
    char text[256];
    FormatStatistics(text);
    TrayIconUpdate(operation, bridge.trayIcon, text);
}

void HousekeepingTick() {
    BridgeState& b = bridge;
    SettingsRecord& s = settingsRecord;

    // Print dispatch every fifth tick. While buffering is off the count keeps
    // growing (capped), so the first tick after it is switched on checks.
    if (s.bufferPrints && b.printTicks > 3) {
        if (b.Statistics[kStatPrinted] < b.Statistics[kStatBuffered] && b.dispatcherRunning == 0)
            StartPrintDispatcher();  // not started: tried again five ticks later
        b.printTicks = 0;
    } else if (b.printTicks < INT32_MAX) {
        b.printTicks++;
    }

    SerialCloseLost();
    KeepAlwaysOpenPortOpen();
    DropStalledSetDcb();
    // A listener whose address was not there yet (a network card at boot).
    TCPServerRetryListen();

    // Icon choice: only the serial device counts for the base icon; traffic
    // shows the activity icon on every second tick that sees it.
    b.baseIcon = SerialIsOpen() ? kIconOpen : kIconClosed;
    bool activity = b.ActivityCounter != 0;
    if (activity) b.activityHold++;
    if (b.activityHold > 1) {
        b.ActivityCounter = 0;
        b.activityHold = 0;
        activity = false;
    }
    int32_t show = activity ? (int32_t)kIconActivity : b.baseIcon;

    // Change detection on one reading of the counters; that same reading
    // becomes the snapshot, so a counter that rises meanwhile is seen next tick.
    int32_t now[kStatCount];
    bool changed = false;
    for (int i = 0; i < kStatCount; i++) {
        now[i] = b.Statistics[i];
        if (now[i] != b.statsSnapshot[i]) changed = true;
    }
    if (show != b.trayIcon) changed = true;

    if (changed) {
        b.trayIcon = show;
        char text[256];
        FormatStatistics(text);
        TrayIconUpdate(kTrayModify, b.trayIcon, text);
        for (int i = 0; i < kStatCount; i++) b.statsSnapshot[i] = now[i];
    } else if ((int64_t)b.IdleTicks.fetch_add(1) + 1 > IdleLimitTicks(s.autoDisconnectSeconds)) {
        // Quiet tick past the idle limit. ReplyTarget stays as it is.
        b.IdleTicks = 0;
        if (s.bufferPrints) {
            // With print buffering nothing is ever auto-disconnected.
        } else if (!s.alwaysOpen) {
            SerialOff();
            b.Statistics[kStatAutoDisconnects]++;
            LogText("Wykonano autorozlaczenie!");
        } else if (ReleaseAlwaysOpenPort()) {
            // The always-open port stays open for the next client.
            b.Statistics[kStatAutoDisconnects]++;
            LogText("Wykonano autorozlaczenie!");
        }
    }

    b.ActivityCounter = 0;
}

void RunTickLoop(int (*waitForRequest)(int timeoutMs)) {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(kTickPeriodMs);
    auto nextTick = Clock::now() + period;
    for (;;) {
        auto now = Clock::now();
        if (now >= nextTick) {
            HousekeepingTick();
            StatusLineFlush();
            nextTick += period;
            // After a stall (suspend, debugger) go on from now, no burst of ticks.
            if (nextTick <= now) nextTick = now + period;
            continue;
        }
        int waitMs = (int)std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count() + 1;
        int request = waitForRequest(waitMs);
        if (request == kWaitShutdown) return;
        if (request == kWaitReload) {
            ReloadSettings();
            RefreshTray(kTrayModify);
        }
    }
}

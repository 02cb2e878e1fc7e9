// The housekeeping tick in-process: first refresh, the activity blink, change
// detection, the idle count and its limit, both alwaysOpen modes, the
// bufferPrints rule and the print-dispatch cadence. With a device (a pty):
// test_housekeeping_posix.cpp.
#include <gtest/gtest.h>
#include <climits>
#include <string>
#include <vector>
#include "base/bridge.h"
#include "core/core.h"
#include "base/settings.h"
#include "log/log.h"
#include "housekeeping_fixture.h"
#include "unit_util.h"

TEST_F(Tick, FirstTickRefreshesAndDoesNotCountAsQuiet) {
    bridge.Statistics[kStatTcpConnections] = 2;
    HousekeepingTick();
    EXPECT_EQ(bridge.baseIcon, kIconClosed);
    EXPECT_EQ(bridge.trayIcon, kIconClosed);
    EXPECT_EQ(bridge.statsSnapshot[kStatTcpConnections], 2);
    EXPECT_EQ(bridge.IdleTicks, 0);
    HousekeepingTick();  // nothing changed now: quiet
    EXPECT_EQ(bridge.IdleTicks, 1);
}

TEST_F(Tick, SteadyTrafficAlternatesTheIconAndSingleBurstsShowOnce) {
    Settle();
    std::vector<int> icons;
    for (int i = 0; i < 6; i++) {
        bridge.ActivityCounter = 5;
        HousekeepingTick();
        icons.push_back(bridge.trayIcon);
        EXPECT_EQ(bridge.ActivityCounter, 0);  // cleared at the end of every tick
    }
    EXPECT_EQ(icons, (std::vector<int>{kIconActivity, kIconClosed, kIconActivity, kIconClosed,
                                       kIconActivity, kIconClosed}));
    // No tick of steady traffic is quiet, so the idle count stands still.
    EXPECT_EQ(bridge.IdleTicks, 0);

    // Two single bursts apart: the first blinks, the second leaves the icon.
    bridge.activityHold = 0;
    bridge.ActivityCounter = 1;
    HousekeepingTick();
    EXPECT_EQ(bridge.trayIcon, kIconActivity);
    HousekeepingTick();
    HousekeepingTick();
    EXPECT_EQ(bridge.trayIcon, kIconClosed);
    bridge.ActivityCounter = 1;
    HousekeepingTick();
    EXPECT_EQ(bridge.trayIcon, kIconClosed);
}

TEST_F(Tick, IdleLimitDisconnectsOnTheTickAfterItAndEveryTimeoutIsCounted) {
    settingsRecord.autoDisconnectSeconds = 1;  // limit 3: the 4th quiet tick
    Settle();
    for (int i = 1; i <= 3; i++) {
        HousekeepingTick();
        EXPECT_EQ(bridge.IdleTicks, i);
    }
    EXPECT_EQ(CountAutoLines(), 0);
    ClaimAlwaysOpenPort();
    HousekeepingTick();
    EXPECT_EQ(bridge.IdleTicks, 0);
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 1);
    EXPECT_FALSE(AlwaysOpenPortClaimed());  // SerialOff always clears the claim
    EXPECT_EQ(CountAutoLines(), 1);

    // The counter changed, so the next tick refreshes and is not quiet; with
    // nothing open the timeouts still come round and are counted.
    HousekeepingTick();
    EXPECT_EQ(bridge.statsSnapshot[kStatAutoDisconnects], 1);
    EXPECT_EQ(bridge.IdleTicks, 0);
    for (int i = 0; i < 4; i++) HousekeepingTick();
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 2);
    EXPECT_EQ(CountAutoLines(), 2);
}

TEST_F(Tick, ZeroSecondsDisconnectsOnTheFirstQuietTick) {
    settingsRecord.autoDisconnectSeconds = 0;
    Settle();
    HousekeepingTick();
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 1);
    EXPECT_EQ(CountAutoLines(), 1);
}

TEST_F(Tick, ChangeTicksPauseTheIdleCountWithoutRestartingIt) {
    settingsRecord.autoDisconnectSeconds = 20;
    Settle();
    bridge.IdleTicks = 66;
    bridge.Statistics[kStatUdpDatagrams]++;
    HousekeepingTick();
    EXPECT_EQ(bridge.IdleTicks, 66);
    HousekeepingTick();  // 67th quiet tick: past the limit of 66
    EXPECT_EQ(bridge.IdleTicks, 0);
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 1);
}

TEST_F(Tick, AlwaysOpenReleasesOnlyAClaimAndKeepsThePort) {
    settingsRecord.autoDisconnectSeconds = 0;
    settingsRecord.alwaysOpen = 1;
    Settle();
    // No client holds the port: the timeout changes nothing but IdleTicks.
    bridge.IdleTicks = 0;
    HousekeepingTick();
    EXPECT_EQ(bridge.IdleTicks, 0);
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 0);
    EXPECT_EQ(CountAutoLines(), 0);

    ClaimAlwaysOpenPort();
    HousekeepingTick();
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 1);
    EXPECT_EQ(CountAutoLines(), 1);
}

TEST_F(Tick, BufferPrintsNeverDisconnectsButStillClearsTheCount) {
    settingsRecord.autoDisconnectSeconds = 0;
    settingsRecord.bufferPrints = 1;
    bridge.dispatcherRunning = 1;  // keeps any dispatcher from starting here
    Settle();
    ClaimAlwaysOpenPort();
    for (int i = 0; i < 10; i++) {
        HousekeepingTick();
        EXPECT_EQ(bridge.IdleTicks, 0);
    }
    EXPECT_TRUE(AlwaysOpenPortClaimed());
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 0);
    EXPECT_EQ(CountAutoLines(), 0);
}

TEST_F(Tick, PrintCheckEveryFifthTickAndCountGrowsWhileBufferingIsOff) {
    bridge.dispatcherRunning = 1;
    settingsRecord.bufferPrints = 0;
    for (int i = 0; i < 7; i++) HousekeepingTick();
    EXPECT_EQ(bridge.printTicks, 7);
    // Switched on: the first tick already checks.
    settingsRecord.bufferPrints = 1;
    HousekeepingTick();
    EXPECT_EQ(bridge.printTicks, 0);
    std::vector<int> seen;
    for (int i = 0; i < 10; i++) {
        HousekeepingTick();
        seen.push_back(bridge.printTicks);
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 0, 1, 2, 3, 4, 0}));
    // The count never overflows however long buffering stays off.
    settingsRecord.bufferPrints = 0;
    bridge.printTicks = INT32_MAX;
    HousekeepingTick();
    EXPECT_EQ(bridge.printTicks, INT32_MAX);
}

TEST(IdleLimit, TruncatesAndNeverOverflows) {
    EXPECT_EQ(IdleLimitTicks(0), 0);
    EXPECT_EQ(IdleLimitTicks(1), 3);
    EXPECT_EQ(IdleLimitTicks(20), 66);
    EXPECT_EQ(IdleLimitTicks(3000000), 10000000);  // the 32-bit product would wrap
    EXPECT_EQ(IdleLimitTicks(644245094), 2147483646);
    EXPECT_EQ(IdleLimitTicks(644245095), INT32_MAX);
    EXPECT_EQ(IdleLimitTicks(INT32_MAX), INT32_MAX);
    // Negative: the unsigned number the dialog shows, so a very long time.
    EXPECT_EQ(IdleLimitTicks(-1), INT32_MAX);
    EXPECT_EQ(IdleLimitTicks(INT32_MIN), INT32_MAX);
}

TEST_F(Tick, HugeAutoDisconnectNeverFiresAndTheCountDoesNotWrap) {
    settingsRecord.autoDisconnectSeconds = -5;
    Settle();
    bridge.IdleTicks = INT32_MAX - 1;
    HousekeepingTick();
    EXPECT_EQ(bridge.IdleTicks, INT32_MAX);
    EXPECT_EQ(bridge.Statistics[kStatAutoDisconnects], 0);
}

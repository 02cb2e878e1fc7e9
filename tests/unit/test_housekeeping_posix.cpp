// The housekeeping tick with pseudo-terminals as devices (POSIX hosts): the
// icon of an open port, and the always-open port whose device is unplugged
// and comes back.
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "core/core.h"
#include "log/log.h"
#include "support/pty.h"
#include "unit_util.h"

struct TickPty : ::testing::Test {
    ScopedWorkDir wd;
    void SetUp() override {
        ResetBridgeState();
        uint8_t image[kSettingsSize];
        DefaultSettingsImage(image);
        SettingsFromImage(image);
        LogSetPath("k.log");
    }
    void TearDown() override {
        SerialOff();
        settingsRecord.alwaysOpen = 0;
        LogSetPath("");
    }
};

TEST_F(TickPty, OpenPortShowsTheOpenIcon) {
    kt::Pty pty;
    ASSERT_TRUE(pty.MapAs(3));
    HousekeepingTick();
    ASSERT_EQ(bridge.trayIcon, kIconClosed);
    char name[] = "COM3";
    ASSERT_EQ(SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0), 0);
    HousekeepingTick();
    EXPECT_EQ(bridge.trayIcon, kIconOpen);
    SerialOff();
    HousekeepingTick();
    EXPECT_EQ(bridge.trayIcon, kIconClosed);
}

// The ticks close the port of a device that fails every read (one line),
// open it again once a device is back at its name, and the client that held
// the port holds it throughout.
TEST_F(TickPty, UnpluggedAlwaysOpenPortComesBackWithItsOwner) {
    settingsRecord.autoDisconnectSeconds = 3600;  // no idle release meanwhile
    settingsRecord.alwaysOpen = 1;
    SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, "COM5");
    settingsRecord.baudRate = 9600;
    settingsRecord.dataBits = 8;
    settingsRecord.parityLetter = 'N';
    settingsRecord.stopBits = 1;
    auto device = std::make_unique<kt::Pty>();
    ASSERT_TRUE(device->MapAs(5));
    StartAlwaysOpenPort();
    ASSERT_TRUE(SerialIsOpen()) << Log();
    ASSERT_TRUE(ClaimAlwaysOpenPort());

    // Pointed away first, so the retries cannot open a pty reusing its number.
    ASSERT_TRUE(kt::LinkComPort(".", 5, "/nonexistent/kestrun-unplugged"));
    device->Hangup();
    ASSERT_TRUE(WaitFor([] { HousekeepingTick(); return !SerialIsOpen(); }, 10000)) << Log();
    EXPECT_TRUE(AlwaysOpenPortClaimed());

    device = std::make_unique<kt::Pty>();
    ASSERT_TRUE(device->MapAs(5));
    ASSERT_TRUE(WaitFor([] { HousekeepingTick(); return SerialIsOpen(); }, 10000)) << Log();
    EXPECT_TRUE(AlwaysOpenPortClaimed());
    EXPECT_FALSE(ClaimAlwaysOpenPort());  // a second client is still refused
    EXPECT_EQ(SerialWriteByte('x'), 0);
    EXPECT_EQ(device->Read(1, 3000), "x");
    SerialOff();
    std::string log = Log();
    EXPECT_EQ(Count(log, "Error - port COM5 nie odpowiada od 2 s - zamknieto"), 1) << log;
    EXPECT_EQ(Count(log, "Port zawsze otwarty COM5 otwarty ponownie"), 1) << log;
}

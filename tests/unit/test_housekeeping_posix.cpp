// The housekeeping tick with a pseudo-terminal as the device (POSIX hosts):
// the icon of an open port.
#include <gtest/gtest.h>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "core/core.h"
#include "log/log.h"
#include "support/pty.h"
#include "housekeeping_fixture.h"

TEST_F(Tick, OpenPortShowsTheOpenIcon) {
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

// The housekeeping tick's fixture, shared by test_housekeeping.cpp and its
// platform twin: default settings, a fresh bridge record, the log in a
// working folder of its own.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "core/core.h"
#include "log/log.h"
#include "unit_util.h"

static const char kAutoLine[] = "Wykonano autorozlaczenie!";

struct Tick : ::testing::Test {
    ScopedWorkDir wd;
    void SetUp() override {
        ResetBridgeState();
        uint8_t image[kSettingsSize];
        DefaultSettingsImage(image);
        SettingsFromImage(image);
        LogSetPath("k.log");
    }
    void TearDown() override {
        SerialOff();  // a case that opened a device
        ReleaseAlwaysOpenPort();
        LogSetPath("");
    }
    static int CountAutoLines() {
        std::string log = ReadFileBytes("k.log");
        int n = 0;
        for (size_t at = log.find(kAutoLine); at != std::string::npos; at = log.find(kAutoLine, at + 1)) n++;
        return n;
    }
    // Runs the first tick, which always refreshes, so the next ones can be quiet.
    static void Settle() {
        HousekeepingTick();
        ASSERT_EQ(bridge.trayIcon, kIconClosed);
    }
};

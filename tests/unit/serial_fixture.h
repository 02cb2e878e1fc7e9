// Shared set-up of the serial tests: a fresh bridge logging to k.log in a
// fresh working folder; TearDown closes the port and undoes what a test set.
#pragma once
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "unit_util.h"

inline bool LogHas(const std::string& text) {
    return Log().find(text) != std::string::npos;
}

struct SerialBase : ::testing::Test {
    ScopedWorkDir wd;
    void SetUp() override {
        ASSERT_EQ(NetStartup(), 0);
        BridgeConnect(nullptr);
        ResetBridgeState();
        LogSetPath("k.log");
    }
    void TearDown() override {
        SerialOff();
        SetRTS(true);
        SetDTR(true);
        for (auto& c : tcpCells) c.socket = kNoHandle;
        ResetBridgeState();
        settingsRecord.udpEnabled = 0;
        settingsRecord.bufferPrints = 0;
        LogSetPath("");
    }
    int Open(const char* name, int t1 = 10, int t2 = 50, int t3 = 0) {
        char buf[64];
        snprintf(buf, sizeof buf, "%s", name);
        return SerialOpen(buf, 9600, 8, 'N', 1, t1, t2, t3);
    }
};

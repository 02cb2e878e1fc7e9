// The serial port against a pseudo-terminal standing in for the device:
// opening by name and number form, writes, device input reaching the TCP
// and UDP clients, the type-108 handshake, read time-outs, a device that goes
// away, closing (test_serial_posix.cpp). Name rules and the open failure also
// run under Wine.
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include "base/bridge.h"
#include "base/settings.h"
#include "serial/serial.h"
#include "serial_fixture.h"

using SerialNames = SerialBase;

TEST_F(SerialNames, NumberFormsAndDeviceNames) {
    EXPECT_EQ(ComNumberOf("COM3"), 3);
    EXPECT_EQ(ComNumberOf("\\\\.\\COM12"), 12);
    EXPECT_EQ(ComNumberOf("XCOM 7Y"), 7);
    EXPECT_EQ(ComNumberOf("COM-2"), -2);
    EXPECT_EQ(ComNumberOf("COMX"), 0);
    EXPECT_EQ(ComNumberOf("LPT1"), 0);
    EXPECT_EQ(ComNumberOf("COM99999999999999999999"), 2147483647);
    char dev[64];
    SerialDeviceName("COM7", dev, sizeof dev);
    EXPECT_STREQ(dev, "COM7");
    SerialDeviceName("COM8", dev, sizeof dev);
    EXPECT_STREQ(dev, "\\\\.\\COM8");
    SerialDeviceName("\\\\.\\COM12", dev, sizeof dev);
    EXPECT_STREQ(dev, "\\\\.\\COM12");
}

TEST_F(SerialNames, CtsTypesAndHandshakeByte) {
    int count = 0;
    for (int t = -5; t < 2000; t++) count += IsCtsDeviceType(t);
    EXPECT_EQ(count, 18);
    EXPECT_TRUE(IsCtsDeviceType(220));
    EXPECT_TRUE(IsCtsDeviceType(272));
    EXPECT_FALSE(IsCtsDeviceType(221));
    EXPECT_FALSE(IsCtsDeviceType(108));
    EXPECT_FALSE(IsHandshakeAck(0x06));
    bridge.deviceType = 108;
    EXPECT_TRUE(IsHandshakeAck(0x06));
    EXPECT_FALSE(IsHandshakeAck(0x0D));
}

TEST_F(SerialNames, RefusalsWithoutLogLines) {
    char empty[4] = "";
    EXPECT_EQ(SerialOpen(empty, 9600, 8, 'N', 1, 10, 50, 0), 1);
    char longName[64];
    memset(longName, 'c', 41);
    longName[41] = 0;
    EXPECT_EQ(SerialOpen(longName, 9600, 8, 'N', 1, 10, 50, 0), 1);
    EXPECT_EQ(longName[0], 'c');  // refused before anything was touched
    EXPECT_EQ(Log(), "");
    char name[41];
    GetOpenPortName(name);
    EXPECT_STREQ(name, "");
}

TEST_F(SerialNames, MissingDeviceOrBadParametersLogTheOpenError) {
    char name[16] = "com250";
    EXPECT_EQ(SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0), 1);
    EXPECT_STREQ(name, "COM250");
    std::string log = Log();
    size_t params = log.find("baud=9600 data=8 parity=N stop=1");
    ASSERT_NE(params, std::string::npos) << log;
    EXPECT_NE(log.find("Error - blad otwarcia portu COM", params), std::string::npos) << log;
    EXPECT_FALSE(SerialIsOpen());

    char name2[16] = "COM250";
    EXPECT_EQ(SerialOpen(name2, 9600, 9, 'N', 1, 10, 50, 0), 1);
    EXPECT_TRUE(LogHas("baud=9600 data=9 parity=N stop=1")) << Log();
    EXPECT_EQ(Count(Log(), "Error - blad otwarcia portu COM"), 2);
}

TEST_F(SerialNames, NoPortOpen) {
    ClaimAlwaysOpenPort();
    bridge.IdleTicks = 7;
    SerialOff();
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    EXPECT_EQ(SerialWriteByte('x'), 1);
    EXPECT_EQ(SerialWriteBytes((const uint8_t*)"xy", 2), 0);
    EXPECT_EQ(bridge.IdleTicks.load(), 7);
    EXPECT_EQ(SerialModemStatus(), 0);
    uint8_t dcb[kDcbSize];
    memset(dcb, 0xAA, sizeof dcb);
    SerialGetDcb(dcb);
    for (uint8_t b : dcb) EXPECT_EQ(b, 0);
    SerialSetDcb(dcb);
    SerialPurge();
    // The stored line states flip with no port open.
    ToggleRTS();
    EXPECT_EQ(RtsState(), 0);
    ToggleRTS();
    EXPECT_EQ(RtsState(), 1);
    ToggleDTR();
    EXPECT_EQ(DtrState(), 0);
    EXPECT_EQ(Log(), "");
}

// The serial port against a pseudo-terminal standing in for the device
// (POSIX hosts): opening, writes, device input reaching the TCP and UDP
// clients, the type-108 handshake, read time-outs, a device that goes away,
// line rates and lines (through the driver double, support/pty.h).
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include "loopback.h"
#include "serial_fixture.h"
#include "support/pty.h"
#include "support/support.h"

namespace {

// The most CPU any one thread of this process uses over ms: the reader of a
// port that spins, not the sanitizer's own threads or the test's.
double BusiestThreadCpu(int ms) {
    return kt::BusiestThreadCpu(getpid(), ms);
}

struct SerialPty : SerialBase {
    kt::Pty pty;
    void SetUp() override {
        SerialBase::SetUp();
        ASSERT_FALSE(pty.slavePath.empty());
        pty.MapAs(3);
        pty.MapAs(12);
    }
};

TEST_F(SerialPty, OpenByNameAndByNumberForm) {
    char name[16] = "com3";
    ASSERT_EQ(SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0), 0);
    EXPECT_STREQ(name, "COM3");
    char open[41];
    GetOpenPortName(open);
    EXPECT_STREQ(open, "COM3");
    EXPECT_TRUE(SerialIsOpen());
    EXPECT_TRUE(LogHas("Serial Polling - start"));  // the reader runs
    SerialOff();
    EXPECT_FALSE(SerialIsOpen());
    char zero[41] = {0};
    EXPECT_EQ(memcmp(bridge.openPortName, zero, 41), 0);

    // COM12 goes through the device path \\.\COM12, found as ports/COM12.
    ASSERT_EQ(Open("COM12"), 0);
    GetOpenPortName(open);
    EXPECT_STREQ(open, "COM12");
    SerialOff();
    ASSERT_EQ(Open("\\\\.\\com12"), 0);
    GetOpenPortName(open);
    EXPECT_STREQ(open, "\\\\.\\COM12");
    EXPECT_EQ(SerialWriteByte('k'), 0);
    EXPECT_EQ(pty.Read(1, 3000), "k");
    SerialOff();
    std::string log = Log();
    // A reader that stops when asked logs its stop before the close's line.
    EXPECT_LT(log.find("Serial Polling - stop"), log.find("Serial Off - stop")) << log;
    EXPECT_EQ(Count(log, "Serial Polling - start"), 3);
    EXPECT_EQ(Count(log, "Serial Off - start"), 3);
    EXPECT_EQ(Count(log, "Serial Off - stop"), 3);
    EXPECT_EQ(log.find("Error"), std::string::npos) << log;
}

TEST_F(SerialPty, SecondOpenIsRefusedAndTheFirstStaysUntouched) {
    kt::Pty other;
    other.MapAs(4);
    ASSERT_EQ(Open("COM3"), 0);
    std::string before = Log();
    EXPECT_EQ(Open("COM4"), 1);
    EXPECT_EQ(Open("COM3"), 1);
    EXPECT_EQ(Log(), before);
    char open[41];
    GetOpenPortName(open);
    EXPECT_STREQ(open, "COM3");
    EXPECT_EQ(SerialWriteByte('z'), 0);
    EXPECT_EQ(pty.Read(1, 3000), "z");
}

TEST_F(SerialPty, BytesReachTheDeviceInOrder) {
    ASSERT_EQ(Open("COM3"), 0);
    bridge.IdleTicks = 9;
    std::string all;
    for (int b = 0; b < 256; b++) {
        EXPECT_EQ(SerialWriteByte((uint8_t)b), 0);
        all += (char)b;
    }
    EXPECT_EQ(bridge.IdleTicks.load(), 0);
    std::string run(1500, 0);
    for (size_t i = 0; i < run.size(); i++) run[i] = (char)('a' + i % 26);
    bridge.IdleTicks = 9;
    EXPECT_EQ(SerialWriteBytes((const uint8_t*)run.data(), (int)run.size()), (int)run.size());
    EXPECT_EQ(bridge.IdleTicks.load(), 0);
    EXPECT_EQ(pty.Read(all.size() + run.size(), 5000), all + run);
}

TEST_F(SerialPty, DeviceInputReachesTheReplyTargetAndTheLastUdpSender) {
    lb::TcpPair tcp;
    ASSERT_TRUE(tcp.Open());
    tcpCells[0].socket = tcp.server;
    bridge.ReplyTarget = &tcpCells[0];
    Handle out = lb::UdpSocket(), in = lb::UdpSocket();
    settingsRecord.udpEnabled = 1;
    bridge.udpSocket = out;
    bridge.lastUdpSender = lb::PackedLoopback(lb::LocalPort(in));

    ASSERT_EQ(Open("COM3"), 0);
    pty.Write("from the device");
    EXPECT_EQ(lb::Read(tcp.client, 15, 3000), "from the device");
    ASSERT_TRUE(lb::Readable(in, 3000));
    char buf[64];
    int n = (int)recv(lb::Raw(in), buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "from the device");

    // Print buffering on: the device input goes to nobody.
    settingsRecord.bufferPrints = 1;
    pty.Write("held back");
    EXPECT_TRUE(WaitFor([] { return LogHas("Serial Polling"); }));
    EXPECT_EQ(lb::Read(tcp.client, 9, 300), "");
    EXPECT_FALSE(lb::Readable(in, 50));
    lb::CloseSock(out);
    lb::CloseSock(in);
}

TEST_F(SerialPty, Type108AcknowledgesEveryDeviceLine) {
    lb::TcpPair tcp;
    ASSERT_TRUE(tcp.Open());
    tcpCells[1].socket = tcp.server;
    bridge.ReplyTarget = &tcpCells[1];
    bridge.deviceType = 108;
    ASSERT_EQ(Open("COM3"), 0);
    std::string block("ab\rcdef\rgh", 10);
    pty.Write(block);
    EXPECT_EQ(lb::Read(tcp.client, 10, 3000), block);  // unchanged, CRs included
    EXPECT_EQ(pty.Read(2, 3000), "\x06\x06");

    // Still acknowledged with print buffering on.
    settingsRecord.bufferPrints = 1;
    pty.Write("\r");
    EXPECT_EQ(pty.Read(1, 3000), "\x06");
    bridge.deviceType = 107;
    pty.Write("\r");
    EXPECT_EQ(pty.Read(1, 300), "");
}

TEST_F(SerialPty, ReadTimeoutsShapeTheBlocks) {
    lb::TcpPair tcp;
    ASSERT_TRUE(tcp.Open());
    tcpCells[0].socket = tcp.server;
    bridge.ReplyTarget = &tcpCells[0];

    // 10/50/0: a pause of 300 ms splits the input into two blocks.
    ASSERT_EQ(Open("COM3"), 0);
    pty.Write("ab");
    EXPECT_EQ(lb::Read(tcp.client, 2, 3000), "ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty.Write("cd");
    EXPECT_EQ(lb::Read(tcp.client, 2, 3000), "cd");
    EXPECT_TRUE(WaitFor([] { return LogHas("SendTCP - OK, size:2 ab"); })) << Log();
    EXPECT_TRUE(WaitFor([] { return LogHas("SendTCP - OK, size:2 cd"); })) << Log();
    SerialOff();

    // Interval 2000 ms, no totals: both parts end up in one block.
    ASSERT_EQ(Open("COM3", 2000, 0, 0), 0);
    pty.Write("ef");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.Write("gh");
    EXPECT_EQ(lb::Read(tcp.client, 4, 5000), "efgh");
    EXPECT_TRUE(WaitFor([] { return LogHas("SendTCP - OK, size:4 efgh"); })) << Log();
    SerialOff();

    // Low latency (MAXDWORD, 50, MAXDWORD) and immediate (MAXDWORD, 0, 0):
    // input still arrives, and an idle port costs next to no CPU.
    const int modes[2][3] = {{-1, 50, -1}, {-1, 0, 0}};
    for (const auto& m : modes) {
        ASSERT_EQ(Open("COM3", m[0], m[1], m[2]), 0);
        pty.Write("ij");
        EXPECT_EQ(lb::Read(tcp.client, 2, 3000), "ij");
        EXPECT_LT(BusiestThreadCpu(500), 0.15) << m[0] << "/" << m[1] << "/" << m[2];
        SerialOff();
    }
}

TEST_F(SerialPty, AllZeroTimeoutsWaitForAFullBlockAndCloseAfterASecond) {
    lb::TcpPair tcp;
    ASSERT_TRUE(tcp.Open());
    tcpCells[0].socket = tcp.server;
    bridge.ReplyTarget = &tcpCells[0];
    ASSERT_EQ(Open("COM3", 0, 0, 0), 0);
    std::string part(1000, 'p');
    pty.Write(part);
    EXPECT_EQ(lb::Read(tcp.client, 1, 300), "");
    std::string rest(1047, 'q');
    pty.Write(rest);
    EXPECT_EQ(lb::Read(tcp.client, 2047, 5000), part + rest);

    // A short block stays in the read; the reader is blocked in it when
    // SerialOff comes.
    pty.Write("tail");
    EXPECT_EQ(lb::Read(tcp.client, 1, 300), "");
    auto start = std::chrono::steady_clock::now();
    SerialOff();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    // The close waits its second for the reader, then cancels the read that
    // would otherwise never end; a loaded sanitizer build may add seconds.
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 6000);
    EXPECT_FALSE(SerialIsOpen());
    // The reader, woken by the cancel, logs its stop after the close's line.
    EXPECT_TRUE(WaitFor([] { return LogHas("Serial Polling - stop"); }));
    std::string log = Log();
    size_t off = log.find("Serial Off - start");
    size_t closed = log.find("Serial Off - stop", off);
    ASSERT_NE(closed, std::string::npos) << log;
    EXPECT_NE(log.find("Serial Polling - stop", closed), std::string::npos) << log;
    EXPECT_EQ(log.find("Serial Polling - stop"), log.rfind("Serial Polling - stop")) << log;
    EXPECT_EQ(log.find("nie zatrzymano"), std::string::npos) << log;
}

TEST_F(SerialPty, DeviceThatDisappearsKeepsThePortOpenWithoutSpinning) {
    ASSERT_EQ(Open("COM3"), 0);
    pty.Hangup();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(BusiestThreadCpu(800), 0.2);
    EXPECT_TRUE(SerialIsOpen());  // open until SerialOff
    auto start = std::chrono::steady_clock::now();
    SerialOff();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_LT(ms, 6000);
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_TRUE(LogHas("Serial Off - stop"));
}

TEST_F(SerialPty, DcbImageFollowsTheOpenAndSetDcb) {
    bridge.deviceType = 220;
    ASSERT_EQ(Open("COM3"), 0);
    uint8_t dcb[kDcbSize];
    SerialGetDcb(dcb);
    EXPECT_EQ(GetLe32(dcb), 28);
    EXPECT_EQ(GetLe32(dcb + 4), 9600);
    uint32_t flags = (uint32_t)GetLe32(dcb + 8);
    EXPECT_EQ(flags & 0x7, 0x7u);         // fBinary, fParity, fOutxCtsFlow
    EXPECT_EQ(flags >> 4 & 3, 1u);        // DTR enabled
    EXPECT_EQ(flags >> 12 & 3, 1u);       // RTS enabled
    EXPECT_EQ(flags >> 10 & 1, 1u);       // fErrorChar
    EXPECT_EQ(dcb[18], 8);
    EXPECT_EQ(dcb[19], 0);
    EXPECT_EQ(dcb[20], 0);
    SerialOff();

    bridge.deviceType = 221;
    char name[8] = "COM3";
    ASSERT_EQ(SerialOpen(name, 19200, 7, 'E', 2, 10, 50, 0), 0);
    SerialGetDcb(dcb);
    EXPECT_EQ(GetLe32(dcb + 4), 19200);
    EXPECT_EQ(GetLe32(dcb + 8) & 0x4, 0);  // no CTS flow control
    EXPECT_EQ(dcb[18], 7);
    EXPECT_EQ(dcb[19], 2);
    EXPECT_EQ(dcb[20], 2);

    // Applied and read back: 4800 baud, 6 bits, odd, one stop bit, XON/XOFF.
    PutLe32(dcb + 4, 4800);
    PutLe32(dcb + 8, GetLe32(dcb + 8) | 1 << 8 | 1 << 9);
    dcb[18] = 6;
    dcb[19] = 1;
    dcb[20] = 0;
    dcb[21] = 0x11;
    dcb[22] = 0x13;
    SerialSetDcb(dcb);
    SerialPurge();
    uint8_t back[kDcbSize];
    SerialGetDcb(back);
    EXPECT_EQ(memcmp(dcb, back, kDcbSize), 0);
    EXPECT_EQ(SerialModemStatus() & 0x0F, 0);
}

// Two devices at once through the platform calls: each answers its own DCB,
// and a cancel ends the waits of the device it names only.
TEST_F(SerialPty, EachDeviceKeepsItsOwnDcbAndCancel) {
    kt::Pty other;
    ASSERT_TRUE(other.MapAs(4));
    Handle a = OpenCommPort("COM3", 9600, 8, 'N', 1, 10, 50, 0, false);
    Handle b = OpenCommPort("COM4", 19200, 7, 'E', 1, 10, 50, 0, false);
    ASSERT_NE(a, kNoHandle);
    ASSERT_NE(b, kNoHandle);
    uint8_t dcb[kDcbSize];
    ASSERT_EQ(PortGetDcb(a, dcb), 0);
    EXPECT_EQ(GetLe32(dcb + kDcbOffBaud), 9600);
    EXPECT_EQ(dcb[kDcbOffDataBits], 8);
    ASSERT_EQ(PortGetDcb(b, dcb), 0);
    EXPECT_EQ(GetLe32(dcb + kDcbOffBaud), 19200);
    EXPECT_EQ(dcb[kDcbOffDataBits], 7);

    uint8_t buffer[64];
    EXPECT_EQ(PortCancel(b), 0);
    other.Write("b");
    EXPECT_EQ(PortRead(b, buffer, sizeof buffer), 0);  // cancelled: dropped
    pty.Write("ab");
    ASSERT_EQ(PortRead(a, buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string((char*)buffer, 2), "ab");
    EXPECT_EQ(PortWriteBytes(a, (const uint8_t*)"a", 1), 1);
    EXPECT_EQ(pty.Read(1, 3000), "a");
    EXPECT_EQ(PortCancel(a), 0);
    pty.Write("c");
    EXPECT_EQ(PortRead(a, buffer, sizeof buffer), 0);
    PortClose(a);
    PortClose(b);
}

TEST_F(SerialPty, AnyRateTheDriverMakesIsSetAndRateZeroFails) {
    // A pseudo-terminal takes any rate, so only the rates it makes and our
    // own refusal of 0 can be shown here; a driver's refusal cannot.
    char name[8] = "COM3";
    ASSERT_EQ(SerialOpen(name, 14400, 8, 'N', 1, 10, 50, 0), 0);
    EXPECT_EQ(pty.Rate(), 14400u);
    uint8_t dcb[kDcbSize];
    SerialGetDcb(dcb);
    EXPECT_EQ(GetLe32(dcb + 4), 14400);

    // Through the DCB: a rate of no table is set; 0 keeps the line at its rate.
    PutLe32(dcb + 4, 250000);
    SerialSetDcb(dcb);
    EXPECT_EQ(pty.Rate(), 250000u);
    PutLe32(dcb + 4, 0);
    SerialSetDcb(dcb);
    EXPECT_EQ(pty.Rate(), 250000u);
    uint8_t back[kDcbSize];
    SerialGetDcb(back);
    EXPECT_EQ(GetLe32(back + 4), 250000);
    EXPECT_EQ(SerialWriteByte('r'), 0);
    EXPECT_EQ(pty.Read(1, 3000), "r");
    SerialOff();

    EXPECT_EQ(SerialOpen(name, 0, 8, 'N', 1, 10, 50, 0), 1);
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(Count(Log(), "Error - blad otwarcia portu COM"), 1);
}

TEST_F(SerialPty, CtsTypesTakeTheHardwareHandshake) {
    // A pseudo-terminal has no modem lines, so RTS and DTR themselves cannot
    // be watched here; the handshake flag the driver holds can.
    auto handshake = [&] {
        struct termios t;
        return tcgetattr(pty.master, &t) == 0 && (t.c_cflag & CRTSCTS) != 0;
    };
    bridge.deviceType = 220;
    ASSERT_EQ(Open("COM3"), 0);
    EXPECT_TRUE(handshake());
    SerialOff();
    bridge.deviceType = 221;
    ASSERT_EQ(Open("COM3"), 0);
    EXPECT_FALSE(handshake());
}

TEST_F(SerialPty, WritersOpenAndCloseFromManyThreads) {
    LogSetPath("");
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writers[2];
    for (auto& w : writers)
        w = std::thread([&] {
            for (int i = 0; i < 200000 && !stop.load(); i++) {
                if (SerialWriteByte('w') == 0)
                    written++;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (i % 64 == 0) ToggleRTS();
            }
        });
    std::thread drain([&] {
        for (int i = 0; i < 100000 && !stop.load(); i++) pty.Read(4096, 10);
    });
    for (int round = 0; round < 5; round++) {
        EXPECT_EQ(Open("COM3"), 0);
        int before = written.load();
        EXPECT_TRUE(WaitFor([&] { return written.load() > before + 20; }, 10000)) << "round " << round;
        SerialOff();
    }
    stop = true;
    for (auto& w : writers) w.join();
    drain.join();
    EXPECT_GT(written.load(), 0);
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(SerialWriteByte('w'), 1);
}

}  // namespace

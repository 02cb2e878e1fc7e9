// The serial port of the real program, driven over its TCP and UDP control
// ports with pseudo-terminals as devices (natively through ports/COMn, under
// Wine through the prefix's COM ports): name forms, the open failure, the
// type-108 handshake, read time-outs, a device that goes away, closing, the
// always-open port's owner across an unplugged device.
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include "support/support.h"

using namespace kt;

static const int kWait = 15000;  // generous: the Windows build starts under Wine
// A close that waited for the read would never end; one that cancels it ends
// within about a second, which a loaded sanitizer or Wine build may stretch.
static const int kCloseBound = 8000;
// A thread that spins uses most of a second; an idle one next to nothing.
static const double kIdleCpu = 0.25;

struct Bridge {
    int tcp = FreePort();
    int udp = FreePort();
    Setup setup;
    Program prog;
    void Start() {
        setup.Int(kOffTcpPort, tcp).Int(kOffUdpPort, udp);
        setup.Write(prog.dir.path);
        prog.Start();
        ASSERT_TRUE(WaitListening(tcp, 30000)) << "TCP control port never listened";
    }
    ~Bridge() {
        if (IsWine() && prog.Running()) {
            TcpClient k(tcp);
            k.Send(Esc("KILL"));
            prog.Wait(kWait);
        }
        prog.Stop(kWait);
    }
};

TEST(E2eSerial, NameFormsReachTheirDevicesBothWays) {
    Pty com3, com12;
    Bridge b;
    b.prog.MapCom(3, com3.slavePath);
    b.prog.MapCom(12, com12.slavePath);
    b.Start();

    TcpClient c(b.tcp);
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    c.Send("to three");
    EXPECT_EQ(com3.Read(8, kWait), "to three");
    com3.Write("from three");
    EXPECT_EQ(c.Read(10, kWait), "from three");
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait));

    // COM12 is opened through the device path \\.\COM12.
    c.Send(Esc("COM12"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    c.Send("to twelve");
    EXPECT_EQ(com12.Read(9, kWait), "to twelve");
    com12.Write("from twelve");
    EXPECT_EQ(c.Read(11, kWait), "from twelve");

    // A second client is refused while the port is open.
    TcpClient other(b.tcp);
    other.Send(Esc("COM3"));
    EXPECT_EQ(other.Read(1, kWait), Bytes(1, '\1'));
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(WaitUntil([&] { return b.prog.CountLog("Serial Off - stop") == 2; }, kWait));
    EXPECT_EQ(b.prog.CountLog("Error - blad otwarcia portu COM"), 0) << b.prog.Log();
}

TEST(E2eSerial, MissingDeviceIsRefusedWithTheOpenErrorLine) {
    Bridge b;
    b.Start();
    TcpClient c(b.tcp);
    c.Send(Esc("COM250"));
    EXPECT_EQ(c.Read(1, kWait), Bytes(1, '\1'));
    ASSERT_TRUE(b.prog.WaitLog("Error - blad otwarcia portu COM", kWait)) << b.prog.Log();
    EXPECT_TRUE(b.prog.WaitLog("baud=9600 data=8 parity=N stop=1", kWait));
    c.Send(Esc("TEST"));
    EXPECT_EQ(c.Read(1, kWait), Bytes(1, '\0'));  // nothing was left open
}

TEST(E2eSerial, Type108AcknowledgesDeviceLinesAndSwallowsClientAcks) {
    Pty dev;
    Bridge b;
    b.prog.MapCom(3, dev.slavePath);
    b.Start();
    TcpClient c(b.tcp);
    c.Send(Esc("TYP=108"));
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    Bytes lines("line one\rline two\r", 18);
    dev.Write(lines);
    EXPECT_EQ(c.Read(18, kWait), lines);
    EXPECT_EQ(dev.Read(2, kWait), "\x06\x06");
    c.Send("\x06" "ok\x06");
    EXPECT_EQ(dev.Read(2, kWait), "ok");
    EXPECT_EQ(dev.Drain(300), "");
    c.Send(Esc("TYP=0"));
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait));
}

TEST(E2eSerial, DeviceInputGoesToTheLastUdpSender) {
    Pty dev;
    Bridge b;
    b.prog.MapCom(3, dev.slavePath);
    b.Start();
    // The UDP server binds on its own thread; this line says it has.
    ASSERT_TRUE(b.prog.WaitLog("UDP Poling - Ready", kWait)) << b.prog.Log();
    UdpClient u;
    u.SendTo(b.udp, Esc("COM3"));
    ASSERT_EQ(u.Recv(kWait), Bytes(1, '\0'));
    dev.Write("datagram");
    EXPECT_EQ(u.Recv(kWait), "datagram");
    u.SendTo(b.udp, "back");
    EXPECT_EQ(dev.Read(4, kWait), "back");
    u.SendTo(b.udp, Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait));
}

TEST(E2eSerial, AllZeroTimeoutsHoldShortInputAndStillClose) {
    Pty dev;
    Bridge b;
    b.prog.MapCom(3, dev.slavePath);
    b.Start();
    TcpClient c(b.tcp);
    c.Send(Esc("TIMEOUT1=0 TIMEOUT2=0 TIMEOUT3=0"));
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    dev.Write("short");
    EXPECT_EQ(c.Drain(500), "");  // a read waits for 2047 bytes
    int64_t start = NowMs();
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait)) << b.prog.Log();
    EXPECT_LT(NowMs() - start, kCloseBound);
    EXPECT_EQ(b.prog.CountLog("nie zatrzymano"), 0) << b.prog.Log();
    EXPECT_TRUE(b.prog.WaitLog("Serial Polling - stop", kWait));

    // The device is free again, for the next client with ordinary time-outs.
    c.Send(Esc("TIMEOUT1=10 TIMEOUT2=50 TIMEOUT3=0"));
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    // What the cancelled read held is dropped with it.
    dev.Write("next");
    EXPECT_EQ(c.Read(4, kWait), "next");
}

TEST(E2eSerial, LowLatencyTimeoutsPassBytesOnAndIdleCheaply) {
    Pty dev;
    Bridge b;
    b.prog.MapCom(3, dev.slavePath);
    b.Start();
    TcpClient c(b.tcp);
    c.Send(Esc("TIMEOUT1=-1 TIMEOUT2=50 TIMEOUT3=-1"));
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0')) << b.prog.Log();
    for (int i = 0; i < 5; i++) {
        std::string msg = "ping" + std::to_string(i);
        dev.Write(msg);
        EXPECT_EQ(c.Read(msg.size(), kWait), msg);
    }
    if (!IsWine()) {
        EXPECT_LT(BusiestThreadCpu(b.prog.pid, 1000), kIdleCpu);  // over an idle second
    }
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait));
}

TEST(E2eSerial, DeviceThatGoesAwayNeitherSpinsNorBlocksTheClose) {
    Bridge b;
    auto dev = std::make_unique<Pty>();
    b.prog.MapCom(3, dev->slavePath);
    b.Start();
    TcpClient c(b.tcp);
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    dev->Write("before");
    EXPECT_EQ(c.Read(6, kWait), "before");
    dev.reset();  // the adapter is pulled out
    // CPU over a second of a device that fails every read.
    if (!IsWine()) {
        EXPECT_LT(BusiestThreadCpu(b.prog.pid, 1000), kIdleCpu);
    }
    c.Send(Esc("TEST"));
    EXPECT_EQ(c.Read(1, kWait), Bytes(1, '\1'));  // the port stays open until closed
    int64_t start = NowMs();
    c.Send(Esc("CLOSE"));
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait)) << b.prog.Log();
    EXPECT_LT(NowMs() - start, kCloseBound);
    EXPECT_TRUE(b.prog.Running());
}

// The always-open port's device is unplugged while a client holds the port:
// the port is closed once its reads have failed for 2 s and opened again when
// a device is back at its name, and the client holds it throughout.
TEST(E2eSerial, UnpluggedAlwaysOpenPortStaysWithItsOwner) {
    Bridge b;
    auto dev = std::make_unique<Pty>();
    b.prog.MapCom(5, dev->slavePath);
    b.setup.Int(kOffAlwaysOpen, 1).Int(kOffAutoDisconnectSeconds, 3600).Text(kOffPortName, 101, "COM5");
    b.setup.Int(kOffBaudRate, 9600).Byte(kOffParityLetter, 'N').Int(kOffStopBits, 1).Int(kOffDataBits, 8);
    b.Start();
    ASSERT_TRUE(b.prog.WaitLog("Serial Polling - start", kWait)) << b.prog.Log();
    TcpClient owner(b.tcp), other(b.tcp);
    ASSERT_EQ(Ask(owner, "COM5", kWait), 0);
    ASSERT_EQ(Ask(other, "COM5", kWait), 1);

    // Pointed away first, so the retries cannot open a pty reusing its number.
    b.prog.MapCom(5, "/nonexistent/kestrun-unplugged");
    dev.reset();
    ASSERT_TRUE(b.prog.WaitLog("Error - port COM5 nie odpowiada od 2 s - zamknieto", kWait)) << b.prog.Log();
    EXPECT_EQ(Ask(other, "COM5", kWait), 1);
    dev = std::make_unique<Pty>();
    b.prog.MapCom(5, dev->slavePath);
    ASSERT_TRUE(b.prog.WaitLog("Port zawsze otwarty COM5 otwarty ponownie", kWait)) << b.prog.Log();
    EXPECT_EQ(Ask(other, "COM5", kWait), 1);
    dev->Write("back");
    EXPECT_EQ(owner.Read(4, kWait), "back");
    EXPECT_EQ(b.prog.CountLog("nie odpowiada"), 1);
}

// Bulk both ways: before any datagram, device bytes are relayed to the
// owner alone, with no failed UDP send logged; a burst from the device
// reaches the TCP owner whole and
// the UDP client in datagrams no longer than one 2047-byte read, however much
// one read takes; a client's large send, with commands and ESC ESC among its
// data, reaches the device as exactly its data bytes while the commands still
// answer.
TEST(E2eSerial, BulkBothWaysKeepsEveryByteAndTheCommandsBetween) {
    Pty dev;
    Bridge b;
    b.prog.MapCom(3, dev.slavePath);
    b.Start();
    ASSERT_TRUE(b.prog.WaitLog("UDP Poling - Ready", kWait)) << b.prog.Log();
    TcpClient c(b.tcp);
    c.Send(Esc("BAUD=115200"));  // a fast line: bulk receives
    c.Send(Esc("COM3"));
    ASSERT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    // No UDP client yet: the device's bytes go to the owner, and no failed
    // send to nobody is logged.
    dev.Write("early");
    EXPECT_EQ(c.Read(5, kWait), "early");
    EXPECT_EQ(b.prog.CountLog("SendUDP"), 0) << b.prog.Log();
    UdpClient u;
    u.SendTo(b.udp, Esc("TEST"));
    ASSERT_EQ(u.Recv(kWait), Bytes(1, '\1'));

    Bytes burst;
    for (int i = 0; i < 40000; i++) burst += (char)('a' + i % 23);
    dev.Write(burst);
    EXPECT_EQ(c.Read(burst.size(), kWait), burst);
    Bytes viaUdp;
    size_t longest = 0;
    for (int i = 0; i < 1000 && viaUdp.size() < burst.size(); i++) {
        Bytes d = u.Recv(kWait);
        if (d.empty()) break;
        longest = std::max(longest, d.size());
        viaUdp += d;
    }
    EXPECT_EQ(viaUdp, burst);
    EXPECT_LE(longest, 2047u);

    // Commands land across the 1023-byte packet edges of one receive.
    Bytes sent, data;
    for (int i = 0; i < 30000; i++) {
        if (i == 1020 || i == 9000 || i == 20470) {
            sent += Esc("TEST");
        } else if (i % 997 == 5) {
            sent += "\x1b\x1b";
            data += '\x1b';
        } else {
            char x = (char)('A' + i % 26);
            sent += x;
            data += x;
        }
    }
    c.Send(sent);
    EXPECT_EQ(dev.Read(data.size(), kWait), data);
    EXPECT_EQ(c.Read(3, kWait), Bytes(3, '\1'));
}

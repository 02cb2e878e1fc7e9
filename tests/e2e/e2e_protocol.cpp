// The command protocol and the print spool in the real program: clients on
// loopback TCP and UDP, pseudo-terminals as the serial devices.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <string>
#include "support/support.h"

using namespace kt;

namespace {

struct Bridge {
    Program program;
    int tcpPort = FreePort();
    int udpPort = FreePort();
    Setup setup;
    Bridge() {
        setup.Int(kOffTcpPort, tcpPort).Int(kOffUdpPort, udpPort);
        setup.Text(kOffSpoolDirectory, 200, "SERVBUFF");
    }
    bool Start() {
        setup.Write(program.dir.path);
        program.Start();
        return WaitListening(tcpPort, 30000);
    }
    // Ends the program with KILL; a clean exit also means no sanitizer
    // report in an instrumented build.
    void Kill() {
        TcpClient client(tcpPort);
        client.Send(Esc("KILL"));
        EXPECT_EQ(0, program.Wait(20000)) << program.Log();
    }
};

}  // namespace

TEST(E2eProtocol, TcpAndUdpClientsDriveThePort) {
    Bridge b;
    Pty pty;
    b.program.MapCom(3, pty.slavePath);
    ASSERT_TRUE(b.Start());
    TcpClient owner(b.tcpPort), other(b.tcpPort);
    owner.Send(Esc("COM3"));
    ASSERT_EQ(Bytes(1, '\0'), owner.Read(1, 10000));
    owner.Send("hello\x1b\x1b");
    EXPECT_EQ("hello\x1b", pty.Read(6, 5000));
    pty.Write("world");
    EXPECT_EQ("world", owner.Read(5, 5000));

    other.Send(Esc("COM3") + Esc("TEST"));
    EXPECT_EQ(Bytes(2, '\1'), other.Read(2, 5000));
    other.Send(Esc("DCB=?") + Esc("MSR=?"));
    EXPECT_EQ(29u, other.Read(29, 5000).size());
    // Two connections are not ordered against each other: the owner's own
    // TEST reply shows that its CLOSE has run.
    owner.Send(Esc("CLOSE") + Esc("TEST"));
    EXPECT_EQ(Bytes(1, '\0'), owner.Read(1, 5000));
    other.Send(Esc("TEST"));
    EXPECT_EQ(Bytes(1, '\0'), other.Read(1, 5000));

    UdpClient udp;
    udp.SendTo(b.udpPort, Esc("COM3"));
    EXPECT_EQ(Bytes(1, '\0'), udp.Recv(5000));
    udp.SendTo(b.udpPort, "via udp");
    EXPECT_EQ("via udp", pty.Read(7, 5000));
    udp.SendTo(b.udpPort, Esc("CLOSE") + Esc("TEST"));
    // TEST runs before CLOSE in one line only; here they are two lines.
    EXPECT_EQ(Bytes(1, '\0'), udp.Recv(5000));
    // Seven packets held commands; each is logged once.
    EXPECT_GE(b.program.CountLog("Komenda:"), 7);
    b.Kill();
}

TEST(E2eProtocol, KillEndsTheProgram) {
    Bridge b;
    ASSERT_TRUE(b.Start());
    TcpClient client(b.tcpPort);
    client.Send(Esc("KILL RTS=0"));
    EXPECT_EQ(0, b.program.Wait(20000));
    EXPECT_NE(std::string::npos, b.program.Log().find("Koniec programu"));
}

// A job for an absent printer holds only the later jobs for that printer:
// the job for another port prints meanwhile, the waiting one is retried
// quietly, and both jobs for the absent port print in order once its device
// appears.
TEST(E2eProtocol, JobForAnAbsentPortHoldsOnlyThatPortAndPrintsWhenItAppears) {
    Bridge b;
    b.setup.Int(kOffBufferPrints, 1);
    Pty printer12, printer13;
    b.program.MapCom(12, printer12.slavePath);
    b.program.MapCom(13, "/nonexistent/kestrun-printer");  // no device, whatever was mapped before
    ASSERT_TRUE(b.Start());
    TcpClient client(b.tcpPort);
    client.Send(Esc("COM13 BAUD=19200") + "first" + Esc("CLOSE"));
    client.Send(Esc("COM12") + "second" + Esc("CLOSE"));
    client.Send(Esc("COM13") + "third" + Esc("CLOSE") + Esc("TEST"));
    EXPECT_EQ(Bytes("\0\0\0\0", 4), client.Read(4, 10000));

    EXPECT_EQ("second", printer12.Read(6, 15000)) << b.program.Log();
    ASSERT_TRUE(b.program.WaitLog("Wydruk nr:0000 czeka - blad otwarcia portu \\\\.\\COM13", 15000));
    // Retries every 1.5 s add no line: none more within the next two.
    const char* openError = "Error - blad otwarcia portu COM";
    EXPECT_FALSE(WaitUntil([&] { return b.program.CountLog(openError) > 1; }, 3500)) << b.program.Log();
    EXPECT_EQ(0, b.program.CountLog("Start wydruku nr:0002"));  // held behind job 0

    b.program.MapCom(13, printer13.slavePath);
    EXPECT_EQ("firstthird", printer13.Read(10, 15000)) << b.program.Log();
    EXPECT_TRUE(b.program.WaitLog("Koniec wydruku nr:0002 OK wyslano 5 bajtow", 10000));
    EXPECT_EQ(1, b.program.CountLog("Koniec wydruku nr:0000 OK wyslano 5 bajtow"));
    EXPECT_EQ(1, b.program.CountLog("Koniec wydruku nr:0001 OK wyslano 6 bajtow"));
    EXPECT_EQ(1, b.program.CountLog("Wydruk nr:0000 czeka"));
    EXPECT_EQ(1, b.program.CountLog("Wydruk nr:0000 - koniec oczekiwania na port \\\\.\\COM13"));
    EXPECT_EQ(1, b.program.CountLog(openError));
    b.Kill();
}

// TCP may deliver SETDCB's 28 bytes in a later segment than its line: they
// still set the port and never reach the device as data.
TEST(E2eProtocol, SetdcbBlockInALaterSegmentAppliesAndSendsNothing) {
    Bridge b;
    Pty device;
    b.program.MapCom(3, device.slavePath);
    ASSERT_TRUE(b.Start());
    TcpClient client(b.tcpPort);
    client.Send(Esc("COM3"));
    ASSERT_EQ(Bytes(1, '\0'), client.Read(1, 10000));
    client.Send(Esc("DCB=?"));
    Bytes dcb = client.Read(28, 10000);
    ASSERT_EQ(28u, dcb.size());
    ASSERT_EQ(9600, GetLe32((const uint8_t*)dcb.data() + 4));
    PutLe32((uint8_t*)&dcb[4], 19200);

    client.Send(Esc("SETDCB"));
    int64_t sent = NowMs();
    // The line has been taken alone; the block follows 0.3 s after it.
    ASSERT_TRUE(b.program.WaitLog("Komenda:[ESC]SETDCB[CR]", 10000));
    WaitUntil([&] { return NowMs() - sent >= 300; }, 1000);
    client.Send(dcb);
    client.Send(Esc("DCB=?"));
    Bytes now = client.Read(28, 10000);
    ASSERT_EQ(28u, now.size());
    EXPECT_EQ(19200, GetLe32((const uint8_t*)now.data() + 4));
    if (!IsWine()) {
        EXPECT_EQ(19200u, device.Rate());
    }
    EXPECT_EQ("", device.Drain(500));
    EXPECT_EQ(0, b.program.CountLog("SETDCB bez"));
    b.Kill();
}

// A reply reaches its client before anything the device answers to what
// followed the command. The device holds the bridge's output (XOFF), so the
// data after COM is still being written while the device answers: the
// answer waits behind COM's reply.
TEST(E2eProtocol, ReplyComesBeforeTheDevicesAnswerToTheDataAfterIt) {
    if (IsWine()) GTEST_SKIP() << "under Wine, XOFF on the pty does not hold the program's output";
    Bridge b;
    Pty device;
    b.setup.Int(kOffAlwaysOpen, 1).Text(kOffPortName, 101, "COM3").Int(kOffBaudRate, 1200);
    b.setup.Byte(kOffParityLetter, 'N').Int(kOffStopBits, 1).Int(kOffDataBits, 8);
    b.program.MapCom(3, device.slavePath);
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.program.WaitLog("Serial Polling - start", 10000)) << b.program.Log();
    struct termios t;
    ASSERT_EQ(0, tcgetattr(device.slaveKeep, &t));
    t.c_iflag |= IXON;
    ASSERT_EQ(0, tcsetattr(device.slaveKeep, TCSANOW, &t));
    device.Write("\x13");
    // Stopped once the pty's side takes no more output.
    ASSERT_TRUE(WaitUntil([&] {
        struct pollfd out = {device.slaveKeep, POLLOUT, 0};
        return poll(&out, 1, 0) == 0;
    }, 5000));

    TcpClient client(b.tcpPort);
    client.Send(Esc("COM3") + "?");
    ASSERT_TRUE(b.program.WaitLog("Komenda:[ESC]COM3[CR]?", 10000));
    // The device answers over and over until the client gets a byte.
    Bytes first;
    bool got = WaitUntil([&] {
        device.Write("A");
        first = client.Read(1, 10);
        return !first.empty();
    }, 3000);
    device.Write("\x11");
    if (!got) first = client.Read(1, 5000);
    EXPECT_EQ(Bytes(1, '\0'), first);
    EXPECT_EQ("A", client.Read(1, 5000));
    b.Kill();
}

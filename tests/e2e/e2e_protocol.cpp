// The command protocol and the print spool in the real program: clients on
// loopback TCP and UDP, pseudo-terminals as the serial devices.
#include <gtest/gtest.h>
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
    EXPECT_GE(b.program.CountLog("Komenda:"), 8);
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

TEST(E2eProtocol, BufferedJobsWaitForTheirPrinterAndPrintInOrder) {
    Bridge b;
    b.setup.Int(kOffBufferPrints, 1);
    Pty printer12, printer13;
    b.program.MapCom(12, printer12.slavePath);
    b.program.MapCom(13, "/nonexistent/kestrun-printer");  // no device, whatever was mapped before
    ASSERT_TRUE(b.Start());
    TcpClient client(b.tcpPort);
    // Job 0 names a printer that is not there yet; job 1 must wait behind it.
    client.Send(Esc("COM13 BAUD=19200") + "first" + Esc("CLOSE"));
    EXPECT_EQ(Bytes(1, '\0'), client.Read(1, 10000));
    client.Send(Esc("COM12") + "second" + Esc("TEST") + Esc("CLOSE") + Esc("TEST"));
    EXPECT_EQ(Bytes("\0\1\0", 3), client.Read(3, 10000));
    EXPECT_EQ(2345u + 5, ReadFile(b.program.Path("SERVBUFF/0000.buf")).size());
    EXPECT_EQ(2345u + 6, ReadFile(b.program.Path("SERVBUFF/0001.buf")).size());

    ASSERT_TRUE(b.program.WaitLog("Wydruk nr:0000 czeka", 15000)) << b.program.Log();
    EXPECT_EQ("", printer12.Drain(2000));
    EXPECT_EQ(0, b.program.CountLog("Start wydruku nr:0001"));

    b.program.MapCom(13, printer13.slavePath);
    EXPECT_EQ("first", printer13.Read(5, 15000));
    EXPECT_EQ("second", printer12.Read(6, 15000));
    EXPECT_TRUE(b.program.WaitLog("Koniec wydruku nr:0001 OK wyslano 6 bajtow", 10000));
    EXPECT_EQ(1, b.program.CountLog("Koniec wydruku nr:0000 OK wyslano 5 bajtow"));
    EXPECT_EQ(1, b.program.CountLog("Wydruk nr:0000 czeka"));
    EXPECT_EQ(1, b.program.CountLog("Start wydruku nr:0000"));
    b.Kill();
}

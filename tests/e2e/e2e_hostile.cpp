// Clients, devices and files that mean harm, against the real program over
// loopback with pseudo-terminals as devices: what any one of them can cost
// is small, bounded and logged once. Grouped by what is attacked.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

namespace {

const int kWait = 15000;  // generous: the Windows build starts under Wine

struct Ports {
    int tcp = FreePort();
    int udp = FreePort();
};

Setup BaseSetup(const Ports& p) {
    Setup s;
    s.Int(kOffTcpPort, p.tcp).Int(kOffUdpPort, p.udp);
    return s;
}

// Writes setup.dat, starts the program and waits for both control ports.
void StartWith(Program& prog, const Setup& setup, const Ports& p) {
    setup.Write(prog.dir.path);
    prog.Start();
    ASSERT_TRUE(WaitListening(p.tcp, 30000)) << "TCP control port never listened";
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Ready", kWait)) << "UDP control port never bound";
}

// Ends the program the way a user would: SIGTERM natively, KILL under Wine.
void Shutdown(Program& prog, int tcpPort) {
    if (IsWine()) {
        TcpClient k(tcpPort);
        k.Send(Esc("KILL"));
        prog.Wait(kWait);
    }
    prog.Stop(kWait);
}

}  // namespace

// Each group of cases below is one section; keep new sections at the end.

// ---- Connections: idle clients cannot hold every cell ----

namespace {

const char kEvicted[] = "rozlaczono nieaktywnego klienta 127.0.0.1, czekal nowy";

long long NowMsTest() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// Four idle clients and an idle owner of COM3 fill the five cells; a sixth
// is served once the quiet non-owner that came first is closed, with one log
// line. The owner, quiet longest, keeps its cell and its port.
TEST(E2eHostileConnections, IdleClientMakesRoomForANewcomerButTheOwnerStays) {
    Ports p;
    Pty dev;
    Program prog;
    prog.MapCom(3, dev.slavePath);
    StartWith(prog, BaseSetup(p), p);

    TcpClient owner(p.tcp);
    ASSERT_EQ(Ask(owner, "COM3", kWait), 0);
    TcpClient idle[4];
    for (TcpClient& c : idle) ASSERT_TRUE(c.Connect(p.tcp, kWait));
    // The last of the four is in its cell once it is answered.
    ASSERT_NE(Ask(idle[3], "TEST", kWait), -1);

    TcpClient sixth(p.tcp);
    long long start = NowMsTest();
    EXPECT_EQ(Ask(sixth, "COM3", 12000), 1);  // answered: busy, the owner has it
    long long waited = NowMsTest() - start;
    printf("sixth client answered after %lld ms\n", waited);
    EXPECT_LT(waited, 9000);

    EXPECT_TRUE(idle[0].ClosedByPeer(kWait));
    for (int i = 1; i < 4; i++) EXPECT_FALSE(idle[i].ClosedByPeer(100)) << i;
    owner.Send("still mine");
    EXPECT_EQ(dev.Read(10, kWait), "still mine");
    EXPECT_EQ(prog.CountLog(kEvicted), 1);
    owner.Send(Esc("CLOSE"));
    Shutdown(prog, p.tcp);
}

// On the virtual port a modem linked to a slot keeps its cell however quiet,
// chosen by a client or not; a quiet unlinked one (its slot re-linked to a
// newer modem) makes room for the next.
TEST(E2eHostileConnections, UnlinkedModemMakesRoomButALinkedOneStays) {
    Ports p;
    Program prog;
    kt::Setup s = BaseSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1);
    s.Text(kOffVirtualPeer, 40, "127.0.0.2").Text(kOffVirtualPortName, 40, "COM5");
    s.Text(kOffVirtualPeer + 40, 40, "127.0.0.1").Text(kOffVirtualPortName + 40, 40, "COM6");
    StartWith(prog, s, p);
    ASSERT_TRUE(WaitListening(1339, kWait));

    TcpClient linked;  // slot COM5, quiet longest
    linked.fd = ConnectTcpFrom("127.0.0.2", 1339);
    ASSERT_GE(linked.fd, 0);
    // Each of these re-links COM6 to itself; the last one keeps it.
    TcpClient modems[4];
    for (TcpClient& m : modems) ASSERT_TRUE(m.Connect(1339, kWait));
    TcpClient sixth(1339);

    EXPECT_TRUE(modems[0].ClosedByPeer(12000));
    EXPECT_FALSE(linked.ClosedByPeer(100));
    for (int i = 1; i < 4; i++) EXPECT_FALSE(modems[i].ClosedByPeer(100)) << i;
    TcpClient client(p.tcp);
    ASSERT_TRUE(OpenWhenReady(client, "COM5", kWait));
    client.Send("to five");
    EXPECT_EQ(linked.Read(7, kWait), "to five");
    // The sixth took its cell and the COM6 link.
    ASSERT_EQ(Ask(client, "COM6", kWait), 0);
    client.Send("to six");
    EXPECT_EQ(sixth.Read(6, kWait), "to six");
    EXPECT_EQ(prog.CountLog(std::string("Wirtualne Porty Serwer TCP - ") + kEvicted), 1);
    client.Send(Esc("CLOSE"));
    Shutdown(prog, p.tcp);
}

// ---- The communication log: what a packet adds, its bound, foreign bytes ----

namespace {

// 20 packets of 340 empty command lines, then TEST, whose answer shows that
// all of them were taken; the log bytes added per command byte.
template <typename SendOne, typename Answer>
double LogPerCommandByte(Program& prog, SendOne send, Answer answer) {
    size_t before = prog.Log().size();
    std::string flood;
    for (int i = 0; i < 340; i++) flood += Esc("A");
    for (int i = 0; i < 20; i++) send(flood);
    send(Esc("TEST"));
    EXPECT_EQ(1u, answer().size());
    return double(prog.Log().size() - before) / (20 * flood.size());
}

}  // namespace

TEST(E2eHostileLog, AFloodOfCommandLinesAddsASmallMultipleOfItsBytes) {
    Program prog;
    Ports p;
    StartWith(prog, BaseSetup(p), p);
    TcpClient tcp(p.tcp);
    UdpClient udp;
    // Each packet: its receive dump and one Komenda line, both rendered.
    double overTcp = LogPerCommandByte(prog, [&](const Bytes& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    double overUdp = LogPerCommandByte(prog, [&](const Bytes& b) { udp.SendTo(p.udp, b); }, [&] { return udp.Recv(kWait); });
    EXPECT_LT(overTcp, 8.0);
    EXPECT_LT(overUdp, 8.0);
    RecordProperty("log_bytes_per_command_byte_tcp", std::to_string(overTcp));
    RecordProperty("log_bytes_per_command_byte_udp", std::to_string(overUdp));
    Shutdown(prog, p.tcp);
}

TEST(E2eHostileLog, AboveItsBoundTheLogMovesToDotOneAndStartsWithOneLine) {
    if (IsWine()) GTEST_SKIP() << "the tray application takes no options: its bound is the default";
    Program prog;
    Ports p;
    prog.args = {"--log-max-bytes", "20000"};
    StartWith(prog, BaseSetup(p), p);
    TcpClient tcp(p.tcp);
    LogPerCommandByte(prog, [&](const Bytes& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    Bytes log = prog.Log(), old = ReadFile(prog.Path("k.log.1"));
    EXPECT_LE(log.size(), 20000u);
    EXPECT_LE(old.size(), 20000u);
    EXPECT_GT(old.size(), 10000u);
    // The notice is the new file's first entry, and its only one.
    EXPECT_LT(log.find("msek. Log przekroczyl 20000 bajtow - poprzedni zapisano jako k.log.1\r\n"), 40u) << log;
    EXPECT_EQ(1, prog.CountLog("Log przekroczyl"));
    Shutdown(prog, p.tcp);
}

TEST(E2eHostileLog, ForeignBytesNeverMakeLinesOfTheirOwn) {
    Program prog;
    Ports p;
    Pty pty;
    prog.MapCom(3, pty.slavePath);
    StartWith(prog, BaseSetup(p), p);
    // A forged entry with a terminal title escape, whose line the final CR
    // ends (an empty command) within the same packet.
    const Bytes forged = "\n11:11:11 11/11/11 + 0.00 msek. ---- Koniec programu ----\x1b]0;pwned\x07\r";
    TcpClient tcp(p.tcp);
    tcp.Send(Esc("PARITY=\x1b") + Esc("COM3"));  // an escape as the parity letter
    ASSERT_EQ(Bytes(1, '\1'), tcp.Read(1, kWait));
    tcp.Send(Esc("TEST") + forged);
    ASSERT_EQ(1u, tcp.Read(1, kWait).size());
    tcp.Send(Esc("PARITY=N") + Esc("COM3"));
    ASSERT_EQ(Bytes(1, '\0'), tcp.Read(1, kWait));
    pty.Write("ok\r" + forged);  // relayed to the owner: SendTCP's line
    EXPECT_EQ(3 + forged.size(), tcp.Read(3 + forged.size(), kWait).size());
    ASSERT_TRUE(prog.WaitLog("SendTCP - OK, size:", kWait)) << prog.Log();

    Bytes log = prog.Log();
    EXPECT_EQ(std::string::npos, log.find_first_of("\x1b\x07")) << "a raw escape in the log";
    EXPECT_EQ(std::string::npos, log.find("\n11:11:11")) << "a forged line";
    EXPECT_NE(std::string::npos, log.find("parity=[ESC] stop=")) << log;
    EXPECT_NE(std::string::npos, log.find("Komenda:[ESC]TEST[CR][LF]11:11:11 11/11/11")) << log;
    Shutdown(prog, p.tcp);
}

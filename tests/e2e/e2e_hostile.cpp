// Clients, devices and files that mean harm, against the real program over
// loopback with pseudo-terminals as devices: what any one of them can cost
// is small, bounded and logged once. Grouped by what is attacked.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
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

// ---- The communication log: what one packet adds, its size bound, and
// foreign bytes that must not make lines of their own ----

namespace {

// 20 packets of 340 empty command lines, then TEST: its answer shows that
// every packet before it has been taken.
template <typename SendOne, typename Answer>
void FloodThenTest(SendOne send, Answer answer) {
    std::string flood;
    for (int i = 0; i < 340; i++) flood += Esc("A");
    for (int i = 0; i < 20; i++) send(flood);
    send(Esc("TEST"));
    ASSERT_EQ(1u, answer().size());
}

// The lines of a log file, split at CR LF.
std::vector<std::string> LogLines(const Bytes& log) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= log.size()) {
        size_t end = log.find("\r\n", at);
        if (end == std::string::npos) end = log.size();
        lines.push_back(log.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

}  // namespace

TEST(E2eHostileLog, AFloodOfCommandLinesAddsASmallMultipleOfItsBytes) {
    Program prog;
    Ports p;
    StartWith(prog, BaseSetup(p), p);
    const double commandBytes = 20 * 340 * 3;

    size_t before = prog.Log().size();
    TcpClient tcp(p.tcp);
    FloodThenTest([&](const std::string& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    double tcpRatio = (prog.Log().size() - before) / commandBytes;
    // Each packet: its receive dump and one Komenda line, 10 bytes of log
    // for each 3-byte line in each.
    EXPECT_LT(tcpRatio, 8.0) << "log bytes per command byte over TCP";

    before = prog.Log().size();
    UdpClient udp;
    FloodThenTest([&](const std::string& b) { udp.SendTo(p.udp, b); }, [&] { return udp.Recv(kWait); });
    double udpRatio = (prog.Log().size() - before) / commandBytes;
    EXPECT_LT(udpRatio, 8.0) << "log bytes per command byte over UDP";
    RecordProperty("tcp_log_bytes_per_command_byte", std::to_string(tcpRatio));
    RecordProperty("udp_log_bytes_per_command_byte", std::to_string(udpRatio));
    Shutdown(prog, p.tcp);
}

TEST(E2eHostileLog, AboveItsBoundTheLogMovesToDotOneAndStartsWithOneLine) {
    if (IsWine()) GTEST_SKIP() << "the tray application takes no options: its bound is the default";
    Program prog;
    Ports p;
    prog.args = {"--log-max-bytes", "20000"};
    StartWith(prog, BaseSetup(p), p);
    TcpClient tcp(p.tcp);
    FloodThenTest([&](const std::string& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    Bytes log = prog.Log(), old = ReadFile(prog.Path("k.log.1"));
    EXPECT_LE(log.size(), 20000u);
    EXPECT_LE(old.size(), 20000u);
    EXPECT_GT(old.size(), 10000u);
    std::vector<std::string> lines = LogLines(log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(std::string::npos,
              lines[1].find("msek. Log przekroczyl 20000 bajtow - poprzedni zapisano jako k.log.1"))
        << lines[1];
    int notices = 0;
    for (const std::string& line : lines) notices += line.find("Log przekroczyl") != std::string::npos;
    EXPECT_EQ(1, notices);
    // The bridge goes on after it.
    tcp.Send(Esc("TEST"));
    EXPECT_EQ(1u, tcp.Read(1, kWait).size());
    Shutdown(prog, p.tcp);
}

TEST(E2eHostileLog, ForeignBytesNeverMakeLinesOfTheirOwn) {
    Program prog;
    Ports p;
    Pty pty;
    prog.MapCom(3, pty.slavePath);
    StartWith(prog, BaseSetup(p), p);
    // A forged stamp and a terminal title escape, ended by a CR so that the
    // escape's line runs (as an empty command) within the same packet.
    const std::string forged = "\r\n11:11:11 11/11/11 + 0.00 msek. ------------- Koniec programu ----"
                               "\x1b]0;pwned\x07\r";
    TcpClient tcp(p.tcp);
    // A parity letter that is an escape, a command line followed by a forged
    // line, then a device answer with one.
    tcp.Send(Esc("PARITY=\x1b") + Esc("COM3"));
    ASSERT_EQ(Bytes(1, '\1'), tcp.Read(1, kWait));
    tcp.Send(Esc("TEST") + forged.substr(1));
    ASSERT_EQ(1u, tcp.Read(1, kWait).size());
    tcp.Send(Esc("PARITY=N") + Esc("COM3"));
    ASSERT_EQ(Bytes(1, '\0'), tcp.Read(1, kWait));
    pty.Write("ok" + forged);
    EXPECT_EQ(2 + forged.size(), tcp.Read(2 + forged.size(), kWait).size());
    ASSERT_TRUE(prog.WaitLog("SendTCP - OK", kWait)) << prog.Log();

    Bytes log = prog.Log();
    EXPECT_EQ(std::string::npos, log.find_first_of("\x1b\x07")) << "a raw escape in the log";
    EXPECT_NE(std::string::npos, log.find("parity=[ESC] stop=")) << log;
    EXPECT_NE(std::string::npos, log.find("Komenda:[ESC]TEST[CR][LF]11:11:11 11/11/11")) << log;
    EXPECT_NE(std::string::npos, log.find("SendTCP - OK, size:")) << log;
    for (const std::string& line : LogLines(log))
        EXPECT_NE(0u, line.find("11:11:11 11/11/11")) << "a forged line: " << line;
    Shutdown(prog, p.tcp);
}

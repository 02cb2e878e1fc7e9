// Clients, devices and files that mean harm, against the real program over
// loopback with pseudo-terminals as devices: what any one of them can cost
// is small, bounded and logged once. Grouped by what is attacked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

namespace {

const int kWait = 15000;  // generous: the Windows build starts under Wine

}  // namespace

// Each group of cases below is one section; keep new sections at the end.

// ---- Connections: idle clients cannot hold every cell ----

namespace {

const char kEvicted[] = "rozlaczono nieaktywnego klienta 127.0.0.1, czekal nowy";

}  // namespace

// Four idle clients and an idle owner of COM3 fill the five cells; a sixth
// is served once the quiet non-owner that came first is closed, with one log
// line. The owner, quiet longest, keeps its cell and its port.
TEST(E2eHostileConnections, IdleClientMakesRoomForANewcomerButTheOwnerStays) {
    ControlPorts p;
    Pty dev;
    Program prog;
    prog.MapCom(3, dev.slavePath);
    StartServing(prog, ControlSetup(p), p);

    TcpClient owner(p.tcp);
    ASSERT_EQ(Ask(owner, "COM3", kWait), 0);
    TcpClient idle[4];
    for (TcpClient& c : idle) ASSERT_TRUE(c.Connect(p.tcp, kWait));
    // The last of the four is in its cell once it is answered.
    ASSERT_NE(Ask(idle[3], "TEST", kWait), -1);

    TcpClient sixth(p.tcp);
    int64_t start = NowMs();
    EXPECT_EQ(Ask(sixth, "COM3", 12000), 1);  // answered: busy, the owner has it
    long long waited = (long long)(NowMs() - start);
    printf("sixth client answered after %lld ms\n", waited);
    EXPECT_LT(waited, 9000);

    EXPECT_TRUE(idle[0].ClosedByPeer(kWait));
    for (int i = 1; i < 4; i++) EXPECT_FALSE(idle[i].ClosedByPeer(100)) << i;
    owner.Send("still mine");
    EXPECT_EQ(dev.Read(10, kWait), "still mine");
    EXPECT_EQ(prog.CountLog(kEvicted), 1);
    owner.Send(Esc("CLOSE"));
    EndProgram(prog, p.tcp);
}

// On the virtual port a modem linked to a slot keeps its cell however quiet,
// chosen by a client or not; a quiet unlinked one (its slot re-linked to a
// newer modem) makes room for the next.
TEST(E2eHostileConnections, UnlinkedModemMakesRoomButALinkedOneStays) {
    ControlPorts p;
    Program prog;
    kt::Setup s = ControlSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1);
    s.Text(kOffVirtualPeer, 40, "127.0.0.2").Text(kOffVirtualPortName, 40, "COM5");
    s.Text(kOffVirtualPeer + 40, 40, "127.0.0.1").Text(kOffVirtualPortName + 40, 40, "COM6");
    StartServing(prog, s, p);
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
    EndProgram(prog, p.tcp);
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
    ControlPorts p;
    StartServing(prog, ControlSetup(p), p);
    TcpClient tcp(p.tcp);
    UdpClient udp;
    // Each packet: its receive dump and one Komenda line, both rendered.
    double overTcp = LogPerCommandByte(prog, [&](const Bytes& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    double overUdp = LogPerCommandByte(prog, [&](const Bytes& b) { udp.SendTo(p.udp, b); }, [&] { return udp.Recv(kWait); });
    EXPECT_LT(overTcp, 8.0);
    EXPECT_LT(overUdp, 8.0);
    RecordProperty("log_bytes_per_command_byte_tcp", std::to_string(overTcp));
    RecordProperty("log_bytes_per_command_byte_udp", std::to_string(overUdp));
    EndProgram(prog, p.tcp);
}

TEST(E2eHostileLog, AboveItsBoundTheLogMovesToDotOneAndStartsWithOneLine) {
    if (IsWine()) GTEST_SKIP() << "the tray application takes no options: its bound is the default";
    Program prog;
    ControlPorts p;
    prog.args = {"--log-max-bytes", "20000"};
    StartServing(prog, ControlSetup(p), p);
    TcpClient tcp(p.tcp);
    LogPerCommandByte(prog, [&](const Bytes& b) { tcp.Send(b); }, [&] { return tcp.Read(1, kWait); });
    Bytes log = prog.Log(), old = ReadFile(prog.Path("k.log.1"));
    EXPECT_LE(log.size(), 20000u);
    EXPECT_LE(old.size(), 20000u);
    EXPECT_GT(old.size(), 10000u);
    // The notice is the new file's first entry, and its only one.
    EXPECT_LT(log.find("msek. Log przekroczyl 20000 bajtow - poprzedni zapisano jako k.log.1\r\n"), 40u) << log;
    EXPECT_EQ(1, prog.CountLog("Log przekroczyl"));
    EndProgram(prog, p.tcp);
}

TEST(E2eHostileLog, ForeignBytesNeverMakeLinesOfTheirOwn) {
    Program prog;
    ControlPorts p;
    Pty pty;
    prog.MapCom(3, pty.slavePath);
    StartServing(prog, ControlSetup(p), p);
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
    EndProgram(prog, p.tcp);
}

// ---- The print spool: bounded, and its folder and files not trusted ----

namespace {

Setup SpoolSetup(const ControlPorts& p) {
    return ControlSetup(p).Int(kOffBufferPrints, 1).Text(kOffSpoolDirectory, 200, "SERVBUFF");
}

// Sends ESC COMn, the data and ESC CLOSE, then TEST; the COM and TEST
// replies (TEST: 1 while the job is still open).
Bytes SendJob(TcpClient& c, int com, const Bytes& data) {
    c.Send(Esc("COM" + std::to_string(com)) + data + Esc("TEST") + Esc("CLOSE"));
    return c.Read(2, kWait);
}

const Bytes kOpenAndGoing("\0\1", 2);
const Bytes kOpenAndEnded("\0\0", 2);

}  // namespace

// Small bounds for the test: 1000 bytes a job, 4 jobs, 2500 bytes queued.
// A job over its bound never prints cut short, a job that would pass the
// queue's bytes is discarded whole, a new job is refused while the queue is
// full, each logged once; the queued jobs all print once their printer is
// there, and the queue takes jobs again once it has drained.
TEST(E2eHostileSpool, BoundsEndOnlyTheJobThatReachesThem) {
    ControlPorts p;
    Program prog;
    prog.env = {"KESTRUN_SPOOL_JOB_BYTES=1000", "KESTRUN_SPOOL_JOBS=4", "KESTRUN_SPOOL_BYTES=2500"};
    Pty p12, p13;
    prog.MapCom(12, p12.slavePath);
    prog.MapCom(13, "/nonexistent/kestrun-printer");
    StartServing(prog, SpoolSetup(p), p);
    TcpClient c(p.tcp);

    EXPECT_EQ(kOpenAndEnded, SendJob(c, 12, Bytes(1200, 'a')));
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 13, Bytes(700, 'b')));
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 13, Bytes(700, 'c')));
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 13, Bytes(700, 'd')));
    EXPECT_EQ(kOpenAndEnded, SendJob(c, 13, Bytes(700, 'e')));  // 2800 bytes queued
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 13, Bytes(100, 'f')));
    EXPECT_EQ(Bytes("\0\0", 2), SendJob(c, 13, Bytes(100, 'g')));  // a fifth job
    EXPECT_EQ(Bytes("\0\0", 2), SendJob(c, 13, Bytes(100, 'h')));
    ASSERT_TRUE(prog.WaitLog("Wydruk nr:0000 czeka", kWait)) << prog.Log();
    EXPECT_EQ("", p12.Drain(300));
    EXPECT_EQ(1, prog.CountLog("Error - wydruk nr:0000 przekracza 1000 bajtow, odrzucono"));
    EXPECT_EQ(1, prog.CountLog("Error - kolejka buforowania wydruku przekracza 2500 bajtow, "
                               "odrzucono wydruk nr:0003"));
    EXPECT_EQ(1, prog.CountLog("Error - kolejka buforowania wydruku pelna (4 zadan, 2200 bajtow)"));
    EXPECT_EQ(4, prog.CountLog("Koniec kolejki buforowania wydruku"));

    prog.MapCom(13, p13.slavePath);
    Bytes queued = Bytes(700, 'b') + Bytes(700, 'c') + Bytes(700, 'd') + Bytes(100, 'f');
    EXPECT_EQ(queued, p13.Read(queued.size(), kWait)) << prog.Log();
    ASSERT_TRUE(prog.WaitLog("Koniec wydruku nr:0003 OK wyslano 100 bajtow", kWait));
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 12, "after"));
    EXPECT_EQ("after", p12.Read(5, kWait)) << prog.Log();
    EndProgram(prog, p.tcp);
}

// A link planted under a job's name, before the start or while the bridge
// runs: the start-up removes it, a new job replaces it, its target is never
// written.
TEST(E2eHostileSpool, JobFilesAreNeverWrittenThroughALink) {
    // Wine shows a host symlink to the program as the file it points to.
    if (IsWine()) GTEST_SKIP() << "a host symlink is no reparse point under Wine";
    ControlPorts p;
    Program prog;
    Pty p3;
    prog.MapCom(3, p3.slavePath);
    TempDir outside;
    const std::string target = outside / "target";
    WriteFile(target, "precious");
    const std::string job0 = prog.Path("SERVBUFF/0000.buf");
    ASSERT_EQ(0, mkdir(prog.Path("SERVBUFF").c_str(), 0750));
    ASSERT_EQ(0, symlink(target.c_str(), job0.c_str()));
    StartServing(prog, SpoolSetup(p), p);
    struct stat st;
    EXPECT_NE(0, lstat(job0.c_str(), &st)) << "the planted link survived the start-up";

    ASSERT_EQ(0, symlink(target.c_str(), job0.c_str()));
    TcpClient c(p.tcp);
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 3, "receipt"));
    EXPECT_EQ("receipt", p3.Read(7, kWait)) << prog.Log();
    ASSERT_TRUE(prog.WaitLog("Koniec wydruku nr:0000 OK wyslano 7 bajtow", kWait));
    EXPECT_EQ("precious", ReadFile(target));
    ASSERT_EQ(0, lstat(job0.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EndProgram(prog, p.tcp);
}

// A waiting job whose header is edited to name a device path is ended with
// one line and never opens it; the next job prints.
TEST(E2eHostileSpool, HeaderPortNameMustBeOneAComMakes) {
    if (IsWine()) GTEST_SKIP() << "a device path in a header reaches a pty only natively";
    ControlPorts p;
    Program prog;
    Pty victim, p12;
    prog.MapCom(12, p12.slavePath);
    prog.MapCom(13, "/nonexistent/kestrun-printer");
    StartServing(prog, SpoolSetup(p), p);
    TcpClient c(p.tcp);
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 13, "secret"));
    ASSERT_TRUE(prog.WaitLog("Wydruk nr:0000 czeka", kWait)) << prog.Log();

    const std::string job0 = prog.Path("SERVBUFF/0000.buf");
    Bytes file = ReadFile(job0);
    ASSERT_GT(file.size(), 256u);
    Bytes name = victim.slavePath;
    name.resize(256, '\0');
    WriteFile(job0, name + file.substr(256));
    ASSERT_TRUE(prog.WaitLog("Koniec wydruku nr:0000 Error - niedozwolona nazwa portu w naglowku",
                             kWait)) << prog.Log();
    EXPECT_EQ(kOpenAndGoing, SendJob(c, 12, "next"));
    EXPECT_EQ("next", p12.Read(4, kWait)) << prog.Log();
    EXPECT_EQ("", victim.Drain(200));
    EXPECT_EQ(0, prog.CountLog("Koniec wydruku nr:0000 OK"));
    EXPECT_EQ(1, prog.CountLog("niedozwolona nazwa portu"));
    EndProgram(prog, p.tcp);
}

// A spool folder that others may write to, or that another user owns, is
// refused with one line and its files are left alone; the bridge runs on
// and buffers nothing (TEST after COM answers 0). A folder the bridge makes
// is 0750 and its log and job files are not readable by others.
TEST(E2eHostileSpool, ForeignFolderIsRefusedAndOwnFilesArePrivate) {
    if (IsWine()) GTEST_SKIP() << "POSIX owners and modes";
    struct Case {
        mode_t mode;
        uid_t owner;
    };
    for (Case k : {Case{0777, geteuid()}, Case{0750, (uid_t)65534}}) {
        if (k.owner != geteuid() && geteuid() != 0) continue;  // only root can give it away
        ControlPorts p;
        Program prog;
        const std::string dir = prog.Path("SERVBUFF");
        ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
        ASSERT_EQ(0, chmod(dir.c_str(), k.mode));
        WriteFile(dir + "/0007.buf", "theirs");
        ASSERT_EQ(0, chown(dir.c_str(), k.owner, (gid_t)-1));
        StartServing(prog, SpoolSetup(p), p);
        EXPECT_TRUE(prog.WaitLog("Error - folder buforowania wydruku SERVBUFF odrzucony", kWait))
            << prog.Log();
        TcpClient c(p.tcp);
        EXPECT_EQ(kOpenAndEnded, SendJob(c, 3, "lost"));
        EXPECT_EQ("theirs", ReadFile(dir + "/0007.buf"));
        EXPECT_FALSE(FileExists(dir + "/0000.buf"));
        EXPECT_EQ(1, prog.CountLog("folder buforowania wydruku"));
        EndProgram(prog, p.tcp);
    }

    ControlPorts p;
    Program prog;
    StartServing(prog, SpoolSetup(p), p);
    TcpClient c(p.tcp);
    c.Send(Esc("COM3") + "kept");
    ASSERT_EQ(Bytes(1, '\0'), c.Read(1, kWait));
    ASSERT_TRUE(prog.WaitLog("Start kolejki buforowania wydruku nr:0000 OK", kWait));
    struct stat folder, job, log;
    ASSERT_EQ(0, stat(prog.Path("SERVBUFF").c_str(), &folder));
    ASSERT_EQ(0, stat(prog.Path("SERVBUFF/0000.buf").c_str(), &job));
    ASSERT_EQ(0, stat(prog.Path("k.log").c_str(), &log));
    EXPECT_EQ(0750u, folder.st_mode & 07777);
    EXPECT_EQ(0u, job.st_mode & 0007);
    EXPECT_EQ(0u, log.st_mode & 0007);
    EndProgram(prog, p.tcp);
}

// The whole program: which servers start, the spool clean-up, the single
// instance, KILL and SIGTERM shutdown, the auto-disconnect in both alwaysOpen
// modes, print replay by the tick, SIGHUP reload, the tooltip on stdout and
// kestrun-setup.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

static const char kStartBanner[] = "------------- Start programu --------------------";
static const char kEndBanner[] = "------------- Koniec programu --------------------";
static const char kAutoLine[] = "Wykonano autorozlaczenie!";
// The UDP server binds on its own thread; this line says it has. Probing the
// port by binding it before then could take it from the server.
static const char kUdpReady[] = "UDP Poling - Ready";

// Under Wine everything is slower; bounds stretch with it.
static int Slow(int ms) {
    return IsWine() ? ms * 4 : ms;
}

// True when this process can bind the port itself (TCP: SO_REUSEADDR so that
// connections in TIME_WAIT do not count).
static bool PortFree(int port, int type) {
    int s = socket(AF_INET, type, 0);
    int one = 1;
    if (type == SOCK_STREAM) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(s, (struct sockaddr*)&a, sizeof a) == 0;
    if (ok && type == SOCK_STREAM) ok = listen(s, 1) == 0;
    close(s);
    return ok;
}

struct Ports {
    int tcp = FreePort();
    int udp = FreePort();
};

static Setup BaseSetup(const Ports& p) {
    Setup s;
    s.Int(kOffTcpPort, p.tcp).Int(kOffUdpPort, p.udp).Text(kOffSpoolDirectory, 200, "SERVBUFF");
    s.Int(kOffBaudRate, 9600).Byte(kOffParityLetter, 'N').Int(kOffStopBits, 1).Int(kOffDataBits, 8);
    return s;
}

static void StartWith(Program& prog, const Setup& s) {
    s.Write(prog.dir.path);
    prog.Start();
    ASSERT_TRUE(prog.WaitLog(kStartBanner, Slow(10000))) << prog.Log();
}

// Sends ESC COMn CR and returns the one status byte (-1 when none came).
static int Com(TcpClient& c, int n) {
    return Ask(c, "COM" + std::to_string(n), Slow(5000));
}

static size_t Find(const Bytes& log, const std::string& text) {
    size_t at = log.find(text);
    return at == std::string::npos ? (size_t)-1 : at;
}

// Every line is in the log, each after the one before it.
static void ExpectInOrder(const Bytes& log, const std::vector<std::string>& lines) {
    size_t previous = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        size_t at = log.find(lines[i]);
        EXPECT_NE(at, std::string::npos) << "missing: " << lines[i] << "\n" << log;
        if (at == std::string::npos) return;
        if (i > 0) {
            EXPECT_GT(at, previous) << lines[i] << " before " << lines[i - 1] << "\n" << log;
        }
        previous = at;
    }
}

TEST(App, BothServersStartWhenBothFlagsAreZeroUdpFirst) {
    Ports p;
    Program prog;
    StartWith(prog, BaseSetup(p).Int(kOffTcpEnabled, 0).Int(kOffUdpEnabled, 0));
    ASSERT_TRUE(WaitListening(p.tcp, Slow(5000)));
    ASSERT_TRUE(prog.WaitLog(kUdpReady, Slow(5000))) << prog.Log();
    EXPECT_FALSE(PortFree(p.udp, SOCK_DGRAM));
    Bytes log = prog.Log();
    ExpectInOrder(log, {"Serwer UDP On - Start", "Serwer TCP On - Start"});
    // The switch is made in memory only: setup.dat keeps both flags 0.
    Bytes file = ReadFile(prog.Path("setup.dat"));
    ASSERT_EQ(file.size(), (size_t)kSettingsSize);
    EXPECT_EQ(GetLe32((const uint8_t*)file.data() + kOffTcpEnabled), 0);
    EXPECT_EQ(GetLe32((const uint8_t*)file.data() + kOffUdpEnabled), 0);
}

TEST(App, OneFlagStartsOnlyItsServer) {
    for (int tcpOnly = 1; tcpOnly >= 0; tcpOnly--) {
        SCOPED_TRACE(tcpOnly ? "tcp only" : "udp only");
        Ports p;
        Program prog;
        // With no idle time the first quiet tick logs its timeout: by then
        // start-up has passed the servers.
        StartWith(prog, BaseSetup(p)
                            .Int(kOffTcpEnabled, tcpOnly)
                            .Int(kOffUdpEnabled, !tcpOnly)
                            .Int(kOffAutoDisconnectSeconds, 0));
        ASSERT_TRUE(prog.WaitLog(kAutoLine, Slow(5000))) << prog.Log();
        if (tcpOnly) {
            EXPECT_TRUE(WaitListening(p.tcp, 1000));
            EXPECT_TRUE(PortFree(p.udp, SOCK_DGRAM));
        } else {
            ASSERT_TRUE(prog.WaitLog(kUdpReady, Slow(5000))) << prog.Log();
            EXPECT_FALSE(PortFree(p.udp, SOCK_DGRAM));
            EXPECT_TRUE(PortFree(p.tcp, SOCK_STREAM));
        }
        EXPECT_EQ(prog.CountLog(tcpOnly ? "Serwer UDP On" : "Serwer TCP On"), 0);
    }
}

TEST(App, OldJobsAreRemovedAndOtherFilesStay) {
    Ports p;
    Program prog;
    mkdir(prog.Path("SERVBUFF").c_str(), 0755);
    WriteFile(prog.Path("SERVBUFF/0003.buf"), "old job");
    WriteFile(prog.Path("SERVBUFF/0000.buf"), "");
    WriteFile(prog.Path("SERVBUFF/keep.txt"), "keep");
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(WaitListening(p.tcp, Slow(5000)));
    EXPECT_FALSE(FileExists(prog.Path("SERVBUFF/0003.buf")));
    EXPECT_FALSE(FileExists(prog.Path("SERVBUFF/0000.buf")));
    EXPECT_EQ(ReadFile(prog.Path("SERVBUFF/keep.txt")), "keep");
}

TEST(App, SecondInstanceIsRefusedAndTheFirstRunsOn) {
    if (IsWine()) GTEST_SKIP() << "the lock file is the Linux daemon's";
    Ports p;
    Program first;
    StartWith(first, BaseSetup(p));
    ASSERT_TRUE(WaitListening(p.tcp, 5000));

    // The same working folder from another runtime folder: refused, and the
    // refusal is a failure a supervisor sees.
    Program second;
    second.args = {"-C", first.dir.path};
    second.Start();
    EXPECT_EQ(second.Wait(5000), 1);
    EXPECT_NE(ReadFile(second.Path("stderr.txt"))
                  .find("Kestrun mo\xC5\xBC"
                        "e by\xC4\x87 uruchomiony tylko jeden raz!"),
              std::string::npos);
    // Refused before anything else: no log, no servers.
    EXPECT_FALSE(FileExists(second.Path("k.log")));
    EXPECT_EQ(first.CountLog(kStartBanner), 1);

    EXPECT_TRUE(first.Running());
    TcpClient c(p.tcp, 2000);
    EXPECT_GE(c.fd, 0);
    EXPECT_EQ(first.CountLog(kEndBanner), 0);
}

// Without XDG_RUNTIME_DIR, another user's lock on /tmp/kestrun.lock (here in
// a /tmp of the daemon's own, bind-mounted over it) does not keep the daemon
// from starting: its lock is in its working folder.
TEST(App, AnotherUsersLockInTmpDoesNotStopTheDaemon) {
    if (IsWine()) GTEST_SKIP() << "the lock file is the Linux daemon's";
    TempDir dir;
    const std::string tmp = dir / "tmp", work = dir / "work";
    ASSERT_EQ(mkdir(tmp.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    const std::string planted = tmp + "/kestrun.lock";
    int held = open(planted.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(fchown(held, 65534, 65534), 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    Ports q;
    BaseSetup(q).Write(work);
    // The working folder is entered before the mount hides it.
    const std::string script = "unset XDG_RUNTIME_DIR; cd '" + work + "' && mount --bind '" + tmp +
                               "' /tmp && exec '" + getenv("KESTRUN_BIN") + "'";
    pid_t pid = Spawn({"unshare", "-m", "sh", "-c", script}, dir.path, {});
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(work + "/k.log").find(kStartBanner) != std::string::npos; },
                          10000))
        << ReadFile(dir / "stderr.txt");
    TcpClient c(q.tcp, 5000);
    EXPECT_EQ(Ask(c, "TEST", 5000), 0) << ReadFile(dir / "stderr.txt");
    EXPECT_EQ(StopChild(pid, true, 10000), 0);
    EXPECT_EQ(ReadFile(planted), "");
    close(held);
}

static void ExpectOrderlyShutdown(Program& prog, const Ports& p) {
    EXPECT_EQ(prog.Wait(Slow(10000)), 0);
    ExpectInOrder(prog.Log(),
                  {"Serwer UDP Off - Start", "Serwer TCP Off - Start", "Wirtualne Porty Serwer TCP Off - Start", kEndBanner});
    EXPECT_EQ(prog.CountLog(kEndBanner), 1);
    EXPECT_TRUE(PortFree(p.tcp, SOCK_STREAM));
    EXPECT_TRUE(PortFree(p.udp, SOCK_DGRAM));
}

TEST(App, KillCommandShutsDownInOrderAndFreesThePorts) {
    Ports p;
    Program prog;
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(WaitListening(p.tcp, Slow(5000)));
    TcpClient c(p.tcp);
    c.Send(Esc("KILL"));
    ExpectOrderlyShutdown(prog, p);
}

// Over UDP every COM closes the open port and opens it again. A client that
// keeps doing so while the program ends must not get the port back once the
// shutdown has closed it.
TEST(App, ShutdownClosesThePortForGoodWhileAUdpClientKeepsReopeningIt) {
    Ports p;
    Pty device;
    Program prog;
    prog.MapCom(3, device.slavePath);
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(prog.WaitLog(kUdpReady, Slow(5000)));
    UdpClient u;
    for (int i = 0; i < 40; i++) u.SendTo(p.udp, Esc("COM3"));
    ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Serial Off - start") >= 2; }, Slow(10000))) << prog.Log();
    TcpClient c(p.tcp);
    c.Send(Esc("KILL"));
    ExpectOrderlyShutdown(prog, p);
    // The shutdown logs this once its own close has returned.
    Bytes log = prog.Log();
    size_t closed = Find(log, "Serwer UDP Off - Start");
    ASSERT_NE(closed, (size_t)-1);
    EXPECT_EQ(log.find("Serial Polling - start", closed), std::string::npos) << log;
}

TEST(App, SigtermShutsDownLikeKill) {
    if (IsWine()) GTEST_SKIP() << "signals are the Linux daemon's";
    for (int sig : {SIGTERM, SIGINT}) {
        Ports p;
        Program prog;
        StartWith(prog, BaseSetup(p));
        ASSERT_TRUE(WaitListening(p.tcp, 5000));
        ASSERT_TRUE(prog.WaitLog(kUdpReady, 5000));
        prog.Signal(sig);
        ExpectOrderlyShutdown(prog, p);
    }
}

TEST(App, SilentOwnerIsDisconnectedWithinTheBound) {
    for (int seconds : {0, 1}) {
        SCOPED_TRACE(seconds);
        Ports p;
        Pty device;
        Program prog;
        prog.MapCom(3, device.slavePath);
        StartWith(prog, BaseSetup(p).Int(kOffAutoDisconnectSeconds, seconds));
        TcpClient a(p.tcp);
        ASSERT_EQ(Com(a, 3), 0) << prog.Log();
        int64_t opened = NowMs();
        // With 0 the timeouts run all the time, so wait for one after the open.
        int before = prog.CountLog(kAutoLine);
        if (seconds == 1) {
            // Still held: a second client cannot open the port.
            TcpClient b(p.tcp);
            EXPECT_EQ(Com(b, 3), 1);
        }
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog(kAutoLine) > before; }, Slow(5000)))
            << prog.Log();
        // The limit's quiet ticks plus the change ticks around them.
        EXPECT_LT(NowMs() - opened, Slow(seconds * 1000 + 2500));
        // The port was closed: a new client opens it again.
        TcpClient b(p.tcp);
        EXPECT_EQ(Com(b, 3), 0) << prog.Log();
    }
}

TEST(App, AlwaysOpenTimeoutReleasesTheClaimAndKeepsThePortOpen) {
    Ports p;
    Pty device;
    Program prog;
    prog.MapCom(3, device.slavePath);
    StartWith(prog, BaseSetup(p)
                        .Int(kOffAutoDisconnectSeconds, 1)
                        .Int(kOffAlwaysOpen, 1)
                        .Text(kOffPortName, 101, "COM3"));
    TcpClient a(p.tcp);
    ASSERT_EQ(Com(a, 3), 0) << prog.Log();  // claims the open port
    TcpClient b(p.tcp);
    ASSERT_EQ(Com(b, 3), 1);  // claimed by a
    ASSERT_TRUE(prog.WaitLog(kAutoLine, Slow(5000))) << prog.Log();
    EXPECT_EQ(Com(b, 3), 0);  // released, and b claims it now
    b.Send("ping");
    EXPECT_EQ(device.Read(4, Slow(3000)), "ping");
    // Unclaimed timeouts change nothing: b's claim goes once, then quiet.
    ASSERT_TRUE(WaitUntil([&] { return prog.CountLog(kAutoLine) == 2; }, Slow(5000)));
    b.Send("pong");
    EXPECT_EQ(device.Read(4, Slow(3000)), "pong");
}

TEST(App, BufferedJobIsReplayedToTheDeviceByTheTick) {
    Ports p;
    Pty device;
    Program prog;
    prog.MapCom(3, device.slavePath);
    StartWith(prog, BaseSetup(p).Int(kOffBufferPrints, 1));
    TcpClient c(p.tcp);
    ASSERT_EQ(Com(c, 3), 0) << prog.Log();
    c.Send("HELLO PRINTER");
    c.Send(Esc("CLOSE"));
    EXPECT_EQ(device.Read(13, Slow(6000)), "HELLO PRINTER") << prog.Log();
    EXPECT_TRUE(prog.WaitLog("Koniec wydruku nr:0000 OK wyslano 13 bajtow", Slow(3000))) << prog.Log();
}

// The always-open port's device is absent at start-up: the port is retried
// quietly and opened once the device appears; then a queued job (first run)
// and a client's data (second run) reach it.
TEST(App, AlwaysOpenPortWhoseDeviceAppearsLaterIsOpenedAndUsed) {
    const char* outage = "Port zawsze otwarty COM5 zamkniety";
    const char* reopened = "Port zawsze otwarty COM5 otwarty ponownie";
    const char* openError = "Error - blad otwarcia portu COM";
    for (int buffered = 1; buffered >= 0; buffered--) {
        SCOPED_TRACE(buffered ? "queued job" : "client data");
        Ports p;
        Pty device;
        Program prog;
        prog.MapCom(5, "/nonexistent/kestrun-device");
        StartWith(prog, BaseSetup(p)
                            .Int(kOffAlwaysOpen, 1)
                            .Int(kOffBufferPrints, buffered)
                            .Text(kOffPortName, 101, "COM5"));
        ASSERT_TRUE(prog.WaitLog(outage, Slow(5000))) << prog.Log();
        TcpClient c(p.tcp);
        ASSERT_EQ(Com(c, 7), 0) << prog.Log();
        if (buffered) {
            c.Send("RECEIPT" + Esc("CLOSE"));
            // The job waits for the port in use, not the one it names.
            EXPECT_TRUE(prog.WaitLog("Wydruk nr:0000 czeka - blad otwarcia portu COM5", Slow(6000)))
                << prog.Log();
        }
        // The retry 3 s later adds no line. The program's own timer sets the
        // cadence, so the span is the same under Wine.
        EXPECT_FALSE(WaitUntil([&] { return prog.CountLog(openError) > 1; }, 4000));
        prog.MapCom(5, device.slavePath);
        ASSERT_TRUE(prog.WaitLog(reopened, Slow(8000))) << prog.Log();
        if (buffered) {
            EXPECT_EQ(device.Read(7, Slow(6000)), "RECEIPT") << prog.Log();
            EXPECT_TRUE(prog.WaitLog("Koniec wydruku nr:0000 OK wyslano 7 bajtow", Slow(3000)));
        } else {
            c.Send("ping");
            EXPECT_EQ(device.Read(4, Slow(3000)), "ping") << prog.Log();
        }
        EXPECT_EQ(prog.CountLog(outage), 1);
        EXPECT_EQ(prog.CountLog(reopened), 1);
        EXPECT_EQ(prog.CountLog(openError), 1);
    }
}

// The always-open port's device is unplugged while its owner uses it: the
// port is closed once its reads have failed for 2 s, and opened again when a
// device is back at its name; the owner keeps the port throughout.
TEST(App, AlwaysOpenPortWhoseDeviceIsUnpluggedComesBackWithIt) {
    Ports p;
    std::unique_ptr<Pty> device(new Pty());
    Program prog;
    prog.MapCom(5, device->slavePath);
    StartWith(prog, BaseSetup(p).Int(kOffAlwaysOpen, 1).Text(kOffPortName, 101, "COM5"));
    ASSERT_TRUE(prog.WaitLog("Serial Polling - start", Slow(5000))) << prog.Log();
    TcpClient c(p.tcp);
    ASSERT_EQ(Com(c, 5), 0) << prog.Log();
    c.Send("one");
    ASSERT_EQ(device->Read(3, Slow(3000)), "one");

    // The name is pointed away first: the kernel gives a freed pty's number
    // to the next new one, maybe another test's, which the retries would open.
    prog.MapCom(5, "/nonexistent/kestrun-unplugged");
    device.reset();
    ASSERT_TRUE(prog.WaitLog("Error - port COM5 nie odpowiada od 2 s - zamknieto", Slow(8000))) << prog.Log();
    ASSERT_TRUE(prog.WaitLog("Port zawsze otwarty COM5 zamkniety", Slow(3000))) << prog.Log();
    device.reset(new Pty());
    prog.MapCom(5, device->slavePath);
    ASSERT_TRUE(prog.WaitLog("Port zawsze otwarty COM5 otwarty ponownie", Slow(8000))) << prog.Log();
    c.Send("two");
    EXPECT_EQ(device->Read(3, Slow(3000)), "two") << prog.Log();
    device->Write("back");
    EXPECT_EQ(c.Read(4, Slow(3000)), "back");
    EXPECT_EQ(prog.CountLog("nie odpowiada"), 1);
}

TEST(App, SighupMovesTheTcpServerAndRestartsUdp) {
    if (IsWine()) GTEST_SKIP() << "signals are the Linux daemon's";
    Ports p;
    Program prog;
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(WaitListening(p.tcp, 5000));
    ASSERT_TRUE(prog.WaitLog(kUdpReady, 5000));

    int newTcp = FreePort();
    BaseSetup(p).Int(kOffTcpPort, newTcp).Write(prog.dir.path);
    prog.Signal(SIGHUP);
    ASSERT_TRUE(WaitListening(newTcp, 5000)) << prog.Log();
    EXPECT_TRUE(WaitUntil([&] { return PortFree(p.tcp, SOCK_STREAM); }, 5000));
    EXPECT_TRUE(prog.WaitLog("Wczytano ponownie setup.dat", 1000));
    // UDP restarts after TCP.
    EXPECT_TRUE(WaitUntil([&] { return prog.CountLog(kUdpReady) == 2; }, 5000)) << prog.Log();
    EXPECT_FALSE(PortFree(p.udp, SOCK_DGRAM));
    EXPECT_EQ(prog.CountLog("Wirtualne Porty Serwer TCP"), 0);  // untouched

    // A reload that changes nothing restarts nothing.
    prog.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Wczytano ponownie setup.dat") == 2; }, 5000));
    EXPECT_EQ(prog.CountLog("Serwer TCP On - Start"), 2);
    EXPECT_EQ(prog.CountLog("Serwer UDP On - Start"), 2);

    // Both flags switched off in the file keep both servers running.
    BaseSetup(p).Int(kOffTcpPort, newTcp).Int(kOffTcpEnabled, 0).Int(kOffUdpEnabled, 0).Write(prog.dir.path);
    prog.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Wczytano ponownie setup.dat") == 3; }, 5000));
    EXPECT_EQ(prog.CountLog("Serwer TCP Off - Start"), 1);
    TcpClient c(newTcp, 2000);
    EXPECT_GE(c.fd, 0);
    EXPECT_TRUE(prog.Running());
}

// A restart of the servers ends their clients' sessions as a client's close
// does: a line a client left unfinished never runs on in the next client's.
// Every TCP cell holds such a line, and nothing probes the new port, so the
// next client meets one whichever cell it gets; twice over, since the stop
// may meet the server's loop at any point of its pass. The UDP server,
// restarted with it, drops its sender's unfinished line too.
TEST(App, SighupRestartEndsTheSessionsOfItsClients) {
    if (IsWine()) GTEST_SKIP() << "signals are the Linux daemon's";
    Ports p;
    Program prog;
    Pty device;
    prog.MapCom(3, device.slavePath);
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(prog.WaitLog(kUdpReady, 5000));
    UdpClient udp;
    int port = p.tcp;
    // Opens COM3 and answers the rate the port took.
    auto rateOnOpen = [&](TcpClient& c) {
        if (Com(c, 3) != 0) return -1;
        c.Send(Esc("DCB=?"));
        Bytes dcb = c.Read(28, 5000);
        c.Send(Esc("CLOSE"));
        // The port is free again once TEST says so.
        if (Ask(c, "TEST", 5000) != 0 || dcb.size() != 28) return -1;
        return (int)GetLe32((const uint8_t*)dcb.data() + 4);
    };
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE("restart " + std::to_string(round));
        auto half = ConnectEach(port, 5, "\x1b" "BAUD=96");
        udp.SendTo(p.udp, "\x1b" "BAUD=96");
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Komenda:[ESC]BAUD=96") == 6 * round; }, 5000))
            << prog.Log();
        int next = FreePort();
        BaseSetup(p).Int(kOffTcpPort, next).Write(prog.dir.path);
        prog.Signal(SIGHUP);
        // Each server serves once its On has returned.
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Serwer TCP On - Stop") == round + 1; }, 5000))
            << prog.Log();
        for (auto& a : half) EXPECT_TRUE(a->ClosedByPeer(5000));
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog(kUdpReady) == round + 1; }, 5000)) << prog.Log();

        TcpClient b(next);
        b.Send(Esc("BAUD=1200"));
        EXPECT_EQ(rateOnOpen(b), 1200) << prog.Log();
        EXPECT_EQ(device.Rate(), 1200u);
        udp.SendTo(p.udp, Esc("BAUD=2400"));
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Komenda:[ESC]BAUD=2400") == round; }, 5000));
        EXPECT_EQ(rateOnOpen(b), 2400) << prog.Log();
        port = next;
    }
}

TEST(App, TooltipLinesGoToStdoutAsUtf8) {
    if (IsWine()) GTEST_SKIP() << "stdout lines are the Linux daemon's";
    Ports p;
    Program prog;
    StartWith(prog, BaseSetup(p));
    ASSERT_TRUE(WaitUntil([&] { return prog.Stdout().find("Po\xC5\x82\xC4\x85" "czenia: 0") != std::string::npos; },
                          5000))
        << prog.Stdout();
    Bytes out = prog.Stdout();
    // The start-up text first, then the statistics, each led by the port state.
    EXPECT_EQ(out.find("port zamkni\xC4\x99ty | IP:"), 0u) << out;
    EXPECT_NE(out.find("Quenlor Kestrun\n"), std::string::npos);
    EXPECT_NE(out.find("\nport zamkni\xC4\x99ty | IP:"), std::string::npos) << out;
    EXPECT_NE(out.find("Autoroz\xC5\x82\xC4\x85" "cz: 0 | Il. po\xC5\x82. TCP: 0"), std::string::npos) << out;
    // A TCP connection changes a counter and brings a new line.
    TcpClient c(p.tcp);
    EXPECT_TRUE(WaitUntil([&] { return prog.Stdout().find("TCP: 1") != std::string::npos; }, 5000))
        << prog.Stdout();
}

// ---- kestrun-setup ----

struct ToolRun {
    int status;
    std::string out, err;
};

static ToolRun RunSetupTool(const std::string& dir, const std::vector<std::string>& args) {
    const char* bin = getenv("KESTRUN_SETUP_BIN");
    std::string cmd = "cd '" + dir + "' && '" + std::string(bin ? bin : "kestrun-setup") + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >out.txt 2>err.txt";
    int status = system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(dir + "/out.txt");
    r.err = ReadFile(dir + "/err.txt");
    return r;
}

TEST(KestrunSetup, CreatesTheDefaultsAndRoundTripsEveryField) {
    if (IsWine()) GTEST_SKIP() << "kestrun-setup is a Linux tool";
    TempDir dir;
    ToolRun r = RunSetupTool(dir.path, {});
    ASSERT_EQ(r.status, 0) << r.err;
    uint8_t defaults[kSettingsSize];
    DefaultSettingsImage(defaults);
    EXPECT_EQ(ReadFile(dir / "setup.dat"), Bytes((const char*)defaults, kSettingsSize));
    EXPECT_NE(r.out.find("autoDisconnectSeconds = 20\n"), std::string::npos);
    EXPECT_NE(r.out.find("virtualPortName2 = \n"), std::string::npos);

    // Every field, texts at their full width, Polish letters as UTF-8.
    std::vector<std::string> set = {
        "autoDisconnectSeconds=-5", "bufferPrints=1", "spoolDirectory=" + std::string(199, 's'),
        "tcpEnabled=1", "udpEnabled=0", "tcpPort=65535", "udpPort=1", "portName=COM12",
        "baudRate=115200", "alwaysOpen=1", "parityLetter=E", "stopBits=2", "dataBits=7",
        "logPath=\xC5\x82\xC3\xB3" "d\xC5\xBA.log", "interfaceAddress=127.0.0.1",
        "virtualPortsEnabled=1", "virtualPeer0=" + std::string(39, 'p'), "virtualPeer1=a.example",
        "virtualPeer2=10.0.0.2", "virtualPortName0=COM5", "virtualPortName1=COM6",
        "virtualPortName2=COM7",
    };
    r = RunSetupTool(dir.path, set);
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes file = ReadFile(dir / "setup.dat");
    ASSERT_EQ(file.size(), (size_t)kSettingsSize);
    const uint8_t* img = (const uint8_t*)file.data();
    EXPECT_EQ(GetLe32(img + kOffAutoDisconnectSeconds), -5);
    EXPECT_EQ(GetLe32(img + kOffTcpPort), 65535);
    EXPECT_EQ(img[kOffParityLetter], 'E');
    EXPECT_EQ(GetLe32(img + kOffDataBits), 7);
    EXPECT_EQ(std::string((const char*)img + kOffLogPath), "\xB3\xF3" "d\x9F.log");  // Windows-1250
    EXPECT_EQ(std::string((const char*)img + kOffVirtualPeer + 80), "10.0.0.2");

    r = RunSetupTool(dir.path, {});
    ASSERT_EQ(r.status, 0);
    std::string expected;
    for (const std::string& s : set) expected += s.substr(0, s.find('=')) + " = " + s.substr(s.find('=') + 1) + "\n";
    EXPECT_EQ(r.out, expected);
}

// Root saving in a folder that another account owns: a link planted under
// the old temporary name is not followed, its target stays as it was, and
// setup.dat becomes a file of its own with no temporary file left beside it.
TEST(KestrunSetup, SaveFollowsNoLinkPlantedInTheFolder) {
    if (IsWine()) GTEST_SKIP() << "kestrun-setup is a Linux tool";
    TempDir dir, elsewhere;
    ASSERT_EQ(chown(dir.path.c_str(), 65534, 65534), 0);
    const std::string target = elsewhere / "precious";
    WriteFile(target, "root's own file\n");
    ASSERT_EQ(symlink(target.c_str(), (dir / "setup.dat.new").c_str()), 0);
    ToolRun r = RunSetupTool(dir.path, {"tcpPort=1500"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(target), "root's own file\n");
    struct stat st;
    ASSERT_EQ(lstat((dir / "setup.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    Bytes file = ReadFile(dir / "setup.dat");
    ASSERT_EQ(file.size(), (size_t)kSettingsSize);
    EXPECT_EQ(GetLe32((const uint8_t*)file.data() + kOffTcpPort), 1500);
    ASSERT_EQ(lstat((dir / "setup.dat.new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.path.c_str())) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"err.txt", "out.txt", "setup.dat", "setup.dat.new"}));
}

TEST(KestrunSetup, RefusesBadInputAndWritesNothing) {
    if (IsWine()) GTEST_SKIP() << "kestrun-setup is a Linux tool";
    TempDir dir;
    ASSERT_EQ(RunSetupTool(dir.path, {"tcpPort=1500"}).status, 0);
    Bytes before = ReadFile(dir / "setup.dat");
    const std::vector<std::vector<std::string>> bad = {
        {"noSuchField=1"},
        {"tcpPort"},
        {"tcpPort=65536"},
        {"tcpPort=-1"},
        {"autoDisconnectSeconds=2147483648"},
        {"baudRate=96OO"},
        {"baudRate="},
        {"portName=" + std::string(101, 'x')},
        {"virtualPeer1=" + std::string(40, 'x')},
        {"logPath=\xE6\x97\xA5"},  // not in Windows-1250
        {"logPath=\xC5"},          // not UTF-8
        {"parityLetter=NO"},
        // A good value before a bad one is not written either.
        {"udpPort=1600", "virtualPortName3=COM1"},
    };
    for (const auto& args : bad) {
        ToolRun r = RunSetupTool(dir.path, args);
        EXPECT_NE(r.status, 0) << args[0];
        EXPECT_FALSE(r.err.empty()) << args[0];
        EXPECT_EQ(ReadFile(dir / "setup.dat"), before) << args[0];
    }
    ToolRun r = RunSetupTool(dir.path, {});
    EXPECT_NE(r.out.find("tcpPort = 1500\n"), std::string::npos);
    EXPECT_NE(r.out.find("udpPort = 1337\n"), std::string::npos);
}

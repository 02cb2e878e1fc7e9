// The Linux daemon as a daemon: its command line (--help, --version, wrong
// arguments, -C), access control (--allow on all three ports,
// --no-remote-kill) and the status line on stdout (only for changes, at most
// one a second, never stalling the tick on a full pipe). The options are the
// daemon's; under Wine every case is skipped.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include "support/support.h"

using namespace kt;

static const int kWait = 10000;
static const char kStartBanner[] = "------------- Start programu --------------------";

#define NATIVE_ONLY() \
    if (IsWine()) GTEST_SKIP() << "the daemon's command line and stdout are Linux only"

struct Ports {
    int tcp = FreePort();
    int udp = FreePort();
};

static kt::Setup BaseSetup(const Ports& p) {
    kt::Setup s;
    s.Int(kOffTcpPort, p.tcp).Int(kOffUdpPort, p.udp);
    return s;
}

static void StartWith(Program& prog, const kt::Setup& s) {
    s.Write(prog.dir.path);
    prog.Start();
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Ready", kWait)) << prog.Log();
}

// ESC TEST CR on a connection: the one reply byte, or -1.
static int AskTest(TcpClient& c) {
    return Ask(c, "TEST", kWait);
}

static int CountLines(const Bytes& out) {
    int n = 0;
    for (char ch : out) n += ch == '\n';
    return n;
}

// ---- Command line ----

struct Finished {
    int status;
    Bytes out, err;
};

// Runs a program to its end (at most 10 s) in dir.
static Finished RunIn(const std::string& dir, const std::vector<std::string>& argv) {
    pid_t pid = Spawn(argv, dir, {"XDG_RUNTIME_DIR=" + dir});
    Finished r;
    r.status = StopChild(pid, false, kWait);
    r.out = ReadFile(dir + "/stdout.txt");
    r.err = ReadFile(dir + "/stderr.txt");
    unlink((dir + "/stdout.txt").c_str());
    unlink((dir + "/stderr.txt").c_str());
    return r;
}

TEST(Cli, HelpVersionAndWrongArgumentsAnswerAndNeverStartTheBridge) {
    NATIVE_ONLY();
    const std::string bin = getenv("KESTRUN_BIN");
    const std::string setupBin = getenv("KESTRUN_SETUP_BIN");
    const std::string version = getenv("KESTRUN_VERSION");
    TempDir dir;
    Ports p;
    BaseSetup(p).Write(dir.path);
    Bytes setupBefore = ReadFile(dir / "setup.dat");

    Finished r = RunIn(dir.path, {bin, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("usage: kestrun "), 0u) << r.out;
    EXPECT_NE(r.out.find("--allow"), std::string::npos);
    r = RunIn(dir.path, {bin, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "kestrun " + version + "\n");

    const std::vector<std::vector<std::string>> wrong = {
        {"--bogus"}, {"stray"}, {"-C"}, {"--allow"}, {"--allow", "300.1.1.1"},
        {"--allow", "127.0.0.1/33"}, {"--allow", "127.0.0.1/"}, {"--no-remote-kill", "-x"},
    };
    for (const auto& args : wrong) {
        std::vector<std::string> argv = {bin};
        argv.insert(argv.end(), args.begin(), args.end());
        r = RunIn(dir.path, argv);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("usage: kestrun "), std::string::npos) << args[0] << r.err;
        EXPECT_TRUE(r.out.empty()) << args[0];
    }
    // Nothing was started: no log, no listener on the configured port.
    EXPECT_FALSE(FileExists(dir / "k.log"));
    EXPECT_LT(ConnectTcp(p.tcp, 0), 0);

    r = RunIn(dir.path, {setupBin, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "kestrun-setup " + version + "\n");
    r = RunIn(dir.path, {setupBin, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("usage: kestrun-setup "), 0u) << r.out;
    r = RunIn(dir.path, {setupBin, "--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: kestrun-setup "), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "setup.dat"), setupBefore);
}

// Started in one folder with -C naming another: the settings, the log and
// the spool folder are the other folder's.
TEST(Cli, DashCRunsInTheGivenFolder) {
    NATIVE_ONLY();
    Ports p;
    TempDir work;
    BaseSetup(p).Write(work.path);
    Program prog;
    prog.args = {"-C", work.path};
    prog.Start();
    TcpClient c(p.tcp, kWait);
    ASSERT_GE(c.fd, 0) << ReadFile(prog.Path("stderr.txt"));
    EXPECT_EQ(AskTest(c), 0);
    EXPECT_NE(ReadFile(work / "k.log").find(kStartBanner), std::string::npos);
    struct stat st;
    EXPECT_EQ(stat((work / "SERVBUFF").c_str(), &st), 0);
    EXPECT_FALSE(FileExists(prog.Path("k.log")));
    EXPECT_EQ(prog.Stop(kWait), 0) << ReadFile(work / "k.log");
}

// ---- Access control ----

static struct sockaddr_in Address(const char* ip, int port) {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A TCP connection to 127.0.0.1:port from the given loopback address.
static void ConnectFrom(TcpClient& c, const char* source, int port) {
    c.Close();
    c.fd = ConnectTcpFrom(source, port);
    if (c.fd < 0) ADD_FAILURE() << "connect from " << source << " to " << port << ": " << strerror(errno);
}

struct UdpFrom {
    int fd;
    explicit UdpFrom(const char* source) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in from = Address(source, 0);
        EXPECT_EQ(bind(fd, (struct sockaddr*)&from, sizeof from), 0);
    }
    ~UdpFrom() { close(fd); }
    void Send(int port, const Bytes& bytes) {
        struct sockaddr_in to = Address("127.0.0.1", port);
        sendto(fd, bytes.data(), bytes.size(), 0, (struct sockaddr*)&to, sizeof to);
    }
    // One datagram within timeoutMs (0: only what is already there).
    Bytes Recv(int timeoutMs) {
        struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (timeoutMs == 0) tv.tv_usec = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buffer[64];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? Bytes(buffer, (size_t)n) : Bytes();
    }
};

// --allow 127.0.0.2/31 takes 127.0.0.2 and .3 (and the second --allow's
// network): 127.0.0.1 is refused on the TCP control port, the UDP control
// port and the virtual port, logged once; 127.0.0.3 is served on all three.
TEST(Cli, AllowRefusesOtherAddressesOnAllThreePortsAndLogsEachOnce) {
    NATIVE_ONLY();
    Ports p;
    Program prog;
    prog.args = {"--allow", "10.0.0.0/8", "--allow", "127.0.0.2/31"};
    kt::Setup s = BaseSetup(p);
    // One virtual slot that takes any peer: only the filter can refuse one.
    s.Int(kOffVirtualPortsEnabled, 1).Text(kOffVirtualPortName, 40, "COM5");
    StartWith(prog, s);
    ASSERT_TRUE(WaitListening(1339, kWait));  // from 127.0.0.1: refused, and logged

    TcpClient refused;
    ConnectFrom(refused, "127.0.0.1", p.tcp);
    EXPECT_TRUE(refused.ClosedByPeer(kWait));
    TcpClient refusedModem;
    ConnectFrom(refusedModem, "127.0.0.1", 1339);
    EXPECT_TRUE(refusedModem.ClosedByPeer(kWait));
    UdpFrom refusedUdp("127.0.0.1");
    refusedUdp.Send(p.udp, Esc("TEST"));

    // The allowed address is served; its datagram comes after the refused one
    // on the one UDP thread, so once it is answered the other was dropped.
    UdpFrom allowedUdp("127.0.0.3");
    allowedUdp.Send(p.udp, Esc("TEST"));
    EXPECT_EQ(allowedUdp.Recv(kWait), Bytes(1, '\0'));
    EXPECT_TRUE(refusedUdp.Recv(0).empty());
    TcpClient modem;
    ConnectFrom(modem, "127.0.0.3", 1339);
    TcpClient client;
    ConnectFrom(client, "127.0.0.3", p.tcp);
    ASSERT_TRUE(OpenWhenReady(client, "COM5", kWait));
    client.Send("to-modem");
    EXPECT_EQ(modem.Read(8, kWait), "to-modem");

    EXPECT_EQ(prog.CountLog("Odrzucono 127.0.0.1: adres spoza --allow"), 1) << prog.Log();
    EXPECT_EQ(prog.CountLog("Odrzucono"), 1);
    // Refusals are not counted as connections: the two allowed ones are.
    EXPECT_TRUE(WaitUntil([&] { return prog.Stdout().find("TCP: 1 |") != std::string::npos; }, kWait))
        << prog.Stdout();
    EXPECT_EQ(prog.Stdout().find("TCP: 2"), std::string::npos);
    client.Close();
    modem.Close();
    EXPECT_EQ(prog.Stop(kWait), 0);
}

TEST(Cli, NoRemoteKillLogsKillAndGoesOn) {
    NATIVE_ONLY();
    Ports p;
    Program prog;
    prog.args = {"--no-remote-kill"};
    StartWith(prog, BaseSetup(p));
    TcpClient c(p.tcp, kWait);
    // The rest of the line and the packet still count: TEST is answered.
    c.Send(Esc("KILL TEST"));
    EXPECT_EQ(c.Read(1, kWait), Bytes(1, '\0'));
    UdpClient u;
    u.SendTo(p.udp, Esc("KILL") + Esc("TEST"));
    EXPECT_EQ(u.Recv(kWait), Bytes(1, '\0'));
    EXPECT_EQ(prog.CountLog("KILL pominiety: zdalne wylaczanie jest wylaczone (--no-remote-kill)"), 2)
        << prog.Log();
    EXPECT_TRUE(prog.Running());
    EXPECT_EQ(AskTest(c), 0);
    EXPECT_EQ(prog.Stop(kWait), 0);  // SIGTERM still ends it in order
    EXPECT_EQ(prog.CountLog("------------- Koniec programu"), 1);
}

// kestrun.exe takes the daemon's command line: --help and --version answer
// on the caller's stream, a wrong option or field ends with 2 before
// anything starts, --set edits setup.dat with kestrun-setup's checks, and a
// tray program started with -C, --allow and --no-remote-kill runs in that
// folder, refuses other addresses and outlives a remote KILL.
TEST(Cli, TrayProgramTakesTheDaemonsCommandLineAndSet) {
    if (!IsWine()) GTEST_SKIP() << "kestrun.exe's command line";
    const std::string bin = getenv("KESTRUN_BIN");
    const std::string wine = getenv("KESTRUN_WINE");
    TempDir dir;
    Ports p;
    BaseSetup(p).Write(dir.path);
    const Bytes setupBefore = ReadFile(dir / "setup.dat");
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {wine, bin});
        return RunIn(dir.path, args);
    };

    Finished r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("usage: kestrun.exe "), 0u) << r.out;
    EXPECT_NE(r.out.find("--set field=value"), std::string::npos);
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("kestrun.exe 1."), 0u) << r.out;
    const std::vector<std::vector<std::string>> wrong = {
        {"--bogus"}, {"--allow", "300.1.1.1"}, {"--set"}, {"--set", "tcpPort=70000"},
        {"--set", "noSuchField=1"}, {"--set", "logPath=x", "--no-remote-kill"},
    };
    for (const auto& args : wrong) {
        r = run(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << r.err;
        EXPECT_EQ(r.err.find("kestrun.exe: "), 0u) << r.err;
    }
    EXPECT_EQ(ReadFile(dir / "setup.dat"), setupBefore);
    EXPECT_FALSE(FileExists(dir / "k.log"));
    EXPECT_LT(ConnectTcp(p.tcp, 0), 0);

    // The new port and log name are what the program started below uses.
    const int port = FreePort();
    r = run({"--set", "tcpPort=" + std::to_string(port), "logPath=k2.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes setup = ReadFile(dir / "setup.dat");
    ASSERT_EQ(setup.size(), (size_t)kSettingsSize);
    EXPECT_EQ(GetLe32((const uint8_t*)setup.data() + kOffTcpPort), port);

    Program prog;
    prog.args = {"-C", dir.path, "--allow", "127.0.0.2/31", "--no-remote-kill"};
    prog.Start();
    ASSERT_TRUE(WaitListening(port, kWait * 3));
    TcpClient refused;
    ConnectFrom(refused, "127.0.0.1", port);
    EXPECT_TRUE(refused.ClosedByPeer(kWait));
    TcpClient client;
    ConnectFrom(client, "127.0.0.3", port);
    EXPECT_EQ(AskTest(client), 0);
    client.Send(Esc("KILL"));
    EXPECT_EQ(AskTest(client), 0);
    EXPECT_TRUE(prog.Running());
    const Bytes log = ReadFile(dir / "k2.log");
    EXPECT_NE(log.find("Odrzucono 127.0.0.1: adres spoza --allow"), std::string::npos) << log;
    EXPECT_NE(log.find("KILL pominiety"), std::string::npos) << log;
    EXPECT_FALSE(FileExists(prog.Path("k2.log")));
    client.Close();
    prog.Stop(kWait);
}

// ---- The status line ----

// Steady traffic through an open port only blinks the icon: no line. A
// counter that changes 20 times a second gives at most about one line a
// second, and the last value is printed once the traffic stops.
TEST(StatusLine, PrintedForChangesOnlyAtMostOnceASecondAndTheLastOneArrives) {
    NATIVE_ONLY();
    Ports p;
    Pty device;
    Program prog;
    prog.MapCom(3, device.slavePath);
    StartWith(prog, BaseSetup(p));
    TcpClient owner(p.tcp, kWait);
    owner.Send(Esc("COM3"));
    ASSERT_EQ(owner.Read(1, kWait), Bytes(1, '\0'));
    ASSERT_TRUE(WaitUntil([&] { return prog.Stdout().find("port otwarty | IP:") != std::string::npos; }, kWait));
    int before = CountLines(prog.Stdout());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30 && std::chrono::steady_clock::now() - start < std::chrono::seconds(6); i++) {
        owner.Send("data");
        device.Read(4, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // At most a line of the open that its second held back.
    int lines = CountLines(prog.Stdout()) - before;
    EXPECT_LE(lines, 1) << prog.Stdout();

    before = CountLines(prog.Stdout());
    start = std::chrono::steady_clock::now();
    int connections = 0;
    for (; connections < 30 && std::chrono::steady_clock::now() - start < std::chrono::seconds(6); connections++) {
        TcpClient brief(p.tcp, kWait);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string last = "TCP: " + std::to_string(connections + 1) + " |";
    ASSERT_TRUE(WaitUntil([&] { return prog.Stdout().find(last) != std::string::npos; }, kWait)) << prog.Stdout();
    lines = CountLines(prog.Stdout()) - before;
    EXPECT_GE(lines, 2);
    EXPECT_LE(lines, (int)seconds + 2) << seconds << " s\n" << prog.Stdout();
}

// stdout a pipe, or a socket as the journal's, that is full and never read:
// the daemon starts, ticks (the auto-disconnect of every quiet tick is logged
// on and on) and stops.
TEST(StatusLine, AFullStdoutNeverStallsTheDaemon) {
    NATIVE_ONLY();
    for (bool socket : {false, true}) {
        SCOPED_TRACE(socket ? "socket" : "pipe");
        Ports p;
        TempDir dir;
        BaseSetup(p).Int(kOffAutoDisconnectSeconds, 0).Write(dir.path);
        int fds[2];
        if (socket) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
            int size = 4096;
            setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        } else {
            ASSERT_EQ(pipe(fds), 0);
            fcntl(fds[1], F_SETPIPE_SZ, 4096);
        }
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        std::string block(512, 'x');
        for (int i = 0; i < 10000 && write(fds[1], block.data(), block.size()) > 0; i++) {
        }
        fcntl(fds[1], F_SETFL, 0);

        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path.c_str()) != 0) _exit(127);
            dup2(fds[1], 1);
            int err = open("stderr.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
            close(fds[0]);
            setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
            const char* bin = getenv("KESTRUN_BIN");
            execl(bin, bin, (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        auto autoLines = [&] {
            Bytes log = ReadFile(dir / "k.log");
            int n = 0;
            for (size_t at = log.find("Wykonano autorozlaczenie!"); at != std::string::npos;
                 at = log.find("Wykonano autorozlaczenie!", at + 1))
                n++;
            return n;
        };
        EXPECT_TRUE(WaitUntil([&] { return autoLines() >= 5; }, kWait)) << ReadFile(dir / "k.log");
        // A client connecting changes a counter: another line to drop, and on.
        TcpClient c(p.tcp, kWait);
        EXPECT_GE(c.fd, 0);
        int seen = autoLines();
        EXPECT_TRUE(WaitUntil([&] { return autoLines() >= seen + 3; }, kWait));
        EXPECT_EQ(StopChild(pid, true, kWait), 0);
        close(fds[0]);
    }
}

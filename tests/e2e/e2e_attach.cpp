// kestrun-attach against the real native program: the test opens the attach
// pty as a serial program would, a pty stands in for the device behind COM3.
// Line settings reach the device, every byte value passes both ways, a busy
// port ends a second attach with 1, the relay outlives a restart of the
// bridge, a port the bridge closed for idleness is opened again, a link that
// attach did not make is left alone, and a flooding peer costs little.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>
#include "support/support.h"

using namespace kt;

static const int kWait = 15000;

static std::string AttachBin() {
    const char* bin = getenv("KESTRUN_ATTACH_BIN");
    return bin ? bin : "kestrun-attach";
}

struct Bridge {
    int tcp = FreePort();
    int udp = FreePort();
    Program prog;
    Pty dev;
    explicit Bridge(int autoDisconnectSeconds = 3600) {
        Setup s;
        s.Int(kOffTcpPort, tcp).Int(kOffUdpPort, udp).Int(kOffAutoDisconnectSeconds, autoDisconnectSeconds);
        s.Write(prog.dir.path);
        prog.MapCom(3, dev.slavePath);
    }
    void Start() {
        prog.Start();
        ASSERT_TRUE(WaitListening(tcp, 30000)) << "TCP control port never listened";
    }
};

// One kestrun-attach process in its own folder; `fd` is the program's side
// of its pty once Open has run.
struct Attach {
    TempDir dir;
    pid_t pid = -1;
    int fd = -1;
    std::string ptyPath;
    void Start(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {AttachBin()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid = Spawn(argv, dir.path, {});
    }
    Bytes Stderr() const { return ReadFile(dir / "stderr.txt"); }
    bool WaitStderr(const std::string& text, int timeoutMs) const {
        return WaitUntil([&] { return Stderr().find(text) != std::string::npos; }, timeoutMs);
    }
    // The pty path printed on stdout, then opened raw as a program would.
    bool Open() {
        bool printed = WaitUntil([&] { return ReadFile(dir / "stdout.txt").find('\n') != std::string::npos; }, kWait);
        if (!printed) return false;
        Bytes out = ReadFile(dir / "stdout.txt");
        ptyPath = out.substr(0, out.find('\n'));
        fd = open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        struct termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }
    void Write(const Bytes& b) { EXPECT_TRUE(WriteFd(fd, b.data(), b.size(), kWait)); }
    Bytes Read(size_t n) { return ReadFd(fd, n, kWait); }
    int Stop() {
        int r = pid > 0 ? StopChild(pid, true, kWait) : 0;
        pid = -1;
        return r;
    }
    ~Attach() {
        if (fd >= 0) close(fd);
        Stop();
        Bytes err = Stderr();
        if (SanitizerReport(err)) ADD_FAILURE() << "kestrun-attach stderr:\n" << err;
    }
};

static Bytes AllByteValues() {
    Bytes all;
    for (int i = 0; i < 256; i++) all.push_back((char)i);
    return all;
}

static bool DeviceHasTwoStopBits(const Pty& dev) {
    struct termios t;
    return tcgetattr(dev.slaveKeep, &t) == 0 && (t.c_cflag & CSTOPB);
}

TEST(E2eAttach, SettingsAndEveryByteReachThePortAndABusyPortEndsASecondAttach) {
    if (IsWine()) GTEST_SKIP() << "kestrun-attach is tried against the native program";
    Bridge b;
    b.Start();
    Attach a;
    std::string link = a.dir / "ttyPRINTER";
    a.Start({"127.0.0.1:" + std::to_string(b.tcp), "COM3", "--link", link, "--data", "7", "--parity", "E"});
    ASSERT_TRUE(a.Open()) << a.Stderr();
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(a.ptyPath, target);

    // Every byte value, ESC and CR included, both ways.
    Bytes all = AllByteValues();
    a.Write(all);
    EXPECT_EQ(b.dev.Read(256, kWait), all);
    b.dev.Write(all);
    EXPECT_EQ(a.Read(256), all);

    // 19200 bauds and two stop bits set on the attach pty reach the device.
    struct termios t;
    ASSERT_EQ(tcgetattr(a.fd, &t), 0);
    cfsetspeed(&t, B19200);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(a.fd, TCSANOW, &t), 0);
    EXPECT_TRUE(WaitUntil([&] { return b.dev.Rate() == 19200 && DeviceHasTwoStopBits(b.dev); }, kWait))
        << "device rate " << b.dev.Rate() << "\n" << a.Stderr();
    // A pty forces 8 data bits and no parity, so those are read from the port's DCB:
    // the 7E given at the start survived the change.
    {
        TcpClient q(b.tcp);
        q.Send(Esc("DCB=?"));
        Bytes dcb = q.Read(28, kWait);
        ASSERT_EQ(dcb.size(), 28u);
        EXPECT_EQ(GetLe32((const uint8_t*)dcb.data() + 4), 19200);
        EXPECT_EQ(dcb[18], 7);
        EXPECT_EQ(dcb[19], 2);  // even
        EXPECT_EQ(dcb[20], 2);  // two stop bits
    }
    // A rate of 0 is refused by attach itself: the pty shows the rate again.
    cfsetspeed(&t, B0);
    ASSERT_EQ(tcsetattr(a.fd, TCSANOW, &t), 0);
    EXPECT_TRUE(a.WaitStderr("rate of 0", kWait)) << a.Stderr();
    EXPECT_TRUE(WaitUntil([&] { return tcgetattr(a.fd, &t) == 0 && cfgetospeed(&t) == B19200; }, kWait));
    EXPECT_EQ(b.dev.Rate(), 19200u);

    // Data after the change still flows.
    a.Write("at 19200");
    EXPECT_EQ(b.dev.Read(8, kWait), "at 19200");

    // The port is ours: a second attach to it ends with 1 and says why.
    Attach second;
    second.Start({"127.0.0.1:" + std::to_string(b.tcp), "COM3"});
    EXPECT_EQ(WaitChild(second.pid, kWait), 1);
    second.pid = -1;
    EXPECT_NE(second.Stderr().find("refused COM3"), std::string::npos) << second.Stderr();

    // SIGTERM closes the port, removes the link and ends with 0.
    EXPECT_EQ(a.Stop(), 0) << a.Stderr();
    EXPECT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait)) << b.prog.Log();
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(E2eAttach, RelayResumesAfterTheBridgeRestarts) {
    if (IsWine()) GTEST_SKIP() << "kestrun-attach is tried against the native program";
    Bridge b;
    b.Start();
    Attach a;
    a.Start({"127.0.0.1:" + std::to_string(b.tcp), "COM3"});
    ASSERT_TRUE(a.Open()) << a.Stderr();
    a.Write("before");
    EXPECT_EQ(b.dev.Read(6, kWait), "before");

    ASSERT_EQ(b.prog.Stop(kWait), 0);
    ASSERT_TRUE(a.WaitStderr("connection to the bridge was lost", kWait)) << a.Stderr();
    // Written while the bridge is away: held and sent once the port is back.
    a.Write("while away");
    b.Start();
    ASSERT_TRUE(a.WaitStderr("connected again", kWait)) << a.Stderr();
    EXPECT_EQ(b.dev.Read(10, kWait), "while away");
    b.dev.Write("after");
    EXPECT_EQ(a.Read(5), "after");
    Bytes all = AllByteValues();
    a.Write(all);
    EXPECT_EQ(b.dev.Read(256, kWait), all);
}

TEST(E2eAttach, PortClosedForIdlenessIsOpenedAgainForTheNextData) {
    if (IsWine()) GTEST_SKIP() << "kestrun-attach is tried against the native program";
    Bridge b(1);  // the bridge closes a port idle for a second
    b.Start();
    Attach a;
    a.Start({"127.0.0.1:" + std::to_string(b.tcp), "COM3"});
    ASSERT_TRUE(a.Open()) << a.Stderr();
    int64_t opened = NowMs();
    ASSERT_TRUE(b.prog.WaitLog("Wykonano autorozlaczenie!", kWait)) << b.prog.Log();
    ASSERT_TRUE(b.prog.WaitLog("Serial Off - stop", kWait)) << b.prog.Log();
    // Attach checks the port before data that follows five quiet seconds.
    WaitUntil([&] { return NowMs() - opened > 5300; }, 6000);
    a.Write("wake up");
    EXPECT_EQ(b.dev.Read(7, kWait), "wake up") << a.Stderr();
    EXPECT_TRUE(a.WaitStderr("closed COM3 while it was idle", kWait)) << a.Stderr();
    b.dev.Write("answer");
    EXPECT_EQ(a.Read(6), "answer");
}

// The CPU seconds process pid has used so far (user and system).
static double CpuSeconds(pid_t pid) {
    Bytes stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; i++)
        if (i >= 14) ticks += std::stoull(field);
    return (double)ticks / (double)sysconf(_SC_CLK_TCK);
}

TEST(E2eAttach, ALinkItDidNotMakeIsLeftAloneAndAFloodingPeerCostsLittle) {
    if (IsWine()) GTEST_SKIP() << "kestrun-attach is tried against the native program";
    // A link already at the --link path is neither removed nor replaced: the
    // run ends with 2 and says why.
    {
        Attach a;
        const std::string target = a.dir / "mine", link = a.dir / "ttyPRINTER";
        WriteFile(target, "mine");
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        a.Start({"127.0.0.1:" + std::to_string(FreePort()), "COM3", "--link", link});
        int status = WaitChild(a.pid, kWait);
        if (status >= 0) a.pid = -1;  // else the destructor stops it
        EXPECT_EQ(status, 2) << a.Stderr();
        char got[PATH_MAX] = {};
        ASSERT_GT(readlink(link.c_str(), got, sizeof got - 1), 0);
        EXPECT_EQ(target, got);
        EXPECT_NE(a.Stderr().find("already exists"), std::string::npos) << a.Stderr();
    }
    // A peer playing a bridge gone bad opens COM3 at once, then answers
    // DCB=? (9600 8N1) only after 8 MiB of device bytes: the answer is
    // found, no more than the 64 KiB buffer of them is kept, and the CPU
    // spent is that of one pass over them.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, (struct sockaddr*)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, (struct sockaddr*)&addr, &len), 0);
    Attach a;
    a.Start({"127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), "COM3"});
    struct pollfd p = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kWait), 1);
    TcpClient peer;
    peer.fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
    close(listener);
    const Bytes open = Esc("BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1=-1 TIMEOUT2=50 TIMEOUT3=-1 TYP=0 COM3");
    ASSERT_EQ(ReadFd(peer.fd, open.size(), kWait), open);
    ASSERT_TRUE(WriteFd(peer.fd, "", 1, kWait));  // kComOpened
    ASSERT_EQ(ReadFd(peer.fd, 7, kWait), Esc("DCB=?"));
    const Bytes flood(1 << 20, 'x');
    for (int i = 0; i < 8; i++) ASSERT_TRUE(WriteFd(peer.fd, flood.data(), flood.size(), kWait)) << i;
    Bytes dcb(28, '\0');
    PutLe32((uint8_t*)&dcb[0], 28);
    PutLe32((uint8_t*)&dcb[4], 9600);
    dcb[18] = 8;
    ASSERT_TRUE(WriteFd(peer.fd, dcb.data(), dcb.size(), kWait));
    EXPECT_TRUE(a.WaitStderr("is open on", kWait)) << a.Stderr();
    EXPECT_LT(CpuSeconds(a.pid), 3.0);
    EXPECT_NE(a.Stderr().find("device bytes dropped"), std::string::npos) << a.Stderr();
    ASSERT_TRUE(a.Open()) << a.Stderr();
    EXPECT_EQ(a.Read(4096), std::string(4096, 'x'));
}

// Benchmark client: plays a serial device on a pseudo-terminal and a TCP client on
// 127.0.0.1, and measures Kestrun, socat and ser2net relaying between the two.
// The pty, sockets, processes and settings image come from the test support
// library (tests/support).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "support/support.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------- options

struct Options {
    std::string root;        // source tree
    std::string kestrun;     // native program
    std::string kestrunExe;  // Windows program ("" = no Wine run)
    std::string wineRun;     // tests/wine/wine-run.sh
    std::string wineDir;     // KESTRUN_WINE_DIR for the Wine runs
    std::string socat = "socat";
    std::string ser2net = "ser2net";
    std::string jsonOut;
    std::string only;        // run only bridges whose id contains this
    std::string attach;      // kestrun-attach: measure the round trip through it instead
    std::string baseline;    // another kestrun build, run beside in low-latency mode
    int latencySamples = 2000;
    int latencyWarmup = 100;
    double latencyLimitSec = 25;
    size_t transferBytes = 4u << 20;
    double transferLimitSec = 90;
    int transferRounds = 5;
    double pairsSec = 5;
    double idleSec = 10;
};

static Options opt;

// ---------------------------------------------------------------- small helpers

static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static double SecSince(int64_t t0) { return (double)(NowNs() - t0) / 1e9; }

static void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

static void Say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
}

// Milliseconds left before a NowNs() deadline (at least 0).
static int MsLeft(int64_t deadline) {
    return (int)std::max<int64_t>(0, (deadline - NowNs()) / 1000000);
}

static std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// First line of a command's output ("" when it fails).
static std::string CommandLine(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    if (fgets(buf, sizeof buf, p)) out = buf;
    while (fgets(buf, sizeof buf, p)) {
    }
    pclose(p);
    return Trim(out);
}

static std::string Fmt(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// ---------------------------------------------------------------- /proc readings

// CPU time of a process in nanoseconds, -1 when it is gone: the sum of its
// threads' run time from schedstat, which counts in ns where /proc/<pid>/stat
// counts in 10 ms ticks (too coarse for one transfer round). A thread that has
// ended no longer counts; the bridges keep theirs while measured. Falls back
// to the ticks without schedstat.
static long long CpuNs(pid_t pid) {
    if (pid <= 0) return -1;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long long ns = 0;
    bool any = false;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string s = kt::ReadFile(dir + "/" + e->d_name + "/schedstat");
            if (s.empty()) continue;
            ns += atoll(s.c_str());
            any = true;
        }
        closedir(d);
    }
    if (any) return ns;
    std::string s = kt::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Field 3 (state) is the first after the name; utime is 14, stime 15.
    for (int i = 3; i <= 15 && (in >> field); i++) {
        if (i == 14) utime = atoll(field.c_str());
        if (i == 15) stime = atoll(field.c_str());
    }
    return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM); -1 when missing.
static long StatusKb(pid_t pid, const char* key) {
    if (pid <= 0) return -1;
    std::istringstream in(kt::ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    size_t n = strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
            return atol(line.c_str() + n + 1);
    return -1;
}

static std::string ProcEnvValue(pid_t pid, const char* name) {
    std::string env = kt::ReadFile("/proc/" + std::to_string(pid) + "/environ");
    std::string key = std::string(name) + "=";
    size_t at = 0;
    while (at < env.size()) {
        size_t end = env.find('\0', at);
        if (end == std::string::npos) end = env.size();
        if (env.compare(at, key.size(), key) == 0) return env.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return "";
}

// A process whose command line contains `needle` (or whose name starts with
// it) and whose WINEPREFIX is `prefix` ("" = any); the lowest such pid, or -1.
static pid_t FindProcess(const std::string& needle, const std::string& prefix, bool byComm) {
    pid_t found = -1;
    DIR* d = opendir("/proc");
    if (!d) return -1;
    while (struct dirent* e = readdir(d)) {
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid <= 0) continue;
        std::string base = std::string("/proc/") + e->d_name;
        std::string text = byComm ? Trim(kt::ReadFile(base + "/comm")) : kt::ReadFile(base + "/cmdline");
        if (byComm ? text.compare(0, needle.size(), needle) != 0 : text.find(needle) == std::string::npos) continue;
        if (!prefix.empty() && ProcEnvValue(pid, "WINEPREFIX") != prefix) continue;
        if (found < 0 || pid < found) found = pid;
    }
    closedir(d);
    return found;
}

// ---------------------------------------------------------------- processes

static bool ProcessGone(pid_t pid) {
    if (pid <= 0) return true;
    std::string s = kt::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (s.empty()) return true;
    size_t close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'Z';
}

// ---------------------------------------------------------------- the bridges

enum Kind { kKestrun, kSocat, kSer2net };

struct Bridge {
    std::string id;     // JSON key
    std::string label;  // table row
    Kind kind = kSocat;
    bool wine = false;
    bool lowLatency = false;  // Kestrun: TIMEOUT1=-1 TIMEOUT2=50 TIMEOUT3=-1
    bool tuned = false;       // ser2net: chardelay off, tcp(nodelay)
    // Kestrun: the client on an RFC 2217 listener for COM3 instead of the
    // control port: Telnet without option negotiation, the rate set by
    // SET-BAUDRATE, IAC doubled in the data both ways.
    bool rfc2217 = false;
    // socat once more: its ratio to the first socat is how far one bridge
    // differs from itself in this run, the noise every other ratio carries.
    bool twin = false;
    // Kestrun: another build of the program (--baseline), to compare two
    // builds in one run; empty for the build under test.
    std::string program;
    // run time
    std::string dir;
    pid_t child = -1;    // what we forked
    pid_t measured = -1; // the process whose CPU and memory are read
    pid_t wineserver = -1;
    int port = 0;
    int sock = -1;
    // The device: the benchmark plays it on dev->master, the bridge opens
    // dev->slavePath.
    std::unique_ptr<kt::Pty> dev;
};

static std::string WineEnv() { return "KESTRUN_WINE_DIR=" + opt.wineDir; }

static std::string WinePrefix() { return opt.wineDir + "/prefix"; }

static int RunWineRun(const std::string& args) {
    std::string cmd = WineEnv() + " '" + opt.wineRun + "' " + args + " >/dev/null 2>&1";
    return system(cmd.c_str());
}

static void WriteSetup(const Bridge& b, int tcpPort) {
    int udp = kt::FreePort();
    kt::Setup setup;
    setup.Int(kOffTcpPort, tcpPort).Int(kOffUdpPort, udp ? udp : tcpPort);
    // Long idle limit: the idle-CPU reading must not see the port auto-closed.
    setup.Int(kOffAutoDisconnectSeconds, 3600);
    // The communication log stays off (its default) unless asked for, to look into a run.
    if (!getenv("KBENCH_LOG")) setup.Text(kOffLogPath, 101, "");
    setup.Write(b.dir);
}

static bool StartBridge(Bridge* b) {
    char tmpl[] = "/tmp/kbench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    b->dir = tmpl;
    b->dev.reset(new kt::Pty);
    if (!b->dev->Ok()) return false;
    b->port = kt::FreePort();
    if (b->port == 0) return false;
    std::string portText = std::to_string(b->port);
    if (b->kind == kSocat) {
        b->child = kt::Spawn({opt.socat, "TCP-LISTEN:" + portText + ",bind=127.0.0.1,reuseaddr,nodelay",
                          "FILE:" + b->dev->slavePath + ",raw,echo=0"},
                         b->dir, {});
        b->measured = b->child;
    } else if (b->kind == kSer2net) {
        std::string accepter = b->tuned ? "tcp(nodelay)" : "tcp";
        std::string yaml = "%YAML 1.1\n---\nconnection: &bench\n    accepter: " + accepter +
                           ",127.0.0.1," + portText + "\n    connector: serialdev," + b->dev->slavePath +
                           ",9600n81,local\n    options:\n      kickolduser: true\n";
        if (b->tuned) yaml += "      chardelay: false\n";
        kt::WriteFile(b->dir + "/ser2net.yaml", yaml);
        b->child = kt::Spawn({opt.ser2net, "-n", "-u", "-c", b->dir + "/ser2net.yaml", "-P", b->dir + "/ser2net.pid"},
                         b->dir, {});
        b->measured = b->child;
    } else {
        WriteSetup(*b, b->port);
        if (!b->wine) {
            if (!b->dev->MapAs(3, b->dir)) return false;
            std::vector<std::string> argv = {b->program.empty() ? opt.kestrun : b->program};
            if (b->rfc2217) {
                b->port = kt::FreePort();
                argv.push_back("--rfc2217");
                argv.push_back("127.0.0.1:" + std::to_string(b->port) + "=COM3");
            }
            b->child = kt::Spawn(argv, b->dir, {"XDG_RUNTIME_DIR=" + b->dir});
            b->measured = b->child;
        } else {
            if (RunWineRun("--map-com 3 " + b->dev->slavePath) != 0) return false;
            b->child = kt::Spawn({opt.wineRun, opt.kestrunExe}, b->dir, {WineEnv()});
        }
    }
    if (b->child <= 0) return false;
    b->sock = kt::ConnectTcp(b->port, b->wine ? 60000 : 15000);
    if (b->sock < 0) {
        Say("  cannot connect to 127.0.0.1:%d\n", b->port);
        return false;
    }
    fcntl(b->sock, F_SETFL, fcntl(b->sock, F_GETFL) | O_NONBLOCK);
    if (b->wine) {
        b->measured = FindProcess("kestrun.exe", WinePrefix(), false);
        b->wineserver = FindProcess("wineserver", WinePrefix(), true);
    }
    if (b->kind == kKestrun && !b->rfc2217) {
        // A fast line, as a USB device or a fast UART has; the pty itself
        // ignores the rate.
        std::string cmd = "\x1b" "BAUD=115200\r";
        if (b->lowLatency) cmd += "\x1bTIMEOUT1=-1 TIMEOUT2=50 TIMEOUT3=-1\r";
        cmd += "\x1b" "COM3\r";
        if (!kt::WriteFd(b->sock, cmd.data(), cmd.size(), 5000)) return false;
        kt::Bytes reply = kt::ReadFd(b->sock, 1, 10000);
        if (reply != std::string(1, '\0')) {
            Say("  COM3 was not opened (reply %d)\n", reply.empty() ? 255 : (uint8_t)reply[0]);
            return false;
        }
    }
    if (b->rfc2217) {
        // The same fast line, set the way an RFC 2217 client sets it
        // (SET-BAUDRATE); the listener answers with the rate in force.
        const uint8_t set[] = {0xFF, 0xFA, 44, 1, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0};
        const uint8_t said[] = {0xFF, 0xFA, 44, 101, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0};
        if (!kt::WriteFd(b->sock, set, sizeof set, 5000)) return false;
        if (kt::ReadFd(b->sock, sizeof said, 10000) != kt::Bytes((const char*)said, sizeof said)) {
            Say("  the listener did not take 115200 baud\n");
            return false;
        }
    }
    return true;
}

static void StopBridge(Bridge* b) {
    if (b->kind == kKestrun && !b->rfc2217 && b->sock >= 0) {
        std::string cmd = "\x1b" "CLOSE\r";
        // Under Wine there is no signal to stop the program: it is asked to end.
        if (b->wine) cmd += "\x1bKILL\r";
        kt::WriteFd(b->sock, cmd.data(), cmd.size(), 2000);
        SleepMs(200);
    }
    if (b->sock >= 0) close(b->sock);
    b->sock = -1;
    if (b->child > 0) {
        bool killed = false;
        kt::StopChild(b->child, !b->wine, b->wine ? 10000 : 5000, &killed);
        if (killed) Say("  %s did not end by itself; killed\n", b->label.c_str());
        if (b->wine && b->measured > 0 && !ProcessGone(b->measured)) {
            kill(b->measured, SIGKILL);
            for (int i = 0; i < 100 && !ProcessGone(b->measured); i++) SleepMs(20);
        }
    }
    b->child = -1;
    b->dev.reset();
    if (!getenv("KBENCH_KEEP")) {
        std::error_code ec;
        fs::remove_all(b->dir, ec);
    }
}

// CPU time in ns of everything that does the bridge's work (under Wine the
// program and its wineserver).
static long long BridgeNs(const Bridge& b) {
    long long t = CpuNs(b.measured);
    if (b.wine && b.wineserver > 0) {
        long long w = CpuNs(b.wineserver);
        if (w > 0) t += w;
    }
    return t;
}

static double NsToSec(long long ns) { return (double)ns / 1e9; }

// ---------------------------------------------------------------- data patterns

// Pseudo-random bytes covering every value (ESC, CR, ACK and zero included).
static std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = (uint8_t)(x >> 11);
    }
    return v;
}

// What a client sends for data bytes: the escape byte doubled (ESC for the
// control port, IAC for Telnet; 0: none), all else as is. *ends gets where
// each `chunk` bytes of data end in it, so the sender need not count again.
static std::vector<uint8_t> Escaped(const std::vector<uint8_t>& data, int escape, size_t chunk,
                                    std::vector<size_t>* ends) {
    std::vector<uint8_t> out;
    out.reserve(data.size() + data.size() / 128);
    for (size_t i = 0; i < data.size(); i++) {
        out.push_back(data[i]);
        if (escape && data[i] == escape) out.push_back(data[i]);
        if ((i + 1) % chunk == 0 || i + 1 == data.size()) ends->push_back(out.size());
    }
    return out;
}

// The escape byte a bridge's client doubles in its data; 0: none.
static int EscapeOf(const Bridge& b) {
    return b.kind != kKestrun ? 0 : b.rfc2217 ? 0xFF : 0x1B;
}

// The data bytes of a Telnet stream, read piece by piece: IAC IAC is one
// 255, options and subnegotiations from the listener are dropped.
struct TelnetData {
    int state = 0;  // 0 data, 1 after IAC, 2 option byte, 3 in SB, 4 IAC in SB
    size_t Take(uint8_t* buf, size_t n) {
        size_t out = 0;
        for (size_t i = 0; i < n; i++) {
            uint8_t c = buf[i];
            switch (state) {
                case 0: if (c == 0xFF) state = 1; else buf[out++] = c; break;
                case 1: state = c == 0xFF ? (buf[out++] = c, 0) : c >= 251 ? 2 : c == 250 ? 3 : 0; break;
                case 2: state = 0; break;
                case 3: if (c == 0xFF) state = 4; break;
                case 4: state = c == 240 ? 0 : 3; break;
            }
        }
        return out;
    }
};

// ---------------------------------------------------------------- measurements

struct Verify {
    size_t expected = 0;
    std::atomic<size_t> received{0};
    size_t mismatches = 0;
    long long firstMismatch = -1;
    bool cut = false;  // the time limit ended it: slow, not lossy
    bool ok() const { return mismatches == 0 && (received == expected || cut); }
    Verify() = default;
    Verify(const Verify& o) { *this = o; }
    Verify& operator=(const Verify& o) {
        expected = o.expected, received = o.received.load(), mismatches = o.mismatches;
        firstMismatch = o.firstMismatch, cut = o.cut;
        return *this;
    }
};

struct Latency {
    int samples = 0;
    double p50 = 0, p90 = 0, p99 = 0, max = 0, mean = 0;  // ms
    int lost = 0;
    double cpuSec = 0;
    // How late a plain 10 ms sleep in the benchmark woke, over the same
    // rounds: the machine's own timer jitter, which a read time-out shares.
    int timerSamples = 0;
    double timerLateP50 = 0, timerLateP99 = 0;  // ms
    // Native Kestrun with the default time-outs only: the same echo with one
    // core kept busy by the benchmark, so an idle machine's slow wake-ups
    // from a sleep are told apart from the bridge's own delay.
    int busySamples = 0;
    double busyP50 = 0, busyP99 = 0;  // ms
};

struct Transfer {
    double mibPerSec = 0;
    double seconds = 0;
    Verify verify;
    double cpuSec = 0;
    bool completed = false;
    int rounds = 1;
    double bestMibPerSec = 0;  // the fastest round
};

struct Pairs {
    int pairs = 0;
    double seconds = 0;
    double perSec = 0;
    int bad = 0;
    double cpuSec = 0;
};

struct Result {
    bool started = false;
    std::string error;
    Latency latency;
    Pairs pairs;
    Transfer toDevice, toClient;
    double idleCpuPercent = -1;
    long rssOpenKb = -1, rssBeforeKb = -1, rssAfterKb = -1, hwmKb = -1;
    bool restarted = false;  // started afresh for the transfers
};

static double Percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    size_t i = (size_t)std::ceil(q * (double)sorted.size()) - 1;
    return sorted[std::min(i, sorted.size() - 1)];
}

// The device answers every byte it reads with the same byte, until stop.
static void EchoDevice(int master, std::atomic<bool>* stop, int64_t deadline) {
    uint8_t buf[4096];
    while (!stop->load() && NowNs() < deadline) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) kt::WriteFd(master, buf, (size_t)n, MsLeft(deadline));
    }
}

// Sleeps 10 ms at a time until stop and records how late each wake-up was.
static void TimerProbe(std::atomic<bool>* stop, int64_t deadline, std::vector<double>* late) {
    while (!stop->load() && NowNs() < deadline) {
        int64_t s = NowNs();
        poll(nullptr, 0, 10);
        late->push_back((double)(NowNs() - s) / 1e6 - 10.0);
    }
}

static const int kWarmUpMs = 100;

// One byte client -> device -> client, timed at the client: up to `count`
// samples within limitSec, appended to *ms (the first `warmup` are not kept).
// With `late`, a timer probe runs alongside and appends its lateness there.
// Returns false when an echo was lost or wrong.
static bool EchoRound(Bridge* b, int warmup, int count, double limitSec, std::vector<double>* ms,
                      double* cpuSec, std::vector<double>* late = nullptr) {
    std::atomic<bool> stop{false};
    int64_t deadline = NowNs() + (int64_t)((limitSec + 5) * 1e9);
    std::thread device(EchoDevice, b->dev->master, &stop, deadline);
    std::thread probe;
    if (late) probe = std::thread(TimerProbe, &stop, deadline, late);
    bool ok = true;
    long long cpu0 = -1;
    int64_t t0 = NowNs();
    // The warm-up lasts `warmup` echoes and at least kWarmUpMs: the bridge
    // measured before may have left the machine idle 10 ms at a time, and the
    // first wake-ups after that are slow whoever is measured.
    const int64_t warmEnd = t0 + kWarmUpMs * 1000000LL;
    int measured = 0;
    for (int i = 0; measured < count && SecSince(t0) < limitSec; i++) {
        bool warming = i < warmup || NowNs() < warmEnd;
        if (!warming && cpu0 < 0) cpu0 = BridgeNs(*b);
        const char out = (char)('A' + i % 26);
        int64_t s = NowNs();
        if (!kt::WriteFd(b->sock, &out, 1, 2000) || kt::ReadFd(b->sock, 1, MsLeft(s + 2000000000LL)) != kt::Bytes(1, out)) {
            ok = false;
            break;
        }
        int64_t e = NowNs();
        if (warming) continue;
        measured++;
        if (ms) ms->push_back((double)(e - s) / 1e6);
    }
    if (cpu0 >= 0 && cpuSec) *cpuSec += NsToSec(BridgeNs(*b) - cpu0);
    stop = true;
    device.join();
    if (probe.joinable()) probe.join();
    return ok;
}

static void Summarise(std::vector<double> ms, Latency* r) {
    std::sort(ms.begin(), ms.end());
    r->samples = (int)ms.size();
    if (ms.empty()) return;
    r->p50 = Percentile(ms, 0.50);
    r->p90 = Percentile(ms, 0.90);
    r->p99 = Percentile(ms, 0.99);
    r->max = ms.back();
    double sum = 0;
    for (double v : ms) sum += v;
    r->mean = sum / (double)ms.size();
}

// Reads n bytes from fd, comparing them with `want`; stops at n, at the
// deadline, or after quietSec without a byte once *senderDone is set.
static void ReceiveVerified(int fd, const std::vector<uint8_t>& want, Verify* v, int64_t* tLast,
                            int64_t deadline, const std::atomic<bool>* senderDone, double quietSec,
                            TelnetData* telnet = nullptr) {
    v->expected = want.size();
    std::vector<uint8_t> buf(65536);
    int64_t lastByte = NowNs();
    while (v->received < want.size() && NowNs() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        int pr = poll(&p, 1, 50);
        if (pr <= 0) {
            if (senderDone->load() && SecSince(lastByte) > quietSec) break;
            continue;
        }
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            break;
        }
        lastByte = NowNs();
        *tLast = lastByte;
        if (telnet) n = (ssize_t)telnet->Take(buf.data(), (size_t)n);
        for (ssize_t i = 0; i < n; i++) {
            size_t at = v->received + (size_t)i;
            if (at >= want.size() || buf[(size_t)i] != want[at]) {
                if (v->firstMismatch < 0) v->firstMismatch = (long long)at;
                v->mismatches++;
            }
        }
        v->received += (size_t)n;
    }
    v->cut = v->received < want.size() && NowNs() >= deadline;
}

// Under Wine the one-byte write path is slow enough that a shorter cut gives
// the same rate and spares minutes.
static double TransferLimitSec(const Bridge& b) {
    return b.wine ? std::min(opt.transferLimitSec, 30.0) : opt.transferLimitSec;
}

// The rate of a transfer that began at t0 (with cpu0 ns of CPU) and whose last
// byte arrived at tLast, and the bridge's CPU time over it.
static void Finish(const Bridge& b, int64_t t0, int64_t tLast, long long cpu0, Transfer* r) {
    r->cpuSec = NsToSec(BridgeNs(b) - cpu0);
    r->completed = r->verify.received >= r->verify.expected;
    r->seconds = tLast > t0 ? (double)(tLast - t0) / 1e9 : SecSince(t0);
    r->mibPerSec = (double)std::min(r->verify.received.load(), r->verify.expected) / (1 << 20) /
                   std::max(r->seconds, 1e-9);
}

// 4 MiB client -> device, every byte checked at the device.
static Transfer MeasureToDevice(Bridge* b) {
    Transfer r;
    std::vector<uint8_t> data = Pattern(opt.transferBytes, 0x2545F491u);
    // The client keeps at most `window` bytes ahead of the device, so that a
    // transfer cut by its time limit leaves little in flight behind it.
    const size_t chunk = 16384, window = b->wine ? 16384 : 262144;
    std::vector<size_t> wireEnds;
    std::vector<uint8_t> wire = Escaped(data, EscapeOf(*b), chunk, &wireEnds);
    std::atomic<bool> sent{false};
    int64_t deadline = NowNs() + (int64_t)(TransferLimitSec(*b) * 1e9);
    int64_t tLast = 0;
    long long cpu0 = BridgeNs(*b);
    int64_t t0 = NowNs();
    std::thread device(ReceiveVerified, b->dev->master, std::cref(data), &r.verify, &tLast, deadline, &sent, 3.0,
                       nullptr);
    size_t wireAt = 0;
    for (size_t k = 0; k < wireEnds.size() && NowNs() < deadline;) {
        if (k * chunk > r.verify.received.load() + window) {
            SleepMs(1);
            continue;
        }
        if (!kt::WriteFd(b->sock, wire.data() + wireAt, wireEnds[k] - wireAt, MsLeft(deadline))) break;
        wireAt = wireEnds[k++];
    }
    sent = true;
    device.join();
    Finish(*b, t0, tLast, cpu0, &r);
    return r;
}

// 4 MiB device -> client, every byte checked at the client.
static Transfer MeasureToClient(Bridge* b) {
    Transfer r;
    std::vector<uint8_t> data = Pattern(opt.transferBytes, 0x9E3779B9u);
    std::atomic<bool> sent{false};
    int64_t deadline = NowNs() + (int64_t)(TransferLimitSec(*b) * 1e9);
    int64_t tLast = 0;
    long long cpu0 = BridgeNs(*b);
    int64_t t0 = NowNs();
    std::thread device([&] {
        const size_t chunk = 4096;
        for (size_t at = 0; at < data.size(); at += chunk)
            if (!kt::WriteFd(b->dev->master, data.data() + at, std::min(chunk, data.size() - at), MsLeft(deadline)))
                break;
        sent = true;
    });
    TelnetData telnet;
    ReceiveVerified(b->sock, data, &r.verify, &tLast, deadline, &sent, 3.0, b->rfc2217 ? &telnet : nullptr);
    device.join();
    Finish(*b, t0, tLast, cpu0, &r);
    return r;
}

// 32-byte requests answered by 32-byte responses, one at a time.
// Adds to *r the pairs done within seconds (after a few unmeasured ones).
static void PairsRound(Bridge* b, double seconds, Pairs* r) {
    const size_t kSize = 32;
    const int warmup = 20, maxPairs = 200000;
    std::atomic<bool> stop{false};
    int64_t deadline = NowNs() + (int64_t)((seconds + 10) * 1e9);
    // The device answers each request with its bytes, each one raised by one.
    std::thread device([&] {
        std::vector<uint8_t> acc;
        uint8_t buf[4096];
        while (!stop.load() && NowNs() < deadline) {
            struct pollfd p = {b->dev->master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = read(b->dev->master, buf, sizeof buf);
            if (n <= 0) continue;
            acc.insert(acc.end(), buf, buf + n);
            while (acc.size() >= kSize) {
                uint8_t reply[kSize];
                for (size_t i = 0; i < kSize; i++) reply[i] = (uint8_t)(acc[i] + 1);
                acc.erase(acc.begin(), acc.begin() + kSize);
                kt::WriteFd(b->dev->master, reply, kSize, MsLeft(deadline));
            }
        }
    });
    long long cpu0 = -1;
    int64_t t0 = 0;
    for (int i = 0; i < warmup + maxPairs; i++) {
        if (i == warmup) {
            cpu0 = BridgeNs(*b);
            t0 = NowNs();
        }
        if (i >= warmup && SecSince(t0) >= seconds) break;
        // Printable request bytes: no ESC, so the same bytes go to every bridge.
        uint8_t req[kSize];
        for (size_t j = 0; j < kSize; j++) req[j] = (uint8_t)(0x20 + (i * 7 + j * 3) % 90);
        int64_t s = NowNs();
        kt::Bytes resp;
        if (!kt::WriteFd(b->sock, req, kSize, 2000) ||
            (resp = kt::ReadFd(b->sock, kSize, MsLeft(s + 2000000000LL))).size() != kSize) {
            r->bad++;
            break;
        }
        bool same = true;
        for (size_t j = 0; j < kSize; j++) same = same && (uint8_t)resp[j] == (uint8_t)(req[j] + 1);
        if (!same) {
            r->bad++;
            break;
        }
        if (i >= warmup) r->pairs++;
    }
    if (t0) r->seconds += SecSince(t0);
    if (cpu0 >= 0) r->cpuSec += NsToSec(BridgeNs(*b) - cpu0);
    r->perSec = r->seconds > 0 ? r->pairs / r->seconds : 0;
    stop = true;
    device.join();
}

// The bridge visited k-th in a round: forwards in even rounds, backwards in
// odd ones, so that no bridge always follows the same one (Wine's rows leave
// the machine busy for a while) or always comes first after a pause.
static size_t Visit(int round, size_t k, size_t n) { return round % 2 ? n - 1 - k : k; }

// The median round by throughput, with the mean CPU of a round; a round with
// a verification failure wins, so that no failure is hidden.
static Transfer Combine(std::vector<Transfer> rounds) {
    if (rounds.empty()) return Transfer();
    double cpu = 0;
    for (const Transfer& t : rounds) cpu += t.cpuSec;
    std::sort(rounds.begin(), rounds.end(),
              [](const Transfer& a, const Transfer& b) { return a.mibPerSec < b.mibPerSec; });
    Transfer pick = rounds[rounds.size() / 2];
    for (const Transfer& t : rounds)
        if (!t.verify.ok()) pick = t;
    pick.cpuSec = cpu / (double)rounds.size();
    pick.rounds = (int)rounds.size();
    pick.bestMibPerSec = rounds.back().mibPerSec;
    return pick;
}

// Runs a group of bridges side by side: all are started and opened, then each
// test visits them in turn, in rounds, so that load from elsewhere on the
// machine falls on all of them alike and the ratios stay fair.
static void RunGroup(std::vector<Bridge*> group, std::vector<Result*> results) {
    const int rounds = 4;
    std::vector<Bridge*> live;
    std::vector<Result*> liveResults;
    for (size_t i = 0; i < group.size(); i++) {
        Bridge* b = group[i];
        Say("== starting %s\n", b->label.c_str());
        bool started = StartBridge(b);
        if (!started && b->wine) {
            // The first program in a new prefix may miss the connect wait
            // while Wine is still finishing the prefix: once more, after
            // ending what the first try left (one instance at a time).
            StopBridge(b);
            pid_t left;
            for (int k = 0; k < 5 && (left = FindProcess("kestrun.exe", WinePrefix(), false)) > 0; k++) {
                kill(left, SIGKILL);
                for (int w = 0; w < 100 && !ProcessGone(left); w++) SleepMs(20);
            }
            Say("  once more\n");
            started = StartBridge(b);
        }
        if (!started) {
            results[i]->error = "did not start or open the port";
            Say("  %s\n", results[i]->error.c_str());
            StopBridge(b);
            continue;
        }
        results[i]->started = true;
        results[i]->rssOpenKb = StatusKb(b->measured, "VmRSS");
        live.push_back(b);
        liveResults.push_back(results[i]);
    }
    size_t n = live.size();
    // Warm-up: a short echo exchange so first-use costs are behind us.
    for (size_t i = 0; i < n; i++) {
        EchoRound(live[i], 0, 50, 10, nullptr, nullptr);
        kt::DrainFd(live[i]->dev->master, 0);
        kt::DrainFd(live[i]->sock, 0);
    }
    // Idle: all of them over the same few seconds, ports open, no traffic.
    {
        std::vector<long long> c0(n);
        for (size_t i = 0; i < n; i++) c0[i] = BridgeNs(*live[i]);
        int64_t t0 = NowNs();
        SleepMs((int)(opt.idleSec * 1000));
        double secs = SecSince(t0);
        for (size_t i = 0; i < n; i++) {
            long long c1 = BridgeNs(*live[i]);
            liveResults[i]->idleCpuPercent = (c0[i] < 0 || c1 < 0) ? -1 : 100.0 * NsToSec(c1 - c0[i]) / secs;
            Say("  idle CPU %-36s %.2f %%\n", live[i]->label.c_str(), liveResults[i]->idleCpuPercent);
        }
    }
    std::vector<std::vector<double>> ms(n), late(n);
    for (int round = 0; round < rounds; round++) {
        for (size_t k = 0; k < n; k++) {
            size_t i = Visit(round, k, n);
            Result* r = liveResults[i];
            if (r->latency.lost) continue;
            if (!EchoRound(live[i], round == 0 ? opt.latencyWarmup : 5, opt.latencySamples / rounds,
                           opt.latencyLimitSec / rounds, &ms[i], &r->latency.cpuSec, &late[i]))
                r->latency.lost++;
            kt::DrainFd(live[i]->dev->master, 0);
            kt::DrainFd(live[i]->sock, 0);
        }
    }
    for (size_t i = 0; i < n; i++) {
        if (live[i]->kind != kKestrun || live[i]->wine || live[i]->lowLatency || live[i]->rfc2217 ||
            liveResults[i]->latency.lost)
            continue;
        std::atomic<bool> spinStop{false};
        std::thread spinner([&spinStop] {
            while (!spinStop.load(std::memory_order_relaxed)) {
            }
        });
        std::vector<double> busy;
        double unused = 0;
        EchoRound(live[i], 5, opt.latencySamples / 2, opt.latencyLimitSec / 2, &busy, &unused);
        spinStop = true;
        spinner.join();
        kt::DrainFd(live[i]->dev->master, 0);
        kt::DrainFd(live[i]->sock, 0);
        Latency b;
        Summarise(busy, &b);
        Latency& l = liveResults[i]->latency;
        l.busySamples = b.samples;
        l.busyP50 = b.p50;
        l.busyP99 = b.p99;
        Say("  latency %-36s with a core kept busy: p50 %.3f p99 %.3f ms (%d samples)\n", live[i]->label.c_str(),
            l.busyP50, l.busyP99, l.busySamples);
    }
    for (size_t i = 0; i < n; i++) {
        Latency& l = liveResults[i]->latency;
        Summarise(ms[i], &l);
        Latency t;
        Summarise(late[i], &t);
        l.timerSamples = t.samples;
        l.timerLateP50 = t.p50;
        l.timerLateP99 = t.p99;
        Say("  latency %-36s p50 %.3f p90 %.3f p99 %.3f max %.3f ms (%d samples%s); 10 ms sleep late p99 %.3f ms\n",
            live[i]->label.c_str(), l.p50, l.p90, l.p99, l.max, l.samples, l.lost ? ", ECHO LOST" : "",
            l.timerLateP99);
    }
    for (int round = 0; round < rounds; round++) {
        for (size_t k = 0; k < n; k++) {
            size_t i = Visit(round, k, n);
            Result* r = liveResults[i];
            if (r->pairs.bad) continue;
            PairsRound(live[i], opt.pairsSec / rounds, &r->pairs);
            kt::DrainFd(live[i]->dev->master, 0);
            kt::DrainFd(live[i]->sock, 0);
        }
    }
    for (size_t i = 0; i < n; i++)
        Say("  32-byte pairs %-36s %.0f/s (%d%s)\n", live[i]->label.c_str(), liveResults[i]->pairs.perSec,
            liveResults[i]->pairs.pairs, liveResults[i]->pairs.bad ? ", PAIR LOST" : "");
    // Transfers: a few rounds of each direction; the median round is reported,
    // and a round that lost or reordered a byte is reported instead of it.
    std::vector<std::vector<Transfer>> toDevice(n), toClient(n);
    // A bridge that lost an echo or a pair may still hold those bytes (for
    // instance in a read that has not returned): it is started afresh, so that
    // they cannot spill into the transfers and read as corruption there.
    for (size_t i = 0; i < n; i++) {
        Result* r = liveResults[i];
        if (!r->latency.lost && !r->pairs.bad) continue;
        Say("  restarting %s before the transfers\n", live[i]->label.c_str());
        StopBridge(live[i]);
        r->restarted = true;
        if (!StartBridge(live[i])) {
            r->error = "did not restart for the transfers";
            StopBridge(live[i]);
        }
    }
    std::vector<bool> stalled(n, false);
    for (size_t i = 0; i < n; i++) stalled[i] = live[i]->sock < 0;
    for (size_t i = 0; i < n; i++) liveResults[i]->rssBeforeKb = StatusKb(live[i]->measured, "VmRSS");

    int transferRounds = live.size() == 1 && live[0]->wine ? 1 : opt.transferRounds;
    for (int round = 0; round < transferRounds; round++) {
        for (size_t k = 0; k < n; k++) {
            size_t i = Visit(round, k, n);
            Bridge* b = live[i];
            if (stalled[i]) continue;
            for (int dir = 0; dir < 2 && !stalled[i]; dir++) {
                // Device to client first: under Wine the slow direction may be cut.
                Transfer t = dir == 1 ? MeasureToDevice(b) : MeasureToClient(b);
                (dir == 1 ? toDevice : toClient)[i].push_back(t);
                Say("  round %d %-36s %s %.3f MiB/s (%zu/%zu bytes%s, %zu bad)\n", round + 1, b->label.c_str(),
                    dir == 1 ? "c->d" : "d->c", t.mibPerSec, t.verify.received.load(), t.verify.expected,
                    t.verify.cut ? ", cut by the time limit" : "", t.verify.mismatches);
                // What is still on its way after a cut must not spill into the next test.
                bool quietDevice = false, quietClient = false;
                kt::DrainFd(b->dev->master, t.verify.cut ? 2000 : 100, 180000, &quietDevice);
                if (quietDevice) kt::DrainFd(b->sock, t.verify.cut ? 2000 : 100, 180000, &quietClient);
                bool quiet = quietDevice && quietClient;
                if (t.verify.cut || !quiet) stalled[i] = true;
            }
        }
    }
    for (size_t i = 0; i < n; i++) {
        Bridge* b = live[i];
        Result* r = liveResults[i];
        r->toDevice = Combine(toDevice[i]);
        r->toClient = Combine(toClient[i]);
        r->rssAfterKb = StatusKb(b->measured, "VmRSS");
        r->hwmKb = StatusKb(b->measured, "VmHWM");
        Say("  RSS %-36s %ld kB at open, %ld kB before transfers, %ld kB after\n", b->label.c_str(), r->rssOpenKb,
            r->rssBeforeKb, r->rssAfterKb);
    }
    for (Bridge* b : live)
        if (b->child > 0) StopBridge(b);
}

// ---------------------------------------------------------------- report

static std::string Num(double v, int prec) {
    if (std::isnan(v) || v < 0) return "-";
    return Fmt("%.*f", prec, v);
}

static std::string Pad(const std::string& s, size_t w, bool left = false) {
    if (s.size() >= w) return s;
    return left ? s + std::string(w - s.size(), ' ') : std::string(w - s.size(), ' ') + s;
}

static std::string Row(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
    std::string line = "|";
    for (size_t i = 0; i < cells.size(); i++) line += " " + Pad(cells[i], widths[i], i == 0) + " |";
    return line + "\n";
}

static std::string Rule(const std::vector<size_t>& widths) {
    std::string line = "|";
    for (size_t i = 0; i < widths.size(); i++) line += (i == 0 ? ":" : "") + std::string(widths[i] + 1 - (i == 0), '-') + (i == 0 ? "-|" : ":|");
    return line + "\n";
}

static std::string Table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> w(rows[0].size(), 0);
    for (auto& r : rows)
        for (size_t i = 0; i < r.size(); i++) w[i] = std::max(w[i], r[i].size());
    std::string out = Row(rows[0], w) + Rule(w);
    for (size_t i = 1; i < rows.size(); i++) out += Row(rows[i], w);
    return out;
}

static std::string VerifyText(const Result& r) {
    if (!r.started) return "not run";
    const Verify* v[2] = {&r.toDevice.verify, &r.toClient.verify};
    bool ok = v[0]->ok() && v[1]->ok() && r.latency.lost == 0 && r.pairs.bad == 0;
    bool cut = v[0]->cut || v[1]->cut;
    if (ok) return cut ? "in order (a transfer cut)" : "all bytes in order";
    std::string s;
    for (int i = 0; i < 2; i++) {
        if (v[i]->ok()) continue;
        s += Fmt("%s %zu/%zu", i == 0 ? "c->d" : "d->c", v[i]->received.load(), v[i]->expected);
        if (v[i]->mismatches) s += Fmt(" bad@%lld", v[i]->firstMismatch);
        if (v[i]->cut) s += " cut";
        s += "; ";
    }
    if (r.latency.lost) s += "echo lost; ";
    if (r.pairs.bad) s += "pair lost; ";
    return s;
}

static std::string Ratio(double v, double base) {
    if (base <= 0 || v <= 0) return "-";
    return Fmt("%.2fx", v / base);
}

static std::string Report(const std::vector<Bridge>& bridges, const std::vector<Result>& results,
                          const std::string& machine) {
    const Result* socat = nullptr;
    for (size_t i = 0; i < bridges.size(); i++)
        if (bridges[i].kind == kSocat && !bridges[i].twin && results[i].started && !socat) socat = &results[i];
    std::string out = machine + "\n";
    std::vector<std::vector<std::string>> lat = {
        {"bridge", "p50 ms", "p90 ms", "p99 ms", "max ms", "samples", "p50 vs socat", "p99 vs socat",
         "10 ms sleep late p99"}};
    std::vector<std::vector<std::string>> thr = {
        {"bridge", "c->d MiB/s", "(best)", "d->c MiB/s", "(best)", "c->d vs socat", "d->c vs socat", "32 B pairs/s",
         "verified"}};
    std::vector<std::vector<std::string>> res = {{"bridge", "CPU s latency", "CPU s pairs", "CPU s c->d",
                                                  "CPU s d->c", "idle CPU %", "RSS kB before", "RSS kB after"}};
    for (size_t i = 0; i < bridges.size(); i++) {
        const Result& r = results[i];
        const std::string& n = bridges[i].label;
        if (!r.started) {
            lat.push_back({n, "-", "-", "-", "-", "0", "-", "-", "-"});
            thr.push_back({n, "-", "-", "-", "-", "-", "-", "-", r.error});
            res.push_back({n, "-", "-", "-", "-", "-", "-", "-"});
            continue;
        }
        // No samples (every echo lost) shows as "-", not as a zero delay.
        double none = r.latency.samples ? 0 : -1;
        lat.push_back({n, Num(r.latency.p50 + none, 3), Num(r.latency.p90 + none, 3), Num(r.latency.p99 + none, 3),
                       Num(r.latency.max + none, 3), std::to_string(r.latency.samples),
                       socat ? Ratio(r.latency.p50, socat->latency.p50) : "-",
                       socat ? Ratio(r.latency.p99, socat->latency.p99) : "-",
                       r.latency.timerSamples ? Num(r.latency.timerLateP99, 3) : "-"});
        thr.push_back({n, Num(r.toDevice.mibPerSec, 3) + (r.toDevice.verify.cut ? " (cut)" : ""),
                       Num(r.toDevice.bestMibPerSec, 3), Num(r.toClient.mibPerSec, 2) + (r.toClient.verify.cut ? " (cut)" : ""),
                       Num(r.toClient.bestMibPerSec, 2),
                       socat ? Ratio(r.toDevice.mibPerSec, socat->toDevice.mibPerSec) : "-",
                       socat ? Ratio(r.toClient.mibPerSec, socat->toClient.mibPerSec) : "-",
                       Num(r.pairs.perSec, 0), VerifyText(r)});
        res.push_back({n, Num(r.latency.cpuSec, 2), Num(r.pairs.cpuSec, 2), Num(r.toDevice.cpuSec, 3),
                       Num(r.toClient.cpuSec, 3), Num(r.idleCpuPercent, 2), std::to_string(r.rssBeforeKb),
                       std::to_string(r.rssAfterKb)});
    }
    out += "\nRound trip of one byte, client -> device -> client (last column: how late a plain\n"
           "10 ms sleep in the benchmark woke during the same rounds, the machine's timer jitter):\n\n" +
           Table(lat);
    out += Fmt("\nThroughput, %zu bytes each way, every byte checked (median of %d rounds and\n"
               "the best one; under Wine one round, cut after 30 s),\n"
               "and 32-byte request/response pairs per second:\n\n",
               opt.transferBytes, opt.transferRounds) +
           Table(thr);
    out += "\nBridge CPU seconds per test (latency and pairs: all rounds; transfers: per 4 MiB round;\n"
           "under Wine: program + wineserver), idle CPU with the port open, resident memory\n"
           "before and after the transfers:\n\n" +
           Table(res);
    return out;
}

// One row's transfer rates and round trip as ratios to another's.
static std::string RatiosLine(const Result& r, const Result& base) {
    return "  c->d " + Ratio(r.toDevice.mibPerSec, base.toDevice.mibPerSec) + ", d->c " +
           Ratio(r.toClient.mibPerSec, base.toClient.mibPerSec) + ", p50 " + Ratio(r.latency.p50, base.latency.p50) +
           ", p99 " + Ratio(r.latency.p99, base.latency.p99) + "\n";
}

// Which targets the native Kestrun rows met.
static std::string Targets(const std::vector<Bridge>& bridges, const std::vector<Result>& results,
                           std::string* json) {
    const Result *socat = nullptr, *twin = nullptr, *def = nullptr, *low = nullptr, *baseline = nullptr;
    for (size_t i = 0; i < bridges.size(); i++) {
        if (!results[i].started) continue;
        if (bridges[i].kind == kSocat && !bridges[i].twin && !socat) socat = &results[i];
        if (bridges[i].kind == kSocat && bridges[i].twin) twin = &results[i];
        if (bridges[i].kind == kKestrun && !bridges[i].program.empty()) {
            baseline = &results[i];
            continue;
        }
        if (bridges[i].kind == kKestrun && !bridges[i].wine && !bridges[i].rfc2217) (bridges[i].lowLatency ? low : def) = &results[i];
    }
    std::string out = "\nTargets (native Kestrun):\n";
    *json = "[";
    auto add = [&](const std::string& what, bool known, bool met, const std::string& measured) {
        std::string verdict = !known ? "not measured" : met ? "met" : "MISSED";
        out += Fmt("  %-58s %-12s %s\n", what.c_str(), verdict.c_str(), measured.c_str());
        if (json->size() > 1) *json += ",";
        *json += "\n    {\"target\": \"" + what + "\", \"result\": \"" + verdict + "\", \"measured\": \"" + measured + "\"}";
    };
    bool k = low && socat;
    add("low-latency p50 <= 1.5x socat", k, k && low->latency.p50 <= 1.5 * socat->latency.p50,
        k ? Fmt("%.3f ms vs %.3f ms (%.2fx)", low->latency.p50, socat->latency.p50, low->latency.p50 / socat->latency.p50) : "");
    add("low-latency p99 <= 1.5x socat", k, k && low->latency.p99 <= 1.5 * socat->latency.p99,
        k ? Fmt("%.3f ms vs %.3f ms (%.2fx)", low->latency.p99, socat->latency.p99, low->latency.p99 / socat->latency.p99) : "");
    add("default time-outs p99 <= 11 ms", def != nullptr, def && def->latency.p99 <= 11.0,
        def ? Fmt("%.3f ms (a 10 ms sleep woke late by p50 %.3f, p99 %.3f ms)", def->latency.p99,
                  def->latency.timerLateP50, def->latency.timerLateP99)
            : "");
    bool kb = def && def->latency.busySamples > 0;
    add("default time-outs p99 <= 11 ms, a core kept busy", kb, kb && def->latency.busyP99 <= 11.0,
        kb ? Fmt("%.3f ms (p50 %.3f ms, %d samples)", def->latency.busyP99, def->latency.busyP50,
                 def->latency.busySamples)
           : "");
    for (int which = 0; which < 2; which++) {
        const Result* r = which == 0 ? def : low;
        std::string tag = which == 0 ? " (default time-outs)" : " (low-latency)";
        // Low latency is the fast mode: at socat's rate or above. The default
        // time-outs pace the reads, so a little below it.
        bool kk = r && socat;
        double share = which == 0 ? 0.8 : 1.0;
        const char* shareText = which == 0 ? "0.8x" : "1.0x";
        const Transfer* mine[2] = {r ? &r->toClient : nullptr, r ? &r->toDevice : nullptr};
        const Transfer* theirs[2] = {socat ? &socat->toClient : nullptr, socat ? &socat->toDevice : nullptr};
        const char* way[2] = {"device->client", "client->device"};
        for (int w = 0; w < 2; w++)
            add(Fmt("%s >= %s socat", way[w], shareText) + tag, kk,
                kk && mine[w]->mibPerSec >= share * theirs[w]->mibPerSec,
                kk ? Fmt("%.2f vs %.2f MiB/s (%.2fx)", mine[w]->mibPerSec, theirs[w]->mibPerSec,
                         mine[w]->mibPerSec / theirs[w]->mibPerSec)
                   : "");
        add("idle CPU < 1% of a core" + tag, r != nullptr, r && r->idleCpuPercent >= 0 && r->idleCpuPercent < 1.0,
            r ? Fmt("%.2f %%", r->idleCpuPercent) : "");
        // A few pages of allocator noise are not growth.
        add("no RSS growth over the transfers" + tag, r != nullptr, r && r->rssAfterKb <= r->rssBeforeKb + 64,
            r ? Fmt("%ld -> %ld kB", r->rssBeforeKb, r->rssAfterKb) : "");
    }
    bool all = true, any = false, cut = false;
    for (size_t i = 0; i < bridges.size(); i++) {
        if (bridges[i].kind != kKestrun || bridges[i].wine || !bridges[i].program.empty() || !results[i].started)
            continue;
        any = true;
        std::string v = VerifyText(results[i]);
        all = all && (v.compare(0, 3, "all") == 0 || v.compare(0, 8, "in order") == 0);
        cut = cut || results[i].toDevice.verify.cut || results[i].toClient.verify.cut;
    }
    add("zero bytes lost or reordered (native Kestrun rows)", any, all,
        !any ? "" : !all ? "see table" : cut ? "all that arrived in order; a transfer was cut by its time limit" : "all verified");
    *json += "\n  ]";
    if (socat && twin)
        out += "\nThe same bridge twice (socat again against socat), the noise in this run's ratios:\n" +
               RatiosLine(*twin, *socat);
    if (low && baseline)
        out += "\nThis build against the baseline build (low-latency time-outs both):\n" + RatiosLine(*low, *baseline);
    return out;
}

static std::string JsonEscape(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if ((unsigned char)c < 0x20) {
            o += Fmt("\\u%04x", c);
            continue;
        }
        o += c;
    }
    return o;
}

static std::string Json(const std::vector<Bridge>& bridges, const std::vector<Result>& results,
                        const std::vector<std::pair<std::string, std::string>>& machine,
                        const std::string& targets) {
    std::string j = "{\n  \"machine\": {";
    for (size_t i = 0; i < machine.size(); i++)
        j += (i ? ", " : "") + Fmt("\"%s\": \"", machine[i].first.c_str()) + JsonEscape(machine[i].second) + "\"";
    j += Fmt("},\n  \"transfer_bytes\": %zu,\n  \"bridges\": [", opt.transferBytes);
    for (size_t i = 0; i < bridges.size(); i++) {
        const Result& r = results[i];
        const Bridge& b = bridges[i];
        j += (i ? "," : "") + std::string("\n    {");
        j += "\"id\": \"" + b.id + "\", \"label\": \"" + JsonEscape(b.label) + "\", \"wine\": " +
             (b.wine ? "true" : "false") + ", \"started\": " + (r.started ? "true" : "false");
        if (!r.started) {
            j += ", \"error\": \"" + JsonEscape(r.error) + "\"}";
            continue;
        }
        j += Fmt(",\n     \"latency_ms\": {\"p50\": %.4f, \"p90\": %.4f, \"p99\": %.4f, \"max\": %.4f, "
                 "\"mean\": %.4f, \"samples\": %d, \"lost\": %d, \"cpu_s\": %.2f, \"timer_late_p50\": %.4f, "
                 "\"timer_late_p99\": %.4f, \"timer_samples\": %d, \"busy_core_p50\": %.4f, \"busy_core_p99\": %.4f, "
                 "\"busy_core_samples\": %d}, \"restarted_for_transfers\": %s",
                 r.latency.p50, r.latency.p90, r.latency.p99, r.latency.max, r.latency.mean, r.latency.samples,
                 r.latency.lost, r.latency.cpuSec, r.latency.timerLateP50, r.latency.timerLateP99,
                 r.latency.timerSamples, r.latency.busyP50, r.latency.busyP99, r.latency.busySamples,
                 r.restarted ? "true" : "false");
        j += Fmt(",\n     \"pairs_32b\": {\"per_s\": %.1f, \"pairs\": %d, \"bad\": %d, \"cpu_s\": %.2f}", r.pairs.perSec,
                 r.pairs.pairs, r.pairs.bad, r.pairs.cpuSec);
        const Transfer* t[2] = {&r.toDevice, &r.toClient};
        const char* names[2] = {"client_to_device", "device_to_client"};
        for (int k = 0; k < 2; k++)
            j += Fmt(",\n     \"%s\": {\"mib_per_s\": %.4f, \"best_mib_per_s\": %.4f, \"seconds\": %.3f, \"expected\": %zu, \"received\": %zu, "
                     "\"mismatches\": %zu, \"first_mismatch\": %lld, \"cut_by_time_limit\": %s, \"cpu_s\": %.2f, \"rounds\": %d}",
                     names[k], t[k]->mibPerSec, t[k]->bestMibPerSec, t[k]->seconds, t[k]->verify.expected, t[k]->verify.received.load(),
                     t[k]->verify.mismatches, t[k]->verify.firstMismatch, t[k]->verify.cut ? "true" : "false", t[k]->cpuSec, t[k]->rounds);
        j += Fmt(",\n     \"idle_cpu_percent\": %.3f, \"rss_kb\": {\"open\": %ld, \"before_transfers\": %ld, "
                 "\"after_transfers\": %ld, \"peak\": %ld}}",
                 r.idleCpuPercent, r.rssOpenKb, r.rssBeforeKb, r.rssAfterKb, r.hwmKb);
    }
    j += "\n  ],\n  \"targets\": " + targets + "\n}\n";
    return j;
}

// ---------------------------------------------------------------- through kestrun-attach

// The one-byte round trip of EchoRound twice on one native bridge with the
// low-latency time-outs: once from its TCP client, once from a program on the
// pty of kestrun-attach, which relays to the same bridge.
static int RunAttachLatency() {
    Bridge b;
    b.id = "kestrun_lowlat", b.label = "Kestrun (time-outs -1/50/-1)", b.kind = kKestrun, b.lowLatency = true;
    if (!StartBridge(&b)) {
        Say("the bridge did not start\n");
        StopBridge(&b);
        return 1;
    }
    std::vector<double> direct, attached;
    double cpu = 0;
    bool directOk = EchoRound(&b, opt.latencyWarmup, opt.latencySamples, opt.latencyLimitSec, &direct, &cpu);
    // The bridge's client lets the port go; attach opens it.
    const char closeLine[] = "\x1b" "CLOSE\r";
    kt::WriteFd(b.sock, closeLine, sizeof closeLine - 1, 2000);
    SleepMs(200);
    close(b.sock);
    b.sock = -1;
    std::string dir = b.dir + "/attach";
    fs::create_directories(dir);
    pid_t attach = kt::Spawn({opt.attach, "127.0.0.1:" + std::to_string(b.port), "COM3"}, dir, {});
    kt::WaitUntil([&] { return kt::ReadFile(dir + "/stdout.txt").find('\n') != std::string::npos; }, 15000);
    std::string out = kt::ReadFile(dir + "/stdout.txt");
    std::string path = out.substr(0, out.find('\n'));
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    bool attachOk = false;
    if (fd >= 0) {
        struct termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        b.sock = fd;
        attachOk = EchoRound(&b, opt.latencyWarmup, opt.latencySamples, opt.latencyLimitSec, &attached, &cpu);
        b.sock = -1;
        close(fd);
    } else {
        Say("kestrun-attach printed no pty: %s\n", kt::ReadFile(dir + "/stderr.txt").c_str());
    }
    kt::StopChild(attach, true, 5000);
    StopBridge(&b);
    Latency d, a;
    Summarise(direct, &d);
    Summarise(attached, &a);
    printf("Round trip of one byte, client to device to client (ms):\n");
    printf("%-44s %7s %7s %7s %7s %8s\n", "client", "p50", "p90", "p99", "max", "samples");
    printf("%-44s %7.3f %7.3f %7.3f %7.3f %8d%s\n", "TCP client of Kestrun (-1/50/-1)", d.p50, d.p90, d.p99,
           d.max, d.samples, directOk ? "" : "  (echo lost)");
    printf("%-44s %7.3f %7.3f %7.3f %7.3f %8d%s\n", "program on the kestrun-attach pty", a.p50, a.p90, a.p99,
           a.max, a.samples, attachOk ? "" : "  (echo lost)");
    return directOk && attachOk ? 0 : 1;
}

// ---------------------------------------------------------------- main

static void Usage() {
    fprintf(stderr,
            "usage: kbench --root DIR --kestrun PATH [--kestrun-exe PATH --wine-run PATH --wine-dir DIR]\n"
            "              [--json FILE] [--only TEXT] [--quick] [--baseline PATH]\n"
            "       kbench --kestrun PATH --attach PATH [--quick]   (round trip through kestrun-attach)\n");
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--root") opt.root = next();
        else if (a == "--kestrun") opt.kestrun = next();
        else if (a == "--kestrun-exe") opt.kestrunExe = next();
        else if (a == "--wine-run") opt.wineRun = next();
        else if (a == "--wine-dir") opt.wineDir = next();
        else if (a == "--socat") opt.socat = next();
        else if (a == "--ser2net") opt.ser2net = next();
        else if (a == "--json") opt.jsonOut = next();
        else if (a == "--only") opt.only = next();
        else if (a == "--attach") opt.attach = next();
        else if (a == "--baseline") opt.baseline = next();
        else if (a == "--quick") {
            opt.latencySamples = 300;
            opt.transferBytes = 1u << 20;
            opt.transferRounds = 1;
            opt.pairsSec = 2;
            opt.idleSec = 2;
        } else {
            Usage();
            return 2;
        }
    }
    if (opt.kestrun.empty()) {
        Usage();
        return 2;
    }
    if (!opt.attach.empty()) return RunAttachLatency();
    bool wine = !opt.kestrunExe.empty() && !opt.wineRun.empty() && !opt.wineDir.empty();

    std::vector<Bridge> bridges;
    // The bridge added, to set what the arguments do not; null when --only
    // leaves it out. Good only until the next add.
    auto add = [&](const std::string& id, const std::string& label, Kind kind, bool w, bool low,
                   bool tuned) -> Bridge* {
        if (!opt.only.empty() && id.find(opt.only) == std::string::npos) return nullptr;
        Bridge b;
        b.id = id, b.label = label, b.kind = kind, b.wine = w, b.lowLatency = low, b.tuned = tuned;
        bridges.push_back(std::move(b));
        return &bridges.back();
    };
    add("socat", "socat (nodelay, raw)", kSocat, false, false, false);
    add("ser2net", "ser2net 4 (defaults)", kSer2net, false, false, false);
    add("ser2net_tuned", "ser2net 4 (chardelay off, nodelay)", kSer2net, false, false, true);
    add("kestrun_default", "Kestrun (time-outs 10/50/0)", kKestrun, false, false, false);
    add("kestrun_lowlat", "Kestrun (time-outs -1/50/-1)", kKestrun, false, true, false);
    if (!opt.baseline.empty()) {
        if (Bridge* b = add("baseline_lowlat", "Kestrun baseline build (-1/50/-1)", kKestrun, false, true, false))
            b->program = opt.baseline;
    }
    if (Bridge* b = add("kestrun_rfc2217", "Kestrun RFC 2217 listener", kKestrun, false, false, false))
        b->rfc2217 = true;
    if (Bridge* b = add("socat_again", "socat again (the same bridge)", kSocat, false, false, false)) b->twin = true;
    if (wine) {
        add("wine_kestrun_default", "Wine: Kestrun.exe (10/50/0)", kKestrun, true, false, false);
        add("wine_kestrun_lowlat", "Wine: Kestrun.exe (-1/50/-1)", kKestrun, true, true, false);
    }

    std::vector<std::pair<std::string, std::string>> machine = {
        {"date", CommandLine("date -u '+%Y-%m-%d %H:%M UTC'")},
        {"cpu", CommandLine("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'")},
        {"nproc", CommandLine("nproc")},
        {"kernel", CommandLine("uname -r")},
        {"socat", CommandLine(opt.socat + " -V | grep -m1 'socat version'")},
        {"ser2net", CommandLine(opt.ser2net + " -v")},
        {"wine", wine ? CommandLine("wine --version 2>/dev/null | grep '^wine'") : "not run"},
        {"kestrun_commit", CommandLine("git -C '" + opt.root + "' rev-parse --short HEAD")},
    };
    std::string machineLine = "Machine: " + machine[1].second + ", " + machine[2].second + " cores, Linux " +
                              machine[3].second + "; " + machine[4].second + "; " + machine[5].second +
                              (wine ? "; " + machine[6].second : "") + "; Kestrun " + machine[7].second + ", " +
                              machine[0].second;

    // Native bridges side by side; each Wine program alone (one per prefix).
    std::vector<Result> results(bridges.size());
    std::vector<Bridge*> native;
    std::vector<Result*> nativeResults;
    for (size_t i = 0; i < bridges.size(); i++)
        if (!bridges[i].wine) native.push_back(&bridges[i]), nativeResults.push_back(&results[i]);
    if (!native.empty()) RunGroup(native, nativeResults);
    bool wineTried = false, wineReady = false;
    for (size_t i = 0; i < bridges.size(); i++) {
        if (!bridges[i].wine) continue;
        if (!wineTried) {
            Say("== preparing Wine (prefix %s)\n", WinePrefix().c_str());
            wineTried = true;
            wineReady = RunWineRun("--setup") == 0;
        }
        if (!wineReady) {
            results[i].error = "Wine set-up failed";
            continue;
        }
        RunGroup({&bridges[i]}, {&results[i]});
    }
    if (wineTried) RunWineRun("--cleanup");

    std::string report = Report(bridges, results, machineLine);
    std::string targetsJson;
    report += Targets(bridges, results, &targetsJson);
    printf("%s", report.c_str());
    if (!opt.jsonOut.empty()) {
        kt::WriteFile(opt.jsonOut, Json(bridges, results, machine, targetsJson));
        printf("\nJSON: %s\n", opt.jsonOut.c_str());
    }
    return 0;
}

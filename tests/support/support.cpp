// End-to-end test and benchmark support (Linux): processes, sockets, files.
#include "support/support.h"
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <thread>

namespace kt {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/kestrun-e2e-XXXXXX";
    path = mkdtemp(tmpl);
}

TempDir::~TempDir() {
    if (getenv("KESTRUN_KEEP")) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// ---- Setup ----

Setup::Setup() {
    DefaultSettingsImage(image);
    Int(kOffTcpEnabled, 1).Int(kOffUdpEnabled, 1);
    Text(kOffLogPath, 101, "k.log");
}

Setup& Setup::Int(size_t offset, int32_t value) {
    PutLe32(image + offset, value);
    return *this;
}

Setup& Setup::Text(size_t offset, size_t width, const std::string& text) {
    memset(image + offset, 0, width);
    memcpy(image + offset, text.data(), std::min(text.size(), width));
    return *this;
}

Setup& Setup::Byte(size_t offset, uint8_t value) {
    image[offset] = value;
    return *this;
}

void Setup::Write(const std::string& dir) const {
    WriteFile(dir + "/setup.dat", Bytes((const char*)image, kSettingsSize));
}

// ---- Program ----

bool IsWine() {
    const char* w = getenv("KESTRUN_WINE");
    return w && *w;
}

// The lowest port the kernel hands out as the local end of a connection: a
// port above it, free when chosen, may be taken by any test's client before
// the program binds it.
static int EphemeralLow() {
    int low = 32768, high = 60999;
    FILE* f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
    if (f) {
        if (fscanf(f, "%d %d", &low, &high) != 2) low = 32768;
        fclose(f);
    }
    return low > 12000 ? low : 32768;
}

int FreePort() {
    static std::mt19937 rng((unsigned)getpid() ^ (unsigned)NowMs());
    static const int low = 10000, span = EphemeralLow() - low;
    for (int tries = 0; tries < 200; tries++) {
        int port = low + (int)(rng() % (unsigned)span);
        bool free = true;
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            int s = socket(AF_INET, type, 0);
            struct sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_port = htons((uint16_t)port);
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            if (bind(s, (struct sockaddr*)&a, sizeof a) != 0) free = false;
            close(s);
        }
        if (free) return port;
    }
    return 0;
}

const char* SanitizerReport(const Bytes& err) {
    for (const char* mark : {"AddressSanitizer", "ThreadSanitizer", "runtime error:", "LeakSanitizer"})
        if (err.find(mark) != std::string::npos) return mark;
    return nullptr;
}

Program::~Program() {
    Stop(3000);
    // A sanitizer report from the program fails the test that ran it.
    Bytes err = ReadFile(dir / "stderr.txt");
    if (SanitizerReport(err)) ADD_FAILURE() << "program stderr:\n" << err;
}

// Whether a NUL-separated list (a /proc environ file) holds entry.
static bool ListHolds(const Bytes& list, const std::string& entry) {
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find('\0', at);
        if (end == std::string::npos) end = list.size();
        if (list.compare(at, end - at, entry) == 0) return true;
        at = end + 1;
    }
    return false;
}

bool ProcessRuns(const std::string& pattern, bool kill, const std::string& envEntry) {
    DIR* d = opendir("/proc");
    if (!d) return false;
    const pid_t self = getpid();
    bool found = false;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid == self) continue;
        Bytes cmd = ReadFile(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmd.find(pattern) == std::string::npos) continue;
        if (!envEntry.empty() && !ListHolds(ReadFile(std::string("/proc/") + e->d_name + "/environ"), envEntry))
            continue;
        found = true;
        if (!kill) break;
        ::kill(pid, SIGKILL);
    }
    closedir(d);
    return found;
}

// CPU seconds (user + system) of each thread of pid, by thread id.
static std::map<std::string, double> ThreadCpu(pid_t pid) {
    std::map<std::string, double> cpu;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return cpu;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        Bytes stat = ReadFile(tasks + "/" + e->d_name + "/stat");
        size_t at = stat.rfind(')');
        if (at == std::string::npos || at + 2 >= stat.size()) continue;
        unsigned long utime = 0, stime = 0;
        // After the name: the state, then 10 numbers before utime and stime.
        if (sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                   &stime) == 2)
            cpu[e->d_name] = (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
    }
    closedir(d);
    return cpu;
}

double BusiestThreadCpu(pid_t pid, int ms) {
    std::map<std::string, double> before = ThreadCpu(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));  // the span measured
    double most = 0;
    for (const auto& t : ThreadCpu(pid)) {
        auto was = before.find(t.first);
        double used = t.second - (was == before.end() ? 0.0 : was->second);
        if (used > most) most = used;
    }
    return most;
}

// Under Wine the program runs in a child of the launcher. A new instance
// started while an earlier one is still dying sees its window and refuses to
// run, so starts and stops wait until no process of the program is left.
static void WaitNoWineProgram() {
    const char* bin = getenv("KESTRUN_BIN");
    if (IsWine() && bin) WaitUntil([&] { return !ProcessRuns(bin); }, 15000);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::vector<std::string>& env) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(127);
    // The caller may block signals it takes in a thread of its own; the
    // program gets its own.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int o = open("stdout.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    int e = open("stderr.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
    int n = open("/dev/null", O_RDONLY);
    dup2(n, 0), dup2(o, 1), dup2(e, 2);
    for (auto& kv : env) putenv(strdup(kv.c_str()));
    setpgid(0, 0);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back((char*)a.c_str());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

int WaitChild(pid_t pid, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno == ECHILD) return 0;
        if (NowMs() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int StopChild(pid_t pid, bool term, int timeoutMs, bool* killed) {
    if (killed) *killed = false;
    if (term) kill(pid, SIGTERM);
    int r = WaitChild(pid, timeoutMs);
    if (r >= 0) return r;
    if (killed) *killed = true;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    return WaitChild(pid, 5000);
}

void Program::Start() {
    const char* bin = getenv("KESTRUN_BIN");
    if (!bin) bin = "kestrun";
    if (waitForOthers) WaitNoWineProgram();
    std::vector<std::string> argv = {bin};
    if (IsWine()) argv.insert(argv.begin(), getenv("KESTRUN_WINE"));
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> all = {"XDG_RUNTIME_DIR=" + dir.path};
    all.insert(all.end(), env.begin(), env.end());
    pid = Spawn(argv, dir.path, all);
}

void Program::MapCom(int n, const std::string& device) {
    if (IsWine()) {
        std::string cmd = std::string(getenv("KESTRUN_WINE")) + " --map-com " + std::to_string(n) +
                          " " + device;
        if (system(cmd.c_str()) != 0) fprintf(stderr, "map-com failed\n");
    } else if (!LinkComPort(dir.path, n, device)) {
        perror("symlink");
    }
}

int Program::Wait(int timeoutMs) {
    if (pid <= 0) return 0;
    int r = WaitChild(pid, timeoutMs);
    if (r >= 0) pid = -1;
    return r;
}

bool Program::Running() {
    return pid > 0 && Wait(0) < 0;
}

void Program::Signal(int sig) {
    if (pid > 0) kill(pid, sig);
}

int Program::Stop(int timeoutMs) {
    if (pid <= 0) return 0;
    bool killed = false;
    int r = StopChild(pid, !IsWine(), IsWine() ? 0 : timeoutMs, &killed);
    if (r >= 0) pid = -1;
    if (killed) WaitNoWineProgram();
    return r;
}

Bytes Program::Log() const {
    return ReadFile(dir / "k.log");
}

bool Program::WaitLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

int Program::CountLog(const std::string& text) const {
    Bytes log = Log();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) count++;
    return count;
}

Bytes Program::Stdout() const {
    return ReadFile(dir / "stdout.txt");
}

// ---- Sockets ----

static struct sockaddr_in Loopback(int port) {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

TcpClient::TcpClient(int port, int timeoutMs) {
    Connect(port, timeoutMs);
}

TcpClient::~TcpClient() {
    Close();
}

int ConnectTcp(int port, int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    for (int attempt = 0; attempt < 100000; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = Loopback(port);
        if (connect(fd, (struct sockaddr*)&a, sizeof a) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        if (NowMs() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int ConnectTcpFrom(const char* source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    struct sockaddr_in from = Loopback(0), to = Loopback(port);
    inet_pton(AF_INET, source, &from.sin_addr);
    if (bind(fd, (struct sockaddr*)&from, sizeof from) != 0 ||
        connect(fd, (struct sockaddr*)&to, sizeof to) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int ConnectSlowReader(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    // Set before connecting: the window offered at the handshake follows it.
    int small = 4096, one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in a = Loopback(port);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool TcpClient::Connect(int port, int timeoutMs) {
    Close();
    fd = ConnectTcp(port, timeoutMs);
    return fd >= 0;
}

void TcpClient::Send(const Bytes& bytes) {
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += (size_t)n;
    }
}

Bytes TcpClient::Read(size_t n, int timeoutMs) {
    return ReadFd(fd, n, timeoutMs);
}

Bytes TcpClient::Drain(int quietMs) {
    return DrainFd(fd, quietMs);
}

bool TcpClient::ClosedByPeer(int timeoutMs) {
    int64_t end = NowMs() + timeoutMs;
    char buf[1024];
    while (NowMs() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
    }
    return false;
}

void TcpClient::Close() {
    if (fd >= 0) close(fd);
    fd = -1;
}

UdpClient::UdpClient() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = Loopback(0);
    bind(fd, (struct sockaddr*)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr*)&a, &len);
    localPort = ntohs(a.sin_port);
}

UdpClient::~UdpClient() {
    if (fd >= 0) close(fd);
}

void UdpClient::SendTo(int port, const Bytes& bytes) {
    struct sockaddr_in a = Loopback(port);
    sendto(fd, bytes.data(), bytes.size(), 0, (struct sockaddr*)&a, sizeof a);
}

Bytes UdpClient::Recv(int timeoutMs) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return Bytes();
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? Bytes(buf, (size_t)n) : Bytes();
}

bool WaitListening(int port, int timeoutMs) {
    return WaitUntil(
        [&] {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in a = Loopback(port);
            bool ok = connect(s, (struct sockaddr*)&a, sizeof a) == 0;
            close(s);
            return ok;
        },
        timeoutMs);
}

int Ask(TcpClient& c, const std::string& line, int timeoutMs) {
    c.Send(Esc(line));
    Bytes r = c.Read(1, timeoutMs);
    return r.size() == 1 ? (uint8_t)r[0] : -1;
}

bool OpenWhenReady(TcpClient& c, const std::string& port, int timeoutMs) {
    return WaitUntil(
        [&] {
            c.Send(Esc(port));
            return c.Read(1, 1000) == Bytes(1, '\0');
        },
        timeoutMs);
}

Setup ControlSetup(const ControlPorts& p) {
    Setup s;
    s.Int(kOffTcpPort, p.tcp).Int(kOffUdpPort, p.udp);
    return s;
}

void StartServing(Program& prog, const Setup& setup, const ControlPorts& p) {
    setup.Write(prog.dir.path);
    prog.Start();
    ASSERT_TRUE(WaitListening(p.tcp, 30000)) << "TCP control port never listened";
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Ready", 15000)) << "UDP control port never bound";
}

void EndProgram(Program& prog, int tcpPort) {
    if (IsWine()) {
        TcpClient k(tcpPort);
        k.Send(Esc("KILL"));
        prog.Wait(15000);
    }
    prog.Stop(15000);
}

std::vector<std::unique_ptr<TcpClient>> ConnectEach(int port, int n, const Bytes& bytes) {
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < n; i++) {
        clients.push_back(std::make_unique<TcpClient>(port));
        clients.back()->Send(bytes);
    }
    return clients;
}

}  // namespace kt

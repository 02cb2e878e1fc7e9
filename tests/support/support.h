// End-to-end test and benchmark support (POSIX): the real program started in
// a temporary working folder (natively or under Wine), child processes,
// pseudo-terminals as devices (support/pty.h), loopback TCP/UDP clients,
// setup.dat images and bounded polling.
#pragma once
#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "base/settings.h"
#include "support/pty.h"

namespace kt {

// Polls cond every 5 ms until it holds or timeoutMs has passed.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

// A fresh folder under /tmp, removed by the destructor.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);

// setup.dat images built from the defaults.
struct Setup {
    uint8_t image[kSettingsSize];
    Setup();  // defaults, both servers on, logPath "k.log"
    Setup& Int(size_t offset, int32_t value);
    Setup& Text(size_t offset, size_t width, const std::string& text);
    Setup& Byte(size_t offset, uint8_t value);
    void Write(const std::string& dir) const;
};

bool IsWine();
// A TCP/UDP port on 127.0.0.1 that nothing listens on right now.
int FreePort();

// Starts argv in dir, in its own process group, with stdin from /dev/null,
// stdout and stderr appended to dir/stdout.txt and dir/stderr.txt, and the
// extra NAME=value entries of env; the child's pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::vector<std::string>& env);
// Waits up to timeoutMs (one look at least) for a child to end: its exit
// status (128 + signal when killed), 0 when there is no such child left,
// -1 when it still runs.
int WaitChild(pid_t pid, int timeoutMs);
// SIGTERM (when term) and up to timeoutMs for the child to end, then SIGKILL
// to its process group and up to 5 s more; *killed tells whether it took
// that. The exit status, or -1 when even that did not end it.
int StopChild(pid_t pid, bool term, int timeoutMs, bool* killed = nullptr);

// Whether a process other than this one runs whose command line holds
// pattern and, when envEntry is given, whose environment holds that
// NAME=value entry (a Wine prefix, say: the processes of this run only);
// with kill, every such process gets SIGKILL.
bool ProcessRuns(const std::string& pattern, bool kill = false, const std::string& envEntry = "");

// The most CPU seconds any one thread of process pid uses over the next ms
// milliseconds. A thread that spins shows as most of ms however many other
// threads (a sanitizer's, the test's own) the process has.
double BusiestThreadCpu(pid_t pid, int ms);

// The program under test in its working folder.
struct Program {
    TempDir dir;
    pid_t pid = -1;
    std::vector<std::string> env;   // extra NAME=value entries
    std::vector<std::string> args;  // command-line arguments
    // Under Wine, Start first waits until no instance of the program is
    // left; a test that starts a second instance beside the first clears it.
    bool waitForOthers = true;
    Program() = default;
    ~Program();
    void Start();
    // Maps COMn to a device (ports/COMn natively, a Wine COM port under Wine).
    void MapCom(int n, const std::string& device);
    // SIGTERM (natively) or the KILL command is up to the test; Stop kills
    // what is left, waiting at most timeoutMs for a clean exit first.
    int Stop(int timeoutMs = 5000);
    // Sends a signal (natively only).
    void Signal(int sig);
    // Waits for the process to end; its exit status or -1 when still running.
    int Wait(int timeoutMs);
    bool Running();
    Bytes Log() const;  // the communication log k.log
    bool WaitLog(const std::string& text, int timeoutMs) const;
    int CountLog(const std::string& text) const;
    Bytes Stdout() const;
    std::string Path(const std::string& name) const { return dir / name; }
};

// A TCP connection to 127.0.0.1:port with Nagle off, retried until
// timeoutMs; the descriptor or -1.
int ConnectTcp(int port, int timeoutMs);
// A TCP connection to 127.0.0.1:port from the loopback address source, with
// Nagle off; the descriptor or -1.
int ConnectTcpFrom(const char* source, int port);
// A client that reads slowly or not at all: a TCP connection to
// 127.0.0.1:port with a 4 KB receive window from the handshake on, Nagle off,
// non-blocking; the descriptor or -1.
int ConnectSlowReader(int port);

struct TcpClient {
    int fd = -1;
    TcpClient() = default;
    explicit TcpClient(int port, int timeoutMs = 10000);
    ~TcpClient();
    bool Connect(int port, int timeoutMs);
    void Send(const Bytes& bytes);
    Bytes Read(size_t n, int timeoutMs);
    Bytes Drain(int quietMs);
    // True once the peer has closed the connection (within timeoutMs).
    bool ClosedByPeer(int timeoutMs);
    void Close();
};

struct UdpClient {
    int fd = -1;
    int localPort = 0;
    UdpClient();
    ~UdpClient();
    void SendTo(int port, const Bytes& bytes);
    // One datagram, or empty after timeoutMs.
    Bytes Recv(int timeoutMs);
};

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool WaitListening(int port, int timeoutMs);

inline Bytes Esc(const std::string& line) { return "\x1b" + line + "\r"; }

// The control ports of a program under test, free when chosen.
struct ControlPorts {
    int tcp = FreePort();
    int udp = FreePort();
};
// setup.dat with both control servers on these ports, the rest the defaults.
Setup ControlSetup(const ControlPorts& p);
// Writes setup into prog's folder, starts it and waits until both control
// ports serve.
void StartServing(Program& prog, const Setup& setup, const ControlPorts& p);
// Ends the program as a user would: SIGTERM natively, KILL under Wine.
void EndProgram(Program& prog, int tcpPort);
// n TCP connections to port, each of which has sent bytes (say a line
// with no CR) and nothing else.
std::vector<std::unique_ptr<TcpClient>> ConnectEach(int port, int n, const Bytes& bytes);

// Sends ESC port CR until the bridge answers 0 (a modem or a device may be
// linked a moment later); false when it has not within timeoutMs.
bool OpenWhenReady(TcpClient& c, const std::string& port, int timeoutMs);
// The first sanitizer marker (ASan, TSan, UBSan, LSan) in a program's
// stderr, or null when it holds no report.
const char* SanitizerReport(const Bytes& err);
// Sends ESC line CR and reads the one-byte reply; -1 when none came.
int Ask(TcpClient& c, const std::string& line, int timeoutMs);

}  // namespace kt

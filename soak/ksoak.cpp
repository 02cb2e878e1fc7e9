// Soak run: the real daemon for a given time against pseudo-terminal
// devices, with every kind of traffic it serves, on loopback only (soak/run.sh
// starts it in a network namespace of its own).
//
// The serial port has one owner at a time, so the clients take turns for it
// (a token in this program), as a shop's programs do through the busy reply:
//   - five TCP clients connect, open a port (the pty COM3 or a modem's virtual
//     port COM5/COM6), stream random data both ways, close and disconnect, in
//     a loop; while another holds the port they connect, ask TEST, check that
//     the one reply byte and nothing else comes, and disconnect;
//   - a UDP client streams to COM3 in its turn;
//   - two modems stay connected on 1339 from 127.0.0.2 and 127.0.0.3, bound
//     to COM5 and COM6;
//   - phases: prints are buffered (a SIGHUP reload switches bufferPrints on),
//     clients spool receipts to COM4 and the dispatcher replays them to the
//     printer pty; then the reload switches it off again;
//   - every minute a client opens COM3 and stops reading while the device
//     sends, and must be cut;
//   - every two and a half minutes COM3's pty is closed mid-transfer and a new
//     one is linked at ports/COM3; the client closes, reopens and streams.
// Checks: every stream of a well-behaved session arrives complete and in
// order; every spooled receipt is printed exactly once and whole; resident
// memory, descriptors and threads after the run are within a margin of their
// values after warm-up (both taken with no client connected and the port
// closed); no sanitizer report. Last line:
//   soak: S s, B bytes, J jobs, lost L, reordered R, rss A->B kB, fds A->B, threads A->B
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "support/support.h"

using kt::Bytes;
using kt::NowMs;

namespace {

// ---------------------------------------------------------------- results

std::mutex resultLock;
uint64_t verifiedBytes = 0;
uint64_t lostBytes = 0;
uint64_t reorderedBytes = 0;
std::vector<std::string> problems;

void Problem(const std::string& text) {
    std::lock_guard<std::mutex> guard(resultLock);
    if (problems.size() < 50) problems.push_back(text);
    fprintf(stderr, "soak: %s\n", text.c_str());
}

// A stream checked against what was sent: missing bytes are lost; bytes that
// differ from what should be at their place count as reordered.
void Verify(const char* what, const Bytes& expected, const Bytes& got) {
    uint64_t lost = 0, reordered = 0;
    size_t n = std::min(expected.size(), got.size());
    for (size_t i = 0; i < n; i++)
        if (expected[i] != got[i]) reordered++;
    if (got.size() < expected.size()) lost = expected.size() - got.size();
    if (got.size() > expected.size()) reordered += got.size() - expected.size();
    std::lock_guard<std::mutex> guard(resultLock);
    verifiedBytes += n;
    lostBytes += lost;
    reorderedBytes += reordered;
    if (lost || reordered) {
        char line[200];
        snprintf(line, sizeof line, "%s: sent %zu, got %zu, %llu lost, %llu out of place", what,
                 expected.size(), got.size(), (unsigned long long)lost, (unsigned long long)reordered);
        if (problems.size() < 50) problems.push_back(line);
        fprintf(stderr, "soak: %s\n", line);
    }
}

// ---------------------------------------------------------------- helpers

thread_local std::mt19937 rng(std::random_device{}());

int Random(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
}

Bytes RandomBytes(size_t n) {
    Bytes b(n, '\0');
    for (size_t i = 0; i < n; i++) b[i] = (char)(rng() & 0xFF);
    return b;
}

// Client data as the protocol wants it: every ESC doubled.
Bytes Escaped(const Bytes& data) {
    Bytes out;
    out.reserve(data.size() + data.size() / 128);
    for (char c : data) {
        out += c;
        if (c == '\x1b') out += c;
    }
    return out;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Moves `out` into fd and reads from fd until `want` bytes came, both at
// once, until the deadline; what was read lands in *in. Each side may be
// -1 (nothing to send, nothing to read).
void Exchange(int fd, const Bytes& out, size_t want, Bytes* in, int64_t deadline,
              const std::atomic<bool>* abandon = nullptr) {
    size_t sent = 0;
    char buffer[8192];
    while (NowMs() < deadline && (sent < out.size() || in->size() < want)) {
        if (abandon && abandon->load()) return;
        struct pollfd p = {fd, 0, 0};
        if (in->size() < want) p.events |= POLLIN;
        if (sent < out.size()) p.events |= POLLOUT;
        if (poll(&p, 1, 50) <= 0) continue;
        if (p.revents & POLLIN) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) in->append(buffer, (size_t)n);
        }
        if (p.revents & POLLOUT) {
            size_t chunk = std::min<size_t>(out.size() - sent, (size_t)Random(1, 4096));
            ssize_t n = send(fd, out.data() + sent, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == ENOTSOCK) n = write(fd, out.data() + sent, chunk);
            if (n > 0) sent += (size_t)n;
        }
        if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) {
            fprintf(stderr, "soak: exchange ended by revents %x\n", p.revents);
            return;
        }
    }
}

// ---------------------------------------------------------------- the daemon

struct Sample {
    long rssKb = 0;
    int fds = 0;
    int threads = 0;
};

Sample TakeSample(pid_t pid) {
    Sample s;
    Bytes status = kt::ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    if (at != std::string::npos) s.rssKb = atol(status.c_str() + at + 6);
    at = status.find("Threads:");
    if (at != std::string::npos) s.threads = atoi(status.c_str() + at + 8);
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') s.fds++;
        closedir(d);
    }
    return s;
}

// ---------------------------------------------------------------- the rig

const int kClients = 5;

struct Rig {
    kt::Program program;
    int tcpPort = 0, udpPort = 0;
    std::unique_ptr<kt::Pty> device;   // COM3, replaced when unplugged
    std::unique_ptr<kt::Pty> printer;  // COM4
    int modem[2] = {-1, -1};           // COM5, COM6
    std::timed_mutex token;            // the port's one owner
    std::atomic<bool> printing{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> inheriting{false};  // a cut owner's cell may be taken over
    std::atomic<int> idleClients{0};

    // Receipts: spooled ids and how often each was printed.
    std::mutex jobLock;
    std::map<int, Bytes> spooled;
    std::map<int, int> printed;
    int nextJob = 0;
    Bytes printerStream;
    std::atomic<int> jobsSpooled{0}, jobsPrinted{0};

    void WriteSetup() {
        kt::Setup s;
        s.Int(kOffTcpPort, tcpPort).Int(kOffUdpPort, udpPort);
        s.Int(kOffAutoDisconnectSeconds, 30);
        s.Int(kOffBufferPrints, printing ? 1 : 0);
        s.Text(kOffSpoolDirectory, 200, "SERVBUFF");
        s.Int(kOffVirtualPortsEnabled, 1);
        s.Text(kOffVirtualPeer, 40, "127.0.0.2").Text(kOffVirtualPortName, 40, "COM5");
        s.Text(kOffVirtualPeer + 40, 40, "127.0.0.3").Text(kOffVirtualPortName + 40, 40, "COM6");
        s.Write(program.dir.path);
    }

    // A reload that switches print buffering; returns once the program has
    // read the file (its log line).
    bool Reload(bool print) {
        printing = print;
        kt::WriteFile(program.Path("k.log"), "");
        WriteSetup();
        program.Signal(SIGHUP);
        return program.WaitLog("Wczytano ponownie setup.dat", 10000);
    }

    bool ConnectModem(int i) {
        if (modem[i] >= 0) return true;
        modem[i] = kt::ConnectTcpFrom(i == 0 ? "127.0.0.2" : "127.0.0.3", 1339);
        if (modem[i] < 0) return false;
        SetNonBlocking(modem[i]);
        return true;
    }
};

Rig* rig = nullptr;

// Sends one command line and reads its one-byte reply; -1 when none came.
int Ask(kt::TcpClient& c, const std::string& line) {
    return kt::Ask(c, line, 10000);
}

// Closes the port and waits for the answer to a TEST after it, so the CLOSE
// has been taken before the turn passes: the bridge serves connections in
// parallel, and a CLOSE still on its way would otherwise close the port the
// next client has just opened (and its data would go nowhere).
void ClosePort(kt::TcpClient& c) {
    c.Send(kt::Esc("CLOSE"));
    if (Ask(c, "TEST") < 0) Problem("no reply to TEST after CLOSE");
}

// Opens a port for a TCP client: a port left open by a client that is gone
// (cut, unplugged) is closed first, as the next user of a shop's port would.
bool OpenPort(kt::TcpClient& c, const std::string& name) {
    int r = Ask(c, name);
    if (r == 1) {
        c.Send(kt::Esc("CLOSE"));
        r = Ask(c, name);
    }
    return r == 0;
}

// The device's side of a session on the pty or a modem socket: sends y and
// collects what the client sent.
struct DeviceSide {
    std::thread thread;
    Bytes got;
    void Start(int fd, Bytes y, size_t want, int64_t deadline, const std::atomic<bool>* abandon) {
        thread = std::thread([this, fd, y, want, deadline, abandon] { Exchange(fd, y, want, &got, deadline, abandon); });
    }
    void Join() {
        if (thread.joinable()) thread.join();
    }
};

// The pty's input queue holds what a device wrote that the program never
// read (a session that was cut); a new session starts without it.
void FlushDevice(kt::Pty& pty) {
    tcflush(pty.slaveKeep, TCIFLUSH);
    pty.Drain(20);
}

// A well-behaved session: open, stream both ways, close.
void StreamSession(int who, const std::string& port) {
    Rig& r = *rig;
    const bool modem = port != "COM3";
    const int i = port == "COM5" ? 0 : 1;
    if (!modem)
        FlushDevice(*r.device);
    else if (!r.ConnectModem(i))
        return Problem("modem " + std::to_string(i) + " cannot connect");
    kt::TcpClient c(r.tcpPort);
    if (c.fd < 0) return Problem("client cannot connect");
    bool opened = OpenPort(c, port);
    if (!opened && modem) {
        // A modem whose link is gone is connected again.
        close(r.modem[i]);
        r.modem[i] = -1;
        r.ConnectModem(i);
        SleepMs(200);
        opened = OpenPort(c, port);
    }
    if (!opened) return Problem("client " + std::to_string(who) + ": " + port + " does not open");
    const int fd = modem ? r.modem[i] : r.device->master;
    Bytes x = RandomBytes((size_t)Random(1, 64 * 1024));
    Bytes y = RandomBytes((size_t)Random(1, 64 * 1024));
    int64_t deadline = NowMs() + 20000;
    DeviceSide device;
    device.Start(fd, y, x.size(), deadline, nullptr);
    Bytes got;
    int64_t began = NowMs();
    Exchange(c.fd, Escaped(x), y.size(), &got, deadline);
    int64_t clientDone = NowMs();
    device.Join();
    if (device.got.size() != x.size())
        fprintf(stderr, "soak: %s session: client done after %lld ms, device after %lld ms\n", port.c_str(),
                (long long)(clientDone - began), (long long)(NowMs() - began));
    ClosePort(c);
    Verify((port + " client to device").c_str(), x, device.got);
    Verify((port + " device to client").c_str(), y, got);
}

// The UDP client's session on COM3: datagrams of at most 1023 bytes, paced
// by what the device has taken, so that no datagram is dropped for want of
// room in a socket.
void UdpSession(kt::UdpClient& u) {
    Rig& r = *rig;
    FlushDevice(*r.device);
    while (!u.Recv(100).empty()) {
    }  // device data meant for the last UDP sender while others streamed
    u.SendTo(r.udpPort, kt::Esc("COM3"));
    Bytes reply = u.Recv(10000);
    if (reply == Bytes(1, '\1')) {
        u.SendTo(r.udpPort, kt::Esc("CLOSE"));
        u.SendTo(r.udpPort, kt::Esc("COM3"));
        reply = u.Recv(10000);
    }
    if (reply != Bytes(1, '\0')) return Problem("UDP client: COM3 does not open");
    Bytes x = RandomBytes((size_t)Random(1, 32 * 1024));
    Bytes y = RandomBytes((size_t)Random(1, 32 * 1024));
    int64_t deadline = NowMs() + 60000;
    DeviceSide device;
    device.Start(r.device->master, y, x.size(), deadline, nullptr);
    Bytes got;
    size_t sent = 0;
    while (NowMs() < deadline && (sent < x.size() || got.size() < y.size())) {
        // At most 16 KB ahead of the device.
        if (sent < x.size() && sent < 16384 + device.got.size()) {
            size_t n = std::min<size_t>(x.size() - sent, 500);
            u.SendTo(r.udpPort, Escaped(x.substr(sent, n)));
            sent += n;
        }
        Bytes d = u.Recv(sent < x.size() ? 1 : 50);
        got += d;
    }
    device.Join();
    // The CLOSE is taken before the turn passes (see ClosePort): datagrams
    // are taken in order, so the TEST's answer comes after it.
    u.SendTo(r.udpPort, kt::Esc("CLOSE") + kt::Esc("TEST"));
    if (u.Recv(10000).empty()) Problem("UDP client: no reply to TEST after CLOSE");
    Verify("UDP client to device", x, device.got);
    Verify("device to UDP client", y, got);
}

// A receipt: id and length, the body, a trailer; the printer side parses the
// stream it gets back into receipts.
void PrintSession(int who) {
    Rig& r = *rig;
    int id;
    Bytes job;
    {
        std::lock_guard<std::mutex> guard(r.jobLock);
        id = r.nextJob++;
        Bytes body = RandomBytes((size_t)Random(1, 8192));
        char head[64];
        snprintf(head, sizeof head, "<JOB %08d %08zu>", id, body.size());
        job = head + body + "<END>";
        r.spooled[id] = job;
    }
    kt::TcpClient c(r.tcpPort);
    if (c.fd < 0) return Problem("client cannot connect");
    if (Ask(c, "COM4") != 0) return Problem("client " + std::to_string(who) + ": spool job not opened");
    c.Send(Escaped(job) + kt::Esc("CLOSE"));
    // The CLOSE has been taken once a TEST after it answers.
    if (Ask(c, "TEST") < 0) Problem("no reply to TEST after a receipt");
    r.jobsSpooled++;
}

// The printer: reads COM4 for the whole run and splits it into receipts.
const size_t kHead = 23;  // "<JOB nnnnnnnn llllllll>"
void PrinterLoop() {
    Rig& r = *rig;
    while (!r.stop) {
        Bytes more = kt::ReadFd(r.printer->master, 65536, 50);
        if (more.empty()) continue;
        std::lock_guard<std::mutex> guard(r.jobLock);
        r.printerStream += more;
        for (;;) {
            Bytes& s = r.printerStream;
            if (s.size() < kHead) break;
            int id = -1;
            size_t length = 0;
            if (s.compare(0, 5, "<JOB ") != 0 || sscanf(s.c_str() + 5, "%8d %8zu", &id, &length) != 2) {
                Problem("printer: a receipt does not start where the last one ended");
                s.clear();
                break;
            }
            size_t whole = kHead + length + 5;
            if (s.size() < whole) break;
            Bytes job = s.substr(0, whole);
            s.erase(0, whole);
            auto it = r.spooled.find(id);
            if (it == r.spooled.end()) {
                Problem("printer: a receipt that was never spooled");
                continue;
            }
            Verify("receipt", it->second, job);
            if (++r.printed[id] > 1) Problem("receipt " + std::to_string(id) + " printed twice");
            r.jobsPrinted++;
        }
    }
}

// One TCP client: its turn with the port, or a TEST while another has it.
void ClientLoop(int who) {
    Rig& r = *rig;
    while (!r.stop) {
        if (r.paused) {
            r.idleClients++;
            while (r.paused && !r.stop) SleepMs(20);
            r.idleClients--;
            continue;
        }
        if (r.token.try_lock_for(std::chrono::milliseconds(Random(0, 300)))) {
            if (r.paused || r.stop) {
                r.token.unlock();
                continue;
            }
            if (r.printing) {
                if (r.jobsSpooled - r.jobsPrinted < 4) PrintSession(who);
            } else {
                static const char* ports[] = {"COM3", "COM3", "COM5", "COM6"};
                StreamSession(who, ports[Random(0, 3)]);
            }
            r.token.unlock();
            SleepMs(Random(0, 100));
            continue;
        }
        kt::TcpClient c(r.tcpPort);
        if (c.fd < 0) {
            Problem("client cannot connect");
            continue;
        }
        int64_t asked = NowMs();
        c.Send(kt::Esc("TEST"));
        Bytes reply = c.Read(1, 10000);
        if (reply.size() != 1)
            Problem("client " + std::to_string(who) + ": no TEST reply within 10 s");
        else if (NowMs() - asked > 6000)
            Problem("client " + std::to_string(who) + ": TEST reply after 6 s");
        Bytes stray = kt::DrainFd(c.fd, 30, 200);
        // A client accepted into the cell of an owner that was cut inherits
        // the port's input until the port is closed: by design, not a stray.
        if (!stray.empty() && !r.inheriting)
            Problem("client " + std::to_string(who) + ": bytes it did not ask for");
        c.Close();
        SleepMs(Random(20, 200));
    }
}

void UdpLoop() {
    Rig& r = *rig;
    kt::UdpClient u;
    while (!r.stop) {
        if (r.paused || r.printing) {
            u.Recv(50);
            continue;
        }
        if (r.token.try_lock_for(std::chrono::milliseconds(500))) {
            if (!r.paused && !r.printing && !r.stop) UdpSession(u);
            r.token.unlock();
            for (int i = 0; i < 40 && !r.stop; i++) u.Recv(50);  // its turn about every few seconds
        }
    }
}

// A client that opens COM3 and stops reading while the device sends: the
// bridge must cut it within its send limit, and the port is then closed by
// the next user.
void StallSession() {
    Rig& r = *rig;
    FlushDevice(*r.device);
    // A small receive window from the start, so that little data is in
    // flight when the client stops reading.
    kt::TcpClient c;
    c.fd = kt::ConnectSlowReader(r.tcpPort);
    if (c.fd < 0 || !OpenPort(c, "COM3"))
        return Problem("stalling client: COM3 does not open");
    std::atomic<bool> enough{false};
    r.inheriting = true;
    DeviceSide device;
    device.Start(r.device->master, RandomBytes(32 << 20), 0, NowMs() + 30000, &enough);
    // Reads nothing for three times the bridge's send limit while the device
    // sends; the device then stops. A client the bridge has cut finds the
    // end of its connection behind the data still queued for it; one that
    // was kept would find no end.
    SleepMs(15000);
    enough = true;
    device.Join();
    bool cut = c.ClosedByPeer(15000);
    if (!cut) Problem("a client that stopped reading was not cut");
    c.Close();
    kt::TcpClient next(r.tcpPort);
    next.Send(kt::Esc("CLOSE"));
    Ask(next, "TEST");
    FlushDevice(*r.device);
    SleepMs(300);  // a TEST client that was handed the last bytes has read them
    r.inheriting = false;
}

// COM3's device is unplugged mid-transfer and a new one linked in its place;
// the client closes the port, opens it again and streams to the new device.
void UnplugSession() {
    Rig& r = *rig;
    FlushDevice(*r.device);
    kt::TcpClient c(r.tcpPort);
    if (c.fd < 0 || !OpenPort(c, "COM3")) return Problem("unplug: COM3 does not open");
    std::atomic<bool> unplugged{false};
    DeviceSide device;
    device.Start(r.device->master, RandomBytes(256 * 1024), 256 * 1024, NowMs() + 20000, &unplugged);
    Bytes ignored;
    std::thread client([&] { Exchange(c.fd, Escaped(RandomBytes(256 * 1024)), 256 * 1024, &ignored, NowMs() + 3000, &unplugged); });
    SleepMs(Random(100, 1000));
    unplugged = true;
    device.Join();
    client.join();
    r.device.reset(new kt::Pty());
    r.device->MapAs(3, r.program.dir.path);
    kt::DrainFd(c.fd, 100, 2000);
    c.Send(kt::Esc("CLOSE"));
    if (Ask(c, "COM3") != 0) return Problem("unplug: the new device does not open");
    Bytes x = RandomBytes(32 * 1024), y = RandomBytes(32 * 1024), got;
    int64_t deadline = NowMs() + 30000;
    DeviceSide fresh;
    fresh.Start(r.device->master, y, x.size(), deadline, nullptr);
    Exchange(c.fd, Escaped(x), y.size(), &got, deadline);
    fresh.Join();
    ClosePort(c);
    Verify("after replug, client to device", x, fresh.got);
    Verify("after replug, device to client", y, got);
}

// Holds every client off, waits until none is connected, and measures.
Sample Quiet(Rig& r) {
    r.paused = true;
    std::lock_guard<std::timed_mutex> hold(r.token);
    // Five TCP client threads, and the UDP one never counts itself.
    kt::WaitUntil([&] { return r.idleClients.load() >= kClients; }, 60000);
    SleepMs(1500);  // the servers free the cells of the last connections
    Sample s = TakeSample(r.program.pid);
    r.paused = false;
    return s;
}

// Waits until every spooled receipt has been printed (bounded).
bool PrintsDone(Rig& r, int timeoutMs) {
    return kt::WaitUntil([&] { return r.jobsPrinted.load() >= r.jobsSpooled.load(); }, timeoutMs);
}

// A soak stopped by Ctrl+C, SIGTERM or SIGHUP stops its program too (it runs
// in a process group of its own, so the terminal's signal misses it) and
// removes the program's folder with the pty links in it, unless KESTRUN_KEEP
// is set. The signals are blocked in every thread and taken here.
std::mutex daemonLock;  // held while the program starts and while main stops it
pid_t daemonPid = -1;

void StopOnSignal(sigset_t signals, std::string folder) {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) return;
    fprintf(stderr, "soak: stopped by signal %d\n", sig);
    {
        std::lock_guard<std::mutex> guard(daemonLock);
        // WaitChild answers -1 only for a child of ours that still runs.
        if (daemonPid > 0 && kt::WaitChild(daemonPid, 0) < 0 && kt::StopChild(daemonPid, true, 5000) < 0)
            fprintf(stderr, "soak: the program (pid %d) did not end\n", (int)daemonPid);
    }
    if (getenv("KESTRUN_KEEP")) {
        fprintf(stderr, "soak: kept %s\n", folder.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    _exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 600;
    if (seconds < 60) seconds = 60;
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, sig);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    Rig r;
    rig = &r;
    std::thread(StopOnSignal, stopSignals, r.program.dir.path).detach();
    r.tcpPort = kt::FreePort();
    r.udpPort = kt::FreePort();
    r.device.reset(new kt::Pty());
    r.printer.reset(new kt::Pty());
    if (!r.device->Ok() || !r.printer->Ok()) {
        fprintf(stderr, "soak: no pseudo-terminals\n");
        return 2;
    }
    r.device->MapAs(3, r.program.dir.path);
    r.printer->MapAs(4, r.program.dir.path);
    r.WriteSetup();
    fprintf(stderr, "soak: program in %s (KESTRUN_KEEP=1 keeps it)\n", r.program.dir.path.c_str());
    {
        std::lock_guard<std::mutex> guard(daemonLock);
        r.program.Start();
        daemonPid = r.program.pid;
    }
    if (!kt::WaitListening(r.tcpPort, 20000)) {
        fprintf(stderr, "soak: the program does not listen\n");
        return 2;
    }
    // The modems' server starts after the control ports, later still in a
    // sanitizer build.
    for (int i = 0; i < 2; i++)
        if (!kt::WaitUntil([&] { return r.ConnectModem(i); }, 20000)) Problem("modem cannot connect");

    std::thread printer(PrinterLoop);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; i++) clients.emplace_back(ClientLoop, i);
    std::thread udp(UdpLoop);

    int64_t start = NowMs(), end = start + (int64_t)seconds * 1000;
    // Phases: 40 s of streams, then 20 s of spooled receipts.
    const int kStreamMs = 40000, kPrintMs = 20000;
    int64_t nextStall = start + 30000, nextUnplug = start + 75000;
    Sample warm;
    bool warmTaken = false;
    int reloads = 0;
    while (NowMs() < end) {
        int64_t phaseEnd = std::min<int64_t>(NowMs() + kStreamMs, end);
        while (NowMs() < phaseEnd) {
            if (NowMs() >= nextStall) {
                std::lock_guard<std::timed_mutex> hold(r.token);
                StallSession();
                nextStall += 60000;
            }
            if (NowMs() >= nextUnplug) {
                std::lock_guard<std::timed_mutex> hold(r.token);
                UnplugSession();
                nextUnplug += 150000;
            }
            SleepMs(100);
            if (r.program.Wait(0) >= 0) break;
        }
        if (!r.program.Running()) break;
        if (!warmTaken) {
            warm = Quiet(r);
            warmTaken = true;
            fprintf(stderr, "soak: after warm-up rss %ld kB, fds %d, threads %d\n", warm.rssKb, warm.fds,
                    warm.threads);
        }
        if (NowMs() >= end) break;
        {
            std::lock_guard<std::timed_mutex> hold(r.token);
            if (!r.Reload(true)) Problem("reload (prints on) not seen in the log");
            reloads++;
        }
        SleepMs((int)std::min<int64_t>(kPrintMs, std::max<int64_t>(0, end - NowMs())));
        {
            std::lock_guard<std::timed_mutex> hold(r.token);
            r.printing = false;  // no new receipts; the queue empties first
            if (!PrintsDone(r, 60000)) Problem("receipts still unprinted after 60 s");
            if (!r.Reload(false)) Problem("reload (prints off) not seen in the log");
            reloads++;
        }
    }
    int64_t ran = NowMs() - start;

    Sample last = Quiet(r);
    r.stop = true;
    for (auto& t : clients) t.join();
    udp.join();
    if (!PrintsDone(r, 30000)) Problem("receipts never printed");
    printer.join();
    int printedOnce = 0;
    {
        std::lock_guard<std::mutex> guard(r.jobLock);
        for (auto& job : r.spooled) {
            int n = r.printed.count(job.first) ? r.printed[job.first] : 0;
            if (n == 0) {
                Problem("receipt " + std::to_string(job.first) + " never printed");
                lostBytes += job.second.size();
            }
            if (n == 1) printedOnce++;
        }
    }

    bool running = r.program.Running();
    if (!running) Problem("the program ended during the run");
    for (int i = 0; i < 2; i++)
        if (r.modem[i] >= 0) close(r.modem[i]);
    int status;
    {
        std::lock_guard<std::mutex> guard(daemonLock);
        status = r.program.Stop(10000);
        daemonPid = -1;
    }
    if (running && status != 0) Problem("the program's exit status " + std::to_string(status));
    Bytes err = kt::ReadFile(r.program.Path("stderr.txt"));
    if (const char* mark = kt::SanitizerReport(err)) Problem(std::string("sanitizer report: ") + mark);
    if (!err.empty() && getenv("SOAK_KEEP_STDERR"))
        kt::WriteFile(getenv("SOAK_KEEP_STDERR"), err);

    // Within a margin of the warm-up: a few descriptors and a thread for a
    // connection being freed, a tenth more memory (allocator caches).
    if (last.fds > warm.fds + 2) Problem("descriptors grew");
    if (last.threads > warm.threads + 1) Problem("threads grew");
    if (last.rssKb > warm.rssKb + std::max<long>(2048, warm.rssKb / 10)) Problem("resident memory grew");

    fprintf(stderr, "soak: %d reloads, %d problems\n", reloads, (int)problems.size());
    printf("soak: %lld s, %llu bytes, %d jobs, lost %llu, reordered %llu, rss %ld->%ld kB, fds %d->%d, threads %d->%d\n",
           (long long)(ran / 1000), (unsigned long long)verifiedBytes, printedOnce,
           (unsigned long long)lostBytes, (unsigned long long)reorderedBytes, warm.rssKb, last.rssKb, warm.fds,
           last.fds, warm.threads, last.threads);
    return problems.empty() ? 0 : 1;
}

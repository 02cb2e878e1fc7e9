// kestrun-attach: a bridge's serial port as a local pseudo-terminal on Linux.
//   kestrun-attach HOST[:PORT] COMn [--link PATH] [--baud N] [--data N]
//                  [--parity N|E|O|M|S] [--stop 1|2]
// Opens COMn on the bridge over its TCP control port and relays between the
// port and a pty that any serial program can open. Line changes made on the
// pty (speed, stop bits; data bits and parity where the pty keeps them) are
// carried to the open port with DCB=? and SETDCB. A dropped connection is
// reopened with backoff; SIGINT and SIGTERM close the port and end with 0.
//
// Only the termios2 interface is used for the pty (no <termios.h>): it holds
// any rate in bauds, and the kernel's header cannot share a file with libc's.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <string>
#include <vector>
#include "base/wire.h"

using Bytes = std::vector<uint8_t>;

// Bytes a program wrote to the pty while the port is not reachable wait here,
// and so do device bytes the program has not read yet; beyond this they are
// dropped.
static const size_t kHoldLimit = 64 * 1024;
// How often the pty's settings are looked at when nothing else wakes us.
static const int kLineCheckMs = 100;
// Before data goes out after this long without any, the port is checked: the
// bridge closes a port that has been idle for its auto-disconnect time.
static const int kIdleCheckMs = 5000;
static const int kReplyWaitMs = 10000;
static const int kAfterSetDcbMs = 200;
static const int kConnectWaitMs = 5000;
static const int kBackoffFirstMs = 200, kBackoffMaxMs = 3000;

struct LineSettings {
    uint32_t baud;
    int dataBits;
    char parity;  // N E O M S
    int stopBits;  // 1 or 2
};

struct Options {
    std::string host;
    std::string service = std::to_string((int)kDefaultTcpPort);
    int com = 0;
    std::string link;
    LineSettings line = {9600, 8, 'N', 1};
};

// ---- state of the one relay ----
static Options opt;
static int ptyMaster = -1;
static int ptySlave = -1;  // held open so the pty lives on between programs
static std::string ptyPath;
static int sock = -1;
static Bytes toPort;     // pty bytes not yet sent, as the program wrote them
static Bytes sendQueue;  // framed bytes (ESC doubled, commands) not yet sent
static Bytes toPty;      // device bytes not yet written to the pty
static size_t droppedToPort = 0, droppedToPty = 0;
static struct termios2 ptySeen;  // the pty's settings as last handled
static int64_t lastDataSentMs = 0;
static int wakePipe[2] = {-1, -1};
static volatile sig_atomic_t stopSignal = 0;

static int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "kestrun-attach: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
}

static void OnSignal(int sig) {
    stopSignal = sig;
    int saved = errno;
    if (write(wakePipe[1], "x", 1) < 0) {
    }
    errno = saved;
}

static uint32_t GetLe32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

// ---- the pty ----

static int ParityCode(char letter) {
    switch (letter) {
        case 'O': return 1;
        case 'E': return 2;
        case 'M': return 3;
        case 'S': return 4;
        default: return 0;
    }
}

static int DataBitsOf(const struct termios2& t) {
    switch (t.c_cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

static char ParityOf(const struct termios2& t) {
    if (!(t.c_cflag & PARENB)) return 'N';
    if (t.c_cflag & CMSPAR) return t.c_cflag & PARODD ? 'M' : 'S';
    return t.c_cflag & PARODD ? 'O' : 'E';
}

// A standard rate is set by its Bnnn code, which programs reading the pty
// through the ordinary termios calls understand; any other in bauds.
static void SetPtySpeed(struct termios2& t, uint32_t baud) {
    static const struct { uint32_t rate; tcflag_t code; } kCodes[] = {
        {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
        {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
        {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
        {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
        {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    tcflag_t code = BOTHER;
    for (const auto& c : kCodes)
        if (c.rate == baud) code = c.code;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code;
    t.c_ospeed = t.c_ispeed = baud;
}

// A raw pty showing the line settings the port is opened with; the slave is
// held open by this program, so the master never reads end-of-file while no
// other program has it open.
static bool OpenPty() {
    ptyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster < 0 || grantpt(ptyMaster) != 0 || unlockpt(ptyMaster) != 0) return false;
    const char* name = ptsname(ptyMaster);
    if (!name) return false;
    ptyPath = name;
    ptySlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlave < 0) return false;
    struct termios2 t;
    if (ioctl(ptySlave, TCGETS2, &t) != 0) return false;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (opt.line.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    SetPtySpeed(t, opt.line.baud);
    if (ioctl(ptySlave, TCSETS2, &t) != 0) return false;
    // What the pty holds now, whatever it forced (a Linux pty keeps 8 data
    // bits and no parity): changes are seen against this.
    if (ioctl(ptySlave, TCGETS2, &ptySeen) != 0) return false;
    fcntl(ptyMaster, F_SETFL, fcntl(ptyMaster, F_GETFL) | O_NONBLOCK);
    return true;
}

// Puts the pty's speed back after the port refused a new one, as a serial
// driver shows the rate it really runs at.
static void RestorePtySpeed(uint32_t baud) {
    struct termios2 t;
    if (ioctl(ptySlave, TCGETS2, &t) != 0) return;
    SetPtySpeed(t, baud);
    ioctl(ptySlave, TCSETS2, &t);
    ioctl(ptySlave, TCGETS2, &ptySeen);
}

// ---- the connection ----

static void CloseConnection() {
    if (sock >= 0) close(sock);
    sock = -1;
    sendQueue.clear();
}

static void Queue(const std::string& text) {
    sendQueue.insert(sendQueue.end(), text.begin(), text.end());
}

static void QueueCommand(const std::string& line) {
    sendQueue.push_back(kEsc);
    Queue(line);
    sendQueue.push_back(kCr);
}

// Sends what is queued without blocking; false when the connection failed.
static bool SendSome() {
    while (!sendQueue.empty()) {
        ssize_t n = send(sock, sendQueue.data(), sendQueue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sendQueue.erase(sendQueue.begin(), sendQueue.begin() + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        return false;
    }
    return true;
}

// Sends everything queued within timeoutMs; false on failure, on time-out,
// or (unless finishing) at a stop signal.
static bool SendAll(int timeoutMs, bool finishing = false) {
    int64_t end = NowMs() + timeoutMs;
    while (!sendQueue.empty()) {
        if (!SendSome()) return false;
        if (sendQueue.empty()) break;
        int64_t left = end - NowMs();
        if (left <= 0 || (stopSignal && !finishing)) return false;
        struct pollfd p = {sock, POLLOUT, 0};
        poll(&p, 1, (int)(left < 100 ? left : 100));
    }
    return true;
}

static void HoldForPty(const uint8_t* data, size_t n) {
    size_t room = kHoldLimit > toPty.size() ? kHoldLimit - toPty.size() : 0;
    size_t take = n < room ? n : room;
    toPty.insert(toPty.end(), data, data + take);
    if (take < n) {
        if (droppedToPty == 0) Say("the pty is not being read: device bytes dropped");
        droppedToPty += n - take;
    }
}

static void FlushToPty() {
    while (!toPty.empty()) {
        ssize_t n = write(ptyMaster, toPty.data(), toPty.size());
        if (n <= 0) return;
        toPty.erase(toPty.begin(), toPty.begin() + n);
    }
    if (droppedToPty) {
        Say("%zu device bytes were dropped", droppedToPty);
        droppedToPty = 0;
    }
}

// Reads from the bridge within waitMs into *got (appended): 1 bytes came,
// 0 nothing yet, -1 the connection ended.
static int ReceiveSome(Bytes* got, int waitMs) {
    struct pollfd p = {sock, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r <= 0) return 0;
    uint8_t buf[4096];
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n > 0) {
        got->insert(got->end(), buf, buf + n);
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
}

// Whether 28 bytes at p look like the DCB of an open port: its length, a
// rate, and data bits, parity and stop bits in their ranges. Device bytes that
// arrive around the answer are told apart by this.
static bool LooksLikeDcb(const uint8_t* p) {
    uint32_t rate = GetLe32(p + kDcbOffBaud);
    return GetLe32(p + kDcbOffLength) == (uint32_t)kDcbSize && rate > 0 && rate <= 100000000u &&
           p[kDcbOffDataBits] >= 5 && p[kDcbOffDataBits] <= 8 && p[kDcbOffParity] <= 4 &&
           p[kDcbOffStopBits] <= 2;
}

// Asks DCB=? and waits for the answer among the device's bytes, which go on
// to the pty. 1: dcb holds the port's DCB; 0: the bridge has no port open for
// us (28 zero bytes, then quiet); -1: no answer or the connection ended.
// Only the last 28 bytes and the latest read are held, and each byte is
// looked at once as the start of the answer, so a peer that floods costs
// memory and work in proportion to one read.
static int ReadDcb(uint8_t dcb[kDcbSize]) {
    QueueCommand("DCB=?");
    if (!SendAll(kReplyWaitMs)) return -1;
    Bytes held;
    size_t from = 0;  // the first start in held not looked at yet
    int64_t end = NowMs() + kReplyWaitMs;
    int64_t lastByte = NowMs();
    for (;;) {
        for (size_t at = from; at + kDcbSize <= held.size(); at++) {
            if (!LooksLikeDcb(held.data() + at)) continue;
            memcpy(dcb, held.data() + at, kDcbSize);
            HoldForPty(held.data(), at);
            HoldForPty(held.data() + at + kDcbSize, held.size() - at - kDcbSize);
            return 1;
        }
        if (held.size() >= (size_t)kDcbSize) from = held.size() - kDcbSize + 1;
        // A closed port sends nothing else, so zeros that end the stream and
        // are followed by quiet are the answer.
        if (held.size() >= (size_t)kDcbSize && NowMs() - lastByte >= 200) {
            bool zeros = true;
            for (size_t i = held.size() - kDcbSize; i < held.size() && zeros; i++) zeros = held[i] == 0;
            if (zeros) {
                HoldForPty(held.data(), held.size() - kDcbSize);
                return 0;
            }
        }
        // Bytes before the last 28 can begin no answer: they are the device's.
        if (held.size() > (size_t)kDcbSize) {
            size_t passed = held.size() - kDcbSize;
            HoldForPty(held.data(), passed);
            held.erase(held.begin(), held.begin() + passed);
            from -= passed;
            FlushToPty();
        }
        int64_t left = end - NowMs();
        if (left <= 0 || stopSignal) break;
        size_t before = held.size();
        if (ReceiveSome(&held, (int)(left < 50 ? left : 50)) < 0) {
            HoldForPty(held.data(), held.size());
            return -1;
        }
        if (held.size() != before) lastByte = NowMs();
    }
    HoldForPty(held.data(), held.size());
    Say("no answer to DCB=? from the bridge");
    return -1;
}

// SETDCB with its 28 bytes. The bridge drops whatever else arrives in the same
// read as the SETDCB, so nothing is sent after it until the bridge has surely
// taken it on its own.
static bool SendDcb(const uint8_t dcb[kDcbSize]) {
    QueueCommand("SETDCB");
    sendQueue.insert(sendQueue.end(), dcb, dcb + kDcbSize);
    if (!SendAll(kReplyWaitMs)) return false;
    struct pollfd p = {wakePipe[0], POLLIN, 0};
    poll(&p, 1, kAfterSetDcbMs);
    return true;
}

// Brings the open port to the line settings `want`: reads its DCB, changes
// rate, data bits, parity and stop bits, sends it back with SETDCB and reads
// it again. A rate the port does not take is reported and the port is put
// back as it was. false when the connection failed.
static bool ApplyLine(const LineSettings& want, bool quietIfSame) {
    uint8_t before[kDcbSize];
    int got = ReadDcb(before);
    if (got < 0) return false;
    if (got == 0) return true;  // the port was closed; the next data reopens it
    uint8_t dcb[kDcbSize];
    memcpy(dcb, before, kDcbSize);
    PutLe32(dcb + kDcbOffBaud, want.baud);
    dcb[kDcbOffDataBits] = (uint8_t)want.dataBits;
    dcb[kDcbOffParity] = (uint8_t)ParityCode(want.parity);
    dcb[kDcbOffStopBits] = want.stopBits == 2 ? 2 : 0;
    if (memcmp(dcb, before, kDcbSize) == 0) return true;
    if (!SendDcb(dcb)) return false;
    uint8_t after[kDcbSize];
    if (ReadDcb(after) < 0) return false;
    uint32_t oldRate = GetLe32(before + kDcbOffBaud), rate = GetLe32(after + kDcbOffBaud);
    if (rate != want.baud) {
        Say("COM%d does not take %u bauds; the port stays at %u bauds", opt.com, want.baud, oldRate);
        if (memcmp(after, before, kDcbSize) != 0) {
            if (!SendDcb(before)) return false;
        }
        RestorePtySpeed(oldRate);
        return true;
    }
    opt.line = want;
    if (!quietIfSame)
        Say("COM%d now %u bauds, %d data bits, parity %c, %d stop bits", opt.com, want.baud, want.dataBits,
            want.parity, want.stopBits);
    return true;
}

// Sends the line settings and COMn, and reads the one-byte answer.
// kComOpened, kComRefused or kComModemAbsent; -1 when no answer came.
static int OpenPort() {
    char line[200];
    // Time-outs that return device bytes as soon as they come; the line
    // settings and time-outs are all in the one command line.
    snprintf(line, sizeof line,
             "BAUD=%u DATA=%d PARITY=%c STOP=%d TIMEOUT1=-1 TIMEOUT2=50 TIMEOUT3=-1 TYP=0 COM%d",
             opt.line.baud, opt.line.dataBits, opt.line.parity, opt.line.stopBits, opt.com);
    QueueCommand(line);
    if (!SendAll(kReplyWaitMs)) return -1;
    Bytes answer;
    int64_t end = NowMs() + kReplyWaitMs;
    while (answer.empty()) {
        int64_t left = end - NowMs();
        if (left <= 0 || stopSignal) return -1;
        if (ReceiveSome(&answer, (int)(left < 100 ? left : 100)) < 0) return -1;
    }
    // Anything after the answer is the device's.
    HoldForPty(answer.data() + 1, answer.size() - 1);
    return answer[0];
}

// Connects to the bridge within kConnectWaitMs; the socket or -1.
static int ConnectBridge() {
    struct addrinfo hints = {}, *list = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int e = getaddrinfo(opt.host.c_str(), opt.service.c_str(), &hints, &list);
    if (e != 0) {
        Say("%s: %s", opt.host.c_str(), gai_strerror(e));
        return -1;
    }
    int fd = -1;
    for (struct addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int r = connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            if (poll(&p, 1, kConnectWaitMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
                error == 0)
                r = 0;
        }
        if (r != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A bridge host that vanishes without closing is noticed in about 25 s.
    int idle = 10, interval = 5, count = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    return fd;
}

// Connects and opens the port. 1 open; 0 not now (try again later); -1 the
// bridge refused COMn.
static int Attach() {
    sock = ConnectBridge();
    if (sock < 0) return 0;
    int answer = OpenPort();
    if (answer == kComOpened) {
        // The port may have been open already with other settings (a port the
        // bridge keeps always open): bring it to ours.
        if (!ApplyLine(opt.line, true)) {
            CloseConnection();
            return 0;
        }
        lastDataSentMs = NowMs();
        return 1;
    }
    CloseConnection();
    if (answer == kComRefused) {
        Say("the bridge refused COM%d: the port is busy or missing, or it does not take "
            "%u bauds %d%c%d", opt.com, opt.line.baud, opt.line.dataBits, opt.line.parity, opt.line.stopBits);
        return -1;
    }
    if (answer == kComModemAbsent) {
        Say("the bridge refused COM%d: the modem of that virtual port is not connected", opt.com);
        return -1;
    }
    return 0;
}

// ---- the relay ----

// Moves pty bytes to the send queue with every ESC doubled.
static void FrameData() {
    if (toPort.empty()) return;
    for (uint8_t b : toPort) {
        sendQueue.push_back(b);
        if (b == kEsc) sendQueue.push_back(kEsc);
    }
    toPort.clear();
    lastDataSentMs = NowMs();
}

static void ReadPty() {
    uint8_t buf[4096];
    for (;;) {
        size_t room = kHoldLimit > toPort.size() ? kHoldLimit - toPort.size() : 0;
        ssize_t n = read(ptyMaster, buf, sizeof buf);
        if (n <= 0) return;
        size_t take = (size_t)n < room ? (size_t)n : room;
        toPort.insert(toPort.end(), buf, buf + take);
        if (take < (size_t)n) {
            if (droppedToPort == 0) Say("the bridge is not reachable and the buffer is full: bytes dropped");
            droppedToPort += (size_t)n - take;
        }
        if (sock >= 0) return;  // connected: one read at a time, the port sets the pace
    }
}

// Looks at the pty's settings; a change goes to the port. false when the
// connection failed meanwhile.
static bool CheckLine() {
    struct termios2 t;
    if (ioctl(ptySlave, TCGETS2, &t) != 0) return true;
    bool speed = t.c_ospeed != ptySeen.c_ospeed;
    bool stop = (t.c_cflag & CSTOPB) != (ptySeen.c_cflag & CSTOPB);
    bool data = DataBitsOf(t) != DataBitsOf(ptySeen);
    bool parity = ParityOf(t) != ParityOf(ptySeen);
    if (!speed && !stop && !data && !parity) return true;
    // Only what changed on the pty is taken: a pty that forces 8 data bits
    // and no parity must not undo the settings given on the command line.
    LineSettings want = opt.line;
    if (speed) want.baud = t.c_ospeed;
    if (stop) want.stopBits = t.c_cflag & CSTOPB ? 2 : 1;
    if (data) want.dataBits = DataBitsOf(t);
    if (parity) want.parity = ParityOf(t);
    ptySeen = t;
    if (want.baud == 0) {
        Say("a line rate of 0 is not taken; COM%d stays at %u bauds", opt.com, opt.line.baud);
        RestorePtySpeed(opt.line.baud);
        return true;
    }
    if (sock < 0) {
        // Taken with the next opening of the port.
        opt.line = want;
        return true;
    }
    // Data the program wrote before the change goes out first.
    FrameData();
    if (!SendAll(kReplyWaitMs)) return false;
    return ApplyLine(want, false);
}

// The bridge closes a port left idle for its auto-disconnect time and keeps
// the connection: before data goes out after a quiet spell the port is
// checked, and reopened when it was closed. false when the connection failed.
static bool EnsurePortOpen() {
    if (NowMs() - lastDataSentMs < kIdleCheckMs) return true;
    uint8_t dcb[kDcbSize];
    int got = ReadDcb(dcb);
    if (got < 0) return false;
    lastDataSentMs = NowMs();
    if (got == 1) return true;
    Say("the bridge closed COM%d while it was idle; opening it again", opt.com);
    return OpenPort() == kComOpened;
}

static void Usage() {
    fprintf(stderr,
            "usage: kestrun-attach HOST[:PORT] COMn [--link PATH] [--baud N] [--data 5-8]\n"
            "                      [--parity N|E|O|M|S] [--stop 1|2]\n");
}

static bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || !end || *end || end == text || v < low || v > high) return false;
    *out = v;
    return true;
}

static bool ParseArguments(int argc, char** argv) {
    std::vector<std::string> plain;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        long v = 0;
        bool hasValue = i + 1 < argc;
        if (a == "--link" && hasValue) {
            opt.link = argv[++i];
        } else if (a == "--baud" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 0x7FFFFFFF, &v)) return false;
            opt.line.baud = (uint32_t)v;
        } else if (a == "--data" && hasValue) {
            if (!ParseNumber(argv[++i], 5, 8, &v)) return false;
            opt.line.dataBits = (int)v;
        } else if (a == "--parity" && hasValue) {
            std::string p = argv[++i];
            if (p.size() != 1 || !strchr("NEOMSneoms", p[0])) return false;
            opt.line.parity = (char)toupper((unsigned char)p[0]);
        } else if (a == "--stop" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 2, &v)) return false;
            opt.line.stopBits = (int)v;
        } else if (a.size() > 1 && a[0] == '-') {
            return false;
        } else {
            plain.push_back(a);
        }
    }
    if (plain.size() != 2) return false;
    // HOST, HOST:PORT, [IPv6]:PORT or a bare IPv6 address.
    std::string host = plain[0];
    size_t colon = host.rfind(':');
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return false;
            opt.service = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (colon != std::string::npos && host.find(':') == colon) {
        opt.service = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    long number = 0;
    if (host.empty() || !ParseNumber(opt.service.c_str(), 1, 65535, &number)) return false;
    opt.host = host;
    std::string com = plain[1];
    if (com.size() < 4 || strncasecmp(com.c_str(), "COM", 3) != 0) return false;
    if (!ParseNumber(com.c_str() + 3, 1, 0x7FFFFFFF, &number)) return false;
    opt.com = (int)number;
    return true;
}

// --link: PATH becomes a new symlink to the pty. Whatever is at PATH
// already, a link included, was not made by this run and is left alone.
static bool MakeLink() {
    if (symlink(ptyPath.c_str(), opt.link.c_str()) != 0) {
        if (errno == EEXIST)
            Say("%s already exists; remove it or name another path", opt.link.c_str());
        else
            Say("cannot make the link %s: %s", opt.link.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// Removes the link if it still points at this program's pty.
static void RemoveLink() {
    if (opt.link.empty()) return;
    char target[4096];
    ssize_t n = readlink(opt.link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = 0;
    if (ptyPath == target) unlink(opt.link.c_str());
}

int main(int argc, char** argv) {
    if (!ParseArguments(argc, argv)) {
        Usage();
        return 2;
    }
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) return 2;
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!OpenPty()) {
        Say("cannot create a pseudo-terminal: %s", strerror(errno));
        return 2;
    }
    // The first opening decides: a port the bridge refuses ends the program.
    int first = Attach();
    if (first < 0) return 1;
    if (first == 0 && !stopSignal) Say("cannot reach the bridge at %s:%s; trying again", opt.host.c_str(),
                                       opt.service.c_str());
    if (!opt.link.empty() && !MakeLink()) {
        if (sock >= 0) {
            QueueCommand("CLOSE");
            SendAll(2000, true);
        }
        return 2;
    }
    printf("%s\n", ptyPath.c_str());
    fflush(stdout);
    if (first == 1) Say("COM%d on %s:%s is open on %s", opt.com, opt.host.c_str(), opt.service.c_str(),
                        ptyPath.c_str());

    int backoff = kBackoffFirstMs;
    int64_t nextAttempt = first == 1 ? 0 : NowMs() + backoff;
    int64_t nextLineCheck = NowMs() + kLineCheckMs;
    while (!stopSignal) {
        int64_t now = NowMs();
        if (sock < 0 && now >= nextAttempt) {
            int r = Attach();
            if (r == 1) {
                Say("connected again; COM%d is open", opt.com);
                backoff = kBackoffFirstMs;
            } else {
                backoff = backoff * 2 > kBackoffMaxMs ? kBackoffMaxMs : backoff * 2;
                nextAttempt = NowMs() + backoff;
            }
            continue;
        }
        // The pty's settings are looked at before its data is read, so a
        // program that changes the speed and then writes is served in order.
        if (now >= nextLineCheck) {
            nextLineCheck = now + kLineCheckMs;
            if (!CheckLine()) goto lost;
        }
        if (sock >= 0 && !toPort.empty() && sendQueue.empty()) {
            if (!EnsurePortOpen()) goto lost;
            FrameData();
        }
        if (sock >= 0 && !SendSome()) goto lost;
        FlushToPty();

        {
            struct pollfd p[3];
            int count = 0;
            p[count++] = {wakePipe[0], POLLIN, 0};
            // Connected, the pty is read only as fast as the bridge takes the
            // bytes; cut off, it is read into the bounded buffer.
            short ptyEvents = 0;
            if (sock < 0 || (toPort.empty() && sendQueue.size() < kHoldLimit)) ptyEvents |= POLLIN;
            if (!toPty.empty()) ptyEvents |= POLLOUT;
            p[count++] = {ptyMaster, ptyEvents, 0};
            int sockAt = -1;
            if (sock >= 0) {
                sockAt = count;
                p[count++] = {sock, (short)(POLLIN | (sendQueue.empty() ? 0 : POLLOUT)), 0};
            }
            int64_t wake = nextLineCheck;
            if (sock < 0 && nextAttempt < wake) wake = nextAttempt;
            int64_t wait = wake - NowMs();
            poll(p, count, wait < 0 ? 0 : (int)wait);
            if (p[1].revents & POLLIN) {
                // A program's tcsetattr before its data takes effect first.
                if (!CheckLine()) goto lost;
                ReadPty();
            }
            if (sockAt >= 0 && (p[sockAt].revents & (POLLIN | POLLHUP | POLLERR))) {
                Bytes got;
                if (ReceiveSome(&got, 0) < 0) goto lost;
                HoldForPty(got.data(), got.size());
            }
        }
        continue;
    lost:
        if (stopSignal) break;
        Say("the connection to the bridge was lost; reconnecting");
        CloseConnection();
        backoff = kBackoffFirstMs;
        nextAttempt = NowMs() + backoff;
    }

    if (sock >= 0) {
        // What the program wrote still goes out, then the port is closed.
        FrameData();
        QueueCommand("CLOSE");
        SendAll(2000, true);
        CloseConnection();
    }
    FlushToPty();
    RemoveLink();
    Say("closed COM%d", opt.com);
    return 0;
}

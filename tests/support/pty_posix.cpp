// Pseudo-terminals as devices and bounded descriptor I/O (POSIX).
#include "support/pty.h"
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace kt {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WriteFd(int fd, const void* data, size_t len, int timeoutMs) {
    const char* bytes = (const char*)data;
    size_t done = 0;
    int64_t end = NowMs() + timeoutMs;
    while (done < len) {
        ssize_t n = write(fd, bytes + done, len - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        int64_t left = end - NowMs();
        if (left <= 0) return false;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, (int)std::min<int64_t>(left, 100));
    }
    return true;
}

// One read of at most `room` bytes once fd is readable within waitMs:
// 1 got bytes, 0 nothing within waitMs, -1 the descriptor ended or failed.
static int ReadSome(int fd, Bytes* out, size_t room, int waitMs) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return 0;
    char buf[4096];
    ssize_t got = read(fd, buf, std::min(sizeof buf, room));
    if (got > 0) {
        out->append(buf, (size_t)got);
        return 1;
    }
    return got < 0 && (errno == EAGAIN || errno == EINTR) ? 1 : -1;
}

Bytes ReadFd(int fd, size_t n, int timeoutMs) {
    Bytes out;
    int64_t end = NowMs() + timeoutMs;
    while (out.size() < n) {
        int64_t wait = end - NowMs();
        if (wait < 0 || ReadSome(fd, &out, n - out.size(), (int)wait) <= 0) break;
    }
    return out;
}

Bytes DrainFd(int fd, int quietMs, int limitMs, bool* quiet) {
    Bytes out;
    int64_t end = NowMs() + limitMs;
    bool calm = false;
    while (NowMs() <= end) {
        if (ReadSome(fd, &out, SIZE_MAX, quietMs) <= 0) {
            calm = true;
            break;
        }
    }
    if (quiet) *quiet = calm;
    return out;
}

bool LinkComPort(const std::string& dir, int n, const std::string& device) {
    std::error_code ec;
    std::filesystem::create_directories(dir + "/ports", ec);
    std::string link = dir + "/ports/COM" + std::to_string(n);
    unlink(link.c_str());
    return symlink(device.c_str(), link.c_str()) == 0;
}

Pty::Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slavePath = ptsname(master);
    slaveKeep = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeep < 0) return;
    struct termios t;
    tcgetattr(slaveKeep, &t);
    cfmakeraw(&t);
    tcsetattr(slaveKeep, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Not inherited by the program under test: a device it held open itself
    // could never be unplugged.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slaveKeep, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
    if (master >= 0) close(master);
    if (slaveKeep >= 0) close(slaveKeep);
}

void Pty::Write(const Bytes& bytes) {
    WriteFd(master, bytes.data(), bytes.size(), 10000);
}

Bytes Pty::Read(size_t n, int timeoutMs) {
    return ReadFd(master, n, timeoutMs);
}

Bytes Pty::Drain(int quietMs) {
    return DrainFd(master, quietMs);
}

void Pty::Hangup() {
    if (master >= 0) close(master);
    master = -1;
}

bool Pty::MapAs(int n, const std::string& dir) const {
    return LinkComPort(dir, n, slavePath);
}

uint32_t Pty::Rate() const {
    return LineRateOf(master);
}

}  // namespace kt

// The serial port on POSIX: termios device (the rate through termios2, any
// rate the driver takes), read time-outs with their Windows meaning built on
// poll(), a wake pipe standing in for CancelIo.
// Twin: serial_win32.cpp.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include "base/settings.h"
#include "log/log.h"
#include "serial/line_rate_posix.h"
#include "serial/serial.h"

static const uint32_t kMaxDword = 0xFFFFFFFFu;
static const int kWriteTimeoutMs = 1000;
// With MAXDWORD interval and zero totals a read returns at once; instead of
// issuing such reads back to back, each first waits this long for data.
static const int kImmediateReadWaitMs = 20;

// One open device, named by its Handle: the descriptor, the read time-outs
// it was opened with, and the wake pipe, one byte in which cancels every
// wait on the device from then on. The DCB image last applied answers what
// termios cannot hold (DTR/RTS control modes, limits, special characters);
// dcbLock guards it.
struct PosixPort {
    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    uint32_t readInterval = 0, readConstant = 0, readMultiplier = 0;
    std::mutex dcbLock;
    uint8_t dcbImage[kDcbSize] = {0};
};

static PosixPort& Device(Handle port) {
    return *reinterpret_cast<PosixPort*>(port);
}

static int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Character size, parity (Windows codes 0 none, 1 odd, 2 even, 3 mark,
// 4 space) and stop bits (0 one, 1 one and a half, 2 two) into termios.
static void SetFraming(struct termios& t, int dataBits, int parityCode, int stopCode) {
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR);
    t.c_cflag |= dataBits == 5 ? CS5 : dataBits == 6 ? CS6 : dataBits == 7 ? CS7 : CS8;
    if (parityCode != 0) t.c_cflag |= PARENB;
    if (parityCode == 1 || parityCode == 3) t.c_cflag |= PARODD;
    if (parityCode == 3 || parityCode == 4) t.c_cflag |= CMSPAR;
    if (stopCode != 0) t.c_cflag |= CSTOPB;
    // Parity checking; a byte received with a parity error arrives as 0, as
    // the Windows error character does.
    t.c_iflag &= ~(INPCK | IGNPAR | PARMRK);
    if (parityCode != 0) t.c_iflag |= INPCK;
}

static int ParityCode(char letter) {
    switch (letter) {
        case 'N': case 'n': return 0;
        case 'O': case 'o': return 1;
        case 'E': case 'e': return 2;
        case 'M': case 'm': return 3;
        case 'S': case 's': return 4;
        default: return -1;
    }
}

// The device of a port name. COMn and \\.\COMn: ports/COMn in the working
// directory when it exists, else /dev/ttyS<n-1>; an absolute path is the
// device itself.
static bool DevicePath(const char* name, char* path, size_t size) {
    if (name[0] == '/') {
        snprintf(path, size, "%s", name);
        return true;
    }
    int n = ComNumberOf(name);
    if (n < 1) return false;
    snprintf(path, size, "ports/COM%d", n);
    struct stat st;
    if (stat(path, &st) == 0) return true;
    snprintf(path, size, "/dev/ttyS%d", n - 1);
    return true;
}

// The DCB image that BuildCommDCB and the Windows open's adjustments give,
// answered to DCB=? on a device that has no DCB of its own.
static void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void DefaultDcbImage(uint8_t dcb[kDcbSize], uint32_t baud, int dataBits, char parity, int stopBits,
                     bool ctsFlow) {
    memset(dcb, 0, kDcbSize);
    PutLe32(dcb + kDcbOffLength, kDcbSize);
    PutLe32(dcb + kDcbOffBaud, (int32_t)baud);
    // fBinary, fParity, fOutxCtsFlow, fDtrControl ENABLE, fErrorChar,
    // fRtsControl ENABLE.
    uint32_t flags = 1u | 1u << 1 | (ctsFlow ? 1u << 2 : 0u) | 1u << 4 | 1u << 10 | 1u << 12;
    PutLe32(dcb + kDcbOffFlags, (int32_t)flags);
    PutLe16(dcb + 12, 0);
    dcb[kDcbOffDataBits] = (uint8_t)dataBits;
    switch (toupper((unsigned char)parity)) {
        case 'O': dcb[kDcbOffParity] = 1; break;
        case 'E': dcb[kDcbOffParity] = 2; break;
        case 'M': dcb[kDcbOffParity] = 3; break;
        case 'S': dcb[kDcbOffParity] = 4; break;
        default: dcb[kDcbOffParity] = 0; break;
    }
    dcb[kDcbOffStopBits] = stopBits == 2 ? 2 : 0;
}

bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits) {
    // Whether a rate is made is the driver's answer, given at the open.
    return baud != 0 && dataBits >= 5 && dataBits <= 8 && ParityCode(parity) >= 0 &&
           (stopBits == 1 || stopBits == 2);
}

Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet) {
    char text[128];
    PortParameterLine(text, sizeof text, baud, dataBits, parity, stopBits);
    if (!quiet) LogText(text);

    int fd = -1;
    int parityCode = ParityCode(parity);
    char path[256];
    bool ctsFlow = IsCtsDeviceType(bridge.deviceType.load());
    struct termios t;
    int lines = TIOCM_DTR | TIOCM_RTS;
    int wake[2];
    bool exclusive = false;
    PosixPort* device = nullptr;
    if (!PortParametersValid(baud, dataBits, parity, stopBits)) goto fail;
    if (!DevicePath(name, path, sizeof path)) goto fail;
    fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) goto fail;
    // Opened without sharing: a device another program (or this one) holds
    // is busy.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) goto fail_close;
    exclusive = ioctl(fd, TIOCEXCL) == 0;
    if (tcgetattr(fd, &t) != 0) goto fail_close;
    cfmakeraw(&t);
    SetFraming(t, dataBits, parityCode, stopBits == 2 ? 2 : 0);
    t.c_cflag |= CLOCAL | CREAD;
    // Linux has no output-only CTS handshake: CRTSCTS also lets the driver
    // drive RTS for its receive side. RTS set by hand still goes to the
    // driver (PortEscape), which keeps it unless it throttles its input.
    if (ctsFlow)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) goto fail_close;
    if (SetLineRate(fd, baud) != 0) goto fail_close;
    // DTR and RTS on while the port is open (a pty has no lines: ignored).
    ioctl(fd, TIOCMBIS, &lines);
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) goto fail_close;
    device = new PosixPort();
    device->fd = fd;
    device->wakeRead = wake[0];
    device->wakeWrite = wake[1];
    device->readInterval = (uint32_t)t1;
    device->readConstant = (uint32_t)t2;
    device->readMultiplier = (uint32_t)t3;
    DefaultDcbImage(device->dcbImage, baud, dataBits, parity, stopBits, ctsFlow);
    if (quiet) LogText(text);
    return (Handle)device;

fail_close:
    if (exclusive) ioctl(fd, TIOCNXCL);
    close(fd);
fail:
    if (!quiet) LogText("Error - blad otwarcia portu COM");
    return kNoHandle;
}

// Waits for the device (and its wake pipe); poll's result, with the events.
static int WaitDevice(const PosixPort& device, short events, int timeoutMs, bool& woken, short& revents) {
    struct pollfd p[2] = {{device.fd, events, 0}, {device.wakeRead, POLLIN, 0}};
    int r = poll(p, 2, timeoutMs);
    woken = r > 0 && (p[1].revents & POLLIN);
    revents = p[0].revents;
    return r;
}

// One read of up to want bytes with the Windows read time-outs: interval
// between bytes, total = multiplier * want + constant (0/0: none), MAXDWORD
// interval with 0/0 returns what is there, MAXDWORD interval and multiplier
// with a constant return at the first byte or after the constant.
// A read call takes up to room bytes, so a driver that holds more than want
// gives them all at once. Count read; -1 when the device failed, -2 when
// cancelled.
static int ReadWithTimeouts(const PosixPort& device, uint8_t* buffer, int want, int room) {
    const uint32_t interval = device.readInterval, constant = device.readConstant,
                   multiplier = device.readMultiplier;
    const bool immediate = interval == kMaxDword && constant == 0 && multiplier == 0;
    const bool firstByte =
        interval == kMaxDword && multiplier == kMaxDword && constant > 0 && constant < kMaxDword;
    const bool useInterval = interval != 0 && interval != kMaxDword;
    const int64_t never = INT64_MAX;
    int64_t start = NowMs();
    int64_t totalEnd = never;
    if (immediate)
        totalEnd = start + kImmediateReadWaitMs;
    else if (firstByte)
        totalEnd = start + constant;
    else if (constant || multiplier)
        totalEnd = start + (int64_t)multiplier * want + constant;

    int got = 0;
    int64_t lastByte = 0;
    for (int round = 0;; round++) {
        int64_t end = totalEnd;
        if (got > 0 && useInterval && lastByte + interval < end) end = lastByte + interval;
        if (immediate && got > 0) end = 0;  // take what is there, no more waiting
        int timeout = -1;
        if (end != never) {
            int64_t left = end - NowMs();
            timeout = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : (int)left;
        }
        bool woken;
        short revents;
        int r = WaitDevice(device, POLLIN, timeout, woken, revents);
        if (r < 0) {
            if (errno == EINTR) continue;
            return got > 0 ? got : -1;
        }
        // Cancelled by the close: like a cancelled Windows read, whatever it
        // held is dropped, so no late bytes reach a client after its CLOSE.
        if (woken) return -2;
        if (r == 0) return got;  // a time-out ended the read
        if (revents & POLLIN) {
            ssize_t n = read(device.fd, buffer + got, (size_t)(room - got));
            if (n > 0) {
                got += (int)n;
                lastByte = NowMs();
                if (got >= want || firstByte) return got;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return got > 0 ? got : -1;  // end of file or a device error
        }
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) return got > 0 ? got : -1;
    }
}

int PortRead(Handle port, uint8_t* buffer, int size, int room) {
    int count = ReadWithTimeouts(Device(port), buffer, size, room > size ? room : size);
    return count == -2 ? 0 : count;  // cancelled: the loop sees the stop
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    const PosixPort& device = Device(port);
    int written = 0;
    while (written < count) {
        bridge.IdleTicks = 0;
        // A run goes to the driver in as few calls as it takes; the next byte
        // always gets its full 1000 ms.
        int64_t end = NowMs() + kWriteTimeoutMs;
        for (;;) {
            ssize_t n = write(device.fd, data + written, (size_t)(count - written));
            if (n > 0) {
                written += (int)n;
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return written;
            int64_t left = end - NowMs();
            if (left <= 0) return written;
            bool woken;
            short revents;
            if (WaitDevice(device, POLLOUT, (int)left, woken, revents) < 0 && errno != EINTR)
                return written;
            if (woken) return written;
            if (revents & (POLLERR | POLLHUP | POLLNVAL)) return written;
        }
    }
    bridge.IdleTicks = 0;
    return written;
}

int PortCancel(Handle port) {
    uint8_t one = 1;
    // The byte stays in the pipe, so every later wait wakes too; a full pipe
    // already wakes every waiter.
    return write(Device(port).wakeWrite, &one, 1) == 1 || errno == EAGAIN ? 0 : 1;
}

void PortClose(Handle port) {
    PosixPort* device = &Device(port);
    int off = TIOCM_DTR | TIOCM_RTS;
    ioctl(device->fd, TIOCMBIC, &off);
    // The exclusive mode outlives this descriptor while others hold the
    // device open; without this, the next open by an ordinary user fails.
    ioctl(device->fd, TIOCNXCL);
    close(device->fd);
    close(device->wakeRead);
    close(device->wakeWrite);
    delete device;
}

void PortEscape(Handle port, int function) {
    int line = function == 3 || function == 4 ? TIOCM_RTS : TIOCM_DTR;
    bool set = function == 3 || function == 5;
    ioctl(Device(port).fd, set ? TIOCMBIS : TIOCMBIC, &line);
}

uint8_t PortModemStatus(Handle port) {
    int lines = 0;
    if (ioctl(Device(port).fd, TIOCMGET, &lines) != 0) return 0;
    uint8_t status = 0;
    if (lines & TIOCM_CTS) status |= 0x10;
    if (lines & TIOCM_DSR) status |= 0x20;
    if (lines & TIOCM_RI) status |= 0x40;
    if (lines & TIOCM_CD) status |= 0x80;
    return status;
}

int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    // termios is changed by this program only, and a pty keeps no framing,
    // so the image last applied is the truthful answer.
    PosixPort& device = Device(port);
    std::lock_guard<std::mutex> guard(device.dcbLock);
    memcpy(dcb, device.dcbImage, kDcbSize);
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    PosixPort& device = Device(port);
    int fd = device.fd;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return 1;
    uint8_t image[kDcbSize];
    memcpy(image, dcb, kDcbSize);
    {
        // What this device cannot take keeps its present value.
        std::lock_guard<std::mutex> guard(device.dcbLock);
        const uint8_t* now = device.dcbImage;
        if (image[kDcbOffDataBits] < 5 || image[kDcbOffDataBits] > 8) image[kDcbOffDataBits] = now[kDcbOffDataBits];
        if (image[kDcbOffParity] > 4) image[kDcbOffParity] = now[kDcbOffParity];
        if (image[kDcbOffStopBits] > 2) image[kDcbOffStopBits] = now[kDcbOffStopBits];
    }
    PutLe32(image, kDcbSize);
    uint32_t flags = (uint32_t)GetLe32(image + kDcbOffFlags);
    SetFraming(t, image[kDcbOffDataBits], image[kDcbOffParity], image[kDcbOffStopBits]);
    if (!(flags & 1u << 1)) t.c_iflag &= ~INPCK;
    int rtsControl = (int)(flags >> 12 & 3), dtrControl = (int)(flags >> 4 & 3);
    // Linux has one switch for both CTS output and RTS input handshaking.
    if ((flags & 1u << 2) || rtsControl == 2)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (flags & 1u << 8) t.c_iflag |= IXON;
    if (flags & 1u << 9) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = image[21];
    t.c_cc[VSTOP] = image[22];
    if (tcsetattr(fd, TCSANOW, &t) != 0) return 1;
    // A rate the driver refuses leaves the line at its present rate.
    if (SetLineRate(fd, (uint32_t)GetLe32(image + kDcbOffBaud)) != 0) {
        std::lock_guard<std::mutex> guard(device.dcbLock);
        memcpy(image + kDcbOffBaud, device.dcbImage + kDcbOffBaud, 4);
    }
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    ioctl(fd, dtrControl == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
    if (rtsControl != 2) ioctl(fd, rtsControl == 0 ? TIOCMBIC : TIOCMBIS, &rts);
    std::lock_guard<std::mutex> guard(device.dcbLock);
    memcpy(device.dcbImage, image, kDcbSize);
    return 0;
}

int PortPurge(Handle port, bool input, bool output) {
    if (!input && !output) return 0;
    int queues = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(Device(port).fd, queues) == 0 ? 0 : 1;
}

int PortSetBreak(Handle port, bool on) {
    return ioctl(Device(port).fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : 1;
}

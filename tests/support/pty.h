// A pseudo-terminal standing in for a serial device, and the descriptor
// reads and writes it shares with the socket clients. POSIX hosts only: the
// native unit tests, the end-to-end tests and the benchmark use it; CMake
// leaves it out of the Windows unit tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kt {

using Bytes = std::string;

int64_t NowMs();

// Writes all bytes on a (non-blocking) descriptor within timeoutMs.
bool WriteFd(int fd, const void* data, size_t len, int timeoutMs);
// Reads until n bytes arrived, the descriptor ended, or timeoutMs passed.
Bytes ReadFd(int fd, size_t n, int timeoutMs);
// Reads what arrives until quietMs pass without a byte, at most limitMs in
// all; *quiet tells whether the quiet (or the end) came before the limit.
Bytes DrainFd(int fd, int quietMs, int limitMs = 60000, bool* quiet = nullptr);

// The line rate (bauds) a terminal device holds; 0 when it has none.
// In pty_rate_posix.cpp, apart from <termios.h>.
uint32_t LineRateOf(int fd);

// Makes dir/ports/COMn a link to device: where the native program finds COMn.
bool LinkComPort(const std::string& dir, int n, const std::string& device);

// The test plays the device on master; slavePath is what the program opens.
struct Pty {
    int master = -1;
    int slaveKeep = -1;  // held open so the device does not hang up between opens
    std::string slavePath;
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool Ok() const { return master >= 0 && slaveKeep >= 0; }
    void Write(const Bytes& bytes);
    // Reads until n bytes arrived or timeoutMs passed.
    Bytes Read(size_t n, int timeoutMs);
    // Reads whatever arrives within quietMs of quiet.
    Bytes Drain(int quietMs);
    // Closes the device side as an unplugged adapter would.
    void Hangup();
    // Reachable as COMn for a native program working in dir.
    bool MapAs(int n, const std::string& dir = ".") const;
    // The line rate the program set on the device, in bauds.
    uint32_t Rate() const;
};

}  // namespace kt

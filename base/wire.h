// What the bridge and the tools that talk to it share on the wire: the
// command framing bytes, the answers to COM, the default control port and
// the fields of the 28-byte DCB image that DCB=? answers and SETDCB takes.
#pragma once
#include <cstdint>

// ESC opens a command line, CR ends it; ESC ESC is one literal ESC of data.
enum : uint8_t { kEsc = 0x1B, kCr = 0x0D };

enum : int { kDefaultTcpPort = 1336, kDefaultUdpPort = 1337 };

// The one-byte answer to COM.
enum : uint8_t { kComOpened = 0, kComRefused = 1, kComModemAbsent = 2 };

// The DCB image, little-endian: its length (28), the rate in bauds, the flag
// word, and one byte each for data bits (5..8), parity (0 none, 1 odd,
// 2 even, 3 mark, 4 space) and stop bits (0 one, 1 one and a half, 2 two).
enum : int {
    kDcbSize = 28,
    kDcbOffLength = 0,
    kDcbOffBaud = 4,
    kDcbOffFlags = 8,
    kDcbOffDataBits = 18,
    kDcbOffParity = 19,
    kDcbOffStopBits = 20,
};

// The in-memory stand-ins for the serial device and the client sockets that
// the fuzz build links instead of serial_posix.cpp and net_posix.cpp, and
// what the fuzz targets read back from them. Single fuzzing thread: the
// device is silent, so only the thread that feeds packets writes to it.
#pragma once
#include <array>
#include <cstdint>
#include <vector>
#include "base/bridge.h"

namespace fake {

// One send to a client: a TCP socket's bytes, or a datagram.
struct Sent {
    Handle socket;
    bool udp;
    std::vector<uint8_t> bytes;
};

// The device: whether OpenCommPort succeeds, the bytes written to it in
// order, the DCB images applied to it.
extern bool deviceOpens;
extern std::vector<uint8_t> portBytes;
extern std::vector<std::array<uint8_t, 28>> appliedDcbs;

// Every send made since the last Clear.
extern std::vector<Sent> sends;

void ClearDevice();
void ClearSends();

}  // namespace fake

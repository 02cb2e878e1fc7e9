// The in-memory stand-ins for the serial device and the client sockets that
// the fuzz build links instead of serial_posix.cpp and net_posix.cpp, and
// what the fuzz targets read back from them. One fuzzing thread feeds the
// packets; the port's reader thread relays the device's answers.
#pragma once
#include <array>
#include <cstddef>
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

// The device answers every write at once with one frame of kAnswerSize
// bytes: kAnswerLead, then the write's number in three bytes of 0x80..0xBF.
// No reply byte is 0x80 or more (the DCB image is reported with its top
// bits clear), so a client's bytes tell replies and answers apart. A write
// returns once the reader has passed its answer on.
enum : int { kAnswerSize = 4 };
enum : uint8_t { kAnswerLead = 0xFF };
// The number of the write an answer frame stands for.
size_t AnswerNumber(const uint8_t* frame);

// The device: whether OpenCommPort succeeds, the bytes written to it in
// order, where each write began in them, the DCB images applied to it.
extern bool deviceOpens;
extern std::vector<uint8_t> portBytes;
extern std::vector<size_t> writeStarts;
extern std::vector<std::array<uint8_t, 28>> appliedDcbs;

void ClearDevice();
void ClearSends();
// Every send made since the last ClearSends, in the order made.
std::vector<Sent> Sends();

}  // namespace fake

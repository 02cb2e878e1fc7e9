// What joins clients to ports: the ESC-framed command protocol spoken on the
// TCP and UDP control ports, and the relay of device and modem data to the
// client that owns the port.
#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include "base/bridge.h"
#include "base/wire.h"

// Serialises the processing of TCP and UDP packets over the one command block.
extern std::mutex protocolLock;

// One client's own state in the protocol: one session per TCP cell, one for
// UDP. Each client frames its own stream, so clients whose packets
// interleave never finish or break each other's lines; the line parameters
// stay shared in the command block. A session starts empty and is emptied
// again when its connection ends. Guarded by protocolLock.
struct Session {
    bool inCommand;  // an ESC opened a line
    int lineLength;  // bytes in line, its CR included
    char line[sizeof(CommandBlock::commandLine)];
    // A line that outgrew line: its further bytes are counted, not stored,
    // and the whole line is dropped at its CR.
    bool overflow;
    int overflowBytes;
    // A TCP client's SETDCB whose 28 bytes did not all come in the packet of
    // its line: the rest is taken from the start of its next packets.
    bool dcbPending;
    int dcbCount;
    uint8_t dcb[kDcbSize];
    std::chrono::steady_clock::time_point dcbLast;  // when bytes last came
};

// One TCP client's packet (cell: its connection; length 0: the connection
// ended) or one UDP datagram (length 0: the UDP server stopped); longer runs
// are taken in parts of at most 1023 bytes.
void ProcessTCPData(const uint8_t* data, int length, ClientCell* cell);
void ProcessUDPData(const uint8_t* data, int length);
// What the port or a modem sends, for the last UDP sender and the port's
// owner (the ReplyTarget). A client whose replies are still being sent gets
// these bytes after them.
void RelayToClients(const uint8_t* data, int count);
// The session of a TCP cell, and the UDP one (tests look at the framing).
const Session& TcpSession(const ClientCell* cell);
const Session& UdpSession();
// Every session back to empty (start-up state; tests).
void ProtocolResetFraming();
// Drops, with a log line, each SETDCB block left incomplete by a client that
// has sent nothing for 2 s (the housekeeping tick).
void DropStalledSetDcb();
// The virtual-port slot a client's port name selects, or -1.
int FindVirtualPort(const char* name);
// Leading blanks, optional sign, digits up to the first other character.
int32_t ParseNumber(const char* text);

// Joins the layers below: device input and modem data go to the port's
// owner, packets and datagrams to the protocol, and KILL to shutdown (may be
// null: KILL then only ends the packet). Called before the servers start.
void BridgeConnect(void (*shutdown)());
// What KILL calls (protocol.cpp); BridgeConnect sets it.
void ProtocolSetShutdown(void (*shutdown)());
// true: KILL from a client logs a line and does nothing (the daemon's
// --no-remote-kill). Set before the servers start.
void ProtocolRefuseKill(bool refuse);

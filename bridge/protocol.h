// What joins clients to ports: the ESC-framed command protocol spoken on the
// TCP and UDP control ports, and the relay of device and modem data to the
// client that owns the port.
#pragma once
#include <cstdint>
#include <mutex>
#include "base/bridge.h"

// Serialises the processing of TCP and UDP packets over the one command block.
extern std::mutex protocolLock;

// One TCP client's packet (cell: its connection; length 0: the connection
// ended) or one UDP datagram; longer runs are taken in parts of at most 1023
// bytes.
void ProcessTCPData(const uint8_t* data, int length, ClientCell* cell);
void ProcessUDPData(const uint8_t* data, int length);
// Every client's framing back to "no line begun" and no SETDCB block
// pending (start-up state; tests).
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

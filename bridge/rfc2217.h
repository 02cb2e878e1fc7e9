// The Telnet Com Port Control protocol (RFC 2217) spoken on the RFC 2217
// listeners: the Telnet framing, the option negotiation, the port's settings
// through the serial layer, and the device's data to the session that owns
// the port.
#pragma once
#include <cstdint>
#include "base/bridge.h"

enum : uint8_t { kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240 };
enum : uint8_t { kOptBinary = 0, kOptSga = 3, kOptComPort = 44 };
// A subnegotiation keeps at most this many bytes; the rest is counted and
// the whole subnegotiation dropped.
enum : int { kMaxSubnegotiation = 64 };

// The Telnet framing of one connection's stream; a packet may end anywhere.
struct TelnetParser {
    int state;  // 0 data, 1 IAC seen, 2 option verb seen, 3 in SB, 4 IAC in SB
    uint8_t verb;
    uint8_t sub[kMaxSubnegotiation];
    int subLength;
    int subDropped;
};
// What TelnetNext stopped at: the end of the bytes, an option request
// (verb, option), or a whole subnegotiation (in the parser's sub).
enum TelnetEventKind { kTelnetEnd, kTelnetOption, kTelnetSub };
struct TelnetEvent {
    TelnetEventKind kind;
    uint8_t verb, option;
};
// Takes bytes from data[position] on; each data byte (IAC IAC as one 255)
// is appended to run, which has room for length bytes, and runLength
// counts them. Stops after each event; other commands are passed over.
TelnetEvent TelnetNext(TelnetParser& parser, const uint8_t* data, int length, int& position, uint8_t* run,
                       int& runLength);

// The handlers the listeners call (BridgeConnect sets them).
bool Rfc2217Start(ClientCell& cell, uint32_t peer, const char* portName);
void Rfc2217Receive(ClientCell& cell, const uint8_t* data, int length);
void Rfc2217End(ClientCell& cell);
void Rfc2217Tick(ClientCell& cell);
// The device's bytes for cell, IAC doubled, when cell is a session's; false
// when it is not.
bool Rfc2217Relay(ClientCell* cell, const uint8_t* data, int count);
void Rfc2217Connect();

// The RFC 2217 listeners: each serves one named serial port on its own TCP
// address and port, with the cell server's loop. What a connection sends and
// the Telnet it speaks are the layer above's (handlers set by
// NetSetRfc2217Handlers); nothing here reads a byte of it.
#pragma once
#include <cstdint>
#include "base/bridge.h"
#include "net/net.h"

enum : int { kMaxRfc2217Listeners = 8 };

// One listener: a dotted IPv4 address (empty: all interfaces), a TCP port
// and the serial port it serves ("COM3").
struct Rfc2217Listener {
    char address[16];
    int port;
    char portName[16];
};

// One "[ADDR:]PORT=COMn" value (the daemon's --rfc2217): false for any other
// text (a bad address, a port outside 1..65535, a name that is not COM and
// 1 to 4 digits).
bool ParseRfc2217Listener(const char* text, Rfc2217Listener* out);
// Adds a listener before the servers start; false when the table is full or
// another listener has the same port.
bool AddRfc2217Listener(const Rfc2217Listener& listener);
int Rfc2217ListenerCount();

// ---- Handlers, set by the layer above before the servers start ----
// Each is called on the listener's thread. accepted: a new connection in
// cell for portName (false: refused, the connection is closed at once and
// ended is not called); received: what it sent; ended: its end, however it
// came; tick: each pass of the listener's loop, at least every
// kRfc2217TickMs, for each connection the listener holds (setting the
// cell's cut ends it).
struct Rfc2217Handlers {
    bool (*accepted)(ClientCell& cell, uint32_t peer, const char* portName);
    void (*received)(ClientCell& cell, const uint8_t* data, int length);
    void (*ended)(ClientCell& cell);
    void (*tick)(ClientCell& cell);
};
enum : int { kRfc2217TickMs = 50 };
void NetSetRfc2217Handlers(const Rfc2217Handlers& handlers);

// The place of a listener's cell among all of them (0 to
// kMaxRfc2217Listeners * kClientCells - 1), or -1 for any other cell.
int Rfc2217CellIndex(const ClientCell* cell);
// Cuts every connection of the listeners (the program's end).
void CutRfc2217Connections();

// Started and stopped from the main thread, after and before the others.
void Rfc2217ServersOn();
void Rfc2217ServersOff();

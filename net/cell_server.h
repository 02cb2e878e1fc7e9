// Inside the network transport: the one accept-and-receive loop behind the
// TCP control server and the virtual port server, and what the servers and
// the sends share. Not for use outside net/.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include "base/bridge.h"
#include "net/net.h"

// A server over one table of client cells. state: 0 running, 1 asked to
// stop, -1 stopped (set by the thread on its way out). The hooks are the
// server's own: accepted once a connection sits in its cell (peer: its
// address, host order), received with each chunk read, ended before a
// connection is closed, whichever way it ended (closed or failed, cut by a
// send, or the server's stop), stopped once every cell is closed at the end.
struct CellServer {
    ClientCell* cells;
    int connectionStat;  // the Statistics counter of accepted connections
    std::atomic<int32_t>* state;
    void (*accepted)(ClientCell& cell, uint32_t peer);
    void (*received)(ClientCell& cell, const uint8_t* data, int length);
    void (*ended)(ClientCell& cell);
    void (*stopped)();
    std::thread thread;       // main thread only
    Handle wake = kNoHandle;  // written by the main thread before the start
    // Main thread only: On could not listen and left no thread; the On and
    // Off log pairs still complete, as for a server that ran.
    bool listenFailed = false;
    // Whether a connection is in use (the port's owner, a linked modem), so
    // it keeps its cell however long it stays quiet; null: none is.
    bool (*inUse)(const ClientCell& cell) = nullptr;
    const char* name = "";  // the server's name at the start of its log lines
    // Called with the cells on each pass of the loop, which then waits at
    // most tickMs; null: none.
    void (*tick)(ClientCell* cells) = nullptr;
    int tickMs = 0;
    // Receives of up to kBulkReceive bytes while the port keeps up.
    bool bulk = false;
};

// Logs a receive under header as the packets of kMaxPacket it is taken in.
void LogReceived(const char* header, const uint8_t* data, int length);

// Starts the server's thread on listener (the cells already free).
void CellServerStart(CellServer& server, Handle listener);
// Asks the thread to stop and wakes it, without waiting; every connection
// of the server is cut, so no send holds the stop up.
void CellServerAskStop(CellServer& server);
// Wakes the running server whose table holds cell (nothing when none does),
// so it frees a cell that was cut.
void CellServerWakeOwner(const ClientCell* cell);
// A free cell holds no connection.
inline bool CellFree(const ClientCell& cell) {
    return cell.socket.load() == kNoHandle;
}
// Waits for the thread and closes the wake socket.
void CellServerJoin(CellServer& server);

// Closes a cell's connection and frees the cell; only its server thread
// calls it. A SendTCP waiting on a client that stopped reading is released
// first, so the close never waits on it.
void CloseClientCell(ClientCell& cell);

// Held by SendUDP while it sends and by the UDP server while it closes the
// socket.
extern std::mutex udpSocketLock;

// The peer filter's answer for an address (access.cpp), logging a refusal.
bool PeerAllowed(uint32_t address);
// The host-order address of a dotted IPv4 text written exactly as
// AddressText writes it (no padding, no blanks); false for any other text.
bool DottedToAddress(const char* dotted, uint32_t* address);

// The handlers set by NetSetHandlers (send.cpp); each may be null.
extern std::atomic<TcpPacketHandler> tcpPacketHandler;
extern std::atomic<DataHandler> udpDatagramHandler;
extern std::atomic<DataHandler> modemDataHandler;

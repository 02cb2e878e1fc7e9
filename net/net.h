// The network transport: the TCP and UDP control servers, the virtual port
// server for GPRS modems, and the sends to clients. What arrives is handed to
// the handlers the layer above sets; nothing here reads a command.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include "base/bridge.h"

enum : int { kMaxPacket = 1023, kClientCells = 5, kVirtualPortTcp = 1339 };

// A control client's receive takes up to this many bytes, handed on as
// packets of kMaxPacket, while the port's line is fast and takes data as
// fast as it comes (bridge.PortKeepsUp); else one packet, so that what the
// thread waits on in one write stays within a packet.
enum : int { kBulkReceive = 8 * kMaxPacket };

// A send to a TCP client or modem that makes no progress for this long gives
// the client up: its connection is ended and the data dropped. Progress (any
// byte taken) starts the time again, so a slow link that drains is kept.
enum : int { kSendLimitMs = 5000 };

// With every cell taken and a new connection waiting, the connection quiet
// longest (no byte from it for at least kIdleLimitMs) that is not in use is
// closed to make room. A waiting connection that finds no room within
// kWaitLimitMs is closed. The listen backlog holds those behind it.
enum : int { kIdleLimitMs = 5000, kWaitLimitMs = 20000, kListenBacklog = 64 };

extern ClientCell tcpCells[kClientCells];      // TCP control server
extern ClientCell virtualCells[kClientCells];  // virtual port server

// ---- Handlers, set by the layer above before the servers start ----
// A TCP client's packet (cell: its connection; null data and length 0 when
// the connection ended), a UDP datagram (null data and length 0 when the UDP
// server stopped), and data from a linked modem. Each is called on its
// server's thread.
using TcpPacketHandler = void (*)(const uint8_t* data, int length, ClientCell* cell);
using DataHandler = void (*)(const uint8_t* data, int length);
void NetSetHandlers(TcpPacketHandler tcpPacket, DataHandler udpDatagram, DataHandler modemData);

// ---- Peer addresses ----
// A peer's IPv4 address is a uint32_t in host order (127.0.0.1 is
// 0x7F000001) from the accept or the receive on: the peer filter, the
// virtual-port slot matching and the name lookup all take it so, and text is
// made only for the log and the status line. (The packed UDP sender below
// keeps sin_addr's bytes as they are.)
// The dotted text of an address, for the log and the status line.
void AddressText(uint32_t address, char dotted[16]);
// Reads "A.B.C.D" at the start of text: digits and dots only, each part one
// to three digits and 0-255 (leading zeros taken). Gives the host-order
// address and the first character after it, or null for any other text.
const char* ReadDottedAddress(const char* text, uint32_t* address);

// ---- Access control, set by the layer above before the servers start ----
// Asked with the peer's address for every connection accepted on the TCP
// control port and on the virtual port, and for every datagram; false
// refuses the peer: the connection is closed at once, the datagram dropped,
// neither counted, and the first refusal of each address is logged. Null
// (the default) takes every peer.
using PeerFilter = bool (*)(uint32_t address);
void NetSetPeerFilter(PeerFilter filter);

// ---- Sends to clients ----
// cell nullptr means the ReplyTarget. 0 when every byte was sent. Takes at
// most kSendLimitMs without progress; a client that takes nothing for that
// long is cut (one log line) and its server frees the cell.
int SendTCP(const uint8_t* data, int length, ClientCell* cell);
// Cuts every connection of both cell tables, so no send waits on a client
// any more (the program's end).
void CutAllConnections();
// To the last UDP sender; 0 also when udpEnabled is clear.
int SendUDP(const uint8_t* data, int length);
// bridge.lastUdpSender packing: the IPv4 address exactly as in sin_addr
// (network order) in the high 32 bits, the port as in sin_port in the low 16.
inline uint64_t PackUdpSender(uint32_t addressNetworkOrder, uint16_t portNetworkOrder) {
    return (uint64_t)addressNetworkOrder << 32 | portNetworkOrder;
}
inline void UnpackUdpSender(uint64_t packed, uint32_t& addressNetworkOrder, uint16_t& portNetworkOrder) {
    addressNetworkOrder = (uint32_t)(packed >> 32);
    portNetworkOrder = (uint16_t)(packed & 0xFFFF);
}
// The host-order address of a packed sender.
uint32_t UdpSenderAddress(uint64_t packed);
// Dotted IPv4 text of a packed sender ("0.0.0.0" before any datagram).
void UdpSenderText(uint64_t packed, char dotted[16]);
// Socket seam (net_posix.cpp / net_win32.cpp) for SendUDP: one datagram
// to a packed address; bytes sent or -1 (SocketLastError tells why).
int SocketSendTo(Handle s, const uint8_t* data, int length, uint64_t packedAddress);

// ---- Servers (started and stopped from the main thread) ----
// A listener that could not bind logs it once; the TCP one is made again by
// TCPServerRetryListen (the tick) and the UDP one by its own thread every
// 300 ms, until it binds or the server is switched off: the interface
// address may come later, as a network card's does at boot.
void TCPServerOn();
void TCPServerOff();
// Main thread: after a failed On, listens once the bind succeeds (one line).
void TCPServerRetryListen();
void UDPServerOn();
void UDPServerOff();
void VirtualPortsOn();
void VirtualPortsOff();

// ---- Platform seam (net_posix.cpp / net_win32.cpp) ----
// Starts Winsock 2.2 once per process (Windows; nothing to start elsewhere);
// every later call gives the first result. 0 on success. The functions below
// that make sockets call it themselves; the process end cleans it up.
int NetStartup();
void SocketClose(Handle s);       // shutdown both ways, then close
// Ends both directions without closing: a send blocked on the socket in
// another thread returns, so its lock can be taken to close the socket.
void SocketShutdown(Handle s);
int SocketLastError();            // Winsock code on Windows, errno elsewhere
// One send that never waits: the bytes taken (a stream socket may take
// fewer than asked), kSendWouldBlock when it can take none now, -1 on error.
// No SIGPIPE.
enum : int { kSendWouldBlock = -2 };
int SocketSendNow(Handle s, const uint8_t* data, int length);
// Waits up to timeoutMs until s can take more: 1 ready (or failed, which
// the next send reports), 0 not yet, -1 error.
int SocketWaitWritable(Handle s, int timeoutMs);
void SocketTuneAccepted(Handle s);  // TCP_NODELAY and a short keep-alive
// Resolves a host name to its first IPv4 address (host order); 0 on
// success. It may take as long as the system's resolver does.
int ResolveHostName(const char* name, uint32_t* address);
// Fills up to ten dotted IPv4 addresses of this host; count or -1.
int GetLocalAddresses(char table[10][16]);

// Server sockets (net_posix.cpp / net_win32.cpp). address is a dotted IPv4
// text or empty for all interfaces; on failure kNoHandle, *error the code.
enum : int { kRecvRetry = -2, kRecvTooLong = -3 };
Handle TcpListen(const char* address, int port, int* error);
// An accepted socket is left so that SocketSendNow never blocks on it.
// *peer is the peer's address (host order). kNoHandle on failure.
Handle SocketAccept(Handle listener, uint32_t* peer);
// Bytes read, 0 when the peer closed, kRecvRetry when nothing is there after
// all, -1 on error.
int SocketRecv(Handle s, uint8_t* buffer, int size);
// Waits until some of the count sockets can be read; readable[i] marks them.
// Result: how many, 0 on time-out, -1 on error.
int SocketWaitReadable(const Handle* sockets, int count, uint8_t* readable, int timeoutMs);
Handle UdpOpen(const char* address, int port, int* error);
// The datagram readiness wait: a Winsock event on Windows, poll elsewhere.
Handle UdpEventOpen(Handle s);  // kNoHandle on failure
int UdpEventWait(Handle event, Handle s, int timeoutMs);  // 1 ready, 0 not
void UdpEventClose(Handle event);
// One datagram of at most size bytes: its length, kRecvRetry for the errors
// that are passed over, kRecvTooLong for a dropped longer datagram, -1 else.
int UdpReceive(Handle s, uint8_t* buffer, int size, uint64_t* sender, int* error);
// A loopback datagram socket that lets another thread wake a waiting server.
Handle WakeOpen();
void WakeSignal(Handle wake);
void WakeDrain(Handle wake);

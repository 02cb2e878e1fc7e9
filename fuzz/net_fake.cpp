// The client sockets in memory (fuzz build only, in place of the platform
// back end): every send is taken whole and kept; no server socket can be
// made, so no server thread runs and the fuzz targets call the packet
// handlers themselves.
#include <cstring>
#include <mutex>
#include "fuzz/fakes.h"
#include "net/net.h"

// The feeding thread sends replies, the port's reader relays answers.
static std::mutex sendsLock;
static std::vector<fake::Sent> sends;

namespace fake {
void ClearSends() {
    std::lock_guard<std::mutex> guard(sendsLock);
    sends.clear();
}

std::vector<Sent> Sends() {
    std::lock_guard<std::mutex> guard(sendsLock);
    return sends;
}
}  // namespace fake

static void Record(Handle s, bool udp, const uint8_t* data, int length) {
    std::lock_guard<std::mutex> guard(sendsLock);
    sends.push_back({s, udp, std::vector<uint8_t>(data, data + length)});
}

int NetStartup() {
    return 0;
}

void SocketClose(Handle s) {}
void SocketShutdown(Handle s) {}

int SocketLastError() {
    return 0;
}

int SocketSendNow(Handle s, const uint8_t* data, int length) {
    Record(s, false, data, length);
    return length;
}

int SocketWaitWritable(Handle s, int timeoutMs) {
    return 1;
}

int SocketSendTo(Handle s, const uint8_t* data, int length, uint64_t packedAddress) {
    Record(s, true, data, length);
    return length;
}

void SocketTuneAccepted(Handle s) {}

int ResolveHostName(const char* name, uint32_t* address) {
    return 1;
}

int GetLocalAddresses(char table[10][16]) {
    memset(table, 0, 10 * 16);
    return 0;
}

Handle TcpListen(const char* address, int port, int* error) {
    *error = 1;
    return kNoHandle;
}

Handle SocketAccept(Handle listener, uint32_t* peer) {
    return kNoHandle;
}

int SocketRecv(Handle s, uint8_t* buffer, int size) {
    return -1;
}

int SocketWaitReadable(const Handle* sockets, int count, uint8_t* readable, int timeoutMs) {
    return -1;
}

Handle UdpOpen(const char* address, int port, int* error) {
    *error = 1;
    return kNoHandle;
}

Handle UdpEventOpen(Handle s) {
    return kNoHandle;
}

int UdpEventWait(Handle event, Handle s, int timeoutMs) {
    return 0;
}

void UdpEventClose(Handle event) {}

int UdpReceive(Handle s, uint8_t* buffer, int size, uint64_t* sender, int* error) {
    *error = 1;
    return -1;
}

Handle WakeOpen() {
    return kNoHandle;
}

void WakeSignal(Handle wake) {}
void WakeDrain(Handle wake) {}

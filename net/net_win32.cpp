// Socket seam on Windows (Winsock 2.2). Twin: net_posix.cpp.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <cstring>
#include "net/net.h"

int NetStartup() {
    // A function-local static: started by the first caller of any thread.
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : 1;
    }();
    return result;
}

void SocketClose(Handle s) {
    if (s == kNoHandle) return;
    shutdown((SOCKET)s, SD_BOTH);
    closesocket((SOCKET)s);
}

void SocketShutdown(Handle s) {
    if (s != kNoHandle) shutdown((SOCKET)s, SD_BOTH);
}

int SocketLastError() {
    return WSAGetLastError();
}

int SocketSendNow(Handle s, const uint8_t* data, int length) {
    // Accepted sockets are non-blocking (SocketAccept), so this never waits.
    int n = send((SOCKET)s, (const char*)data, length, 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kSendWouldBlock;
    return n == SOCKET_ERROR ? -1 : n;
}

int SocketWaitWritable(Handle s, int timeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET((SOCKET)s, &writable);
    FD_SET((SOCKET)s, &failed);
    struct timeval t;
    t.tv_sec = timeoutMs / 1000;
    t.tv_usec = (timeoutMs % 1000) * 1000;
    int r = select(0, nullptr, &writable, &failed, &t);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

enum { kSendToAttempts = 5, kSendToWaitMs = 100 };

int SocketSendTo(Handle s, const uint8_t* data, int length, uint64_t packedAddress) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    uint32_t address;
    uint16_t port;
    UnpackUdpSender(packedAddress, address, port);
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    // The UDP socket is non-blocking: a full send buffer is waited out for
    // a moment, so that the datagram is not lost.
    int n = SOCKET_ERROR;
    for (int attempt = 0; attempt < kSendToAttempts; attempt++) {
        n = sendto((SOCKET)s, (const char*)data, length, 0, (struct sockaddr*)&to, sizeof to);
        if (n != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK) return n;
        if (SocketWaitWritable(s, kSendToWaitMs) < 0) break;
    }
    return n;
}

void SocketTuneAccepted(Handle s) {
    BOOL one = TRUE;
    setsockopt((SOCKET)s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
    // A peer that vanishes without closing is found within about a minute:
    // 30 s idle, then probes 3 s apart (Windows sends ten).
    struct tcp_keepalive k;
    k.onoff = 1;
    k.keepalivetime = 30000;
    k.keepaliveinterval = 3000;
    DWORD got = 0;
    if (WSAIoctl((SOCKET)s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &got, nullptr, nullptr) != 0)
        setsockopt((SOCKET)s, SOL_SOCKET, SO_KEEPALIVE, (const char*)&one, sizeof one);
}

int ResolveHostName(const char* name, uint32_t* address) {
    if (NetStartup() != 0) return 1;
    // gethostbyname's result is the calling thread's own.
    struct hostent* h = gethostbyname(name);
    if (!h || h->h_addrtype != AF_INET || !h->h_addr_list[0]) return 1;
    struct in_addr a;
    memcpy(&a, h->h_addr_list[0], 4);
    *address = ntohl(a.s_addr);
    return 0;
}

int GetLocalAddresses(char table[10][16]) {
    memset(table, 0, 10 * 16);
    if (NetStartup() != 0) return -1;
    char host[256];
    struct hostent* h = nullptr;
    if (gethostname(host, sizeof host) == 0) h = gethostbyname(host);
    if (!h) return -1;
    int count = 0;
    for (int i = 0; h->h_addr_list[i] && count < 10; i++) {
        struct in_addr a;
        memcpy(&a, h->h_addr_list[i], 4);
        strncpy(table[count], inet_ntoa(a), 15);
        count++;
    }
    return count;
}

static int MakeAddress(const char* address, int port, struct sockaddr_in* a) {
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons((u_short)port);
    if (!address || !address[0]) {
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    unsigned long v = inet_addr(address);
    if (v == INADDR_NONE && strcmp(address, "255.255.255.255") != 0) return 1;
    a->sin_addr.s_addr = v;
    return 0;
}

// No other socket may bind the same port, not even a more specific address
// with SO_REUSEADDR; a refused option still leaves a working socket.
static void ExcludeOtherBinds(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&one, sizeof one);
}

Handle TcpListen(const char* address, int port, int* error) {
    struct sockaddr_in a;
    if (MakeAddress(address, port, &a) != 0) {
        *error = WSAEINVAL;
        return kNoHandle;
    }
    if (NetStartup() != 0) {
        *error = WSANOTINITIALISED;
        return kNoHandle;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return kNoHandle;
    }
    // No SO_REUSEADDR here: on Windows it would let another program take
    // the port over. A closed listener frees its port at once anyway.
    ExcludeOtherBinds(s);
    if (bind(s, (struct sockaddr*)&a, sizeof a) != 0 || listen(s, kListenBacklog) != 0) {
        *error = WSAGetLastError();
        closesocket(s);
        return kNoHandle;
    }
    // Non-blocking, so an accept whose connection vanished after the wait
    // cannot hang the server (accepted sockets inherit it).
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
    return (Handle)s;
}

Handle SocketAccept(Handle listener, uint32_t* peer) {
    struct sockaddr_in a;
    int size = sizeof a;
    memset(&a, 0, sizeof a);
    SOCKET s = accept((SOCKET)listener, (struct sockaddr*)&a, &size);
    if (s == INVALID_SOCKET) return kNoHandle;
    // Non-blocking, so a send waits only as long as SendTCP lets it; the
    // server reads only what its wait said was there.
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    if (peer) *peer = ntohl(a.sin_addr.s_addr);
    return (Handle)s;
}

int SocketRecv(Handle s, uint8_t* buffer, int size) {
    int n = recv((SOCKET)s, (char*)buffer, size, 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return kRecvRetry;
    return n;
}

int SocketWaitReadable(const Handle* sockets, int count, uint8_t* readable, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < count; i++) {
        FD_SET((SOCKET)sockets[i], &set);
        readable[i] = 0;
    }
    struct timeval t;
    t.tv_sec = timeoutMs / 1000;
    t.tv_usec = (timeoutMs % 1000) * 1000;
    int r = select(0, &set, nullptr, nullptr, &t);
    if (r <= 0) return r < 0 ? -1 : 0;
    int ready = 0;
    for (int i = 0; i < count; i++) {
        if (FD_ISSET((SOCKET)sockets[i], &set)) {
            readable[i] = 1;
            ready++;
        }
    }
    return ready;
}

Handle UdpOpen(const char* address, int port, int* error) {
    struct sockaddr_in a;
    if (MakeAddress(address, port, &a) != 0) {
        *error = WSAEINVAL;
        return kNoHandle;
    }
    if (NetStartup() != 0) {
        *error = WSANOTINITIALISED;
        return kNoHandle;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return kNoHandle;
    }
    ExcludeOtherBinds(s);
    if (bind(s, (struct sockaddr*)&a, sizeof a) != 0) {
        *error = WSAGetLastError();
        closesocket(s);
        return kNoHandle;
    }
    return (Handle)s;
}

Handle UdpEventOpen(Handle s) {
    WSAEVENT e = WSACreateEvent();
    if (e == WSA_INVALID_EVENT) return kNoHandle;
    // Also makes the socket non-blocking.
    if (WSAEventSelect((SOCKET)s, e, FD_READ) != 0) {
        WSACloseEvent(e);
        return kNoHandle;
    }
    return (Handle)e;
}

int UdpEventWait(Handle event, Handle s, int timeoutMs) {
    WSAEVENT e = (WSAEVENT)event;
    DWORD r = WSAWaitForMultipleEvents(1, &e, FALSE, (DWORD)timeoutMs, FALSE);
    if (r != WSA_WAIT_EVENT_0) return 0;
    WSAResetEvent(e);
    return 1;
}

void UdpEventClose(Handle event) {
    if (event != kNoHandle) WSACloseEvent((WSAEVENT)event);
}

int UdpReceive(Handle s, uint8_t* buffer, int size, uint64_t* sender, int* error) {
    struct sockaddr_in from;
    int fromSize = sizeof from;
    memset(&from, 0, sizeof from);
    int n = recvfrom((SOCKET)s, (char*)buffer, size, 0, (struct sockaddr*)&from, &fromSize);
    if (n == SOCKET_ERROR) {
        *error = WSAGetLastError();
        // Port unreachable (or TTL expired) answering an earlier send, or
        // nothing to read after all: the socket itself is fine.
        if (*error == WSAECONNRESET || *error == WSAENETRESET || *error == WSAEWOULDBLOCK) return kRecvRetry;
        // The rest of a longer datagram is already discarded.
        if (*error == WSAEMSGSIZE) return kRecvTooLong;
        return -1;
    }
    *error = 0;
    *sender = PackUdpSender(from.sin_addr.s_addr, from.sin_port);
    return n;
}

Handle WakeOpen() {
    if (NetStartup() != 0) return kNoHandle;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return kNoHandle;
    struct sockaddr_in a;
    MakeAddress("127.0.0.1", 0, &a);
    if (bind(s, (struct sockaddr*)&a, sizeof a) != 0) {
        closesocket(s);
        return kNoHandle;
    }
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    return (Handle)s;
}

void WakeSignal(Handle wake) {
    if (wake == kNoHandle) return;
    struct sockaddr_in a;
    int size = sizeof a;
    if (getsockname((SOCKET)wake, (struct sockaddr*)&a, &size) != 0) return;
    char one = 1;
    sendto((SOCKET)wake, &one, 1, 0, (struct sockaddr*)&a, size);
}

void WakeDrain(Handle wake) {
    char buffer[16];
    for (int i = 0; i < 64; i++)
        if (recv((SOCKET)wake, buffer, sizeof buffer, 0) == SOCKET_ERROR) break;
}

// Real loopback sockets for the unit tests of both targets: a connected TCP
// pair (the server side goes into a ClientCell) and bound UDP sockets.
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include "base/bridge.h"
#include "net/net.h"

namespace lb {

#ifdef _WIN32
using Native = SOCKET;
using socklen_t = int;
#else
using Native = int;
#endif
inline Native Raw(Handle s) { return (Native)s; }

inline void CloseSock(Handle s) {
    if (s <= 0) return;
#ifdef _WIN32
    closesocket((SOCKET)s);
#else
    close((int)s);
#endif
}

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline uint16_t LocalPort(Handle s) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(Raw(s), (sockaddr*)&a, &n);
    return ntohs(a.sin_port);
}

// A connected TCP pair on 127.0.0.1: server (accepted side) and client.
struct TcpPair {
    Handle server = kNoHandle, client = kNoHandle;
    bool Open() {
        Handle l = (Handle)socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(0);
        if (bind(Raw(l), (sockaddr*)&a, sizeof a) != 0 || listen(Raw(l), 1) != 0) {
            CloseSock(l);
            return false;
        }
        a = Loopback(LocalPort(l));
        client = (Handle)socket(AF_INET, SOCK_STREAM, 0);
        if (connect(Raw(client), (sockaddr*)&a, sizeof a) != 0) {
            CloseSock(l);
            return false;
        }
        server = (Handle)accept(Raw(l), nullptr, nullptr);
        CloseSock(l);
        return server > 0;
    }
    ~TcpPair() {
        CloseSock(server);
        CloseSock(client);
    }
};

// Waits up to timeoutMs for s to become readable.
inline bool Readable(Handle s, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Raw(s), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select((int)s + 1, &set, nullptr, nullptr, &tv) > 0;
}

// Reads until n bytes arrived, the peer closed, or timeoutMs passed.
inline std::string Read(Handle s, size_t n, int timeoutMs) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int round = 0; round < 100000 && got.size() < n; round++) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !Readable(s, left)) break;
        char buf[4096];
        int r = (int)recv(Raw(s), buf, (int)std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) break;
        got.append(buf, (size_t)r);
    }
    return got;
}

inline Handle UdpSocket() {
    Handle s = (Handle)socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    bind(Raw(s), (sockaddr*)&a, sizeof a);
    return s;
}

// The packed form of 127.0.0.1:port, as the UDP server records a sender.
inline uint64_t PackedLoopback(uint16_t port) {
    sockaddr_in a = Loopback(port);
    return PackUdpSender(a.sin_addr.s_addr, a.sin_port);
}

}  // namespace lb

// Socket seam on POSIX (BSD sockets). Twin: net_win32.cpp.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include "net/net.h"

int NetStartup() {
    return 0;
}

void SocketClose(Handle s) {
    if (s == kNoHandle) return;
    shutdown((int)s, SHUT_RDWR);
    close((int)s);
}

void SocketShutdown(Handle s) {
    if (s != kNoHandle) shutdown((int)s, SHUT_RDWR);
}

int SocketLastError() {
    return errno;
}

int SocketSendNow(Handle s, const uint8_t* data, int length) {
    // MSG_NOSIGNAL: a client gone away must not raise SIGPIPE. MSG_DONTWAIT
    // keeps the accepted socket blocking for everything else.
    ssize_t n;
    do {
        n = send((int)s, data, (size_t)length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kSendWouldBlock;
    return (int)n;
}

int SocketWaitWritable(Handle s, int timeoutMs) {
    struct pollfd p;
    p.fd = (int)s;
    p.events = POLLOUT;
    p.revents = 0;
    int r = poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

int SocketSendTo(Handle s, const uint8_t* data, int length, uint64_t packedAddress) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    uint32_t address;
    uint16_t port;
    UnpackUdpSender(packedAddress, address, port);
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    return (int)sendto((int)s, data, (size_t)length, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to);
}

void SocketTuneAccepted(Handle s) {
    int one = 1;
    setsockopt((int)s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A peer that vanishes without closing is found within about a minute:
    // 30 s idle, then 6 probes 5 s apart.
    setsockopt((int)s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 30, interval = 5, count = 6;
    setsockopt((int)s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt((int)s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt((int)s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

int ResolveHostName(const char* name, uint32_t* address) {
    struct addrinfo hints, *result = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) return 1;
    *address = ntohl(((struct sockaddr_in*)result->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(result);
    return 0;
}

int GetLocalAddresses(char table[10][16]) {
    memset(table, 0, 10 * 16);
    char host[256];
    if (gethostname(host, sizeof host) != 0) return -1;
    host[sizeof host - 1] = 0;
    struct addrinfo hints, *result = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0) return -1;
    int count = 0;
    for (struct addrinfo* ai = result; ai && count < 10; ai = ai->ai_next) {
        struct in_addr a = ((struct sockaddr_in*)ai->ai_addr)->sin_addr;
        inet_ntop(AF_INET, &a, table[count], 16);
        count++;
    }
    freeaddrinfo(result);
    return count;
}

static int MakeAddress(const char* address, int port, struct sockaddr_in* a) {
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons((uint16_t)port);
    if (!address || !address[0]) {
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    return inet_pton(AF_INET, address, &a->sin_addr) == 1 ? 0 : 1;
}

static void SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return;
    fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

Handle TcpListen(const char* address, int port, int* error) {
    struct sockaddr_in a;
    if (MakeAddress(address, port, &a) != 0) {
        *error = EINVAL;
        return kNoHandle;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        *error = errno;
        return kNoHandle;
    }
    // A restarted server must listen again at once, past connections that
    // linger in TIME_WAIT.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0 || listen(fd, kListenBacklog) != 0) {
        *error = errno;
        close(fd);
        return kNoHandle;
    }
    // Non-blocking, so an accept whose connection vanished after the wait
    // cannot hang the server; accepted sockets do not inherit it here.
    SetNonBlocking(fd, true);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

Handle SocketAccept(Handle listener, uint32_t* peer) {
    struct sockaddr_in a;
    socklen_t size = sizeof a;
    memset(&a, 0, sizeof a);
    int fd = accept((int)listener, (struct sockaddr*)&a, &size);
    if (fd < 0) return kNoHandle;
    SetNonBlocking(fd, false);
    if (peer) *peer = ntohl(a.sin_addr.s_addr);
    return fd;
}

int SocketRecv(Handle s, uint8_t* buffer, int size) {
    ssize_t n;
    do {
        n = recv((int)s, buffer, (size_t)size, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kRecvRetry;
    return (int)n;
}

int SocketWaitReadable(const Handle* sockets, int count, uint8_t* readable, int timeoutMs) {
    struct pollfd set[16];
    if (count > 16) count = 16;
    for (int i = 0; i < count; i++) {
        set[i].fd = (int)sockets[i];
        set[i].events = POLLIN;
        set[i].revents = 0;
        readable[i] = 0;
    }
    int r = poll(set, (nfds_t)count, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    int ready = 0;
    for (int i = 0; i < count; i++) {
        // A hang-up or error also counts: the receive then reports it.
        if (set[i].revents & (POLLIN | POLLHUP | POLLERR)) {
            readable[i] = 1;
            ready++;
        }
    }
    return ready;
}

Handle UdpOpen(const char* address, int port, int* error) {
    struct sockaddr_in a;
    if (MakeAddress(address, port, &a) != 0) {
        *error = EINVAL;
        return kNoHandle;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        *error = errno;
        return kNoHandle;
    }
    if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        *error = errno;
        close(fd);
        return kNoHandle;
    }
    return fd;
}

Handle UdpEventOpen(Handle s) {
    // No event object here: the socket itself is waited on with poll.
    SetNonBlocking((int)s, true);
    return s;
}

int UdpEventWait(Handle event, Handle s, int timeoutMs) {
    struct pollfd p;
    p.fd = (int)s;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, timeoutMs) > 0 ? 1 : 0;
}

void UdpEventClose(Handle event) {}

int UdpReceive(Handle s, uint8_t* buffer, int size, uint64_t* sender, int* error) {
    struct sockaddr_in from;
    socklen_t fromSize = sizeof from;
    memset(&from, 0, sizeof from);
    // MSG_TRUNC makes the result the datagram's real length.
    ssize_t n = recvfrom((int)s, buffer, (size_t)size, MSG_TRUNC, (struct sockaddr*)&from, &fromSize);
    if (n < 0) {
        *error = errno;
        // Nothing to read after all, or an ICMP answer to an earlier send:
        // the socket itself is fine.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED ||
            errno == ECONNRESET)
            return kRecvRetry;
        return -1;
    }
    *error = 0;
    if (n > size) return kRecvTooLong;
    *sender = PackUdpSender(from.sin_addr.s_addr, from.sin_port);
    return (int)n;
}

Handle WakeOpen() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return kNoHandle;
    struct sockaddr_in a;
    MakeAddress("127.0.0.1", 0, &a);
    if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return kNoHandle;
    }
    SetNonBlocking(fd, true);
    return fd;
}

void WakeSignal(Handle wake) {
    if (wake == kNoHandle) return;
    struct sockaddr_in a;
    socklen_t size = sizeof a;
    if (getsockname((int)wake, (struct sockaddr*)&a, &size) != 0) return;
    uint8_t one = 1;
    sendto((int)wake, &one, 1, 0, (struct sockaddr*)&a, size);
}

void WakeDrain(Handle wake) {
    uint8_t buffer[16];
    for (int i = 0; i < 64; i++)
        if (recv((int)wake, buffer, sizeof buffer, 0) < 0) break;
}

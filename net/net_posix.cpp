// Socket seam on POSIX (BSD sockets). Twin: net_win32.cpp.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include "net/net.h"

int NetStartup() {
    return 0;
}

void NetCleanup() {}

void SocketClose(Handle s) {
    if (s <= 0) return;
    shutdown((int)s, SHUT_RDWR);
    close((int)s);
}

int SocketLastError() {
    return errno;
}

int SocketSend(Handle s, const uint8_t* data, int length) {
    // MSG_NOSIGNAL: a client gone away must not raise SIGPIPE.
    return (int)send((int)s, data, (size_t)length, MSG_NOSIGNAL);
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

int ResolveHostName(const char* name, char dotted[16]) {
    struct addrinfo hints, *result = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) return 1;
    struct in_addr a = ((struct sockaddr_in*)result->ai_addr)->sin_addr;
    inet_ntop(AF_INET, &a, dotted, 16);
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

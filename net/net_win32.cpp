// Socket seam on Windows (Winsock 2.2). Twin: net_posix.cpp.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <cstring>
#include "net/net.h"

int NetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : 1;
}

void NetCleanup() {
    WSACleanup();
}

void SocketClose(Handle s) {
    if (s <= 0) return;
    shutdown((SOCKET)s, SD_BOTH);
    closesocket((SOCKET)s);
}

int SocketLastError() {
    return WSAGetLastError();
}

int SocketSend(Handle s, const uint8_t* data, int length) {
    return send((SOCKET)s, (const char*)data, length, 0);
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

int ResolveHostName(const char* name, char dotted[16]) {
    struct hostent* h = gethostbyname(name);
    if (!h || h->h_addrtype != AF_INET || !h->h_addr_list[0]) return 1;
    struct in_addr a;
    memcpy(&a, h->h_addr_list[0], 4);
    strncpy(dotted, inet_ntoa(a), 15);
    dotted[15] = 0;
    return 0;
}

int GetLocalAddresses(char table[10][16]) {
    memset(table, 0, 10 * 16);
    if (NetStartup() != 0) return -1;
    char host[256];
    struct hostent* h = nullptr;
    if (gethostname(host, sizeof host) == 0) h = gethostbyname(host);
    if (!h) {
        NetCleanup();
        return -1;
    }
    int count = 0;
    for (int i = 0; h->h_addr_list[i] && count < 10; i++) {
        struct in_addr a;
        memcpy(&a, h->h_addr_list[i], 4);
        strncpy(table[count], inet_ntoa(a), 15);
        count++;
    }
    NetCleanup();
    return count;
}

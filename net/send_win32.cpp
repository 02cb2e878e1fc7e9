// Datagram send of the client sends on Windows (Winsock). Twin: send_posix.cpp.
#include <winsock2.h>
#include <cstring>
#include "net/net.h"

int SocketSendTo(Handle s, const uint8_t* data, int length, uint64_t packedAddress) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    uint32_t address;
    uint16_t port;
    UnpackUdpSender(packedAddress, address, port);
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    return sendto((SOCKET)s, (const char*)data, length, 0, (struct sockaddr*)&to, sizeof to);
}

// Datagram send of the client sends on POSIX. Twin: send_win32.cpp.
#include <netinet/in.h>
#include <sys/socket.h>
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
    return (int)sendto((int)s, data, (size_t)length, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to);
}

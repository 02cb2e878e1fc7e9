// Sends to clients: SendTCP to one TCP client cell (or the port owner), SendUDP
// to the last UDP sender. Every byte the bridge sends to a client goes here.
#include <cstdio>
#include <cstring>
#include "base/bridge.h"
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

std::atomic<TcpPacketHandler> tcpPacketHandler{nullptr};
std::atomic<DataHandler> udpDatagramHandler{nullptr};
std::atomic<DataHandler> modemDataHandler{nullptr};

void NetSetHandlers(TcpPacketHandler tcpPacket, DataHandler udpDatagram, DataHandler modemData) {
    tcpPacketHandler = tcpPacket;
    udpDatagramHandler = udpDatagram;
    modemDataHandler = modemData;
}

void UdpSenderText(uint64_t packed, char dotted[16]) {
    uint32_t address;
    uint16_t port;
    UnpackUdpSender(packed, address, port);
    // The address is kept in network order, so its bytes in memory are the
    // four parts of the dotted form in order, on any host.
    uint8_t part[4];
    memcpy(part, &address, 4);
    snprintf(dotted, 16, "%u.%u.%u.%u", part[0], part[1], part[2], part[3]);
}

int SendTCP(const uint8_t* data, int length, ClientCell* cell) {
    bool replyTarget = cell == nullptr;
    if (replyTarget) cell = bridge.ReplyTarget.load();
    if (!cell) return 1;
    if (length < 0 || (!data && length > 0)) return 1;

    int sent, error = 0;
    {
        // The owning server thread closes the socket and frees the cell under
        // this lock, so the socket read here stays the one sent on.
        std::lock_guard<std::mutex> guard(cell->sendLock);
        Handle s = cell->socket.load();
        // Owner gone: the data is dropped quietly. A free cell named by the
        // caller fails like a send on no socket.
        if (s == kNoHandle && replyTarget) return 1;
        sent = SocketSend(s, data, length);
        if (sent < 0) error = SocketLastError();
    }
    if (sent < 0) {
        LogFormat("SendTCP Error: %ld", (long)error);
        return 1;
    }
    if (sent < length) {
        LogText("SendTCP Error - nie wyslano wszystkiego");
        return 1;
    }
    if (LogEnabled()) {
        // Formatted only with the log on: this runs for every relayed chunk.
        char line[1024];
        snprintf(line, sizeof line, "SendTCP - OK, size:%d %-.*s", length, length,
                 data ? (const char*)data : "");
        LogText(line);
    }
    bridge.ActivityCounter++;
    return 0;
}

std::mutex udpSocketLock;

int SendUDP(const uint8_t* data, int length) {
    if (!settingsRecord.udpEnabled) return 0;
    if (length < 0 || (!data && length > 0)) return 1;
    uint64_t to = bridge.lastUdpSender.load();
    int sent;
    long error;
    {
        // The UDP server closes its socket under this lock, so a send never
        // reaches a descriptor that was closed and handed to something else.
        std::lock_guard<std::mutex> guard(udpSocketLock);
        sent = SocketSendTo(bridge.udpSocket.load(), data, length, to);
        error = SocketLastError();
    }
    if (sent < 0) {
        char dotted[16];
        UdpSenderText(to, dotted);
        LogFormat("SendUDP Adres: %s Error: %ld", dotted, error);
        return 1;
    }
    if (sent < length) {
        LogText("SendUDP Error - nie wyslano wszystkiego");
        return 1;
    }
    bridge.ActivityCounter++;
    return 0;
}

void CloseClientCell(ClientCell& cell) {
    SocketShutdown(cell.socket);
    std::lock_guard<std::mutex> guard(cell.sendLock);
    SocketClose(cell.socket);
    cell.socket = kNoHandle;
}

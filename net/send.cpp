// Sends to clients: SendTCP to one TCP client cell (or the port owner), SendUDP
// to the last UDP sender. Every byte the bridge sends to a client goes here.
#include <chrono>
#include <cstdio>
#include <cstring>
#include "base/bridge.h"
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"
#include "net/rfc2217_server.h"

std::atomic<TcpPacketHandler> tcpPacketHandler{nullptr};
std::atomic<DataHandler> udpDatagramHandler{nullptr};
std::atomic<DataHandler> modemDataHandler{nullptr};

void NetSetHandlers(TcpPacketHandler tcpPacket, DataHandler udpDatagram, DataHandler modemData) {
    tcpPacketHandler = tcpPacket;
    udpDatagramHandler = udpDatagram;
    modemDataHandler = modemData;
}

uint32_t UdpSenderAddress(uint64_t packed) {
    uint32_t address;
    uint16_t port;
    UnpackUdpSender(packed, address, port);
    // The address is kept in network order, so its bytes in memory are the
    // four parts of the dotted form in order, on any host.
    uint8_t part[4];
    memcpy(part, &address, 4);
    return (uint32_t)part[0] << 24 | (uint32_t)part[1] << 16 | (uint32_t)part[2] << 8 | part[3];
}

void UdpSenderText(uint64_t packed, char dotted[16]) {
    AddressText(UdpSenderAddress(packed), dotted);
}

// How one bounded send ended.
enum SendOutcome { kSendDone, kSendFailed, kSendStalled, kSendCut };

// Sends every byte, waiting while the client takes nothing for at most
// kSendLimitMs since its last progress. The wait is taken in short steps so
// that a cut (the program or the server ending) ends it at once. The caller
// holds the cell's sendLock.
static SendOutcome SendBounded(ClientCell& cell, Handle s, const uint8_t* data, int length,
                               long& error) {
    using Clock = std::chrono::steady_clock;
    auto lastProgress = Clock::now();
    int done = 0;
    for (;;) {
        if (cell.cut.load()) return kSendCut;
        int n = SocketSendNow(s, data + done, length - done);
        if (n > 0) {
            done += n;
            lastProgress = Clock::now();
        }
        if (n >= 0 && done >= length) return kSendDone;
        if (n < 0 && n != kSendWouldBlock) {
            error = SocketLastError();
            return kSendFailed;
        }
        long waited = (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                   lastProgress).count();
        if (waited >= kSendLimitMs) return kSendStalled;
        int step = kSendLimitMs - (int)waited < 100 ? kSendLimitMs - (int)waited : 100;
        if (SocketWaitWritable(s, step) < 0) {
            error = SocketLastError();
            return kSendFailed;
        }
    }
}

int SendTCP(const uint8_t* data, int length, ClientCell* cell) {
    bool replyTarget = cell == nullptr;
    if (replyTarget) cell = bridge.ReplyTarget.load();
    if (!cell) return 1;
    if (length < 0 || (!data && length > 0)) return 1;
    static const uint8_t none = 0;
    if (!data) data = &none;

    SendOutcome outcome;
    long error = 0;
    {
        // The owning server thread closes the socket and frees the cell under
        // this lock, so the socket read here stays the one sent on.
        std::lock_guard<std::mutex> guard(cell->sendLock);
        Handle s = cell->socket.load();
        // Owner gone: the data is dropped quietly. A free cell named by the
        // caller fails like a send on no socket.
        if (s == kNoHandle && replyTarget) return 1;
        // A client being cut takes nothing more; its data is dropped.
        if (s != kNoHandle && cell->cut.load()) return 1;
        outcome = SendBounded(*cell, s, data, length, error);
        if (outcome == kSendStalled) {
            // Given up: ended here so the client sees it at once, freed by
            // its server like a disconnect.
            cell->cut = true;
            SocketShutdown(s);
        }
    }
    if (outcome == kSendCut) return 1;
    if (outcome == kSendStalled) {
        LogText("SendTCP Error - klient nie odbiera, rozlaczono");
        CellServerWakeOwner(cell);
        return 1;
    }
    if (outcome == kSendFailed) {
        LogFormat("SendTCP Error: %ld", error);
        return 1;
    }
    if (LogEnabled()) {
        // Formatted only with the log on: this runs for every relayed chunk.
        // The data up to its first zero byte, rendered like a dump so that
        // the entry stays one line, and the line cut to 1023 characters.
        char raw[1024];
        int n = length < (int)sizeof raw - 1 ? length : (int)sizeof raw - 1;
        if (n > 0) memcpy(raw, data, (size_t)n);
        raw[n > 0 ? n : 0] = 0;
        char line[1024];
        int head = snprintf(line, sizeof line, "SendTCP - OK, size:%d ", length);
        EscapeText(raw, line + head, sizeof line - (size_t)head);
        LogText(line);
    }
    bridge.ActivityCounter++;
    return 0;
}

void CutAllConnections() {
    ClientCell* tables[2] = {tcpCells, virtualCells};
    for (ClientCell* cells : tables) {
        for (int i = 0; i < kClientCells; i++) {
            if (CellFree(cells[i])) continue;
            cells[i].cut = true;
            CellServerWakeOwner(&cells[i]);
        }
    }
    CutRfc2217Connections();
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
    cell.cut = false;
}

// TCP control server: accepts up to five clients on the control port and
// hands what each sends to the packet handler.
#include <cstring>
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

ClientCell tcpCells[kClientCells];

static std::atomic<int32_t> tcpState{-1};

// A receive is logged as the packets the handler takes it in.
static void Received(ClientCell& cell, const uint8_t* data, int length) {
    LogReceived("TCP/UDP receive:", data, length);
    TcpPacketHandler handler = tcpPacketHandler;
    if (handler) handler(data, length, &cell);
}

// The handler hears of a connection's end as a packet of length 0, whichever
// way it ended, before the cell is freed for the next client.
static void Ended(ClientCell& cell) {
    TcpPacketHandler handler = tcpPacketHandler;
    if (handler) handler(nullptr, 0, &cell);
}

// The port's owner keeps its cell however quiet it is; its port's own
// auto-disconnect governs it.
static bool OwnsPort(const ClientCell& cell) {
    return bridge.ReplyTarget.load() == &cell;
}

static CellServer tcpServer = {tcpCells, kStatTcpConnections, &tcpState, nullptr,  Received,    Ended,
                               nullptr,  {},                  kNoHandle, false,    OwnsPort,    "Serwer TCP",
                               nullptr,  0,                   true};

void TCPServerOn() {
    LogText("Serwer TCP On - Start");
    // A second start while one runs would leave two threads on one table.
    if (tcpServer.thread.joinable()) return;
    for (int i = 0; i < kClientCells; i++) tcpCells[i].socket = kNoHandle;
    // The listener is made here, so the port listens once On returns (a
    // restart after Off is at once served) and a failure is logged at once.
    char address[101];
    SettingsText(address, sizeof address, settingsRecord.interfaceAddress);
    int port = settingsRecord.tcpPort;
    int error = 0;
    Handle listener = TcpListen(address, port, &error);
    if (listener == kNoHandle) {
        char shown[sizeof address * 5];
        EscapeText(address[0] ? address : "0.0.0.0", shown, sizeof shown);
        LogFormat("Serwer TCP - Error - blad nasluchu na %s:%d, kod: %d", shown,
                  port, error);
        tcpServer.listenFailed = true;
    } else {
        tcpServer.listenFailed = false;
        CellServerStart(tcpServer, listener);
    }
    LogText("Serwer TCP On - Stop");
}

void TCPServerRetryListen() {
    if (!tcpServer.listenFailed || tcpServer.thread.joinable()) return;
    char address[101];
    SettingsText(address, sizeof address, settingsRecord.interfaceAddress);
    int port = settingsRecord.tcpPort;
    int error = 0;
    Handle listener = TcpListen(address, port, &error);
    if (listener == kNoHandle) return;  // the failure was logged by On
    tcpServer.listenFailed = false;
    CellServerStart(tcpServer, listener);
    char shown[sizeof address * 5];
    EscapeText(address[0] ? address : "0.0.0.0", shown, sizeof shown);
    LogFormat("Serwer TCP - nasluch na %s:%d", shown, port);
}

void TCPServerOff() {
    LogText("Serwer TCP Off - Start");
    if (!tcpServer.thread.joinable()) {
        // A server that could not listen has no thread to stop.
        if (tcpServer.listenFailed) LogText("Serwer TCP Off - Stop");
        tcpServer.listenFailed = false;
        return;
    }
    CellServerAskStop(tcpServer);
    CellServerJoin(tcpServer);
    LogText("Serwer TCP Off - Stop");
}

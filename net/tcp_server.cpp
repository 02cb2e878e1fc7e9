// TCP control server: one listener thread that accepts up to five clients,
// receives what they send and hands each chunk to the command protocol.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include "core/settings.h"
#include "log/log.h"
#include "net/net.h"

ClientCell tcpCells[kClientCells];

static std::thread tcpThread;          // main thread only
static Handle tcpWake = kNoHandle;     // written by the main thread before start
static std::atomic<int> tcpStop{0};

// Closes one client under its send lock, so a send on another thread never
// meets a closed or reused socket, then marks the cell free.
// Waits about ms, or less once a stop is requested.
static void PauseUnlessStopped(int ms) {
    for (int i = 0; i < ms / 100 && !tcpStop; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

static void TCPServer(Handle listener, Handle wake) {
    static uint8_t buffer[kMaxPacket + 1];
    memset(buffer, 0, sizeof buffer);

    // Sockets of one pass: [0] wake, [1] listener while a cell is free, then
    // the connected cells; cellAt maps a position back to its cell.
    Handle set[2 + kClientCells];
    int cellAt[2 + kClientCells];
    uint8_t readable[2 + kClientCells];
    while (!tcpStop) {
        int count = 0, listenerAt = -1, wakeAt = -1;
        if (wake != kNoHandle) wakeAt = count, set[count++] = wake;
        bool anyFree = false;
        for (int i = 0; i < kClientCells; i++)
            if (tcpCells[i].socket == 0) anyFree = true;
        // With every cell taken the listener stays out of the wait: a pending
        // connection would otherwise make it return at once, over and over.
        if (anyFree) listenerAt = count, set[count++] = listener;
        for (int i = 0; i < kClientCells; i++) {
            if (tcpCells[i].socket != 0) {
                cellAt[count] = i;
                set[count++] = tcpCells[i].socket;
            }
        }
        int ready = SocketWaitReadable(set, count, readable, wake != kNoHandle ? 2000 : 200);
        if (ready < 0) {
            PauseUnlessStopped(1000);
            continue;
        }
        if (ready == 0) continue;
        if (wakeAt >= 0 && readable[wakeAt]) WakeDrain(wake);
        if (tcpStop) break;

        if (listenerAt >= 0 && readable[listenerAt]) {
            for (int i = 0; i < kClientCells; i++) {
                if (tcpCells[i].socket != 0) continue;
                Handle s = SocketAccept(listener, nullptr);
                if (s != kNoHandle) {
                    SocketTuneAccepted(s);
                    tcpCells[i].socket = s;
                    bridge.Statistics[kStatTcpConnections]++;
                }
                break;
            }
        }

        for (int at = 0; at < count; at++) {
            if (at == wakeAt || at == listenerAt || !readable[at]) continue;
            ClientCell& cell = tcpCells[cellAt[at]];
            int n = SocketRecv(cell.socket, buffer, kMaxPacket);
            if (n <= 0) {
                // The client closed or failed; the ReplyTarget and the open
                // port stay as they are.
                CloseClientCell(cell);
                continue;
            }
            buffer[n] = 0;
            LogDump("TCP/UDP receive:", buffer, n);
            ProcessTCPData(buffer, n, &cell);
        }
    }

    for (int i = 0; i < kClientCells; i++)
        if (tcpCells[i].socket != 0) CloseClientCell(tcpCells[i]);
    SocketClose(listener);
}

void TCPServerOn() {
    LogText("Serwer TCP On - Start");
    // A second start while one runs would leave two threads on one table.
    if (tcpThread.joinable()) return;
    for (int i = 0; i < kClientCells; i++) tcpCells[i].socket = 0;
    // The listener is made here, so the port listens once On returns (a
    // restart after Off is at once served) and a failure is logged at once.
    NetStartup();  // released by TCPServerOff, or below on failure
    char address[101];
    SettingsText(address, sizeof address, settingsRecord.interfaceAddress);
    int port = settingsRecord.tcpPort;
    int error = 0;
    Handle listener = TcpListen(address, port, &error);
    if (listener == kNoHandle) {
        LogFormat("Serwer TCP - B\xB3\xB9" "d nas\xB3uchu na %s:%d, kod: %d", address[0] ? address : "0.0.0.0",
                  port, error);
        NetCleanup();
        return;
    }
    tcpWake = WakeOpen();
    tcpStop = 0;
    tcpThread = std::thread(TCPServer, listener, tcpWake);
    LogText("Serwer TCP On - Stop");
}

void TCPServerOff() {
    LogText("Serwer TCP Off - Start");
    if (!tcpThread.joinable()) return;
    tcpStop = 1;
    WakeSignal(tcpWake);
    if (tcpThread.get_id() == std::this_thread::get_id()) {
        // Asked from the server's own thread: it ends after this pass.
        tcpThread.detach();
    } else {
        tcpThread.join();
        SocketClose(tcpWake);
        tcpWake = kNoHandle;
        NetCleanup();
    }
    LogText("Serwer TCP Off - Stop");
}

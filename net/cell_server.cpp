// The accept-and-receive loop of the TCP control server and the virtual port
// server: up to five connections in a table of cells, one thread, woken by a
// loopback datagram when it is asked to stop.
#include "net/cell_server.h"
#include <chrono>
#include <cstring>

// The servers whose threads run, so a send that cuts a client can wake the
// one that owns its cell. A server leaves before its wake socket is closed.
static std::mutex runningLock;
static CellServer* running[2] = {nullptr, nullptr};

static bool Stopping(const CellServer& server) {
    return server.state->load() == 1;
}

// Waits about ms, or less once a stop is asked.
static void PauseUnlessStopped(const CellServer& server, int ms) {
    for (int i = 0; i < ms / 100 && !Stopping(server); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Every end of a connection takes this one path, however it came (the
// client closed or failed, a send gave it up, its server stopped): the
// server's hook hears of it before the cell is freed for the next client.
static void EndConnection(CellServer& server, ClientCell& cell) {
    if (server.ended) server.ended(cell);
    CloseClientCell(cell);
}

static void Accept(CellServer& server, Handle listener, ClientCell& cell) {
    uint32_t peer = 0;
    Handle s = SocketAccept(listener, &peer);
    if (s == kNoHandle) return;
    if (!PeerAllowed(peer)) {
        SocketClose(s);
        return;
    }
    SocketTuneAccepted(s);
    cell.cut = false;
    cell.socket = s;
    bridge.Statistics[server.connectionStat]++;
    if (server.accepted) server.accepted(cell, peer);
}

static void CellServerLoop(CellServer* serverPointer, Handle listener) {
    CellServer& server = *serverPointer;
    ClientCell* cells = server.cells;
    const Handle wake = server.wake;
    uint8_t buffer[kMaxPacket + 1];
    memset(buffer, 0, sizeof buffer);

    // Sockets of one pass: the wake socket, the listener while a cell is
    // free, then the connected cells; cellAt maps a position back to its cell.
    Handle set[2 + kClientCells];
    int cellAt[2 + kClientCells];
    uint8_t readable[2 + kClientCells];
    while (!Stopping(server)) {
        // A client that a send gave up on is freed as if it had disconnected.
        for (int i = 0; i < kClientCells; i++) {
            if (CellFree(cells[i]) || !cells[i].cut.load()) continue;
            EndConnection(server, cells[i]);
        }
        int count = 0, listenerAt = -1, wakeAt = -1;
        if (wake != kNoHandle) wakeAt = count, set[count++] = wake;
        bool anyFree = false;
        for (int i = 0; i < kClientCells; i++)
            if (cells[i].socket == kNoHandle) anyFree = true;
        // With every cell taken the listener stays out of the wait: a pending
        // connection would otherwise make it return at once, over and over.
        if (anyFree) listenerAt = count, set[count++] = listener;
        for (int i = 0; i < kClientCells; i++) {
            if (cells[i].socket != kNoHandle) {
                cellAt[count] = i;
                set[count++] = cells[i].socket;
            }
        }
        int ready = SocketWaitReadable(set, count, readable, wake != kNoHandle ? 2000 : 200);
        if (ready < 0) {
            PauseUnlessStopped(server, 1000);
            continue;
        }
        if (ready == 0) continue;
        if (wakeAt >= 0 && readable[wakeAt]) WakeDrain(wake);
        if (Stopping(server)) break;

        if (listenerAt >= 0 && readable[listenerAt]) {
            for (int i = 0; i < kClientCells; i++) {
                if (cells[i].socket != kNoHandle) continue;
                Accept(server, listener, cells[i]);
                break;
            }
        }

        for (int at = 0; at < count; at++) {
            if (at == wakeAt || at == listenerAt || !readable[at]) continue;
            ClientCell& cell = cells[cellAt[at]];
            int n = SocketRecv(cell.socket, buffer, kMaxPacket);
            if (n == kRecvRetry) continue;
            if (n <= 0) {
                // The client closed or failed; the ReplyTarget and the open
                // port stay as they are.
                EndConnection(server, cell);
                continue;
            }
            buffer[n] = 0;
            server.received(cell, buffer, n);
        }
    }

    // Stop path: every connection of a stopped server ends with it.
    for (int i = 0; i < kClientCells; i++)
        if (!CellFree(cells[i])) EndConnection(server, cells[i]);
    if (server.stopped) server.stopped();
    server.state->store(-1);
    SocketClose(listener);
}

void CellServerStart(CellServer& server, Handle listener) {
    server.wake = WakeOpen();
    // Set before the start, so a stop asked before the thread runs is kept.
    server.state->store(0);
    for (int i = 0; i < kClientCells; i++) server.cells[i].cut = false;
    server.thread = std::thread(CellServerLoop, &server, listener);
    std::lock_guard<std::mutex> guard(runningLock);
    for (CellServer*& slot : running) {
        if (slot) continue;
        slot = &server;
        break;
    }
}

void CellServerAskStop(CellServer& server) {
    server.state->store(1);
    for (int i = 0; i < kClientCells; i++)
        if (!CellFree(server.cells[i])) server.cells[i].cut = true;
    WakeSignal(server.wake);
}

void CellServerWakeOwner(const ClientCell* cell) {
    std::lock_guard<std::mutex> guard(runningLock);
    for (CellServer* server : running) {
        if (!server) continue;
        for (int i = 0; i < kClientCells; i++)
            if (&server->cells[i] == cell) WakeSignal(server->wake);
    }
}

void CellServerJoin(CellServer& server) {
    server.thread.join();
    {
        std::lock_guard<std::mutex> guard(runningLock);
        for (CellServer*& slot : running)
            if (slot == &server) slot = nullptr;
    }
    SocketClose(server.wake);
    server.wake = kNoHandle;
}

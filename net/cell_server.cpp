// The accept-and-receive loop of the TCP control server and the virtual port
// server: up to five connections in a table of cells, one thread, woken by a
// loopback datagram when it is asked to stop.
#include "net/cell_server.h"
#include <chrono>
#include <cstring>
#include "log/log.h"
#include "net/rfc2217_server.h"

// The servers whose threads run, so a send that cuts a client can wake the
// one that owns its cell. A server leaves before its wake socket is closed.
static std::mutex runningLock;
static CellServer* running[2 + kMaxRfc2217Listeners] = {};

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

// What the server thread alone keeps beside its cells: when each connection
// last sent a byte (the time, and a count that orders hearings closer than a
// millisecond apart) and its peer, and the one connection accepted while
// every cell was taken, held (unread) until a cell frees or kWaitLimitMs
// passes.
struct Quiet {
    int64_t heardAt[kClientCells];
    uint64_t heardOrder[kClientCells];
    uint64_t hearings = 0;
    uint32_t peer[kClientCells];
    Handle waiting = kNoHandle;
    uint32_t waitingPeer = 0;
    int64_t waitingSince = 0;
};

static int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A new connection from the listener, or kNoHandle (none, or refused).
static Handle AcceptOne(Handle listener, uint32_t* peer) {
    Handle s = SocketAccept(listener, peer);
    if (s == kNoHandle) return kNoHandle;
    if (!PeerAllowed(*peer)) {
        SocketClose(s);
        return kNoHandle;
    }
    SocketTuneAccepted(s);
    return s;
}

static void Heard(Quiet& quiet, int i) {
    quiet.heardAt[i] = NowMs();
    quiet.heardOrder[i] = ++quiet.hearings;
}

static void Place(CellServer& server, Quiet& quiet, int i, Handle s, uint32_t peer) {
    ClientCell& cell = server.cells[i];
    cell.cut = false;
    cell.socket = s;
    Heard(quiet, i);
    quiet.peer[i] = peer;
    bridge.Statistics[server.connectionStat]++;
    if (server.accepted) server.accepted(cell, peer);
}

static int FreeCell(const CellServer& server) {
    for (int i = 0; i < kClientCells; i++)
        if (CellFree(server.cells[i])) return i;
    return -1;
}

// With a connection waiting and no cell free: closes the connection quiet
// longest past kIdleLimitMs that is not in use (one log line), or, once the
// waiting one has waited kWaitLimitMs, that one. Then a free cell takes it.
static void MakeRoom(CellServer& server, Quiet& quiet) {
    if (quiet.waiting == kNoHandle) return;
    int64_t now = NowMs();
    int room = FreeCell(server);
    if (room < 0) {
        int oldest = -1;
        for (int i = 0; i < kClientCells; i++) {
            ClientCell& cell = server.cells[i];
            if (cell.cut.load() || now - quiet.heardAt[i] < kIdleLimitMs) continue;
            if (server.inUse && server.inUse(cell)) continue;
            if (oldest < 0 || quiet.heardOrder[i] < quiet.heardOrder[oldest]) oldest = i;
        }
        char dotted[16];
        if (oldest >= 0) {
            AddressText(quiet.peer[oldest], dotted);
            LogFormat("%s - rozlaczono nieaktywnego klienta %s, czekal nowy", server.name, dotted);
            EndConnection(server, server.cells[oldest]);
            room = oldest;
        } else if (now - quiet.waitingSince >= kWaitLimitMs) {
            AddressText(quiet.waitingPeer, dotted);
            LogFormat("%s - brak wolnego miejsca, rozlaczono klienta %s", server.name, dotted);
            SocketClose(quiet.waiting);
            quiet.waiting = kNoHandle;
            return;
        } else {
            return;
        }
    }
    Handle s = quiet.waiting;
    quiet.waiting = kNoHandle;
    Place(server, quiet, room, s, quiet.waitingPeer);
}

static void CellServerLoop(CellServer* serverPointer, Handle listener) {
    CellServer& server = *serverPointer;
    ClientCell* cells = server.cells;
    const Handle wake = server.wake;
    uint8_t buffer[kBulkReceive + 1];
    memset(buffer, 0, sizeof buffer);
    Quiet quiet;
    for (int i = 0; i < kClientCells; i++) Heard(quiet, i), quiet.peer[i] = 0;

    // Sockets of one pass: the wake socket, the listener unless a connection
    // already waits for room, then the connected cells; cellAt maps a
    // position back to its cell.
    Handle set[2 + kClientCells];
    int cellAt[2 + kClientCells];
    uint8_t readable[2 + kClientCells];
    while (!Stopping(server)) {
        if (server.tick) server.tick(cells);
        // A client that a send gave up on is freed as if it had disconnected.
        for (int i = 0; i < kClientCells; i++) {
            if (CellFree(cells[i]) || !cells[i].cut.load()) continue;
            EndConnection(server, cells[i]);
        }
        MakeRoom(server, quiet);
        int count = 0, listenerAt = -1, wakeAt = -1;
        if (wake != kNoHandle) wakeAt = count, set[count++] = wake;
        // A waiting connection keeps the listener out of the wait: a pending
        // one would otherwise make it return at once, over and over.
        if (quiet.waiting == kNoHandle) listenerAt = count, set[count++] = listener;
        for (int i = 0; i < kClientCells; i++) {
            if (cells[i].socket != kNoHandle) {
                cellAt[count] = i;
                set[count++] = cells[i].socket;
            }
        }
        // While one waits, look again soon for a cell gone quiet long enough.
        int timeout = quiet.waiting != kNoHandle ? 200 : wake != kNoHandle ? 2000 : 200;
        if (server.tickMs > 0 && timeout > server.tickMs) timeout = server.tickMs;
        int ready = SocketWaitReadable(set, count, readable, timeout);
        if (ready < 0) {
            PauseUnlessStopped(server, 1000);
            continue;
        }
        if (ready == 0) continue;
        if (wakeAt >= 0 && readable[wakeAt]) WakeDrain(wake);
        if (Stopping(server)) break;

        if (listenerAt >= 0 && readable[listenerAt]) {
            uint32_t peer = 0;
            Handle s = AcceptOne(listener, &peer);
            int room = FreeCell(server);
            if (s != kNoHandle && room >= 0) {
                Place(server, quiet, room, s, peer);
            } else if (s != kNoHandle) {
                quiet.waiting = s;
                quiet.waitingPeer = peer;
                quiet.waitingSince = NowMs();
            }
        }

        for (int at = 0; at < count; at++) {
            if (at == wakeAt || at == listenerAt || !readable[at]) continue;
            ClientCell& cell = cells[cellAt[at]];
            int size = server.bulk && bridge.PortKeepsUp.load() ? (int)kBulkReceive : (int)kMaxPacket;
            int n = SocketRecv(cell.socket, buffer, size);
            if (n == kRecvRetry) continue;
            if (n <= 0) {
                // The client closed or failed; the ReplyTarget and the open
                // port stay as they are.
                EndConnection(server, cell);
                continue;
            }
            Heard(quiet, cellAt[at]);
            buffer[n] = 0;
            server.received(cell, buffer, n);
        }
    }

    // Stop path: every connection of a stopped server ends with it; one still
    // waiting never reached a cell and is simply closed.
    for (int i = 0; i < kClientCells; i++)
        if (!CellFree(cells[i])) EndConnection(server, cells[i]);
    if (quiet.waiting != kNoHandle) SocketClose(quiet.waiting);
    if (server.stopped) server.stopped();
    server.state->store(-1);
    SocketClose(listener);
}

void LogReceived(const char* header, const uint8_t* data, int length) {
    for (int at = 0; at < length; at += kMaxPacket)
        LogDump(header, data + at, length - at < kMaxPacket ? length - at : kMaxPacket);
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

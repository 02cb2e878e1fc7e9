// Virtual port server: GPRS modems connect on TCP 1339, each is linked to the
// slot whose address or domain name matches it, and its data is relayed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include "core/settings.h"
#include "log/log.h"
#include "net/net.h"

ClientCell virtualCells[kClientCells];

static std::thread virtualThread;       // main thread only
static Handle virtualWake = kNoHandle;  // written by the main thread before start

static void UnlinkAll() {
    for (int i = 0; i < kVirtualSlots; i++) bridge.virtualSlots[i] = nullptr;
}

// The first slot whose peer matches the dotted address, or -1.
static int MatchSlot(const char* peer) {
    for (int i = 0; i < kVirtualSlots; i++) {
        char name[40], wanted[40];
        SettingsText(name, sizeof name, settingsRecord.virtualPortName[i]);
        if (!name[0]) continue;
        SettingsText(wanted, sizeof wanted, settingsRecord.virtualPeer[i]);
        if (!wanted[0]) return i;
        char first = wanted[0];
        if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')) {
            char dotted[16];
            // An unresolved name stays as typed and so matches no address.
            if (ResolveHostName(wanted, dotted) == 0) snprintf(wanted, sizeof wanted, "%s", dotted);
        }
        if (strcmp(peer, wanted) == 0) return i;
    }
    return -1;
}

static void AcceptModem(Handle listener, ClientCell& cell) {
    char peer[16] = {0};
    Handle s = SocketAccept(listener, peer);
    if (s == kNoHandle) return;
    SocketTuneAccepted(s);
    cell.socket = s;
    bridge.Statistics[kStatVirtualConnections]++;
    int slot = MatchSlot(peer);
    if (slot < 0) {
        CloseClientCell(cell);
        return;
    }
    char timeText[9], dateText[9], status[100];
    LocalTimeTexts(timeText, dateText);
    snprintf(status, sizeof status, "OK IP:%s   Godz:%s  Data:%s", peer, timeText, dateText);
    SetVirtualStatus(slot, status);
    // A slot already linked is re-linked: the newer connection wins.
    bridge.virtualSlots[slot] = &cell;
}

static void EndModem(ClientCell& cell) {
    SocketShutdown(cell.socket);  // frees a SendTCP blocked on this modem
    std::lock_guard<std::mutex> guard(cell.sendLock);
    SocketClose(cell.socket);
    for (int i = 0; i < kVirtualSlots; i++) {
        if (bridge.virtualSlots[i] != &cell) continue;
        bridge.virtualSlots[i] = nullptr;
        char timeText[9], dateText[9], status[100];
        LocalTimeTexts(timeText, dateText);
        snprintf(status, sizeof status, "Roz\xB3\xB9" "czono   Godz:%s  Data:%s", timeText, dateText);
        SetVirtualStatus(i, status);
    }
    cell.socket = 0;
}

static void VirtualPortsServer(Handle listener, Handle wake) {
    static uint8_t buffer[kMaxPacket + 1];
    memset(buffer, 0, sizeof buffer);

    Handle set[2 + kClientCells];
    int cellAt[2 + kClientCells];
    uint8_t readable[2 + kClientCells];
    while (bridge.virtualServerState != 1) {
        int count = 0, listenerAt = -1, wakeAt = -1;
        bool anyFree = false;
        for (int i = 0; i < kClientCells; i++)
            if (virtualCells[i].socket == 0) anyFree = true;
        // With every cell taken a pending modem would make the listener ready
        // in every wait; it stays out until a cell is free.
        if (anyFree) listenerAt = count, set[count++] = listener;
        if (wake != kNoHandle) wakeAt = count, set[count++] = wake;
        for (int i = 0; i < kClientCells; i++) {
            if (virtualCells[i].socket != 0) {
                cellAt[count] = i;
                set[count++] = virtualCells[i].socket;
            }
        }
        int ready = SocketWaitReadable(set, count, readable, wake != kNoHandle ? 2000 : 200);
        if (ready < 0) {
            for (int i = 0; i < 10 && bridge.virtualServerState != 1; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (ready == 0) continue;
        if (wakeAt >= 0 && readable[wakeAt]) WakeDrain(wake);
        if (bridge.virtualServerState == 1) break;

        if (listenerAt >= 0 && readable[listenerAt]) {
            for (int i = 0; i < kClientCells; i++) {
                if (virtualCells[i].socket != 0) continue;
                AcceptModem(listener, virtualCells[i]);
                break;
            }
        }
        for (int at = 0; at < count; at++) {
            if (at == wakeAt || at == listenerAt || !readable[at]) continue;
            ClientCell& cell = virtualCells[cellAt[at]];
            int n = SocketRecv(cell.socket, buffer, kMaxPacket);
            if (n <= 0) {
                EndModem(cell);
                continue;
            }
            buffer[n] = 0;
            LogText("Dane z portu wirtualnego");
            LogDump("Wirtualny:", buffer, n);
            SendUDP(buffer, n);
            SendTCP(buffer, n, nullptr);
        }
    }

    // Stop path: no slot may stay linked to a connection of a stopped server.
    for (int i = 0; i < kClientCells; i++)
        if (virtualCells[i].socket != 0) CloseClientCell(virtualCells[i]);
    UnlinkAll();
    for (int i = 0; i < kVirtualSlots; i++) SetVirtualStatus(i, "Wy\xB3\xB9" "czony");
    bridge.virtualServerState = -1;
    SocketClose(listener);
}

void VirtualPortsOn() {
    LogText("Wirtualne Porty Serwer TCP On - Start");
    // A second start while one runs would leave two threads on one table.
    if (virtualThread.joinable()) return;
    UnlinkAll();
    bridge.selectedVirtualSlot = -1;
    for (int i = 0; i < kClientCells; i++) virtualCells[i].socket = 0;
    // The listener is made here, so the port listens once On returns and a
    // failure (1339 taken) is logged and leaves no thread behind.
    NetStartup();  // released by VirtualPortsOff, or below on failure
    int error = 0;
    Handle listener = TcpListen("", kVirtualPortTcp, &error);
    if (listener == kNoHandle) {
        LogFormat("Wirtualne Porty Serwer TCP - B\xB3\xB9" "d nas\xB3uchu na porcie %d, kod: %d", kVirtualPortTcp,
                  error);
        NetCleanup();
        return;
    }
    virtualWake = WakeOpen();
    // Set before the start, so a stop asked before the thread runs is kept.
    bridge.virtualServerState = 0;
    virtualThread = std::thread(VirtualPortsServer, listener, virtualWake);
    LogText("Wirtualne Porty Serwer TCP On - Stop");
}

void VirtualPortsOff() {
    LogText("Wirtualne Porty Serwer TCP Off - Start");
    if (!virtualThread.joinable()) return;
    bridge.virtualServerState = 1;
    WakeSignal(virtualWake);
    if (virtualThread.get_id() == std::this_thread::get_id()) {
        virtualThread.detach();  // asked from its own thread: it stops after this pass
        LogText("Wirtualne Porty Serwer TCP Off - Stop");
        return;
    }
    // Up to two seconds for the thread to report stopped. A thread cannot be
    // killed safely, so the join below waits for one still busy (a slow name
    // lookup); everything it holds is released on its own stop path.
    for (int i = 0; i < 200 && bridge.virtualServerState != -1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (bridge.virtualServerState != -1)
        LogText("Wirtualne Porty Serwer TCP - serwer nie zatrzyma\xB3 si\xEA w 2 s, czekam");
    virtualThread.join();
    SocketClose(virtualWake);
    virtualWake = kNoHandle;
    NetCleanup();
    LogText("Wirtualne Porty Serwer TCP Off - Stop");
}

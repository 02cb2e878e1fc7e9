// Virtual port server: GPRS modems connect on TCP 1339, each is linked to the
// slot whose address or domain name matches it, and its data goes to the
// modem data handler.
#include <chrono>
#include <cstdio>
#include <cstring>
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

ClientCell virtualCells[kClientCells];

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

static void ModemAccepted(ClientCell& cell, const char* peer) {
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

static void ModemReceived(ClientCell& cell, const uint8_t* data, int length) {
    LogText("Dane z portu wirtualnego");
    LogDump("Wirtualny:", data, length);
    DataHandler handler = modemDataHandler;
    if (handler) handler(data, length);
}

// A modem gone: its slots are unlinked before its cell is freed.
static void ModemEnded(ClientCell& cell) {
    for (int i = 0; i < kVirtualSlots; i++) {
        if (bridge.virtualSlots[i] != &cell) continue;
        bridge.virtualSlots[i] = nullptr;
        char timeText[9], dateText[9], status[100];
        LocalTimeTexts(timeText, dateText);
        snprintf(status, sizeof status, "Roz\xB3\xB9" "czono   Godz:%s  Data:%s", timeText, dateText);
        SetVirtualStatus(i, status);
    }
}

// No slot may stay linked to a connection of a stopped server.
static void ServerStopped() {
    UnlinkAll();
    for (int i = 0; i < kVirtualSlots; i++) SetVirtualStatus(i, "Wy\xB3\xB9" "czony");
}

static CellServer virtualServer = {virtualCells, kStatVirtualConnections, &bridge.virtualServerState,
                                   ModemAccepted, ModemReceived, ModemEnded, ServerStopped, {}, kNoHandle};

void VirtualPortsOn() {
    LogText("Wirtualne Porty Serwer TCP On - Start");
    // A second start while one runs would leave two threads on one table.
    if (virtualServer.thread.joinable()) return;
    UnlinkAll();
    bridge.selectedVirtualSlot = -1;
    for (int i = 0; i < kClientCells; i++) virtualCells[i].socket = kNoHandle;
    // The listener is made here, so the port listens once On returns and a
    // failure (1339 taken) is logged and leaves no thread behind.
    int error = 0;
    Handle listener = TcpListen("", kVirtualPortTcp, &error);
    if (listener == kNoHandle) {
        LogFormat("Wirtualne Porty Serwer TCP - B\xB3\xB9" "d nas\xB3uchu na porcie %d, kod: %d", kVirtualPortTcp,
                  error);
        virtualServer.listenFailed = true;
    } else {
        virtualServer.listenFailed = false;
        CellServerStart(virtualServer, listener);
    }
    LogText("Wirtualne Porty Serwer TCP On - Stop");
}

void VirtualPortsOff() {
    LogText("Wirtualne Porty Serwer TCP Off - Start");
    if (!virtualServer.thread.joinable()) {
        // A server that could not listen has no thread to stop.
        if (virtualServer.listenFailed) LogText("Wirtualne Porty Serwer TCP Off - Stop");
        virtualServer.listenFailed = false;
        return;
    }
    CellServerAskStop(virtualServer);
    // Up to two seconds for the thread to report stopped. A thread cannot be
    // killed safely, so the join below waits for one still busy (a slow name
    // lookup); everything it holds is released on its own stop path.
    for (int i = 0; i < 200 && bridge.virtualServerState != -1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (bridge.virtualServerState != -1)
        LogText("Wirtualne Porty Serwer TCP - serwer nie zatrzyma\xB3 si\xEA w 2 s, czekam");
    CellServerJoin(virtualServer);
    LogText("Wirtualne Porty Serwer TCP Off - Stop");
}

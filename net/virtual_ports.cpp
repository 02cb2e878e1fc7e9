// Virtual port server: GPRS modems connect on TCP 1339, each is linked to the
// slot whose address or domain name matches it, and its data goes to the
// modem data handler.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include "base/settings.h"
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

ClientCell virtualCells[kClientCells];

static void UnlinkAll() {
    for (int i = 0; i < kVirtualSlots; i++) bridge.virtualSlots[i] = nullptr;
}

// One name lookup, shared by the thread that runs it and the server thread
// that waits for its answer; whichever lets go last frees it.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int result = 1;
    uint32_t address = 0;
    char name[40];
};

static bool Stopping() {
    return bridge.virtualServerState.load() == 1;
}

// Resolves name on a thread of its own, so that a stop never waits for the
// resolver: the server thread waits for the answer in 100 ms steps and gives
// up once its stop is asked. An abandoned lookup ends on its own and its
// answer is dropped. True when the name resolved.
static bool ResolveUnlessStopped(const char* name, uint32_t* address) {
    std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
    snprintf(lookup->name, sizeof lookup->name, "%s", name);
    try {
        std::thread([lookup] {
            uint32_t found = 0;
            int result = ResolveHostName(lookup->name, &found);
            std::lock_guard<std::mutex> guard(lookup->lock);
            lookup->result = result;
            lookup->address = found;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;  // no thread for it: the name stays unresolved
    }
    std::unique_lock<std::mutex> guard(lookup->lock);
    while (!lookup->finished) {
        if (Stopping()) return false;
        lookup->done.wait_for(guard, std::chrono::milliseconds(100));
    }
    *address = lookup->address;
    return lookup->result == 0;
}

// The first slot whose peer matches the address, or -1. A slot's peer is a
// dotted address or, when it begins with a letter, a domain name looked up
// for each connection; a name that does not resolve matches no address.
static int MatchSlot(uint32_t peer) {
    for (int i = 0; i < kVirtualSlots; i++) {
        char name[40], wanted[40];
        SettingsText(name, sizeof name, settingsRecord.virtualPortName[i]);
        if (!name[0]) continue;
        SettingsText(wanted, sizeof wanted, settingsRecord.virtualPeer[i]);
        if (!wanted[0]) return i;
        char first = wanted[0];
        bool byName = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
        uint32_t address = 0;
        bool known = byName ? ResolveUnlessStopped(wanted, &address) : DottedToAddress(wanted, &address);
        if (Stopping()) return -1;
        if (known && address == peer) return i;
    }
    return -1;
}

static void ModemAccepted(ClientCell& cell, uint32_t peer) {
    int slot = MatchSlot(peer);
    if (slot < 0) {
        CloseClientCell(cell);
        return;
    }
    char dotted[16], timeText[9], dateText[9], status[100];
    AddressText(peer, dotted);
    LocalTimeTexts(timeText, dateText);
    snprintf(status, sizeof status, "OK IP:%s   Godz:%s  Data:%s", dotted, timeText, dateText);
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

// A modem linked to a slot keeps its cell however quiet it is, whether or
// not a client has chosen its slot yet: at most three are linked, so two
// cells can always be freed for a newcomer, and one that matches no slot
// cannot cost a linked modem its link.
static bool ModemLinked(const ClientCell& cell) {
    for (int i = 0; i < kVirtualSlots; i++)
        if (bridge.virtualSlots[i].load() == &cell) return true;
    return false;
}

static CellServer virtualServer = {virtualCells,  kStatVirtualConnections, &bridge.virtualServerState,
                                   ModemAccepted, ModemReceived,           ModemEnded,
                                   ServerStopped, {},                      kNoHandle,
                                   false,         ModemLinked,             "Wirtualne Porty Serwer TCP"};

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
        LogFormat("Wirtualne Porty Serwer TCP - Error - blad nasluchu na porcie %d, kod: %d", kVirtualPortTcp, error);
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
    // A name lookup in progress does not hold the stop (ResolveUnlessStopped),
    // so the join is short.
    CellServerAskStop(virtualServer);
    CellServerJoin(virtualServer);
    LogText("Wirtualne Porty Serwer TCP Off - Stop");
}

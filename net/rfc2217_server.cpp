// The RFC 2217 listeners: one cell server per listener, each serving one
// serial port, its connections handed to the handlers set from above.
#include "net/rfc2217_server.h"
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "log/log.h"
#include "net/cell_server.h"

struct Rfc2217Server {
    Rfc2217Listener listener;
    ClientCell cells[kClientCells];
    std::atomic<int32_t> state{-1};
    CellServer server;
    char name[40];  // "Serwer RFC 2217 :PORT", the start of its log lines
};

// The table is filled before the servers start and only read after.
static Rfc2217Server servers[kMaxRfc2217Listeners];
static int serverCount = 0;

static std::atomic<bool (*)(ClientCell&, uint32_t, const char*)> acceptedHandler{nullptr};
static std::atomic<void (*)(ClientCell&, const uint8_t*, int)> receivedHandler{nullptr};
static std::atomic<void (*)(ClientCell&)> endedHandler{nullptr};
static std::atomic<void (*)(ClientCell&)> tickHandler{nullptr};

void NetSetRfc2217Handlers(const Rfc2217Handlers& handlers) {
    acceptedHandler = handlers.accepted;
    receivedHandler = handlers.received;
    endedHandler = handlers.ended;
    tickHandler = handlers.tick;
}

bool ParseRfc2217Listener(const char* text, Rfc2217Listener* out) {
    if (!text || !out) return false;
    Rfc2217Listener l;
    memset(&l, 0, sizeof l);
    const char* equals = strchr(text, '=');
    if (!equals) return false;
    std::string where(text, (size_t)(equals - text));
    std::string portText = where;
    size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        std::string address = where.substr(0, colon);
        uint32_t parsed;
        if (!DottedToAddress(address.c_str(), &parsed)) return false;
        snprintf(l.address, sizeof l.address, "%s", address.c_str());
        portText = where.substr(colon + 1);
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    l.port = atoi(portText.c_str());
    if (l.port < 1 || l.port > 65535) return false;
    const char* name = equals + 1;
    size_t digits = strlen(name) >= 3 ? strlen(name) - 3 : 0;
    if (strlen(name) < 4 || digits > 4 || toupper((unsigned char)name[0]) != 'C' ||
        toupper((unsigned char)name[1]) != 'O' || toupper((unsigned char)name[2]) != 'M' || name[3] == '0')
        return false;
    for (size_t i = 3; name[i]; i++)
        if (name[i] < '0' || name[i] > '9') return false;
    snprintf(l.portName, sizeof l.portName, "COM%s", name + 3);
    *out = l;
    return true;
}

bool AddRfc2217Listener(const Rfc2217Listener& listener) {
    if (serverCount >= kMaxRfc2217Listeners) return false;
    for (int i = 0; i < serverCount; i++)
        if (servers[i].listener.port == listener.port) return false;
    servers[serverCount++].listener = listener;
    return true;
}

int Rfc2217ListenerCount() {
    return serverCount;
}

int Rfc2217CellIndex(const ClientCell* cell) {
    for (int s = 0; s < kMaxRfc2217Listeners; s++) {
        const ClientCell* first = servers[s].cells;
        if (cell >= first && cell < first + kClientCells) return s * kClientCells + (int)(cell - first);
    }
    return -1;
}

static Rfc2217Server& ServerOf(const ClientCell& cell) {
    return servers[Rfc2217CellIndex(&cell) / kClientCells];
}

// A connection the layer above refuses is closed here, before the loop
// reads from it.
static void Accepted(ClientCell& cell, uint32_t peer) {
    auto handler = acceptedHandler.load();
    if (!handler || !handler(cell, peer, ServerOf(cell).listener.portName)) CloseClientCell(cell);
}

static void Received(ClientCell& cell, const uint8_t* data, int length) {
    LogReceived("RFC 2217 receive:", data, length);
    auto handler = receivedHandler.load();
    if (handler) handler(cell, data, length);
}

static void Ended(ClientCell& cell) {
    auto handler = endedHandler.load();
    if (handler) handler(cell);
}

static void Tick(ClientCell* cells) {
    auto handler = tickHandler.load();
    if (!handler) return;
    for (int i = 0; i < kClientCells; i++)
        if (!CellFree(cells[i]) && !cells[i].cut.load()) handler(cells[i]);
}

// The session that owns the port keeps its cell however quiet it is; the
// port's auto-disconnect governs it.
static bool OwnsPort(const ClientCell& cell) {
    return bridge.ReplyTarget.load() == &cell;
}

void CutRfc2217Connections() {
    for (int s = 0; s < serverCount; s++) {
        for (int i = 0; i < kClientCells; i++) {
            ClientCell& cell = servers[s].cells[i];
            if (CellFree(cell)) continue;
            cell.cut = true;
            CellServerWakeOwner(&cell);
        }
    }
}

void Rfc2217ServersOn() {
    for (int s = 0; s < serverCount; s++) {
        Rfc2217Server& r = servers[s];
        if (r.server.thread.joinable()) continue;
        const Rfc2217Listener& l = r.listener;
        snprintf(r.name, sizeof r.name, "Serwer RFC 2217 :%d", l.port);
        LogFormat("%s On - Start", r.name);
        for (int i = 0; i < kClientCells; i++) r.cells[i].socket = kNoHandle;
        r.server.cells = r.cells;
        r.server.connectionStat = kStatTcpConnections;
        r.server.state = &r.state;
        r.server.accepted = Accepted;
        r.server.received = Received;
        r.server.ended = Ended;
        r.server.stopped = nullptr;
        r.server.inUse = OwnsPort;
        r.server.tick = Tick;
        r.server.tickMs = kRfc2217TickMs;
        r.server.name = r.name;
        r.server.bulk = true;
        int error = 0;
        Handle listener = TcpListen(l.address, l.port, &error);
        if (listener == kNoHandle) {
            LogFormat("%s - Error - blad nasluchu na %s:%d, kod: %d", r.name, l.address[0] ? l.address : "0.0.0.0",
                      l.port, error);
        } else {
            CellServerStart(r.server, listener);
        }
        LogFormat("%s On - Stop (port %s)", r.name, l.portName);
    }
}

void Rfc2217ServersOff() {
    for (int s = 0; s < serverCount; s++) {
        Rfc2217Server& r = servers[s];
        if (!r.server.thread.joinable()) continue;
        LogFormat("%s Off - Start", r.name);
        CellServerAskStop(r.server);
        CellServerJoin(r.server);
        LogFormat("%s Off - Stop", r.name);
    }
}

// Access control: the peer filter set from above, asked for every accepted
// connection and every datagram, and the one log line per refused address.
#include <cstdio>
#include <cstring>
#include <mutex>
#include "log/log.h"
#include "net/cell_server.h"
#include "net/net.h"

static std::atomic<PeerFilter> peerFilter{nullptr};

// Addresses whose refusal is already in the log. Bounded, so a flood of
// datagrams with forged senders cannot grow it or the log without end.
enum : int { kLoggedMax = 64 };
static std::mutex loggedLock;
static uint32_t logged[kLoggedMax];
static int loggedCount = 0;

void NetSetPeerFilter(PeerFilter filter) {
    peerFilter = filter;
    std::lock_guard<std::mutex> guard(loggedLock);
    loggedCount = 0;
}

static void LogRefusalOnce(uint32_t address) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(loggedLock);
        for (int i = 0; i < loggedCount; i++)
            if (logged[i] == address) return;
        if (loggedCount >= kLoggedMax) return;
        logged[loggedCount++] = address;
        last = loggedCount == kLoggedMax;
    }
    char dotted[16];
    AddressText(address, dotted);
    LogFormat("Odrzucono %s: adres spoza --allow%s", dotted,
              last ? "; kolejne odrzucone adresy nie beda zapisywane" : "");
}

bool PeerAllowed(uint32_t address) {
    PeerFilter filter = peerFilter;
    if (!filter || filter(address)) return true;
    LogRefusalOnce(address);
    return false;
}

void AddressText(uint32_t address, char dotted[16]) {
    snprintf(dotted, 16, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
             address & 255);
}

const char* ReadDottedAddress(const char* text, uint32_t* address) {
    uint32_t value = 0;
    const char* p = text;
    for (int parts = 0;;) {
        int digits = 0;
        unsigned part = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) part = part * 10 + (unsigned)(*p++ - '0'), digits++;
        if (digits == 0 || digits > 3 || part > 255) return nullptr;
        value = value << 8 | part;
        if (++parts == 4) break;
        if (*p++ != '.') return nullptr;
    }
    *address = value;
    return p;
}

bool DottedToAddress(const char* dotted, uint32_t* address) {
    uint32_t value;
    const char* end = ReadDottedAddress(dotted, &value);
    if (!end || *end != 0) return false;
    // Only the text the address itself would be written as: "127.000.0.1"
    // names no address.
    char again[16];
    AddressText(value, again);
    if (strcmp(again, dotted) != 0) return false;
    *address = value;
    return true;
}

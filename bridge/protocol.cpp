// The ESC...CR command protocol spoken over the TCP and UDP control ports:
// framing over the one shared command block, the seventeen keys, the replies.
#include "bridge/protocol.h"
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>
#include "base/settings.h"
#include "base/wire.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"

std::mutex protocolLock;
static std::atomic<void (*)()> shutdownHandler{nullptr};

static std::atomic<bool> killRefused{false};

void ProtocolSetShutdown(void (*shutdown)()) {
    shutdownHandler = shutdown;
}

void ProtocolRefuseKill(bool refuse) {
    killRefused = refuse;
}

// commandLine holds at most this many line bytes (CR included) plus its zero.
enum : int { kMaxLine = (int)sizeof(CommandBlock::commandLine) - 1 };

// A line that outgrew commandLine: its further bytes are counted, not stored,
// and the whole line is dropped at its CR. Guarded by protocolLock.
static bool lineOverflow = false;
static int overflowBytes = 0;

// Each client frames its own stream: an ESC, the line being collected and an
// overflow belong to the connection that sent them, so clients whose packets
// interleave never finish or break each other's lines (half of one client's
// ESC ESC would otherwise turn the next client's command into data). The
// command block holds the framing of the packet being processed; the line
// parameters in it stay shared. Guarded by protocolLock.
struct Framing {
    int32_t inCommand;
    int32_t length;
    char line[sizeof(CommandBlock::commandLine)];
    bool overflow;
    int overflowBytes;
};
static Framing tcpFraming[kClientCells];
static Framing udpFraming;
static Framing otherFraming;  // a connection outside the server's table (tests)

static Framing& FramingOf(ClientCell* cell, bool tcp) {
    if (!tcp) return udpFraming;
    for (int i = 0; i < kClientCells; i++)
        if (cell == &tcpCells[i]) return tcpFraming[i];
    return otherFraming;
}

static void LoadFraming(const Framing& f) {
    CommandBlock& block = bridge.commandBlock;
    block.inCommand = f.inCommand;
    int n = f.length >= 0 && f.length < (int)sizeof block.commandLine ? f.length : 0;
    block.commandLength = n;
    memcpy(block.commandLine, f.line, (size_t)n);
    block.commandLine[n] = 0;
    lineOverflow = f.overflow;
    overflowBytes = f.overflowBytes;
}

static void StoreFraming(Framing& f) {
    const CommandBlock& block = bridge.commandBlock;
    f.inCommand = block.inCommand;
    int n = block.commandLength >= 0 && block.commandLength < (int)sizeof f.line ? block.commandLength : 0;
    f.length = n;
    memcpy(f.line, block.commandLine, (size_t)n);
    f.overflow = lineOverflow;
    f.overflowBytes = overflowBytes;
}

// A TCP client's SETDCB whose 28 bytes did not all come in the packet of its
// line: TCP may split a write anywhere, so the rest is taken from the same
// client's next packets and never sent to the device as data. Dropped,
// unapplied, when that connection ends or stays silent for kDcbWaitMs.
// Guarded by protocolLock.
struct PendingDcb {
    ClientCell* cell;  // null: the entry is free
    Handle socket;     // the connection the line came on
    uint8_t bytes[kDcbSize];
    int count;
    std::chrono::steady_clock::time_point last;  // when bytes last came
};
enum : int { kDcbWaitMs = 2000 };
static PendingDcb pendingDcb[kClientCells];

static PendingDcb* FindPendingDcb(ClientCell* cell) {
    for (PendingDcb& p : pendingDcb)
        if (cell && p.cell == cell) return &p;
    return nullptr;
}

static void DropPendingDcb(PendingDcb& p, const char* why) {
    LogFormat("Error - SETDCB bez 28 bajtow DCB (jest %d), %s - nie zastosowano", p.count, why);
    p.cell = nullptr;
}

static void ApplyDcb(const uint8_t dcb[kDcbSize]) {
    SerialSetDcb(dcb);
    SerialPurge();
}

// Keeps the start of a block for the client's next packets; false when it
// cannot be kept (no connection to tie it to).
static bool StartPendingDcb(ClientCell* cell, const uint8_t* data, int count) {
    if (!cell || cell->socket.load() == kNoHandle) return false;
    PendingDcb* p = FindPendingDcb(cell);
    for (int i = 0; !p && i < kClientCells; i++)
        if (!pendingDcb[i].cell) p = &pendingDcb[i];
    if (!p) return false;
    p->cell = cell;
    p->socket = cell->socket.load();
    memcpy(p->bytes, data, (size_t)count);
    p->count = count;
    p->last = std::chrono::steady_clock::now();
    return true;
}

static bool PendingDcbStalled(const PendingDcb& p) {
    return std::chrono::steady_clock::now() - p.last > std::chrono::milliseconds(kDcbWaitMs);
}

// Takes the rest of a pending block from the start of the client's packet;
// the number of bytes it took (what follows the block is the client's next
// input).
static int TakePendingDcb(const uint8_t* data, int length, ClientCell* cell) {
    PendingDcb* p = FindPendingDcb(cell);
    if (!p) return 0;
    if (p->socket != cell->socket.load()) {
        DropPendingDcb(*p, "rozlaczenie");
        return 0;
    }
    if (PendingDcbStalled(*p)) {
        DropPendingDcb(*p, "brak danych przez 2 s");
        return 0;
    }
    int take = kDcbSize - p->count < length ? kDcbSize - p->count : length;
    memcpy(p->bytes + p->count, data, (size_t)take);
    p->count += take;
    p->last = std::chrono::steady_clock::now();
    if (p->count == kDcbSize) {
        ApplyDcb(p->bytes);
        p->cell = nullptr;
    }
    return take;
}

void DropStalledSetDcb() {
    std::lock_guard<std::mutex> guard(protocolLock);
    for (PendingDcb& p : pendingDcb)
        if (p.cell && PendingDcbStalled(p)) DropPendingDcb(p, "brak danych przez 2 s");
}

int32_t ParseNumber(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') p++;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        p++;
    }
    // Accumulated wide and held at the 32-bit limits, so a long run of
    // digits cannot overflow.
    int64_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > (int64_t)INT32_MAX + 1) value = (int64_t)INT32_MAX + 1;
        p++;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return (int32_t)value;
}

int FindVirtualPort(const char* name) {
    if (!name) return -1;
    const char* compared = strstr(name, "COM");
    if (!compared) return -1;
    if (!settingsRecord.virtualPortsEnabled) return -1;
    char names[kVirtualSlots][40];
    for (int k = 0; k < kVirtualSlots; k++)
        SettingsText(names[k], sizeof names[k], settingsRecord.virtualPortName[k]);
    // A connected slot wins over an unconnected one of the same name.
    for (int k = 0; k < kVirtualSlots; k++)
        if (bridge.virtualSlots[k].load() && strcmp(names[k], compared) == 0) return k;
    for (int k = 0; k < kVirtualSlots; k++)
        if (strcmp(names[k], compared) == 0) return k;
    return -1;
}

static int FindOpenVirtualPort() {
    char name[41];
    GetOpenPortName(name);
    return FindVirtualPort(name);
}

// Replies and the relay to a modem, gathered while protocolLock is held and
// sent in order once it is released: a send may wait up to the send limit on
// a client that does not read, and no other client may wait on the lock
// meanwhile.
struct Outgoing {
    bool tcp;
    ClientCell* cell;  // the sender's cell or a modem's; unused for UDP
    size_t at;         // where its bytes start in Outbox::bytes
    int length;
};
struct Outbox {
    std::vector<Outgoing> items;
    std::vector<uint8_t> bytes;
};

static void Reply(Outbox& out, bool tcp, ClientCell* cell, const uint8_t* data, int length) {
    out.items.push_back({tcp, cell, out.bytes.size(), length});
    out.bytes.insert(out.bytes.end(), data, data + length);
}

static void ReplyByte(Outbox& out, bool tcp, ClientCell* cell, uint8_t value) {
    Reply(out, tcp, cell, &value, 1);
}

static void SendOutbox(const Outbox& out) {
    for (const Outgoing& item : out.items) {
        const uint8_t* data = out.bytes.data() + item.at;
        if (item.tcp)
            SendTCP(data, item.length, item.cell);
        else
            SendUDP(data, item.length);
    }
}

// COM: open, claim, select a virtual port or start a spool job.
static void CommandCom(Outbox& out, const char* argument, bool tcp, ClientCell* cell) {
    CommandBlock& block = bridge.commandBlock;
    if (tcp) PerfTimerRestart();
    int32_t n = ParseNumber(argument);
    block.comNumber = n;
    // The port's name as the device knows it: COM8 on are \\.\COMn.
    char plain[16], name[kSpoolPortNameSize];
    memset(name, 0, sizeof name);
    snprintf(plain, sizeof plain, "COM%d", (int)n);
    SerialDeviceName(plain, name, sizeof name);

    uint8_t reply = kComOpened;
    int slot = -1;
    if (settingsRecord.bufferPrints) {
        SpoolOpen(name, block);
    } else if (tcp && (slot = FindVirtualPort(name)) >= 0) {
        bridge.selectedVirtualSlot = slot;
        if (!bridge.virtualSlots[slot].load()) {
            reply = kComModemAbsent;
        } else {
            bridge.virtualUseCount[slot]++;
            SetOpenPortName(name);
            bridge.ReplyTarget = cell;
        }
    } else if (settingsRecord.alwaysOpen) {
        if (tcp) {
            if (ClaimAlwaysOpenPort())
                bridge.ReplyTarget = cell;
            else
                reply = kComRefused;
        } else {
            reply = AlwaysOpenPortClaimed() ? kComRefused : kComOpened;
        }
    } else {
        if (!tcp) SerialOff();
        reply = (uint8_t)SerialOpen(name, (uint32_t)block.baud, block.dataBits, block.parity,
                                    block.stopBits, block.timeout1, block.timeout2, block.timeout3);
        if (tcp && reply == kComOpened) bridge.ReplyTarget = cell;
    }
    bridge.Statistics[kStatConnections]++;
    ReplyByte(out, tcp, cell, reply);
}

static void CommandTest(Outbox& out, bool tcp, ClientCell* cell) {
    uint8_t reply;
    if (settingsRecord.bufferPrints) {
        reply = bridge.spoolFile >= 0 ? 1 : 0;
    } else if (settingsRecord.alwaysOpen) {
        if (tcp) {
            reply = AlwaysOpenPortClaimed() ? 1 : 0;
        } else {
            reply = ClaimAlwaysOpenPort() ? 0 : 1;
        }
    } else {
        reply = SerialIsOpen() ? 1 : 0;
    }
    ReplyByte(out, tcp, cell, reply);
}

static void CommandClose(bool tcp) {
    if (settingsRecord.bufferPrints)
        SpoolClose();
    else if (tcp && FindOpenVirtualPort() >= 0)
        bridge.selectedVirtualSlot = -1;
    else if (settingsRecord.alwaysOpen)
        ReleaseAlwaysOpenPort();
    else
        SerialOff();
    if (tcp) bridge.ReplyTarget = nullptr;
}

// Collects the line from position on; on its CR runs the keys in their fixed
// order. The caller holds protocolLock.
static int ExecuteCommand(Outbox& out, const uint8_t* data, int length, int& position,
                          ClientCell* cell, bool tcp) {
    CommandBlock& block = bridge.commandBlock;
    if (block.commandLength < 0 || block.commandLength > kMaxLine) {
        // Never trusted as an index: a length out of range is a broken line.
        block.commandLength = 0;
        lineOverflow = true;
    }
    bool ended = false;
    for (; position < length; position++) {
        uint8_t b = data[position];
        if (!lineOverflow && block.commandLength < kMaxLine) {
            block.commandLine[block.commandLength] = (char)b;
            block.commandLength = block.commandLength + 1;
        } else {
            lineOverflow = true;
            overflowBytes++;
        }
        if (b == kCr) {
            ended = true;
            break;
        }
    }
    if (!ended) {
        position = length;
        return 1;
    }

    if (lineOverflow) {
        // A line that did not fit is not run at all: run as far as it was
        // stored, a cut number could open the wrong port or set a wrong rate.
        LogFormat("Error - za dluga linia komendy, pominieto %d bajtow",
                  block.commandLength + overflowBytes);
        lineOverflow = false;
        overflowBytes = 0;
        block.commandLength = 0;
        block.commandLine[0] = 0;
        return 0;
    }

    block.commandLine[block.commandLength] = 0;
    const char* line = block.commandLine;
    const char* p;
    if ((p = strstr(line, "BAUD="))) block.baud = ParseNumber(p + 5);
    if ((p = strstr(line, "DATA="))) block.dataBits = ParseNumber(p + 5);
    if ((p = strstr(line, "PARITY="))) block.parity = p[7];
    if ((p = strstr(line, "STOP="))) block.stopBits = ParseNumber(p + 5);
    if ((p = strstr(line, "TIMEOUT1="))) block.timeout1 = ParseNumber(p + 9);
    if ((p = strstr(line, "TIMEOUT2="))) block.timeout2 = ParseNumber(p + 9);
    if ((p = strstr(line, "TIMEOUT3="))) block.timeout3 = ParseNumber(p + 9);
    if ((p = strstr(line, "TYP="))) {
        block.typ = ParseNumber(p + 4);
        bridge.deviceType = block.typ;
    }
    if ((p = strstr(line, "COM"))) CommandCom(out, p + 3, tcp, cell);
    if (strstr(line, "TEST")) CommandTest(out, tcp, cell);
    if (strstr(line, "CLOSE")) CommandClose(tcp);
    if (strstr(line, "KILL") && killRefused) {
        // Refused: the line goes on as if it held no KILL.
        LogText("KILL pominiety: zdalne wylaczanie jest wylaczone (--no-remote-kill)");
    } else if (strstr(line, "KILL")) {
        // The program is going down: nothing after KILL takes effect, not
        // the later keys of this line nor the rest of the packet.
        void (*shutdown)() = shutdownHandler;
        if (shutdown) shutdown();
        position = length;
        block.commandLength = 0;
        block.commandLine[0] = 0;
        return 0;
    }
    if ((p = strstr(line, "RTS="))) {
        SetRTS(p[4] != '0');
    }
    if ((p = strstr(line, "DTR="))) {
        SetDTR(p[4] != '0');
    }
    if (strstr(line, "MSR=?")) ReplyByte(out, tcp, cell, SerialModemStatus());
    if (strstr(line, "DCB=?")) {
        uint8_t dcb[kDcbSize];
        SerialGetDcb(dcb);
        Reply(out, tcp, cell, dcb, kDcbSize);
    }
    if (strstr(line, "SETDCB")) {
        // The 28 bytes after the CR belong to SETDCB. A TCP client's block
        // may go on in its next packets; a datagram is whole, and a partial
        // DCB is never applied.
        int available = length - (position + 1);
        if (available >= kDcbSize)
            ApplyDcb(data + position + 1);
        else if (!tcp || !StartPendingDcb(cell, data + position + 1, available))
            LogFormat("Error - SETDCB bez 28 bajtow DCB (jest %d)", available);
        position = length;
    }
    block.commandLength = 0;
    block.commandLine[0] = 0;
    return 0;
}

// "Komenda:%s" with the packet as text, up to its first zero byte.
static void LogCommandPacket(const uint8_t* data, int length) {
    char text[kMaxPacket + 1];
    int n = length < kMaxPacket ? length : kMaxPacket;
    memcpy(text, data, (size_t)n);
    text[n] = 0;
    LogFormat("Komenda:%s", text);
}

// Data that finds no port open goes nowhere: said once, and again only
// after data has reached a port since. Guarded by protocolLock.
static bool closedPortSaid = false;

// Writes the run of data bytes gathered for the serial port in one call; a
// byte at a time would cap the line at a few hundred kB/s.
static void FlushSerialRun(const uint8_t* run, int& count) {
    if (count > 0 && !SerialIsOpen()) {
        if (!closedPortSaid) LogFormat("Error - port nie jest otwarty, pominieto %d bajtow", count);
        closedPortSaid = true;
    } else if (count > 0) {
        SerialWriteBytes(run, count);
        closedPortSaid = false;
    }
    count = 0;
}

// One packet of at most kMaxPacket bytes; the caller holds protocolLock and
// sends what the packet put in out once it has let the lock go.
static void ProcessPacket(Outbox& out, const uint8_t* data, int length, ClientCell* cell, bool tcp) {
    CommandBlock& block = bridge.commandBlock;
    uint8_t collected[kMaxPacket + 1];
    int collectedCount = 0;
    // Data bytes bound for the serial port, in order; written out before any
    // command runs and at the end of the packet, so a command never overtakes
    // the data sent before it.
    uint8_t serialRun[kMaxPacket];
    int serialCount = 0;
    // Where data bytes go only changes when a command runs (or another
    // thread closes the port), so the virtual-port lookup is made once per
    // stretch of data rather than for every byte.
    int virtualSlot = tcp ? FindOpenVirtualPort() : -1;
    int first = tcp ? TakePendingDcb(data, length, cell) : 0;

    for (int i = first; i < length; i++) {
        uint8_t b = data[i];
        if (block.inCommand) {
            // ESC ESC is a literal ESC only right after the ESC that opened
            // the line: once a line has begun, an ESC is one of its bytes,
            // wherever the packets happen to split the stream.
            if (b != kEsc || block.commandLength != 0) {
                FlushSerialRun(serialRun, serialCount);
                LogCommandPacket(data, length);
                int position = i;
                if (ExecuteCommand(out, data, length, position, cell, tcp) == 1) break;
                block.inCommand = 0;
                i = position;
                if (tcp) virtualSlot = FindOpenVirtualPort();
                continue;
            }
            // ESC ESC: one literal ESC of data.
            block.inCommand = 0;
        } else if (b == kEsc) {
            block.inCommand = 1;
            continue;
        }
        bridge.ActivityCounter++;
        if (IsHandshakeAck(b)) continue;
        if (settingsRecord.bufferPrints)
            SpoolWriteByte(b);
        else if (virtualSlot >= 0)
            collected[collectedCount++] = b;
        else
            serialRun[serialCount++] = b;
    }
    FlushSerialRun(serialRun, serialCount);

    if (!tcp) return;
    int selected = bridge.selectedVirtualSlot;
    if (selected < 0 || selected >= kVirtualSlots || FindOpenVirtualPort() < 0) return;
    ClientCell* modem = bridge.virtualSlots[selected];
    if (modem) {
        Reply(out, true, modem, collected, collectedCount);
    } else if (collectedCount > 0) {
        // The modem went away during the packet: its bytes are dropped, not
        // echoed to the sender as if the modem had answered.
        LogFormat("Error - brak polaczenia z modemem, pominieto %d bajtow", collectedCount);
    }
}

// Packets longer than a receive call delivers are taken in kMaxPacket parts.
static void ProcessData(const uint8_t* data, int length, ClientCell* cell, bool tcp) {
    if (!data || length <= 0) return;
    Outbox out;
    {
        std::lock_guard<std::mutex> guard(protocolLock);
        Framing& framing = FramingOf(cell, tcp);
        LoadFraming(framing);
        for (int start = 0; start < length; start += kMaxPacket) {
            int n = length - start < kMaxPacket ? length - start : kMaxPacket;
            ProcessPacket(out, data + start, n, cell, tcp);
        }
        StoreFraming(framing);
    }
    SendOutbox(out);
}

// A connection ended: the next client accepted into its cell starts with
// no line begun and no SETDCB block pending. The port and the ReplyTarget
// stay as they are, so that client inherits the port's input.
static void ConnectionEnded(ClientCell* cell) {
    std::lock_guard<std::mutex> guard(protocolLock);
    memset(&FramingOf(cell, true), 0, sizeof(Framing));
    PendingDcb* p = FindPendingDcb(cell);
    if (p) DropPendingDcb(*p, "rozlaczenie");
}

void ProtocolResetFraming() {
    std::lock_guard<std::mutex> guard(protocolLock);
    closedPortSaid = false;
    for (Framing& f : tcpFraming) memset(&f, 0, sizeof f);
    memset(&udpFraming, 0, sizeof udpFraming);
    memset(&otherFraming, 0, sizeof otherFraming);
    for (PendingDcb& p : pendingDcb) p.cell = nullptr;
}

void ProcessTCPData(const uint8_t* data, int length, ClientCell* cell) {
    if (length == 0)
        ConnectionEnded(cell);
    else
        ProcessData(data, length, cell, true);
}

void ProcessUDPData(const uint8_t* data, int length) {
    ProcessData(data, length, nullptr, false);
}

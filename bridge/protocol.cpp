// The ESC...CR command protocol spoken over the TCP and UDP control ports:
// each client's framing in its own session, the seventeen keys over the one
// shared command block, the replies, and the relay of what the port and the
// modems send behind a client's replies.
#include "bridge/protocol.h"
#include "bridge/rfc2217.h"
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

// A session's line holds at most this many bytes (CR included) plus its zero.
enum : int { kMaxLine = (int)sizeof(Session::line) - 1 };

// What the port or a modem sends a client whose replies are not sent yet
// waits here and goes out after them, so that a reply always reaches its
// client before the device's answer to what followed the command. holding,
// bytes and dropped are guarded by relayLock, under which nothing is sent;
// sendOrder is held around every relayed send to the client and around the
// sending of its replies and what waited, so no relay overtakes them.
struct RelayHold {
    bool holding = false;
    std::vector<uint8_t> bytes;
    int dropped = 0;  // bytes beyond kHeldMax
    std::mutex sendOrder;
};
enum : int { kHeldMax = 65536 };
static std::mutex relayLock;

// A client: its session and its relay hold. One per TCP cell, one for UDP,
// and one for connections outside the server's table (tests).
struct Client {
    Session session;
    RelayHold hold;
};
static Client tcpClients[kClientCells];
static Client udpClient;
static Client otherClient;

static Client& ClientOf(const ClientCell* cell, bool tcp) {
    if (!tcp) return udpClient;
    for (int i = 0; i < kClientCells; i++)
        if (cell == &tcpCells[i]) return tcpClients[i];
    return otherClient;
}

const Session& TcpSession(const ClientCell* cell) {
    return ClientOf(cell, true).session;
}

const Session& UdpSession() {
    return udpClient.session;
}

// The client whose packet is being taken.
struct Sender {
    bool tcp;
    ClientCell* cell;  // TCP: its connection
    Client& client;
};

// A TCP client's SETDCB block that did not all come in the packet of its
// line: TCP may split a write anywhere, so the rest is taken from the same
// client's next packets and never sent to the device as data. Dropped,
// unapplied, when that connection ends or stays silent for kDcbWaitMs.
enum : int { kDcbWaitMs = 2000 };

static void DropPendingDcb(Session& s, const char* why) {
    LogFormat("Error - SETDCB bez 28 bajtow DCB (jest %d), %s - nie zastosowano", s.dcbCount, why);
    s.dcbPending = false;
}

static void ApplyDcb(const uint8_t dcb[kDcbSize]) {
    SerialSetDcb(dcb);
    SerialPurge();
}

// Keeps the start of a block for the client's next packets; false when it
// cannot be kept (no connection to tie it to).
static bool StartPendingDcb(const Sender& sender, const uint8_t* data, int count) {
    if (!sender.cell || sender.cell->socket.load() == kNoHandle) return false;
    Session& s = sender.client.session;
    s.dcbPending = true;
    memcpy(s.dcb, data, (size_t)count);
    s.dcbCount = count;
    s.dcbLast = std::chrono::steady_clock::now();
    return true;
}

static bool PendingDcbStalled(const Session& s) {
    return std::chrono::steady_clock::now() - s.dcbLast > std::chrono::milliseconds(kDcbWaitMs);
}

// Takes the rest of a pending block from the start of the client's packet;
// the number of bytes it took (what follows the block is the client's next
// input).
static int TakePendingDcb(Session& s, const uint8_t* data, int length) {
    if (!s.dcbPending) return 0;
    if (PendingDcbStalled(s)) {
        DropPendingDcb(s, "brak danych przez 2 s");
        return 0;
    }
    int take = kDcbSize - s.dcbCount < length ? kDcbSize - s.dcbCount : length;
    memcpy(s.dcb + s.dcbCount, data, (size_t)take);
    s.dcbCount += take;
    s.dcbLast = std::chrono::steady_clock::now();
    if (s.dcbCount == kDcbSize) {
        ApplyDcb(s.dcb);
        s.dcbPending = false;
    }
    return take;
}

void DropStalledSetDcb() {
    std::lock_guard<std::mutex> guard(protocolLock);
    Client* all[kClientCells + 1] = {&otherClient};
    for (int i = 0; i < kClientCells; i++) all[1 + i] = &tcpClients[i];
    for (Client* c : all)
        if (c->session.dcbPending && PendingDcbStalled(c->session))
            DropPendingDcb(c->session, "brak danych przez 2 s");
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
    bool toSender;     // a reply; else bytes for the modem in cell
    ClientCell* cell;  // the modem's cell
    size_t at;         // where its bytes start in Outbox::bytes
    int length;
};
struct Outbox {
    std::vector<Outgoing> items;
    std::vector<uint8_t> bytes;
};

// From here until the sender's replies are sent, what the port or a modem
// sends the sender waits behind them.
static void HoldRelays(Sender& sender) {
    std::lock_guard<std::mutex> guard(relayLock);
    sender.client.hold.holding = true;
}

static void Reply(Outbox& out, Sender& sender, const uint8_t* data, int length) {
    HoldRelays(sender);
    out.items.push_back({true, nullptr, out.bytes.size(), length});
    out.bytes.insert(out.bytes.end(), data, data + length);
}

static void ReplyByte(Outbox& out, Sender& sender, uint8_t value) {
    Reply(out, sender, &value, 1);
}

static void ToModem(Outbox& out, ClientCell* modem, const uint8_t* data, int length) {
    out.items.push_back({false, modem, out.bytes.size(), length});
    out.bytes.insert(out.bytes.end(), data, data + length);
}

// Device data goes to the UDP client in datagrams of at most one classic
// device read: a read that takes all the driver holds, or bytes held behind
// replies (up to kHeldMax), would not fit in one datagram.
enum : int { kUdpRelayMax = 2047 };
static void SendUdpInParts(const uint8_t* data, int length) {
    for (int at = 0; at < length; at += kUdpRelayMax)
        SendUDP(data + at, length - at < kUdpRelayMax ? length - at : kUdpRelayMax);
}

static void SendToSender(const Sender& sender, const uint8_t* data, int length) {
    if (sender.tcp)
        SendTCP(data, length, sender.cell);
    else
        SendUdpInParts(data, length);
}

// The sender's replies, then what waited for them, then the modem's bytes.
static void SendOutbox(const Outbox& out, Sender& sender) {
    RelayHold& hold = sender.client.hold;
    bool holding;
    {
        std::lock_guard<std::mutex> guard(relayLock);
        holding = hold.holding;
    }
    if (holding) {
        std::lock_guard<std::mutex> order(hold.sendOrder);
        for (const Outgoing& item : out.items)
            if (item.toSender) SendToSender(sender, out.bytes.data() + item.at, item.length);
        std::vector<uint8_t> held;
        int dropped;
        {
            std::lock_guard<std::mutex> guard(relayLock);
            held.swap(hold.bytes);
            dropped = hold.dropped;
            hold.dropped = 0;
            hold.holding = false;
        }
        if (!held.empty()) SendToSender(sender, held.data(), (int)held.size());
        if (dropped > 0) LogFormat("Error - za duzo danych czekalo na odpowiedz, pominieto %d bajtow", dropped);
    }
    for (const Outgoing& item : out.items)
        if (!item.toSender) SendTCP(out.bytes.data() + item.at, item.length, item.cell);
}

// One relayed run for a client: kept behind its replies while they are not
// sent, else sent now (a TCP owner whose connection has gone gets nothing).
static void RelayTo(Client& client, bool tcp, ClientCell* cell, const uint8_t* data, int count) {
    RelayHold& hold = client.hold;
    {
        std::lock_guard<std::mutex> guard(relayLock);
        if (hold.holding) {
            int room = kHeldMax - (int)hold.bytes.size();
            int keep = count < room ? count : room > 0 ? room : 0;
            hold.bytes.insert(hold.bytes.end(), data, data + keep);
            hold.dropped += count - keep;
            return;
        }
    }
    std::lock_guard<std::mutex> order(hold.sendOrder);
    if (!tcp)
        SendUdpInParts(data, count);
    else if (cell->socket.load() != kNoHandle)
        SendTCP(data, count, cell);
}

void RelayToClients(const uint8_t* data, int count) {
    if (!data || count <= 0) return;
    // Before the first datagram there is no UDP client: a send to the zero
    // address would fail, and log that, for every read.
    if (bridge.lastUdpSender.load() != 0) RelayTo(udpClient, false, nullptr, data, count);
    // The owner is read once, so what is checked and what is sent to are
    // the same client.
    ClientCell* owner = bridge.ReplyTarget.load();
    if (owner && !Rfc2217Relay(owner, data, count)) RelayTo(ClientOf(owner, true), true, owner, data, count);
}

// COM: open, claim, select a virtual port or start a spool job.
static void CommandCom(Outbox& out, const char* argument, Sender& sender) {
    // Before the sender can become the ReplyTarget.
    HoldRelays(sender);
    bool tcp = sender.tcp;
    ClientCell* cell = sender.cell;
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
        // The job's header is the command block's image as it stands while
        // this line runs: in a command, with this line and its length.
        const Session& s = sender.client.session;
        CommandBlock header = block;
        header.inCommand = 1;
        memset(header.commandLine, 0, sizeof header.commandLine);
        memcpy(header.commandLine, s.line, (size_t)s.lineLength);
        header.commandLength = s.lineLength;
        SpoolOpen(name, header);
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
    ReplyByte(out, sender, reply);
}

static void CommandTest(Outbox& out, Sender& sender) {
    uint8_t reply;
    if (settingsRecord.bufferPrints) {
        reply = bridge.spoolFile >= 0 ? 1 : 0;
    } else if (settingsRecord.alwaysOpen) {
        if (sender.tcp) {
            reply = AlwaysOpenPortClaimed() ? 1 : 0;
        } else {
            reply = ClaimAlwaysOpenPort() ? 0 : 1;
        }
    } else {
        reply = SerialIsOpen() ? 1 : 0;
    }
    ReplyByte(out, sender, reply);
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

// Collects the sender's line from position on; on its CR runs the keys in
// their fixed order. The caller holds protocolLock.
static int ExecuteCommand(Outbox& out, const uint8_t* data, int length, int& position, Sender& sender) {
    Session& s = sender.client.session;
    bool tcp = sender.tcp;
    if (s.lineLength < 0 || s.lineLength > kMaxLine) {
        // Never trusted as an index: a length out of range is a broken line.
        s.lineLength = 0;
        s.overflow = true;
    }
    bool ended = false;
    for (; position < length; position++) {
        uint8_t b = data[position];
        if (!s.overflow && s.lineLength < kMaxLine) {
            s.line[s.lineLength] = (char)b;
            s.lineLength++;
        } else {
            s.overflow = true;
            s.overflowBytes++;
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

    if (s.overflow) {
        // A line that did not fit is not run at all: run as far as it was
        // stored, a cut number could open the wrong port or set a wrong rate.
        LogFormat("Error - za dluga linia komendy, pominieto %d bajtow", s.lineLength + s.overflowBytes);
        s.overflow = false;
        s.overflowBytes = 0;
        s.lineLength = 0;
        s.line[0] = 0;
        return 0;
    }

    CommandBlock& block = bridge.commandBlock;
    s.line[s.lineLength] = 0;
    const char* line = s.line;
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
    if ((p = strstr(line, "COM"))) CommandCom(out, p + 3, sender);
    if (strstr(line, "TEST")) CommandTest(out, sender);
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
        s.lineLength = 0;
        s.line[0] = 0;
        return 0;
    }
    if ((p = strstr(line, "RTS="))) {
        SetRTS(p[4] != '0');
    }
    if ((p = strstr(line, "DTR="))) {
        SetDTR(p[4] != '0');
    }
    if (strstr(line, "MSR=?")) ReplyByte(out, sender, SerialModemStatus());
    if (strstr(line, "DCB=?")) {
        uint8_t dcb[kDcbSize];
        SerialGetDcb(dcb);
        Reply(out, sender, dcb, kDcbSize);
    }
    if (strstr(line, "SETDCB")) {
        // The 28 bytes after the CR belong to SETDCB. A TCP client's block
        // may go on in its next packets; a datagram is whole, and a partial
        // DCB is never applied.
        int available = length - (position + 1);
        if (available >= kDcbSize)
            ApplyDcb(data + position + 1);
        else if (!tcp || !StartPendingDcb(sender, data + position + 1, available))
            LogFormat("Error - SETDCB bez 28 bajtow DCB (jest %d)", available);
        position = length;
    }
    s.lineLength = 0;
    s.line[0] = 0;
    return 0;
}

// "Komenda:" with the packet up to its first zero byte, rendered like a
// dump so that an entry stays one line.
static void LogCommandPacket(const uint8_t* data, int length) {
    const void* zero = memchr(data, 0, (size_t)length);
    LogDump("Komenda:", data, zero ? (int)((const uint8_t*)zero - data) : length);
}

// Data that finds no port open goes nowhere: said once, and again only
// after data has reached a port since. Guarded by protocolLock.
static bool closedPortSaid = false;

// Data bytes bound for the serial port, gathered over every packet of one
// receive and written in one call: a write per packet, or per byte, would
// cap a fast device well below what the network brings.
struct SerialRun {
    uint8_t bytes[kBulkReceive];
    int count = 0;
};

// Writes the gathered run; before any command runs and at the end of the
// receive, so a command never overtakes the data sent before it.
static void FlushSerialRun(SerialRun& run) {
    if (run.count > 0 && !SerialIsOpen()) {
        if (!closedPortSaid) LogFormat("Error - port nie jest otwarty, pominieto %d bajtow", run.count);
        closedPortSaid = true;
    } else if (run.count > 0) {
        SerialWriteBytes(run.bytes, run.count);
        closedPortSaid = false;
    }
    run.count = 0;
}

// Where a packet's data bytes go: the spool, the virtual port's collection
// or the serial run. Chosen once per packet and after each command, the
// only times it can change (save another thread closing the port).
struct DataTarget {
    int virtualSlot;
    uint8_t* collected;
    int& collectedCount;
    SerialRun& run;
};

// A stretch of data with no ESC in it, taken as one run: counted once, and
// copied whole unless a handshake ACK must be dropped from it.
static void TakeData(DataTarget& to, const uint8_t* data, int count) {
    bridge.ActivityCounter += count;
    bool acks = bridge.deviceType.load() == kHandshakeType && memchr(data, 0x06, (size_t)count);
    if (settingsRecord.bufferPrints) {
        for (int i = 0; i < count; i++)
            if (!acks || !IsHandshakeAck(data[i])) SpoolWriteByte(data[i]);
        return;
    }
    uint8_t* into = to.virtualSlot >= 0 ? to.collected + to.collectedCount : to.run.bytes + to.run.count;
    int taken = count;
    if (!acks) {
        memcpy(into, data, (size_t)count);
    } else {
        taken = 0;
        for (int i = 0; i < count; i++)
            if (!IsHandshakeAck(data[i])) into[taken++] = data[i];
    }
    if (to.virtualSlot >= 0)
        to.collectedCount += taken;
    else
        to.run.count += taken;
}

// One packet of at most kMaxPacket bytes; the caller holds protocolLock,
// flushes the serial run once the receive's last packet is done, and sends
// what the packet put in out once it has let the lock go.
static void ProcessPacket(Outbox& out, const uint8_t* data, int length, Sender& sender, SerialRun& run) {
    Session& s = sender.client.session;
    bool tcp = sender.tcp;
    uint8_t collected[kMaxPacket + 1];
    int collectedCount = 0;
    // The virtual-port lookup is made once per stretch of data rather than
    // for every byte.
    DataTarget to{tcp ? FindOpenVirtualPort() : -1, collected, collectedCount, run};
    int first = tcp ? TakePendingDcb(s, data, length) : 0;
    // The packet is logged once, before its first command line runs,
    // however many lines it holds.
    bool packetLogged = false;

    for (int i = first; i < length; i++) {
        uint8_t b = data[i];
        if (s.inCommand) {
            // ESC ESC is a literal ESC only right after the ESC that opened
            // the line: once a line has begun, an ESC is one of its bytes,
            // wherever the packets happen to split the stream.
            if (b != kEsc || s.lineLength != 0) {
                FlushSerialRun(run);
                if (!packetLogged) LogCommandPacket(data, length);
                packetLogged = true;
                int position = i;
                if (ExecuteCommand(out, data, length, position, sender) == 1) break;
                s.inCommand = false;
                i = position;
                if (tcp) to.virtualSlot = FindOpenVirtualPort();
                continue;
            }
            // ESC ESC: one literal ESC of data, the first of a stretch.
            s.inCommand = false;
        } else if (b == kEsc) {
            s.inCommand = true;
            continue;
        }
        // Data up to the next ESC, which may open a command.
        const void* esc = memchr(data + i + 1, kEsc, (size_t)(length - i - 1));
        int end = esc ? (int)((const uint8_t*)esc - data) : length;
        TakeData(to, data + i, end - i);
        i = end - 1;
    }

    if (!tcp) return;
    int selected = bridge.selectedVirtualSlot;
    if (selected < 0 || selected >= kVirtualSlots || FindOpenVirtualPort() < 0) return;
    ClientCell* modem = bridge.virtualSlots[selected];
    if (modem) {
        ToModem(out, modem, collected, collectedCount);
    } else if (collectedCount > 0) {
        // The modem went away during the packet: its bytes are dropped, not
        // echoed to the sender as if the modem had answered.
        LogFormat("Error - brak polaczenia z modemem, pominieto %d bajtow", collectedCount);
    }
}

// A receive of up to kBulkReceive bytes is taken in packets of kMaxPacket,
// each framed and logged as one; their data for the port goes out in one
// write.
static void ProcessData(const uint8_t* data, int length, ClientCell* cell, bool tcp) {
    if (!data || length <= 0) return;
    Sender sender{tcp, cell, ClientOf(cell, tcp)};
    Outbox out;
    SerialRun run;
    {
        std::lock_guard<std::mutex> guard(protocolLock);
        for (int start = 0; start < length; start += kMaxPacket) {
            int n = length - start < kMaxPacket ? length - start : kMaxPacket;
            // A receive larger than the run holds is written in parts.
            if (run.count + n > kBulkReceive) FlushSerialRun(run);
            ProcessPacket(out, data + start, n, sender, run);
        }
        FlushSerialRun(run);
    }
    SendOutbox(out, sender);
}

// A TCP connection ended (or the UDP server stopped): the next client starts
// with an empty session, no line begun and no SETDCB block pending. The port
// and the ReplyTarget stay as they are, so a client accepted into the same
// cell inherits the port's input.
static void SessionEnded(ClientCell* cell, bool tcp) {
    std::lock_guard<std::mutex> guard(protocolLock);
    Session& s = ClientOf(cell, tcp).session;
    if (s.dcbPending) DropPendingDcb(s, "rozlaczenie");
    s = Session{};
}

void ProtocolResetFraming() {
    std::lock_guard<std::mutex> guard(protocolLock);
    closedPortSaid = false;
    Client* all[kClientCells + 2] = {&udpClient, &otherClient};
    for (int i = 0; i < kClientCells; i++) all[2 + i] = &tcpClients[i];
    std::lock_guard<std::mutex> relay(relayLock);
    for (Client* c : all) {
        c->session = Session{};
        c->hold.holding = false;
        c->hold.bytes.clear();
        c->hold.dropped = 0;
    }
}

void ProcessTCPData(const uint8_t* data, int length, ClientCell* cell) {
    if (length == 0)
        SessionEnded(cell, true);
    else
        ProcessData(data, length, cell, true);
}

void ProcessUDPData(const uint8_t* data, int length) {
    if (length == 0)
        SessionEnded(nullptr, false);
    else
        ProcessData(data, length, nullptr, false);
}

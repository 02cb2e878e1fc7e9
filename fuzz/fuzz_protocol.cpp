// The command protocol's entry points (ProcessTCPData, ProcessUDPData) fed a
// sequence of TCP and UDP packets from up to five clients, with the serial
// port and the sends in memory (fakes.h). A plain model of the framing, kept
// apart from the protocol's code, says what each input must do; the target
// checks the protocol against it:
//   - the bytes that reach the port (or, with prints buffered, each job
//     file) are exactly the clients' data bytes: ESC ESC folded to one ESC,
//     command lines removed, ACK dropped while TYP is 108;
//   - each packet's replies go only to the client that sent it, one byte for
//     COM, TEST and MSR=?, 28 for DCB=?, and nothing else;
//   - the device answers every write at once, and a client never gets the
//     answer to a write made after a command before that command's reply;
//   - SETDCB applies exactly the 28 bytes after its line; a TCP client's
//     block that its line's packet cut short is completed from the start of
//     that client's next packets, and dropped when its connection ends;
//   - each client frames its own stream (an ESC, a line begun, an overflow)
//     in its session, whose fields stay within their sizes, and the shared
//     command block holds no line.
// Built twice: fuzz_protocol with the always-open port, fuzz_spool with
// prints buffered (PRINT_BUFFERING 1).
#include <array>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "fuzz/fakes.h"
#include "log/log.h"
#include "net/net.h"
#include "serial/serial.h"
#include "spool/spool.h"

#ifndef PRINT_BUFFERING
#define PRINT_BUFFERING 0
#endif

namespace {

const int kLineBytes = 2047;  // a command line's stored bytes, its CR included
const uint8_t kEsc = 0x1B, kCr = 0x0D, kAck = 0x06;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "PROPERTY FAILED: %s\n", what);
    abort();
}

// The decimal number after a key: blanks, a sign, digits; held at the
// 32-bit limits.
long long NumberAfter(const char* p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (v < 10000000000LL) v = v * 10 + (*p - '0');
    if (negative) v = -v;
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
}

// One client's framing: five TCP clients and the UDP one (index 5).
struct Framing {
    bool inCommand = false;
    std::string line;
    bool overflow = false;
    bool dcbPending = false;  // a SETDCB block waits for this client's next bytes
    std::vector<uint8_t> dcb;
};

struct Model {
    bool spooling = PRINT_BUFFERING != 0;
    bool portOpen = PRINT_BUFFERING == 0;
    Framing clients[6];
    bool inCommand = false;  // the framing of the client whose packet is taken
    std::string line;
    bool overflow = false;
    bool tcp = true;              // the packet being taken came over TCP
    Framing* client = nullptr;    // the client whose packet is taken
    bool ackDropped = false;  // TYP is 108 (a shared parameter)
    std::vector<uint8_t> portData;
    std::vector<std::vector<uint8_t>> jobs;
    bool jobOpen = false;
    std::vector<std::array<uint8_t, 28>> dcbs;
    int kills = 0;
    // The packet's reply keys in order: their reply bytes, and how many
    // bytes had reached the port when their line ran.
    struct ReplyKey {
        size_t bytes;
        size_t portBefore;
    };
    std::vector<ReplyKey> replyKeys;

    void Asks(size_t bytes, size_t& replies) {
        replyKeys.push_back({bytes, portData.size()});
        replies += bytes;
    }

    void Data(uint8_t b) {
        if (ackDropped && b == kAck) return;
        if (spooling) {
            if (jobOpen) jobs.back().push_back(b);
        } else if (portOpen) {
            portData.push_back(b);
        }
    }

    void Dcb(const uint8_t* bytes) {
        if (!portOpen) return;
        std::array<uint8_t, 28> d;
        memcpy(d.data(), bytes, 28);
        dcbs.push_back(d);
    }

    // One packet of a client; the count of reply bytes it must send back.
    size_t Packet(int index, bool overTcp, const uint8_t* data, int length) {
        Framing& f = clients[index];
        tcp = overTcp, client = &f;
        replyKeys.clear();
        int first = 0;
        if (f.dcbPending) {
            // The rest of the block comes first; what follows it is input.
            while (first < length && f.dcb.size() < 28) f.dcb.push_back(data[first++]);
            if (f.dcb.size() == 28) {
                Dcb(f.dcb.data());
                f.dcbPending = false;
                f.dcb.clear();
            }
        }
        inCommand = f.inCommand, line = f.line, overflow = f.overflow;
        size_t replies = PacketFramed(data + first, length - first);
        f.inCommand = inCommand, f.line = line, f.overflow = overflow;
        return replies;
    }

    size_t PacketFramed(const uint8_t* data, int length) {
        size_t replies = 0;
        for (int i = 0; i < length; i++) {
            uint8_t b = data[i];
            if (!inCommand) {
                if (b == kEsc)
                    inCommand = true;
                else
                    Data(b);
                continue;
            }
            if (b == kEsc && line.empty() && !overflow) {
                inCommand = false;
                Data(b);
                continue;
            }
            // A command line, up to its CR.
            for (; i < length; i++) {
                if (!overflow && (int)line.size() < kLineBytes)
                    line.push_back((char)data[i]);
                else
                    overflow = true;
                if (data[i] == kCr) break;
            }
            if (i == length) return replies;  // the line goes on in the next packet
            bool ranOut = false;
            if (!overflow) ranOut = Run(data, length, i, replies);
            inCommand = false;
            overflow = false;
            line.clear();
            if (ranOut) return replies;
        }
        return replies;
    }

    // The keys of a complete line ending at data[cr]; true when the line
    // took the rest of the packet (KILL, SETDCB).
    bool Run(const uint8_t* data, int length, int cr, size_t& replies) {
        const char* s = line.c_str();  // a key is looked for up to the first zero byte
        const char* p;
        if ((p = strstr(s, "TYP="))) ackDropped = NumberAfter(p + 4) == 108;
        if (strstr(s, "COM")) {
            Asks(1, replies);
            if (spooling) {
                jobs.emplace_back();
                jobOpen = true;
            }
        }
        if (strstr(s, "TEST")) Asks(1, replies);
        if (strstr(s, "CLOSE") && spooling) jobOpen = false;
        if (strstr(s, "KILL")) {
            kills++;
            return true;
        }
        if (strstr(s, "MSR=?")) Asks(1, replies);
        if (strstr(s, "DCB=?")) Asks(28, replies);
        if (strstr(s, "SETDCB")) {
            int available = length - (cr + 1);
            if (available >= 28) {
                Dcb(data + cr + 1);
            } else if (tcp) {
                client->dcbPending = true;
                client->dcb.assign(data + cr + 1, data + length);
            }
            return true;
        }
        return false;
    }
};

const int kCells = 5;
Handle nextSocket = 1000;
int kills = 0;
std::string spoolDir;

void OnKill() {
    kills++;
}

bool Init() {
    settingsRecord.udpEnabled = 1;
    settingsRecord.tcpEnabled = 1;
    settingsRecord.virtualPortsEnabled = 0;
    LogSetPath("/dev/null");
    BridgeConnect(OnKill);
    if (PRINT_BUFFERING) {
        std::random_device random;
        spoolDir = (std::filesystem::temp_directory_path() /
                    ("kestrun-fuzz-" + std::to_string(random()) + std::to_string(random())))
                       .string();
        std::filesystem::create_directories(spoolDir);
        SetSettingsText(settingsRecord.spoolDirectory, sizeof settingsRecord.spoolDirectory,
                        spoolDir.c_str());
        settingsRecord.bufferPrints = 1;
        settingsRecord.alwaysOpen = 0;
        fake::deviceOpens = false;
    } else {
        settingsRecord.bufferPrints = 0;
        settingsRecord.alwaysOpen = 1;
        fake::deviceOpens = true;
        char name[] = "COM1";
        if (SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0) != 0) Fail("the fake port does not open");
    }
    return true;
}

// Every client starts the input on a new connection with no line begun, the
// device type 0.
void ResetState() {
    for (int i = 0; i < kCells; i++) {
        tcpCells[i].socket = nextSocket++;
        tcpCells[i].cut = false;
    }
    ProtocolResetFraming();
    CommandBlock& block = bridge.commandBlock;
    block.typ = 0;
    bridge.deviceType = 0;
    ReleaseAlwaysOpenPort();
    bridge.ReplyTarget = nullptr;
    for (int i = 0; i < kStatCount; i++) bridge.Statistics[i] = 0;
    fake::ClearDevice();
    kills = 0;
    if (PRINT_BUFFERING) SpoolPrepareDirectory();  // an empty queue, as at start-up
}

// The answers in one send to the sending client: each must come after the
// replies to the commands that ran before its write (replies: the reply
// bytes the client had got before this send).
void CheckAnswers(const Model& m, const fake::Sent& sent, size_t replies) {
    if (sent.bytes.size() % fake::kAnswerSize != 0) Fail("a device answer was cut");
    for (size_t at = 0; at < sent.bytes.size(); at += fake::kAnswerSize) {
        if (sent.bytes[at] != fake::kAnswerLead) Fail("a device answer was mixed with other bytes");
        size_t number = fake::AnswerNumber(&sent.bytes[at]);
        if (number >= fake::writeStarts.size()) Fail("an answer to no write");
        size_t due = 0;
        for (const Model::ReplyKey& key : m.replyKeys)
            if (key.portBefore <= fake::writeStarts[number]) due += key.bytes;
        if (replies < due) Fail("the device's answer overtook the reply to the command before its write");
    }
}

void Feed(Model& m, bool udp, int cell, const uint8_t* data, int length) {
    fake::ClearSends();
    // A TCP packet of length 0 is the end of the connection, a datagram of
    // length 0 the UDP server's stop: nothing is sent, and the next client
    // starts with no line.
    if (length == 0) {
        m.clients[udp ? kCells : cell] = Framing();
        if (udp)
            ProcessUDPData(data, 0);
        else
            ProcessTCPData(data, 0, &tcpCells[cell]);
        if (!fake::Sends().empty()) Fail("a reply to the end of a connection");
        return;
    }
    // A TCP receive is framed as the packets of kMaxPacket it holds.
    size_t expected = 0;
    for (int at = 0; at < length; at += kMaxPacket)
        expected += m.Packet(udp ? kCells : cell, !udp, data + at, std::min(length - at, (int)kMaxPacket));
    if (udp)
        ProcessUDPData(data, length);
    else
        ProcessTCPData(data, length, &tcpCells[cell]);
    size_t got = 0;
    for (const fake::Sent& s : fake::Sends()) {
        bool toSender = s.udp == udp && (udp || s.socket == tcpCells[cell].socket.load());
        if (!s.bytes.empty() && s.bytes[0] == fake::kAnswerLead) {
            // Relayed by the port's reader to the last UDP sender and the
            // port's owner.
            if (toSender) CheckAnswers(m, s, got);
            continue;
        }
        if (s.udp != udp) Fail("a reply went to a client of the other protocol");
        if (!toSender) Fail("a reply went to another TCP client");
        got += s.bytes.size();
    }
    if (got != expected) {
        fprintf(stderr, "%s client %d: %zu reply bytes, %zu expected\n", udp ? "UDP" : "TCP", cell, got, expected);
        Fail("the replies are not one per asking key with its length");
    }

    const Session& session = udp ? UdpSession() : TcpSession(&tcpCells[cell]);
    int lineLength = session.lineLength;
    if (lineLength < 0 || lineLength > kLineBytes) Fail("the line's length is outside the line");
    if (session.inCommand != m.inCommand) Fail("inCommand differs from the framing");
    if (!m.overflow && lineLength != (int)m.line.size()) Fail("the line's length differs from the line");
    const CommandBlock& block = bridge.commandBlock;
    if (block.inCommand != 0 || block.commandLength != 0) Fail("the shared command block holds a line");
}

std::vector<uint8_t> ReadJob(int number) {
    char path[512];
    if (SpoolJobPath(path, sizeof path, number) != 0) Fail("no job path");
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path, "rb");
    if (!f) Fail("a job file is missing");
    uint8_t buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    if (bytes.size() < (size_t)kSpoolHeaderSize) Fail("a job file is shorter than its header");
    return std::vector<uint8_t>(bytes.begin() + kSpoolHeaderSize, bytes.end());
}

}  // namespace

// Input: receives, each a header byte (bit 7: UDP, else TCP from client
// (byte & 7) % 5; bit 6: that client connects anew first), two bytes of
// length (little-endian, taken modulo one more than the largest receive:
// a datagram, or a TCP receive of several packets) and the bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Init();
    (void)ready;
    ResetState();
    Model m;
    size_t at = 0;
    while (at + 3 <= size) {
        uint8_t header = data[at];
        bool udp = header & 0x80;
        size_t length = (size_t)(data[at + 1] | data[at + 2] << 8) % (udp ? kMaxPacket + 1 : kBulkReceive + 1);
        at += 3;
        if (length > size - at) length = size - at;
        int cell = (header & 7) % kCells;
        if (!udp && (header & 0x40)) {
            // The connection ends (the server tells the protocol) and a new
            // client takes the cell.
            ProcessTCPData(nullptr, 0, &tcpCells[cell]);
            m.clients[cell] = Framing();
            tcpCells[cell].socket = nextSocket++;
        }
        Feed(m, udp, cell, data + at, (int)length);
        at += length;
    }
    if (kills != m.kills) Fail("KILL did not reach the shutdown exactly once per line");
    if (fake::appliedDcbs != m.dcbs) Fail("the DCBs applied are not the 28 bytes after each SETDCB");
    if (PRINT_BUFFERING) {
        if (bridge.spoolFile >= 0) SpoolClose();
        // Nothing prints here, so the queue takes 100 jobs (its default bound)
        // and refuses the rest.
        size_t taken = std::min(m.jobs.size(), (size_t)100);
        if (bridge.Statistics[kStatBuffered] != (int)taken) Fail("not one job per COM up to the bound");
        for (size_t k = 0; k < taken; k++)
            if (ReadJob((int)k) != m.jobs[k]) Fail("a job's data is not the client's data bytes");
        if (!fake::portBytes.empty()) Fail("bytes reached the port while prints are buffered");
    } else {
        if (fake::portBytes != m.portData) Fail("the port's bytes are not the clients' data bytes");
    }
    return 0;
}

// The command protocol: framing, keys in table order, the replies of COM,
// TEST, CLOSE, MSR=? and DCB=? over real loopback TCP and UDP sockets, the
// virtual-port route, overlong lines and random input.
#include <gtest/gtest.h>
#include <random>
#include "protocol_fixture.h"
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using RawSocket = SOCKET;
static void CloseRaw(RawSocket s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
using RawSocket = int;
static void CloseRaw(RawSocket s) { close(s); }
#endif

namespace {

std::string Recv(RawSocket s, size_t n, int timeoutMs) {
    std::string got;
    WaitFor([&] {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{0, 1000};
        if (select((int)s + 1, &set, nullptr, nullptr, &tv) > 0) {
            char buf[2048];
            int r = recv(s, buf, sizeof buf, 0);
            if (r > 0) got.append(buf, (size_t)r);
        }
        return got.size() >= n;
    }, timeoutMs);
    return got;
}

// Reads what arrives until quietMs pass without a byte.
std::string Drain(RawSocket s, int quietMs = 100) {
    std::string got;
    for (int round = 0; round < 100; round++) {
        std::string more = Recv(s, 1, quietMs);
        if (more.empty()) break;
        got += more;
    }
    return got;
}

// A loopback TCP connection: client is the test's end, server the bridge's
// end, put into a ClientCell as the TCP server would.
struct TcpPair {
    RawSocket client = (RawSocket)-1, server = (RawSocket)-1;
    ClientCell* cell = nullptr;
    explicit TcpPair(ClientCell* into) : cell(into) {
        RawSocket listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        bind(listener, (sockaddr*)&a, sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, (sockaddr*)&a, &len);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, (sockaddr*)&a, sizeof a);
        server = accept(listener, nullptr, nullptr);
        CloseRaw(listener);
        cell->socket = (Handle)server;
    }
    ~TcpPair() {
        cell->socket = 0;
        CloseRaw(server);
        CloseRaw(client);
    }
    void Feed(const std::string& bytes) {
        ProcessTCPData((const uint8_t*)bytes.data(), (int)bytes.size(), cell);
    }
    std::string Reply(size_t n) { return Recv(client, n, 3000); }
};

// The UDP control socket and a client; the bridge's replies go to the last
// sender, which is the client.
struct UdpPair {
    RawSocket client = (RawSocket)-1, server = (RawSocket)-1;
    UdpPair() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server = socket(AF_INET, SOCK_DGRAM, 0);
        bind(server, (sockaddr*)&a, sizeof a);
        client = socket(AF_INET, SOCK_DGRAM, 0);
        bind(client, (sockaddr*)&a, sizeof a);
        socklen_t len = sizeof a;
        getsockname(client, (sockaddr*)&a, &len);
        bridge.udpSocket = (Handle)server;
        bridge.lastUdpSender = ((uint64_t)a.sin_addr.s_addr << 32) | a.sin_port;
    }
    ~UdpPair() {
        bridge.udpSocket = kNoHandle;
        CloseRaw(server);
        CloseRaw(client);
    }
    void Feed(const std::string& bytes) {
        ProcessUDPData((const uint8_t*)bytes.data(), (int)bytes.size());
    }
    std::string Reply(size_t n) { return Recv(client, n, 3000); }
};

std::string SpoolData(int n) {
    char path[512];
    SpoolJobPath(path, sizeof path, n);
    std::string file = ReadFileBytes(path);
    return file.size() >= (size_t)kSpoolHeaderSize ? file.substr(kSpoolHeaderSize) : "<short>";
}

const CommandBlock& Block() { return bridge.commandBlock; }

// The parameters are what a fresh start has.
void ExpectDefaultParams() {
    EXPECT_EQ(1, +Block().comNumber);
    EXPECT_EQ(9600, +Block().baud);
    EXPECT_EQ(8, +Block().dataBits);
    EXPECT_EQ('N', +Block().parity);
    EXPECT_EQ(1, +Block().stopBits);
    EXPECT_EQ(10, +Block().timeout1);
    EXPECT_EQ(50, +Block().timeout2);
    EXPECT_EQ(0, +Block().timeout3);
    EXPECT_EQ(0, +Block().typ);
}

}  // namespace

TEST(Protocol, ParseNumber) {
    EXPECT_EQ(19200, ParseNumber("19200"));
    EXPECT_EQ(12, ParseNumber("  12\r"));
    EXPECT_EQ(-5, ParseNumber("-5x"));
    EXPECT_EQ(7, ParseNumber("+7"));
    EXPECT_EQ(0, ParseNumber("\r"));
    EXPECT_EQ(0, ParseNumber("x12"));
    EXPECT_EQ(0, ParseNumber("- 3"));
    EXPECT_EQ(INT32_MAX, ParseNumber("99999999999999999999"));
    EXPECT_EQ(INT32_MIN, ParseNumber("-99999999999999999999"));
}

// Framing is observed through a spool job: every data byte lands in it.
TEST(Protocol, FramingIntoTheJob) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[0]);
    // ESC ESC is one ESC of data; the LF after a CR is data.
    c.Feed(Cmd("COM3"));
    bridge.ActivityCounter = 0;  // the reply counted as traffic too
    c.Feed("\nA\x1b\x1b" "B");
    // A line split over two packets runs once, when its CR arrives.
    c.Feed("C\x1b" "BAUD=12");
    EXPECT_EQ(1, +Block().inCommand);
    EXPECT_EQ(9600, +Block().baud);
    c.Feed("00\rD" + Cmd("CLOSE"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_EQ(0, +Block().inCommand);
    EXPECT_EQ(0, +Block().commandLength);
    EXPECT_EQ("\nA\x1b" "BCD", SpoolData(0));
    EXPECT_EQ(6, bridge.ActivityCounter);  // the literal ESC counts too
    std::string log = Log();
    EXPECT_EQ(4, Count(log, "Komenda:"));
    EXPECT_EQ(1, Count(log, "Komenda:\x1b" "COM3\r\r\n"));
    EXPECT_EQ(1, Count(log, "Komenda:C\x1b" "BAUD=12\r\n"));
    EXPECT_EQ(2, Count(log, "Komenda:00\rD"));

    // Two lines in one packet: both run, the packet is logged for each.
    c.Feed(Cmd("BAUD=19200") + Cmd("COM4") + "E" + Cmd("CLOSE"));
    EXPECT_EQ(3, Count(Log(),
                       "Komenda:\x1b" "BAUD=19200\r\x1b" "COM4\rE\x1b" "CLOSE\r\r\n"));
    EXPECT_EQ(7, Count(Log(), "Komenda:"));
    EXPECT_EQ("E", SpoolData(1));
    EXPECT_EQ(19200, GetLe32((const uint8_t*)ReadFileBytes("SERVBUFF/0001.buf").data() + 2316));

    // Keys run in table order whatever their order in the line; lower case
    // is no key; a zero byte hides the rest of the line.
    c.Feed(Cmd("COM5 STOP=2 PARITY=E DATA=7 TIMEOUT3=3 TIMEOUT2=2 TIMEOUT1=1 BAUD=4800"));
    c.Feed("F" + Cmd("CLOSE") + Cmd("com6") + "G" + Cmd(std::string("BAUD=300\0COM7", 13)));
    EXPECT_EQ(2, +Block().stopBits);
    EXPECT_EQ('E', +Block().parity);
    EXPECT_EQ(7, +Block().dataBits);
    EXPECT_EQ(1, +Block().timeout1);
    EXPECT_EQ(2, +Block().timeout2);
    EXPECT_EQ(3, +Block().timeout3);
    EXPECT_EQ(300, +Block().baud);
    EXPECT_EQ(5, +Block().comNumber);
    std::string job = ReadFileBytes("SERVBUFF/0002.buf");
    ASSERT_EQ((size_t)kSpoolHeaderSize + 1, job.size());
    EXPECT_EQ(4800, GetLe32((const uint8_t*)job.data() + 2316));
    EXPECT_EQ(7, GetLe32((const uint8_t*)job.data() + 2320));
    EXPECT_EQ('E', job[2324]);
    EXPECT_EQ(2, GetLe32((const uint8_t*)job.data() + 2325));
    EXPECT_EQ(3, bridge.Statistics[kStatBuffered]);  // com6 and COM7 opened nothing
    EXPECT_EQ(3, bridge.Statistics[kStatConnections]);

    // ESC in command mode ends it, the partial line stays and prefixes the next.
    c.Feed("\x1b" "BAU");
    c.Feed("\x1b" "x");
    EXPECT_EQ(0, +Block().inCommand);
    c.Feed(Cmd("D=2400"));
    EXPECT_EQ(2400, +Block().baud);
    EndState();
}

TEST(Protocol, SetdcbConsumesThePacketAndHandshakeAckIsDropped) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[1]);
    c.Feed(Cmd("COM3") + "a");
    c.Feed(Cmd("SETDCB") + std::string(28, '\x01') + "bc" + Cmd("BAUD=1"));
    c.Feed(Cmd("SETDCB") + "short");  // no whole DCB: nothing applied
    EXPECT_EQ(9600, +Block().baud);
    EXPECT_EQ(0, +Block().inCommand);
    c.Feed(Cmd("TYP=108") + "d\x06" "e");
    EXPECT_EQ(108, +Block().typ);
    EXPECT_EQ(108, bridge.deviceType);
    c.Feed(Cmd("TYP=0") + "\x06" + Cmd("CLOSE"));
    EXPECT_EQ(std::string("ade\x06"), SpoolData(0));
    EXPECT_EQ(0, bridge.deviceType);
    EndState();
}

TEST(Protocol, RtsDtrAndStatusRepliesWithoutPort) {
    ScopedWorkDir wd;
    FreshState();
    TcpPair c(&tcpCells[0]);
    c.Feed(Cmd("RTS=0"));
    EXPECT_EQ(0, bridge.rtsState);
    c.Feed(Cmd("RTS=1"));
    EXPECT_EQ(1, bridge.rtsState);
    c.Feed(Cmd("RTS=0") + Cmd("RTS=x"));
    EXPECT_EQ(1, bridge.rtsState);
    c.Feed(Cmd("DTR=0"));
    EXPECT_EQ(0, bridge.dtrState);
    c.Feed(Cmd("DTR=?"));
    EXPECT_EQ(1, bridge.dtrState);
    // No port open: the replies still have their lengths, in table order.
    c.Feed(Cmd("DCB=? MSR=?"));
    EXPECT_EQ(29u, c.Reply(29).size());
    UdpPair u;
    u.Feed(Cmd("MSR=?"));
    EXPECT_EQ(1u, u.Reply(1).size());
    u.Feed(Cmd("DCB=?"));
    EXPECT_EQ(28u, u.Reply(28).size());
    EndState();
}

TEST(Protocol, RepliesWhileBuffering) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[0]);
    UdpPair u;
    c.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\0'), c.Reply(1));
    c.Feed(Cmd("COM3 TEST"));  // COM's byte first, then TEST's
    EXPECT_EQ(std::string("\0\1", 2), c.Reply(2));
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    u.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    u.Feed(Cmd("CLOSE"));
    u.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    u.Feed(Cmd("COM3"));
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ(2, bridge.Statistics[kStatConnections]);
    EndState();
}

TEST(Protocol, RepliesWithAlwaysOpen) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.alwaysOpen = 1;
    TcpPair a(&tcpCells[0]), b(&tcpCells[1]);
    UdpPair u;
    u.Feed(Cmd("COM1"));  // only reports
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ(0, bridge.portClaimed);
    a.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\0'), a.Reply(1));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    b.Feed(Cmd("COM1 TEST"));
    EXPECT_EQ(std::string("\1\1", 2), b.Reply(2));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    u.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    u.Feed(Cmd("CLOSE"));  // UDP leaves the ReplyTarget
    EXPECT_EQ(0, bridge.portClaimed);
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    u.Feed(Cmd("TEST"));  // claims
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ(1, bridge.portClaimed);
    b.Feed(Cmd("CLOSE"));  // anyone may release it
    EXPECT_EQ(0, bridge.portClaimed);
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    b.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\0'), b.Reply(1));
    EXPECT_EQ(&tcpCells[1], bridge.ReplyTarget.load());
    EndState();
}

TEST(Protocol, RepliesWithoutDevice) {
    ScopedWorkDir wd;
    FreshState();
    TcpPair c(&tcpCells[0]);
    UdpPair u;
    c.Feed(Cmd("COM199 TEST"));
    EXPECT_EQ(std::string("\1\0", 2), c.Reply(2));
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    EXPECT_EQ(199, +Block().comNumber);
    u.Feed(Cmd("COM199"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    c.Feed(Cmd("COM"));  // COM0
    EXPECT_EQ(std::string(1, '\1'), c.Reply(1));
    EXPECT_EQ(0, +Block().comNumber);
    EXPECT_EQ(3, bridge.Statistics[kStatConnections]);
    EndState();
}

TEST(Protocol, VirtualPortsOverTcpOnly) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.virtualPortsEnabled = 1;
    SetSettingsText(settingsRecord.virtualPortName[0], 40, "COM12");
    SetSettingsText(settingsRecord.virtualPortName[1], 40, "COM150");
    SetSettingsText(settingsRecord.virtualPortName[2], 40, "COM150");
    EXPECT_EQ(0, FindVirtualPort("\\\\.\\COM12"));
    EXPECT_EQ(1, FindVirtualPort("COM150"));
    EXPECT_EQ(-1, FindVirtualPort("COM15"));
    EXPECT_EQ(-1, FindVirtualPort("150"));
    settingsRecord.virtualPortsEnabled = 0;
    EXPECT_EQ(-1, FindVirtualPort("COM150"));
    settingsRecord.virtualPortsEnabled = 1;

    TcpPair c(&tcpCells[0]);
    c.Feed(Cmd("COM150"));  // no modem yet
    EXPECT_EQ(std::string(1, '\2'), c.Reply(1));
    EXPECT_EQ(1, bridge.selectedVirtualSlot);
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());

    TcpPair modem(&virtualCells[2]);
    bridge.virtualSlots[2] = &virtualCells[2];
    EXPECT_EQ(2, FindVirtualPort("COM150"));  // the connected one wins
    c.Feed(Cmd("COM150") + "ab");
    EXPECT_EQ(std::string(1, '\0'), c.Reply(1));
    EXPECT_EQ(2, bridge.selectedVirtualSlot);
    EXPECT_EQ(1, bridge.virtualUseCount[2]);
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    char name[41];
    GetOpenPortName(name);
    EXPECT_STREQ("\\\\.\\COM150", name);
    c.Feed("cd\x1b\x1b");
    EXPECT_EQ("abcd\x1b", modem.Reply(5));

    // Over UDP the name is no virtual port: it goes to the serial layer.
    UdpPair u;
    u.Feed(Cmd("COM150"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    EXPECT_EQ(2, bridge.selectedVirtualSlot);

    // TEST does not see virtual ports; CLOSE deselects and keeps the name.
    c.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\0'), c.Reply(1));
    c.Feed(Cmd("CLOSE"));
    EXPECT_EQ(-1, bridge.selectedVirtualSlot);
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    GetOpenPortName(name);
    EXPECT_STREQ("\\\\.\\COM150", name);
    c.Feed("ef");
    EXPECT_EQ("", Drain(modem.client));

    // A modem gone during the packet: its bytes are not echoed to the sender.
    c.Feed(Cmd("COM150"));
    EXPECT_EQ(std::string(1, '\0'), c.Reply(1));
    bridge.virtualSlots[2] = nullptr;
    c.Feed("gh");
    EXPECT_EQ("", Drain(c.client));
    EXPECT_EQ("", Drain(modem.client));
    EndState();
}

TEST(Protocol, OverlongLineNeverRunsNorOverruns) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[0]);
    c.Feed(Cmd("COM3") + "a");
    // 2046 bytes and the CR fit and run.
    std::string fits = "BAUD=4800" + std::string(2046 - 9, ' ');
    for (size_t at = 0; at < fits.size(); at += 700) c.Feed((at ? "" : "\x1b") + fits.substr(at, 700));
    c.Feed("\rb");
    EXPECT_EQ(4800, +Block().baud);
    // One byte more does not: the whole line is dropped, with one log line.
    std::string over = "BAUD=2400" + std::string(2047 - 9, ' ') + "COM7 CLOSE KILL";
    for (size_t at = 0; at < over.size(); at += 1000) {
        c.Feed((at ? "" : "\x1b") + over.substr(at, 1000));
        EXPECT_LE(+Block().commandLength, 2047);
        EXPECT_EQ(0, +Block().commandLine[2047]);
    }
    c.Feed("\rc");
    EXPECT_EQ(4800, +Block().baud);
    EXPECT_EQ(3, +Block().comNumber);
    EXPECT_EQ(0, +Block().commandLength);
    EXPECT_EQ(1, Count(Log(), "Error - za dluga linia komendy"));
    // The next line runs normally.
    c.Feed(Cmd("BAUD=1200 CLOSE"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_EQ("abc", SpoolData(0));
    // A packet longer than one receive call is taken in parts; a job longer
    // than the write buffer arrives whole.
    c.Feed(Cmd("COM3") + std::string(10000, 'z') + Cmd("CLOSE"));
    EXPECT_EQ(std::string(10000, 'z'), SpoolData(1));
    EndState();
}

TEST(Protocol, RandomBytesLeaveTheBlockSound) {
    ScopedWorkDir wd;
    FreshState();
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[0]);
    UdpPair u;
    std::mt19937 random(12345);
    // No capital letters or '=': no key can form, so nothing may change.
    auto byte = [&] {
        for (int tries = 0; tries < 100; tries++) {
            int r = (int)(random() % 300);
            uint8_t b = r < 20 ? 0x1b : r < 40 ? '\r' : (uint8_t)(r % 256);
            if (!(b >= 'A' && b <= 'Z') && b != '=') return b;
        }
        return (uint8_t)'x';
    };
    for (int round = 0; round < 300; round++) {
        std::string packet((size_t)(random() % 1500) + 1, '\0');
        for (char& ch : packet) ch = (char)byte();
        if (round % 2)
            c.Feed(packet);
        else
            u.Feed(packet);
        ASSERT_GE(+Block().commandLength, 0);
        ASSERT_LE(+Block().commandLength, 2047);
        ASSERT_TRUE(+Block().inCommand == 0 || +Block().inCommand == 1);
    }
    ExpectDefaultParams();
    EXPECT_EQ(0, bridge.Statistics[kStatConnections]);
    // Whatever state the noise left, ESC CR twice brings the framing back.
    c.Feed("\x1b\r\x1b\r" + Cmd("BAUD=1200"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_EQ(0, +Block().commandLength);
    EndState();
}

TEST(Protocol, ConcurrentClientsNeverTearTheBlock) {
    ScopedWorkDir wd;
    FreshState();
    TcpPair c(&tcpCells[0]);
    UdpPair u;
    std::thread udp([&] {
        for (int i = 0; i < 200; i++) u.Feed(Cmd("BAUD=1200"));
    });
    for (int i = 0; i < 200; i++) c.Feed(Cmd("BAUD=4800"));
    udp.join();
    // Every line ran whole: the only values are the two sent.
    EXPECT_TRUE(+Block().baud == 1200 || +Block().baud == 4800);
    EXPECT_EQ(0, +Block().commandLength);
    EXPECT_EQ(400, Count(Log(), "Komenda:"));
    EndState();
}

#ifndef _WIN32

TEST(ProtocolPty, PlainPortOverTcpAndUdp) {
    ScopedWorkDir wd;
    FreshState();
    TestPty pty;
    pty.MapAs(3);
    TcpPair a(&tcpCells[0]), b(&tcpCells[1]);
    UdpPair u;
    a.Feed(Cmd("com3"));  // lower case: no key, no reply
    a.Feed(Cmd("COM3 TEST") + "\x1b\x1b" "x" + Cmd("BAUD=19200") + "\n");
    EXPECT_EQ(std::string("\0\1", 2), a.Reply(2));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    EXPECT_EQ("\x1bx\n", pty.Read(3, 3000));
    // Parameters never reconfigure an open port.
    EXPECT_EQ((speed_t)B9600, pty.Speed());
    b.Feed(Cmd("COM3"));
    EXPECT_EQ(std::string(1, '\1'), b.Reply(1));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    // What the device sends goes to the port owner and the last UDP sender.
    ASSERT_EQ(2, write(pty.master, "ok", 2));
    EXPECT_EQ("ok", a.Reply(2));
    EXPECT_EQ("ok", u.Reply(2));
    EXPECT_EQ("", Drain(b.client));
    // TYP 108: the client's ACK is dropped, other bytes pass.
    a.Feed(Cmd("TYP=108") + "\x06" "y" + Cmd("TYP=0"));
    EXPECT_EQ("y", pty.Read(1, 3000));
    // UDP COM closes whoever holds the port and opens it again, at the rate
    // now set; the ReplyTarget stays.
    u.Feed(Cmd("COM3"));
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ((speed_t)B19200, pty.Speed());
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    // CLOSE from any TCP client closes it and clears the ReplyTarget.
    b.Feed(Cmd("CLOSE"));
    EXPECT_EQ(kNoHandle, bridge.portHandle);
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    b.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\0'), b.Reply(1));
    u.Feed(Cmd("COM3"));
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    u.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    u.Feed(Cmd("CLOSE"));
    EXPECT_EQ(kNoHandle, bridge.portHandle);
    EXPECT_EQ(4, bridge.Statistics[kStatConnections]);
    EndState();
}
#endif

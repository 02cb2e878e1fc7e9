// The command protocol: framing, keys in table order, the replies of COM,
// TEST, CLOSE, MSR=? and DCB=? over real loopback TCP and UDP sockets, the
// virtual-port route, overlong lines and random input.
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include "protocol_fixture.h"

using Protocol = BridgeFixture;

namespace {

std::string SpoolData(int n) {
    char path[512];
    SpoolJobPath(path, sizeof path, n);
    std::string file = ReadFileBytes(path);
    return file.size() >= (size_t)kSpoolHeaderSize ? file.substr(kSpoolHeaderSize) : "<short>";
}

const CommandBlock& Block() { return bridge.commandBlock; }
const Session& Of(const TcpPair& c) { return TcpSession(c.cell); }

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

TEST_F(Protocol, ParseNumber) {
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
TEST_F(Protocol, FramingIntoTheJob) {
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[0]);
    // ESC ESC is one ESC of data; the LF after a CR is data.
    c.Feed(Cmd("COM3"));
    bridge.ActivityCounter = 0;  // the reply counted as traffic too
    c.Feed("\nA\x1b\x1b" "B");
    // A line split over two packets runs once, when its CR arrives.
    c.Feed("C\x1b" "BAUD=12");
    EXPECT_TRUE(Of(c).inCommand);
    EXPECT_EQ(9600, +Block().baud);
    // An ESC at the start of the next packet belongs to the line begun in
    // this one, as it would in one packet: it is no ESC ESC of data.
    c.Feed("00");
    c.Feed("\x1b" "X\rD" + Cmd("CLOSE"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_FALSE(Of(c).inCommand);
    EXPECT_EQ(0, Of(c).lineLength);
    EXPECT_EQ("\nA\x1b" "BCD", SpoolData(0));
    EXPECT_EQ(6, bridge.ActivityCounter);  // the literal ESC counts too
    std::string log = Log();
    // Each packet with a command in it is logged once, rendered like a dump.
    EXPECT_EQ(4, Count(log, "Komenda:"));
    EXPECT_EQ(1, Count(log, "Komenda:[ESC]COM3[CR]\r\n"));
    EXPECT_EQ(1, Count(log, "Komenda:C[ESC]BAUD=12\r\n"));
    EXPECT_EQ(1, Count(log, "Komenda:00\r\n"));
    EXPECT_EQ(1, Count(log, "Komenda:[ESC]X[CR]D[ESC]CLOSE[CR]\r\n"));

    // Two lines in one packet: both run, the packet is logged once.
    c.Feed(Cmd("BAUD=19200") + Cmd("COM4") + "E" + Cmd("CLOSE"));
    EXPECT_EQ(1, Count(Log(), "Komenda:[ESC]BAUD=19200[CR][ESC]COM4[CR]E[ESC]CLOSE[CR]\r\n"));
    EXPECT_EQ(5, Count(Log(), "Komenda:"));
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

    // Once a line has begun, an ESC is one of its bytes in the next packet
    // as in the same one; only the line's CR ends it.
    c.Feed("\x1b" "BAU");
    c.Feed("\x1b" "x");
    EXPECT_TRUE(Of(c).inCommand);
    c.Feed("\r" + Cmd("BAUD=2400"));
    EXPECT_EQ(2400, +Block().baud);
    EXPECT_FALSE(Of(c).inCommand);
}

// Each client frames its own stream: a packet of another client between the
// two halves of one client's ESC ESC (or inside its line) is framed alone.
TEST_F(Protocol, ClientsFrameTheirOwnStreams) {
    settingsRecord.bufferPrints = 1;
    TcpPair a(&tcpCells[0]), b(&tcpCells[1]);
    a.Feed(Cmd("COM3") + "x\x1b");
    EXPECT_EQ(std::string(1, '\0'), a.Reply(1));
    b.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\1'), b.Reply(1));
    a.Feed("\x1by\x1b" "BAUD=48");
    b.Feed(Cmd("BAUD=1200"));
    a.Feed("00\r" + Cmd("CLOSE"));
    EXPECT_EQ(4800, +Block().baud);  // the shared parameters: A's line ran last
    EXPECT_EQ("x\x1by", SpoolData(0));
}

// A SETDCB block never reaches the port as data: it is taken whole from one
// packet, or from the same TCP client's next packets, and a partial one is
// dropped on silence, on disconnect, and always for a datagram.
TEST_F(Protocol, SetdcbBlockIsTakenFromItsOwnClientOnlyAndHandshakeAckIsDropped) {
    settingsRecord.bufferPrints = 1;
    TcpPair c(&tcpCells[1]), other(&tcpCells[2]);
    c.Feed(Cmd("COM3") + "a");
    c.Feed(Cmd("SETDCB") + std::string(28, '\x01') + "bc" + Cmd("BAUD=1"));
    EXPECT_EQ(9600, +Block().baud);
    c.Feed(Cmd("SETDCB") + "short");
    other.Feed("x");  // another client's byte is its own data
    c.Feed(std::string(23, '\x02') + "t");  // completes the block; "t" is data
    c.Feed("d");
    EXPECT_EQ(0, Count(Log(), "SETDCB bez"));

    c.Feed(Cmd("SETDCB") + "ab");
    EXPECT_TRUE(WaitFor([] {
        DropStalledSetDcb();
        return Count(Log(), "SETDCB bez 28 bajtow DCB (jest 2), brak danych przez 2 s") == 1;
    }, 4000));
    c.Feed("e");
    c.Feed(Cmd("SETDCB") + "abc");
    ProcessTCPData(nullptr, 0, c.cell);  // the connection ended
    EXPECT_EQ(1, Count(Log(), "SETDCB bez 28 bajtow DCB (jest 3), rozlaczenie"));
    c.Feed("f");
    {
        UdpPair u;
        u.Feed(Cmd("SETDCB") + "short");
        u.Feed("g");
    }
    EXPECT_EQ(1, Count(Log(), "SETDCB bez 28 bajtow DCB (jest 5)"));

    c.Feed(Cmd("TYP=108") + "h\x06" "i");
    EXPECT_EQ(108, +Block().typ);
    EXPECT_EQ(108, bridge.deviceType);
    c.Feed(Cmd("TYP=0") + "\x06" + Cmd("CLOSE"));
    EXPECT_EQ(std::string("axtdefghi\x06"), SpoolData(0));
    EXPECT_EQ(0, bridge.deviceType);
}

TEST_F(Protocol, RtsDtrAndStatusRepliesWithoutPort) {
    TcpPair c(&tcpCells[0]);
    c.Feed(Cmd("RTS=0"));
    EXPECT_EQ(0, RtsState());
    c.Feed(Cmd("RTS=1"));
    EXPECT_EQ(1, RtsState());
    c.Feed(Cmd("RTS=0") + Cmd("RTS=x"));
    EXPECT_EQ(1, RtsState());
    c.Feed(Cmd("DTR=0"));
    EXPECT_EQ(0, DtrState());
    c.Feed(Cmd("DTR=?"));
    EXPECT_EQ(1, DtrState());
    // No port open: the replies still have their lengths, in table order.
    c.Feed(Cmd("DCB=? MSR=?"));
    EXPECT_EQ(29u, c.Reply(29).size());
    UdpPair u;
    u.Feed(Cmd("MSR=?"));
    EXPECT_EQ(1u, u.Reply(1).size());
    u.Feed(Cmd("DCB=?"));
    EXPECT_EQ(28u, u.Reply(28).size());
}

TEST_F(Protocol, RepliesWhileBuffering) {
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
}

TEST_F(Protocol, RepliesWithAlwaysOpen) {
    settingsRecord.alwaysOpen = 1;
    TcpPair a(&tcpCells[0]), b(&tcpCells[1]);
    UdpPair u;
    u.Feed(Cmd("COM1"));  // only reports
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    a.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\0'), a.Reply(1));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    b.Feed(Cmd("COM1 TEST"));
    EXPECT_EQ(std::string("\1\1", 2), b.Reply(2));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    u.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    u.Feed(Cmd("CLOSE"));  // UDP leaves the ReplyTarget
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    u.Feed(Cmd("TEST"));  // claims
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_TRUE(AlwaysOpenPortClaimed());
    b.Feed(Cmd("CLOSE"));  // anyone may release it
    EXPECT_FALSE(AlwaysOpenPortClaimed());
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    b.Feed(Cmd("COM1"));
    EXPECT_EQ(std::string(1, '\0'), b.Reply(1));
    EXPECT_EQ(&tcpCells[1], bridge.ReplyTarget.load());
}

TEST_F(Protocol, RepliesWithoutDevice) {
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
}

TEST_F(Protocol, VirtualPortsOverTcpOnly) {
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
}

TEST_F(Protocol, OverlongLineNeverRunsNorOverruns) {
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
        EXPECT_LE(Of(c).lineLength, 2047);
        EXPECT_EQ(0, +Of(c).line[2047]);
    }
    c.Feed("\rc");
    EXPECT_EQ(4800, +Block().baud);
    EXPECT_EQ(3, +Block().comNumber);
    EXPECT_EQ(0, Of(c).lineLength);
    EXPECT_EQ(1, Count(Log(), "Error - za dluga linia komendy"));
    // The next line runs normally.
    c.Feed(Cmd("BAUD=1200 CLOSE"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_EQ("abc", SpoolData(0));
    // A packet longer than one receive call is taken in parts; a job longer
    // than the write buffer arrives whole.
    c.Feed(Cmd("COM3") + std::string(10000, 'z') + Cmd("CLOSE"));
    EXPECT_EQ(std::string(10000, 'z'), SpoolData(1));
}

TEST_F(Protocol, RandomBytesLeaveTheBlockSound) {
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
        for (const Session* s : {&Of(c), &UdpSession()}) {
            ASSERT_GE(s->lineLength, 0);
            ASSERT_LE(s->lineLength, 2047);
        }
    }
    ExpectDefaultParams();
    EXPECT_EQ(0, bridge.Statistics[kStatConnections]);
    // Whatever state the noise left, ESC CR twice brings the framing back.
    c.Feed("\x1b\r\x1b\r" + Cmd("BAUD=1200"));
    EXPECT_EQ(1200, +Block().baud);
    EXPECT_EQ(0, Of(c).lineLength);
}

TEST_F(Protocol, ConcurrentClientsNeverTearTheBlock) {
    TcpPair c(&tcpCells[0]);
    UdpPair u;
    std::thread udp([&] {
        for (int i = 0; i < 200; i++) u.Feed(Cmd("BAUD=1200"));
    });
    for (int i = 0; i < 200; i++) c.Feed(Cmd("BAUD=4800"));
    udp.join();
    // Every line ran whole: the only values are the two sent.
    EXPECT_TRUE(+Block().baud == 1200 || +Block().baud == 4800);
    EXPECT_EQ(0, Of(c).lineLength);
    EXPECT_EQ(0, UdpSession().lineLength);
    EXPECT_EQ(400, Count(Log(), "Komenda:"));
}

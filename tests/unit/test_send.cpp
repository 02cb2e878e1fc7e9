// SendTCP and SendUDP over real loopback sockets: the reply target and its
// cell semantics, the log lines, the activity counter, UDP on and off.
#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include "base/bridge.h"
#include "base/settings.h"
#include "log/log.h"
#include "loopback.h"
#include "net/net.h"
#include "unit_util.h"

namespace {

struct SendTest : ::testing::Test {
    ScopedWorkDir wd;
    void SetUp() override {
        ASSERT_EQ(NetStartup(), 0);
        ResetBridgeState();
        for (auto& c : tcpCells) c.socket = kNoHandle;
        settingsRecord.udpEnabled = 1;
        LogSetPath("k.log");
    }
    void TearDown() override {
        for (auto& c : tcpCells) c.socket = kNoHandle;
        ResetBridgeState();
        settingsRecord.udpEnabled = 0;
        LogSetPath("");
    }
    std::string Log() { return ReadFileBytes("k.log"); }
};

const uint8_t* U(const char* s) { return (const uint8_t*)s; }
bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(SendTest, NoReplyTargetOrAFreeOneDropsQuietly) {
    EXPECT_EQ(SendTCP(U("abc"), 3, nullptr), 1);
    bridge.ReplyTarget = &tcpCells[0];  // free cell
    EXPECT_EQ(SendTCP(U("abc"), 3, nullptr), 1);
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(bridge.ActivityCounter.load(), 0);
}

TEST_F(SendTest, ConnectedCellGetsTheBytesAndTheOkLine) {
    lb::TcpPair p;
    ASSERT_TRUE(p.Open());
    tcpCells[2].socket = p.server;
    EXPECT_EQ(SendTCP(U("hello"), 5, &tcpCells[2]), 0);
    EXPECT_EQ(lb::Read(p.client, 5, 3000), "hello");
    EXPECT_EQ(bridge.ActivityCounter.load(), 1);
    EXPECT_NE(Log().find("SendTCP - OK, size:5 hello"), std::string::npos) << Log();

    // Through the reply target; the text in the line stops at a zero byte,
    // while every byte still goes out.
    bridge.ReplyTarget = &tcpCells[2];
    const uint8_t withZero[] = {'a', 'b', 0, 'c', 'd'};
    EXPECT_EQ(SendTCP(withZero, 5, nullptr), 0);
    EXPECT_EQ(lb::Read(p.client, 5, 3000), std::string("ab\0cd", 5));
    EXPECT_TRUE(EndsWith(Log(), "SendTCP - OK, size:5 ab")) << Log();
    EXPECT_EQ(bridge.ActivityCounter.load(), 2);
}

TEST_F(SendTest, ZeroLengthIsASuccessAndCounts) {
    lb::TcpPair p;
    ASSERT_TRUE(p.Open());
    tcpCells[0].socket = p.server;
    EXPECT_EQ(SendTCP(U(""), 0, &tcpCells[0]), 0);
    EXPECT_TRUE(EndsWith(Log(), "SendTCP - OK, size:0 ")) << Log();
    EXPECT_EQ(SendTCP(nullptr, 0, &tcpCells[0]), 0);
    EXPECT_EQ(bridge.ActivityCounter.load(), 2);
}

TEST_F(SendTest, LongDataLineIsCutAndNoLineWithoutLog) {
    lb::TcpPair p;
    ASSERT_TRUE(p.Open());
    tcpCells[1].socket = p.server;
    std::string big(3000, 'x');
    EXPECT_EQ(SendTCP(U(big.c_str()), 3000, &tcpCells[1]), 0);
    EXPECT_EQ(lb::Read(p.client, 3000, 3000).size(), 3000u);
    std::string log = Log();
    size_t at = log.find("SendTCP - OK, size:3000 ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.size() - at, 1023u);  // the formatted line, cut to 1023

    LogSetPath("");
    EXPECT_EQ(SendTCP(U("q"), 1, &tcpCells[1]), 0);
    EXPECT_EQ(lb::Read(p.client, 1, 3000), "q");
    EXPECT_EQ(Log(), log);
    EXPECT_EQ(bridge.ActivityCounter.load(), 2);
}

TEST_F(SendTest, AFreedCellNamedByTheCallerFailsWithTheErrorLine) {
    EXPECT_EQ(SendTCP(U("x"), 1, &tcpCells[3]), 1);
    std::string log = Log();
    EXPECT_NE(log.find("SendTCP Error: "), std::string::npos) << log;
    EXPECT_EQ(log.find("SendTCP Error: 0"), std::string::npos) << log;
    EXPECT_EQ(bridge.ActivityCounter.load(), 0);
}

TEST_F(SendTest, CellReusedByANewClientIsReachedThroughTheReplyTarget) {
    bridge.ReplyTarget = &tcpCells[0];
    {
        lb::TcpPair first;
        ASSERT_TRUE(first.Open());
        tcpCells[0].socket = first.server;
        EXPECT_EQ(SendTCP(U("one"), 3, nullptr), 0);
        EXPECT_EQ(lb::Read(first.client, 3, 3000), "one");
        // The owner leaves: its server thread frees the cell under the lock.
        std::lock_guard<std::mutex> guard(tcpCells[0].sendLock);
        tcpCells[0].socket = kNoHandle;
    }
    std::string before = Log();
    EXPECT_EQ(SendTCP(U("lost"), 4, nullptr), 1);
    EXPECT_EQ(Log(), before);  // dropped without a line

    lb::TcpPair second;
    ASSERT_TRUE(second.Open());
    tcpCells[0].socket = second.server;
    EXPECT_EQ(SendTCP(U("two"), 3, nullptr), 0);
    EXPECT_EQ(lb::Read(second.client, 3, 3000), "two");
}

TEST_F(SendTest, SendsRaceSafelyWithTheOwnerClosingTheCell) {
    lb::TcpPair p;
    ASSERT_TRUE(p.Open());
    tcpCells[4].socket = p.server;
    bridge.ReplyTarget = &tcpCells[4];
    LogSetPath("");
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < 2000 && tcpCells[4].socket.load() != kNoHandle; i++)
            if (SendTCP(U("z"), 1, nullptr) == 0) sent++;
    });
    EXPECT_TRUE(WaitFor([&] { return sent.load() > 10; }, 10000));
    {
        std::lock_guard<std::mutex> guard(tcpCells[4].sendLock);
        lb::CloseSock(p.server);
        p.server = kNoHandle;
        tcpCells[4].socket = kNoHandle;
    }
    sender.join();
    EXPECT_GT(sent.load(), 0);
    EXPECT_EQ(SendTCP(U("z"), 1, nullptr), 1);
}

TEST_F(SendTest, UdpGoesToTheLastSenderAndWritesNoLine) {
    Handle out = lb::UdpSocket(), in = lb::UdpSocket();
    bridge.udpSocket = out;
    bridge.lastUdpSender = lb::PackedLoopback(lb::LocalPort(in));
    EXPECT_EQ(SendUDP(U("dgram"), 5), 0);
    ASSERT_TRUE(lb::Readable(in, 3000));
    char buf[64];
    int n = (int)recv(lb::Raw(in), buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "dgram");
    EXPECT_EQ(bridge.ActivityCounter.load(), 1);
    EXPECT_EQ(Log(), "");

    // Switched off: nothing sent, nothing counted, still success.
    settingsRecord.udpEnabled = 0;
    EXPECT_EQ(SendUDP(U("off"), 3), 0);
    EXPECT_FALSE(lb::Readable(in, 200));
    EXPECT_EQ(bridge.ActivityCounter.load(), 1);
    lb::CloseSock(out);
    lb::CloseSock(in);
}

TEST_F(SendTest, UdpBeforeAnyDatagramFailsWithTheZeroAddress) {
    Handle out = lb::UdpSocket();
    bridge.udpSocket = out;
    EXPECT_EQ(SendUDP(U("x"), 1), 1);
    EXPECT_NE(Log().find("SendUDP Adres: 0.0.0.0 Error: "), std::string::npos) << Log();
    EXPECT_EQ(bridge.ActivityCounter.load(), 0);
    lb::CloseSock(out);
}

TEST(UdpSender, PackingAndDottedText) {
    uint64_t packed = lb::PackedLoopback(1337);
    uint32_t a;
    uint16_t port;
    UnpackUdpSender(packed, a, port);
    EXPECT_EQ(ntohs(port), 1337);
    EXPECT_EQ(ntohl(a), 0x7F000001u);
    char dotted[16];
    UdpSenderText(packed, dotted);
    EXPECT_STREQ(dotted, "127.0.0.1");
    UdpSenderText(0, dotted);
    EXPECT_STREQ(dotted, "0.0.0.0");
    UdpSenderText(PackUdpSender(0xFFFFFFFFu, 0xFFFF), dotted);
    EXPECT_STREQ(dotted, "255.255.255.255");
}

}  // namespace

// The command protocol with a pseudo-terminal as the device: opening, data
// both ways, TYP 108, and who may reopen and close the port (POSIX hosts).
#include <gtest/gtest.h>
#include <unistd.h>
#include "protocol_fixture.h"
#include "support/pty.h"

struct ProtocolPty : BridgeFixture {
    kt::Pty pty;
};

TEST_F(ProtocolPty, PlainPortOverTcpAndUdp) {
    pty.MapAs(3);
    TcpPair a(&tcpCells[0]), b(&tcpCells[1]);
    UdpPair u;
    a.Feed(Cmd("com3"));  // lower case: no key, no reply
    a.Feed(Cmd("COM3 TEST") + "\x1b\x1b" "x" + Cmd("BAUD=19200") + "\n");
    EXPECT_EQ(std::string("\0\1", 2), a.Reply(2));
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    EXPECT_EQ("\x1bx\n", pty.Read(3, 3000));
    // Parameters never reconfigure an open port.
    EXPECT_EQ(9600u, pty.Rate());
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
    EXPECT_EQ(19200u, pty.Rate());
    EXPECT_EQ(&tcpCells[0], bridge.ReplyTarget.load());
    // CLOSE from any TCP client closes it and clears the ReplyTarget.
    b.Feed(Cmd("CLOSE"));
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    b.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\0'), b.Reply(1));
    u.Feed(Cmd("COM3"));
    EXPECT_EQ(std::string(1, '\0'), u.Reply(1));
    EXPECT_EQ(nullptr, bridge.ReplyTarget.load());
    u.Feed(Cmd("TEST"));
    EXPECT_EQ(std::string(1, '\1'), u.Reply(1));
    u.Feed(Cmd("CLOSE"));
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(4, bridge.Statistics[kStatConnections]);
}

// The real program's TCP, UDP and virtual-port servers driven over loopback
// with a pseudo-terminal as the device on COM3: port ownership, cell reuse,
// chunking, datagram edge cases, modem matching and relaying, restarts, and
// stops while a modem's name lookup hangs.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

static const int kWait = 15000;  // generous: the Windows build starts under Wine

// Payloads of the "TCP/UDP receive:" dumps that consist of letters only.
static std::vector<std::string> LetterDumps(const Bytes& log) {
    std::vector<std::string> out;
    const std::string header = "TCP/UDP receive:";
    for (size_t at = log.find(header); at != std::string::npos; at = log.find(header, at + 1)) {
        size_t from = at + header.size();
        size_t end = log.find("\r\n", from);
        std::string d = log.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (!d.empty() && d.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos) out.push_back(d);
    }
    return out;
}

TEST(E2eServers, TcpOwnerGetsThePortAndAClientInItsCellInheritsTheInput) {
    ControlPorts p;
    Pty dev;
    Program prog;
    prog.MapCom(3, dev.slavePath);
    StartServing(prog, ControlSetup(p), p);

    TcpClient owner(p.tcp);
    owner.Send(Esc("COM3"));
    ASSERT_EQ(owner.Read(1, kWait), Bytes(1, '\0'));
    owner.Send("hello");
    EXPECT_EQ(dev.Read(5, kWait), "hello");
    dev.Write("world");
    EXPECT_EQ(owner.Read(5, kWait), "world");

    TcpClient second(p.tcp);
    second.Send(Esc("COM3"));
    EXPECT_EQ(second.Read(1, kWait), Bytes(1, '\1'));

    // 3000 bytes at once reach the port whole, handed on in chunks of at most 1023.
    std::string big;
    for (int i = 0; i < 3000; i++) big += (char)('a' + i % 26);
    owner.Send(big);
    EXPECT_EQ(dev.Read(3000, kWait), big);
    ASSERT_TRUE(WaitUntil([&] {
        size_t total = 0;
        for (const std::string& d : LetterDumps(prog.Log())) total += d.size();
        return total >= 3005;
    }, kWait));
    std::string joined;
    for (const std::string& d : LetterDumps(prog.Log())) {
        EXPECT_LE(d.size(), 1023u);
        if (d != "hello") joined += d;
    }
    EXPECT_EQ(joined, big);

    // The owner leaves without CLOSE: its input is dropped until a newcomer
    // is accepted into the same cell, who then receives it.
    owner.Close();
    dev.Write("lost");
    EXPECT_EQ(second.Drain(300), "");
    // Until the server has seen the owner go, a newcomer lands in another
    // cell; then it leaves and tries again.
    TcpClient heir;
    ASSERT_TRUE(WaitUntil([&] {
        heir.Connect(p.tcp, kWait);
        dev.Write("found");
        if (heir.Read(5, 1000) == "found") return true;
        heir.Close();
        return false;
    }, kWait));
    EXPECT_EQ(second.Drain(300), "");

    // CLOSE frees the port for the other client.
    heir.Send(Esc("CLOSE"));
    ASSERT_TRUE(OpenWhenReady(second, "COM3", kWait));
    second.Send(Esc("CLOSE"));
    EndProgram(prog, p.tcp);
}

TEST(E2eServers, UdpCommandsRepliesToTheLastSenderAndOddDatagrams) {
    ControlPorts p;
    Pty dev;
    Program prog;
    prog.MapCom(3, dev.slavePath);
    StartServing(prog, ControlSetup(p), p);
    UdpClient one, two;

    // An empty datagram is ignored; one too long is dropped and logged, and
    // the server goes on serving.
    one.SendTo(p.udp, "");
    one.SendTo(p.udp, std::string(1500, 'z'));
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Error - datagram dluzszy niz 1023 bajtow pominiety", kWait));
    one.SendTo(p.udp, Esc("TEST"));
    EXPECT_EQ(one.Recv(kWait), Bytes(1, '\0'));
    EXPECT_EQ(prog.CountLog("TCP/UDP receive:"), 1) << "only the TEST datagram is processed";
    EXPECT_EQ(prog.CountLog("zzzz"), 0);
    EXPECT_EQ(prog.CountLog("UDP Poling - Stop"), 0);

    one.SendTo(p.udp, Esc("COM3"));
    EXPECT_EQ(one.Recv(kWait), Bytes(1, '\0'));
    one.SendTo(p.udp, "abc");
    EXPECT_EQ(dev.Read(3, kWait), "abc");
    dev.Write("xyz");
    EXPECT_EQ(one.Recv(kWait), "xyz");

    // Replies and serial input go to whoever sent last.
    two.SendTo(p.udp, Esc("TEST"));
    EXPECT_EQ(two.Recv(kWait), Bytes(1, '\1'));
    dev.Write("more");
    EXPECT_EQ(two.Recv(kWait), "more");
    EXPECT_EQ(one.Recv(200), "");

    two.SendTo(p.udp, Esc("CLOSE"));
    ASSERT_TRUE(WaitUntil([&] {
        two.SendTo(p.udp, Esc("TEST"));
        return two.Recv(1000) == Bytes(1, '\0');
    }, kWait));
    EndProgram(prog, p.tcp);
}

// One run per way of naming the modem: by address, by a domain name that
// resolves to it, and by an empty address that takes any peer. Slot 0 names
// an address that never calls, so COM5 finds no modem.
TEST(E2eServers, VirtualModemMatchedByAddressNameOrAnyReachesThePortOwner) {
    for (const char* peer : {"127.0.0.1", "localhost", ""}) {
        SCOPED_TRACE(peer);
        ControlPorts p;
        Program prog;
        kt::Setup s = ControlSetup(p);
        s.Int(kOffVirtualPortsEnabled, 1);
        s.Text(kOffVirtualPeer, 40, "10.0.0.9").Text(kOffVirtualPortName, 40, "COM5");
        s.Text(kOffVirtualPeer + 40, 40, peer).Text(kOffVirtualPortName + 40, 40, "COM6");
        StartServing(prog, s, p);
        // The modem is the only peer that ever connects: a listening probe
        // would itself be linked to the slot, and data sent before the modem
        // re-links it would go to the probe.
        TcpClient modem;
        ASSERT_TRUE(modem.Connect(1339, kWait));
        TcpClient client(p.tcp);
        ASSERT_TRUE(OpenWhenReady(client, "COM6", kWait));
        client.Send("to-modem");
        EXPECT_EQ(modem.Read(8, kWait), "to-modem");
        modem.Send("from-modem");
        EXPECT_EQ(client.Read(10, kWait), "from-modem");
        EXPECT_TRUE(prog.WaitLog("Dane z portu wirtualnego", kWait));
        EXPECT_TRUE(prog.WaitLog("Wirtualny:from-modem", kWait));

        client.Send(Esc("COM5"));
        EXPECT_EQ(client.Read(1, kWait), Bytes(1, '\2'));
        client.Send(Esc("CLOSE"));
        EndProgram(prog, p.tcp);
        EXPECT_TRUE(modem.ClosedByPeer(kWait));
    }
}

TEST(E2eServers, VirtualUnmatchedModemIsRefusedAndASecondConnectionRelinks) {
    ControlPorts p;
    Program prog;
    kt::Setup s = ControlSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1);
    // Slot 0: the right address but no name never matches; slot 1: another address.
    s.Text(kOffVirtualPeer, 40, "127.0.0.1").Text(kOffVirtualPortName, 40, "");
    s.Text(kOffVirtualPeer + 40, 40, "10.0.0.9").Text(kOffVirtualPortName + 40, 40, "COM6");
    StartServing(prog, s, p);
    TcpClient refused;
    ASSERT_TRUE(refused.Connect(1339, kWait));
    EXPECT_TRUE(refused.ClosedByPeer(kWait));
    EndProgram(prog, p.tcp);

    // Two connections from one address: the slot follows the newer one, the
    // older is still relayed, and its end leaves the slot on the newer.
    ControlPorts q;
    Program prog2;
    kt::Setup s2 = ControlSetup(q);
    s2.Int(kOffVirtualPortsEnabled, 1).Text(kOffVirtualPeer, 40, "127.0.0.1").Text(kOffVirtualPortName, 40, "COM5");
    StartServing(prog2, s2, q);
    TcpClient first;
    ASSERT_TRUE(first.Connect(1339, kWait));
    TcpClient client(q.tcp);
    ASSERT_TRUE(OpenWhenReady(client, "COM5", kWait));
    TcpClient second(1339);
    // The re-link shows once data for the slot reaches the newer connection.
    ASSERT_TRUE(WaitUntil([&] {
        client.Send("ping");
        return second.Read(4, 300) == "ping";
    }, kWait));
    first.Drain(200);
    first.Send("older");
    EXPECT_EQ(client.Read(5, kWait), "older");
    // The server sees the first one end before the second one's next data.
    first.Close();
    second.Send("newer");
    EXPECT_EQ(client.Read(5, kWait), "newer");
    client.Send("still");
    EXPECT_EQ(second.Read(5, kWait), "still");
    EndProgram(prog2, q.tcp);
    EXPECT_TRUE(second.ClosedByPeer(kWait));
}

// A virtual port one client chose while another had the serial port open
// keeps its name when that port closes: the data still goes to the modem.
TEST(E2eServers, ClosingTheSerialPortLeavesAnotherClientsVirtualPortOpen) {
    ControlPorts p;
    Pty dev;
    Program prog;
    prog.MapCom(3, dev.slavePath);
    kt::Setup s = ControlSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1).Text(kOffVirtualPeer, 40, "127.0.0.1").Text(kOffVirtualPortName, 40, "COM5");
    StartServing(prog, s, p);
    TcpClient modem;
    ASSERT_TRUE(modem.Connect(1339, kWait));
    UdpClient udp;
    udp.SendTo(p.udp, Esc("COM3"));
    ASSERT_EQ(udp.Recv(kWait), Bytes(1, '\0'));
    TcpClient client(p.tcp);
    ASSERT_TRUE(OpenWhenReady(client, "COM5", kWait));
    client.Send("one");
    EXPECT_EQ(modem.Read(3, kWait), "one");

    udp.SendTo(p.udp, Esc("CLOSE"));
    ASSERT_TRUE(prog.WaitLog("Serial Off - stop", kWait));
    client.Send("two");
    EXPECT_EQ(modem.Read(3, kWait), "two");
    EXPECT_EQ(dev.Drain(200), "");
    // Data with no port open is dropped with one line, not one per packet.
    udp.SendTo(p.udp, "abc");
    udp.SendTo(p.udp, "def");
    udp.SendTo(p.udp, Esc("TEST"));
    EXPECT_EQ(udp.Recv(kWait), Bytes(1, '\0'));
    EXPECT_EQ(prog.CountLog("Error - port nie jest otwarty, pominieto 3 bajtow"), 1);
    client.Send(Esc("CLOSE"));
    EndProgram(prog, p.tcp);
}

// Reloading the settings restarts servers: the TCP server comes back on its
// own port at once, the virtual port server lets go of its modems when
// switched off and listens again when switched on. Signals: natively only.
TEST(E2eServers, ReloadRestartsServersOnTheSamePorts) {
    if (IsWine()) GTEST_SKIP() << "settings reload by SIGHUP is the daemon's";
    ControlPorts p;
    Program prog;
    kt::Setup s = ControlSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1).Text(kOffVirtualPortName, 40, "COM5");
    StartServing(prog, s, p);
    TcpClient client(p.tcp);
    TcpClient modem;
    ASSERT_TRUE(modem.Connect(1339, kWait));
    client.Send("before");
    ASSERT_TRUE(prog.WaitLog("TCP/UDP receive:before", kWait));

    // A new UDP port restarts both control servers; TCP keeps its port.
    int newUdp = FreePort();
    s.Int(kOffUdpPort, newUdp).Int(kOffVirtualPortsEnabled, 0);
    s.Write(prog.dir.path);
    prog.Signal(SIGHUP);
    EXPECT_TRUE(client.ClosedByPeer(kWait));
    EXPECT_TRUE(modem.ClosedByPeer(kWait));
    TcpClient again;
    ASSERT_TRUE(again.Connect(p.tcp, kWait));
    again.Send("after");
    EXPECT_TRUE(prog.WaitLog("TCP/UDP receive:after", kWait));
    ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("UDP Poling - Ready") == 2; }, kWait));
    UdpClient u;
    u.SendTo(newUdp, Esc("TEST"));
    EXPECT_EQ(u.Recv(kWait), Bytes(1, '\0'));
    EXPECT_TRUE(WaitUntil([&] { return prog.CountLog("Wirtualne Porty Serwer TCP Off - Stop") == 1; }, kWait));

    s.Int(kOffVirtualPortsEnabled, 1);
    s.Write(prog.dir.path);
    prog.Signal(SIGHUP);
    TcpClient modem2;
    ASSERT_TRUE(modem2.Connect(1339, kWait));
    ASSERT_TRUE(OpenWhenReady(again, "COM5", kWait));
    // The On line follows the listener, which a modem may reach first.
    EXPECT_TRUE(WaitUntil([&] { return prog.CountLog("Wirtualne Porty Serwer TCP On - Stop") == 2; }, kWait))
        << prog.Log();
    EXPECT_EQ(prog.CountLog("msek. Serwer TCP On - Stop"), 2);
    EXPECT_EQ(prog.CountLog("Wirtualne Porty Serwer TCP On - Stop"), 2);
    EndProgram(prog, p.tcp);
    EXPECT_TRUE(modem2.ClosedByPeer(kWait));
}

// A name server on 127.0.0.9:53 that takes every query and never answers,
// and the program started in a mount namespace of its own (unshare -m) whose
// /etc/resolv.conf names it (30 s per try, five tries), with /etc/hosts
// holding localhost and this host's name and /etc/nsswitch.conf looking up
// hosts in files, then DNS. Nothing outside the program's namespace changes.
struct SilentResolver {
    TempDir files;
    int fd = -1;
    SilentResolver() {
        WriteFile(files / "resolv.conf", "nameserver 127.0.0.9\noptions timeout:30 attempts:5\n");
        char host[256] = {0};
        gethostname(host, sizeof host - 1);
        WriteFile(files / "hosts", std::string("127.0.0.1 localhost ") + host + "\n");
        std::string nss;
        std::istringstream now(ReadFile("/etc/nsswitch.conf"));
        for (std::string line; std::getline(now, line);)
            if (line.rfind("hosts:", 0) != 0) nss += line + "\n";
        WriteFile(files / "nsswitch.conf", nss + "hosts: files dns\n");
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = htonl(0x7F000009);
        if (bind(fd, (struct sockaddr*)&a, sizeof a) != 0) ADD_FAILURE() << "bind 127.0.0.9:53: " << strerror(errno);
    }
    ~SilentResolver() { close(fd); }
    // Starts the program as Program::Start does, inside the namespace.
    void Start(Program& prog) {
        const char* bin = getenv("KESTRUN_BIN");
        if (!bin) bin = "kestrun";
        std::vector<std::string> argv = {
            "unshare", "-m", "sh", "-c",
            "mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" /etc/hosts && "
            "{ [ ! -e /etc/nsswitch.conf ] || mount --bind \"$3\" /etc/nsswitch.conf; } && shift 3 && exec \"$@\"",
            "sh", files / "resolv.conf", files / "hosts", files / "nsswitch.conf"};
        if (IsWine()) {
            // One instance at a time, started through the Wine runner.
            WaitUntil([&] { return !ProcessRuns(bin); }, 15000);
            argv.push_back(getenv("KESTRUN_WINE"));
        }
        argv.push_back(bin);
        argv.insert(argv.end(), prog.args.begin(), prog.args.end());
        prog.pid = Spawn(argv, prog.dir.path, {"XDG_RUNTIME_DIR=" + prog.dir.path});
    }
    // The id of the next query that arrives within timeoutMs, or -1. A query
    // sent again keeps its id.
    int NextQuery(int timeoutMs) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return -1;
        unsigned char q[512];
        ssize_t n = recv(fd, q, sizeof q, 0);
        return n >= 2 ? q[0] << 8 | q[1] : -1;
    }
};

// A modem whose slot names its peer by a domain name that the resolver never
// answers holds the virtual port server in the lookup. The reload that
// switches the virtual ports off (natively) and the end of the program
// (SIGTERM natively, KILL under Wine) each finish within a few seconds all
// the same, not when the lookup gives up (150 s).
TEST(E2eServers, AHangingNameLookupHoldsNeitherAReloadNorTheShutdown) {
    const int kStopBound = IsWine() ? 10000 : 5000;
    ControlPorts p;
    Program prog;
    SilentResolver dns;
    kt::Setup s = ControlSetup(p);
    s.Int(kOffVirtualPortsEnabled, 1).Text(kOffVirtualPortName, 40, "COM5");
    s.Text(kOffVirtualPeer, 40, "modem.kestrun.test");
    s.Write(prog.dir.path);
    dns.Start(prog);
    ASSERT_TRUE(WaitListening(p.tcp, 30000)) << "not started in its namespace: " << ReadFile(prog.Path("stderr.txt"));
    ASSERT_TRUE(prog.WaitLog("UDP Poling - Ready", kWait));
    TcpClient modem;
    ASSERT_TRUE(modem.Connect(1339, kWait));
    int first = dns.NextQuery(kWait);
    ASSERT_GE(first, 0) << "the slot's name was never looked up";

    if (!IsWine()) {
        s.Int(kOffVirtualPortsEnabled, 0);
        s.Write(prog.dir.path);
        prog.Signal(SIGHUP);
        EXPECT_TRUE(prog.WaitLog("Wirtualne Porty Serwer TCP Off - Stop", kStopBound)) << prog.Log();
        EXPECT_TRUE(modem.ClosedByPeer(kStopBound));
        TcpClient client(p.tcp);
        EXPECT_EQ(Ask(client, "TEST", kWait), 0);

        // Switched on again: a new modem and a new lookup that hangs, while
        // the first one still waits for its answer.
        s.Int(kOffVirtualPortsEnabled, 1);
        s.Write(prog.dir.path);
        prog.Signal(SIGHUP);
        ASSERT_TRUE(WaitUntil([&] { return prog.CountLog("Wirtualne Porty Serwer TCP On - Stop") == 2; }, kWait));
        ASSERT_TRUE(modem.Connect(1339, kWait));
        int second = -1;
        ASSERT_TRUE(WaitUntil([&] {
            int id = dns.NextQuery(100);
            if (id >= 0 && id != first) second = id;
            return second >= 0;
        }, kWait)) << "the second modem's slot name was never looked up";
        prog.Signal(SIGTERM);
    } else {
        TcpClient k(p.tcp);
        k.Send(Esc("KILL"));
    }
    EXPECT_EQ(prog.Wait(kStopBound), 0) << prog.Log();
    EXPECT_EQ(prog.CountLog("------------- Koniec programu"), 1);
    EXPECT_TRUE(modem.ClosedByPeer(kWait));
}

// The Windows tray application run whole under Wine and driven through its
// window, menu commands and dialogs by kdriver.exe (tests/wine/kdriver.cpp).
// Skipped natively: the daemon has no window.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

namespace {

const char kStartBanner[] = "------------- Start programu --------------------";
const char kEndBanner[] = "------------- Koniec programu --------------------";
const int kVirtualPort = 1339;  // fixed, for GPRS modems

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string DriverPath() {
    if (const char* d = getenv("KESTRUN_DRIVER")) return d;
    std::string bin = getenv("KESTRUN_BIN") ? getenv("KESTRUN_BIN") : "";
    return bin.substr(0, bin.rfind('/') + 1) + "tests/kdriver.exe";
}

struct Driven {
    int code = -1;
    std::string out;
    // The "ID=value" lines of the output.
    std::map<std::string, std::string> Values() const {
        std::map<std::string, std::string> v;
        size_t at = 0;
        while (at < out.size()) {
            size_t end = out.find('\n', at);
            if (end == std::string::npos) end = out.size();
            std::string line = out.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t eq = line.find('=');
            if (eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 1);
            at = end + 1;
        }
        return v;
    }
};

// Runs one kdriver step; every step bounds its own waits.
Driven Drive(const std::vector<std::string>& args) {
    std::string cmd = Quote(getenv("KESTRUN_WINE")) + " " + Quote(DriverPath());
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " 2>/dev/null </dev/null";
    Driven r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int32_t FileInt(const Bytes& setup, size_t offset) {
    return GetLe32((const uint8_t*)setup.data() + offset);
}

std::string FileText(const Bytes& setup, size_t offset, size_t width) {
    std::string t = setup.substr(offset, width);
    return t.substr(0, t.find('\0'));
}

bool Listening(int port) {
    TcpClient probe;
    return probe.Connect(port, 300);
}

// True while some socket listens on the port; probes by binding, so that no
// other program's listener sees a connection.
bool PortBound(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool bound = bind(s, (struct sockaddr*)&a, sizeof a) != 0;
    close(s);
    return bound;
}

class WinUi : public ::testing::Test {
protected:
    int tcpPort = 0, udpPort = 0;
    kt::Setup setup;

    void SetUp() override {
        if (!IsWine()) GTEST_SKIP() << "the tray application runs only under Wine";
        // A program left by an earlier test would refuse this one.
        ASSERT_EQ(Drive({"gone", "10000"}).code, 0);
        tcpPort = FreePort();
        udpPort = FreePort();
        setup.Int(kOffTcpPort, tcpPort).Int(kOffUdpPort, udpPort);
    }

    // Starts the program with setup.dat and waits for its window and servers.
    void Launch(Program& program) {
        setup.Write(program.dir.path);
        program.Start();
        ASSERT_EQ(Drive({"find", "20000"}).code, 0) << "no main window";
        ASSERT_TRUE(WaitListening(tcpPort, 20000));
    }

    // Opens a dialog from the menu command; kdriver reposts while it is missed.
    void Open(int command, const std::string& caption) {
        ASSERT_EQ(Drive({"command", std::to_string(command), caption, "15000"}).code, 0)
            << caption << " did not open";
    }

    // Command 105 ("&Koniec"), reposted while the window stays (bounded).
    void EndFromMenu() {
        for (int tries = 0; tries < 3; tries++) {
            // kdriver fails only when there is no window left to post to.
            if (Drive({"command", "105"}).code != 0) return;
            if (Drive({"gone", "5000"}).code == 0) return;
        }
    }

    // Waits for the program to end by itself and checks the end banner.
    void ExpectEnded(Program& program) {
        EXPECT_EQ(program.Wait(20000), 0);
        EXPECT_EQ(Drive({"gone", "10000"}).code, 0);
        EXPECT_TRUE(program.WaitLog(kEndBanner, 5000)) << program.Log();
    }
};

TEST_F(WinUi, ServesAClientOnComPortAndEndsFromTheMenu) {
    Program program;
    Pty device;
    program.MapCom(3, device.slavePath);
    Launch(program);
    EXPECT_TRUE(program.WaitLog(kStartBanner, 5000));

    TcpClient client(tcpPort);
    client.Send(Esc("COM3"));
    EXPECT_EQ(client.Read(1, 10000), Bytes(1, '\0'));
    client.Send("to device");
    EXPECT_EQ(device.Read(9, 10000), "to device");
    device.Write("to client");
    EXPECT_EQ(client.Read(9, 10000), "to client");

    // "&Koniec" chosen from the tray menu by its key.
    ASSERT_EQ(Drive({"menu", "0x204", "10000", "k"}).code, 0);
    ExpectEnded(program);
    EXPECT_TRUE(client.ClosedByPeer(5000));
    EXPECT_EQ(program.CountLog(kEndBanner), 1);
}

TEST_F(WinUi, KillCommandEndsTheProgramEvenWithADialogOpen) {
    Program program;
    Launch(program);
    // The dialog's own message loop carries the close to the main window.
    Open(32772, "Ustawienia");
    TcpClient client(tcpPort);
    client.Send(Esc("KILL"));
    ExpectEnded(program);
    EXPECT_EQ(program.CountLog(kEndBanner), 1);
}

TEST_F(WinUi, SecondInstanceIsRefusedWithAMessageBox) {
    Program first;
    Launch(first);
    Program second;
    setup.Write(second.dir.path);
    second.Start();
    Driven box = Drive({"dismiss", "uwaga", "20000"});
    ASSERT_EQ(box.code, 0) << "no message box";
    EXPECT_NE(box.out.find("Kestrun mo\xBF" "e by\xE6 uruchomiony tylko jeden raz!"), std::string::npos)
        << box.out;
    EXPECT_EQ(second.Wait(10000), 0);
    // The refused instance did nothing: not even its start banner.
    EXPECT_FALSE(FileExists(second.Path("k.log")));
    // The first one still runs and serves.
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(Listening(tcpPort));
    EndFromMenu();
    ExpectEnded(first);
}

TEST_F(WinUi, SettingsDialogShowsTheRecord) {
    setup.Int(kOffAutoDisconnectSeconds, 45)
        .Int(kOffBufferPrints, 1)
        .Text(kOffSpoolDirectory, 200, "C:\\SPOOLX")
        .Int(kOffUdpEnabled, 0)
        .Text(kOffPortName, 101, "COM4")
        .Int(kOffBaudRate, 19200)
        .Int(kOffAlwaysOpen, 0)
        .Byte(kOffParityLetter, 'E')
        .Int(kOffStopBits, 2)
        .Int(kOffDataBits, 7)
        .Text(kOffInterfaceAddress, 101, "127.0.0.1");
    Program program;
    Launch(program);
    Open(32772, "Ustawienia");
    Driven d = Drive({"dialog", "Ustawienia", "get:1001", "state:1002", "get:1003", "state:1004",
                      "state:1005", "get:1012", "get:1019", "state:1006", "get:1007", "get:1008",
                      "state:1014", "state:1015", "state:1016", "state:1017", "state:1018",
                      "state:1020", "state:1021", "get:1009", "get:1011"});
    ASSERT_EQ(d.code, 0);
    auto v = d.Values();
    EXPECT_EQ(v["1001"], "45");
    EXPECT_EQ(v["1002"], "1");
    EXPECT_EQ(v["1003"], "C:\\SPOOLX");
    EXPECT_EQ(v["1004"], "1");
    EXPECT_EQ(v["1005"], "0");
    EXPECT_EQ(v["1012"], std::to_string(tcpPort));
    EXPECT_EQ(v["1019"], std::to_string(udpPort));
    EXPECT_EQ(v["1006"], "0");
    EXPECT_EQ(v["1007"], "COM4");
    EXPECT_EQ(v["1008"], "19200");
    EXPECT_EQ(v["1014"] + v["1015"] + v["1016"], "010");
    EXPECT_EQ(v["1017"] + v["1018"], "01");
    EXPECT_EQ(v["1020"] + v["1021"], "01");
    EXPECT_EQ(v["1009"], "k.log");
    EXPECT_EQ(v["1011"], "127.0.0.1");
    Driven e = Drive({"dialog", "Ustawienia", "count:1007"});
    EXPECT_EQ(e.Values()["1007"], "19");
    e = Drive({"dialog", "Ustawienia", "count:1008", "enabled:1021", "enabled:1006"});
    EXPECT_EQ(e.Values()["1008"], "8");
    // Serial controls follow "Port szeregowy zawsze otwarty"; the box itself stays.
    EXPECT_EQ(e.Values()["1021"], "0");
    EXPECT_EQ(e.Values()["1006"], "1");
    e = Drive({"dialog", "Ustawienia", "check:1006=1", "enabled:1007", "enabled:1021"});
    EXPECT_EQ(e.Values()["1007"], "1");
    EXPECT_EQ(e.Values()["1021"], "1");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "press:2", "gone:5000"}).code, 0);
}

TEST_F(WinUi, SettingsOkMovesTheTcpServerAndWritesTheFile) {
    Program program;
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    int newPort = FreePort();
    ASSERT_NE(newPort, tcpPort);
    Open(32772, "Ustawienia");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "set:1012=" + std::to_string(newPort),
                     "set:1001=abc", "press:1", "gone:10000"})
                  .code,
              0);
    EXPECT_TRUE(WaitListening(newPort, 10000));
    EXPECT_TRUE(WaitUntil([&] { return !Listening(tcpPort); }, 10000));
    Bytes after = ReadFile(program.Path("setup.dat"));
    ASSERT_EQ(after.size(), (size_t)kSettingsSize);
    EXPECT_EQ(FileInt(after, kOffTcpPort), newPort);
    EXPECT_EQ(FileInt(after, kOffUdpPort), udpPort);
    EXPECT_EQ(FileInt(after, kOffAutoDisconnectSeconds), 0);  // not a number
    // A new record has no parity, stop or data bits: no button was ticked,
    // so OK stores "N", 2 and 8.
    ASSERT_EQ(before[kOffParityLetter], '\0');
    EXPECT_EQ(after[kOffParityLetter], 'N');
    EXPECT_EQ(FileInt(after, kOffStopBits), 2);
    EXPECT_EQ(FileInt(after, kOffDataBits), 8);
    // Everything else as it was.
    Bytes expect = before;
    PutLe32((uint8_t*)&expect[kOffTcpPort], newPort);
    PutLe32((uint8_t*)&expect[kOffAutoDisconnectSeconds], 0);
    expect[kOffParityLetter] = 'N';
    PutLe32((uint8_t*)&expect[kOffStopBits], 2);
    PutLe32((uint8_t*)&expect[kOffDataBits], 8);
    EXPECT_EQ(after, expect);
    EndFromMenu();
    ExpectEnded(program);
}

// A save that cannot finish (a folder holds the temporary file's name) keeps
// the old setup.dat, is logged and shown; the new settings still run.
TEST_F(WinUi, SettingsOkThatCannotSaveKeepsTheOldFileAndSaysSo) {
    Program program;
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    ASSERT_EQ(mkdir(program.Path("setup.dat.new").c_str(), 0755), 0);
    int newPort = FreePort();
    Open(32772, "Ustawienia");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "set:1012=" + std::to_string(newPort), "press:1",
                     "gone:10000"})
                  .code,
              0);
    Driven box = Drive({"dismiss", "uwaga", "20000"});
    ASSERT_EQ(box.code, 0) << "no message box";
    EXPECT_NE(box.out.find("Nie zapisano ustawie\xF1 w pliku setup.dat"), std::string::npos) << box.out;
    EXPECT_EQ(ReadFile(program.Path("setup.dat")), before);
    EXPECT_EQ(program.CountLog("Error - nie zapisano setup.dat, kod: "), 1);
    EXPECT_TRUE(WaitListening(newPort, 10000));
    EndFromMenu();
    ExpectEnded(program);
}

TEST_F(WinUi, CancelChangesNothingButTheAlwaysOpenClick) {
    Program program;
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    ASSERT_EQ(FileInt(before, kOffAlwaysOpen), 0);
    Open(32772, "Ustawienia");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "set:1012=1", "set:1009=other.log", "check:1006=1",
                     "press:2", "gone:10000"})
                  .code,
              0);
    EXPECT_EQ(ReadFile(program.Path("setup.dat")), before);
    EXPECT_TRUE(Listening(tcpPort));
    // The click stayed in memory: the next OK of either dialog stores it.
    Open(110, "Porty wirtualne");
    ASSERT_EQ(Drive({"dialog", "Porty wirtualne", "press:1", "gone:10000"}).code, 0);
    // The program saves once the dialog has closed.
    Bytes after;
    WaitUntil([&] {
        after = ReadFile(program.Path("setup.dat"));
        return after.size() == (size_t)kSettingsSize && FileInt(after, kOffAlwaysOpen) == 1;
    }, 5000);
    EXPECT_EQ(FileInt(after, kOffAlwaysOpen), 1);
    EXPECT_EQ(FileInt(after, kOffTcpPort), tcpPort);
    EXPECT_EQ(FileText(after, kOffLogPath, 101), "k.log");
    // And the settings dialog shows it ticked.
    Open(32772, "Ustawienia");
    EXPECT_EQ(Drive({"dialog", "Ustawienia", "state:1006"}).Values()["1006"], "1");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "press:2", "gone:5000"}).code, 0);
    EndFromMenu();
    ExpectEnded(program);
}

TEST_F(WinUi, ShutdownButtonEndsTheProgram) {
    Program program;
    Launch(program);
    Open(32772, "Ustawienia");
    ASSERT_EQ(Drive({"dialog", "Ustawienia", "press:3"}).code, 0);
    ExpectEnded(program);
    EXPECT_FALSE(Listening(tcpPort));
}

TEST_F(WinUi, VirtualPortsDialogSwitchesTheServerAndCutsLongAddresses) {
    Program program;
    Launch(program);
    // The port is fixed: another program on this machine may hold it a while.
    ASSERT_TRUE(WaitUntil([] { return !PortBound(kVirtualPort); }, 120000))
        << "port 1339 is taken by another program";
    Open(110, "Porty wirtualne");
    Driven d = Drive({"dialog", "Porty wirtualne", "state:1009", "get:1016", "get:1022",
                      "count:1011", "count:1015"});
    auto v = d.Values();
    EXPECT_EQ(v["1009"], "0");
    EXPECT_EQ(v["1016"], "");
    EXPECT_EQ(v["1022"], "0");
    EXPECT_EQ(v["1011"], "19");
    EXPECT_EQ(v["1015"], "19");
    const std::string longName = "modem-at-the-far-cash-register.example.com";  // 42
    ASSERT_GT(longName.size(), 38u);
    ASSERT_EQ(Drive({"dialog", "Porty wirtualne", "check:1009=1", "set:1010=" + longName,
                     "set:1011=COM5", "set:1014=10.1.2.3", "set:1015=COM6", "press:1", "gone:10000"})
                  .code,
              0);
    EXPECT_TRUE(WaitListening(kVirtualPort, 10000));
    EXPECT_TRUE(PortBound(kVirtualPort));
    Bytes saved = ReadFile(program.Path("setup.dat"));
    EXPECT_EQ(FileInt(saved, kOffVirtualPortsEnabled), 1);
    EXPECT_EQ(FileText(saved, kOffVirtualPeer, 40), longName.substr(0, 38));
    EXPECT_EQ(FileText(saved, kOffVirtualPortName, 40), "COM5");
    EXPECT_EQ(FileText(saved, kOffVirtualPeer + 80, 40), "10.1.2.3");
    EXPECT_EQ(FileText(saved, kOffVirtualPortName + 80, 40), "COM6");

    // Reopened, the dialog shows what was stored; unticked, the server stops.
    Open(110, "Porty wirtualne");
    v = Drive({"dialog", "Porty wirtualne", "state:1009", "get:1010", "get:1011"}).Values();
    EXPECT_EQ(v["1009"], "1");
    EXPECT_EQ(v["1010"], longName.substr(0, 38));
    EXPECT_EQ(v["1011"], "COM5");
    ASSERT_EQ(Drive({"dialog", "Porty wirtualne", "check:1009=0", "press:1", "gone:10000"}).code, 0);
    EXPECT_TRUE(WaitUntil([] { return !PortBound(kVirtualPort); }, 10000));
    EXPECT_EQ(FileInt(ReadFile(program.Path("setup.dat")), kOffVirtualPortsEnabled), 0);
    EndFromMenu();
    ExpectEnded(program);
}

TEST_F(WinUi, AboutBoxAndTrayMenuOpenOnlyOnTheRightButton) {
    Program program;
    Launch(program);
    Open(104, "O programie");
    ASSERT_EQ(Drive({"dialog", "O programie", "press:1", "gone:5000"}).code, 0);
    // A left click on the tray icon shows nothing; the right button the menu.
    ASSERT_EQ(Drive({"menu", "0x201", "1500"}).code, 1);
    ASSERT_EQ(Drive({"menu", "0x204", "10000"}).code, 0);
    // A shell restart: the icon is added again and the program runs on.
    ASSERT_EQ(Drive({"taskbar-created"}).code, 0);
    EXPECT_TRUE(program.Running());
    EndFromMenu();
    ExpectEnded(program);
}

}  // namespace

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
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
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

// kdriver's exit codes (tests/wine/kdriver.cpp); any other non-zero code
// means Wine did not run it.
const int kDriverOk = 0;
const int kDriverNoMainWindow = 10;
const int kDriverNoDialog = 11;
const int kDriverStillOpen = 12;
const int kDriverSetFailed = 13;
const int kDriverNoMenu = 14;
const int kDriverNotAnswering = 15;
const int kDriverCallFailed = 16;
const int kDriverUsage = 17;
// The line kdriver writes on stderr before it first changes anything.
const char kDriverActing[] = "kdriver: acting";

// How long a dialog may take to open, and to close again.
const int kDialogMs = 15000;

// The dialog step that waits for the dialog to close.
std::string GoneStep() {
    return "gone:" + std::to_string(kDialogMs);
}

std::string DriverCodeName(int code) {
    switch (code) {
    case kDriverOk: return "ok";
    case kDriverNoMainWindow: return "no main window";
    case kDriverNoDialog: return "no dialog";
    case kDriverStillOpen: return "still open";
    case kDriverSetFailed: return "set failed";
    case kDriverNoMenu: return "no menu";
    case kDriverNotAnswering: return "main window not answering";
    case kDriverCallFailed: return "call failed";
    case kDriverUsage: return "usage";
    default: return "wine failed to run kdriver";
    }
}

bool DriverOwnCode(int code) {
    return code == kDriverOk || (code >= kDriverNoMainWindow && code <= kDriverUsage);
}

struct Driven {
    std::string step;  // the arguments, for messages
    int code = -1;     // exit code, 128 + signal when killed, -1 when not run
    std::string out;
    std::string err;
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

// For failure messages: the step, its code and both outputs.
std::ostream& operator<<(std::ostream& os, const Driven& d) {
    return os << "\nkdriver" << d.step << ": code " << d.code << " (" << DriverCodeName(d.code)
              << ")\n--- stdout:\n" << d.out << "--- stderr:\n" << d.err << "---";
}

// The text on one line, shortened, for a log line.
std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text.substr(0, 600)) {
        if (c == '\n') line += " | ";
        else if (c != '\r') line += c;
    }
    while (line.size() >= 3 && line.compare(line.size() - 3, 3, " | ") == 0) line.resize(line.size() - 3);
    return line;
}

// Runs kdriver once, its stderr caught in a temporary file; env holds
// NAME=value entries for the runner.
Driven DriveOnce(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Driven r;
    for (const std::string& a : args) r.step += " " + a;
    char errPath[] = "/tmp/kdriver-err-XXXXXX";
    int fd = mkstemp(errPath);
    if (fd < 0) {
        r.err = "no temporary file for stderr";
        return r;
    }
    close(fd);
    std::string cmd;
    for (const std::string& e : env) cmd += e + " ";
    cmd += Quote(getenv("KESTRUN_WINE")) + " " + Quote(DriverPath());
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " 2>" + Quote(errPath) + " </dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p) {
        char buf[4096];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
        int status = pclose(p);
        if (WIFEXITED(status)) r.code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status)) r.code = 128 + WTERMSIG(status);
    } else {
        r.err = "popen failed\n";
    }
    r.err += ReadFile(errPath);
    unlink(errPath);
    return r;
}

// Runs one kdriver step; every step bounds its own waits. A run that Wine
// failed before kdriver changed anything is run once more: a press must
// not be repeated, a start-up failure of Wine should not fail the test.
Driven Drive(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Driven r = DriveOnce(args, env);
    if (DriverOwnCode(r.code)) return r;
    if (r.err.find(kDriverActing) != std::string::npos) {
        fprintf(stderr, "kdriver: wine failed (code %d) after the step began, not retried: %s\n", r.code,
                OneLine(r.err).c_str());
        return r;
    }
    fprintf(stderr, "kdriver: wine launch failed (code %d), retrying: %s\n", r.code, OneLine(r.err).c_str());
    return DriveOnce(args, env);
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
        Driven gone = Drive({"gone", "10000"});
        ASSERT_EQ(gone.code, 0) << gone;
        tcpPort = FreePort();
        udpPort = FreePort();
        setup.Int(kOffTcpPort, tcpPort).Int(kOffUdpPort, udpPort);
    }

    // Starts the program with setup.dat and waits for its window and servers.
    void Launch(Program& program) {
        setup.Write(program.dir.path);
        program.Start();
        Driven found = Drive({"find", "20000"});
        ASSERT_EQ(found.code, 0) << "no main window" << found;
        ASSERT_TRUE(WaitListening(tcpPort, 20000));
    }

    // Opens a dialog from the menu command; kdriver reposts while it is missed.
    void Open(int command, const std::string& caption) {
        Driven d = Drive({"command", std::to_string(command), caption, std::to_string(kDialogMs)});
        ASSERT_EQ(d.code, 0) << caption << " did not open" << d;
    }

    // Command 105 ("&Koniec"), reposted while the window stays (bounded).
    void EndFromMenu() {
        for (int tries = 0; tries < 3; tries++) {
            // No window left to post to: the program has gone already.
            if (Drive({"command", "105"}).code == kDriverNoMainWindow) return;
            if (Drive({"gone", "5000"}).code == 0) return;
        }
    }

    // Waits for the program to end by itself and checks the end banner.
    void ExpectEnded(Program& program) {
        EXPECT_EQ(program.Wait(20000), 0);
        Driven gone = Drive({"gone", "10000"});
        EXPECT_EQ(gone.code, 0) << gone;
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
    Driven menu = Drive({"menu", "0x204", "10000", "k"});
    ASSERT_EQ(menu.code, 0) << menu;
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

// A logoff or shutdown: the query is granted, and the whole shutdown is done
// before the end-session message is answered, since Windows may end the
// process at once after it.
TEST_F(WinUi, EndSessionShutsDownBeforeItIsAnswered) {
    Program program;
    Pty device;
    program.MapCom(3, device.slavePath);
    Launch(program);
    TcpClient client(tcpPort);
    client.Send(Esc("COM3"));
    ASSERT_EQ(client.Read(1, 10000), Bytes(1, '\0'));

    Driven query = Drive({"send", "0x11", "0", "0", "10000"});  // WM_QUERYENDSESSION
    ASSERT_EQ(query.code, 0) << query;
    EXPECT_NE(query.out.find("answer=1"), std::string::npos) << query.out;
    EXPECT_TRUE(program.Running());
    Driven end = Drive({"send", "0x16", "1", "0", "20000"});  // WM_ENDSESSION
    ASSERT_EQ(end.code, 0) << end;
    // Read at once: the answer came after the end banner was written.
    EXPECT_EQ(program.CountLog(kEndBanner), 1) << program.Log();
    EXPECT_TRUE(client.ClosedByPeer(5000));
    EXPECT_FALSE(Listening(tcpPort));
    ExpectEnded(program);
    EXPECT_EQ(program.CountLog(kEndBanner), 1);
}

TEST_F(WinUi, SecondInstanceIsRefusedWithAMessageBox) {
    Program first;
    Launch(first);
    Program second;
    second.waitForOthers = false;  // started beside the first on purpose
    setup.Write(second.dir.path);
    second.Start();
    Driven box = Drive({"dismiss", "uwaga", "20000"});
    ASSERT_EQ(box.code, 0) << "no message box" << box;
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

// The single-instance rule rests on the machine-wide mutex, not on a window
// of this desktop: a holder without any window refuses the start.
TEST_F(WinUi, InstanceMutexWithoutAWindowRefusesTheStart) {
    TempDir marks;
    std::string marker = marks.path + "/held";
    std::string winMarker = "Z:" + marker;
    for (char& c : winMarker)
        if (c == '/') c = '\\';
    Driven held;
    std::thread holder([&] { held = Drive({"hold-mutex", "Global\\Kestrun", winMarker, "30000"}); });
    bool marked = WaitUntil([&] { return FileExists(marker); }, 20000);
    Program program;
    if (marked) {
        setup.Write(program.dir.path);
        program.Start();
    }
    holder.join();
    ASSERT_TRUE(marked) << held;
    ASSERT_EQ(held.code, 0) << "no message box" << held;
    EXPECT_NE(held.out.find("jeden raz"), std::string::npos) << held.out;
    EXPECT_EQ(program.Wait(10000), 0);
    EXPECT_FALSE(FileExists(program.Path("k.log")));
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
    ASSERT_EQ(d.code, 0) << d;
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
    ASSERT_EQ(e.code, 0) << e;
    EXPECT_EQ(e.Values()["1007"], "19");
    e = Drive({"dialog", "Ustawienia", "count:1008", "enabled:1021", "enabled:1006"});
    ASSERT_EQ(e.code, 0) << e;
    EXPECT_EQ(e.Values()["1008"], "8");
    // Serial controls follow "Port szeregowy zawsze otwarty"; the box itself stays.
    EXPECT_EQ(e.Values()["1021"], "0");
    EXPECT_EQ(e.Values()["1006"], "1");
    e = Drive({"dialog", "Ustawienia", "check:1006=1", "enabled:1007", "enabled:1021"});
    ASSERT_EQ(e.code, 0) << e;
    EXPECT_EQ(e.Values()["1007"], "1");
    EXPECT_EQ(e.Values()["1021"], "1");
    e = Drive({"dialog", "Ustawienia", "press:2", GoneStep()});
    ASSERT_EQ(e.code, 0) << e;
}

TEST_F(WinUi, SettingsOkMovesTheTcpServerAndWritesTheFile) {
    Program program;
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    int newPort = FreePort();
    ASSERT_NE(newPort, tcpPort);
    Open(32772, "Ustawienia");
    Driven d = Drive({"dialog", "Ustawienia", "set:1012=" + std::to_string(newPort), "set:1001=abc",
                      "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
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

// The restart that OK makes ends the TCP server's connections as a client's
// close does: a line a client left unfinished never runs on in the next
// client's, whose COM3 opens at its own rate. Every cell holds such a line,
// and nothing probes the new port, so the next client meets one whichever
// cell it gets; twice over, since the stop may meet the server's loop at
// any point of its pass.
TEST_F(WinUi, SettingsOkRestartEndsTheSessionsOfItsClients) {
    Program program;
    Pty device;
    program.MapCom(3, device.slavePath);
    Launch(program);
    int port = tcpPort;
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE("restart " + std::to_string(round));
        auto half = ConnectEach(port, 5, "\x1b" "BAUD=96");
        ASSERT_TRUE(WaitUntil([&] { return program.CountLog("Komenda:[ESC]BAUD=96") == 5 * round; }, 10000))
            << program.Log();
        int next = FreePort();
        Open(32772, "Ustawienia");
        Driven d = Drive({"dialog", "Ustawienia", "set:1012=" + std::to_string(next), "press:1", GoneStep()});
        ASSERT_EQ(d.code, 0) << d;
        // The new server listens once its On has returned.
        ASSERT_TRUE(WaitUntil([&] { return program.CountLog("Serwer TCP On - Stop") == round + 1; }, 10000))
            << program.Log();
        for (auto& a : half) EXPECT_TRUE(a->ClosedByPeer(10000));

        TcpClient b(next);
        b.Send(Esc("BAUD=1200") + Esc("COM3"));
        ASSERT_EQ(b.Read(1, 10000), Bytes(1, '\0')) << program.Log();
        b.Send(Esc("DCB=?"));
        Bytes dcb = b.Read(28, 10000);
        ASSERT_EQ(dcb.size(), 28u);
        EXPECT_EQ(GetLe32((const uint8_t*)dcb.data() + 4), 1200);
        b.Send(Esc("CLOSE") + Esc("TEST"));
        EXPECT_EQ(b.Read(1, 10000), Bytes(1, '\0'));  // the port is free for the next round
        port = next;
    }
    EndFromMenu();
    ExpectEnded(program);
}

// No file can be made in or removed from dir while this lives (chattr +i);
// the files already there can still be written.
struct NoNewFiles {
    std::string dir;
    bool on;
    explicit NoNewFiles(const std::string& d) : dir(d) { on = system(("chattr +i " + Quote(dir)).c_str()) == 0; }
    ~NoNewFiles() {
        if (on && system(("chattr -i " + Quote(dir)).c_str()) != 0) fprintf(stderr, "chattr -i failed\n");
    }
};

// A save that cannot finish (the folder takes no temporary file) keeps the
// old setup.dat, is logged and shown; the new settings still run.
TEST_F(WinUi, SettingsOkThatCannotSaveKeepsTheOldFileAndSaysSo) {
    Program program;
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    NoNewFiles frozen(program.dir.path);
    ASSERT_TRUE(frozen.on) << "chattr +i failed";
    int newPort = FreePort();
    Open(32772, "Ustawienia");
    Driven d = Drive({"dialog", "Ustawienia", "set:1012=" + std::to_string(newPort), "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    Driven box = Drive({"dismiss", "uwaga", "20000"});
    ASSERT_EQ(box.code, 0) << "no message box" << box;
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
    Driven d = Drive({"dialog", "Ustawienia", "set:1012=1", "set:1009=other.log", "check:1006=1",
                      "press:2", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    EXPECT_EQ(ReadFile(program.Path("setup.dat")), before);
    EXPECT_TRUE(Listening(tcpPort));
    // The click stayed in memory: the next OK of either dialog stores it.
    Open(110, "Porty wirtualne");
    d = Drive({"dialog", "Porty wirtualne", "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
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
    d = Drive({"dialog", "Ustawienia", "state:1006"});
    EXPECT_EQ(d.Values()["1006"], "1") << d;
    d = Drive({"dialog", "Ustawienia", "press:2", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    EndFromMenu();
    ExpectEnded(program);
}

TEST_F(WinUi, ShutdownButtonEndsTheProgram) {
    Program program;
    Launch(program);
    Open(32772, "Ustawienia");
    Driven d = Drive({"dialog", "Ustawienia", "press:3"});
    ASSERT_EQ(d.code, 0) << d;
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
    ASSERT_EQ(d.code, 0) << d;
    auto v = d.Values();
    EXPECT_EQ(v["1009"], "0");
    EXPECT_EQ(v["1016"], "");
    EXPECT_EQ(v["1022"], "0");
    EXPECT_EQ(v["1011"], "19");
    EXPECT_EQ(v["1015"], "19");
    const std::string longName = "modem-at-the-far-cash-register.example.com";  // 42
    ASSERT_GT(longName.size(), 38u);
    d = Drive({"dialog", "Porty wirtualne", "check:1009=1", "set:1010=" + longName, "set:1011=COM5",
               "set:1014=10.1.2.3", "set:1015=COM6", "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
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
    d = Drive({"dialog", "Porty wirtualne", "state:1009", "get:1010", "get:1011"});
    ASSERT_EQ(d.code, 0) << d;
    v = d.Values();
    EXPECT_EQ(v["1009"], "1");
    EXPECT_EQ(v["1010"], longName.substr(0, 38));
    EXPECT_EQ(v["1011"], "COM5");
    d = Drive({"dialog", "Porty wirtualne", "check:1009=0", "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    EXPECT_TRUE(WaitUntil([] { return !PortBound(kVirtualPort); }, 10000));
    EXPECT_EQ(FileInt(ReadFile(program.Path("setup.dat")), kOffVirtualPortsEnabled), 0);
    EndFromMenu();
    ExpectEnded(program);
}

// Under a Western ANSI code page (1252) the Polish texts still reach the
// dialog and the message box whole, and what is typed is stored as
// Windows-1250. kdriver itself runs under the Polish code page, and its
// wget and wset go through the wide calls.
TEST_F(WinUi, PolishTextsStayWholeUnderAWesternCodePage) {
    const std::string western = "KESTRUN_WINE_LOCALE=en_US.UTF-8";
    // Else the test would pass under the Polish code page, ANSI calls and all.
    Driven acp = Drive({"acp"}, {western});
    ASSERT_EQ(acp.code, 0) << acp;
    ASSERT_EQ(acp.Values()["acp"], "1252") << "the runner gave no Western code page" << acp;
    EXPECT_EQ(Drive({"acp"}).Values()["acp"], "1250");

    setup.Text(kOffSpoolDirectory, 200, "C:\\Wydruki \xB3\xB9\x9C\x9F");
    Program program;
    program.env.push_back(western);
    Launch(program);
    Bytes before = ReadFile(program.Path("setup.dat"));
    Open(32772, "Ustawienia");
    Driven d = Drive({"dialog", "Ustawienia", "wget:1003", "wget:1009"});
    ASSERT_EQ(d.code, 0) << d;
    EXPECT_EQ(d.Values()["1003"], "C:\\Wydruki \u0142\u0105\u015B\u017A");
    EXPECT_EQ(d.Values()["1009"], "k.log");

    // A character Windows-1250 lacks: OK is refused and says so in Polish.
    d = Drive({"dialog", "Ustawienia", "wset:1009=dziennik-\u00F1.log", "press:1"});
    ASSERT_EQ(d.code, 0) << d;
    Driven box = Drive({"dismiss", "uwaga", "20000"});
    ASSERT_EQ(box.code, 0) << "no message box" << box;
    EXPECT_NE(box.out.find("aby zapisa\xE6 ustawienia"), std::string::npos) << box.out;
    EXPECT_EQ(ReadFile(program.Path("setup.dat")), before);

    d = Drive({"dialog", "Ustawienia", "wset:1009=k.log", "wset:1003=C:\\Wydruki \u017C\u00F3\u0142\u0107",
               "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    Bytes after;
    WaitUntil([&] {
        after = ReadFile(program.Path("setup.dat"));
        return after != before && after.size() == (size_t)kSettingsSize;
    }, 5000);
    EXPECT_EQ(FileText(after, kOffSpoolDirectory, 200), "C:\\Wydruki \xBF\xF3\xB3\xE6");
    EXPECT_EQ(FileText(after, kOffLogPath, 101), "k.log");
    EndFromMenu();
    ExpectEnded(program);
}

TEST_F(WinUi, AboutBoxAndTrayMenuOpenOnlyOnTheRightButton) {
    Program program;
    Launch(program);
    Open(104, "O programie");
    Driven d = Drive({"dialog", "O programie", "press:1", GoneStep()});
    ASSERT_EQ(d.code, 0) << d;
    // A left click on the tray icon shows nothing; the right button the menu.
    d = Drive({"menu", "0x201", "1500"});
    ASSERT_EQ(d.code, kDriverNoMenu) << d;
    d = Drive({"menu", "0x204", "10000"});
    ASSERT_EQ(d.code, 0) << d;
    // A shell restart: the icon is added again and the program runs on.
    d = Drive({"taskbar-created"});
    ASSERT_EQ(d.code, 0) << d;
    EXPECT_TRUE(program.Running());
    EndFromMenu();
    ExpectEnded(program);
}

}  // namespace

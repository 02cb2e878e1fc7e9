// kestrun.exe --service under Wine's Service Control Manager: registered
// with sc, started and stopped with net (Wine 8's sc stop skips the stop
// handler), a reload by the PARAMCHANGE control (sent by kdriver: Wine's sc
// has no "control"), the remote KILL refused, and one instance beside the
// tray application either way round. Skipped natively.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

namespace {

const char kServiceName[] = "KestrunE2E";
const char kEndBanner[] = "------------- Koniec programu --------------------";
const int kParamChange = 6;  // SERVICE_CONTROL_PARAMCHANGE

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string WindowsPath(const std::string& unixPath) {
    std::string w = "Z:" + unixPath;
    for (char& c : w)
        if (c == '/') c = '\\';
    return w;
}

// Runs a Windows program under the suite's Wine; its exit status, its
// output in *out. A launch that Wine's loader itself failed (it reports
// ShellExecuteEx; seen on a loaded machine) never ran the program, so it is
// tried again.
int Wine(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string cmd = Quote(getenv("KESTRUN_WINE"));
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " 2>&1 </dev/null";
    int result = -1;
    for (int attempt = 0; attempt < 3; attempt++) {
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return -1;
        std::string text;
        char buf[4096];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, got);
        int status = pclose(p);
        if (out) *out = text;
        result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (result == 0 || text.find("ShellExecuteEx") == std::string::npos) break;
    }
    return result;
}

std::string Driver() {
    const char* d = getenv("KESTRUN_DRIVER");
    return d ? d : "";
}

std::string Prefix() {
    std::string out;
    FILE* p = popen((Quote(getenv("KESTRUN_WINE")) + " --prefix").c_str(), "r");
    char buf[1024];
    if (p) {
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// The service's process: a live (not yet ended) process of this prefix
// whose command line holds --service; 0 when there is none.
pid_t ServicePid() {
    std::string entry = "WINEPREFIX=" + Prefix();
    DIR* d = opendir("/proc");
    pid_t found = 0;
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string at = std::string("/proc/") + e->d_name;
        Bytes cmd = ReadFile(at + "/cmdline");
        if (cmd.find("kestrun.exe") == std::string::npos || cmd.find("--service") == std::string::npos) continue;
        Bytes stat = ReadFile(at + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') continue;
        Bytes env = ReadFile(at + "/environ");
        if (env.find(entry + '\0') == std::string::npos) continue;
        found = (pid_t)atoi(e->d_name);
        break;
    }
    if (d) closedir(d);
    return found;
}

bool Ended(pid_t pid) {
    Bytes stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// Whether the log's last entry is the end banner.
bool EndsWithTheBanner(const Bytes& log) {
    std::string t = log;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    std::string banner = kEndBanner;
    return t.size() >= banner.size() && t.compare(t.size() - banner.size(), banner.size(), banner) == 0;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IsWine()) GTEST_SKIP() << "the Windows service runs only under Wine";
        Wine({"sc", "delete", kServiceName});  // one a failed run left
    }
    // Always, however the test ended.
    void TearDown() override {
        if (!IsWine()) return;
        if (ServicePid()) Wine({"net", "stop", kServiceName});
        Wine({"sc", "delete", kServiceName});
        if (pid_t left = ServicePid()) kill(left, SIGKILL);
    }
    void Register(const std::string& args) {
        std::string out;
        std::string bin = WindowsPath(getenv("KESTRUN_BIN")) + " --service" + args;
        ASSERT_EQ(Wine({"sc", "create", kServiceName, "binPath=", bin}, &out), 0) << out;
    }
    int NetStart(std::string* out) { return Wine({"net", "start", kServiceName}, out); }
    // net stop, then the time until the process has ended (-1: it did not
    // within 20 s).
    int64_t StopAndTime() {
        pid_t pid = ServicePid();
        int64_t t0 = NowMs();
        std::string out;
        EXPECT_EQ(Wine({"net", "stop", kServiceName}, &out), 0) << out;
        if (!pid || !WaitUntil([&] { return Ended(pid); }, 20000)) return -1;
        return NowMs() - t0;
    }
};

// In %ProgramData%\Kestrun, made by the service: it answers TEST, refuses
// a remote KILL and a tray copy, and net stop ends it with the end banner.
TEST_F(Service, RunsInProgramDataRefusesKillAndTheTrayAndStopsWithTheEndBanner) {
    std::string folder = Prefix() + "/drive_c/ProgramData/Kestrun";
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    ControlPorts p;
    Register("");
    int64_t t0 = NowMs();
    std::string out;
    ASSERT_EQ(NetStart(&out), 0) << out;
    // Defaults (made by the service) until setup.dat says otherwise: move it
    // to this test's ports with a reload-free restart.
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder); }, 5000)) << "no service folder";
    int64_t startMs = -1;
    {
        TcpClient c;
        ASSERT_TRUE(c.Connect(1336, 20000)) << "the default port never listened";
        EXPECT_EQ(Ask(c, "TEST", 10000), 0);
        startMs = NowMs() - t0;
    }
    EXPECT_GE(StopAndTime(), 0);

    ControlSetup(p).Write(folder);
    t0 = NowMs();
    ASSERT_EQ(NetStart(&out), 0) << out;
    TcpClient c;
    ASSERT_TRUE(c.Connect(p.tcp, 20000));
    ASSERT_EQ(Ask(c, "TEST", 10000), 0);
    int64_t secondStartMs = NowMs() - t0;
    c.Send(Esc("KILL"));
    EXPECT_TRUE(WaitUntil([&] { return Bytes(ReadFile(folder + "/k.log")).find("KILL pominiety") != std::string::npos; },
                          10000));
    EXPECT_EQ(Ask(c, "TEST", 10000), 0) << "the service ended on a remote KILL";

    // A tray copy is refused with its message box and starts nothing.
    Program tray;
    tray.waitForOthers = false;
    ControlSetup(ControlPorts()).Write(tray.dir.path);
    tray.Start();
    std::string box;
    EXPECT_EQ(Wine({Driver(), "dismiss", "uwaga", "20000"}, &box), 0) << box;
    EXPECT_NE(box.find("jeden raz"), std::string::npos) << box;
    EXPECT_EQ(tray.Wait(15000), 0);
    EXPECT_FALSE(FileExists(tray.Path("k.log")));

    int64_t stopMs = StopAndTime();
    EXPECT_GE(stopMs, 0);
    EXPECT_LT(stopMs, 10000);
    Bytes log = ReadFile(folder + "/k.log");
    EXPECT_TRUE(EndsWithTheBanner(log)) << log;
    EXPECT_EQ(ConnectTcp(p.tcp, 0), -1);
    printf("service: first TEST answered %lld ms after net start (folder made by it), %lld ms (folder there); "
           "process ended %lld ms after net stop began\n",
           (long long)startMs, (long long)secondStartMs, (long long)stopMs);
    std::filesystem::remove_all(folder, ec);
}

// In -C DIR: a start beside a running tray copy is logged and fails; then
// PARAMCHANGE re-reads setup.dat and moves the TCP port.
TEST_F(Service, RefusedBesideTheTrayAndParamChangeMovesThePort) {
    TempDir dir;
    ControlPorts p;
    ControlSetup(p).Write(dir.path);
    Register(" -C " + WindowsPath(dir.path));

    Program tray;
    ControlPorts trayPorts;
    StartServing(tray, ControlSetup(trayPorts), trayPorts);
    // Wine's net start says the start succeeded whatever the service
    // reported: its log line and sc query tell.
    std::string out;
    NetStart(&out);
    EXPECT_TRUE(WaitUntil([&] { return FileExists(dir / "k.log"); }, 5000));
    Bytes log = ReadFile(dir / "k.log");
    EXPECT_NE(log.find("Error - Kestrun juz dziala"), std::string::npos) << log;
    EXPECT_EQ(log.find("Start programu"), std::string::npos) << log;
    Wine({"sc", "query", kServiceName}, &out);
    EXPECT_NE(out.find("1056"), std::string::npos) << out;  // ERROR_SERVICE_ALREADY_RUNNING
    EndProgram(tray, trayPorts.tcp);

    ASSERT_EQ(NetStart(&out), 0) << out;
    ASSERT_TRUE(WaitListening(p.tcp, 20000));
    ControlPorts moved;
    ControlSetup(moved).Int(kOffUdpPort, p.udp).Write(dir.path);
    ASSERT_EQ(Wine({Driver(), "service-control", kServiceName, std::to_string(kParamChange)}, &out), 0) << out;
    EXPECT_TRUE(WaitListening(moved.tcp, 10000));
    EXPECT_TRUE(WaitUntil([&] { return ConnectTcp(p.tcp, 0) < 0; }, 10000));
    TcpClient c(moved.tcp);
    EXPECT_EQ(Ask(c, "TEST", 10000), 0);
    EXPECT_GE(StopAndTime(), 0);
    EXPECT_TRUE(EndsWithTheBanner(ReadFile(dir / "k.log")));
}

}  // namespace

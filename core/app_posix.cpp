// The Linux daemon: its main, single-instance lock, start-up, the 300 ms
// tick on a steady clock, signals and shutdown. Twin: app_win32.cpp.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "base/bridge.h"
#include "base/cp1250.h"
#include "bridge/protocol.h"
#include "core/core.h"
#include "log/log.h"
#include "net/net.h"
#include "net/rfc2217_server.h"
#include "ui/ui.h"

// Requests reach the main loop as one byte each through a self-pipe, which
// both signal handlers and other threads may write to.
enum : char { kWakeShutdown = 'q', kWakeReload = 'r' };
static std::atomic<int> wakeWrite{-1};
static std::atomic<int> shutdownRequested{0};
static std::atomic<int> reloadRequested{0};

static void Wake(char what) {
    int fd = wakeWrite.load();
    if (fd < 0) return;
    int saved = errno;  // a handler must leave errno as it found it
    ssize_t n = write(fd, &what, 1);
    (void)n;  // a full pipe already holds a wake-up
    errno = saved;
}

void RequestShutdown() {
    shutdownRequested = 1;
    Wake(kWakeShutdown);
}

static void OnSignal(int sig) {
    if (sig == SIGHUP) {
        reloadRequested = 1;
        Wake(kWakeReload);
    } else {
        RequestShutdown();
    }
}

// A daemon started with a standard descriptor closed would hand it to the
// next socket or job file, and a stray write to stdout or stderr (the status
// line) would then land there.
static void KeepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// Takes the instance lock, kestrun.lock in the working folder: one instance
// per folder, whatever the environment, and only those who may write the
// folder (and so its setup.dat) can make or hold the file. A link in its
// place is not followed. 0 held (or not available at all), 1 another
// instance holds it. The descriptor stays open for the whole run.
static int TakeInstanceLock() {
    const char path[] = "kestrun.lock";
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        // No lock file possible: a bridge without its guard beats no bridge.
        fprintf(stderr, "kestrun: %s: %s\n", path, strerror(errno));
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) return 1;
    fprintf(stderr, "kestrun: %s: %s\n", path, strerror(error));
    return 0;
}

static int OpenWakePipe() {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    wakeWrite = fds[1];
    return fds[0];
}

// One line on start for whoever started the daemon by hand: where the
// control servers listen and how to stop it.
static void PrintListening() {
    char address[sizeof settingsRecord.interfaceAddress];
    SettingsText(address, sizeof address, settingsRecord.interfaceAddress);
    std::string where = address[0] ? address : "all interfaces";
    std::string line = "kestrun: listening on " + where + ":";
    if (settingsRecord.tcpEnabled) line += " TCP " + std::to_string(settingsRecord.tcpPort.load());
    if (settingsRecord.udpEnabled) line += " UDP " + std::to_string(settingsRecord.udpPort.load());
    if (settingsRecord.virtualPortsEnabled) line += ", virtual ports TCP " + std::to_string(kVirtualPortTcp);
    line += "; Ctrl+C or SIGTERM stops it\n";
    fputs(line.c_str(), stderr);
}

// ---- The command line ----

static void Usage(FILE* to) {
    fprintf(to,
            "usage: kestrun [-C DIR] [--allow ADDR[/BITS]]... [--no-remote-kill]\n"
            "               [--log-max-bytes N] [--rfc2217 [ADDR:]PORT=COMn]...\n"
            "       kestrun --help | --version\n"
            "Runs the serial port bridge in the foreground. The working folder holds\n"
            "setup.dat, ports/COMn links and the spool folder.\n"
            "  -C DIR              run in DIR instead of the current folder\n"
            "  --allow ADDR[/BITS] take connections and datagrams only from these IPv4\n"
            "                      addresses (repeatable; others are refused and logged)\n"
            "  --no-remote-kill    the KILL command from the network is logged and ignored\n"
            "  --log-max-bytes N   above N bytes the log is renamed to <name>.1 and started\n"
            "                      afresh (default 10485760)\n"
            "  --rfc2217 [ADDR:]PORT=COMn\n"
            "                      serve COMn to RFC 2217 clients on PORT (repeatable)\n"
            "  --help              this text\n"
            "  --version           the version\n"
            "SIGHUP re-reads setup.dat; SIGTERM or SIGINT stops the bridge.\n");
}

// One --allow entry: a network in host order and its mask.
struct AllowEntry {
    uint32_t network, mask;
};
static std::vector<AllowEntry> allowList;  // filled before the servers start, then only read

static bool ParseAllow(const char* text, AllowEntry& entry) {
    std::string address = text;
    int bits = 32;
    size_t slash = address.find('/');
    if (slash != std::string::npos) {
        std::string digits = address.substr(slash + 1);
        if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = atoi(digits.c_str());
        if (bits > 32) return false;
        address.resize(slash);
    }
    struct in_addr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    entry.mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    entry.network = ntohl(parsed.s_addr) & entry.mask;
    return true;
}

static bool AllowPeer(uint32_t address) {
    for (const AllowEntry& e : allowList)
        if ((address & e.mask) == e.network) return true;
    return false;
}

struct Options {
    const char* directory = nullptr;
    bool noRemoteKill = false;
};

// -1 go on and run; otherwise the exit status (0 for --help and --version,
// 2 for a wrong command line, after the usage on stderr).
static int ParseCommandLine(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char* value = nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            printf("kestrun %s\n", KESTRUN_VERSION);
            return 0;
        } else if (arg == "--no-remote-kill") {
            options.noRemoteKill = true;
            continue;
        } else if (arg == "-C" || arg == "--allow" || arg == "--log-max-bytes" || arg == "--rfc2217") {
            if (i + 1 >= argc) {
                fprintf(stderr, "kestrun: %s needs a value\n", arg.c_str());
                Usage(stderr);
                return 2;
            }
            value = argv[++i];
        } else if (arg.compare(0, 8, "--allow=") == 0) {
            value = argv[i] + 8;
            arg = "--allow";
        } else if (arg.compare(0, 10, "--rfc2217=") == 0) {
            value = argv[i] + 10;
            arg = "--rfc2217";
        } else if (arg.compare(0, 16, "--log-max-bytes=") == 0) {
            value = argv[i] + 16;
            arg = "--log-max-bytes";
        } else if (arg.compare(0, 2, "-C") == 0) {
            value = argv[i] + 2;
            arg = "-C";
        } else {
            fprintf(stderr, "kestrun: unknown argument '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
        if (arg == "-C") {
            options.directory = value;
            continue;
        }
        if (arg == "--log-max-bytes") {
            // Digits only, 1 to 10^15: no sign, blank or suffix slips through.
            std::string digits = value;
            if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos ||
                atoll(value) < 1) {
                fprintf(stderr, "kestrun: --log-max-bytes %s: not a number of bytes (1 or more)\n", value);
                Usage(stderr);
                return 2;
            }
            LogSetMaxBytes(atoll(value));
            continue;
        }
        if (arg == "--rfc2217") {
            Rfc2217Listener listener;
            if (!ParseRfc2217Listener(value, &listener) || !AddRfc2217Listener(listener)) {
                fprintf(stderr, "kestrun: --rfc2217 %s: not [ADDR:]PORT=COMn, a port given twice or more than %d\n",
                        value, (int)kMaxRfc2217Listeners);
                Usage(stderr);
                return 2;
            }
            continue;
        }
        AllowEntry entry;
        if (!ParseAllow(value, entry)) {
            fprintf(stderr, "kestrun: --allow %s: not an IPv4 address or ADDR/BITS (0-32)\n", value);
            Usage(stderr);
            return 2;
        }
        allowList.push_back(entry);
    }
    return -1;
}

static void InstallSignals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);  // a vanished client must not end the bridge
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

int main(int argc, char** argv) {
    KeepStandardDescriptorsOpen();
    umask(027);  // the log, the spool and its jobs are not for other users
    Options options;
    int status = ParseCommandLine(argc, argv, options);
    if (status >= 0) return status;
    if (options.directory && chdir(options.directory) != 0) {
        fprintf(stderr, "kestrun: -C %s: %s\n", options.directory, strerror(errno));
        return 1;
    }
    if (TakeInstanceLock() != 0) {
        char text[128];
        Cp1250ToUtf8("Kestrun mo\xBF"
                     "e by\xE6 uruchomiony tylko jeden raz!",
                     text, sizeof text);
        fprintf(stderr, "%s\n", text);
        return 1;  // a supervisor sees that this start did not run
    }
    int wakeRead = OpenWakePipe();
    if (wakeRead < 0) {
        fprintf(stderr, "kestrun: pipe: %s\n", strerror(errno));
        return 1;
    }
    InstallSignals();

    StartupBegin();
    BridgeConnect(RequestShutdown);
    ProtocolRefuseKill(options.noRemoteKill);
    if (!allowList.empty()) NetSetPeerFilter(AllowPeer);
    StartupServices();
    PrintListening();
    TrayIconUpdate(kTrayAdd, kIconNone, nullptr);
    TrayIconUpdate(kTrayModify, kIconActivity, "Quenlor Kestrun");
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(300);
    auto nextTick = Clock::now() + period;
    StartAlwaysOpenPort();

    while (!shutdownRequested) {
        auto now = Clock::now();
        if (now >= nextTick) {
            HousekeepingTick();
            StatusLineFlush();
            nextTick += period;
            // After a stall (suspend, debugger) go on from now, no burst of ticks.
            if (nextTick <= now) nextTick = now + period;
            continue;
        }
        int waitMs = (int)std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count() + 1;
        struct pollfd p = {wakeRead, POLLIN, 0};
        if (poll(&p, 1, waitMs) > 0) {
            char drain[64];
            while (read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (reloadRequested.exchange(0) && !shutdownRequested) {
            ReloadSettings();
            RefreshTray(kTrayModify);
        }
    }

    // The same shutdown, in the same order, for a signal and for KILL.
    TrayIconUpdate(kTrayDelete, kIconNone, nullptr);
    ShutdownServices();
    EndBanner();
    return 0;
}

// The Linux daemon: its main, single-instance lock, start-up, the 300 ms
// tick on a steady clock, signals and shutdown. Twin: app_win32.cpp.
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
#include "base/bridge.h"
#include "base/cp1250.h"
#include "bridge/protocol.h"
#include "core/core.h"
#include "core/options.h"
#include "log/log.h"
#include "net/net.h"
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
    ProgramOptions options;
    std::string text;
    int status = ParseProgramOptions(argc, argv, kDaemonOptions, options, text);
    if (status >= 0) {
        fputs(text.c_str(), status == 0 ? stdout : stderr);
        return status;
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
        fprintf(stderr, "kestrun: -C %s: %s\n", options.directory.c_str(), strerror(errno));
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

    ApplyProgramOptions(options);
    StartupBegin();
    BridgeConnect(RequestShutdown);
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

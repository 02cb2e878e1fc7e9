// The packages, each on its own target. Native: the Debian package lists
// its files and passes lintian, its unit passes systemd-analyze verify and
// rates 2.5 or better in systemd-analyze security, its changelog names its
// version, the daemon taken out of it with dpkg -x answers TEST and is
// started again by the unit after a remote KILL, its kestrun-attach runs,
// and its scripts, run without systemd, make the service's user and its
// closed folders. Under Wine: msiexec installs the MSI, the installed
// program is built for ASLR and DEP, started through its Startup shortcut it
// works in the shortcut's folder and answers TEST, and msiexec /x removes
// the program and the shortcuts and keeps setup.dat; with SERVICE=1 and
// OPTIONS it installs and starts the service with those options instead of
// the shortcuts, and msiexec /x stops and removes it. The packages are built
// by the fixture tests package_deb and package_msi.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "support/support.h"

using namespace kt;

static const int kWait = 15000;

struct Shell {
    int status;
    std::string out;
};

// Runs a shell command; its exit status and what it printed (both streams).
// The output goes through a file, not a pipe: Wine's background processes
// and a program started with "start" keep what they inherit open.
static Shell Sh(const std::string& command) {
    char path[] = "/tmp/kestrun-sh-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return {-1, ""};
    close(fd);
    int status = system(("(" + command + ") </dev/null >" + path + " 2>&1").c_str());
    Shell r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(path);
    unlink(path);
    return r;
}

static std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (end > start) lines.push_back(text.substr(start, end - start));
    return lines;
}

static int AskTest(int port) {
    TcpClient c(port, kWait);
    return Ask(c, "TEST", kWait);
}

// Whether systemd starts the service again when its process ended by itself
// with this exit status, by the unit's Restart= and RestartPreventExitStatus=
// (systemd.service(5)); after a stop of its own systemd never does.
static bool RestartsAfterExit(const std::string& unit, int status) {
    std::string policy = "no";
    for (const std::string& line : Lines(unit)) {
        if (line.compare(0, 8, "Restart=") == 0) policy = line.substr(8);
        if (line.compare(0, 25, "RestartPreventExitStatus=") == 0 &&
            (" " + line.substr(25) + " ").find(" " + std::to_string(status) + " ") != std::string::npos)
            return false;
    }
    return policy == "always" || policy == (status == 0 ? "on-success" : "on-failure");
}

// ---- Debian package ----

TEST(Package, DebianPackageHoldsItsFilesAndItsDaemonAnswers) {
    if (IsWine()) GTEST_SKIP() << "the Debian package is the Linux build's";
    const char* deb = getenv("KESTRUN_DEB");
    ASSERT_TRUE(deb && FileExists(deb)) << "no package: the fixture test package_deb builds it";

    // Exactly these files, the directories aside.
    Shell list = Sh("dpkg-deb --fsys-tarfile " + Quote(deb) + " | tar -t");
    ASSERT_EQ(list.status, 0) << list.out;
    std::vector<std::string> files;
    for (const std::string& line : Lines(list.out))
        if (line.back() != '/') files.push_back(line);
    std::sort(files.begin(), files.end());
    const std::vector<std::string> expected = {
        "./etc/logrotate.d/kestrun",
        "./usr/bin/kestrun",
        "./usr/bin/kestrun-attach",
        "./usr/bin/kestrun-setup",
        "./usr/lib/systemd/system/kestrun.service",
        "./usr/share/doc/kestrun/changelog.gz",
        "./usr/share/doc/kestrun/copyright",
        "./usr/share/man/man1/kestrun-attach.1.gz",
        "./usr/share/man/man8/kestrun-setup.8.gz",
        "./usr/share/man/man8/kestrun.8.gz",
    };
    EXPECT_EQ(files, expected) << list.out;

    TempDir dir;
    const std::string root = dir / "root", control = dir / "control";
    ASSERT_EQ(Sh("dpkg-deb -x " + Quote(deb) + " " + Quote(root)).status, 0);

    // Debian's checks: no error and no warning, and the binaries hardened
    // (those of a sanitizer build, unoptimised, have the sanitizer's checks
    // instead).
    ASSERT_EQ(Sh("command -v lintian").status, 0) << "no lintian: scripts/install-deps.sh check installs it";
    Bytes daemon = ReadFile(root + "/usr/bin/kestrun");
    bool sanitized = daemon.find("__asan_init") != std::string::npos || daemon.find("__tsan_init") != std::string::npos;
    Shell lint = Sh("lintian --display-info --fail-on error,warning " + Quote(deb));
    EXPECT_EQ(lint.status, 0) << lint.out;
    for (const std::string& line : Lines(lint.out)) {
        EXPECT_NE(line.compare(0, 3, "E: "), 0) << line;
        EXPECT_NE(line.compare(0, 3, "W: "), 0) << line;
        if (!sanitized) {
            EXPECT_EQ(line.find("hardening-"), std::string::npos) << line;
        }
    }
    ASSERT_EQ(Sh("dpkg-deb -e " + Quote(deb) + " " + Quote(control)).status, 0);

    // The scripts parse, and the first install makes the system user kestrun
    // in group dialout; the logrotate snippet is a conffile.
    for (const char* script : {"postinst", "prerm", "postrm"})
        EXPECT_EQ(Sh("sh -n " + Quote(control + "/" + script)).status, 0) << script;
    Bytes postinst = ReadFile(control + "/postinst");
    EXPECT_NE(postinst.find("adduser --system"), std::string::npos) << postinst;
    EXPECT_NE(postinst.find("--ingroup dialout"), std::string::npos);
    EXPECT_NE(postinst.find(" kestrun\n"), std::string::npos);
    EXPECT_EQ(ReadFile(control + "/conffiles"), "/etc/logrotate.d/kestrun\n");

    // The man pages are made: roff with their title, in the section of the
    // folder they are in.
    Shell man = Sh("gzip -dc " + Quote(root + "/usr/share/man/man8/kestrun.8.gz"));
    EXPECT_NE(man.out.find(".TH \"kestrun\" \"8\""), std::string::npos) << man.out.substr(0, 200);
    man = Sh("gzip -dc " + Quote(root + "/usr/share/man/man1/kestrun-attach.1.gz"));
    EXPECT_NE(man.out.find(".TH \"kestrun-attach\" \"1\""), std::string::npos) << man.out.substr(0, 200);

    // The copyright file is in the machine-readable format, and the newest
    // changelog entry is this version's.
    const std::string doc = root + "/usr/share/doc/kestrun/";
    const std::string format = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n";
    EXPECT_EQ(ReadFile(doc + "copyright").find(format), 0u);
    Shell changelog = Sh("gzip -dc " + Quote(doc + "changelog.gz"));
    EXPECT_EQ(changelog.out.find(std::string("kestrun (") + getenv("KESTRUN_VERSION") + ") "), 0u) << changelog.out;

    // The unit: verified by systemd-analyze (with the
    // daemon's path pointed into the extracted tree, as the check wants the
    // program to exist), and running hardened as the service's user.
    const std::string unitPath = root + "/usr/lib/systemd/system/kestrun.service";
    Bytes unit = ReadFile(unitPath);
    for (const char* line : {"User=kestrun\n", "Group=dialout\n", "StateDirectory=kestrun\n",
                             "ExecStart=/usr/bin/kestrun -C /var/lib/kestrun", "ExecReload=/bin/kill -HUP $MAINPID\n",
                             "NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "ProtectHome=yes\n",
                             "PrivateTmp=yes\n", "DevicePolicy=closed\n", "DeviceAllow=char-ttyS rw\n",
                             "DeviceAllow=char-ttyUSB rw\n", "DeviceAllow=char-ttyACM rw\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    {
        ASSERT_EQ(Sh("command -v systemd-analyze").status, 0)
            << "no systemd-analyze: scripts/install-deps.sh check installs it";
        std::string verifyDir = dir / "verify";
        mkdir(verifyDir.c_str(), 0755);
        std::string copy = unit;
        size_t at = copy.find("ExecStart=/usr/bin/kestrun ");
        ASSERT_NE(at, std::string::npos);
        copy.replace(at + 10, 16, root + "/usr/bin/kestrun");
        WriteFile(verifyDir + "/kestrun.service", copy);
        Shell verify = Sh("systemd-analyze verify --man=no " + Quote(verifyDir + "/kestrun.service"));
        EXPECT_EQ(verify.status, 0) << verify.out;
        EXPECT_EQ(verify.out, "") << "systemd-analyze has a complaint";
        // Confined: an exposure of 2.5 or lower out of 10.
        Shell security = Sh("systemd-analyze security --offline=true --no-pager " +
                            Quote(verifyDir + "/kestrun.service"));
        const std::string overall = "Overall exposure level for kestrun.service: ";
        size_t score = security.out.find(overall);
        ASSERT_NE(score, std::string::npos) << security.out;
        EXPECT_LE(atof(security.out.c_str() + score + overall.size()), 2.5) << security.out;
    }

    // The packaged setup tool and daemon, run from the extracted tree in a
    // state folder of their own, as the unit runs them.
    const std::string state = dir / "state";
    mkdir(state.c_str(), 0755);
    int tcp = FreePort(), udp = FreePort();
    Shell setup = Sh("cd " + Quote(state) + " && " + Quote(root + "/usr/bin/kestrun-setup") + " tcpPort=" +
                     std::to_string(tcp) + " udpPort=" + std::to_string(udp) + " logPath=kestrun.log");
    ASSERT_EQ(setup.status, 0) << setup.out;
    EXPECT_EQ(Sh(Quote(root + "/usr/bin/kestrun") + " --version").out,
              std::string("kestrun ") + getenv("KESTRUN_VERSION") + "\n");
    pid_t pid = Spawn({root + "/usr/bin/kestrun", "-C", state}, dir.path, {"XDG_RUNTIME_DIR=" + dir.path});
    EXPECT_EQ(AskTest(tcp), 0) << ReadFile(dir / "stderr.txt");
    EXPECT_EQ(StopChild(pid, true, kWait), 0);
    EXPECT_NE(ReadFile(state + "/kestrun.log").find("Koniec programu"), std::string::npos);

    // A remote KILL ends the daemon with a status after which the unit
    // starts it again: a shop is not left without its bridge.
    pid = Spawn({root + "/usr/bin/kestrun", "-C", state}, dir.path, {});
    EXPECT_EQ(AskTest(tcp), 0) << ReadFile(dir / "stderr.txt");
    {
        TcpClient c(tcp, kWait);
        c.Send(Esc("KILL"));
    }
    int killed = WaitChild(pid, kWait);
    if (killed < 0) StopChild(pid, false, 0);
    EXPECT_GE(killed, 0) << "KILL did not end the daemon";
    EXPECT_TRUE(RestartsAfterExit(unit, killed)) << "exit status " << killed;
    // A wrong command line is not retried for ever.
    Shell wrong = Sh(Quote(root + "/usr/bin/kestrun") + " --no-such-option");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_FALSE(RestartsAfterExit(unit, wrong.status));

    // The packaged kestrun-attach runs: without its two arguments it prints
    // its usage and ends with status 2.
    Shell attach = Sh(Quote(root + "/usr/bin/kestrun-attach"));
    EXPECT_EQ(attach.status, 2) << attach.out;
    EXPECT_EQ(attach.out.find("usage: kestrun-attach HOST[:PORT] COMn"), 0u) << attach.out;
}

// The maintainer scripts as dpkg runs them on a machine without systemd (a
// container): in a mount namespace of their own, over copies of /etc and the
// unit folder and over empty /var/lib and /var/log, so that this machine's
// users and folders are not touched, and with /run/systemd hidden.
TEST(Package, DebianScriptsWithoutSystemdMakeTheUserAndItsClosedFolders) {
    if (IsWine()) GTEST_SKIP() << "the Debian package is the Linux build's";
    const char* deb = getenv("KESTRUN_DEB");
    ASSERT_TRUE(deb && FileExists(deb)) << "no package: the fixture test package_deb builds it";
    TempDir dir;
    const std::string control = dir / "control", root = dir / "root";
    ASSERT_EQ(Sh("dpkg-deb -e " + Quote(deb) + " " + Quote(control)).status, 0);
    ASSERT_EQ(Sh("dpkg-deb -x " + Quote(deb) + " " + Quote(root)).status, 0);
    const std::string etc = dir / "etc", units = dir / "units", lib = dir / "lib", log = dir / "log";
    Shell copied = Sh("cp -a /etc " + Quote(etc) + " && cp -a /usr/lib/systemd/system " + Quote(units) +
                      " && cp " + Quote(root + "/usr/lib/systemd/system/kestrun.service") + " " + Quote(units) +
                      " && mkdir " + Quote(lib) + " " + Quote(log));
    ASSERT_EQ(copied.status, 0) << copied.out;
    auto run = [&](const std::string& script, const std::string& args) {
        return "DPKG_MAINTSCRIPT_PACKAGE=kestrun DPKG_MAINTSCRIPT_NAME=" + script + " sh " +
               Quote(control + "/" + script) + " " + args + "\n";
    };
    const std::string folders = "stat -c '%n %U %G %a' /var/lib/kestrun /var/log/kestrun\n";
    const std::string wants = "/etc/systemd/system/multi-user.target.wants/kestrun.service";
    const std::string script =
        "set -e\n"
        "mount --bind " + Quote(etc) + " /etc\n"
        "mount --bind " + Quote(units) + " /usr/lib/systemd/system\n"
        "mount --bind " + Quote(lib) + " /var/lib\n"
        "mount --bind " + Quote(log) + " /var/log\n"
        "if [ -d /run/systemd ]; then mount -t tmpfs none /run/systemd; fi\n" +
        run("postinst", "configure") + folders + "echo group: $(id -gn kestrun)\n" +
        "echo enabled: $(readlink " + wants + ")\n" +
        // An upgrade keeps all this.
        run("postinst", "configure 1.0.0") + folders + run("prerm", "remove") + run("postrm", "remove") +
        "test -d /var/lib/kestrun && echo kept after remove\n" + run("postrm", "purge") +
        "test -e /var/lib/kestrun || test -e /var/log/kestrun || echo gone after purge\n"
        "test -e " + wants + " || echo disabled after purge\n";
    Shell r = Sh("unshare -m sh -c " + Quote(script));
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* line : {"/var/lib/kestrun kestrun dialout 750\n", "/var/log/kestrun kestrun dialout 750\n",
                             "group: dialout\n", "enabled: /lib/systemd/system/kestrun.service\n",
                             "kept after remove\n", "gone after purge\n", "disabled after purge\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    const std::string again = "/var/log/kestrun kestrun dialout 750\n";
    EXPECT_NE(r.out.find(again, r.out.find(again) + 1), std::string::npos) << "not after the upgrade\n" << r.out;
}

// ---- Windows installer ----

static std::string WineRun(const std::string& args) {
    return Quote(getenv("KESTRUN_WINE")) + " " + args;
}

// A Unix path as Wine's Z: drive names it.
static std::string WindowsPath(const std::string& path) {
    std::string w = "Z:" + path;
    std::replace(w.begin(), w.end(), '/', '\\');
    return w;
}

// Every file named name under dir (bounded depth).
static void FindFiles(const std::string& dir, const std::string& name, std::vector<std::string>& found, int depth = 0) {
    if (depth > 8) return;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        std::string path = dir + "/" + entry;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            FindFiles(path, name, found, depth + 1);
        else if (entry == name)
            found.push_back(path);
    }
    closedir(d);
}

// Whether a 64-bit Windows image may be loaded anywhere (ASLR, also above
// 4 GiB, with the base relocations that takes) and runs no data (DEP); why
// holds what was read.
static bool MovableAndNoExecData(const Bytes& image, std::string* why) {
    auto le = [&](size_t at, int width) {
        uint32_t v = 0;
        for (int i = width - 1; i >= 0; i--) v = v << 8 | (at + i < image.size() ? (uint8_t)image[at + i] : 0);
        return v;
    };
    size_t optional = le(0x3C, 4) + 24;  // after "PE\0\0" and the file header
    uint32_t magic = le(optional, 2), flags = le(optional + 70, 2), relocations = le(optional + 156, 4);
    *why = "magic " + std::to_string(magic) + ", DllCharacteristics " + std::to_string(flags) +
           ", base relocations " + std::to_string(relocations) + " bytes";
    const uint32_t highEntropyVa = 0x20, dynamicBase = 0x40, nxCompat = 0x100;
    return image.compare(0, 2, "MZ") == 0 && magic == 0x20B && relocations > 0 &&
           (flags & (highEntropyVa | dynamicBase | nxCompat)) == (highEntropyVa | dynamicBase | nxCompat);
}

// What the command line of the installed program's Wine process holds.
static const char kInstalledProgram[] = "Kestrun\\kestrun.exe";

// Whether the installed program runs in this run's Wine prefix (another
// run's, in its own prefix, is not ours to see or stop); with kill, it is
// stopped.
static bool InstalledRuns(const std::string& prefix, bool kill = false) {
    return ProcessRuns(kInstalledProgram, kill, "WINEPREFIX=" + prefix);
}

// Whatever happened, no installed program is left running and nothing is
// left installed for the next run: no program, no service, no working folder.
struct InstallCleanup {
    std::string prefix, uninstall, data, exe;
    void Run() {
        InstalledRuns(prefix, true);
        Sh(uninstall);
        Sh(WineRun("sc delete Kestrun"));
        Sh("rm -rf " + Quote(data));
        // Wine leaves a service's program that had not quite ended.
        Sh("rm -f " + Quote(exe));
    }
    ~InstallCleanup() { Run(); }
};

// The paths of one installed MSI in this run's prefix, and a clean start.
struct Installed {
    std::string prefix, drive, exe, data, install, uninstall;
};

static bool InstalledPaths(Installed* in) {
    const char* msi = getenv("KESTRUN_MSI");
    if (!msi || !FileExists(msi)) return false;
    Shell prefix = Sh(WineRun("--prefix"));
    if (prefix.status != 0) return false;
    in->prefix = prefix.out.substr(0, prefix.out.find('\n'));
    in->drive = in->prefix + "/drive_c";
    in->exe = in->drive + "/Program Files/Kestrun/kestrun.exe";
    in->data = in->drive + "/ProgramData/Kestrun";
    in->install = "msiexec /i " + Quote(WindowsPath(msi)) + " /qn";
    in->uninstall = "msiexec /x " + Quote(WindowsPath(msi)) + " /qn";
    return true;
}

TEST(Package, WindowsInstallerInstallsStartsInItsFolderAndUninstallsKeepingSetup) {
    if (!IsWine()) GTEST_SKIP() << "the MSI is tested under Wine";
    const char* zip = getenv("KESTRUN_ZIP");
    Installed in;
    ASSERT_TRUE(InstalledPaths(&in)) << "no MSI: the fixture test package_msi builds it";
    const std::string &prefixPath = in.prefix, &drive = in.drive, &exe = in.exe, &data = in.data;
    // Left over from an earlier run that failed half-way.
    InstallCleanup cleanup{prefixPath, WineRun(in.uninstall), data, exe};
    cleanup.Run();

    Shell r = Sh(WineRun(in.install));
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_TRUE(FileExists(exe));
    std::string why;
    EXPECT_TRUE(MovableAndNoExecData(ReadFile(exe), &why)) << why;
    std::vector<std::string> links;
    FindFiles(drive + "/ProgramData/Microsoft/Windows/Start Menu", "Kestrun.lnk", links);
    FindFiles(drive + "/users", "Kestrun.lnk", links);
    ASSERT_EQ(links.size(), 2u) << "expected a Start-menu and a Startup shortcut";
    std::string startup;
    for (const std::string& link : links)
        if (link.find("/StartUp/") != std::string::npos || link.find("/Startup/") != std::string::npos) startup = link;
    ASSERT_FALSE(startup.empty()) << links[0] << "\n" << links[1];

    // The zip carries the same program.
    if (zip) {
        Shell names = Sh("unzip -Z1 " + Quote(zip));
        EXPECT_EQ(names.out, "Kestrun/\nKestrun/kestrun.exe\n");
        Shell bytes = Sh("unzip -p " + Quote(zip) + " Kestrun/kestrun.exe | cmp - " + Quote(exe));
        EXPECT_EQ(bytes.status, 0) << bytes.out;
    }

    // Started through the Startup shortcut it works in the shortcut's folder:
    // the ports come from the setup.dat placed there.
    struct stat st;
    ASSERT_EQ(stat(data.c_str(), &st), 0) << "the installer makes the working folder";
    int tcp = FreePort(), udp = FreePort();
    kt::Setup setup;
    setup.Int(kOffTcpPort, tcp).Int(kOffUdpPort, udp);
    setup.Write(data);
    Bytes setupBytes = ReadFile(data + "/setup.dat");
    r = Sh(WineRun("start /unix " + Quote(startup)));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(AskTest(tcp), 0);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(data + "/k.log").find("Start programu") != std::string::npos; }, kWait));
    {
        TcpClient c(tcp, kWait);
        c.Send(Esc("KILL"));
    }
    EXPECT_TRUE(WaitUntil([&] { return !InstalledRuns(prefixPath); }, kWait * 2));

    r = Sh(WineRun(in.uninstall));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(FileExists(exe));
    for (const std::string& link : links) EXPECT_FALSE(FileExists(link)) << link;
    EXPECT_EQ(ReadFile(data + "/setup.dat"), setupBytes);
}

TEST(Package, WindowsInstallerWithServiceStartsItWithItsOptionsAndRemovesIt) {
    if (!IsWine()) GTEST_SKIP() << "the MSI is tested under Wine";
    Installed in;
    ASSERT_TRUE(InstalledPaths(&in)) << "no MSI: the fixture test package_msi builds it";
    InstallCleanup cleanup{in.prefix, WineRun(in.uninstall), in.data, in.exe};
    cleanup.Run();

    // The service starts at install, so its settings are there before.
    ASSERT_EQ(Sh("mkdir -p " + Quote(in.data)).status, 0);
    int tcp = FreePort(), udp = FreePort();
    kt::Setup setup;
    setup.Int(kOffTcpPort, tcp).Int(kOffUdpPort, udp);
    setup.Write(in.data);

    // A mistyped SERVICE stops the install before anything is put in place.
    Shell r = Sh(WineRun(in.install + " SERVICE=yes"));
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_FALSE(FileExists(in.exe));

    int64_t started = NowMs();
    r = Sh(WineRun(in.install + " SERVICE=1 " + Quote("OPTIONS=--no-remote-kill --allow 127.0.0.0/8")));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(AskTest(tcp), 0) << ReadFile(in.data + "/k.log");
    printf("install to first TEST answered: %lld ms\n", (long long)(NowMs() - started));
    Shell query = Sh(WineRun("sc query Kestrun"));
    EXPECT_EQ(query.status, 0) << query.out;
    EXPECT_NE(query.out.find("RUNNING"), std::string::npos) << query.out;
    std::vector<std::string> links;
    FindFiles(in.drive + "/ProgramData/Microsoft/Windows/Start Menu", "Kestrun.lnk", links);
    FindFiles(in.drive + "/users", "Kestrun.lnk", links);
    EXPECT_TRUE(links.empty()) << "a shortcut beside the service: " << links[0];

    // OPTIONS reached it whole: a remote KILL is ignored.
    {
        TcpClient c(tcp, kWait);
        c.Send(Esc("KILL"));
    }
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(in.data + "/k.log").find("KILL pominiety") != std::string::npos; }, kWait));
    EXPECT_EQ(AskTest(tcp), 0) << "KILL ended the service";

    // Uninstalling stops it through its stop handler and removes it.
    int64_t stopping = NowMs();
    r = Sh(WineRun(in.uninstall));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(WaitUntil([&] { return !InstalledRuns(in.prefix); }, kWait));
    printf("uninstall to the service's end: %lld ms\n", (long long)(NowMs() - stopping));
    EXPECT_NE(Sh(WineRun("sc query Kestrun")).status, 0) << "the service is still registered";
    Bytes log = ReadFile(in.data + "/k.log");
    EXPECT_NE(log.find("Koniec programu", log.size() > 200 ? log.size() - 200 : 0), std::string::npos) << log;
}

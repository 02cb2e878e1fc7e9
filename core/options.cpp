// The shared command line: -C, --allow, --no-remote-kill, --log-max-bytes,
// --help and --version for both programs; --service and --set for
// kestrun.exe. Nothing here touches the system: each program's entry acts
// on the result.
#include "core/options.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "bridge/protocol.h"
#include "log/log.h"
#include "net/net.h"
#include "net/rfc2217_server.h"

static std::string Usage(OptionsProgram program) {
    if (program == kDaemonOptions)
        return "usage: kestrun [-C DIR] [--allow ADDR[/BITS]]... [--no-remote-kill]\n"
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
               "SIGHUP re-reads setup.dat; SIGTERM or SIGINT stops the bridge.\n";
    return "usage: kestrun.exe [-C DIR] [--allow ADDR[/BITS]]... [--no-remote-kill]\n"
           "                   [--log-max-bytes N] [--rfc2217 [ADDR:]PORT=COMn]... [--service]\n"
           "       kestrun.exe [-C DIR] --set field=value...\n"
           "       kestrun.exe --help | --version\n"
           "Runs the serial port bridge in the tray, or under the Service Control\n"
           "Manager with --service. The working folder holds setup.dat and the spool\n"
           "folder.\n"
           "  -C DIR              run in DIR instead of the current folder (the service's\n"
           "                      default is %ProgramData%\\Kestrun)\n"
           "  --allow ADDR[/BITS] take connections and datagrams only from these IPv4\n"
           "                      addresses (repeatable; others are refused and logged)\n"
           "  --no-remote-kill    the KILL command from the network is logged and ignored\n"
           "                      (always so for the service)\n"
           "  --log-max-bytes N   above N bytes the log is renamed to <name>.1 and started\n"
           "                      afresh (default 10485760)\n"
           "  --rfc2217 [ADDR:]PORT=COMn\n"
           "                      serve COMn to RFC 2217 clients on PORT (repeatable)\n"
           "  --service           run as the Kestrun service (started by the SCM)\n"
           "  --set field=value...  change these fields of setup.dat and end; the field\n"
           "                      names are those kestrun-setup lists on Linux\n"
           "  --help              this text\n"
           "  --version           the version\n"
           "A running service re-reads setup.dat on sc control Kestrun paramchange.\n";
}

// One --allow entry: a network in host order and its mask.
struct AllowEntry {
    uint32_t network, mask;
};
// Filled while the command line is parsed, before any server starts; only
// read once they run.
static std::vector<AllowEntry> allowList;

// "A.B.C.D" or "A.B.C.D/BITS": the address as ReadDottedAddress takes it
// (leading zeros too), BITS 0-32.
static bool ParseAllow(const char* text, AllowEntry& entry) {
    uint32_t address = 0;
    const char* p = ReadDottedAddress(text, &address);
    if (!p) return false;
    int bits = 32;
    if (*p == '/') {
        p++;
        if (!(*p >= '0' && *p <= '9')) return false;
        bits = *p++ - '0';
        if (*p >= '0' && *p <= '9') bits = bits * 10 + (*p++ - '0');
        if (bits > 32) return false;
    }
    if (*p != 0) return false;
    entry.mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    entry.network = address & entry.mask;
    return true;
}

static bool AllowPeer(uint32_t address) {
    for (const AllowEntry& e : allowList)
        if ((address & e.mask) == e.network) return true;
    return false;
}

static int Wrong(OptionsProgram program, const std::string& why, std::string& text) {
    text = (program == kDaemonOptions ? "kestrun: " : "kestrun.exe: ") + why + "\n" + Usage(program);
    return 2;
}

int ParseProgramOptions(int argc, const char* const* argv, OptionsProgram program, ProgramOptions& options,
                        std::string& text) {
    const bool windows = program == kWindowsOptions;
    allowList.clear();
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char* value = nullptr;
        if (arg == "--help" || arg == "-h") {
            text = Usage(program);
            return 0;
        } else if (arg == "--version") {
            text = std::string(windows ? "kestrun.exe " : "kestrun ") + KESTRUN_VERSION + "\n";
            return 0;
        } else if (arg == "--no-remote-kill") {
            options.noRemoteKill = true;
            continue;
        } else if (windows && arg == "--service") {
            options.service = true;
            continue;
        } else if (windows && arg == "--set") {
            // The fields follow, up to the next option.
            int first = i + 1;
            while (i + 1 < argc && argv[i + 1][0] != '-') options.sets.push_back(argv[++i]);
            if (i + 1 == first) return Wrong(program, "--set needs field=value", text);
            continue;
        } else if (arg == "-C" || arg == "--allow" || arg == "--log-max-bytes" || arg == "--rfc2217") {
            if (i + 1 >= argc) return Wrong(program, arg + " needs a value", text);
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
            return Wrong(program, "unknown argument '" + arg.substr(0, 200) + "'", text);
        }
        if (arg == "-C") {
            options.directory = value;
            continue;
        }
        if (arg == "--log-max-bytes") {
            // Digits only, 1 to 10^15: no sign, blank or suffix slips through.
            std::string digits = value;
            if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos ||
                atoll(value) < 1)
                return Wrong(program, "--log-max-bytes " + digits.substr(0, 200) + ": not a number of bytes (1 or more)",
                             text);
            options.logMaxBytes = atoll(value);
            continue;
        }
        if (arg == "--rfc2217") {
            Rfc2217Listener listener, other;
            bool taken = false;
            if (ParseRfc2217Listener(value, &listener))
                for (const std::string& given : options.rfc2217)
                    if (ParseRfc2217Listener(given.c_str(), &other) && other.port == listener.port) taken = true;
            if (!ParseRfc2217Listener(value, &listener) || taken ||
                options.rfc2217.size() >= (size_t)kMaxRfc2217Listeners)
                return Wrong(program,
                             "--rfc2217 " + std::string(value).substr(0, 200) +
                                 ": not [ADDR:]PORT=COMn, a port given twice or more than " +
                                 std::to_string((int)kMaxRfc2217Listeners),
                             text);
            options.rfc2217.push_back(value);
            continue;
        }
        AllowEntry entry;
        if (!ParseAllow(value, entry))
            return Wrong(program,
                         "--allow " + std::string(value).substr(0, 200) + ": not an IPv4 address or ADDR/BITS (0-32)",
                         text);
        allowList.push_back(entry);
    }
    if (!options.sets.empty() && (options.service || !allowList.empty() || options.noRemoteKill))
        return Wrong(program, "--set takes only -C beside it", text);
    return -1;
}

void ApplyProgramOptions(const ProgramOptions& options) {
    ProtocolRefuseKill(options.noRemoteKill);
    if (!allowList.empty()) NetSetPeerFilter(AllowPeer);
    if (options.logMaxBytes > 0) LogSetMaxBytes(options.logMaxBytes);
    for (const std::string& value : options.rfc2217) {
        Rfc2217Listener listener;
        if (ParseRfc2217Listener(value.c_str(), &listener)) AddRfc2217Listener(listener);
    }
}

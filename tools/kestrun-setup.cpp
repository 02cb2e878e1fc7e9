// kestrun-setup: shows and edits setup.dat for the Linux daemon, which has no
// settings dialogs. Texts are shown and taken as UTF-8, stored as Windows-1250.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <string>
#include "base/settings.h"
#include "base/cp1250.h"

enum FieldKind { kInt, kText, kLetter };

struct Field {
    const char* name;
    size_t offset;
    FieldKind kind;
    size_t width;  // bytes in the record, terminator included for texts
    int32_t low, high;
};

static const Field kFields[] = {
    {"autoDisconnectSeconds", kOffAutoDisconnectSeconds, kInt, 4, INT32_MIN, INT32_MAX},
    {"bufferPrints", kOffBufferPrints, kInt, 4, INT32_MIN, INT32_MAX},
    {"spoolDirectory", kOffSpoolDirectory, kText, 200, 0, 0},
    {"tcpEnabled", kOffTcpEnabled, kInt, 4, INT32_MIN, INT32_MAX},
    {"udpEnabled", kOffUdpEnabled, kInt, 4, INT32_MIN, INT32_MAX},
    {"tcpPort", kOffTcpPort, kInt, 4, 0, 65535},
    {"udpPort", kOffUdpPort, kInt, 4, 0, 65535},
    {"portName", kOffPortName, kText, 101, 0, 0},
    {"baudRate", kOffBaudRate, kInt, 4, INT32_MIN, INT32_MAX},
    {"alwaysOpen", kOffAlwaysOpen, kInt, 4, INT32_MIN, INT32_MAX},
    {"parityLetter", kOffParityLetter, kLetter, 1, 0, 0},
    {"stopBits", kOffStopBits, kInt, 4, INT32_MIN, INT32_MAX},
    {"dataBits", kOffDataBits, kInt, 4, INT32_MIN, INT32_MAX},
    {"logPath", kOffLogPath, kText, 101, 0, 0},
    {"interfaceAddress", kOffInterfaceAddress, kText, 101, 0, 0},
    {"virtualPortsEnabled", kOffVirtualPortsEnabled, kInt, 4, INT32_MIN, INT32_MAX},
    {"virtualPeer0", kOffVirtualPeer, kText, 40, 0, 0},
    {"virtualPeer1", kOffVirtualPeer + 40, kText, 40, 0, 0},
    {"virtualPeer2", kOffVirtualPeer + 80, kText, 40, 0, 0},
    {"virtualPortName0", kOffVirtualPortName, kText, 40, 0, 0},
    {"virtualPortName1", kOffVirtualPortName + 40, kText, 40, 0, 0},
    {"virtualPortName2", kOffVirtualPortName + 80, kText, 40, 0, 0},
};

static const Field* FindField(const std::string& name) {
    for (const Field& f : kFields)
        if (name == f.name) return &f;
    return nullptr;
}

static std::string ShowText(const uint8_t* field, size_t width) {
    std::string raw((const char*)field, strnlen((const char*)field, width));
    char utf8[3 * 200 + 1];
    Cp1250ToUtf8(raw.c_str(), utf8, sizeof utf8);
    return utf8;
}

static void Print(const uint8_t* image) {
    for (const Field& f : kFields) {
        const uint8_t* p = image + f.offset;
        if (f.kind == kInt) {
            printf("%s = %d\n", f.name, (int)GetLe32(p));
        } else if (f.kind == kLetter) {
            printf("%s = %s\n", f.name, ShowText(p, 1).c_str());
        } else {
            printf("%s = %s\n", f.name, ShowText(p, f.width).c_str());
        }
    }
}

// Stores one field=value into image; prints why and returns 1 when it cannot.
static int Assign(uint8_t* image, const char* argument) {
    const char* equals = strchr(argument, '=');
    if (!equals) {
        fprintf(stderr, "kestrun-setup: '%s' is not field=value\n", argument);
        return 1;
    }
    std::string name(argument, (size_t)(equals - argument));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    while (!name.empty() && (name[0] == ' ' || name[0] == '\t')) name.erase(0, 1);
    std::string value(equals + 1);
    const Field* f = FindField(name);
    if (!f) {
        fprintf(stderr, "kestrun-setup: unknown field '%s' (run without arguments to list them)\n",
                name.c_str());
        return 1;
    }
    uint8_t* p = image + f->offset;
    if (f->kind == kInt) {
        errno = 0;
        char* end = nullptr;
        long long number = strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != 0 || errno == ERANGE || number < f->low || number > f->high) {
            fprintf(stderr, "kestrun-setup: %s must be a whole number from %d to %d, not '%s'\n",
                    f->name, (int)f->low, (int)f->high, value.c_str());
            return 1;
        }
        PutLe32(p, (int32_t)number);
        return 0;
    }
    std::string stored;
    if (Utf8ToCp1250(value, stored) != 0) {
        fprintf(stderr, "kestrun-setup: %s: '%s' has characters that Windows-1250 cannot hold\n",
                f->name, value.c_str());
        return 1;
    }
    if (f->kind == kLetter) {
        if (stored.size() > 1) {
            fprintf(stderr, "kestrun-setup: parityLetter is one letter (N, E or O), not '%s'\n",
                    value.c_str());
            return 1;
        }
        p[0] = stored.empty() ? 0 : (uint8_t)stored[0];
        return 0;
    }
    if (stored.size() > f->width - 1) {
        fprintf(stderr, "kestrun-setup: %s holds at most %d bytes, '%s' needs %d\n", f->name,
                (int)(f->width - 1), value.c_str(), (int)stored.size());
        return 1;
    }
    memset(p, 0, f->width);
    memcpy(p, stored.data(), stored.size());
    return 0;
}

// The file is replaced whole (written beside, then renamed over), so the
// daemon never reads a half-written record, which it would take for the
// defaults.
static int WriteImage(const std::string& path, const uint8_t* image) {
    int error = WriteSettingsFile(path.c_str(), image);
    if (error) fprintf(stderr, "kestrun-setup: %s: %s\n", path.c_str(), strerror(error));
    return error ? 1 : 0;
}

static void Usage(FILE* to) {
    fprintf(to,
            "usage: kestrun-setup [-f FILE] [field=value ...]\n"
            "Without values, prints FILE (default ./setup.dat) as field = value lines.\n"
            "With values, sets those fields and writes FILE. A missing FILE is\n"
            "created with the defaults. Apply to a running bridge with SIGHUP\n"
            "(systemctl reload kestrun).\n");
}

int main(int argc, char** argv) {
    std::string path = "setup.dat";
    int first = 1;
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "-f") == 0) {
        if (argc < 3) {
            Usage(stderr);
            return 2;
        }
        path = argv[2];
        first = 3;
    }

    uint8_t image[kSettingsSize];
    struct stat st;
    bool missing = stat(path.c_str(), &st) != 0 && errno == ENOENT;
    if (ReadSettingsFile(path.c_str(), image) != 0 && !missing) {
        fprintf(stderr, "kestrun-setup: %s is not a whole %d-byte record; showing the defaults\n",
                path.c_str(), (int)kSettingsSize);
    }

    // Every value is checked before anything is written.
    for (int i = first; i < argc; i++)
        if (Assign(image, argv[i]) != 0) return 2;

    if (missing || first < argc) {
        if (WriteImage(path, image) != 0) return 1;
    }
    if (first >= argc) Print(image);
    return 0;
}

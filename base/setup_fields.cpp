// The fields of setup.dat by name: the listing and the checked assignment
// that kestrun-setup (Linux) and kestrun.exe --set (Windows) share. Values
// are taken and shown as UTF-8 and stored as Windows-1250.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "base/cp1250.h"
#include "base/settings.h"

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

std::string SetupFieldListing(const uint8_t image[kSettingsSize]) {
    std::string out;
    for (const Field& f : kFields) {
        const uint8_t* p = image + f.offset;
        out += f.name;
        out += " = ";
        if (f.kind == kInt)
            out += std::to_string((int)GetLe32(p));
        else
            out += ShowText(p, f.kind == kLetter ? 1 : f.width);
        out += "\n";
    }
    return out;
}

int SetupFieldAssign(uint8_t image[kSettingsSize], const char* argument, std::string& why) {
    char text[512];
    const char* equals = strchr(argument, '=');
    if (!equals) {
        snprintf(text, sizeof text, "'%.200s' is not field=value", argument);
        why = text;
        return 1;
    }
    std::string name(argument, (size_t)(equals - argument));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    while (!name.empty() && (name[0] == ' ' || name[0] == '\t')) name.erase(0, 1);
    std::string value(equals + 1);
    const Field* f = FindField(name);
    if (!f) {
        why = "unknown field '" + name.substr(0, 200) + "'";
        return 2;
    }
    uint8_t* p = image + f->offset;
    if (f->kind == kInt) {
        errno = 0;
        char* end = nullptr;
        long long number = strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != 0 || errno == ERANGE || number < f->low || number > f->high) {
            snprintf(text, sizeof text, "%s must be a whole number from %d to %d, not '%.200s'", f->name,
                     (int)f->low, (int)f->high, value.c_str());
            why = text;
            return 1;
        }
        PutLe32(p, (int32_t)number);
        return 0;
    }
    std::string stored;
    if (Utf8ToCp1250(value, stored) != 0) {
        snprintf(text, sizeof text, "%s: '%.200s' has characters that Windows-1250 cannot hold", f->name,
                 value.c_str());
        why = text;
        return 1;
    }
    if (f->kind == kLetter) {
        if (stored.size() > 1) {
            snprintf(text, sizeof text, "parityLetter is one letter (N, E or O), not '%.200s'", value.c_str());
            why = text;
            return 1;
        }
        p[0] = stored.empty() ? 0 : (uint8_t)stored[0];
        return 0;
    }
    if (stored.size() > f->width - 1) {
        snprintf(text, sizeof text, "%s holds at most %d bytes, '%.200s' needs %d", f->name, (int)(f->width - 1),
                 value.c_str(), (int)stored.size());
        why = text;
        return 1;
    }
    memset(p, 0, f->width);
    memcpy(p, stored.data(), stored.size());
    return 0;
}

int EditSetupFile(const char* path, const char* const* fields, int count, uint8_t image[kSettingsSize],
                  const char* program, std::string& messages) {
    char text[512];
    FILE* probe = fopen(path, "rb");
    bool missing = !probe && errno == ENOENT;
    if (probe) fclose(probe);
    if (ReadSettingsFile(path, image) != 0 && !missing) {
        snprintf(text, sizeof text, "%s: %.300s is not a whole %d-byte record; showing the defaults\n", program,
                 path, (int)kSettingsSize);
        messages += text;
    }
    for (int i = 0; i < count; i++) {
        std::string why;
        int result = SetupFieldAssign(image, fields[i], why);
        if (result == 0) continue;
        messages += std::string(program) + ": " + why +
                    (result == 2 ? " (run without arguments to list them)\n" : "\n");
        return 2;
    }
    if (!missing && count == 0) return 0;
    int error = WriteSettingsFile(path, image);
    if (error == 0) return 0;
    snprintf(text, sizeof text, "%s: %.300s: %s\n", program, path, strerror(error));
    messages += text;
    return 1;
}

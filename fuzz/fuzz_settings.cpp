// Any bytes as setup.dat: loaded with LoadSettings, saved with SaveSettings
// in a folder of the target's own. Checks:
//   - a file shorter than 788 bytes loads the defaults;
//   - every text field of the loaded record ends within its width;
//   - the saved file is 788 bytes: the file's first 788 bytes, except that a
//     zero TCP or UDP port reads as 1336 or 1337, and a text field with no
//     terminator within its width gets one in its last byte (a record that
//     no program of ours writes: it is made readable, not kept as it was);
//   - loading the saved file and saving it again gives the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include "base/settings.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "PROPERTY FAILED: %s\n", what);
    abort();
}

struct Text {
    size_t offset, width;
};
const Text kTexts[] = {{kOffSpoolDirectory, 200}, {kOffPortName, 101},       {kOffLogPath, 101},
                       {kOffInterfaceAddress, 101}, {kOffVirtualPeer, 40},     {kOffVirtualPeer + 40, 40},
                       {kOffVirtualPeer + 80, 40},  {kOffVirtualPortName, 40}, {kOffVirtualPortName + 40, 40},
                       {kOffVirtualPortName + 80, 40}};

bool Init() {
    std::random_device random;
    auto dir = std::filesystem::temp_directory_path() /
               ("kestrun-fuzz-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    return true;
}

void WriteFile(const uint8_t* data, size_t size) {
    FILE* f = fopen("setup.dat", "wb");
    if (!f) Fail("setup.dat cannot be written");
    if (size) fwrite(data, 1, size, f);
    fclose(f);
}

std::vector<uint8_t> ReadFile() {
    std::vector<uint8_t> bytes;
    FILE* f = fopen("setup.dat", "rb");
    if (!f) Fail("setup.dat was not saved");
    uint8_t buffer[1024];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    return bytes;
}

void CheckTerminated() {
    const SettingsRecord& r = settingsRecord;
    const char* fields[] = {r.spoolDirectory,     r.portName,           r.logPath,
                            r.interfaceAddress,   r.virtualPeer[0],     r.virtualPeer[1],
                            r.virtualPeer[2],     r.virtualPortName[0], r.virtualPortName[1],
                            r.virtualPortName[2]};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++)
        if (!memchr(fields[i], 0, kTexts[i].width)) Fail("a text field does not end within its width");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Init();
    (void)ready;
    WriteFile(data, size);
    LoadSettings();
    CheckTerminated();
    SaveSettings();
    std::vector<uint8_t> saved = ReadFile();
    if (saved.size() != kSettingsSize) Fail("the saved file is not 788 bytes");

    std::vector<uint8_t> expected(kSettingsSize);
    if (size < kSettingsSize) {
        DefaultSettingsImage(expected.data());
    } else {
        memcpy(expected.data(), data, kSettingsSize);
        if (GetLe32(expected.data() + kOffTcpPort) == 0) PutLe32(expected.data() + kOffTcpPort, 1336);
        if (GetLe32(expected.data() + kOffUdpPort) == 0) PutLe32(expected.data() + kOffUdpPort, 1337);
        for (const Text& t : kTexts)
            if (!memchr(expected.data() + t.offset, 0, t.width)) expected[t.offset + t.width - 1] = 0;
    }
    if (saved != expected) Fail("the saved file differs from the file loaded");

    LoadSettings();
    CheckTerminated();
    SaveSettings();
    if (ReadFile() != saved) Fail("a second load and save changed the file");
    return 0;
}

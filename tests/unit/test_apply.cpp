// Applying changed settings: which change restarts what (the dialogs' rules),
// the start-up rule for both servers off, and the reload of setup.dat.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#endif
#include <cstring>
#include <string>
#include "core/core.h"
#include "base/settings.h"
#include "log/log.h"
#include "serial/serial.h"
#include "unit_util.h"

struct Change {
    const char* what;
    void (*edit)(uint8_t* image);
    int actions;
};

static void SetText(uint8_t* image, size_t offset, size_t width, const char* text) {
    memset(image + offset, 0, width);
    memcpy(image + offset, text, strlen(text));
}

TEST(Apply, EachFieldRestartsExactlyWhatDependsOnIt) {
    const Change changes[] = {
        {"nothing", [](uint8_t*) {}, 0},
        {"tcpPort", [](uint8_t* i) { PutLe32(i + kOffTcpPort, 2000); }, kRestartTcp | kRestartUdp},
        {"udpPort", [](uint8_t* i) { PutLe32(i + kOffUdpPort, 2001); }, kRestartTcp | kRestartUdp},
        {"interface", [](uint8_t* i) { SetText(i, kOffInterfaceAddress, 101, "127.0.0.1"); },
         kRestartTcp | kRestartUdp},
        // Bytes after the terminator are not part of the address text.
        {"interface junk", [](uint8_t* i) { i[kOffInterfaceAddress + 50] = 'x'; }, 0},
        {"tcpEnabled", [](uint8_t* i) { PutLe32(i + kOffTcpEnabled, 0); }, kRestartTcp},
        {"udpEnabled", [](uint8_t* i) { PutLe32(i + kOffUdpEnabled, 0); }, kRestartUdp},
        {"portName", [](uint8_t* i) { SetText(i, kOffPortName, 101, "COM4"); }, kRestartSerial},
        // The serial run is compared byte for byte, junk after the name included.
        {"portName junk", [](uint8_t* i) { i[kOffPortName + 100] = 'x'; }, kRestartSerial},
        {"baudRate", [](uint8_t* i) { PutLe32(i + kOffBaudRate, 19200); }, kRestartSerial},
        {"alwaysOpen", [](uint8_t* i) { PutLe32(i + kOffAlwaysOpen, 0); }, kRestartSerial},
        {"parityLetter", [](uint8_t* i) { i[kOffParityLetter] = 'E'; }, kRestartSerial},
        {"stopBits", [](uint8_t* i) { PutLe32(i + kOffStopBits, 2); }, kRestartSerial},
        {"dataBits", [](uint8_t* i) { PutLe32(i + kOffDataBits, 7); }, kRestartSerial},
        {"virtualPortsEnabled", [](uint8_t* i) { PutLe32(i + kOffVirtualPortsEnabled, 1); },
         kSwitchVirtual},
        // Fields read where they are used restart nothing.
        {"autoDisconnectSeconds", [](uint8_t* i) { PutLe32(i + kOffAutoDisconnectSeconds, 5); }, 0},
        {"bufferPrints", [](uint8_t* i) { PutLe32(i + kOffBufferPrints, 1); }, 0},
        {"spoolDirectory", [](uint8_t* i) { SetText(i, kOffSpoolDirectory, 200, "elsewhere"); }, 0},
        {"logPath", [](uint8_t* i) { SetText(i, kOffLogPath, 101, "other.log"); }, 0},
        {"virtualPeer", [](uint8_t* i) { SetText(i, kOffVirtualPeer + 40, 40, "10.1.1.1"); }, 0},
        {"virtualPortName", [](uint8_t* i) { SetText(i, kOffVirtualPortName + 80, 40, "COM9"); }, 0},
    };
    uint8_t before[kSettingsSize];
    DefaultSettingsImage(before);
    PutLe32(before + kOffTcpEnabled, 1);
    PutLe32(before + kOffUdpEnabled, 1);
    PutLe32(before + kOffAlwaysOpen, 1);
    PutLe32(before + kOffBaudRate, 9600);
    SetText(before, kOffPortName, 101, "COM3");
    for (const Change& c : changes) {
        uint8_t after[kSettingsSize];
        memcpy(after, before, kSettingsSize);
        c.edit(after);
        EXPECT_EQ(SettingsChangeActions(before, after), c.actions) << c.what;
    }
}


TEST(Apply, ReloadKeepsTheSettingsWhenTheFileIsMissingOrShort) {
    ScopedWorkDir wd;
    uint8_t image[kSettingsSize];
    DefaultSettingsImage(image);
    PutLe32(image + kOffAutoDisconnectSeconds, 77);
    PutLe32(image + kOffTcpEnabled, 1);
    SetText(image, kOffLogPath, 101, "k.log");
    SettingsFromImage(image);
    LogSetPath("k.log");

    EXPECT_EQ(ReloadSettings(), 1);
    WriteFileBytes("setup.dat", std::string(100, '\0'));
    EXPECT_EQ(ReloadSettings(), 1);
    EXPECT_EQ(settingsRecord.autoDisconnectSeconds, 77);
    EXPECT_EQ(settingsRecord.tcpEnabled, 1);
    EXPECT_NE(ReadFileBytes("k.log").find("Blad odczytu setup.dat - ustawienia bez zmian"),
              std::string::npos);
    LogSetPath("");
}

TEST(Apply, ReloadTakesNewFieldsAndSwitchesBothServersOnWhenBothAreOff) {
    ScopedWorkDir wd;
    // Running as after start-up: both servers on in memory, off in the file.
    uint8_t image[kSettingsSize];
    DefaultSettingsImage(image);
    PutLe32(image + kOffTcpEnabled, 1);
    PutLe32(image + kOffUdpEnabled, 1);
    SettingsFromImage(image);

    uint8_t file[kSettingsSize];
    DefaultSettingsImage(file);
    PutLe32(file + kOffAutoDisconnectSeconds, 45);
    SetText(file, kOffVirtualPeer, 40, "modem.example");
    SetText(file, kOffLogPath, 101, "k.log");
    WriteFileBytes("setup.dat", std::string((const char*)file, kSettingsSize));

    EXPECT_EQ(ReloadSettings(), 0);
    EXPECT_EQ(settingsRecord.autoDisconnectSeconds, 45);
    EXPECT_STREQ(settingsRecord.virtualPeer[0], "modem.example");
    EXPECT_EQ(settingsRecord.tcpEnabled, 1);
    EXPECT_EQ(settingsRecord.udpEnabled, 1);
    // Reloading never rewrites the file.
    EXPECT_EQ(ReadFileBytes("setup.dat"), std::string((const char*)file, kSettingsSize));
    EXPECT_NE(ReadFileBytes("k.log").find("Wczytano ponownie setup.dat"), std::string::npos);
    LogSetPath("");
}

TEST(Apply, TheAlwaysOpenPortNameIsUpperCasedInTheRecordAndStoredSo) {
    ScopedWorkDir wd;
    // Typed in lower case, with bytes after the terminator that stay.
    uint8_t file[kSettingsSize];
    DefaultSettingsImage(file);
    SetText(file, kOffPortName, 101, "com99");
    file[kOffPortName + 90] = 'j';
    PutLe32(file + kOffAlwaysOpen, 1);
    PutLe32(file + kOffBaudRate, 9600);
    file[kOffParityLetter] = 'N';
    PutLe32(file + kOffStopBits, 1);
    PutLe32(file + kOffDataBits, 8);
    SetText(file, kOffLogPath, 101, "k.log");
    const std::string stored((const char*)file, kSettingsSize);
    WriteFileBytes("setup.dat", stored);

    // Start-up; there is no such device: the open fails, and the name is
    // upper-cased all the same.
    LoadSettings();
    EnableBothServersWhenBothOff();
    LogSetPath(settingsRecord.logPath);
    StartAlwaysOpenPort();
    EXPECT_STREQ(settingsRecord.portName, "COM99");
    SaveSettings();
    std::string saved = ReadFileBytes("setup.dat");
    ASSERT_EQ(saved.size(), (size_t)kSettingsSize);
    EXPECT_EQ(saved.substr(kOffPortName, 6), std::string("COM99\0", 6));
    EXPECT_EQ(saved[kOffPortName + 90], 'j');

    // The same file again names the same port: no new open.
    WriteFileBytes("setup.dat", stored);
    EXPECT_EQ(ReloadSettings(), 0);
    std::string log = ReadFileBytes("k.log");
    size_t first = log.find("baud=9600 data=8 parity=N stop=1");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("baud=9600 data=8 parity=N stop=1", first + 1), std::string::npos) << log;
    SerialOff();
    LogSetPath("");
}

// A save that cannot finish leaves the old setup.dat whole, and says so.
// Windows: setup.dat is held open without leave to delete it, so the rename
// over it fails; POSIX: the
// process may write no file beyond 512 bytes, so the temporary file's write
// fails.
static void HinderSave(bool on) {
#ifdef _WIN32
    static HANDLE held = INVALID_HANDLE_VALUE;
    if (on) {
        held = CreateFileA("setup.dat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    } else {
        CloseHandle(held);
    }
#else
    static struct rlimit saved;
    if (on) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 512;
        setrlimit(RLIMIT_FSIZE, &small);
    } else {
        setrlimit(RLIMIT_FSIZE, &saved);
    }
#endif
}

TEST(Apply, SaveThatCannotFinishLeavesTheOldFileWholeAndIsLogged) {
    ScopedWorkDir wd;
    uint8_t old[kSettingsSize];
    DefaultSettingsImage(old);
    PutLe32(old + kOffTcpEnabled, 1);
    SetText(old, kOffInterfaceAddress, 101, "127.0.0.1");
    const std::string oldFile((const char*)old, kSettingsSize);
    WriteFileBytes("setup.dat", oldFile);
    LoadSettings();
    LogSetPath("k.log");
    SetSettingsText(settingsRecord.interfaceAddress, sizeof settingsRecord.interfaceAddress, "");

    HinderSave(true);
    int stored = StoreSettings();
    HinderSave(false);
    EXPECT_NE(stored, 0);
    EXPECT_EQ(ReadFileBytes("setup.dat"), oldFile);
    EXPECT_EQ(Count(ReadFileBytes("k.log"), "Error - nie zapisano setup.dat, kod: "), 1);

    // A file under the old temporary name (left by a crash) is not ours to
    // write or move; the save goes on without it and leaves no file of its own.
    WriteFileBytes("setup.dat.new", "left by a crash");
    EXPECT_EQ(StoreSettings(), 0);
    std::string saved = ReadFileBytes("setup.dat");
    ASSERT_EQ(saved.size(), kSettingsSize);
    EXPECT_EQ(saved[kOffInterfaceAddress], '\0');
    EXPECT_EQ(GetLe32((const uint8_t*)saved.data() + kOffTcpEnabled), 1);
    EXPECT_EQ(ReadFileBytes("setup.dat.new"), "left by a crash");
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) files += entry.is_regular_file();
    EXPECT_EQ(files, 3) << "setup.dat, setup.dat.new and k.log only";
    LogSetPath("");
}

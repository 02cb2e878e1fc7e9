// setup.dat: layout offsets, defaults, repair of zero ports, short and long
// files, unterminated text, the byte-identical round trip, and a save that
// writes through no name already in the folder.
#include <gtest/gtest.h>
#include <cstring>
#include <set>
#include "base/bridge.h"
#include "base/settings.h"
#include "serial/serial.h"
#include "unit_util.h"

static std::string Image() {
    uint8_t image[kSettingsSize];
    SettingsToImage(image);
    return std::string((const char*)image, kSettingsSize);
}

static std::string PatternedRecord() {
    std::string r(kSettingsSize, '\0');
    for (size_t i = 0; i < r.size(); i++) r[i] = (char)(i * 7 + 3);
    // Terminate every text field somewhere inside its width, keeping the
    // bytes after the terminator as junk that must survive a round trip.
    const size_t texts[][2] = {{8, 200}, {224, 101}, {342, 101}, {443, 101}};
    for (auto& t : texts) r[t[0] + t[1] / 2] = 0;
    for (int i = 0; i < 6; i++) r[548 + 40 * i + 20] = 0;
    PutLe32((uint8_t*)&r[216], 4000);
    PutLe32((uint8_t*)&r[220], 4001);
    return r;
}

TEST(Settings, MissingEmptyAndShortFilesGiveTheDefaults) {
    ScopedWorkDir wd;
    for (int size : {-1, 0, 787}) {
        if (size >= 0) WriteFileBytes("setup.dat", std::string((size_t)size, '\x55'));
        LoadSettings();
        EXPECT_EQ(settingsRecord.autoDisconnectSeconds, 20);
        EXPECT_EQ(settingsRecord.bufferPrints, 0);
#ifdef _WIN32
        EXPECT_STREQ(settingsRecord.spoolDirectory, "C:\\SERVBUFF");
#else
        EXPECT_STREQ(settingsRecord.spoolDirectory, "SERVBUFF");
#endif
        EXPECT_EQ(settingsRecord.tcpEnabled, 0);
        EXPECT_EQ(settingsRecord.udpEnabled, 0);
        EXPECT_EQ(settingsRecord.tcpPort, 1336);
        EXPECT_EQ(settingsRecord.udpPort, 1337);
        EXPECT_STREQ(settingsRecord.portName, "");
        EXPECT_EQ(settingsRecord.alwaysOpen, 0);
        EXPECT_STREQ(settingsRecord.logPath, "");
        EXPECT_EQ(settingsRecord.virtualPortsEnabled, 0);
        // Loading never creates the file.
        if (size < 0) {
            EXPECT_FALSE(std::filesystem::exists("setup.dat"));
        }
    }
}

TEST(Settings, FieldsSitAtTheirOffsetsIncludingUnalignedOnes) {
    ScopedWorkDir wd;
    std::string r(kSettingsSize, '\0');
    PutLe32((uint8_t*)&r[0], 45);
    PutLe32((uint8_t*)&r[4], 1);
    memcpy(&r[8], "D:\\SPOOL", 8);
    PutLe32((uint8_t*)&r[208], 1);
    PutLe32((uint8_t*)&r[212], 1);
    PutLe32((uint8_t*)&r[216], 2000);
    PutLe32((uint8_t*)&r[220], 2001);
    memcpy(&r[224], "COM4", 4);
    PutLe32((uint8_t*)&r[325], 115200);
    PutLe32((uint8_t*)&r[329], 1);
    r[333] = 'E';
    PutLe32((uint8_t*)&r[334], 2);
    PutLe32((uint8_t*)&r[338], 7);
    memcpy(&r[342], "k.log", 5);
    memcpy(&r[443], "127.0.0.1", 9);
    PutLe32((uint8_t*)&r[544], 1);
    memcpy(&r[548 + 40], "modem.example", 13);
    memcpy(&r[668 + 80], "COM12", 5);
    WriteFileBytes("setup.dat", r);
    LoadSettings();
    EXPECT_EQ(settingsRecord.autoDisconnectSeconds, 45);
    EXPECT_EQ(settingsRecord.bufferPrints, 1);
    EXPECT_STREQ(settingsRecord.spoolDirectory, "D:\\SPOOL");
    EXPECT_EQ(settingsRecord.tcpPort, 2000);
    EXPECT_EQ(settingsRecord.udpPort, 2001);
    EXPECT_STREQ(settingsRecord.portName, "COM4");
    EXPECT_EQ(settingsRecord.baudRate, 115200);
    EXPECT_EQ(settingsRecord.alwaysOpen, 1);
    EXPECT_EQ(settingsRecord.parityLetter, 'E');
    EXPECT_EQ(settingsRecord.stopBits, 2);
    EXPECT_EQ(settingsRecord.dataBits, 7);
    EXPECT_STREQ(settingsRecord.logPath, "k.log");
    EXPECT_STREQ(settingsRecord.interfaceAddress, "127.0.0.1");
    EXPECT_EQ(settingsRecord.virtualPortsEnabled, 1);
    EXPECT_STREQ(settingsRecord.virtualPeer[1], "modem.example");
    EXPECT_STREQ(settingsRecord.virtualPortName[2], "COM12");
    EXPECT_EQ(Image(), r);
}

TEST(Settings, ZeroPortsAreRepairedAndNothingElse) {
    ScopedWorkDir wd;
    std::string r(kSettingsSize, '\0');
    WriteFileBytes("setup.dat", r);
    LoadSettings();
    EXPECT_EQ(settingsRecord.tcpPort, 1336);
    EXPECT_EQ(settingsRecord.udpPort, 1337);
    EXPECT_EQ(settingsRecord.autoDisconnectSeconds, 0);
    EXPECT_EQ(settingsRecord.tcpEnabled, 0);
    EXPECT_STREQ(settingsRecord.spoolDirectory, "");
}

TEST(Settings, RoundTripIsByteIdenticalAndLongFilesUseTheirFirst788Bytes) {
    ScopedWorkDir wd;
    std::string r = PatternedRecord();
    WriteFileBytes("setup.dat", r + std::string(212, 'x'));
    LoadSettings();
    EXPECT_EQ(settingsRecord.tcpPort, 4000);
    SaveSettings();
    std::string saved = ReadFileBytes("setup.dat");
    ASSERT_EQ(saved.size(), kSettingsSize);
    EXPECT_EQ(saved, r);
}

// A file linked under the old fixed temporary name is neither written nor
// moved; each save makes a temporary file of its own and leaves none behind.
TEST(Settings, SaveWritesThroughNoNameAlreadyInTheFolder) {
    ScopedWorkDir wd;
    WriteFileBytes("other.txt", "not the settings");
    std::filesystem::create_hard_link("other.txt", "setup.dat.new");
    std::string r = PatternedRecord();
    for (int i = 0; i < 3; i++) {
        r[0] = (char)i;
        ASSERT_EQ(WriteSettingsFile("setup.dat", (const uint8_t*)r.data()), 0);
        EXPECT_EQ(ReadFileBytes("setup.dat"), r);
    }
    EXPECT_EQ(ReadFileBytes("other.txt"), "not the settings");
    EXPECT_EQ(ReadFileBytes("setup.dat.new"), "not the settings");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"other.txt", "setup.dat", "setup.dat.new"}));
}

TEST(Settings, UnterminatedTextIsMadeSafe) {
    ScopedWorkDir wd;
    std::string r(kSettingsSize, 'A');
    PutLe32((uint8_t*)&r[216], 1);
    PutLe32((uint8_t*)&r[220], 2);
    WriteFileBytes("setup.dat", r);
    LoadSettings();
    EXPECT_EQ(strlen(settingsRecord.spoolDirectory), 199u);
    EXPECT_EQ(strlen(settingsRecord.portName), 100u);
    EXPECT_EQ(strlen(settingsRecord.logPath), 100u);
    EXPECT_EQ(strlen(settingsRecord.interfaceAddress), 100u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(strlen(settingsRecord.virtualPeer[i]), 39u);
        EXPECT_EQ(strlen(settingsRecord.virtualPortName[i]), 39u);
    }
    char copy[300];
    SettingsText(copy, sizeof copy, settingsRecord.logPath);
    EXPECT_EQ(strlen(copy), 100u);
}

TEST(BridgeState, CommandBlockLayoutAndInitialValues) {
    ResetBridgeState();
    const CommandBlock& b = bridge.commandBlock;
    const uint8_t* base = (const uint8_t*)&b;
    EXPECT_EQ(sizeof(CommandBlock), 2089u);
    EXPECT_EQ((const uint8_t*)&b.commandLine - base, 4);
    EXPECT_EQ(offsetof(CommandBlock, commandLength), 2052u);
    EXPECT_EQ(offsetof(CommandBlock, comNumber), 2056u);
    EXPECT_EQ(offsetof(CommandBlock, baud), 2060u);
    EXPECT_EQ(offsetof(CommandBlock, dataBits), 2064u);
    EXPECT_EQ(offsetof(CommandBlock, parity), 2068u);
    EXPECT_EQ(offsetof(CommandBlock, stopBits), 2069u);
    EXPECT_EQ(offsetof(CommandBlock, timeout1), 2073u);
    EXPECT_EQ(offsetof(CommandBlock, timeout2), 2077u);
    EXPECT_EQ(offsetof(CommandBlock, timeout3), 2081u);
    EXPECT_EQ(offsetof(CommandBlock, typ), 2085u);
    EXPECT_EQ(GetLe32(base + 2056), 1);
    EXPECT_EQ(GetLe32(base + 2060), 9600);
    EXPECT_EQ(GetLe32(base + 2064), 8);
    EXPECT_EQ(base[2068], 'N');
    EXPECT_EQ(GetLe32(base + 2069), 1);
    EXPECT_EQ(GetLe32(base + 2073), 10);
    EXPECT_EQ(GetLe32(base + 2077), 50);
    EXPECT_EQ(GetLe32(base + 2081), 0);
    EXPECT_EQ(GetLe32(base + 2085), 0);
    for (int i = 0; i < kStatCount; i++) EXPECT_EQ(bridge.Statistics[i], 0);
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(bridge.selectedVirtualSlot, -1);
    EXPECT_EQ(RtsState(), 1);
    EXPECT_EQ(DtrState(), 1);
    EXPECT_EQ(bridge.ReplyTarget.load(), nullptr);
}

TEST(BridgeState, OpenPortNameIsClearedWholeAndNeverOverrun) {
    ResetBridgeState();
    SetOpenPortName("COM3-and-a-rather-long-name-that-keeps-going-on");
    char name[41];
    GetOpenPortName(name);
    EXPECT_EQ(strlen(name), 40u);
    SetOpenPortName("");
    for (char c : bridge.openPortName) EXPECT_EQ(c, 0);
}

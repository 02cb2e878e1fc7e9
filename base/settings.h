// The settings record: the bridge's whole configuration, held in memory and
// stored as the 788-byte file setup.dat (packed, little-endian, no header).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Byte layout of setup.dat. The in-memory record below is converted to and
// from this image field by field, so the file format never depends on the
// compiler's struct layout.
enum : size_t {
    kSettingsSize = 788,
    kOffAutoDisconnectSeconds = 0,
    kOffBufferPrints = 4,
    kOffSpoolDirectory = 8,
    kOffTcpEnabled = 208,
    kOffUdpEnabled = 212,
    kOffTcpPort = 216,
    kOffUdpPort = 220,
    kOffPortName = 224,
    kOffBaudRate = 325,
    kOffAlwaysOpen = 329,
    kOffParityLetter = 333,
    kOffStopBits = 334,
    kOffDataBits = 338,
    kOffLogPath = 342,
    kOffInterfaceAddress = 443,
    kOffVirtualPortsEnabled = 544,
    kOffVirtualPeer = 548,      // 3 x 40
    kOffVirtualPortName = 668,  // 3 x 40
    kSerialRunBegin = 224,      // portName .. dataBits: compared as one run
    kSerialRunSize = 118,
};

enum : int { kVirtualSlots = 3 };

// Integer fields are atomic: the main thread writes them while the server,
// serial and spool threads read them. Text fields are written only under
// settingsLock; threads other than the main thread read them only through
// SettingsText (which takes the lock), the main thread may read them directly.
struct SettingsRecord {
    std::atomic<int32_t> autoDisconnectSeconds{0};
    std::atomic<int32_t> bufferPrints{0};
    char spoolDirectory[200];
    std::atomic<int32_t> tcpEnabled{0};
    std::atomic<int32_t> udpEnabled{0};
    std::atomic<int32_t> tcpPort{0};
    std::atomic<int32_t> udpPort{0};
    char portName[101];
    std::atomic<int32_t> baudRate{0};
    std::atomic<int32_t> alwaysOpen{0};
    std::atomic<char> parityLetter{0};
    std::atomic<int32_t> stopBits{0};
    std::atomic<int32_t> dataBits{0};
    char logPath[101];
    char interfaceAddress[101];
    std::atomic<int32_t> virtualPortsEnabled{0};
    char virtualPeer[kVirtualSlots][40];
    char virtualPortName[kVirtualSlots][40];
};

extern SettingsRecord settingsRecord;
extern std::mutex settingsLock;

// Fills the record from setup.dat in the working directory, or with the
// defaults when the file is missing or shorter than 788 bytes.
void LoadSettings();
// Writes the whole record to setup.dat through WriteSettingsFile; 0 saved,
// else the system's error code (the caller reports it).
int SaveSettings();
// Replaces the file at path with a whole record: a temporary file in the same
// folder, made anew under a name of its own ("<path>.new-..."), is written,
// flushed to the disk and renamed over the old one, so a crash or a failure
// at any point leaves the old file or the new one, never a short one, and
// nothing already in the folder is written through. 0 done, else the
// system's error code, with the old file as it was and the temporary file
// removed.
int WriteSettingsFile(const char* path, const uint8_t image[kSettingsSize]);

// Image conversion (the exact bytes of setup.dat). FromImage takes
// settingsLock itself and makes every text field end within its width.
void SettingsToImage(uint8_t image[kSettingsSize]);
void SettingsFromImage(const uint8_t image[kSettingsSize]);
// Reads setup.dat into image; returns 0 when a whole record was read, 1 when
// the file is missing or short (image then holds the defaults).
int ReadSettingsFile(const char* path, uint8_t image[kSettingsSize]);
void DefaultSettingsImage(uint8_t image[kSettingsSize]);

// The record's fields by name (setup_fields.cpp), for the tools that edit
// setup.dat without the dialogs. Every field as "name = value" lines, texts
// as UTF-8.
std::string SetupFieldListing(const uint8_t image[kSettingsSize]);
// Stores one "field=value" (value in UTF-8) into image after checking it
// as the field needs. 0 stored; 1 a bad value and 2 an unknown field, with
// why holding the reason (one line, without the program's name).
int SetupFieldAssign(uint8_t image[kSettingsSize], const char* argument, std::string& why);
// Applies count "field=value" arguments to the setup.dat at path: every
// value is checked before anything is written, a missing file starts from
// the defaults (and is written even with no fields), and the file is
// replaced whole through WriteSettingsFile. image ends as the record the
// file holds. 0 done; 2 a bad value (nothing written); 1 the file could not
// be written. Every problem adds a line to messages, led by program.
int EditSetupFile(const char* path, const char* const* fields, int count, uint8_t image[kSettingsSize],
                  const char* program, std::string& messages);
// ---- Platform seam (settings_posix.cpp / settings_win32.cpp) ----
// The default spool folder of this platform.
extern const char kDefaultSpoolDirectory[];
// Writes data to a temporary file it creates exclusively in the folder of
// path, flushes it to the disk and renames it over path; 0 done, else the
// error code, with the temporary file removed.
int ReplaceFileWith(const char* path, const uint8_t* data, size_t size);

// Copies a text field of the record (or any text guarded by settingsLock)
// into out, always terminated; safe from any thread.
void SettingsText(char* out, size_t outSize, const char* field);
// Stores text into a field under settingsLock, cut to width - 1 characters.
void SetSettingsText(char* field, size_t width, const char* text);

// Little-endian helpers shared by every packed image in the program.
int32_t GetLe32(const uint8_t* p);
void PutLe32(uint8_t* p, int32_t v);

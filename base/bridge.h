// The bridge state: the one run-time record shared by every thread (port
// owner, command block, statistics, virtual-port slots, housekeeping).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// A device or socket handle as a plain integer: a Win32 HANDLE or SOCKET, or
// a POSIX descriptor. -1 means none.
using Handle = intptr_t;
enum : Handle { kNoHandle = -1 };

// One accepted TCP connection (control client or modem): its socket, or
// kNoHandle when free. A connection is named everywhere by a pointer to its cell; the
// cell tables (net/) are static, so a pointer stays valid for the whole run,
// reads as free once the connection ends, and reaches a client accepted later
// into the same cell. sendLock keeps a send from meeting the close of the
// socket on the owning server thread. cut marks a connection that is being
// ended (a client that stopped taking data, or its server stopping): sends
// to it fail at once until its server has freed the cell.
struct ClientCell {
    std::atomic<Handle> socket{kNoHandle};
    std::atomic<bool> cut{false};
    std::mutex sendLock;
};

// The packed 2089-byte command block. A spool job stores its image whole, so
// the in-memory order and widths are the file format. Integers are unaligned
// by design; touch them only by name (never through pointers or references).
// The shared block holds only the line parameters; each client's line lives
// in its own session (bridge/protocol.h), and the first three fields are
// filled only in a job's header: 1, the line that started the job, its length.
#pragma pack(push, 1)
struct CommandBlock {
    int32_t inCommand;
    char commandLine[2048];
    int32_t commandLength;
    // The line parameters, shared by every client: they keep their values
    // from one client to the next.
    int32_t comNumber;
    int32_t baud;
    int32_t dataBits;
    char parity;
    int32_t stopBits;
    int32_t timeout1;
    int32_t timeout2;
    int32_t timeout3;
    int32_t typ;
};
#pragma pack(pop)
static_assert(sizeof(CommandBlock) == 2089, "command block image is 2089 bytes");

enum : int {
    kStatBuffered = 0,
    kStatPrinted = 1,
    kStatConnections = 2,
    kStatAutoDisconnects = 3,
    kStatTcpConnections = 4,
    kStatUdpDatagrams = 5,
    kStatVirtualConnections = 6,
    kStatCount = 7,
    kLocalAddresses = 10,
};

// Tray icons are named by their resource ids; 0 is "no icon".
enum : int { kIconNone = 0, kIconClosed = 130, kIconActivity = 137, kIconOpen = 139 };

struct BridgeState {
    // Port owner (the serial port's own state is in serial/). openPortName
    // and virtualStatus are guarded by textLock.
    char openPortName[41];
    std::atomic<int32_t> spoolFile{-1};  // the open job file, -1 none
    std::atomic<ClientCell*> ReplyTarget{nullptr};

    // Guarded by the protocol lock (bridge/protocol.h); deviceType mirrors its TYP
    // so that the serial threads can read the device type without that lock.
    // Its inCommand, commandLine and commandLength stay zero.
    CommandBlock commandBlock;
    std::atomic<int32_t> deviceType{0};

    std::atomic<int32_t> Statistics[kStatCount];
    int32_t statsSnapshot[kStatCount];  // main thread only

    // Virtual-port slots.
    char virtualStatus[3][100];
    std::atomic<int32_t> virtualUseCount[3];
    std::atomic<ClientCell*> virtualSlots[3];
    std::atomic<int32_t> selectedVirtualSlot{-1};
    std::atomic<int32_t> virtualServerState{0};

    // Housekeeping; printTicks, activityHold, baseIcon, trayIcon and
    // localAddresses belong to the main thread.
    std::atomic<int32_t> IdleTicks{0};
    // Whether the port's line is fast and its last write went out without
    // waiting on it: the control servers then take bulk receives (written by
    // the serial layer, read by the servers).
    std::atomic<bool> PortKeepsUp{false};
    std::atomic<int32_t> dispatcherRunning{0};
    std::atomic<int32_t> ActivityCounter{0};
    int32_t activityHold;
    int32_t printTicks;
    int32_t baseIcon;
    int32_t trayIcon;
    char localAddresses[kLocalAddresses][16];

    // UDP side: the control socket and the last sender (IPv4 address in
    // network order in the high 32 bits, port in network order in the low 16).
    std::atomic<Handle> udpSocket{kNoHandle};
    std::atomic<uint64_t> lastUdpSender{0};

    std::mutex textLock;
};

extern BridgeState bridge;

// Puts every field back to its initial value (start of the program; tests).
void ResetBridgeState();

// The text fields, read and written under textLock.
void GetOpenPortName(char out[41]);
void SetOpenPortName(const char* name);  // cut to 40 characters; clears all 41 bytes first
// Clears all 41 bytes only while the field still holds `name`: the serial
// port's close leaves a virtual port's name that a client chose since.
void ClearOpenPortNameIf(const char* name);
void SetVirtualStatus(int slot, const char* text);
void GetVirtualStatus(int slot, char out[100]);

// The one bridge state and its initial values.
#include "base/bridge.h"
#include <cstring>

BridgeState bridge;

void ResetBridgeState() {
    BridgeState& b = bridge;
    std::lock_guard<std::mutex> guard(b.textLock);
    memset(b.openPortName, 0, sizeof b.openPortName);
    b.spoolFile = -1;
    b.ReplyTarget = nullptr;
    memset(&b.commandBlock, 0, sizeof b.commandBlock);
    b.commandBlock.comNumber = 1;
    b.commandBlock.baud = 9600;
    b.commandBlock.dataBits = 8;
    b.commandBlock.parity = 'N';
    b.commandBlock.stopBits = 1;
    b.commandBlock.timeout1 = 10;
    b.commandBlock.timeout2 = 50;
    b.commandBlock.timeout3 = 0;
    b.commandBlock.typ = 0;
    b.deviceType = 0;
    for (int i = 0; i < kStatCount; i++) {
        b.Statistics[i] = 0;
        b.statsSnapshot[i] = 0;
    }
    memset(b.virtualStatus, 0, sizeof b.virtualStatus);
    for (int i = 0; i < 3; i++) {
        b.virtualUseCount[i] = 0;
        b.virtualSlots[i] = nullptr;
    }
    b.selectedVirtualSlot = -1;
    b.virtualServerState = 0;
    b.IdleTicks = 0;
    b.dispatcherRunning = 0;
    b.ActivityCounter = 0;
    b.activityHold = 0;
    b.printTicks = 0;
    b.baseIcon = kIconNone;
    b.trayIcon = kIconNone;
    memset(b.localAddresses, 0, sizeof b.localAddresses);
    b.udpSocket = kNoHandle;
    b.lastUdpSender = 0;
}

// The initial values hold from the first instruction of the program.
static const bool initialised = (ResetBridgeState(), true);

void GetOpenPortName(char out[41]) {
    std::lock_guard<std::mutex> guard(bridge.textLock);
    memcpy(out, bridge.openPortName, 41);
    out[40] = 0;
}

void SetOpenPortName(const char* name) {
    std::lock_guard<std::mutex> guard(bridge.textLock);
    memset(bridge.openPortName, 0, sizeof bridge.openPortName);
    if (name) strncpy(bridge.openPortName, name, 40);
}

void ClearOpenPortNameIf(const char* name) {
    std::lock_guard<std::mutex> guard(bridge.textLock);
    if (strncmp(bridge.openPortName, name, 40) == 0) memset(bridge.openPortName, 0, sizeof bridge.openPortName);
}

void SetVirtualStatus(int slot, const char* text) {
    std::lock_guard<std::mutex> guard(bridge.textLock);
    memset(bridge.virtualStatus[slot], 0, 100);
    strncpy(bridge.virtualStatus[slot], text, 99);
}

void GetVirtualStatus(int slot, char out[100]) {
    std::lock_guard<std::mutex> guard(bridge.textLock);
    memcpy(out, bridge.virtualStatus[slot], 100);
    out[99] = 0;
}

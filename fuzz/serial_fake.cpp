// The serial device in memory (fuzz build only, in place of the platform
// back end): opens when told to, keeps what is written, never answers. A
// read waits until it is cancelled or 20 ms have passed, as a quiet device
// would.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include "fuzz/fakes.h"
#include "serial/serial.h"

namespace fake {
bool deviceOpens = true;
std::vector<uint8_t> portBytes;
std::vector<std::array<uint8_t, 28>> appliedDcbs;

void ClearDevice() {
    portBytes.clear();
    appliedDcbs.clear();
}
}  // namespace fake

static std::mutex readLock;
static std::condition_variable readWake;
static unsigned cancels = 0;
static uint8_t dcbImage[kDcbSize];

bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits) {
    return baud > 0 && dataBits >= 5 && dataBits <= 8 && stopBits >= 1 && stopBits <= 2;
}

Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet) {
    if (!fake::deviceOpens) return kNoHandle;
    memset(dcbImage, 0, sizeof dcbImage);
    dcbImage[0] = kDcbSize;
    return 7;
}

int PortRead(Handle port, uint8_t* buffer, int size) {
    std::unique_lock<std::mutex> lock(readLock);
    unsigned seen = cancels;
    readWake.wait_for(lock, std::chrono::milliseconds(20), [&] { return cancels != seen; });
    return 0;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    fake::portBytes.insert(fake::portBytes.end(), data, data + count);
    bridge.IdleTicks = 0;
    return count;
}

int PortCancel(Handle port) {
    std::lock_guard<std::mutex> guard(readLock);
    cancels++;
    readWake.notify_all();
    return 0;
}

void PortClose(Handle port) {}
void PortEscape(Handle port, int function) {}

uint8_t PortModemStatus(Handle port) {
    return 0x30;
}

int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    memcpy(dcb, dcbImage, kDcbSize);
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    std::array<uint8_t, 28> applied;
    memcpy(applied.data(), dcb, kDcbSize);
    fake::appliedDcbs.push_back(applied);
    memcpy(dcbImage, dcb, kDcbSize);
    return 0;
}

int PortPurge(Handle port) {
    return 0;
}

// The serial device in memory (fuzz build only, in place of the platform
// back end): opens when told to, keeps what is written, never answers. A
// read waits until the device is cancelled or 20 ms have passed, as a quiet
// device would.
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

// One open device, named by its Handle. A cancel holds until the close.
struct FakePort {
    std::mutex lock;
    std::condition_variable wake;
    bool cancelled = false;
    uint8_t dcbImage[kDcbSize] = {0};
};

static FakePort& Device(Handle port) {
    return *reinterpret_cast<FakePort*>(port);
}

bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits) {
    return baud > 0 && dataBits >= 5 && dataBits <= 8 && stopBits >= 1 && stopBits <= 2;
}

Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet) {
    if (!fake::deviceOpens) return kNoHandle;
    FakePort* device = new FakePort();
    device->dcbImage[0] = kDcbSize;
    return (Handle)device;
}

int PortRead(Handle port, uint8_t* buffer, int size) {
    FakePort& device = Device(port);
    std::unique_lock<std::mutex> lock(device.lock);
    device.wake.wait_for(lock, std::chrono::milliseconds(20), [&] { return device.cancelled; });
    return 0;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    fake::portBytes.insert(fake::portBytes.end(), data, data + count);
    bridge.IdleTicks = 0;
    return count;
}

int PortCancel(Handle port) {
    FakePort& device = Device(port);
    std::lock_guard<std::mutex> guard(device.lock);
    device.cancelled = true;
    device.wake.notify_all();
    return 0;
}

void PortClose(Handle port) {
    delete &Device(port);
}
void PortEscape(Handle port, int function) {}

uint8_t PortModemStatus(Handle port) {
    return 0x30;
}

int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    FakePort& device = Device(port);
    std::lock_guard<std::mutex> guard(device.lock);
    memcpy(dcb, device.dcbImage, kDcbSize);
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    std::array<uint8_t, 28> applied;
    memcpy(applied.data(), dcb, kDcbSize);
    fake::appliedDcbs.push_back(applied);
    FakePort& device = Device(port);
    std::lock_guard<std::mutex> guard(device.lock);
    memcpy(device.dcbImage, dcb, kDcbSize);
    return 0;
}

int PortPurge(Handle port) {
    return 0;
}

// The serial device in memory (fuzz build only, in place of the platform
// back end): opens when told to, keeps what is written and answers every
// write at once (fakes.h). A read waits until an answer is there, the device
// is cancelled or 20 ms have passed, as a quiet device would.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include "fuzz/fakes.h"
#include "serial/serial.h"

// One open device, named by its Handle: the answers not yet read, how many
// the reader has taken and how many it has passed on (it has, once it comes
// back for more), whether a cancel holds (until the close), and its DCB.
struct FakePort {
    std::vector<uint8_t> answers;
    size_t written = 0, taken = 0, passed = 0;
    bool cancelled = false;
    uint8_t dcbImage[kDcbSize] = {0};
};

static std::mutex deviceLock;  // every device's fields, and current
static std::condition_variable deviceWake;
static FakePort* current = nullptr;  // the device opened last, until its close

static FakePort& Device(Handle port) {
    return *reinterpret_cast<FakePort*>(port);
}

namespace fake {
bool deviceOpens = true;
std::vector<uint8_t> portBytes;
std::vector<size_t> writeStarts;
std::vector<std::array<uint8_t, 28>> appliedDcbs;

void ClearDevice() {
    std::lock_guard<std::mutex> guard(deviceLock);
    if (current) {
        current->taken += current->answers.size() / kAnswerSize;
        current->answers.clear();
    }
    portBytes.clear();
    writeStarts.clear();
    appliedDcbs.clear();
}

size_t AnswerNumber(const uint8_t* frame) {
    return (size_t)(frame[1] & 0x3F) << 12 | (size_t)(frame[2] & 0x3F) << 6 | (frame[3] & 0x3F);
}
}  // namespace fake

bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits) {
    return baud > 0 && dataBits >= 5 && dataBits <= 8 && stopBits >= 1 && stopBits <= 2;
}

Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet) {
    if (!fake::deviceOpens) return kNoHandle;
    FakePort* device = new FakePort();
    device->dcbImage[0] = kDcbSize;
    std::lock_guard<std::mutex> guard(deviceLock);
    current = device;
    return (Handle)device;
}

int PortRead(Handle port, uint8_t* buffer, int size, int room) {
    (void)room;
    FakePort& device = Device(port);
    std::unique_lock<std::mutex> lock(deviceLock);
    device.passed = device.taken;
    deviceWake.notify_all();
    deviceWake.wait_for(lock, std::chrono::milliseconds(20),
                        [&] { return device.cancelled || !device.answers.empty(); });
    int n = (int)device.answers.size() < size ? (int)device.answers.size() : size;
    n -= n % fake::kAnswerSize;
    if (n <= 0) return 0;
    memcpy(buffer, device.answers.data(), (size_t)n);
    device.answers.erase(device.answers.begin(), device.answers.begin() + n);
    device.taken += (size_t)n / fake::kAnswerSize;
    return n;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    FakePort& device = Device(port);
    std::unique_lock<std::mutex> lock(deviceLock);
    size_t number = fake::writeStarts.size();
    fake::writeStarts.push_back(fake::portBytes.size());
    fake::portBytes.insert(fake::portBytes.end(), data, data + count);
    bridge.IdleTicks = 0;
    uint8_t frame[fake::kAnswerSize] = {fake::kAnswerLead, (uint8_t)(0x80 | (number >> 12 & 0x3F)),
                                        (uint8_t)(0x80 | (number >> 6 & 0x3F)),
                                        (uint8_t)(0x80 | (number & 0x3F))};
    device.answers.insert(device.answers.end(), frame, frame + fake::kAnswerSize);
    size_t mine = ++device.written;
    deviceWake.notify_all();
    // Bounded: a reader that has stopped would never come back for more.
    deviceWake.wait_for(lock, std::chrono::seconds(1),
                        [&] { return device.passed >= mine || device.cancelled; });
    return count;
}

int PortCancel(Handle port) {
    std::lock_guard<std::mutex> guard(deviceLock);
    Device(port).cancelled = true;
    deviceWake.notify_all();
    return 0;
}

void PortClose(Handle port) {
    std::lock_guard<std::mutex> guard(deviceLock);
    if (current == &Device(port)) current = nullptr;
    delete &Device(port);
}
void PortEscape(Handle port, int function) {}

uint8_t PortModemStatus(Handle port) {
    return 0x30;
}

// Top bits clear: no reply byte looks like an answer frame.
int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    std::lock_guard<std::mutex> guard(deviceLock);
    for (int i = 0; i < kDcbSize; i++) dcb[i] = Device(port).dcbImage[i] & 0x7F;
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    std::array<uint8_t, 28> applied;
    memcpy(applied.data(), dcb, kDcbSize);
    std::lock_guard<std::mutex> guard(deviceLock);
    fake::appliedDcbs.push_back(applied);
    memcpy(Device(port).dcbImage, dcb, kDcbSize);
    return 0;
}

int PortPurge(Handle port, bool input, bool output) {
    return 0;
}

int PortSetBreak(Handle port, bool on) {
    return 0;
}

// The serial device in memory (fuzz build only, in place of the platform
// back end): opens when told to, keeps what is written and answers every
// write at once (fakes.h). A read waits until an answer is there, it is
// cancelled or 20 ms have passed, as a quiet device would.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include "fuzz/fakes.h"
#include "serial/serial.h"

// The device's state: what was written, the answers not yet read, and how
// many answers the reader has taken and how many it has passed on (it has,
// once it comes back for more).
static std::mutex deviceLock;
static std::condition_variable deviceWake;
static std::vector<uint8_t> answers;
static size_t answersWritten = 0, answersTaken = 0, answersPassed = 0;
static unsigned cancels = 0;
static uint8_t dcbImage[kDcbSize];

namespace fake {
bool deviceOpens = true;
std::vector<uint8_t> portBytes;
std::vector<size_t> writeStarts;
std::vector<std::array<uint8_t, 28>> appliedDcbs;

void ClearDevice() {
    std::lock_guard<std::mutex> guard(deviceLock);
    answersTaken += answers.size() / kAnswerSize;
    answers.clear();
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
    memset(dcbImage, 0, sizeof dcbImage);
    dcbImage[0] = kDcbSize;
    return 7;
}

int PortRead(Handle port, uint8_t* buffer, int size) {
    std::unique_lock<std::mutex> lock(deviceLock);
    answersPassed = answersTaken;
    deviceWake.notify_all();
    unsigned seen = cancels;
    deviceWake.wait_for(lock, std::chrono::milliseconds(20),
                        [&] { return cancels != seen || !answers.empty(); });
    int n = (int)answers.size() < size ? (int)answers.size() : size;
    n -= n % fake::kAnswerSize;
    if (n <= 0) return 0;
    memcpy(buffer, answers.data(), (size_t)n);
    answers.erase(answers.begin(), answers.begin() + n);
    answersTaken += (size_t)n / fake::kAnswerSize;
    return n;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    std::unique_lock<std::mutex> lock(deviceLock);
    size_t number = fake::writeStarts.size();
    fake::writeStarts.push_back(fake::portBytes.size());
    fake::portBytes.insert(fake::portBytes.end(), data, data + count);
    bridge.IdleTicks = 0;
    uint8_t frame[fake::kAnswerSize] = {fake::kAnswerLead, (uint8_t)(0x80 | (number >> 12 & 0x3F)),
                                        (uint8_t)(0x80 | (number >> 6 & 0x3F)),
                                        (uint8_t)(0x80 | (number & 0x3F))};
    answers.insert(answers.end(), frame, frame + fake::kAnswerSize);
    size_t mine = ++answersWritten;
    deviceWake.notify_all();
    // Bounded: a reader that has stopped would never come back for more.
    deviceWake.wait_for(lock, std::chrono::seconds(1), [&] { return answersPassed >= mine; });
    return count;
}

int PortCancel(Handle port) {
    std::lock_guard<std::mutex> guard(deviceLock);
    cancels++;
    deviceWake.notify_all();
    return 0;
}

void PortClose(Handle port) {}
void PortEscape(Handle port, int function) {}

uint8_t PortModemStatus(Handle port) {
    return 0x30;
}

// Top bits clear: no reply byte looks like an answer frame.
int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    for (int i = 0; i < kDcbSize; i++) dcb[i] = dcbImage[i] & 0x7F;
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

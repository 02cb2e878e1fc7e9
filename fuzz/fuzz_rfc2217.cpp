// An RFC 2217 session fed a client's stream cut into packets at places the
// input chooses, with the serial port and the sends in memory (fakes.h).
// A plain model of the Telnet framing, kept apart from the session's code,
// says what must happen:
//   - the device receives exactly the client's data bytes, IAC IAC taken
//     as one 255, options and subnegotiations (however long, unknown or
//     cut short) removed, in order;
//   - what the client receives is whole Telnet: its data bytes, IAC
//     un-doubled, are whole answers of the device in order, none twice (some
//     may be missing: a FLOWCONTROL-SUSPEND holds the rest back, and a
//     PURGE-DATA of the receive buffer drops what it held).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "base/bridge.h"
#include "base/settings.h"
#include "bridge/protocol.h"
#include "bridge/rfc2217.h"
#include "fuzz/fakes.h"
#include "log/log.h"
#include "serial/serial.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "PROPERTY FAILED: %s\n", what);
    abort();
}

// The data bytes of a Telnet stream; complete tells whether it ended
// outside any command.
std::vector<uint8_t> DataOf(const std::vector<uint8_t>& in, bool* complete) {
    std::vector<uint8_t> out;
    enum { kData, kIacSeen, kVerb, kSub, kSubIac } state = kData;
    for (uint8_t b : in) {
        switch (state) {
            case kData: if (b == 255) state = kIacSeen; else out.push_back(b); break;
            case kIacSeen:
                if (b == 255) out.push_back(b), state = kData;
                else if (b >= 251) state = kVerb;
                else if (b == 250) state = kSub;
                else state = kData;
                break;
            case kVerb: state = kData; break;
            case kSub: if (b == 255) state = kSubIac; break;
            case kSubIac: state = b == 240 ? kData : kSub; break;
        }
    }
    if (complete) *complete = state == kData;
    return out;
}

ClientCell cell;

bool Init() {
    settingsRecord.bufferPrints = 0;
    settingsRecord.alwaysOpen = 1;
    settingsRecord.virtualPortsEnabled = 0;
    SetSettingsText(settingsRecord.portName, sizeof settingsRecord.portName, "COM1");
    LogSetPath("/dev/null");
    BridgeConnect(nullptr);
    fake::deviceOpens = true;
    char name[] = "COM1";
    if (SerialOpen(name, 9600, 8, 'N', 1, 10, 50, 0) != 0) Fail("the fake port does not open");
    return true;
}

}  // namespace

// Input: the first byte seeds the packet lengths (1 to 64 bytes each), the
// rest is the client's stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Init();
    (void)ready;
    if (size < 1) return 0;
    fake::ClearDevice();
    fake::ClearSends();
    cell.socket = 77;
    if (!Rfc2217Start(cell, 0x7F000001, "COM1")) Fail("the session did not take the free port");
    uint32_t seed = data[0];
    std::vector<uint8_t> stream(data + 1, data + size);
    for (size_t at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % 64;
        if (n > stream.size() - at) n = stream.size() - at;
        Rfc2217Receive(cell, stream.data() + at, (int)n);
        Rfc2217Tick(cell);
        at += n;
    }
    Rfc2217End(cell);
    if (AlwaysOpenPortClaimed()) Fail("the claim outlived the session");
    cell.socket = kNoHandle;

    if (fake::portBytes != DataOf(stream, nullptr)) Fail("the device's bytes are not the client's data bytes");
    std::vector<uint8_t> received;
    for (const fake::Sent& s : fake::Sends()) {
        bool complete = false;
        DataOf(s.bytes, &complete);
        if (!complete) Fail("a send to the client ends inside a Telnet command");
        if (s.socket == 77) received.insert(received.end(), s.bytes.begin(), s.bytes.end());
    }
    std::vector<uint8_t> answers;
    for (size_t i = 0; i < fake::writeStarts.size(); i++) {
        uint8_t frame[fake::kAnswerSize] = {fake::kAnswerLead, (uint8_t)(0x80 | (i >> 12 & 0x3F)),
                                            (uint8_t)(0x80 | (i >> 6 & 0x3F)), (uint8_t)(0x80 | (i & 0x3F))};
        answers.insert(answers.end(), frame, frame + fake::kAnswerSize);
    }
    std::vector<uint8_t> got = DataOf(received, nullptr);
    if (got.size() % fake::kAnswerSize != 0) Fail("the client's data holds part of an answer");
    size_t next = 0;  // the first answer that may come next
    for (size_t at = 0; at < got.size(); at += fake::kAnswerSize) {
        while (next < answers.size() && !std::equal(got.begin() + at, got.begin() + at + fake::kAnswerSize,
                                                    answers.begin() + next))
            next += fake::kAnswerSize;
        if (next >= answers.size()) Fail("the client's data is not the device's answers in order");
        next += fake::kAnswerSize;
    }
    return 0;
}

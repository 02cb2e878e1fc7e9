// The serial port, portable part: port names, opening and closing with the
// SerialPolling thread and its read loop, writes, RTS/DTR, the type-108
// handshake, and the rules that keep a device from being used while another
// thread closes it.
#include "serial/serial.h"
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include "base/settings.h"
#include "log/log.h"

// The one serial port of the program: its device, its reader threads and
// the handshake between them and the close.
struct SerialPort {
    enum State { kClosed, kOpen, kClosing };
    enum ReaderPhase { kStarting, kReading, kEnded };

    // Held by SerialOpen and by each close from beginning to end, so they
    // come one after the other. Guards name, reader, retiring and shutDown.
    std::mutex openClose;
    char name[41] = {0};  // the name the open port was opened by
    // reader reads the open port; retiring is at most one reader of an
    // earlier open that was still handing a block on when its port closed.
    // A reader can only be held up handing a block to the sink, whose sends
    // are bounded, so joining it is bounded too.
    std::thread reader;
    std::thread retiring;
    bool shutDown = false;  // set once, at the program's end

    // Guards the fields below it; `changed` is notified whenever they change
    // in a way that someone waits for.
    std::mutex lock;
    std::condition_variable changed;
    // The number of the latest open. Its reader carries it, so a reader of
    // an earlier open (retiring, or one that starts late) never reads the
    // port of a later one.
    uint32_t run = 0;
    State state = kClosed;
    ReaderPhase readerPhase = kEnded;  // of the reader of `run`
    int users = 0;                     // threads using the device now
    bool lost = false;                 // every read of `run` has failed for 2 s
    // From the close's cancel to its closing line: a reader woken by the
    // cancel logs its stop after that line.
    bool closeLineDue = false;

    // Read by any thread without a lock; device changes under openClose.
    std::atomic<Handle> device{kNoHandle};
    std::atomic<int32_t> rtsState{1};
    std::atomic<int32_t> dtrState{1};
    std::atomic<SerialInputSink> sink{nullptr};
};

// Never destroyed: a program that ends with the port still open must not die
// in the destructor of a running reader.
static SerialPort& serial = *new SerialPort();

// Reads of at most this many bytes; a failing device is retried at this pace.
static const int kReadSize = 2047;
// What one read may take when the driver already holds more than kReadSize.
static const int kReadRoom = 16384;
// A write that takes longer than this waited on the line.
static const int kKeepsUpMs = 20;
// Below this rate a bulk write that finds the driver's queue full would hold
// the thread for seconds; from it on, for a fraction of one.
static const uint32_t kBulkBaud = 115200;
// Whether the open port's line is set to kBulkBaud or faster.
static std::atomic<bool> lineFast{false};
static const int kFailedReadPauseMs = 50;
// A device whose every read has failed for this long (unplugged, its driver
// gone) is taken for lost and closed by the housekeeping tick: a port left
// on a dead device would never come back when the device does.
static const int kLostAfterMs = 2000;
// How long the close waits for the reader before it cancels the device, and
// after, before the reader is left to retire.
static const int kReaderStopMs = 1000;
static const int kReaderEndMs = 200;
// How long SerialOpen waits for its reader to report.
static const int kReaderStartMs = 5000;

static const int kCtsTypes[] = {10,  22,  23,  36,  72,  85,  89,  120, 132,
                                136, 154, 182, 208, 212, 220, 225, 227, 272};

void PortParameterLine(char* out, size_t size, uint32_t baud, int dataBits, char parity, int stopBits) {
    char letter[6];
    EscapeBytes((const uint8_t*)&parity, 1, letter);
    snprintf(out, size, "baud=%lu data=%i parity=%s stop=%i", (unsigned long)baud, dataBits, letter, stopBits);
}

bool IsCtsDeviceType(int typ) {
    for (int t : kCtsTypes)
        if (t == typ) return true;
    return false;
}

int ComNumberOf(const char* name) {
    const char* p = strstr(name, "COM");
    if (!p) return 0;
    p += 3;
    while (isspace((unsigned char)*p)) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long n = 0;
    while (isdigit((unsigned char)*p)) {
        if (n < INT_MAX) n = n * 10 + (*p - '0');
        p++;
    }
    if (n > INT_MAX) n = INT_MAX;
    return negative ? (int)-n : (int)n;
}

void SerialDeviceName(const char* upperName, char* out, size_t outSize) {
    int n = ComNumberOf(upperName);
    if (n > 7)
        snprintf(out, outSize, "\\\\.\\COM%d", n);
    else
        snprintf(out, outSize, "%s", upperName);
}

bool SerialIsOpen() {
    return serial.device.load() != kNoHandle;
}

// Shared use of the open device: true with its handle while the port is open
// (and is the open `onlyRun`, when that is not 0). The close waits until
// every use has ended before it closes the device.
static bool UseDevice(Handle& device, uint32_t onlyRun = 0) {
    std::lock_guard<std::mutex> guard(serial.lock);
    if (serial.state != SerialPort::kOpen || (onlyRun != 0 && serial.run != onlyRun)) return false;
    serial.users++;
    device = serial.device.load();
    return true;
}

static void EndUse() {
    std::lock_guard<std::mutex> guard(serial.lock);
    if (--serial.users == 0 && serial.state == SerialPort::kClosing) serial.changed.notify_all();
}

void SerialSetInputSink(SerialInputSink sink) {
    serial.sink = sink;
}

// Whether the reader of `run` is to go on; the caller holds serial.lock.
static bool Continues(uint32_t run) {
    return serial.run == run && serial.state == SerialPort::kOpen;
}

// The reader's start and end as SerialOpen and the close wait for them; the
// phase is that of the latest open's reader only.
static void PollingStarted(uint32_t run) {
    LogText("Serial Polling - start");
    std::lock_guard<std::mutex> guard(serial.lock);
    if (!Continues(run)) return;
    serial.readerPhase = SerialPort::kReading;
    serial.changed.notify_all();
}

static void PollingEnded(uint32_t run) {
    std::unique_lock<std::mutex> lock(serial.lock);
    serial.changed.wait(lock, [] { return !serial.closeLineDue; });
    lock.unlock();
    LogText("Serial Polling - stop");
    lock.lock();
    if (serial.run != run) return;
    serial.readerPhase = SerialPort::kEnded;
    serial.changed.notify_all();
}

// Waits up to ms while the reader's open goes on.
static void PollingPause(uint32_t run, int ms) {
    std::unique_lock<std::mutex> lock(serial.lock);
    serial.changed.wait_for(lock, std::chrono::milliseconds(ms), [run] { return !Continues(run); });
}

static void MarkLost(uint32_t run) {
    std::lock_guard<std::mutex> guard(serial.lock);
    if (Continues(run)) serial.lost = true;
}

// Writes ACK for every CR the device sent while TYP is 108.
static void AckDeviceLines(const uint8_t* data, int count) {
    for (int i = 0; i < count; i++)
        if (data[i] == 0x0D && bridge.deviceType.load() == kHandshakeType) SerialWriteByte(0x06);
}

// The reader thread of one open: reads with the client's time-outs and hands
// each block on. The buffer is the thread's own: a reader of an earlier run
// may still be passing its last block on.
static void SerialPolling(uint32_t run) {
    uint8_t buffer[kReadRoom];
    std::chrono::steady_clock::time_point failingSince;
    bool failing = false;
    PollingStarted(run);
    Handle device = kNoHandle;
    while (UseDevice(device, run)) {
        int count = PortRead(device, buffer, kReadSize, kReadRoom);
        EndUse();
        if (count != kReadFailed) failing = false;
        if (count > 0) {
            AckDeviceLines(buffer, count);
            SerialInputSink sink = serial.sink;
            if (sink) sink(buffer, count);
        } else if (count == kReadFailed) {
            // A device that fails at once (unplugged, pty closed) is retried
            // at a calm pace; one that keeps failing is reported lost.
            auto now = std::chrono::steady_clock::now();
            if (!failing) failingSince = now;
            failing = true;
            if (now - failingSince >= std::chrono::milliseconds(kLostAfterMs)) MarkLost(run);
            PollingPause(run, kFailedReadPauseMs);
        } else if (count == kReadEmptyAtOnce) {
            // Not issued again back to back; the driver keeps what arrives
            // meanwhile, so a short pause loses nothing.
            PollingPause(run, 10);
        }
    }
    PollingEnded(run);
}

// Cancels what waits on the device, waits for every use to end and closes
// it. The caller holds openClose and has set the state to kClosing.
// PortCancel's result: 0 when the waits were cancelled.
static int CloseDeviceLocked() {
    Handle device = serial.device.load();
    int cancelled = PortCancel(device);
    {
        // Every use ends soon: its waits on the device have been cancelled.
        std::unique_lock<std::mutex> lock(serial.lock);
        serial.changed.wait(lock, [] { return serial.users == 0; });
    }
    PortClose(device);
    serial.device = kNoHandle;
    ClearOpenPortNameIf(serial.name);
    serial.name[0] = 0;
    return cancelled;
}

// Keeps the reader of a closed port as the one retiring thread, after the
// earlier one has ended; the caller holds openClose.
static void RetireReaderLocked() {
    if (serial.retiring.joinable()) serial.retiring.join();
    serial.retiring = std::move(serial.reader);
}

void SerialNameUpperCase(char* name) {
    if (name[0] == '/') return;
    for (char* p = name; *p; p++) *p = (char)toupper((unsigned char)*p);
}

int SerialOpen(char* name, uint32_t baud, int dataBits, char parity, int stopBits, int t1, int t2,
               int t3, bool quiet) {
    if (!name || !name[0]) return 1;
    // openPortName holds 40 characters; a longer name is refused, not cut,
    // so the port a client asked for is never confused with another.
    if (strnlen(name, 41) > 40) return 1;
    SerialNameUpperCase(name);

    std::lock_guard<std::mutex> guard(serial.openClose);
    // Checked under the lock: an open that comes after the shutdown's close
    // sees the flag.
    if (serial.shutDown || serial.device.load() != kNoHandle) return 1;
    Handle device = OpenCommPort(name, baud, dataBits, parity, stopBits, t1, t2, t3, quiet);
    if (device == kNoHandle) return 1;
    lineFast = baud >= kBulkBaud;
    bridge.PortKeepsUp = lineFast.load();
    uint32_t run;
    {
        std::lock_guard<std::mutex> state(serial.lock);
        run = ++serial.run;
        serial.state = SerialPort::kOpen;
        serial.readerPhase = SerialPort::kStarting;
        serial.lost = false;
        serial.device = device;
    }
    snprintf(serial.name, sizeof serial.name, "%s", name);
    SetOpenPortName(name);
    if (serial.reader.joinable()) RetireReaderLocked();
    try {
        serial.reader = std::thread(SerialPolling, run);
    } catch (const std::system_error&) {
        LogText("Error - nie uruchomiono watku SerialPolling");
        {
            std::lock_guard<std::mutex> state(serial.lock);
            serial.state = SerialPort::kClosing;
        }
        CloseDeviceLocked();
        std::lock_guard<std::mutex> state(serial.lock);
        serial.state = SerialPort::kClosed;
        return 1;
    }
    {
        // The reader reports within milliseconds; the wait is bounded all
        // the same, and a reader that reports late still reads this port.
        std::unique_lock<std::mutex> lock(serial.lock);
        serial.changed.wait_for(lock, std::chrono::milliseconds(kReaderStartMs),
                                [] { return serial.readerPhase != SerialPort::kStarting; });
    }
    bridge.IdleTicks = 0;
    return 0;
}

// Closes the open port, if any: asks its reader to stop, gives it a second,
// then cancels what still waits on the device and closes it. The caller
// holds openClose.
static void SerialOffLocked() {
    if (serial.device.load() == kNoHandle) return;
    LogText("Serial Off - start");
    std::unique_lock<std::mutex> lock(serial.lock);
    serial.state = SerialPort::kClosing;
    serial.lost = false;
    serial.changed.notify_all();
    auto ended = [] { return serial.readerPhase == SerialPort::kEnded; };
    bool stopped = serial.changed.wait_for(lock, std::chrono::milliseconds(kReaderStopMs), ended);
    // From here every wait on the device gives up: the reader that did not
    // stop, and writers still waiting for their byte. The closing line comes
    // before the stop line of a reader the cancel woke.
    serial.closeLineDue = true;
    lock.unlock();
    int cancelled = CloseDeviceLocked();
    LogText(stopped || cancelled == 0 ? "Serial Off - stop"
                                      : "Serial Off - stop - Error - nie zatrzymano watku SerialPolling");
    lock.lock();
    serial.state = SerialPort::kClosed;
    serial.closeLineDue = false;
    serial.changed.notify_all();
    // A reader woken by the cancel ends at once; one still handing a block
    // on retires, and its run can no longer touch any port.
    if (!stopped) stopped = serial.changed.wait_for(lock, std::chrono::milliseconds(kReaderEndMs), ended);
    lock.unlock();
    if (serial.reader.joinable()) {
        if (stopped)
            serial.reader.join();
        else
            RetireReaderLocked();
    }
}

void SerialOff() {
    ReleaseAlwaysOpenPort();
    std::lock_guard<std::mutex> guard(serial.openClose);
    SerialOffLocked();
}

void SerialCloseLost() {
    {
        // Each tick asks; only a lost device waits for a running open or close.
        std::lock_guard<std::mutex> state(serial.lock);
        if (!serial.lost) return;
    }
    std::lock_guard<std::mutex> guard(serial.openClose);
    {
        std::lock_guard<std::mutex> state(serial.lock);
        if (!serial.lost || serial.state != SerialPort::kOpen) return;
        serial.lost = false;
    }
    char shown[sizeof serial.name * 5];
    EscapeText(serial.name, shown, sizeof shown);
    LogFormat("Error - port %s nie odpowiada od 2 s - zamknieto", shown);
    // The claim stays: the always-open port's owner keeps it when the port
    // comes back.
    SerialOffLocked();
}

void SerialShutdown() {
    ReleaseAlwaysOpenPort();
    std::lock_guard<std::mutex> guard(serial.openClose);
    serial.shutDown = true;
    SerialOffLocked();
    if (serial.reader.joinable()) serial.reader.join();
    if (serial.retiring.joinable()) serial.retiring.join();
}

int SerialWriteBytes(const uint8_t* data, int count) {
    if (!data || count <= 0) return 0;
    Handle device;
    if (!UseDevice(device)) return 0;
    auto start = std::chrono::steady_clock::now();
    int written = PortWriteBytes(device, data, count);
    EndUse();
    // A write the driver took at once on a fast line: the line keeps up. One
    // that had to wait for room, or a slow line: the servers take one packet
    // per receive, so no client waits on more than a packet's write.
    bridge.PortKeepsUp =
        lineFast && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kKeepsUpMs);
    return written;
}

int SerialWriteByte(uint8_t byte) {
    return SerialWriteBytes(&byte, 1) == 1 ? 0 : 1;
}

// Stores a line's state, then drives the line of an open port to match.
static void SetLine(std::atomic<int32_t>& state, int32_t now, int setFunction, int clearFunction) {
    state = now;
    Handle device;
    if (!UseDevice(device)) return;
    PortEscape(device, now == 1 ? setFunction : clearFunction);
    EndUse();
}

void ToggleRTS() {
    SetLine(serial.rtsState, serial.rtsState.load() == 0 ? 1 : 0, 3, 4);
}

void ToggleDTR() {
    SetLine(serial.dtrState, serial.dtrState.load() == 0 ? 1 : 0, 5, 6);
}

void SetRTS(bool on) {
    SetLine(serial.rtsState, on ? 1 : 0, 3, 4);
}

void SetDTR(bool on) {
    SetLine(serial.dtrState, on ? 1 : 0, 5, 6);
}

int32_t RtsState() {
    return serial.rtsState.load();
}

int32_t DtrState() {
    return serial.dtrState.load();
}

bool IsHandshakeAck(uint8_t byte) {
    return byte == 0x06 && bridge.deviceType.load() == kHandshakeType;
}

uint8_t SerialModemStatus() {
    Handle device;
    if (!UseDevice(device)) return 0;
    uint8_t status = PortModemStatus(device);
    EndUse();
    return status;
}

void SerialGetDcb(uint8_t dcb[kDcbSize]) {
    memset(dcb, 0, kDcbSize);
    Handle device;
    if (!UseDevice(device)) return;
    if (PortGetDcb(device, dcb) != 0) memset(dcb, 0, kDcbSize);
    EndUse();
}

void SerialSetDcb(const uint8_t dcb[kDcbSize]) {
    Handle device;
    if (!UseDevice(device)) return;
    uint32_t baud = (uint32_t)GetLe32(dcb + kDcbOffBaud);
    if (PortSetDcb(device, dcb) == 0) lineFast = baud >= kBulkBaud;
    EndUse();
}

void SerialPurge() {
    SerialPurgeQueues(true, true);
}

void SerialPurgeQueues(bool input, bool output) {
    Handle device;
    if (!UseDevice(device)) return;
    PortPurge(device, input, output);
    EndUse();
}

void SerialSetBreak(bool on) {
    Handle device;
    if (!UseDevice(device)) return;
    PortSetBreak(device, on);
    EndUse();
}

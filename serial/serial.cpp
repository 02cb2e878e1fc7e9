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
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include "log/log.h"

// serialLock orders SerialOpen and SerialOff. portUse is held shared by every
// read, write and line change on the device and exclusively by the close, so
// no thread ever uses a handle (or a reused descriptor) after it is closed.
static std::mutex serialLock;
// The name the open serial port was opened by; guarded by serialLock.
static char serialPortName[41];
static std::shared_mutex portUse;
static std::atomic<int32_t> portClosing{0};
static std::atomic<bool> serialShutDown{false};  // set once, at the program's end
// Each open starts a new run; a SerialPolling thread left over from an
// earlier run (still handing its last block on) ends instead of reading the
// new port.
static std::atomic<uint32_t> pollingRunId{0};
// The run whose port is open and not being closed, 0 once SerialOff has
// begun. runLock makes a reader's start and SerialOff's stop request one
// after the other, so a reader that starts late (after SerialOpen stopped
// waiting, even after the close) sees its port is gone and ends.
static std::mutex runLock;
static std::atomic<uint32_t> openRun{0};
// Held by SerialOff from the cancel to its closing line: a reader woken by
// the cancel logs its stop after that line.
static std::mutex stopLineLock;
// Guarded by serialLock. pollingThread reads the open port; retiringThread
// is at most one reader of an earlier run that had not ended when its port
// closed. A reader can only be held up handing a block to the sink, whose
// sends are bounded, so joining it is bounded too. Never destroyed: a
// program that ends with the port still open must not die in the
// destructor of a running thread.
static std::thread& pollingThread = *new std::thread();
static std::thread& retiringThread = *new std::thread();
// Where device input goes once the handshake has seen it; set from above.
static std::atomic<SerialInputSink> inputSink{nullptr};

// Reads of at most this many bytes; a failing device is retried at this pace.
static const int kReadSize = 2047;
static const int kFailedReadPauseMs = 50;
// A device whose every read has failed for this long (unplugged, its driver
// gone) is taken for lost and closed by the housekeeping tick: a port left
// on a dead device would never come back when the device does.
static const int kLostAfterMs = 2000;
static std::atomic<uint32_t> lostRun{0};  // the open whose device was lost

static const int kCtsTypes[] = {10,  22,  23,  36,  72,  85,  89,  120, 132,
                                136, 154, 182, 208, 212, 220, 225, 227, 272};

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

bool PortClosing() {
    return portClosing.load() != 0;
}

// Shared use of the open device: true with its handle while a port is open
// and not being closed; the device cannot be closed until ReleasePortUse.
static bool AcquirePortUse(Handle& port) {
    if (portClosing.load() || bridge.portHandle.load() == kNoHandle) return false;
    portUse.lock_shared();
    port = bridge.portHandle.load();
    if (portClosing.load() || port == kNoHandle) {
        portUse.unlock_shared();
        return false;
    }
    return true;
}

static void ReleasePortUse() {
    portUse.unlock_shared();
}

void SerialSetInputSink(SerialInputSink sink) {
    inputSink = sink;
}

// SerialPolling's start and end: flags and log lines of the run it belongs
// to. The flags are set only while that run's port is open.
static void PollingStarted(uint32_t run) {
    LogText("Serial Polling - start");
    std::lock_guard<std::mutex> guard(runLock);
    if (openRun.load() != run) return;
    bridge.pollingStopped = 0;
    bridge.pollingRun = 1;
}

static bool PollingContinues(uint32_t run) {
    return bridge.pollingRun.load() && openRun.load() == run;
}

static void PollingEnded(uint32_t run) {
    {
        std::lock_guard<std::mutex> guard(stopLineLock);
        LogText("Serial Polling - stop");
    }
    if (pollingRunId.load() == run) bridge.pollingStopped = 1;
}

// Sleeps up to ms in 10 ms steps while the run continues.
static void PollingPause(uint32_t run, int ms) {
    for (int waited = 0; waited < ms && PollingContinues(run); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    uint8_t buffer[2048];
    std::chrono::steady_clock::time_point failingSince;
    bool failing = false;
    PollingStarted(run);
    while (PollingContinues(run)) {
        Handle port;
        if (!AcquirePortUse(port)) {
            PollingPause(run, 10);
            continue;
        }
        int count = PortRead(port, buffer, kReadSize);
        ReleasePortUse();
        if (count != kReadFailed) failing = false;
        if (count > 0) {
            AckDeviceLines(buffer, count);
            SerialInputSink sink = inputSink;
            if (sink) sink(buffer, count);
        } else if (count == kReadFailed) {
            // A device that fails at once (unplugged, pty closed) is retried
            // at a calm pace; one that keeps failing is reported lost.
            auto now = std::chrono::steady_clock::now();
            if (!failing) failingSince = now;
            failing = true;
            if (now - failingSince >= std::chrono::milliseconds(kLostAfterMs)) lostRun = run;
            PollingPause(run, kFailedReadPauseMs);
        } else if (count == kReadEmptyAtOnce) {
            // Not issued again back to back; the driver keeps what arrives
            // meanwhile, so a short pause loses nothing.
            PollingPause(run, 10);
        }
    }
    PollingEnded(run);
}

// Cancels what waits on the device and closes it; the caller holds
// serialLock. PortCancel's result: 0 when the waits were cancelled.
static int ClosePortLocked(Handle port) {
    portClosing = 1;
    int cancelled = PortCancel(port);
    portUse.lock();
    PortClose(port);
    bridge.portHandle = kNoHandle;
    ClearOpenPortNameIf(serialPortName);
    serialPortName[0] = 0;
    portClosing = 0;
    portUse.unlock();
    return cancelled;
}

// Keeps the reader of a closed port as the one retiring thread, after the
// earlier one has ended; the caller holds serialLock.
static void RetireReaderLocked() {
    if (retiringThread.joinable()) retiringThread.join();
    retiringThread = std::move(pollingThread);
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

    std::lock_guard<std::mutex> guard(serialLock);
    // Checked under the lock: an open that comes after the shutdown's close
    // sees the flag.
    if (serialShutDown || bridge.portHandle.load() != kNoHandle) return 1;
    Handle port = OpenCommPort(name, baud, dataBits, parity, stopBits, t1, t2, t3, quiet);
    if (port == kNoHandle) return 1;
    bridge.portHandle = port;
    bridge.pollingRun = 0;
    snprintf(serialPortName, sizeof serialPortName, "%s", name);
    SetOpenPortName(name);
    uint32_t run = ++pollingRunId;
    openRun = run;
    if (pollingThread.joinable()) RetireReaderLocked();
    try {
        pollingThread = std::thread(SerialPolling, run);
    } catch (const std::system_error&) {
        LogText("Error - nie uruchomiono watku SerialPolling");
        openRun = 0;
        ClosePortLocked(port);
        return 1;
    }
    // The thread reports within milliseconds; the wait is bounded all the
    // same, and a thread that reports late still runs this port.
    for (int i = 0; i < 500 && !bridge.pollingRun.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bridge.IdleTicks = 0;
    return 0;
}

// Closes the open port; only the open `run` when it is not 0.
static void SerialOffRun(uint32_t onlyRun) {
    std::lock_guard<std::mutex> guard(serialLock);
    Handle port = bridge.portHandle.load();
    if (port == kNoHandle) return;
    if (onlyRun != 0 && openRun.load() != onlyRun) return;
    LogText("Serial Off - start");
    {
        std::lock_guard<std::mutex> runGuard(runLock);
        openRun = 0;
        bridge.pollingRun = 0;
    }
    bool stopped = bridge.pollingStopped.load() != 0;
    for (int i = 0; i < 100 && !stopped; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stopped = bridge.pollingStopped.load() != 0;
    }
    {
        // From here every wait on the device gives up: the reader that did
        // not stop, and writers still waiting for their byte. The closing
        // line comes before the stop line of a reader the cancel woke; the
        // reader waits for it holding nothing the close needs.
        std::lock_guard<std::mutex> lines(stopLineLock);
        int cancelled = ClosePortLocked(port);
        LogText(stopped || cancelled == 0 ? "Serial Off - stop"
                                          : "Serial Off - stop - Error - nie zatrzymano watku SerialPolling");
    }
    // A reader woken by the cancel ends at once; one still handing a block
    // on retires, and its run can no longer touch any port.
    for (int i = 0; i < 20 && !stopped; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stopped = bridge.pollingStopped.load() != 0;
    }
    if (pollingThread.joinable()) {
        if (stopped)
            pollingThread.join();
        else
            RetireReaderLocked();
    }
}

void SerialOff() {
    bridge.portClaimed = 0;
    SerialOffRun(0);
}

void SerialCloseLost() {
    uint32_t run = lostRun.exchange(0);
    if (run == 0) return;
    char name[41];
    {
        std::lock_guard<std::mutex> guard(serialLock);
        if (openRun.load() != run) return;
        snprintf(name, sizeof name, "%s", serialPortName);
    }
    LogFormat("Error - port %s nie odpowiada od 2 s - zamknieto", name);
    // The claim stays: the always-open port's owner keeps it when the port
    // comes back.
    SerialOffRun(run);
}

void SerialShutdown() {
    serialShutDown = true;
    SerialOff();
    std::lock_guard<std::mutex> guard(serialLock);
    if (pollingThread.joinable()) pollingThread.join();
    if (retiringThread.joinable()) retiringThread.join();
}

int SerialWriteBytes(const uint8_t* data, int count) {
    if (!data || count <= 0) return 0;
    Handle port;
    if (!AcquirePortUse(port)) return 0;
    int written = PortWriteBytes(port, data, count);
    ReleasePortUse();
    return written;
}

int SerialWriteByte(uint8_t byte) {
    return SerialWriteBytes(&byte, 1) == 1 ? 0 : 1;
}

// Flips the stored state, then drives the line of an open port to match.
static void ToggleLine(std::atomic<int32_t>& state, int setFunction, int clearFunction) {
    int32_t now = state.load() == 0 ? 1 : 0;
    state = now;
    Handle port;
    if (!AcquirePortUse(port)) return;
    PortEscape(port, now == 1 ? setFunction : clearFunction);
    ReleasePortUse();
}

void ToggleRTS() {
    ToggleLine(bridge.rtsState, 3, 4);
}

void ToggleDTR() {
    ToggleLine(bridge.dtrState, 5, 6);
}

bool IsHandshakeAck(uint8_t byte) {
    return byte == 0x06 && bridge.deviceType.load() == kHandshakeType;
}

uint8_t SerialModemStatus() {
    Handle port;
    if (!AcquirePortUse(port)) return 0;
    uint8_t status = PortModemStatus(port);
    ReleasePortUse();
    return status;
}

void SerialGetDcb(uint8_t dcb[kDcbSize]) {
    memset(dcb, 0, kDcbSize);
    Handle port;
    if (!AcquirePortUse(port)) return;
    if (PortGetDcb(port, dcb) != 0) memset(dcb, 0, kDcbSize);
    ReleasePortUse();
}

void SerialSetDcb(const uint8_t dcb[kDcbSize]) {
    Handle port;
    if (!AcquirePortUse(port)) return;
    PortSetDcb(port, dcb);
    ReleasePortUse();
}

void SerialPurge() {
    Handle port;
    if (!AcquirePortUse(port)) return;
    PortPurge(port);
    ReleasePortUse();
}

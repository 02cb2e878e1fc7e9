// The serial port on Windows: one overlapped device handle, an event for each
// read and write, and a cancel event that ends every wait on the device.
// Twin: serial_posix.cpp.
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <new>
#include "base/settings.h"
#include "log/log.h"
#include "serial/serial.h"

static_assert(sizeof(DCB) == kDcbSize, "the DCB image is the platform's DCB");

// One open device, named by its Handle: the overlapped device handle and a
// manual-reset event that PortCancel sets for good. A wait that sees it
// cancels its own operation (CancelIo reaches only the I/O of the thread
// that calls it); PortCancel also cancels all of it by CancelIoEx.
// firstByte: the client asked for reads that return at the first byte
// (MAXDWORD interval and multiplier with a constant); see PortRead.
struct Win32Port {
    HANDLE device;
    HANDLE cancel;
    bool firstByte;
};

static Win32Port& Device(Handle port) {
    return *reinterpret_cast<Win32Port*>(port);
}

static void ParameterText(char* text, size_t size, uint32_t baud, int dataBits, char parity, int stopBits) {
    snprintf(text, size, "baud=%lu data=%i parity=%c stop=%i", (unsigned long)baud, dataBits, parity,
             stopBits);
}

bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits) {
    // The same parameter text OpenCommPort builds its DCB from; a rate of 0
    // passes the text but no driver sets it.
    char text[128];
    ParameterText(text, sizeof text, baud, dataBits, parity, stopBits);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return baud != 0 && BuildCommDCBA(text, &dcb);
}

Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet) {
    // COM8 and above open only by their device name.
    char device[64];
    SerialDeviceName(name, device, sizeof device);
    char text[128];
    ParameterText(text, sizeof text, baud, dataBits, parity, stopBits);
    // The logged line renders the parity letter; the DCB is built from the raw text.
    char shown[128];
    PortParameterLine(shown, sizeof shown, baud, dataBits, parity, stopBits);
    if (!quiet) LogText(shown);

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (BuildCommDCBAndTimeoutsA(text, &dcb, &timeouts)) {
        h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    }
    if (h != INVALID_HANDLE_VALUE) {
        dcb.fParity = 1;
        dcb.fErrorChar = 1;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        if (IsCtsDeviceType(bridge.deviceType.load())) dcb.fOutxCtsFlow = 1;
        timeouts.ReadIntervalTimeout = (DWORD)t1;
        timeouts.ReadTotalTimeoutMultiplier = (DWORD)t3;
        timeouts.ReadTotalTimeoutConstant = (DWORD)t2;
        // Not every driver ends such a read at the first byte (Wine waits for
        // the whole request), so PortRead does it itself: the driver is given
        // the constant alone and PortRead asks for one byte and then for what
        // came with it.
        bool firstByte = (DWORD)t1 == MAXDWORD && (DWORD)t3 == MAXDWORD && (DWORD)t2 > 0 &&
                         (DWORD)t2 < MAXDWORD;
        if (firstByte) timeouts.ReadIntervalTimeout = timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 1000;
        HANDLE cancel = nullptr;
        if (SetCommState(h, &dcb) && SetCommTimeouts(h, &timeouts) && SetupComm(h, 1020, 1024) &&
            (cancel = CreateEventA(nullptr, TRUE, FALSE, nullptr)) != nullptr) {
            if (quiet) LogText(shown);
            return (Handle) new Win32Port{h, cancel, firstByte};
        }
        CloseHandle(h);
    }
    if (!quiet) LogText("Error - blad otwarcia portu COM");
    return kNoHandle;
}

// One overlapped operation with its own copy of the bytes, on the heap. A
// driver that ignores the cancel may complete into it long after the wait
// gave up: such an operation is left allocated for good, never freed under
// the driver, and the thread goes on, so that the close stays bounded.
struct Operation {
    OVERLAPPED ov;
    uint8_t* data;
};

enum : DWORD { kCancelWaitMs = 500 };

static void FreeOperation(Operation* op) {
    if (op->ov.hEvent) CloseHandle(op->ov.hEvent);
    delete[] op->data;
    delete op;
}

static Operation* NewOperation(int size) {
    Operation* op = new (std::nothrow) Operation();
    if (!op) return nullptr;
    op->data = new (std::nothrow) uint8_t[size > 0 ? size : 1];
    op->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!op->data || !op->ov.hEvent) {
        FreeOperation(op);
        return nullptr;
    }
    return op;
}

// Ready for the next call on the same operation; the event stays.
static void ResetOperation(Operation* op) {
    HANDLE event = op->ov.hEvent;
    memset(&op->ov, 0, sizeof op->ov);
    op->ov.hEvent = event;
}

// Waits for an overlapped operation or the device's cancel. A cancelled
// operation is cancelled here, on the thread that issued it, and waited for
// at most kCancelWaitMs; one still pending then is abandoned (see
// Operation).
static bool WaitOverlapped(const Win32Port& port, Operation* op, DWORD* count, bool* abandoned) {
    HANDLE events[2] = {op->ov.hEvent, port.cancel};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(port.device);
        if (WaitForSingleObject(op->ov.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
            *abandoned = true;
            return false;
        }
        GetOverlappedResult(port.device, &op->ov, count, FALSE);
        return false;
    }
    if (GetOverlappedResult(port.device, &op->ov, count, FALSE)) return true;
    return GetLastError() == ERROR_IO_INCOMPLETE;  // counts as completed
}

// One overlapped read of up to want bytes with the port's time-outs: the
// count, 0 when the time-outs ran out first, or kReadFailed.
static int ReadOverlapped(const Win32Port& device, uint8_t* buffer, DWORD want) {
    Operation* op = NewOperation((int)want);
    if (!op) return kReadFailed;
    DWORD count = 0;
    bool ok;
    bool abandoned = false;
    if (ReadFile(device.device, op->data, want, &count, &op->ov))
        ok = true;
    else if (GetLastError() == ERROR_IO_PENDING)
        ok = WaitOverlapped(device, op, &count, &abandoned);
    else
        ok = false;
    if (abandoned) return kReadFailed;
    // A read whose time-outs ran out is a read, not a failure, also where
    // the driver reports it as ERROR_TIMEOUT: only a failing device may be
    // taken for lost.
    if (!ok && GetLastError() == ERROR_TIMEOUT) ok = true;
    if (ok && count > want) count = want;
    if (ok && count > 0) memcpy(buffer, op->data, count);
    FreeOperation(op);
    return ok ? (int)count : kReadFailed;
}

// What the driver holds unread; 0 where it cannot say.
static DWORD QueuedBytes(HANDLE device) {
    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof status);
    if (!ClearCommError(device, &errors, &status)) return 0;
    return status.cbInQue;
}

int PortRead(Handle port, uint8_t* buffer, int size, int room) {
    const Win32Port& device = Device(port);
    DWORD most = (DWORD)(room > size ? room : size);
    ULONGLONG issued = GetTickCount64();
    // A read of no more than the driver holds completes at once whatever the
    // time-outs, so what is queued beyond one read is taken in the same call.
    DWORD queued = QueuedBytes(device.device);
    if (queued > most) queued = most;
    int count;
    if (queued >= (DWORD)size || (device.firstByte && queued > 0)) {
        count = ReadOverlapped(device, buffer, queued);
    } else if (device.firstByte) {
        // The first byte, or nothing once the constant has run out; then
        // what came with it.
        count = ReadOverlapped(device, buffer, 1);
        if (count == 1) {
            queued = QueuedBytes(device.device);
            if (queued > most - 1) queued = most - 1;
            int more = queued > 0 ? ReadOverlapped(device, buffer + 1, queued) : 0;
            if (more > 0) count += more;
        }
    } else {
        count = ReadOverlapped(device, buffer, (DWORD)size);
    }
    // An empty read that returned at once (MAXDWORD interval with zero
    // totals, or a device that reports end of data) is not issued again
    // back to back.
    if (count == 0 && GetTickCount64() - issued < 5) return kReadEmptyAtOnce;
    return count;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    const Win32Port& device = Device(port);
    HANDLE h = device.device;
    Operation* op = NewOperation(count);
    if (!op) return 0;
    memcpy(op->data, data, (size_t)count);
    // The rest of the run goes out in one write; the 1000 ms write time-out
    // applies to each call, so a slow line that keeps taking bytes carries on
    // and only a call that moves nothing ends the run.
    int written = 0;
    bool abandoned = false;
    while (written < count) {
        bridge.IdleTicks = 0;
        ResetOperation(op);
        DWORD done = 0;
        bool ok;
        if (WriteFile(h, op->data + written, (DWORD)(count - written), &done, &op->ov))
            ok = true;
        else if (GetLastError() == ERROR_IO_PENDING)
            ok = WaitOverlapped(device, op, &done, &abandoned);
        else
            ok = false;
        written += (int)done;
        if (!ok || done == 0) break;  // time-out, failure or the port closing
    }
    if (!abandoned) FreeOperation(op);
    return written;
}

int PortCancel(Handle port) {
    const Win32Port& device = Device(port);
    BOOL set = SetEvent(device.cancel);
    // From the closing thread as well: what is pending is cancelled even
    // while its thread is not yet back in its wait.
    CancelIoEx(device.device, nullptr);
    return set ? 0 : 1;
}

void PortClose(Handle port) {
    Win32Port* device = &Device(port);
    CloseHandle(device->device);
    CloseHandle(device->cancel);
    delete device;
}

void PortEscape(Handle port, int function) {
    EscapeCommFunction(Device(port).device, (DWORD)function);
}

uint8_t PortModemStatus(Handle port) {
    DWORD status = 0;
    if (!GetCommModemStatus(Device(port).device, &status)) return 0;
    return (uint8_t)status;
}

int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    DCB d;
    memset(&d, 0, sizeof d);
    d.DCBlength = sizeof d;
    if (!GetCommState(Device(port).device, &d)) return 1;
    memcpy(dcb, &d, kDcbSize);
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    DCB d;
    memcpy(&d, dcb, kDcbSize);
    return SetCommState(Device(port).device, &d) ? 0 : 1;
}

int PortPurge(Handle port, bool input, bool output) {
    DWORD queues = (input ? PURGE_RXCLEAR : 0) | (output ? PURGE_TXCLEAR : 0);
    if (queues == 0) return 0;
    return PurgeComm(Device(port).device, queues) ? 0 : 1;
}

int PortSetBreak(Handle port, bool on) {
    HANDLE device = Device(port).device;
    return (on ? SetCommBreak(device) : ClearCommBreak(device)) ? 0 : 1;
}

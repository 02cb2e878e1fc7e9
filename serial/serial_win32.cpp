// The serial port on Windows: one overlapped device handle, an event for each
// read and write, CancelIo when the reader does not stop.
// Twin: serial_posix.cpp.
#include <windows.h>
#include <cstdio>
#include <cstring>
#include "base/settings.h"
#include "log/log.h"
#include "serial/serial.h"

static_assert(sizeof(DCB) == kDcbSize, "the DCB image is the platform's DCB");


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
    if (!quiet) LogText(text);

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
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 1000;
        if (SetCommState(h, &dcb) && SetCommTimeouts(h, &timeouts) && SetupComm(h, 1020, 1024)) {
            if (quiet) LogText(text);
            return (Handle)h;
        }
        CloseHandle(h);
    }
    if (!quiet) LogText("Error - blad otwarcia portu COM");
    return kNoHandle;
}

// Waits for an overlapped operation in 10 ms steps. When SerialOff closes the
// port the operation is cancelled here, on the thread that issued it (the
// only thread whose I/O CancelIo reaches), and waited for to its end.
static bool WaitOverlapped(HANDLE h, OVERLAPPED* ov, DWORD* count) {
    for (;;) {
        DWORD r = WaitForSingleObject(ov->hEvent, 10);
        if (r == WAIT_OBJECT_0) break;
        if (r != WAIT_TIMEOUT) {
            CancelIo(h);
            GetOverlappedResult(h, ov, count, TRUE);
            return false;
        }
        if (PortClosing()) {
            CancelIo(h);
            GetOverlappedResult(h, ov, count, TRUE);
            return false;
        }
    }
    if (GetOverlappedResult(h, ov, count, FALSE)) return true;
    return GetLastError() == ERROR_IO_INCOMPLETE;  // counts as completed
}

int PortRead(Handle port, uint8_t* buffer, int size) {
    HANDLE h = (HANDLE)port;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) return kReadFailed;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = event;
    DWORD count = 0;
    bool ok;
    ULONGLONG issued = GetTickCount64();
    if (ReadFile(h, buffer, (DWORD)size, &count, &ov))
        ok = true;
    else if (GetLastError() == ERROR_IO_PENDING)
        ok = WaitOverlapped(h, &ov, &count);
    else
        ok = false;
    // A read whose time-outs ran out is a read, not a failure, also where
    // the driver reports it as ERROR_TIMEOUT: only a failing device may be
    // taken for lost.
    if (!ok && GetLastError() == ERROR_TIMEOUT) ok = true;
    CloseHandle(event);
    if (!ok) return kReadFailed;
    // An empty read that returned at once (MAXDWORD interval with zero
    // totals, or a device that reports end of data) is not issued again
    // back to back.
    if (count == 0 && GetTickCount64() - issued < 5) return kReadEmptyAtOnce;
    return (int)count;
}

int PortWriteBytes(Handle port, const uint8_t* data, int count) {
    HANDLE h = (HANDLE)port;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) return 0;
    // The rest of the run goes out in one write; the 1000 ms write time-out
    // applies to each call, so a slow line that keeps taking bytes carries on
    // and only a call that moves nothing ends the run.
    int written = 0;
    while (written < count) {
        bridge.IdleTicks = 0;
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        ov.hEvent = event;
        DWORD done = 0;
        bool ok;
        if (WriteFile(h, data + written, (DWORD)(count - written), &done, &ov))
            ok = true;
        else if (GetLastError() == ERROR_IO_PENDING)
            ok = WaitOverlapped(h, &ov, &done);
        else
            ok = false;
        written += (int)done;
        if (!ok || done == 0) break;  // time-out, failure or the port closing
    }
    CloseHandle(event);
    return written;
}

int PortCancel(Handle port) {
    return CancelIo((HANDLE)port) ? 0 : 1;
}

void PortClose(Handle port) {
    CloseHandle((HANDLE)port);
}

void PortEscape(Handle port, int function) {
    EscapeCommFunction((HANDLE)port, (DWORD)function);
}

uint8_t PortModemStatus(Handle port) {
    DWORD status = 0;
    if (!GetCommModemStatus((HANDLE)port, &status)) return 0;
    return (uint8_t)status;
}

int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]) {
    DCB d;
    memset(&d, 0, sizeof d);
    d.DCBlength = sizeof d;
    if (!GetCommState((HANDLE)port, &d)) return 1;
    memcpy(dcb, &d, kDcbSize);
    return 0;
}

int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]) {
    DCB d;
    memcpy(&d, dcb, kDcbSize);
    return SetCommState((HANDLE)port, &d) ? 0 : 1;
}

int PortPurge(Handle port) {
    return PurgeComm((HANDLE)port, PURGE_TXCLEAR | PURGE_RXCLEAR) ? 0 : 1;
}

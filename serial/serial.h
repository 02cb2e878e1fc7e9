// The serial port: at most one local device, opened by name, read by the
// SerialPolling thread, written in runs of bytes, closed by SerialOff.
#pragma once
#include <cstddef>
#include <cstdint>
#include "base/bridge.h"
#include "base/wire.h"

enum : int { kHandshakeType = 108 };

// Where the bytes read from the device go (after the type-108 ACKs), set by
// the layer above; called on the reader thread, one block at a time.
using SerialInputSink = void (*)(const uint8_t* data, int count);
void SerialSetInputSink(SerialInputSink sink);

// Upper-cases a port name in place as SerialOpen does; a path (a Linux
// device such as /dev/ttyUSB0) keeps its case.
void SerialNameUpperCase(char* name);
// Opens name (upper-cased in place) with the given parameters and starts
// SerialPolling; 0 when opened, 1 otherwise (already open, empty, too long,
// refused). Time-outs are milliseconds; -1 stands for MAXDWORD. quiet is for
// retries of a port that is known to be missing: a failure logs nothing, and
// the parameter line is logged only once the port opens.
int SerialOpen(char* name, uint32_t baud, int dataBits, char parity, int stopBits,
               int t1, int t2, int t3, bool quiet = false);
// Whether the serial port is open (from its open until its close has ended).
bool SerialIsOpen();
// Closes the port if one is open; always releases the always-open claim.
void SerialOff();
// Closes the port when its device has failed every read for 2 s (logged
// once); the always-open claim stays. Called by the housekeeping tick.
void SerialCloseLost();
// The program's end: SerialOff, and every later SerialOpen is refused, so a
// client's COM arriving before the servers stop cannot open the port again.
void SerialShutdown();
// Writes one byte to the open port; 0 written, 1 not.
int SerialWriteByte(uint8_t byte);
// Writes a run of bytes in order with the effects of as many SerialWriteByte
// calls (IdleTicks reset, up to 1000 ms for each byte); the count written,
// which is short when the port closed or a byte timed out.
int SerialWriteBytes(const uint8_t* data, int count);
// The RTS and DTR states last given (both 1 at start, kept while no port is
// open and across opens): a toggle flips one, a set gives it; either drives
// the line of an open port to match.
void ToggleRTS();
void ToggleDTR();
void SetRTS(bool on);
void SetDTR(bool on);
int32_t RtsState();
int32_t DtrState();
// True for a client byte ACK while TYP is 108 (the protocol drops it).
bool IsHandshakeAck(uint8_t byte);
// True for the 18 device types that use CTS output flow control.
bool IsCtsDeviceType(int typ);
// Reads the decimal number after the first "COM" (0 when none) and forms the
// Windows name of the port: the name itself up to COM7, "\\.\COMn" from COM8
// on. Clients' port names are formed with the same rule.
int ComNumberOf(const char* name);
void SerialDeviceName(const char* upperName, char* out, size_t outSize);

// What the command protocol needs on the open port. With no port open (or a
// failing platform call) the reply still has its length: 0 and 28 zero bytes.
uint8_t SerialModemStatus();                 // MS_CTS_ON 0x10, MS_DSR_ON 0x20, MS_RING_ON 0x40, MS_RLSD_ON 0x80
void SerialGetDcb(uint8_t dcb[kDcbSize]);    // Windows DCB image
void SerialSetDcb(const uint8_t dcb[kDcbSize]);
void SerialPurge();                          // both queues
// The input queue (what the device sent, not yet read), the output queue
// (what was written, not yet sent), or both.
void SerialPurgeQueues(bool input, bool output);
// Holds the line of the open port in BREAK (on) or releases it.
void SerialSetBreak(bool on);

// ---- The always-open port (always_open.cpp) ----
// The port of the settings, kept open while alwaysOpen is set. A TCP
// client's COM (or a UDP TEST) claims it; the claim ends with the port's
// close, a client's CLOSE, the end of a replayed job or the idle timeout,
// and outlives the close of a lost device, so its owner keeps the port when
// the device comes back.
// Takes the claim; true when it was free.
bool ClaimAlwaysOpenPort();
// Gives the claim up; true when it was held.
bool ReleaseAlwaysOpenPort();
bool AlwaysOpenPortClaimed();
// Opens the always-open port when the settings ask for it (start-up, a
// changed setting); a failure starts an outage, logged once, that
// KeepAlwaysOpenPortOpen ends.
void StartAlwaysOpenPort();
// Each tick (main thread): while the settings ask for the always-open port
// and it is closed (absent device, closed by a failed replay or a lost
// device), tries it every 10 ticks, quietly; the outage is logged once, the
// reopening once.
void KeepAlwaysOpenPortOpen();

// The parameter line both back ends log on an open ("baud=9600 data=8
// parity=N stop=1"), the parity letter (from a client or a job file)
// rendered like a dump.
void PortParameterLine(char* out, size_t size, uint32_t baud, int dataBits, char parity, int stopBits);

// ---- Platform seam (serial_posix.cpp / serial_win32.cpp) ----
// A Handle names one open device: the back end's own record of it (the
// system handle and what the back end keeps per device), from OpenCommPort
// to PortClose. Each call below works on the device it is given.
// Whether OpenCommPort would accept these line settings at all, whatever the
// device: a rate the platform can set, 5 to 8 data bits, a parity letter of
// NOEMS, one or two stop bits.
bool PortParametersValid(uint32_t baud, int dataBits, char parity, int stopBits);
// Opens and configures the device of a port name (COMn, \\.\COMn, or on
// POSIX a device path); logs the parameter text and, on failure,
// "Error - blad otwarcia portu COM" (quiet: the parameter text only when the
// port opened, nothing on failure). Returns kNoHandle on failure.
Handle OpenCommPort(const char* name, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3, bool quiet);
// One read of up to size bytes with the time-outs the port was opened with:
// the count (0 when nothing came), kReadFailed when the device failed, or
// kReadEmptyAtOnce for nothing returned at once (read again after a pause).
// room, when larger than size, is what the buffer holds: bytes the driver
// already has beyond size are taken with them, up to room, so a fast device
// is read in few calls; the time-outs still count as for a read of size.
enum : int { kReadFailed = -1, kReadEmptyAtOnce = -2 };
int PortRead(Handle port, uint8_t* buffer, int size, int room = 0);
// Writes bytes in order, each within 1000 ms; the count written. Stops when
// the device is cancelled.
int PortWriteBytes(Handle port, const uint8_t* data, int count);
// Cancels every wait on the device, the pending ones and any begun later,
// until PortClose; 0 done.
int PortCancel(Handle port);
// Closes the device and frees its record; no call on it may be running.
void PortClose(Handle port);
// Escape functions as on Windows: 3 SETRTS, 4 CLRRTS, 5 SETDTR, 6 CLRDTR.
void PortEscape(Handle port, int function);
uint8_t PortModemStatus(Handle port);
int PortGetDcb(Handle port, uint8_t dcb[kDcbSize]);
int PortSetDcb(Handle port, const uint8_t dcb[kDcbSize]);
int PortPurge(Handle port, bool input = true, bool output = true);
int PortSetBreak(Handle port, bool on);

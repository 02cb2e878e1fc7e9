// The serial port: at most one local device, opened by name, read by the
// SerialPolling thread, written one byte at a time, closed by SerialOff.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/bridge.h"

enum : int { kDcbSize = 28, kHandshakeType = 108 };

// Opens name (upper-cased in place) with the given parameters and starts
// SerialPolling; 0 when opened, 1 otherwise (already open, empty, too long,
// refused). Time-outs are milliseconds; -1 stands for MAXDWORD.
int SerialOpen(char* name, uint32_t baud, int dataBits, char parity, int stopBits,
               int t1, int t2, int t3);
// Closes the port if one is open; always clears portClaimed.
void SerialOff();
// Writes one byte to the open port; 0 written, 1 not.
int SerialWriteByte(uint8_t byte);
void ToggleRTS();
void ToggleDTR();
// Writes ACK for every CR the device sent while TYP is 108.
void AckDeviceLines(const uint8_t* data, int count);
// True for a client byte ACK while TYP is 108 (the protocol drops it).
bool IsHandshakeAck(uint8_t byte);
// True for the 18 device types that use CTS output flow control.
bool IsCtsDeviceType(int typ);
// Reads the decimal number after the first "COM" (0 when none) and forms the
// device name: the name itself up to COM7, "\\.\COMn" from COM8 on.
int ComNumberOf(const char* name);
void SerialDeviceName(const char* upperName, char* out, size_t outSize);

// What the command protocol needs on the open port. With no port open (or a
// failing platform call) the reply still has its length: 0 and 28 zero bytes.
uint8_t SerialModemStatus();                 // MS_CTS_ON 0x10, MS_DSR_ON 0x20, MS_RING_ON 0x40, MS_RLSD_ON 0x80
void SerialGetDcb(uint8_t dcb[kDcbSize]);    // Windows DCB image
void SerialSetDcb(const uint8_t dcb[kDcbSize]);
void SerialPurge();                          // both queues

// ---- Platform seam (serial_posix.cpp / serial_win32.cpp) ----
// Opens and configures the device; logs the parameter text and, on failure,
// "Error - blad otwarcia portu COM". Returns kNoHandle on failure.
Handle OpenCommPort(const char* device, uint32_t baud, int dataBits, char parity, int stopBits,
                    int t1, int t2, int t3);
void SerialPolling();

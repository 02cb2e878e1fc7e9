// Print buffering: numbered spool job files and the dispatcher that replays
// them to the serial port one at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include "core/bridge.h"

enum : int { kSpoolPortNameSize = 256, kSpoolHeaderSize = 2345 };

// Starts a job file "%04d.buf" in spoolDirectory holding the port name and the
// command block image; always 0.
int SpoolOpen(const char portName[kSpoolPortNameSize], const CommandBlock& block);
int SpoolWriteByte(uint8_t byte);
int SpoolClose();
// Thread body: replays the job numbered by the printed counter.
void PrintDispatcher();
// Starts a PrintDispatcher thread (detached); 0 started, 1 not.
int StartPrintDispatcher();
// Builds "<dir><sep>%04d.buf"; 1 when it would not fit outSize.
int SpoolJobPath(char* out, size_t outSize, int number);
// Start-up: creates spoolDirectory (one level) and removes its "*.buf" files;
// errors are ignored, other files stay.
void SpoolPrepareDirectory();

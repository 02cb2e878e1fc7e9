// Print buffering: numbered spool job files and the dispatcher that replays
// them to the serial port one at a time, in order for each port.
#pragma once
#include <cstddef>
#include <cstdint>
#include "base/bridge.h"

enum : int { kSpoolPortNameSize = 256, kSpoolHeaderSize = 2345 };

// Starts a job file "%04d.buf" in spoolDirectory holding the port name and the
// command block image; always 0.
int SpoolOpen(const char portName[kSpoolPortNameSize], const CommandBlock& block);
int SpoolWriteByte(uint8_t byte);
int SpoolClose();
// Thread body: finishes the oldest queued job whose port opens; a job whose
// port does not open waits, holding only the later jobs for that port (with
// the always-open port in use, every job waits for that one). The printed
// counter counts finished jobs.
void PrintDispatcher();
// Starts a PrintDispatcher thread (detached); 0 started, 1 not.
int StartPrintDispatcher();
// Builds "<dir><sep>%04d.buf"; 0, or ENOENT when spoolDirectory is empty,
// ENAMETOOLONG when the path would not fit outSize.
int SpoolJobPath(char* out, size_t outSize, int number);
// Start-up: creates spoolDirectory (one level) and removes its "*.buf" files;
// errors are ignored, other files stay. Forgets the queue of the last run.
void SpoolPrepareDirectory();

// ---- Platform seam (spool_posix.cpp / spool_win32.cpp) ----
// The separator between spoolDirectory and the job file name.
char SpoolPathSeparator();
// Opens path for reading and writing in raw byte mode, exclusively (no other
// opener may read or write it until it is closed). create: make the file, or
// empty one that exists; otherwise it must exist. A descriptor, or -1 with
// errno set.
int SpoolFileOpen(const char* path, int create);
// Plain descriptor I/O: bytes moved, 0 at end of file, -1 with errno set.
int SpoolFileRead(int fd, void* buffer, int count);
int SpoolFileWrite(int fd, const void* buffer, int count);
void SpoolFileClose(int fd);
// Creates one directory level; errors are ignored.
void SpoolMakeDirectory(const char* path);
// Removes the regular files named "*.buf" in dir; errors are ignored.
void SpoolRemoveJobFiles(const char* dir);

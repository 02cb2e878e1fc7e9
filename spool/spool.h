// Print buffering: numbered spool job files and the dispatcher that replays
// them to the serial port one at a time, in order for each port.
#pragma once
#include <cstddef>
#include <cstdint>
#include "base/bridge.h"

enum : int { kSpoolPortNameSize = 256, kSpoolHeaderSize = 2345 };

// Starts a job file "%04d.buf" in spoolDirectory holding the port name and the
// command block image; always 0. Bounds (start-up, from KESTRUN_SPOOL_JOB_BYTES,
// KESTRUN_SPOOL_JOBS, KESTRUN_SPOOL_BYTES; 1 MB, 100, 20 MB by default): a full
// queue refuses the new job, and a job whose data would pass its own bound or
// the queue's is discarded whole. Either is logged once.
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
// Start-up: creates spoolDirectory (one level) and removes its "*.buf" files
// and links; other files stay. A folder that is not ours or that others may
// write to is refused with one line, and no job starts until the next
// start-up. Forgets the queue of the last run.
void SpoolPrepareDirectory();

// ---- Platform seam (spool_posix.cpp / spool_win32.cpp) ----
// The separator between spoolDirectory and the job file name.
char SpoolPathSeparator();
// Opens path for reading and writing in raw byte mode, exclusively (no other
// opener may read or write it until it is closed), never through a link.
// create: remove what is there and make a new file, exclusively; otherwise a
// regular file must exist. A descriptor, or -1 with errno set.
int SpoolFileOpen(const char* path, int create);
// Plain descriptor I/O: bytes moved, 0 at end of file, -1 with errno set.
int SpoolFileRead(int fd, void* buffer, int count);
int SpoolFileWrite(int fd, const void* buffer, int count);
void SpoolFileClose(int fd);
// Creates one directory level, private to this program; 0 when the folder
// is a real directory of ours that no one else may write to, else an error
// number.
int SpoolMakeDirectory(const char* path);
// Removes the regular files and links named "*.buf" in dir (a link itself,
// never its target); errors are ignored.
void SpoolRemoveJobFiles(const char* dir);
// Removes one job file (a link itself); errors are ignored.
void SpoolFileRemove(const char* path);

// Settings on Windows: the spool folder at the root of drive C; setup.dat is
// replaced by MoveFileExA. Twin: settings_posix.cpp.
#include <windows.h>
#include <atomic>
#include <cstdio>
#include <string>
#include "base/settings.h"

const char kDefaultSpoolDirectory[] = "C:\\SERVBUFF";

// Creates a new file next to path under a name of its own ("<path>.new-"
// with the process, the clock and a count); CREATE_NEW opens nothing that
// someone put in the folder beforehand. The handle and the name, or
// INVALID_HANDLE_VALUE with the last error set.
static HANDLE CreateTemporaryFor(const char* path, std::string& temporary) {
    static std::atomic<unsigned> count{0};
    for (int attempt = 0; attempt < 16; attempt++) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".new-%lu-%lx%x", (unsigned long)GetCurrentProcessId(),
                 (unsigned long)now.LowPart, count.fetch_add(1));
        temporary = std::string(path) + suffix;
        HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        DWORD error = GetLastError();
        if (h != INVALID_HANDLE_VALUE || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return h;
    }
    return INVALID_HANDLE_VALUE;
}

enum { kMoveAttempts = 20, kMoveRetryMs = 50 };

// Renames from over to, write-through: the call returns once the rename is
// on the disk. A scanner or backup holding the old file for a moment is
// waited out (about a second); 0 done, else the error code.
static DWORD MoveOver(const char* from, const char* to) {
    DWORD error = 0;
    for (int attempt = 0; attempt < kMoveAttempts; attempt++) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION)
            return error;
        Sleep(kMoveRetryMs);
    }
    return error;
}

int ReplaceFileWith(const char* path, const uint8_t* data, size_t size) {
    std::string temporary;
    HANDLE h = CreateTemporaryFor(path, temporary);
    if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
    DWORD error = 0;
    while (size > 0 && !error) {
        DWORD written = 0;
        if (!WriteFile(h, data, (DWORD)size, &written, nullptr)) {
            error = GetLastError();
        } else if (written == 0) {
            error = ERROR_WRITE_FAULT;
        } else {
            data += written;
            size -= written;
        }
    }
    if (!error && !FlushFileBuffers(h)) error = GetLastError();
    if (!CloseHandle(h) && !error) error = GetLastError();
    if (!error) error = MoveOver(temporary.c_str(), path);
    if (error) {
        DeleteFileA(temporary.c_str());  // the old file stays whole
        return (int)error;
    }
    return 0;
}

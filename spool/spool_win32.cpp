// Spool job files on Windows: CRT descriptors opened with a deny-read-write
// share mode, "\" paths. Twin: spool_posix.cpp.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <direct.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <cstdio>
#include <cstring>
#include "spool/spool.h"

char SpoolPathSeparator() {
    return '\\';
}

int SpoolFileOpen(const char* path, int create) {
    int fd = -1;
    // Truncation happens only once the share check has let us in: stale
    // bytes of an older job with the same number must not trail new data.
    int flags = _O_RDWR | _O_BINARY | _O_NOINHERIT | (create ? _O_CREAT | _O_TRUNC : 0);
    int error = _sopen_s(&fd, path, flags, _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (error != 0 || fd < 0) {
        errno = error ? error : EACCES;
        return -1;
    }
    return fd;
}

int SpoolFileRead(int fd, void* buffer, int count) {
    return _read(fd, buffer, (unsigned)count);
}

int SpoolFileWrite(int fd, const void* buffer, int count) {
    return _write(fd, buffer, (unsigned)count);
}

void SpoolFileClose(int fd) {
    _close(fd);
}

void SpoolMakeDirectory(const char* path) {
    _mkdir(path);
}

void SpoolRemoveJobFiles(const char* dir) {
    char pattern[512];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.buf", dir);
    if (n < 0 || (size_t)n >= sizeof pattern) return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // The pattern also matches through 8.3 short names ("x.bufx" is
        // X~1.BUF): only names that really end in ".buf" go.
        size_t length = strlen(found.cFileName);
        if (length < 4 || _stricmp(found.cFileName + length - 4, ".buf") != 0) continue;
        char path[512];
        n = snprintf(path, sizeof path, "%s\\%s", dir, found.cFileName);
        if (n < 0 || (size_t)n >= sizeof path) continue;
        DeleteFileA(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// Spool job files on Windows: CRT descriptors over handles opened with no
// sharing and never through a reparse point, "\" paths, a folder for this
// user and the administrators only. Twin: spool_posix.cpp.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <direct.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <sddl.h>
#include <cstdio>
#include <cstring>
#include "spool/spool.h"

char SpoolPathSeparator() {
    return '\\';
}

static int ErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    // Held by another opener for now: worth trying again.
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_ACCESS_DENIED: return EACCES;
    default: return EIO;
    }
}

int SpoolFileOpen(const char* path, int create) {
    // A new job is a new file: what lay under its name (a stale job, a
    // planted link) is removed, never written through. A file another
    // opener holds cannot be removed, so it stays exclusive.
    if (create && !DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        errno = ErrnoOf(GetLastError());
        return -1;
    }
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           create ? CREATE_NEW : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        errno = EINVAL;
        return -1;
    }
    int fd = _open_osfhandle((intptr_t)h, _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EIO;
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

// A descriptor granting full access to this user and the administrators
// only, inherited by what is made inside; false when it cannot be built.
static bool PrivateFolderSecurity(PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    uint8_t buffer[512];
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0;
    CloseHandle(token);
    if (!ok) return false;
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(((TOKEN_USER*)buffer)->User.Sid, &sid)) return false;
    char sddl[256];
    int n = snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;%s)(A;OICI;FA;;;BA)", sid);
    LocalFree(sid);
    if (n < 0 || (size_t)n >= sizeof sddl) return false;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor,
                                                                nullptr) != 0;
}

int SpoolMakeDirectory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Made with its own access list: at a drive's root the inherited one
        // would let every signed-in user write into it.
        PSECURITY_DESCRIPTOR descriptor;
        if (!PrivateFolderSecurity(&descriptor)) return EACCES;
        SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
        BOOL made = CreateDirectoryA(path, &security);
        DWORD error = GetLastError();
        LocalFree(descriptor);
        if (!made) return ErrnoOf(error);
        attributes = GetFileAttributesA(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) return ENOENT;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EACCES;
    return 0;
}

void SpoolRemoveJobFiles(const char* dir) {
    char pattern[512];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.buf", dir);
    if (n < 0 || (size_t)n >= sizeof pattern) return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        // Links go as links: a directory link by RemoveDirectory, never
        // what it points to.
        bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && !link) continue;
        // The pattern also matches through 8.3 short names ("x.bufx" is
        // X~1.BUF): only names that really end in ".buf" go.
        size_t length = strlen(found.cFileName);
        if (length < 4 || _stricmp(found.cFileName + length - 4, ".buf") != 0) continue;
        char path[512];
        n = snprintf(path, sizeof path, "%s\\%s", dir, found.cFileName);
        if (n < 0 || (size_t)n >= sizeof path) continue;
        if (directory)
            RemoveDirectoryA(path);
        else
            DeleteFileA(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void SpoolFileRemove(const char* path) {
    DeleteFileA(path);
}

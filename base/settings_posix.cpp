// Settings on POSIX: the spool folder lies in the working folder; setup.dat
// is replaced by a rename. Twin: settings_win32.cpp.
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include "base/settings.h"

const char kDefaultSpoolDirectory[] = "SERVBUFF";

// Makes a finished rename in the folder of path last across a power cut.
static void SyncFolderOf(const char* path) {
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Creates a new file next to path under a name of its own ("<path>.new-"
// with the process, the clock and a count), exclusively and never through a
// link: whatever someone put in the folder beforehand is not opened. Its
// descriptor and name, or -1 with errno set.
static int CreateTemporaryFor(const char* path, std::string& temporary) {
    static std::atomic<unsigned> count{0};
    for (int attempt = 0; attempt < 16; attempt++) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".new-%ld-%lx%x", (long)getpid(), (unsigned long)now.tv_nsec,
                 count.fetch_add(1));
        temporary = std::string(path) + suffix;
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;  // errno is EEXIST
}

static int WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

int ReplaceFileWith(const char* path, const uint8_t* data, size_t size) {
    std::string temporary;
    int fd = CreateTemporaryFor(path, temporary);
    if (fd < 0) return errno;
    int error = WriteAll(fd, data, size);
    if (!error && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(temporary.c_str(), path) != 0) error = errno;
    if (error) {
        unlink(temporary.c_str());  // the old file stays whole
        return error;
    }
    SyncFolderOf(path);
    return 0;
}

// Settings on POSIX: the spool folder lies in the working folder; setup.dat
// is replaced by a rename. Twin: settings_win32.cpp.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
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

int ReplaceFileWith(const char* path, const char* temporary, const uint8_t* data, size_t size) {
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int error = 0;
    while (size > 0 && !error) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        data += n;
        size -= (size_t)n;
    }
    if (!error && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && !error) error = errno;
    if (error) return error;
    if (rename(temporary, path) != 0) return errno;
    SyncFolderOf(path);
    return 0;
}

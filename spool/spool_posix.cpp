// Spool job files on POSIX: descriptors with an exclusive flock, "/" paths.
// Twin: spool_win32.cpp.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include "spool/spool.h"

char SpoolPathSeparator() {
    return '/';
}

int SpoolFileOpen(const char* path, int create) {
    int fd = open(path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) return -1;
    // flock stands in for the Windows deny-read-write share mode: the
    // writer and the dispatcher never hold the same job at once.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    // Emptied only once it is ours: stale bytes of an older job with the
    // same number must not trail the new job's data.
    if (create && ftruncate(fd, 0) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int SpoolFileRead(int fd, void* buffer, int count) {
    ssize_t n;
    do n = read(fd, buffer, (size_t)count);
    while (n < 0 && errno == EINTR);
    return (int)n;
}

int SpoolFileWrite(int fd, const void* buffer, int count) {
    ssize_t n;
    do n = write(fd, buffer, (size_t)count);
    while (n < 0 && errno == EINTR);
    return (int)n;
}

void SpoolFileClose(int fd) {
    close(fd);
}

void SpoolMakeDirectory(const char* path) {
    mkdir(path, 0777);
}

void SpoolRemoveJobFiles(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return;
    while (struct dirent* entry = readdir(d)) {
        size_t length = strlen(entry->d_name);
        if (length < 4 || strcmp(entry->d_name + length - 4, ".buf") != 0) continue;
        char path[512];
        int n = snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
        if (n < 0 || (size_t)n >= sizeof path) continue;
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) unlink(path);
    }
    closedir(d);
}

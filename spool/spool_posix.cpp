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
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    // A new job is a new file: what lay under its name (a stale job, a
    // planted link) is removed, never written through.
    if (create) {
        if (unlink(path) != 0 && errno != ENOENT) return -1;
        flags |= O_CREAT | O_EXCL;
    }
    int fd = open(path, flags, 0640);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    // flock stands in for the Windows deny-read-write share mode: the
    // writer and the dispatcher never hold the same job at once.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        errno = EACCES;
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

int SpoolMakeDirectory(const char* path) {
    if (mkdir(path, 0750) != 0 && errno != EEXIST) return errno;
    struct stat st;
    if (lstat(path, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EACCES;
    return 0;
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
        if (lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) unlink(path);
    }
    closedir(d);
}

void SpoolFileRemove(const char* path) {
    unlink(path);
}

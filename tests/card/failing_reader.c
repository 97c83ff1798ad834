/* A card reader with bad sectors, for the card check: loaded with LD_PRELOAD, it fails with EIO
 * every pread of the file FAILING_FILE that touches one of the 512-byte sectors at the byte
 * offsets FAILING_SECTORS lists ("0" or "1048576,2097152"), as failing media does, every time. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int failing(int fd, off_t offset, size_t count) {
    const char *file = getenv("FAILING_FILE"), *sectors = getenv("FAILING_SECTORS");
    char link[64], path[PATH_MAX];
    if (!file || !sectors) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    if (strcmp(path, file) != 0) return 0;
    for (const char* at = sectors; *at;) {
        char* end;
        const long long bad = strtoll(at, &end, 10);
        if (bad < (long long)(offset + (off_t)count) && offset < bad + 512) return 1;
        at = *end == ',' ? end + 1 : end + strlen(end);
    }
    return 0;
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (!real) real = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    if (failing(fd, offset, count)) {
        errno = EIO;
        return -1;
    }
    return real(fd, buf, count, offset);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) { return pread64(fd, buf, count, offset); }

/* A card reader with bad sectors, for the card check: loaded with LD_PRELOAD, it fails with EIO
 * every pread of the file FAILING_FILE that touches one of the 512-byte sectors at the byte
 * offsets FAILING_SECTORS lists ("0" or "1048576,2097152"), as failing media does, every time.
 * With INTERRUPT_AT=OFFSET,N instead, the Nth read that touches that sector is interrupted by a
 * SIGINT, as a user's Ctrl-C would, and then goes through. READ_MBPS=N reads it as a card
 * read at N MB/s. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static int touches(off_t offset, size_t count, long long sector) {
    return sector < (long long)(offset + (off_t)count) && offset < sector + 512;
}

static void interrupt(off_t offset, size_t count) {
    static int seen;
    const char* at = getenv("INTERRUPT_AT");
    char* end;
    if (!at) return;
    const long long sector = strtoll(at, &end, 10);
    if (touches(offset, count, sector) && *end == ',' && ++seen == atoi(end + 1)) raise(SIGINT);
}

static int failing(int fd, off_t offset, size_t count) {
    const char *file = getenv("FAILING_FILE"), *sectors = getenv("FAILING_SECTORS");
    char link[64], path[PATH_MAX];
    if (!file || (!sectors && !getenv("INTERRUPT_AT") && !getenv("READ_MBPS"))) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    if (strcmp(path, file) != 0) return 0;
    interrupt(offset, count);
    if (getenv("READ_MBPS")) {
        const long long ns = (long long)count * 1000 / atoll(getenv("READ_MBPS"));
        nanosleep(&(struct timespec){ns / 1000000000, ns % 1000000000}, NULL);
    }
    for (const char* at = sectors ? sectors : ""; *at;) {
        char* end;
        const long long bad = strtoll(at, &end, 10);
        if (touches(offset, count, bad)) return 1;
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

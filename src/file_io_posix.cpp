#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "file_io.h"

namespace ostrel::io {

namespace {

// Moves exactly `count` bytes at `offset` with pread or pwrite, across short transfers and EINTR.
// Nothing moved means the file ended early (it shrank since fstat), which is a failure too.
template <typename Byte, typename Transfer>
bool transfer_fully(Transfer transfer, int fd, Byte* buf, size_t count, uint64_t offset) {
    while (count > 0) {
        const ssize_t moved = transfer(fd, buf, count, static_cast<off_t>(offset));
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) return false;
        buf += moved;
        count -= static_cast<size_t>(moved);
        offset += static_cast<uint64_t>(moved);
    }
    return true;
}

}  // namespace

Opened open_file(const char* path, bool for_update, File& file, uint64_t& length) {
    // O_NONBLOCK keeps a FIFO or a modem line from holding the open; it changes nothing for
    // a regular file. Anything that is not a regular file is turned away before a read.
    file.fd = open(path, (for_update ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0)
        return for_update && (errno == EACCES || errno == EPERM || errno == EROFS) ? Opened::NoWriteAccess : Opened::No;
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        close(file);
        return Opened::No;
    }
    length = static_cast<uint64_t>(st.st_size);
    return Opened::Yes;
}

bool is_plain_file(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool read_at(File& file, uint64_t offset, uint8_t* buf, size_t count) {
    return transfer_fully(pread, file.fd, buf, count, offset);
}

bool write_at(File& file, uint64_t offset, const uint8_t* buf, size_t count) {
    return transfer_fully(pwrite, file.fd, buf, count, offset);
}

// EINVAL means the file system cannot sync at all (some FUSE and special mounts), which is no
// reason to call a completed write a failure.
bool flush_to_storage(File& file) {
    for (;;) {
        if (fdatasync(file.fd) == 0) return true;
        if (errno == EINTR) continue;
        return errno == EINVAL;
    }
}

bool close(File& file) {
    const int fd = file.fd;
    file.fd = -1;
    return ::close(fd) == 0;
}

bool open_for_reading(const char* path, File& file) {
    file.fd = open(path, O_RDONLY | O_CLOEXEC);
    return file.fd >= 0;
}

long read_next(File& file, char* buf, size_t count) {
    for (;;) {
        const ssize_t got = read(file.fd, buf, count);
        if (got < 0 && errno == EINTR) continue;
        return static_cast<long>(got);
    }
}

void use_binary_output() {}

}  // namespace ostrel::io

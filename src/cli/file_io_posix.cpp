#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#elif defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include <cerrno>
#include <cstring>

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

namespace {

// O_NONBLOCK keeps a FIFO or a modem line from holding the open; it changes nothing for a
// regular file. Anything that is not a regular file is turned away before a read.
Opened open_regular(const char* path, int flags, File& file, struct stat& st) {
    file.fd = open(path, flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0)
        return (flags & O_RDWR) && (errno == EACCES || errno == EPERM || errno == EROFS) ? Opened::NoWriteAccess
                                                                                       : Opened::No;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        close(file);
        return Opened::No;
    }
    return Opened::Yes;
}

// A lease is refused (EAGAIN) while another process holds the file open in a way that conflicts:
// a read lease while anyone has it open for writing, a write lease while anyone has it open at
// all. The lease is kept until the descriptor is closed. Where leases cannot be had (another
// user's file, a file system without them), the file is checked as it stands.
bool lease_refused(File& file, int type) { return fcntl(file.fd, F_SETLEASE, type) != 0 && errno == EAGAIN; }

// A writer that was killed a moment ago still holds the file for a few milliseconds, until the
// kernel has closed its descriptors; a watchdog that kills a recorder and repairs at once meets
// that. A read lease refused for about 100 ms is a writer that is alive.
bool writer_holds(File& file) {
    for (int tries = 0; tries < 10; ++tries) {
        if (!lease_refused(file, F_RDLCK)) return false;
        const struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return lease_refused(file, F_RDLCK);
}

}  // namespace

Opened open_file(const char* path, bool for_update, File& file, uint64_t& length) {
    struct stat st;
    Opened opened = open_regular(path, for_update ? O_RDWR : O_RDONLY, file, st);
    if (opened != Opened::Yes) return opened;
    // A take with every write permission bit off was protected on purpose; root could write it
    // all the same.
    if (for_update && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        close(file);
        return Opened::NoWriteAccess;
    }
    length = static_cast<uint64_t>(st.st_size);
    if (!lease_refused(file, for_update ? F_WRLCK : F_RDLCK)) return Opened::Yes;
    if (!for_update) return writer_holds(file) ? Opened::BeingWritten : Opened::Yes;
    close(file);
    // Another program has it open: a player, or a recorder still writing. A read lease, which
    // readers leave alone, tells which; only then is it opened for writing, without a lease.
    opened = open_regular(path, O_RDONLY, file, st);
    if (opened != Opened::Yes) return opened;
    length = static_cast<uint64_t>(st.st_size);
    if (writer_holds(file)) return Opened::BeingWritten;
    close(file);
    opened = open_regular(path, O_RDWR, file, st);
    length = static_cast<uint64_t>(st.st_size);
    return opened;
}

Kind kind_of(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return Kind::Missing;
    return S_ISDIR(st.st_mode) ? Kind::Folder : S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
}

bool is_block_device(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

bool list_folder(const char* path, std::vector<Entry>& entries) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return false;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        unsigned char type = e->d_type;
        struct stat st;
        if (type == DT_UNKNOWN && fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : 0;
        const Kind kind = type == DT_DIR ? Kind::Folder : type == DT_REG ? Kind::File : type == DT_LNK ? Kind::Link
                                                                                                      : Kind::Other;
        entries.push_back({e->d_name, kind});
    }
    const bool complete = errno == 0;
    closedir(dir);
    return complete;
}

const char kSeparator = '/';

bool ends_in_separator(const std::string& path) { return !path.empty() && path.back() == '/'; }

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

// exFAT drivers in user space mount as fuseblk, which the kernel tells apart from other FUSE
// mounts by name only; its magic number says FUSE.
std::string card_file_system(File& file) {
#ifdef __linux__
    struct statfs fs;
    if (fstatfs(file.fd, &fs) != 0) return "";
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x4d44ul: return "vfat";
        case 0x2011BAB0ul: return "exfat";
        case 0x65735546ul: return "fuseblk";
        default: return "";
    }
#elif defined(__APPLE__) || defined(__FreeBSD__)
    struct statfs fs;
    if (fstatfs(file.fd, &fs) != 0) return "";
    const std::string name = fs.f_fstypename;
    return name == "msdos" || name == "msdosfs" || name == "exfat" ? name : "";
#else
    (void)file;
    return "";
#endif
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

void prepare_process() {
    signal(SIGPIPE, SIG_IGN);
    // The kernel tells a lease holder with SIGIO that another program wants the file; the tool
    // closes it within milliseconds anyway, and SIGIO would otherwise end the process.
    signal(SIGIO, SIG_IGN);
}

std::string output_error_text(int error) { return std::strerror(error); }

}  // namespace ostrel::io

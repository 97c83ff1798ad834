#include "header_repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "repair_decision.h"

namespace {

enum class Outcome { NotFound, NoDataBlock, CutShort, TooLarge, Correct, Fixed, WriteFailed };

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

// The fix only counts once it is on storage. EINVAL means the file system cannot sync at all
// (some FUSE and special mounts), which is no reason to call a completed write a failure.
bool sync_to_storage(int fd) {
    for (;;) {
        if (fdatasync(fd) == 0) return true;
        if (errno == EINTR) continue;
        return errno == EINVAL;
    }
}

// Answers the core's reads with pread.
class FileSource : public ostrel::ByteSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        return transfer_fully(pread, fd_, buf, count, offset);
    }

private:
    int fd_;
};

// Each write is on storage before the next starts, so a crash between two leaves the file as
// one of the steps left it, and the next run finishes the job.
Outcome decide_and_write(int fd, uint64_t length) {
    FileSource source(fd);
    const ostrel::RepairPlan plan = ostrel::plan_repair(source, length);
    switch (plan.verdict) {
        case ostrel::Verdict::ReadFailed: return Outcome::NotFound;
        case ostrel::Verdict::NoDataBlock: return Outcome::NoDataBlock;
        case ostrel::Verdict::CutShort: return Outcome::CutShort;
        case ostrel::Verdict::TooLarge: return Outcome::TooLarge;
        case ostrel::Verdict::Correct: return Outcome::Correct;
        case ostrel::Verdict::Fix: break;
    }
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (!transfer_fully(pwrite, fd, w.bytes, w.count, w.offset) || !sync_to_storage(fd))
            return Outcome::WriteFailed;
    }
    return Outcome::Fixed;
}

Outcome check_file(const char* path) {
    // O_NONBLOCK keeps a FIFO or a modem line from holding the open; it changes nothing for
    // a regular file. Anything that is not a regular file is turned away before a read.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Outcome::NotFound;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        close(fd);
        return Outcome::NotFound;
    }
    Outcome outcome = decide_and_write(fd, static_cast<uint64_t>(st.st_size));
    // Only a written file's close matters: NFS and some FUSE mounts report lost writes here.
    if (close(fd) != 0 && outcome == Outcome::Fixed) outcome = Outcome::WriteFailed;
    return outcome;
}

void report(Outcome outcome, const char* path) {
    switch (outcome) {
        case Outcome::NotFound: std::printf("File called %s cannot be found.\n", path); break;
        case Outcome::NoDataBlock: std::puts("Cannot find data block in wave file!"); break;
        case Outcome::CutShort: std::printf("The header in %s is cut short and cannot be fixed.\n", path); break;
        case Outcome::TooLarge:
            std::printf("The data block in %s is too large for a wave header.\n", path);
            break;
        case Outcome::Correct: std::printf("The header in %s appears to be correct.\n", path); break;
        case Outcome::Fixed: std::printf("Header was fixed successfully in %s.\n", path); break;
        case Outcome::WriteFailed: std::printf("Unable to write data to header in %s.\n", path); break;
    }
    // A pipe or a log must never lag behind what was done to the files.
    std::fflush(stdout);
}

}  // namespace

void FIX_SIZE(const char* wavePath) { report(check_file(wavePath), wavePath); }

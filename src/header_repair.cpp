#include "header_repair.h"

#include <cerrno>
#include <cstdio>

#include "file_io.h"
#include "repair_decision.h"

namespace {

// Answers the core's reads from the open file.
class FileSource : public ostrel::ByteSource {
public:
    explicit FileSource(ostrel::io::File& file) : file_(file) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        return ostrel::io::read_at(file_, offset, buf, count);
    }

private:
    ostrel::io::File& file_;
};

// Each write is on storage before the next starts, so a crash between two leaves the file as
// one of the steps left it, and the next run finishes the job.
Outcome decide_and_write(ostrel::io::File& file, uint64_t length, Mode mode, bool writable) {
    FileSource source(file);
    const ostrel::RepairPlan plan = ostrel::plan_repair(source, length);
    switch (plan.verdict) {
        case ostrel::Verdict::ReadFailed: return Outcome::NotFound;
        case ostrel::Verdict::NoDataBlock: return Outcome::NoDataBlock;
        case ostrel::Verdict::CutShort: return Outcome::CutShort;
        case ostrel::Verdict::TooLarge: return Outcome::TooLarge;
        case ostrel::Verdict::Correct: return Outcome::Correct;
        case ostrel::Verdict::Fix: break;
    }
    if (mode == Mode::Check) return Outcome::NeedsFix;
    if (!writable) return Outcome::WriteFailed;
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (!ostrel::io::write_at(file, w.offset, w.bytes, w.count) || !ostrel::io::flush_to_storage(file))
            return Outcome::WriteFailed;
    }
    return Outcome::Fixed;
}

Outcome check_file(const char* path, Mode mode) {
    ostrel::io::File file;
    uint64_t length = 0;
    bool writable = mode == Mode::Repair;
    ostrel::io::Opened opened = ostrel::io::open_file(path, writable, file, length);
    // Another user's take, or a read-only card: it can still be checked.
    if (opened == ostrel::io::Opened::NoWriteAccess) {
        writable = false;
        opened = ostrel::io::open_file(path, false, file, length);
    }
    if (opened != ostrel::io::Opened::Yes) return Outcome::NotFound;
    Outcome outcome = decide_and_write(file, length, mode, writable);
    // Only a written file's close matters: NFS and some FUSE mounts report lost writes here.
    if (!ostrel::io::close(file) && outcome == Outcome::Fixed) outcome = Outcome::WriteFailed;
    return outcome;
}

// Returns 0, or the errno of a report that did not reach standard output.
int report(Outcome outcome, const char* path) {
    switch (outcome) {
        case Outcome::NotFound: std::printf("File called %s cannot be found.\n", path); break;
        case Outcome::NoDataBlock: std::puts("Cannot find data block in wave file!"); break;
        case Outcome::CutShort: std::printf("The header in %s is cut short and cannot be fixed.\n", path); break;
        case Outcome::TooLarge:
            std::printf("The data block in %s is too large for a wave header.\n", path);
            break;
        case Outcome::Correct: std::printf("The header in %s appears to be correct.\n", path); break;
        case Outcome::Fixed: std::printf("Header was fixed successfully in %s.\n", path); break;
        case Outcome::NeedsFix: std::printf("The header in %s needs to be fixed.\n", path); break;
        case Outcome::WriteFailed: std::printf("Unable to write data to header in %s.\n", path); break;
    }
    // A pipe or a log must never lag behind what was done to the files.
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    return errno != 0 ? errno : EIO;
}

}  // namespace

FileResult FIX_SIZE(const char* wavePath, Mode mode) {
    FileResult r;
    r.outcome = check_file(wavePath, mode);
    r.report_error = report(r.outcome, wavePath);
    return r;
}

#include "header_repair.h"

#include <cstdio>

#include "file_io.h"
#include "repair_decision.h"

namespace {

enum class Outcome { NotFound, NoDataBlock, CutShort, TooLarge, Correct, Fixed, WriteFailed };

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
Outcome decide_and_write(ostrel::io::File& file, uint64_t length) {
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
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (!ostrel::io::write_at(file, w.offset, w.bytes, w.count) || !ostrel::io::flush_to_storage(file))
            return Outcome::WriteFailed;
    }
    return Outcome::Fixed;
}

Outcome check_file(const char* path) {
    ostrel::io::File file;
    if (!ostrel::io::open_for_update(path, file)) return Outcome::NotFound;
    uint64_t length = 0;
    Outcome outcome = ostrel::io::length(file, length) ? decide_and_write(file, length) : Outcome::NotFound;
    // Only a written file's close matters: NFS and some FUSE mounts report lost writes here.
    if (!ostrel::io::close(file) && outcome == Outcome::Fixed) outcome = Outcome::WriteFailed;
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

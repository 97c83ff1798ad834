#include "header_repair.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "card_layout.h"
#include "repair_decision.h"

namespace {

namespace io = ostrel::io;

// Answers the core's reads from the open file.
class FileSource : public ostrel::ByteSource {
public:
    explicit FileSource(io::File& file) : file_(file) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override { return io::read_at(file_, offset, buf, count); }

private:
    io::File& file_;
};

struct Checked {
    Outcome outcome = Outcome::NotFound;
    bool wave_form = false;  // WAVE or another form that is repaired
    bool planned = false;  // the core looked at the file: `plan` says what it found
    bool writable = false;
    bool empty = false;  // 0 bytes: a take whose recorder lost power before it wrote a size
    bool card = false;   // a card's image: a boot sector or a partition table
    std::string card_volume;  // the card's file system a crashed take lies on, or empty
    ostrel::RepairPlan plan;
};

// The writes in order, each synced where the plan says the next depends on it, and the last
// always: a crash between two leaves the file as one of the steps left it, and the next run
// finishes the job.
Outcome carry_out(io::File& file, const ostrel::RepairPlan& plan) {
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (!io::write_at(file, w.offset, w.bytes, w.count)) return Outcome::WriteFailed;
        if ((w.sync_after || k + 1 == plan.write_count) && !io::flush_to_storage(file)) return Outcome::WriteFailed;
    }
    return Outcome::Fixed;
}

// A file that another program is writing is looked at only to tell whether it is of a form
// that is repaired.
bool starts_as_wave(io::File& file, uint64_t length) {
    uint8_t head[ostrel::kFormHeadBytes];
    const size_t count = length < sizeof head ? static_cast<size_t>(length) : sizeof head;
    return count >= ostrel::kFirstChunk && io::read_at(file, 0, head, count) && ostrel::is_repaired_form(head, count);
}

Checked check_file(const char* path, Mode mode, bool look_for_card) {
    Checked c;
    io::File file;
    uint64_t length = 0;
    c.writable = mode == Mode::Repair;
    io::Opened opened = io::open_file(path, c.writable, file, length);
    // Another user's take, a read-only card or a protected master: it can still be checked.
    if (opened == io::Opened::NoWriteAccess) {
        c.writable = false;
        opened = io::open_file(path, false, file, length);
    }
    if (opened == io::Opened::BeingWritten) {
        c.outcome = Outcome::BeingWritten;
        c.wave_form = starts_as_wave(file, length);
        io::close(file);
        return c;
    }
    if (opened != io::Opened::Yes) return c;
    FileSource source(file);
    c.plan = ostrel::plan_repair(source, length);
    c.planned = c.plan.verdict != ostrel::Verdict::ReadFailed;
    c.wave_form = c.plan.known_form;
    c.outcome = ostrel::outcome_of(c.plan);
    if (c.outcome == Outcome::NeedsFix && mode == Mode::Repair)
        c.outcome = c.writable ? carry_out(file, c.plan) : Outcome::WriteFailed;
    // A crashed take on a card: the card may hold more of it than its entry counts.
    if (c.outcome == Outcome::Fixed || c.outcome == Outcome::WriteFailed) c.card_volume = io::card_file_system(file);
    c.empty = length == 0;
    uint8_t first[512];  // a name given that is no WAVE file may be a card's image: one more read
    c.card = look_for_card && !c.wave_form && length >= sizeof first && io::read_at(file, 0, first, sizeof first) &&
             ostrel::card::looks_like_card(first);
    // Only a written file's close matters: NFS and some FUSE mounts report lost writes here.
    if (!io::close(file) && c.outcome == Outcome::Fixed) c.outcome = Outcome::WriteFailed;
    return c;
}

// Why a file was not looked at, or not written, in words for -v.
std::string reason(const Checked& c, const std::string& path, io::Kind kind) {
    switch (c.outcome) {
        case Outcome::BeingWritten:
            return path + ": another program has it open for writing; run again once it has finished";
        case Outcome::WriteFailed:
            return path + (c.writable ? ": a write, the sync or the close failed"
                                      : ": it may not be written (no write permission, or a read-only disk)");
        default: break;
    }
    if (kind == io::Kind::Other) return path + ": not a file or a folder (a pipe, a socket or a device)";
    if (kind == io::Kind::Folder) return path + ": a folder that cannot be read";
    return path + (io::kind_of(path.c_str()) == io::Kind::Missing ? ": no such file or folder"
                                                                   : ": it cannot be opened or read");
}

// Returns 0, or the errno of a report that did not reach standard output.
int report(const Checked& c, const std::string& path, bool verbose, io::Kind kind) {
    std::fputs(ostrel::report_line(c.outcome, path).c_str(), stdout);
    if (verbose) {
        std::vector<std::string> lines;
        if (c.planned) lines = ostrel::detail_lines(c.plan, path);
        if (!c.planned || c.outcome == Outcome::WriteFailed) lines.push_back(reason(c, path, kind));
        if (c.planned && ostrel::holds_no_audio(c.plan))
            lines.push_back(path + ": no audio after its header: the audio may still be on the card");
        if (!c.card_volume.empty())
            lines.push_back(path + ": a crashed take on " + c.card_volume +
                            ", a card's file system: the card may hold more of it than the file does");
        for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
    }
    // A pipe or a log must never lag behind what was done to the files.
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    return errno != 0 ? errno : EIO;
}

}  // namespace

bool is_wave_file(const char* path) {
    io::File file;
    uint64_t length = 0;
    const io::Opened opened = io::open_file(path, false, file, length);
    if (opened != io::Opened::Yes && opened != io::Opened::BeingWritten) return false;
    const bool wave = starts_as_wave(file, length);
    io::close(file);
    return wave;
}

FileResult FIX_SIZE(const char* wavePath, const CheckOptions& options, io::Kind kind) {
    const bool may_open = kind == io::Kind::File || kind == io::Kind::Missing;
    // In a folder a file that is no WAVE file is left alone unsaid: no read is spent on it.
    const Checked c = may_open ? check_file(wavePath, options.mode, !options.only_wave) : Checked{};
    FileResult r;
    r.outcome = c.outcome;
    r.empty = c.empty;
    if (options.only_wave && !c.wave_form && (c.planned || c.outcome == Outcome::BeingWritten)) {
        r.reported = false;
        return r;
    }
    r.report_error = report(c, wavePath, options.verbose, kind);
    if (c.empty || c.card || (kind == io::Kind::Other && io::is_block_device(wavePath)))
        r.hint = Hint::LostOrCard;
    else if (c.planned && ostrel::holds_no_audio(c.plan))
        r.hint = Hint::EndsAtHeader;
    else if (!c.card_volume.empty())
        r.hint = Hint::OnCardVolume;
    return r;
}

Outcome repair_open(io::File& file, uint64_t length, ostrel::RepairPlan& plan) {
    FileSource source(file);
    plan = ostrel::plan_repair(source, length);
    const Outcome outcome = ostrel::outcome_of(plan);
    return outcome == Outcome::NeedsFix ? carry_out(file, plan) : outcome;
}


// The shell of --recover: opens each card read-only, lets the finder read it, writes each take
// into the folder given, repairs it with the same core as any take, and says what it did.
#include "recover.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card_io.h"
#include "file_io.h"
#include "header_repair.h"
#include "lost_takes.h"
#include "report_text.h"

namespace {

namespace io = ostrel::io;
namespace card = ostrel::card;

constexpr size_t kCopyStep = size_t{4} << 20;
constexpr size_t kRetryPiece = 4096;

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    std::fprintf(stderr, "ostrel_32bit: cannot write the report: %s\n",
                 io::output_error_text(errno ? errno : EIO).c_str());
    std::exit(1);
}

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, bytes >= 1e9 ? "%.1f GB" : "%.0f MB", bytes >= 1e9 ? bytes / 1e9 : bytes / 1e6);
    return text;
}

// The card as the finder and the writer read it. A read a failing card refuses is tried again in
// 4 KiB pieces; what still fails reads as zeros and is noted. On a terminal, how far the reading
// has come, at most four times a second, as dd status=progress shows it.
class CardSource : public ostrel::ByteSource {
public:
    CardSource(io::File& file, uint64_t length, bool progress)
        : file_(file),
          length_(length),
          progress_(progress),
          started_(std::chrono::steady_clock::now()),
          last_(started_) {}

    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        if (offset > length_ || count > length_ - offset) return false;
        if (!io::read_at(file_, offset, buf, count)) retry(offset, buf, count);
        read_ += count;
        show(offset + count);
        return true;
    }

    void end_progress() {
        if (shown_) std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

    struct Area {
        uint64_t offset, length;
    };
    std::vector<Area> unreadable;
    uint64_t bytes_read() const { return read_; }

private:
    void retry(uint64_t offset, uint8_t* buf, size_t count) {
        for (size_t at = 0; at < count; at += kRetryPiece) {
            const size_t n = count - at < kRetryPiece ? count - at : kRetryPiece;
            if (io::read_at(file_, offset + at, buf + at, n)) continue;
            std::memset(buf + at, 0, n);
            if (!unreadable.empty() && unreadable.back().offset + unreadable.back().length == offset + at)
                unreadable.back().length += n;
            else
                unreadable.push_back({offset + at, n});
        }
    }

    void show(uint64_t at) {
        const auto now = std::chrono::steady_clock::now();
        if (!progress_ || now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - started_).count();
        const double speed = seconds > 0 ? static_cast<double>(read_) / seconds : 0;
        const double left = speed > 0 ? static_cast<double>(length_ - at) / speed : 0;
        std::fprintf(stderr, "\r\033[Kread %s of %s, %s/s, %.0f s left", megabytes(static_cast<double>(at)).c_str(),
                     megabytes(static_cast<double>(length_)).c_str(), megabytes(speed).c_str(), left);
        shown_ = true;
    }

    io::File& file_;
    uint64_t length_;
    bool progress_, shown_ = false;
    uint64_t read_ = 0;
    std::chrono::steady_clock::time_point started_, last_;
};

struct Source {
    std::string name, device;
    io::File file;
    uint64_t length = 0;
    bool opened = false;
};

struct Tally {
    int unreadable_sources = 0, unwritten = 0, found = 0;
};

bool open_one(Source& s, bool& refused, const RecoverOptions& options) {
    switch (io::open_source(s.name, s.file, s.length, s.device)) {
        case io::SourceOpened::Yes: break;
        case io::SourceOpened::Missing:
            std::fprintf(stderr, "ostrel_32bit: %s: no such image, device or folder\n", s.name.c_str());
            return false;
        case io::SourceOpened::NoPermission:
            std::fprintf(stderr,
#ifdef _WIN32
                         "ostrel_32bit: %s: permission denied; reading a drive needs a Command Prompt run as "
                         "administrator, or make an image of the card first\n",
#else
                         "ostrel_32bit: %s: permission denied; run it with sudo, or make an image first with "
                         "dd if=DEVICE of=card.img bs=4M\n",
#endif
                         s.device.empty() ? s.name.c_str() : s.device.c_str());
            return false;
        case io::SourceOpened::NotAMountPoint:
            std::fprintf(stderr,
                         "ostrel_32bit: %s: a folder where no card is mounted; name the card's device, its "
                         "mount folder, or an image of it\n",
                         s.name.c_str());
            return false;
        case io::SourceOpened::No:
            std::fprintf(stderr, "ostrel_32bit: %s: not an image file or a disk that can be read\n", s.name.c_str());
            return false;
    }
    s.opened = true;
    if (io::on_device(options.into, s.device)) {
        std::fprintf(stderr,
                     "ostrel_32bit: will not recover into %s: it is on %s, and writing there could overwrite "
                     "the very clusters being recovered; name a folder on another disk\n",
                     options.into.c_str(), s.name.c_str());
        refused = true;
    }
    return true;
}

// The take's name with the system's separator between its folders; the folder given stays as typed.
std::string native(std::string path) {
#ifdef _WIN32
    for (char& c : path)
        if (c == '/') c = '\\';
#endif
    return path;
}

// The folder's path for the take's name, numbered -2, -3 ... where a file is already there.
std::string free_path(const RecoverOptions& o, const std::string& name, int n) {
    std::string path = o.into + (io::ends_in_separator(o.into) ? "" : std::string(1, io::kSeparator)) + native(name);
    if (n < 2) return path;
    const size_t dot = path.rfind('.'), sep = path.find_last_of("/\\");
    const size_t at = dot != std::string::npos && (sep == std::string::npos || dot > sep) ? dot : path.size();
    return path.insert(at, "-" + std::to_string(n));
}

// Copies the take's clusters into a new file and puts it on storage.
bool write_take(CardSource& src, const card::Findings& f, const card::LostTake& t, io::File& out) {
    const card::Volume& v = f.card.volumes[t.volume].volume;
    std::vector<uint8_t> buf(kCopyStep);
    uint64_t written = t.header.size();
    if (!t.header.empty() && !io::write_at(out, 0, t.header.data(), t.header.size())) return false;
    for (const card::Run& r : t.runs) {
        const uint64_t bytes = uint64_t{r.count} * v.cluster_bytes;
        for (uint64_t at = 0; at < bytes; at += kCopyStep) {
            const size_t n = bytes - at < kCopyStep ? static_cast<size_t>(bytes - at) : kCopyStep;
            if (!src.read_at(v.cluster_offset(r.first) + at, buf.data(), n) ||
                !io::write_at(out, written, buf.data(), n))
                return false;
            written += n;
        }
    }
    return io::flush_to_storage(out);
}

void take_lines(const RecoverOptions& o, const card::Findings& f, const card::LostTake& t,
                const ostrel::RepairPlan& plan, const std::string& path) {
    if (!o.verbose) return;
    std::vector<std::string> lines = card::take_detail(f, t);
    if (plan.verdict != ostrel::Verdict::ReadFailed)
        for (const std::string& line : ostrel::detail_lines(plan, path)) lines.push_back(line);
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    say(text);
}

bool recover_take(const RecoverOptions& o, CardSource& src, const Source& s, const card::Findings& f,
                  const card::LostTake& t) {
    ostrel::RepairPlan plan;
    std::string path;
    io::File out;
    io::Created created = io::Created::Exists;
    for (int n = 1; n < 10000 && created == io::Created::Exists; ++n) {
        path = free_path(o, t.name, n);
        if (o.check)
            created = io::kind_of(path.c_str()) == io::Kind::Missing ? io::Created::Yes : io::Created::Exists;
        else if (io::make_folders(path.substr(0, path.find_last_of("/\\"))))
            created = io::create_new(path, out);
        else
            created = io::Created::No;
    }
    bool ok = created == io::Created::Yes;
    if (o.check) {
        card::TakeSource take(src, f.card.volumes[t.volume].volume, t.runs, t.header);
        plan = ostrel::plan_repair(take, t.bytes);
    } else if (ok) {
        ok = write_take(src, f, t, out);
        ok = io::close(out) && ok;
        io::give_to_invoking_user(path);
        const Outcome outcome = ok ? repair_quietly(path.c_str(), plan) : Outcome::WriteFailed;
        ok = outcome == Outcome::Fixed || outcome == Outcome::Correct;
    }
    const std::string length = ostrel::clock_text(ostrel::audio_millis(plan, plan.new_size));
    if (!ok)
        say("Unable to write " + path + ", " + card::take_where(f, t) + " of " + s.name + ".\n");
    else
        say(std::string(o.check ? "Would recover " : "Recovered ") + card::take_where(f, t) + " from " + s.name +
            " into " + path + ": " + (length.empty() ? std::to_string(t.bytes) + " bytes" : length) + " of audio" +
            (t.format_from.empty() ? "" : ", in the format of " + t.format_from + " (a guess: it had no header)") +
            ".\n");
    take_lines(o, f, t, plan, path);
    return ok;
}

void say_what_was_wrong(const Source& s, const card::Findings& f, const CardSource& src) {
    for (const std::string& note : f.card.notes)
        std::fprintf(stderr, "ostrel_32bit: %s: %s\n", s.name.c_str(), note.c_str());
    for (const card::VolumeContents& vc : f.card.volumes) {
        const std::string volume = vc.volume.partition ? "partition " + std::to_string(vc.volume.partition) + ": " : "";
        for (const std::string& note : vc.notes)
            std::fprintf(stderr, "ostrel_32bit: %s: %s%s\n", s.name.c_str(), volume.c_str(), note.c_str());
    }
    for (const CardSource::Area& a : src.unreadable)
        std::fprintf(stderr,
                     "ostrel_32bit: %s: %llu bytes at offset %llu could not be read; they are zeros in what "
                     "was recovered\n",
                     s.name.c_str(), static_cast<unsigned long long>(a.length),
                     static_cast<unsigned long long>(a.offset));
    if (f.deleted > 0)
        std::fprintf(stderr, "ostrel_32bit: %s: %u %s deleted on the card %s left alone\n", s.name.c_str(), f.deleted,
                     f.deleted == 1 ? "take" : "takes", f.deleted == 1 ? "was" : "were");
}

// Refuses, writing nothing, when the folder's disk cannot hold every take found.
bool room_for(const RecoverOptions& o, const card::Findings& f) {
    uint64_t need = 0, free = 0;
    for (const card::LostTake& t : f.takes) need += t.bytes;
    if (!io::make_folders(o.into)) {
        std::fprintf(stderr, "ostrel_32bit: cannot make the folder %s\n", o.into.c_str());
        return false;
    }
    if (!io::free_space(o.into, free) || free >= need) return true;
    std::fprintf(stderr,
                 "ostrel_32bit: %s has %llu bytes free, and the %zu takes found need %llu; recover into a "
                 "folder on a larger disk\n",
                 o.into.c_str(), static_cast<unsigned long long>(free), f.takes.size(),
                 static_cast<unsigned long long>(need));
    return false;
}

void recover_source(const RecoverOptions& o, Source& s, Tally& tally) {
    CardSource src(s.file, s.length, io::stderr_is_terminal());
    const card::Findings f = card::find_lost_takes(src, s.length);
    src.end_progress();
    if (!f.card.error.empty()) {
        std::fprintf(stderr, "ostrel_32bit: %s: %s\n", s.name.c_str(), f.card.error.c_str());
        ++tally.unreadable_sources;
    }
    say_what_was_wrong(s, f, src);
    if (!f.card.error.empty()) return;
    tally.found += static_cast<int>(f.takes.size());
    if (f.takes.empty()) return say("No lost take found on " + s.name + ".\n");
    if (!o.check && !room_for(o, f)) {
        ++tally.unwritten;
        return;
    }
    for (const card::LostTake& t : f.takes) tally.unwritten += !recover_take(o, src, s, f, t);
}

}  // namespace

int recover(const RecoverOptions& options, const std::vector<std::string>& sources) {
    std::vector<Source> opened(sources.size());
    Tally tally;
    bool refused = false;
    for (size_t k = 0; k < sources.size(); ++k) {
        opened[k].name = sources[k];
        tally.unreadable_sources += !open_one(opened[k], refused, options);
    }
    for (Source& s : opened) {
        if (s.opened && !refused) recover_source(options, s, tally);
        if (s.opened) io::close(s.file);  // read-only: nothing to lose
    }
    if (refused) return options.check ? 2 : 1;
    if (options.check) return tally.found > 0 ? 1 : tally.unreadable_sources > 0 ? 2 : 0;
    return tally.unreadable_sources > 0 || tally.unwritten > 0 ? 1 : 0;
}

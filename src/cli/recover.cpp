// The shell of --recover: opens each card read-only, lets the finder read first where the
// recorder was writing and then the rest, writes each take into the folder given as soon as it
// is settled, repairs it with the same core as any take, and says what it did. Stopped, it keeps
// every take it wrote whole.
#include "recover.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "card_io.h"
#include "card_source.h"
#include "file_io.h"
#include "header_repair.h"
#include "lost_takes.h"
#include "take_words.h"
#include "report_text.h"

namespace {

namespace io = ostrel::io;
namespace card = ostrel::card;
using io::Area;
using io::CardSource;
using card::megabytes;

constexpr size_t kCopyStep = size_t{4} << 20;

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    std::fprintf(stderr, "ostrel_32bit: cannot write the report: %s\n",
                 io::output_error_text(errno ? errno : EIO).c_str());
    std::exit(1);
}

struct Source {
    std::string name, device;
    io::File file;
    uint64_t length = 0;
    bool opened = false;
};

struct Tally {
    int unreadable_sources = 0, unwritten = 0;
    int to_write = 0;  // with --check: takes a real run would write
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

// The take's name, numbered -2, -3 ... where a file of that name is already there.
std::string numbered(const std::string& name, int n) {
    if (n < 2) return name;
    const size_t dot = name.rfind('.'), slash = name.rfind('/');
    const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : name.size();
    return std::string(name).insert(at, "-" + std::to_string(n));
}

std::string shown_path(const RecoverOptions& o, const std::string& relative) {
    return o.into + (io::ends_in_separator(o.into) ? "" : std::string(1, io::kSeparator)) + native(relative);
}

// A take's bytes as its file will hold them once repaired: the card's, with the repair's writes.
class RepairedTake : public ostrel::ByteSource {
public:
    RepairedTake(ostrel::ByteSource& take, const ostrel::RepairPlan& plan) : take_(take), plan_(plan) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        if (!take_.read_at(offset, buf, count)) return false;
        for (size_t k = 0; k < plan_.write_count; ++k) {
            const ostrel::Write& w = plan_.writes[k];
            for (size_t b = 0; b < w.count; ++b)
                if (w.offset + b >= offset && w.offset + b - offset < count) buf[w.offset + b - offset] = w.bytes[b];
        }
        return true;
    }

private:
    ostrel::ByteSource& take_;
    const ostrel::RepairPlan& plan_;
};

// True when `file` holds exactly the take's repaired bytes: it was recovered before.
bool same_bytes(io::File& file, uint64_t length, ostrel::ByteSource& take, uint64_t bytes) {
    if (length != bytes) return false;
    std::vector<uint8_t> a(kCopyStep), b(kCopyStep);
    for (uint64_t at = 0; at < bytes; at += kCopyStep) {
        const size_t n = bytes - at < kCopyStep ? static_cast<size_t>(bytes - at) : kCopyStep;
        if (!io::read_at(file, at, a.data(), n) || !take.read_at(at, b.data(), n) ||
            std::memcmp(a.data(), b.data(), n) != 0)
            return false;
    }
    return true;
}

// The bytes a take's file holds, in 64 bits (FNV-1a): what --check remembers of a take it has
// promised a name, since nothing is written to compare with.
uint64_t fingerprint(ostrel::ByteSource& take, uint64_t bytes) {
    std::vector<uint8_t> buf(kCopyStep);
    uint64_t h = 0xcbf29ce484222325u;
    for (uint64_t at = 0; at < bytes; at += kCopyStep) {
        const size_t n = bytes - at < kCopyStep ? static_cast<size_t>(bytes - at) : kCopyStep;
        if (!take.read_at(at, buf.data(), n)) return 0;
        for (size_t k = 0; k < n; ++k) h = (h ^ buf[k]) * 0x100000001b3u;
    }
    return h ^ bytes;
}

// A name --check has promised a take: where its bytes are, to compare when another take of the
// same length comes to the same name.
struct Promise {
    CardSource* card;
    card::Volume volume;
    card::LostTake take;
    ostrel::RepairPlan plan;
    std::optional<uint64_t> print{};

    uint64_t fingerprint_now() {
        if (!print) {
            card::TakeSource bytes(*card, volume, take);
            RepairedTake repaired(bytes, plan);
            print = fingerprint(repaired, take.bytes);
        }
        return *print;
    }
};

// What a run carries from card to card: each card as it is read, and the names --check has
// promised, so that it names exactly what a real run would write.
struct Session {
    const RecoverOptions& o;
    Tally tally;
    std::map<std::string, Promise> promised;
    std::vector<std::unique_ptr<CardSource>> cards;
};

enum class Place { New, Already, Refused, Failed, Interrupted };

// The name the take goes to: the first of NAME, NAME-2 ... that is free or already holds it.
Place place_take(Session& run, const card::LostTake& t, ostrel::ByteSource& repaired, std::string& relative) {
    for (int n = 1; n < 10000; ++n) {
        relative = numbered(t.name, n);
        const auto promised = run.promised.find(relative);
        if (promised != run.promised.end()) {
            Promise& p = promised->second;
            if (p.take.bytes == t.bytes && p.fingerprint_now() == fingerprint(repaired, t.bytes)) return Place::Already;
            continue;
        }
        io::File existing;
        uint64_t length = 0;
        switch (io::open_below(run.o.into, relative, existing, length)) {
            case io::Found::Missing: return Place::New;
            case io::Found::Refused: return Place::Refused;
            case io::Found::Yes: break;
        }
        const bool same = same_bytes(existing, length, repaired, t.bytes);
        io::close(existing);  // read-only: nothing to lose
        if (same) return Place::Already;
    }
    return Place::Failed;
}

// Copies the take into a new file, puts it on storage, and repairs it through the same handle.
bool write_take(Session& run, ostrel::ByteSource& take, const card::LostTake& t, const std::string& relative,
                ostrel::RepairPlan& plan, Place& place) {
    io::File out;
    const io::Created created = io::create_below(run.o.into, relative, out);
    if (created != io::Created::Yes) {
        place = created == io::Created::Refused ? Place::Refused : Place::Failed;
        return false;
    }
    std::vector<uint8_t> buf(kCopyStep);
    bool copied = true;
    for (uint64_t at = 0; copied && at < t.bytes; at += kCopyStep) {
        const size_t n = t.bytes - at < kCopyStep ? static_cast<size_t>(t.bytes - at) : kCopyStep;
        copied = take.read_at(at, buf.data(), n) && io::write_at(out, at, buf.data(), n);
    }
    const bool stored = copied && io::flush_to_storage(out);
    const Outcome outcome = stored ? repair_open(out, t.bytes, plan) : Outcome::WriteFailed;
    const bool ok = io::close(out) && (outcome == Outcome::Fixed || outcome == Outcome::Correct);
    // A copy cut short is no take: it goes, so that a second run writes it whole.
    if (!copied)
        io::remove_below(run.o.into, relative);
    else
        io::give_to_invoking_user(shown_path(run.o, relative));
    return ok;
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

std::string how_long(const ostrel::RepairPlan& plan, const card::LostTake& t) {
    const std::string length = ostrel::clock_text(ostrel::audio_millis(plan, plan.new_size));
    return (length.empty() ? std::to_string(t.bytes) + " bytes" : length) + " of audio";
}

std::string take_line(Place place, bool check, const Source& s, const std::string& path, const ostrel::RepairPlan& plan,
                      const card::Findings& f, const card::LostTake& t) {
    const std::string where = card::take_where(f, t);
    if (place == Place::Refused)
        return "Will not write " + path + ", " + where + " of " + s.name +
               ": a folder or file on the way is a link, which is never followed.\n";
    if (place == Place::Failed) return "Unable to write " + path + ", " + where + " of " + s.name + ".\n";
    if (place == Place::Interrupted)
        return "Stopped while writing " + path + ", " + where + " of " + s.name +
               "; the unfinished file was removed.\n";
    const char* verb = place == Place::Already ? "Already recovered " : check ? "Would recover " : "Recovered ";
    std::string line = verb + where + " from " + s.name + " into " + path + ": " + how_long(plan, t);
    if (!t.format_from.empty()) line += ", in the format of " + t.format_from + " (a guess: it had no header)";
    if (t.older) line += ", an older take, whole by its own header";
    if (t.after_end_of >= 0)
        line += ", kept apart from " + card::take_where(f, f.takes[static_cast<size_t>(t.after_end_of)]) + ": " +
                t.apart_why;
    return line + ".\n";
}

// Bytes the card would not give inside this take, said with the take, once each.
void say_zeros(CardSource& src, const Source& s, const std::string& path) {
    std::set<uint64_t> said;
    for (const Area& a : src.recent)
        if (said.insert(a.offset).second)
            std::fprintf(stderr,
                         "ostrel_32bit: %s: %llu bytes at offset %llu could not be read; they are zeros in %s\n",
                         s.name.c_str(), static_cast<unsigned long long>(a.length),
                         static_cast<unsigned long long>(a.offset), path.c_str());
    src.recent.clear();
}

bool recover_take(Session& run, CardSource& src, const Source& s, const card::Findings& f, const card::LostTake& t,
                  std::string* written_as = nullptr) {
    const card::Volume& v = f.card.volumes[t.volume].volume;
    const std::string where = card::take_where(f, t);
    if (t.no_format()) {
        say("Cannot recover " + where + " of " + s.name + ": " + std::to_string(t.bytes) +
            " bytes of audio with no header, and no take on the card to lend it a format; give the format of a "
            "take from the same recorder with --like FILE.wav.\n");
        take_lines(run.o, f, t, {}, "");
        ++run.tally.to_write;
        return false;
    }
    card::TakeSource take(src, v, t);
    src.recent.clear();
    ostrel::RepairPlan plan = ostrel::plan_repair(take, t.bytes);
    RepairedTake repaired(take, plan);
    std::string relative;
    Place place = place_take(run, t, repaired, relative);
    if (place == Place::New && run.o.check) {
        run.promised.emplace(relative, Promise{&src, v, t, plan});
        ++run.tally.to_write;
    }
    const bool ok = place == Place::Already ||
                    (place == Place::New && (run.o.check || write_take(run, take, t, relative, plan, place)));
    const std::string path = shown_path(run.o, relative);
    if (written_as && ok && place == Place::New) *written_as = relative;
    if (!ok && place == Place::New) place = src.stopped() ? Place::Interrupted : Place::Failed;
    say(take_line(place, run.o.check, s, path, plan, f, t));
    if (!run.o.check) say_zeros(src, s, path);
    take_lines(run.o, f, t, plan, path);
    return ok;
}

// What was wrong with the card: skipped partitions, broken structures, unreadable areas that
// lie in no take (those inside one are said with it), takes the user deleted.
void say_what_was_wrong(const Source& s, const card::Findings& f, CardSource& src, bool check) {
    for (const std::string& note : f.card.notes)
        std::fprintf(stderr, "ostrel_32bit: %s: %s\n", s.name.c_str(), note.c_str());
    for (const card::VolumeContents& vc : f.card.volumes) {
        const std::string volume = vc.volume.partition ? "partition " + std::to_string(vc.volume.partition) + ": " : "";
        for (const std::string& note : vc.notes)
            std::fprintf(stderr, "ostrel_32bit: %s: %s%s\n", s.name.c_str(), volume.c_str(), note.c_str());
    }
    for (const auto& [offset, end] : src.failed) {
        bool in_take = false;
        for (const card::LostTake& t : f.takes)
            for (const card::Span& span : card::card_spans(f.card.volumes[t.volume].volume, t))
                in_take |= span.offset < end && offset < span.offset + span.length;
        if (!in_take || check)
            std::fprintf(stderr, "ostrel_32bit: %s: %llu bytes at offset %llu could not be read\n", s.name.c_str(),
                         static_cast<unsigned long long>(end - offset), static_cast<unsigned long long>(offset));
    }
    src.recent.clear();
    if (f.deleted > 0)
        std::fprintf(stderr, "ostrel_32bit: %s: %u %s deleted on the card %s left alone\n", s.name.c_str(), f.deleted,
                     f.deleted == 1 ? "take" : "takes", f.deleted == 1 ? "was" : "were");
}

// Refuses, writing nothing, when the folder's disk cannot hold every take found.
bool room_for(const RecoverOptions& o, const std::vector<const card::LostTake*>& takes) {
    uint64_t need = 0, free = 0;
    for (const card::LostTake* t : takes) need += t->bytes;
    if (!io::make_folders(o.into)) {
        std::fprintf(stderr, "ostrel_32bit: cannot make the folder %s\n", o.into.c_str());
        return false;
    }
    if (!io::free_space(o.into, free) || free >= need) return true;
    std::fprintf(stderr,
                 "ostrel_32bit: %s has %llu bytes free, and the %zu takes found need %llu; recover into a "
                 "folder on a larger disk\n",
                 o.into.c_str(), static_cast<unsigned long long>(free), takes.size(),
                 static_cast<unsigned long long>(need));
    return false;
}

const char* why_stopped(const CardSource& src) {
    return src.gone() ? "the card can no longer be read (was it taken out?)" : "stopped as asked";
}

// Stopped while the card was being read: what was recovered before stays, and a second run
// reads the card again, skipping the takes already recovered.
void stopped_reading(Session& run, const Source& s, const CardSource& src, size_t written) {
    const std::string kept = written == 0   ? "nothing was written"
                             : written == 1 ? "the take recovered before is whole"
                                            : "the takes recovered before are whole";
    std::fprintf(stderr,
                 "ostrel_32bit: %s: %s after reading %s of %s; %s: run the same command again, and takes already "
                 "recovered are skipped\n",
                 s.name.c_str(), why_stopped(src), megabytes(static_cast<double>(src.reached())).c_str(),
                 megabytes(static_cast<double>(src.length())).c_str(), kept.c_str());
    ++run.tally.unreadable_sources;
}

// Stopped while takes were being written: those written are whole and repaired, the one being
// written was removed, and a second run skips what is already there.
void stopped_writing(Session& run, const Source& s, const CardSource& src, size_t written, size_t found) {
    std::fprintf(stderr,
                 "ostrel_32bit: %s: %s; %zu of the %zu takes found are recovered, whole; run the same command "
                 "again for the rest: takes already recovered are skipped\n",
                 s.name.c_str(), why_stopped(src), written, found);
    run.tally.unwritten += static_cast<int>(found - written > 0 ? 1 : 0);
}

// A take written before the whole card was read, kept to be matched with the takes it gives.
struct Early {
    card::LostTake take;
    std::string relative;  // empty where nothing was written
    bool matched = false;
};

// Writes `takes` of `f`, each as it comes, until the run is stopped; `early` gets those written.
size_t write_takes(Session& run, CardSource& src, const Source& s, const card::Findings& f,
                   const std::vector<const card::LostTake*>& takes, std::vector<Early>* early) {
    size_t written = 0;
    if (takes.empty()) return 0;
    if (!run.o.check && !room_for(run.o, takes)) return ++run.tally.unwritten, 0;
    for (const card::LostTake* t : takes) {
        if (src.stopped()) break;
        std::string relative;
        const bool ok = recover_take(run, src, s, f, *t, &relative);
        written += ok, run.tally.unwritten += !ok;
        if (early) early->push_back({*t, relative});
    }
    if (src.stopped()) stopped_writing(run, s, src, written, takes.size());
    return written;
}

// A take written early that the whole card gives otherwise: it goes, and the whole card's stands.
void withdraw(Session& run, const Source& s, const Early& e) {
    const std::string path = shown_path(run.o, e.relative);
    if (!run.o.check) io::remove_below(run.o.into, e.relative);
    say(std::string(run.o.check ? "Would remove " : "Removed ") + path + ", written from " + s.name +
        " before the whole card was read: the whole card gives that take otherwise.\n");
}

// First the takes where the recorder was writing, each written as soon as it is found; then the
// rest of the card, and each take it gives that is not written yet.
void recover_source(Session& run, Source& s, const card::FindOptions& options) {
    CardSource& src = *run.cards.emplace_back(std::make_unique<CardSource>(s.file, s.length));
    io::ProgressLine progress(io::stderr_is_terminal());
    card::FindOptions find = options;
    find.progress = &progress;
    card::CardReading reading;
    card::Findings hot = card::find_hot_takes(src, s.length, find, reading);
    progress.end();
    if (src.stopped()) return stopped_reading(run, s, src, 0);
    if (!hot.card.error.empty()) {
        std::fprintf(stderr, "ostrel_32bit: %s: %s\n", s.name.c_str(), hot.card.error.c_str());
        ++run.tally.unreadable_sources;
        return say_what_was_wrong(s, hot, src, run.o.check);
    }
    std::vector<Early> early;
    std::vector<const card::LostTake*> first;
    for (const card::LostTake& t : hot.takes) first.push_back(&t);
    const size_t written = write_takes(run, src, s, hot, first, &early);
    if (src.stopped()) return;
    const card::Findings f = card::find_all_takes(src, find, reading, std::move(hot.card));
    progress.end();
    if (src.stopped()) return stopped_reading(run, s, src, written);
    say_what_was_wrong(s, f, src, run.o.check);
    std::vector<const card::LostTake*> rest;
    for (const card::LostTake& t : f.takes) {
        auto same =
            std::find_if(early.begin(), early.end(), [&](const Early& e) { return card::same_take(e.take, t); });
        if (same == early.end())
            rest.push_back(&t);
        else
            same->matched = true;
    }
    for (const Early& e : early)
        if (!e.matched && !e.relative.empty()) withdraw(run, s, e);
    if (f.takes.empty()) return say("No lost take found on " + s.name + ".\n");
    write_takes(run, src, s, f, rest, nullptr);
}

// The header of the file given with --like, as a take without one borrows it.
bool like_header(const std::string& path, card::FindOptions& find) {
    io::File file;
    uint64_t length = 0;
    if (io::open_file(path.c_str(), false, file, length) != io::Opened::Yes) {
        std::fprintf(stderr, "ostrel_32bit: --like %s: it cannot be opened\n", path.c_str());
        return false;
    }
    CardSource source(file, length);
    const ostrel::RepairPlan p = ostrel::plan_repair(source, length);
    const uint64_t start = p.data_id + 8;
    bool ok = p.wave_form && !p.rf64 && p.format.known && ostrel::pcm_like(p.format) &&
              p.verdict != ostrel::Verdict::NoDataBlock && start <= length && start <= 65536;
    if (ok) {
        find.like.resize(start);
        ok = source.read_at(0, find.like.data(), find.like.size()) && source.failed.empty();
        find.like_path = path;
    }
    io::close(file);  // read-only: nothing to lose
    if (!ok)
        std::fprintf(stderr,
                     "ostrel_32bit: --like %s: not a RIFF WAVE file of PCM or float audio whose format can be lent\n",
                     path.c_str());
    return ok;
}

// `--recover card.img Rec`: the folder comes first.
bool swapped(const RecoverOptions& o) {
    const io::Kind into = io::kind_of(o.into.c_str());
    if (into == io::Kind::Missing || into == io::Kind::Folder) return false;
    std::fprintf(stderr,
                 "ostrel_32bit: %s is not a folder: the folder to recover into comes first, then the card "
                 "(ostrel_32bit --recover FOLDER CARD)\n",
                 o.into.c_str());
    return true;
}

}  // namespace

int recover(const RecoverOptions& options, const std::vector<std::string>& sources) {
    io::catch_interruptions();
    card::FindOptions find;
    if (swapped(options) || (!options.like.empty() && !like_header(options.like, find))) return 2;
    std::vector<Source> opened(sources.size());
    Session run{options, {}, {}, {}};
    bool refused = false;
    for (size_t k = 0; k < sources.size(); ++k) {
        opened[k].name = sources[k];
        run.tally.unreadable_sources += !open_one(opened[k], refused, options);
    }
    for (Source& s : opened)
        if (s.opened && !refused) recover_source(run, s, find);
    for (Source& s : opened)
        if (s.opened) io::close(s.file);  // read-only: nothing to lose
    const Tally& tally = run.tally;
    if (refused) return options.check ? 2 : 1;
    if (options.check) return tally.to_write > 0 ? 1 : tally.unreadable_sources > 0 ? 2 : 0;
    return tally.unreadable_sources > 0 || tally.unwritten > 0 ? 1 : 0;
}

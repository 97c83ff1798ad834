// Finding lost takes. A recorder's FAT driver that loses power leaves the entry at 0 bytes (or at
// the size of its last sync), the FAT chain written only as far as the last FAT sector that left
// its buffer, and the audio in the clusters its allocator would hand out next: after the take's
// last cluster, skipping those in use. So a take is followed by its FAT chain while that leads
// to clusters no one holds, and then in the allocator's order, until another take's header,
// space never written, or the volume's end.
#include "lost_takes.h"

#include <cstring>
#include <map>
#include <utility>

#include "byte_codec.h"
#include "repair_decision.h"

namespace ostrel::card {

namespace {

// Space never written on a fresh or erased card reads as all 00 or all FF; digital silence in a
// take is rarely this long.
constexpr uint64_t kBlankRun = uint64_t{1} << 20;
constexpr uint64_t kFatFileLimit = 0xFFFFFFFFu;
// A header lent to a headerless take comes from a healthy take's first bytes.
constexpr uint64_t kMaxHeaderBytes = 65536;
enum : uint8_t { kLive = 1, kUsed = 2, kHeader = 4, kBlank = 8 };

class Bytes : public ByteSource {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        if (offset > size_ || count > size_ - offset) return false;
        std::memcpy(buf, data_ + offset, count);
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// RIFF, RF64 or BW64, then WAVE, with a fmt chunk the repair can read.
bool wave_header(const uint8_t* b, size_t n) {
    if (!is_wave_form(b, n)) return false;
    Bytes bytes(b, n);
    return plan_repair(bytes, n).format.known;
}

bool blank(const uint8_t* b, size_t n) { return (b[0] == 0 || b[0] == 0xFF) && std::memcmp(b, b + 1, n - 1) == 0; }

std::vector<Run> runs_of(const std::vector<uint32_t>& clusters) {
    std::vector<Run> runs;
    for (uint32_t c : clusters) {
        if (!runs.empty() && runs.back().first + runs.back().count == c)
            ++runs.back().count;
        else
            runs.push_back({c, 1});
    }
    return runs;
}

struct VolumeScan {
    ByteSource& source;
    const VolumeContents& vc;
    std::vector<uint8_t> flags;
    std::map<uint32_t, uint32_t> riff;  // the RIFF size in each cluster that begins with a header

    // One read of every cluster no entry holds, `step` bytes at most at a time.
    uint64_t scan(size_t step) {
        const Volume& v = vc.volume;
        const uint32_t per_read = step / v.cluster_bytes > 0 ? static_cast<uint32_t>(step / v.cluster_bytes) : 1;
        std::vector<uint8_t> buf(uint64_t{per_read} * v.cluster_bytes);
        uint64_t scanned = 0;
        for (uint32_t c = kFirstCluster; c < v.end();) {
            if (flags[c] & kLive) {
                ++c;
                continue;
            }
            uint32_t n = 1;
            while (n < per_read && c + n < v.end() && !(flags[c + n] & kLive)) ++n;
            const size_t bytes = size_t{n} * v.cluster_bytes;
            if (source.read_at(v.cluster_offset(c), buf.data(), bytes)) {
                for (uint32_t k = 0; k < n; ++k) classify(c + k, buf.data() + size_t{k} * v.cluster_bytes);
                scanned += bytes;
            }
            c += n;
        }
        return scanned;
    }

    void classify(uint32_t c, const uint8_t* b) {
        const size_t cs = vc.volume.cluster_bytes;
        if (blank(b, cs))
            flags[c] |= kBlank;
        else if (wave_header(b, cs))
            flags[c] |= kHeader, riff[c] = load_le32(b + 4);
    }
};

// What a live file's header says of it. A header that says more than its entry holds, or sizes
// never written, is a take in progress that the recorder synced now and then: `own` gets its
// clusters. A header that agrees is a healthy take, whose header can give a headerless take its
// format: `header` gets its bytes up to the audio.
struct Look {
    std::vector<uint32_t> own;
    std::vector<uint8_t> header;
};

Look look_at(ByteSource& source, const VolumeContents& vc, const Entry& e) {
    const uint64_t cs = vc.volume.cluster_bytes;
    Look look;
    std::vector<uint32_t> own = vc.chain(e.first, e.size / cs + (e.size % cs != 0), !e.contiguous);
    if (own.empty()) return look;
    TakeSource take(source, vc.volume, runs_of(own));
    const uint64_t length = e.size < own.size() * cs ? e.size : own.size() * cs;
    const RepairPlan p = plan_repair(take, length);
    if (!p.wave_form || !p.format.known || p.verdict == Verdict::NoDataBlock || p.verdict == Verdict::ReadFailed)
        return look;
    const uint64_t data_start = p.data_id + 8;
    const bool placeholder = p.stored_size == 0 || (!p.rf64 && p.stored_size == 0xFFFFFFFFu);
    const bool says_more = data_start > length || p.stored_size > length - data_start || p.form_size > length - 8;
    if (placeholder || says_more) {
        look.own = std::move(own);
    } else if (!p.rf64 && pcm_like(p.format) && data_start <= kMaxHeaderBytes) {
        look.header.resize(data_start);
        if (!take.read_at(0, look.header.data(), look.header.size())) look.header.clear();
    }
    return look;
}

// '#' in the pattern stands for a digit.
bool matches(const std::string& s, const char* pattern) {
    if (s.size() != std::strlen(pattern)) return false;
    for (size_t k = 0; k < s.size(); ++k)
        if (pattern[k] == '#' ? s[k] < '0' || s[k] > '9' : s[k] != pattern[k]) return false;
    return true;
}

// What chkdsk and fsck.fat name the lost chains they keep.
bool reclaimed_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t up = slash == 0 || slash == std::string::npos ? std::string::npos : path.rfind('/', slash - 1);
    const std::string name = path.substr(slash + 1);
    const std::string folder = up == std::string::npos ? "" : path.substr(up + 1, slash - up - 1);
    return matches(name, "FSCK####.REC") || (matches(folder, "FOUND.###") && matches(name, "FILE####.CHK"));
}

// Follows a take from its clusters so far, as the recorder's allocator would have given it more.
struct Follower {
    const VolumeContents& vc;
    std::vector<uint8_t>& flags;
    LostTake& take;
    bool by_fat;

    uint32_t next_after(uint32_t c) {
        if (by_fat && vc.link(vc.fat[c]) && !(flags[vc.fat[c]] & (kLive | kUsed))) {
            ++take.fat_links;
            return vc.fat[c];
        }
        for (uint32_t k = c + 1; k < vc.volume.end(); ++k) {
            if (!(flags[k] & (kLive | kUsed))) return k;
            ++take.held_skipped;
        }
        return 0;
    }

    std::vector<uint32_t> follow(std::vector<uint32_t> list) {
        const uint64_t cs = vc.volume.cluster_bytes;
        const bool fat = vc.volume.kind != FsKind::ExFat;
        for (uint32_t c : list) flags[c] |= kUsed;
        uint32_t blank_tail = 0;
        for (uint32_t guard = 0; guard < vc.volume.clusters; ++guard) {
            if (fat && (list.size() + 1) * cs > kFatFileLimit) {
                take.stopped = "it reached 4 GiB, the most a FAT file can hold";
                break;
            }
            const uint32_t n = next_after(list.back());
            if (n == 0) {
                take.stopped = "the volume ends";
                break;
            }
            if (flags[n] & kHeader) {
                take.stopped = "cluster " + std::to_string(n) + " begins another take";
                break;
            }
            blank_tail = flags[n] & kBlank ? blank_tail + 1 : 0;
            list.push_back(n);
            flags[n] |= kUsed;
            if (blank_tail * cs >= kBlankRun) {
                take.stopped = std::to_string(blank_tail * cs) + " bytes from cluster " +
                               std::to_string(list[list.size() - blank_tail]) + " were never written";
                break;
            }
        }
        // Space never written after the audio is no part of it.
        while (list.size() > 1 && (flags[list.back()] & kBlank) && !(flags[list.back()] & kLive)) {
            flags[list.back()] &= static_cast<uint8_t>(~kUsed);
            list.pop_back();
        }
        return list;
    }
};

std::string safe_path(const std::string& path) {
    std::string out, part;
    auto flush = [&]() {
        if (part.empty()) return;
        if (part == "." || part == "..") part = "_";
        out += (out.empty() ? "" : "/") + part;
        part.clear();
    };
    for (const unsigned char c : path) {
        if (c == '/')
            flush();
        else
            part += c < 0x20 || std::strchr("\\:*?\"<>|", c) ? '_' : static_cast<char>(c);
    }
    flush();
    return out.empty() ? "_" : out;
}

void name_takes(Findings& f) {
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) {
        const VolumeContents& vc = f.card.volumes[vi];
        const Entry* lone = nullptr;
        int empties = 0, unnamed = 0;
        for (const Entry& e : vc.files)
            if (!e.deleted && e.size == 0 && !vc.link(e.first)) ++empties, lone = &e;
        for (const LostTake& t : f.takes) unnamed += t.volume == vi && t.entry.empty();
        for (LostTake& t : f.takes) {
            if (t.volume != vi) continue;
            const std::string prefix =
                vc.volume.partition ? "lost-p" + std::to_string(vc.volume.partition) + "-" : "lost-";
            if (!t.entry.empty())
                t.name = safe_path(t.entry) + (t.start == Start::Reclaimed ? ".wav" : "");
            else if (empties == 1 && unnamed == 1)
                t.name = safe_path(lone->path), t.entry = lone->path;
            else
                t.name = prefix + "cluster" + std::to_string(t.first) + ".wav";
        }
    }
}

// A healthy take on the volume, whose format a headerless take may borrow.
struct Healthy {
    std::string path;
    uint32_t modified;
    std::vector<uint8_t> header;
};

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The nearest healthy take in the same folder, else the newest on the volume.
const Healthy* format_for(const std::vector<Healthy>& healthy, const std::string& path) {
    auto rank = [&](const Healthy& h) { return std::make_pair(folder_of(h.path) == folder_of(path), h.modified); };
    const Healthy* best = nullptr;
    for (const Healthy& h : healthy)
        if (!best || rank(h) > rank(*best)) best = &h;
    return best;
}

struct VolumeFinder {
    ByteSource& source;
    Findings& f;
    size_t vi;
    VolumeScan scan;
    std::vector<Healthy> healthy;

    const VolumeContents& vc() const { return f.card.volumes[vi]; }
    bool fat() const { return vc().volume.kind != FsKind::ExFat; }

    void add(Start start, const std::string& entry, std::vector<uint32_t> own, bool by_fat,
             const Healthy* format = nullptr) {
        LostTake t;
        t.volume = vi, t.start = start, t.entry = entry, t.first = own.front();
        if (start == Start::StaleEntry || start == Start::Reclaimed)
            t.own_bytes = own.size() * uint64_t{vc().volume.cluster_bytes};
        if (format) t.header = format->header, t.format_from = format->path;
        Follower follower{vc(), scan.flags, t, by_fat};
        const std::vector<uint32_t> clusters = follower.follow(std::move(own));
        t.runs = runs_of(clusters);
        t.bytes = t.header.size() + clusters.size() * uint64_t{vc().volume.cluster_bytes};
        f.takes.push_back(std::move(t));
    }

    // 0-byte entries whose first cluster holds a header, and live entries a recorder synced.
    void from_entries() {
        for (const Entry& e : vc().files) {
            if (e.deleted) continue;
            const bool by_fat = fat() || !e.contiguous;
            if (e.size == 0 && vc().link(e.first) && (scan.flags[e.first] & (kHeader | kUsed)) == kHeader) {
                add(Start::EmptyEntry, e.path, {e.first}, by_fat);
            } else if (e.size > 0) {
                Look look = look_at(source, vc(), e);
                if (!look.header.empty()) healthy.push_back({e.path, e.modified, std::move(look.header)});
                if (!look.own.empty())
                    add(reclaimed_name(e.path) ? Start::Reclaimed : Start::StaleEntry, e.path, std::move(look.own),
                        by_fat);
            }
        }
    }

    // Clusters no entry holds that begin with a header, but for takes the user deleted.
    void from_free_clusters() {
        std::multimap<uint32_t, uint64_t> deleted;
        for (const Entry& e : vc().files)
            if (e.deleted) deleted.emplace(e.first, e.size);
        for (uint32_t c = kFirstCluster; c < vc().volume.end(); ++c) {
            if ((scan.flags[c] & (kHeader | kUsed)) != kHeader) continue;
            bool by_user = false;
            for (auto [at, end] = deleted.equal_range(c); at != end; ++at)
                by_user |= at->second == uint64_t{scan.riff[c]} + 8;
            if (by_user)
                ++f.deleted;
            else
                add(Start::FreeCluster, "", {c}, fat());
        }
    }

    // Audio without a header: after a 0-byte entry's first cluster, or a lost chain in the FAT
    // (clusters marked used that no entry holds), given a healthy take's format.
    void without_headers() {
        auto start = [&](uint32_t c) { return vc().link(c) && !(scan.flags[c] & (kLive | kUsed | kHeader | kBlank)); };
        for (const Entry& e : vc().files)
            if (!e.deleted && e.size == 0 && start(e.first))
                if (const Healthy* h = format_for(healthy, e.path))
                    add(Start::Headerless, e.path, {e.first}, fat() || !e.contiguous, h);
        if (!fat()) return;
        std::vector<uint8_t> linked(vc().volume.end(), 0);
        for (uint32_t c = kFirstCluster; c < vc().volume.end(); ++c)
            if (start(c) && vc().link(vc().fat[c])) linked[vc().fat[c]] = 1;
        for (uint32_t c = kFirstCluster; c < vc().volume.end(); ++c)
            if (start(c) && vc().fat[c] != 0 && !linked[c])
                if (const Healthy* h = format_for(healthy, "")) add(Start::Headerless, "", {c}, true, h);
    }
};

void find_in_volume(ByteSource& source, Findings& f, size_t vi, size_t step) {
    VolumeFinder finder{source, f, vi, VolumeScan{source, f.card.volumes[vi], f.card.volumes[vi].live, {}}, {}};
    f.scanned += finder.scan.scan(step);
    finder.from_entries();
    finder.from_free_clusters();
    finder.without_headers();
}

std::string cluster_runs(const std::vector<Run>& runs) {
    std::string s;
    for (size_t k = 0; k < runs.size() && k < 8; ++k) {
        s += (k ? ", " : "") + std::to_string(runs[k].first);
        if (runs[k].count > 1) s += "-" + std::to_string(runs[k].first + runs[k].count - 1);
    }
    if (runs.size() > 8) s += " and " + std::to_string(runs.size() - 8) + " runs more";
    return s;
}

}  // namespace

Findings find_lost_takes(ByteSource& source, uint64_t length, size_t scan_step) {
    Findings f;
    f.card = read_card(source, length);
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) find_in_volume(source, f, vi, scan_step);
    name_takes(f);
    return f;
}

TakeSource::TakeSource(ByteSource& card, const Volume& volume, const std::vector<Run>& runs,
                       const std::vector<uint8_t>& header)
    : card_(card), volume_(volume), runs_(runs), header_(header) {}

bool TakeSource::read_at(uint64_t offset, uint8_t* buf, size_t count) {
    if (offset < header_.size()) {
        const size_t here = count < header_.size() - offset ? count : static_cast<size_t>(header_.size() - offset);
        std::memcpy(buf, header_.data() + offset, here);
        buf += here, count -= here, offset = header_.size();
    }
    return read_clusters(offset - header_.size(), buf, count);
}

bool TakeSource::read_clusters(uint64_t offset, uint8_t* buf, size_t count) {
    for (const Run& r : runs_) {
        if (count == 0) return true;
        const uint64_t run_bytes = uint64_t{r.count} * volume_.cluster_bytes;
        if (offset >= run_bytes) {
            offset -= run_bytes;
            continue;
        }
        const size_t here = count <= run_bytes - offset ? count : static_cast<size_t>(run_bytes - offset);
        if (!card_.read_at(volume_.cluster_offset(r.first) + offset, buf, here)) return false;
        buf += here, count -= here, offset = 0;
    }
    return count == 0;
}

std::string take_where(const Findings& f, const LostTake& t) {
    if (!t.entry.empty()) return t.entry;
    const Volume& v = f.card.volumes[t.volume].volume;
    return "the take at cluster " + std::to_string(t.first) +
           (v.partition ? " of partition " + std::to_string(v.partition) : "");
}

std::string volume_words(const Volume& v) {
    std::string s = std::string(kind_name(v.kind)) + ", " + std::to_string(v.cluster_bytes) + "-byte clusters, ";
    return s + (v.partition
                    ? "partition " + std::to_string(v.partition) + " of " + (v.table[0] == 'M' ? "an " : "a ") + v.table
                    : std::string("no partition table"));
}

std::vector<std::string> take_detail(const Findings& f, const LostTake& t) {
    const VolumeContents& vc = f.card.volumes[t.volume];
    std::vector<std::string> lines = {volume_words(vc.volume)};
    if (vc.volume.truncated()) lines.push_back("the source ends inside this volume: only its first clusters were read");
    const std::string at = "cluster " + std::to_string(t.first);
    switch (t.start) {
        case Start::EmptyEntry:
            lines.push_back("begins at " + at + ", the first cluster of " + t.entry + ", an entry of 0 bytes");
            break;
        case Start::StaleEntry:
            lines.push_back("begins at " + at + ": " + t.entry + " holds " + std::to_string(t.own_bytes) +
                            " bytes of clusters, and its header says it was still being recorded");
            break;
        case Start::Reclaimed:
            lines.push_back("begins at " + at + ": " + t.entry + ", a lost chain that chkdsk or fsck kept");
            break;
        case Start::FreeCluster:
            lines.push_back("begins at " + at + ", which no entry holds and which begins with a WAVE header");
            break;
        case Start::Headerless:
            lines.push_back(
                "begins at " + at +
                (t.entry.empty() ? ", the head of a lost chain in the FAT" : ", the first cluster of " + t.entry) +
                ", with no header: written before it is the header of " + t.format_from + ", a guess at its format");
            break;
    }
    size_t clusters = 0;
    for (const Run& r : t.runs) clusters += r.count;
    lines.push_back("clusters " + cluster_runs(t.runs) + " (" + std::to_string(clusters) + " clusters, " +
                    std::to_string(t.bytes) + " bytes)");
    lines.push_back("followed " + std::to_string(t.fat_links) +
                    " links of the FAT, the rest in the order the card's allocator hands clusters out");
    if (t.held_skipped > 0)
        lines.push_back(std::to_string(t.held_skipped) +
                        " clusters passed over: a live file or another take held them");
    lines.push_back("stopped: " + t.stopped);
    return lines;
}

}  // namespace ostrel::card

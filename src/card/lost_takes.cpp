// Finding lost takes. A recorder's FAT driver that loses power leaves the entry at 0 bytes (or at
// the size of its last sync), the FAT chain written only as far as the last FAT sector that left
// its buffer, and the audio in the clusters its allocator would hand out next: after the take's
// last cluster, skipping those in use. One read of every cluster no entry holds marks which
// begin with a header, which were never written and which hold a folder that never reached its
// parent (lost_folders.cpp), read as the folder it is; then each take is found where it begins
// (take_starts.cpp), followed (following.cpp), ended (take_end.cpp) and named (take_names.cpp).
#include "lost_takes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "byte_codec.h"
#include "finder.h"
#include "lost_folders.h"
#include "repair_decision.h"

namespace ostrel::card {

namespace {

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

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The nearest healthy take in the same folder, else the newest on the volume.
const Healthy* format_for(const std::vector<Healthy>& healthy, const std::string& path) {
    auto rank = [&](const Healthy& h) { return std::make_pair(folder_of(h.path) == folder_of(path), h.modified); };
    const Healthy* best = nullptr;
    for (const Healthy& h : healthy)
        if (!best || rank(h) > rank(*best)) best = &h;
    return best;
}

// A take without a header is written after the header of a file the user gave, else of the
// nearest healthy take to the entry it was named after. Chosen once its entry is known.
void give_formats(Findings& f, const std::vector<std::vector<Healthy>>& healthy, const FindOptions& o) {
    for (LostTake& t : f.takes) {
        if (t.start != Start::Headerless) continue;
        if (!o.like.empty()) {
            t.header = o.like, t.format_from = o.like_path;
        } else if (const Healthy* h = format_for(healthy[t.volume], t.entry)) {
            t.header = h->header, t.format_from = h->path;
        }
        t.bytes += t.header.size();
    }
}

}  // namespace

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

std::vector<uint32_t> clusters_of(const std::vector<Run>& runs) {
    std::vector<uint32_t> clusters;
    for (const Run& r : runs)
        for (uint32_t k = 0; k < r.count; ++k) clusters.push_back(r.first + k);
    return clusters;
}

namespace {

void classify(const Volume& v, std::vector<uint8_t>& flags, std::map<uint32_t, uint32_t>& riff, uint32_t c,
              const uint8_t* b) {
    const size_t cs = v.cluster_bytes;
    flags[c] &= static_cast<uint8_t>(~kUnread);
    if (blank(b, cs)) {
        flags[c] |= kBlank;
        return;
    }
    if (holds_entries(v.kind, b, cs)) {
        flags[c] |= kFolder;
        return;
    }
    if (!is_wave_form(b, cs)) {
        if (looks_random(b, cs)) flags[c] |= kEven;
        return;
    }
    Bytes bytes(b, cs);
    const RepairPlan p = plan_repair(bytes, cs);
    if (!p.format.known) return;
    flags[c] |= kHeader, riff[c] = load_le32(b + 4);
    // Sizes that agree, and are no recorder's placeholders: a take that was closed.
    const uint64_t none = p.rf64 ? ~uint64_t{0} : 0xFFFFFFFFu;
    const bool placeholder = p.form_size == 0 || p.form_size == none || p.stored_size == 0 || p.stored_size == none;
    if (!placeholder && p.data_id + 8 <= p.form_size + 8 && p.stored_size <= p.form_size + 8 - p.data_id - 8)
        flags[c] |= kClosed;
}

CardReading read_structures(ByteSource& source, uint64_t length) {
    CardReading r;
    r.card = read_card(source, length);
    for (const VolumeContents& vc : r.card.volumes) {
        r.flags.emplace_back(vc.volume.end(), kUnread);
        for (uint32_t c = 0; c < vc.volume.end(); ++c)
            if (vc.live[c]) r.flags.back()[c] = kLive;
        r.riff.emplace_back();
        r.looks.emplace_back();
        r.heard.emplace_back();
        for (uint32_t c = kFirstCluster; c < vc.volume.end(); ++c)
            r.progress.to_read += r.flags.back()[c] & kUnread ? vc.volume.cluster_bytes : 0;
    }
    return r;
}

// Where the recorder was writing: the start of the data area, where an allocator begins after a
// mount; where FAT32's FSInfo says it goes on; past the last cluster a live entry holds or
// exFAT's bitmap marks; and each entry's first cluster.
std::vector<uint32_t> hot_clusters(const VolumeContents& vc) {
    std::vector<uint32_t> at = {kFirstCluster};
    if (vc.link(vc.volume.next_free)) at.push_back(vc.volume.next_free);
    for (uint32_t c = vc.volume.end(); c-- > kFirstCluster;)
        if (vc.live[c] || (!vc.allocated.empty() && vc.allocated[c])) {  // exFAT: the last run its bitmap marks
            at.push_back(c + 1);
            break;
        }
    for (const Entry& e : vc.files)
        if (!e.deleted && vc.link(e.first) && !vc.live[e.first]) at.push_back(e.first);
    return at;
}

// The folders read so far that no directory lists are read as folders: what they hold is live.
// One left as it is stays so, as nothing that made it so is undone: it is not asked again.
void adopt_folders(ByteSource& source, VolumeContents& vc, std::vector<uint8_t>& flags) {
    std::vector<uint32_t> candidates;
    for (uint32_t c = kFirstCluster; c < vc.volume.end(); ++c)
        if ((flags[c] & kFolder) && !vc.live[c]) candidates.push_back(c);
    if (candidates.empty()) return;
    const size_t adopted = adopt_lost_folders(source, vc, candidates);
    for (uint32_t c : candidates) flags[c] &= static_cast<uint8_t>(~kFolder);
    for (uint32_t c = kFirstCluster; c < vc.volume.end() && adopted > 0; ++c)
        if (vc.live[c]) flags[c] = kLive;
}

// Every volume's takes from what has been read. Where only the clusters the recorder was
// writing have been read, takes without headers wait for the rest, and so does every take whose
// walk reached a cluster not read: `unsettled` counts them.
Findings find_in(ByteSource& source, Card&& card, CardReading& r, const FindOptions& o, bool hot,
                 size_t& unsettled, Reporter& reporter) {
    Findings f;
    f.card = std::move(card), f.scanned = r.scanned;
    std::vector<std::vector<Healthy>> healthy(f.card.volumes.size());
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) {
        adopt_folders(source, f.card.volumes[vi], r.flags[vi]);
        VolumeScan scan{source, f.card.volumes[vi], r.flags[vi], r.riff[vi], hot, r.looks[vi], r.heard[vi], &reporter};
        find_starts(source, f, vi, scan, healthy[vi]);
    }
    name_takes(f);
    give_formats(f, healthy, o);
    unsettled = 0;
    for (const LostTake& t : f.takes) unsettled += t.unsettled;
    return f;
}

// The most the first look reads: the clusters not read yet in the farthest span from each place
// where the recorder was writing.
uint64_t first_look_most(const CardReading& r, uint64_t span) {
    uint64_t bytes = 0;
    for (size_t vi = 0; vi < r.card.volumes.size(); ++vi) {
        const VolumeContents& vc = r.card.volumes[vi];
        const uint32_t end = vc.volume.end();
        std::vector<bool> in(end, false);
        for (uint32_t at : hot_clusters(vc)) {
            const uint64_t to = std::min<uint64_t>(uint64_t{at} + span / vc.volume.cluster_bytes + 1, end);
            for (uint64_t c = std::max(at, kFirstCluster); c < to; ++c) in[c] = true;
        }
        for (uint32_t c = kFirstCluster; c < end; ++c)
            bytes += in[c] && (r.flags[vi][c] & kUnread) ? vc.volume.cluster_bytes : 0;
    }
    return bytes;
}

// The takes of `f` that are final, and what was kept beside them.
void keep_settled(Findings& f) {
    std::vector<LostTake> kept;
    std::vector<int> moved(f.takes.size(), -1);
    for (size_t k = 0; k < f.takes.size(); ++k) {
        LostTake& t = f.takes[k];
        const int of = t.after_end_of;
        if (t.unsettled || (of >= 0 && moved[static_cast<size_t>(of)] < 0)) continue;
        if (of >= 0) t.after_end_of = moved[static_cast<size_t>(of)];
        moved[k] = static_cast<int>(kept.size());
        kept.push_back(std::move(t));
    }
    f.takes = std::move(kept);
}

}  // namespace

uint64_t read_clusters(ByteSource& source, const VolumeContents& vc, std::vector<uint8_t>& flags,
                       std::map<uint32_t, uint32_t>& riff, uint32_t from, uint32_t to, size_t step,
                       std::vector<uint8_t>& buf, Reporter* reporter) {
    const Volume& v = vc.volume;
    const uint32_t per_read = step / v.cluster_bytes > 0 ? static_cast<uint32_t>(step / v.cluster_bytes) : 1;
    uint64_t scanned = 0;
    to = to < v.end() ? to : v.end();
    for (uint32_t c = from < kFirstCluster ? kFirstCluster : from; c < to;) {
        if (!(flags[c] & kUnread)) {
            ++c;
            continue;
        }
        uint32_t n = 1;
        while (n < per_read && c + n < to && (flags[c + n] & kUnread)) ++n;
        const size_t bytes = size_t{n} * v.cluster_bytes;
        if (buf.size() < bytes) buf.resize(bytes);
        if (source.read_at(v.cluster_offset(c), buf.data(), bytes)) {
            for (uint32_t k = 0; k < n; ++k) classify(v, flags, riff, c + k, buf.data() + size_t{k} * v.cluster_bytes);
            scanned += bytes;
        }
        if (reporter) reporter->read(bytes);
        c += n;
    }
    return scanned;
}

Findings find_hot_takes(ByteSource& source, uint64_t length, const FindOptions& o, CardReading& r) {
    // Twice as far each time a take found there runs past what was read: at most about twice
    // the take's own bytes are read before it is settled.
    constexpr uint64_t kFirstSpan = uint64_t{2} << 20, kMostSpan = uint64_t{1} << 30;
    r = read_structures(source, length);
    Reporter reporter{o.progress, r.progress};
    const uint64_t most = first_look_most(r, kMostSpan);
    for (uint64_t span = kFirstSpan;; span *= 2) {
        reporter.begin(ProgressReport::Step::FirstLook, most, 0);
        for (size_t vi = 0; vi < r.card.volumes.size(); ++vi) {
            const VolumeContents& vc = r.card.volumes[vi];
            const uint64_t clusters = span / vc.volume.cluster_bytes + 1;
            for (uint32_t at : hot_clusters(vc)) {
                const uint64_t to = at + clusters;
                r.scanned += read_clusters(source, vc, r.flags[vi], r.riff[vi], at,
                                           to < vc.volume.end() ? static_cast<uint32_t>(to) : vc.volume.end(),
                                           o.scan_step, r.buffer, &reporter);
            }
        }
        size_t unsettled = 0;
        Findings f = find_in(source, std::move(r.card), r, o, true, unsettled, reporter);
        if (unsettled == 0 || span >= kMostSpan) {
            keep_settled(f);
            return f;
        }
        r.card = std::move(f.card);
    }
}

Findings find_all_takes(ByteSource& source, const FindOptions& o, CardReading& r, Card&& card) {
    Reporter reporter{o.progress, r.progress};
    const uint64_t read = r.progress.read, left = r.progress.to_read > read ? r.progress.to_read - read : 0;
    reporter.begin(ProgressReport::Step::Rest, left, read);
    for (size_t vi = 0; vi < card.volumes.size(); ++vi) {
        r.scanned += read_clusters(source, card.volumes[vi], r.flags[vi], r.riff[vi], kFirstCluster,
                                   card.volumes[vi].volume.end(), o.scan_step, r.buffer, &reporter);
        for (uint8_t& flag : r.flags[vi]) flag &= static_cast<uint8_t>(~kUnread);  // what failed to read is nothing
    }
    size_t unsettled = 0;
    return find_in(source, std::move(card), r, o, false, unsettled, reporter);
}

Findings find_lost_takes(ByteSource& source, uint64_t length, const FindOptions& options) {
    CardReading reading = read_structures(source, length);
    Card card = std::move(reading.card);
    return find_all_takes(source, options, reading, std::move(card));
}

bool same_take(const LostTake& a, const LostTake& b) {
    if (a.volume != b.volume || a.name != b.name || a.skip != b.skip || a.bytes != b.bytes ||
        a.header != b.header || a.runs.size() != b.runs.size())
        return false;
    for (size_t k = 0; k < a.runs.size(); ++k)
        if (a.runs[k].first != b.runs[k].first || a.runs[k].count != b.runs[k].count) return false;
    return true;
}

std::vector<Span> card_spans(const Volume& v, const LostTake& t) {
    std::vector<Span> spans;
    uint64_t skip = t.skip, left = t.bytes > t.header.size() ? t.bytes - t.header.size() : 0;
    for (const Run& r : t.runs) {
        const uint64_t run_bytes = uint64_t{r.count} * v.cluster_bytes;
        if (skip >= run_bytes) {
            skip -= run_bytes;
            continue;
        }
        const uint64_t here = run_bytes - skip < left ? run_bytes - skip : left;
        if (here == 0) break;
        spans.push_back({v.cluster_offset(r.first) + skip, here});
        left -= here, skip = 0;
    }
    return spans;
}

TakeSource::TakeSource(ByteSource& card, const Volume& volume, const std::vector<Run>& runs,
                       const std::vector<uint8_t>& header, uint64_t skip)
    : card_(card), volume_(volume), runs_(runs), header_(header), skip_(skip) {}

bool TakeSource::read_at(uint64_t offset, uint8_t* buf, size_t count) {
    if (offset < header_.size()) {
        const size_t here = count < header_.size() - offset ? count : static_cast<size_t>(header_.size() - offset);
        std::memcpy(buf, header_.data() + offset, here);
        buf += here, count -= here, offset = header_.size();
    }
    return read_clusters(offset - header_.size() + skip_, buf, count);
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

}  // namespace ostrel::card

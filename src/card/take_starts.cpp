// Where lost takes begin: the first cluster of a 0-byte entry, the clusters of an entry whose
// header says it was still being recorded, a lost chain chkdsk or fsck kept, a cluster no entry
// holds that begins with a header, and audio without one.
#include <cstring>
#include <map>
#include <utility>

#include "finder.h"
#include "repair_decision.h"
#include "take_junction.h"

namespace ostrel::card {

namespace {

using Look = CardReading::Look;

// What a live file's header says of it. A header that says more than its entry holds, or sizes
// never written, is a take in progress that the recorder synced now and then: `own` gets its
// clusters. A header that agrees is a healthy take, whose header can give a headerless take its
// format: `header` gets its bytes up to the audio.
Look look_at(ByteSource& source, const VolumeContents& vc, const Entry& e) {
    const uint64_t cs = vc.volume.cluster_bytes;
    Look look;
    look.read = true;
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

struct VolumeFinder {
    ByteSource& source;
    Findings& f;
    size_t vi;
    VolumeScan& scan;
    std::vector<Healthy>& healthy;
    std::vector<Head> heads;
    bool reused = false;  // formatted or emptied before: its free space holds older audio

    const VolumeContents& vc() const { return f.card.volumes[vi]; }
    const Volume& volume() const { return vc().volume; }
    bool fat() const { return volume().kind != FsKind::ExFat; }

    LostTake take_of(const Head& h) const {
        LostTake t;
        t.unsettled = h.unread;
        t.volume = vi, t.start = h.start, t.first = h.own.front();
        if (h.entry) t.entry = h.entry->path, t.entry_holds = true;
        if (h.start == Start::StaleEntry || h.start == Start::Reclaimed)
            t.own_bytes = h.own.size() * uint64_t{volume().cluster_bytes};
        t.fat_links = static_cast<uint32_t>(h.linked.size());
        return t;
    }

    void settle(LostTake& t, const std::vector<uint32_t>& clusters) {
        t.runs = runs_of(clusters);
        t.bytes = clusters.size() * uint64_t{volume().cluster_bytes};
        if (t.start == Start::Headerless || clusters.empty()) return;
        TakeSource bytes(source, volume(), t.runs);
        t.own_name = name_in_header(bytes, t.bytes);
    }

    // Whether a cluster whose first sector looks random holds no audio of the take `h` begins,
    // asked where the take's samples can be read one by one (a compressed take's own bytes are
    // as even); empty else. Only after a cluster of audio that is not so: a take of loud noise
    // reads as random too, and goes on.
    NotAudio not_audio(const Head& h) const {
        if (h.start == Start::Headerless || h.own.empty() || volume().cluster_bytes < kRandomLooked) return {};
        // The take's grid is read from its header the first time it is needed, which is seldom.
        return [this, first = h.own.front(), g = Grid{}, read = false](uint32_t last, uint32_t c) mutable {
            if (!(scan.flags[c] & kEven)) return false;
            if (!read) {
                TakeSource head(source, volume(), runs_of({first}));
                g = grid_of(head, volume().cluster_bytes), read = true;
            }
            if (!g.known) return false;
            std::vector<uint8_t> b(kRandomLooked);
            if (!source.read_at(volume().cluster_offset(c), b.data(), b.size()) || !random_bytes(g, b.data(), b.size()))
                return false;
            if (!(scan.flags[last] & kEven)) return true;
            return source.read_at(volume().cluster_offset(last), b.data(), b.size()) &&
                   random_sectors(g, b.data(), b.size()) <= 1;
        };
    }

    // What the allocator's order gives after the FAT window closed a take at `w`. The take's own
    // where a driver that wrote no FAT at all left it: it runs into another lost take's header,
    // or, on a card never used before, into space never written. Else older audio, or maybe the
    // take's true tail, kept beside it. Returns what is kept beside.
    Walk past_window(Walk& w, LostTake& t, const NotAudio& not_audio) {
        if (w.stop != Stop::Window) return {};
        LostTake scratch;
        Walk past = follow(vc(), scan.flags, scratch, {w.next}, false, 0, not_audio);
        t.unsettled = t.unsettled || past.stop == Stop::Unread;
        bool written = false;  // space never written, and nothing more, is no tail
        for (uint32_t c : past.clusters) written |= !(scan.flags[c] & kBlank);
        if (!written) past.clusters.clear();
        if (past.stop != Stop::LostHeader && (reused || past.stop != Stop::NeverWritten)) return past;
        w.clusters.insert(w.clusters.end(), past.clusters.begin(), past.clusters.end());
        t.stopped = scratch.stopped;
        return {};
    }

    // `own`: how many of its clusters the card's own structures give it.
    void keep_after(size_t index, const Walk& past, size_t own) {
        const uint64_t own_bytes = (own ? own - 1 : 0) * uint64_t{volume().cluster_bytes};
        LostTake rest = end_by_sound(source, volume(), f.takes[index], own_bytes, past.clusters, &scan.heard);
        if (!rest.runs.empty()) {
            rest.after_end_of = static_cast<int>(index);
            if (drop_blank_sectors(source, volume(), rest)) return;  // no audio at all
            return f.takes.push_back(std::move(rest));
        }
        if (past.clusters.empty()) return;
        LostTake after = after_part(source, volume(), f.takes[index], past.clusters, 0);
        after.stopped = "where the walk past the FAT window stopped", after.after_end_of = static_cast<int>(index);
        after.apart_why = "it lies past the FAT sector the recorder's driver held, where the card says the take "
                          "ended: older audio, or the take's true end where the card was written through a cache";
        if (!drop_blank_sectors(source, volume(), after)) f.takes.push_back(std::move(after));
    }

    void add_single(const Head& h) {
        LostTake t = take_of(h);
        std::vector<uint32_t> list = h.own;
        list.insert(list.end(), h.linked.begin(), h.linked.end());
        const bool closed = scan.flags[h.own.front()] & kClosed;
        const NotAudio noise = not_audio(h);
        Walk w = follow(vc(), scan.flags, t, std::move(list), h.by_fat, closed ? 0 : window_end(vc(), {&h}), noise);
        const Walk past = past_window(w, t, noise);
        settle(t, w.clusters);
        LostTake after;
        if (h.start == Start::FreeCluster && end_by_own_header(source, volume(), t, after)) {
            f.takes.push_back(std::move(t));
            after.after_end_of = static_cast<int>(f.takes.size() - 1);
            return f.takes.push_back(std::move(after));
        }
        if (!t.older) drop_blank_sectors(source, volume(), t);  // an older take is as long as its header says
        f.takes.push_back(std::move(t));
        keep_after(f.takes.size() - 1, past, h.own.size() + h.linked.size());
    }

    void add_group(const std::vector<size_t>& group) {
        std::vector<const Head*> members;
        std::vector<std::vector<uint32_t>> clusters;
        const size_t base = f.takes.size();
        for (size_t k : group) {
            const Head& h = heads[k];
            members.push_back(&h);
            f.takes.push_back(take_of(h));
            f.takes.back().group = group.size();
            clusters.push_back(h.own);
            clusters.back().insert(clusters.back().end(), h.linked.begin(), h.linked.end());
        }
        std::vector<LostTake*> takes;
        for (size_t m = 0; m < group.size(); ++m) takes.push_back(&f.takes[base + m]);
        size_t last = 0;
        Walk w;
        w.next = share_out(source, vc(), scan.flags, takes, clusters, window_end(vc(), members), last, scan.reporter);
        w.stop = w.next ? Stop::Window : Stop::VolumeEnd;
        w.clusters = clusters[last];
        const Walk past = past_window(w, f.takes[base + last], not_audio(heads[group[last]]));
        clusters[last] = w.clusters;
        for (size_t m = 0; m < group.size(); ++m) {
            settle(f.takes[base + m], clusters[m]);
            drop_blank_sectors(source, volume(), f.takes[base + m]);
        }
        for (size_t m = 0; m < group.size(); ++m)
            keep_after(base + m, m == last ? past : Walk{}, heads[group[m]].own.size() + heads[group[m]].linked.size());
    }

    // 0-byte entries whose first cluster holds a header, and live entries a recorder synced.
    void from_entries() {
        scan.looks.resize(vc().files.size());
        for (size_t k = 0; k < vc().files.size(); ++k) {
            const Entry& e = vc().files[k];
            if (e.deleted) continue;
            const bool by_fat = fat() || !e.contiguous;
            if (e.size == 0 && vc().link(e.first) && (scan.flags[e.first] & (kHeader | kUsed)) == kHeader) {
                heads.push_back({Start::EmptyEntry, &e, {e.first}, {}, by_fat});
                scan.flags[e.first] |= kUsed;
            } else if (e.size > 0) {
                Look& look = scan.looks[k];
                if (!look.read) look = look_at(source, vc(), e);
                if (!look.header.empty()) healthy.push_back({e.path, e.modified, look.header});
                if (!look.own.empty())
                    heads.push_back({reclaimed_name(e.path) ? Start::Reclaimed : Start::StaleEntry, &e, look.own, {},
                                     by_fat});
            }
        }
    }

    // Clusters no entry holds that begin with a header, but for takes the user deleted.
    void from_free_clusters() {
        std::multimap<uint32_t, uint64_t> deleted;
        for (const Entry& e : vc().files)
            if (e.deleted) deleted.emplace(e.first, e.size), reused = true;
        for (uint32_t c = kFirstCluster; c < volume().end(); ++c) {
            if ((scan.flags[c] & (kHeader | kUsed | kLive)) != kHeader) continue;
            reused |= (scan.flags[c] & kClosed) != 0;
            bool by_user = false;
            for (auto [at, end] = deleted.equal_range(c); at != end; ++at)
                by_user |= at->second == uint64_t{scan.riff[c]} + 8;
            if (by_user)
                ++f.deleted;
            else
                heads.push_back({Start::FreeCluster, nullptr, {c}, {}, true});
        }
    }

    // Every head's links first, so that no take's walk runs into another's linked clusters; then
    // each group together, and each take alone, in the order they were found.
    void follow_heads() {
        for (Head& h : heads) link_head(vc(), scan.flags, h);
        const std::vector<std::vector<size_t>> groups = group_heads(heads, scan.flags);
        std::vector<size_t> group_of(heads.size(), groups.size());
        for (size_t g = 0; g < groups.size(); ++g)
            for (size_t k : groups[g]) group_of[k] = g;
        std::vector<bool> done(groups.size(), false);
        for (size_t k = 0; k < heads.size(); ++k) {
            const size_t g = group_of[k];
            if (g == groups.size())
                add_single(heads[k]);
            else if (!done[g])
                done[g] = true, add_group(groups[g]);
        }
    }

    // Audio without a header: after a 0-byte entry's first cluster, or a lost chain in the FAT
    // (clusters marked used that no entry holds). Its format is chosen once it is named.
    void without_headers() {
        if (scan.hot) return;  // a lost chain is known only once every cluster is read
        auto start = [&](uint32_t c) { return vc().link(c) && !(scan.flags[c] & (kLive | kUsed | kHeader | kBlank)); };
        auto add = [&](const Entry* e, uint32_t c, bool by_fat) {
            Head h{Start::Headerless, e, {c}, {}, by_fat};
            link_head(vc(), scan.flags, h);
            add_single(h);
        };
        for (const Entry& e : vc().files)
            if (!e.deleted && e.size == 0 && start(e.first)) add(&e, e.first, fat() || !e.contiguous);
        if (!fat()) return;
        std::vector<uint8_t> linked(volume().end(), 0);
        for (uint32_t c = kFirstCluster; c < volume().end(); ++c)
            if (start(c) && vc().link(vc().fat[c])) linked[vc().fat[c]] = 1;
        for (uint32_t c = kFirstCluster; c < volume().end(); ++c)
            if (start(c) && vc().fat[c] != 0 && !linked[c]) add(nullptr, c, true);
    }
};

}  // namespace

void find_starts(ByteSource& source, Findings& f, size_t vi, VolumeScan& scan, std::vector<Healthy>& healthy) {
    VolumeFinder finder{source, f, vi, scan, healthy, {}, false};
    finder.from_entries();
    finder.from_free_clusters();
    finder.follow_heads();
    finder.without_headers();
}

}  // namespace ostrel::card

// Where lost takes begin: the first cluster of a 0-byte entry, the clusters of an entry whose
// header says it was still being recorded, a lost chain chkdsk or fsck kept, a cluster no entry
// holds that begins with a header, and audio without one.
#include <cstring>
#include <map>
#include <utility>

#include "finder.h"
#include "repair_decision.h"

namespace ostrel::card {

namespace {

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

struct VolumeFinder {
    ByteSource& source;
    Findings& f;
    size_t vi;
    VolumeScan& scan;
    std::vector<Healthy>& healthy;

    const VolumeContents& vc() const { return f.card.volumes[vi]; }
    bool fat() const { return vc().volume.kind != FsKind::ExFat; }

    void add(Start start, const Entry* entry, std::vector<uint32_t> own, bool by_fat) {
        LostTake t;
        t.volume = vi, t.start = start, t.first = own.front();
        if (entry) t.entry = entry->path, t.entry_holds = true;
        if (start == Start::StaleEntry || start == Start::Reclaimed)
            t.own_bytes = own.size() * uint64_t{vc().volume.cluster_bytes};
        const std::vector<uint32_t> clusters = follow(vc(), scan.flags, t, std::move(own), by_fat);
        t.runs = runs_of(clusters);
        t.bytes = clusters.size() * uint64_t{vc().volume.cluster_bytes};
        LostTake after;
        const bool apart = start == Start::FreeCluster && end_by_own_header(source, vc().volume, t, after);
        f.takes.push_back(std::move(t));
        if (apart) {
            after.after_end_of = static_cast<int>(f.takes.size() - 1);
            f.takes.push_back(std::move(after));
        }
    }

    // 0-byte entries whose first cluster holds a header, and live entries a recorder synced.
    void from_entries() {
        for (const Entry& e : vc().files) {
            if (e.deleted) continue;
            const bool by_fat = fat() || !e.contiguous;
            if (e.size == 0 && vc().link(e.first) && (scan.flags[e.first] & (kHeader | kUsed)) == kHeader) {
                add(Start::EmptyEntry, &e, {e.first}, by_fat);
            } else if (e.size > 0) {
                Look look = look_at(source, vc(), e);
                if (!look.header.empty()) healthy.push_back({e.path, e.modified, std::move(look.header)});
                if (!look.own.empty())
                    add(reclaimed_name(e.path) ? Start::Reclaimed : Start::StaleEntry, &e, std::move(look.own), by_fat);
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
                add(Start::FreeCluster, nullptr, {c}, fat());
        }
    }

    // Audio without a header: after a 0-byte entry's first cluster, or a lost chain in the FAT
    // (clusters marked used that no entry holds). Its format is chosen once it is named.
    void without_headers() {
        auto start = [&](uint32_t c) { return vc().link(c) && !(scan.flags[c] & (kLive | kUsed | kHeader | kBlank)); };
        for (const Entry& e : vc().files)
            if (!e.deleted && e.size == 0 && start(e.first))
                add(Start::Headerless, &e, {e.first}, fat() || !e.contiguous);
        if (!fat()) return;
        std::vector<uint8_t> linked(vc().volume.end(), 0);
        for (uint32_t c = kFirstCluster; c < vc().volume.end(); ++c)
            if (start(c) && vc().link(vc().fat[c])) linked[vc().fat[c]] = 1;
        for (uint32_t c = kFirstCluster; c < vc().volume.end(); ++c)
            if (start(c) && vc().fat[c] != 0 && !linked[c]) add(Start::Headerless, nullptr, {c}, true);
    }
};

}  // namespace

void find_starts(ByteSource& source, Findings& f, size_t vi, VolumeScan& scan, std::vector<Healthy>& healthy) {
    VolumeFinder finder{source, f, vi, scan, healthy};
    finder.from_entries();
    finder.from_free_clusters();
    finder.without_headers();
}

}  // namespace ostrel::card

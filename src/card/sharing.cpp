// Takes recorded together: a recorder writing one file per track takes clusters from the
// allocator in turn, so the files' clusters interleave in a pattern that repeats. Where the FAT
// links a cluster, it belongs to that chain; past the links, each free cluster in the
// allocator's order goes to the take the pattern names, if its audio goes on from that take's,
// else to the take it does continue, else it ends the take. The group's files end together.
#include <algorithm>
#include <map>

#include "finder.h"
#include "sound.h"

namespace ostrel::card {

namespace {

// Consecutive first clusters this close, with nothing linked between, are takes started together.
constexpr uint32_t kNear = 16;
constexpr size_t kListen = 4096;  // bytes each side of a junction
constexpr size_t kNone = ~size_t{0};

bool groupable(const Head& h, const std::vector<uint8_t>& flags) {
    return !h.own.empty() && !(flags[h.own.front()] & kClosed) &&
           (h.start == Start::EmptyEntry || h.start == Start::FreeCluster || h.start == Start::StaleEntry);
}

struct Sharer {
    ByteSource& source;
    const VolumeContents& vc;
    std::vector<uint8_t>& flags;
    std::vector<std::vector<uint32_t>>& clusters;
    std::vector<Grid> grids;
    std::vector<uint32_t> firsts;
    std::vector<size_t> seq, last_pos;
    std::vector<bool> ended;
    std::string why;  // why the group stopped

    size_t members() const { return clusters.size(); }
    bool active(size_t m, uint32_t c) const { return !ended[m] && firsts[m] < c; }

    // The smallest period the owners repeat with, from the second round on; 0 where none shows.
    size_t period() const {
        size_t round = 0;
        for (size_t m = 0; m < members(); ++m) {
            const auto at = std::find(seq.begin(), seq.end(), m);
            if (at == seq.end()) return 0;
            round = std::max(round, static_cast<size_t>(at - seq.begin()) + 1);
        }
        for (size_t p = 1; p <= 4 * members() && round + 2 * p <= seq.size(); ++p) {
            bool repeats = true;
            for (size_t i = std::max(round + p, seq.size() > 3 * p ? seq.size() - 3 * p : 0); i < seq.size() && repeats; ++i)
                repeats = seq[i] == seq[i - p];
            if (repeats) return p;
        }
        return 0;
    }

    // The take the pattern names for cluster `c`: by the period, else the one waiting longest.
    size_t predict(uint32_t c) const {
        const size_t p = period();
        if (p != 0 && active(seq[seq.size() - p], c)) return seq[seq.size() - p];
        size_t best = kNone;
        for (size_t m = 0; m < members(); ++m)
            if (active(m, c) && (best == kNone || last_pos[m] + 1 < last_pos[best] + 1)) best = m;
        return best;
    }

    std::vector<uint8_t> read(uint64_t offset, size_t n) {
        std::vector<uint8_t> b(n);
        if (!source.read_at(offset, b.data(), n)) b.clear();
        return b;
    }

    double score(size_t m, const std::vector<uint8_t>& head) {
        if (!grids[m].known || head.empty()) return 0;
        const Volume& v = vc.volume;
        const size_t n = kListen < v.cluster_bytes ? kListen : v.cluster_bytes;
        const std::vector<uint8_t> tail = read(v.cluster_offset(clusters[m].back()) + v.cluster_bytes - n, n);
        return tail.empty() ? 0 : junction_score(grids[m], tail, clusters[m].size() * uint64_t{v.cluster_bytes}, head);
    }

    // Who cluster `c` goes to by its sound, or kNone where it continues no take of the group:
    // then the take the pattern named ends.
    size_t listen(uint32_t c, size_t named) {
        const Volume& v = vc.volume;
        const std::vector<uint8_t> head = read(v.cluster_offset(c), kListen < v.cluster_bytes ? kListen : v.cluster_bytes);
        const double own = score(named, head);
        if (own <= kContinues) return named;
        size_t best = kNone;
        double best_score = own / 2;
        for (size_t m = 0; m < members(); ++m) {
            if (m == named || !active(m, c)) continue;
            const double s = score(m, head);
            if (s <= kContinues && s < best_score) best = m, best_score = s;
        }
        return best;
    }

    void give(uint32_t c, size_t m) {
        clusters[m].push_back(c);
        flags[c] |= kUsed;
        last_pos[m] = seq.size();
        seq.push_back(m);
    }
};

}  // namespace

std::vector<std::vector<size_t>> group_heads(const VolumeContents& vc, const std::vector<Head>& heads,
                                             const std::vector<uint8_t>& flags) {
    std::vector<size_t> order;
    for (size_t k = 0; k < heads.size(); ++k)
        if (groupable(heads[k], flags)) order.push_back(k);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return heads[a].own.front() < heads[b].own.front(); });
    std::vector<std::vector<size_t>> groups;
    uint32_t reach = 0;  // the highest cluster the group so far holds
    for (size_t k : order) {
        const Head& h = heads[k];
        const uint32_t first = h.own.front();
        const bool together = !groups.empty() && (first < reach || first - heads[groups.back().back()].own.front() <= kNear);
        if (!together) groups.emplace_back(), reach = 0;
        groups.back().push_back(k);
        for (uint32_t c : h.own) reach = std::max(reach, c);
        for (uint32_t c : h.linked) reach = std::max(reach, c);
    }
    groups.erase(std::remove_if(groups.begin(), groups.end(), [](const auto& g) { return g.size() < 2; }), groups.end());
    (void)vc;
    return groups;
}

uint32_t share_out(ByteSource& source, const VolumeContents& vc, std::vector<uint8_t>& flags,
                   std::vector<LostTake*>& takes, std::vector<std::vector<uint32_t>>& clusters, uint32_t limit,
                   size_t& last) {
    const Volume& v = vc.volume;
    Sharer s{source, vc, flags, clusters, {}, {}, {}, std::vector<size_t>(clusters.size(), kNone),
             std::vector<bool>(clusters.size(), false), ""};
    std::map<uint32_t, size_t> known;
    uint32_t start = v.end(), top = 0;
    for (size_t m = 0; m < clusters.size(); ++m) {
        TakeSource take(source, v, runs_of(clusters[m]));
        s.grids.push_back(grid_of(take, clusters[m].size() * uint64_t{v.cluster_bytes}));
        s.firsts.push_back(clusters[m].front());
        for (uint32_t c : clusters[m]) known[c] = m, start = std::min(start, c), top = std::max(top, c);
        clusters[m].clear();
    }
    uint32_t next = 0, blank_run = 0;
    size_t end_at = kNone;  // the group ends within a round of its first take's end
    for (uint32_t c = start; c < v.end(); ++c) {
        const auto at = known.find(c);
        if (at != known.end()) {
            s.give(c, at->second);
            continue;
        }
        if (flags[c] & (kLive | kUsed)) continue;
        if (limit != 0 && c > limit && c > top) {
            next = c, s.why = "the FAT sector the recorder's driver still held covers clusters up to " + std::to_string(limit);
            break;
        }
        if (flags[c] & kHeader) {
            if (c < top) continue;
            s.why = "cluster " + std::to_string(c) + " begins another take";
            break;
        }
        const size_t named = s.predict(c);
        if (named == kNone || s.seq.size() >= end_at) {
            s.why = "every take of the group has ended";
            break;
        }
        if (flags[c] & kBlank) {  // a muted track's, or never written: the pattern's
            s.give(c, named);
            if (++blank_run * uint64_t{v.cluster_bytes} >= kBlankRun) {
                s.why = std::to_string(blank_run * uint64_t{v.cluster_bytes}) + " bytes in a row were never written";
                break;
            }
            continue;
        }
        blank_run = 0;
        const size_t heard = s.listen(c, named);
        if (heard != kNone) {
            s.give(c, heard);
            continue;
        }
        s.ended[named] = true;
        takes[named]->stopped = "cluster " + std::to_string(c) + " does not go on from its audio";
        const size_t p = s.period();
        end_at = std::min(end_at, s.seq.size() + (p ? p : clusters.size()));
    }
    if (s.why.empty()) s.why = "the volume ends";
    last = s.seq.empty() ? 0 : s.seq.back();
    for (size_t m = 0; m < clusters.size(); ++m) {
        if (takes[m]->stopped.empty()) takes[m]->stopped = "its group stopped: " + s.why;
        // Space never written after a take's audio is no part of it, unless the FAT links it.
        while (clusters[m].size() > 1 && (flags[clusters[m].back()] & kBlank) && !known.count(clusters[m].back())) {
            flags[clusters[m].back()] &= static_cast<uint8_t>(~kUsed);
            clusters[m].pop_back();
        }
    }
    return next;
}

}  // namespace ostrel::card

// Takes recorded together: a recorder writing one file per track takes clusters from the
// allocator in turn, so the files' clusters interleave in a pattern that repeats. Where the FAT
// links a cluster, it belongs to that chain; past the links, each free cluster in the
// allocator's order goes to the take the pattern names, if its audio goes on from that take's,
// else to the take it does continue, else it ends the take. The group's files end together, but
// for a track whose audio stops inside a cluster never written after it: its later clusters
// never reached the card, and the others' go on.
#include <algorithm>
#include <map>

#include "finder.h"
#include "sound.h"
#include "take_junction.h"

namespace ostrel::card {

namespace {

// Consecutive first clusters this close, with nothing linked between, are takes started together.
constexpr uint32_t kNear = 16;
constexpr size_t kListen = 16384;  // bytes each side of a junction
constexpr size_t kNone = ~size_t{0};
constexpr double kClearlyBetter = 0.6;
constexpr double kSure = 1.6;            // a named take this sure to go on is not weighed against the others
constexpr double kBetterInDoubt = 0.75;  // how much better another must go on, where the named is in doubt

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
    std::map<uint32_t, size_t> known{};  // the clusters the takes' heads and links give them
    size_t end_at = kNone;               // the group ends within a round of its first take's end
    uint32_t blank_run = 0;
    // How each take's end sounds, while it has `count` clusters; and the cluster being weighed,
    // as heard on each grid and junction place asked for.
    struct HeardEnd {
        size_t count = kNone, after = 0;
        bool read = false;
        Junction junction;
        Side side;
    };
    struct HeardStart {
        uint32_t cluster;
        size_t bytes;
        bool is_float;
        uint32_t channels, sample_bytes;
        size_t head_skip, frames, window;
        Side side;
    };
    std::vector<HeardEnd> ends{};
    std::vector<HeardStart> starts{};

    size_t members() const { return clusters.size(); }
    bool active(size_t m, uint32_t c) const { return !ended[m] && firsts[m] < c; }

    // The smallest period the owners repeat with, from the second round on; 0 where none shows.
    // Every take still going appears in a period, and at least as many owners as the group has
    // takes bear it out.
    size_t period(uint32_t c) const {
        size_t round = 0;
        for (size_t m = 0; m < members(); ++m) {
            const auto at = std::find(seq.begin(), seq.end(), m);
            if (at == seq.end()) return 0;
            round = std::max(round, static_cast<size_t>(at - seq.begin()) + 1);
        }
        for (size_t p = 1; p <= 4 * members() && p < seq.size(); ++p) {
            bool all = true;
            for (size_t m = 0; m < members() && all; ++m)
                all = !active(m, c) || std::find(seq.end() - static_cast<long>(p), seq.end(), m) != seq.end();
            const size_t from = std::max({round, p, seq.size() > 3 * p ? seq.size() - 3 * p : 0});
            if (!all || seq.size() < from + std::min(p, members())) continue;
            bool repeats = true;
            for (size_t i = from; i < seq.size() && repeats; ++i) repeats = seq[i] == seq[i - p];
            if (repeats) return p;
        }
        return 0;
    }

    // How many clusters a round of the pattern takes: its period, else every take's longest run.
    size_t round(uint32_t c) const {
        if (const size_t p = period(c)) return p;
        size_t sum = 0;
        for (size_t m = 0; m < members(); ++m) {
            size_t shortest = kNone, longest = 1;
            runs_of_take(m, seq.size(), shortest, longest);
            sum += longest;
        }
        return sum;
    }

    // The take the pattern names for cluster `c`, and the other it may be where the pattern has
    // not settled: by the period where one shows; else by turns, the take whose run it is going
    // on while its run is shorter than its runs were, the next in turn once it is as long as
    // the longest, and either in between; else the take that has waited longest.
    std::pair<size_t, size_t> predict(uint32_t c) const {
        const size_t p = period(c);
        if (p != 0 && active(seq[seq.size() - p], c)) return {seq[seq.size() - p], kNone};
        const size_t cur = seq.empty() ? kNone : seq.back();
        const size_t next = next_in_turn(cur, c);
        if (cur != kNone && active(cur, c) && next != kNone) {
            size_t run = 0, shortest = kNone, longest = 0;
            while (run < seq.size() && seq[seq.size() - 1 - run] == cur) ++run;
            runs_of_take(cur, seq.size() - run, shortest, longest);
            if (shortest != kNone) {
                if (run < shortest) return {cur, kNone};
                if (run >= longest) return {next, kNone};
                return {cur, next};
            }
        }
        size_t best = kNone;
        for (size_t m = 0; m < members(); ++m)
            if (active(m, c) && (best == kNone || last_pos[m] + 1 < last_pos[best] + 1)) best = m;
        return {best, kNone};
    }

    // The take whose run followed `cur`'s last finished run, if it is still going.
    size_t next_in_turn(size_t cur, uint32_t c) const {
        if (cur == kNone) return kNone;
        size_t i = seq.size();
        while (i > 0 && seq[i - 1] == cur) --i;  // before the run now going on
        while (i > 0 && seq[i - 1] != cur) --i;  // back to cur's previous run
        if (i == 0 || i >= seq.size()) return kNone;
        size_t j = i;
        while (j < seq.size() && seq[j] == cur) ++j;
        return j < seq.size() && active(seq[j], c) ? seq[j] : kNone;
    }

    // The shortest and longest of `m`'s finished runs before position `end`, past the first round.
    void runs_of_take(size_t m, size_t end, size_t& shortest, size_t& longest) const {
        size_t seen = 0;
        for (size_t i = end; i > 0 && seen < 16;) {
            if (seq[i - 1] != m) {
                --i;
                continue;
            }
            size_t len = 0;
            while (i > 0 && seq[i - 1] == m) --i, ++len;
            if (i == 0) break;  // its first run, with the header, may differ
            shortest = std::min(shortest, len), longest = std::max(longest, len), ++seen;
        }
    }

    std::vector<uint8_t> read(uint64_t offset, size_t n) {
        std::vector<uint8_t> b(n);
        if (!source.read_at(offset, b.data(), n)) b.clear();
        return b;
    }

    // The take's last kListen bytes, from as many of its last clusters as that takes.
    std::vector<uint8_t> tail_of(size_t m) {
        const Volume& v = vc.volume;
        std::vector<uint8_t> tail;
        for (size_t k = clusters[m].size(); k > 0 && tail.size() < kListen; --k) {
            const size_t n = std::min<size_t>(v.cluster_bytes, kListen - tail.size());
            std::vector<uint8_t> part = read(v.cluster_offset(clusters[m][k - 1]) + v.cluster_bytes - n, n);
            if (part.empty()) return {};
            tail.insert(tail.begin(), part.begin(), part.end());
        }
        return tail;
    }

    // How take `m`'s end sounds against `after_bytes` of a cluster: heard once each time the take
    // grows. Null where its last bytes cannot be read.
    const Side* heard_end(size_t m, size_t after_bytes) {
        HeardEnd& e = ends[m];
        if (e.count != clusters[m].size() || e.after != after_bytes) {
            const std::vector<uint8_t> tail = tail_of(m);
            const uint64_t end = clusters[m].size() * uint64_t{vc.volume.cluster_bytes};
            e.count = clusters[m].size(), e.after = after_bytes, e.read = !tail.empty();
            e.junction = junction_of(grids[m], tail.size(), end, after_bytes);
            e.side = tail_side(grids[m], e.junction, tail.data());
        }
        return e.read ? &e.side : nullptr;
    }

    // How cluster `c`'s first bytes `head` sound on take `m`'s grid, where its end meets them:
    // heard once for every take that shares the grid and the junction's place.
    const Side& heard_start(size_t m, uint32_t c, const std::vector<uint8_t>& head) {
        const Grid& g = grids[m];
        const Junction& j = ends[m].junction;
        if (starts.empty() || starts.front().cluster != c) starts.clear();
        for (const HeardStart& s : starts)
            if (s.bytes == head.size() && s.is_float == g.is_float && s.channels == g.channels &&
                s.sample_bytes == g.sample_bytes && s.head_skip == j.head_skip && s.frames == j.frames &&
                s.window == j.window)
                return s.side;
        starts.push_back({c, head.size(), g.is_float, g.channels, g.sample_bytes, j.head_skip, j.frames, j.window,
                          head_side(g, j, head.data())});
        return starts.back().side;
    }

    double score(size_t m, uint32_t c, const std::vector<uint8_t>& head) {
        if (!grids[m].known || head.empty()) return 0;
        const Side* tail = heard_end(m, head.size());
        if (!tail) return 0;
        // The colour, heard once; where it is in doubt, whether the take's own samples predict the cluster.
        const double spectral = junction_score(*tail, heard_start(m, c, head));
        if (spectral <= kContinues) return spectral;
        const uint64_t end = clusters[m].size() * uint64_t{vc.volume.cluster_bytes};
        const double heard = continuity_score(grids[m], tail_of(m), end, head, spectral);
        if (heard >= spectral) return spectral;
        // Saved by its samples: it goes on, but less surely than any take whose colour goes on,
        // as the prediction's answer is on a scale of its own.
        return kContinues * (0.9 + 0.1 * heard / (1 + heard));
    }

    // How much worse take `m`'s own predictor does on `head` than on its own last frames; -1
    // where its samples cannot tell.
    double drift(size_t m, const std::vector<uint8_t>& head) {
        const uint64_t end = clusters[m].size() * uint64_t{vc.volume.cluster_bytes};
        return prediction_drift(grids[m], tail_of(m), end, head);
    }

    // Who cluster `c` goes to by its sound, or kNone where it continues no take of the group:
    // then the take the pattern named ends. Where the pattern names two, the one it continues
    // better; a take the pattern did not name only where it continues it clearly better. The
    // other takes are listened to only where the ones named are not sure to go on into it.
    size_t listen(uint32_t c, std::pair<size_t, size_t> named) {
        const Volume& v = vc.volume;
        const std::vector<uint8_t> head = read(v.cluster_offset(c), std::min<size_t>(kListen, v.cluster_bytes));
        std::vector<double> scores(members(), -1);  // -1: not listened to yet
        const auto weigh = [&](size_t m) {
            if (scores[m] < 0) scores[m] = active(m, c) ? score(m, c, head) : 1e300;
            return scores[m];
        };
        size_t pick = named.first;
        if (named.second != kNone && weigh(named.second) < weigh(pick)) pick = named.second;
        const double named_score = weigh(pick);
        if (named_score <= kSure) return pick;
        std::vector<size_t> rivals;  // the others whose colour goes on into it too
        for (size_t m = 0; m < members(); ++m)
            if (m != pick && weigh(m) <= kContinues) rivals.push_back(m);
        if (named_score <= kContinues) return rivals.empty() ? pick : settle_doubt(pick, rivals, scores, head);
        size_t best = kNone;
        double bar = std::min(kContinues, named_score * kClearlyBetter);
        for (size_t m : rivals)
            if (scores[m] <= bar) best = m, bar = scores[m];
        return best;
    }

    // The named take `pick` and `rivals` all go on into a cluster by their colour, `pick` not
    // surely: tracks of one noisy colour go on into each other's a little. Whose own samples
    // predict it clearly better takes it; where they cannot tell, whose colour is clearly closer.
    // A cluster the power cut while it was being written keeps the pattern's take: its sectors
    // never written say nothing of whose it is.
    size_t settle_doubt(size_t pick, const std::vector<size_t>& rivals, const std::vector<double>& scores,
                        const std::vector<uint8_t>& head) {
        for (size_t at = 0; at + 512 <= head.size(); at += 512)
            if (std::all_of(head.begin() + static_cast<long>(at), head.begin() + static_cast<long>(at + 512),
                            [](uint8_t b) { return b == 0; }))
                return pick;
        const double own = drift(pick, head);
        if (own >= 0) {
            size_t better = pick;
            double bar = own * kBetterInDoubt;
            bool told = true;
            for (size_t m : rivals) {
                const double d = drift(m, head);
                told = told && d >= 0;
                if (d >= 0 && d < bar) better = m, bar = d;
            }
            if (better != pick || told) return better;
        }
        size_t better = pick;
        double bar = scores[pick] * kBetterInDoubt;
        for (size_t m : rivals)
            if (scores[m] <= bar) better = m, bar = scores[m];
        return better;
    }

    // Whether the first bytes of cluster `c` go on from take `m`, though the rest does not: the
    // cluster the take was being written into when the power went, older audio after its end.
    // Where the rest of the cluster was never written, the bytes before it are heard too.
    bool ends_in(uint32_t c, size_t m) {
        const Volume& v = vc.volume;
        const size_t written = written_of(c);
        for (size_t n : {size_t{4096}, size_t{1536}, written}) {
            if (n >= v.cluster_bytes || n == 0) continue;
            const std::vector<uint8_t> head = read(v.cluster_offset(c), n);
            if (!head.empty() && score(m, c, head) <= kContinues) return true;
        }
        return false;
    }

    // The bytes of cluster `c` before its last sectors that were never written (all 00), to its
    // last byte that is not 00; 0 where its last sector was written.
    size_t written_of(uint32_t c) {
        const Volume& v = vc.volume;
        const std::vector<uint8_t> all = read(v.cluster_offset(c), v.cluster_bytes);
        if (all.size() < 512 || !std::all_of(all.end() - 512, all.end(), [](uint8_t b) { return b == 0; })) return 0;
        size_t n = all.size() - 512;
        while (n > 0 && all[n - 1] == 0) --n;
        return n;
    }

    // Cluster `c` in the allocator's order: given to a take, or the group stops (`why`). Returns
    // `c` where the FAT window stopped the group there, else 0.
    uint32_t step(uint32_t c, uint32_t top, uint32_t limit, std::vector<LostTake*>& takes) {
        const auto at = known.find(c);
        if (at != known.end()) return give(c, at->second), 0;
        if (flags[c] & kUnread) {
            for (LostTake* t : takes) t->unsettled = true;
            why = "cluster " + std::to_string(c) + " is not read yet";
            return 0;
        }
        if (limit != 0 && c > limit && c > top) {
            why = "the FAT sector the recorder's driver still held covers clusters up to " + std::to_string(limit);
            return c;
        }
        if (flags[c] & kHeader) {
            if (c > top) why = "cluster " + std::to_string(c) + " begins another take";
            return 0;
        }
        const std::pair<size_t, size_t> named = predict(c);
        if (named.first == kNone || seq.size() >= end_at) {
            why = "every take of the group has ended";
            return 0;
        }
        if (flags[c] & kBlank) {
            blank(c, named);
            return 0;
        }
        blank_run = 0;
        const size_t heard = listen(c, named);
        if (heard != kNone) return give(c, heard), 0;
        ended[named.first] = true;
        if (ends_in(c, named.first)) {
            // What follows in the cluster was never written: the others' clusters may go on.
            give(c, named.first);
            takes[named.first]->stopped = "its audio stops inside cluster " + std::to_string(c);
            if (ends_blank(named.first)) return 0;
        } else {
            takes[named.first]->stopped = "cluster " + std::to_string(c) + " does not go on from its audio";
        }
        end_at = std::min(end_at, seq.size() + round(c));
        return 0;
    }

    // A blank cluster: a muted track's, or never written. The pattern's, or the muted one of two;
    // where the pattern names a take whose audio goes on, a track whose audio stopped before its
    // last cluster's end: its later clusters never reached the card, and the others' go on.
    void blank(uint32_t c, std::pair<size_t, size_t> named) {
        size_t to = named.first;
        if (named.second != kNone && (flags[clusters[named.second].back()] & kBlank) &&
            !(flags[clusters[to].back()] & kBlank))
            to = named.second;
        if (!ends_blank(to))
            for (size_t m = 0; m < members(); ++m)
                if (active(m, c) && sounded(m) && ends_blank(m)) {
                    to = m;
                    break;
                }
        give(c, to);
        const uint64_t bytes = ++blank_run * uint64_t{vc.volume.cluster_bytes};
        if (bytes >= kBlankRun) why = std::to_string(bytes) + " bytes in a row were never written";
    }

    // Whether take `m` holds audio past its first cluster: a track, not a muted one.
    bool sounded(size_t m) const {
        return clusters[m].size() > 1 &&
               std::any_of(clusters[m].begin() + 1, clusters[m].end(), [&](uint32_t k) { return !(flags[k] & kBlank); });
    }

    // Whether take `m`'s last cluster is never written, or its last sector is: where a track
    // whose audio stopped inside it goes on.
    bool ends_blank(size_t m) {
        const uint32_t c = clusters[m].back();
        if (flags[c] & kBlank) return true;
        const Volume& v = vc.volume;
        const std::vector<uint8_t> last = read(v.cluster_offset(c) + v.cluster_bytes - 512, 512);
        return !last.empty() && std::all_of(last.begin(), last.end(), [](uint8_t b) { return b == 0; });
    }

    // Space never written after the group's audio is no part of it; a muted track's blank
    // clusters among the others' audio are its own.
    void finish(std::vector<LostTake*>& takes) {
        uint32_t audio_end = 0;
        for (size_t m = 0; m < members(); ++m)
            for (uint32_t c : clusters[m])
                if (!(flags[c] & kBlank) || known.count(c)) audio_end = std::max(audio_end, c);
        for (size_t m = 0; m < members(); ++m) {
            if (takes[m]->stopped.empty()) takes[m]->stopped = "its group stopped: " + why;
            // A track whose audio stopped before the others': its clusters never written after it.
            while (clusters[m].size() > 1 && (flags[clusters[m].back()] & kBlank) && !known.count(clusters[m].back()) &&
                   (sounded(m) || clusters[m].back() > audio_end)) {
                flags[clusters[m].back()] &= static_cast<uint8_t>(~kUsed);
                clusters[m].pop_back();
            }
        }
    }

    void give(uint32_t c, size_t m) {
        clusters[m].push_back(c);
        flags[c] |= kUsed;
        last_pos[m] = seq.size();
        seq.push_back(m);
    }
};

}  // namespace

std::vector<std::vector<size_t>> group_heads(const std::vector<Head>& heads, const std::vector<uint8_t>& flags) {
    std::vector<size_t> order;
    for (size_t k = 0; k < heads.size(); ++k)
        if (groupable(heads[k], flags)) order.push_back(k);
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return heads[a].own.front() < heads[b].own.front(); });
    std::vector<std::vector<size_t>> groups;
    uint32_t reach = 0;  // the highest cluster the group so far holds
    for (size_t k : order) {
        const Head& h = heads[k];
        const uint32_t first = h.own.front();
        const bool together =
            !groups.empty() && (first < reach || first - heads[groups.back().back()].own.front() <= kNear);
        if (!together) groups.emplace_back(), reach = 0;
        groups.back().push_back(k);
        for (uint32_t c : h.own) reach = std::max(reach, c);
        for (uint32_t c : h.linked) reach = std::max(reach, c);
    }
    groups.erase(std::remove_if(groups.begin(), groups.end(), [](const auto& g) { return g.size() < 2; }),
                 groups.end());
    return groups;
}

uint32_t share_out(ByteSource& source, const VolumeContents& vc, std::vector<uint8_t>& flags,
                   std::vector<LostTake*>& takes, std::vector<std::vector<uint32_t>>& clusters, uint32_t limit,
                   size_t& last, Reporter* reporter) {
    const Volume& v = vc.volume;
    Sharer s{source, vc, flags, clusters, {}, {}, {}, std::vector<size_t>(clusters.size(), kNone),
             std::vector<bool>(clusters.size(), false), ""};
    s.ends.resize(clusters.size());
    uint32_t start = v.end(), top = 0;
    for (size_t m = 0; m < clusters.size(); ++m) {
        TakeSource take(source, v, runs_of(clusters[m]));
        s.grids.push_back(grid_of(take, clusters[m].size() * uint64_t{v.cluster_bytes}));
        s.firsts.push_back(clusters[m].front());
        for (uint32_t c : clusters[m]) s.known[c] = m, start = std::min(start, c), top = std::max(top, c);
        clusters[m].clear();
    }
    // At most to the first cluster not read yet, or past the FAT window.
    uint32_t most = limit != 0 ? std::min(v.end(), std::max(limit, top) + 1) : v.end();
    for (uint32_t c = start; c < most; ++c) most = flags[c] & kUnread ? c + 1 : most;
    if (reporter)
        reporter->begin(ProgressReport::Step::Sharing, uint64_t{most > start ? most - start : 0} * v.cluster_bytes, 0,
                        takes.size());
    uint32_t next = 0, c = start;
    for (; c < v.end() && s.why.empty(); ++c) {
        if (reporter && (c - start) % 64 == 0) reporter->shared(uint64_t{c - start} * v.cluster_bytes);
        if (s.known.count(c) || !(flags[c] & (kLive | kUsed))) next = s.step(c, top, limit, takes);
    }
    if (reporter) reporter->shared(uint64_t{c - start} * v.cluster_bytes);
    if (s.why.empty()) s.why = "the volume ends";
    last = s.seq.empty() ? 0 : s.seq.back();
    s.finish(takes);
    return next;
}

}  // namespace ostrel::card

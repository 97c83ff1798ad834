// Where a take ends. An older take that its recorder closed properly says so itself: its header's
// sizes agree with each other and are not the placeholders a recorder writes at the start. Such
// a take ends exactly where its header says, never lengthened to its last cluster's end; what
// the walk found after that end is kept as a file of its own, since a recorder that rewrites
// its header's sizes as it records leaves a lost take whose header looks closed.
//
// On FAT, a recorder's driver that keeps one sector of the FAT in its buffer leaves the chain on
// the card ending in the sector it still held: the take ended within the clusters that sector
// covers. A driver that writes through a cache leaves instead a snapshot of an earlier moment,
// its mark anywhere in its sector: there the take went on, and no window bounds it. And a take's last sectors that reached the card only as 00 or FF were never written.
#include "finder.h"
#include "repair_decision.h"

namespace ostrel::card {

namespace {

uint64_t entry_bytes(const Volume& v) { return v.kind == FsKind::Fat16 ? 2 : 4; }

// Whether the plan's header holds sizes a recorder wrote when it closed the take, not the
// placeholders it writes at the start.
bool sizes_written(const RepairPlan& p) {
    if (!p.wave_form || !p.format.known || p.verdict == Verdict::NoDataBlock) return false;
    const uint64_t none = p.rf64 ? ~uint64_t{0} : 0xFFFFFFFFu;
    return p.form_size != 0 && p.form_size != none && p.stored_size != 0 && p.stored_size != none;
}

// The length the header gives the file, or 0 where its sizes are placeholders or disagree.
uint64_t closed_length(ByteSource& take, uint64_t length) {
    const RepairPlan first = plan_repair(take, length);
    if (!sizes_written(first) || first.form_size > length - 8) return 0;
    const uint64_t own = first.form_size + 8;
    const RepairPlan p = plan_repair(take, own);
    const bool agree = p.verdict == Verdict::Correct && p.write_count == 0 && p.data_id + 8 <= own &&
                       p.stored_size <= own - p.data_id - 8;
    return agree ? own : 0;
}

}  // namespace

bool closed_at_least(ByteSource& take, uint64_t length) {
    if (length < 12) return false;
    const RepairPlan p = plan_repair(take, length);
    if (!sizes_written(p)) return false;
    const uint64_t audio = p.data_id + 8 <= length ? length - p.data_id - 8 : 0;
    return p.form_size >= length - 8 && p.stored_size >= audio;
}

bool end_by_own_header(ByteSource& source, const Volume& v, LostTake& take, LostTake& after) {
    TakeSource bytes(source, v, take.runs);
    if (take.bytes < 12) return false;
    const uint64_t own = closed_length(bytes, take.bytes);
    if (own == 0) return false;
    take.older = true;
    take.own_name = name_in_header(bytes, own);
    const uint64_t cs = v.cluster_bytes, walked = take.bytes;
    take.bytes = own;
    const std::string stopped = take.stopped;
    take.stopped = "its header's sizes agree with each other: it ends at byte " + std::to_string(own) +
                   ", where they say";
    // Only whole clusters past the one the take ends in are more than its last cluster's slack.
    if (walked <= (own + cs - 1) / cs * cs) return false;
    std::vector<uint32_t> clusters = clusters_of(take.runs);
    clusters.erase(clusters.begin(), clusters.begin() + static_cast<long>(own / cs));
    after = after_part(source, v, take, std::move(clusters), own % cs);
    after.stopped = stopped;
    after.apart_why = "it lies past the end the older take's header gives: older audio, or more of a take whose "
                      "recorder rewrote its sizes as it recorded";
    return !after.header.empty();
}

LostTake after_part(ByteSource& source, const Volume& v, const LostTake& take, std::vector<uint32_t> clusters,
                    uint64_t skip) {
    LostTake after;
    after.volume = take.volume, after.start = take.start == Start::Headerless ? Start::Headerless : Start::FreeCluster;
    after.first = clusters.empty() ? 0 : clusters.front();
    after.runs = runs_of(clusters);
    after.skip = skip;
    if (after.start != Start::Headerless) {  // else it borrows a format as the take does
        TakeSource bytes(source, v, take);
        const RepairPlan p = plan_repair(bytes, take.bytes);
        if (p.format.known && p.data_id + 8 <= take.bytes && p.data_id + 8 <= kMaxHeaderBytes) {
            after.header.resize(p.data_id + 8);
            if (!bytes.read_at(0, after.header.data(), after.header.size())) after.header.clear();
        }
    }
    after.bytes = after.header.size() + clusters.size() * uint64_t{v.cluster_bytes} - skip;
    return after;
}

namespace {

uint64_t fat_sector(const Volume& v, uint32_t c) {
    return (v.kind == FsKind::Fat12 ? uint64_t{c} * 3 / 2 : uint64_t{c} * entry_bytes(v)) / v.sector_bytes;
}

// Where the chain of `h` stops on the card, and whether a one-sector buffer left it so: its
// first cluster's entry still free, or its end-of-chain mark at the first of its clusters whose
// entries lie in that sector. A mark anywhere else is a cache's snapshot of where the take was.
bool chain_mark(const VolumeContents& vc, const Head& h, uint64_t& sector) {
    const uint32_t last = h.linked.empty() ? h.own.back() : h.linked.back();
    if (vc.fat[last] == 0 && h.linked.empty()) {
        sector = fat_sector(vc.volume, h.own.front());
        return true;
    }
    sector = fat_sector(vc.volume, last);
    for (uint32_t c : h.own)
        if (c != last && fat_sector(vc.volume, c) == sector) return false;
    for (uint32_t c : h.linked)
        if (c != last && fat_sector(vc.volume, c) == sector) return false;
    return true;
}

}  // namespace

uint32_t window_end(const VolumeContents& vc, const std::vector<const Head*>& heads) {
    const Volume& v = vc.volume;
    if (v.kind == FsKind::ExFat) return 0;
    uint64_t sector = 0;
    bool any = false, buffered = true;
    for (const Head* h : heads) {
        if (h->stale_end || h->own.empty()) continue;
        uint64_t at = 0;
        const bool as_buffer = chain_mark(vc, *h, at);
        // Only the chains that end in the latest sector speak for the buffer: the sectors before
        // it left the buffer whole.
        if (!any || at > sector) buffered = as_buffer;
        else if (at == sector) buffered = buffered && as_buffer;
        sector = any && sector > at ? sector : at;
        any = true;
    }
    if (!any || !buffered) return 0;
    const uint64_t end_byte = (sector + 1) * v.sector_bytes;  // the first byte past the sector
    const uint64_t last = v.kind == FsKind::Fat12 ? (end_byte * 2 - 1) / 3 : end_byte / entry_bytes(v) - 1;
    return last < v.end() - 1 ? static_cast<uint32_t>(last) : v.end() - 1;
}

namespace {

// A cache writes a file's FAT before the audio that fills its clusters, so a chain on a card
// written through one can end in clusters never written: all 00 or FF, past what the entry held,
// after the take's audio. They are dropped. Blank clusters that the entry held, or with nothing
// before them but the take's first cluster (its header), are a muted track's or silence the take
// recorded, and stay.
void drop_unwritten_clusters(ByteSource& source, const Volume& v, LostTake& take) {
    const uint64_t cs = v.cluster_bytes, hs = take.header.size();
    if (take.bytes <= hs) return;
    std::vector<uint32_t> clusters = clusters_of(take.runs);
    const uint64_t in_clusters = take.bytes - hs + take.skip, held = take.own_bytes > hs ? take.own_bytes - hs + take.skip : 0;
    if (in_clusters % cs != 0 || in_clusters / cs != clusters.size()) return;  // cut inside its last cluster
    const size_t from = static_cast<size_t>((held + cs - 1) / cs);  // the first cluster wholly past what was held
    std::vector<uint8_t> bytes(static_cast<size_t>(cs));
    const auto blank_at = [&](size_t k) {
        return source.read_at(v.cluster_offset(clusters[k]), bytes.data(), bytes.size()) && blank(bytes.data(), bytes.size());
    };
    size_t keep = clusters.size();  // each cluster read once, from the last
    for (; keep > 1 && blank_at(keep - 1); --keep)
        if (keep <= from || keep == 2) return;  // blank clusters the entry held, or only the first before them
    if (keep == clusters.size()) return;
    const size_t dropped = clusters.size() - keep;
    clusters.resize(keep);
    take.runs = runs_of(clusters);
    take.bytes -= dropped * cs;
    take.blank_dropped += dropped * cs;
    take.stopped += "; the " + std::to_string(dropped) + " clusters after its audio, past what its entry held, hold "
                    "nothing (never written) and are left out";
}

}  // namespace

// Whole clusters never written at the take's end (above); then whole sectors, only inside the
// take's last cluster and only behind audio there.
bool drop_blank_sectors(ByteSource& source, const Volume& v, LostTake& take) {
    if (drop_random_sectors(source, v, take)) return true;
    drop_unwritten_clusters(source, v, take);
    const uint64_t floor = take.header.size() + (take.start == Start::Headerless ? 0 : 12);
    const uint64_t in_last = (take.bytes - take.header.size() + take.skip) % v.cluster_bytes;
    const uint64_t n = in_last == 0 ? v.cluster_bytes : 0;  // a take that ends inside a cluster was cut there
    if (n == 0 || take.bytes < floor + n) return false;
    std::vector<uint8_t> tail(static_cast<size_t>(n));
    TakeSource bytes(source, v, take);
    if (!bytes.read_at(take.bytes - n, tail.data(), tail.size())) return false;
    uint64_t at = n;
    while (at >= kSectorBytes && blank(tail.data() + at - kSectorBytes, kSectorBytes)) at -= kSectorBytes;
    if (at == 0) return false;
    take.blank_dropped += n - at;
    take.bytes -= n - at;
    return false;
}

}  // namespace ostrel::card

// Where a take ends. An older take that its recorder closed properly says so itself: its header's
// sizes agree with each other and are not the placeholders a recorder writes at the start. Such
// a take ends exactly where its header says, never lengthened to its last cluster's end; what
// the walk found after that end is kept as a file of its own, since a recorder that rewrites
// its header's sizes as it records leaves a lost take whose header looks closed.
#include "finder.h"
#include "repair_decision.h"

namespace ostrel::card {

namespace {

// The length the header gives the file, or 0 where its sizes are placeholders or disagree.
uint64_t closed_length(ByteSource& take, uint64_t length) {
    const RepairPlan first = plan_repair(take, length);
    if (!first.wave_form || !first.format.known || first.verdict == Verdict::NoDataBlock) return 0;
    const uint64_t none = first.rf64 ? ~uint64_t{0} : 0xFFFFFFFFu;
    if (first.form_size == 0 || first.form_size == none || first.stored_size == 0 || first.stored_size == none)
        return 0;
    if (first.form_size > length - 8) return 0;
    const uint64_t own = first.form_size + 8;
    const RepairPlan p = plan_repair(take, own);
    const bool agree = p.verdict == Verdict::Correct && p.write_count == 0 && p.data_id + 8 <= own &&
                       p.stored_size <= own - p.data_id - 8;
    return agree ? own : 0;
}

}  // namespace

bool end_by_own_header(ByteSource& source, const Volume& v, LostTake& take, LostTake& after) {
    TakeSource bytes(source, v, take.runs);
    if (take.bytes < 12) return false;
    const uint64_t own = closed_length(bytes, take.bytes);
    if (own == 0) return false;
    const RepairPlan p = plan_repair(bytes, own);
    take.older = true;
    take.own_name = name_in_header(bytes, own);
    const uint64_t cs = v.cluster_bytes, walked = take.bytes;
    take.bytes = own;
    const std::string stopped = take.stopped;
    take.stopped = "its header's sizes agree with each other: it ends at byte " + std::to_string(own) +
                   ", where they say";
    // Only whole clusters past the one the take ends in are more than its last cluster's slack.
    const uint64_t end_cluster = (own + cs - 1) / cs;
    if (walked <= end_cluster * cs) return false;
    std::vector<uint32_t> clusters;
    for (const Run& r : take.runs)
        for (uint32_t k = 0; k < r.count; ++k) clusters.push_back(r.first + k);
    after.volume = take.volume, after.start = Start::FreeCluster;
    after.first = clusters[own / cs];
    after.runs = runs_of(std::vector<uint32_t>(clusters.begin() + static_cast<long>(own / cs), clusters.end()));
    after.skip = own % cs;
    after.header.resize(p.data_id + 8);
    if (!bytes.read_at(0, after.header.data(), after.header.size())) return false;
    after.bytes = after.header.size() + walked - own;
    after.stopped = stopped;
    return true;
}

}  // namespace ostrel::card

#include "take_words.h"

namespace ostrel::card {

namespace {

std::string cluster_runs(const std::vector<Run>& runs) {
    std::string s;
    for (size_t k = 0; k < runs.size() && k < 8; ++k) {
        s += (k ? ", " : "") + std::to_string(runs[k].first);
        if (runs[k].count > 1) s += "-" + std::to_string(runs[k].first + runs[k].count - 1);
    }
    if (runs.size() > 8) s += " and " + std::to_string(runs.size() - 8) + " runs more";
    return s;
}

std::string where_it_began(const Findings& f, const LostTake& t) {
    const std::string at = "begins at cluster " + std::to_string(t.first);
    const std::string holder = t.entry_holds ? ", the first cluster of " + t.entry : "";
    switch (t.start) {
        case Start::EmptyEntry: return at + holder + ", an entry of 0 bytes";
        case Start::StaleEntry:
            return at + ": " + t.entry + " holds " + std::to_string(t.own_bytes) +
                   " bytes of clusters, and its header says it was still being recorded";
        case Start::Reclaimed: return at + ": " + t.entry + ", a lost chain that chkdsk or fsck kept";
        case Start::FreeCluster:
            if (t.after_end_of >= 0)
                return "follows the end of " + take_where(f, f.takes[static_cast<size_t>(t.after_end_of)]) +
                       " in cluster " + std::to_string(t.first) + ": kept apart, in that take's format, in case it "
                       "is more of it";
            return at + ", which no entry holds and which begins with a WAVE header" +
                   (t.older ? ": an older take, whole by its own header" : "");
        case Start::Headerless: break;
    }
    const std::string head =
        at + (t.entry_holds ? holder : ", the head of a lost chain in the FAT") + ", with no header";
    if (t.header.empty()) return head + ", and no take on the card to lend it a format: give one with --like FILE.wav";
    return head + ": written before it is the header of " + t.format_from + ", a guess at its format";
}

}  // namespace

std::string take_where(const Findings& f, const LostTake& t) {
    if (!t.entry.empty()) return t.entry;
    const Volume& v = f.card.volumes[t.volume].volume;
    return std::string(t.older ? "the older take" : t.after_end_of >= 0 ? "what followed" : "the take") +
           " at cluster " + std::to_string(t.first) +
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
    lines.push_back(where_it_began(f, t));
    if (!t.named_by.empty()) lines.push_back(t.named_by);
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

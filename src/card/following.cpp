// Following a take: by its FAT chain while that leads to clusters no one holds, then in the
// order the recorder's allocator hands clusters out, passing over those in use, until another
// take's header, space never written, or the volume's end.
#include "finder.h"

namespace ostrel::card {

namespace {

struct Follower {
    const VolumeContents& vc;
    std::vector<uint8_t>& flags;
    LostTake& take;
    bool by_fat;
    bool linked = false;  // the last step was a link of the FAT

    uint32_t next_after(uint32_t c) {
        linked = by_fat && vc.link(vc.fat[c]) && !(flags[vc.fat[c]] & (kLive | kUsed));
        if (linked) {
            ++take.fat_links;
            return vc.fat[c];
        }
        for (uint32_t k = c + 1; k < vc.volume.end(); ++k) {
            if (!(flags[k] & (kLive | kUsed))) return k;
            ++take.held_skipped;
        }
        return 0;
    }

    // The reason to stop before cluster `n`, or empty to take it.
    std::string stop_before(uint32_t n, size_t clusters) const {
        const uint64_t cs = vc.volume.cluster_bytes;
        if (vc.volume.kind != FsKind::ExFat && (clusters + 1) * cs > kFatFileLimit)
            return "it reached 4 GiB, the most a FAT file can hold";
        if (n == 0) return "the volume ends";
        if (flags[n] & kHeader) return "cluster " + std::to_string(n) + " begins another take";
        return "";
    }

    std::vector<uint32_t> follow(std::vector<uint32_t> list) {
        const uint64_t cs = vc.volume.cluster_bytes;
        for (uint32_t c : list) flags[c] |= kUsed;
        // Silence the FAT links is the take's own, however long; only unlinked blank space ends it.
        uint32_t blank_tail = 0;
        size_t last_linked = list.size();
        for (uint32_t guard = 0; guard < vc.volume.clusters; ++guard) {
            const uint32_t n = next_after(list.back());
            take.stopped = stop_before(n, list.size());
            if (!take.stopped.empty()) break;
            if (linked) last_linked = list.size() + 1;
            blank_tail = flags[n] & kBlank && !linked ? blank_tail + 1 : 0;
            list.push_back(n);
            flags[n] |= kUsed;
            if (blank_tail * cs >= kBlankRun) {
                take.stopped = std::to_string(blank_tail * cs) + " bytes from cluster " +
                               std::to_string(list[list.size() - blank_tail]) + " were never written";
                break;
            }
        }
        // Space never written after the audio is no part of it, unless the FAT links it.
        while (list.size() > last_linked && (flags[list.back()] & kBlank) && !(flags[list.back()] & kLive)) {
            flags[list.back()] &= static_cast<uint8_t>(~kUsed);
            list.pop_back();
        }
        return list;
    }
};

}  // namespace

std::vector<uint32_t> follow(const VolumeContents& vc, std::vector<uint8_t>& flags, LostTake& take,
                             std::vector<uint32_t> list, bool by_fat) {
    Follower follower{vc, flags, take, by_fat};
    return follower.follow(std::move(list));
}

}  // namespace ostrel::card

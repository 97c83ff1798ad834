// Following a take: by its FAT chain while that leads to clusters no one holds, then in the
// order the recorder's allocator hands clusters out, passing over those in use, until another
// take's header, space never written, bytes no audio is made of, the FAT sector the recorder's
// driver still held, or the volume's end.
#include "finder.h"

namespace ostrel::card {

namespace {

bool free_to_take(const std::vector<uint8_t>& flags, uint32_t c) { return !(flags[c] & (kLive | kUsed | kHeader)); }

struct Follower {
    const VolumeContents& vc;
    std::vector<uint8_t>& flags;
    LostTake& take;
    bool by_fat;
    uint32_t limit;
    const NotAudio& not_audio;
    bool linked = false;  // the last step was a link of the FAT

    uint32_t next_after(uint32_t c) {
        const bool exfat = vc.volume.kind == FsKind::ExFat;
        const uint32_t to = vc.fat[c];
        linked = by_fat && vc.link(to) && !(flags[to] & (kLive | kUsed)) &&
                 (!exfat || (!vc.allocated.empty() && vc.allocated[c] && vc.allocated[to]));
        if (linked) {
            ++take.fat_links;
            return to;
        }
        for (uint32_t k = c + 1; k < vc.volume.end(); ++k) {
            if (!(flags[k] & (kLive | kUsed)) || (flags[k] & kHeader)) return k;  // a header ends any walk
            ++take.held_skipped;
        }
        return 0;
    }

    // Whether to stop before cluster `n`: `w.stop` and the take's words say why.
    bool stop_before(uint32_t n, uint32_t last, size_t clusters, Walk& w) const {
        const uint64_t cs = vc.volume.cluster_bytes;
        if (vc.volume.kind != FsKind::ExFat && (clusters + 1) * cs > kFatFileLimit) {
            w.stop = Stop::FileLimit, take.stopped = "it reached 4 GiB, the most a FAT file can hold";
        } else if (n == 0) {
            w.stop = Stop::VolumeEnd, take.stopped = "the volume ends";
        } else if (flags[n] & kUnread) {
            w.stop = Stop::Unread, take.unsettled = true;
            take.stopped = "cluster " + std::to_string(n) + " is not read yet";
        } else if (flags[n] & kHeader) {
            w.stop = flags[n] & kClosed ? Stop::OlderHeader : Stop::LostHeader;
            take.stopped = "cluster " + std::to_string(n) + " begins another take";
        } else if (limit != 0 && n > limit && !linked) {
            w.stop = Stop::Window, w.next = n;
            take.stopped = "the FAT sector the recorder's driver still held covers clusters up to " +
                           std::to_string(limit) + ", and its take ends there";
        } else if (!linked && !(flags[n] & kBlank) && not_audio && not_audio(last, n)) {
            w.stop = Stop::NotAudio;
            take.stopped = "cluster " + std::to_string(n) + " holds no audio: its bytes are as even as compressed data's";
        } else {
            return false;
        }
        return true;
    }

    Walk follow(std::vector<uint32_t> list) {
        const uint64_t cs = vc.volume.cluster_bytes;
        for (uint32_t c : list) flags[c] |= kUsed;
        Walk w;
        // Silence the FAT links is the take's own, however long; only unlinked blank space ends it.
        uint32_t blank_tail = 0;
        size_t last_linked = list.size();
        for (uint32_t guard = 0; guard < vc.volume.clusters; ++guard) {
            const uint32_t n = next_after(list.back());
            if (stop_before(n, list.back(), list.size(), w)) break;
            if (linked) last_linked = list.size() + 1;
            blank_tail = flags[n] & kBlank && !linked ? blank_tail + 1 : 0;
            list.push_back(n);
            flags[n] |= kUsed;
            if (blank_tail * cs >= kBlankRun) {
                w.stop = Stop::NeverWritten;
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
        w.clusters = std::move(list);
        return w;
    }
};

}  // namespace

void link_head(const VolumeContents& vc, std::vector<uint8_t>& flags, Head& head) {
    for (uint32_t c : head.own) flags[c] |= kUsed;
    if (!head.by_fat || head.own.empty()) return;
    const bool exfat = vc.volume.kind == FsKind::ExFat;
    auto marked = [&](uint32_t c) { return !exfat || (!vc.allocated.empty() && vc.allocated[c]); };
    bool first_run = head.linked.empty() && head.own.size() == 1;
    for (uint32_t c = head.own.back(), guard = 0; guard < vc.volume.clusters; ++guard) {
        uint32_t to = vc.fat[c];
        // exFAT writes the links inside a file's first run of adjacent clusters only at a sync.
        if (exfat && to == 0 && first_run && c + 1 < vc.volume.end() && marked(c) && marked(c + 1)) to = c + 1;
        if (!vc.link(to) || !marked(c) || !marked(to)) break;
        if (flags[to] & kUnread) {
            head.unread = true;
            break;
        }
        if (!free_to_take(flags, to)) {
            head.stale_end = true;
            break;
        }
        first_run = first_run && to == c + 1;
        head.linked.push_back(to);
        flags[to] |= kUsed;
        c = to;
    }
}

Walk follow(const VolumeContents& vc, std::vector<uint8_t>& flags, LostTake& take, std::vector<uint32_t> list,
            bool by_fat, uint32_t limit, const NotAudio& not_audio) {
    Follower follower{vc, flags, take, by_fat, limit, not_audio};
    return follower.follow(std::move(list));
}

}  // namespace ostrel::card

// Finding lost takes. A recorder's FAT driver that loses power leaves the entry at 0 bytes (or at
// the size of its last sync), the FAT chain written only as far as the last FAT sector that left
// its buffer, and the audio in the clusters its allocator would hand out next: after the take's
// last cluster, skipping those in use. One read of every cluster no entry holds marks which
// begin with a header and which were never written; then each take is found where it begins
// (take_starts.cpp), followed (following.cpp), ended (take_end.cpp) and named (take_names.cpp).
#include "lost_takes.h"

#include <cstring>
#include <utility>

#include "byte_codec.h"
#include "finder.h"
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

bool wave_header(const uint8_t* b, size_t n) {
    if (!is_wave_form(b, n)) return false;
    Bytes bytes(b, n);
    return plan_repair(bytes, n).format.known;
}

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

uint64_t VolumeScan::scan(size_t step) {
    const Volume& v = vc.volume;
    const uint32_t per_read = step / v.cluster_bytes > 0 ? static_cast<uint32_t>(step / v.cluster_bytes) : 1;
    std::vector<uint8_t> buf(uint64_t{per_read} * v.cluster_bytes);
    uint64_t scanned = 0;
    for (uint32_t c = kFirstCluster; c < v.end();) {
        if (flags[c] & kLive) {
            ++c;
            continue;
        }
        uint32_t n = 1;
        while (n < per_read && c + n < v.end() && !(flags[c + n] & kLive)) ++n;
        const size_t bytes = size_t{n} * v.cluster_bytes;
        if (source.read_at(v.cluster_offset(c), buf.data(), bytes)) {
            for (uint32_t k = 0; k < n; ++k) classify(c + k, buf.data() + size_t{k} * v.cluster_bytes);
            scanned += bytes;
        }
        c += n;
    }
    return scanned;
}

void VolumeScan::classify(uint32_t c, const uint8_t* b) {
    const size_t cs = vc.volume.cluster_bytes;
    if (blank(b, cs)) {
        flags[c] |= kBlank;
        return;
    }
    if (!is_wave_form(b, cs)) return;
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

Findings find_lost_takes(ByteSource& source, uint64_t length, const FindOptions& options) {
    Findings f;
    f.card = read_card(source, length);
    std::vector<std::vector<Healthy>> healthy(f.card.volumes.size());
    for (size_t vi = 0; vi < f.card.volumes.size(); ++vi) {
        VolumeScan scan{source, f.card.volumes[vi], f.card.volumes[vi].live, {}};
        f.scanned += scan.scan(options.scan_step);
        find_starts(source, f, vi, scan, healthy[vi]);
    }
    name_takes(f);
    give_formats(f, healthy, options);
    return f;
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

// Fuzzes the card readers and the lost-take finder over an image in memory: every walk ends, no
// read asks for bytes outside the image, and every take's clusters lie inside its volume, no
// byte of them in two takes or twice in one.
// Input: 3 bytes of extra length in KiB (the image continues with zeros, as a sparse file does),
// then the image's first bytes.
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "lost_takes.h"
#include "memory_source.h"

namespace {

struct Bounded : MemorySource {
    using MemorySource::MemorySource;
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        FUZZ_CHECK(offset <= length && count <= length - offset);
        return MemorySource::read_at(offset, buf, count);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // At most 4 MiB of zeros after the bytes given: enough for FAT32 and exFAT to be recognised.
    const uint64_t extra = (uint64_t{data[0]} | uint64_t{data[1]} << 8 | (uint64_t{data[2]} & 0x0F) << 16) * 1024 % (4u << 20);
    Bounded image(std::string(reinterpret_cast<const char*>(data) + 3, size - 3), size - 3 + extra);
    const ostrel::card::Findings f = ostrel::card::find_lost_takes(image, image.length, {1 << 16, {}, {}});
    FUZZ_CHECK(f.scanned <= image.length);
    // No byte of the card goes into two files: an older take and what followed its end share
    // the cluster it ends in, not its bytes.
    std::map<uint64_t, uint64_t> spans;
    for (const ostrel::card::LostTake& t : f.takes) {
        const ostrel::card::Volume& v = f.card.volumes[t.volume].volume;
        for (const ostrel::card::Run& r : t.runs)
            FUZZ_CHECK(r.count > 0 && r.first >= ostrel::card::kFirstCluster && r.first <= v.end() - r.count);
        uint64_t bytes = t.header.size();
        for (const ostrel::card::Span& s : ostrel::card::card_spans(v, t)) {
            FUZZ_CHECK(s.length > 0 && s.offset >= v.heap && s.offset + s.length <= v.cluster_offset(v.end()));
            const auto next = spans.lower_bound(s.offset);
            FUZZ_CHECK(next == spans.end() || next->first >= s.offset + s.length);
            FUZZ_CHECK(next == spans.begin() || std::prev(next)->second <= s.offset);
            spans[s.offset] = s.offset + s.length;
            bytes += s.length;
        }
        FUZZ_CHECK(t.bytes == bytes && !t.name.empty() && t.name[0] != '/');
        // No part of the name climbs out of the folder, here or where Windows drops trailing dots.
        for (size_t at = 0, end; at <= t.name.size(); at = end + 1) {
            end = t.name.find('/', at);
            if (end == std::string::npos) end = t.name.size();
            FUZZ_CHECK(end > at && t.name[end - 1] != '.' && t.name[end - 1] != ' ');
        }
    }
    return 0;
}

#include "form_plan.h"

#include <cstring>

namespace ostrel::forms {

uint64_t load_be(const uint8_t* bytes, int count) {
    uint64_t v = 0;
    for (int k = 0; k < count; ++k) v = v << 8 | bytes[k];
    return v;
}

void store_be(uint64_t value, uint8_t* bytes, int count) {
    for (int k = 0; k < count; ++k) bytes[k] = static_cast<uint8_t>((value >> (8 * (count - 1 - k))) & 0xFFu);
}

bool id_is(const uint8_t* bytes, const char* id) { return std::memcmp(bytes, id, 4) == 0; }

namespace {

void add(RepairPlan& p, uint64_t offset, uint64_t value, int count, bool big) {
    Write& w = p.writes[p.write_count++];
    w.offset = offset;
    w.count = static_cast<size_t>(count);
    for (int k = 0; k < count; ++k) w.bytes[big ? count - 1 - k : k] = static_cast<uint8_t>((value >> (8 * k)) & 0xFFu);
    // Each write reaches storage before the next: the data size first, which readers read the
    // audio by, then the counts and sizes that must agree with it.
    w.sync_after = true;
}

}  // namespace

void add_be(RepairPlan& p, uint64_t offset, uint64_t value, int count) { add(p, offset, value, count, true); }
void add_le(RepairPlan& p, uint64_t offset, uint64_t value, int count) { add(p, offset, value, count, false); }

bool keep_bytes_before(CachedBytes& b, RepairPlan& p) {
    for (size_t k = 0; k < p.write_count; ++k)
        if (!b.get(p.writes[k].offset, p.writes[k].before, p.writes[k].count)) return false;
    return true;
}

RepairPlan none(RepairPlan p, const char* why) {
    p.verdict = Verdict::NoDataBlock;
    p.why_none = why;
    p.write_count = 0;
    return p;
}

RepairPlan read_failed(RepairPlan p) {
    p.verdict = Verdict::ReadFailed;
    p.write_count = 0;
    return p;
}

void settle_audio(RepairPlan& p, uint64_t stored, uint64_t n, bool chunks_prove) {
    const uint64_t whole = n - n % p.frame_bytes;
    p.stored_size = stored;
    p.audio_end = p.data_start + n;
    if (stored == n && n == whole) {
        p.new_size = stored;
        p.proof = Proof::FileLength;
    } else if (chunks_prove && stored != n) {
        p.new_size = stored;
        p.proof = stored + 1 == n ? Proof::PadByte : Proof::ChunksAfter;
    } else {
        p.new_size = whole;
    }
}

}  // namespace ostrel::forms

#include "repair_decision.h"

#include <cstring>

#include "byte_codec.h"

namespace ostrel {

namespace {

enum class Walk { Found, Broken, ReadFailed };

bool id_is(const uint8_t* bytes, const char* id) { return std::memcmp(bytes, id, 4) == 0; }

// Follows chunk headers from offset 12 to the first "data" chunk. In RF64 a size of FF FF FF FF
// means "see ds64", which only the data chunk may say here.
Walk walk_to_data(CachedBytes& b, bool rf64, uint64_t& h) {
    const uint64_t length = b.length();
    uint64_t at = kFirstChunk;
    for (int n = 0; n < kMaxChunks; ++n) {
        if (length - at < 4) return Walk::Broken;  // at <= length holds throughout
        uint8_t header[8];
        const size_t have = length - at < 8 ? static_cast<size_t>(length - at) : 8;
        if (!b.get(at, header, have)) return Walk::ReadFailed;
        // A data id that fits is enough: a file cut inside its size field is reported as such.
        if (id_is(header, "data")) {
            h = at;
            return Walk::Found;
        }
        if (have < 8 || !printable_id(header)) return Walk::Broken;
        const uint32_t size = load_le32(header + 4);
        if (rf64 && size == 0xFFFFFFFFu) return Walk::Broken;
        const uint64_t next = at + 8 + size + (size & 1);  // odd chunks carry a pad byte
        if (next > length) return Walk::Broken;
        at = next;
    }
    return Walk::Broken;
}

// The scan for files whose chain is broken, say by a chunk whose size was never written.
bool scan_for_data(const CachedBytes& b, uint64_t from, uint64_t& h) {
    for (uint64_t at = from; at <= kLastProbe && at + 4 <= b.head_size(); at += 2) {
        if (id_is(b.head() + at, "data")) {
            h = at;
            return true;
        }
    }
    return false;
}

enum class Proof { Proven, NotProven, ReadFailed };

// A stored size is right when whole chunks run from the end it declares exactly to the end of
// the file: LIST, id3 or cue chunks after the audio, as wavenc and the metadata tools write them.
Proof prove_stored_size(CachedBytes& b, uint64_t data_start, uint64_t stored) {
    const uint64_t length = b.length();
    if (stored > length - data_start) return Proof::NotProven;  // data_start <= length
    uint64_t at = data_start + stored;
    if ((stored & 1) && at < length) ++at;
    for (int n = 0; n < kMaxChunks; ++n) {
        if (at == length) return Proof::Proven;
        if (length - at < 8) return Proof::NotProven;
        uint8_t header[8];
        if (!b.get(at, header, 8)) return Proof::ReadFailed;
        if (!printable_id(header)) return Proof::NotProven;
        const uint32_t size = load_le32(header + 4);
        // Some writers leave out the pad byte of the last chunk.
        if (length - at - 8 == size) return Proof::Proven;
        const uint64_t next = at + 8 + size + (size & 1);
        if (next > length) return Proof::NotProven;
        at = next;
    }
    return Proof::NotProven;
}

void add_write(RepairPlan& p, uint64_t offset, const uint8_t* bytes, size_t count) {
    Write& w = p.writes[p.write_count++];
    w.offset = offset;
    w.count = count;
    std::memcpy(w.bytes, bytes, count);
}

// In RF64 the field after "data" must say FF FF FF FF ("see ds64") or the size itself.
void point_field_to_ds64(RepairPlan& p, uint32_t field, uint64_t size) {
    if (field == 0xFFFFFFFFu || field == size) return;
    const uint8_t see_ds64[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    add_write(p, p.data_id + 4, see_ds64, 4);
}

// Writers that may run past 4 GiB put a JUNK chunk of at least 28 bytes first, so that it can
// become ds64; a ds64 there is a promotion that was cut short.
bool has_room_for_ds64(const CachedBytes& b) {
    const uint8_t* first = b.head() + kFirstChunk;
    return (id_is(first, "JUNK") || id_is(first, "ds64")) && load_le32(first + 4) >= 28;
}

// RIFF to RF64 in place. The order keeps every step readable: the JUNK body first (readers skip
// it), then its id (an unknown ds64 chunk is skipped too), then the field, and "RF64" last, once
// ds64 is complete.
void plan_promotion(RepairPlan& p, uint64_t file_length) {
    uint8_t body[28] = {};
    store_le64(file_length - 8, body);  // file_length > 4 GiB here
    store_le64(p.data_length, body + 8);
    add_write(p, kFirstChunk + 8, body, sizeof body);  // sample count and table length stay 0
    add_write(p, kFirstChunk, reinterpret_cast<const uint8_t*>("ds64"), 4);
    point_field_to_ds64(p, static_cast<uint32_t>(p.stored_size), p.data_length);
    const uint8_t rf64[8] = {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    add_write(p, 0, rf64, sizeof rf64);
    p.verdict = Verdict::Fix;
}

RepairPlan failed(RepairPlan p) {
    p.verdict = Verdict::ReadFailed;
    p.write_count = 0;
    return p;
}

}  // namespace

bool printable_id(const uint8_t id[4]) {
    for (int k = 0; k < 4; ++k)
        if (id[k] < 0x20 || id[k] > 0x7E) return false;
    return true;
}

RepairPlan plan_repair(ByteSource& source, uint64_t file_length) {
    RepairPlan p;
    CachedBytes b(source, file_length);
    if (b.failed()) return failed(p);
    const uint8_t* head = b.head();
    if (b.head_size() < kFirstChunk || !id_is(head + 8, "WAVE")) return p;
    p.rf64 = id_is(head, "RF64") || id_is(head, "BW64");
    if (!p.rf64 && !id_is(head, "RIFF")) return p;

    // RF64 and BW64 keep the real size in ds64, which must come first; without it there is
    // no size to check.
    uint64_t ds64_size = 0;
    uint64_t scan_from = kFirstChunk;
    if (p.rf64) {
        if (b.head_size() < kDs64DataSizeOffset + 8 || !id_is(head + kFirstChunk, "ds64")) return p;
        const uint32_t ds64_chunk = load_le32(head + kFirstChunk + 4);
        if (ds64_chunk < 24) return p;
        ds64_size = load_le64(head + kDs64DataSizeOffset);
        // "data" inside ds64's own numbers is no chunk, and writing ds64 would overwrite it.
        scan_from = kFirstChunk + 8 + ds64_chunk + (ds64_chunk & 1);
    }

    uint64_t h = 0;
    const Walk walk = walk_to_data(b, p.rf64, h);
    if (walk == Walk::ReadFailed) return failed(p);
    p.found_by_chain = walk == Walk::Found;
    if (!p.found_by_chain) {
        if (!b.extend_head(kWindowBytes)) return failed(p);
        if (!scan_for_data(b, scan_from, h)) return p;
    }
    p.data_id = h;

    // A recorder killed between writing "data" and its size leaves a file ending in the field.
    // Writing the field there would lengthen the file, so it is left alone.
    if (file_length - h < 8) {
        p.verdict = Verdict::CutShort;
        return p;
    }
    uint8_t field[4];
    if (!b.get(h + 4, field, 4)) return failed(p);
    const uint64_t data_start = h + 8;
    p.data_length = file_length - data_start;
    p.stored_size = p.rf64 ? ds64_size : load_le32(field);

    const Proof proof = prove_stored_size(b, data_start, p.stored_size);
    if (proof == Proof::ReadFailed) return failed(p);
    if (proof == Proof::Proven) {
        // A right ds64 is not enough while the field says a size of its own: readers take any
        // value but FF FF FF FF as the size. Such a field is what a run cut short between its
        // two writes leaves behind.
        if (p.rf64) point_field_to_ds64(p, load_le32(field), p.stored_size);
        p.verdict = p.write_count > 0 ? Verdict::Fix : Verdict::Correct;
        return p;
    }

    if (p.rf64) {
        // The 8 bytes in ds64 first: until the field says FF FF FF FF, readers still use the
        // field, so a crash between the two writes leaves the file as readers saw it before.
        uint8_t size64[8];
        store_le64(p.data_length, size64);
        add_write(p, kDs64DataSizeOffset, size64, 8);
        point_field_to_ds64(p, load_le32(field), p.data_length);
        p.verdict = Verdict::Fix;
        return p;
    }
    if (p.data_length > kMaxFieldValue) {
        if (p.found_by_chain && has_room_for_ds64(b))
            plan_promotion(p, file_length);
        else
            p.verdict = Verdict::TooLarge;
        return p;
    }
    uint8_t size32[4];
    Decon4(wrap_to_int32(static_cast<uint32_t>(p.data_length)), size32);
    add_write(p, h + 4, size32, 4);
    p.verdict = Verdict::Fix;
    return p;
}

}  // namespace ostrel

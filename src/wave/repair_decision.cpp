#include "repair_decision.h"

#include <cstring>

#include "byte_codec.h"

namespace ostrel {

namespace {

bool id_is(const uint8_t* bytes, const char* id) { return std::memcmp(bytes, id, 4) == 0; }

// Chunks that writers put after the audio. A copy or a download that stopped inside one leaves
// it running past the end of the file; audio spells one of these by chance about once in 150
// million files.
bool trailing_id(const uint8_t id[4]) {
    static const char kIds[][5] = {"LIST", "smpl", "cue ", "id3 ", "ID3 ", "inst", "acid", "bext", "iXML",
                                   "axml", "_PMX", "JUNK", "junk", "PAD ", "FLLR", "fact", "PEAK", "cart",
                                   "chna", "umid", "DISP", "plst", "labl", "ltxt", "note", "MD5 ", "levl"};
    for (const char* known : kIds)
        if (id_is(id, known)) return true;
    return false;
}

enum class Walk { Found, Broken, ReadFailed };

struct Chain {
    Walk walk = Walk::Broken;
    uint64_t at = kFirstChunk;   // the data id when found, else the header where the chain broke
    bool fmt_met = false;
    AudioFormat format;          // from the first fmt chunk
    uint64_t fact_at = 0;        // the body of the first fact chunk of 4 bytes or more, or 0
    bool cut_in_trailing = false;  // broke on a trailing chunk whose body runs past the end
};

}  // namespace

// The fmt fields, and for extensible audio the sub-format's tag, the first two bytes of its GUID.
AudioFormat read_format(const uint8_t* body, size_t count) {
    AudioFormat f;
    f.known = true;
    f.tag = load_le16(body);
    f.channels = load_le16(body + 2);
    f.rate = load_le32(body + 4);
    f.byte_rate = load_le32(body + 8);
    f.block_align = load_le16(body + 12);
    if (count >= 16) f.bits = load_le16(body + 14);
    if (count >= 20) f.samples_per_block = load_le16(body + 18);
    f.extensible = f.tag == 0xFFFE;
    if (f.extensible && count >= 26) f.tag = load_le16(body + 24);
    if (f.tag == 0x31 && !f.extensible && f.samples_per_block == 0) f.samples_per_block = kGsmSamplesPerBlock;
    return f;
}

uint32_t frame_bytes(const AudioFormat& f) {
    return (pcm_like(f) || block_codec(f)) && f.block_align >= 1 ? f.block_align : 1;
}

namespace {

// Sample frames in each frame or block, or 0 where they cannot be known.
uint32_t samples_per_unit(const AudioFormat& f) {
    if (pcm_like(f)) return 1;
    return block_codec(f) ? f.samples_per_block : 0;
}

// Follows chunk headers from offset 12 to the first "data" chunk. In RF64 a size of FF FF FF FF
// means "see ds64", which only the data chunk may say here.
Chain walk_to_data(CachedBytes& b, bool rf64) {
    const uint64_t length = b.length();
    Chain c;
    for (int n = 0; n < kMaxChunks; ++n) {
        const uint64_t at = c.at;
        if (length - at < 4) return c;  // at <= length holds throughout
        uint8_t header[8];
        const size_t have = length - at < 8 ? static_cast<size_t>(length - at) : 8;
        if (!b.get(at, header, have)) return c.walk = Walk::ReadFailed, c;
        // A data id that fits is enough: a file cut inside its size field is reported as such.
        if (id_is(header, "data")) return c.walk = Walk::Found, c;
        if (have < 8 || !printable_id(header)) return c;
        const uint32_t size = load_le32(header + 4);
        if (rf64 && size == 0xFFFFFFFFu) return c;
        if (size > length - at - 8) {  // at + 8 <= length here
            c.cut_in_trailing = trailing_id(header);
            return c;
        }
        if (id_is(header, "fmt ") && !c.fmt_met) {
            c.fmt_met = true;
            uint8_t body[26];
            const size_t count = size < sizeof body ? size : sizeof body;
            if (size >= 14) {
                if (!b.get(at + 8, body, count)) return c.walk = Walk::ReadFailed, c;
                c.format = read_format(body, count);
            }
        }
        if (id_is(header, "fact") && c.fact_at == 0 && size >= 4) c.fact_at = at + 8;
        const uint64_t next = at + 8 + size + (size & 1);  // odd chunks carry a pad byte
        if (next > length) return c;
        c.at = next;
    }
    return c;
}

// The scan for files whose chain is broken, say by a chunk whose size was never written. It
// starts where the chain broke, since every chunk before was walked whole, and takes "data" only
// after a fmt id, so that text in a bext or LIST chunk is not taken for the audio.
bool scan_for_data(const CachedBytes& b, uint64_t from, bool fmt_seen, uint64_t& h) {
    for (uint64_t at = from; at <= kLastProbe && at + 4 <= b.head_size(); at += 2) {
        if (id_is(b.head() + at, "fmt ")) fmt_seen = true;
        if (fmt_seen && id_is(b.head() + at, "data")) {
            h = at;
            return true;
        }
    }
    return false;
}

enum class Chunks { Proven, NotProven, ReadFailed };

// Whole chunks from `at` exactly to `end`. The last one may lack its pad byte, and a trailing
// chunk may run past the end, where a copy stopped.
Chunks chunks_reach_end(CachedBytes& b, uint64_t at, uint64_t end) {
    for (int n = 0; n < kMaxChunks; ++n) {
        if (at == end) return Chunks::Proven;
        if (end - at < 8) return Chunks::NotProven;
        uint8_t header[8];
        if (!b.get(at, header, 8)) return Chunks::ReadFailed;
        if (!printable_id(header)) return Chunks::NotProven;
        const uint32_t size = load_le32(header + 4);
        if (size >= end - at - 8) return size == end - at - 8 || trailing_id(header) ? Chunks::Proven : Chunks::NotProven;
        at += 8 + size + (size & 1);  // lands at or before end
    }
    return Chunks::NotProven;
}

// A stored size is right when whole chunks run from the end it declares to the end of the file:
// LIST, id3 or cue chunks after the audio, as wavenc and the metadata tools write them. wavenc
// writes no pad byte after odd audio, so an odd size is tried without one first.
Chunks prove_stored_size(CachedBytes& b, uint64_t data_start, uint64_t end, uint64_t stored) {
    if (stored > end - data_start) return Chunks::NotProven;  // data_start <= end
    uint64_t at = data_start + stored;
    if (stored & 1) {
        const Chunks without_pad = chunks_reach_end(b, at, end);
        if (without_pad != Chunks::NotProven || at == end) return without_pad;
        ++at;
    }
    return chunks_reach_end(b, at, end);
}

struct Settled {
    uint64_t size = 0;
    bool proven = false;  // by whole chunks after the stored size, or its pad byte
    Proof proof = Proof::None;
    bool read_failed = false;
};

// The data size for a file that ends at `end`: readers such as scipy and hound refuse a size that
// is not whole frames, so the audio is counted in whole frames; the bytes of a partial frame stay
// on disk, uncounted.
Settled settle_size(CachedBytes& b, uint64_t data_start, uint64_t end, uint64_t stored, uint32_t frame) {
    const uint64_t n = end - data_start;
    Settled s;
    s.size = n - n % frame;
    if (stored == n) {
        // sox counts the pad byte after an odd length of whole GSM blocks into the size.
        const bool counts_pad = n % 2 == 0 && frame > 1 && n % frame == 1;
        if (counts_pad) s.size = n;
        if (n % frame == 0 || counts_pad) s.proof = counts_pad ? Proof::PadByte : Proof::FileLength;
        return s;
    }
    const Chunks chunks = prove_stored_size(b, data_start, end, stored);
    s.read_failed = chunks == Chunks::ReadFailed;
    s.proven = chunks == Chunks::Proven;
    if (s.proven) {
        s.size = stored;
        s.proof = (stored & 1) && data_start + stored + 1 == end ? Proof::PadByte : Proof::ChunksAfter;
    } else if (stored % frame == 0 && stored <= n && n - stored < frame) {
        // A whole size with less than a frame after it is a frame the recorder had begun.
        s.size = stored;
        s.proof = Proof::PartialFrame;
    }
    return s;
}

// The last bytes of the file, from data_start at the earliest: one read, for an ID3v1 tag and
// for chunks that a writer appended after the audio.
struct Tail {
    uint64_t from = 0;
    uint8_t bytes[kTailBytes];
    size_t count = 0;
    const uint8_t* at(uint64_t offset) const { return bytes + (offset - from); }
};

bool read_tail(CachedBytes& b, uint64_t data_start, Tail& t) {
    const uint64_t length = b.length();
    t.from = length - data_start > kTailBytes ? length - kTailBytes : data_start;
    t.count = static_cast<size_t>(length - t.from);
    return b.get(t.from, t.bytes, t.count);
}

bool ends_in_id3v1_tag(const Tail& t, uint64_t length) {
    return length - t.from >= kId3v1Bytes && std::memcmp(t.at(length - kId3v1Bytes), "TAG", 3) == 0;
}

// A writer that cannot seek back, writing to a pipe, appends its LIST or other chunks after the
// audio: a trailing chunk whose header and size end exactly at `end`, or one pad byte before it.
// Returns where the earliest such chunk begins, or `end` when there is none.
uint64_t appended_chunk_start(const Tail& t, uint64_t end) {
    for (uint64_t at = t.from; at + 8 <= end; ++at) {
        const uint8_t* h = t.at(at);
        const uint32_t size = load_le32(h + 4);
        const uint64_t chunk_end = at + 8 + size;
        // The size first: it rules out all but a byte or two of the tail, the names only those.
        if ((chunk_end == end || ((size & 1) && chunk_end + 1 == end)) && trailing_id(h)) return at;
    }
    return end;
}

}  // namespace

// Where the form should end, or 0 when its size may stay. Readers such as Python's wave and
// scipy lose audio past the form's end; libaudiofile walks, one read at a time, to an end far
// past the file's, as writers' placeholders (FF FF FF FF, 7F FF F0 44) put it. A form a few
// bytes or kilobytes long is read by every reader tried, so a healthy file keeps it.
uint64_t form_end_wanted(uint64_t form_size, uint64_t data_start, uint64_t size, uint64_t end, bool proven,
                         bool repaired) {
    const uint64_t data_end = data_start + size;
    const uint64_t form_end = form_size > UINT64_MAX - 8 ? UINT64_MAX : form_size + 8;
    const bool too_long = form_end > end + 1 && (repaired || form_end - end > kFormSlack);
    if (form_end >= data_end && !too_long) return 0;
    if (proven) return end;
    return data_end + ((size & 1) && data_end < end ? 1 : 0);
}

namespace {

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

void plan_fact(RepairPlan& p) {
    if (p.new_fact_count == p.fact_count) return;
    uint8_t count[4];
    Decon4(wrap_to_int32(p.new_fact_count), count);
    add_write(p, p.fact_offset, count, 4);
}

// Readers of codecs take the sample count of fact (and of ds64) over the data size, so it must
// agree with the data once settled: F sample frames, where a count within the last block, as a
// healthy ADPCM file keeps it, is right too. It stays where F cannot be known: no fmt read whole,
// a format whose frames say nothing, a block codec that does not say its samples per block.
// A count below F in a file whose data size is right is what a writer chose, not a crash:
// libsndfile counts a stereo IMA ADPCM take's frames per channel pair that way. A crash leaves
// 0 or a placeholder above F, and a run cut short between writes leaves the same, so only those,
// or a count beside a data size repaired now, are rewritten.
void settle_sample_counts(CachedBytes& b, RepairPlan& p, uint64_t fact_at, bool& read_failed) {
    const uint32_t per_unit = samples_per_unit(p.format);
    const bool known = per_unit > 0 && p.frame_bytes == p.format.block_align;
    const uint64_t frames = known ? p.new_size / p.frame_bytes * per_unit : 0;
    const bool repaired = p.new_size != p.stored_size;
    auto agrees = [&](uint64_t count) { return count <= frames && count + per_unit > frames; };
    auto rewrite = [&](uint64_t count) { return known && !agrees(count) && (repaired || count == 0 || count > frames); };
    if (p.rf64 && b.head_size() >= kDs64SampleCountOffset + 8) {
        p.ds64_samples = p.new_ds64_samples = load_le64(b.head() + kDs64SampleCountOffset);
        // 0 tells RF64 readers to count the data.
        if (p.ds64_samples != 0 && rewrite(p.ds64_samples)) p.new_ds64_samples = frames;
        p.ds64_counts_fewer = known && p.ds64_samples != 0 && p.new_ds64_samples < frames && !agrees(p.new_ds64_samples);
    }
    if (fact_at == 0) return;
    uint8_t count[4];
    read_failed = !b.get(fact_at, count, 4);
    p.fact = !read_failed;
    p.fact_offset = fact_at;
    p.fact_count = p.new_fact_count = load_le32(count);
    // In RF64, FF FF FF FF says "see ds64".
    const bool see_ds64 = p.rf64 && p.fact_count == 0xFFFFFFFFu;
    if (frames <= kMaxFieldValue && !see_ds64 && rewrite(p.fact_count)) p.new_fact_count = static_cast<uint32_t>(frames);
    p.fact_counts_fewer = known && !see_ds64 && p.new_fact_count < frames && !agrees(p.new_fact_count);
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
void plan_promotion(RepairPlan& p, uint32_t field, uint64_t riff_size) {
    uint8_t body[28] = {};
    store_le64(riff_size, body);
    store_le64(p.new_size, body + 8);
    add_write(p, kFirstChunk + 8, body, sizeof body);  // sample count and table length stay 0
    add_write(p, kFirstChunk, reinterpret_cast<const uint8_t*>("ds64"), 4);
    point_field_to_ds64(p, field, p.new_size);
    plan_fact(p);
    const uint8_t rf64[8] = {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    add_write(p, 0, rf64, sizeof rf64);
}

// RF64 keeps its sizes in ds64: riffSize at 20, dataSize at 28, the sample count at 36. The wrong
// ones go in one write, with any right one between them; the field after "data" follows, since
// until it says FF FF FF FF readers still use it. A field that contradicts a right ds64, as a
// run cut short between the two writes leaves it, is mended on its own.
void plan_rf64(RepairPlan& p, uint32_t field) {
    const uint64_t values[3] = {p.new_form_size, p.new_size, p.new_ds64_samples};
    const bool wrong[3] = {p.new_form_size != p.form_size, p.new_size != p.stored_size,
                           p.new_ds64_samples != p.ds64_samples};
    int first = 0, last = 2;
    while (first < 3 && !wrong[first]) ++first;
    while (last >= first && !wrong[last]) --last;
    if (first <= last) {
        uint8_t fields[24];
        for (int k = first; k <= last; ++k) store_le64(values[k], fields + 8 * (k - first));
        add_write(p, kDs64RiffSizeOffset + 8 * static_cast<uint64_t>(first), fields, 8 * static_cast<size_t>(last - first + 1));
    }
    point_field_to_ds64(p, field, p.new_size);
}

RepairPlan failed(RepairPlan p) {
    p.verdict = Verdict::ReadFailed;
    p.write_count = 0;
    return p;
}

}  // namespace

bool block_codec(const AudioFormat& f) {
    return f.known && !f.extensible && (f.tag == 2 || f.tag == 0x11 || f.tag == 0x31);
}

bool pcm_like(const AudioFormat& f) {
    return f.known && (f.extensible || f.tag == 1 || f.tag == 3 || f.tag == 6 || f.tag == 7);
}

bool printable_id(const uint8_t id[4]) {
    for (int k = 0; k < 4; ++k)
        if (id[k] < 0x20 || id[k] > 0x7E) return false;
    return true;
}

bool is_wave_form(const uint8_t* head, size_t count) {
    if (count < kFirstChunk || !id_is(head + 8, "WAVE")) return false;
    return id_is(head, "RIFF") || id_is(head, "RF64") || id_is(head, "BW64");
}

namespace {

RepairPlan none(RepairPlan p, const char* why) {
    p.verdict = Verdict::NoDataBlock;
    p.why_none = why;
    return p;
}

// Each write keeps the bytes it replaces; they are in the head, or, for the field after "data",
// already read.
bool keep_bytes_before(CachedBytes& b, RepairPlan& p, const uint8_t field4[4]) {
    for (size_t k = 0; k < p.write_count; ++k) {
        Write& w = p.writes[k];
        if (w.offset == p.data_id + 4 && w.count == 4)
            std::memcpy(w.before, field4, 4);
        else if (!b.get(w.offset, w.before, w.count))
            return false;
    }
    return true;
}

// The form at 0, and for RF64/BW64 its ds64 chunk, which must come first: without it there is
// no size to check. `scan_from` is where a scan for "data" may begin.
bool read_form(const CachedBytes& b, RepairPlan& p, uint64_t& scan_from) {
    const uint8_t* head = b.head();
    if (b.length() == 0)
        return p = none(p, "0 bytes: the recorder never wrote this take's size; its audio may still be on the card"),
               false;
    if (!is_wave_form(head, b.head_size())) return p = none(p, "not a WAVE, AIFF, Wave64 or CAF file"), false;
    p.wave_form = p.known_form = true;
    std::memcpy(p.form, head, 4);
    p.rf64 = !id_is(head, "RIFF");
    scan_from = kFirstChunk;
    if (!p.rf64) return true;
    if (b.head_size() < kDs64DataSizeOffset + 8 || !id_is(head + kFirstChunk, "ds64") ||
        load_le32(head + kFirstChunk + 4) < 24)
        return p = none(p, "no ds64 chunk first, where this form keeps its sizes"), false;
    const uint32_t ds64_chunk = load_le32(head + kFirstChunk + 4);
    // "data" inside ds64's own numbers is no chunk, and writing ds64 would overwrite it.
    scan_from = kFirstChunk + 8 + ds64_chunk + (ds64_chunk & 1);
    return true;
}

// The data chunk's id: on the chunk chain, or where the chain broke, by the scan. The frame size
// comes from a fmt chunk that the walk read whole, also when the chain broke after it.
bool find_data(CachedBytes& b, RepairPlan& p, uint64_t scan_from, uint64_t& fact_at) {
    const Chain chain = walk_to_data(b, p.rf64);
    if (chain.walk == Walk::ReadFailed) return p = failed(p), false;
    p.found_by_chain = chain.walk == Walk::Found;
    p.format = chain.format;
    p.frame_bytes = frame_bytes(chain.format);
    fact_at = chain.fact_at;
    p.data_id = chain.at;
    if (p.found_by_chain) return true;
    // Cut inside a chunk that writers put after the audio: no data chunk follows.
    if (chain.cut_in_trailing) return p = none(p, "cut short inside a chunk, before any data chunk"), false;
    if (!b.extend_head(kWindowBytes)) return p = failed(p), false;
    if (!scan_for_data(b, chain.at > scan_from ? chain.at : scan_from, chain.fmt_met, p.data_id))
        return p = none(p, "no data chunk on the chunk chain or after fmt"), false;
    return true;
}

// The data size from the bytes after the data chunk's header. An ID3v1 tag, and chunks that a
// writer appended after the audio, are only looked for when the whole file would change the
// size: audio can end in the bytes "TAG" by chance. `chunks_end` is where appended chunks end.
bool settle_data(CachedBytes& b, RepairPlan& p, Settled& s, uint64_t& chunks_end) {
    const uint64_t file_length = b.length();
    const uint64_t data_start = p.data_id + 8;
    uint64_t end = file_length;
    s = settle_size(b, data_start, end, p.stored_size, p.frame_bytes);
    chunks_end = end;
    if (!s.read_failed && s.size != p.stored_size && file_length - data_start >= 8) {
        Tail tail;
        if (!read_tail(b, data_start, tail)) return false;
        p.id3v1_tag = ends_in_id3v1_tag(tail, file_length);
        if (p.id3v1_tag) end = chunks_end = file_length - kId3v1Bytes;
        for (uint64_t start; (start = appended_chunk_start(tail, end)) < end;) end = start;
        if (end < chunks_end) p.appended_at = end, p.appended_end = chunks_end;
        if (end < file_length) s = settle_size(b, data_start, end, p.stored_size, p.frame_bytes);
    }
    if (s.read_failed) return false;
    p.audio_end = end;
    p.new_size = s.size;
    p.proof = s.size == p.stored_size ? s.proof : Proof::None;
    return true;
}

// The writes for a RIFF file that stays RIFF: data size, form size, fact.
void plan_riff(RepairPlan& p, uint64_t form_end) {
    if (p.new_size != p.stored_size) {
        uint8_t size32[4];
        Decon4(wrap_to_int32(static_cast<uint32_t>(p.new_size)), size32);
        add_write(p, p.data_id + 4, size32, 4);
    }
    if (form_end != 0 && p.new_form_size <= kMaxFieldValue) {
        uint8_t riff32[4];
        Decon4(wrap_to_int32(static_cast<uint32_t>(p.new_form_size)), riff32);
        add_write(p, 4, riff32, 4);
    } else {
        p.new_form_size = p.form_size;
    }
    plan_fact(p);
}

// The form's size and every write, once the data size and the sample counts are settled.
bool plan_writes(const CachedBytes& b, RepairPlan& p, uint32_t field, bool proven, uint64_t chunks_end) {
    const uint64_t data_start = p.data_id + 8;
    // Appended chunks that follow the audio and its pad byte, if any, stay inside the form.
    const uint64_t data_end = data_start + p.new_size;
    const bool chunks_follow = p.appended_at != 0 && (data_end == p.appended_at || data_end + 1 == p.appended_at);
    const uint64_t form_end = form_end_wanted(p.form_size, data_start, p.new_size, chunks_follow ? chunks_end : p.audio_end,
                                              proven || chunks_follow, p.new_size != p.stored_size);
    if (form_end != 0) p.new_form_size = form_end - 8;
    if (p.rf64) {
        plan_rf64(p, field);
        plan_fact(p);
    } else if (p.new_size > kMaxFieldValue) {
        if (!p.found_by_chain || !has_room_for_ds64(b)) return false;
        p.promoted = true;
        if (form_end == 0) p.new_form_size = data_end - 8;
        plan_promotion(p, field, p.new_form_size);
    } else {
        plan_riff(p, form_end);
    }
    // In RIFF the writes are independent: whichever reach storage, readers read at least as much
    // audio as before, so one sync puts them all there. In RF64, and converting to it, the field
    // after "data" may say FF FF FF FF only once ds64 is on storage, and RF64 only once all is.
    for (size_t k = 0; k < p.write_count; ++k) p.writes[k].sync_after = p.rf64 || p.promoted || k + 1 == p.write_count;
    return true;
}

}  // namespace

RepairPlan plan_wave(CachedBytes& b) {
    RepairPlan p;
    const uint64_t file_length = b.length();
    uint64_t scan_from = 0, fact_at = 0;
    if (!read_form(b, p, scan_from) || !find_data(b, p, scan_from, fact_at)) return p;
    const uint8_t* head = b.head();  // the scan may have moved it
    p.form_size = p.new_form_size = p.rf64 ? load_le64(head + kDs64RiffSizeOffset) : load_le32(head + 4);

    // A recorder killed between writing "data" and its size leaves a file ending in the field.
    // Writing the field there would lengthen the file, so it is left alone.
    if (file_length - p.data_id < 8) {
        p.audio_end = file_length;
        p.verdict = Verdict::CutShort;
        return p;
    }
    uint8_t field4[4];
    if (!b.get(p.data_id + 4, field4, 4)) return failed(p);
    const uint32_t field = load_le32(field4);
    p.data_length = file_length - (p.data_id + 8);
    p.stored_size = p.stored_field = p.rf64 ? load_le64(head + kDs64DataSizeOffset) : field;
    p.data_start = p.data_id + 8;

    Settled s;
    uint64_t chunks_end = 0;
    if (!settle_data(b, p, s, chunks_end)) return failed(p);
    bool read_failed = false;
    settle_sample_counts(b, p, fact_at, read_failed);
    if (read_failed) return failed(p);
    if (!plan_writes(b, p, field, s.proven, chunks_end)) {
        p.verdict = Verdict::TooLarge;
        p.write_count = 0;
        return p;
    }
    if (!keep_bytes_before(b, p, field4)) return failed(p);
    p.verdict = p.write_count > 0 ? Verdict::Fix : Verdict::Correct;
    return p;
}

bool holds_no_audio(const RepairPlan& plan) {
    return (plan.verdict == Verdict::Correct || plan.verdict == Verdict::Fix) && plan.new_size == 0;
}

}  // namespace ostrel

// Core Audio Format: "caff", version 1, then big-endian chunks of a 4-byte type and a 64-bit
// size, unpadded. desc says the format; data holds an edit count and the audio, and a size of -1
// there says it runs to the end of the file, as the last chunk. A crashed take keeps a data size
// of 0, or one its writer last wrote. Only linear PCM is repaired: packets of other formats are
// counted by a packet table (pakt), which is left alone.
#include <cstring>

#include "form_plan.h"

namespace ostrel::forms {

namespace {

constexpr uint64_t kFirst = 8;
constexpr uint64_t kHeader = 12;     // type and size
constexpr uint64_t kEditCount = 4;   // before the audio in data
constexpr uint64_t kToTheEnd = UINT64_MAX;  // -1

struct Walked {
    uint64_t data = 0;  // the data chunk's type, or 0
    uint8_t desc[32] = {};
    bool desc_met = false, pakt = false, read_failed = false;
};

Walked walk(CachedBytes& b) {
    const uint64_t length = b.length();
    Walked w;
    uint64_t at = kFirst;
    for (int n = 0; n < kMaxChunks && length - at >= 4; ++n) {
        uint8_t h[kHeader];
        const size_t have = length - at < kHeader ? static_cast<size_t>(length - at) : kHeader;
        if (!b.get(at, h, have)) return w.read_failed = true, w;
        if (id_is(h, "data")) return w.data = at, w;
        const uint64_t size = have == kHeader ? load_be(h + 4, 8) : 0;
        if (have < kHeader || !printable_id(h) || size > length - at - kHeader) return w;
        w.pakt = w.pakt || id_is(h, "pakt");
        if (id_is(h, "desc") && !w.desc_met && size >= sizeof w.desc) {
            if (!b.get(at + kHeader, w.desc, sizeof w.desc)) return w.read_failed = true, w;
            w.desc_met = true;
        }
        at += kHeader + size;
    }
    return w;
}

// Whole chunks from `at` to the end of the file exactly.
bool chunks_reach_end(CachedBytes& b, uint64_t at, bool& failed) {
    const uint64_t length = b.length();
    for (int n = 0; n < kMaxChunks; ++n) {
        if (at == length) return true;
        uint8_t h[kHeader];
        if (length - at < kHeader) return false;
        if (!b.get(at, h, kHeader)) return failed = true, false;
        const uint64_t size = load_be(h + 4, 8);
        if (!printable_id(h) || size > length - at - kHeader) return false;
        at += kHeader + size;
    }
    return false;
}

// desc: rate (a double), format, flags, bytes and frames per packet, channels, bits.
bool read_desc(RepairPlan& p, const uint8_t* d) {
    uint64_t bits = load_be(d, 8);
    double rate = 0;
    std::memcpy(&rate, &bits, sizeof rate);
    std::memcpy(p.coding, d + 8, 4);
    AudioFormat& f = p.format;
    f.known = true;
    f.tag = load_be(d + 12, 4) & 1 ? 3 : 1;  // the float flag
    f.rate = rate >= 1 && rate < 4294967296.0 ? static_cast<uint32_t>(rate) : 0;
    const uint64_t per_packet = load_be(d + 16, 4), frames_per_packet = load_be(d + 20, 4);
    f.channels = static_cast<uint32_t>(load_be(d + 24, 4));
    f.bits = static_cast<uint32_t>(load_be(d + 28, 4));
    if (per_packet == 0 || per_packet > 0xFFFF || frames_per_packet != 1) return false;
    f.block_align = static_cast<uint32_t>(per_packet);
    f.byte_rate = f.rate * f.block_align;
    p.frame_bytes = f.block_align;
    return true;
}

}  // namespace

bool is_caf_form(const uint8_t* head, size_t count) {
    return count >= kFirst && id_is(head, "caff") && load_be(head + 4, 2) == 1;
}

RepairPlan plan_caf(CachedBytes& b) {
    RepairPlan p;
    p.kind = Form::Caf;
    p.known_form = true;
    std::memcpy(p.form, "caff", 4);
    const uint64_t length = b.length();
    const Walked w = walk(b);
    if (w.read_failed) return read_failed(p);
    if (!w.desc_met) return none(p, "no desc chunk before the data");
    if (w.pakt) return none(p, "a packet table (pakt) counts the audio: left alone");
    if (!id_is(w.desc + 8, "lpcm")) return none(p, "not linear PCM: only lpcm is repaired");
    if (!read_desc(p, w.desc)) return none(p, "linear PCM in packets of more than one frame");
    if (w.data == 0) return none(p, "no data chunk on the chunk chain");
    p.data_id = w.data;
    if (length - w.data < kHeader + kEditCount) return p.audio_end = length, p.verdict = Verdict::CutShort, p;
    uint8_t field[8];
    if (!b.get(w.data + 4, field, 8)) return read_failed(p);
    p.stored_field = load_be(field, 8);
    p.field_extra = kEditCount;
    p.data_start = w.data + kHeader + kEditCount;
    p.data_length = length - p.data_start;
    // -1 is left where the audio runs to the end in whole frames; a partial frame after them
    // makes ffmpeg refuse the last packet, so the size of the whole ones is written.
    if (p.stored_field == kToTheEnd && p.data_length % p.frame_bytes == 0) {
        p.stored_size = p.new_size = p.data_length;
        p.audio_end = length;
        p.proof = Proof::FileLength;
        p.verdict = Verdict::Correct;
        return p;
    }
    const bool fits = p.stored_field >= kEditCount && p.stored_field <= length - w.data - kHeader;
    bool failed = false;
    const bool chunks = fits && chunks_reach_end(b, w.data + kHeader + p.stored_field, failed);
    if (failed) return read_failed(p);
    settle_audio(p, fits ? p.stored_field - kEditCount : 0, p.data_length, chunks);
    if (p.new_size + kEditCount != p.stored_field) add_be(p, w.data + 4, p.new_size + kEditCount, 8);
    if (!keep_bytes_before(b, p)) return read_failed(p);
    p.verdict = p.write_count > 0 ? Verdict::Fix : Verdict::Correct;
    return p;
}

}  // namespace ostrel::forms

// Sony Wave64: WAVE's chunks with 16-byte GUIDs for ids and 64-bit little-endian sizes that count
// the 24-byte chunk header, each chunk aligned to 8 bytes; the file's own size is the riff
// chunk's. A crashed take keeps a stale data size and file size.
#include <cstring>

#include "byte_codec.h"
#include "form_plan.h"

namespace ostrel::forms {

namespace {

constexpr uint64_t kFirst = 40;   // riff GUID, file size, wave GUID
constexpr uint64_t kHeader = 24;  // a chunk's GUID and size
// The GUIDs' last 12 bytes: riff and list, and every WAVE chunk's.
const uint8_t kRiffTail[12] = {0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
const uint8_t kWaveTail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

bool guid_is(const uint8_t* g, const char* id) { return id_is(g, id) && std::memcmp(g + 4, kWaveTail, 12) == 0; }
bool known_guid(const uint8_t* g) {
    return std::memcmp(g + 4, kWaveTail, 12) == 0 || std::memcmp(g + 4, kRiffTail, 12) == 0;
}
uint64_t aligned(uint64_t at) { return at > UINT64_MAX - 7 ? UINT64_MAX : (at + 7) / 8 * 8; }

// Whole chunks from `at`, aligned, to the end of the file; the last may lack its alignment.
bool chunks_reach_end(CachedBytes& b, uint64_t at, bool& failed) {
    const uint64_t length = b.length();
    for (int n = 0; n < kMaxChunks; ++n) {
        if (aligned(at) >= length) return at <= length;
        at = aligned(at);
        uint8_t h[kHeader];
        if (length - at < kHeader) return false;
        if (!b.get(at, h, kHeader)) return failed = true, false;
        const uint64_t size = load_le64(h + 16);
        if (!known_guid(h) || size < kHeader || size > length - at) return false;
        at += size;
    }
    return false;
}

struct Walked {
    uint64_t data = 0;  // the data chunk's GUID, or 0
    AudioFormat format;
    bool read_failed = false;
};

Walked walk(CachedBytes& b) {
    const uint64_t length = b.length();
    Walked w;
    uint64_t at = kFirst;
    for (int n = 0; n < kMaxChunks && at < length; ++n) {
        uint8_t h[kHeader];
        const size_t have = length - at < kHeader ? static_cast<size_t>(length - at) : kHeader;
        if (!b.get(at, h, have)) return w.read_failed = true, w;
        if (have >= 16 && guid_is(h, "data")) return w.data = at, w;
        const uint64_t size = have == kHeader ? load_le64(h + 16) : 0;
        if (have < kHeader || !known_guid(h) || size < kHeader || size > length - at) return w;
        if (guid_is(h, "fmt ") && !w.format.known && size - kHeader >= 14) {
            uint8_t body[26];
            const size_t count = size - kHeader < sizeof body ? static_cast<size_t>(size - kHeader) : sizeof body;
            if (!b.get(at + kHeader, body, count)) return w.read_failed = true, w;
            w.format = read_format(body, count);
        }
        at = aligned(at + size);
    }
    return w;
}

}  // namespace

bool is_wave64_form(const uint8_t* head, size_t count) {
    return count >= kFirst && id_is(head, "riff") && std::memcmp(head + 4, kRiffTail, 12) == 0 && guid_is(head + 24, "wave");
}

RepairPlan plan_wave64(CachedBytes& b) {
    RepairPlan p;
    p.kind = Form::Wave64;
    p.known_form = true;
    std::memcpy(p.form, "riff", 4);
    const uint64_t length = b.length();
    const Walked w = walk(b);
    if (w.read_failed) return read_failed(p);
    if (w.data == 0) return none(p, "no data chunk on the chunk chain");
    p.data_id = w.data;
    p.format = w.format;
    p.frame_bytes = frame_bytes(w.format);
    if (length - w.data < kHeader) return p.audio_end = length, p.verdict = Verdict::CutShort, p;
    uint8_t field[8];
    if (!b.get(w.data + 16, field, 8)) return read_failed(p);
    p.stored_field = load_le64(field);
    p.field_extra = kHeader;
    p.data_start = w.data + kHeader;
    p.data_length = length - p.data_start;
    const bool fits = p.stored_field >= kHeader && p.stored_field <= length - w.data;
    bool failed = false;
    const bool chunks = fits && chunks_reach_end(b, w.data + p.stored_field, failed);
    if (failed) return read_failed(p);
    settle_audio(p, fits ? p.stored_field - kHeader : 0, p.data_length, chunks);
    const uint64_t data_end = p.data_start + p.new_size;
    p.form_size = p.new_form_size = load_le64(b.head() + 16);
    // The file's size covers the audio and, where whole chunks follow it, the file; a size a little
    // past the end is left, as in WAVE, and an end is never put past the file's.
    const bool repaired = p.new_size != p.stored_size;
    const bool too_long = p.form_size > length + 7 && (repaired || p.form_size - length > kFormSlack);
    if (p.form_size < data_end || too_long) p.new_form_size = p.proof != Proof::None ? length : std::min(aligned(data_end), length);
    if (repaired) add_le(p, w.data + 16, p.new_size + kHeader, 8);
    if (p.new_form_size != p.form_size) add_le(p, 16, p.new_form_size, 8);
    if (!keep_bytes_before(b, p)) return read_failed(p);
    p.verdict = p.write_count > 0 ? Verdict::Fix : Verdict::Correct;
    return p;
}

}  // namespace ostrel::forms

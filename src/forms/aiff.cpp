// AIFF and AIFF-C: big-endian chunks after "FORM", its size and "AIFF" or "AIFC", each padded to
// an even length. COMM holds the channels, numSampleFrames, the sample size, an 80-bit rate and
// in AIFF-C the compression type; SSND holds its size, then offset and blockSize, then the audio.
// A crashed take keeps FORM's size, SSND's size and numSampleFrames as its writer first wrote or
// last updated them.
#include <cstring>

#include "form_plan.h"

namespace ostrel::forms {

namespace {

constexpr uint64_t kFirst = 12;
constexpr uint64_t kSsndHeader = 16;  // id, size, offset and blockSize
constexpr uint64_t kCommFrames = 10;  // numSampleFrames, from COMM's id
constexpr uint32_t kMax32 = 0xFFFFFFFFu;

struct Walked {
    uint64_t comm = 0, ssnd = 0;  // the ids' offsets, or 0
    uint8_t comm_body[22] = {};
    uint64_t comm_size = 0;
    uint32_t ssnd_field = 0;
    bool fits = false;         // SSND's size ends inside the file
    bool reaches_end = false;  // from there whole chunks reach the end, the last perhaps without its pad
    bool read_failed = false;
};

// Follows the chunks from 12 to where they end or break, past SSND where its size fits, so that
// COMM and the chunks after the audio (MARK, INST, COMT, ID3, CHAN) are met.
Walked walk(CachedBytes& b) {
    const uint64_t length = b.length();
    Walked w;
    uint64_t at = kFirst;
    for (int n = 0; n < kMaxChunks; ++n) {
        if (at >= length) {
            w.reaches_end = w.ssnd != 0 && w.fits && at <= length + 1;
            return w;
        }
        uint8_t h[8];
        const size_t have = length - at < 8 ? static_cast<size_t>(length - at) : 8;
        if (!b.get(at, h, have)) return w.read_failed = true, w;
        if (have >= 4 && w.ssnd == 0 && id_is(h, "SSND")) w.ssnd = at;
        if (have < 8 || !printable_id(h)) return w;
        const uint64_t size = load_be(h + 4, 4);
        const bool fits = size <= length - at - 8;
        if (w.ssnd == at) {
            w.ssnd_field = static_cast<uint32_t>(size);
            w.fits = fits;
        } else if (id_is(h, "COMM") && w.comm == 0 && fits && size >= 18) {
            w.comm = at;
            w.comm_size = size;
            if (!b.get(at + 8, w.comm_body, size < sizeof w.comm_body ? static_cast<size_t>(size) : sizeof w.comm_body))
                return w.read_failed = true, w;
        }
        if (!fits) return w;
        at += 8 + size + (size & 1);
    }
    return w;
}

// The 80-bit rate, to the hertz below.
uint32_t rate_of(const uint8_t ext[10]) {
    const int exponent = static_cast<int>(load_be(ext, 2) & 0x7FFF) - 16383 - 63;
    const uint64_t mantissa = load_be(ext + 2, 8);
    if (ext[0] & 0x80 || exponent > 0 || exponent <= -64) return 0;
    const uint64_t hz = mantissa >> -exponent;
    return hz > kMax32 ? 0 : static_cast<uint32_t>(hz);
}

struct Coding {
    const char* ids;  // the compression types, as stored, that name it
    uint32_t tag, bytes, bits;  // as a fmt chunk would say it; bytes per channel of a frame; 0: COMM's
};

// PCM in either order, float, A-law, mu-law, and IMA ADPCM's 34-byte packets of 64 frames.
const Coding kCodings[] = {{"NONEnonetwossowtraw ", 1, 0, 0}, {"in24", 1, 3, 24},   {"in32", 1, 4, 32},
                           {"fl32FL32", 3, 4, 32},          {"fl64FL64", 3, 8, 64}, {"alawALAW", 6, 1, 8},
                           {"ulawULAW", 7, 1, 8},           {"ima4", 0x11, 34, 4}};

// The format COMM gives, as a fmt chunk would say it; false for a compression whose frames
// cannot be counted.
bool read_comm(RepairPlan& p, const Walked& w) {
    const uint8_t* c = w.comm_body;
    AudioFormat& f = p.format;
    f.known = true;
    f.tag = 1;
    f.channels = static_cast<uint32_t>(load_be(c, 2));
    f.bits = static_cast<uint32_t>(load_be(c + 6, 2));
    f.rate = rate_of(c + 8);
    uint32_t bytes = (f.bits + 7) / 8;
    if (p.form[3] == 'C') {
        if (w.comm_size < 22) return false;
        std::memcpy(p.coding, c + 18, 4);
        const Coding* found = nullptr;
        for (const Coding& k : kCodings)
            for (const char* id = k.ids; *id != '\0'; id += 4)
                if (id_is(c + 18, id)) found = &k;
        if (found == nullptr) return false;
        f.tag = found->tag;
        if (found->bytes != 0) bytes = found->bytes, f.bits = found->bits;
        if (f.tag == 0x11) f.samples_per_block = 64;
    }
    f.block_align = f.channels * bytes;
    f.byte_rate = f.tag == 0x11 ? f.rate / 64 * f.block_align : f.rate * f.block_align;
    p.frame_bytes = f.block_align;
    return f.channels > 0 && bytes > 0 && f.block_align <= 0xFFFF;
}

// The numSampleFrames that agrees with the settled size (ima4 counts its packets there, as
// QuickTime, ffmpeg and libsndfile do), kept where it is below it beside a size that was right,
// as its writer chose; so fact is kept in WAVE.
void settle_frames(RepairPlan& p, const Walked& w) {
    const uint64_t frames = p.new_size / p.frame_bytes;
    p.fact = true;
    p.fact_offset = w.comm + kCommFrames;
    p.fact_count = p.new_fact_count = static_cast<uint32_t>(load_be(w.comm_body + 2, 4));
    const bool agrees = p.fact_count == frames;
    const bool repaired = p.new_size != p.stored_size;
    if (!agrees && frames <= kMax32 && (repaired || p.fact_count == 0 || p.fact_count > frames))
        p.new_fact_count = static_cast<uint32_t>(frames);
    p.fact_counts_fewer = p.new_fact_count < frames;
}

}  // namespace

bool is_aiff_form(const uint8_t* head, size_t count) {
    return count >= kFirst && id_is(head, "FORM") && (id_is(head + 8, "AIFF") || id_is(head + 8, "AIFC"));
}

RepairPlan plan_aiff(CachedBytes& b) {
    RepairPlan p;
    p.kind = Form::Aiff;
    p.known_form = true;
    std::memcpy(p.form, b.head() + 8, 4);
    const uint64_t length = b.length();
    const Walked w = walk(b);
    if (w.read_failed) return read_failed(p);
    if (w.ssnd == 0) return none(p, "no SSND chunk on the chunk chain");
    p.data_id = w.ssnd;
    if (length - w.ssnd < kSsndHeader) return p.audio_end = length, p.verdict = Verdict::CutShort, p;
    if (w.comm == 0) return none(p, "no whole COMM chunk on the chunk chain");
    if (!read_comm(p, w)) return none(p, "a compression whose frames this tool does not count");
    uint8_t offset_field[4];
    if (!b.get(w.ssnd + 8, offset_field, 4)) return read_failed(p);
    const uint64_t offset = load_be(offset_field, 4);
    if (offset > length - w.ssnd - kSsndHeader) return p.audio_end = length, p.verdict = Verdict::CutShort, p;
    p.data_start = w.ssnd + kSsndHeader + offset;
    p.stored_field = w.ssnd_field;
    p.field_extra = 8 + offset;
    p.data_length = length - p.data_start;
    const uint64_t stored = p.stored_field >= p.field_extra ? p.stored_field - p.field_extra : 0;
    // A COMM after SSND was reached through SSND's own size, and SSND grown over it would hide it:
    // those chunks prove the size as much as chunks that reach the end do. A size too small for
    // SSND's own offset there is no size to mend.
    const bool comm_after = w.comm > w.ssnd;
    if (comm_after && p.stored_field < p.field_extra) return none(p, "SSND before COMM is too short for its own offset");
    const bool proven = w.fits && (w.reaches_end || comm_after) && p.stored_field >= p.field_extra;
    settle_audio(p, stored, p.data_length, proven);
    settle_frames(p, w);
    const uint64_t field = p.field_extra + p.new_size;
    p.form_size = p.new_form_size = load_be(b.head() + 4, 4);
    const uint64_t form_end = form_end_wanted(p.form_size, w.ssnd + 8, field, length, p.proof != Proof::None,
                                              p.new_size != p.stored_size);
    if (form_end != 0) p.new_form_size = form_end - 8;
    if (field > kMax32 || p.new_form_size > kMax32) return p.verdict = Verdict::TooLarge, p;
    if (field != p.stored_field) add_be(p, w.ssnd + 4, field, 4);
    if (p.new_fact_count != p.fact_count) add_be(p, p.fact_offset, p.new_fact_count, 4);
    if (p.new_form_size != p.form_size) add_be(p, 4, p.new_form_size, 4);
    if (!keep_bytes_before(b, p)) return read_failed(p);
    p.verdict = p.write_count > 0 ? Verdict::Fix : Verdict::Correct;
    return p;
}

}  // namespace ostrel::forms

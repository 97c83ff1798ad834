// Fuzzes the repair plan against a plain reference of the rules, and checks what must hold for
// every file: only WAVE, AIFF, Wave64 and CAF files are written, the other forms only at their size
// fields, in whole frames where no chunk proves the size, a size their structure proves is never changed, no
// size counts more than the bytes on disk, writes stay inside the file, a repaired file is then
// found correct (a promoted one as RF64), and a failed read writes nothing.
// Input: 8 bytes of extra length (the file continues with zeros, as a sparse file does), 1 byte
// choosing a read to fail (none from 16 up), then the file's first bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "memory_source.h"
#include "repair_decision.h"

using ostrel::Verdict;

namespace {

struct FileImage {
    const std::string& bytes;
    uint64_t length;
    uint8_t at(uint64_t offset) const { return offset < bytes.size() ? static_cast<uint8_t>(bytes[offset]) : 0; }
    uint64_t le(uint64_t offset, int count) const {
        uint64_t v = 0;
        for (int k = count - 1; k >= 0; --k) v = v << 8 | at(offset + static_cast<uint64_t>(k));
        return v;
    }
    bool is(uint64_t offset, const char* id) const {
        for (int k = 0; k < 4; ++k)
            if (at(offset + static_cast<uint64_t>(k)) != static_cast<uint8_t>(id[k])) return false;
        return true;
    }
    bool printable(uint64_t offset) const {
        for (int k = 0; k < 4; ++k)
            if (at(offset + static_cast<uint64_t>(k)) < 0x20 || at(offset + static_cast<uint64_t>(k)) > 0x7E) return false;
        return true;
    }
};

struct Reference {
    Verdict verdict = Verdict::NoDataBlock;
    bool proven = false;
    uint64_t frames = UINT64_MAX;  // what the data holds once settled, where the format tells
    std::vector<std::pair<uint64_t, std::string>> writes;
};

std::string le_bytes(uint64_t v, int count) {
    std::string s;
    for (int k = 0; k < count; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
    return s;
}

bool trailing(const FileImage& f, uint64_t at) {
    for (const char* id : {"LIST", "smpl", "cue ", "id3 ", "ID3 ", "inst", "acid", "bext", "iXML", "axml", "_PMX", "JUNK",
                           "junk", "PAD ", "FLLR", "fact", "PEAK", "cart", "chna", "umid", "DISP", "plst", "labl", "ltxt",
                           "note", "MD5 ", "levl"})
        if (f.is(at, id)) return true;
    return false;
}

// The data size for a file ending at `end`, by the rules in their stated order.
uint64_t settle(const FileImage& f, uint64_t ds, uint64_t end, uint64_t stored, uint64_t frame, bool& proven) {
    const uint64_t n = end - ds;
    proven = false;
    if (stored == n) return n % frame == 0 || (n % 2 == 0 && frame > 1 && n % frame == 1) ? n : n - n % frame;
    for (uint64_t pad = 0; pad <= stored % 2 && stored <= n && !proven; ++pad) {
        uint64_t at = ds + stored + pad;
        for (int k = 0; k < 4096 && at <= end; ++k) {
            if (at == end) proven = true;
            if (proven || at + 8 > end || !f.printable(at)) break;
            const uint64_t size = f.le(at + 4, 4);
            if (at + 8 + size >= end) {
                proven = at + 8 + size == end || trailing(f, at);
                break;
            }
            at += 8 + size + size % 2;
        }
    }
    if (proven || (stored % frame == 0 && stored <= n && n - stored < frame)) return stored;
    return n - n % frame;
}

// The rules, one step at a time, with no caching and no early reads.
Reference reference(const FileImage& f) {
    Reference r;
    const uint64_t L = f.length;
    if (L < 12 || !f.is(8, "WAVE")) return r;
    const bool rf64 = f.is(0, "RF64") || f.is(0, "BW64");
    if (!rf64 && !f.is(0, "RIFF")) return r;
    if (rf64 && (L < 36 || !f.is(12, "ds64") || f.le(16, 4) < 24)) return r;

    uint64_t h = 0, at = 12, frame = 1, per_unit = 0, fact_at = 0;
    bool found = false, fmt_met = false, cut_in_trailing = false;
    for (int n = 0; n < 4096 && at + 4 <= L; ++n) {
        if (f.is(at, "data")) {
            h = at, found = true;
            break;
        }
        if (at + 8 > L || !f.printable(at)) break;
        const uint64_t size = f.le(at + 4, 4);
        if (rf64 && size == 0xFFFFFFFF) break;
        if (at + 8 + size > L) {
            cut_in_trailing = trailing(f, at);
            break;
        }
        if (f.is(at, "fmt ") && !fmt_met) {
            fmt_met = true;
            const uint64_t tag = f.le(at + 8, 2), align = f.le(at + 20, 2);
            const bool pcm = tag == 1 || tag == 3 || tag == 6 || tag == 7 || tag == 0xFFFE;
            const bool block = tag == 2 || tag == 0x11 || tag == 0x31;
            if (size >= 14 && (pcm || block) && align > 0) frame = align;
            if (size >= 14) per_unit = pcm ? 1 : !block ? 0 : size >= 20 ? f.le(at + 26, 2) : tag == 0x31 ? 320 : 0;
            if (size >= 14 && per_unit == 0 && tag == 0x31) per_unit = 320;
            if (align == 0) per_unit = 0;
        }
        if (f.is(at, "fact") && fact_at == 0 && size >= 4) fact_at = at + 8;
        if (at + 8 + size + size % 2 > L) break;
        at += 8 + size + size % 2;
    }
    const bool by_chain = found;
    if (!found && cut_in_trailing) return r;
    const uint64_t after_ds64 = rf64 ? 20 + f.le(16, 4) + f.le(16, 4) % 2 : 12;
    for (uint64_t a = std::max(at, after_ds64); !found && a <= 131072 && a + 4 <= L; a += 2) {
        fmt_met = fmt_met || f.is(a, "fmt ");
        if (fmt_met && f.is(a, "data")) h = a, found = true;
    }
    if (!found) return r;
    if (h + 8 > L) {
        r.verdict = Verdict::CutShort;
        return r;
    }
    const uint64_t ds = h + 8, field = f.le(h + 4, 4);
    const uint64_t stored = rf64 ? f.le(28, 8) : field;

    uint64_t end = L, chunks_end = L, appended = 0;
    uint64_t size = settle(f, ds, end, stored, frame, r.proven);
    if (size != stored && L - ds >= 8) {
        if (L - ds >= 128 && f.at(L - 128) == 'T' && f.at(L - 127) == 'A' && f.at(L - 126) == 'G') end = chunks_end = L - 128;
        const uint64_t from = L - ds > 4096 ? L - 4096 : ds;
        for (bool more = true; more;) {
            more = false;
            for (uint64_t a = from; a + 8 <= end; ++a) {
                const uint64_t sz = f.le(a + 4, 4);
                if (trailing(f, a) && (a + 8 + sz == end || (sz % 2 == 1 && a + 8 + sz + 1 == end))) {
                    end = appended = a, more = true;
                    break;
                }
            }
        }
        if (end < L) size = settle(f, ds, end, stored, frame, r.proven);
    }
    const bool repaired = size != stored;
    const uint64_t data_end = ds + size;
    const bool follow = appended != 0 && (data_end == appended || data_end + 1 == appended);
    const uint64_t form_limit = follow ? chunks_end : end;
    const uint64_t form = rf64 ? f.le(20, 8) : f.le(4, 4);
    const uint64_t form_end = form > UINT64_MAX - 8 ? UINT64_MAX : form + 8;
    const bool form_wrong =
        form_end < data_end || (form_end > form_limit + 1 && (repaired || form_end - form_limit > (1u << 20)));
    const uint64_t target = r.proven || follow ? form_limit : data_end + (size % 2 == 1 && data_end < end);

    // Sample counts: F frames; a count in (F - S, F] agrees. One below F stays beside a right
    // data size; 0 and counts above F are crash placeholders.
    const bool known = per_unit > 0;
    const uint64_t frames = size / frame * per_unit;
    auto agrees = [&](uint64_t v) { return v <= frames && v + per_unit > frames; };
    auto rewritten = [&](uint64_t v) { return known && !agrees(v) && (repaired || v == 0 || v > frames); };
    const uint64_t ds64_samples = rf64 && L >= 44 ? f.le(36, 8) : 0;
    const bool samples_wrong = rf64 && ds64_samples != 0 && rewritten(ds64_samples);
    const uint64_t fact = fact_at ? f.le(fact_at, 4) : 0;
    const bool fact_wrong = fact_at && frames <= 0xFFFFFFFF && !(rf64 && fact == 0xFFFFFFFF) && rewritten(fact);
    r.frames = known ? frames : UINT64_MAX;

    const std::pair<uint64_t, std::string> fact_write = {fact_at, le_bytes(frames, 4)};
    if (rf64) {
        const std::string fields[3] = {le_bytes(form_wrong ? target - 8 : form, 8), le_bytes(size, 8),
                                       le_bytes(samples_wrong ? frames : ds64_samples, 8)};
        const bool wrong[3] = {form_wrong, repaired, samples_wrong};
        int first = 0, last = 2;
        while (first < 3 && !wrong[first]) ++first;
        while (last >= first && !wrong[last]) --last;
        std::string range;
        for (int k = first; k <= last; ++k) range += fields[k];
        if (!range.empty()) r.writes.push_back({20 + 8 * static_cast<uint64_t>(first), range});
        if (field != 0xFFFFFFFF && field != size) r.writes.push_back({h + 4, le_bytes(0xFFFFFFFF, 4)});
        if (fact_wrong) r.writes.push_back(fact_write);
    } else if (size > 0xFFFFFFFF && by_chain && (f.is(12, "JUNK") || f.is(12, "ds64")) && f.le(16, 4) >= 28) {
        r.writes.push_back({20, le_bytes(target - 8, 8) + le_bytes(size, 8) + std::string(12, '\0')});
        r.writes.push_back({12, "ds64"});
        if (field != 0xFFFFFFFF) r.writes.push_back({h + 4, le_bytes(0xFFFFFFFF, 4)});
        if (fact_wrong) r.writes.push_back(fact_write);
        r.writes.push_back({0, "RF64" + le_bytes(0xFFFFFFFF, 4)});
    } else if (size > 0xFFFFFFFF) {
        r.verdict = Verdict::TooLarge;
        return r;
    } else {
        if (repaired) r.writes.push_back({h + 4, le_bytes(size, 4)});
        if (form_wrong && target - 8 <= 0xFFFFFFFF) r.writes.push_back({4, le_bytes(target - 8, 4)});
        if (fact_wrong) r.writes.push_back(fact_write);
    }
    r.verdict = r.writes.empty() ? Verdict::Correct : Verdict::Fix;
    return r;
}

// AIFF, AIFF-C, Wave64 and CAF: writes only at the form's size fields and inside the file, no size
// that counts more than is on disk or (unproven) a partial frame, and the file then found correct.
void check_other_form(const ostrel::RepairPlan& plan, const std::string& bytes, uint64_t length) {
    using ostrel::Form;
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        FUZZ_CHECK(w.offset + w.count <= length && w.sync_after);
        const bool size_field = plan.kind == Form::Aiff ? w.offset == 4 || w.offset == plan.data_id + 4 || w.offset == plan.fact_offset
                                : plan.kind == Form::Wave64 ? w.offset == 16 || w.offset == plan.data_id + 16
                                                            : w.offset == plan.data_id + 4;
        FUZZ_CHECK(size_field);
    }
    if (plan.verdict != Verdict::Fix) return;
    FUZZ_CHECK(plan.new_size <= plan.data_length);
    if (plan.proof == ostrel::Proof::None) FUZZ_CHECK(plan.new_size % plan.frame_bytes == 0);
    std::string repaired = bytes;
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (repaired.size() < w.offset + w.count) repaired.resize(w.offset + w.count, '\0');
        repaired.replace(w.offset, w.count, reinterpret_cast<const char*>(w.bytes), w.count);
    }
    MemorySource again(repaired, length);
    FUZZ_CHECK(ostrel::plan_repair(again, length).verdict == Verdict::Correct);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    uint64_t extra = 0;
    for (int k = 7; k >= 0; --k) extra = extra << 8 | data[k];
    extra &= (uint64_t{1} << 34) - 1;  // up to 16 GiB past the bytes given
    const int fail_read = data[8] < 16 ? data[8] : -1;
    std::string bytes(reinterpret_cast<const char*>(data) + 9, size - 9);
    const uint64_t length = bytes.size() + extra;

    MemorySource source(bytes, length);
    source.fail_read = fail_read;
    const ostrel::RepairPlan plan = ostrel::plan_repair(source, length);
    if (source.reads > fail_read && fail_read >= 0) {
        FUZZ_CHECK(plan.verdict == Verdict::ReadFailed);
        FUZZ_CHECK(plan.write_count == 0);
        return 0;
    }
    FUZZ_CHECK(plan.verdict != Verdict::ReadFailed);
    // Cost: one read for a non-WAVE file, and never one per probe.
    const FileImage file{bytes, length};
    const bool wave = length >= 12 && file.is(8, "WAVE") && (file.is(0, "RIFF") || file.is(0, "RF64") || file.is(0, "BW64"));
    std::string head = bytes.substr(0, ostrel::kFormHeadBytes);
    head.resize(static_cast<size_t>(std::min<uint64_t>(length, ostrel::kFormHeadBytes)), '\0');
    const bool other = !wave && ostrel::is_repaired_form(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    FUZZ_CHECK(plan.known_form == (wave || other));
    if (!wave && !other) FUZZ_CHECK(source.reads <= 1 && plan.write_count == 0);
    FUZZ_CHECK(source.reads <= 4 + 5 * 4096);
    if (other) return check_other_form(plan, bytes, length), 0;

    const Reference ref = reference(file);
    FUZZ_CHECK(plan.verdict == ref.verdict);
    FUZZ_CHECK(plan.write_count == ref.writes.size());
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        FUZZ_CHECK(w.offset == ref.writes[k].first);
        FUZZ_CHECK(std::string(reinterpret_cast<const char*>(w.bytes), w.count) == ref.writes[k].second);
        FUZZ_CHECK(w.offset + w.count <= length);  // a file never grows
    }
    if (plan.verdict != Verdict::Fix) return 0;

    // Once the writes are applied, the same file is found correct.
    std::string repaired = bytes;
    for (size_t k = 0; k < plan.write_count; ++k) {
        const ostrel::Write& w = plan.writes[k];
        if (repaired.size() < w.offset + w.count) repaired.resize(w.offset + w.count, '\0');
        repaired.replace(w.offset, w.count, reinterpret_cast<const char*>(w.bytes), w.count);
    }
    // A proven size is never changed, and no size counts more than the bytes on disk.
    const FileImage after{repaired, length};
    const uint64_t size_after = after.is(0, "RIFF") ? after.le(plan.data_id + 4, 4) : after.le(28, 8);
    if (ref.proven) FUZZ_CHECK(size_after == plan.stored_size);
    FUZZ_CHECK(size_after == plan.new_size && plan.new_size <= plan.data_length);
    // fact never counts more than the frames the data holds, and a block codec's audio is whole blocks.
    const uint64_t fact_after = plan.fact ? after.le(plan.fact_offset, 4) : 0;
    if (plan.fact && ref.frames <= 0xFFFFFFFF && !(plan.rf64 && fact_after == 0xFFFFFFFF))
        FUZZ_CHECK(fact_after <= ref.frames);
    if (!ref.proven && ostrel::block_codec(plan.format)) FUZZ_CHECK(size_after % plan.frame_bytes == 0);
    // A RIFF repair syncs once, at its end; every other write is followed by a sync.
    FUZZ_CHECK(plan.writes[plan.write_count - 1].sync_after);
    MemorySource again(repaired, length);
    FUZZ_CHECK(ostrel::plan_repair(again, length).verdict == Verdict::Correct);
    return 0;
}

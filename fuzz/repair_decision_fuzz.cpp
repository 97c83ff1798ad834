// Fuzzes the repair plan against a plain reference of the rules, and checks what must hold for
// every file: only WAVE files with a size their structure does not prove are written (or, in
// RF64, whose field contradicts ds64), writes
// stay inside the file, a repaired file is then found correct (a promoted one as RF64), and a
// failed read writes nothing.
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
    std::vector<std::pair<uint64_t, std::string>> writes;
};

std::string le_bytes(uint64_t v, int count) {
    std::string s;
    for (int k = 0; k < count; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
    return s;
}

// The rules, one step at a time, with no caching and no early reads.
Reference reference(const FileImage& f) {
    Reference r;
    const uint64_t L = f.length;
    if (L < 12 || !f.is(8, "WAVE")) return r;
    const bool rf64 = f.is(0, "RF64") || f.is(0, "BW64");
    if (!rf64 && !f.is(0, "RIFF")) return r;
    if (rf64 && (L < 36 || !f.is(12, "ds64") || f.le(16, 4) < 24)) return r;

    uint64_t h = 0;
    bool found = false, by_chain = false;
    for (uint64_t at = 12, n = 0; n < 4096 && at + 4 <= L; ++n) {
        if (f.is(at, "data")) {
            h = at, found = by_chain = true;
            break;
        }
        if (at + 8 > L || !f.printable(at)) break;
        const uint64_t size = f.le(at + 4, 4);
        if (rf64 && size == 0xFFFFFFFF) break;
        at += 8 + size + (size % 2);
        if (at > L) break;
    }
    const uint64_t scan_from = rf64 ? 20 + f.le(16, 4) + f.le(16, 4) % 2 : 12;
    for (uint64_t at = scan_from; !found && at <= 131072 && at + 4 <= L; at += 2)
        if (f.is(at, "data")) h = at, found = true;
    if (!found) return r;
    if (h + 8 > L) {
        r.verdict = Verdict::CutShort;
        return r;
    }
    const uint64_t field = f.le(h + 4, 4);
    const uint64_t stored = rf64 ? f.le(28, 8) : field;
    const uint64_t length = L - (h + 8);

    if (stored <= length) {
        uint64_t at = h + 8 + stored;
        if (stored % 2 && at < L) ++at;
        for (int n = 0; n < 4096 && !r.proven; ++n) {
            if (at == L) r.proven = true;
            if (r.proven || at + 8 > L || !f.printable(at)) break;
            const uint64_t size = f.le(at + 4, 4);
            if (at + 8 + size == L) r.proven = true;
            at += 8 + size + (size % 2);
            if (at > L) break;
        }
    }
    if (r.proven) {
        const bool field_agrees = !rf64 || field == 0xFFFFFFFF || field == stored;
        r.verdict = field_agrees ? Verdict::Correct : Verdict::Fix;
        if (!field_agrees) r.writes.push_back({h + 4, le_bytes(0xFFFFFFFF, 4)});
    } else if (rf64) {
        r.verdict = Verdict::Fix;
        r.writes.push_back({28, le_bytes(length, 8)});
        if (field != 0xFFFFFFFF && field != length) r.writes.push_back({h + 4, le_bytes(0xFFFFFFFF, 4)});
    } else if (length > 0xFFFFFFFF && by_chain && (f.is(12, "JUNK") || f.is(12, "ds64")) && f.le(16, 4) >= 28) {
        r.verdict = Verdict::Fix;
        r.writes.push_back({20, le_bytes(L - 8, 8) + le_bytes(length, 8) + std::string(12, '\0')});
        r.writes.push_back({12, "ds64"});
        if (field != 0xFFFFFFFF) r.writes.push_back({h + 4, le_bytes(0xFFFFFFFF, 4)});
        r.writes.push_back({0, "RF64" + le_bytes(0xFFFFFFFF, 4)});
    } else if (length > 0xFFFFFFFF) {
        r.verdict = Verdict::TooLarge;
    } else {
        r.verdict = Verdict::Fix;
        r.writes.push_back({h + 4, le_bytes(length, 4)});
    }
    return r;
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
    if (!wave) FUZZ_CHECK(source.reads <= 1 && plan.write_count == 0);
    FUZZ_CHECK(source.reads <= 2 + 2 * 4096);

    const Reference ref = reference(file);
    FUZZ_CHECK(plan.verdict == ref.verdict);
    FUZZ_CHECK(plan.write_count == ref.writes.size());
    // A proven size is never written; only an RF64 field that contradicts it is.
    if (ref.proven) FUZZ_CHECK(plan.write_count == 0 || (plan.write_count == 1 && plan.writes[0].count == 4 && !file.is(0, "RIFF")));
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
    MemorySource again(repaired, length);
    FUZZ_CHECK(ostrel::plan_repair(again, length).verdict == Verdict::Correct);
    return 0;
}

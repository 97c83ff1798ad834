// Fuzzes the repair decision against a slow probe-by-probe reference.
// Input: 8 bytes of extra length (the file continues with zeros, as a sparse file does),
// 2 bytes choosing where to cut the first read, then the file's first bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_codec.h"
#include "fuzz_check.h"
#include "repair_decision.h"

using ostrel::Verdict;

namespace {

struct FileImage {
    const uint8_t* bytes;
    size_t count;
    uint64_t length;  // count plus the zeros after it
    uint8_t at(uint64_t offset) const { return offset < count ? bytes[offset] : 0; }
};

// One probe at a time, the way the original tool walked the file.
struct Reference {
    Verdict verdict = Verdict::NoDataBlock;
    uint64_t h = 0;
    uint64_t data_length = 0;
};

Reference reference(const FileImage& f) {
    Reference r;
    for (uint64_t h = 2; h <= 131072; h += 2) {
        if (h + 4 > f.length || h >= f.count) break;  // a short probe, or zeros, never match
        if (f.at(h) == 'd' && f.at(h + 1) == 'a' && f.at(h + 2) == 't' && f.at(h + 3) == 'a') {
            r.h = h;
            break;
        }
    }
    if (r.h == 0) return r;
    if (f.length < r.h + 8) {
        r.verdict = Verdict::CutShort;
        return r;
    }
    uint32_t stored = 0;
    for (int k = 3; k >= 0; --k) stored = stored << 8 | f.at(r.h + 4 + static_cast<uint64_t>(k));
    r.data_length = f.length - (r.h + 8);
    if (r.data_length > 0xFFFFFFFFull) r.verdict = Verdict::TooLarge;
    else if (r.data_length == stored) r.verdict = Verdict::Correct;
    else r.verdict = Verdict::Fix;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    uint64_t extra = 0;
    for (int k = 7; k >= 0; --k) extra = extra << 8 | data[k];
    extra &= (uint64_t{1} << 34) - 1;  // up to 16 GiB past the bytes given
    const size_t cut_choice = static_cast<size_t>(data[8]) | static_cast<size_t>(data[9]) << 8;
    const FileImage file{data + 10, size - 10, size - 10 + extra};

    // What the shell would read: the file's first min(length, window) bytes.
    const size_t whole = static_cast<size_t>(std::min<uint64_t>(file.length, ostrel::kWindowBytes));
    std::vector<uint8_t> head(whole, 0);
    if (file.count > 0) std::memcpy(head.data(), file.bytes, std::min(whole, file.count));

    const ostrel::RepairDecision d = ostrel::decide_repair(head.data(), whole, file.length);
    const Reference r = reference(file);
    FUZZ_CHECK(d.verdict == r.verdict);
    FUZZ_CHECK(d.verdict != Verdict::NeedMore);

    if (d.verdict != Verdict::NoDataBlock) FUZZ_CHECK(d.field_offset == r.h + 4);
    if (d.verdict == Verdict::Correct || d.verdict == Verdict::Fix || d.verdict == Verdict::TooLarge) {
        FUZZ_CHECK(d.data_length == r.data_length);
        FUZZ_CHECK(d.data_length == file.length - (d.field_offset + 4));
        FUZZ_CHECK((d.verdict == Verdict::Correct) == (d.stored_size == d.data_length));
    }
    if (d.verdict == Verdict::Fix) {
        // The write lands on the 4 bytes after the first "data" at an even offset from 2 to 131072,
        // inside the file, and holds the new size.
        const uint64_t h = d.field_offset - 4;
        FUZZ_CHECK(h >= 2 && h <= 131072 && h % 2 == 0);
        FUZZ_CHECK(std::memcmp(head.data() + h, "data", 4) == 0);
        FUZZ_CHECK(d.field_offset + 4 <= file.length);
        FUZZ_CHECK(static_cast<uint32_t>(Assem4(d.new_field)) == d.data_length);
    }

    // A shorter first read either settles the same answer or asks for the rest.
    const size_t cut = cut_choice % (whole + 1);
    const ostrel::RepairDecision early = ostrel::decide_repair(head.data(), cut, file.length);
    if (early.verdict != Verdict::NeedMore) {
        FUZZ_CHECK(early.verdict == d.verdict);
        FUZZ_CHECK(early.field_offset == d.field_offset);
        FUZZ_CHECK(std::memcmp(early.new_field, d.new_field, 4) == 0);
    }
    return 0;
}

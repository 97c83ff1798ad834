// The pure half of the repair: from the first bytes of a file and its length, decide what to do.
// Nothing here touches a file or prints; the shell in header_repair.cpp does both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Probes stand at the even offsets 2 .. 131072; offset 0 is never probed.
constexpr uint64_t kFirstProbe = 2;
constexpr uint64_t kLastProbe = 131072;
// Enough bytes for an identifier at the last probe together with its size field.
constexpr size_t kWindowBytes = kLastProbe + 8;
// The common headers put the identifier at 36, or a few hundred bytes in with a LIST chunk,
// so one small read settles almost every file.
constexpr size_t kFirstReadBytes = 4096;
// The largest data length that the 4-byte field can hold.
constexpr uint64_t kMaxFieldValue = 0xFFFFFFFFu;

enum class Verdict {
    NeedMore,     // the bytes given do not settle it; pass the whole window
    NoDataBlock,  // no "data" at any probe inside the file and the window
    CutShort,     // the file ends inside the size field
    TooLarge,     // more data than the field can count
    Correct,      // the stored size already equals the data length
    Fix,          // write new_field at field_offset
};

struct RepairDecision {
    Verdict verdict = Verdict::NoDataBlock;
    uint64_t field_offset = 0;  // h + 4, once the identifier is found
    uint32_t stored_size = 0;   // valid for TooLarge, Correct and Fix
    uint64_t data_length = 0;   // L - (h + 8), valid for TooLarge, Correct and Fix
    uint8_t new_field[4] = {0, 0, 0, 0};
};

// First even offset in 2..131072 whose four bytes within head[0, head_len) read "data", or -1.
int64_t find_data_id(const uint8_t* head, size_t head_len);

// `head` holds the file's first `head_len` bytes (head_len <= file_length). With fewer than
// min(file_length, kWindowBytes) bytes the answer may be NeedMore; with that many it never is.
RepairDecision decide_repair(const uint8_t* head, size_t head_len, uint64_t file_length);

}  // namespace ostrel

#include "repair_decision.h"

#include <cstring>

#include "byte_codec.h"

namespace ostrel {

int64_t find_data_id(const uint8_t* head, size_t head_len) {
    for (uint64_t h = kFirstProbe; h <= kLastProbe && h + 4 <= head_len; h += 2) {
        if (head[h] == 'd' && std::memcmp(head + h + 1, "ata", 3) == 0) return static_cast<int64_t>(h);
    }
    return -1;
}

RepairDecision decide_repair(const uint8_t* head, size_t head_len, uint64_t file_length) {
    RepairDecision d;
    const uint64_t whole_window = file_length < kWindowBytes ? file_length : kWindowBytes;
    const bool have_window = head_len >= whole_window;

    const int64_t found = find_data_id(head, head_len);
    if (found < 0) {
        // Probes beyond head_len were not looked at yet.
        d.verdict = have_window ? Verdict::NoDataBlock : Verdict::NeedMore;
        return d;
    }
    const uint64_t h = static_cast<uint64_t>(found);
    d.field_offset = h + 4;
    const uint64_t header = h + 8;

    // A recorder killed between writing "data" and its size leaves a file ending in the field.
    // Writing the field there would lengthen the file, so it is left alone.
    if (file_length < header) {
        d.verdict = Verdict::CutShort;
        return d;
    }
    if (head_len < header) {
        d.verdict = Verdict::NeedMore;
        return d;
    }

    d.stored_size = static_cast<uint32_t>(Assem4(head + d.field_offset));
    d.data_length = file_length - header;  // file_length >= header was checked above
    if (d.data_length > kMaxFieldValue) {
        d.verdict = Verdict::TooLarge;
    } else if (d.data_length == d.stored_size) {
        d.verdict = Verdict::Correct;
    } else {
        d.verdict = Verdict::Fix;
        Decon4(wrap_to_int32(static_cast<uint32_t>(d.data_length)), d.new_field);
    }
    return d;
}

}  // namespace ostrel

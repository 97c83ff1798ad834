// The pure core: the byte codec and the repair decision, without files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "byte_codec.h"
#include "repair_decision.h"

namespace {

using ostrel::Verdict;

struct CodecCase {
    int32_t value;
    uint8_t bytes[4];
};

TEST(ByteCodec, Decon4AndAssem4AreInverses) {
    const CodecCase cases[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},          {600, {0x58, 0x02, 0x00, 0x00}},
        {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}},  {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
        {-65536, {0x00, 0x00, 0xFF, 0xFF}},     {INT32_MIN, {0x00, 0x00, 0x00, 0x80}},
        {0x01020304, {0x04, 0x03, 0x02, 0x01}},
    };
    for (const CodecCase& c : cases) {
        uint8_t got[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        Decon4(c.value, got);
        EXPECT_EQ(0, std::memcmp(got, c.bytes, 4)) << "Decon4(" << c.value << ")";
        EXPECT_EQ(c.value, Assem4(c.bytes));
    }
    EXPECT_EQ(INT32_MIN, wrap_to_int32(0x80000000u));
    EXPECT_EQ(-2, wrap_to_int32(0xFFFFFFFEu));
}

std::string le(uint32_t v) {
    uint8_t q[4];
    Decon4(wrap_to_int32(v), q);
    return std::string(reinterpret_cast<char*>(q), 4);
}

// `prefix` bytes of padding, then "data", the stored size and nothing more: the file's length
// is given separately, as if the rest were audio.
std::string head_with_id_at(size_t h, uint32_t stored) { return std::string(h, 'x') + "data" + le(stored); }

ostrel::RepairDecision decide(const std::string& head, uint64_t length) {
    return ostrel::decide_repair(reinterpret_cast<const uint8_t*>(head.data()), head.size(), length);
}

struct DecisionCase {
    const char* what;
    std::string head;
    uint64_t length;
    Verdict verdict;
    uint32_t new_size;  // for Fix
};

TEST(RepairDecision, Table) {
    const std::string id36 = head_with_id_at(36, 600);
    const DecisionCase cases[] = {
        {"correct 44-byte header", id36, 644, Verdict::Correct, 0},
        {"stored too large", id36, 100, Verdict::Fix, 56},
        {"stored too small", id36, 1044, Verdict::Fix, 1000},
        {"no audio at all", id36, 44, Verdict::Fix, 0},
        {"FF FF FF FF", head_with_id_at(36, 0xFFFFFFFF), 644, Verdict::Fix, 600},
        {"ends inside the field", id36.substr(0, 41), 41, Verdict::CutShort, 0},
        {"ends right after the id", id36.substr(0, 40), 40, Verdict::CutShort, 0},
        {"3 GiB", head_with_id_at(36, 0), 3ull << 30, Verdict::Fix, 0xBFFFFFD4u},
        {"largest countable", head_with_id_at(36, 0xFFFFFFFF), 44 + 0xFFFFFFFFull, Verdict::Correct, 0},
        {"one past countable", head_with_id_at(36, 0xFFFFFFFF), 44 + 0x100000000ull, Verdict::TooLarge, 0},
        {"5 GiB", head_with_id_at(36, 0), 5ull << 30, Verdict::TooLarge, 0},
        {"offset 0 is never probed", "data" + le(0) + std::string(100, 'x'), 108, Verdict::NoDataBlock, 0},
        {"odd offsets are never probed", head_with_id_at(37, 0) + "xxx", 48, Verdict::NoDataBlock, 0},
        {"a short probe never matches", std::string(10, 'x') + "dat", 13, Verdict::NoDataBlock, 0},
        {"empty file", "", 0, Verdict::NoDataBlock, 0},
        {"last probe", head_with_id_at(131072, 0), 131090, Verdict::Fix, 10},
        {"past the last probe", head_with_id_at(131074, 0), 131082, Verdict::NoDataBlock, 0},
        {"first match wins", head_with_id_at(12, 600) + "data" + le(8), 640, Verdict::Fix, 620},
    };
    for (const DecisionCase& c : cases) {
        const std::string head = c.head.substr(0, ostrel::kWindowBytes);
        const ostrel::RepairDecision d = decide(head, c.length);
        EXPECT_EQ(c.verdict, d.verdict) << c.what;
        if (c.verdict == Verdict::Fix) {
            EXPECT_EQ(le(c.new_size), std::string(reinterpret_cast<const char*>(d.new_field), 4)) << c.what;
            EXPECT_EQ(c.head.find("data") + 4, d.field_offset) << c.what;
        }
    }
}

TEST(RepairDecision, AsksForMoreOnlyWhenThePrefixCannotSettleIt) {
    const std::string late = head_with_id_at(5000, 0);
    EXPECT_EQ(Verdict::NeedMore, decide(late.substr(0, 4096), 6000).verdict);
    EXPECT_EQ(Verdict::Fix, decide(late, 6000).verdict);
    // The identifier is in the prefix but its size field is not.
    const std::string split = head_with_id_at(4090, 7);
    EXPECT_EQ(Verdict::NeedMore, decide(split.substr(0, 4096), 5000).verdict);
    EXPECT_EQ(Verdict::Fix, decide(split, 5000).verdict);
    // An early identifier settles it without the rest of a long file.
    EXPECT_EQ(Verdict::Correct, decide(head_with_id_at(36, 600), 644).verdict);
    EXPECT_EQ(Verdict::Correct, decide(head_with_id_at(36, 1000000), 1000044).verdict);
}

}  // namespace

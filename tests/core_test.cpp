// The pure core: the byte codec and the repair plan, from bytes in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "byte_codec.h"
#include "console_window.h"
#include "memory_source.h"
#include "repair_decision.h"
#include "wave_builder.h"

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

struct Expected {
    uint64_t offset;
    std::string bytes;
};

struct PlanCase {
    const char* what;
    std::string bytes;  // the file's first bytes; zeros follow up to `length`, as in a sparse file
    uint64_t length;
    Verdict verdict;
    std::vector<Expected> writes;
    int reads;  // how many reads the core asked for
};

std::string zeros(size_t n) { return std::string(n, '\0'); }

TEST(RepairPlan, Table) {
    const uint64_t k5GiB = 5ull << 30;
    const std::string fmt = fmt_chunk();
    const std::string list = chunk("LIST", "INFOINAM" + le32(6) + "title!");
    const std::string bext = chunk("bext", "data take 4" + std::string(245, ' '));
    const std::string bad_chunk = chunk_header("\x01\x02\x03\x04", 8) + zeros(8);  // breaks the chain
    const std::string junk = chunk("JUNK", zeros(28));
    const std::string ds64_body = le64(k5GiB - 8) + le64(k5GiB - 80) + zeros(12);
    const std::string tag = "TAG" + std::string(125, 'x');
    const std::string ima = fmt_chunk(256, 0x11, 505);
    auto fact = [](uint32_t frames) { return chunk("fact", le32(frames)); };
    auto with_data = [](const std::string& before, uint32_t stored, const std::string& after) {
        return riff_wave(before + chunk_header("data", stored) + after);
    };
    const PlanCase cases[] = {
        // Plain RIFF: the chain finds the data chunk.
        {"correct 44-byte header", wav44(600, 600), 644, Verdict::Correct, {}, 1},
        {"stored 0", wav44(0, 600), 644, Verdict::Fix, {{40, le32(600)}}, 1},
        {"stored FF FF FF FF", wav44(0xFFFFFFFF, 600), 644, Verdict::Fix, {{40, le32(600)}}, 1},
        {"stored more than follows", wav44(9999, 600), 644, Verdict::Fix, {{40, le32(600)}}, 1},
        {"nothing after the field", wav44(600, 0), 44, Verdict::Fix, {{40, le32(0)}}, 1},
        {"stale size in a long take", wav44(100000, 0), 1 << 20, Verdict::Fix,
         {{40, le32((1 << 20) - 44)}, {4, le32((1 << 20) - 8)}}, 3},
        {"bext saying data comes first", with_data(bext + fmt, 0xFFFFFFFF, audio(600)), 908, Verdict::Fix,
         {{304, le32(600)}}, 1},
        {"data beyond the scan window", with_data(chunk("JUNK", zeros(200000)), 0, audio(10)), 200038,
         Verdict::Fix, {{200024, le32(10)}}, 2},
        // Whole frames only; the bytes of a partial frame stay, uncounted.
        {"size counts a partial frame", wav44(601, 601), 645, Verdict::Fix, {{40, le32(600)}}, 1},
        {"whole size, a partial frame after", wav44(600, 601), 645, Verdict::Correct, {}, 1},
        {"24-bit, cut a byte past a frame: form counts the pad", with_form(with_data(fmt_chunk(3), 0, audio(1000)), 8), 1044,
         Verdict::Fix, {{40, le32(999)}, {4, le32(1036)}}, 1},
        {"MP3 counts bytes", with_data(fmt_chunk(2048, 0x55), 0, audio(601)), 645, Verdict::Fix, {{40, le32(601)}}, 1},
        // Codecs: whole blocks, and a fact count that agrees with the data.
        {"IMA ADPCM cut mid-block, fact 0: data, RIFF size, fact", with_form(with_data(ima + fact(0), 0, audio(868)), 8),
         928, Verdict::Fix, {{56, le32(768)}, {4, le32(820)}, {48, le32(1515)}}, 1},
        {"healthy IMA ADPCM, fact within the last block", with_data(ima + fact(910), 512, audio(512)), 572,
         Verdict::Correct, {}, 1},
        {"libsndfile's stereo IMA ADPCM: fact below F stays beside a right size",
         with_data(ima + fact(1010), 1024, audio(1024)), 1084, Verdict::Correct, {}, 1},
        {"fact below F beside a repaired size", with_data(ima + fact(1010), 0, audio(1024)), 1084, Verdict::Fix,
         {{56, le32(1024)}, {48, le32(2020)}}, 1},
        {"fact above F beside a right size", with_data(fmt_chunk(4, 3) + fact(151), 600, audio(600)), 656, Verdict::Fix,
         {{44, le32(150)}}, 1},
        {"float with fact 0, size right", with_data(fmt_chunk(4, 3) + fact(0), 600, audio(600)), 656, Verdict::Fix,
         {{44, le32(150)}}, 1},
        {"sox's float placeholder in fact", with_data(fmt_chunk(4, 3) + fact(0x0FFFFE00), 0, audio(600)), 656,
         Verdict::Fix, {{52, le32(600)}, {44, le32(150)}}, 1},
        {"sox's GSM counts its pad byte into the size", with_data(fmt_chunk(65, 0x31), 846, audio(846)), 890,
         Verdict::Correct, {}, 1},
        {"MP3 fact stays", with_data(fmt_chunk(2048, 0x55) + fact(0), 0, audio(601)), 657, Verdict::Fix,
         {{52, le32(601)}}, 1},
        {"a LIST a pipe writer appended", with_form(with_data(fmt, 0x7FFF0000, audio(600) + "LIST" + le32(4) + "INFO"),
         0x7FFF0024), 656, Verdict::Fix, {{40, le32(600)}, {4, le32(648)}}, 1},
        // An ID3v1 tag is no audio, but only a size that is wrong as it stands is judged by one.
        {"ID3v1 tag after a healthy take", wav44(600, 600) + tag, 772, Verdict::Correct, {}, 1},
        {"ID3v1 tag after a long crashed take", wav44(0, 0) + zeros(1 << 20) + tag, (1 << 20) + 172, Verdict::Fix,
         {{40, le32(1 << 20)}, {4, le32((1 << 20) + 36)}}, 2},
        {"audio that ends in TAG is audio", with_data(fmt, 728, audio(600) + tag), 772, Verdict::Correct, {}, 1},
        // The form's own size.
        {"RIFF size 8, data size 0", with_form(wav44(0, 600), 8), 644, Verdict::Fix, {{40, le32(600)}, {4, le32(636)}}, 1},
        {"form 12 bytes short, data right", with_form(wav44(600, 600), 624), 644, Verdict::Fix, {{4, le32(636)}}, 1},
        {"form FF FF FF FF, data right", with_form(wav44(600, 600), 0xFFFFFFFF), 644, Verdict::Fix, {{4, le32(636)}}, 1},
        {"form a little long, data right", with_form(wav44(600, 600), 700), 644, Verdict::Correct, {}, 1},
        {"form a little long, data repaired", with_form(wav44(0, 600), 700), 644, Verdict::Fix,
         {{40, le32(600)}, {4, le32(636)}}, 1},
        {"proven by LIST: the form ends at the file's end", with_form(with_data(fmt, 600, audio(600) + list), 8),
         644 + list.size(), Verdict::Fix, {{4, le32(static_cast<uint32_t>(636 + list.size()))}}, 1},
        // The stored size is proven by what follows it.
        {"LIST after the audio", with_data(fmt, 600, audio(600) + list), 644 + list.size(), Verdict::Correct, {}, 1},
        {"odd audio and its pad byte", with_data(fmt, 1001, audio(1001) + zeros(1)), 1046, Verdict::Correct, {}, 1},
        {"odd audio, pad byte, LIST", with_data(fmt, 1001, audio(1002) + list), 1046 + list.size(), Verdict::Correct,
         {}, 1},
        {"odd audio, no pad byte, then LIST", with_data(fmt_chunk(1), 1001, audio(1001) + list), 1045 + list.size(),
         Verdict::Correct, {}, 1},
        {"last chunk lacks its pad byte", with_data(fmt, 600, audio(600) + chunk_header("id3 ", 5) + "abcde"), 657,
         Verdict::Correct, {}, 1},
        {"LIST after a long take", with_data(fmt, 1 << 20, zeros(1 << 20) + list), (1 << 20) + 44 + list.size(),
         Verdict::Correct, {}, 2},
        {"a LIST cut short proves the size", with_data(fmt, 600, audio(600) + chunk_header("LIST", 99)), 652,
         Verdict::Correct, {}, 1},
        {"an unknown chunk cut short proves nothing", with_data(fmt, 600, audio(600) + chunk_header("abcd", 99)), 652,
         Verdict::Fix, {{40, le32(608)}}, 1},
        // A broken chain falls back to the scan from where it broke, for a data id after a fmt id.
        {"broken chain after fmt, scan finds data: whole frames", with_data(fmt + bad_chunk, 0, audio(11)), 71,
         Verdict::Fix, {{56, le32(10)}}, 1},
        {"broken chain, no fmt before data", with_data(bad_chunk, 0, audio(10)), 46, Verdict::NoDataBlock, {}, 1},
        {"data in a chunk before the break is text",
         with_data(fmt + chunk("LIST", "data" + le32(0)) + bad_chunk, 0, audio(10)), 86, Verdict::Fix, {{72, le32(10)}}, 1},
        {"cut inside bext: no audio", riff_wave(chunk("bext", "data here" + zeros(601))).substr(0, 100), 100,
         Verdict::NoDataBlock, {}, 1},
        {"scan reaches 131072", riff_wave(bad_chunk + "fmt " + zeros(131072 - 32) + chunk_header("data", 5) + "abc"),
         131083, Verdict::Fix, {{131076, le32(3)}}, 2},
        {"scan stops before 131074", riff_wave(bad_chunk + "fmt " + zeros(131074 - 32) + chunk_header("data", 5)),
         131082, Verdict::NoDataBlock, {}, 2},
        {"scan never takes the RIFF header", "RIFFdataWAVE" + bad_chunk, 28, Verdict::NoDataBlock, {}, 1},
        {"cut inside the size field", wav44(600, 0).substr(0, 42), 42, Verdict::CutShort, {}, 1},
        {"cut right after the id", wav44(600, 0).substr(0, 40), 40, Verdict::CutShort, {}, 1},
        {"largest countable, in whole frames", wav44(0, 0), 44 + 0xFFFFFFFFull, Verdict::Fix, {{40, le32(0xFFFFFFFE)}}, 2},
        {"one frame too many", wav44(0, 0), 44 + 0x100000000ull, Verdict::TooLarge, {}, 2},
        // Past 4 GiB, a RIFF file whose first chunk is JUNK becomes RF64.
        {"JUNK first, 5 GiB", riff_wave(junk + fmt + chunk_header("data", 0xFFFFFFFF)), k5GiB, Verdict::Fix,
         {{20, ds64_body}, {12, "ds64"}, {0, "RF64" + le32(0xFFFFFFFF)}}, 3},
        {"JUNK first, field says 0", riff_wave(junk + fmt + chunk_header("data", 0)), k5GiB, Verdict::Fix,
         {{20, ds64_body}, {12, "ds64"}, {76, le32(0xFFFFFFFF)}, {0, "RF64" + le32(0xFFFFFFFF)}}, 2},
        {"a promotion cut short after ds64", riff_wave(chunk("ds64", ds64_body) + fmt + chunk_header("data", 0xFFFFFFFF)),
         k5GiB, Verdict::Fix, {{20, ds64_body}, {12, "ds64"}, {0, "RF64" + le32(0xFFFFFFFF)}}, 3},
        {"JUNK too small for ds64", riff_wave(chunk("JUNK", zeros(26)) + fmt + chunk_header("data", 0)), k5GiB,
         Verdict::TooLarge, {}, 2},
        {"JUNK first, data found by the scan", riff_wave(junk + fmt + bad_chunk + chunk_header("data", 0)), k5GiB,
         Verdict::TooLarge, {}, 3},
        // Not a RIFF/RF64/BW64 WAVE file: one read, never written.
        {"RIFX", "RIFX" + wav44(0, 600).substr(4), 644, Verdict::NoDataBlock, {}, 1},
        {"riff without Wave64's GUID", "riff" + zeros(12) + le64(100) + "wave" + zeros(12) + "data" + zeros(20), 100,
         Verdict::NoDataBlock, {}, 1},
        // AIFF and AIFF-C: SSND size, numSampleFrames, FORM size, in that order, in whole frames.
        {"AIFF healthy, MARK after SSND", aiff(comm(300) + ssnd(608) + audio(600) + aiff_chunk("MARK", "ab")), 664,
         Verdict::Correct, {}, 1},
        {"AIFF numSampleFrames below the audio stays", aiff(comm(299) + ssnd(608) + audio(600)), 654, Verdict::Correct, {}, 1},
        {"AIFF killed, a partial frame", aiff(comm(0) + ssnd(8) + audio(601)).replace(4, 4, be32(46)), 655, Verdict::Fix,
         {{42, be32(608)}, {22, be32(300)}, {4, be32(646)}}, 1},
        {"AIFF-C ima4 killed mid-packet", aiff(aiff_chunk("FVER", "abcd") + comm(0, "ima4") + ssnd(8) + audio(107), "AIFC"),
         179, Verdict::Fix, {{60, be32(110)}, {34, be32(3)}}, 1},
        {"AIFF, SSND empty before COMM, never grown over it", aiff(ssnd(8) + comm(0) + audio(600)), 654, Verdict::Correct,
         {}, 1},
        {"AIFF-C GSM is not counted", aiff(comm(0, "GSM ") + ssnd(8) + audio(66), "AIFC"), 130, Verdict::NoDataBlock, {}, 1},
        {"AIFF past 4 GiB", aiff(comm(0) + ssnd(8)), 54 + k5GiB, Verdict::TooLarge, {}, 1},
        {"AIFF cut inside SSND's header", aiff(comm(0) + ssnd(8)).substr(0, 50), 50, Verdict::CutShort, {}, 1},
        // Wave64: the data size and the file's, 64-bit, counting the 24-byte header.
        {"Wave64 healthy, levl after", wave64(w64_chunk("fmt ", fmt.substr(8)) + w64_chunk("data", audio(600)) +
         w64_chunk("levl", "abc")), 736, Verdict::Correct, {}, 1},
        {"Wave64 killed", wave64(w64_chunk("fmt ", fmt.substr(8)) + w64_chunk("data", "", 24)) + audio(601), 705,
         Verdict::Fix, {{96, le64(624)}, {16, le64(704)}}, 1},
        // CAF: lpcm alone; -1 is left where data is last.
        {"CAF data -1", caf("data" + be64(UINT64_MAX) + be32(0) + audio(600)), 668, Verdict::Correct, {}, 1},
        {"CAF data -1, a partial frame", caf("data" + be64(UINT64_MAX) + be32(0) + audio(601)), 669, Verdict::Fix,
         {{56, be64(604)}}, 1},
        {"CAF data 0", caf("data" + be64(0) + be32(0) + audio(601)), 669, Verdict::Fix, {{56, be64(604)}}, 1},
        {"CAF aac with pakt", caf("pakt" + be64(4) + "abcd" + "data" + be64(0) + zeros(40), "aac "), 120,
         Verdict::NoDataBlock, {}, 1},
        {"RIFF but not WAVE", "RIFF" + le32(100) + "AVI " + chunk_header("data", 0), 100, Verdict::NoDataBlock, {}, 1},
        {"a list of names", "mydata.wav\nother.wav\n", 21, Verdict::NoDataBlock, {}, 1},
        {"shorter than a RIFF header", "RIFF" + le32(0) + "WAV", 11, Verdict::NoDataBlock, {}, 1},
        {"empty", "", 0, Verdict::NoDataBlock, {}, 0},
        // RF64 and BW64 keep the size in ds64.
        {"RF64 correct", rf64_wave(600, fmt + chunk_header("data", 0xFFFFFFFF) + audio(600)), 680, Verdict::Correct, {}, 1},
        {"RF64 with LIST after", rf64_wave(600, fmt + chunk_header("data", 0xFFFFFFFF) + audio(600) + list),
         680 + list.size(), Verdict::Correct, {}, 1},
        {"RF64 ds64 says 0, fact says see ds64", rf64_wave(0, fmt + fact(0xFFFFFFFF) + chunk_header("data", 0xFFFFFFFF) +
         audio(600)), 692, Verdict::Fix, {{28, le64(600)}}, 1},
        {"RF64 both ds64 sizes and the field wrong", rf64_wave(0, fmt + chunk_header("data", 0)), 680, Verdict::Fix,
         {{20, le64(672) + le64(600)}, {76, le32(0xFFFFFFFF)}}, 1},
        {"RF64 ds64 right, field says 0", rf64_wave(600, fmt + chunk_header("data", 0), "RF64", 672), 680, Verdict::Fix,
         {{76, le32(0xFFFFFFFF)}}, 1},
        {"RF64 field already right", rf64_wave(0, fmt + chunk_header("data", 600), "RF64", 672), 680, Verdict::Fix,
         {{28, le64(600)}}, 1},
        {"RF64 riffSize alone wrong", rf64_wave(600, fmt + chunk_header("data", 0xFFFFFFFF) + audio(600), "RF64", 8), 680,
         Verdict::Fix, {{20, le64(672)}}, 1},
        {"BW64 of 5 GiB", rf64_wave(0, fmt + chunk_header("data", 0xFFFFFFFF), "BW64"), k5GiB, Verdict::Fix,
         {{20, le64(k5GiB - 8) + le64(k5GiB - 80)}}, 2},
        {"RF64 without ds64 first", "RF64" + le32(0xFFFFFFFF) + "WAVE" + fmt + chunk_header("data", 0), 100,
         Verdict::NoDataBlock, {}, 1},
        {"RF64 chunk saying see ds64 breaks the chain",
         rf64_wave(0, chunk_header("fmt ", 0xFFFFFFFF) + chunk_header("data", 0xFFFFFFFF)), 100, Verdict::Fix,
         {{20, le64(92) + le64(36)}}, 1},
    };
    for (const PlanCase& c : cases) {
        MemorySource file(c.bytes, c.length);
        const ostrel::RepairPlan p = ostrel::plan_repair(file, c.length);
        EXPECT_EQ(c.verdict, p.verdict) << c.what;
        EXPECT_EQ(c.reads, file.reads) << c.what;
        ASSERT_EQ(c.writes.size(), p.write_count) << c.what;
        for (size_t k = 0; k < p.write_count; ++k) {
            EXPECT_EQ(c.writes[k].offset, p.writes[k].offset) << c.what;
            EXPECT_EQ(c.writes[k].bytes, std::string(reinterpret_cast<const char*>(p.writes[k].bytes), p.writes[k].count))
                << c.what;
        }
    }
}

TEST(ConsoleWindow, WaitsOnlyWhenAloneOnAConsole) {
    EXPECT_TRUE(ostrel::waits_for_enter(1, true));    // Explorer opened the console
    EXPECT_FALSE(ostrel::waits_for_enter(2, true));   // a shell shares it
    EXPECT_FALSE(ostrel::waits_for_enter(1, false));  // input is not the console
    EXPECT_FALSE(ostrel::waits_for_enter(0, true));   // no console at all
}

TEST(RepairPlan, AFailedReadWritesNothing) {
    const std::string take = riff_wave(fmt_chunk() + chunk_header("data", 100000));
    for (int fail = 0; fail < 2; ++fail) {  // the head, then the block at the declared end
        MemorySource file(take, 1 << 20);
        file.fail_read = fail;
        const ostrel::RepairPlan p = ostrel::plan_repair(file, file.length);
        EXPECT_EQ(Verdict::ReadFailed, p.verdict) << fail;
        EXPECT_EQ(0u, p.write_count) << fail;
    }
}

}  // namespace
